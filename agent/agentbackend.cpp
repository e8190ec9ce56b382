#include "agentbackend.h"

#include "historystore.h"

#include <QDateTime>

AgentBackend::AgentBackend(const AccountStore &accounts, const QStringList &domains)
    : m_accounts(accounts)
    , m_domains(domains)
{
}

std::optional<Scram::Verifier> AgentBackend::verifier(const QString &user, const QString &domain) const
{
    // The window sends what follows the last '@' of its user field; the
    // agent checks it only when the administrator names the domains served.
    if (!m_domains.isEmpty() && !m_domains.contains(domain, Qt::CaseInsensitive))
        return std::nullopt;
    return m_accounts.verifier(user);
}

void AgentBackend::refreshTenants(std::function<void()> done)
{
    if (m_refresher)
        m_refresher(std::move(done));
    else
        done();
}

bool AgentBackend::knowsTenant(const QString &uuid) const
{
    for (const PbxTenant &t : m_tenants) {
        if (t.uuid == uuid)
            return true;
    }
    return false;
}

void AgentBackend::runCommand(const ServerCommand &command, const PbxCommandOrigin &origin, CommandDone done)
{
    if (m_runner) {
        m_runner(command, origin, std::move(done));
        return;
    }
    ServerCommandResponse response;
    response.executed = false;
    response.code = 127;
    response.detail = QStringLiteral("unknown command");
    response.output = QStringLiteral("No such command '%1'\n").arg(command.command.left(255));
    done(response);
}

void AgentBackend::findHistoryCalls(const HistoryRequest &request, HistoryCallsDone done)
{
    m_history->findCalls(request, std::move(done));
}

void AgentBackend::historyCallRows(const QString &callId, HistoryRowsDone done)
{
    m_history->callRows(callId, std::move(done));
}

void AgentBackend::historyRowsAfter(const QString &tenant, qint64 afterId, HistoryRowsDone done)
{
    m_history->rowsAfter(tenant, afterId, std::move(done));
}
