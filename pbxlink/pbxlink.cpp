#include "pbxlink.h"

#include "pbxlinksession.h"

#include <QMutexLocker>

PbxLink::PbxLink(const QString &platform, const QString &osVersion, const QString &appShortName,
                 const QString &appVersion, const QString &dataDir, QObject *parent)
    : QThread(parent)
    , m_platform(platform)
    , m_osVersion(osVersion)
    , m_appShortName(appShortName)
    , m_appVersion(appVersion)
    , m_dataDir(dataDir)
    , m_keepAliveMs(PbxLinkSession::keepAliveFromEnvironment())
{
    setObjectName(QStringLiteral("PbxLink"));
    PBXLINK::registerMetaTypes();
}

PbxLink::~PbxLink()
{
    shutdown();
}

void PbxLink::init()
{
    QMutexLocker lock(&m_mutex);
    if (m_stopped || isRunning())
        return;
    start();
}

void PbxLink::run()
{
    PbxLinkSession session(m_platform, m_osVersion, m_appShortName, m_appVersion, m_keepAliveMs);
    // The api version is stored before the login is announced, so a receiver
    // of loggedToServer or sigFeaturesChanged already reads the new value.
    connect(&session, &PbxLinkSession::loggedToServer, this, [this](const LoginDetails &details) {
        QMutexLocker lock(&m_mutex);
        m_apiVersion = details.apiVersion;
    }, Qt::DirectConnection);
    // Forwarded directly, so that every signal leaves from this thread.
    connect(&session, &PbxLinkSession::loggedToServer, this, &PbxLink::loggedToServer, Qt::DirectConnection);
    connect(&session, &PbxLinkSession::unloggedFromServer, this, [this] { m_attemptOpen = false; },
            Qt::DirectConnection);
    connect(&session, &PbxLinkSession::unloggedFromServer, this, &PbxLink::unloggedFromServer,
            Qt::DirectConnection);
    connect(&session, &PbxLinkSession::disconnectedFromServer, this, &PbxLink::disconnectedFromServer,
            Qt::DirectConnection);
    connect(&session, &PbxLinkSession::sigFeaturesChanged, this, &PbxLink::sigFeaturesChanged,
            Qt::DirectConnection);
    connect(&session, &PbxLinkSession::sigTenantListReceived, this, &PbxLink::sigTenantListReceived,
            Qt::DirectConnection);
    connect(&session, &PbxLinkSession::sigDiagnosticMessageReceived, this,
            &PbxLink::sigDiagnosticMessageReceived, Qt::DirectConnection);
    connect(&session, &PbxLinkSession::sigServerCommandResponse, this, &PbxLink::sigServerCommandResponse,
            Qt::DirectConnection);

    {
        QMutexLocker lock(&m_mutex);
        m_session = &session;
        for (const SessionCall &call : qAsConst(m_pending))
            QMetaObject::invokeMethod(&session, [s = &session, call] { call(s); }, Qt::QueuedConnection);
        m_pending.clear();
    }

    exec();

    {
        QMutexLocker lock(&m_mutex);
        m_session = nullptr;
        m_stopped = true;
    }
    session.closeForShutdown();
    session.disconnect(this);
}

void PbxLink::dispatch(SessionCall call)
{
    QMutexLocker lock(&m_mutex);
    if (m_stopped)
        return;
    if (!m_session) {
        m_pending.append(std::move(call));
        return;
    }
    PbxLinkSession *session = m_session;
    QMetaObject::invokeMethod(session, [session, call] { call(session); }, Qt::QueuedConnection);
}

void PbxLink::setServerAddress(const QString &hostAndPort)
{
    dispatch([hostAndPort](PbxLinkSession *s) { s->setServerAddress(hostAndPort); });
}

void PbxLink::connectToServer(const QString &user, const QString &password, const QString &domain,
                              PBXLINK::AppMode mode)
{
    dispatch([this, user, password, domain, mode](PbxLinkSession *s) {
        // The attempt this one replaces still gets its one end, before
        // anything of the new one.
        if (m_attemptOpen)
            emit unloggedFromServer(QStringLiteral("UserRequest"));
        m_attemptOpen = true;
        s->connectToServer(user, password, domain, int(mode));
    });
}

void PbxLink::disconnectFromServer()
{
    dispatch([](PbxLinkSession *s) { s->disconnectFromServer(); });
}

void PbxLink::shutdown()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopped = true;
        m_pending.clear();
    }
    if (QThread::currentThread() == this) {
        quit();
        return;
    }
    quit();
    wait();
}

void PbxLink::getTenantList()
{
    dispatch([](PbxLinkSession *s) { s->getTenantList(); });
}

void PbxLink::subscribeTenantEvents(const QString &tenantUuid)
{
    dispatch([tenantUuid](PbxLinkSession *s) { s->subscribeTenantEvents(tenantUuid); });
}

QString PbxLink::getServerApiVersion() const
{
    QMutexLocker lock(&m_mutex);
    return m_apiVersion;
}

void PbxLink::sendServerCommand(const ServerCommand &command)
{
    dispatch([command](PbxLinkSession *s) { s->sendServerCommand(command); });
}
