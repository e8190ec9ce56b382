#pragma once

#include "accountstore.h"
#include "pbxbackend.h"

#include <QStringList>

class HistoryStore;

// The agent's accounts, tenants and commands, as the link's sessions ask
// for them. The tenants and the command runner are handed in by the agent.
class AgentBackend : public PbxBackend
{
public:
    using CommandRunner = std::function<void(const ServerCommand &, const PbxCommandOrigin &, CommandDone)>;
    using TenantRefresher = std::function<void(std::function<void()>)>;

    AgentBackend(const AccountStore &accounts, const QStringList &domains);

    std::optional<Scram::Verifier> verifier(const QString &user, const QString &domain) const override;
    QVector<PbxTenant> tenants() const override { return m_tenants; }
    void refreshTenants(std::function<void()> done) override;
    void runCommand(const ServerCommand &command, const PbxCommandOrigin &origin, CommandDone done) override;
    bool keepsHistory() const override { return m_history != nullptr; }
    void findHistoryCalls(const HistoryRequest &request, HistoryCallsDone done) override;
    void historyCallRows(const QString &callId, HistoryRowsDone done) override;
    void historyRowsAfter(const QString &tenant, qint64 afterId, HistoryRowsDone done) override;

    void setAccounts(const AccountStore &accounts) { m_accounts = accounts; }
    void setTenants(const QVector<PbxTenant> &tenants) { m_tenants = tenants; }
    bool knowsTenant(const QString &uuid) const;
    void setCommandRunner(CommandRunner runner) { m_runner = std::move(runner); }
    void setTenantRefresher(TenantRefresher refresher) { m_refresher = std::move(refresher); }
    void setHistory(HistoryStore *history) { m_history = history; }

private:
    AccountStore m_accounts;
    const QStringList m_domains;
    QVector<PbxTenant> m_tenants;
    CommandRunner m_runner;
    TenantRefresher m_refresher;
    HistoryStore *m_history = nullptr;
};
