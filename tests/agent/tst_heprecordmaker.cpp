#include "hepbuilder.h"
#include "hepdecoder.h"
#include "heprecordmaker.h"

#include <QtTest>

class TestHepRecordMaker : public QObject
{
    Q_OBJECT

private slots:
    void make_data();
    void make();
    void longMessageIsCut();
};

namespace {

QByteArray answer(const char *status, const char *cseq = "CSeq: 1 INVITE")
{
    return QByteArray("SIP/2.0 ") + status + "\r\nVia: SIP/2.0/UDP 127.0.0.1:5070\r\nCall-ID: c1@host\r\n" + cseq
        + "\r\nContent-Length: 0\r\n\r\n";
}

}

void TestHepRecordMaker::make_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QString>("linkedId");
    QTest::addColumn<QString>("uniqueId");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("firstLines");
    QTest::addColumn<QStringList>("extra");

    // The ladder's fields: the route, then what the message says, then the time.
    const auto ladder = [](const QStringList &said, const char *src = "127.0.0.1:5070",
                           const char *dst = "127.0.0.1:5060") {
        return QStringList{QStringLiteral("sip.src=") + src, QStringLiteral("sip.dst=") + dst,
                           QStringLiteral("sip.proto=UDP")}
            + said + QStringList{QStringLiteral("sip.time=1700000000.123456")};
    };
    const QStringList invite1{"sip.method=INVITE", "sip.cseq=1 INVITE"};

    const QByteArray invite = "INVITE sip:bob@alpha.test SIP/2.0\r\nCall-ID: c1@host\r\nCSeq: 1 INVITE\r\n\r\nv=0\r\n";
    QTest::newRow("request") << HepBuilder().sip(invite).packet() << "c1@host" << "c1@host;1 INVITE" << 4
                             << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nINVITE sip:bob@alpha.test SIP/2.0" << ladder(invite1);
    QTest::newRow("compact Call-ID, IPv6")
        << HepBuilder().sip("BYE sip:a@[::1]:5070 SIP/2.0\r\ni: c2\r\nCSeq:  7 BYE \r\n\r\n", "::1", 5060, "::1", 5070).packet()
        << "c2" << "c2;7 BYE" << 4 << "SIP from [::1]:5060 to [::1]:5070 (UDP)\nBYE sip:a@[::1]:5070 SIP/2.0"
        << ladder({"sip.method=BYE", "sip.cseq=7 BYE"}, "[::1]:5060", "[::1]:5070");
    QTest::newRow("180") << HepBuilder().sip(answer("180 Ringing")).packet() << "c1@host" << "c1@host;1 INVITE" << 4
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 180 Ringing"
                         << ladder({"sip.status=180", "sip.reason=Ringing", "sip.cseq=1 INVITE"});
    QTest::newRow("302") << HepBuilder().sip(answer("302 Moved")).packet() << "c1@host" << "c1@host;1 INVITE" << 4
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 302 Moved"
                         << ladder({"sip.status=302", "sip.reason=Moved", "sip.cseq=1 INVITE"});
    QTest::newRow("404") << HepBuilder().sip(answer("404 Not Found")).packet() << "c1@host" << "c1@host;1 INVITE" << 2
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 404 Not Found"
                         << ladder({"sip.status=404", "sip.reason=Not Found", "sip.cseq=1 INVITE"});
    QTest::newRow("503") << HepBuilder().sip(answer("503 Unavailable")).packet() << "c1@host" << "c1@host;1 INVITE" << 1
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 503 Unavailable"
                         << ladder({"sip.status=503", "sip.reason=Unavailable", "sip.cseq=1 INVITE"});
    QTest::newRow("603, CSeq without method")
        << HepBuilder().sip(answer("603 Decline", "CSeq: 1")).packet() << "c1@host" << "" << 1
        << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 603 Decline"
        << ladder({"sip.status=603", "sip.reason=Decline"});
    QTest::newRow("not SIP") << HepBuilder().sip("hello").packet() << "" << "" << 4
                             << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nhello" << ladder({});
    QTest::newRow("From, To, top Via's branch and transport")
        << HepBuilder()
               .sip("SIP/2.0 200 OK\r\nVia: SIP/2.0/tls h;branch=z9hG4bK.a1;rport, SIP/2.0/UDP g;branch=z2\r\n"
                    "v: SIP/2.0/UDP f;branch=z3\r\nFrom: \"Al\" <sip:al@a.test>;tag=9\r\nt: sip:bob@b.test;tag=2\r\n"
                    "Call-ID: c3\r\nCSeq: 2 BYE\r\n\r\n")
               .packet()
        << "c3" << "c3;2 BYE" << 4 << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 200 OK"
        << QStringList{"sip.src=127.0.0.1:5070", "sip.dst=127.0.0.1:5060", "sip.proto=TLS", "sip.status=200",
                       "sip.reason=OK", "sip.cseq=2 BYE", "sip.from=sip:al@a.test", "sip.to=sip:bob@b.test",
                       "sip.branch=z9hG4bK.a1", "sip.time=1700000000.123456"};

    QTest::newRow("log with level word") << HepBuilder().log("ERROR: no route\n", "c1@host").packet() << "c1@host"
                                         << "c1@host" << 0 << "ERROR: no route" << QStringList();
    QTest::newRow("log naming a transaction") << HepBuilder().log("relayed CSeq: 3 INVITE", "c1@host").packet()
                                              << "c1@host" << "c1@host;3 INVITE" << 2 << "relayed CSeq: 3 INVITE" << QStringList();
    QTest::newRow("log without level word") << HepBuilder().log("INFOrmed", "c1@host").packet() << "c1@host"
                                            << "c1@host" << 2 << "INFOrmed" << QStringList();
}

void TestHepRecordMaker::make()
{
    QFETCH(QByteArray, packet);
    QFETCH(QString, linkedId);
    QFETCH(QString, uniqueId);
    QFETCH(int, level);
    QFETCH(QString, firstLines);
    QFETCH(QStringList, extra);

    HepPacket decoded;
    QCOMPARE(int(HepDecoder::decode(packet.constData(), packet.size(), &decoded)), int(HepDecoder::NoError));
    HepRecordMaker maker;
    DiagnosticMessage record;
    SipSummary sip;
    QVERIFY(maker.make(decoded, &record, &sip));
    QCOMPARE(record.linkedId, linkedId);
    QCOMPARE(record.uniqueId, uniqueId);
    QCOMPARE(record.verbosity, QString::number(level));
    QVERIFY2(record.message.startsWith(firstLines), qPrintable(record.message));
    QVERIFY(!record.message.contains(QLatin1Char('\r')));
    QCOMPARE(record.extraFields, extra);
    QCOMPARE(record.timestamp,
             QDateTime::fromSecsSinceEpoch(1700000000).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                 + (decoded.microseconds ? QStringLiteral(".123") : QStringLiteral(".000")));
}

void TestHepRecordMaker::longMessageIsCut()
{
    HepPacket packet;
    packet.protocolType = HepPacket::Log;
    packet.payload = QByteArray(HepRecordMaker::MaxMessageBytes - 1, 'a') + "\xc3\xa9" + "tail";
    HepRecordMaker maker;
    DiagnosticMessage record;
    SipSummary sip;
    QVERIFY(maker.make(packet, &record, &sip));
    QCOMPARE(record.message, QString(HepRecordMaker::MaxMessageBytes - 1, QLatin1Char('a')) + QStringLiteral("..."));
}

QTEST_APPLESS_MAIN(TestHepRecordMaker)
#include "tst_heprecordmaker.moc"
