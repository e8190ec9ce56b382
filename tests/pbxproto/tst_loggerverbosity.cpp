#include "loggerverbosity.h"

#include <QtTest>

#include <climits>

class tst_LoggerVerbosity : public QObject
{
    Q_OBJECT

private slots:
    void namedLevels_data();
    void namedLevels();
    void everyLevelRoundTrips_data();
    void everyLevelRoundTrips();
    void denseRangeRoundTrips();
    void unreadableTextIsLevelZero_data();
    void unreadableTextIsLevelZero();
};

void tst_LoggerVerbosity::namedLevels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("name");
    QTest::newRow("-1") << -1 << "COMMAND";
    QTest::newRow("0") << 0 << "ERROR";
    QTest::newRow("1") << 1 << "WARNING";
    QTest::newRow("2") << 2 << "NOTICE";
    QTest::newRow("3") << 3 << "VERBOSE";
    QTest::newRow("4") << 4 << "DEBUG";
}

void tst_LoggerVerbosity::namedLevels()
{
    QFETCH(int, level);
    QFETCH(QString, name);
    QCOMPARE(LOGGER::verbosityIntToString(level), name);
    QCOMPARE(LOGGER::verbosityStringToInt(name), level);
}

void tst_LoggerVerbosity::everyLevelRoundTrips_data()
{
    QTest::addColumn<int>("level");
    for (int level : {INT_MIN, INT_MIN + 1, -1000, -3, -2, 5, 6, 10, 255, 65536, INT_MAX - 1, INT_MAX})
        QTest::newRow(qPrintable(QString::number(level))) << level;
}

void tst_LoggerVerbosity::everyLevelRoundTrips()
{
    QFETCH(int, level);
    const QString name = LOGGER::verbosityIntToString(level);
    QCOMPARE(name, QString::number(level));
    QCOMPARE(LOGGER::verbosityStringToInt(name), level);
}

void tst_LoggerVerbosity::denseRangeRoundTrips()
{
    for (int n = -300; n <= 300; ++n)
        QCOMPARE(LOGGER::verbosityStringToInt(LOGGER::verbosityIntToString(n)), n);
}

void tst_LoggerVerbosity::unreadableTextIsLevelZero_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("lower-case name") << "debug";
    QTest::newRow("word") << "verbose-ish";
    QTest::newRow("beyond int") << "2147483648";
    QTest::newRow("below int") << "-2147483649";
    QTest::newRow("decimal fraction") << "3.5";
}

void tst_LoggerVerbosity::unreadableTextIsLevelZero()
{
    QFETCH(QString, text);
    QCOMPARE(LOGGER::verbosityStringToInt(text), 0);
}

QTEST_APPLESS_MAIN(tst_LoggerVerbosity)
#include "tst_loggerverbosity.moc"
