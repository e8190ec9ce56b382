#include "pbxemulatorsession.h"

#include "pbxprotocol.h"

#include <QSslSocket>

namespace {
constexpr qint64 kMaxQueuedBytes = 4 * 1024 * 1024;

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
}

PbxEmulatorSession::PbxEmulatorSession(QSslSocket *socket, const PbxEmulatorConfig &config, PbxBackend *backend,
                                       int number, QObject *parent)
    : PbxServerSession(socket, config.serverSettings(), backend, number, parent)
    , m_config(config)
    , m_generator(config.seed ? config.seed + quint32(number) : 0)
{
    if (!config.replayFile.isEmpty()) {
        m_replay = std::make_unique<FrameReplay>();
        QString error;
        if (!m_replay->open(config.replayFile, &error))
            m_replay.reset();  // checked at start-up; generate rather than send nothing
    }
    connect(&m_streamTimer, &QTimer::timeout, this, &PbxEmulatorSession::onStreamTick);
    connect(socket, &QSslSocket::encryptedBytesWritten, this, [this] {
        if (m_waitingForRoom && queuedBytes() < kMaxQueuedBytes / 2) {
            m_waitingForRoom = false;
            m_streamTimer.start();
        }
    });
    // A peer that trickles bytes before the login, or empty lines once silent.
    connect(&m_trickleTimer, &QTimer::timeout, this, [this] {
        if (state() == State::Closed) {
            m_trickleTimer.stop();
        } else if (silent()) {
            this->socket()->write("\n");
        } else if (!m_trickle.isEmpty()) {
            this->socket()->write(m_trickle.left(1));
            m_trickle.remove(0, 1);
        }
    });
}

PbxEmulatorSession::~PbxEmulatorSession() = default;

void PbxEmulatorSession::beginHandshake()
{
    if (m_config.plainV1) {
        // What an exchange of the old protocol says first, in clear.
        socket()->write(PbxFrameCodec::encode(QJsonObject{{QStringLiteral("type"), PbxProtocol::TypeHello},
                                                          {QStringLiteral("protocol"), 1},
                                                          {QStringLiteral("server"), m_config.serverName},
                                                          {QStringLiteral("nonce"), QStringLiteral("5f0c2a9e41d7b388")}}));
        return;
    }
    if (m_config.stallHandshake) {
        emit eventReported(QStringLiteral("session %1 stalls the TLS handshake").arg(number()));
        return;
    }
    PbxServerSession::beginHandshake();
}

QSslCertificate PbxEmulatorSession::localCertificate() const
{
    return m_config.changedCertificate && number() > 1 ? m_config.otherCertificate
                                                        : PbxServerSession::localCertificate();
}

QSslKey PbxEmulatorSession::localKey() const
{
    return m_config.changedCertificate && number() > 1 ? m_config.otherPrivateKey : PbxServerSession::localKey();
}

void PbxEmulatorSession::greet()
{
    if (m_config.garbageHello) {
        sendRaw(QByteArrayLiteral("WELCOME TO THE EXCHANGE\n"));
        return;
    }
    PbxServerSession::greet();
}

bool PbxEmulatorSession::silent() const
{
    return m_config.silentAfter >= 0 && sentMessages() >= m_config.silentAfter;
}

void PbxEmulatorSession::writeBytes(const QByteArray &bytes)
{
    if (silent())
        return;
    const bool beforeLogin = state() == State::Handshaking || state() == State::AwaitingLogin;
    if (m_config.trickleMs > 0 && (beforeLogin || !m_trickle.isEmpty())) {
        m_trickle += bytes;
        if (!m_trickleTimer.isActive())
            m_trickleTimer.start(m_config.trickleMs);
        return;
    }
    PbxServerSession::writeBytes(bytes);
}

QByteArray PbxEmulatorSession::loginSignature(const Scram::Verifier &verifier, const QByteArray &authMessage) const
{
    QByteArray signature = PbxServerSession::loginSignature(verifier, authMessage);
    if (m_config.wrongServerSignature)
        signature[0] = char(signature.at(0) ^ 0x01);
    return signature;
}

void PbxEmulatorSession::loggedIn()
{
    if (m_config.oversizedFrame) {
        QByteArray huge = QByteArrayLiteral("{\"type\":\"log\",\"level\":3,\"message\":\"");
        huge.append(QByteArray(PbxFrameCodec::DefaultMaxFrameSize + 1024 * 1024, 'x'));
        huge.append("\"}\n");
        sendRaw(huge);
    }
    if (m_config.dropAfter == 0) {
        close(QStringLiteral("dropped after 0 messages"));
        return;
    }
    m_streamClock.start();
    m_streamTimer.start(m_config.rate > 0 ? qBound(1, int(1000 / m_config.rate), 50) : 0);
}

void PbxEmulatorSession::subscribed(const QString &tenant)
{
    m_generator.setTenant(tenant);
}

void PbxEmulatorSession::onStreamTick()
{
    if (state() != State::LoggedIn || silent() || (m_config.count > 0 && sentMessages() >= m_config.count)) {
        m_streamTimer.stop();
        return;
    }
    qint64 due;
    if (m_config.rate > 0)
        due = 1 + qint64(double(m_streamClock.elapsed()) * m_config.rate / 1000.0);
    else
        due = sentMessages() + 512;
    // Bounded per tick, and held back while the client is not reading.
    int attempts = 0;
    while (sentMessages() < due && attempts++ < 4000 && queuedBytes() < kMaxQueuedBytes) {
        if (!streamOne())
            return;
    }
    if (queuedBytes() >= kMaxQueuedBytes) {
        // Waits for the client to read instead of spinning on the timer.
        m_streamTimer.stop();
        m_waitingForRoom = true;
    }
}

bool PbxEmulatorSession::streamOne()
{
    if (m_replay) {
        sendLogFrame(m_replay->nextFrame());
    } else {
        const DiagnosticMessage msg = m_generator.next();
        if (msg.tenantUuid != subscription())
            return true;  // a call of another tenant still winding down
        sendLogFrame(PbxProtocol::encodeLogFrame(msg));
    }
    const qint64 sent = sentMessages();
    if (m_config.malformed && sent % 5 == 0)
        sendJunk();
    if (m_config.dropAfter >= 0 && sent >= m_config.dropAfter) {
        close(QStringLiteral("dropped after %1 messages").arg(sent));
        return false;
    }
    if (silent()) {
        m_streamTimer.stop();
        stopIdleTimer();
        if (m_config.blankLineMs > 0)
            m_trickleTimer.start(m_config.blankLineMs);
        emit eventReported(QStringLiteral("session %1 silent after %2 messages").arg(number()).arg(sent));
        return false;
    }
    if (m_config.count > 0 && sent >= m_config.count) {
        m_streamTimer.stop();
        emit eventReported(QStringLiteral("session %1 sent %2 messages").arg(number()).arg(sent));
        return false;
    }
    return true;
}

void PbxEmulatorSession::sendJunk()
{
    sendRaw(junkLine(m_junkIndex++) + '\n');
}
