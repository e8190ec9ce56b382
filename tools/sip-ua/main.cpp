// A small SIP user agent for tests on loopback: registers users, sends
// OPTIONS, makes a call that its own callee answers (INVITE/100/180/200/ACK,
// BYE after the hold), through one proxy.

#include "sipuseragent.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

int fail(const QString &message)
{
    QTextStream(stderr) << "sip-ua: " << message << '\n';
    return 2;
}

bool validAor(const QString &aor)
{
    const int at = aor.indexOf(QLatin1Char('@'));
    return at > 0 && at < aor.size() - 1 && !aor.contains(QLatin1Char(' ')) && !aor.contains(QLatin1Char(':'));
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sip-ua"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A SIP user agent for tests, on loopback only.\n"
        "  register AOR...        registers each user@domain from a port of its own\n"
        "  options                asks the proxy for OPTIONS\n"
        "  call CALLER CALLEE     registers CALLEE (answering at once), calls it from CALLER"));
    parser.addHelpOption();
    const QCommandLineOption proxyOpt(QStringLiteral("proxy"), QStringLiteral("The proxy, a loopback address."),
                                      QStringLiteral("host:port"));
    const QCommandLineOption holdOpt(QStringLiteral("hold-ms"), QStringLiteral("How long the call stays up."),
                                     QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption holdStdinOpt(QStringLiteral("hold-stdin"),
                                          QStringLiteral("Call: hang up when standard input gives a line or ends. "
                                                         "Register: keep answering until then."));
    const QCommandLineOption ringOpt(QStringLiteral("ring-ms"), QStringLiteral("How long the callee rings."),
                                     QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption unregisteredOpt(QStringLiteral("callee-unregistered"),
                                             QStringLiteral("Do not register the callee."));
    const QCommandLineOption expectOpt(QStringLiteral("expect"),
                                       QStringLiteral("The INVITE's final status that counts as success."),
                                       QStringLiteral("status"), QStringLiteral("200"));
    const QCommandLineOption expiresOpt(QStringLiteral("expires"), QStringLiteral("Registration lifetime."),
                                        QStringLiteral("s"), QStringLiteral("600"));
    const QCommandLineOption uaOpt(QStringLiteral("user-agent"), QStringLiteral("User-Agent header."),
                                   QStringLiteral("text"), QStringLiteral("plogger4-sip-ua/1.0"));
    const QCommandLineOption timeoutOpt(QStringLiteral("timeout-ms"), QStringLiteral("Give up after this long."),
                                        QStringLiteral("ms"), QStringLiteral("20000"));
    parser.addOptions({proxyOpt, holdOpt, holdStdinOpt, ringOpt, unregisteredOpt, expectOpt, expiresOpt, uaOpt,
                       timeoutOpt});
    parser.addPositionalArgument(QStringLiteral("scenario"), QStringLiteral("register, options or call"));
    parser.process(app);

    const QString proxyText = parser.value(proxyOpt);
    const int colon = proxyText.lastIndexOf(QLatin1Char(':'));
    const QHostAddress proxy(proxyText.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')));
    const uint proxyPort = proxyText.mid(colon + 1).toUInt();
    if (colon < 0 || !proxy.isLoopback() || proxyPort == 0 || proxyPort > 65535)
        return fail(QStringLiteral("--proxy must be a loopback host:port"));

    const QStringList args = parser.positionalArguments();
    const QString scenario = args.value(0);
    for (const QString &aor : args.mid(1)) {
        if (!validAor(aor))
            return fail(QStringLiteral("not a user@domain: %1").arg(aor));
    }

    SipUserAgent agent(proxy, quint16(proxyPort));
    agent.userAgent = parser.value(uaOpt);
    agent.expires = parser.value(expiresOpt).toInt();
    QTextStream out(stdout);
    QObject::connect(&agent, &SipUserAgent::line, &app, [&out](const QString &text) {
        out << text << Qt::endl;
    });
    QObject::connect(&agent, &SipUserAgent::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);

    if (scenario == QLatin1String("register") && args.size() >= 2) {
        agent.registerUsers(args.mid(1), parser.isSet(holdStdinOpt));
    } else if (scenario == QLatin1String("options") && args.size() == 1) {
        agent.options();
    } else if (scenario == QLatin1String("call") && args.size() == 3) {
        SipUserAgent::CallOptions options;
        options.holdMs = parser.value(holdOpt).toInt();
        options.holdUntilStdin = parser.isSet(holdStdinOpt);
        options.calleeUnregistered = parser.isSet(unregisteredOpt);
        options.expectStatus = parser.value(expectOpt).toInt();
        options.ringMs = parser.value(ringOpt).toInt();
        agent.call(args.at(1), args.at(2), options);
    } else {
        return fail(QStringLiteral("unknown scenario; see --help"));
    }
    // Whatever waits for its standard input waits however long it takes.
    if (!parser.isSet(holdStdinOpt)) {
        QTimer::singleShot(parser.value(timeoutOpt).toInt() + parser.value(holdOpt).toInt(), &app, [&out] {
            out << "failed timed out" << Qt::endl;
            QCoreApplication::exit(1);
        });
    }
    return app.exec();
}
