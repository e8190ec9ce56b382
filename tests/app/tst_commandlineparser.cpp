#include "commandlineparser.h"

#include <QtTest>

#include <vector>

namespace {
// The options plogger4 registers, on a fresh copy of the default parser.
CommandLineParser startupParser()
{
    CommandLineParser parser = CommandLineParser::instance();
    parser.addOption(QStringLiteral("s"), QStringLiteral("skip-updates"), false, true);
    parser.addOption(QStringLiteral("r"), QStringLiteral("updates-server"), true, true);
    parser.addOption(QStringLiteral("t"), QStringLiteral("updates-key"), true, true);
    return parser;
}

bool parseArgs(CommandLineParser &parser, const QStringList &args)
{
    std::vector<QByteArray> storage;
    storage.push_back("plogger4");
    for (const QString &arg : args)
        storage.push_back(arg.toUtf8());
    std::vector<const char *> argv;
    for (const QByteArray &a : storage)
        argv.push_back(a.constData());
    return parser.parse(int(argv.size()), argv.data());
}
}

class tst_CommandLineParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void errorSurvivesLaterSuccess();
    void reparseClearsEarlierResults();
    void copiesShareOptions();
    void onlyFirstMissingMandatoryReported();
    void defaultInstanceHasNoOptions();
};

void tst_CommandLineParser::parse_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("set");        // names that must be set
    QTest::addColumn<QString>("serverValue");    // value of "r", "<invalid>" when none

    const QString none = QStringLiteral("<invalid>");
    QTest::newRow("no arguments") << QStringList() << true << QString() << QStringList() << none;
    for (const char *form : {"-s", "--s", "-skip-updates", "--skip-updates"})
        QTest::newRow(form) << QStringList{form} << true << QString()
                            << QStringList{"s", "skip-updates"} << none;
    QTest::newRow("bare word") << QStringList{"notes.txt"} << false
                               << "Unknown Token on cmdline: notes.txt" << QStringList() << none;
    QTest::newRow("unknown name") << QStringList{"--bogus"} << false << "Unknown Parameter: bogus"
                                  << QStringList() << none;
    QTest::newRow("prefix only, short") << QStringList{"-"} << false << "Unknown Parameter: "
                                        << QStringList() << none;
    QTest::newRow("prefix only, long") << QStringList{"--"} << false << "Unknown Parameter: "
                                       << QStringList() << none;
    QTest::newRow("three dashes") << QStringList{"---s"} << false << "Unknown Parameter: -s"
                                  << QStringList() << none;
    QTest::newRow("name=value is one name") << QStringList{"--updates-server=x"} << false
                                            << "Unknown Parameter: updates-server=x" << QStringList() << none;
    QTest::newRow("case matters") << QStringList{"-S"} << false << "Unknown Parameter: S"
                                  << QStringList() << none;
    QTest::newRow("same option twice by both names") << QStringList{"-s", "-skip-updates"} << false
                                                     << "Parameter already parsed: skip-updates"
                                                     << QStringList{"s"} << none;
    QTest::newRow("value taken") << QStringList{"-r", "http://127.0.0.1:8080/u"} << true << QString()
                                 << QStringList{"r", "updates-server"} << "http://127.0.0.1:8080/u";
    QTest::newRow("value as last argument is empty") << QStringList{"--updates-server"} << true << QString()
                                                     << QStringList{"r"} << "";
    QTest::newRow("next option becomes the value") << QStringList{"-r", "-s"} << true << QString()
                                                   << QStringList{"r"} << "-s";
    QTest::newRow("value then skip") << QStringList{"--updates-server", "http://x", "-s"} << true << QString()
                                     << QStringList{"r", "s"} << "http://x";
    QTest::newRow("non-ASCII value") << QStringList{"-t", QString::fromUtf8("chiave\xc3\xa8")} << true
                                     << QString() << QStringList{"t"} << none;
}

void tst_CommandLineParser::parse()
{
    QFETCH(QStringList, args);
    QFETCH(bool, ok);
    QFETCH(QString, error);
    QFETCH(QStringList, set);
    QFETCH(QString, serverValue);

    CommandLineParser parser = startupParser();
    QCOMPARE(parseArgs(parser, args), ok);
    QCOMPARE(parser.errorString(), error);
    for (const QString &name : set)
        QVERIFY2(parser.isSet(name), qPrintable(name));
    const QVariant value = parser.value(QStringLiteral("r"));
    QCOMPARE(value.isValid() ? value.toString() : QStringLiteral("<invalid>"), serverValue);
    if (ok && !set.contains(QStringLiteral("s")))
        QVERIFY(!parser.isSet(QStringLiteral("skip-updates")));
}

void tst_CommandLineParser::errorSurvivesLaterSuccess()
{
    CommandLineParser parser = startupParser();
    QVERIFY(!parseArgs(parser, {"--bogus"}));
    QVERIFY(parseArgs(parser, {"-s"}));
    QCOMPARE(parser.errorString(), QStringLiteral("Unknown Parameter: bogus"));
}

void tst_CommandLineParser::reparseClearsEarlierResults()
{
    CommandLineParser parser = startupParser();
    QVERIFY(parseArgs(parser, {"-s", "-r", "http://a"}));
    QVERIFY(parseArgs(parser, {}));
    QVERIFY(!parser.isSet(QStringLiteral("s")));
    QVERIFY(!parser.value(QStringLiteral("updates-server")).isValid());
}

void tst_CommandLineParser::copiesShareOptions()
{
    CommandLineParser parser = startupParser();
    CommandLineParser copy = parser;
    QVERIFY(parseArgs(copy, {"-r", "http://a"}));
    // The option entries are shared, so the value is visible through both copies...
    QVERIFY(!parser.isSet(QStringLiteral("r")));  // ...but the parsed list is the copy's own.
    QVERIFY(parseArgs(parser, {"-t", "k"}));
    QVERIFY(!copy.value(QStringLiteral("r")).isValid());
}

void tst_CommandLineParser::onlyFirstMissingMandatoryReported()
{
    CommandLineParser parser;
    parser.addOption(QStringLiteral("a"), QStringLiteral("alpha"), false, false);
    parser.addOption(QStringLiteral("b"), QStringLiteral("beta"), true, false);
    QVERIFY(!parseArgs(parser, {}));
    QCOMPARE(parser.errorString(), QStringLiteral("Missing mandatory parameter: (a|alpha)"));
    QVERIFY(!parseArgs(parser, {"--alpha"}));
    QCOMPARE(parser.errorString(), QStringLiteral("Missing mandatory parameter: (b|beta)"));
    QVERIFY(parseArgs(parser, {"-b", "x", "-a"}));
}

void tst_CommandLineParser::defaultInstanceHasNoOptions()
{
    CommandLineParser parser = CommandLineParser::instance();
    QVERIFY(!parseArgs(parser, {"-s"}));
    QCOMPARE(parser.errorString(), QStringLiteral("Unknown Parameter: s"));
}

QTEST_APPLESS_MAIN(tst_CommandLineParser)
#include "tst_commandlineparser.moc"
