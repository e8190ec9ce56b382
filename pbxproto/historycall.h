#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

// One call an exchange has kept, as "history-calls-result" lists it.
struct HistoryCall
{
    QString callId;
    QString start;  // the time of its first and last row
    QString end;
    QString from;   // user parts of the first request's From and To
    QString to;
    int code = 0;   // the final answer, 0 when there was none
    QString tenant;
    qint64 rows = 0;

    QJsonObject toJson() const;
    // False when a member has the wrong type or callId is missing.
    static bool fromJson(const QJsonObject &object, HistoryCall *call);
};

Q_DECLARE_METATYPE(HistoryCall)
