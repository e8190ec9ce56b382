#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "historyrequest.h"
#include "logindetails.h"
#include "pbxframecodec.h"
#include "servercommand.h"
#include "servercommandresponse.h"

#include <QAbstractSocket>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <memory>

class QSslSocket;
class ScramClient;

// The connection to the exchange, living on the link's thread.
//
// PbxLink hands every call over to this object with queued invocations and
// forwards its signals. A connection attempt ends in one loggedToServer()
// followed later by one unloggedFromServer(), or in one unloggedFromServer()
// alone; one replaced by a new connectToServer() ends silently, and PbxLink
// reports its end.
class PbxLinkSession : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultKeepAliveMs = 15000;
    static constexpr int MaxPingIntervalMs = 5000;

    PbxLinkSession(const QString &platform, const QString &osVersion, const QString &appShortName,
                   const QString &appVersion, const QString &dataDir, int keepAliveMs, QObject *parent = nullptr);
    ~PbxLinkSession() override;

    void setServerAddress(const QString &hostAndPort);
    void connectToServer(const QString &user, const QString &password, const QString &domain, int mode);
    void disconnectFromServer();
    void getTenantList();
    // since: a row id of this exchange; its stored rows after it come first.
    void subscribeTenantEvents(const QString &tenantUuid, const QString &since = QString());
    void sendHistoryRequest(const HistoryRequest &request);
    void sendServerCommand(const ServerCommand &command);
    // The user's answer to sigUnknownExchange; an answer for another
    // attempt or another certificate is ignored.
    void answerUnknownExchange(const QString &address, const QString &fingerprint, bool trust);
    // Ends a live connection as a user request, flushing the goodbye briefly.
    void closeForShutdown();
    // While paused, a logged-in session reads no further frames: the socket's
    // bounded buffer fills and TCP slows the exchange down. The silence
    // bound does not run meanwhile: the exchange is not the silent one.
    void setReadingPaused(bool paused);

    // "v4:port", "[v6]:port", or either literal alone (a bare IPv6 literal is
    // all address, never address and port); IPv4 only as four decimal parts.
    // Without a port the exchange's usual port is taken.
    static bool parseHostAndPort(const QString &text, QHostAddress *host, quint16 *port);

    // Reads PBXLINK_KEEPALIVE_MS; the default when unset or unusable.
    static int keepAliveFromEnvironment();

signals:
    void loggedToServer(LoginDetails details);
    void unloggedFromServer(QString reason);
    void disconnectedFromServer();
    void sigFeaturesChanged(QStringList features);
    void sigTenantListReceived(QMap<QString, QString> tenants);
    void sigDiagnosticMessageReceived(DiagnosticMessage msg);
    void sigServerCommandResponse(ServerCommandResponse response);
    // Answers to history requests, by the request's id; an error frame that
    // names an id comes as sigHistoryError.
    void sigHistoryCalls(QString id, QVector<HistoryCall> calls, bool truncated);
    void sigHistoryRows(QString id, QVector<DiagnosticMessage> rows, bool truncated);
    void sigHistoryError(QString id, QString reason);
    // The TLS channel is up with an exchange whose certificate has no pin:
    // the attempt waits for answerUnknownExchange().
    void sigUnknownExchange(QString address, QString fingerprint);
    // Emitted just before the attempt ends with PBXLINK::ReasonIdentityChanged.
    void sigExchangeIdentityChanged(QString address, QString knownFingerprint, QString presentedFingerprint);

private:
    // Handshaking: TCP is up, TLS is not; AwaitingTrust: the user is asked
    // about the certificate; Authenticating: the challenge is awaited;
    // LoggingIn: the proof is sent, the verdict awaited.
    enum class State { Idle, Connecting, Handshaking, AwaitingTrust, AwaitingHello, Authenticating, LoggingIn, LoggedIn };

    void onConnected();
    void onEncrypted();
    void pinPresentedCertificate();
    void proceedAfterTrust();
    void onReadyRead();
    // Handles the frames already cut; false when the session ended or reading paused.
    bool handleBufferedFrames();
    void onSocketError(QAbstractSocket::SocketError error);
    void onDisconnected();
    void onSilence();
    void sendPing();

    void handleFrame(const QJsonObject &frame);
    void handleHello(const QJsonObject &frame);
    void handleChallenge(const QJsonObject &frame);
    void handleLoginOk(const QJsonObject &frame);
    void handleTenants(const QJsonObject &frame);
    void handleHistoryResult(const QString &type, const QJsonObject &frame);
    void skipFrame(const QString &why);
    // Console warnings about what the exchange sends, a bounded number per connection.
    void warnLimited(const QString &line);
    bool sendFrame(const QJsonObject &frame);
    void endSession(const QString &reason);
    void dropSocket(bool sayGoodbye);

    const QString m_platform;
    const QString m_osVersion;
    const QString m_appShortName;
    const QString m_appVersion;
    const QString m_dataDir;
    const int m_keepAliveMs;

    QString m_address;
    QString m_addressKey;  // the endpoint as pinned
    QString m_presentedFingerprint;
    // Trusted by the user or an authority, stored once the exchange has
    // proven it holds the account's verifier.
    bool m_pinOnLogin = false;
    QString m_user;
    QString m_password;  // held only until the SCRAM exchange takes it
    std::unique_ptr<ScramClient> m_scram;
    QString m_domain;
    int m_mode = 0;
    QString m_pendingSubscription;
    QString m_pendingSince;
    bool m_hasPendingSubscription = false;

    State m_state = State::Idle;
    bool m_readingPaused = false;
    QSslSocket *m_socket = nullptr;
    // A connection whose goodbye is on its way out.
    QPointer<QSslSocket> m_leavingSocket;
    PbxFrameCodec m_codec;
    QTimer m_silenceTimer;
    QTimer m_pingTimer;
    qint64 m_pingSeq = 0;
    int m_skippedFrames = 0;
};
