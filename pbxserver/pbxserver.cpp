#include "pbxserver.h"

#include "diagnosticmessage.h"
#include "loginthrottle.h"
#include "pbxendpoint.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"
#include "pbxserversession.h"
#include "tlslistener.h"

#include <QSslSocket>
#include <QTimer>

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

bool PbxServer::listen(const QString &address, QString *error)
{
    QHostAddress host;
    quint16 port = 0;
    if (!PbxEndpoint::parseListen(address, &host, &port)) {
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

// The oldest connection that has not logged in gives way to a newcomer, so
// that a peer holding connections open cannot keep anyone out for long; a
// login that was just challenged is spared. False when only such logins
// wait: the newcomer is turned away then.
bool PbxServer::makeRoomBeforeLogin(const QHostAddress &peer)
{
    const QString group = LoginThrottle::addressGroup(peer);
    PbxServerSession *oldest = nullptr;
    PbxServerSession *oldestHere = nullptr;
    int pending = 0;
    int pendingHere = 0;
    for (PbxServerSession *session : qAsConst(m_sessions)) {
        if (!session->isPending())
            continue;
        ++pending;
        const bool spared = session->isAnsweringChallenge();
        oldest = oldest || spared ? oldest : session;
        if (LoginThrottle::addressGroup(session->peerAddress()) == group) {
            ++pendingHere;
            oldestHere = oldestHere || spared ? oldestHere : session;
        }
    }
    PbxServerSession *victim = nullptr;
    if (m_settings.maxPendingPerAddress > 0 && pendingHere >= m_settings.maxPendingPerAddress)
        victim = oldestHere;
    else if (m_settings.maxPending > 0 && pending >= m_settings.maxPending)
        victim = oldest;
    else
        return true;
    if (!victim)
        return false;
    victim->closeWithBye(QStringLiteral("too many connections waiting to log in"));
    return true;
}

QString PbxServer::admission(const QString &account) const
{
    int clients = 0;
    int ofAccount = 0;
    for (const PbxServerSession *session : m_sessions) {
        if (session->isLoggedIn()) {
            ++clients;
            ofAccount += session->account() == account ? 1 : 0;
        }
    }
    if (m_settings.maxClients > 0 && clients >= m_settings.maxClients)
        return QStringLiteral("too many clients");
    if (m_settings.maxSessionsPerAccount > 0 && ofAccount >= m_settings.maxSessionsPerAccount)
        return QStringLiteral("too many sessions of this account (at most %1)").arg(m_settings.maxSessionsPerAccount);
    return {};
}

void PbxServer::endSessionsOf(const QStringList &accounts, const QString &reason)
{
    const QVector<PbxServerSession *> sessions = m_sessions;
    for (PbxServerSession *session : sessions) {
        if (session->isLoggedIn() && accounts.contains(session->account()))
            session->closeWithBye(reason);
    }
}

void PbxServer::onNewConnection(TlsListener *listener)
{
    while (auto *socket = qobject_cast<QSslSocket *>(listener->nextPendingConnection())) {
        if (!makeRoomBeforeLogin(socket->peerAddress())) {
            emit eventReported(QStringLiteral("connection from %1 turned away: logins under way fill its budget")
                                   .arg(socket->peerAddress().toString()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const int number = ++m_sessionCounter;
        PbxServerSession *session = m_factory ? m_factory(socket, number, this)
                                              : new PbxServerSession(socket, m_settings, m_backend, number, this);
        if (m_settings.loginBackoff)
            session->setLoginThrottle(m_throttle.get());
        session->setAdmission([this](const QString &account) { return admission(account); });
        connect(session, &PbxServerSession::eventReported, this, &PbxServer::eventReported);
        connect(session, &PbxServerSession::loginAccepted, this, [this, session] {
            for (const QByteArray &frame : qAsConst(m_standingNotices))
                session->offerLogFrame(QString(), frame, true);
        });
        connect(session, &PbxServerSession::finished, this, [this, session] {
            m_sessions.removeOne(session);
            session->deleteLater();
        });
        m_sessions.append(session);
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

void PbxServer::setStandingNotice(const QString &key, const DiagnosticMessage &msg)
{
    broadcast(msg);
    m_standingNotices.insert(key, PbxProtocol::encodeLogFrame(msg));
}

void PbxServer::withdrawStandingNotice(const QString &key)
{
    m_standingNotices.remove(key);
}

void PbxServer::sendTenantsToAll()
{
    for (PbxServerSession *session : qAsConst(m_sessions))
        session->sendTenants();
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
