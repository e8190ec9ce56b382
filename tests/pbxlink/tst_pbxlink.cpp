#include "pbxlink.h"

#include "emulatorprocess.h"

#include <QDir>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

// Collects what a link emits, on the test's thread, in emission order.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(PbxLink *link)
    {
        connect(link, &PbxLink::loggedToServer, this, [this](const LoginDetails &d) {
            details = d;
            events << QStringLiteral("logged");
        });
        connect(link, &PbxLink::unloggedFromServer, this, [this](const QString &reason) {
            events << QStringLiteral("unlogged");
            reasons << reason;
        });
        connect(link, &PbxLink::disconnectedFromServer, this, [this] {
            events << QStringLiteral("disconnected");
            reasons << QString();
        });
        connect(link, &PbxLink::sigFeaturesChanged, this, [this](const QStringList &f) {
            features = f;
            events << QStringLiteral("features");
        });
        connect(link, &PbxLink::sigTenantListReceived, this, [this](const QMap<QString, QString> &t) {
            tenants = t;
            events << QStringLiteral("tenants");
        });
        connect(link, &PbxLink::sigDiagnosticMessageReceived, this,
                [this](const DiagnosticMessage &m) { messages << m; });
        connect(link, &PbxLink::sigServerCommandResponse, this,
                [this](const ServerCommandResponse &r) { responses << r; });
        // Direct, to see which thread emits. The link's thread may still be
        // in this call while the recorder is destroyed, so the call keeps
        // the set alive itself, and it goes with the link, after the link's
        // thread has ended, not while that thread may be calling it.
        std::shared_ptr<EmitThreads> threads = m_threads;
        connect(link, &PbxLink::sigDiagnosticMessageReceived, link, [threads] {
            std::lock_guard<std::mutex> lock(threads->mutex);
            threads->seen.insert(QThread::currentThread());
        }, Qt::DirectConnection);
    }

    int ends() const { return reasons.size(); }
    bool logged() const { return events.contains(QStringLiteral("logged")); }
    QSet<QThread *> emitThreads()
    {
        std::lock_guard<std::mutex> lock(m_threads->mutex);
        return m_threads->seen;
    }

    QStringList events;
    QStringList reasons;
    LoginDetails details;
    QStringList features;
    QMap<QString, QString> tenants;
    QList<DiagnosticMessage> messages;
    QList<ServerCommandResponse> responses;

private:
    struct EmitThreads
    {
        std::mutex mutex;  // one ThreadSanitizer can see, unlike QMutex
        QSet<QThread *> seen;
    };
    std::shared_ptr<EmitThreads> m_threads = std::make_shared<EmitThreads>();
};

std::unique_ptr<PbxLink> makeLink()
{
    return std::make_unique<PbxLink>(QStringLiteral("testos"), QStringLiteral("1.0"), QStringLiteral("plogger-test"),
                                     QStringLiteral("9.9"), QDir::tempPath());
}

const QString kTenantA = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");

}

class tst_PbxLink : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void loginStreamsFromLinkThread();
    void connectionEndsOnceWithReason_data();
    void connectionEndsOnceWithReason();
    void keepAliveHoldsQuietConnection();
    void malformedLinesAreSkipped();
    void tenantsAndSubscription();
    void commands();
    void commandWhileNotConnected();
    void connectAgainWhileLoginPending();
    void callsBeforeInitAreKept();
    void deletingConnectedLinkLogsOut();
    void shutdownRightAfterDisconnectLogsOut();
    void disconnectWhileLoginPending();
    void ipv6Loopback();
};

void tst_PbxLink::init()
{
    qunsetenv("PBXLINK_KEEPALIVE_MS");
}

void tst_PbxLink::loginStreamsFromLinkThread()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--account", "ops@acme:s3cret:x", "--api", "4.3", "--features", "SEND_CMD",
                            "--rate", "0", "--count", "60"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("ops", "s3cret:x", "acme", PBXLINK::AppModeDiagnostic);

    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), 60, 10000);
    QCOMPARE(rec.events.mid(0, 2), (QStringList{"logged", "features"}));
    QCOMPARE(rec.details.user, QStringLiteral("ops"));
    QCOMPARE(rec.details.domain, QStringLiteral("acme"));
    QCOMPARE(rec.details.apiVersion, QStringLiteral("4.3"));
    QCOMPARE(rec.features, QStringList{"SEND_CMD"});
    QCOMPARE(link->getServerApiVersion(), QStringLiteral("4.3"));
    QVERIFY(!emulator.waitForLine("login ok ops@acme mode 5 client plogger-test 9.9 (testos 1.0)").isEmpty());

    QCOMPARE(rec.emitThreads(), QSet<QThread *>{link.get()});
    QCOMPARE(link->objectName(), QStringLiteral("PbxLink"));

    // Whole calls: several messages share a linked id, their channels differ.
    QMap<QString, QSet<QString>> channelsByCall;
    bool multiLine = false;
    for (const DiagnosticMessage &m : qAsConst(rec.messages)) {
        QVERIFY(!m.messageId.isEmpty());
        QVERIFY(!m.timestamp.isEmpty());
        bool ok = false;
        const int level = m.verbosity.toInt(&ok);
        QVERIFY(ok && level >= 0 && level <= 4);
        QVERIFY(m.tenantUuid.isEmpty());
        if (!m.linkedId.isEmpty())
            channelsByCall[m.linkedId].insert(m.uniqueId);
        multiLine = multiLine || m.message.contains(QLatin1Char('\n'));
    }
    QVERIFY(multiLine);
    QVERIFY(std::any_of(channelsByCall.cbegin(), channelsByCall.cend(),
                        [](const QSet<QString> &ids) { return ids.size() >= 2; }));
    QCOMPARE(rec.ends(), 0);
}

void tst_PbxLink::connectionEndsOnceWithReason_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("keepAliveMs");
    QTest::addColumn<bool>("logsIn");
    QTest::addColumn<QString>("reason");

    QTest::newRow("login refused") << QStringList{"--refuse-login", "maintenance window"} << "demo" << 0 << false
                                   << "login refused: maintenance window";
    QTest::newRow("wrong password") << QStringList{} << "wrong" << 0 << false << "login refused: invalid credentials";
    QTest::newRow("greeting not JSON") << QStringList{"--garbage-hello"} << "demo" << 0 << false
                                       << "protocol error: invalid JSON";
    QTest::newRow("frame over 8 MiB") << QStringList{"--oversized-frame", "--count", "1"} << "demo" << 0 << true
                                      << "protocol error: frame larger than 8388608 bytes";
    QTest::newRow("dropped by the exchange") << QStringList{"--drop-after", "5", "--rate", "0"} << "demo" << 0 << true
                                             << "connection closed by the exchange";
    QTest::newRow("exchange goes silent") << QStringList{"--silent-after", "3", "--rate", "100"} << "demo" << 600
                                          << true << "keep-alive timeout";
    // Bytes that make no frame are no sign of life: not before the login...
    QTest::newRow("greeting trickles in") << QStringList{"--trickle-hello", "40"} << "demo" << 600 << false
                                          << "login timed out";
    // ...nor after it.
    QTest::newRow("only empty lines after going silent")
        << QStringList{"--silent-after", "3", "--rate", "100", "--blank-lines", "100"} << "demo" << 600 << true
        << "keep-alive timeout";
}

void tst_PbxLink::connectionEndsOnceWithReason()
{
    QFETCH(QStringList, args);
    QFETCH(QString, password);
    QFETCH(int, keepAliveMs);
    QFETCH(bool, logsIn);
    QFETCH(QString, reason);
    if (keepAliveMs > 0)
        qputenv("PBXLINK_KEEPALIVE_MS", QByteArray::number(keepAliveMs));

    EmulatorProcess emulator;
    QVERIFY(emulator.start(args));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", password, "demo", PBXLINK::AppModeDiagnostic);

    QTRY_COMPARE_WITH_TIMEOUT(rec.ends(), 1, 10000);
    QVERIFY2(rec.reasons.constFirst().startsWith(reason), qPrintable(rec.reasons.constFirst()));
    QCOMPARE(rec.logged(), logsIn);
    if (args.contains("--drop-after"))
        QCOMPARE(rec.messages.size(), 5);
    if (args.contains("--silent-after"))
        QCOMPARE(rec.messages.size(), 3);
    QTest::qWait(300);
    QCOMPARE(rec.ends(), 1);
}

void tst_PbxLink::keepAliveHoldsQuietConnection()
{
    qputenv("PBXLINK_KEEPALIVE_MS", "800");
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--count", "2", "--rate", "0"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_VERIFY_WITH_TIMEOUT(rec.logged(), 5000);

    // Three keep-alive bounds without a log line: pings and their answers hold it up.
    QTest::qWait(2500);
    QCOMPARE(rec.ends(), 0);

    link->disconnectFromServer();
    QTRY_COMPARE(rec.ends(), 1);
    QCOMPARE(rec.reasons, QStringList{"UserRequest"});
    QVERIFY(!emulator.waitForLine("closed: logout").isEmpty());
    QTest::qWait(200);
    QCOMPARE(rec.ends(), 1);
}

void tst_PbxLink::malformedLinesAreSkipped()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--malformed", "--count", "100", "--rate", "0"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);

    // One bad line after every fifth message; the 100 good ones all arrive.
    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), 100, 10000);
    QTest::qWait(200);
    QCOMPARE(rec.messages.size(), 100);
    QCOMPARE(rec.ends(), 0);
    for (const DiagnosticMessage &m : qAsConst(rec.messages))
        QVERIFY(!m.message.contains(QStringLiteral("wrong type")) && !m.message.contains(QStringLiteral("out of range")));

    // Still answering after the junk.
    link->getTenantList();
    QTRY_VERIFY(rec.events.contains("tenants"));
}

void tst_PbxLink::tenantsAndSubscription()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--rate", "400"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_VERIFY_WITH_TIMEOUT(rec.logged(), 5000);

    link->getTenantList();
    QTRY_VERIFY(rec.events.contains("tenants"));
    QCOMPARE(rec.tenants.size(), 3);
    QCOMPARE(rec.tenants.value(kTenantA), QStringLiteral("Trasporti Adriatici"));
    QVERIFY(rec.tenants.contains("c6e9a7f1-94b3-4d28-8f0c-2b7d1e6a4c53"));

    // Once the first event of the tenant arrives, no other tenant's follows.
    auto checkSwitch = [&rec](int from, const QString &tenant) {
        int first = -1;
        for (int i = from; i < rec.messages.size(); ++i) {
            const QString t = rec.messages.at(i).tenantUuid;
            if (first < 0 && t == tenant)
                first = i;
            if (first >= 0 && t != tenant)
                return false;
        }
        return first >= 0 && rec.messages.size() - first >= 20;
    };
    int mark = rec.messages.size();
    link->subscribeTenantEvents(kTenantA);
    QTRY_VERIFY_WITH_TIMEOUT(rec.messages.size() > mark + 60, 5000);
    QVERIFY(checkSwitch(mark, kTenantA));

    mark = rec.messages.size();
    link->subscribeTenantEvents(QString());
    QTRY_VERIFY_WITH_TIMEOUT(rec.messages.size() > mark + 60, 5000);
    QVERIFY(checkSwitch(mark, QString()));

    // An unknown tenant is refused and the subscription stays as it was.
    mark = rec.messages.size();
    link->subscribeTenantEvents(QStringLiteral("no-such-tenant"));
    QTRY_VERIFY_WITH_TIMEOUT(rec.messages.size() > mark + 40, 5000);
    for (int i = mark; i < rec.messages.size(); ++i)
        QVERIFY(rec.messages.at(i).tenantUuid.isEmpty());
    QCOMPARE(rec.ends(), 0);
}

void tst_PbxLink::commands()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--count", "1"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_VERIFY_WITH_TIMEOUT(rec.logged(), 5000);

    const QList<ServerCommand> sent = {
        {"{c1}", "sip show peers", {}},
        {"{c2}", "sip show registry", {}},
        {"{c3}", "core show hints", {}},
        {"{c4}", "ping", {"127.0.0.1"}},
        {"{c5}", "ping", {""}},
        {"{c6}", "traceroute", {"::1"}},
        {"{c7}", "host", {"centralino.example"}},
        {"{c8}", "reboot now", {}},
        {"{c9}", "ping", {QString(9 * 1024 * 1024, QLatin1Char('x'))}},
    };
    for (const ServerCommand &c : sent)
        link->sendServerCommand(c);
    QTRY_COMPARE_WITH_TIMEOUT(rec.responses.size(), sent.size(), 5000);

    QMap<QString, ServerCommandResponse> byId;
    for (const ServerCommandResponse &r : qAsConst(rec.responses))
        byId.insert(r.commandId, r);
    for (const char *id : {"{c1}", "{c2}", "{c3}"}) {
        const ServerCommandResponse r = byId.value(id);
        QVERIFY(r.executed);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.output.startsWith("Response: Follows\nPrivilege: Command\n"), qPrintable(r.output));
        QVERIFY(r.output.endsWith("\n--END COMMAND--"));
        QVERIFY(!r.timestamp.isEmpty());
    }
    QCOMPARE(byId.value("{c1}").command, QStringLiteral("sip show peers"));
    QVERIFY(byId.value("{c4}").executed);
    QCOMPARE(byId.value("{c4}").code, 0);
    QVERIFY(byId.value("{c4}").output.startsWith("PING 127.0.0.1 "));
    QVERIFY(!byId.value("{c4}").output.contains("Response: Follows"));
    QVERIFY(byId.value("{c5}").executed);
    QVERIFY(byId.value("{c5}").code != 0);
    QVERIFY(byId.value("{c6}").output.startsWith("traceroute to ::1 "));
    QVERIFY(byId.value("{c7}").output.startsWith("centralino.example has address "));
    QVERIFY(!byId.value("{c8}").executed);
    QVERIFY(byId.value("{c8}").code != 0);
    QCOMPARE(byId.value("{c8}").command, QStringLiteral("reboot now"));
    // Too large for a frame: answered by the link itself, the session goes on.
    QVERIFY(!byId.value("{c9}").executed);
    QCOMPARE(byId.value("{c9}").code, -1);
    QCOMPARE(rec.ends(), 0);
}

void tst_PbxLink::commandWhileNotConnected()
{
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->sendServerCommand({"{x}", "sip show peers", {}});
    QTRY_COMPARE(rec.responses.size(), 1);
    QCOMPARE(rec.responses.constFirst().commandId, QStringLiteral("{x}"));
    QVERIFY(!rec.responses.constFirst().executed);
    QVERIFY(rec.responses.constFirst().code != 0);
    QCOMPARE(rec.ends(), 0);
}

void tst_PbxLink::connectAgainWhileLoginPending()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--count", "1"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    // The second attempt, with the right password, replaces the first, which
    // still ends once, before anything of the second.
    link->connectToServer("admin", "typo", "demo", PBXLINK::AppModeDiagnostic);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_VERIFY_WITH_TIMEOUT(rec.logged(), 5000);
    QTest::qWait(300);
    QCOMPARE(rec.events.mid(0, 2), (QStringList{"unlogged", "logged"}));
    QCOMPARE(rec.events.count("logged"), 1);
    QCOMPARE(rec.reasons, QStringList{"UserRequest"});
}

void tst_PbxLink::callsBeforeInitAreKept()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--count", "3"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    link->init();
    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), 3, 5000);
    QVERIFY(rec.logged());
}

void tst_PbxLink::deletingConnectedLinkLogsOut()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--rate", "200"}));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_VERIFY_WITH_TIMEOUT(rec.messages.size() > 5, 5000);

    QThread *thread = link.get();
    QVERIFY(thread->isRunning());
    link.reset();  // no shutdown() first
    QVERIFY(!emulator.waitForLine("closed: logout").isEmpty());
    QTRY_COMPARE(rec.ends(), 1);
    QCOMPARE(rec.reasons, QStringList{"UserRequest"});

    // shutdown() twice, and calls after it, are harmless.
    auto other = makeLink();
    other->init();
    other->shutdown();
    QVERIFY(other->isFinished());
    other->shutdown();
    other->setServerAddress(emulator.address);
    other->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTest::qWait(200);
    QCOMPARE(emulator.lines.filter("connected from").size(), 1);
}

void tst_PbxLink::shutdownRightAfterDisconnectLogsOut()
{
    // What a window does when it is closed while connected: the goodbye must
    // leave even though the link's thread ends right after it.
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--rate", "200"}));
    for (int session = 1; session <= 3; ++session) {
        auto link = makeLink();
        Recorder rec(link.get());
        link->init();
        link->setServerAddress(emulator.address);
        link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
        QTRY_VERIFY_WITH_TIMEOUT(!rec.messages.isEmpty(), 5000);
        link->disconnectFromServer();
        link->shutdown();
        const QString closed = emulator.waitForLine(QStringLiteral("session %1 closed").arg(session));
        QVERIFY2(closed.endsWith(QLatin1String("closed: logout")), qPrintable(closed));
    }
}

void tst_PbxLink::disconnectWhileLoginPending()
{
    // A listener that never greets: the login stays pending.
    QTcpServer mute;
    QVERIFY(mute.listen(QHostAddress::LocalHost));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(QStringLiteral("127.0.0.1:%1").arg(mute.serverPort()));
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_VERIFY(mute.hasPendingConnections());
    link->disconnectFromServer();
    QTRY_COMPARE(rec.ends(), 1);
    QCOMPARE(rec.reasons, QStringList{"UserRequest"});

    // A closed port and an address that is no IP literal end at once, with their reason.
    const quint16 closedPort = mute.serverPort();
    mute.close();
    link->setServerAddress(QStringLiteral("127.0.0.1:%1").arg(closedPort));
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_COMPARE(rec.ends(), 2);
    QCOMPARE(rec.reasons.at(1), QStringLiteral("connection refused"));
    link->setServerAddress(QStringLiteral("pbx.example:5039"));
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_COMPARE(rec.ends(), 3);
    QVERIFY(rec.reasons.at(2).startsWith("invalid server address"));
    QVERIFY(!rec.logged());
}

void tst_PbxLink::ipv6Loopback()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHostIPv6))
        QSKIP("no IPv6 loopback here");
    probe.close();
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--count", "2"}, QStringLiteral("[::1]:0")));
    QVERIFY(emulator.address.startsWith("::1:"));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), 2, 5000);
}

QTEST_GUILESS_MAIN(tst_PbxLink)
#include "tst_pbxlink.moc"
