#include "pbxframes.h"

#include "historyrequest.h"
#include "pbxprotocol.h"
#include "scram.h"

#include <QJsonArray>
#include <QJsonValue>

#include <cmath>

namespace PbxFrames {

namespace {
const QString kType = QStringLiteral("type");
const QString kScram = QStringLiteral("scram");
const QString kId = QStringLiteral("id");
const QString kTenant = QStringLiteral("tenant");

bool refuse(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

// A member this end never reads: its text when it is one.
QString textOrEmpty(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : QString();
}

// A SCRAM message; false when missing, mistyped or longer than one may be.
bool readScram(const QJsonObject &frame, QString *out)
{
    const QJsonValue v = frame.value(kScram);
    if (!v.isString() || v.toString().size() > Scram::MaxMessageLength)
        return false;
    *out = v.toString();
    return true;
}

// At most max entries of a list, each read by read(); one it refuses is skipped.
template <typename T, typename Read>
QVector<T> readEntries(const QJsonArray &list, int max, Read read)
{
    QVector<T> entries;
    for (int i = 0; i < list.size() && i < max; ++i) {
        T entry;
        if (read(list.at(i).toObject(), &entry))
            entries.append(entry);
    }
    return entries;
}

QJsonObject resultFrame(const QString &type, const QString &id, const QString &member, const QJsonArray &list,
                        bool truncated)
{
    return QJsonObject{{kType, type}, {kId, id}, {member, list}, {QStringLiteral("truncated"), truncated}};
}

// What both history answers begin with: the request's id, whether the list
// was cut, and the list itself under member.
bool readResultHead(const QJsonObject &frame, const QString &member, QString *id, bool *truncated, QJsonArray *list,
                    QString *error)
{
    bool ok = frame.value(kId).isString();
    *id = PbxProtocol::boundedLogMember(PbxProtocol::optString(frame, kId, &ok));
    const QJsonValue truncatedValue = frame.value(QStringLiteral("truncated"));
    *truncated = truncatedValue.toBool();
    ok = ok && (truncatedValue.isUndefined() || truncatedValue.isBool());
    if (!ok || !frame.value(member).isArray())
        return refuse(error, QStringLiteral("malformed history answer"));
    *list = frame.value(member).toArray();
    return true;
}
}

QJsonObject Hello::toJson() const
{
    return QJsonObject{{kType, PbxProtocol::TypeHello},
                       {QStringLiteral("protocol"), protocol},
                       {QStringLiteral("server"), server},
                       {QStringLiteral("serverVersion"), serverVersion}};
}

bool Hello::fromJson(const QJsonObject &frame, Hello *hello, QString *error)
{
    bool ok = true;
    hello->protocol = PbxProtocol::optInt(frame, QStringLiteral("protocol"), 0, &ok);
    hello->server = textOrEmpty(frame, QStringLiteral("server"));
    hello->serverVersion = textOrEmpty(frame, QStringLiteral("serverVersion"));
    return ok || refuse(error, QStringLiteral("malformed greeting"));
}

QJsonObject Login::toJson() const
{
    return QJsonObject{
        {kType, PbxProtocol::TypeLogin},
        {QStringLiteral("domain"), domain},
        {QStringLiteral("mode"), mode},
        {kScram, scram},
        {QStringLiteral("client"),
         QJsonObject{{QStringLiteral("platform"), client.platform},
                     {QStringLiteral("osVersion"), client.osVersion},
                     {QStringLiteral("name"), client.name},
                     {QStringLiteral("version"), client.version}}},
    };
}

bool Login::fromJson(const QJsonObject &frame, Login *login, QString *error)
{
    using namespace PbxProtocol;
    bool ok = frame.value(kScram).isString();
    login->domain = optString(frame, QStringLiteral("domain"), &ok);
    login->scram = optString(frame, kScram, &ok);
    login->mode = optInt(frame, QStringLiteral("mode"), 0, &ok);
    // Only logged: a client that describes itself oddly still logs in.
    const QJsonObject client = frame.value(QLatin1String("client")).toObject();
    login->client.platform = textOrEmpty(client, QStringLiteral("platform"));
    login->client.osVersion = textOrEmpty(client, QStringLiteral("osVersion"));
    login->client.name = textOrEmpty(client, QStringLiteral("name"));
    login->client.version = textOrEmpty(client, QStringLiteral("version"));
    return ok || refuse(error, QStringLiteral("malformed login"));
}

QJsonObject LoginChallenge::toJson() const
{
    return QJsonObject{{kType, PbxProtocol::TypeLoginChallenge}, {kScram, scram}};
}

bool LoginChallenge::fromJson(const QJsonObject &frame, LoginChallenge *challenge, QString *error)
{
    return readScram(frame, &challenge->scram) || refuse(error, QStringLiteral("malformed challenge"));
}

QJsonObject LoginProof::toJson() const
{
    return QJsonObject{{kType, PbxProtocol::TypeLoginProof}, {kScram, scram}};
}

bool LoginProof::fromJson(const QJsonObject &frame, LoginProof *proof, QString *error)
{
    bool ok = frame.value(kScram).isString();
    proof->scram = PbxProtocol::optString(frame, kScram, &ok);
    return ok || refuse(error, QStringLiteral("malformed login"));
}

QJsonObject LoginOk::toJson() const
{
    QJsonObject o = PbxProtocol::loginDetailsToJson(details);
    o.insert(kScram, scram);
    return o;
}

bool LoginOk::fromJson(const QJsonObject &frame, LoginOk *ok, QString *error)
{
    const bool signature = readScram(frame, &ok->scram);
    if (!signature)
        ok->scram.clear();
    const bool details = PbxProtocol::loginDetailsFromJson(frame, &ok->details);
    return (signature && details) || refuse(error, QStringLiteral("malformed login answer"));
}

QJsonObject Reason::toJson() const
{
    QJsonObject o{{kType, type}, {QStringLiteral("reason"), reason}};
    if (id)
        o.insert(kId, *id);
    return o;
}

bool Reason::fromJson(const QJsonObject &frame, Reason *reason, QString *error)
{
    bool ok = true;
    reason->type = PbxProtocol::frameType(frame);
    reason->reason = PbxProtocol::boundedReason(PbxProtocol::optString(frame, QStringLiteral("reason"), &ok));
    reason->id.reset();
    if (reason->type == PbxProtocol::TypeError) {
        const QJsonValue id = frame.value(kId);
        if (id.isString())
            reason->id = PbxProtocol::boundedLogMember(id.toString());
        else if (!id.isUndefined() && !id.isNull())
            ok = false;
    }
    return ok || refuse(error, QStringLiteral("malformed %1").arg(reason->type));
}

QJsonObject KeepAlive::toJson() const
{
    QJsonObject o{{kType, type}};
    // Each end writes seq as it always has: the client as a double, the
    // exchange's echo as an integer.
    if (seq)
        o.insert(QStringLiteral("seq"), type == PbxProtocol::TypePing ? QJsonValue(double(*seq)) : QJsonValue(*seq));
    return o;
}

bool KeepAlive::fromJson(const QJsonObject &frame, KeepAlive *keepAlive, QString *error)
{
    keepAlive->type = PbxProtocol::frameType(frame);
    keepAlive->seq.reset();
    const QJsonValue seq = frame.value(QStringLiteral("seq"));
    if (seq.isUndefined())
        return true;
    // The echo must be what was sent: an integer a double holds exactly.
    const double n = seq.toDouble();
    if (!seq.isDouble() || std::floor(n) != n || std::fabs(n) > 9007199254740992.0)
        return refuse(error, QStringLiteral("ping seq must be an integer"));
    keepAlive->seq = qint64(n);
    return true;
}

QJsonObject Bare::toJson() const
{
    return QJsonObject{{kType, type}};
}

bool Bare::fromJson(const QJsonObject &frame, Bare *bare, QString *)
{
    bare->type = PbxProtocol::frameType(frame);
    return true;
}

QJsonObject Tenants::toJson() const
{
    QJsonArray list;
    for (const PbxTenant &t : tenants)
        list.append(QJsonObject{{QStringLiteral("uuid"), t.uuid}, {QStringLiteral("name"), t.name}});
    return QJsonObject{{kType, PbxProtocol::TypeTenants}, {QStringLiteral("tenants"), list}};
}

bool Tenants::fromJson(const QJsonObject &frame, Tenants *tenants, QString *error, int *skipped)
{
    tenants->tenants.clear();
    const QJsonValue list = frame.value(QStringLiteral("tenants"));
    if (!list.isArray())
        return refuse(error, QStringLiteral("malformed tenant list"));
    int bad = 0;
    const QJsonArray array = list.toArray();
    for (const QJsonValue &entry : array) {
        const QJsonObject o = entry.toObject();
        bool ok = o.value(QLatin1String("uuid")).isString();
        PbxTenant tenant;
        tenant.uuid = PbxProtocol::optString(o, QStringLiteral("uuid"), &ok);
        tenant.name = PbxProtocol::optString(o, QStringLiteral("name"), &ok);
        if (ok && !tenant.uuid.isEmpty())
            tenants->tenants.append(tenant);
        else
            ++bad;
    }
    if (skipped)
        *skipped = bad;
    return true;
}

qint64 Subscribe::sinceRow() const
{
    return since.isEmpty() ? -1 : since.toLongLong();
}

QJsonObject Subscribe::toJson() const
{
    QJsonObject o{{kType, PbxProtocol::TypeSubscribe}, {kTenant, tenant}};
    if (!since.isEmpty())
        o.insert(QStringLiteral("since"), since);
    return o;
}

bool Subscribe::fromJson(const QJsonObject &frame, Subscribe *subscribe, QString *error)
{
    bool ok = true;
    subscribe->tenant = PbxProtocol::optString(frame, kTenant, &ok);
    subscribe->since.clear();
    // A mistyped tenant beside a since is refused as the since is.
    if (frame.contains(QStringLiteral("since"))) {
        const QString text = PbxProtocol::optString(frame, QStringLiteral("since"), &ok);
        bool number = false;
        const qint64 row = text.toLongLong(&number);
        if (!ok || !number || row < 0 || text.size() > 19)
            return refuse(error, QStringLiteral("since must be a row id"));
        subscribe->since = text;
    }
    return ok || refuse(error, QStringLiteral("unknown tenant"));
}

QJsonObject Subscribed::toJson() const
{
    return QJsonObject{{kType, PbxProtocol::TypeSubscribed}, {kTenant, tenant}};
}

bool Subscribed::fromJson(const QJsonObject &frame, Subscribed *subscribed, QString *error)
{
    bool ok = true;
    subscribed->tenant = PbxProtocol::optString(frame, kTenant, &ok);
    return ok || refuse(error, QStringLiteral("malformed subscription"));
}

QJsonObject Features::toJson() const
{
    return QJsonObject{{kType, PbxProtocol::TypeFeatures}, {QStringLiteral("features"), QJsonArray::fromStringList(features)}};
}

bool Features::fromJson(const QJsonObject &frame, Features *features, QString *error)
{
    bool ok = frame.value(QStringLiteral("features")).isArray();
    features->features = PbxProtocol::optStringList(frame, QStringLiteral("features"), &ok);
    return ok || refuse(error, QStringLiteral("malformed feature list"));
}

QJsonObject HistoryCallsResult::toJson() const
{
    QJsonArray list;
    for (const HistoryCall &call : calls)
        list.append(call.toJson());
    return resultFrame(PbxProtocol::TypeHistoryCallsResult, id, QStringLiteral("calls"), list, truncated);
}

bool HistoryCallsResult::fromJson(const QJsonObject &frame, HistoryCallsResult *result, QString *error)
{
    QJsonArray list;
    result->calls.clear();
    if (!readResultHead(frame, QStringLiteral("calls"), &result->id, &result->truncated, &list, error))
        return false;
    result->calls = readEntries<HistoryCall>(list, HistoryRequest::MaxLimit, &HistoryCall::fromJson);
    result->truncated = result->truncated || list.size() > HistoryRequest::MaxLimit;
    return true;
}

QJsonObject HistoryRowsResult::toJson() const
{
    QJsonArray list;
    for (const DiagnosticMessage &row : rows) {
        QJsonObject member = PbxProtocol::diagnosticMessageToJson(row);
        member.remove(kType);
        list.append(member);
    }
    return resultFrame(PbxProtocol::TypeHistoryRowsResult, id, QStringLiteral("rows"), list, truncated);
}

bool HistoryRowsResult::fromJson(const QJsonObject &frame, HistoryRowsResult *result, QString *error)
{
    QJsonArray list;
    result->rows.clear();
    if (!readResultHead(frame, QStringLiteral("rows"), &result->id, &result->truncated, &list, error))
        return false;
    result->rows = readEntries<DiagnosticMessage>(list, MaxRows, [](const QJsonObject &o, DiagnosticMessage *row) {
        if (!PbxProtocol::diagnosticMessageFromJson(o, row))
            return false;
        PbxProtocol::boundLogMembers(row);
        return true;
    });
    result->truncated = result->truncated || list.size() > MaxRows;
    return true;
}

}
