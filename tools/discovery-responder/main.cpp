// A stand-alone discovery responder: answers discovery requests like an
// exchange would, so the client can be tried and tested without one.

#include "discoveryresponder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>

namespace {

bool parseHostPort(const QString &text, QHostAddress *address, quint16 *port)
{
    static const QRegularExpression form(QStringLiteral("^(?:\\[([^\\]]+)\\]|([^:\\[\\]]+)):(\\d{1,5})$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return false;
    const uint value = m.captured(3).toUInt();
    const QString host = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1);
    if (value > 65535)
        return false;
    if (host == QLatin1String("localhost"))
        *address = QHostAddress(QHostAddress::LocalHost);
    else if (!address->setAddress(host))
        return false;
    *port = quint16(value);
    return true;
}

int fail(const QString &message)
{
    QTextStream(stderr) << "discovery-responder: " << message << '\n';
    return 2;
}

}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("discovery-responder"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Answers discovery requests like an exchange."));
    parser.addHelpOption();
    const QCommandLineOption listenOpt(QStringLiteral("listen"),
                                       QStringLiteral("Address and port to listen on (port 0: any free port)."),
                                       QStringLiteral("host:port"), QStringLiteral("127.0.0.1:0"));
    const QCommandLineOption pnOpt(QStringLiteral("pn"), QStringLiteral("Model."), QStringLiteral("text"),
                                   QStringLiteral("PX-Demo"));
    const QCommandLineOption snOpt(QStringLiteral("sn"), QStringLiteral("Serial number."), QStringLiteral("text"),
                                   QStringLiteral("000000000000"));
    const QCommandLineOption fwOpt(QStringLiteral("fw"), QStringLiteral("Firmware version."), QStringLiteral("text"),
                                   QStringLiteral("4.2.0"));
    const QCommandLineOption blOpt(QStringLiteral("bl"), QStringLiteral("Bootloader version."),
                                   QStringLiteral("text"), QStringLiteral("1.0.0"));
    const QCommandLineOption ipOpt(QStringLiteral("ip"),
                                   QStringLiteral("An address to announce; repeatable (default: the listening address)."),
                                   QStringLiteral("address"));
    const QCommandLineOption countOpt(QStringLiteral("reply-count"), QStringLiteral("Replies sent per request (at most 4 unless listening on loopback)."),
                                      QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption cmdIdOpt(QStringLiteral("cmdid-override"),
                                      QStringLiteral("Command id put in every reply instead of the request's."),
                                      QStringLiteral("text"));
    parser.addOptions({listenOpt, pnOpt, snOpt, fwOpt, blOpt, ipOpt, countOpt, cmdIdOpt});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    QHostAddress address;
    quint16 port = 0;
    if (!parseHostPort(parser.value(listenOpt), &address, &port))
        return fail(QStringLiteral("--listen needs host:port, got \"%1\"").arg(parser.value(listenOpt)));
    bool ok = false;
    const int count = parser.value(countOpt).toInt(&ok);
    if (!ok || count < 0 || count > 1000000)
        return fail(QStringLiteral("--reply-count needs a number from 0 to 1000000"));

    DiscoveryResponder responder;
    responder.setPn(parser.value(pnOpt));
    responder.setSn(parser.value(snOpt));
    responder.setFw(parser.value(fwOpt));
    responder.setBl(parser.value(blOpt));
    responder.setIps(parser.isSet(ipOpt) ? parser.values(ipOpt) : QStringList{address.toString()});
    responder.setReplyCount(count);
    if (parser.isSet(cmdIdOpt))
        responder.setCmdIdOverride(parser.value(cmdIdOpt));

    if (!responder.listen(address, port))
        return fail(QStringLiteral("cannot listen on %1: %2").arg(parser.value(listenOpt), responder.errorString()));

    const QHostAddress bound = responder.localAddress();
    if (!bound.isLoopback() && count > DiscoveryResponder::MaxRepliesOffLoopback)
        QTextStream(stderr) << "discovery-responder: off loopback, at most " << DiscoveryResponder::MaxRepliesOffLoopback
                            << " replies per request are sent\n";
    const QString host = bound.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(bound.toString())
                             : bound.toString();
    QTextStream(stdout) << "listening " << host << ':' << responder.localPort() << Qt::endl;
    std::fflush(stdout);
    return app.exec();
}
