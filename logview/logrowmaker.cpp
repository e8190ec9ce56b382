#include "logrowmaker.h"

#include "loggerverbosity.h"

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
QString LogRowMaker::cutMessage(const QString &message)
{
    if (message.size() <= MaxMessageLength)
        return message;
    const int lineEnd =
        message.leftRef(MaxMessageLength + kMaxCutLineRest).indexOf(QLatin1Char('\n'), MaxMessageLength);
    // Without a line end soon past the limit, the cut falls at the limit
    // itself, and never between the two halves of a character outside the BMP.
    int keep = lineEnd >= 0 ? lineEnd + 1 : MaxMessageLength;
    if (lineEnd < 0 && message.at(keep - 1).isHighSurrogate())
        --keep;
    return message.left(keep) + QStringLiteral("...");
}

LogMessageModel::Row LogRowMaker::rowOf(const DiagnosticMessage &msg)
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
