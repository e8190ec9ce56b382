#pragma once

#include "diagnosticmessage.h"
#include "pbxframecodec.h"
#include "pbxframes.h"
#include "pbxserversettings.h"
#include "scram.h"

#include <QJsonObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QObject>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTimer>
#include <QVector>

#include <functional>

class LoginThrottle;
class PbxBackend;
class QSslSocket;

// The exchange's side of one client connection: TLS, greeting, SCRAM login,
// tenants, subscription, commands, keep-alive answers, logout and bye.
//
// Log frames reach a logged-in client in one of two ways: the server pushes
// frames it publishes (offerLogFrame()), or a subclass sends a stream of its
// own (the demo exchange). The protected hooks let a subclass act as an
// exchange that misbehaves on purpose, for the client's tests.
class PbxServerSession : public QObject
{
    Q_OBJECT

public:
    PbxServerSession(QSslSocket *socket, const PbxServerSettings &settings, PbxBackend *backend, int number,
                     QObject *parent = nullptr);
    ~PbxServerSession() override;

    // A reason to refuse an account that proved its password (the server's
    // limits), or empty to let it in.
    using Admission = std::function<QString(const QString &account)>;

    // The throttle shared by the server's sessions, or none.
    void setLoginThrottle(LoginThrottle *throttle);
    void setAdmission(Admission admission) { m_admission = std::move(admission); }
    void start();

    bool isLoggedIn() const { return m_state == State::LoggedIn; }
    // Connected, not yet logged in, not ending.
    bool isPending() const { return m_state != State::LoggedIn && m_state != State::Closed; }
    // Was challenged only a moment ago: a client answers within a round trip,
    // so cutting this one would cut a login that is about to succeed.
    bool isAnsweringChallenge() const;
    QString account() const { return m_user; }
    QHostAddress peerAddress() const { return m_peer; }
    QString subscription() const { return m_subscription; }
    qint64 sentMessages() const { return m_sent; }
    int number() const { return m_number; }
    // Everything written and not yet taken by the system: TLS moves what
    // the socket is given on into a buffer of its own at once.
    qint64 queuedBytes() const;

    // A log frame (encoded, line end included) of the given tenant: sent when
    // the client is logged in and subscribed to that tenant, or to every
    // logged-in client with anyTenant. A client whose unread frames pass the
    // bound is dropped with a bye. rowId: the record's id, for a client that
    // catches up from the history meanwhile.
    void offerLogFrame(const QString &tenant, const QByteArray &frame, bool anyTenant = false, qint64 rowId = 0);
    // The backend's tenant list, when logged in.
    void sendTenants();
    // Ends the session with a bye carrying the reason.
    void closeWithBye(const QString &reason);

signals:
    void eventReported(const QString &line);
    void loginAccepted();
    void finished();

protected:
    enum class State { Handshaking, AwaitingLogin, AwaitingProof, LoggedIn, Closed };

    // Sets the certificate and starts the server side of the TLS handshake.
    virtual void beginHandshake();
    virtual QSslCertificate localCertificate() const { return m_settings.certificate; }
    virtual QSslKey localKey() const { return m_settings.privateKey; }
    virtual void greet();
    // Every byte the session sends passes here.
    virtual void writeBytes(const QByteArray &bytes);
    // A reason to refuse every login with, or none.
    virtual QString loginRefusal() const { return {}; }
    virtual QByteArray loginSignature(const Scram::Verifier &verifier, const QByteArray &authMessage) const;
    // Whether a client's frames keep the session from timing out.
    virtual bool keepsAlive() const { return true; }
    virtual void loggedIn() {}
    virtual void subscribed(const QString &tenant) { Q_UNUSED(tenant) }

    void send(const QJsonObject &frame);
    void sendRaw(const QByteArray &bytes);
    // A log frame this session chose to send; counted in the session's total.
    void sendLogFrame(const QByteArray &frame);
    void sendError(const QString &reason);
    // Ends the session; with a reason, a bye carrying it goes first.
    void close(const QString &why, const QString &byeReason = QString());
    void stopIdleTimer() { m_idleTimer.stop(); }

    QSslSocket *socket() const { return m_socket; }

    const PbxServerSettings &settings() const { return m_settings; }
    State state() const { return m_state; }

private:
    void onReadyRead();
    void handleFrame(const QJsonObject &frame);
    void answerPing(const QJsonObject &frame);
    // The end of the session: timers stop, its commands are not wanted.
    void markClosed();
    void handleLogin(const QJsonObject &frame);
    void handleProof(const QJsonObject &frame);
    void handleCommand(const QJsonObject &frame);
    void handleSubscribe(const QJsonObject &frame);
    // The history: searches, one at a time, and a subscription's catch-up.
    void handleHistoryQuery(const QJsonObject &frame);
    void sendRequestError(const QString &id, const QString &reason);
    void startCatchUp(qint64 since);
    void requestCatchUpPage();
    void pumpCatchUp();
    void finishCatchUp();
    void refuseLogin(const QString &reason);
    // Refuses a login the throttle holds back; whether it did.
    bool refuseIfHeldBack();
    void checkProof(const QByteArray &clientFinal);
    // A text the client chose, fit for one line of the exchange's log.
    static QString printable(const QString &text);
    void emitSentTotal();

    QSslSocket *m_socket;
    const PbxServerSettings m_settings;
    PbxBackend *const m_backend;
    LoginThrottle *m_throttle = nullptr;
    Admission m_admission;
    const QHostAddress m_peer;
    // Lives while the session is logged in; a command's work ends with it.
    QObject *m_commandScope = nullptr;
    const int m_number;
    State m_state = State::Handshaking;
    PbxFrameCodec m_codec;
    QTimer m_idleTimer;
    QTimer m_loginDeadline;
    QElapsedTimer m_challenged;
    QTimer m_handshakeDeadline;
    int m_framesBeforeLogin = 0;
    int m_commandsInFlight = 0;
    bool m_tenantsAsked = false;  // a refresh for this client is under way
    // The login under way: who, and what the proof must be checked against.
    QString m_user;
    QString m_domain;
    int m_mode = 0;
    PbxFrames::ClientInfo m_client;
    Scram::Verifier m_verifier;
    QByteArray m_combinedNonce;
    QByteArray m_authMessagePrefix;  // client-first-bare "," server-first
    QString m_subscription;
    qint64 m_sent = 0;
    bool m_historyQueryRunning = false;
    // Stored rows go out first, live ones of the subscription wait meanwhile
    // with their ids, so that none is missed or sent twice.
    bool m_catchingUp = false;
    int m_catchUpRound = 0;  // a new subscription ends the catch-up before it
    qint64 m_catchUpAfter = 0;
    qint64 m_lastStoredSent = 0;
    bool m_catchUpMore = false;
    QVector<DiagnosticMessage> m_catchUpRows;
    QVector<QPair<qint64, QByteArray>> m_heldFrames;
    qint64 m_heldBytes = 0;
};
