#include "discoveryresponder.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

class tst_DiscoveryResponder : public QObject
{
    Q_OBJECT

private slots:
    void answersOnlyRequests_data();
    void answersOnlyRequests();
    void fewRepliesOffLoopback();
};

void tst_DiscoveryResponder::answersOnlyRequests_data()
{
    QTest::addColumn<QByteArray>("datagram");
    // Answering another responder's reply would start an endless exchange.
    QTest::newRow("a reply") << QByteArray("<PDiscovery><CMDID>1</CMDID><PN>x</PN></PDiscovery>");
    QTest::newRow("unclosed CMDID") << QByteArray("<PDiscovery><API>4.0</API><CMDID>1");
    QTest::newRow("garbage") << QByteArray("\x01\x02\xff<CMDID>1</CMDID>");
    QTest::newRow("empty") << QByteArray();
    // The id is echoed: markup in it would add to the reply.
    QTest::newRow("markup in CMDID") << QByteArray("<PDiscovery><API>4.0</API><CMDID>1</CMDID><IP>10.6.6.6</IP>"
                                                   "</CMDID></PDiscovery>").replace("1</CMDID><IP>", "1<IP>");
    QTest::newRow("CMDID over 64") << QByteArray("<PDiscovery><API>4.0</API><CMDID>" + QByteArray(65, '7')
                                                 + "</CMDID></PDiscovery>");
}

void tst_DiscoveryResponder::answersOnlyRequests()
{
    QFETCH(QByteArray, datagram);
    DiscoveryResponder responder;
    responder.setPn(QStringLiteral("P"));
    responder.setIps({QStringLiteral("127.0.0.9"), QStringLiteral("127.0.0.10")});
    QVERIFY(responder.listen(QHostAddress::LocalHost));
    QSignalSpy requests(&responder, &DiscoveryResponder::requestReceived);
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    client.writeDatagram(datagram, QHostAddress::LocalHost, responder.localPort());
    client.writeDatagram("<PDiscovery><API>4.0</API><CMDID>-5</CMDID></PDiscovery>", QHostAddress::LocalHost,
                         responder.localPort());

    QTRY_VERIFY(client.hasPendingDatagrams());
    QByteArray reply(int(client.pendingDatagramSize()), Qt::Uninitialized);
    client.readDatagram(reply.data(), reply.size());
    QCOMPARE(reply, QByteArray("<PDiscovery><CMDID>-5</CMDID><PN>P</PN><SN></SN><FW></FW><BL></BL>"
                               "<IP>127.0.0.9</IP><IP>127.0.0.10</IP></PDiscovery>"));
    QTest::qWait(20);
    QVERIFY(!client.hasPendingDatagrams());
    QCOMPARE(requests.size(), 1);
}

void tst_DiscoveryResponder::fewRepliesOffLoopback()
{
    // Listening beyond loopback; the request and the replies still stay on it.
    DiscoveryResponder responder;
    responder.setReplyCount(1000);
    QVERIFY(responder.listen(QHostAddress::AnyIPv4));
    QSignalSpy sent(&responder, &DiscoveryResponder::repliesSent);
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    client.writeDatagram("<PDiscovery><API>4.0</API><CMDID>1</CMDID></PDiscovery>", QHostAddress::LocalHost,
                         responder.localPort());
    QVERIFY(sent.wait());
    int replies = 0;
    while (client.hasPendingDatagrams()) {
        client.receiveDatagram();
        ++replies;
    }
    QCOMPARE(replies, DiscoveryResponder::MaxRepliesOffLoopback);
}

QTEST_GUILESS_MAIN(tst_DiscoveryResponder)
#include "tst_discoveryresponder.moc"
