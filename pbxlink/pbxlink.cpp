#include "pbxlink.h"

#include "pbxlinksession.h"
#include "threadhandover.h"

#include <QTimer>

#include <utility>

namespace {
// Delivery is confirmed in steps of about this much, not per message.
constexpr qint64 kDeliveryMarkBytes = 1024 * 1024;
// Reading resumes once this little is left undelivered.
constexpr qint64 kResumeBytes = PbxLink::MaxUndeliveredBytes / 4;

// What a message holds in memory, near enough to bound the total.
qint64 footprint(const DiagnosticMessage &msg)
{
    constexpr qint64 perString = 32;
    qint64 bytes = qint64(sizeof(DiagnosticMessage)) + 8 * perString;
    for (const QString *s : {&msg.tenantUuid, &msg.linkedId, &msg.uniqueId, &msg.messageId, &msg.timestamp,
                             &msg.verbosity, &msg.message})
        bytes += 2 * qint64(s->size());
    for (const QString &field : msg.extraFields)
        bytes += perString + 2 * qint64(field.size());
    return bytes;
}
}

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
    ThreadHandover::watchQueuedCalls();
}

PbxLink::~PbxLink()
{
    shutdown();
}

void PbxLink::init()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped || isRunning())
        return;
    start();
}

template <typename... Args>
void PbxLink::forward(PbxLinkSession *session, void (PbxLinkSession::*from)(Args...),
                      void (PbxLink::*to)(Args...))
{
    // Direct, so that every signal leaves from this thread.
    connect(session, from, this, [this, to](Args... args) {
        ThreadHandover::releaseToQueuedCalls();
        (this->*to)(args...);
    }, Qt::DirectConnection);
}

void PbxLink::run()
{
    {
        PbxLinkSession session(m_platform, m_osVersion, m_appShortName, m_appVersion, m_dataDir, m_keepAliveMs);
        // The api version is stored before the login is announced, so a receiver
        // of loggedToServer or sigFeaturesChanged already reads the new value.
        connect(&session, &PbxLinkSession::loggedToServer, this, [this](const LoginDetails &details) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_apiVersion = details.apiVersion;
        }, Qt::DirectConnection);
        forward(&session, &PbxLinkSession::loggedToServer, &PbxLink::loggedToServer);
        connect(&session, &PbxLinkSession::unloggedFromServer, this, [this] { m_attemptOpen = false; },
                Qt::DirectConnection);
        forward(&session, &PbxLinkSession::unloggedFromServer, &PbxLink::unloggedFromServer);
        forward(&session, &PbxLinkSession::disconnectedFromServer, &PbxLink::disconnectedFromServer);
        forward(&session, &PbxLinkSession::sigFeaturesChanged, &PbxLink::sigFeaturesChanged);
        forward(&session, &PbxLinkSession::sigTenantListReceived, &PbxLink::sigTenantListReceived);
        connect(&session, &PbxLinkSession::sigDiagnosticMessageReceived, this,
                [this, s = &session](const DiagnosticMessage &msg) { sendDiagnosticMessage(s, msg); },
                Qt::DirectConnection);
        forward(&session, &PbxLinkSession::sigServerCommandResponse, &PbxLink::sigServerCommandResponse);
        forward(&session, &PbxLinkSession::sigHistoryCalls, &PbxLink::sigHistoryCalls);
        forward(&session, &PbxLinkSession::sigHistoryRows, &PbxLink::sigHistoryRows);
        forward(&session, &PbxLinkSession::sigHistoryError, &PbxLink::sigHistoryError);
        forward(&session, &PbxLinkSession::sigUnknownExchange, &PbxLink::sigUnknownExchange);
        forward(&session, &PbxLinkSession::sigExchangeIdentityChanged, &PbxLink::sigExchangeIdentityChanged);
        QTimer pendingCalls;
        pendingCalls.setSingleShot(true);
        connect(&pendingCalls, &QTimer::timeout, &session, [this, s = &session] { runPendingCalls(s); });

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pendingCallsTimer = &pendingCalls;
        }
        runPendingCalls(&session);

        exec();

        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pendingCallsTimer = nullptr;
            m_stopped = true;
            m_pending.clear();
        }
        session.closeForShutdown();
        session.disconnect(this);
    }
    // The session is gone too: ordered before shutdown()'s wait() returns.
    ThreadHandover::release(this);
}

void PbxLink::sendDiagnosticMessage(PbxLinkSession *session, const DiagnosticMessage &msg)
{
    ThreadHandover::releaseToQueuedCalls();
    const qint64 bytes = footprint(msg);
    emit sigDiagnosticMessageReceived(msg);
    // The copies the emission queued are made now: a reader may meet them
    // before any later message's release.
    ThreadHandover::releaseToQueuedCalls();
    m_unmarkedBytes += bytes;
    const qint64 undelivered = m_undeliveredBytes.fetch_add(bytes) + bytes;
    if (undelivered <= MaxUndeliveredBytes) {
        if (m_unmarkedBytes >= kDeliveryMarkBytes)
            postDeliveryMark();
        return;
    }
    // Paused before the mark goes: the mark's delivery is what resumes.
    if (!m_readingPaused.exchange(true))
        session->setReadingPaused(true);
    // Everything sent so far must be marked, or the count would never fall.
    postDeliveryMark();
}

void PbxLink::postDeliveryMark()
{
    // Queued to this object's thread after the messages just sent, so it
    // runs once the receivers there have had them.
    const qint64 bytes = std::exchange(m_unmarkedBytes, 0);
    QMetaObject::invokeMethod(this, [this, bytes] { onMessagesDelivered(bytes); }, Qt::QueuedConnection);
    ThreadHandover::releaseToQueuedCalls();
}

void PbxLink::onMessagesDelivered(qint64 bytes)
{
    const qint64 undelivered = m_undeliveredBytes.fetch_sub(bytes) - bytes;
    if (undelivered <= kResumeBytes && m_readingPaused.exchange(false))
        dispatch([](PbxLinkSession *s) { s->setReadingPaused(false); });
}

qint64 PbxLink::undeliveredBytes() const
{
    return m_undeliveredBytes.load();
}

bool PbxLink::isReadingPaused() const
{
    return m_readingPaused.load();
}

void PbxLink::runPendingCalls(PbxLinkSession *session)
{
    QVector<SessionCall> calls;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        calls.swap(m_pending);
    }
    for (const SessionCall &call : qAsConst(calls))
        call(session);
}

void PbxLink::dispatch(SessionCall call)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopped)
        return;
    m_pending.append(std::move(call));
    // Before the thread is up, run() takes the calls itself. The wake-up
    // carries no data (hence by name): the calls stay here, under the lock.
    if (m_pendingCallsTimer && m_pending.size() == 1)
        QMetaObject::invokeMethod(m_pendingCallsTimer, "start", Qt::QueuedConnection);
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
        if (m_attemptOpen) {
            ThreadHandover::releaseToQueuedCalls();
            emit unloggedFromServer(QStringLiteral("UserRequest"));
        }
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
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
        m_pending.clear();
    }
    if (QThread::currentThread() == this) {
        quit();
        return;
    }
    quit();
    wait();
    ThreadHandover::acquire(this);
}

void PbxLink::releaseMessages(QVector<DiagnosticMessage> done)
{
    // Nothing to do there: the call, and the messages with it, end on that
    // thread once it has run.
    dispatch([done = std::move(done)](PbxLinkSession *) {});
}

void PbxLink::getTenantList()
{
    dispatch([](PbxLinkSession *s) { s->getTenantList(); });
}

void PbxLink::subscribeTenantEvents(const QString &tenantUuid, const QString &since)
{
    dispatch([tenantUuid, since](PbxLinkSession *s) { s->subscribeTenantEvents(tenantUuid, since); });
}

void PbxLink::sendHistoryRequest(const HistoryRequest &request)
{
    dispatch([request](PbxLinkSession *s) { s->sendHistoryRequest(request); });
}

QString PbxLink::getServerApiVersion() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_apiVersion;
}

void PbxLink::sendServerCommand(const ServerCommand &command)
{
    dispatch([command](PbxLinkSession *s) { s->sendServerCommand(command); });
}

void PbxLink::answerUnknownExchange(const QString &address, const QString &fingerprint, bool trust)
{
    dispatch([address, fingerprint, trust](PbxLinkSession *s) { s->answerUnknownExchange(address, fingerprint, trust); });
}
