#include "hepbuilder.h"
#include "hepdecoder.h"

#include <QtTest>

class TestHepDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void frameLength();
};

namespace {

const QByteArray kInvite = "INVITE sip:bob@alpha.test SIP/2.0\r\nCall-ID: abc@host\r\nCSeq: 1 INVITE\r\n\r\n";

// Cut at the end and the total length made to fit again, so that only the
// chunks are inconsistent.
QByteArray chopped(QByteArray packet, int bytes)
{
    packet.chop(bytes);
    packet.replace(4, 2, HepBuilder::be16(quint16(packet.size())));
    return packet;
}

}

void TestHepDecoder::decode_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("source");

    const QByteArray sip = HepBuilder().sip(kInvite).packet();
    QTest::newRow("siptrace IPv4") << sip << int(HepDecoder::NoError) << kInvite << "127.0.0.1";
    QTest::newRow("IPv6") << HepBuilder().sip(kInvite, "::1", 5070, "::1").packet() << int(HepDecoder::NoError)
                          << kInvite << "::1";
    QTest::newRow("vendor and unknown chunks skipped")
        << HepBuilder().chunk(15, "vendor's", 0x0021).chunk(99, "later").sip(kInvite).chunk(13, "").packet()
        << int(HepDecoder::NoError) << kInvite << "127.0.0.1";
    QTest::newRow("compressed") << HepBuilder().addresses("10.0.0.1", 1, "10.0.0.2", 2).u8(11, 1).chunk(16, HepBuilder::zlib(kInvite)).packet()
                                << int(HepDecoder::NoError) << kInvite << "10.0.0.1";

    QTest::newRow("no payload") << HepBuilder().addresses("127.0.0.1", 1, "127.0.0.1", 2).u8(11, 1).packet()
                                << int(HepDecoder::NoPayload) << QByteArray() << QString();
    QTest::newRow("other magic") << QByteArray("EEP2").append(sip.mid(4)) << int(HepDecoder::NotHep3) << QByteArray()
                                 << QString();
    QTest::newRow("header cut") << sip.left(5) << int(HepDecoder::NotHep3) << QByteArray() << QString();
    QTest::newRow("datagram longer") << sip + "x" << int(HepDecoder::LengthMismatch) << QByteArray() << QString();
    QTest::newRow("datagram shorter") << sip.left(sip.size() - 1) << int(HepDecoder::LengthMismatch) << QByteArray()
                                      << QString();
    QTest::newRow("chunk past the end") << chopped(sip, 1) << int(HepDecoder::BadChunk) << QByteArray() << QString();
    QTest::newRow("chunk header cut") << chopped(sip, kInvite.size() + 3) << int(HepDecoder::BadChunk)
                                      << QByteArray() << QString();
    QByteArray shortChunk = sip;
    shortChunk.replace(10, 2, HepBuilder::be16(5));
    QTest::newRow("chunk shorter than its header") << shortChunk << int(HepDecoder::BadChunk) << QByteArray()
                                                   << QString();
    QTest::newRow("IPv4 address of 3 bytes") << HepBuilder().chunk(3, "abc").sip(kInvite).packet()
                                             << int(HepDecoder::BadChunkSize) << QByteArray() << QString();
    QTest::newRow("compressed garbage") << HepBuilder().u8(11, 1).chunk(16, "not zlib").packet()
                                        << int(HepDecoder::BadCompressedPayload) << QByteArray() << QString();
    QTest::newRow("compressed past the bound")
        << HepBuilder().u8(11, 1).chunk(16, HepBuilder::zlib(QByteArray(HepDecoder::MaxInflatedBytes + 1, 'a'))).packet()
        << int(HepDecoder::BadCompressedPayload) << QByteArray() << QString();
}

void TestHepDecoder::decode()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, error);
    QFETCH(QByteArray, payload);
    QFETCH(QString, source);

    HepPacket decoded;
    QCOMPARE(int(HepDecoder::decode(packet.constData(), packet.size(), &decoded)), error);
    if (error != HepDecoder::NoError)
        return;
    QCOMPARE(decoded.payload, payload);
    QCOMPARE(decoded.source.toString(), source);
    QCOMPARE(decoded.protocolType, quint8(HepPacket::Sip));
}

void TestHepDecoder::frameLength()
{
    const QByteArray sip = HepBuilder().sip(kInvite).packet();
    QCOMPARE(HepDecoder::frameLength(sip.constData(), 5), 0);
    QCOMPARE(HepDecoder::frameLength(sip.constData(), 6), sip.size());
    QCOMPARE(HepDecoder::frameLength("HEP2\0\x10", 6), -1);
}

QTEST_APPLESS_MAIN(TestHepDecoder)
#include "tst_hepdecoder.moc"
