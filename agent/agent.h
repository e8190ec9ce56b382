#pragma once

#include "agentbackend.h"
#include "agentconfig.h"
#include "diagnosticmessage.h"

#include <QObject>
#include <QElapsedTimer>
#include <QTimer>

#include <memory>

class DiscoveryResponder;
class HepReceiver;
class HistoryStore;
class KamailioCommands;
class KamailioRpcClient;
class LogSource;
class PbxServer;

// One running agent: reads the SIP server's log from its source, hands each
// record to the clients subscribed to its tenant, and answers the clients'
// commands and tenant lists from Kamailio.
class Agent : public QObject
{
    Q_OBJECT

public:
    explicit Agent(const AgentConfig &config, QObject *parent = nullptr);
    ~Agent() override;

    // Everything that can be checked before starting: the accounts file,
    // the listen addresses, the source's form, the command mapping.
    bool check(QString *error);
    // Listens, starts the source; ready() follows once clients are accepted.
    bool start(QString *error);

    // Re-reads the accounts file and the tenants; connected clients stay.
    void reload();

signals:
    // Logins, refusals, disconnections, the source's state: one line each.
    void eventReported(const QString &line);
    // "fingerprint AB:CD:..." and one "listening ADDRESS" per listener.
    void ready(const QStringList &lines);

private:
    void onRecords(const QVector<DiagnosticMessage> &records);
    void announce(int level, const QString &text);
    DiagnosticMessage notice(int level, const QString &text);
    // Concurrent askers share one domain.dump; a list read moments ago
    // serves them unless fresh is asked for.
    void refreshTenants(std::function<void()> done, bool fresh = false);
    void readTenants();
    // Learns which methods Kamailio offers now, then goes on.
    void refreshMethods(std::function<void()> done);
    void finishStart();
    bool startHep(QString *error);
    void openHistory();
    void setTenants(const QVector<PbxTenant> &tenants);
    void watchSource(LogSource *source);
    void setSourcesPaused(bool paused);

    AgentConfig m_config;
    AccountStore m_accounts;
    std::unique_ptr<AgentBackend> m_backend;
    PbxServer *m_server = nullptr;
    KamailioRpcClient *m_rpc = nullptr;
    KamailioCommands *m_commands = nullptr;
    QVector<LogSource *> m_sources;
    HepReceiver *m_hep = nullptr;
    HistoryStore *m_history = nullptr;
    DiscoveryResponder *m_discovery = nullptr;
    QTimer m_tenantTimer;
    QVector<std::function<void()>> m_tenantWaiters;  // while domain.dump is under way
    QElapsedTimer m_tenantsReadAt;
    int m_tenantsFromRpc = -1;  // whether Kamailio offers domain.dump, as last said; -1 unknown
    // Holds a source that can wait while a client is far behind, for a
    // while: one that stays behind is then dropped by its own bound.
    QTimer m_resumeTimer;
    QElapsedTimer m_pausedFor;
    bool m_pauseGaveUp = false;  // until the laggard is dropped or catches up
    // One numbering for every source's records, HEP's included; with a
    // history it goes on from the last row kept, so that a client's "since"
    // outlives a restart.
    qint64 m_nextMessageId = 1;
};
