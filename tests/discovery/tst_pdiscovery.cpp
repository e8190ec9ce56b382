#include "discoveryresponder.h"
#include "pdiscovery.h"
#include "responderprocess.h"

#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

namespace {
QStringList capturedWarnings;

void captureWarning(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtWarningMsg)
        capturedWarnings << text;
}
}

class tst_PDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void requestsCarryGrowingIds();
    void reply_data();
    void reply();
    void newerIdReplacesSetOlderOrBadIdJoinsIt();
    void idOfUnsentRequestDoesNotStickTheSet();
    void resultSetIsBounded();
    void realResponderProcess();
    void targetSetting_data();
    void targetSetting();

private:
    // Presses once and waits for a change that leaves `expected` records.
    static bool press(PDiscovery &discovery, int expected)
    {
        QSignalSpy changes(&discovery, &PDiscovery::newResultSet);
        discovery.startBroadcasting();
        return QTest::qWaitFor([&] { return !changes.isEmpty() && discovery.getResultSet().size() == expected; },
                               5000);
    }
    QString firstPn(PDiscovery &discovery) { return discovery.getResultSet().constFirst().pn; }

    DiscoveryResponder responder;
};

void tst_PDiscovery::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QVERIFY(responder.listen(QHostAddress::LocalHost));
}

void tst_PDiscovery::init()
{
    responder.setPn(QStringLiteral("M1"));
    responder.setIps({QStringLiteral("127.0.0.2")});
    responder.setReplyCount(1);
    responder.clearCmdIdOverride();
    responder.setRawReply(QByteArray());
}

void tst_PDiscovery::requestsCarryGrowingIds()
{
    responder.setReplyCount(0);
    QSignalSpy requests(&responder, &DiscoveryResponder::requestReceived);
    PDiscovery discovery(nullptr, QHostAddress::LocalHost, responder.localPort());
    for (int i = 0; i < 3; ++i)
        discovery.startBroadcasting();
    QTRY_COMPARE(requests.size(), 3);
    const QByteArray first = requests.at(0).at(1).toByteArray();
    QCOMPARE(first, QByteArray("<PDiscovery><API>4.0</API><CMDID>0</CMDID></PDiscovery>"));
    QCOMPARE(first.size(), 55);
    QCOMPARE(requests.at(1).at(0).toString(), QStringLiteral("1"));
    QCOMPARE(requests.at(2).at(0).toString(), QStringLiteral("2"));
}

void tst_PDiscovery::reply_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("pn");
    QTest::addColumn<QString>("sn");
    QTest::addColumn<QStringList>("ips");

    QTest::newRow("well formed") << QByteArray("<R><CMDID>0</CMDID><PN>m</PN><SN>s</SN><IP>1.1.1.1</IP></R>")
                                 << "m" << "s" << QStringList{"1.1.1.1"};
    QTest::newRow("missing PN") << QByteArray("<SN>s</SN><IP>a</IP>") << "" << "s" << QStringList{"a"};
    QTest::newRow("unclosed PN") << QByteArray("<PN>m<SN>s</SN><IP>a</IP>") << "" << "s" << QStringList{"a"};
    QTest::newRow("second PN") << QByteArray("<PN>m</PN><PN>n</PN>") << "m" << "" << QStringList();
    QTest::newRow("lower-case tag") << QByteArray("<pn>m</pn>") << "" << "" << QStringList();
    QTest::newRow("spaces kept") << QByteArray("<PN> m&amp; </PN>") << " m&amp; " << "" << QStringList();
    QTest::newRow("duplicate IP") << QByteArray("<IP>a</IP><IP>b</IP><IP>a</IP>") << "" << "" << QStringList{"a", "b"};
    QTest::newRow("empty IP") << QByteArray("<IP></IP><IP>b</IP>") << "" << "" << QStringList{"b"};
    QTest::newRow("unclosed IP") << QByteArray("<IP>a<IP>b</IP><IP>c") << "" << "" << QStringList{"b"};
    QTest::newRow("NUL before IP") << QByteArray("<PN>m</PN>\0<IP>a</IP>", 22) << "m" << "" << QStringList();
    QTest::newRow("invalid UTF-8") << QByteArray("<PN>\xff\xfe</PN>") << QString(2, QChar(0xfffd)) << ""
                                   << QStringList();
    QTest::newRow("non-numeric CMDID") << QByteArray("<CMDID>x7</CMDID><IP>a</IP>") << "" << "" << QStringList{"a"};

    QByteArray garbage(4000, Qt::Uninitialized);
    QRandomGenerator rng(42);
    for (char &c : garbage)
        c = char(rng.bounded(1, 256));   // no NUL, so all of it is read
    QTest::newRow("binary garbage") << garbage << "" << "" << QStringList();

    QByteArray manyIps;
    QStringList expectedIps;
    for (int i = 0; manyIps.size() < 65000; ++i) {
        expectedIps << QStringLiteral("10.%1.%2.1").arg(i / 256).arg(i % 256);
        manyIps += "<IP>" + expectedIps.constLast().toLatin1() + "</IP>";
    }
    QTest::newRow("64 KiB of addresses") << manyIps << "" << "" << expectedIps;
    QTest::newRow("64 KiB of unclosed tags") << QByteArray("<PN>") + QByteArray(65000, 'x').replace("xxxx", "<IP>")
                                             << "" << "" << QStringList();
}

void tst_PDiscovery::reply()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, pn);
    QFETCH(QString, sn);
    QFETCH(QStringList, ips);
    responder.setRawReply(datagram);
    PDiscovery discovery(nullptr, QHostAddress::LocalHost, responder.localPort());
    QVERIFY(press(discovery, 1));
    const DiscoveryInfo info = discovery.getResultSet().constFirst();
    QCOMPARE(info.pn, pn);
    QCOMPARE(info.sn, sn);
    QCOMPARE(info.ips, ips);
}

void tst_PDiscovery::newerIdReplacesSetOlderOrBadIdJoinsIt()
{
    PDiscovery discovery(nullptr, QHostAddress::LocalHost, responder.localPort());
    QVERIFY(press(discovery, 1));   // id 0
    responder.setPn(QStringLiteral("M2"));
    QVERIFY(press(discovery, 1));   // id 1 empties the set first
    QCOMPARE(firstPn(discovery), QStringLiteral("M2"));

    int expected = 1;
    for (const char *late : {"0", "abc", ""}) {   // an old id, not a number, empty
        responder.setCmdIdOverride(QString::fromLatin1(late));
        QVERIFY2(press(discovery, ++expected), late);
    }
    QCOMPARE(firstPn(discovery), QStringLiteral("M2"));

    responder.clearCmdIdOverride();
    responder.setPn(QStringLiteral("M3"));
    QVERIFY(press(discovery, 1));
    QCOMPARE(firstPn(discovery), QStringLiteral("M3"));
}

void tst_PDiscovery::idOfUnsentRequestDoesNotStickTheSet()
{
    PDiscovery discovery(nullptr, QHostAddress::LocalHost, responder.localPort());
    responder.setCmdIdOverride(QStringLiteral("2147483647"));
    QVERIFY(press(discovery, 1));
    responder.clearCmdIdOverride();
    QVERIFY(press(discovery, 1));   // id 1 still starts a new set
}

void tst_PDiscovery::resultSetIsBounded()
{
    // Bursts that all join one set, until it is full whatever loopback drops.
    responder.setReplyCount(1024);
    PDiscovery discovery(nullptr, QHostAddress::LocalHost, responder.localPort());
    auto burst = [&] {
        QSignalSpy sent(&responder, &DiscoveryResponder::repliesSent);
        discovery.startBroadcasting();
        responder.setCmdIdOverride(QStringLiteral("0"));
        return sent.wait(10000);
    };
    for (int i = 0; i < 40 && discovery.getResultSet().size() < PDiscovery::MaxResults; ++i)
        QVERIFY(burst());
    QVERIFY(burst());
    QTest::qWait(20);
    QCOMPARE(discovery.getResultSet().size(), PDiscovery::MaxResults);
}

void tst_PDiscovery::realResponderProcess()
{
    ResponderProcess peer;
    const quint16 port = peer.start({"--pn", "PX 1", "--sn", "SN9", "--fw", "4.1", "--bl", "2.0", "--ip", "127.0.0.7",
                                     "--ip", "127.0.0.8", "--reply-count", "2"});
    QVERIFY(port != 0);
    PDiscovery discovery(nullptr, QHostAddress::LocalHost, port);
    QVERIFY(press(discovery, 2));
    const DiscoveryInfo expected{{"127.0.0.7", "127.0.0.8"}, "PX 1", "4.1", "SN9", "2.0"};
    QCOMPARE(discovery.getResultSet(), (QList<DiscoveryInfo>{expected, expected}));
}

void tst_PDiscovery::targetSetting_data()
{
    QTest::addColumn<QString>("text");      // null: the variable is unset
    QTest::addColumn<QString>("address");   // empty: nothing is sent
    QTest::addColumn<int>("port");
    QTest::newRow("unset") << QString() << "255.255.255.255" << 45454;
    QTest::newRow("IPv4") << "127.0.0.1:5000" << "127.0.0.1" << 5000;
    QTest::newRow("IPv6 in brackets") << "[::1]:45454" << "::1" << 45454;
    QTest::newRow("localhost") << "localhost:7" << "127.0.0.1" << 7;
    const QString port = QString::number(responder.localPort());
    for (const QString &bad : {QStringLiteral(""), QStringLiteral(" "), QStringLiteral("127.0.0.1"),
                               QStringLiteral("127.0.0.1:"), QStringLiteral(":") + port, QStringLiteral("127.0.0.1:0"),
                               QStringLiteral("localhost:0"), QStringLiteral("127.0.0.1:65536"),
                               QStringLiteral("127.0.0.1:http"), QStringLiteral("127.0.0.1:") + port + QStringLiteral(" x"),
                               QStringLiteral("::1:") + port, QStringLiteral("pbx.lan:45454"),
                               QStringLiteral("pbx.example:") + port})
        QTest::newRow(qPrintable(QLatin1Char('"') + bad + QLatin1Char('"'))) << bad << "" << 0;
}

void tst_PDiscovery::targetSetting()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(int, port);
    const char *const name = "PLOGGER_DISCOVERY_TARGET";
    const bool wasSet = qEnvironmentVariableIsSet(name);
    const QByteArray previous = qgetenv(name);
    const auto restore = qScopeGuard([&] { wasSet ? qputenv(name, previous) : qunsetenv(name); });
    if (text.isNull())
        qunsetenv(name);
    else
        qputenv(name, text.toLocal8Bit());
    capturedWarnings.clear();
    const QtMessageHandler previousHandler = qInstallMessageHandler(captureWarning);
    const auto restoreHandler = qScopeGuard([&] { qInstallMessageHandler(previousHandler); });

    // Built as the popup in the window builds it.
    PDiscovery discovery(nullptr);
    const PDiscovery::Target target = discovery.target();
    if (!address.isEmpty()) {
        QVERIFY(target.unusable.isEmpty());
        QCOMPARE(target.address, QHostAddress(address));
        QCOMPARE(int(target.port), port);
        return;
    }
    QVERIFY(!target.unusable.isEmpty());
    // Never the broadcast, nor anything else: checked before anything is sent.
    QVERIFY(target.address.isNull());
    QSignalSpy requests(&responder, &DiscoveryResponder::requestReceived);
    discovery.startBroadcasting();
    discovery.startBroadcasting();
    QCOMPARE(capturedWarnings.size(), 1);
    QVERIFY2(capturedWarnings.constFirst().contains(QLatin1String("PLOGGER_DISCOVERY_TARGET")),
             qPrintable(capturedWarnings.constFirst()));
    QVERIFY(!requests.wait(50));
}

QTEST_GUILESS_MAIN(tst_PDiscovery)
#include "tst_pdiscovery.moc"
