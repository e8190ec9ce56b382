#include "sipendpoint.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>

namespace {

const int MaxInterval = 4000;
const int GiveUpMs = 16000;

QByteArray sdpFor(quint16 port)
{
    return QStringLiteral("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                          "m=audio %1 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n")
        .arg(port + 2)
        .toUtf8();
}

}

SipEndpoint::SipEndpoint(const QString &aor, const QHostAddress &proxy, quint16 proxyPort, QObject *parent)
    : QObject(parent), m_aor(aor), m_proxy(proxy), m_proxyPort(proxyPort), m_socket(new QUdpSocket(this))
{
    connect(m_socket, &QUdpSocket::readyRead, this, &SipEndpoint::readPending);
}

bool SipEndpoint::bind(QString *error)
{
    if (m_socket->bind(QHostAddress(QHostAddress::LocalHost), 0))
        return true;
    *error = m_socket->errorString();
    return false;
}

QString SipEndpoint::contact() const
{
    return QStringLiteral("sip:%1@127.0.0.1:%2").arg(user()).arg(m_socket->localPort());
}

QString SipEndpoint::randomToken()
{
    return QString::number(QRandomGenerator::global()->generate64(), 36);
}

SipMessage SipEndpoint::newRequest(const QString &method, const QString &uri, const QString &callId, int cseq,
                                   const QString &fromTag, const QString &toValue, const QString &branch) const
{
    SipMessage m = SipMessage::request(method, uri);
    m.addHeader(QStringLiteral("Via"), QStringLiteral("SIP/2.0/UDP 127.0.0.1:%1;branch=z9hG4bK%2;rport")
                                           .arg(m_socket->localPort())
                                           .arg(branch.isEmpty() ? randomToken() : branch));
    m.addHeader(QStringLiteral("Max-Forwards"), QStringLiteral("70"));
    m.addHeader(QStringLiteral("From"), QStringLiteral("<sip:%1>;tag=%2").arg(m_aor, fromTag));
    m.addHeader(QStringLiteral("To"), toValue.isEmpty() ? QStringLiteral("<%1>").arg(uri) : toValue);
    m.addHeader(QStringLiteral("Call-ID"), callId);
    m.addHeader(QStringLiteral("CSeq"), QStringLiteral("%1 %2").arg(cseq).arg(method));
    m.addHeader(QStringLiteral("User-Agent"), userAgent);
    return m;
}

void SipEndpoint::send(const SipMessage &request)
{
    QHostAddress host = m_proxy;
    quint16 port = m_proxyPort;
    const QStringList routes = request.headerValues(QStringLiteral("Route"));
    QString routeHost;
    quint16 routePort = 0;
    if (!routes.isEmpty() && SipMessage::hostPort(SipMessage::uriOf(routes.first()), &routeHost, &routePort)
        && QHostAddress(routeHost).isLoopback()) {
        host = QHostAddress(routeHost);
        port = routePort;
    }
    const QByteArray bytes = request.toBytes();
    sendTo(bytes, host, port);
    if (request.method() == QLatin1String("ACK"))
        return;

    const QString branch = SipMessage::parameter(request.header(QStringLiteral("Via")), QStringLiteral("branch"));
    Pending p{bytes, host, port, new QTimer(this), 500};
    p.timer->setSingleShot(true);
    connect(p.timer, &QTimer::timeout, this, [this, branch] {
        auto it = m_pending.find(branch);
        if (it == m_pending.end())
            return;
        sendTo(it->bytes, it->host, it->port);
        it->interval = qMin(it->interval * 2, MaxInterval);
        if (it->interval * 2 > GiveUpMs) {
            it->timer->deleteLater();
            m_pending.erase(it);
            emit failed(QStringLiteral("no answer from the proxy"));
            return;
        }
        it->timer->start(it->interval);
    });
    p.timer->start(p.interval);
    m_pending.insert(branch, p);
}

void SipEndpoint::sendTo(const QByteArray &bytes, const QHostAddress &host, quint16 port)
{
    // Test traffic stays on this machine.
    if (!host.isLoopback())
        return;
    m_socket->writeDatagram(bytes, host, port);
}

void SipEndpoint::readPending()
{
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_socket->receiveDatagram();
        SipMessage m;
        if (!SipMessage::parse(datagram.data(), &m))
            continue;
        if (m.isRequest()) {
            handleRequest(m, datagram.senderAddress(), quint16(datagram.senderPort()));
            continue;
        }
        const QString branch = SipMessage::parameter(m.header(QStringLiteral("Via")), QStringLiteral("branch"));
        auto it = m_pending.find(branch);
        if (it != m_pending.end()) {
            it->timer->deleteLater();
            m_pending.erase(it);
        }
        emit responseReceived(m);
    }
}

SipMessage SipEndpoint::responseTo(const SipMessage &request, int status, const QString &reason,
                                   const QString &toTag) const
{
    SipMessage r = SipMessage::response(status, reason);
    r.copyHeaders(request, QStringLiteral("Via"));
    if (request.method() == QLatin1String("INVITE"))
        r.copyHeaders(request, QStringLiteral("Record-Route"));
    r.addHeader(QStringLiteral("From"), request.header(QStringLiteral("From")));
    QString to = request.header(QStringLiteral("To"));
    if (!toTag.isEmpty() && SipMessage::parameter(to, QStringLiteral("tag")).isEmpty())
        to += QStringLiteral(";tag=") + toTag;
    r.addHeader(QStringLiteral("To"), to);
    r.addHeader(QStringLiteral("Call-ID"), request.header(QStringLiteral("Call-ID")));
    r.addHeader(QStringLiteral("CSeq"), request.header(QStringLiteral("CSeq")));
    r.addHeader(QStringLiteral("Server"), userAgent);
    return r;
}

void SipEndpoint::handleRequest(const SipMessage &request, const QHostAddress &from, quint16 port)
{
    const QString callId = request.header(QStringLiteral("Call-ID"));
    const QString method = request.method();
    if (method == QLatin1String("ACK")) {
        auto it = m_unacked.find(callId);
        if (it != m_unacked.end()) {
            it->timer->deleteLater();
            m_unacked.erase(it);
        }
        return;
    }
    if (method != QLatin1String("INVITE")) {
        sendTo(responseTo(request, 200, QStringLiteral("OK"), m_toTags.value(callId, randomToken())).toBytes(), from,
               port);
        return;
    }
    if (m_toTags.contains(callId))
        return;  // a retransmission: the answer is on its way
    const QString toTag = randomToken();
    m_toTags.insert(callId, toTag);
    sendTo(responseTo(request, 100, QStringLiteral("Trying"), QString()).toBytes(), from, port);
    sendTo(responseTo(request, 180, QStringLiteral("Ringing"), toTag).toBytes(), from, port);

    SipMessage ok = responseTo(request, 200, QStringLiteral("OK"), toTag);
    ok.addHeader(QStringLiteral("Contact"), QStringLiteral("<%1>").arg(contact()));
    ok.setBody(sdpFor(m_socket->localPort()), QStringLiteral("application/sdp"));
    Pending p{ok.toBytes(), from, port, new QTimer(this), 500};
    connect(p.timer, &QTimer::timeout, this, [this, callId] {
        auto it = m_unacked.find(callId);
        if (it == m_unacked.end())
            return;
        sendTo(it->bytes, it->host, it->port);
        it->interval = qMin(it->interval * 2, MaxInterval);
        it->timer->start(it->interval);
    });
    p.timer->setSingleShot(true);
    m_unacked.insert(callId, p);
    // The first 200 goes out when the ringing ends; later ones are retransmissions.
    QTimer::singleShot(ringMs, this, [this, callId] {
        auto it = m_unacked.find(callId);
        if (it == m_unacked.end())
            return;
        sendTo(it->bytes, it->host, it->port);
        it->timer->start(it->interval);
    });
}
