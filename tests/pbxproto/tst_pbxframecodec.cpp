#include "pbxframecodec.h"

#include <QJsonObject>
#include <QtTest>

class tst_PbxFrameCodec : public QObject
{
    Q_OBJECT

private slots:
    void badLineIsSkippedAndStreamResumes_data();
    void badLineIsSkippedAndStreamResumes();
    void roundTripKeepsAnyText_data();
    void roundTripKeepsAnyText();
    void framesSplitAnywhere();
    void blankLinesAndCarriageReturns();
    void sizeLimitBoundary();
    void oversizedTailStopsBufferingEarly();
    void frameOfExactlyTheDefaultLimit();
    void encodeRefusesOversizedObject();
};

void tst_PbxFrameCodec::badLineIsSkippedAndStreamResumes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("truncated JSON") << QByteArray("{\"type\":\"log\",\"message\":");
    QTest::newRow("array") << QByteArray("[1,2,3]");
    QTest::newRow("number") << QByteArray("42");
    QTest::newRow("string") << QByteArray("\"hello\"");
    QTest::newRow("plain text") << QByteArray("HELLO EXCHANGE");
    QTest::newRow("whitespace only") << QByteArray(" \t ");
    QTest::newRow("NUL byte") << QByteArray("{\"type\":\"a\0b\"}", 14);
    QTest::newRow("invalid UTF-8") << QByteArray("{\"type\":\"\xff\xfe\"}");
    QTest::newRow("trailing garbage") << QByteArray("{\"type\":\"x\"} trailing");
    QTest::newRow("two objects") << QByteArray("{}{}");
    QTest::newRow("deep nesting") << QByteArray(5000, '[');
    QTest::newRow("deep object nesting") << QByteArray("{\"a\":").repeated(3000);
}

void tst_PbxFrameCodec::badLineIsSkippedAndStreamResumes()
{
    QFETCH(QByteArray, line);
    PbxFrameCodec codec;
    QVERIFY(codec.feed(line + "\n{\"type\":\"after\"}\n"));

    QJsonObject frame;
    QString error;
    QCOMPARE(codec.next(&frame, &error), PbxFrameCodec::Result::BadFrame);
    QVERIFY(!error.isEmpty());
    QCOMPARE(codec.next(&frame, &error), PbxFrameCodec::Result::Frame);
    QCOMPARE(frame.value(QLatin1String("type")).toString(), QStringLiteral("after"));
    QCOMPARE(codec.next(&frame, &error), PbxFrameCodec::Result::NeedMore);
}

void tst_PbxFrameCodec::roundTripKeepsAnyText_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("line feeds") << QStringLiteral("INVITE sip:1@h SIP/2.0\nVia: x\n\nbody\n");
    QTest::newRow("tabs and CR") << QStringLiteral("a\tb\r\nc");
    QTest::newRow("accents") << QStringLiteral("Zoë Nicolò Łucja");
    QTest::newRow("astral plane") << QString::fromUtf8("call \xF0\x9F\x93\x9E end");
    QTest::newRow("NUL character") << QString::fromUtf16(u"a\u0000b", 3);
    QTest::newRow("quotes and backslashes") << QStringLiteral("\"\\\"}\\n{");
    QTest::newRow("empty") << QString();
}

void tst_PbxFrameCodec::roundTripKeepsAnyText()
{
    QFETCH(QString, text);
    const QByteArray line = PbxFrameCodec::encode(QJsonObject{{QStringLiteral("message"), text}});
    QVERIFY(line.endsWith('\n'));
    QCOMPARE(line.count('\n'), 1);

    PbxFrameCodec codec;
    QVERIFY(codec.feed(line));
    QJsonObject frame;
    QCOMPARE(codec.next(&frame), PbxFrameCodec::Result::Frame);
    QCOMPARE(frame.value(QLatin1String("message")).toString(), text);
}

void tst_PbxFrameCodec::framesSplitAnywhere()
{
    QByteArray stream;
    for (int i = 0; i < 20; ++i)
        stream += PbxFrameCodec::encode(QJsonObject{{QStringLiteral("n"), i}, {QStringLiteral("s"), QStringLiteral("Zoë\n")}});

    // Byte by byte, then in uneven chunks: the frames come out whole and in order.
    for (int chunk : {1, 7, 64, stream.size()}) {
        PbxFrameCodec codec;
        int expected = 0;
        for (int pos = 0; pos < stream.size(); pos += chunk) {
            QVERIFY(codec.feed(stream.mid(pos, chunk)));
            QJsonObject frame;
            while (codec.next(&frame) == PbxFrameCodec::Result::Frame)
                QCOMPARE(frame.value(QLatin1String("n")).toInt(), expected++);
        }
        QCOMPARE(expected, 20);
        QCOMPARE(codec.bufferedBytes(), 0);
    }
}

void tst_PbxFrameCodec::blankLinesAndCarriageReturns()
{
    PbxFrameCodec codec;
    QVERIFY(codec.feed("\n\r\n{\"a\":1}\r\n\n{\"a\":2}\n"));
    QJsonObject frame;
    QCOMPARE(codec.next(&frame), PbxFrameCodec::Result::Frame);
    QCOMPARE(frame.value(QLatin1String("a")).toInt(), 1);
    QCOMPARE(codec.next(&frame), PbxFrameCodec::Result::Frame);
    QCOMPARE(frame.value(QLatin1String("a")).toInt(), 2);
    QCOMPARE(codec.next(&frame), PbxFrameCodec::Result::NeedMore);
}

void tst_PbxFrameCodec::sizeLimitBoundary()
{
    const int limit = 64;
    auto lineOf = [](int size) {
        QByteArray line = "{\"p\":\"";
        line += QByteArray(size - line.size() - 2, 'x');
        line += "\"}";
        return line;
    };
    {
        PbxFrameCodec codec(limit);
        QVERIFY(codec.feed(lineOf(limit) + '\n'));
        QCOMPARE(codec.next(nullptr), PbxFrameCodec::Result::Frame);
    }
    {
        // Complete but too long, arriving together with a good frame.
        PbxFrameCodec codec(limit);
        codec.feed("{}\n" + lineOf(limit + 1) + "\n{}\n");
        QCOMPARE(codec.next(nullptr), PbxFrameCodec::Result::Frame);
        QString error;
        QCOMPARE(codec.next(nullptr, &error), PbxFrameCodec::Result::Overflow);
        QVERIFY(error.contains(QString::number(limit)));
        QCOMPARE(codec.next(nullptr), PbxFrameCodec::Result::Overflow);
    }
    {
        // Too long and still unterminated: refused before its end arrives.
        PbxFrameCodec codec(limit);
        QVERIFY(codec.feed(QByteArray(limit, 'x')));
        QVERIFY(!codec.feed("y"));
        QVERIFY(codec.hasOverflowed());
        QVERIFY(!codec.feed("\n{}\n"));
        QCOMPARE(codec.next(nullptr), PbxFrameCodec::Result::Overflow);
        QCOMPARE(codec.bufferedBytes(), 0);
    }
}

void tst_PbxFrameCodec::oversizedTailStopsBufferingEarly()
{
    PbxFrameCodec codec;
    const QByteArray chunk(64 * 1024, 'x');
    const QByteArray prefix = "{\"type\":\"log\",\"message\":\"";
    QVERIFY(codec.feed(prefix));
    int fed = 0;
    while (codec.feed(chunk)) {
        QVERIFY(codec.bufferedBytes() <= PbxFrameCodec::DefaultMaxFrameSize);
        QVERIFY2(++fed < 200, "the oversized frame was never refused");
    }
    // Refused by the chunk that crosses the limit, not later.
    QCOMPARE(fed, (PbxFrameCodec::DefaultMaxFrameSize - prefix.size()) / chunk.size());
    QCOMPARE(codec.next(nullptr), PbxFrameCodec::Result::Overflow);
}

void tst_PbxFrameCodec::frameOfExactlyTheDefaultLimit()
{
    const QByteArray prefix = "{\"type\":\"log\",\"message\":\"";
    QByteArray line = prefix;
    line += QByteArray(PbxFrameCodec::DefaultMaxFrameSize - prefix.size() - 2, 'x');
    line += "\"}";
    QCOMPARE(line.size(), PbxFrameCodec::DefaultMaxFrameSize);

    PbxFrameCodec codec;
    QVERIFY(codec.feed(line + '\n'));
    QJsonObject frame;
    QCOMPARE(codec.next(&frame), PbxFrameCodec::Result::Frame);
    QCOMPARE(frame.value(QLatin1String("message")).toString().size(),
             PbxFrameCodec::DefaultMaxFrameSize - prefix.size() - 2);
}

void tst_PbxFrameCodec::encodeRefusesOversizedObject()
{
    const QJsonObject big{{QStringLiteral("p"), QString(100, QLatin1Char('x'))}};
    QVERIFY(PbxFrameCodec::encode(big, 50).isEmpty());
    QVERIFY(!PbxFrameCodec::encode(big, 200).isEmpty());
}

QTEST_APPLESS_MAIN(tst_PbxFrameCodec)
#include "tst_pbxframecodec.moc"
