#pragma once

#include "diagnosticmessage.h"
#include "logmessagemodel.h"

// How a record becomes a row of a log table, the same in every window that
// shows one: texts kept as UTF-8, the level's name shared, the message cut.
class LogRowMaker
{
public:
    // Long messages are cut after the line that holds this many units.
    static constexpr int MaxMessageLength = 50000;

    static LogMessageModel::Row rowOf(const DiagnosticMessage &msg);
    // The message as a table keeps it: cut after the line that holds
    // MaxMessageLength, so no cell carries megabytes.
    static QString cutMessage(const QString &message);
};
