#include "hepbuilder.h"
#include "hepreceiver.h"
#include "pbxprotocol.h"

#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

class TestHepReceiver : public QObject
{
    Q_OBJECT

private slots:
    void receive_data();
    void receive();
    void refusesHostNames();
    void countsWhatTheSystemDropped();
    void idleConnectionsGiveWay();
};

namespace {

const QString kAlpha = QStringLiteral("11111111-1111-1111-1111-111111111111");

QByteArray sip(const QByteArray &startLine, const QByteArray &auth = QByteArray(), const QByteArray &callId = "c1@host")
{
    HepBuilder b;
    if (!auth.isNull())
        b.chunk(14, auth);
    return b.sip(startLine + "\r\nFrom: <sip:alice@alpha.test>;tag=1\r\nTo: <sip:bob@alpha.test>\r\n"
                             "Call-ID: " + callId + "\r\nCSeq: 1 INVITE\r\n\r\n")
        .packet();
}

}

void TestHepReceiver::receive_data()
{
    QTest::addColumn<bool>("tcp");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<QStringList>("records"); // "linkedId level tenant"
    QTest::addColumn<QString>("stats");

    const QByteArray invite = sip("INVITE sip:bob@alpha.test SIP/2.0");
    const QByteArray notFound = sip("SIP/2.0 404 Not Found");
    const QByteArray log = HepBuilder().log("NOTICE: no such user", "c1@host").packet();
    const QStringList call{"c1@host 4 " + kAlpha, "c1@host 2 " + kAlpha, "c1@host 2 " + kAlpha};
    const QByteArray broken = invite.left(invite.size() - 1);

    QTest::newRow("UDP") << false << QByteArray() << QList<QByteArray>{invite, notFound, log} << call
                         << "hep sip=2 log=1 other=0 dropped=0 unauthenticated=0";
    QTest::newRow("TCP") << true << QByteArray() << QList<QByteArray>{invite, notFound, log} << call
                         << "hep sip=2 log=1 other=0 dropped=0 unauthenticated=0";
    QTest::newRow("broken datagram") << false << QByteArray() << QList<QByteArray>{broken, invite}
                                     << QStringList{call[0]}
                                     << "hep sip=1 log=0 other=0 dropped=1 unauthenticated=0 (length-mismatch=1)";
    QTest::newRow("stream ends at what is no HEP")
        << true << QByteArray() << QList<QByteArray>{invite, "HTTP/1.1 200 OK\r\n\r\n", notFound}
        << QStringList{call[0]} << "hep sip=1 log=0 other=0 dropped=1 unauthenticated=0 (not-hep3=1)";
    QTest::newRow("capture password")
        << false << QByteArray("secret")
        << QList<QByteArray>{sip("INVITE sip:bob@alpha.test SIP/2.0", "secret"), sip("SIP/2.0 404 Not Found", "wrong"), notFound}
        << QStringList{call[0]} << "hep sip=1 log=0 other=0 dropped=0 unauthenticated=2";
    // Never inflated: the key is wrong, so the garbage is not even found out.
    QTest::newRow("compressed garbage with a wrong password")
        << false << QByteArray("secret")
        << QList<QByteArray>{HepBuilder().chunk(14, "wrong").u8(11, 1).chunk(16, "not zlib").packet(), invite}
        << QStringList() << "hep sip=0 log=0 other=0 dropped=0 unauthenticated=2";
    QTest::newRow("two payload chunks")
        << false << QByteArray() << QList<QByteArray>{HepBuilder().sip("INVITE sip:bob@alpha.test SIP/2.0\r\n\r\n")
                                                          .chunk(15, "INVITE sip:eve@alpha.test SIP/2.0\r\n\r\n")
                                                          .packet(),
                                                      invite}
        << QStringList{call[0]} << "hep sip=1 log=0 other=0 dropped=1 unauthenticated=0 (two-payloads=1)";
    const QByteArray longId = QByteArray(300, 'x') + "@host";
    const QString cutId = QString(PbxProtocol::MaxLogMemberLength, QLatin1Char('x')) + QStringLiteral("...");
    QTest::newRow("long Call-ID")
        << false << QByteArray()
        << QList<QByteArray>{sip("INVITE sip:bob@alpha.test SIP/2.0", QByteArray(), longId),
                             HepBuilder().log("NOTICE: no such user", longId).packet()}
        << QStringList{cutId + " 4 " + kAlpha, cutId + " 2 " + kAlpha} << "hep sip=1 log=1 other=0 dropped=0 unauthenticated=0";
    QTest::newRow("other protocol type")
        << false << QByteArray() << QList<QByteArray>{HepBuilder().u8(11, 5).chunk(15, "rtcp").packet()} << QStringList()
        << "hep sip=0 log=0 other=1 dropped=0 unauthenticated=0";
}

void TestHepReceiver::receive()
{
    QFETCH(bool, tcp);
    QFETCH(QByteArray, password);
    QFETCH(QList<QByteArray>, packets);
    QFETCH(QStringList, records);
    QFETCH(QString, stats);

    HepReceiver receiver;
    receiver.setPassword(password);
    receiver.setTenantDomains({{QStringLiteral("alpha.test"), kAlpha}});
    QString error;
    QVERIFY2(receiver.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));
    QStringList received;
    connect(&receiver, &HepReceiver::recordsReady, this, [&](const QVector<DiagnosticMessage> &batch) {
        for (const DiagnosticMessage &m : batch)
            received << QStringLiteral("%1 %2 %3").arg(m.linkedId, m.verbosity, m.tenantUuid);
    });

    QUdpSocket udp;
    QTcpSocket stream;
    if (tcp) {
        stream.connectToHost(QHostAddress::LocalHost, receiver.port());
        QVERIFY(stream.waitForConnected(5000));
        // One write, so the packets arrive cut anywhere the stack likes.
        QByteArray all;
        for (const QByteArray &p : packets)
            all += p;
        stream.write(all);
    } else {
        for (const QByteArray &p : packets)
            udp.writeDatagram(p, QHostAddress::LocalHost, receiver.port());
    }
    const HepCounters &c = receiver.counters();
    const quint64 expected = tcp && stats.contains(QLatin1String("not-hep3")) ? 2 : quint64(packets.size());
    QTRY_COMPARE(c.sip + c.log + c.other + c.dropped + c.unauthenticated, expected);
    QCOMPARE(received, records);
    QCOMPARE(receiver.statsText(), stats);
}

void TestHepReceiver::refusesHostNames()
{
    HepReceiver receiver;
    QString error;
    QVERIFY(!receiver.listen(QStringLiteral("capture.example:9060"), &error));
    QVERIFY(error.contains(QLatin1String("capture.example:9060")));
}

void TestHepReceiver::countsWhatTheSystemDropped()
{
    HepReceiver receiver;
    QString error;
    QVERIFY2(receiver.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));
    // More than the largest buffer it can have (twice its 8 MiB), sent
    // before it reads any.
    QUdpSocket udp;
    const QByteArray large(60000, 'x');
    for (int i = 0; i < 600; ++i)
        udp.writeDatagram(large, QHostAddress::LocalHost, receiver.port());
    // The count comes with a datagram queued after the drops.
    const QByteArray invite = sip("INVITE sip:bob@alpha.test SIP/2.0");
    QVERIFY(QTest::qWaitFor([&] {
        udp.writeDatagram(invite, QHostAddress::LocalHost, receiver.port());
        return receiver.counters().overflowed > 0;
    }));
    const HepCounters &c = receiver.counters();
    QCOMPARE(receiver.statsText(), QStringLiteral("hep sip=%1 log=0 other=0 dropped=%2 unauthenticated=0 overflowed=%3 (not-hep3=%2)")
                                       .arg(c.sip)
                                       .arg(c.dropped)
                                       .arg(c.overflowed));
}

// Anyone on the host may connect from any of 127.0.0.0/8.
void TestHepReceiver::idleConnectionsGiveWay()
{
    HepReceiver receiver;
    QString error;
    QVERIFY2(receiver.listen(QStringLiteral("127.0.0.1:0"), &error), qPrintable(error));
    const QByteArray invite = sip("INVITE sip:bob@alpha.test SIP/2.0");
    const quint64 &passed = receiver.counters().sip;
    QObject sockets;
    const auto connectFrom = [&](int host) {
        auto *socket = new QTcpSocket(&sockets);
        socket->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(host)));
        socket->connectToHost(QHostAddress::LocalHost, receiver.port());
        return socket;
    };
    // The capture agent, then silent connections, each from an address of
    // its own, in every other place.
    QTcpSocket *agent = connectFrom(1);
    agent->write(invite);
    QTRY_COMPARE(passed, quint64(1));
    QVector<QTcpSocket *> silent;
    for (int i = 1; i < HepReceiver::MaxConnections; ++i) {
        silent << connectFrom(i + 1);
        // In groups that fit the listen backlog, or a connection waits a
        // second for its SYN to be sent again.
        if (i % 32 == 0)
            QTRY_COMPARE(receiver.connectionCount(), i + 1);
    }
    QTRY_COMPARE(receiver.connectionCount(), HepReceiver::MaxConnections);

    // A newcomer takes a silent one's place.
    connectFrom(200)->write(invite);
    QTRY_COMPARE(passed, quint64(2));
    QTRY_COMPARE(std::count_if(silent.cbegin(), silent.cend(),
                               [](QTcpSocket *s) { return s->state() == QAbstractSocket::UnconnectedState; }),
                 1);
    // Once every place works, a newcomer is refused.
    for (QTcpSocket *socket : qAsConst(silent)) {
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->write(invite);
    }
    const quint64 sent = 2 + silent.size() - 1;
    QTRY_COMPARE(passed, sent);
    QTcpSocket *refused = connectFrom(201);
    refused->write(invite);
    QTRY_COMPARE(refused->state(), QAbstractSocket::UnconnectedState);
    agent->write(invite);
    QTRY_COMPARE(passed, sent + 1);
}

QTEST_MAIN(TestHepReceiver)
#include "tst_hepreceiver.moc"
