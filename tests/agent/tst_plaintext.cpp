// What the agent leaves of a peer's text, at the edges of its eight-character
// scan and of the ranges it replaces.
#include "plaintext.h"

#include <QtTest>

class TestPlainText : public QObject
{
    Q_OBJECT

private slots:
    void clean_data();
    void clean();
};

void TestPlainText::clean_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("cleaned");

    const QChar r(PlainText::Replacement);
    QTest::newRow("ESC last of the first eight") << QStringLiteral("abcdefg\x1b") << QStringLiteral("abcdefg") + r;
    QTest::newRow("ESC first of the second eight")
        << QStringLiteral("abcdefgh\x1b[0m") << QStringLiteral("abcdefgh") + r + QStringLiteral("[0m");
    QTest::newRow("BEL in the tail after whole blocks")
        << QString(16, QLatin1Char('a')) + QStringLiteral("x\x07") << QString(16, QLatin1Char('a')) + QStringLiteral("x") + r;
    QTest::newRow("NUL") << QString(QChar(0)) + QStringLiteral("abc") << r + QStringLiteral("abc");
    QTest::newRow("C1 between Latin-1 letters")
        << QString::fromUtf8("\xc3\xa9\xc2\x9b\xc3\xbf") << QString(QChar(0xe9)) + r + QChar(0xff);
    QTest::newRow("bidirectional range edges")
        << QString::fromUtf16(u"\u2029\u202a\u202e\u202f\u2065\u2066\u2069\u206a")
        << QString::fromUtf16(u"\u2029") + r + r + QString::fromUtf16(u"\u202f\u2065") + r + r
               + QString::fromUtf16(u"\u206a");
    // Right-to-left names and other scripts keep what they need.
    const QString letters = QString::fromUtf16(u"caf\u00e9 \u6771\u4eac \u200f\u0645\u0631\u062d\u0628\u0627\u200e\u061c");
    QTest::newRow("letters and directional marks stay") << letters << letters;
    QTest::newRow("tab and line feed stay, a line's carriage return goes")
        << QStringLiteral("a\tb\r\nc\n") << QStringLiteral("a\tb") + r + QStringLiteral("\nc\n");
}

void TestPlainText::clean()
{
    QFETCH(QString, text);
    QFETCH(QString, cleaned);

    QString row = text;
    QCOMPARE(PlainText::clean(&row), text != cleaned);
    QCOMPARE(row, cleaned);
    // A text with nothing to replace is not copied.
    if (text == cleaned)
        QCOMPARE(row.constData(), text.constData());

    // Every member of a row, the extra fields too.
    DiagnosticMessage msg;
    for (QString *member : {&msg.tenantUuid, &msg.linkedId, &msg.uniqueId, &msg.messageId, &msg.timestamp,
                            &msg.verbosity, &msg.message})
        *member = text;
    msg.extraFields = QStringList{text, text};
    PlainText::cleanRow(&msg);
    for (const QString *member : {&msg.tenantUuid, &msg.linkedId, &msg.uniqueId, &msg.messageId, &msg.timestamp,
                                  &msg.verbosity, &msg.message})
        QCOMPARE(*member, cleaned);
    QCOMPARE(msg.extraFields, (QStringList{cleaned, cleaned}));
}

QTEST_APPLESS_MAIN(TestPlainText)
#include "tst_plaintext.moc"
