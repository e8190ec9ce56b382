#include "hepreceiver.h"

#include "pbxserver.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

namespace {

constexpr int kMaxDatagram = 65535;
// Enough for a burst of tens of thousands of packets while a batch is handed on.
constexpr int kUdpReceiveBuffer = 8 * 1024 * 1024;
// Emitted in pieces so that one burst does not hold everything at once.
constexpr int kMaxBatch = 4096;
// Then the event loop has its turn, clients' writes too, while a sender
// keeps the socket full; the notifier fires again for the rest.
constexpr int kMaxDatagramsPerWake = 4096;

bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    uchar diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= uchar(a[i] ^ b[i]);
    return diff == 0;
}

}

HepReceiver::HepReceiver(QObject *parent)
    : QObject(parent)
{
    m_statsTimer.setInterval(StatsIntervalMs);
    connect(&m_statsTimer, &QTimer::timeout, this, &HepReceiver::reportIfDropping);
}

HepReceiver::~HepReceiver() = default;

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
    return PbxServer::parseListenAddress(text, host, port);
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
    m_udp = new QUdpSocket(this);
    if (!m_udp->bind(host, port)) {
        *error = QStringLiteral("cannot hear HEP on UDP %1: %2").arg(address.left(200), m_udp->errorString());
        return false;
    }
    m_udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kUdpReceiveBuffer);
    connect(m_udp, &QUdpSocket::readyRead, this, &HepReceiver::readDatagrams);
    m_tcp = new QTcpServer(this);
    // With port 0 the TCP side takes the port UDP was given.
    if (!m_tcp->listen(host, m_udp->localPort())) {
        *error = QStringLiteral("cannot hear HEP on TCP %1: %2").arg(address.left(200), m_tcp->errorString());
        return false;
    }
    connect(m_tcp, &QTcpServer::newConnection, this, &HepReceiver::acceptConnections);
    m_datagram.resize(kMaxDatagram);
    m_statsTimer.start();
    return true;
}

QHostAddress HepReceiver::address() const
{
    return m_udp ? m_udp->localAddress() : QHostAddress();
}

quint16 HepReceiver::port() const
{
    return m_udp ? m_udp->localPort() : 0;
}

void HepReceiver::receive(const char *data, int size)
{
    HepPacket packet;
    const HepDecoder::Error error = HepDecoder::decode(data, size, &packet);
    if (error != HepDecoder::NoError) {
        drop(error);
        return;
    }
    if (!m_password.isEmpty() && !(packet.hasAuthKey && sameSecret(packet.authKey, m_password))) {
        ++m_counters.unauthenticated;
        return;
    }
    DiagnosticMessage record;
    SipSummary sip;
    if (!m_maker.make(packet, &record, &sip)) {
        ++m_counters.other;
        return;
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
    for (int n = 0; n < kMaxDatagramsPerWake && m_udp->hasPendingDatagrams(); ++n) {
        const qint64 size = m_udp->readDatagram(m_datagram.data(), m_datagram.size());
        if (size < 0)
            break;
        receive(m_datagram.constData(), int(size));
    }
    flush();
}

void HepReceiver::acceptConnections()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        if (m_streams.size() >= MaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_streams.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readStream(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_streams.remove(socket);
            socket->deleteLater();
        });
    }
}

// Packets follow one another, each framed by its own total length, which
// also bounds what a connection holds.
void HepReceiver::readStream(QTcpSocket *socket)
{
    auto it = m_streams.find(socket);
    if (it == m_streams.end())
        return;
    QByteArray &buffer = it.value();
    while (socket->bytesAvailable() > 0) {
        buffer += socket->read(kMaxDatagram);
        int pos = 0;
        for (;;) {
            const int length = HepDecoder::frameLength(buffer.constData() + pos, buffer.size() - pos);
            if (length < 0) {
                // Nothing after a broken frame can be found again.
                drop(HepDecoder::NotHep3);
                m_streams.erase(it);
                socket->abort();
                socket->deleteLater();
                flush();
                return;
            }
            if (length == 0 || length > buffer.size() - pos)
                break;
            receive(buffer.constData() + pos, length);
            pos += length;
        }
        buffer.remove(0, pos);
    }
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
    const quint64 drops = m_counters.dropped + m_counters.unauthenticated;
    if (drops == m_reportedDrops)
        return;
    m_reportedDrops = drops;
    emit statsReport(statsText());
}
