#include "pbxprotocol.h"

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

void boundLogMembers(DiagnosticMessage *msg)
{
    const QString marker = QStringLiteral("...");
    for (QString *member : {&msg->tenantUuid, &msg->linkedId, &msg->uniqueId, &msg->messageId, &msg->timestamp,
                            &msg->verbosity}) {
        if (member->size() > MaxLogMemberLength)
            *member = boundedText(*member, MaxLogMemberLength, marker);
    }
    if (msg->extraFields.size() > MaxLogExtraFields)
        msg->extraFields.erase(msg->extraFields.begin() + MaxLogExtraFields, msg->extraFields.end());
    for (QString &field : msg->extraFields) {
        if (field.size() > MaxLogMemberLength)
            field = boundedText(field, MaxLogMemberLength, marker);
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
