#include "logtable.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QTableView>

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

QVector<int> LogTable::visibleColumns(const QTableView *view)
{
    QVector<int> columns;
    for (int c = 0; c < LogMessageModel::ColumnCount; ++c) {
        if (!view->isColumnHidden(c))
            columns << c;
    }
    return columns;
}
