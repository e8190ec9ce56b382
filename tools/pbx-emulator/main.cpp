#include "discoveryresponder.h"
#include "framereplay.h"
#include "pbxemulatorserver.h"
#include "pbxendpoint.h"
#include "serveridentity.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdlib>

namespace {

// Where the client connects when the address names no port.
constexpr quint16 kClientDefaultPort = 5039;

void say(const QString &line)
{
    QTextStream out(stdout);
    out << line << '\n';
    out.flush();
}

[[noreturn]] void fail(const QString &message)
{
    QTextStream err(stderr);
    err << "pbx-emulator: " << message << '\n';
    err.flush();
    std::exit(2);
}

// "user@domain:password": the domain holds neither '@' nor ':', the user
// no ':', the password anything.
bool parseAccount(const QString &text, QString *user, QString *domain, QString *password)
{
    const int colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    const QString id = text.left(colon);
    *password = text.mid(colon + 1);
    const int at = id.lastIndexOf(QLatin1Char('@'));
    *user = at < 0 ? id : id.left(at);
    *domain = at < 0 ? QString() : id.mid(at + 1);
    return !user->isEmpty();
}

// Only the salted verifier is kept; the password goes out of scope here.
Scram::Verifier verifierFor(const QString &password)
{
    return Scram::makeVerifier(password, Scram::randomBytes(16), Scram::MinIterations);
}

qint64 number(const QCommandLineParser &parser, const QString &name, qint64 min)
{
    bool ok = false;
    const qint64 value = parser.value(name).toLongLong(&ok);
    if (!ok || value < min)
        fail(QStringLiteral("--%1 needs a whole number of at least %2, not \"%3\"").arg(name).arg(min).arg(parser.value(name)));
    return value;
}

QString hostPortText(const QHostAddress &address, quint16 port)
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

// Announces the exchange as a demo model. The client connects to what it
// picks from the answers: off the usual port, the port goes with the address.
void setUpDiscovery(DiscoveryResponder *responder, const PbxEmulatorServer &server, const PbxEmulatorConfig &config)
{
    responder->setPn(QStringLiteral("PeltranoPBX Demo"));
    responder->setSn(QStringLiteral("DEMO-000000001"));
    responder->setFw(config.serverVersion);
    responder->setBl(QStringLiteral("2.1.0-demo"));
    const QString host = server.address().toString();
    responder->setIps({server.port() == kClientDefaultPort ? host
                                                           : QStringLiteral("%1:%2").arg(host).arg(server.port())});
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pbx-emulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Demo telephone exchange for the logger: accepts logins, streams a synthetic diagnostic log, "
        "lists tenants and answers diagnostic commands. It sends no traffic anywhere but to its clients."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("listen"), QStringLiteral("Address to listen on (default 127.0.0.1:5039); port 0 picks a free port."),
         QStringLiteral("host:port"), QStringLiteral("127.0.0.1:5039")},
        {QStringLiteral("account"), QStringLiteral("Account allowed to log in (repeatable). Without any, admin@demo:demo."),
         QStringLiteral("user@domain:password")},
        {QStringLiteral("api"), QStringLiteral("API version announced at login (default 4.2)."), QStringLiteral("version"),
         QStringLiteral("4.2")},
        {QStringLiteral("features"), QStringLiteral("Comma-separated feature list announced at login (default SUBSCRIBE_TENANT_EVENTS,SEND_CMD)."),
         QStringLiteral("list"), QStringLiteral("SUBSCRIBE_TENANT_EVENTS,SEND_CMD")},
        {QStringLiteral("rate"), QStringLiteral("Log messages per second (default 5); 0 = as fast as the client reads."),
         QStringLiteral("n"), QStringLiteral("5")},
        {QStringLiteral("count"), QStringLiteral("Log messages per session (default 0 = no limit)."), QStringLiteral("n"),
         QStringLiteral("0")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the call pattern; 0 = random."), QStringLiteral("n"),
         QStringLiteral("0")},
        {QStringLiteral("refuse-login"), QStringLiteral("Refuse every login with this reason."),
         QStringLiteral("reason")},
        {QStringLiteral("drop-after"), QStringLiteral("Close the connection after n log messages."),
         QStringLiteral("n")},
        {QStringLiteral("silent-after"),
         QStringLiteral("After n log messages send nothing more and answer no keep-alive."), QStringLiteral("n")},
        {QStringLiteral("malformed"), QStringLiteral("Mix malformed lines in with the log messages.")},
        {QStringLiteral("garbage-hello"), QStringLiteral("Greet with a line that is not JSON.")},
        {QStringLiteral("oversized-frame"), QStringLiteral("After the login, send one frame larger than 8 MiB.")},
        {QStringLiteral("discovery"),
         QStringLiteral("Also answer discovery requests on this UDP address; port 0 picks a free port."),
         QStringLiteral("host:port")},
        {QStringLiteral("reason-length"),
         QStringLiteral("Repeat the --refuse-login reason up to this many characters."), QStringLiteral("n")},
        {QStringLiteral("trickle-hello"),
         QStringLiteral("Before the login, send one byte every ms milliseconds."), QStringLiteral("ms")},
        {QStringLiteral("blank-lines"),
         QStringLiteral("Once silent (--silent-after), send an empty line every ms milliseconds."),
         QStringLiteral("ms")},
        {QStringLiteral("record"),
         QStringLiteral("Write --count log frames (default 1000000) of the --seed call pattern to this file, then exit."),
         QStringLiteral("file")},
        {QStringLiteral("replay"), QStringLiteral("Stream the log frames recorded in this file, over and over."),
         QStringLiteral("file")},
        {QStringLiteral("idle-timeout"), QStringLiteral("Drop a client silent for this many ms (default 60000)."),
         QStringLiteral("ms"), QStringLiteral("60000")},
        {QStringLiteral("cert"), QStringLiteral("PEM certificate to present (with --key). Without it, a self-signed one "
                                                "kept in the emulator's data folder, made on first start."),
         QStringLiteral("file")},
        {QStringLiteral("key"), QStringLiteral("PEM private key of --cert (RSA or EC, unencrypted)."), QStringLiteral("file")},
        {QStringLiteral("changed-certificate"),
         QStringLiteral("From the second connection on, present another, newly made certificate.")},
        {QStringLiteral("wrong-signature"), QStringLiteral("Accept logins but sign the login answer wrongly.")},
        {QStringLiteral("stall-handshake"), QStringLiteral("Take connections but never answer the TLS handshake.")},
        {QStringLiteral("plain-v1"), QStringLiteral("Greet in clear with the old unencrypted protocol version 1.")},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().constFirst()));

    PbxEmulatorConfig config;
    config.listenAddress = parser.value(QStringLiteral("listen"));
    const QStringList accounts = parser.values(QStringLiteral("account"));
    for (const QString &text : accounts) {
        QString user, domain, password;
        if (!parseAccount(text, &user, &domain, &password))
            fail(QStringLiteral("--account needs user@domain:password, not \"%1\"").arg(text));
        config.accounts.insert(qMakePair(user, domain), verifierFor(password));
    }
    if (config.accounts.isEmpty())
        config.accounts.insert(qMakePair(PbxEmulatorConfig::defaultUser(), PbxEmulatorConfig::defaultDomain()),
                               verifierFor(PbxEmulatorConfig::defaultPassword()));
    config.apiVersion = parser.value(QStringLiteral("api"));
    config.features = parser.value(QStringLiteral("features")).split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (QString &f : config.features)
        f = f.trimmed();
    bool ok = false;
    config.rate = parser.value(QStringLiteral("rate")).toDouble(&ok);
    if (!ok || config.rate < 0 || config.rate > 1e7)
        fail(QStringLiteral("--rate needs a number of messages per second, not \"%1\"").arg(parser.value(QStringLiteral("rate"))));
    config.count = number(parser, QStringLiteral("count"), 0);
    config.seed = quint32(number(parser, QStringLiteral("seed"), 0));
    if (parser.isSet(QStringLiteral("refuse-login"))) {
        config.refuseLoginReason = parser.value(QStringLiteral("refuse-login"));
        if (config.refuseLoginReason.isEmpty())
            config.refuseLoginReason = QStringLiteral("login disabled");
    }
    if (parser.isSet(QStringLiteral("reason-length"))) {
        const qint64 length = qMin<qint64>(number(parser, QStringLiteral("reason-length"), 1), 64 * 1024 * 1024);
        if (config.refuseLoginReason.isEmpty())
            fail(QStringLiteral("--reason-length needs --refuse-login"));
        config.refuseLoginReason = config.refuseLoginReason.repeated(int(length / config.refuseLoginReason.size() + 1))
                                       .left(int(length));
    }
    if (parser.isSet(QStringLiteral("trickle-hello")))
        config.trickleMs = int(qMin<qint64>(number(parser, QStringLiteral("trickle-hello"), 1), 60000));
    if (parser.isSet(QStringLiteral("blank-lines")))
        config.blankLineMs = int(qMin<qint64>(number(parser, QStringLiteral("blank-lines"), 1), 60000));
    if (parser.isSet(QStringLiteral("drop-after")))
        config.dropAfter = number(parser, QStringLiteral("drop-after"), 0);
    if (parser.isSet(QStringLiteral("silent-after")))
        config.silentAfter = number(parser, QStringLiteral("silent-after"), 0);
    config.malformed = parser.isSet(QStringLiteral("malformed"));
    config.garbageHello = parser.isSet(QStringLiteral("garbage-hello"));
    config.oversizedFrame = parser.isSet(QStringLiteral("oversized-frame"));
    config.idleTimeoutMs = int(qMin<qint64>(number(parser, QStringLiteral("idle-timeout"), 100), 24 * 3600 * 1000));
    config.changedCertificate = parser.isSet(QStringLiteral("changed-certificate"));
    config.wrongServerSignature = parser.isSet(QStringLiteral("wrong-signature"));
    config.stallHandshake = parser.isSet(QStringLiteral("stall-handshake"));
    config.plainV1 = parser.isSet(QStringLiteral("plain-v1"));

    if (parser.isSet(QStringLiteral("record"))) {
        QString error;
        const qint64 frames = config.count > 0 ? config.count : 1000000;
        if (!FrameReplay::record(parser.value(QStringLiteral("record")), frames, config.seed, &error))
            fail(QStringLiteral("cannot record to \"%1\": %2").arg(parser.value(QStringLiteral("record")), error));
        say(QStringLiteral("recorded %1 log frames").arg(frames));
        return 0;
    }
    if (parser.isSet(QStringLiteral("replay"))) {
        config.replayFile = parser.value(QStringLiteral("replay"));
        FrameReplay probe;
        QString error;
        if (!probe.open(config.replayFile, &error))
            fail(QStringLiteral("cannot replay \"%1\": %2").arg(config.replayFile, error));
    }

    ServerIdentity identity;
    QString identityError;
    if (parser.isSet(QStringLiteral("cert")) != parser.isSet(QStringLiteral("key")))
        fail(QStringLiteral("--cert and --key go together"));
    const bool loaded = parser.isSet(QStringLiteral("cert"))
        ? identity.load(parser.value(QStringLiteral("cert")), parser.value(QStringLiteral("key")), &identityError)
        : identity.loadOrCreate(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation), &identityError);
    if (!loaded)
        fail(identityError);
    config.certificate = identity.certificate;
    config.privateKey = identity.key;
    QTemporaryDir otherDir;
    if (config.changedCertificate) {
        ServerIdentity other;
        if (!otherDir.isValid()
            || !other.create(otherDir.filePath(QStringLiteral("cert.pem")), otherDir.filePath(QStringLiteral("key.pem")),
                             &identityError))
            fail(identityError);
        config.otherCertificate = other.certificate;
        config.otherPrivateKey = other.key;
    }

    PbxEmulatorServer server(config);
    QObject::connect(&server, &PbxEmulatorServer::eventReported, &say);
    QString error;
    if (!server.listen(&error))
        fail(error);

    DiscoveryResponder discovery;
    if (parser.isSet(QStringLiteral("discovery"))) {
        const QString text = parser.value(QStringLiteral("discovery"));
        QHostAddress host;
        quint16 port = 0;
        if (!PbxEndpoint::parseListen(text, &host, &port))
            fail(QStringLiteral("--discovery needs host:port, not \"%1\"").arg(text));
        setUpDiscovery(&discovery, server, config);
        if (!discovery.listen(host, port))
            fail(QStringLiteral("cannot answer discovery on %1: %2").arg(text, discovery.errorString()));
        say(QStringLiteral("discovery %1").arg(hostPortText(discovery.localAddress(), discovery.localPort())));
    }

    for (auto it = config.accounts.constBegin(); it != config.accounts.constEnd(); ++it) {
        const QString id = it.key().second.isEmpty() ? it.key().first
                                                     : QStringLiteral("%1@%2").arg(it.key().first, it.key().second);
        if (accounts.isEmpty())
            say(QStringLiteral("account %1 password %2 (demo account)").arg(id, PbxEmulatorConfig::defaultPassword()));
        else
            say(QStringLiteral("account %1").arg(id));
    }
    // The same text the client shows when it asks whether to trust this exchange.
    say(QStringLiteral("fingerprint %1").arg(PbxEndpoint::certificateFingerprint(config.certificate)));
    say(QStringLiteral("listening %1").arg(server.addressText()));
    return app.exec();
}
