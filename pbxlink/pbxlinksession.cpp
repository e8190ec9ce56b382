#include "pbxlinksession.h"

#include "knownexchanges.h"
#include "pbxendpoint.h"
#include "pbxframes.h"
#include "pbxlinkglobal.h"
#include "pbxprotocol.h"
#include "scramclient.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QDebug>
#include <QSslConfiguration>
#include <QSslSocket>

#include <utility>

namespace {
constexpr quint16 kDefaultPort = 5039;
constexpr int kReadChunk = 64 * 1024;
// Keeps a flood of bad frames from flooding the log too.
constexpr int kMaxSkipWarnings = 20;
// A frame type as a log line quotes it: the exchange chooses it, up to a whole frame long.
QString loggedType(const QString &type)
{
    return type.left(64);
}
}

PbxLinkSession::PbxLinkSession(const QString &platform, const QString &osVersion,
                               const QString &appShortName, const QString &appVersion, const QString &dataDir,
                               int keepAliveMs, QObject *parent)
    : QObject(parent)
    , m_platform(platform)
    , m_osVersion(osVersion)
    , m_appShortName(appShortName)
    , m_appVersion(appVersion)
    , m_dataDir(dataDir)
    , m_keepAliveMs(keepAliveMs > 0 ? keepAliveMs : DefaultKeepAliveMs)
{
    setObjectName(QStringLiteral("PbxLinkSession"));
    m_silenceTimer.setSingleShot(true);
    m_silenceTimer.setInterval(m_keepAliveMs);
    connect(&m_silenceTimer, &QTimer::timeout, this, &PbxLinkSession::onSilence);
    m_pingTimer.setInterval(qBound(10, m_keepAliveMs / 3, MaxPingIntervalMs));
    connect(&m_pingTimer, &QTimer::timeout, this, &PbxLinkSession::sendPing);
}

PbxLinkSession::~PbxLinkSession()
{
    dropSocket(false);
}

int PbxLinkSession::keepAliveFromEnvironment()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("PBXLINK_KEEPALIVE_MS", &ok);
    return ok && ms >= 30 && ms <= 3600 * 1000 ? ms : DefaultKeepAliveMs;
}

bool PbxLinkSession::parseHostAndPort(const QString &text, QHostAddress *host, quint16 *port)
{
    return PbxEndpoint::parse(text, PbxEndpoint::PortRules{kDefaultPort, false}, host, port);
}

void PbxLinkSession::setServerAddress(const QString &hostAndPort)
{
    m_address = hostAndPort;
}

void PbxLinkSession::connectToServer(const QString &user, const QString &password, const QString &domain,
                                     int mode)
{
    // A new attempt replaces whatever is under way; only its outcome is reported.
    dropSocket(m_state == State::LoggedIn);
    m_state = State::Idle;
    m_user = user;
    m_password = password;
    m_domain = domain;
    m_mode = mode;

    QHostAddress host;
    quint16 port = 0;
    if (!parseHostAndPort(m_address, &host, &port)) {
        m_password.clear();
        emit unloggedFromServer(QStringLiteral("invalid server address \"%1\"").arg(m_address));
        return;
    }

    m_state = State::Connecting;
    m_addressKey = KnownExchanges::addressKey(host, port);
    m_presentedFingerprint.clear();
    m_pinOnLogin = false;
    m_codec.reset();
    m_skippedFrames = 0;
    m_pingSeq = 0;
    m_socket = new QSslSocket(this);
    m_socket->setReadBufferSize(4 * kReadChunk);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    // Exchanges present self-signed certificates: trust comes from the pin,
    // checked once the handshake is done, not from a certificate authority.
    tls.setPeerVerifyMode(QSslSocket::QueryPeer);
    m_socket->setSslConfiguration(tls);
    connect(m_socket, &QSslSocket::connected, this, &PbxLinkSession::onConnected);
    connect(m_socket, &QSslSocket::encrypted, this, &PbxLinkSession::onEncrypted);
    connect(m_socket, &QSslSocket::readyRead, this, &PbxLinkSession::onReadyRead);
    connect(m_socket, &QSslSocket::errorOccurred, this, &PbxLinkSession::onSocketError);
    connect(m_socket, &QSslSocket::disconnected, this, &PbxLinkSession::onDisconnected);
    m_silenceTimer.start();
    m_socket->connectToHostEncrypted(host.toString(), port);
}

void PbxLinkSession::disconnectFromServer()
{
    if (m_state == State::Idle)
        return;
    dropSocket(m_state == State::LoggedIn);
    m_state = State::Idle;
    emit unloggedFromServer(QStringLiteral("UserRequest"));
}

void PbxLinkSession::closeForShutdown()
{
    if (m_state != State::Idle) {
        dropSocket(m_state == State::LoggedIn);
        m_state = State::Idle;
        emit unloggedFromServer(QStringLiteral("UserRequest"));
    }
    // A goodbye just sent: closed with the exchange's lines still unread,
    // the connection would end in a reset that can destroy the goodbye
    // before the exchange reads it. Briefly, the exchange closes first.
    if (m_leavingSocket && m_leavingSocket->state() != QAbstractSocket::UnconnectedState) {
        m_leavingSocket->setReadBufferSize(0);
        m_leavingSocket->waitForDisconnected(500);
    }
}

void PbxLinkSession::getTenantList()
{
    if (m_state != State::LoggedIn) {
        qDebug() << Q_FUNC_INFO << "not logged in, request dropped";
        return;
    }
    sendFrame(PbxFrames::Bare{PbxProtocol::TypeGetTenants}.toJson());
}

void PbxLinkSession::subscribeTenantEvents(const QString &tenantUuid, const QString &since)
{
    if (m_state != State::LoggedIn) {
        // Sent as soon as the login succeeds.
        m_pendingSubscription = tenantUuid;
        m_pendingSince = since;
        m_hasPendingSubscription = true;
        return;
    }
    sendFrame(PbxFrames::Subscribe{tenantUuid, since}.toJson());
}

void PbxLinkSession::sendHistoryRequest(const HistoryRequest &request)
{
    if (m_state != State::LoggedIn) {
        emit sigHistoryError(request.id, QStringLiteral("not connected"));
        return;
    }
    sendFrame(request.toJson());
}

// A frame of a bounded answer: more than the exchange may send is dropped.
void PbxLinkSession::handleHistoryResult(const QString &type, const QJsonObject &frame)
{
    QString error;
    if (type == PbxProtocol::TypeHistoryCallsResult) {
        PbxFrames::HistoryCallsResult result;
        if (PbxFrames::HistoryCallsResult::fromJson(frame, &result, &error))
            emit sigHistoryCalls(result.id, result.calls, result.truncated);
        else
            skipFrame(error);
        return;
    }
    PbxFrames::HistoryRowsResult result;
    if (PbxFrames::HistoryRowsResult::fromJson(frame, &result, &error))
        emit sigHistoryRows(result.id, result.rows, result.truncated);
    else
        skipFrame(error);
}

void PbxLinkSession::sendServerCommand(const ServerCommand &command)
{
    // Every command gets an answer, even one that could not be sent.
    QString failure;
    if (m_state != State::LoggedIn)
        failure = QStringLiteral("not connected to the exchange");
    else if (!sendFrame(PbxProtocol::serverCommandToJson(command)))
        failure = QStringLiteral("command too large to send");
    if (failure.isEmpty())
        return;
    ServerCommandResponse response;
    response.commandId = command.id;
    response.command = command.command;
    response.executed = false;
    response.code = -1;
    response.detail = failure;
    response.timestamp = WireTimestamp::now();
    emit sigServerCommandResponse(response);
}

void PbxLinkSession::answerUnknownExchange(const QString &address, const QString &fingerprint, bool trust)
{
    if (m_state != State::AwaitingTrust || address != m_addressKey || fingerprint != m_presentedFingerprint)
        return;
    if (!trust) {
        endSession(QStringLiteral("UserRequest"));
        return;
    }
    m_pinOnLogin = true;
    proceedAfterTrust();
}

void PbxLinkSession::pinPresentedCertificate()
{
    // The session goes on either way; the next attempt asks again.
    if (!KnownExchanges(m_dataDir).remember(m_addressKey, m_presentedFingerprint))
        qWarning() << Q_FUNC_INFO << "could not store the exchange's fingerprint";
}

void PbxLinkSession::onConnected()
{
    // Only the TLS handshake runs until the channel is up; the handshake has
    // the same bound as the connection.
    m_state = State::Handshaking;
    m_silenceTimer.start();
}

void PbxLinkSession::onEncrypted()
{
    const QSslCertificate certificate = m_socket->peerCertificate();
    if (certificate.isNull()) {
        endSession(QStringLiteral("protocol error: the exchange presented no certificate"));
        return;
    }
    m_presentedFingerprint = PbxEndpoint::certificateFingerprint(certificate);
    const std::optional<QString> pinned = KnownExchanges(m_dataDir).fingerprint(m_addressKey);
    if (!pinned) {
        // A pinned exchange would look unknown; asking would let another certificate in.
        endSession(QString::fromLatin1(PBXLINK::ReasonKnownExchangesUnreadable));
        return;
    }
    const QString known = *pinned;
    if (known == m_presentedFingerprint) {
        proceedAfterTrust();
        return;
    }
    if (!known.isEmpty()) {
        // Refused before any frame of ours, not even the user name, went out.
        const QString address = m_addressKey;
        const QString presented = m_presentedFingerprint;
        emit sigExchangeIdentityChanged(address, known, presented);
        endSession(QString::fromLatin1(PBXLINK::ReasonIdentityChanged));
        return;
    }
    // A certificate a system authority vouches for this address needs no
    // question, but is pinned all the same, so that a later change is refused.
    if (m_socket->sslHandshakeErrors().isEmpty()) {
        m_pinOnLogin = true;
        proceedAfterTrust();
        return;
    }
    m_state = State::AwaitingTrust;
    // The user decides in their own time; a peer that leaves meanwhile still ends the attempt.
    m_silenceTimer.stop();
    emit sigUnknownExchange(m_addressKey, m_presentedFingerprint);
}

void PbxLinkSession::proceedAfterTrust()
{
    m_state = State::AwaitingHello;
    m_silenceTimer.start();
    // The greeting may have arrived while the question was open.
    if (m_socket && m_socket->bytesAvailable() > 0)
        onReadyRead();
}

void PbxLinkSession::onReadyRead()
{
    // Nothing of the exchange is read until its identity is accepted.
    if (m_state == State::Handshaking || m_state == State::AwaitingTrust)
        return;
    while (handleBufferedFrames() && m_socket && m_socket->bytesAvailable() > 0) {
        if (!m_codec.feed(m_socket->read(kReadChunk))) {
            endSession(QStringLiteral("protocol error: frame larger than %1 bytes").arg(m_codec.maxFrameSize()));
            return;
        }
    }
}

bool PbxLinkSession::handleBufferedFrames()
{
    for (;;) {
        if (m_readingPaused && m_state == State::LoggedIn) {
            m_silenceTimer.stop();
            return false;
        }
        QJsonObject frame;
        QString error;
        const PbxFrameCodec::Result result = m_codec.next(&frame, &error);
        if (result == PbxFrameCodec::Result::NeedMore)
            return true;
        if (result == PbxFrameCodec::Result::Overflow) {
            endSession(QStringLiteral("protocol error: %1").arg(error));
            return false;
        }
        if (result == PbxFrameCodec::Result::BadFrame) {
            if (m_state != State::LoggedIn) {
                endSession(QStringLiteral("protocol error: %1").arg(error));
                return false;
            }
            skipFrame(error);
            continue;
        }
        handleFrame(frame);
        if (m_state == State::Idle || !m_socket)
            return false;
        // The login has a fixed deadline; after it only whole frames
        // prove life, so a trickle of bytes cannot hold a dead link open.
        if (m_state == State::LoggedIn)
            m_silenceTimer.start();
    }
}

void PbxLinkSession::setReadingPaused(bool paused)
{
    if (m_readingPaused == paused)
        return;
    m_readingPaused = paused;
    if (paused || m_state != State::LoggedIn)
        return;
    m_silenceTimer.start();
    // What waited in the codec and the socket is read now: no readyRead
    // comes for bytes that arrived while paused.
    QTimer::singleShot(0, this, [this] {
        if (m_state == State::LoggedIn && !m_readingPaused)
            onReadyRead();
    });
}

void PbxLinkSession::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_state == State::Idle)
        return;
    QString reason;
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        reason = QStringLiteral("connection refused");
        break;
    case QAbstractSocket::RemoteHostClosedError:
        reason = QStringLiteral("connection closed by the exchange");
        break;
    case QAbstractSocket::HostNotFoundError:
        reason = QStringLiteral("host not found");
        break;
    case QAbstractSocket::NetworkError:
        reason = m_state == State::Connecting ? QStringLiteral("host unreachable")
                                              : QStringLiteral("network error: %1").arg(m_socket->errorString());
        break;
    case QAbstractSocket::SocketTimeoutError:
        reason = QStringLiteral("connection timed out");
        break;
    case QAbstractSocket::SslHandshakeFailedError:
        reason = QStringLiteral("TLS handshake failed: %1").arg(m_socket ? m_socket->errorString() : QString());
        break;
    default:
        reason = QStringLiteral("network error: %1").arg(m_socket ? m_socket->errorString() : QString());
        break;
    }
    endSession(reason);
}

void PbxLinkSession::onDisconnected()
{
    endSession(QStringLiteral("connection closed by the exchange"));
}

void PbxLinkSession::onSilence()
{
    switch (m_state) {
    case State::Idle:
        return;
    case State::Connecting:
        endSession(QStringLiteral("connection timed out"));
        return;
    case State::Handshaking:
        endSession(QStringLiteral("TLS handshake timed out"));
        return;
    case State::AwaitingTrust:
        return;
    case State::AwaitingHello:
    case State::Authenticating:
    case State::LoggingIn:
        endSession(QStringLiteral("login timed out"));
        return;
    case State::LoggedIn:
        endSession(QStringLiteral("keep-alive timeout"));
        return;
    }
}

void PbxLinkSession::sendPing()
{
    if (m_state != State::LoggedIn)
        return;
    sendFrame(PbxFrames::KeepAlive{PbxProtocol::TypePing, ++m_pingSeq}.toJson());
}

void PbxLinkSession::handleFrame(const QJsonObject &frame)
{
    using namespace PbxProtocol;
    const QString type = frameType(frame);

    if (type == TypeBye) {
        PbxFrames::Reason bye;
        const bool ok = PbxFrames::Reason::fromJson(frame, &bye, nullptr);
        endSession(ok && !bye.reason.isEmpty() ? QStringLiteral("closed by the exchange: %1").arg(bye.reason)
                                               : QStringLiteral("connection closed by the exchange"));
        return;
    }
    if (type == TypeError) {
        // Told whatever its members: a malformed error is still an error.
        PbxFrames::Reason error;
        PbxFrames::Reason::fromJson(frame, &error, nullptr);
        warnLimited(QStringLiteral("exchange reports: %1").arg(error.reason));
        // An error that names a request answers it.
        if (error.id)
            emit sigHistoryError(*error.id, error.reason);
        return;
    }

    switch (m_state) {
    case State::Idle:
    case State::Connecting:
    case State::Handshaking:
    case State::AwaitingTrust:
        return;
    case State::AwaitingHello:
        if (type == TypeHello)
            handleHello(frame);
        else
            skipFrame(QStringLiteral("unexpected \"%1\" before the greeting").arg(loggedType(type)));
        return;
    case State::Authenticating:
    case State::LoggingIn:
        if (type == TypeLoginChallenge && m_state == State::Authenticating) {
            handleChallenge(frame);
        } else if (type == TypeLoginOk && m_state == State::LoggingIn) {
            handleLoginOk(frame);
        } else if (type == TypeLoginRefused) {
            PbxFrames::Reason refusal;
            const bool ok = PbxFrames::Reason::fromJson(frame, &refusal, nullptr);
            endSession(ok && !refusal.reason.isEmpty() ? QStringLiteral("login refused: %1").arg(refusal.reason)
                                                       : QStringLiteral("login refused"));
        } else {
            skipFrame(QStringLiteral("unexpected \"%1\" during login").arg(loggedType(type)));
        }
        return;
    case State::LoggedIn:
        break;
    }

    if (type == TypeLog) {
        DiagnosticMessage msg;
        if (diagnosticMessageFromJson(frame, &msg)) {
            boundLogMembers(&msg);
            emit sigDiagnosticMessageReceived(msg);
        }
        else
            skipFrame(QStringLiteral("malformed log message"));
    } else if (type == TypePong || type == TypeSubscribed) {
        // Traffic enough: a whole frame restarts the silence timer.
    } else if (type == TypeTenants) {
        handleTenants(frame);
    } else if (type == TypeHistoryCallsResult || type == TypeHistoryRowsResult) {
        handleHistoryResult(type, frame);
    } else if (type == TypeCommandResult) {
        ServerCommandResponse response;
        if (commandResponseFromJson(frame, &response))
            emit sigServerCommandResponse(response);
        else
            skipFrame(QStringLiteral("malformed command result"));
    } else if (type == TypeFeatures) {
        PbxFrames::Features features;
        QString error;
        if (PbxFrames::Features::fromJson(frame, &features, &error))
            emit sigFeaturesChanged(features.features);
        else
            skipFrame(error);
    } else {
        skipFrame(type.isEmpty() ? QStringLiteral("frame without a type")
                                 : QStringLiteral("unknown frame type \"%1\"").arg(loggedType(type)));
    }
}

void PbxLinkSession::handleHello(const QJsonObject &frame)
{
    PbxFrames::Hello hello;
    QString error;
    if (!PbxFrames::Hello::fromJson(frame, &hello, &error)) {
        endSession(QStringLiteral("protocol error: %1").arg(error));
        return;
    }
    if (hello.protocol != PbxProtocol::ProtocolVersion) {
        endSession(QStringLiteral("protocol error: unsupported protocol version %1").arg(hello.protocol));
        return;
    }
    m_scram = std::make_unique<ScramClient>(m_user, m_password);
    m_password.clear();
    const PbxFrames::Login login{m_domain, m_mode, QString::fromUtf8(m_scram->clientFirst()),
                                 PbxFrames::ClientInfo{m_platform, m_osVersion, m_appShortName, m_appVersion}};
    m_state = State::Authenticating;
    sendFrame(login.toJson());
}

void PbxLinkSession::handleChallenge(const QJsonObject &frame)
{
    PbxFrames::LoginChallenge challenge;
    QString error;
    const bool wellFormed = PbxFrames::LoginChallenge::fromJson(frame, &challenge, &error);
    const QByteArray answer = !wellFormed || challenge.scram.isEmpty() || !m_scram
        ? QByteArray()
        : m_scram->clientFinal(challenge.scram.toUtf8(), &error);
    if (answer.isEmpty()) {
        endSession(QStringLiteral("protocol error: %1").arg(error.isEmpty() ? QStringLiteral("malformed challenge") : error));
        return;
    }
    m_state = State::LoggingIn;
    sendFrame(PbxFrames::LoginProof{QString::fromUtf8(answer)}.toJson());
}

void PbxLinkSession::handleLoginOk(const QJsonObject &frame)
{
    // Only an exchange holding this account's verifier can sign the exchange;
    // anyone else is not the exchange the password was meant for.
    PbxFrames::LoginOk answer;
    QString error;
    const bool wellFormed = PbxFrames::LoginOk::fromJson(frame, &answer, &error);
    const bool signedByExchange = m_scram && m_scram->serverFinalValid(answer.scram.toUtf8());
    m_scram.reset();
    if (!signedByExchange) {
        endSession(QStringLiteral("login failed: wrong server signature"));
        return;
    }
    // A peer that only collected the login proof is never remembered.
    if (std::exchange(m_pinOnLogin, false))
        pinPresentedCertificate();
    if (!wellFormed) {
        endSession(QStringLiteral("protocol error: %1").arg(error));
        return;
    }
    m_state = State::LoggedIn;
    m_pingTimer.start();
    emit loggedToServer(answer.details);
    emit sigFeaturesChanged(answer.details.features);
    if (m_hasPendingSubscription && m_state == State::LoggedIn) {
        m_hasPendingSubscription = false;
        subscribeTenantEvents(m_pendingSubscription, m_pendingSince);
    }
}

void PbxLinkSession::handleTenants(const QJsonObject &frame)
{
    PbxFrames::Tenants list;
    QString error;
    int skipped = 0;
    if (!PbxFrames::Tenants::fromJson(frame, &list, &error, &skipped)) {
        skipFrame(error);
        return;
    }
    for (int i = 0; i < skipped; ++i)
        skipFrame(QStringLiteral("malformed tenant entry"));
    // The window's signal keeps its map: uuid -> name, a later entry winning.
    QMap<QString, QString> tenants;
    for (const PbxTenant &t : qAsConst(list.tenants))
        tenants.insert(t.uuid, t.name);
    emit sigTenantListReceived(tenants);
}

void PbxLinkSession::skipFrame(const QString &why)
{
    warnLimited(QStringLiteral("skipped: %1").arg(why));
}

void PbxLinkSession::warnLimited(const QString &line)
{
    ++m_skippedFrames;
    if (m_skippedFrames <= kMaxSkipWarnings)
        qWarning() << Q_FUNC_INFO << line;
    if (m_skippedFrames == kMaxSkipWarnings)
        qWarning() << Q_FUNC_INFO << "further skipped or refused frames of this connection are not logged";
}

bool PbxLinkSession::sendFrame(const QJsonObject &frame)
{
    if (!m_socket)
        return false;
    const QByteArray line = PbxFrameCodec::encode(frame);
    if (line.isEmpty()) {
        qWarning() << Q_FUNC_INFO << "frame too large, not sent:" << PbxProtocol::frameType(frame);
        return false;
    }
    return m_socket->write(line) == line.size();
}

void PbxLinkSession::endSession(const QString &reason)
{
    if (m_state == State::Idle)
        return;
    dropSocket(false);
    m_state = State::Idle;
    qDebug() << Q_FUNC_INFO << reason;
    emit unloggedFromServer(reason);
}

void PbxLinkSession::dropSocket(bool sayGoodbye)
{
    m_silenceTimer.stop();
    m_pingTimer.stop();
    m_password.clear();
    m_scram.reset();
    if (!m_socket)
        return;
    QSslSocket *socket = m_socket;
    m_socket = nullptr;
    socket->disconnect(this);
    if (sayGoodbye && socket->state() == QAbstractSocket::ConnectedState) {
        socket->write(PbxFrameCodec::encode(PbxFrames::Bare{PbxProtocol::TypeLogout}.toJson()));
        // Handed to the system at once: a shutdown right after this ends the
        // event loop that would otherwise write it, and the goodbye was lost.
        socket->flush();
        // Let the goodbye drain, but never wait long for a peer that reads nothing.
        connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
        m_leavingSocket = socket;
        QTimer::singleShot(1000, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
        return;
    }
    socket->abort();
    socket->deleteLater();
}
