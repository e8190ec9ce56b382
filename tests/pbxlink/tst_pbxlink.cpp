#include "pbxlink.h"

#include "emulatorprocess.h"
#include "knownexchanges.h"
#include "pbxframecodec.h"
#include "pbxprotocol.h"

#include <QDir>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <mutex>

namespace {

// Collects what a link emits, on the test's thread, in emission order, and
// answers the question about an unknown exchange as the user would.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(PbxLink *link)
    {
        connect(link, &PbxLink::sigUnknownExchange, this, [this, link](const QString &address, const QString &fp) {
            unknown << fp;
            link->answerUnknownExchange(address, fp, trust);
        });
        connect(link, &PbxLink::sigExchangeIdentityChanged, this,
                [this](const QString &, const QString &known, const QString &presented) {
                    changed << known << presented;
                });
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

    bool trust = true;
    QStringList unknown;  // fingerprints asked about
    QStringList changed;  // known and presented fingerprints of a refused identity
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

// Each test trusts exchanges in a data directory of its own.
std::unique_ptr<QTemporaryDir> g_dataDir;

std::unique_ptr<PbxLink> makeLink(const QString &dataDir = g_dataDir->path())
{
    return std::make_unique<PbxLink>(QStringLiteral("testos"), QStringLiteral("1.0"), QStringLiteral("plogger-test"),
                                     QStringLiteral("9.9"), dataDir);
}

const QString kTenantA = QStringLiteral("3f2c8a4e-6b1d-4c7a-9e2f-1a5b7c9d0e21");

// Passes one connection through to the exchange and keeps every byte that
// crosses it, both ways, as a capture on the wire would.
class Relay : public QObject
{
public:
    bool listen(quint16 exchangePort)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this, exchangePort] {
            m_client = m_server.nextPendingConnection();
            m_exchange.connectToHost(QHostAddress::LocalHost, exchangePort);
            auto pass = [this](QTcpSocket *from, QTcpSocket *to) {
                const QByteArray bytes = from->readAll();
                captured += bytes;
                to->write(bytes);
            };
            connect(m_client, &QTcpSocket::readyRead, this, [this, pass] { pass(m_client, &m_exchange); });
            connect(&m_exchange, &QTcpSocket::readyRead, this, [this, pass] { pass(&m_exchange, m_client); });
        });
        return m_server.listen(QHostAddress::LocalHost);
    }
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort()); }

    QByteArray captured;

private:
    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    QTcpSocket m_exchange;
};

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
    void floodWaitsForTheReceiver();
    void tenantsAndSubscription();
    void commands();
    void commandWhileNotConnected();
    void connectAgainWhileLoginPending();
    void callsBeforeInitAreKept();
    void deletingConnectedLinkLogsOut();
    void shutdownRightAfterDisconnectLogsOut();
    void disconnectWhileLoginPending();
    void ipv6Loopback();
    void exchangeIdentityIsPinned();
    void wireRevealsNothing();
};

void tst_PbxLink::init()
{
    qunsetenv("PBXLINK_KEEPALIVE_MS");
    g_dataDir = std::make_unique<QTemporaryDir>();
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
    QTest::newRow("wrong server signature") << QStringList{"--wrong-signature"} << "demo" << 0 << false
                                            << "login failed: wrong server signature";
    QTest::newRow("handshake stalls") << QStringList{"--stall-handshake"} << "demo" << 600 << false
                                      << "TLS handshake timed out";
    QTest::newRow("version 1 in clear") << QStringList{"--plain-v1"} << "demo" << 0 << false
                                        << "TLS handshake failed: ";
    // Bytes that make no frame are no sign of life: not before the login...
    QTest::newRow("greeting trickles in") << QStringList{"--trickle-hello", "40"} << "demo" << 600 << false
                                          << "login timed out";
    // ...nor after it.
    QTest::newRow("only empty lines after going silent")
        << QStringList{"--silent-after", "3", "--rate", "100", "--blank-lines", "100"} << "demo" << 600 << true
        << "keep-alive timeout";
    // A plogger.ini that cannot be read hides the pins: no question, no login.
    QTest::newRow("known exchanges unreadable") << QStringList{} << "demo" << 0 << false
                                                << PBXLINK::ReasonKnownExchangesUnreadable;
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

    // A directory in its place: unreadable even to root.
    const bool storeUnreadable = reason == QLatin1String(PBXLINK::ReasonKnownExchangesUnreadable);
    if (storeUnreadable)
        QVERIFY(QDir(g_dataDir->path()).mkdir(QStringLiteral("plogger.ini")));

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
    // Only an exchange that proved it holds the account is remembered.
    if (!storeUnreadable) {
        const QString pinned = KnownExchanges(g_dataDir->path())
                                   .fingerprint(KnownExchanges::addressKey(QHostAddress::LocalHost, emulator.port))
                                   .value_or(QString());
        QCOMPARE(pinned, logsIn ? emulator.fingerprint : QString());
    }
    if (storeUnreadable) {
        QVERIFY(rec.unknown.isEmpty());
        QVERIFY(!emulator.waitForLine("session 1 closed").isEmpty());
        QCOMPARE(emulator.linesWith(QStringLiteral("login")).size(), 0);
    }
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

void tst_PbxLink::floodWaitsForTheReceiver()
{
    // Each frame carries a huge id and a message of 2 MB in memory.
    constexpr int kFrames = 40;
    QTemporaryDir dir;
    QFile recording(dir.filePath("flood.jsonl"));
    QVERIFY(recording.open(QIODevice::WriteOnly));
    for (int i = 0; i < kFrames; ++i) {
        DiagnosticMessage m;
        m.messageId = QString::number(i);
        m.verbosity = QStringLiteral("3");
        m.uniqueId = QString(300000, QLatin1Char('u'));
        m.message = QString(1000000, QLatin1Char('m'));
        recording.write(PbxFrameCodec::encode(PbxProtocol::diagnosticMessageToJson(m)));
    }
    recording.close();
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--replay", recording.fileName(), "--rate", "0", "--count", QString::number(kFrames)}));
    // Pinned beforehand: the login needs nothing of this thread's event loop.
    QVERIFY(KnownExchanges(g_dataDir->path())
                .remember(KnownExchanges::addressKey(QHostAddress::LocalHost, emulator.port), emulator.fingerprint));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(emulator.address);
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);

    // This thread delivers nothing until the link has stopped reading.
    QDeadlineTimer deadline(20000);
    while (!link->isReadingPaused() && !deadline.hasExpired())
        QThread::msleep(5);
    QVERIFY(link->isReadingPaused());
    // A while on, the link still holds back.
    QDeadlineTimer still(300);
    while (!still.hasExpired() && link->undeliveredBytes() < PbxLink::MaxUndeliveredBytes + 3 * 1000 * 1000)
        QThread::msleep(5);
    QVERIFY(link->undeliveredBytes() < PbxLink::MaxUndeliveredBytes + 3 * 1000 * 1000);

    // Delivery resumes reading: every frame arrives, in order, its id cut.
    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), kFrames, 20000);
    for (int i = 0; i < kFrames; ++i) {
        QCOMPARE(rec.messages.at(i).messageId, QString::number(i));
        QCOMPARE(rec.messages.at(i).uniqueId, QString(PbxProtocol::MaxLogMemberLength, QLatin1Char('u')) + "...");
    }
    QCOMPARE(rec.ends(), 0);
    QTRY_COMPARE(link->undeliveredBytes(), qint64(0));
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
    // Messages already on the way come first; how many depends on the load.
    QTRY_VERIFY_WITH_TIMEOUT(checkSwitch(mark, kTenantA), 10000);

    mark = rec.messages.size();
    link->subscribeTenantEvents(QString());
    QTRY_VERIFY_WITH_TIMEOUT(checkSwitch(mark, QString()), 10000);

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
    // Bare, "::1:PORT" would be one IPv6 address: the port goes after brackets.
    link->setServerAddress(QStringLiteral("[::1]:%1").arg(emulator.port));
    link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), 2, 5000);
}

void tst_PbxLink::exchangeIdentityIsPinned()
{
    // Session 1 presents the exchange's usual certificate, every later one another.
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--changed-certificate", "--count", "1"}));
    auto attempt = [&emulator](const QString &dataDir, bool trust, Recorder **out) {
        auto link = makeLink(dataDir);
        auto *rec = new Recorder(link.get());
        rec->setParent(link.get());
        rec->trust = trust;
        link->init();
        link->setServerAddress(emulator.address);
        link->connectToServer("admin", "demo", "demo", PBXLINK::AppModeDiagnostic);
        *out = rec;
        return link;
    };
    auto loginsSeen = [&emulator](int session) {
        return emulator.linesWith(QStringLiteral("session %1 login").arg(session)).size();
    };
    const QString address = KnownExchanges::addressKey(QHostAddress::LocalHost, emulator.port);
    const KnownExchanges known(g_dataDir->path());

    // First use: asked, trusted, pinned, logged in.
    Recorder *rec = nullptr;
    auto link = attempt(g_dataDir->path(), true, &rec);
    QTRY_VERIFY_WITH_TIMEOUT(rec->logged(), 5000);
    QCOMPARE(rec->unknown, QStringList{emulator.fingerprint});
    QCOMPARE(known.fingerprint(address).value_or(QStringLiteral("(unreadable)")), emulator.fingerprint);
    link.reset();

    // Another certificate on the pinned address: refused before anything is sent.
    link = attempt(g_dataDir->path(), true, &rec);
    QTRY_COMPARE_WITH_TIMEOUT(rec->ends(), 1, 5000);
    QCOMPARE(rec->reasons.constFirst(), QString::fromLatin1(PBXLINK::ReasonIdentityChanged));
    QVERIFY(rec->unknown.isEmpty());
    QCOMPARE(rec->changed.size(), 2);
    QCOMPARE(rec->changed.constFirst(), emulator.fingerprint);
    QVERIFY(rec->changed.constLast() != emulator.fingerprint);
    const QString other = rec->changed.constLast();
    QVERIFY(!emulator.waitForLine("session 2 closed").isEmpty());
    QCOMPARE(loginsSeen(2), 0);
    QCOMPARE(known.fingerprint(address).value_or(QStringLiteral("(unreadable)")), emulator.fingerprint);
    link.reset();

    // Elsewhere, "No" ends the attempt quietly and pins nothing; "Si" once is enough.
    QTemporaryDir otherData;
    link = attempt(otherData.path(), false, &rec);
    QTRY_COMPARE_WITH_TIMEOUT(rec->ends(), 1, 5000);
    QCOMPARE(rec->reasons, QStringList{"UserRequest"});
    QCOMPARE(rec->unknown, QStringList{other});
    QVERIFY(KnownExchanges(otherData.path()).fingerprint(address) == QString());
    QVERIFY(!emulator.waitForLine("session 3 closed").isEmpty());
    QCOMPARE(loginsSeen(3), 0);
    for (int session = 4; session <= 5; ++session) {
        link = attempt(otherData.path(), true, &rec);
        QTRY_VERIFY_WITH_TIMEOUT(rec->logged(), 5000);
        QCOMPARE(rec->unknown.size(), session == 4 ? 1 : 0);
    }
}

void tst_PbxLink::wireRevealsNothing()
{
    EmulatorProcess emulator;
    QVERIFY(emulator.start({"--account", "ops@acme:Sup3r-Secret", "--count", "40", "--rate", "0"}));
    Relay relay;
    QVERIFY(relay.listen(emulator.port));
    auto link = makeLink();
    Recorder rec(link.get());
    link->init();
    link->setServerAddress(relay.address());
    link->connectToServer("ops", "Sup3r-Secret", "acme", PBXLINK::AppModeDiagnostic);
    QTRY_COMPARE_WITH_TIMEOUT(rec.messages.size(), 40, 10000);
    link->sendServerCommand({"{c1}", "sip show peers", {}});
    link->getTenantList();
    QTRY_VERIFY(rec.responses.size() == 1 && rec.events.contains("tenants"));
    link->disconnectFromServer();
    QVERIFY(!emulator.waitForLine("closed: logout").isEmpty());

    // A TLS handshake record opens the capture; nothing readable follows.
    const QByteArray wire = relay.captured;
    QVERIFY(wire.size() > 4000);
    QCOMPARE(wire.left(2), QByteArray("\x16\x03"));
    QStringList secrets{"Sup3r-Secret", "acme", "scram", "n,,n=", "c=biws", "login", "Client Key",
                        rec.responses.constFirst().output.mid(40, 40), rec.tenants.value(kTenantA)};
    for (const DiagnosticMessage &m : qAsConst(rec.messages))
        secrets << m.message.left(24) << m.linkedId;
    for (const QString &secret : qAsConst(secrets)) {
        // Four bytes at least, or chance alone could put them in the cipher text.
        if (secret.size() >= 4)
            QVERIFY2(!wire.contains(secret.toUtf8()), qPrintable(secret));
    }
}

QTEST_GUILESS_MAIN(tst_PbxLink)
#include "tst_pbxlink.moc"
