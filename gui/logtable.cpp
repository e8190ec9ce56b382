#include "logtable.h"

#include "loggerverbosity.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QTableView>

namespace {
// The line that holds the cut is kept whole only up to here: one line of
// megabytes would otherwise pass the cut untouched.
constexpr int kMaxCutLineRest = 4096;

// The level names, encoded once and shared by every row that shows them.
QByteArray levelNameUtf8(int level)
{
    static const QByteArray names[] = {
        LOGGER::verbosityIntToString(-1).toUtf8(), LOGGER::verbosityIntToString(0).toUtf8(),
        LOGGER::verbosityIntToString(1).toUtf8(),  LOGGER::verbosityIntToString(2).toUtf8(),
        LOGGER::verbosityIntToString(3).toUtf8(),  LOGGER::verbosityIntToString(4).toUtf8()};
    if (level >= -1 && level <= 4)
        return names[level + 1];
    return LOGGER::verbosityIntToString(level).toUtf8();
}

}

// Long messages are cut after the line that holds the limit, so the table
// never carries megabytes in one cell.
QString LogTable::cutMessage(const QString &message)
{
    if (message.size() <= LogTable::MaxMessageLength)
        return message;
    const int lineEnd = message.leftRef(LogTable::MaxMessageLength + kMaxCutLineRest)
                            .indexOf(QLatin1Char('\n'), LogTable::MaxMessageLength);
    // Without a line end soon past the limit, the cut falls at the limit
    // itself, and never between the two halves of a character outside the BMP.
    int keep = lineEnd >= 0 ? lineEnd + 1 : LogTable::MaxMessageLength;
    if (lineEnd < 0 && message.at(keep - 1).isHighSurrogate())
        --keep;
    return message.left(keep) + QStringLiteral("...");
}

void LogTable::setUp(LogMessageModel *model, QTableView *view)
{
    static const char *const headers[LogMessageModel::ColumnCount] = {
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "TenantUUID"), QT_TRANSLATE_NOOP("wdgPLoggerGui", "LinkedID"),
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "UniqueID"),   QT_TRANSLATE_NOOP("wdgPLoggerGui", "ID"),
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "V"),          QT_TRANSLATE_NOOP("wdgPLoggerGui", "Timestamp"),
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "Messaggio")};
    static const char *const toolTips[LogMessageModel::ColumnCount] = {
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "TenantUUID"), QT_TRANSLATE_NOOP("wdgPLoggerGui", "LinkedID"),
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "UniqueID"),   QT_TRANSLATE_NOOP("wdgPLoggerGui", "ID"),
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "Verbosity"),  QT_TRANSLATE_NOOP("wdgPLoggerGui", "Timestamp"),
        QT_TRANSLATE_NOOP("wdgPLoggerGui", "Messaggio")};
    for (int c = 0; c < LogMessageModel::ColumnCount; ++c) {
        model->setHeaderData(c, Qt::Horizontal, QCoreApplication::translate("wdgPLoggerGui", headers[c]), Qt::DisplayRole);
        model->setHeaderData(c, Qt::Horizontal, QCoreApplication::translate("wdgPLoggerGui", toolTips[c]), Qt::ToolTipRole);
    }

    QHeaderView *header = view->horizontalHeader();
    for (int c = 0; c < LogMessageModel::MessageColumn; ++c)
        header->setSectionResizeMode(c, QHeaderView::Fixed);
    header->setSectionResizeMode(LogMessageModel::MessageColumn, QHeaderView::Stretch);
    const int widths[] = {130, 130, 130, 130, 100, 200};
    for (int c = 0; c < LogMessageModel::MessageColumn; ++c)
        header->resizeSection(c, widths[c]);
    view->setColumnHidden(LogMessageModel::TenantUuidColumn, true);
    view->setColumnHidden(LogMessageModel::LinkedIdColumn, true);
    view->setColumnHidden(LogMessageModel::MessageIdColumn, true);
}

LogMessageModel::Row LogTable::rowOf(const DiagnosticMessage &msg)
{
    LogMessageModel::Row row;
    row.level = msg.verbosity.toInt();  // not a number: level 0
    row.setText(LogMessageModel::TenantUuidColumn, msg.tenantUuid);
    row.setText(LogMessageModel::LinkedIdColumn, msg.linkedId);
    row.setText(LogMessageModel::UniqueIdColumn, msg.uniqueId);
    row.setText(LogMessageModel::MessageIdColumn, msg.messageId);
    row.cells[LogMessageModel::VerbosityColumn] = levelNameUtf8(row.level);
    row.setText(LogMessageModel::TimestampColumn, msg.timestamp);
    row.setText(LogMessageModel::MessageColumn, cutMessage(msg.message));
    row.setExtraFields(msg.extraFields);
    return row;
}

QVector<int> LogTable::visibleColumns(const QTableView *view)
{
    QVector<int> columns;
    for (int c = 0; c < LogMessageModel::ColumnCount; ++c) {
        if (!view->isColumnHidden(c))
            columns << c;
    }
    return columns;
}
