#include "discoveryresponder.h"

#include <QDebug>
#include <QTimer>
#include <QUdpSocket>

namespace {

// Many replies to one request leave in slices with a pause between them, so
// that the asking socket's receive buffer is not overrun.
constexpr int RepliesPerSlice = 32;
constexpr int SlicePauseMs = 1;

QByteArray element(const char *name, const QString &value)
{
    const QByteArray tag(name);
    return '<' + tag + '>' + value.toUtf8() + "</" + tag + '>';
}

}

DiscoveryResponder::DiscoveryResponder(QObject *parent)
    : QObject(parent)
    , socket(new QUdpSocket(this))
    , sendTimer(new QTimer(this))
{
    sendTimer->setSingleShot(true);
    sendTimer->setInterval(SlicePauseMs);
    connect(sendTimer, &QTimer::timeout, this, &DiscoveryResponder::sendPending);
    connect(socket, &QUdpSocket::readyRead, this, &DiscoveryResponder::readRequests);
}

bool DiscoveryResponder::listen(const QHostAddress &address, quint16 port)
{
    close();
    return socket->bind(address, port);
}

void DiscoveryResponder::close()
{
    sendTimer->stop();
    pending.clear();
    socket->close();
}

bool DiscoveryResponder::isListening() const
{
    return socket->state() == QAbstractSocket::BoundState;
}

QHostAddress DiscoveryResponder::localAddress() const
{
    return socket->localAddress();
}

quint16 DiscoveryResponder::localPort() const
{
    return socket->localPort();
}

QString DiscoveryResponder::errorString() const
{
    return socket->errorString();
}

QByteArray DiscoveryResponder::reply(const QString &cmdId) const
{
    QByteArray out = "<PDiscovery>";
    out += element("CMDID", cmdId);
    out += element("PN", replyPn);
    out += element("SN", replySn);
    out += element("FW", replyFw);
    out += element("BL", replyBl);
    for (const QString &ip : replyIps)
        out += element("IP", ip);
    out += "</PDiscovery>";
    return out;
}

bool DiscoveryResponder::parseRequest(const QByteArray &datagram, QString *cmdId)
{
    static const QByteArray open = "<CMDID>";
    static const QByteArray close = "</CMDID>";
    if (!datagram.startsWith("<PDiscovery>") || !datagram.contains("<API>"))
        return false;
    const int start = datagram.indexOf(open);
    if (start < 0)
        return false;
    const int end = datagram.indexOf(close, start + open.size());
    if (end < 0)
        return false;
    // The id comes back in the reply: nothing but a short plain token.
    const QByteArray id = datagram.mid(start + open.size(), end - start - open.size());
    if (id.size() > MaxCmdIdLength)
        return false;
    for (const char c : id) {
        if (!QChar::isLetterOrNumber(uint(uchar(c))) && c != '-' && c != '_' && c != '.' && c != '{' && c != '}')
            return false;
    }
    if (cmdId)
        *cmdId = QString::fromLatin1(id);
    return true;
}

void DiscoveryResponder::readRequests()
{
    while (socket->hasPendingDatagrams()) {
        QByteArray datagram(int(qMax<qint64>(0, socket->pendingDatagramSize())), Qt::Uninitialized);
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 got = socket->readDatagram(datagram.data(), datagram.size(), &from, &fromPort);
        if (got < 0)
            break;
        datagram.truncate(int(got));
        QString cmdId;
        if (!parseRequest(datagram, &cmdId)) {
            qDebug() << Q_FUNC_INFO << "not a discovery request, ignored, from" << from.toString() << fromPort;
            continue;
        }
        emit requestReceived(cmdId, datagram);
        if (replyCount == 0 || fromPort == 0)
            continue;
        const QByteArray answer = rawReply.isEmpty() ? reply(cmdIdOverride.isNull() ? cmdId : cmdIdOverride) : rawReply;
        const int count = localAddress().isLoopback() ? replyCount : qMin(replyCount, MaxRepliesOffLoopback);
        // A flood of requests must not queue answers without end.
        if (pending.size() < MaxPendingReplies)
            pending.append({answer, from, fromPort, count});
    }
    sendPending();
}

void DiscoveryResponder::sendPending()
{
    if (pending.isEmpty())
        return;
    int budget = RepliesPerSlice;
    while (budget > 0 && !pending.isEmpty()) {
        Pending &job = pending.first();
        socket->writeDatagram(job.datagram, job.address, job.port);
        --budget;
        if (--job.remaining == 0)
            pending.removeFirst();
    }
    if (pending.isEmpty())
        emit repliesSent();
    else if (!sendTimer->isActive())
        sendTimer->start();
}
