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
    QTest::addColumn<QByteArray>("password");  // the capture password asked for

    const QByteArray sip = HepBuilder().sip(kInvite).packet();
    QTest::newRow("siptrace IPv4") << sip << int(HepDecoder::NoError) << kInvite << "127.0.0.1" << QByteArray();
    QTest::newRow("IPv6") << HepBuilder().sip(kInvite, "::1", 5070, "::1").packet() << int(HepDecoder::NoError)
                          << kInvite << "::1" << QByteArray();
    QTest::newRow("vendor and unknown chunks skipped")
        << HepBuilder().chunk(15, "vendor's", 0x0021).chunk(99, "later").sip(kInvite).chunk(13, "").packet()
        << int(HepDecoder::NoError) << kInvite << "127.0.0.1" << QByteArray();
    QTest::newRow("compressed") << HepBuilder().addresses("10.0.0.1", 1, "10.0.0.2", 2).u8(11, 1).chunk(16, HepBuilder::zlib(kInvite)).packet()
                                << int(HepDecoder::NoError) << kInvite << "10.0.0.1" << QByteArray();

    QTest::newRow("no payload") << HepBuilder().addresses("127.0.0.1", 1, "127.0.0.1", 2).u8(11, 1).packet()
                                << int(HepDecoder::NoPayload) << QByteArray() << QString() << QByteArray();
    QTest::newRow("other magic") << QByteArray("EEP2").append(sip.mid(4)) << int(HepDecoder::NotHep3) << QByteArray()
                                 << QString() << QByteArray();
    QTest::newRow("header cut") << sip.left(5) << int(HepDecoder::NotHep3) << QByteArray() << QString() << QByteArray();
    QTest::newRow("datagram longer") << sip + "x" << int(HepDecoder::LengthMismatch) << QByteArray() << QString() << QByteArray();
    QTest::newRow("datagram shorter") << sip.left(sip.size() - 1) << int(HepDecoder::LengthMismatch) << QByteArray()
                                      << QString() << QByteArray();
    QTest::newRow("chunk past the end") << chopped(sip, 1) << int(HepDecoder::BadChunk) << QByteArray() << QString() << QByteArray();
    QTest::newRow("chunk header cut") << chopped(sip, kInvite.size() + 3) << int(HepDecoder::BadChunk)
                                      << QByteArray() << QString() << QByteArray();
    QByteArray shortChunk = sip;
    shortChunk.replace(10, 2, HepBuilder::be16(5));
    QTest::newRow("chunk shorter than its header") << shortChunk << int(HepDecoder::BadChunk) << QByteArray()
                                                   << QString() << QByteArray();
    QTest::newRow("IPv4 address of 3 bytes") << HepBuilder().chunk(3, "abc").sip(kInvite).packet()
                                             << int(HepDecoder::BadChunkSize) << QByteArray() << QString() << QByteArray();
    QTest::newRow("compressed garbage") << HepBuilder().u8(11, 1).chunk(16, "not zlib").packet()
                                        << int(HepDecoder::BadCompressedPayload) << QByteArray() << QString() << QByteArray();
    QTest::newRow("inflates past 64 KiB")
        << HepBuilder().u8(11, 1).chunk(16, HepBuilder::zlib(QByteArray(64 * 1024 + 1, 'a'))).packet()
        << int(HepDecoder::BadCompressedPayload) << QByteArray() << QString() << QByteArray();

    // Inflating costs the agent far more than it costs a sender: a stranger's
    // packet must never get that far.
    const QByteArray compressedGarbage = HepBuilder().u8(11, 1).chunk(16, "not zlib").packet();
    QTest::newRow("compressed payload with a wrong password is never inflated")
        << HepBuilder().chunk(14, "guess").u8(11, 1).chunk(16, "not zlib").packet() << int(HepDecoder::Unauthenticated)
        << QByteArray() << QString() << QByteArray("capture-secret");
    QTest::newRow("compressed payload without a password is never inflated")
        << compressedGarbage << int(HepDecoder::Unauthenticated) << QByteArray() << QString()
        << QByteArray("capture-secret");
    QTest::newRow("password chunk after the compressed payload")
        << HepBuilder().addresses("10.0.0.1", 1, "10.0.0.2", 2).u8(11, 1).chunk(16, HepBuilder::zlib(kInvite))
               .chunk(14, "capture-secret").packet()
        << int(HepDecoder::NoError) << kInvite << "10.0.0.1" << QByteArray("capture-secret");
    QTest::newRow("password longer than the one asked for")
        << HepBuilder().chunk(14, "capture-secret!").sip(kInvite).packet() << int(HepDecoder::Unauthenticated)
        << QByteArray() << QString() << QByteArray("capture-secret");
    QTest::newRow("two payload chunks") << HepBuilder().sip(kInvite).chunk(15, kInvite).packet()
                                        << int(HepDecoder::TwoPayloads) << QByteArray() << QString() << QByteArray();
    QTest::newRow("a payload and a compressed one")
        << HepBuilder().sip(kInvite).chunk(16, HepBuilder::zlib(kInvite)).packet() << int(HepDecoder::TwoPayloads)
        << QByteArray() << QString() << QByteArray();
    QTest::newRow("two compressed payloads")
        << HepBuilder().u8(11, 1).chunk(16, HepBuilder::zlib(kInvite)).chunk(16, HepBuilder::zlib(kInvite)).packet()
        << int(HepDecoder::TwoPayloads) << QByteArray() << QString() << QByteArray();
    const QByteArray largest(64 * 1024, 'a');
    QTest::newRow("inflates to just 64 KiB")
        << HepBuilder().addresses("10.0.0.1", 1, "10.0.0.2", 2).u8(11, 1).chunk(16, HepBuilder::zlib(largest)).packet()
        << int(HepDecoder::NoError) << largest << "10.0.0.1" << QByteArray();
}

void TestHepDecoder::decode()
{
    QFETCH(QByteArray, packet);
    QFETCH(int, error);
    QFETCH(QByteArray, payload);
    QFETCH(QString, source);
    QFETCH(QByteArray, password);

    HepPacket decoded;
    QCOMPARE(int(HepDecoder::decode(packet.constData(), packet.size(), &decoded, password)), error);
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
