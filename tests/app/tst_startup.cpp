#include "leftoveripc.h"
#include "archivebuilder.h"
#include "serverprocess.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// One plogger4 run with its own home, data and temporary directories.
class Run
{
public:
    Run()
    {
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("TMPDIR"), home.filePath(QStringLiteral("tmp")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("run")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QDir(home.path()).mkpath(QStringLiteral("tmp"));
        QDir(home.path()).mkpath(dataDir());
        // Private, as the program makes it, so that tests may plant in it.
        QDir(home.path()).mkpath(runtimeDir());
        QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    ~Run()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
        // A killed plogger4 leaves its instance segment behind.
        removeLeftoverIpc(runtimeDir());
    }

    QString runtimeDir() const { return home.filePath(QStringLiteral("run/PLOGGER4")); }

    QString dataDir() const { return home.filePath(QStringLiteral("data/PLOGGER4")); }
    QString downloadDir() const { return runtimeDir() + QStringLiteral("/updates"); }

    void writeSettings(const QString &autoUpdates) const
    {
        QFile f(dataDir() + QStringLiteral("/plogger.ini"));
        if (f.open(QIODevice::WriteOnly))
            f.write("[CTI]\nautoUpdates=" + autoUpdates.toUtf8() + "\n");
    }

    void start(const QStringList &args)
    {
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(PLOGGER4_BINARY), args);
        timer.start();
    }

    // Reads the debug log until a line holds text or the process ends.
    bool waitFor(const QString &text, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!log.contains(text)) {
            if (process.state() == QProcess::NotRunning || deadline.hasExpired())
                break;
            process.waitForReadyRead(50);
            log += QString::fromUtf8(process.readAllStandardError());
        }
        log += QString::fromUtf8(process.readAllStandardError());
        return log.contains(text);
    }

    QTemporaryDir home;
    QProcessEnvironment env;
    QProcess process;
    QElapsedTimer timer;
    QString log;
};

const QString MainWindow = QStringLiteral("wdgPLoggerGui::start() showing main window");

// Serves, as a newer application version, a package holding the second stage.
bool serveStage2Package(ServerProcess &server, const QString &package)
{
    QFile recorder(QStringLiteral(STAGE2_RECORDER_BIN));
    if (!recorder.open(QIODevice::ReadOnly))
        return false;
    ArchiveBuilder archive;
    archive.addFile("stage2", recorder.readAll(), 0755);
    return archive.write(package)
        && server.start({"--package", package, "--zipped", "true", "--app-executable", "stage2", "--app-version",
                         "4.2.1-r6000"});
}

} // namespace

// Runs the real plogger4 binary the way an administrator would.
class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void badCommandLine_data();
    void badCommandLine();
    void updateCheck_data();
    void updateCheck();
    void handOver();
    void untrustedDownloadFolder_data();
    void untrustedDownloadFolder();
    void secondStartRaisesTheFirst();

private:
    QProcessEnvironment environment() const;
    QTemporaryDir m_home;
};

void tst_Startup::initTestCase()
{
    QVERIFY(m_home.isValid());
    QVERIFY(QFileInfo::exists(QStringLiteral(PLOGGER4_BINARY)));
}

void tst_Startup::cleanupTestCase()
{
    removeLeftoverIpc(m_home.filePath(QStringLiteral("PLOGGER4")));
}

QProcessEnvironment tst_Startup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/config"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The single-instance segment is keyed by a file in the runtime folder:
    // a private one keeps this test apart from any other plogger4.
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
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

void tst_Startup::updateCheck_data()
{
    QTest::addColumn<QStringList>("args");       // @URL@: the server's address
    QTest::addColumn<QStringList>("serverArgs"); // "closed": nobody listens there
    QTest::addColumn<QString>("autoUpdates");    // null: no settings file
    QTest::addColumn<QStringList>("expected");   // texts of the debug log, in order
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<int>("requests");           // requests the server saw

    const QString current = QStringLiteral("4.2.0-r5838");
    const QString checking = QStringLiteral("Connecting to ");
    const QString failed =
        QStringLiteral("CheckUpdateDlg::onUpdaterVersionCheckFailed() Version check failed. Starting the app anyway...");
    const QStringList sameVersion{"--app-version", current};
    const QStringList url{"-r", "@URL@"};

    QTest::newRow("same version offered") << url << sameVersion << QString()
        << QStringList{"Overriding Updates server:", "application version is up-to-date... Starting app.", MainWindow}
        << QStringList{"Downloading file"} << 1;
    QTest::newRow("server unreachable") << url << QStringList{"closed"} << QString()
        << QStringList{failed, MainWindow} << QStringList{} << 0;
    QTest::newRow("answers garbage") << url << QStringList{"--no-file-info-root"} << QString()
        << QStringList{"Unknown message", failed, MainWindow} << QStringList{} << 1;
    QTest::newRow("wrong digest") << url << QStringList{"--digests", "wrong"} << QString()
        << QStringList{"Hashes do not match",
                       "onDownloadFailed() An error occurred while downloading the file... Starting the app anyway...",
                       MainWindow}
        << QStringList{"launchProgram"} << 2;
    QTest::newRow("updates off in the settings") << url << sameVersion << "0" << QStringList{MainWindow}
                                                 << QStringList{checking} << 0;
    QTest::newRow("updates \"false\" in the settings") << url << sameVersion << "false"
        << QStringList{checking, MainWindow} << QStringList{} << 1;
    QTest::newRow("-s") << QStringList{"-s"} << sameVersion << QString() << QStringList{MainWindow}
                        << QStringList{checking} << 0;
    QTest::newRow("server given, then -s") << QStringList{"-r", "@URL@", "-s"} << sameVersion << QString()
        << QStringList{MainWindow} << QStringList{checking, "Overriding"} << 0;
    QTest::newRow("--updates-server last without a value") << QStringList{"--updates-server"} << sameVersion
        << QString() << QStringList{"Overriding Updates server:", MainWindow} << QStringList{checking} << 0;
    QTest::newRow("key given") << QStringList{"-r", "@URL@", "--updates-key", "MYKEY"} << sameVersion << QString()
        << QStringList{"Overriding Updates KEY: MYKEY", MainWindow} << QStringList{} << 1;
    // The one slow case: the check gives up after its 5000 ms.
    QTest::newRow("never answers") << url << QStringList{"--no-answer"} << QString()
        << QStringList{checking, "with a timeout of  5000 milliseconds", failed, MainWindow} << QStringList{} << 1;
}

void tst_Startup::updateCheck()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, serverArgs);
    QFETCH(QString, autoUpdates);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, absent);
    QFETCH(int, requests);

    ServerProcess server;
    QTemporaryDir packageDir;
    QUrl url;
    if (serverArgs == QStringList{"closed"}) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        url = QUrl(QStringLiteral("http://127.0.0.1:%1/updates").arg(closed.serverPort()));
    } else {
        const QString package = packageDir.filePath(QStringLiteral("pkg.bin"));
        QFile f(package);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("package");
        f.close();
        QVERIFY(server.start(serverArgs + QStringList{"--package", package}));
        url = server.url();
    }
    args.replaceInStrings(QStringLiteral("@URL@"), url.toString());

    Run run;
    if (!autoUpdates.isNull())
        run.writeSettings(autoUpdates);
    run.start(args);
    QVERIFY2(run.waitFor(MainWindow, 30000), qPrintable(run.log.right(3000)));
    QCOMPARE(run.process.state(), QProcess::Running);

    int from = 0;
    for (const QString &text : expected) {
        const int at = run.log.indexOf(text, from);
        QVERIFY2(at >= 0, qPrintable(text + "\n---\n" + run.log.right(3000)));
        from = at + text.size();
    }
    for (const QString &text : absent)
        QVERIFY2(!run.log.contains(text), qPrintable(text));
    if (serverArgs.contains(QStringLiteral("--no-answer")))
        QVERIFY(run.timer.elapsed() >= 5000);
    if (serverArgs != QStringList{"closed"}) {
        QTest::qWait(100);
        QCOMPARE(server.requests().size(), requests);
        if (requests > 0) {
            // The updates key goes out as the application identifier.
            const QByteArray key = args.contains(QStringLiteral("--updates-key")) ? QByteArray("MYKEY")
                                                                                  : QByteArray("[A-Z]{8}");
            QVERIFY2(QRegularExpression(QStringLiteral("<AppUniqueId>%1</AppUniqueId>").arg(QString::fromLatin1(key)))
                         .match(QString::fromLatin1(server.requests().at(0)))
                         .hasMatch(),
                     server.requests().at(0).constData());
        }
    }
}

void tst_Startup::handOver()
{
    QTemporaryDir packageDir;
    ServerProcess server;
    QVERIFY(serveStage2Package(server, packageDir.filePath(QStringLiteral("update.tar.gz"))));
    Run run;
    run.start({"-r", server.url().toString()});
    QVERIFY(run.process.waitForFinished(30000));
    run.log += QString::fromUtf8(run.process.readAllStandardError());
    QCOMPARE(run.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.process.exitCode(), 0);
    QVERIFY2(run.log.contains("CheckUpdateDlg::onS2Launched() Success! -> Quitting..."), qPrintable(run.log.right(3000)));
    QVERIFY(!run.log.contains(MainWindow));

    const QStringList updaterLog = readAll(run.dataDir() + "/updater.log").split('\n', Qt::SkipEmptyParts);
    QVERIFY(!updaterLog.isEmpty());
    QVERIFY2(updaterLog.last().endsWith(" 1000 UPDATER Success launching stage2! -> Quitting..."),
             qPrintable(updaterLog.last()));

    const QString record = run.downloadDir() + "/stage2-record.txt";
    QTRY_VERIFY_WITH_TIMEOUT(readAll(record).endsWith("arg=-s\n"), 10000);
    QCOMPARE(readAll(record), QStringLiteral("cwd=%1\narg=%2\narg=-s\n")
                                  .arg(QFileInfo(run.downloadDir()).canonicalFilePath(),
                                       QFileInfo(QStringLiteral(PLOGGER4_BINARY)).canonicalFilePath()));
}

void tst_Startup::untrustedDownloadFolder_data()
{
    QTest::addColumn<QString>("plant");   // what waits in or for the update folder
    QTest::addColumn<QString>("logText"); // the refusal on the console
    QTest::addColumn<bool>("handsOver");

    // Where earlier versions put it, in the shared temporary folder.
    QTest::newRow("folder made by another user") << "other user" << "" << true;
    QTest::newRow("link in place of the folder") << "link" << "is a symbolic link, not a directory" << false;
    QTest::newRow("link in place of the download") << "tmp link" << "" << true;
    QTest::newRow("second stage planted beside the genuine package") << "stage2" << "" << true;
}

void tst_Startup::untrustedDownloadFolder()
{
    QFETCH(QString, plant);
    QFETCH(QString, logText);
    QFETCH(bool, handsOver);
    if (plant == "other user" && ::geteuid() != 0)
        QSKIP("acting as another user needs root");

    QTemporaryDir packageDir;
    const QString package = packageDir.filePath(QStringLiteral("update.tar.gz"));
    ServerProcess server;
    QVERIFY(serveStage2Package(server, package));

    Run run;
    const QString marker = run.home.filePath(QStringLiteral("planted-ran"));
    const QString victim = run.home.filePath(QStringLiteral("victim"));
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("untouched");
    victimFile.close();
    // The genuine package, so that its digests match, and a program of the
    // planter's own under the second stage's name.
    const QString plantedScript = QStringLiteral("#!/bin/sh\necho planted > \"%1\"\n").arg(marker);
    const QString script = QStringLiteral("cp '%1' \"$0\"/update.tar.gz && printf '%2' > \"$0\"/stage2 && chmod 755 \"$0\"/stage2")
                               .arg(package, plantedScript);
    const QString folder = plant == "other user"
        ? run.home.filePath(QStringLiteral("tmp/PLOGGER4Updates-%1").arg(::geteuid()))
        : run.downloadDir();
    if (plant == "other user") {
        QVERIFY(::chmod(QFile::encodeName(run.home.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(run.home.filePath("tmp")).constData(), 01777) == 0);
        QVERIFY(::chmod(QFile::encodeName(packageDir.path()).constData(), 0755) == 0);
        QCOMPARE(QProcess::execute("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c",
                                               "mkdir -m 700 \"$0\" && " + script, folder}), 0);
    } else if (plant == "link") {
        const QString elsewhere = run.home.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkdir(elsewhere));
        QCOMPARE(QProcess::execute("sh", {"-c", script, elsewhere}), 0);
        QVERIFY(QFile::link(elsewhere, folder));
    } else {
        QCOMPARE(QProcess::execute("sh", {"-c", "mkdir -m 700 \"$0\"", folder}), 0);
        if (plant == "tmp link")
            QVERIFY(QFile::link(victim, folder + QStringLiteral("/update.tar.gz.tmp")));
        else
            QCOMPARE(QProcess::execute("sh", {"-c", script, folder}), 0);
    }

    run.start({"-r", server.url().toString()});
    if (handsOver) {
        QVERIFY(run.process.waitForFinished(30000));
        run.log += QString::fromUtf8(run.process.readAllStandardError());
        QCOMPARE(run.process.exitCode(), 0);
        const QString record = run.downloadDir() + QStringLiteral("/stage2-record.txt");
        QTRY_VERIFY_WITH_TIMEOUT(readAll(record).endsWith("arg=-s\n"), 10000);
    } else {
        QVERIFY2(run.waitFor(MainWindow, 30000), qPrintable(run.log.right(3000)));
        const QString refusal = "Not using the download folder " + folder + " - it " + logText;
        QVERIFY2(run.log.contains(refusal), qPrintable(run.log.right(3000)));
        // Where the user looks when updates stop.
        QVERIFY(readAll(run.dataDir() + "/updater.log").contains(refusal));
        QVERIFY(run.log.contains("Version check failed. Starting the app anyway..."));
        QCOMPARE(server.requests().size(), 0);
    }
    QVERIFY(!QFile::exists(marker));
    QCOMPARE(readAll(victim), QStringLiteral("untouched"));
}

void tst_Startup::secondStartRaisesTheFirst()
{
    Run first;
    first.start({"-s"});
    QVERIFY2(first.waitFor(MainWindow), qPrintable(first.log.right(3000)));

    QProcess second;
    second.setProcessEnvironment(first.env);
    second.start(QStringLiteral(PLOGGER4_BINARY), {"-s"});
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY2(first.waitFor(QStringLiteral("Another start asks for the window")), qPrintable(first.log.right(3000)));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
