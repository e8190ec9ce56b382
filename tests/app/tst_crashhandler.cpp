#include "leftoveripc.h"
#include "crashhandler.h"
#include "probeclient.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <signal.h>

class tst_CrashHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void formatReportPath_data();
    void formatReportPath();
    void formatReportPathTooLong();
    void reportPathPrefix_data();
    void reportPathPrefix();
    void crashWritesReportAndFreesGuard_data();
    void crashWritesReportAndFreesGuard();
    void crashesInOneMinuteLeaveOneReport();
    void programCrashWritesReport();

private:
    QString uniqueKey();
    QDir reportDir() const;
    // Crashes a fresh probe with command; returns false if it did not die by
    // expectedSignal.
    bool crashProbe(const QString &key, const QByteArray &command, int expectedSignal);

    QTemporaryDir m_dir;
    int m_keys = 0;
};

void tst_CrashHandler::initTestCase()
{
    QVERIFY(m_dir.isValid());
    ProbeClient::isolate(m_dir);
}

void tst_CrashHandler::cleanupTestCase()
{
    removeLeftoverIpc(m_dir.filePath(QStringLiteral("run/PLOGGER4")));
}

QString tst_CrashHandler::uniqueKey()
{
    return QStringLiteral("TST_CRASH_%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_keys);
}

QDir tst_CrashHandler::reportDir() const
{
    // The probe names itself like the program, with no organisation.
    return QDir(m_dir.filePath(QStringLiteral("data/PLOGGER4")));
}

bool tst_CrashHandler::crashProbe(const QString &key, const QByteArray &command, int expectedSignal)
{
    auto probe = ProbeClient::start(key);
    if (!ProbeClient::waitReady(*probe))
        return false;
    if (!ProbeClient::finish(*probe, command))
        return false;
    return probe->exitStatus() == QProcess::CrashExit && probe->exitCode() == expectedSignal;
}

void tst_CrashHandler::formatReportPath_data()
{
    QTest::addColumn<QDateTime>("local");

    QTest::newRow("epoch") << QDateTime(QDate(1970, 1, 1), QTime(0, 0), Qt::UTC);
    QTest::newRow("last second before epoch") << QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59), Qt::UTC);
    QTest::newRow("leap day 2000") << QDateTime(QDate(2000, 2, 29), QTime(12, 34, 56), Qt::UTC);
    QTest::newRow("century without leap day") << QDateTime(QDate(2100, 3, 1), QTime(0, 0, 1), Qt::UTC);
    QTest::newRow("leap day end 2024") << QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59), Qt::UTC);
    QTest::newRow("new year's eve") << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 0), Qt::UTC);
    QTest::newRow("beyond 32-bit time") << QDateTime(QDate(2040, 6, 15), QTime(8, 5, 30), Qt::UTC);
    QTest::newRow("single digits") << QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
}

void tst_CrashHandler::formatReportPath()
{
    QFETCH(QDateTime, local);
    char out[128];
    QVERIFY(CrashHandler::formatReportPath(out, sizeof out, "/d/plogger4", local.toSecsSinceEpoch()));
    QCOMPARE(QString::fromLatin1(out),
             QStringLiteral("/d/plogger4") + local.toString(QStringLiteral("-yyyy_MM_dd_hh_mm")) + QStringLiteral(".dmp"));
}

void tst_CrashHandler::formatReportPathTooLong()
{
    const char prefix[] = "/d/plogger4";
    // Room for prefix, "-2026_12_06_13_20.dmp" and the terminating zero.
    char out[sizeof prefix + 21];
    const qint64 when = QDateTime(QDate(2026, 12, 6), QTime(13, 20), Qt::UTC).toSecsSinceEpoch();
    QVERIFY(CrashHandler::formatReportPath(out, sizeof out, prefix, when));
    // One byte short: nothing rather than a cut-off name.
    QVERIFY(!CrashHandler::formatReportPath(out, sizeof out - 1, prefix, when));
    QCOMPARE(out[0], '\0');
}

void tst_CrashHandler::reportPathPrefix_data()
{
    QTest::addColumn<QString>("dataDir");
    QTest::addColumn<QByteArray>("prefix");

    QTest::newRow("data directory") << QStringLiteral("/home/u/.local/share/PLOGGER4/") << QByteArray("/home/u/.local/share/PLOGGER4/plogger4");
    QTest::newRow("no data directory: relative") << QString() << QByteArray("plogger4");
}

void tst_CrashHandler::reportPathPrefix()
{
    QFETCH(QString, dataDir);
    QFETCH(QByteArray, prefix);
    QCOMPARE(CrashHandler::reportPathPrefix(dataDir), prefix);
}

void tst_CrashHandler::crashWritesReportAndFreesGuard_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QByteArray>("signalLine");

    QTest::newRow("segmentation fault") << QByteArray("segv") << int(SIGSEGV) << QByteArray("signal: 11 (SIGSEGV)\n");
    QTest::newRow("fault on another thread") << QByteArray("segv-thread") << int(SIGSEGV) << QByteArray("signal: 11 (SIGSEGV)\n");
    QTest::newRow("abort") << QByteArray("abort") << int(SIGABRT) << QByteArray("signal: 6 (SIGABRT)\n");
    // The C library aborts from inside the allocator: the handler must not need it.
    QTest::newRow("double free") << QByteArray("double-free") << int(SIGABRT) << QByteArray("signal: 6 (SIGABRT)\n");
    QTest::newRow("stack overflow on a worker thread") << QByteArray("overflow-thread") << int(SIGSEGV)
                                                       << QByteArray("signal: 11 (SIGSEGV)\n");
}

void tst_CrashHandler::crashWritesReportAndFreesGuard()
{
    QFETCH(QByteArray, command);
    QFETCH(int, signalNumber);
    QFETCH(QByteArray, signalLine);
#if defined(__SANITIZE_ADDRESS__)
    if (command == "double-free" || command == "overflow-thread")
        QSKIP("the sanitizer reports this fault itself before the handler sees it");
#endif

    const QString key = uniqueKey();
    QDir dir = reportDir();
    for (const QString &old : dir.entryList(QDir::Files))
        QVERIFY(dir.remove(old));

    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(crashProbe(key, command, signalNumber));
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList reports = dir.entryList(QDir::Files);
    QCOMPARE(reports.size(), 1);
    const QString name = reports.first();
    const QString pattern = QStringLiteral("-yyyy_MM_dd_hh_mm");
    QVERIFY2(name == QStringLiteral("plogger4") + before.toString(pattern) + QStringLiteral(".dmp")
                 || name == QStringLiteral("plogger4") + after.toString(pattern) + QStringLiteral(".dmp"),
             qPrintable(name));

    QFile file(dir.filePath(name));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray report = file.readAll();
    QVERIFY2(report.contains(signalLine), report.left(400).constData());
    if (command.startsWith("segv"))
        QVERIFY(report.contains("address: 0x10\n"));
    QVERIFY(QRegularExpression(QStringLiteral("\nthread: [1-9][0-9]*\n")).match(QString::fromLatin1(report)).hasMatch());

    const int backtrace = report.indexOf("\nbacktrace:\n");
    const int maps = report.indexOf("\nmaps:\n");
    QVERIFY(backtrace > 0 && maps > backtrace);
    const QByteArray frames = report.mid(backtrace, maps - backtrace);
    QVERIFY2(frames.contains("singleton-probe"), frames.constData());
    // The probe's own code mapped executable, so that the frames can be resolved.
    const QRegularExpression codeMapping(QStringLiteral("\n[0-9a-f]+-[0-9a-f]+ r-xp .*singleton-probe\n"));
    QVERIFY(codeMapping.match(QString::fromLatin1(report.mid(maps))).hasMatch());

    // The guard was given up: the next start finds a fresh segment, at once.
    auto next = ProbeClient::start(key);
    QVERIFY(ProbeClient::waitReady(*next, 5000));
    QVERIFY(ProbeClient::finish(*next, "quit"));
    const QByteArray log = next->readAllStandardError();
    QVERIFY2(log.contains("Read pid: 0\n"), log.constData());
}

void tst_CrashHandler::crashesInOneMinuteLeaveOneReport()
{
    QDir dir = reportDir();
    const QString pattern = QStringLiteral("-yyyy_MM_dd_hh_mm");
    // Retried once, should the two crashes straddle a minute.
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (const QString &old : dir.entryList(QDir::Files))
            QVERIFY(dir.remove(old));
        const QString before = QDateTime::currentDateTime().toString(pattern);
        QVERIFY(crashProbe(uniqueKey(), "segv", SIGSEGV));
        QVERIFY(crashProbe(uniqueKey(), "abort", SIGABRT));
        if (QDateTime::currentDateTime().toString(pattern) != before)
            continue;

        const QStringList reports = dir.entryList(QDir::Files);
        QCOMPARE(reports, QStringList{QStringLiteral("plogger4") + before + QStringLiteral(".dmp")});
        QFile file(dir.filePath(reports.first()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray report = file.readAll();
        QVERIFY(report.contains("signal: 6 (SIGABRT)\n"));
        QVERIFY(!report.contains("SIGSEGV"));
        return;
    }
    QFAIL("two crashes never fell into one minute");
}

void tst_CrashHandler::programCrashWritesReport()
{
    // The program keeps its own key; isolate() keeps it private.
    ProbeClient::SegmentObserver segment(QStringLiteral("PLOGGER4_KEY"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("programdata")));
    const QDir dir(m_dir.filePath(QStringLiteral("programdata/PLOGGER4")));

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(PLOGGER4_PATH), {QStringLiteral("-s")});
    QVERIFY(program.waitForStarted());
    // The data directory is made once the application has its name, which
    // the report's location follows.
    QTRY_VERIFY_WITH_TIMEOUT(dir.exists(), 20000);
    QCOMPARE(segment.storedPid(), program.processId());

    QCOMPARE(::kill(pid_t(program.processId()), SIGSEGV), 0);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    QCOMPARE(program.exitCode(), int(SIGSEGV));
    QCOMPARE(segment.storedPid(), qint64(0));

    const QStringList reports = dir.entryList({QStringLiteral("plogger4-*.dmp")}, QDir::Files);
    QCOMPARE(reports.size(), 1);
    QFile file(dir.filePath(reports.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray report = file.readAll();
    QVERIFY(report.contains("signal: 11 (SIGSEGV)\n"));
    QVERIFY(report.contains("\nsender: " + QByteArray::number(QCoreApplication::applicationPid()) + '\n'));
    QVERIFY(QRegularExpression(QStringLiteral("\n[0-9a-f]+-[0-9a-f]+ r-xp .*/plogger4\n")).match(QString::fromLatin1(report)).hasMatch());

    QProcess again;
    again.setProcessEnvironment(env);
    again.start(QStringLiteral(PLOGGER4_PATH), {QStringLiteral("-s")});
    QVERIFY(again.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(segment.storedPid(), again.processId(), 20000);
    again.kill();
    QVERIFY(again.waitForFinished(20000));
}

QTEST_GUILESS_MAIN(tst_CrashHandler)
#include "tst_crashhandler.moc"
