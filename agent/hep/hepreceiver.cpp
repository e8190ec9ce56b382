#include "hepreceiver.h"

#include "pbxendpoint.h"

#include <QDateTime>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr int kMaxDatagram = 65535;
// One system call takes this many datagrams at most.
constexpr int kDatagramsPerCall = 32;
// Enough for a burst of tens of thousands of packets while a batch is handed on.
constexpr int kUdpReceiveBuffer = 8 * 1024 * 1024;
// Emitted in pieces so that one burst does not hold everything at once.
constexpr int kMaxBatch = 4096;
// Ports given for port 0 tried for both UDP and TCP.
constexpr int kMaxPortAttempts = 16;
// Then the event loop has its turn, clients' writes too, while a sender
// keeps the socket full; the notifier fires again for the rest.
constexpr int kMaxDatagramsPerWake = 4096;
// A read error that lasts is tried again after this long.
constexpr int kReadRetryMs = 1000;

// The address as the system takes it; an IPv6 scope id names an interface
// or gives its index, as Qt reads it.
socklen_t toSockaddr(const QHostAddress &host, quint16 port, sockaddr_storage *out)
{
    std::memset(out, 0, sizeof *out);
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(out);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
        const QString scope = host.scopeId();
        bool index = false;
        in6->sin6_scope_id = scope.toUInt(&index);
        if (!index && !scope.isEmpty())
            in6->sin6_scope_id = uint(QNetworkInterface::interfaceIndexFromName(scope));
        return sizeof *in6;
    }
    auto *in = reinterpret_cast<sockaddr_in *>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(host.toIPv4Address());
    return sizeof *in;
}

QHostAddress fromSockaddr(const sockaddr_storage &address, quint16 *port)
{
    if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        *port = ntohs(in6->sin6_port);
        QHostAddress host(in6->sin6_addr.s6_addr);
        if (in6->sin6_scope_id) {
            const QString name = QNetworkInterface::interfaceNameFromIndex(int(in6->sin6_scope_id));
            host.setScopeId(name.isEmpty() ? QString::number(in6->sin6_scope_id) : name);
        }
        return host;
    }
    const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
    *port = ntohs(in->sin_port);
    return QHostAddress(ntohl(in->sin_addr.s_addr));
}

// What the system has dropped on the socket since it was made, as a
// datagram tells it (a count that wraps); none is told before the first.
bool systemDrops(msghdr *message, quint32 *count)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(message); c; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(count, CMSG_DATA(c), sizeof *count);
            return true;
        }
    }
    return false;
}

}

HepReceiver::HepReceiver(QObject *parent)
    : QObject(parent)
{
    m_statsTimer.setInterval(StatsIntervalMs);
    connect(&m_statsTimer, &QTimer::timeout, this, &HepReceiver::reportIfDropping);
}

HepReceiver::~HepReceiver()
{
    closeUdp();
}

void HepReceiver::setPassword(const QByteArray &password)
{
    m_password = password;
}

void HepReceiver::setTenantDomains(const QHash<QString, QString> &domains)
{
    m_tenants.setDomains(domains);
}

bool HepReceiver::parseAddress(const QString &text, QHostAddress *host, quint16 *port)
{
    bool portOnly = false;
    const quint16 bare = text.toUShort(&portOnly);
    if (portOnly && bare > 0) {
        *host = QHostAddress::LocalHost;
        *port = bare;
        return true;
    }
    return PbxEndpoint::parseListen(text, host, port);
}

bool HepReceiver::listen(const QString &address, QString *error)
{
    QHostAddress host;
    quint16 port = 0;
    if (!parseAddress(address, &host, &port)) {
        *error = QStringLiteral("HEP address \"%1\" is not an IP address and port (e.g. 127.0.0.1:9060)")
                     .arg(address.left(200));
        return false;
    }
    stopListening();
    for (int attempt = 1;; ++attempt) {
        QString why;
        if (!bindUdp(host, port, &why)) {
            *error = QStringLiteral("cannot hear HEP on UDP %1: %2").arg(address.left(200), why);
            return false;
        }
        m_tcp = new QTcpServer(this);
        // With port 0 the TCP side takes the port UDP was given; a TCP
        // socket may hold that one already, and then both take another.
        if (m_tcp->listen(host, m_port))
            break;
        const bool taken = m_tcp->serverError() == QAbstractSocket::AddressInUseError;
        why = m_tcp->errorString();
        stopListening();
        if (port != 0 || !taken || attempt == kMaxPortAttempts) {
            *error = QStringLiteral("cannot hear HEP on TCP %1: %2").arg(address.left(200), why);
            return false;
        }
    }
    connect(m_tcp, &QTcpServer::newConnection, this, &HepReceiver::acceptConnections);
    m_statsTimer.start();
    return true;
}

// Non-blocking and closed on exec, as Qt's own; a given IPv6 address hears
// IPv6 alone, as Qt binds it.
bool HepReceiver::bindUdp(const QHostAddress &host, quint16 port, QString *why)
{
    sockaddr_storage address;
    socklen_t length = toSockaddr(host, port, &address);
    const int on = 1;
    const int buffer = kUdpReceiveBuffer;
    m_udp = ::socket(address.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool bound = m_udp >= 0
        && (address.ss_family != AF_INET6 || ::setsockopt(m_udp, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0)
        && ::setsockopt(m_udp, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer) == 0
        // Datagrams come with the count of those dropped for want of room.
        && ::setsockopt(m_udp, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0
        && ::bind(m_udp, reinterpret_cast<sockaddr *>(&address), length) == 0
        && ::getsockname(m_udp, reinterpret_cast<sockaddr *>(&address), &(length = sizeof address)) == 0;
    if (!bound) {
        *why = qt_error_string(errno);
        closeUdp();
        return false;
    }
    m_address = fromSockaddr(address, &m_port);
    m_systemDrops = 0;
    m_datagrams.resize(kDatagramsPerCall * kMaxDatagram);
    m_udpNotifier = new QSocketNotifier(m_udp, QSocketNotifier::Read, this);
    connect(m_udpNotifier, &QSocketNotifier::activated, this, &HepReceiver::readDatagrams);
    return true;
}

void HepReceiver::closeUdp()
{
    delete m_udpNotifier;
    m_udpNotifier = nullptr;
    if (m_udp >= 0)
        ::close(m_udp);
    m_udp = -1;
    m_address.clear();
    m_port = 0;
}

void HepReceiver::stopListening()
{
    closeUdp();
    m_streams.clear();
    delete m_tcp; // with the connections it accepted
    m_tcp = nullptr;
    m_statsTimer.stop();
}

QHostAddress HepReceiver::address() const
{
    return m_address;
}

quint16 HepReceiver::port() const
{
    return m_port;
}

bool HepReceiver::receive(const char *data, int size)
{
    HepPacket packet;
    const HepDecoder::Error error = HepDecoder::decode(data, size, &packet, m_password);
    if (error == HepDecoder::Unauthenticated) {
        ++m_counters.unauthenticated;
        return false;
    }
    if (error != HepDecoder::NoError) {
        drop(error);
        return false;
    }
    DiagnosticMessage record;
    SipSummary sip;
    if (!m_maker.make(packet, &record, &sip)) {
        ++m_counters.other;
        return true;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (packet.protocolType == HepPacket::Sip) {
        ++m_counters.sip;
        record.tenantUuid = m_tenants.tenantFor(sip, now);
    } else {
        ++m_counters.log;
        record.tenantUuid = m_tenants.tenantOf(record.linkedId, now);
    }
    m_batch.append(record);
    if (m_batch.size() >= kMaxBatch)
        flush();
    return true;
}

void HepReceiver::flush()
{
    if (m_batch.isEmpty())
        return;
    QVector<DiagnosticMessage> batch;
    batch.swap(m_batch);
    emit recordsReady(batch);
}

void HepReceiver::readDatagrams()
{
    char *room = m_datagrams.data();
    mmsghdr messages[kDatagramsPerCall];
    iovec parts[kDatagramsPerCall];
    union {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(quint32))];
    } control[kDatagramsPerCall];
    for (int taken = 0; taken < kMaxDatagramsPerWake;) {
        for (int i = 0; i < kDatagramsPerCall; ++i) {
            parts[i].iov_base = room + i * kMaxDatagram;
            parts[i].iov_len = kMaxDatagram;
            messages[i] = mmsghdr{};
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = control[i].bytes;
            messages[i].msg_hdr.msg_controllen = sizeof control[i].bytes;
        }
        const int n = ::recvmmsg(m_udp, messages, kDatagramsPerCall, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            if (!std::exchange(m_udpFailing, true))
                qWarning("%s: cannot read HEP datagrams: %s", Q_FUNC_INFO, qPrintable(qt_error_string(errno)));
            // The notifier would fire again at once while the error lasts.
            m_udpNotifier->setEnabled(false);
            QTimer::singleShot(kReadRetryMs, this, [this] {
                if (m_udpNotifier)
                    m_udpNotifier->setEnabled(true);
            });
        }
        if (n <= 0)
            break;
        m_udpFailing = false;
        for (int i = 0; i < n; ++i) {
            quint32 drops = 0;
            if (systemDrops(&messages[i].msg_hdr, &drops))
                m_counters.overflowed += quint32(drops - std::exchange(m_systemDrops, drops));
            receive(room + i * kMaxDatagram, int(messages[i].msg_len));
        }
        taken += n;
        if (n < kDatagramsPerCall)
            break; // nothing more waits
    }
    flush();
}

void HepReceiver::acceptConnections()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        // Connections that send nothing must not keep a capture agent
        // arriving later out; nor may a newcomer cut one that works.
        if (m_streams.size() >= MaxConnections) {
            QTcpSocket *quiet = connectionToGiveWay();
            if (!quiet) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            closeStream(quiet);
        }
        Stream stream;
        stream.accepted.start();
        m_streams.insert(socket, stream);
        // The rest waits in the system until this much is read.
        socket->setReadBufferSize(MaxStreamRead);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readStream(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_streams.remove(socket);
            socket->deleteLater();
        });
    }
}

// The oldest of the connections that never passed a packet, else the one
// whose last packet passed longest ago if that is long enough; none when
// every connection works. Peer addresses do not matter: on loopback anyone
// may take any of 127.0.0.0/8.
QTcpSocket *HepReceiver::connectionToGiveWay() const
{
    auto silent = m_streams.cend();
    auto quiet = m_streams.cend();
    for (auto it = m_streams.cbegin(); it != m_streams.cend(); ++it) {
        if (!it->lastPassed.isValid()) {
            if (silent == m_streams.cend() || it->accepted < silent->accepted)
                silent = it;
        } else if (quiet == m_streams.cend() || it->lastPassed < quiet->lastPassed) {
            quiet = it;
        }
    }
    if (silent != m_streams.cend())
        return silent.key();
    if (quiet != m_streams.cend() && quiet->lastPassed.hasExpired(QuietBeforeGivingWayMs))
        return quiet.key();
    return nullptr;
}

void HepReceiver::closeStream(QTcpSocket *socket)
{
    m_streams.remove(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

// Packets follow one another, each framed by its own total length, which
// also bounds what a connection holds.
void HepReceiver::readStream(QTcpSocket *socket)
{
    auto it = m_streams.find(socket);
    if (it == m_streams.end())
        return;
    QByteArray &buffer = it->buffer;
    bool passed = false;
    // No more than the socket's read buffer holds.
    while (socket->bytesAvailable() > 0) {
        buffer += socket->read(kMaxDatagram);
        int pos = 0;
        for (;;) {
            const int length = HepDecoder::frameLength(buffer.constData() + pos, buffer.size() - pos);
            if (length < 0) {
                // Nothing after a broken frame can be found again.
                drop(HepDecoder::NotHep3);
                closeStream(socket);
                flush();
                return;
            }
            if (length == 0 || length > buffer.size() - pos)
                break;
            passed = receive(buffer.constData() + pos, length) || passed;
            pos += length;
        }
        buffer.remove(0, pos);
    }
    // Only packets that pass count: with a password, bytes trickled in keep
    // nothing open.
    if (passed)
        it->lastPassed.start();
    flush();
}

void HepReceiver::drop(HepDecoder::Error why)
{
    ++m_counters.dropped;
    ++m_counters.droppedFor[why];
}

QString HepReceiver::statsText() const
{
    QString text = QStringLiteral("hep sip=%1 log=%2 other=%3 dropped=%4 unauthenticated=%5")
                       .arg(m_counters.sip)
                       .arg(m_counters.log)
                       .arg(m_counters.other)
                       .arg(m_counters.dropped)
                       .arg(m_counters.unauthenticated);
    if (m_counters.overflowed)
        text += QStringLiteral(" overflowed=%1").arg(m_counters.overflowed);
    QStringList reasons;
    for (int i = HepDecoder::NoError + 1; i < HepDecoder::ErrorCount; ++i) {
        if (m_counters.droppedFor[i])
            reasons << QStringLiteral("%1=%2").arg(HepDecoder::errorName(HepDecoder::Error(i))).arg(m_counters.droppedFor[i]);
    }
    if (!reasons.isEmpty())
        text += QStringLiteral(" (%1)").arg(reasons.join(QStringLiteral(", ")));
    return text;
}

void HepReceiver::reportIfDropping()
{
    const quint64 drops = m_counters.dropped + m_counters.unauthenticated + m_counters.overflowed;
    if (drops == m_reportedDrops)
        return;
    m_reportedDrops = drops;
    emit statsReport(statsText());
}
