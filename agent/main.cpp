// plogger4-agent: serves a SIP server's log and diagnostic commands to the
// plogger4 window over the link's protocol (TLS, pinned identity, SCRAM).

#include "accountstore.h"
#include "agent.h"
#include "agentconfig.h"
#include "pbxendpoint.h"
#include "processcapabilities.h"
#include "serveridentity.h"
#include "unixsignalwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSslCertificate>
#include <QTextStream>

#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kExitBadConfig = 2;
constexpr int kExitFailure = 1;

void say(const QString &line)
{
    QTextStream out(stdout);
    out << line << '\n';
    out.flush();
}

void complain(const QString &line)
{
    QTextStream err(stderr);
    err << "plogger4-agent: " << line << '\n';
    err.flush();
}

// One line of standard input, without echo when it is a terminal.
QString readSecretLine(const char *prompt, bool *ok)
{
    const bool terminal = ::isatty(STDIN_FILENO);
    termios saved {};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
        if (line.size() < 4096)
            line.append(char(c));
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    *ok = c == '\n' || !line.isEmpty();
    if (line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

int runPasswd(const QString &name, const AgentConfig &config)
{
    if (name.isEmpty() || name.contains(QLatin1Char('@')) || name.contains(QLatin1Char(':'))
        || name.size() > 128) {
        complain(QStringLiteral("an account name is the user before the '@' the window is given: no '@' or ':', "
                                "at most 128 characters"));
        return kExitBadConfig;
    }
    bool ok = false;
    const QString password = readSecretLine("Password: ", &ok);
    if (!ok || password.isEmpty()) {
        complain(QStringLiteral("no password given"));
        return kExitFailure;
    }
    if (::isatty(STDIN_FILENO)) {
        const QString again = readSecretLine("Password again: ", &ok);
        if (again != password) {
            complain(QStringLiteral("the passwords differ; nothing changed"));
            return kExitFailure;
        }
    }
    AccountStore store;
    QString error;
    if (!store.load(config.accountsFile, &error)) {
        complain(error);
        return kExitFailure;
    }
    store.setPassword(name, password);
    if (!store.save(config.accountsFile, &error)) {
        complain(error);
        return kExitFailure;
    }
    say(QStringLiteral("account %1 stored in %2").arg(name, config.accountsFile));
    return 0;
}

int runDelete(const QString &name, const AgentConfig &config)
{
    AccountStore store;
    QString error;
    if (!store.load(config.accountsFile, &error)) {
        complain(error);
        return kExitFailure;
    }
    if (!store.remove(name)) {
        complain(QStringLiteral("no account \"%1\" in %2; nothing changed").arg(name.left(128), config.accountsFile));
        return kExitFailure;
    }
    if (!store.save(config.accountsFile, &error)) {
        complain(error);
        return kExitFailure;
    }
    say(QStringLiteral("account %1 removed from %2; a running agent ends its sessions on reload "
                       "(systemctl reload plogger4-agent)")
            .arg(name, config.accountsFile));
    return 0;
}

int runFingerprint(const AgentConfig &config)
{
    const QString file =
        config.certificateFile.isEmpty() ? config.stateDir + QStringLiteral("/certificate.pem") : config.certificateFile;
    QFile pem(file);
    if (!pem.open(QIODevice::ReadOnly)) {
        complain(QStringLiteral("cannot read %1: %2 (the agent makes it on its first start)").arg(file, pem.errorString()));
        return kExitFailure;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(pem.read(1024 * 1024), QSsl::Pem);
    if (chain.isEmpty()) {
        complain(QStringLiteral("%1 holds no PEM certificate").arg(file));
        return kExitFailure;
    }
    // Exactly as the window's "Centralino sconosciuto" shows it.
    say(PbxEndpoint::certificateFingerprint(chain.constFirst()));
    return 0;
}

}

int main(int argc, char *argv[])
{
    // The service's log is for the administrator: no developer's notes
    // unless asked for with QT_LOGGING_RULES.
    if (!qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("plogger4-agent"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves a SIP server's log and diagnostic commands to the plogger4 window.\n\n"
        "  plogger4-agent [options]                 run\n"
        "  plogger4-agent passwd NAME [options]     store an account's password (read without echo)\n"
        "  plogger4-agent passwd --delete NAME      remove an account\n"
        "  plogger4-agent fingerprint [options]     print the certificate's SHA-256 fingerprint"));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("config"), QStringLiteral("Configuration file (default %1, when it exists).")
                                       .arg(AgentConfig::defaultConfigFile()),
         QStringLiteral("file")},
        {QStringLiteral("check-config"), QStringLiteral("Read the configuration, say what the agent would do, and exit.")},
        {QStringLiteral("listen"), QStringLiteral("Address to accept clients on (repeatable; default 0.0.0.0:5039)."),
         QStringLiteral("host:port")},
        {QStringLiteral("source"), QStringLiteral("Log source: journal:UNIT[,UNIT...], file:PATH or stdin "
                                                  "(repeatable: the sources are read side by side)."),
         QStringLiteral("source")},
        {QStringLiteral("hep"), QStringLiteral("Hear HEP version 3 (SIP messages, log lines) on this address; "
                                               "a bare port means 127.0.0.1."),
         QStringLiteral("host:port")},
        {QStringLiteral("hep-password"), QStringLiteral("The capture password HEP packets must carry."),
         QStringLiteral("text")},
        {QStringLiteral("rpc-socket"), QStringLiteral("Kamailio's JSON-RPC datagram socket (kamailio_rpc.sock)."),
         QStringLiteral("path")},
        {QStringLiteral("accounts"), QStringLiteral("Accounts file."), QStringLiteral("file")},
        {QStringLiteral("state-dir"), QStringLiteral("State folder: certificate, key, journal cursor."),
         QStringLiteral("dir")},
        {QStringLiteral("runtime-dir"), QStringLiteral("Folder of the reply socket for Kamailio (default: the state folder)."),
         QStringLiteral("dir")},
        {QStringLiteral("tenants-from-rpc"), QStringLiteral("Read the tenants from Kamailio's domain module.")},
        {QStringLiteral("tenant"), QStringLiteral("A tenant (repeatable)."), QStringLiteral("UUID=NAME")},
        {QStringLiteral("discovery"), QStringLiteral("Answer the window's discovery requests on this UDP address."),
         QStringLiteral("host:port")},
        {QStringLiteral("allow-root"), QStringLiteral("Run even as root (not advised).")},
        {QStringLiteral("delete"), QStringLiteral("With passwd: remove the account instead.")},
    });
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("passwd NAME, fingerprint, or nothing."));
    parser.process(app);

    AgentConfig config;
    QString error;
    const QString configFile = parser.value(QStringLiteral("config"));
    if (!configFile.isEmpty() || QFile::exists(AgentConfig::defaultConfigFile())) {
        if (!config.readFile(configFile.isEmpty() ? AgentConfig::defaultConfigFile() : configFile, &error)) {
            complain(error);
            return kExitBadConfig;
        }
    }
    for (const QString &warning : qAsConst(config.warnings))
        complain(QStringLiteral("warning: %1").arg(warning));

    // Switches win over the file.
    if (parser.isSet(QStringLiteral("listen")))
        config.listen = parser.values(QStringLiteral("listen"));
    if (parser.isSet(QStringLiteral("source")))
        config.sources = parser.values(QStringLiteral("source"));
    if (parser.isSet(QStringLiteral("hep")))
        config.hepListen = parser.value(QStringLiteral("hep"));
    if (parser.isSet(QStringLiteral("hep-password")))
        config.hepPassword = parser.value(QStringLiteral("hep-password"));
    if (parser.isSet(QStringLiteral("rpc-socket")))
        config.rpcSocket = parser.value(QStringLiteral("rpc-socket"));
    if (parser.isSet(QStringLiteral("accounts")))
        config.accountsFile = parser.value(QStringLiteral("accounts"));
    if (parser.isSet(QStringLiteral("state-dir")))
        config.stateDir = parser.value(QStringLiteral("state-dir"));
    if (parser.isSet(QStringLiteral("runtime-dir")))
        config.runtimeDir = parser.value(QStringLiteral("runtime-dir"));
    if (parser.isSet(QStringLiteral("tenants-from-rpc")))
        config.tenantsFromRpc = true;
    if (parser.isSet(QStringLiteral("discovery"))) {
        config.discovery = true;
        config.discoveryListen = parser.value(QStringLiteral("discovery"));
    }
    if (parser.isSet(QStringLiteral("tenant"))) {
        config.tenants.clear();
        for (const QString &text : parser.values(QStringLiteral("tenant"))) {
            PbxTenant tenant;
            if (!AgentConfig::parseTenant(text, &tenant)) {
                complain(QStringLiteral("--tenant needs UUID=NAME, not \"%1\"").arg(text.left(200)));
                return kExitBadConfig;
            }
            config.tenants.append(tenant);
        }
    }

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (command == QLatin1String("passwd")) {
        if (positional.size() != 2) {
            complain(QStringLiteral("usage: plogger4-agent passwd [--delete] NAME [--accounts FILE]"));
            return kExitBadConfig;
        }
        if (parser.isSet(QStringLiteral("delete")))
            return runDelete(positional.at(1), config);
        return runPasswd(positional.at(1), config);
    }
    if (command == QLatin1String("fingerprint")) {
        if (positional.size() != 1) {
            complain(QStringLiteral("usage: plogger4-agent fingerprint [--state-dir DIR]"));
            return kExitBadConfig;
        }
        return runFingerprint(config);
    }
    if (!command.isEmpty()) {
        complain(QStringLiteral("unknown command \"%1\" (passwd, fingerprint, or none to run)").arg(command.left(100)));
        return kExitBadConfig;
    }

    UnixSignalWatcher signalWatcher;
    Agent agent(config);
    // Ends through the event loop, so that the journal's cursor is saved and
    // Kamailio's reply socket removed.
    QObject::connect(&signalWatcher, &UnixSignalWatcher::terminateRequested, &app, &QCoreApplication::quit);
    QObject::connect(&signalWatcher, &UnixSignalWatcher::reloadRequested, &agent, &Agent::reload);
    if (!agent.check(&error)) {
        complain(error);
        return kExitBadConfig;
    }
    if (parser.isSet(QStringLiteral("check-config"))) {
        say(config.describe());
        return 0;
    }
    if (::geteuid() == 0 && !parser.isSet(QStringLiteral("allow-root"))) {
        complain(QStringLiteral("refusing to run as root: a network service should run as its own user "
                                "(the package's plogger4-agent user); --allow-root overrides"));
        return kExitFailure;
    }
    if (!ProcessCapabilities::keepNetRawForFileCapabilitiesOnly(&error)) {
        complain(error);
        return kExitFailure;
    }
    QObject::connect(&agent, &Agent::eventReported, [](const QString &line) { complain(line); });
    QObject::connect(&agent, &Agent::ready, [](const QStringList &lines) {
        for (const QString &line : lines)
            say(line);
    });
    if (!agent.start(&error)) {
        complain(error);
        return kExitFailure;
    }
    return app.exec();
}
