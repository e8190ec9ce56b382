#include "historyrequest.h"
#include "pbxframes.h"
#include "pbxprotocol.h"

#include <QJsonDocument>
#include <QtTest>

// Every session frame read back as it was written, and the malformed ones
// refused with the reason the other end is told.
class tst_PbxFrames : public QObject
{
    Q_OBJECT

private slots:
    void readBack_data();
    void readBack();
};

namespace {

template <typename T>
bool readAs(const QJsonObject &frame, QJsonObject *back, QString *error)
{
    T record;
    if (!T::fromJson(frame, &record, error))
        return false;
    *back = record.toJson();
    return true;
}

// The record each frame type is read into, written again.
bool readFrame(const QJsonObject &frame, QJsonObject *back, QString *error)
{
    using namespace PbxProtocol;
    const QString type = frameType(frame);
    if (type == TypeHello)
        return readAs<PbxFrames::Hello>(frame, back, error);
    if (type == TypeLogin)
        return readAs<PbxFrames::Login>(frame, back, error);
    if (type == TypeLoginChallenge)
        return readAs<PbxFrames::LoginChallenge>(frame, back, error);
    if (type == TypeLoginProof)
        return readAs<PbxFrames::LoginProof>(frame, back, error);
    if (type == TypeLoginOk)
        return readAs<PbxFrames::LoginOk>(frame, back, error);
    if (type == TypeError || type == TypeBye || type == TypeLoginRefused)
        return readAs<PbxFrames::Reason>(frame, back, error);
    if (type == TypePing || type == TypePong)
        return readAs<PbxFrames::KeepAlive>(frame, back, error);
    if (type == TypeGetTenants || type == TypeLogout)
        return readAs<PbxFrames::Bare>(frame, back, error);
    if (type == TypeTenants)
        return readAs<PbxFrames::Tenants>(frame, back, error);
    if (type == TypeSubscribe)
        return readAs<PbxFrames::Subscribe>(frame, back, error);
    if (type == TypeSubscribed)
        return readAs<PbxFrames::Subscribed>(frame, back, error);
    if (type == TypeFeatures)
        return readAs<PbxFrames::Features>(frame, back, error);
    if (type == TypeHistoryCallsResult)
        return readAs<PbxFrames::HistoryCallsResult>(frame, back, error);
    if (type == TypeHistoryRowsResult)
        return readAs<PbxFrames::HistoryRowsResult>(frame, back, error);
    if (type == TypeHistoryCalls || type == TypeHistoryRows)
        return readAs<HistoryRequest>(frame, back, error);
    if (type == TypeCommand) {
        ServerCommand command;
        const bool ok = serverCommandFromJson(frame, &command);
        *back = serverCommandToJson(command);
        return ok;
    }
    if (type == TypeCommandResult) {
        ServerCommandResponse response;
        const bool ok = commandResponseFromJson(frame, &response);
        *back = commandResponseToJson(response);
        return ok;
    }
    *error = QStringLiteral("no reader for \"%1\"").arg(type);
    return false;
}

QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

DiagnosticMessage row()
{
    return DiagnosticMessage{QStringLiteral("3f2c8a4e"),
                             QStringLiteral("1715675467.42"),
                             QString(),
                             QStringLiteral("41"),
                             QStringLiteral("2024-05-14 10:31:07.123"),
                             QStringLiteral("3"),
                             QStringLiteral("-- SIP/202 is ringing\n\"quoted\""),
                             {QStringLiteral("sip.method=INVITE")}};
}
}

void tst_PbxFrames::readBack_data()
{
    QTest::addColumn<QJsonObject>("frame");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("reason");  // what a refusal says

    auto written = [](const char *name, const QJsonObject &frame) {
        QTest::newRow(name) << frame << true << QString();
    };
    auto refused = [](const char *name, const QByteArray &json, const QString &reason) {
        QTest::newRow(name) << parse(json) << false << reason;
    };

    LoginDetails details;
    details.user = QStringLiteral("admin");
    details.domain = QStringLiteral("demo");
    details.features = QStringList{QStringLiteral("SEND_CMD"), PbxProtocol::FeatureHistory};
    details.timezone = QStringLiteral("Europe/Rome");
    HistoryCall call;
    call.callId = QStringLiteral("a84b4c76e66710");
    call.code = 486;
    call.rows = 12;
    HistoryRequest calls;
    calls.id = QStringLiteral("q1");
    calls.query = QStringLiteral("3933");
    calls.from = QStringLiteral("2024-05-14 00:00:00");
    calls.tenant = QStringLiteral("3f2c8a4e");
    calls.anyTenant = false;
    HistoryRequest rows;
    rows.kind = HistoryRequest::Kind::Rows;
    rows.id = QStringLiteral("q2");
    rows.callId = QStringLiteral("a84b4c76e66710");
    ServerCommandResponse result;
    result.commandId = QStringLiteral("{0b5c}");
    result.command = QStringLiteral("ping");
    result.executed = true;
    result.output = QStringLiteral("PING 192.0.2.10");

    written("hello", PbxFrames::Hello{2, QStringLiteral("demo"), QStringLiteral("18.4")}.toJson());
    written("login", PbxFrames::Login{QStringLiteral("demo"), 5, QStringLiteral("n,,n=admin,r=abc"),
                                      {QStringLiteral("debian"), QStringLiteral("12"), QStringLiteral("plogger4"),
                                       QStringLiteral("4.2")}}
                         .toJson());
    written("login-challenge", PbxFrames::LoginChallenge{QStringLiteral("r=abcdef,s=QSXCR+Q6sek8bf92,i=4096")}.toJson());
    written("login-proof", PbxFrames::LoginProof{QStringLiteral("c=biws,r=abcdef,p=cHJvb2Y=")}.toJson());
    written("login-ok", PbxFrames::LoginOk{QStringLiteral("v=c2lnbmF0dXJl"), details}.toJson());
    written("login-refused", PbxFrames::Reason{PbxProtocol::TypeLoginRefused, QStringLiteral("invalid credentials"), {}}.toJson());
    written("bye", PbxFrames::Reason{PbxProtocol::TypeBye, QStringLiteral("idle timeout"), {}}.toJson());
    written("error", PbxFrames::Reason{PbxProtocol::TypeError, QStringLiteral("unknown tenant"), {}}.toJson());
    written("error naming a request",
            PbxFrames::Reason{PbxProtocol::TypeError, QStringLiteral("busy"), QStringLiteral("q1")}.toJson());
    written("ping", PbxFrames::KeepAlive{PbxProtocol::TypePing, 7}.toJson());
    written("ping without seq", PbxFrames::KeepAlive{PbxProtocol::TypePing, {}}.toJson());
    written("pong", PbxFrames::KeepAlive{PbxProtocol::TypePong, 9007199254740992}.toJson());
    written("get-tenants", PbxFrames::Bare{PbxProtocol::TypeGetTenants}.toJson());
    written("logout", PbxFrames::Bare{PbxProtocol::TypeLogout}.toJson());
    written("tenants", PbxFrames::Tenants{{{QStringLiteral("3f2c8a4e"), QStringLiteral("Trasporti Adriatici")},
                                           {QStringLiteral("c6e9"), QString()}}}
                           .toJson());
    written("subscribe", PbxFrames::Subscribe{QStringLiteral("3f2c8a4e"), {}}.toJson());
    written("subscribe to no tenant since a row", PbxFrames::Subscribe{QString(), QStringLiteral("1842")}.toJson());
    written("subscribed", PbxFrames::Subscribed{QStringLiteral("3f2c8a4e")}.toJson());
    written("features", PbxFrames::Features{details.features}.toJson());
    written("history-calls-result", PbxFrames::HistoryCallsResult{QStringLiteral("q1"), {call}, true}.toJson());
    written("history-rows-result", PbxFrames::HistoryRowsResult{QStringLiteral("q2"), {row(), row()}, false}.toJson());
    written("history-calls", calls.toJson());
    written("history-rows", rows.toJson());
    written("command", PbxProtocol::serverCommandToJson({QStringLiteral("{0b5c}"), QStringLiteral("ping"),
                                                         {QStringLiteral("192.0.2.10")}}));
    written("command-result", PbxProtocol::commandResponseToJson(result));

    const QByteArray longScram = QByteArray(4097, 'r');
    const QByteArray longId = QByteArray(257, 'q');
    const QString malformedLogin = QStringLiteral("malformed login");
    const QString notRowId = QStringLiteral("since must be a row id");
    const QString notInteger = QStringLiteral("ping seq must be an integer");
    const QString malformedAnswer = QStringLiteral("malformed history answer");
    refused("hello protocol a text", R"({"type":"hello","protocol":"2"})", QStringLiteral("malformed greeting"));
    refused("hello protocol a fraction", R"({"type":"hello","protocol":2.5})", QStringLiteral("malformed greeting"));
    refused("login without scram", R"({"type":"login","domain":"demo","mode":5})", malformedLogin);
    refused("login scram a number", R"({"type":"login","scram":5})", malformedLogin);
    refused("login domain a list", R"({"type":"login","scram":"n,,n=a,r=b","domain":[]})", malformedLogin);
    refused("login mode a text", R"({"type":"login","scram":"n,,n=a,r=b","mode":"5"})", malformedLogin);
    refused("login-challenge without scram", R"({"type":"login-challenge"})", QStringLiteral("malformed challenge"));
    refused("login-challenge scram longer than a SCRAM message",
            R"({"type":"login-challenge","scram":")" + longScram + R"("})", QStringLiteral("malformed challenge"));
    refused("login-proof scram null", R"({"type":"login-proof","scram":null})", malformedLogin);
    refused("login-ok without scram", R"({"type":"login-ok","user":"admin"})", QStringLiteral("malformed login answer"));
    refused("login-ok scram longer than a SCRAM message", R"({"type":"login-ok","scram":")" + longScram + R"("})",
            QStringLiteral("malformed login answer"));
    refused("login-ok user a number", R"({"type":"login-ok","scram":"v=c2ln","user":1})",
            QStringLiteral("malformed login answer"));
    refused("login-ok features a text", R"({"type":"login-ok","scram":"v=c2ln","features":"SEND_CMD"})",
            QStringLiteral("malformed login answer"));
    refused("bye reason a number", R"({"type":"bye","reason":5})", QStringLiteral("malformed bye"));
    refused("error id a number", R"({"type":"error","reason":"r","id":5})", QStringLiteral("malformed error"));
    refused("ping seq a fraction", R"({"type":"ping","seq":1.5})", notInteger);
    refused("ping seq a text", R"({"type":"ping","seq":"1"})", notInteger);
    refused("ping seq null", R"({"type":"ping","seq":null})", notInteger);
    refused("ping seq beyond a double's integers", R"({"type":"ping","seq":9007199254740994})", notInteger);
    refused("tenants without a list", R"({"type":"tenants"})", QStringLiteral("malformed tenant list"));
    refused("tenants an object", R"({"type":"tenants","tenants":{}})", QStringLiteral("malformed tenant list"));
    refused("subscribe tenant a number", R"({"type":"subscribe","tenant":5})", QStringLiteral("unknown tenant"));
    refused("subscribe tenant a number beside since", R"({"type":"subscribe","tenant":5,"since":"1"})", notRowId);
    refused("subscribe since empty", R"({"type":"subscribe","tenant":"","since":""})", notRowId);
    refused("subscribe since a number", R"({"type":"subscribe","since":12})", notRowId);
    refused("subscribe since negative", R"({"type":"subscribe","since":"-1"})", notRowId);
    refused("subscribe since longer than a row id", R"({"type":"subscribe","since":"00000000000000000001"})", notRowId);
    refused("subscribe since not a number", R"({"type":"subscribe","since":"12a"})", notRowId);
    refused("subscribed tenant a list", R"({"type":"subscribed","tenant":[]})", QStringLiteral("malformed subscription"));
    refused("features missing", R"({"type":"features"})", QStringLiteral("malformed feature list"));
    refused("features entry a number", R"({"type":"features","features":["SEND_CMD",1]})",
            QStringLiteral("malformed feature list"));
    refused("history-calls-result without id", R"({"type":"history-calls-result","calls":[]})", malformedAnswer);
    refused("history-calls-result truncated a text",
            R"({"type":"history-calls-result","id":"q","calls":[],"truncated":"yes"})", malformedAnswer);
    refused("history-rows-result rows an object", R"({"type":"history-rows-result","id":"q","rows":{}})",
            malformedAnswer);
    refused("history-calls id longer than allowed", R"({"type":"history-calls","id":")" + longId + R"("})",
            QStringLiteral("id must be a text of 1 to 256 characters"));
    refused("history-rows without callId", R"({"type":"history-rows","id":"q"})", QStringLiteral("callId is missing"));
    refused("command without id", R"({"type":"command","command":"ping"})", QString());
    refused("command params a text", R"({"type":"command","id":"c","command":"ping","params":"x"})", QString());
    refused("command-result executed a number", R"({"type":"command-result","id":"c","executed":1})", QString());
}

void tst_PbxFrames::readBack()
{
    QFETCH(QJsonObject, frame);
    QFETCH(bool, accepted);
    QFETCH(QString, reason);
    QVERIFY(!frame.isEmpty());
    QJsonObject back;
    QString error;
    QCOMPARE(readFrame(frame, &back, &error), accepted);
    QCOMPARE(error, reason);
    if (accepted)
        QCOMPARE(back, frame);
}

QTEST_GUILESS_MAIN(tst_PbxFrames)
#include "tst_pbxframes.moc"
