#include "pbxlinkglobal.h"
#include "pbxlinksession.h"

#include <QtTest>

class tst_PbxLinkGlobal : public QObject
{
    Q_OBJECT

private slots:
    void compareVersions_data();
    void compareVersions();
    void serverAddress_data();
    void serverAddress();
};

void tst_PbxLinkGlobal::compareVersions_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("sign");
    QTest::newRow("equal") << "4.2" << "4.2" << 0;
    QTest::newRow("numeric, not textual") << "4.10" << "4.2" << 1;
    QTest::newRow("older minor") << "4.1" << "4.2" << -1;
    QTest::newRow("missing component is 0") << "4.2" << "4.2.0" << 0;
    QTest::newRow("extra component") << "4.2.1" << "4.2" << 1;
    QTest::newRow("older major, more components") << "3.99.99" << "4" << -1;
    QTest::newRow("suffix ignored") << "4.2-rc1" << "4.2" << 0;
    QTest::newRow("empty is oldest") << "" << "4.2" << -1;
    QTest::newRow("both empty") << "" << "" << 0;
    QTest::newRow("garbage reads as 0") << "abc" << "0" << 0;
    QTest::newRow("garbage component") << "4.x" << "4.0" << 0;
    QTest::newRow("empty component") << "4..2" << "4.0.2" << 0;
    QTest::newRow("leading zeros") << "04.002" << "4.2" << 0;
    QTest::newRow("huge component saturates, no wrap") << "99999999999999999999999" << "1" << 1;
    QTest::newRow("negative sign is no digit") << "-5" << "0" << 0;
}

void tst_PbxLinkGlobal::compareVersions()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, sign);
    const int ab = PBXLINK::compareVersions(a, b);
    const int ba = PBXLINK::compareVersions(b, a);
    QCOMPARE((ab > 0) - (ab < 0), sign);
    QCOMPARE((ba > 0) - (ba < 0), -sign);
}

void tst_PbxLinkGlobal::serverAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");  // empty: refused, nothing is sent
    QTest::addColumn<int>("port");
    QTest::newRow("IPv4 and port") << "192.0.2.1:6000" << "192.0.2.1" << 6000;
    QTest::newRow("leading zeros are decimal") << "192.168.010.020" << "192.168.10.20" << 5039;
    QTest::newRow("three parts") << "127.0.010:5039" << "" << 0;
    QTest::newRow("three parts, no port") << "10.010.1" << "" << 0;
    QTest::newRow("one part") << "1:5039" << "" << 0;
    QTest::newRow("hex part") << "0x7f.0.0.1" << "" << 0;
    QTest::newRow("four-digit part") << "0127.0.0.1" << "" << 0;
    QTest::newRow("IPv6 in brackets") << "[::1]:6000" << "::1" << 6000;
    // All address: a last group that looks like a port is part of it.
    QTest::newRow("bare IPv6") << "::1:5039" << "::1:5039" << 5039;
    QTest::newRow("bare IPv6 and what no group can be") << "::1:40000" << "" << 0;
    QTest::newRow("host name") << "pbx.example:5039" << "" << 0;
}

void tst_PbxLinkGlobal::serverAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QHostAddress address;
    quint16 parsedPort = 0;
    QCOMPARE(PbxLinkSession::parseHostAndPort(text, &address, &parsedPort), !host.isEmpty());
    if (host.isEmpty())
        return;
    QCOMPARE(address, QHostAddress(host));
    QCOMPARE(int(parsedPort), port);
}

QTEST_APPLESS_MAIN(tst_PbxLinkGlobal)
#include "tst_pbxlinkglobal.moc"
