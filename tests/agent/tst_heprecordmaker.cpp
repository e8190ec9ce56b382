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

    const QByteArray invite = "INVITE sip:bob@alpha.test SIP/2.0\r\nCall-ID: c1@host\r\nCSeq: 1 INVITE\r\n\r\nv=0\r\n";
    QTest::newRow("request") << HepBuilder().sip(invite).packet() << "c1@host" << "c1@host;1 INVITE" << 4
                             << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nINVITE sip:bob@alpha.test SIP/2.0";
    QTest::newRow("compact Call-ID, IPv6")
        << HepBuilder().sip("BYE sip:a@[::1]:5070 SIP/2.0\r\ni: c2\r\nCSeq:  7 BYE \r\n\r\n", "::1", 5060, "::1", 5070).packet()
        << "c2" << "c2;7 BYE" << 4 << "SIP from [::1]:5060 to [::1]:5070 (UDP)\nBYE sip:a@[::1]:5070 SIP/2.0";
    QTest::newRow("180") << HepBuilder().sip(answer("180 Ringing")).packet() << "c1@host" << "c1@host;1 INVITE" << 4
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 180 Ringing";
    QTest::newRow("302") << HepBuilder().sip(answer("302 Moved")).packet() << "c1@host" << "c1@host;1 INVITE" << 4
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 302 Moved";
    QTest::newRow("404") << HepBuilder().sip(answer("404 Not Found")).packet() << "c1@host" << "c1@host;1 INVITE" << 2
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 404 Not Found";
    QTest::newRow("503") << HepBuilder().sip(answer("503 Unavailable")).packet() << "c1@host" << "c1@host;1 INVITE" << 1
                         << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 503 Unavailable";
    QTest::newRow("603, CSeq without method")
        << HepBuilder().sip(answer("603 Decline", "CSeq: 1")).packet() << "c1@host" << "" << 1
        << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nSIP/2.0 603 Decline";
    QTest::newRow("not SIP") << HepBuilder().sip("hello").packet() << "" << "" << 4
                             << "SIP from 127.0.0.1:5070 to 127.0.0.1:5060 (UDP)\nhello";

    QTest::newRow("log with level word") << HepBuilder().log("ERROR: no route\n", "c1@host").packet() << "c1@host"
                                         << "c1@host" << 0 << "ERROR: no route";
    QTest::newRow("log naming a transaction") << HepBuilder().log("relayed CSeq: 3 INVITE", "c1@host").packet()
                                              << "c1@host" << "c1@host;3 INVITE" << 2 << "relayed CSeq: 3 INVITE";
    QTest::newRow("log without level word") << HepBuilder().log("INFOrmed", "c1@host").packet() << "c1@host"
                                            << "c1@host" << 2 << "INFOrmed";
}

void TestHepRecordMaker::make()
{
    QFETCH(QByteArray, packet);
    QFETCH(QString, linkedId);
    QFETCH(QString, uniqueId);
    QFETCH(int, level);
    QFETCH(QString, firstLines);

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
