#include "archivebuilder.h"
#include "checkupdatedlg.h"
#include "logcapture.h"
#include "serverprocess.h"

#include <QMetaMethod>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString LocalVersion = QStringLiteral("4.2.0-r5838");

// Opens the dialog's protected parts to the test.
class TestDlg : public CheckUpdateDlg
{
public:
    using CheckUpdateDlg::CheckUpdateDlg;
    using CheckUpdateDlg::checkAppVersion;
    using CheckUpdateDlg::progressDialog;
};

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    // Drop the time stamp: "yyyy-MM-dd hh:mm:ss.zzz ".
    for (QString &line : lines)
        line = line.mid(24);
    return lines;
}

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void clickCancel(QProgressDialog *dialog)
{
    auto *button = dialog->findChild<QPushButton *>();
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("Annulla"));
    button->click();
}

QString entry(int priority, const QString &text)
{
    return QStringLiteral("%1 UPDATER %2").arg(priority).arg(text);
}

// One dialog as main builds it, with its own data and download directories.
struct Run {
    explicit Run(const QUrl &server, const QString &version = LocalVersion)
    {
        dialog = new TestDlg(QStringLiteral("KEY"), QStringLiteral("Peltrano Logger 4"), version, server,
                             download.path(), QStringLiteral("PLOGGER4"), data.path() + "/");
        QObject::connect(dialog, &CheckUpdateDlg::launchApp, [this] { ++launches; });
    }
    ~Run() { delete dialog; }
    QStringList log() const { return readLines(data.filePath("updater.log")); }
    QString label() const { return dialog->progressDialog->labelText(); }
    bool shown() const { return dialog->progressDialog->isVisible(); }

    QTemporaryDir data;
    QTemporaryDir download;
    QPointer<TestDlg> dialog;
    int launches = 0;
};

} // namespace

class tst_CheckUpdateDlg : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void methodOrder();
    void checkAppVersion_data();
    void checkAppVersion();
    void sameVersionStartsApp();
    void failuresStartApp_data();
    void failuresStartApp();
    void handOver_data();
    void handOver();
    void incompleteAnswerWaitsForCancel();
    void cancelWhileAsking();
    void cancelDuringDownload();
    void cancelLeavesNoPartialFile();

private:
    QTemporaryDir work;
    QString stage2Package;
    QString plainFile;
};

void tst_CheckUpdateDlg::initTestCase()
{
    QVERIFY(work.isValid());
    QFile recorder(QStringLiteral(STAGE2_RECORDER_BIN));
    QVERIFY(recorder.open(QIODevice::ReadOnly));
    const QByteArray stage2 = recorder.readAll();

    ArchiveBuilder small;
    small.addFile("stage2", stage2, 0755);
    stage2Package = work.filePath("update.tar.gz");
    QVERIFY(small.write(stage2Package));

    plainFile = work.filePath("plain.bin");
    QFile f(plainFile);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not an archive");
}

void tst_CheckUpdateDlg::methodOrder()
{
    const QMetaObject &mo = CheckUpdateDlg::staticMetaObject;
    QStringList methods;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
        methods << QString::fromLatin1(mo.method(i).methodSignature());
    QCOMPARE(methods, (QStringList{"launchApp()", "checkAppVersion(DownloadableFileInfo)", "onCanceled()",
                                   "onDownloadProgress(qlonglong,qlonglong)", "onDownloadFinished()",
                                   "onDownloadFailed()", "onNewVersion()", "onUpdaterVersionCheckFailed()",
                                   "onUpdaterVersionIsUpToDate()", "onS2Launched()", "onS2Failed()"}));
}

void tst_CheckUpdateDlg::checkAppVersion_data()
{
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("remote");
    QTest::addColumn<bool>("upToDate");
    QTest::addColumn<QString>("verdict"); // "newer", "older" or "" when none is logged

    QTest::newRow("same version") << LocalVersion << "4.2.0-r5838" << true << "";
    QTest::newRow("newer patch and revision") << LocalVersion << "4.2.1-r5900" << false << "older";
    QTest::newRow("older minor") << LocalVersion << "4.1.9" << true << "newer";
    QTest::newRow("fewer components") << LocalVersion << "4.2" << true << "";
    QTest::newRow("lower revision counts as newer") << LocalVersion << "4.2.0-r5000" << false << "older";
    QTest::newRow("revision 0") << LocalVersion << "4.2.0-r0" << true << "";
    QTest::newRow("word without digits dropped") << LocalVersion << "4.2.0-beta" << true << "";
    QTest::newRow("empty remote") << LocalVersion << "" << true << "";
    QTest::newRow("comma separates") << LocalVersion << "4,3" << false << "older";
    QTest::newRow("differs only in case") << LocalVersion << "4.2.0-R5838" << false << "older";
    QTest::newRow("remote number too large counts 0") << LocalVersion << "99999999999" << true << "newer";
    QTest::newRow("extra remote components never read") << "4.2.0" << "4.2.0.9" << true << "";
    QTest::newRow("dropped component: the next one skips its turn") << "1.2.3" << "1.x.5.3" << true << "";
    QTest::newRow("empty local component counts 0") << "4..1" << "4.0.2" << false << "older";
    QTest::newRow("digits kept from a mixed remote component") << "1.5" << "1.v6b" << false << "older";
}

void tst_CheckUpdateDlg::checkAppVersion()
{
    QFETCH(QString, local);
    QFETCH(QString, remote);
    QFETCH(bool, upToDate);
    QFETCH(QString, verdict);

    LogCapture log;
    Run run(QUrl("http://127.0.0.1:9/updates"), local);
    DownloadableFileInfo info;
    info.appVersion = remote;
    QCOMPARE(run.dialog->checkAppVersion(info), upToDate);

    const QString newer = "Local app version is newer(?) than remote one, no update was found.";
    const QString older = "Local app version is older than remote one, an update is available.";
    QStringList expected{entry(1000, "local app version:  " + local), entry(1000, "remote app version " + remote)};
    if (verdict == "newer")
        expected << entry(100, newer);
    else if (verdict == "older")
        expected << entry(1000, older);
    QCOMPARE(run.log(), expected);
    QVERIFY(log.contains("local app version:  " + local));
    QCOMPARE(log.contains(newer), verdict == "newer");
    QCOMPARE(log.contains(older), verdict == "older");
}

void tst_CheckUpdateDlg::sameVersionStartsApp()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", stage2Package, "--zipped", "true", "--app-version", LocalVersion}));
    LogCapture log;
    Run run(server.url());
    QTRY_COMPARE(run.launches, 1);
    QVERIFY(!run.shown());
    QVERIFY(log.contains("void CheckUpdateDlg::onNewVersion() New updater version available, but application "
                         "version is up-to-date... Starting app."));
    QCOMPARE(run.log().first(), entry(1000, "void CheckUpdateDlg::onNewVersion() New updater version available!"));
    QCOMPARE(run.log().last(),
             entry(1000, "New updater version available, but application version is up-to-date... Starting app."));
    QTest::qWait(200);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(QDir(run.download.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{});
}

void tst_CheckUpdateDlg::failuresStartApp_data()
{
    QTest::addColumn<QStringList>("serverArgs"); // empty: nobody listens
    QTest::addColumn<QString>("debugLine");
    QTest::addColumn<QString>("logEntry");

    const QString checkFailed = "onUpdaterVersionCheckFailed() Version check failed. Starting the app anyway...";
    const QString checkEntry = entry(1000, "Version check failed. Starting the app anyway...");
    const QString downloadFailed =
        "onDownloadFailed() An error occurred while downloading the file... Starting the app anyway...";
    const QString downloadEntry =
        entry(10, "An error occurred while downloading the file... Starting the app anyway...");
    QTest::newRow("unreachable") << QStringList{} << checkFailed << checkEntry;
    QTest::newRow("query 404") << QStringList{"--query-404"} << checkFailed << checkEntry;
    QTest::newRow("garbage answer") << QStringList{"--no-file-info-root"} << checkFailed << checkEntry;
    QTest::newRow("answer without URL") << QStringList{"--url", ""} << checkFailed << checkEntry;
    QTest::newRow("wrong digests") << QStringList{"--digests", "wrong"} << downloadFailed << downloadEntry;
    QTest::newRow("download 404") << QStringList{"--download-404"} << downloadFailed << downloadEntry;
    QTest::newRow("download cut short") << QStringList{"--truncate-download"} << downloadFailed << downloadEntry;
    QTest::newRow("second stage missing")
        << QStringList{"--package", "@PLAIN@", "--app-executable", "missing"}
        << "onS2Failed() An error occurred... Starting the app anyway..."
        << entry(10, "An error occurred during Stage2: Starting the app anyway...");
}

void tst_CheckUpdateDlg::failuresStartApp()
{
    QFETCH(QStringList, serverArgs);
    QFETCH(QString, debugLine);
    QFETCH(QString, logEntry);

    ServerProcess server;
    QUrl url;
    if (serverArgs.isEmpty()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        url = QUrl(QStringLiteral("http://127.0.0.1:%1/updates").arg(closed.serverPort()));
    } else {
        serverArgs.replaceInStrings("@PLAIN@", plainFile);
        if (!serverArgs.contains("--package"))
            serverArgs << "--package" << stage2Package << "--zipped" << "true";
        QVERIFY(server.start(serverArgs));
        url = server.url();
    }
    LogCapture log;
    Run run(url);
    QTRY_COMPARE_WITH_TIMEOUT(run.launches, 1, 10000);
    QVERIFY(!run.shown());
    QVERIFY2(log.contains("void CheckUpdateDlg::" + debugLine), qPrintable(log.lines().join('\n').right(3000)));
    QCOMPARE(run.log().last(), logEntry);
    QTest::qWait(100);
    QCOMPARE(run.launches, 1);
    QVERIFY(!QFile::exists(run.download.filePath("stage2-record.txt")));
}

void tst_CheckUpdateDlg::handOver_data()
{
    QTest::addColumn<bool>("alreadyDownloaded");
    QTest::newRow("after the download") << false;
    QTest::newRow("package already current") << true;
}

void tst_CheckUpdateDlg::handOver()
{
    QFETCH(bool, alreadyDownloaded);

    ServerProcess server;
    QVERIFY(server.start({"--package", stage2Package, "--zipped", "true", "--app-executable", "stage2"}));
    LogCapture log;
    Run run(server.url());
    if (alreadyDownloaded) {
        QVERIFY(QFile::copy(stage2Package, run.download.filePath("update.tar.gz")));
        QVERIFY(QFile::copy(QStringLiteral(STAGE2_RECORDER_BIN), run.download.filePath("stage2")));
    }
    // The hand-over ends the event loop with 0.
    QTimer::singleShot(20000, [] { QCoreApplication::exit(99); });
    QCOMPARE(QCoreApplication::exec(), 0);

    QCOMPARE(run.launches, 0);
    QVERIFY(!run.shown());
    QCOMPARE(run.log().last(), entry(1000, "Success launching stage2! -> Quitting..."));
    QVERIFY(log.contains("void CheckUpdateDlg::onS2Launched() Success! -> Quitting..."));
    if (alreadyDownloaded) {
        QVERIFY(run.log().contains(
            entry(1000, "Updater version is already up-to-date. Checking for app version...")));
        QCOMPARE(server.requests().size(), 1);
    } else {
        QCOMPARE(run.label(), QStringLiteral("Aggiornamento componenti in corso..."));
        QCOMPARE(run.dialog->progressDialog->maximum(), 0);
    }
    const QString record = run.download.filePath("stage2-record.txt");
    QTRY_VERIFY_WITH_TIMEOUT(readAll(record).endsWith("arg=-s\n"), 10000);
    QCOMPARE(readAll(record),
             QStringLiteral("cwd=%1\narg=%2\narg=-s\n")
                 .arg(QFileInfo(run.download.path()).canonicalFilePath(), QCoreApplication::applicationFilePath()));
}

void tst_CheckUpdateDlg::incompleteAnswerWaitsForCancel()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", stage2Package, "--empty-body"}));
    LogCapture log;
    Run run(server.url());
    QTRY_COMPARE(server.requests().size(), 1);
    QTest::qWait(1000);
    QCOMPARE(run.launches, 0);
    QVERIFY(run.shown());
    QCOMPARE(run.label(), QStringLiteral("Recupero lista aggiornamenti..."));

    clickCancel(run.dialog->progressDialog);
    QCOMPARE(run.launches, 1);
    QVERIFY(!run.shown());
    QVERIFY(log.contains("void CheckUpdateDlg::onCanceled() Check for updates was canceled... Let's start the app."));
    QCOMPARE(run.log(), QStringList{entry(1000, "Check for updates was canceled... Let's start the app.")});
}

void tst_CheckUpdateDlg::cancelWhileAsking()
{
    // The late answer offers an update that would be installed at once.
    ServerProcess server;
    QVERIFY(server.start({"--package", stage2Package, "--zipped", "true", "--delay", "800"}));
    LogCapture log;
    Run run(server.url());
    QTRY_COMPARE(server.requests().size(), 1);
    // Closing the dialog is a cancel too.
    QVERIFY(run.dialog->progressDialog->close());
    QCOMPARE(run.launches, 1);
    QVERIFY(!run.shown());

    QTRY_VERIFY(log.contains("Does the localfile "));
    QTest::qWait(300);
    QCOMPARE(run.launches, 1);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(run.log(), QStringList{entry(1000, "Check for updates was canceled... Let's start the app.")});
}

void tst_CheckUpdateDlg::cancelDuringDownload()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", stage2Package, "--zipped", "true", "--app-executable", "stage2"}));
    LogCapture log;
    Run run(server.url());
    // Connected after the dialog's own slot: the download has just started.
    QObject::connect(run.dialog, &BaseUpdater::newVersionFound, run.dialog->progressDialog, [&run] {
        QCOMPARE(run.label(), QStringLiteral("Scaricamento componenti aggiuntivi..."));
        clickCancel(run.dialog->progressDialog);
    });
    QSignalSpy downloaded(run.dialog, &BaseUpdater::newVersionDownloaded);
    QTRY_COMPARE_WITH_TIMEOUT(run.launches, 1, 10000);

    // Kept alive, the dialog lets the download end; the second stage must not
    // start behind the application's back.
    QTRY_COMPARE_WITH_TIMEOUT(downloaded.count(), 1, 10000);
    QTest::qWait(300);
    QCOMPARE(run.launches, 1);
    QVERIFY(QFile::exists(run.download.filePath("stage2")));
    QVERIFY(!QFile::exists(run.download.filePath("stage2-record.txt")));
    QVERIFY(!log.contains("Success! -> Quitting..."));
    QCOMPARE(run.log().last(), entry(1000, "Check for updates was canceled... Let's start the app."));
}

void tst_CheckUpdateDlg::cancelLeavesNoPartialFile()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", stage2Package, "--stall-download"}));
    LogCapture log;
    Run run(server.url());
    // As the program does: the dialog goes once the application starts.
    QObject::connect(run.dialog, &CheckUpdateDlg::launchApp, run.dialog, &QObject::deleteLater);
    const QString partial = run.download.filePath("update.tar.gz.tmp");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, 10000);

    clickCancel(run.dialog->progressDialog);
    QTRY_VERIFY(run.dialog.isNull());
    QVERIFY(!QFileInfo::exists(partial));
    QCOMPARE(run.launches, 1);
}

QTEST_MAIN(tst_CheckUpdateDlg)
#include "tst_checkupdatedlg.moc"
