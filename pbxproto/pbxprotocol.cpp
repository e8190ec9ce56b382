#include "pbxprotocol.h"

#include "pbxframecodec.h"

#include <QJsonArray>
#include <QTextBoundaryFinder>

#include <cmath>
#include <limits>

namespace PbxProtocol {

const QString TypeHello = QStringLiteral("hello");
const QString TypeLoginChallenge = QStringLiteral("login-challenge");
const QString TypeLoginOk = QStringLiteral("login-ok");
const QString TypeLoginRefused = QStringLiteral("login-refused");
const QString TypePong = QStringLiteral("pong");
const QString TypeLog = QStringLiteral("log");
const QString TypeTenants = QStringLiteral("tenants");
const QString TypeSubscribed = QStringLiteral("subscribed");
const QString TypeFeatures = QStringLiteral("features");
const QString TypeCommandResult = QStringLiteral("command-result");
const QString TypeError = QStringLiteral("error");
const QString TypeBye = QStringLiteral("bye");
const QString TypeLogin = QStringLiteral("login");
const QString TypeLoginProof = QStringLiteral("login-proof");
const QString TypePing = QStringLiteral("ping");
const QString TypeGetTenants = QStringLiteral("get-tenants");
const QString TypeSubscribe = QStringLiteral("subscribe");
const QString TypeCommand = QStringLiteral("command");
const QString TypeLogout = QStringLiteral("logout");
const QString TypeHistoryCalls = QStringLiteral("history-calls");
const QString TypeHistoryRows = QStringLiteral("history-rows");
const QString TypeHistoryCallsResult = QStringLiteral("history-calls-result");
const QString TypeHistoryRowsResult = QStringLiteral("history-rows-result");
const QString FeatureHistory = QStringLiteral("HISTORY");

QString frameType(const QJsonObject &frame)
{
    const QJsonValue v = frame.value(QLatin1String("type"));
    return v.isString() ? v.toString() : QString();
}

QString boundedReason(const QString &reason)
{
    return boundedText(reason, MaxReasonLength, QString(QChar(0x2026)));
}

QString boundedText(const QString &text, int maxLength, const QString &marker)
{
    if (text.size() <= maxLength)
        return text;
    // One character past the cut tells whether the cut splits a character;
    // the rest is never looked at.
    const QString head = text.left(maxLength + 1);
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, head);
    boundaries.setPosition(maxLength);
    if (!boundaries.isAtBoundary())
        boundaries.toPreviousBoundary();
    return head.left(qMax(0, boundaries.position())) + marker;
}

QString boundedLogMember(const QString &text)
{
    return boundedText(text, MaxLogMemberLength, QStringLiteral("..."));
}

void boundLogMembers(DiagnosticMessage *msg)
{
    for (QString *member : {&msg->tenantUuid, &msg->linkedId, &msg->uniqueId, &msg->messageId, &msg->timestamp,
                            &msg->verbosity}) {
        if (member->size() > MaxLogMemberLength)
            *member = boundedLogMember(*member);
    }
    if (msg->extraFields.size() > MaxLogExtraFields)
        msg->extraFields.erase(msg->extraFields.begin() + MaxLogExtraFields, msg->extraFields.end());
    for (QString &field : msg->extraFields) {
        if (field.size() > MaxLogMemberLength)
            field = boundedLogMember(field);
    }
}

QString optString(const QJsonObject &o, const QString &key, bool *ok)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return QString();
    if (!v.isString())
        *ok = false;
    return v.toString();
}

QStringList optStringList(const QJsonObject &o, const QString &key, bool *ok)
{
    const QJsonValue v = o.value(key);
    QStringList list;
    if (v.isUndefined() || v.isNull())
        return list;
    if (!v.isArray()) {
        *ok = false;
        return list;
    }
    const QJsonArray array = v.toArray();
    for (const QJsonValue &item : array) {
        if (!item.isString()) {
            *ok = false;
            return QStringList();
        }
        list.append(item.toString());
    }
    return list;
}

int optInt(const QJsonObject &o, const QString &key, int defaultValue, bool *ok)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return defaultValue;
    const double d = v.toDouble(std::numeric_limits<double>::quiet_NaN());
    if (!v.isDouble() || !std::isfinite(d) || std::trunc(d) != d
        || d < double(std::numeric_limits<int>::min()) || d > double(std::numeric_limits<int>::max())) {
        *ok = false;
        return defaultValue;
    }
    return int(d);
}

QJsonObject diagnosticMessageToJson(const DiagnosticMessage &msg)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), TypeLog);
    o.insert(QStringLiteral("id"), msg.messageId);
    if (!msg.tenantUuid.isEmpty())
        o.insert(QStringLiteral("tenant"), msg.tenantUuid);
    if (!msg.linkedId.isEmpty())
        o.insert(QStringLiteral("linkedId"), msg.linkedId);
    if (!msg.uniqueId.isEmpty())
        o.insert(QStringLiteral("uniqueId"), msg.uniqueId);
    o.insert(QStringLiteral("timestamp"), msg.timestamp);
    o.insert(QStringLiteral("level"), msg.verbosity.toInt());
    o.insert(QStringLiteral("message"), msg.message);
    if (!msg.extraFields.isEmpty())
        o.insert(QStringLiteral("extra"), QJsonArray::fromStringList(msg.extraFields));
    return o;
}

namespace {
// A JSON string (RFC 8259) as Qt's writer makes it: quotes, backslashes and
// control characters escaped, a lone surrogate as \uXXXX, the rest UTF-8.
// Written through a pointer into room made once: a byte at a time through
// append() was most of an exchange's cost per log line.
void appendJsonString(QByteArray *out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    const int start = out->size();
    out->resize(start + 2 + 6 * text.size());  // no unit takes more than 6 bytes
    char *d = out->data() + start;
    auto escape = [&d](uint u) {
        *d++ = '\\';
        *d++ = 'u';
        *d++ = hex[(u >> 12) & 15];
        *d++ = hex[(u >> 8) & 15];
        *d++ = hex[(u >> 4) & 15];
        *d++ = hex[u & 15];
    };
    *d++ = '"';
    const QChar *p = text.constData();
    const QChar *end = p + text.size();
    for (; p < end; ++p) {
        const uint u = p->unicode();
        if (u < 0x80) {
            if (u >= 0x20 && u != '"' && u != '\\') {
                *d++ = char(u);
                continue;
            }
            switch (u) {
            case '"': *d++ = '\\'; *d++ = '"'; break;
            case '\\': *d++ = '\\'; *d++ = '\\'; break;
            case '\n': *d++ = '\\'; *d++ = 'n'; break;
            case '\r': *d++ = '\\'; *d++ = 'r'; break;
            case '\t': *d++ = '\\'; *d++ = 't'; break;
            default: escape(u);
            }
        } else if (u < 0x800) {
            *d++ = char(0xc0 | (u >> 6));
            *d++ = char(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && p + 1 < end && (p + 1)->isLowSurrogate()) {
            const uint c = QChar::surrogateToUcs4(ushort(u), (++p)->unicode());
            *d++ = char(0xf0 | (c >> 18));
            *d++ = char(0x80 | ((c >> 12) & 0x3f));
            *d++ = char(0x80 | ((c >> 6) & 0x3f));
            *d++ = char(0x80 | (c & 0x3f));
        } else if (QChar::isSurrogate(u)) {
            escape(u);
        } else {
            *d++ = char(0xe0 | (u >> 12));
            *d++ = char(0x80 | ((u >> 6) & 0x3f));
            *d++ = char(0x80 | (u & 0x3f));
        }
    }
    *d++ = '"';
    out->resize(int(d - out->constData()));
}

void appendMember(QByteArray *out, const char *name, const QString &value)
{
    out->append(name);
    appendJsonString(out, value);
}
}

QByteArray encodeLogFrame(const DiagnosticMessage &msg)
{
    QByteArray out;
    qint64 units = qint64(msg.messageId.size()) + msg.tenantUuid.size() + msg.linkedId.size() + msg.uniqueId.size()
        + msg.timestamp.size() + msg.message.size();
    for (const QString &field : msg.extraFields)
        units += field.size() + 3;
    // Each unit is at least one byte of the frame: too long whatever it holds.
    if (units > PbxFrameCodec::DefaultMaxFrameSize)
        return {};
    out.reserve(int(160 + 6 * units));
    out.append("{\"type\":\"log\"");
    appendMember(&out, ",\"id\":", msg.messageId);
    if (!msg.tenantUuid.isEmpty())
        appendMember(&out, ",\"tenant\":", msg.tenantUuid);
    if (!msg.linkedId.isEmpty())
        appendMember(&out, ",\"linkedId\":", msg.linkedId);
    if (!msg.uniqueId.isEmpty())
        appendMember(&out, ",\"uniqueId\":", msg.uniqueId);
    appendMember(&out, ",\"timestamp\":", msg.timestamp);
    out.append(",\"level\":");
    out.append(QByteArray::number(msg.verbosity.toInt()));
    appendMember(&out, ",\"message\":", msg.message);
    if (!msg.extraFields.isEmpty()) {
        out.append(",\"extra\":[");
        for (int i = 0; i < msg.extraFields.size(); ++i) {
            if (i > 0)
                out.append(',');
            appendJsonString(&out, msg.extraFields.at(i));
        }
        out.append(']');
    }
    out.append("}\n", 2);
    if (out.size() - 1 > PbxFrameCodec::DefaultMaxFrameSize)
        return {};
    return out;
}

bool diagnosticMessageFromJson(const QJsonObject &frame, DiagnosticMessage *msg)
{
    bool ok = frame.value(QLatin1String("level")).isDouble() && frame.value(QLatin1String("message")).isString();
    DiagnosticMessage m;
    m.messageId = optString(frame, QStringLiteral("id"), &ok);
    m.tenantUuid = optString(frame, QStringLiteral("tenant"), &ok);
    m.linkedId = optString(frame, QStringLiteral("linkedId"), &ok);
    m.uniqueId = optString(frame, QStringLiteral("uniqueId"), &ok);
    m.timestamp = optString(frame, QStringLiteral("timestamp"), &ok);
    // Levels below 0 are the client's own (-1 marks command results) and the
    // window shows none above 4: an exchange gets the nearest of its levels.
    m.verbosity = QString::number(qBound(0, optInt(frame, QStringLiteral("level"), 0, &ok), 4));
    m.message = optString(frame, QStringLiteral("message"), &ok);
    m.extraFields = optStringList(frame, QStringLiteral("extra"), &ok);
    if (!ok)
        return false;
    *msg = m;
    return true;
}

QJsonObject serverCommandToJson(const ServerCommand &command)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), TypeCommand);
    o.insert(QStringLiteral("id"), command.id);
    o.insert(QStringLiteral("command"), command.command);
    o.insert(QStringLiteral("params"), QJsonArray::fromStringList(command.params));
    return o;
}

bool serverCommandFromJson(const QJsonObject &frame, ServerCommand *command)
{
    bool ok = frame.value(QLatin1String("id")).isString() && frame.value(QLatin1String("command")).isString();
    ServerCommand c;
    c.id = optString(frame, QStringLiteral("id"), &ok);
    c.command = optString(frame, QStringLiteral("command"), &ok);
    c.params = optStringList(frame, QStringLiteral("params"), &ok);
    if (!ok)
        return false;
    *command = c;
    return true;
}

QJsonObject commandResponseToJson(const ServerCommandResponse &response)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), TypeCommandResult);
    o.insert(QStringLiteral("id"), response.commandId);
    o.insert(QStringLiteral("command"), response.command);
    o.insert(QStringLiteral("executed"), response.executed);
    o.insert(QStringLiteral("code"), response.code);
    o.insert(QStringLiteral("detail"), response.detail);
    o.insert(QStringLiteral("output"), response.output);
    o.insert(QStringLiteral("timestamp"), response.timestamp);
    return o;
}

bool commandResponseFromJson(const QJsonObject &frame, ServerCommandResponse *response)
{
    bool ok = frame.value(QLatin1String("id")).isString() && frame.value(QLatin1String("executed")).isBool();
    ServerCommandResponse r;
    r.commandId = optString(frame, QStringLiteral("id"), &ok);
    r.command = optString(frame, QStringLiteral("command"), &ok);
    r.executed = frame.value(QLatin1String("executed")).toBool();
    r.code = optInt(frame, QStringLiteral("code"), 0, &ok);
    r.detail = optString(frame, QStringLiteral("detail"), &ok);
    r.output = optString(frame, QStringLiteral("output"), &ok);
    r.timestamp = optString(frame, QStringLiteral("timestamp"), &ok);
    if (!ok)
        return false;
    *response = r;
    return true;
}

QJsonObject loginDetailsToJson(const LoginDetails &d)
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), TypeLoginOk);
    o.insert(QStringLiteral("user"), d.user);
    o.insert(QStringLiteral("domain"), d.domain);
    o.insert(QStringLiteral("serverName"), d.serverName);
    o.insert(QStringLiteral("serverVersion"), d.serverVersion);
    o.insert(QStringLiteral("apiVersion"), d.apiVersion);
    o.insert(QStringLiteral("sessionId"), d.sessionId);
    o.insert(QStringLiteral("clientAddress"), d.clientAddress);
    o.insert(QStringLiteral("loginTime"), d.loginTime);
    o.insert(QStringLiteral("features"), QJsonArray::fromStringList(d.features));
    o.insert(QStringLiteral("extension"), d.extension);
    o.insert(QStringLiteral("displayName"), d.displayName);
    o.insert(QStringLiteral("language"), d.language);
    o.insert(QStringLiteral("timezone"), d.timezone);
    return o;
}

bool loginDetailsFromJson(const QJsonObject &frame, LoginDetails *details)
{
    bool ok = true;
    LoginDetails d;
    d.user = optString(frame, QStringLiteral("user"), &ok);
    d.domain = optString(frame, QStringLiteral("domain"), &ok);
    d.serverName = optString(frame, QStringLiteral("serverName"), &ok);
    d.serverVersion = optString(frame, QStringLiteral("serverVersion"), &ok);
    d.apiVersion = optString(frame, QStringLiteral("apiVersion"), &ok);
    d.sessionId = optString(frame, QStringLiteral("sessionId"), &ok);
    d.clientAddress = optString(frame, QStringLiteral("clientAddress"), &ok);
    d.loginTime = optString(frame, QStringLiteral("loginTime"), &ok);
    d.features = optStringList(frame, QStringLiteral("features"), &ok);
    d.extension = optString(frame, QStringLiteral("extension"), &ok);
    d.displayName = optString(frame, QStringLiteral("displayName"), &ok);
    d.language = optString(frame, QStringLiteral("language"), &ok);
    d.timezone = optString(frame, QStringLiteral("timezone"), &ok);
    if (!ok)
        return false;
    *details = d;
    return true;
}

}
