#include "historyrequest.h"

#include "pbxprotocol.h"

#include <QDateTime>
#include <QJsonValue>

#include <cmath>

namespace {
const QString kId = QStringLiteral("id");
const QString kQuery = QStringLiteral("query");
const QString kFrom = QStringLiteral("from");
const QString kTo = QStringLiteral("to");
const QString kTenant = QStringLiteral("tenant");
const QString kLimit = QStringLiteral("limit");
const QString kCallId = QStringLiteral("callId");
const QString kType = QStringLiteral("type");

// A text member no longer than max; absent reads as empty.
bool readText(const QJsonObject &frame, const QString &key, int max, QString *out, QString *error)
{
    const QJsonValue v = frame.value(key);
    if (v.isUndefined())
        return true;
    if (!v.isString()) {
        *error = QStringLiteral("%1 is not a text").arg(key);
        return false;
    }
    if (v.toString().size() > max) {
        *error = QStringLiteral("%1 is longer than %2 characters").arg(key).arg(max);
        return false;
    }
    *out = v.toString();
    return true;
}
}

bool HistoryRequest::isTimeText(const QString &text)
{
    static const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    if (text.size() != format.size())
        return false;
    for (int i = 0; i < text.size(); ++i) {
        const bool digit = text.at(i).isDigit() && text.at(i).unicode() < 128;
        if (format.at(i).isLetter() ? !digit : text.at(i) != format.at(i))
            return false;
    }
    return QDateTime::fromString(text, format).isValid();
}

bool HistoryRequest::fromJson(const QJsonObject &frame, HistoryRequest *request, QString *error, QString *id)
{
    HistoryRequest r;
    const QString type = PbxProtocol::frameType(frame);
    if (type == PbxProtocol::TypeHistoryCalls)
        r.kind = Kind::Calls;
    else if (type == PbxProtocol::TypeHistoryRows)
        r.kind = Kind::Rows;
    else {
        *error = QStringLiteral("not a history request");
        return false;
    }
    const QJsonValue idValue = frame.value(kId);
    if (!idValue.isString() || idValue.toString().isEmpty() || idValue.toString().size() > MaxIdLength) {
        *error = QStringLiteral("id must be a text of 1 to %1 characters").arg(MaxIdLength);
        return false;
    }
    r.id = idValue.toString();
    if (id)
        *id = r.id;

    const QStringList allowed = r.kind == Kind::Calls ? QStringList{kType, kId, kQuery, kFrom, kTo, kTenant, kLimit}
                                                      : QStringList{kType, kId, kCallId};
    for (auto it = frame.constBegin(); it != frame.constEnd(); ++it) {
        if (!allowed.contains(it.key())) {
            *error = QStringLiteral("unknown member \"%1\"").arg(PbxProtocol::boundedText(it.key(), 64, QStringLiteral("...")));
            return false;
        }
    }

    if (r.kind == Kind::Rows) {
        if (!readText(frame, kCallId, MaxCallIdLength, &r.callId, error))
            return false;
        if (r.callId.isEmpty()) {
            *error = QStringLiteral("callId is missing");
            return false;
        }
        *request = r;
        return true;
    }

    if (!readText(frame, kQuery, MaxQueryLength, &r.query, error) || !readText(frame, kFrom, 19, &r.from, error)
        || !readText(frame, kTo, 19, &r.to, error) || !readText(frame, kTenant, MaxIdLength, &r.tenant, error))
        return false;
    for (const QString *time : {&r.from, &r.to}) {
        if (!time->isEmpty() && !isTimeText(*time)) {
            *error = QStringLiteral("from and to must be times as yyyy-MM-dd HH:mm:ss");
            return false;
        }
    }
    r.anyTenant = !frame.contains(kTenant);
    const QJsonValue limit = frame.value(kLimit);
    if (!limit.isUndefined()) {
        const double n = limit.toDouble(-1);
        if (!limit.isDouble() || !std::isfinite(n) || n < 1 || std::floor(n) != n) {
            *error = QStringLiteral("limit must be a whole number above 0");
            return false;
        }
        // Asking for more is no fault: the answer says it was cut.
        r.limit = int(qMin<double>(n, MaxLimit));
    }
    *request = r;
    return true;
}

QJsonObject HistoryRequest::toJson() const
{
    if (kind == Kind::Rows)
        return QJsonObject{{kType, PbxProtocol::TypeHistoryRows}, {kId, id}, {kCallId, callId}};
    QJsonObject o{{kType, PbxProtocol::TypeHistoryCalls}, {kId, id}, {kQuery, query}, {kLimit, limit}};
    if (!from.isEmpty())
        o.insert(kFrom, from);
    if (!to.isEmpty())
        o.insert(kTo, to);
    if (!anyTenant)
        o.insert(kTenant, tenant);
    return o;
}
