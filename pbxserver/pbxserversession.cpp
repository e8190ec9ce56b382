#include "pbxserversession.h"

#include "historyrequest.h"
#include "loginthrottle.h"
#include "pbxbackend.h"
#include "pbxframes.h"
#include "pbxprotocol.h"
#include "tlslistener.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QUuid>

#include <utility>

namespace {
constexpr int kReadChunk = 64 * 1024;
// A client that does not log in has this many frames to get it right.
// Pings count too: before the login they only keep a connection open.
constexpr int kMaxFramesBeforeLogin = 16;
// A login is a few hundred bytes; only a logged-in client sends more.
constexpr int kMaxFrameBeforeLogin = 8 * 1024;
// How long a challenged client is spared when a newcomer needs its place;
// an attacker's connection that only pretends to log in is not spared longer.
constexpr qint64 kAnswerGraceMs = 2000;
// A closed connection whose peer reads nothing is cut after this.
constexpr int kCloseGraceMs = 5000;
}

PbxServerSession::PbxServerSession(QSslSocket *socket, const PbxServerSettings &settings, PbxBackend *backend,
                                   int number, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_settings(settings)
    , m_backend(backend)
    , m_peer(socket->peerAddress())
    , m_number(number)
    , m_codec(kMaxFrameBeforeLogin)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(4 * kReadChunk);
    // An answer goes out at once, not after the client acknowledges the log
    // frames before it.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(qMax(100, settings.idleTimeoutMs));
    connect(&m_idleTimer, &QTimer::timeout, this,
            [this] { close(QStringLiteral("idle timeout"), QStringLiteral("idle timeout")); });
    m_loginDeadline.setSingleShot(true);
    connect(&m_loginDeadline, &QTimer::timeout, this, [this] {
        if (m_state != State::LoggedIn)
            close(QStringLiteral("no login in time"), QStringLiteral("login timed out"));
    });
    m_handshakeDeadline.setSingleShot(true);
    connect(&m_handshakeDeadline, &QTimer::timeout, this, [this] {
        if (m_state == State::Handshaking)
            close(QStringLiteral("TLS handshake not done in time"));
    });
}

PbxServerSession::~PbxServerSession() = default;

void PbxServerSession::setLoginThrottle(LoginThrottle *throttle)
{
    m_throttle = throttle;
}

void PbxServerSession::start()
{
    connect(m_socket, &QSslSocket::readyRead, this, &PbxServerSession::onReadyRead);
    connect(m_socket, &QSslSocket::disconnected, this, [this] {
        if (m_state != State::Closed) {
            markClosed();
            emit eventReported(QStringLiteral("session %1 closed: client disconnected").arg(m_number));
            emitSentTotal();
        }
        emit finished();
    });
    emit eventReported(
        QStringLiteral("session %1 connected from %2").arg(m_number).arg(m_socket->peerAddress().toString()));
    m_idleTimer.start();
    if (m_settings.loginDeadlineMs > 0)
        m_loginDeadline.start(m_settings.loginDeadlineMs);
    if (m_settings.handshakeTimeoutMs > 0)
        m_handshakeDeadline.start(m_settings.handshakeTimeoutMs);
    beginHandshake();
}

void PbxServerSession::beginHandshake()
{
    m_socket->setLocalCertificate(localCertificate());
    m_socket->setPrivateKey(localKey());
    QSslConfiguration tls = m_socket->sslConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setCiphers(TlsListener::acceptedCiphers());
    m_socket->setSslConfiguration(tls);
    connect(m_socket, &QSslSocket::encrypted, this, [this] {
        m_handshakeDeadline.stop();
        m_state = State::AwaitingLogin;
        greet();
    });
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::SslHandshakeFailedError)
            emit eventReported(
                QStringLiteral("session %1 TLS handshake failed: %2").arg(m_number).arg(m_socket->errorString()));
    });
    m_socket->startServerEncryption();
}

void PbxServerSession::greet()
{
    send(PbxFrames::Hello{PbxProtocol::ProtocolVersion, m_settings.serverName, m_settings.serverVersion}.toJson());
}

void PbxServerSession::writeBytes(const QByteArray &bytes)
{
    m_socket->write(bytes);
}

void PbxServerSession::send(const QJsonObject &frame)
{
    sendRaw(PbxFrameCodec::encode(frame));
}

void PbxServerSession::sendRaw(const QByteArray &bytes)
{
    if (m_state == State::Closed || bytes.isEmpty())
        return;
    // Whatever the client asks for, what it leaves unread is bounded; before
    // the login, to a few answers.
    qint64 limit = m_settings.maxQueuedBytes;
    if (m_state != State::LoggedIn && m_settings.maxQueuedBytesBeforeLogin > 0)
        limit = limit > 0 ? qMin(limit, m_settings.maxQueuedBytesBeforeLogin) : m_settings.maxQueuedBytesBeforeLogin;
    if (limit > 0 && queuedBytes() + bytes.size() > limit) {
        markClosed();
        emit eventReported(QStringLiteral("session %1 closed: client reads nothing of what it asks for").arg(m_number));
        emitSentTotal();
        m_socket->abort();
        return;
    }
    writeBytes(bytes);
}

void PbxServerSession::sendLogFrame(const QByteArray &frame)
{
    sendRaw(frame);
    ++m_sent;
}

void PbxServerSession::offerLogFrame(const QString &tenant, const QByteArray &frame, bool anyTenant, qint64 rowId)
{
    if (m_state != State::LoggedIn || (!anyTenant && tenant != m_subscription))
        return;
    if (m_catchingUp && !anyTenant) {
        m_heldFrames.append({rowId, frame});
        m_heldBytes += frame.size();
        if (m_heldBytes > m_settings.maxQueuedBytes)
            close(QStringLiteral("client fell behind"), QStringLiteral("client fell behind: too many log messages unread"));
        return;
    }
    if (queuedBytes() + frame.size() > m_settings.maxQueuedBytes) {
        // The bye is queued behind what the client does not read: it may
        // never see it, and the connection goes when the grace runs out.
        close(QStringLiteral("client fell behind"), QStringLiteral("client fell behind: too many log messages unread"));
        return;
    }
    sendLogFrame(frame);
}

qint64 PbxServerSession::queuedBytes() const
{
    return m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite();
}

void PbxServerSession::sendError(const QString &reason)
{
    send(PbxFrames::Reason{PbxProtocol::TypeError, reason, std::nullopt}.toJson());
}

void PbxServerSession::closeWithBye(const QString &reason)
{
    close(reason, reason);
}

void PbxServerSession::close(const QString &why, const QString &byeReason)
{
    if (m_state == State::Closed)
        return;
    if (!byeReason.isEmpty() && m_socket->isEncrypted())
        send(PbxFrames::Reason{PbxProtocol::TypeBye, byeReason, std::nullopt}.toJson());
    markClosed();
    emit eventReported(QStringLiteral("session %1 closed: %2").arg(m_number).arg(why));
    emitSentTotal();
    // Pending lines still go out before the connection ends, but a peer
    // that reads nothing does not keep it.
    m_socket->disconnectFromHost();
    QTimer::singleShot(kCloseGraceMs, m_socket, [socket = m_socket] { socket->abort(); });
}

void PbxServerSession::markClosed()
{
    m_state = State::Closed;
    m_idleTimer.stop();
    m_loginDeadline.stop();
    m_handshakeDeadline.stop();
    delete m_commandScope;
    m_commandScope = nullptr;
}

// Lets a soak or load run match what each client received against this.
void PbxServerSession::emitSentTotal()
{
    emit eventReported(QStringLiteral("session %1 total: sent %2 log messages").arg(m_number).arg(m_sent));
}

void PbxServerSession::onReadyRead()
{
    if (keepsAlive())
        m_idleTimer.start();
    if (!m_socket->isEncrypted()) {
        // A handshake held up on purpose, or a client that speaks no TLS.
        m_socket->readAll();
        return;
    }
    while (m_state != State::Closed && m_socket->bytesAvailable() > 0) {
        if (!m_codec.feed(m_socket->read(kReadChunk))) {
            close(QStringLiteral("client frame too large"), QStringLiteral("frame too large"));
            return;
        }
        for (;;) {
            QJsonObject frame;
            QString error;
            const PbxFrameCodec::Result result = m_codec.next(&frame, &error);
            if (result == PbxFrameCodec::Result::NeedMore)
                break;
            if (result == PbxFrameCodec::Result::Overflow) {
                close(QStringLiteral("client frame too large"), QStringLiteral("frame too large"));
                return;
            }
            if (result == PbxFrameCodec::Result::BadFrame) {
                if (m_state != State::LoggedIn) {
                    close(QStringLiteral("protocol error before login: %1").arg(error),
                          QStringLiteral("protocol error"));
                    return;
                }
                sendError(QStringLiteral("bad frame: %1").arg(error));
                continue;
            }
            handleFrame(frame);
            if (m_state == State::Closed)
                return;
        }
    }
}

void PbxServerSession::handleFrame(const QJsonObject &frame)
{
    using namespace PbxProtocol;
    const QString type = frameType(frame);
    if (m_state != State::LoggedIn && ++m_framesBeforeLogin > kMaxFramesBeforeLogin) {
        close(QStringLiteral("too many frames before the login"), QStringLiteral("protocol error"));
        return;
    }
    if (type == TypePing) {
        answerPing(frame);
        return;
    }
    if (type == TypeLogout) {
        close(QStringLiteral("logout"));
        return;
    }
    switch (m_state) {
    case State::Handshaking:
    case State::Closed:
        return;
    case State::AwaitingLogin:
    case State::AwaitingProof:
        if (type == TypeLogin && m_state == State::AwaitingLogin)
            handleLogin(frame);
        else if (type == TypeLoginProof && m_state == State::AwaitingProof)
            handleProof(frame);
        else
            sendError(QStringLiteral("not logged in"));
        return;
    case State::LoggedIn:
        break;
    }
    if (type == TypeGetTenants) {
        // The answer under way serves repeats too: a flood queues nothing.
        if (m_tenantsAsked)
            return;
        m_tenantsAsked = true;
        const QPointer<PbxServerSession> self(this);
        m_backend->refreshTenants([self] {
            if (!self)
                return;
            self->m_tenantsAsked = false;
            self->sendTenants();
        });
    } else if (type == TypeSubscribe) {
        handleSubscribe(frame);
    } else if (type == TypeCommand) {
        handleCommand(frame);
    } else if (type == TypeHistoryCalls || type == TypeHistoryRows) {
        handleHistoryQuery(frame);
    } else if (type == TypeLogin) {
        sendError(QStringLiteral("already logged in"));
    } else {
        sendError(QStringLiteral("unknown request type \"%1\"").arg(type.left(64)));
    }
}

// The pong echoes seq, so it must be what the client sends: an integer.
void PbxServerSession::answerPing(const QJsonObject &frame)
{
    PbxFrames::KeepAlive ping;
    QString error;
    if (!PbxFrames::KeepAlive::fromJson(frame, &ping, &error)) {
        if (m_state != State::LoggedIn)
            close(QStringLiteral("ping seq is not an integer"), QStringLiteral("protocol error: %1").arg(error));
        else
            sendError(error);
        return;
    }
    send(PbxFrames::KeepAlive{PbxProtocol::TypePong, ping.seq}.toJson());
}

void PbxServerSession::sendTenants()
{
    if (m_state != State::LoggedIn)
        return;
    send(PbxFrames::Tenants{m_backend->tenants()}.toJson());
}

void PbxServerSession::handleSubscribe(const QJsonObject &frame)
{
    PbxFrames::Subscribe request;
    QString error;
    if (!PbxFrames::Subscribe::fromJson(frame, &request, &error)) {
        sendError(error);
        return;
    }
    // Rows after since come first from the history.
    if (!request.since.isEmpty() && !m_backend->keepsHistory()) {
        sendError(QStringLiteral("no history is kept"));
        return;
    }
    const QString tenant = request.tenant;
    bool known = tenant.isEmpty();
    const QVector<PbxTenant> tenants = m_backend->tenants();
    for (const PbxTenant &t : tenants)
        known = known || t.uuid == tenant;
    if (!known) {
        sendError(QStringLiteral("unknown tenant"));
        return;
    }
    m_subscription = tenant;
    subscribed(tenant);
    send(PbxFrames::Subscribed{tenant}.toJson());
    emit eventReported(QStringLiteral("session %1 subscribed to \"%2\"").arg(m_number).arg(tenant));
    startCatchUp(request.sinceRow());
}

void PbxServerSession::refuseLogin(const QString &reason)
{
    send(PbxFrames::Reason{PbxProtocol::TypeLoginRefused, reason, std::nullopt}.toJson());
    close(QStringLiteral("login of %1@%2 refused: %3 (from %4)")
              .arg(printable(m_user), printable(m_domain), reason, m_socket->peerAddress().toString()));
}

QString PbxServerSession::printable(const QString &text)
{
    QString line = PbxProtocol::boundedText(text, 64, QStringLiteral("..."));
    for (QChar &c : line) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    }
    return line;
}

void PbxServerSession::handleLogin(const QJsonObject &frame)
{
    PbxFrames::Login login;
    const bool ok = PbxFrames::Login::fromJson(frame, &login, nullptr);
    // Taken even from a malformed login: its refusal names the domain.
    m_domain = login.domain;
    m_mode = login.mode;
    m_client = login.client;
    const QByteArray clientFirst = login.scram.toUtf8();

    // "n,,n=<user>,r=<nonce>": no channel binding, no authorisation identity.
    Scram::Attributes attributes;
    QByteArray name, clientNonce;
    const QByteArray bare = clientFirst.mid(3);
    if (!ok || !clientFirst.startsWith("n,,") || !Scram::parseAttributes(bare, &attributes) || attributes.size() != 2
        || !Scram::attributeAt(attributes, 0, 'n', &name) || !Scram::attributeAt(attributes, 1, 'r', &clientNonce)
        || !Scram::unescapeName(name, &m_user) || clientNonce.isEmpty()) {
        refuseLogin(QStringLiteral("malformed login"));
        return;
    }
    emit eventReported(
        QStringLiteral("session %1 login of %2@%3 started").arg(m_number).arg(printable(m_user), printable(m_domain)));
    if (refuseIfHeldBack())
        return;
    const QString refusal = loginRefusal();
    if (!refusal.isEmpty()) {
        refuseLogin(refusal);
        return;
    }
    // An unknown account gets a challenge like any other and fails at the
    // proof, so that the challenge does not tell which accounts exist: its
    // salt is the same at every attempt, and nobody can work it out. Every
    // login makes such a verifier, so that a known account's challenge takes
    // the same work as an unknown one's.
    static const QByteArray randomSecret = Scram::randomBytes(32);
    const QByteArray secret = m_settings.unknownAccountSecret.isEmpty() ? randomSecret : m_settings.unknownAccountSecret;
    const Scram::Verifier unknown{Scram::hmac(secret, "salt:" + name).left(16), m_settings.unknownAccountIterations,
                                  Scram::hmac(secret, "stored:" + name), Scram::hmac(secret, "server:" + name)};
    const std::optional<Scram::Verifier> known = m_backend->verifier(m_user, m_domain);
    m_verifier = known ? *known : unknown;
    m_combinedNonce = clientNonce + Scram::newNonce();
    const QByteArray serverFirst = "r=" + m_combinedNonce + ",s=" + m_verifier.salt.toBase64() + ",i="
        + QByteArray::number(m_verifier.iterations);
    m_authMessagePrefix = bare + ',' + serverFirst;
    m_state = State::AwaitingProof;
    m_challenged.start();
    send(PbxFrames::LoginChallenge{QString::fromUtf8(serverFirst)}.toJson());
}

bool PbxServerSession::isAnsweringChallenge() const
{
    return m_state == State::AwaitingProof && !m_challenged.hasExpired(kAnswerGraceMs);
}

// Told at once rather than kept waiting: the client's login deadline would
// pass, and it could not tell a wait from a fault.
bool PbxServerSession::refuseIfHeldBack()
{
    const int waitMs = m_throttle ? m_throttle->waitMs(m_peer, m_user) : 0;
    if (waitMs > 0)
        refuseLogin(QStringLiteral("too many failed logins from this address, wait %1 s").arg((waitMs + 999) / 1000));
    return waitMs > 0;
}

QByteArray PbxServerSession::loginSignature(const Scram::Verifier &verifier, const QByteArray &authMessage) const
{
    return Scram::hmac(verifier.serverKey, authMessage);
}

void PbxServerSession::handleProof(const QJsonObject &frame)
{
    PbxFrames::LoginProof proof;
    QString error;
    if (!PbxFrames::LoginProof::fromJson(frame, &proof, &error)) {
        refuseLogin(error);
        return;
    }
    const QByteArray clientFinal = proof.scram.toUtf8();
    // Asked again: logins started side by side would otherwise each get a
    // guess before the first failure counts.
    if (!refuseIfHeldBack())
        checkProof(clientFinal);
}

void PbxServerSession::checkProof(const QByteArray &clientFinal)
{
    using namespace PbxProtocol;
    bool ok = true;
    Scram::Attributes attributes;
    QByteArray binding, nonce, proofText;
    if (!ok || !Scram::parseAttributes(clientFinal, &attributes) || attributes.size() != 3
        || !Scram::attributeAt(attributes, 0, 'c', &binding) || !Scram::attributeAt(attributes, 1, 'r', &nonce)
        || !Scram::attributeAt(attributes, 2, 'p', &proofText)) {
        refuseLogin(QStringLiteral("malformed login"));
        return;
    }
    const QByteArray withoutProof = clientFinal.left(clientFinal.lastIndexOf(",p="));
    const QByteArray authMessage = m_authMessagePrefix + ',' + withoutProof;
    const QByteArray proof = QByteArray::fromBase64(proofText, QByteArray::AbortOnBase64DecodingErrors);
    const QHostAddress peer = m_peer;
    if (binding != "biws" || nonce != m_combinedNonce || !Scram::proofMatches(m_verifier, authMessage, proof)) {
        if (m_throttle)
            m_throttle->failed(peer, m_user);
        refuseLogin(QStringLiteral("invalid credentials"));
        return;
    }
    if (m_mode < 1 || m_mode > 5) {
        refuseLogin(QStringLiteral("unsupported client mode %1").arg(m_mode));
        return;
    }
    if (m_throttle)
        m_throttle->succeeded(peer, m_user);
    if (const QString full = m_admission ? m_admission(m_user) : QString(); !full.isEmpty()) {
        refuseLogin(full);
        return;
    }

    LoginDetails details;
    details.user = m_user;
    details.domain = m_domain;
    details.serverName = m_settings.serverName;
    details.serverVersion = m_settings.serverVersion;
    details.apiVersion = m_settings.apiVersion;
    details.sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    details.clientAddress = peer.toString();
    details.loginTime = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    details.features = m_settings.features;
    details.extension = QStringLiteral("200");
    details.displayName = QStringLiteral("Amministratore");
    details.language = QStringLiteral("it");
    details.timezone = QStringLiteral("Europe/Rome");
    m_state = State::LoggedIn;
    m_codec.setMaxFrameSize(PbxFrameCodec::DefaultMaxFrameSize);
    m_commandScope = new QObject(this);
    send(PbxFrames::LoginOk{QString::fromLatin1("v=" + loginSignature(m_verifier, authMessage).toBase64()), details}
             .toJson());
    m_loginDeadline.stop();
    emit eventReported(QStringLiteral("session %1 login ok %2@%3 mode %4 client %5 %6 (%7 %8) from %9")
                           .arg(m_number)
                           .arg(printable(m_user), printable(m_domain))
                           .arg(m_mode)
                           .arg(printable(m_client.name), printable(m_client.version), printable(m_client.platform),
                                printable(m_client.osVersion), peer.toString()));
    loggedIn();
    emit loginAccepted();
}

void PbxServerSession::handleCommand(const QJsonObject &frame)
{
    ServerCommand command;
    if (!PbxProtocol::serverCommandFromJson(frame, &command)) {
        sendError(QStringLiteral("malformed command"));
        return;
    }
    if (m_settings.maxCommandsInFlight > 0 && m_commandsInFlight >= m_settings.maxCommandsInFlight) {
        ServerCommandResponse busy;
        busy.commandId = command.id;
        busy.command = command.command;
        busy.executed = false;
        busy.code = 16;  // EBUSY
        busy.detail = QStringLiteral("busy: %1 commands of this client are still running").arg(m_commandsInFlight);
        busy.timestamp = WireTimestamp::now();
        send(PbxProtocol::commandResponseToJson(busy));
        return;
    }
    ++m_commandsInFlight;
    const QPointer<PbxServerSession> self(this);
    m_backend->runCommand(command, PbxCommandOrigin{m_user, m_commandScope}, [self, command](const ServerCommandResponse &result) {
        if (!self)
            return;
        --self->m_commandsInFlight;
        if (self->m_state != State::LoggedIn)
            return;
        ServerCommandResponse response = result;
        response.commandId = command.id;
        response.command = command.command;
        if (response.timestamp.isEmpty())
            response.timestamp = WireTimestamp::now();
        self->send(PbxProtocol::commandResponseToJson(response));
        emit self->eventReported(QStringLiteral("session %1 command \"%2\" code %3")
                                     .arg(self->m_number)
                                     .arg(printable(command.command))
                                     .arg(response.code));
    });
}

void PbxServerSession::sendRequestError(const QString &id, const QString &reason)
{
    send(PbxFrames::Reason{PbxProtocol::TypeError, reason, id.isEmpty() ? std::nullopt : std::optional<QString>(id)}
             .toJson());
}

void PbxServerSession::handleHistoryQuery(const QJsonObject &frame)
{
    HistoryRequest request;
    QString error;
    QString id;
    if (!HistoryRequest::fromJson(frame, &request, &error, &id)) {
        sendRequestError(id, error);
        return;
    }
    if (!m_backend->keepsHistory()) {
        sendRequestError(id, QStringLiteral("no history is kept"));
        return;
    }
    if (m_historyQueryRunning) {
        sendRequestError(id, QStringLiteral("busy: one history query at a time"));
        return;
    }
    m_historyQueryRunning = true;
    const QPointer<PbxServerSession> self(this);
    // Whether the answer may still go out, and the query slot freed.
    auto answerable = [self] {
        if (!self)
            return false;
        self->m_historyQueryRunning = false;
        return self->m_state == State::LoggedIn;
    };
    if (request.kind == HistoryRequest::Kind::Calls) {
        m_backend->findHistoryCalls(request, [self, id, answerable](const QString &why, const QVector<HistoryCall> &calls,
                                                                    bool truncated) {
            if (!answerable())
                return;
            if (!why.isEmpty()) {
                self->sendRequestError(id, QStringLiteral("history: %1").arg(why));
                return;
            }
            self->send(PbxFrames::HistoryCallsResult{id, calls, truncated}.toJson());
        });
        return;
    }
    m_backend->historyCallRows(request.callId, [self, id, answerable](const QString &why,
                                                                      const QVector<DiagnosticMessage> &rows, bool more) {
        if (!answerable())
            return;
        if (!why.isEmpty()) {
            self->sendRequestError(id, QStringLiteral("history: %1").arg(why));
            return;
        }
        // The answer is one frame: what does not fit under the frame limit
        // is left out, and the answer says it was cut.
        constexpr qint64 maxBytes = PbxFrameCodec::DefaultMaxFrameSize - 1024 * 1024;
        PbxFrames::HistoryRowsResult answer{id, {}, more};
        qint64 bytes = 0;
        for (const DiagnosticMessage &row : rows) {
            bytes += PbxProtocol::encodeLogFrame(row).size();
            if (bytes > maxBytes) {
                answer.truncated = true;
                break;
            }
            answer.rows.append(row);
        }
        self->send(answer.toJson());
    });
}

// since < 0: live rows only, as without a history.
void PbxServerSession::startCatchUp(qint64 since)
{
    ++m_catchUpRound;
    m_heldFrames.clear();
    m_heldBytes = 0;
    m_catchUpRows.clear();
    m_catchingUp = since >= 0;
    m_catchUpAfter = since;
    m_lastStoredSent = 0;
    if (m_catchingUp)
        requestCatchUpPage();
}

void PbxServerSession::requestCatchUpPage()
{
    // What is held now was published before this question, so the answer
    // holds it: only what comes later needs holding.
    m_heldFrames.clear();
    m_heldBytes = 0;
    const QPointer<PbxServerSession> self(this);
    const int round = m_catchUpRound;
    m_backend->historyRowsAfter(m_subscription, m_catchUpAfter, [self, round](const QString &why,
                                                                             const QVector<DiagnosticMessage> &rows,
                                                                             bool more) {
        if (!self || self->m_catchUpRound != round || !self->m_catchingUp || self->m_state != State::LoggedIn)
            return;
        if (!why.isEmpty()) {
            self->sendError(QStringLiteral("history: %1; live rows follow").arg(why));
            self->finishCatchUp();
            return;
        }
        self->m_catchUpRows = rows;
        self->m_catchUpMore = more;
        self->pumpCatchUp();
    });
}

// Sends what the client reads in time, the rest once it has read.
void PbxServerSession::pumpCatchUp()
{
    const qint64 roomy = m_settings.maxQueuedBytes / 2;
    int sent = 0;
    while (sent < m_catchUpRows.size() && m_state == State::LoggedIn && queuedBytes() < roomy) {
        const DiagnosticMessage &row = m_catchUpRows.at(sent++);
        const qint64 id = row.messageId.toLongLong();
        if (id > m_catchUpAfter)
            sendLogFrame(PbxProtocol::encodeLogFrame(row));
        m_catchUpAfter = qMax(m_catchUpAfter, id);
        m_lastStoredSent = m_catchUpAfter;
    }
    m_catchUpRows.remove(0, sent);
    if (m_state != State::LoggedIn)
        return;
    if (!m_catchUpRows.isEmpty() || queuedBytes() >= roomy) {
        const int round = m_catchUpRound;
        QTimer::singleShot(20, this, [this, round] {
            if (round == m_catchUpRound && m_catchingUp && m_state == State::LoggedIn)
                pumpCatchUp();
        });
        return;
    }
    if (m_catchUpMore)
        requestCatchUpPage();
    else
        finishCatchUp();
}

void PbxServerSession::finishCatchUp()
{
    m_catchingUp = false;
    const QVector<QPair<qint64, QByteArray>> held = std::exchange(m_heldFrames, {});
    m_heldBytes = 0;
    for (const auto &frame : held) {
        // A row both stored and held went out with the stored ones.
        if (frame.first == 0 || frame.first > m_lastStoredSent)
            offerLogFrame(m_subscription, frame.second);
    }
}
