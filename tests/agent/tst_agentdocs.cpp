// What the agent's package and docs tell an administrator works as written:
// the example Kamailio configuration checks and runs, the docs quote it
// exactly, the packaged agent.ini and the manual page cover what the agent
// takes.

#include "agentconfig.h"

#include "kamailioprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString Example = QStringLiteral(PROJECT_DIR "/packaging/agent/examples/kamailio.cfg");
const QString ExampleTables = QStringLiteral(PROJECT_DIR "/packaging/agent/examples/dbtext");

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The fenced blocks of a Markdown text, each with its info string.
QVector<QPair<QString, QString>> fencedBlocks(const QString &markdown)
{
    QVector<QPair<QString, QString>> blocks;
    static const QRegularExpression fence(QStringLiteral("^```([^\\n]*)\\n(.*?)^```$"),
                                          QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
    for (auto it = fence.globalMatch(markdown); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        blocks.append({m.captured(1).trimmed(), m.captured(2)});
    }
    return blocks;
}

// The long switches a text names, as "--name".
QSet<QString> switchesIn(QString text)
{
    text.replace(QLatin1String("\\-"), QLatin1String("-"));
    QSet<QString> found;
    static const QRegularExpression name(QStringLiteral("(?<![\\w-])--[a-z][a-z-]*"));
    for (auto it = name.globalMatch(text); it.hasNext();)
        found.insert(it.next().captured(0));
    return found;
}

// One JSON-RPC call on Kamailio's datagram socket; the result, or null.
QJsonValue rpc(const QString &socketPath, const QString &scratch, const QString &method)
{
    const QByteArray me = QFile::encodeName(scratch + QStringLiteral("/probe.sock"));
    const QByteArray target = QFile::encodeName(socketPath);
    sockaddr_un from{}, to{};
    from.sun_family = to.sun_family = AF_UNIX;
    std::memcpy(from.sun_path, me.constData(), size_t(me.size()));
    std::memcpy(to.sun_path, target.constData(), size_t(target.size()));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ::unlink(from.sun_path);
    QJsonValue result;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0) {
        const QByteArray request = QStringLiteral("{\"jsonrpc\":\"2.0\",\"method\":\"%1\",\"id\":1}").arg(method).toUtf8();
        ::sendto(fd, request.constData(), size_t(request.size()), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        QByteArray buffer(1 << 17, '\0');
        if (::poll(&p, 1, 5000) == 1) {
            const ssize_t n = ::recv(fd, buffer.data(), size_t(buffer.size()), 0);
            if (n > 0)
                result = QJsonDocument::fromJson(buffer.left(int(n))).object().value(QLatin1String("result"));
        }
    }
    if (fd >= 0)
        ::close(fd);
    ::unlink(from.sun_path);
    return result;
}

}

class tst_AgentDocs : public QObject
{
    Q_OBJECT

private slots:
    void exampleChecks();
    void exampleRuns();
    void docsQuoteTheExample();
    void testConfigUsesTheExamplesLines();
    void agentIniShowsEverySection();
    void manPageListsEverySwitch();
};

void tst_AgentDocs::exampleChecks()
{
    QVERIFY2(!KamailioProcess::program().isEmpty(), "kamailio is not installed (scripts/test installs it)");
    QProcess check;
    check.setProcessChannelMode(QProcess::MergedChannels);
    // -l: no look-up of the host's outside address.
    check.start(KamailioProcess::program(),
                {QStringLiteral("-c"), QStringLiteral("-f"), Example, QStringLiteral("-l"), QStringLiteral("udp:127.0.0.1:5999")});
    QVERIFY(check.waitForFinished(20000));
    QVERIFY2(check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0, check.readAll().constData());
}

// Started as shipped (on loopback, its tables in a folder of the test's),
// it offers what the agent asks for, its domain table names the tenant, and
// a registration in that domain is logged with its call and tenant.
void tst_AgentDocs::exampleRuns()
{
    KamailioProcess kamailio;
    kamailio.config = Example;
    kamailio.tables = ExampleTables;
    kamailio.arguments = QStringList{QStringLiteral("-l"), QStringLiteral("udp:127.0.0.1:{port}"), QStringLiteral("-A"),
                                     QStringLiteral("PLOGGER4_HEP_URI=\"sip:127.0.0.1:9\"")};
    QVERIFY2(kamailio.start(), qPrintable(kamailio.error));
    const QJsonArray methods = rpc(kamailio.rpcSocket(), kamailio.scratchDir(), QStringLiteral("system.listMethods")).toArray();
    for (const char *method : {"domain.dump", "dlg.list", "ul.dump", "core.version"})
        QVERIFY2(methods.contains(QLatin1String(method)), method);
    const QJsonValue domains = rpc(kamailio.rpcSocket(), kamailio.scratchDir(), QStringLiteral("domain.dump"));
    const QString text = QString::fromUtf8(QJsonDocument(domains.toObject()).toJson(QJsonDocument::Compact));
    QVERIFY2(text.contains(QLatin1String("\"domain\":\"alpha.test\"")), qPrintable(text));
    QVERIFY2(text.contains(QLatin1String("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21")), qPrintable(text));
    // A domain of the table is the server's own: the stock routing keeps
    // the request here rather than relay it.
    QProcess ua;
    ua.start(QStringLiteral(SIP_UA_PATH),
             {QStringLiteral("--proxy"), kamailio.proxy(), QStringLiteral("register"), QStringLiteral("alice@alpha.test")});
    QVERIFY(ua.waitForFinished(20000));
    QVERIFY2(ua.readAllStandardOutput().contains("registered "), ua.readAllStandardError().constData());
    QTRY_VERIFY(!kamailio.linesWith(QStringLiteral("<script>: REQ REGISTER ")).isEmpty());
    const QString line = kamailio.linesWith(QStringLiteral("<script>: REQ REGISTER ")).constFirst();
    QVERIFY2(line.contains(QLatin1String(" REGISTER ")) && line.contains(QLatin1String(" t=3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21} ")),
             qPrintable(line));
    kamailio.stop();
    QVERIFY2(kamailio.linesWith(QStringLiteral("ERROR")).isEmpty(), qPrintable(kamailio.linesWith(QStringLiteral("ERROR")).join('\n')));
}

// Every piece of Kamailio configuration in the docs is marked as such and
// copied from the example, so that pasting it gives what was tested.
void tst_AgentDocs::docsQuoteTheExample()
{
    const QString example = readText(Example);
    QVERIFY(!example.isEmpty());
    int quoted = 0;
    const auto blocks = fencedBlocks(readText(QStringLiteral(PROJECT_DIR "/docs/agent.md")));
    for (const auto &block : blocks) {
        static const QRegularExpression kamailioSyntax(QStringLiteral("loadmodule |modparam\\(|xlog\\(|log_prefix|_route"));
        if (block.first != QLatin1String("kamailio")) {
            QVERIFY2(!kamailioSyntax.match(block.second).hasMatch(), qPrintable("not marked kamailio:\n" + block.second));
            continue;
        }
        QVERIFY2(example.contains(block.second), qPrintable("not in the example:\n" + block.second));
        ++quoted;
    }
    QVERIFY(quoted >= 5);
}

// The end-to-end tests run a small registrar of their own (the stock routing
// would send foreign domains off loopback); what the agent relies on in it
// is the example's, line for line.
void tst_AgentDocs::testConfigUsesTheExamplesLines()
{
    QSet<QString> example;
    for (const QString &line : readText(Example).split(QLatin1Char('\n')))
        example.insert(line.trimmed());
    static const QRegularExpression agentLine(QStringLiteral(
        "^(log_prefix|modparam\\(\"(siptrace|domain|db_text)\"|lookup_domain\\(|dlg_manage\\(|xlog\\(\"L_INFO\", \"(REQ|RPL) "
        "|xlog\\(\"L_NOTICE\", \"dialog |event_route\\[dialog:|loadmodule \"(domain|dialog|siptrace|db_text)\\.so)"));
    int checked = 0;
    for (const QString &line : readText(QStringLiteral(KAMAILIO_TEST_DIR "/kamailio.cfg")).split(QLatin1Char('\n'))) {
        if (!agentLine.match(line.trimmed()).hasMatch())
            continue;
        QVERIFY2(example.contains(line.trimmed()), qPrintable(line));
        ++checked;
    }
    QVERIFY(checked >= 15);
}

// Each section the docs show is in the packaged agent.ini, which reads clean.
void tst_AgentDocs::agentIniShowsEverySection()
{
    const QString ini = QStringLiteral(PROJECT_DIR "/packaging/agent/agent.ini");
    AgentConfig config;
    QString error;
    QVERIFY2(config.readFile(ini, &error), qPrintable(error));
    QVERIFY2(config.warnings.isEmpty(), qPrintable(config.warnings.join('\n')));
    const QString packaged = readText(ini);
    QSet<QString> documented;
    static const QRegularExpression section(QStringLiteral("^\\[(\\w+)\\]"), QRegularExpression::MultilineOption);
    for (const auto &block : fencedBlocks(readText(QStringLiteral(PROJECT_DIR "/docs/agent.md")))) {
        if (block.first != QLatin1String("ini"))
            continue;
        for (auto it = section.globalMatch(block.second); it.hasNext();)
            documented.insert(it.next().captured(0));
    }
    QVERIFY(documented.contains(QStringLiteral("[hep]")));
    for (const QString &name : qAsConst(documented))
        QVERIFY2(packaged.contains(QLatin1Char('\n') + name + QLatin1Char('\n')), qPrintable(name));
}

void tst_AgentDocs::manPageListsEverySwitch()
{
    QProcess help;
    help.start(QStringLiteral(AGENT_PATH), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(10000));
    const QSet<QString> offered = switchesIn(QString::fromUtf8(help.readAllStandardOutput()));
    QVERIFY(offered.contains(QStringLiteral("--hep")));
    QString page = readText(QStringLiteral(PROJECT_DIR "/packaging/agent/plogger4-agent.8"));
    page = page.section(QStringLiteral(".SH OPTIONS"), 1).section(QStringLiteral("\n.SH "), 0, 0);
    const QSet<QString> listed = switchesIn(page);
    QCOMPARE(QSet<QString>(offered).subtract(listed), QSet<QString>());
    QCOMPARE(QSet<QString>(listed).subtract(offered), QSet<QString>());
}

QTEST_GUILESS_MAIN(tst_AgentDocs)
#include "tst_agentdocs.moc"
