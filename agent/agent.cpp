#include "agent.h"

#include "discoveryresponder.h"
#include "hepreceiver.h"
#include "historystore.h"
#include "kamailiocommands.h"
#include "kamailiorpcclient.h"
#include "logsource.h"
#include "logsourcefactory.h"
#include "pbxendpoint.h"
#include "pbxprotocol.h"
#include "pbxserver.h"
#include "plaintext.h"
#include "scram.h"
#include "serveridentity.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHostInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <sys/stat.h>

#include <utility>

namespace {
constexpr int kTenantRefreshMs = 60 * 1000;
// A flood of tenant requests costs Kamailio one call per this.
constexpr qint64 kTenantCacheMs = 5 * 1000;
const QString kDomainDump = QStringLiteral("domain.dump");
constexpr qint64 kMaxSourcePauseMs = 10 * 1000;
// From connecting to logged in, pings or not, as the client's own bound.
constexpr int kLoginDeadlineMs = 15 * 1000;
constexpr int kMaxCommandsPerClient = 2;
// Programs (ping, traceroute, host) running at once, in all and per account:
// one account cannot take every slot.
constexpr int kMaxPrograms = 6;
constexpr int kMaxProgramsPerAccount = 2;
// Connections not logged in yet: per address, in all; and the TLS handshake's time.
constexpr int kMaxPendingPerAddress = 4;
constexpr int kMaxPending = 64;
constexpr int kHandshakeTimeoutMs = 5000;
// The version is asked for before the first client: briefly, a stopped
// Kamailio must not hold the start.
constexpr int kVersionTimeoutMs = 2000;
const QString kFeatureTenants = QStringLiteral("SUBSCRIBE_TENANT_EVENTS");
const QString kFeatureCommands = QStringLiteral("SEND_CMD");
// A command mapped to this answers with the HEP counters.
const QString kHepStatsAction = QStringLiteral("hep:stats");
const QString kHepStatsCommand = QStringLiteral("hep stats");

// Makes the unknown accounts' salts the same at every start, and nobody's
// to work out: a secret of this agent, made on its first start.
bool loadOrCreateSecret(const QString &path, QByteArray *secret, QString *error)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        *secret = file.read(1024);
        if (secret->size() >= 32)
            return true;
        file.close();
    }
    const mode_t oldMask = ::umask(077);
    QSaveFile out(path);
    const bool opened = out.open(QIODevice::WriteOnly);
    ::umask(oldMask);
    *secret = Scram::randomBytes(32);
    if (!opened || out.write(*secret) != secret->size() || !out.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

// A folder the agent makes is its own alone; one that exists (a runtime
// folder shared with Kamailio's group) keeps the mode it was given.
bool makePrivateDir(const QString &path, QString *error)
{
    if (QFileInfo(path).isDir())
        return true;
    if (!QDir().mkpath(path) || !QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        *error = QStringLiteral("cannot create %1").arg(path);
        return false;
    }
    return true;
}
}

Agent::Agent(const AgentConfig &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    m_tenantTimer.setInterval(kTenantRefreshMs);
    connect(&m_tenantTimer, &QTimer::timeout, this, [this] {
        refreshMethods([this] { refreshTenants([] {}, true); });
    });
    m_resumeTimer.setInterval(5);
    connect(&m_resumeTimer, &QTimer::timeout, this, [this] {
        const bool behind = m_server->largestQueue() > m_config.maxUnreadBytes / 4;
        if (behind && m_pausedFor.elapsed() < kMaxSourcePauseMs)
            return;
        m_pauseGaveUp = behind;
        m_resumeTimer.stop();
        setSourcesPaused(false);
    });
}

Agent::~Agent() = default;

bool Agent::check(QString *error)
{
    for (const QString &address : qAsConst(m_config.listen)) {
        QHostAddress host;
        quint16 port = 0;
        if (!PbxEndpoint::parseListen(address, &host, &port)) {
            *error = QStringLiteral("listen address \"%1\" is not an IP address and port (e.g. 0.0.0.0:5039)")
                         .arg(address.left(200));
            return false;
        }
    }
    if (m_config.discovery) {
        QHostAddress host;
        quint16 port = 0;
        if (!PbxEndpoint::parseListen(m_config.discoveryListen, &host, &port)) {
            *error = QStringLiteral("discovery address \"%1\" is not an IP address and port")
                         .arg(m_config.discoveryListen.left(200));
            return false;
        }
    }
    const QVector<LogSource *> sources = LogSourceFactory::createAll(m_config.sources, m_config.stateDir, error);
    qDeleteAll(sources);
    if (sources.isEmpty())
        return false;
    if (!m_config.hepListen.isEmpty()) {
        QHostAddress host;
        quint16 port = 0;
        if (!HepReceiver::parseAddress(m_config.hepListen, &host, &port)) {
            *error = QStringLiteral("HEP address \"%1\" is not an IP address and port (e.g. 127.0.0.1:9060)")
                         .arg(m_config.hepListen.left(200));
            return false;
        }
    }
    if (!m_config.tenantPattern.isEmpty()) {
        const QRegularExpression pattern(m_config.tenantPattern);
        if (!pattern.isValid() || pattern.captureCount() != 1) {
            *error = QStringLiteral("tenant pattern \"%1\" is no regular expression with one group")
                         .arg(m_config.tenantPattern.left(200));
            return false;
        }
    }
    for (auto it = m_config.commands.constBegin(); it != m_config.commands.constEnd(); ++it) {
        KamailioCommandConfig::Action action;
        QString why;
        if (it.value().trimmed() != kHepStatsAction && !KamailioCommandConfig::parseAction(it.value(), &action, &why)) {
            *error = QStringLiteral("command \"%1\": %2").arg(it.key(), why);
            return false;
        }
    }
    return m_accounts.load(m_config.accountsFile, error);
}

bool Agent::start(QString *error)
{
    if (!makePrivateDir(m_config.stateDir, error) || !makePrivateDir(m_config.effectiveRuntimeDir(), error))
        return false;
    if (m_accounts.count() == 0)
        emit eventReported(QStringLiteral("no account in %1 yet: nobody can log in until one is made with "
                                          "\"plogger4-agent passwd NAME\"")
                               .arg(m_config.accountsFile));

    QByteArray unknownAccountSecret;
    if (!loadOrCreateSecret(m_config.stateDir + QStringLiteral("/unknown-accounts.key"), &unknownAccountSecret, error))
        return false;

    ServerIdentity identity;
    const bool loaded = m_config.certificateFile.isEmpty()
        ? identity.loadOrCreate(m_config.stateDir, error, QStringLiteral("plogger4-agent ") + QHostInfo::localHostName())
        : identity.load(m_config.certificateFile, m_config.keyFile, error);
    if (!loaded)
        return false;

    PbxServerSettings settings;
    settings.certificate = identity.certificate;
    settings.privateKey = identity.key;
    settings.serverName = QStringLiteral("plogger4-agent on %1").arg(QHostInfo::localHostName());
    settings.serverVersion = QStringLiteral("unknown");
    settings.apiVersion = QStringLiteral("4.2");
    settings.features = QStringList{kFeatureCommands};
    if (m_config.tenantsFromRpc || !m_config.tenants.isEmpty())
        settings.features.prepend(kFeatureTenants);
    settings.idleTimeoutMs = m_config.idleTimeoutMs;
    settings.maxClients = m_config.maxClients;
    settings.maxSessionsPerAccount = m_config.maxSessionsPerAccount;
    settings.maxPendingPerAddress = kMaxPendingPerAddress;
    settings.maxPending = kMaxPending;
    settings.handshakeTimeoutMs = kHandshakeTimeoutMs;
    settings.maxQueuedBytes = m_config.maxUnreadBytes;
    settings.loginBackoff = true;
    settings.loginDeadlineMs = kLoginDeadlineMs;
    settings.maxCommandsInFlight = kMaxCommandsPerClient;
    settings.unknownAccountIterations = AccountStore::NewIterations;
    settings.unknownAccountSecret = unknownAccountSecret;

    m_backend = std::make_unique<AgentBackend>(m_accounts, m_config.domains);
    openHistory();
    if (m_history)
        settings.features.append(PbxProtocol::FeatureHistory);
    m_backend->setTenants(m_config.tenants);
    m_server = new PbxServer(settings, m_backend.get(), this);
    connect(m_server, &PbxServer::eventReported, this, &Agent::eventReported);

    m_rpc = new KamailioRpcClient(m_config.rpcSocket, m_config.effectiveRuntimeDir(), this);
    KamailioCommandConfig commands = KamailioCommandConfig::defaults();
    for (auto it = m_config.commands.constBegin(); it != m_config.commands.constEnd(); ++it) {
        KamailioCommandConfig::Action action;
        QString why;
        if (it.value().trimmed() != kHepStatsAction && KamailioCommandConfig::parseAction(it.value(), &action, &why))
            commands.commands.insert(it.key(), action);
    }
    m_commands = new KamailioCommands(m_rpc, commands, this);
    m_commands->setProgramLimits(kMaxPrograms, kMaxProgramsPerAccount);
    m_backend->setCommandRunner([this](const ServerCommand &command, const PbxCommandOrigin &origin,
                                       PbxBackend::CommandDone done) {
        const bool hepStats = command.command == kHepStatsCommand
            || m_config.commands.value(command.command).trimmed() == kHepStatsAction;
        if (!hepStats) {
            m_commands->run(command, std::move(done), origin.scope, origin.account);
            return;
        }
        ServerCommandResponse response;
        response.commandId = command.id;
        response.command = command.command;
        response.executed = m_hep != nullptr;
        response.code = m_hep ? 0 : 1;
        response.output = m_hep ? m_hep->statsText() : QString();
        response.detail = m_hep ? QString() : QStringLiteral("HEP is not configured");
        response.timestamp = WireTimestamp::now();
        // Never inside the call, as Kamailio's answers.
        QTimer::singleShot(0, this, [done = std::move(done), response] { done(response); });
    });
    if (m_config.tenantsFromRpc) {
        m_backend->setTenantRefresher([this](std::function<void()> done) { refreshTenants(std::move(done)); });
        m_tenantTimer.start();
    }

    m_sources = LogSourceFactory::createAll(m_config.sources, m_config.stateDir, error, this);
    if (m_sources.isEmpty())
        return false;
    for (LogSource *source : qAsConst(m_sources))
        watchSource(source);

    for (const QString &address : qAsConst(m_config.listen)) {
        if (!m_server->listen(address, error))
            return false;
    }
    if (!m_config.hepListen.isEmpty() && !startHep(error))
        return false;
    if (m_config.discovery) {
        QHostAddress host;
        quint16 port = 0;
        PbxEndpoint::parseListen(m_config.discoveryListen, &host, &port);
        m_discovery = new DiscoveryResponder(this);
        m_discovery->setPn(QStringLiteral("plogger4-agent"));
        m_discovery->setSn(QHostInfo::localHostName().left(64));
        m_discovery->setFw(settings.serverVersion);
        m_discovery->setBl(QString());
        QStringList ips;
        for (const QHostAddress &a : m_server->addresses()) {
            if (a != QHostAddress::Any && a != QHostAddress::AnyIPv6 && a != QHostAddress::AnyIPv4)
                ips << (m_server->port() == 5039 ? a.toString() : QStringLiteral("%1:%2").arg(a.toString()).arg(m_server->port()));
        }
        m_discovery->setIps(ips);
        if (!m_discovery->listen(host, port)) {
            *error = QStringLiteral("cannot answer discovery on %1: %2").arg(m_config.discoveryListen, m_discovery->errorString());
            return false;
        }
    }

    // Kamailio's version goes into the greeting; whatever the answer, the
    // agent then serves.
    m_rpc->setTimeout(kVersionTimeoutMs);
    m_commands->fetchVersion([this](bool ok, const QString &version, const QString &why) {
        m_rpc->setTimeout(KamailioRpcClient::DefaultTimeoutMs);
        if (ok) {
            PbxServerSettings s = m_server->settings();
            s.serverVersion = version.left(100);
            m_server->setSettings(s);
        } else {
            emit eventReported(QStringLiteral("Kamailio's version unknown: %1").arg(why));
        }
        refreshMethods([this] {
            if (m_config.tenantsFromRpc)
                refreshTenants([this] { finishStart(); }, true);
            else
                finishStart();
        });
    });
    return true;
}

// Each source keeps its own parser, so that a continuation line never joins
// another source's entry; their records are merged as they come.
void Agent::watchSource(LogSource *source)
{
    if (!m_config.tenantPattern.isEmpty())
        source->setTenantPattern(QRegularExpression(m_config.tenantPattern));
    connect(source, &LogSource::recordsReady, this, &Agent::onRecords);
    // The source says each change once; a client that logs in meanwhile
    // is told too.
    const QString lostKey = source->name() + QStringLiteral(" lost");
    const QString silentKey = source->name() + QStringLiteral(" silent");
    connect(source, &LogSource::sourceLost, this, [this, source, lostKey](const QString &reason) {
        emit eventReported(QStringLiteral("log source %1 lost: %2").arg(source->name(), reason));
        m_server->setStandingNotice(
            lostKey, notice(2, QStringLiteral("plogger4-agent: the log source %1 is lost (%2); its lines will follow when it is back")
                                   .arg(source->name(), reason)));
    });
    connect(source, &LogSource::sourceRestored, this, [this, source, lostKey] {
        emit eventReported(QStringLiteral("log source %1 back").arg(source->name()));
        m_server->withdrawStandingNotice(lostKey);
        announce(2, QStringLiteral("plogger4-agent: the log source %1 is back").arg(source->name()));
    });
    connect(source, &LogSource::sourceSilent, this, [this, source, silentKey](const QString &reason) {
        emit eventReported(QStringLiteral("log source %1 gives nothing: %2").arg(source->name(), reason));
        m_server->setStandingNotice(silentKey, notice(2, QStringLiteral("plogger4-agent: the log source %1 gives nothing: %2")
                                                             .arg(source->name(), reason)));
    });
    connect(source, &LogSource::sourceHeard, this, [this, source, silentKey] {
        emit eventReported(QStringLiteral("log source %1 gives entries").arg(source->name()));
        m_server->withdrawStandingNotice(silentKey);
        announce(2, QStringLiteral("plogger4-agent: the log source %1 gives entries").arg(source->name()));
    });
}

void Agent::setSourcesPaused(bool paused)
{
    for (LogSource *source : qAsConst(m_sources))
        source->setPaused(paused);
}

void Agent::finishStart()
{
    for (LogSource *source : qAsConst(m_sources))
        source->start();
    QStringList lines;
    lines << QStringLiteral("fingerprint %1").arg(PbxEndpoint::certificateFingerprint(m_server->settings().certificate));
    for (const QString &address : m_server->addressTexts())
        lines << QStringLiteral("listening %1").arg(address);
    if (m_hep)
        lines << QStringLiteral("hep %1:%2").arg(m_hep->address().toString()).arg(m_hep->port());
    if (m_discovery)
        lines << QStringLiteral("discovery %1:%2").arg(m_discovery->localAddress().toString()).arg(m_discovery->localPort());
    emit ready(lines);
}

void Agent::refreshMethods(std::function<void()> done)
{
    m_commands->fetchMethods([this, done = std::move(done)](bool ok, const QSet<QString> &methods, const QString &why) {
        // Kamailio down: the last list stands, and calls say so themselves.
        if (ok)
            m_commands->setMethods(methods);
        else
            qDebug() << Q_FUNC_INFO << "Kamailio's methods not read:" << why;
        done();
    });
}

void Agent::refreshTenants(std::function<void()> done, bool fresh)
{
    if (!fresh && m_tenantWaiters.isEmpty() && m_tenantsReadAt.isValid() && !m_tenantsReadAt.hasExpired(kTenantCacheMs)) {
        done();
        return;
    }
    m_tenantWaiters.append(std::move(done));
    if (m_tenantWaiters.size() == 1)
        readTenants();
}

void Agent::readTenants()
{
    const auto finished = [this] {
        m_tenantsReadAt.start();
        const QVector<std::function<void()>> waiters = std::exchange(m_tenantWaiters, {});
        for (const std::function<void()> &done : waiters)
            done();
    };
    const bool offered = m_commands->offers(kDomainDump);
    if (int(offered) != m_tenantsFromRpc) {
        m_tenantsFromRpc = int(offered);
        if (!offered)
            emit eventReported(QStringLiteral("Kamailio offers no %1 (%2); the tenants are those of the configuration (%3)")
                                   .arg(kDomainDump,
                                        KamailioCommands::missingModuleText(QStringLiteral("it"), kDomainDump),
                                        m_config.tenants.isEmpty() ? QStringLiteral("none") : QString::number(m_config.tenants.size())));
    }
    if (!offered) {
        setTenants(m_config.tenants);
        finished();
        return;
    }
    m_commands->fetchTenants([this, finished](bool ok, const QVector<PbxTenant> &tenants, const QString &why) {
        if (ok) {
            setTenants(tenants);
        } else {
            // The last list stands while Kamailio cannot be reached.
            emit eventReported(QStringLiteral("tenants not read from Kamailio: %1").arg(why));
        }
        finished();
    });
}

void Agent::reload()
{
    QString error;
    AccountStore accounts;
    if (accounts.load(m_config.accountsFile, &error)) {
        // A removed account, or one whose password changed, is not to keep
        // the sessions it opened.
        const QStringList changed = m_accounts.changedIn(accounts);
        m_accounts = accounts;
        m_backend->setAccounts(accounts);
        emit eventReported(QStringLiteral("accounts re-read: %1").arg(accounts.count()));
        if (m_server && !changed.isEmpty())
            m_server->endSessionsOf(changed, QStringLiteral("account removed or its password changed"));
    } else {
        emit eventReported(QStringLiteral("accounts not re-read, the old ones stand: %1").arg(error));
    }
    if (m_config.tenantsFromRpc)
        refreshMethods([this] { refreshTenants([] {}, true); });
}

// A history that cannot be opened leaves the agent serving live only.
void Agent::openHistory()
{
    if (!m_config.historyEnabled)
        return;
    HistoryStore::Settings settings;
    settings.folder = m_config.stateDir;
    settings.keepDays = m_config.historyKeepDays;
    settings.maxBytes = m_config.historyMaxMib * 1024 * 1024;
    m_history = new HistoryStore(settings, this);
    connect(m_history, &HistoryStore::problem, this, &Agent::eventReported);
    QString error;
    if (!m_history->open(&error)) {
        emit eventReported(QStringLiteral("history is off: %1").arg(error));
        delete std::exchange(m_history, nullptr);
        return;
    }
    // Ids go on across restarts, also past ids given to rows the store never
    // kept (notices, rows queued when the agent was killed, calls dropped
    // since): no run numbers a million rows a second for its whole life.
    m_nextMessageId = qMax(m_history->lastRowId() + 1, QDateTime::currentMSecsSinceEpoch() * 1000);
    m_backend->setHistory(m_history);
}

bool Agent::startHep(QString *error)
{
    m_hep = new HepReceiver(this);
    m_hep->setPassword(m_config.hepPassword.toUtf8());
    setTenants(m_config.tenants);
    if (!m_hep->listen(m_config.hepListen, error))
        return false;
    connect(m_hep, &HepReceiver::recordsReady, this, &Agent::onRecords);
    connect(m_hep, &HepReceiver::statsReport, this, &Agent::eventReported);
    return true;
}

// The tenants' domains (Kamailio's domain table names them) place HEP's calls.
void Agent::setTenants(const QVector<PbxTenant> &tenants)
{
    const QVector<PbxTenant> before = m_backend->tenants();
    m_backend->setTenants(tenants);
    // The window takes a tenant list whenever it comes.
    if (before != tenants && m_server)
        m_server->sendTenantsToAll();
    if (!m_hep)
        return;
    m_hep->setTenantDomains(HepCallTenants::domainsOf(tenants));
}

void Agent::onRecords(const QVector<DiagnosticMessage> &records)
{
    const qint64 now = m_hep ? QDateTime::currentMSecsSinceEpoch() : 0;
    QVector<DiagnosticMessage> kept;
    if (m_history)
        kept.reserve(records.size());
    for (DiagnosticMessage msg : records) {
        // Every source's rows pass here, and only here, on their way out.
        PlainText::cleanRow(&msg);
        msg.messageId = QString::number(m_nextMessageId++);
        // A t= that names no tenant means no tenant.
        if (!msg.tenantUuid.isEmpty() && !m_backend->knowsTenant(msg.tenantUuid))
            msg.tenantUuid.clear();
        // A log line of a call whose SIP messages named its tenant.
        if (m_hep && msg.tenantUuid.isEmpty() && !msg.linkedId.isEmpty())
            msg.tenantUuid = m_hep->callTenants().tenantOf(msg.linkedId, now);
        m_server->publish(msg);
        if (m_history)
            kept.append(std::move(msg));
    }
    // Kept before anything later is offered: a client catching up asks the
    // store only after this.
    if (m_history)
        m_history->append(std::move(kept));
    const qint64 largest = m_server->largestQueue();
    if (m_pauseGaveUp && largest <= m_config.maxUnreadBytes / 4)
        m_pauseGaveUp = false;
    if (!m_resumeTimer.isActive() && !m_pauseGaveUp && largest > m_config.maxUnreadBytes / 2) {
        setSourcesPaused(true);
        m_pausedFor.start();
        m_resumeTimer.start();
    }
}

DiagnosticMessage Agent::notice(int level, const QString &text)
{
    DiagnosticMessage msg;
    msg.messageId = QString::number(m_nextMessageId++);
    msg.verbosity = QString::number(level);
    msg.timestamp = WireTimestamp::now();
    msg.message = text;
    PlainText::cleanRow(&msg);
    return msg;
}

void Agent::announce(int level, const QString &text)
{
    m_server->broadcast(notice(level, text));
}
