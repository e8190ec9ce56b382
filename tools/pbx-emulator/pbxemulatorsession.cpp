#include "pbxemulatorsession.h"

#include "pbxprotocol.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSslSocket>
#include <QUuid>

#include <algorithm>

namespace {
constexpr int kReadChunk = 64 * 1024;
constexpr qint64 kMaxQueuedBytes = 4 * 1024 * 1024;

const QString kScram = QStringLiteral("scram");

QString nowText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// Bad lines a careless or hostile exchange might send; each one must be
// skipped by the client without losing the connection.
QByteArray junkLine(int index)
{
    switch (index % 16) {
    case 0: return QByteArrayLiteral("{\"type\":\"log\",\"level\":3,\"message\":");
    case 1: return QByteArrayLiteral("[1,2,3]");
    case 2: return QByteArrayLiteral("{\"type\":\"log\",\"level\":\"three\",\"message\":\"level of the wrong type\"}");
    case 3: return QByteArrayLiteral("{\"type\":\"log\",\"level\":2}");
    case 4: return QByteArrayLiteral("{\"type\":\"teleport\",\"payload\":1}");
    case 5: return QByteArrayLiteral("{\"level\":1,\"message\":\"no type\"}");
    case 6: {
        QByteArray line = QByteArrayLiteral("{\"type\":\"log\",\"level\":1,\"message\":\"a");
        line.append('\0');
        line.append("b\"}");
        return line;
    }
    case 7: return QByteArrayLiteral("{\"type\":\"log\",\"level\":1,\"message\":\"\xff\xfe bad UTF-8\"}");
    case 8: return QByteArrayLiteral("{\"type\":\"tenants\",\"tenants\":\"none\"}");
    case 9: return QByteArrayLiteral("{\"type\":\"command-result\",\"id\":7}");
    case 10: return QByteArrayLiteral("{\"type\":\"log\",\"level\":1e300,\"message\":\"level out of range\"}");
    case 11: return QByteArrayLiteral("{\"type\":\"log\",\"level\":3,\"message\":\"x\",\"extra\":[1,2]}");
    case 12: return QByteArrayLiteral("   \t ");
    case 13: return QByteArray(3000, '[');
    case 14: return QByteArrayLiteral("{\"type\":42}");
    default: return QByteArrayLiteral("{\"type\":\"features\",\"features\":[1]}");
    }
}

QString framed(const QString &body)
{
    return QStringLiteral("Response: Follows\nPrivilege: Command\n") + body + QStringLiteral("\n--END COMMAND--");
}

// A name or an address; anything else is "not found", as a resolver would say.
bool plausibleHost(const QString &text)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$"));
    return QHostAddress(text).protocol() != QAbstractSocket::UnknownNetworkLayerProtocol || name.match(text).hasMatch();
}

// The emulator resolves nothing: names get a stable documentation address.
QString addressFor(const QString &host)
{
    if (QHostAddress(host).protocol() != QAbstractSocket::UnknownNetworkLayerProtocol)
        return host;
    return QStringLiteral("203.0.113.%1").arg(10 + qHash(host.toLower()) % 200);
}
}

PbxEmulatorSession::PbxEmulatorSession(QSslSocket *socket, const PbxEmulatorConfig &config, int number,
                                       QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_config(config)
    , m_number(number)
    , m_generator(config.seed ? config.seed + quint32(number) : 0)
{
    m_socket->setParent(this);
    if (!config.replayFile.isEmpty()) {
        m_replay = std::make_unique<FrameReplay>();
        QString error;
        if (!m_replay->open(config.replayFile, &error))
            m_replay.reset();  // checked at start-up; generate rather than send nothing
    }
    m_socket->setReadBufferSize(4 * kReadChunk);
    connect(&m_streamTimer, &QTimer::timeout, this, &PbxEmulatorSession::onStreamTick);
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(qMax(100, config.idleTimeoutMs));
    connect(&m_idleTimer, &QTimer::timeout, this, [this] { close(QStringLiteral("idle timeout"), QStringLiteral("idle timeout")); });
    // A peer that trickles bytes before the login, or empty lines once silent.
    connect(&m_trickleTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::Closed) {
            m_trickleTimer.stop();
        } else if (silent()) {
            m_socket->write("\n");
        } else if (!m_trickle.isEmpty()) {
            m_socket->write(m_trickle.left(1));
            m_trickle.remove(0, 1);
        }
    });
}

PbxEmulatorSession::~PbxEmulatorSession() = default;

void PbxEmulatorSession::start()
{
    connect(m_socket, &QSslSocket::readyRead, this, &PbxEmulatorSession::onReadyRead);
    connect(m_socket, &QSslSocket::disconnected, this, [this] {
        if (m_state != State::Closed) {
            m_state = State::Closed;
            m_streamTimer.stop();
            m_idleTimer.stop();
            emit eventReported(QStringLiteral("session %1 closed: client disconnected").arg(m_number));
            emitSentTotal();
        }
        emit finished();
    });
    emit eventReported(QStringLiteral("session %1 connected from %2").arg(m_number).arg(m_socket->peerAddress().toString()));
    m_idleTimer.start();

    if (m_config.plainV1) {
        // What an exchange of the old protocol says first, in clear.
        sendRaw(PbxFrameCodec::encode(QJsonObject{{QStringLiteral("type"), PbxProtocol::TypeHello},
                                                  {QStringLiteral("protocol"), 1},
                                                  {QStringLiteral("server"), m_config.serverName},
                                                  {QStringLiteral("nonce"), QStringLiteral("5f0c2a9e41d7b388")}}));
        return;
    }
    if (m_config.stallHandshake) {
        emit eventReported(QStringLiteral("session %1 stalls the TLS handshake").arg(m_number));
        return;
    }
    const bool other = m_config.changedCertificate && m_number > 1;
    m_socket->setLocalCertificate(other ? m_config.otherCertificate : m_config.certificate);
    m_socket->setPrivateKey(other ? m_config.otherPrivateKey : m_config.privateKey);
    m_socket->setProtocol(QSsl::TlsV1_2OrLater);
    connect(m_socket, &QSslSocket::encrypted, this, &PbxEmulatorSession::greet);
    connect(m_socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::SslHandshakeFailedError)
            emit eventReported(QStringLiteral("session %1 TLS handshake failed: %2").arg(m_number).arg(m_socket->errorString()));
    });
    m_socket->startServerEncryption();
}

void PbxEmulatorSession::greet()
{
    if (m_config.garbageHello) {
        sendRaw(QByteArrayLiteral("WELCOME TO THE EXCHANGE\n"));
        return;
    }
    send(QJsonObject{{QStringLiteral("type"), PbxProtocol::TypeHello},
                     {QStringLiteral("protocol"), PbxProtocol::ProtocolVersion},
                     {QStringLiteral("server"), m_config.serverName},
                     {QStringLiteral("serverVersion"), m_config.serverVersion}});
}

bool PbxEmulatorSession::silent() const
{
    return m_config.silentAfter >= 0 && m_sent >= m_config.silentAfter;
}

void PbxEmulatorSession::send(const QJsonObject &frame)
{
    sendRaw(PbxFrameCodec::encode(frame));
}

void PbxEmulatorSession::sendRaw(const QByteArray &bytes)
{
    if (m_state == State::Closed || silent() || bytes.isEmpty())
        return;
    if (m_config.trickleMs > 0 && (m_state == State::AwaitingLogin || !m_trickle.isEmpty())) {
        m_trickle += bytes;
        if (!m_trickleTimer.isActive())
            m_trickleTimer.start(m_config.trickleMs);
        return;
    }
    m_socket->write(bytes);
}

void PbxEmulatorSession::sendError(const QString &reason)
{
    send(QJsonObject{{QStringLiteral("type"), PbxProtocol::TypeError}, {QStringLiteral("reason"), reason}});
}

void PbxEmulatorSession::close(const QString &why, const QString &byeReason)
{
    if (m_state == State::Closed)
        return;
    if (!byeReason.isEmpty())
        send(QJsonObject{{QStringLiteral("type"), PbxProtocol::TypeBye}, {QStringLiteral("reason"), byeReason}});
    m_state = State::Closed;
    m_streamTimer.stop();
    m_idleTimer.stop();
    emit eventReported(QStringLiteral("session %1 closed: %2").arg(m_number).arg(why));
    emitSentTotal();
    // Pending lines still go out before the connection ends.
    m_socket->disconnectFromHost();
}

// Lets a soak or load run match what each client received against this.
void PbxEmulatorSession::emitSentTotal()
{
    emit eventReported(QStringLiteral("session %1 total: sent %2 log messages").arg(m_number).arg(m_sent));
}

void PbxEmulatorSession::abortConnection(const QString &why)
{
    close(why);
}

void PbxEmulatorSession::onReadyRead()
{
    if (!silent())
        m_idleTimer.start();
    if (!m_socket->isEncrypted()) {
        // A handshake held up on purpose, or a client the old protocol cannot read.
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

void PbxEmulatorSession::handleFrame(const QJsonObject &frame)
{
    using namespace PbxProtocol;
    const QString type = frameType(frame);
    if (type == TypePing) {
        QJsonObject pong{{QStringLiteral("type"), TypePong}};
        if (frame.contains(QLatin1String("seq")))
            pong.insert(QStringLiteral("seq"), frame.value(QLatin1String("seq")));
        send(pong);
        return;
    }
    if (type == TypeLogout) {
        close(QStringLiteral("logout"));
        return;
    }
    if (m_state == State::AwaitingLogin || m_state == State::AwaitingProof) {
        if (type == TypeLogin && m_state == State::AwaitingLogin)
            handleLogin(frame);
        else if (type == TypeLoginProof && m_state == State::AwaitingProof)
            handleProof(frame);
        else
            sendError(QStringLiteral("not logged in"));
        return;
    }
    if (type == TypeGetTenants) {
        QJsonArray list;
        for (const PbxEmulatorConfig::Tenant &t : m_config.tenants)
            list.append(QJsonObject{{QStringLiteral("uuid"), t.first}, {QStringLiteral("name"), t.second}});
        send(QJsonObject{{QStringLiteral("type"), TypeTenants}, {QStringLiteral("tenants"), list}});
    } else if (type == TypeSubscribe) {
        bool ok = true;
        const QString tenant = optString(frame, QStringLiteral("tenant"), &ok);
        bool known = tenant.isEmpty();
        for (const PbxEmulatorConfig::Tenant &t : m_config.tenants)
            known = known || t.first == tenant;
        if (!ok || !known) {
            sendError(QStringLiteral("unknown tenant"));
            return;
        }
        m_subscription = tenant;
        m_generator.setTenant(tenant);
        send(QJsonObject{{QStringLiteral("type"), TypeSubscribed}, {QStringLiteral("tenant"), tenant}});
        emit eventReported(QStringLiteral("session %1 subscribed to \"%2\"").arg(m_number).arg(tenant));
    } else if (type == TypeCommand) {
        handleCommand(frame);
    } else if (type == TypeLogin) {
        sendError(QStringLiteral("already logged in"));
    } else {
        sendError(QStringLiteral("unknown request type \"%1\"").arg(type.left(64)));
    }
}

void PbxEmulatorSession::refuseLogin(const QString &reason)
{
    send(QJsonObject{{QStringLiteral("type"), PbxProtocol::TypeLoginRefused}, {QStringLiteral("reason"), reason}});
    close(QStringLiteral("login of %1@%2 refused: %3").arg(m_user, m_domain, reason));
}

void PbxEmulatorSession::handleLogin(const QJsonObject &frame)
{
    using namespace PbxProtocol;
    bool ok = frame.value(kScram).isString();
    m_domain = optString(frame, QStringLiteral("domain"), &ok);
    const QByteArray clientFirst = optString(frame, kScram, &ok).toUtf8();
    m_mode = optInt(frame, QStringLiteral("mode"), 0, &ok);
    m_client = frame.value(QLatin1String("client")).toObject();

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
    emit eventReported(QStringLiteral("session %1 login of %2@%3 started").arg(m_number).arg(m_user, m_domain));
    if (!m_config.refuseLoginReason.isEmpty()) {
        refuseLogin(m_config.refuseLoginReason);
        return;
    }
    const auto account = m_config.accounts.constFind(qMakePair(m_user, m_domain));
    if (account != m_config.accounts.constEnd()) {
        m_verifier = account.value();
    } else {
        // An unknown account gets a challenge like any other and fails at the
        // proof, so that the challenge does not tell which accounts exist.
        m_verifier = Scram::Verifier{Scram::hmac(m_config.serverName.toUtf8(), name).left(16), Scram::MinIterations,
                                     Scram::randomBytes(Scram::KeyLength), Scram::randomBytes(Scram::KeyLength)};
    }
    m_combinedNonce = clientNonce + Scram::newNonce();
    const QByteArray serverFirst = "r=" + m_combinedNonce + ",s=" + m_verifier.salt.toBase64() + ",i="
        + QByteArray::number(m_verifier.iterations);
    m_authMessagePrefix = bare + ',' + serverFirst;
    m_state = State::AwaitingProof;
    send(QJsonObject{{QStringLiteral("type"), TypeLoginChallenge}, {kScram, QString::fromUtf8(serverFirst)}});
}

void PbxEmulatorSession::handleProof(const QJsonObject &frame)
{
    using namespace PbxProtocol;
    bool ok = frame.value(kScram).isString();
    const QByteArray clientFinal = optString(frame, kScram, &ok).toUtf8();
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
    if (binding != "biws" || nonce != m_combinedNonce || !Scram::proofMatches(m_verifier, authMessage, proof)) {
        refuseLogin(QStringLiteral("invalid credentials"));
        return;
    }
    if (m_mode < 1 || m_mode > 5) {
        refuseLogin(QStringLiteral("unsupported client mode %1").arg(m_mode));
        return;
    }
    QByteArray signature = Scram::hmac(m_verifier.serverKey, authMessage);
    if (m_config.wrongServerSignature)
        signature[0] = char(signature.at(0) ^ 0x01);
    const QString user = m_user;
    const QString domain = m_domain;
    const int mode = m_mode;
    const QJsonObject client = m_client;

    LoginDetails details;
    details.user = user;
    details.domain = domain;
    details.serverName = m_config.serverName;
    details.serverVersion = m_config.serverVersion;
    details.apiVersion = m_config.apiVersion;
    details.sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    details.clientAddress = m_socket->peerAddress().toString();
    details.loginTime = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    details.features = m_config.features;
    details.extension = QStringLiteral("200");
    details.displayName = QStringLiteral("Amministratore");
    details.language = QStringLiteral("it");
    details.timezone = QStringLiteral("Europe/Rome");
    m_state = State::LoggedIn;
    QJsonObject answer = loginDetailsToJson(details);
    answer.insert(kScram, QString::fromLatin1("v=" + signature.toBase64()));
    send(answer);
    emit eventReported(QStringLiteral("session %1 login ok %2@%3 mode %4 client %5 %6 (%7 %8)")
                   .arg(m_number)
                   .arg(user, domain)
                   .arg(mode)
                   .arg(client.value(QLatin1String("name")).toString(), client.value(QLatin1String("version")).toString(),
                        client.value(QLatin1String("platform")).toString(),
                        client.value(QLatin1String("osVersion")).toString()));

    if (m_config.oversizedFrame) {
        QByteArray huge = QByteArrayLiteral("{\"type\":\"log\",\"level\":3,\"message\":\"");
        huge.append(QByteArray(PbxFrameCodec::DefaultMaxFrameSize + 1024 * 1024, 'x'));
        huge.append("\"}\n");
        sendRaw(huge);
    }
    if (m_config.dropAfter == 0) {
        abortConnection(QStringLiteral("dropped after 0 messages"));
        return;
    }
    m_streamClock.start();
    m_streamTimer.start(m_config.rate > 0 ? qBound(1, int(1000 / m_config.rate), 50) : 0);
}

void PbxEmulatorSession::handleCommand(const QJsonObject &frame)
{
    ServerCommand command;
    if (!PbxProtocol::serverCommandFromJson(frame, &command)) {
        sendError(QStringLiteral("malformed command"));
        return;
    }
    ServerCommandResponse response;
    response.commandId = command.id;
    response.command = command.command;
    runCommand(command.command, command.params, &response.executed, &response.code, &response.detail,
               &response.output);
    response.timestamp = nowText();
    send(PbxProtocol::commandResponseToJson(response));
    emit eventReported(QStringLiteral("session %1 command \"%2\" code %3").arg(m_number).arg(command.command).arg(response.code));
}

void PbxEmulatorSession::onStreamTick()
{
    if (m_state != State::LoggedIn || silent() || (m_config.count > 0 && m_sent >= m_config.count)) {
        m_streamTimer.stop();
        return;
    }
    qint64 due;
    if (m_config.rate > 0)
        due = 1 + qint64(double(m_streamClock.elapsed()) * m_config.rate / 1000.0);
    else
        due = m_sent + 512;
    // Bounded per tick, and held back while the client is not reading.
    int attempts = 0;
    while (m_sent < due && attempts++ < 4000 && m_socket->bytesToWrite() < kMaxQueuedBytes) {
        if (!streamOne())
            return;
    }
}

bool PbxEmulatorSession::streamOne()
{
    if (m_replay) {
        sendRaw(m_replay->nextFrame());
    } else {
        const DiagnosticMessage msg = m_generator.next();
        if (msg.tenantUuid != m_subscription)
            return true;  // a call of another tenant still winding down
        send(PbxProtocol::diagnosticMessageToJson(msg));
    }
    ++m_sent;
    if (m_config.malformed && m_sent % 5 == 0)
        sendJunk();
    if (m_config.dropAfter >= 0 && m_sent >= m_config.dropAfter) {
        abortConnection(QStringLiteral("dropped after %1 messages").arg(m_sent));
        return false;
    }
    if (silent()) {
        m_streamTimer.stop();
        m_idleTimer.stop();
        if (m_config.blankLineMs > 0)
            m_trickleTimer.start(m_config.blankLineMs);
        emit eventReported(QStringLiteral("session %1 silent after %2 messages").arg(m_number).arg(m_sent));
        return false;
    }
    if (m_config.count > 0 && m_sent >= m_config.count) {
        m_streamTimer.stop();
        emit eventReported(QStringLiteral("session %1 sent %2 messages").arg(m_number).arg(m_sent));
        return false;
    }
    return true;
}

void PbxEmulatorSession::sendJunk()
{
    sendRaw(junkLine(m_junkIndex++) + '\n');
}

void PbxEmulatorSession::runCommand(const QString &command, const QStringList &params, bool *executed, int *code,
                                    QString *detail, QString *output)
{
    const QString param = params.value(0);
    *executed = true;
    *code = 0;
    detail->clear();

    if (command == QLatin1String("sip show peers")) {
        *output = framed(QStringLiteral(
            "Name/username        Host              Dyn Port   Status        Description\n"
            "201/201              192.0.2.21         D  5060   OK (12 ms)    Zoë Martelli\n"
            "202/202              192.0.2.22         D  5060   OK (9 ms)     Nicolò Ferraris\n"
            "203/203              (Unspecified)      D  0      UNREACHABLE   Front desk\n"
            "204/204              192.0.2.24         D  5060   OK (31 ms)    Łucja Nowicka\n"
            "trunk-main/3904417   198.51.100.7          5060   OK (23 ms)    Main trunk\n"
            "5 sip peers [Monitored: 4 online, 1 offline]"));
    } else if (command == QLatin1String("sip show registry")) {
        const QString when = QDateTime::currentDateTime().addSecs(-95).toString(QStringLiteral("ddd, d MMM yyyy HH:mm:ss"));
        *output = framed(QStringLiteral(
            "Host                    Username       Refresh  State              Reg.Time\n"
            "198.51.100.7:5060       3904417            105  Registered         %1\n"
            "203.0.113.40:5060       backup-line        120  Request Sent\n"
            "2 SIP registrations.").arg(when));
    } else if (command == QLatin1String("core show hints")) {
        *output = framed(QStringLiteral(
            "    -= Registered Hints =-\n"
            "   201@from-internal   : SIP/201    State:Idle          Watchers  2\n"
            "   202@from-internal   : SIP/202    State:InUse         Watchers  1\n"
            "   203@from-internal   : SIP/203    State:Unavailable   Watchers  0\n"
            "   204@from-internal   : SIP/204    State:Ringing       Watchers  1\n"
            "----------------\n"
            "- 4 hints registered"));
    } else if (command == QLatin1String("ping")) {
        if (param.isEmpty()) {
            *code = 2;
            *output = QStringLiteral("ping: usage error: destination address required\n");
        } else if (!plausibleHost(param)) {
            *code = 2;
            *output = QStringLiteral("ping: %1: Name or service not known\n").arg(param.left(255));
        } else {
            const QString address = addressFor(param);
            const uint h = qHash(param);
            QString text = QStringLiteral("PING %1 (%2) 56(84) bytes of data.\n").arg(param, address);
            for (int i = 1; i <= 4; ++i)
                text += QStringLiteral("64 bytes from %1: icmp_seq=%2 ttl=64 time=%3 ms\n")
                            .arg(address)
                            .arg(i)
                            .arg(0.3 + ((h >> (i * 3)) % 40) / 100.0, 0, 'f', 3);
            text += QStringLiteral("\n--- %1 ping statistics ---\n"
                                   "4 packets transmitted, 4 received, 0% packet loss, time 3004ms\n")
                        .arg(param);
            text += QStringLiteral("rtt min/avg/max/mdev = 0.301/0.482/0.689/0.121 ms\n");
            *output = text;
        }
    } else if (command == QLatin1String("traceroute")) {
        if (param.isEmpty()) {
            *code = 2;
            *output = QStringLiteral("Usage: traceroute host [packetlen]\n");
        } else if (!plausibleHost(param)) {
            *code = 2;
            *output = QStringLiteral("%1: Name or service not known\nCannot handle \"host\" cmdline arg `%1' on position 1 (argc 1)\n")
                          .arg(param.left(255));
        } else {
            const QString address = addressFor(param);
            *output = QStringLiteral("traceroute to %1 (%2), 30 hops max, 60 byte packets\n"
                                     " 1  192.0.2.254 (192.0.2.254)  0.512 ms  0.488 ms  0.471 ms\n"
                                     " 2  198.51.100.1 (198.51.100.1)  3.912 ms  3.877 ms  4.010 ms\n"
                                     " 3  %2 (%2)  9.102 ms  9.087 ms  9.244 ms\n")
                          .arg(param, address);
        }
    } else if (command == QLatin1String("host")) {
        const QHostAddress literal(param);
        if (param.isEmpty()) {
            *code = 1;
            *output = QStringLiteral("Usage: host [-aCdilrTvVw] hostname [server]\n");
        } else if (literal.protocol() == QAbstractSocket::IPv4Protocol) {
            const QStringList octets = param.split(QLatin1Char('.'));
            QStringList reversed = octets;
            std::reverse(reversed.begin(), reversed.end());
            *output = QStringLiteral("%1.in-addr.arpa domain name pointer host-%2.demo.invalid.\n")
                          .arg(reversed.join(QLatin1Char('.')), octets.join(QLatin1Char('-')));
        } else if (literal.protocol() == QAbstractSocket::IPv6Protocol) {
            *output = QStringLiteral("Host %1 not found: 3(NXDOMAIN)\n").arg(param);
            *code = 1;
        } else if (!plausibleHost(param)) {
            *code = 1;
            *output = QStringLiteral("Host %1 not found: 3(NXDOMAIN)\n").arg(param.left(255));
        } else {
            *output = QStringLiteral("%1 has address %2\n").arg(param, addressFor(param));
        }
    } else {
        *executed = false;
        *code = 127;
        *detail = QStringLiteral("unknown command");
        *output = QStringLiteral("No such command '%1'\n").arg(command.left(255));
    }
}
