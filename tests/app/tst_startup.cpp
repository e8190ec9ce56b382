#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Runs the real plogger4 binary the way an administrator would.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void badCommandLine_data();
    void badCommandLine();

private:
    QProcessEnvironment environment() const;
    QTemporaryDir m_home;
};

void tst_Startup::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(QFileInfo::exists(QStringLiteral(PLOGGER4_BINARY)));
}

QProcessEnvironment tst_Startup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The single-instance segment is keyed by a file in the temp directory:
    // a private one keeps this test apart from any other plogger4.
    env.insert(QStringLiteral("TMPDIR"), m_home.path());
    return env;
}

void tst_Startup::badCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("file name") << QStringList{"notes.txt"} << "Unknown Token on cmdline: notes.txt";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unknown Parameter: bogus";
    QTest::newRow("skip twice") << QStringList{"-s", "-skip-updates"} << "Parameter already parsed: skip-updates";
}

void tst_Startup::badCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);

    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral(PLOGGER4_BINARY), args);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 100);
    const QString log = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(log.contains(QStringLiteral("Failed to start Peltrano Logger 4 : ") + message), qPrintable(log));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
