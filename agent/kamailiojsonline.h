#pragma once

#include <QString>

// The members of one of Kamailio's JSON log lines (--log-engine=json) that
// the agent shows:
// { "idx": 2, "pid": 23263, "level": "INFO", "module": "xlog", "file": "xlog.c",
//   "line": 282, "function": "", "callid": "...", "logprefix": "{...} ", "message": "..." }
struct KamailioJsonLine
{
    QString level;
    QString module;
    QString file;
    QString function;
    QString callId;
    QString logPrefix;
    QString message;
    qint64 idx = 0;
    qint64 pid = -1;  // -1: none given
    qint64 line = 0;

    // False unless the bytes are one JSON object of strings, numbers, true,
    // false and null. Read by hand: QJsonDocument would take most of the
    // time one line may cost.
    static bool read(const char *data, int size, KamailioJsonLine *json);
};
