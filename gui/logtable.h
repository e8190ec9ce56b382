#pragma once

#include "diagnosticmessage.h"
#include "logmessagemodel.h"

class QTableView;

// What every table of log rows shares with the main one: the columns, their
// headers and widths, and how a message becomes a row.
class LogTable
{
public:
    // Long messages are cut after the line that holds this many units.
    static constexpr int MaxMessageLength = 50000;

    static void setUp(LogMessageModel *model, QTableView *view);
    static LogMessageModel::Row rowOf(const DiagnosticMessage &msg);
    // The message as a table keeps it: cut after the line that holds
    // MaxMessageLength, so no cell carries megabytes.
    static QString cutMessage(const QString &message);
    // The visible columns, in the order the file writer takes them.
    static QVector<int> visibleColumns(const QTableView *view);
};
