#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "logindetails.h"
#include "pbxtenant.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// The session frames as plain records, each written by toJson() and read by
// fromJson() only, so that both ends spell their members once. Log records,
// commands and history requests have their own conversions (pbxprotocol.h,
// historyrequest.h).
//
// fromJson() is false, with the reason, for a missing or mistyped member;
// the record then holds whatever members could be read, for the ends that
// still use part of such a frame (a refused login names its domain, a bye
// with no usable reason still ends the session). Members this end never
// reads are taken only when they have their type: an exchange's extras
// break nothing.
namespace PbxFrames {

// "hello": the exchange's greeting. A missing protocol reads as 0.
struct Hello
{
    int protocol = 0;
    QString server;
    QString serverVersion;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Hello *hello, QString *error);
};

// The client program, as "login" describes it; only ever logged.
struct ClientInfo
{
    QString platform;
    QString osVersion;
    QString name;
    QString version;
};

// "login": the SCRAM client-first message.
struct Login
{
    QString domain;
    int mode = 0;
    QString scram;
    ClientInfo client;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Login *login, QString *error);
};

// "login-challenge": the SCRAM server-first message, refused when longer
// than a SCRAM message may be.
struct LoginChallenge
{
    QString scram;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, LoginChallenge *challenge, QString *error);
};

// "login-proof": the SCRAM client-final message.
struct LoginProof
{
    QString scram;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, LoginProof *proof, QString *error);
};

// "login-ok": the server-final message and the session's details. The
// signature is read even when a detail is malformed, since it is checked
// first; one that is missing, mistyped or too long reads as empty.
struct LoginOk
{
    QString scram;
    LoginDetails details;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, LoginOk *ok, QString *error);
};

// "error", "bye" and "login-refused": why, as the exchange says it, cut to
// PbxProtocol::MaxReasonLength when read. An error that answers a request
// names its id, cut as a log member is.
struct Reason
{
    QString type;
    QString reason;
    std::optional<QString> id;  // of an error only

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Reason *reason, QString *error);
};

// "ping" and "pong": a pong echoes the ping's seq, an integer.
struct KeepAlive
{
    QString type;
    std::optional<qint64> seq;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, KeepAlive *keepAlive, QString *error);
};

// "get-tenants" and "logout": nothing but the type.
struct Bare
{
    QString type;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Bare *bare, QString *error);
};

// "tenants": an entry without a text uuid is skipped and counted in *skipped.
struct Tenants
{
    QVector<PbxTenant> tenants;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Tenants *tenants, QString *error, int *skipped = nullptr);
};

// "subscribe": a tenant's uuid, empty for events of no tenant; since, when
// not empty, a row id after which the stored rows come first.
struct Subscribe
{
    QString tenant;
    QString since;

    // The row id since names, -1 for none.
    qint64 sinceRow() const;
    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Subscribe *subscribe, QString *error);
};

// "subscribed": the subscription now in force.
struct Subscribed
{
    QString tenant;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Subscribed *subscribed, QString *error);
};

// "features": the exchange's feature list, replaced whole.
struct Features
{
    QStringList features;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, Features *features, QString *error);
};

// "history-calls-result": the calls matching a request, at most
// HistoryRequest::MaxLimit read; truncated says there were more. A call of
// malformed members is skipped.
struct HistoryCallsResult
{
    QString id;
    QVector<HistoryCall> calls;
    bool truncated = false;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, HistoryCallsResult *result, QString *error);
};

// "history-rows-result": one call's rows, at most MaxRows read, their
// members bounded as live ones are; truncated says there were more.
struct HistoryRowsResult
{
    static constexpr int MaxRows = 20000;

    QString id;
    QVector<DiagnosticMessage> rows;
    bool truncated = false;

    QJsonObject toJson() const;
    static bool fromJson(const QJsonObject &frame, HistoryRowsResult *result, QString *error);
};

}
