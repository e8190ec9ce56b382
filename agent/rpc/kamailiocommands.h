#pragma once

#include "kamailiocommandconfig.h"
#include "kamailiotables.h"
#include "servercommand.h"
#include "servercommandresponse.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QVector>

#include <functional>

class KamailioRpcClient;
struct KamailioRpcReply;

// The command bar's commands on a Kamailio host: "sip show peers",
// "sip show registry" and "core show hints" through Kamailio's JSON-RPC,
// framed as the link's exchange commands; "ping", "traceroute" and "host"
// as programs on this host with a checked host parameter, never through a
// shell. Every command ends in exactly one response: within the time limit
// (a program is killed after it), with output of at most the configured
// size (cut and marked). Also reads the tenants and Kamailio's version.
class KamailioCommands : public QObject
{
    Q_OBJECT

public:
    // The response's code when executed is false.
    enum ErrorCode {
        BadParameter = 2,      // the parameter is no host name or IP address
        Busy = 16,             // too many programs are running already
        Unavailable = 69,      // Kamailio cannot be reached or gave no usable answer
        TimedOut = 124,        // the time limit passed
        UnknownCommand = 127,  // no such command, or its program is not installed
        MethodNotFound = 500,  // as Kamailio answers for a method of a module it has not loaded
    };
    // Otherwise Kamailio's own error code, and its message in the detail.

    using ResponseCallback = std::function<void(const ServerCommandResponse &response)>;
    using TenantsCallback =
        std::function<void(bool ok, const QVector<PbxTenant> &tenants, const QString &error)>;
    using VersionCallback = std::function<void(bool ok, const QString &version, const QString &error)>;
    using MethodsCallback = std::function<void(bool ok, const QSet<QString> &methods, const QString &error)>;

    // rpc may be null (no Kamailio configured): its commands then fail clearly.
    explicit KamailioCommands(KamailioRpcClient *rpc,
                              const KamailioCommandConfig &config = KamailioCommandConfig::defaults(),
                              QObject *parent = nullptr);

    // Each done runs once, never inside the call; not at all if this object
    // is destroyed first, or scope is: then a program is killed, as nobody
    // waits for its answer. account is whose bound the program counts in.
    void run(const ServerCommand &command, ResponseCallback done, QObject *scope = nullptr,
             const QString &account = QString());
    // Programs running at once, in all and per account; 0: no limit.
    void setProgramLimits(int total, int perAccount);
    int programsRunning() const { return m_programs; }
    // domain.dump: one tenant per did, named by its domains.
    void fetchTenants(TenantsCallback done);
    // core.version, trimmed ("kamailio 5.6.3 (x86_64/linux)").
    void fetchVersion(VersionCallback done);
    // system.listMethods: what Kamailio offers with the modules it loaded.
    void fetchMethods(MethodsCallback done);
    // What is not among them is never called: its commands answer which
    // module to load. Empty (never learned): every method is tried.
    void setMethods(const QSet<QString> &methods) { m_methods = methods; }
    bool offers(const QString &method) const { return m_methods.isEmpty() || m_methods.contains(method); }
    // "core show hints needs Kamailio's dialog module: loadmodule "dialog.so"".
    static QString missingModuleText(const QString &what, const QString &method);

    // A host name (labels of letters, digits and inner '-', at most 63 each)
    // or an IPv4/IPv6 literal, at most 253 characters; why says what is wrong.
    static bool checkHostParameter(const QString &param, QString *why);
    static QString framed(const QString &body);

private:
    class Run;

    void runRpc(Run *run, const KamailioCommandConfig::Action &action, const QString &host);
    void gatherPeers(Run *run);
    void lookupNext(Run *run);
    void runProgram(Run *run, const KamailioCommandConfig::Action &action, const QString &host);
    void finish(Run *run);
    // Ends a run whose call failed, with Kamailio's own reason.
    void failRpc(Run *run, const QString &method, const KamailioRpcReply &reply);
    // Runs go, or ends the run saying which module to load when Kamailio
    // lacks the method.
    void whenOffered(Run *run, const QString &method, std::function<void(Run *)> go);
    QString cut(const QString &text) const;

    KamailioRpcClient *m_rpc;
    KamailioCommandConfig m_config;
    int m_maxPrograms = 0;
    int m_maxProgramsPerAccount = 0;
    int m_programs = 0;
    QHash<QString, int> m_programsOf;
    QSet<QString> m_methods;
};
