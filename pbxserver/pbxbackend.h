#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "historyrequest.h"
#include "pbxtenant.h"
#include "scram.h"
#include "servercommand.h"
#include "servercommandresponse.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVector>

#include <functional>
#include <optional>

// Who asked for a command: the account, and an object that lives no longer
// than the asking session. A command's work is of no use once it is gone.
struct PbxCommandOrigin
{
    QString account;
    QPointer<QObject> scope;
};

// What an exchange offers its clients beyond the protocol itself: accounts,
// tenants and diagnostic commands. The sessions of a PbxServer ask it; the
// demo exchange answers from its settings, the agent from the SIP server.
class PbxBackend
{
public:
    using CommandDone = std::function<void(const ServerCommandResponse &)>;

    virtual ~PbxBackend() = default;

    // The verifier of an account, or none for an unknown one.
    virtual std::optional<Scram::Verifier> verifier(const QString &user, const QString &domain) const = 0;

    // The tenants known now; a subscription names one of these or none.
    virtual QVector<PbxTenant> tenants() const = 0;
    // Brings the list up to date before a client gets it; done() may come
    // at once. The default has nothing to refresh.
    virtual void refreshTenants(std::function<void()> done) { done(); }

    // Runs a command and answers it exactly once, at once or later. The
    // caller fills in the request's id and the timestamp is the backend's.
    // Once the origin's scope is destroyed the answer is not wanted: a
    // backend may stop the work then and drop the answer.
    virtual void runCommand(const ServerCommand &command, const PbxCommandOrigin &origin, CommandDone done) = 0;

    // The history of what was served, for an exchange that keeps one. Each
    // answers exactly once, at once or later; a non-empty error says why
    // it cannot. more: rows beyond these exist.
    using HistoryCallsDone = std::function<void(const QString &error, const QVector<HistoryCall> &calls, bool truncated)>;
    using HistoryRowsDone = std::function<void(const QString &error, const QVector<DiagnosticMessage> &rows, bool more)>;
    virtual bool keepsHistory() const { return false; }
    virtual void findHistoryCalls(const HistoryRequest &request, HistoryCallsDone done)
    {
        Q_UNUSED(request)
        done(QStringLiteral("no history is kept"), {}, false);
    }
    virtual void historyCallRows(const QString &callId, HistoryRowsDone done)
    {
        Q_UNUSED(callId)
        done(QStringLiteral("no history is kept"), {}, false);
    }
    // The next rows of a tenant after a row id, every row published before
    // the call included.
    virtual void historyRowsAfter(const QString &tenant, qint64 afterId, HistoryRowsDone done)
    {
        Q_UNUSED(tenant)
        Q_UNUSED(afterId)
        done(QStringLiteral("no history is kept"), {}, false);
    }
};
