#include "kamailiocommands.h"

#include "kamailiorpcclient.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>

namespace {

const QString ExchangeCommands[] = {QStringLiteral("sip show peers"), QStringLiteral("sip show registry"),
                                    QStringLiteral("core show hints")};

bool isExchangeCommand(const QString &name)
{
    for (const QString &c : ExchangeCommands) {
        if (c == name)
            return true;
    }
    return false;
}

}

// One command under way: its response, its deadline, what it gathered.
class KamailioCommands::Run : public QObject
{
public:
    using QObject::QObject;
    ServerCommandResponse response;
    ResponseCallback done;
    QElapsedTimer clock;
    bool exchange = false;
    // sip show peers, gathered one address of record at a time.
    QList<QPair<QString, QString>> aors;
    QVector<QStringList> rows;
    // A program's output so far.
    QByteArray output;
    bool outputCut = false;
    bool finished = false;
    QString account;
    bool holdsProgram = false;  // counted among the programs running
};

KamailioCommands::KamailioCommands(KamailioRpcClient *rpc, const KamailioCommandConfig &config, QObject *parent)
    : QObject(parent), m_rpc(rpc), m_config(config)
{
}

QString KamailioCommands::framed(const QString &body)
{
    return QStringLiteral("Response: Follows\nPrivilege: Command\n") + body + QStringLiteral("\n--END COMMAND--");
}

bool KamailioCommands::checkHostParameter(const QString &param, QString *why)
{
    if (param.isEmpty()) {
        *why = QStringLiteral("a host name or IP address is needed");
        return false;
    }
    if (param.size() > 253) {
        *why = QStringLiteral("the host is longer than 253 characters");
        return false;
    }
    if (param.startsWith(QLatin1Char('-'))) {
        *why = QStringLiteral("the host must not start with '-'");
        return false;
    }
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.:-]+$"));
    if (!allowed.match(param).hasMatch()) {
        *why = QStringLiteral("the host may hold only letters, digits, '.', '-' and ':'");
        return false;
    }
    if (param.contains(QLatin1Char(':'))) {
        if (QHostAddress(param).protocol() == QAbstractSocket::IPv6Protocol)
            return true;
        *why = QStringLiteral("not an IPv6 address");
        return false;
    }
    // Dotted numbers are left to the resolver as IPv4 literals; names follow the label rules.
    static const QRegularExpression label(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
    QStringList labels = param.split(QLatin1Char('.'));
    if (labels.size() > 1 && labels.last().isEmpty())
        labels.removeLast();  // the root's dot
    for (const QString &l : qAsConst(labels)) {
        if (!label.match(l).hasMatch()) {
            *why = QStringLiteral("not a host name: each label has 1 to 63 letters, digits or inner '-'");
            return false;
        }
    }
    return true;
}

QString KamailioCommands::cut(const QString &text) const
{
    if (text.toUtf8().size() <= m_config.maxOutputBytes)
        return text;
    QString out = QString::fromUtf8(text.toUtf8().left(m_config.maxOutputBytes));
    if (out.endsWith(QChar::ReplacementCharacter))
        out.chop(1);
    return out + QStringLiteral("\n[output cut at %1 bytes]").arg(m_config.maxOutputBytes);
}

void KamailioCommands::setProgramLimits(int total, int perAccount)
{
    m_maxPrograms = total;
    m_maxProgramsPerAccount = perAccount;
}

void KamailioCommands::run(const ServerCommand &command, ResponseCallback done, QObject *scope, const QString &account)
{
    auto *r = new Run(this);
    r->done = std::move(done);
    r->account = account;
    if (scope) {
        // The run ends as it would, only sooner for a program, and unanswered.
        connect(scope, &QObject::destroyed, r, [r] {
            r->done = nullptr;
            if (auto *process = r->findChild<QProcess *>())
                process->kill();
        });
    }
    r->clock.start();
    r->response.commandId = command.id;
    r->response.command = command.command;
    r->exchange = isExchangeCommand(command.command);

    const auto it = m_config.commands.constFind(command.command);
    if (it == m_config.commands.constEnd()) {
        r->response.code = UnknownCommand;
        r->response.detail = QStringLiteral("unknown command");
        r->response.output = QStringLiteral("No such command '%1'\n").arg(command.command.left(255));
        QMetaObject::invokeMethod(this, [this, r] { finish(r); }, Qt::QueuedConnection);
        return;
    }
    const KamailioCommandConfig::Action action = it.value();
    const QString host = command.params.value(0);
    QString why;
    if (action.takesHost() && !checkHostParameter(host, &why)) {
        r->response.code = BadParameter;
        r->response.detail = QStringLiteral("refused parameter: %1").arg(why);
        QMetaObject::invokeMethod(this, [this, r] { finish(r); }, Qt::QueuedConnection);
        return;
    }
    if (!action.rpcMethod.isEmpty())
        runRpc(r, action, host);
    else
        runProgram(r, action, host);
}

void KamailioCommands::finish(Run *run)
{
    if (run->finished)
        return;
    run->finished = true;
    if (run->holdsProgram) {
        --m_programs;
        if (--m_programsOf[run->account] <= 0)
            m_programsOf.remove(run->account);
    }
    run->response.timestamp = WireTimestamp::now();
    if (run->response.executed && run->exchange)
        run->response.output = framed(run->response.output);
    const ResponseCallback done = run->done;
    const ServerCommandResponse response = run->response;
    run->deleteLater();
    if (done)
        done(response);
}

void KamailioCommands::runRpc(Run *run, const KamailioCommandConfig::Action &action, const QString &host)
{
    if (!m_rpc) {
        run->response.code = Unavailable;
        run->response.detail = QStringLiteral("no Kamailio control socket is configured");
        QMetaObject::invokeMethod(this, [this, run] { finish(run); }, Qt::QueuedConnection);
        return;
    }
    if (action.rpcMethod == QLatin1String("ul.dump") && action.rpcParams.isEmpty()) {
        gatherPeers(run);
        return;
    }
    QJsonArray params;
    for (const QJsonValue &v : action.rpcParams)
        params.append(v.toString() == KamailioCommandConfig::HostPlaceholder ? QJsonValue(host) : v);
    const QString method = action.rpcMethod;
    whenOffered(run, method, [this, method, params](Run *run) {
        QPointer<Run> guard(run);
        m_rpc->call(method, params, [this, guard, method](const KamailioRpcReply &reply) {
            if (!guard)
                return;
            Run *run = guard;
            if (!reply.ok()) {
                failRpc(run, method, reply);
                return;
            }
            QString text;
            if (method == QLatin1String("dlg.list") || method == QLatin1String("dlg.briefing"))
                text = KamailioTables::hintsTable(reply.result, QDateTime::currentSecsSinceEpoch());
            else if (method == QLatin1String("uac.reg_dump"))
                text = KamailioTables::registryTable(reply.result);
            else if (method == QLatin1String("ul.dump") || method == QLatin1String("ul.lookup"))
                text = KamailioTables::peersTable(KamailioTables::contactRows(reply.result));
            else
                text = KamailioTables::plain(reply.result);
            run->response.executed = true;
            run->response.output = cut(text);
            finish(run);
        });
    });
}

QString KamailioCommands::missingModuleText(const QString &what, const QString &method)
{
    // The methods' prefixes that are not their module's name.
    static const QHash<QString, QString> modules{{QStringLiteral("dlg"), QStringLiteral("dialog")},
                                                 {QStringLiteral("ul"), QStringLiteral("usrloc")},
                                                 {QStringLiteral("stats"), QStringLiteral("kex")}};
    const QString prefix = method.section(QLatin1Char('.'), 0, 0);
    return QStringLiteral("%1 needs Kamailio's %2 module: loadmodule \"%2.so\"").arg(what, modules.value(prefix, prefix));
}

// A method missing from the list learned earlier may have come with a
// restart since (the module just loaded, as advised): the list is asked for
// again before the command is refused.
void KamailioCommands::whenOffered(Run *run, const QString &method, std::function<void(Run *)> go)
{
    if (offers(method)) {
        go(run);
        return;
    }
    QPointer<Run> guard(run);
    fetchMethods([this, guard, method, go](bool ok, const QSet<QString> &methods, const QString &) {
        if (!guard)
            return;
        if (ok)
            m_methods = methods;
        // Kamailio not answering: the call itself says so.
        if (!ok || offers(method)) {
            go(guard);
            return;
        }
        guard->response.code = MethodNotFound;
        guard->response.detail = missingModuleText(guard->response.command, method);
        finish(guard);
    });
}

void KamailioCommands::failRpc(Run *run, const QString &method, const KamailioRpcReply &reply)
{
    run->response.code = reply.status == KamailioRpcReply::Error && reply.code != 0 ? reply.code : Unavailable;
    run->response.detail = reply.isMethodNotFound() ? missingModuleText(run->response.command, method) : reply.describe();
    finish(run);
}

// Kamailio drops a datagram reply larger than its socket's send buffer
// (128 KiB: some 230 contacts in ul.dump's full form) without a word, so
// the full form is gathered from the brief dump, one address of record at
// a time.
void KamailioCommands::gatherPeers(Run *run)
{
    const QString method = QStringLiteral("ul.dump");
    whenOffered(run, method, [this, method](Run *run) {
        QPointer<Run> guard(run);
        m_rpc->call(method, QJsonArray{QStringLiteral("brief")}, [this, guard, method](const KamailioRpcReply &reply) {
            if (!guard)
                return;
            if (!reply.ok()) {
                failRpc(guard, method, reply);
                return;
            }
            guard->aors = KamailioTables::usrlocAors(reply.result);
            lookupNext(guard);
        });
    });
}

void KamailioCommands::lookupNext(Run *run)
{
    int bytes = 0;
    for (const QStringList &row : qAsConst(run->rows))
        bytes += row.join(QString()).size() + 8;
    const bool overTime = run->clock.hasExpired(m_config.timeoutMs);
    if (run->aors.isEmpty() || overTime || bytes > m_config.maxOutputBytes) {
        QString text = KamailioTables::peersTable(run->rows);
        if (overTime) {
            run->response.code = TimedOut;
            run->response.detail = QStringLiteral("stopped after %1 ms").arg(m_config.timeoutMs);
            text += QStringLiteral("\n[stopped after %1 ms]").arg(m_config.timeoutMs);
        } else {
            run->response.executed = true;
        }
        run->response.output = cut(text);
        // A cut table is still the table: framed like a whole one.
        if (!run->response.executed && run->exchange)
            run->response.output = framed(run->response.output);
        finish(run);
        return;
    }
    const QPair<QString, QString> next = run->aors.takeFirst();
    QPointer<Run> guard(run);
    m_rpc->call(QStringLiteral("ul.lookup"), QJsonArray{next.first, next.second},
                [this, guard](const KamailioRpcReply &reply) {
                    if (!guard)
                        return;
                    // An address of record that expired meanwhile is simply gone.
                    if (reply.ok())
                        guard->rows += KamailioTables::contactRows(reply.result);
                    else if (reply.status == KamailioRpcReply::Failed)
                        guard->aors.clear();
                    lookupNext(guard);
                });
}

void KamailioCommands::runProgram(Run *run, const KamailioCommandConfig::Action &action, const QString &host)
{
    QStringList argv = action.program;
    for (QString &arg : argv) {
        if (arg == KamailioCommandConfig::HostPlaceholder)
            arg = host;
    }
    const QString program = argv.takeFirst();
    if (QStandardPaths::findExecutable(program).isEmpty()
        && !(program.contains(QLatin1Char('/')) && QFileInfo(program).isExecutable())) {
        run->response.code = UnknownCommand;
        run->response.detail = QStringLiteral("%1 is not installed on the agent's host").arg(program);
        QMetaObject::invokeMethod(this, [this, run] { finish(run); }, Qt::QueuedConnection);
        return;
    }
    const int ofAccount = m_programsOf.value(run->account);
    if ((m_maxPrograms > 0 && m_programs >= m_maxPrograms)
        || (m_maxProgramsPerAccount > 0 && ofAccount >= m_maxProgramsPerAccount)) {
        run->response.code = Busy;
        run->response.detail = m_maxPrograms > 0 && m_programs >= m_maxPrograms
            ? QStringLiteral("busy: %1 programs are running on the agent").arg(m_programs)
            : QStringLiteral("busy: %1 programs of this account are running").arg(ofAccount);
        QMetaObject::invokeMethod(this, [this, run] { finish(run); }, Qt::QueuedConnection);
        return;
    }
    ++m_programs;
    ++m_programsOf[run->account];
    run->holdsProgram = true;

    auto *process = new QProcess(run);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    auto *timer = new QTimer(run);
    timer->setSingleShot(true);
    connect(process, &QProcess::readyRead, run, [this, run, process] {
        const QByteArray data = process->readAll();
        if (run->outputCut)
            return;
        run->output += data;
        if (run->output.size() > m_config.maxOutputBytes) {
            run->output.truncate(m_config.maxOutputBytes);
            run->outputCut = true;
            process->kill();  // more would only be thrown away
        }
    });
    connect(timer, &QTimer::timeout, run, [this, run, process] {
        run->response.code = TimedOut;
        run->response.detail = QStringLiteral("stopped after %1 ms").arg(m_config.timeoutMs);
        process->kill();
    });
    connect(process, &QProcess::errorOccurred, run, [this, run, process, program](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        run->response.code = UnknownCommand;
        run->response.detail = QStringLiteral("%1 could not start: %2").arg(program, process->errorString());
        finish(run);
    });
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), run,
            [this, run, process, timer](int exitCode, QProcess::ExitStatus status) {
                timer->stop();
                run->output += process->readAll();
                QString text = QString::fromUtf8(run->output.left(m_config.maxOutputBytes));
                if (run->outputCut)
                    text += QStringLiteral("\n[output cut at %1 bytes]").arg(m_config.maxOutputBytes);
                if (run->response.code == TimedOut) {
                    text += QStringLiteral("\n[stopped after %1 ms]").arg(m_config.timeoutMs);
                } else {
                    run->response.executed = true;
                    // Killed (by us when its output was cut): as a shell reports SIGKILL.
                    run->response.code = status == QProcess::NormalExit ? exitCode : 128 + 9;
                }
                run->response.output = text;
                finish(run);
            });
    timer->start(m_config.timeoutMs);
    process->start(program, argv, QIODevice::ReadOnly);
}

void KamailioCommands::fetchTenants(TenantsCallback done)
{
    if (!m_rpc) {
        QMetaObject::invokeMethod(this, [done] { done(false, {}, QStringLiteral("no Kamailio control socket is configured")); },
                                  Qt::QueuedConnection);
        return;
    }
    QPointer<KamailioCommands> self(this);
    m_rpc->call(QStringLiteral("domain.dump"), QJsonArray(), [self, done](const KamailioRpcReply &reply) {
        if (!self)
            return;
        if (!reply.ok())
            done(false, {},
                 reply.isMethodNotFound() ? missingModuleText(QStringLiteral("reading the tenants"), QStringLiteral("domain.dump"))
                                          : reply.describe());
        else
            done(true, KamailioTables::tenants(reply.result), QString());
    });
}

void KamailioCommands::fetchVersion(VersionCallback done)
{
    if (!m_rpc) {
        QMetaObject::invokeMethod(this, [done] { done(false, QString(), QStringLiteral("no Kamailio control socket is configured")); },
                                  Qt::QueuedConnection);
        return;
    }
    QPointer<KamailioCommands> self(this);
    m_rpc->call(QStringLiteral("core.version"), QJsonArray(), [self, done](const KamailioRpcReply &reply) {
        if (!self)
            return;
        if (!reply.ok() || !reply.result.isString())
            done(false, QString(), reply.ok() ? QStringLiteral("core.version gave no text") : reply.describe());
        else
            done(true, reply.result.toString().simplified().left(256), QString());
    });
}

void KamailioCommands::fetchMethods(MethodsCallback done)
{
    if (!m_rpc) {
        QMetaObject::invokeMethod(this, [done] { done(false, {}, QStringLiteral("no Kamailio control socket is configured")); },
                                  Qt::QueuedConnection);
        return;
    }
    QPointer<KamailioCommands> self(this);
    m_rpc->call(QStringLiteral("system.listMethods"), QJsonArray(), [self, done](const KamailioRpcReply &reply) {
        if (!self)
            return;
        QSet<QString> methods;
        for (const QJsonValue &v : reply.result.toArray()) {
            if (v.isString() && methods.size() < 10000)
                methods.insert(v.toString().left(100));
        }
        if (!reply.ok())
            done(false, {}, reply.describe());
        else if (methods.isEmpty())
            done(false, {}, QStringLiteral("system.listMethods gave no list"));
        else
            done(true, methods, QString());
    });
}
