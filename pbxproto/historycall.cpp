#include "historycall.h"

#include "pbxprotocol.h"

#include <QJsonValue>

QJsonObject HistoryCall::toJson() const
{
    return QJsonObject{{QStringLiteral("callId"), callId}, {QStringLiteral("start"), start},
                       {QStringLiteral("end"), end},       {QStringLiteral("from"), from},
                       {QStringLiteral("to"), to},         {QStringLiteral("code"), code},
                       {QStringLiteral("tenant"), tenant}, {QStringLiteral("rows"), double(rows)}};
}

bool HistoryCall::fromJson(const QJsonObject &object, HistoryCall *call)
{
    using namespace PbxProtocol;
    bool ok = object.value(QLatin1String("callId")).isString();
    HistoryCall c;
    c.callId = boundedLogMember(optString(object, QStringLiteral("callId"), &ok));
    c.start = boundedLogMember(optString(object, QStringLiteral("start"), &ok));
    c.end = boundedLogMember(optString(object, QStringLiteral("end"), &ok));
    c.from = boundedLogMember(optString(object, QStringLiteral("from"), &ok));
    c.to = boundedLogMember(optString(object, QStringLiteral("to"), &ok));
    c.tenant = boundedLogMember(optString(object, QStringLiteral("tenant"), &ok));
    c.code = optInt(object, QStringLiteral("code"), 0, &ok);
    const QJsonValue rows = object.value(QLatin1String("rows"));
    if (!rows.isUndefined() && (!rows.isDouble() || rows.toDouble() < 0 || rows.toDouble() > 1e15))
        ok = false;
    c.rows = qint64(rows.toDouble());
    if (!ok)
        return false;
    *call = c;
    return true;
}
