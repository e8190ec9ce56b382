#include "simplexmlparser.h"

#include <QSignalSpy>
#include <QtTest>

class tst_SimpleXmlParser : public QObject
{
    Q_OBJECT
private slots:
    void cutsDocuments_data();
    void cutsDocuments();
    void everyByteApart();
    void bufferOverflowKeepsBuffer();
    void notifyModes_data();
    void notifyModes();
    void manyDocumentsInOnePiece();
    void slotFeedsMoreWhileDelivering();
    void largeDocumentInSmallPieces();
    void getTagValue_data();
    void getTagValue();
    void findTagReportsPositions();
};

static const QString Doc = QStringLiteral("<ZTUPFW><API>1.0</API><FileName>a.zip</FileName></ZTUPFW>");

void tst_SimpleXmlParser::cutsDocuments_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<int>("malformed");

    QTest::newRow("cut inside both tags") << QStringList{Doc.left(4), Doc.mid(4, Doc.size() - 7), Doc.right(3)}
                                          << QStringList{Doc} << 0;
    QTest::newRow("two documents in one piece") << QStringList{Doc + Doc} << QStringList{Doc, Doc} << 0;
    QTest::newRow("stray line before the document")
        << QStringList{QStringLiteral("HTTP junk\n") + Doc} << QStringList{Doc} << 0;
    QTest::newRow("stray closing tag before the document")
        << QStringList{QStringLiteral("abc</ZTUPFW>") + Doc.left(20), Doc.mid(20)} << QStringList{Doc} << 1;
    QTest::newRow("two stray closing tags")
        << QStringList{QStringLiteral("</ZTUPFW>x</ZTUPFW>") + Doc} << QStringList{Doc} << 1;
    QTest::newRow("closing tag with no opening tag") << QStringList{QStringLiteral("a</ZTUPFW>b")} << QStringList{}
                                                     << 0;
    QTest::newRow("opening tag with attribute")
        << QStringList{QStringLiteral("<ZTUPFW v=\"1\"><API>1.0</API></ZTUPFW>")} << QStringList{} << 0;
    QTest::newRow("other case") << QStringList{QStringLiteral("<ztupfw></ztupfw>")} << QStringList{} << 0;
    QTest::newRow("truncated document") << QStringList{Doc.left(Doc.size() - 1)} << QStringList{} << 0;
    QTest::newRow("garbage") << QStringList{QStringLiteral("<<<>>></></ZTUPF<ZTUPFW"), QStringLiteral("\x01\xff>")}
                             << QStringList{} << 0;
    QTest::newRow("empty pieces") << QStringList{QString(), Doc, QString()} << QStringList{Doc} << 0;
    QTest::newRow("empty document") << QStringList{QStringLiteral("<ZTUPFW></ZTUPFW>")}
                                    << QStringList{QStringLiteral("<ZTUPFW></ZTUPFW>")} << 0;
}

void tst_SimpleXmlParser::cutsDocuments()
{
    QFETCH(QStringList, pieces);
    QFETCH(QStringList, messages);
    QFETCH(int, malformed);

    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    QSignalSpy completed(&parser, &SimpleXmlParser::messageCompleted);
    QSignalSpy errors(&parser, &SimpleXmlParser::parseErrorFound);
    for (const QString &piece : pieces)
        parser.parse(piece);

    QStringList got;
    while (parser.hasMessages())
        got << parser.takeMessage();
    QCOMPARE(got, messages);
    QCOMPARE(completed.count(), messages.size());
    QCOMPARE(errors.count(), malformed);
    for (const auto &e : errors)
        QCOMPARE(e.at(0).value<SimpleXmlParser::ParseErrorEnumType>(), SimpleXmlParser::MalformedMessage);
    QCOMPARE(parser.takeMessage(), QString());
}

void tst_SimpleXmlParser::everyByteApart()
{
    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    QSignalSpy completed(&parser, &SimpleXmlParser::messageCompleted);
    const QString stream = QStringLiteral("noise") + Doc + QStringLiteral("\r\n") + Doc;
    for (const QChar c : stream)
        parser.parse(QString(c));
    QCOMPARE(completed.count(), 2);
    QCOMPARE(parser.takeMessage(), Doc);
    QCOMPARE(parser.takeMessage(), Doc);
}

void tst_SimpleXmlParser::bufferOverflowKeepsBuffer()
{
    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    parser.setMaxBufferSize(10);
    QSignalSpy errors(&parser, &SimpleXmlParser::parseErrorFound);
    parser.parse(QStringLiteral("<ZTUPFW>abc")); // 11 characters: within limit when added
    QCOMPARE(errors.count(), 0);
    parser.parse(QStringLiteral("</ZTUPFW>"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).value<SimpleXmlParser::ParseErrorEnumType>(), SimpleXmlParser::BufferOverflow);
    QVERIFY(!parser.hasMessages());
    parser.parse(QString());
    QCOMPARE(errors.count(), 2);
}

void tst_SimpleXmlParser::notifyModes_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("queued");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("QueueAndNotify") << int(SimpleXmlParser::QueueAndNotify) << true << QStringList{"completed"};
    QTest::newRow("QueueAndDeliver") << int(SimpleXmlParser::QueueAndDeliver) << true << QStringList{"parsed"};
    QTest::newRow("DeliverOnly") << int(SimpleXmlParser::DeliverOnly) << false << QStringList{"parsed"};
    QTest::newRow("QueueNotifyAndDeliver")
        << int(SimpleXmlParser::QueueNotifyAndDeliver) << true << QStringList{"completed", "parsed"};
}

void tst_SimpleXmlParser::notifyModes()
{
    QFETCH(int, mode);
    QFETCH(bool, queued);
    QFETCH(QStringList, order);

    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    parser.setNotifyMode(SimpleXmlParser::NotifyModeEnumType(mode));
    QStringList seen;
    QString delivered;
    // A slot may take the message at once: the queue is not locked then.
    connect(&parser, &SimpleXmlParser::messageCompleted, this, [&] {
        seen << "completed";
        QVERIFY(parser.hasMessages());
    });
    connect(&parser, &SimpleXmlParser::parsedMessage, this, [&](const QString &m) {
        seen << "parsed";
        delivered = m;
    });
    parser.parse(Doc);
    QCOMPARE(seen, order);
    QCOMPARE(parser.hasMessages(), queued);
    if (order.contains("parsed"))
        QCOMPARE(delivered, Doc);
}

void tst_SimpleXmlParser::manyDocumentsInOnePiece()
{
    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    QSignalSpy completed(&parser, &SimpleXmlParser::messageCompleted);
    const int count = 200000;
    parser.parse(QStringLiteral("<ZTUPFW></ZTUPFW>").repeated(count));
    QCOMPARE(completed.count(), count);
}

void tst_SimpleXmlParser::slotFeedsMoreWhileDelivering()
{
    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    parser.setNotifyMode(SimpleXmlParser::DeliverOnly);
    QStringList got;
    connect(&parser, &SimpleXmlParser::parsedMessage, this, [&](const QString &m) {
        got << m;
        if (got.size() == 1)
            parser.parse(QStringLiteral("</ZTUPFW><ZTUPFW>3</ZTUPFW>"));
    });
    parser.parse(QStringLiteral("<ZTUPFW>1</ZTUPFW><ZTUPFW>2"));
    QCOMPARE(got, (QStringList{"<ZTUPFW>1</ZTUPFW>", "<ZTUPFW>2</ZTUPFW>", "<ZTUPFW>3</ZTUPFW>"}));
}

void tst_SimpleXmlParser::largeDocumentInSmallPieces()
{
    SimpleXmlParser parser;
    parser.setRootTag(QStringLiteral("ZTUPFW"));
    QSignalSpy completed(&parser, &SimpleXmlParser::messageCompleted);
    const QString filler(16 * 1024, QLatin1Char('x'));
    parser.parse(QStringLiteral("<ZTUPFW><Data>"));
    for (int i = 0; i < 1024; ++i) // 16 M characters
        parser.parse(filler);
    parser.parse(QStringLiteral("</Data></ZTUPFW>"));
    QCOMPARE(completed.count(), 1);
    QCOMPARE(parser.takeMessage().size(), 16 * 1024 * 1024 + 30);
}

void tst_SimpleXmlParser::getTagValue_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("value");

    const QString doc = QStringLiteral("<ZTUPFW><FileName>a.zip</FileName></ZTUPFW>");
    QTest::newRow("bare name") << doc << "FileName" << "a.zip";
    QTest::newRow("name with brackets") << doc << "<FileName>" << "a.zip";
    QTest::newRow("absent") << doc << "URL" << "";
    QTest::newRow("self-closing with space") << "<a><FileName /></a>" << "FileName" << "";
    QTest::newRow("self-closing without space") << "<a><FileName/></a>" << "FileName" << "";
    QTest::newRow("attribute and spaces") << "<FileName kind=\"x\">  a b  </FileName>" << "FileName"
                                          << "  a b  ";
    QTest::newRow("first occurrence wins") << "<N>1</N><N>2</N>" << "N" << "1";
    QTest::newRow("longer name not mistaken") << "<FileNameX>no</FileNameX><FileName>yes</FileName>"
                                              << "FileName" << "yes";
    QTest::newRow("entities kept") << "<U>a&amp;b</U>" << "U" << "a&amp;b";
    QTest::newRow("nested ends at first close") << "<N><N>x</N></N>" << "N" << "<N>x";
    QTest::newRow("no closing tag") << "<N>x" << "N" << "";
    QTest::newRow("closing tag inside opening tag") << "<N </N>" << "N" << "";
    QTest::newRow("empty element") << "<N></N>" << "N" << "";
    QTest::newRow("invalid pattern in name") << "<a(>x</a(>" << "a(" << "";
    QTest::newRow("empty document") << "" << "N" << "";
}

void tst_SimpleXmlParser::getTagValue()
{
    QFETCH(QString, xml);
    QFETCH(QString, tag);
    QFETCH(QString, value);
    QCOMPARE(SimpleXmlParser::getTagValue(xml, tag, 0), value);
}

void tst_SimpleXmlParser::findTagReportsPositions()
{
    int open = -2;
    int end = -2;
    QVERIFY(!SimpleXmlParser::findTag(QStringLiteral("xx<N a>v</N>"), QStringLiteral("N"), 0, &open, &end));
    QCOMPARE(open, 2);
    QCOMPARE(end, 6);
    QVERIFY(SimpleXmlParser::findTag(QStringLiteral("<N a/>"), QStringLiteral("N"), 0, &open, &end));
    QCOMPARE(end, 4);
    QVERIFY(!SimpleXmlParser::findTag(QStringLiteral("<N>a</N>"), QStringLiteral("N"), 1, &open, &end));
    QCOMPARE(open, -1);
}

QTEST_APPLESS_MAIN(tst_SimpleXmlParser)
#include "tst_simplexmlparser.moc"
