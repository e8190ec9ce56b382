#include "pbxserver.h"

#include "diagnosticmessage.h"
#include "loginthrottle.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "pbxserversession.h"
#include "tlslistener.h"

#include <QSslSocket>
#include <QTimer>

namespace {
// Connections past the client limit that still get a "too many clients" bye.
constexpr int kFullNotices = 4;
}

PbxServer::PbxServer(const PbxServerSettings &settings, PbxBackend *backend, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_backend(backend)
    , m_throttle(std::make_unique<LoginThrottle>(settings.loginBackoffFirstMs, settings.loginBackoffMaxMs))
{
}

PbxServer::~PbxServer() = default;

void PbxServer::setSessionFactory(SessionFactory factory)
{
    m_factory = std::move(factory);
}

void PbxServer::setSettings(const PbxServerSettings &settings)
{
    m_settings = settings;
}

bool PbxServer::parseListenAddress(const QString &text, QHostAddress *host, quint16 *port)
{
    QString hostText;
    QString portText;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QStringLiteral("]:"));
        if (close < 0)
            return false;
        hostText = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else {
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return false;
        hostText = text.left(colon);
        portText = text.mid(colon + 1);
    }
    bool ok = false;
    const uint p = portText.toUInt(&ok, 10);
    QHostAddress address;
    if (!ok || p > 65535 || !address.setAddress(hostText))
        return false;
    *host = address;
    *port = quint16(p);
    return true;
}

bool PbxServer::listen(const QString &address, QString *error)
{
    QHostAddress host;
    quint16 port = 0;
    if (!parseListenAddress(address, &host, &port)) {
        *error = QStringLiteral("invalid listen address \"%1\" (expected an IP address and a port, e.g. 127.0.0.1:5039)")
                     .arg(address);
        return false;
    }
    auto *listener = new TlsListener(this);
    if (!listener->listen(host, port)) {
        *error = QStringLiteral("cannot listen on %1: %2").arg(address, listener->errorString());
        delete listener;
        return false;
    }
    connect(listener, &QTcpServer::newConnection, this, [this, listener] { onNewConnection(listener); });
    // Out of descriptors, the listener stops accepting: it takes up again
    // once some may have been freed.
    connect(listener, &QTcpServer::acceptError, this, [this, listener](QAbstractSocket::SocketError) {
        emit eventReported(QStringLiteral("cannot accept a client: %1").arg(listener->errorString()));
        QTimer::singleShot(1000, listener, [listener] { listener->resumeAccepting(); });
    });
    m_listeners.append(listener);
    return true;
}

QList<QHostAddress> PbxServer::addresses() const
{
    QList<QHostAddress> list;
    for (const TlsListener *listener : m_listeners)
        list.append(listener->serverAddress());
    return list;
}

quint16 PbxServer::port() const
{
    return m_listeners.isEmpty() ? 0 : m_listeners.constFirst()->serverPort();
}

QStringList PbxServer::addressTexts() const
{
    QStringList texts;
    for (const TlsListener *listener : m_listeners) {
        const QHostAddress a = listener->serverAddress();
        const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(a.toString())
                                                                           : a.toString();
        texts.append(QStringLiteral("%1:%2").arg(host).arg(listener->serverPort()));
    }
    return texts;
}

void PbxServer::onNewConnection(TlsListener *listener)
{
    while (auto *socket = qobject_cast<QSslSocket *>(listener->nextPendingConnection())) {
        // Past the limit and a few more to be told so, a connection is cut
        // before any TLS work is done for it.
        if (m_settings.maxClients > 0 && m_sessions.size() >= m_settings.maxClients + kFullNotices) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const int number = ++m_sessionCounter;
        PbxServerSession *session = m_factory ? m_factory(socket, number, this)
                                              : new PbxServerSession(socket, m_settings, m_backend, number, this);
        if (m_settings.loginBackoff)
            session->setLoginThrottle(m_throttle.get());
        connect(session, &PbxServerSession::eventReported, this, &PbxServer::eventReported);
        connect(session, &PbxServerSession::finished, this, [this, session] {
            m_sessions.removeOne(session);
            session->deleteLater();
        });
        const bool full = m_settings.maxClients > 0 && m_sessions.size() >= m_settings.maxClients;
        m_sessions.append(session);
        if (full)
            session->startRefusingAsFull();
        else
            session->start();
    }
}

void PbxServer::publish(const DiagnosticMessage &msg)
{
    if (m_sessions.isEmpty())
        return;
    publishFrame(msg.tenantUuid, PbxProtocol::encodeLogFrame(msg), msg.messageId.toLongLong());
}

void PbxServer::publishFrame(const QString &tenant, const QByteArray &frame, qint64 rowId)
{
    if (frame.isEmpty())
        return;  // a record over the frame limit
    // A session may end while frames are handed out: the list is copied.
    const QVector<PbxServerSession *> sessions = m_sessions;
    for (PbxServerSession *session : sessions)
        session->offerLogFrame(tenant, frame, false, rowId);
}

void PbxServer::broadcast(const DiagnosticMessage &msg)
{
    const QByteArray frame = PbxProtocol::encodeLogFrame(msg);
    const QVector<PbxServerSession *> sessions = m_sessions;
    for (PbxServerSession *session : sessions)
        session->offerLogFrame(msg.tenantUuid, frame, true);
}

qint64 PbxServer::largestQueue() const
{
    qint64 largest = 0;
    for (const PbxServerSession *session : m_sessions) {
        if (session->isLoggedIn())
            largest = qMax(largest, session->queuedBytes());
    }
    return largest;
}

int PbxServer::loggedInCount() const
{
    int n = 0;
    for (const PbxServerSession *session : m_sessions)
        n += session->isLoggedIn() ? 1 : 0;
    return n;
}
