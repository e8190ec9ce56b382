#include "archivebuilder.h"
#include "baseupdater.h"
#include "logcapture.h"
#include "serverprocess.h"
#include "testcertificates.h"

#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Opens the engine's protected members to the test.
class TestUpdater : public BaseUpdater
{
public:
    using BaseUpdater::BaseUpdater;
    using BaseUpdater::downloadDir;
    using BaseUpdater::lastFileInfo;
    using BaseUpdater::launchAfterDownload;
    using BaseUpdater::requestTimer;
    using BaseUpdater::restHost;
    using BaseUpdater::restPath;
    using BaseUpdater::restPort;
    using BaseUpdater::restScheme;
    using BaseUpdater::stage2Arguments;
};

// Records every outcome signal of an engine by name, in order.
class Outcomes : public QObject
{
public:
    explicit Outcomes(BaseUpdater *u)
    {
        const auto track = [this, u](auto signal, const char *name) {
            connect(u, signal, this, [this, name] { seen << QString::fromLatin1(name); });
        };
        track(&BaseUpdater::newVersionFound, "newVersionFound");
        track(&BaseUpdater::noNewVersionFound, "noNewVersionFound");
        track(&BaseUpdater::versionCheckFailed, "versionCheckFailed");
        track(&BaseUpdater::downloadFailed, "downloadFailed");
        track(&BaseUpdater::newVersionDownloaded, "newVersionDownloaded");
        track(&BaseUpdater::externalProcessLaunched, "externalProcessLaunched");
        track(&BaseUpdater::externalProcessFailed, "externalProcessFailed");
    }
    // Waits for n outcomes, then a little longer to catch any extra one.
    QStringList wait(int n = 1, int timeoutMs = 15000)
    {
        (void)QTest::qWaitFor([&] { return seen.size() >= n; }, timeoutMs);
        QTest::qWait(100);
        return seen;
    }
    QStringList seen;
};

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace

class tst_BaseUpdater : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void setServerUrl_data();
    void setServerUrl();
    void defaultTimeout();
    void sendsExactRequest();
    void query_data();
    void query();
    void truncatedAnswerDoesNotLeakIntoNext();
    void https_data();
    void https();
    void downloadFromUntrustedServerFails();
    void fullUpdateChain_data();
    void fullUpdateChain();
    void temporaryDownloadDirectory();
    void uncompress_data();
    void uncompress();
    void launchProgram();

private:
    TestCertificates *certificates(QString *error);

    QTemporaryDir work;
    QString package;
};

void tst_BaseUpdater::initTestCase()
{
    QVERIFY(work.isValid());
    package = work.filePath("pkg.bin");
    QVERIFY(writeFile(package, QByteArray(100000, 'p') + "end"));
}

TestCertificates *tst_BaseUpdater::certificates(QString *error)
{
    static TestCertificates certs;
    static int state = 0; // 0 untried, 1 made, 2 failed
    if (state == 0)
        state = certs.create(error) ? 1 : 2;
    return state == 1 ? &certs : nullptr;
}

void tst_BaseUpdater::setServerUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("queryPath");
    QTest::addColumn<bool>("warns");
    QTest::newRow("https, no port, path") << "https://example.test/P" << 443 << "/P/RestController.php" << false;
    QTest::newRow("http, no port, no path") << "http://example.test" << 80 << "/suf/RestController.php" << false;
    QTest::newRow("upper-case scheme") << "HTTP://example.test" << 80 << "/suf/RestController.php" << false;
    QTest::newRow("explicit port") << "http://example.test:8080/u/" << 8080 << "/u//RestController.php" << false;
    QTest::newRow("ftp without port") << "ftp://example.test" << -1 << "/suf/RestController.php" << true;
    QTest::newRow("encoded path") << "http://example.test/a%20b" << 80 << "/a b/RestController.php" << false;
}

void tst_BaseUpdater::setServerUrl()
{
    QFETCH(QString, url);
    QFETCH(int, port);
    QFETCH(QString, queryPath);
    QFETCH(bool, warns);
    LogCapture log;
    TestUpdater u("id");
    u.setServerUrl(QUrl(url));
    QCOMPARE(u.restPort, port);
    QCOMPARE(u.restHost, QStringLiteral("example.test"));
    QCOMPARE(u.queryUrl().path(), queryPath);
    QCOMPARE(u.queryUrl().query(), QStringLiteral("action=getFileInfo"));
    QCOMPARE(log.contains("Could not find a port in the URL and we do not know how to handle"), warns);
    u.resetRestDefaults();
    QCOMPARE(u.restPath, QStringLiteral("/suf"));
    QCOMPARE(u.restScheme, QStringLiteral("http"));
}

void tst_BaseUpdater::defaultTimeout()
{
    LogCapture log;
    ServerProcess server;
    QVERIFY(server.start({"--package", package, "--no-answer"}));
    TestUpdater u("id");
    u.setServerUrl(server.url());
    u.checkForNewVersion(-1);
    QCOMPARE(u.requestTimer->interval(), 5000);
    QVERIFY(u.requestTimer->isActive());
    u.checkForNewVersion(100);
    QCOMPARE(u.requestTimer->interval(), 100);
    u.checkForNewVersion();
    QCOMPARE(u.requestTimer->interval(), 5000);
}

void tst_BaseUpdater::sendsExactRequest()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", package}));
    LogCapture log;
    TestUpdater u(QString::fromUtf8("KEY<&é€"));
    Outcomes outcomes(&u);
    u.setServerUrl(server.url());
    u.checkForNewVersion(5000);
    QCOMPARE(outcomes.wait(), QStringList{"newVersionFound"});
    QTRY_COMPARE(server.requests().size(), 1);
    // Latin-1 on the wire: what it cannot hold becomes "?".
    QCOMPARE(server.requests().at(0),
             QByteArray("POST /updates/RestController.php?action=getFileInfo <ZTUPFW><API>1.0</API><GetFileInfo>"
                        "<AppUniqueId>KEY<&\xe9?</AppUniqueId><FileInfoType>1</FileInfoType><Platform>2</Platform>"
                        "</GetFileInfo></ZTUPFW>"));
}

void tst_BaseUpdater::query_data()
{
    QTest::addColumn<QStringList>("serverArgs");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("localFile");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("logText");

    const QString failed = "versionCheckFailed";
    const QString httpError = "Error on http request...";
    const QString invalid = "Invalid DFI downloaded";
    QTest::newRow("no local file") << QStringList{} << 5000 << "" << "newVersionFound" << "";
    QTest::newRow("local file is current") << QStringList{} << 5000 << "same" << "noNewVersionFound" << "";
    QTest::newRow("local file differs") << QStringList{} << 5000 << "other" << "newVersionFound" << "";
    QTest::newRow("upper-case digests") << QStringList{"--digests", "upper"} << 5000 << "same"
                                        << "newVersionFound" << "";
    QTest::newRow("answer split at every byte") << QStringList{"--split", "1", "--split-delay", "1"} << 10000 << ""
                                                << "newVersionFound" << "";
    QTest::newRow("non-ASCII version split at every byte")
        << QStringList{"--split", "1", "--app-version", "4.2.1-\xc3\xa9t\xc3\xa9"} << 10000 << ""
        << "newVersionFound" << "";
    QTest::newRow("slow answer within timeout") << QStringList{"--delay", "300"} << 5000 << "" << "newVersionFound"
                                                << "";
    QTest::newRow("text before the document") << QStringList{"--padding", "1000"} << 5000 << ""
                                              << "newVersionFound" << "";
    QTest::newRow("query 404") << QStringList{"--query-404"} << 5000 << "" << failed << httpError;
    QTest::newRow("never answers") << QStringList{"--no-answer"} << 300 << "" << failed << httpError;
    QTest::newRow("no FileInfoRoot") << QStringList{"--no-file-info-root"} << 5000 << "" << failed
                                     << "Unknown message";
    // No document, no outcome: not even when the request timer runs out.
    QTest::newRow("empty body") << QStringList{"--empty-body"} << 300 << "" << "" << "";
    QTest::newRow("truncated answer") << QStringList{"--truncate-query"} << 5000 << "" << failed << "";
    QTest::newRow("very large answer") << QStringList{"--padding", "8000000"} << 10000 << "" << failed
                                       << "too large";
    QTest::newRow("empty URL") << QStringList{"--url", ""} << 5000 << "" << failed << invalid;
    QTest::newRow("file name with ../") << QStringList{"--file-name", "../evil"} << 5000 << "" << failed << invalid;
    QTest::newRow("absolute file name") << QStringList{"--file-name", "/tmp/evil"} << 5000 << "" << failed
                                        << invalid;
    QTest::newRow("file name ..") << QStringList{"--file-name", ".."} << 5000 << "" << failed << invalid;
    QTest::newRow("executable with backslash") << QStringList{"--app-executable", "..\\evil.exe"} << 5000 << ""
                                               << failed << invalid;
    QTest::newRow("absolute executable") << QStringList{"--app-executable", "/bin/sh"} << 5000 << "" << failed
                                         << invalid;
    QTest::newRow("file URL") << QStringList{"--url", "file:///etc/passwd"} << 5000 << "" << failed << invalid;
    QTest::newRow("ftp URL") << QStringList{"--url", "ftp://127.0.0.1/pkg.bin"} << 5000 << "" << failed << invalid;
    QTest::newRow("executable climbing out") << QStringList{"--app-executable", "../x"} << 5000 << "" << failed
                                             << invalid;
    QTest::newRow("executable in a subfolder") << QStringList{"--app-executable", "bin/stage2"} << 5000 << ""
                                               << "newVersionFound" << "";
    QTest::newRow("empty executable") << QStringList{"--app-executable", ""} << 5000 << "" << "newVersionFound"
                                      << "";
}

void tst_BaseUpdater::query()
{
    QFETCH(QStringList, serverArgs);
    QFETCH(int, timeout);
    QFETCH(QString, localFile);
    QFETCH(QString, outcome);
    QFETCH(QString, logText);

    LogCapture log;
    ServerProcess server;
    QVERIFY(server.start(serverArgs + QStringList{"--package", package}));
    QTemporaryDir dir;
    if (localFile == "same")
        QVERIFY(QFile::copy(package, dir.filePath("pkg.bin")));
    else if (localFile == "other")
        QVERIFY(writeFile(dir.filePath("pkg.bin"), "something else"));

    TestUpdater u("PLOGGER4");
    Outcomes outcomes(&u);
    u.setServerUrl(server.url());
    u.setDownloadDir(dir.path());
    u.checkForNewVersion(timeout);
    if (outcome.isEmpty()) {
        QTRY_COMPARE(server.requests().size(), 1);
        QTest::qWait(timeout + 700);
        QCOMPARE(outcomes.seen, QStringList{});
        QVERIFY(!u.lastFileInfo.valid);
        return;
    }
    QCOMPARE(outcomes.wait(1, timeout + 10000), QStringList{outcome});
    if (!logText.isEmpty())
        QVERIFY2(log.contains(logText), qPrintable(log.lines().join('\n').right(2000)));
    if (outcome != "versionCheckFailed") {
        QVERIFY(u.lastFileInfo.valid);
        QCOMPARE(u.lastFileInfo.fileName, QStringLiteral("pkg.bin"));
        if (serverArgs.contains("--app-version"))
            QCOMPARE(u.lastFileInfo.appVersion, QString::fromUtf8("4.2.1-\xc3\xa9t\xc3\xa9"));
    } else {
        QVERIFY(!u.lastFileInfo.valid);
    }
}

void tst_BaseUpdater::truncatedAnswerDoesNotLeakIntoNext()
{
    LogCapture log;
    ServerProcess broken;
    QVERIFY(broken.start({"--package", package, "--truncate-query", "--app-version", "9.9.9-old"}));
    ServerProcess good;
    QVERIFY(good.start({"--package", package, "--app-version", "4.2.1-new"}));
    TestUpdater u("id");
    Outcomes outcomes(&u);
    u.setServerUrl(broken.url());
    u.checkForNewVersion(5000);
    QCOMPARE(outcomes.wait(), QStringList{"versionCheckFailed"});
    u.setServerUrl(good.url());
    u.checkForNewVersion(5000);
    QCOMPARE(outcomes.wait(2), (QStringList{"versionCheckFailed", "newVersionFound"}));
    QCOMPARE(u.lastFileInfo.appVersion, QStringLiteral("4.2.1-new"));
}

void tst_BaseUpdater::https_data()
{
    QTest::addColumn<bool>("caSigned");
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("self-signed refused") << false << true << "versionCheckFailed";
    QTest::newRow("CA-signed, CA not trusted") << true << false << "versionCheckFailed";
    QTest::newRow("CA-signed, CA trusted") << true << true << "newVersionFound";
}

void tst_BaseUpdater::https()
{
    QFETCH(bool, caSigned);
    QFETCH(bool, trustTestCa);
    QFETCH(QString, outcome);
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS support in this Qt build");
    QString error;
    TestCertificates *certs = certificates(&error);
    QVERIFY2(certs, qPrintable(error));

    LogCapture log;
    ServerProcess server;
    QVERIFY(server.start({"--package", package, "--cert",
                          caSigned ? certs->serverCertificateFile() : certs->selfSignedCertificateFile(), "--key",
                          caSigned ? certs->serverKeyFile() : certs->selfSignedKeyFile()}));
    TestUpdater u("id");
    Outcomes outcomes(&u);
    if (trustTestCa)
        u.setCaCertificates(certs->caCertificates());
    u.setServerUrl(server.url());
    u.checkForNewVersion(5000);
    QCOMPARE(outcomes.wait(), QStringList{outcome});
    if (outcome == "versionCheckFailed")
        QVERIFY(log.contains("refusing the connection, TLS errors:"));
}

void tst_BaseUpdater::downloadFromUntrustedServerFails()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS support in this Qt build");
    QString error;
    TestCertificates *certs = certificates(&error);
    QVERIFY2(certs, qPrintable(error));

    // The trusted server sends the client to an untrusted one for the package.
    ServerProcess files;
    QVERIFY(files.start({"--package", package, "--cert", certs->selfSignedCertificateFile(), "--key",
                         certs->selfSignedKeyFile()}));
    ServerProcess query;
    QVERIFY(query.start({"--package", package, "--cert", certs->serverCertificateFile(), "--key",
                         certs->serverKeyFile(), "--url", files.url("/updates/files/pkg.bin").toString()}));
    LogCapture log;
    QTemporaryDir dir;
    TestUpdater u("id");
    Outcomes outcomes(&u);
    u.setCaCertificates(certs->caCertificates());
    u.setServerUrl(query.url());
    u.setDownloadDir(dir.path());
    u.checkForNewVersion(5000);
    QCOMPARE(outcomes.wait(), QStringList{"newVersionFound"});
    u.downloadNewVersion();
    QCOMPARE(outcomes.wait(2), (QStringList{"newVersionFound", "downloadFailed"}));
    QVERIFY(!QFile::exists(dir.filePath("pkg.bin")));
    QVERIFY(log.contains("refusing the download, TLS errors:"));
}

void tst_BaseUpdater::fullUpdateChain_data()
{
    QTest::addColumn<QStringList>("links");   // path:target, added after the files
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<QString>("logText");
    const QString found = "newVersionFound";
    QTest::newRow("stage 2 unpacked and started")
        << QStringList{} << "bin/stage2" << QStringList{found, "newVersionDownloaded", "externalProcessLaunched"}
        << "";
    // A stage 2 from an earlier run lies in the folder and must not start.
    QTest::newRow("package that does not unpack") << QStringList{"garbage"} << "bin/stage2"
                                                  << QStringList{found, "downloadFailed"} << "failed; not starting it";
    QTest::newRow("executable escaping through a chain of links")
        << QStringList{"e:.", "d:e/.."} << "d/x" << QStringList{found, "newVersionDownloaded", "externalProcessFailed"}
        << "does not lie inside the download folder";
}

void tst_BaseUpdater::fullUpdateChain()
{
    QFETCH(QStringList, links);
    QFETCH(QString, executable);
    QFETCH(QStringList, outcomes);
    QFETCH(QString, logText);

    QFile recorder(QStringLiteral(STAGE2_RECORDER_BIN));
    QVERIFY(recorder.open(QIODevice::ReadOnly));
    const QByteArray stage2 = recorder.readAll();
    ArchiveBuilder archive;
    archive.addDirectory("bin");
    archive.addFile("bin/stage2", stage2, 0755);
    archive.addDirectory("data");
    archive.addFile("data/readme.txt", "hello");
    for (const QString &link : links)
        archive.addSymlink(link.section(':', 0, 0).toUtf8(), link.section(':', 1).toUtf8());
    QTemporaryDir top;
    const QString archivePath = top.filePath("update.tar.gz");
    QVERIFY(links == QStringList{"garbage"} ? writeFile(archivePath, QByteArray(5000, '\x07'))
                                            : archive.write(archivePath));

    // The stage 2 a link could reach beside the folder, and one left inside it.
    const QString dir = top.filePath("dl");
    QVERIFY(QDir().mkpath(dir + "/bin"));
    QVERIFY(writeFile(top.filePath("x"), stage2));
    QVERIFY(QFile::setPermissions(top.filePath("x"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::copy(top.filePath("x"), dir + "/bin/stage2"));

    ServerProcess server;
    QVERIFY(server.start({"--package", archivePath, "--zipped", "true", "--app-executable", executable}));
    LogCapture log;
    TestUpdater u("id");
    Outcomes seen(&u);
    QSignalSpy progress(&u, &BaseUpdater::bytesReceived);
    u.setServerUrl(server.url());
    u.setDownloadDir(dir);
    u.stage2Arguments = QStringList{"/opt/plogger4/plogger4", "-s"};
    u.checkForNewVersion(5000);
    QCOMPARE(seen.wait(), QStringList{"newVersionFound"});
    u.downloadNewVersion();
    QCOMPARE(seen.wait(outcomes.size()), outcomes);
    QVERIFY(!progress.isEmpty());
    const QString record = dir + "/stage2-record.txt";
    if (!logText.isEmpty()) {
        QVERIFY2(log.contains(logText), qPrintable(log.lines().join('\n').right(2000)));
        QVERIFY(!QFile::exists(record) && !QFile::exists(top.filePath("stage2-record.txt")));
        if (links == QStringList{"garbage"})
            QVERIFY(!QFile::exists(dir + "/bin/stage2"));
        return;
    }
    QCOMPARE(readAll(dir + "/data/readme.txt"), QStringLiteral("hello"));

    QTRY_VERIFY_WITH_TIMEOUT(readAll(record).contains("arg=-s"), 10000);
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    QCOMPARE(readAll(record),
             QString("cwd=%1\narg=/opt/plogger4/plogger4\narg=-s\n").arg(canonical));
    QTRY_COMPARE(readAll(dir + "/appUpdater.out"), QStringLiteral("stage2 standard output\n"));
    QTRY_COMPARE(readAll(dir + "/appUpdater.err"), QStringLiteral("stage2 standard error\n"));

    // The package now in place is current: a second check finds nothing new.
    u.checkForNewVersion(5000);
    QCOMPARE(seen.wait(4).last(), QStringLiteral("noNewVersionFound"));
}

void tst_BaseUpdater::temporaryDownloadDirectory()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", package}));
    LogCapture log;
    QString tempPath;
    {
        TestUpdater u("id");
        u.launchAfterDownload = false;
        Outcomes outcomes(&u);
        u.setServerUrl(server.url());
        u.checkForNewVersion(5000);
        QCOMPARE(outcomes.wait(), QStringList{"newVersionFound"});
        u.downloadNewVersion();
        QCOMPARE(outcomes.wait(2), (QStringList{"newVersionFound", "newVersionDownloaded"}));
        tempPath = u.downloadDir;
        QVERIFY(!tempPath.isEmpty());
        QVERIFY(QFile::exists(tempPath + "/pkg.bin"));
    }
    QVERIFY(!QFileInfo::exists(tempPath));

    // Without a query first there is nothing to download.
    TestUpdater u("id");
    Outcomes outcomes(&u);
    u.downloadNewVersion();
    QCOMPARE(outcomes.wait(), QStringList{"downloadFailed"});
}

void tst_BaseUpdater::uncompress_data()
{
    // Entries are written below dest/; "outside/victim" sits beside it.
    QTest::addColumn<QStringList>("entries"); // kind:path[:target]
    QTest::addColumn<QStringList>("expected"); // paths that must exist under dest
    QTest::addColumn<QStringList>("absent");   // paths that must not exist under dest
    QTest::addColumn<QString>("logText");

    const QString refused = "Refusing archive entry";
    QTest::newRow("files and directories") << QStringList{"dir:sub", "file:sub/a.txt", "file:b.txt", "dir:empty"}
                                           << QStringList{"sub/a.txt", "b.txt", "empty"} << QStringList{}
                                           << "finished OK to unzip  pkg.tar.gz true";
    QTest::newRow("dot-dot entry") << QStringList{"file:../outside/victim", "file:ok.txt"}
                                   << QStringList{"ok.txt"} << QStringList{} << refused;
    QTest::newRow("nested dot-dot entry") << QStringList{"file:a/../../outside/victim"} << QStringList{}
                                          << QStringList{"a"} << refused;
    QTest::newRow("absolute path") << QStringList{"file:@OUTSIDE@/victim"} << QStringList{} << QStringList{}
                                   << refused;
    QTest::newRow("symlink outside then write through it")
        << QStringList{"symlink:link:@OUTSIDE@", "file:link/victim"} << QStringList{} << QStringList{} << "";
    QTest::newRow("relative symlink escaping then write through it")
        << QStringList{"symlink:link:../outside", "file:link/victim"} << QStringList{} << QStringList{} << refused;
    QTest::newRow("symlink inside then write through it")
        << QStringList{"dir:real", "symlink:link:real", "file:link/x"} << QStringList{"link"}
        << QStringList{"real/x"} << "";
    QTest::newRow("hard link outside") << QStringList{"hardlink:hl:../outside/victim"} << QStringList{}
                                       << QStringList{"hl"} << "hard link target leaves the destination";
    QTest::newRow("absolute hard link") << QStringList{"hardlink:hl:@OUTSIDE@/victim"} << QStringList{}
                                        << QStringList{"hl"} << "hard link target leaves the destination";
    QTest::newRow("hard link inside") << QStringList{"file:a.txt", "hardlink:b.txt:a.txt"}
                                      << QStringList{"a.txt", "b.txt"} << QStringList{} << "";
    QTest::newRow("backslash is part of the name") << QStringList{"file:a\\b"} << QStringList{"a\\b"}
                                                   << QStringList{"a", "b"} << "";
    QTest::newRow("set-id, sticky and group/other write bits dropped") << QStringList{"setuid:tool"} << QStringList{"tool"} << QStringList{}
                                         << "";
    QTest::newRow("entry naming the folder itself") << QStringList{"dir:./", "file:ok.txt"} << QStringList{"ok.txt"}
                                                    << QStringList{} << "Skipping the entry for the download folder itself";
    QTest::newRow("not an archive") << QStringList{"garbage"} << QStringList{} << QStringList{}
                                    << "-----> ERROR uncompressing file 0:";
    QTest::newRow("truncated archive") << QStringList{"truncated"} << QStringList{} << QStringList{}
                                       << "finished OK to unzip  pkg.tar.gz false";
}

void tst_BaseUpdater::uncompress()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, absent);
    QFETCH(QString, logText);

    QTemporaryDir root;
    const QString dest = root.filePath("dest");
    const QString outside = root.filePath("outside");
    QVERIFY(QDir().mkpath(dest));
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(writeFile(outside + "/victim", "untouched"));
    const QString archivePath = root.filePath("pkg.tar.gz");

    ArchiveBuilder builder;
    for (QString e : entries) {
        e.replace("@OUTSIDE@", outside);
        const QStringList p = e.split(':');
        const QByteArray path = p.value(1).toUtf8();
        const QByteArray target = p.value(2).toUtf8();
        if (p[0] == "file")
            builder.addFile(path, "pwned");
        else if (p[0] == "dir")
            builder.addDirectory(path);
        else if (p[0] == "symlink")
            builder.addSymlink(path, target);
        else if (p[0] == "hardlink")
            builder.addHardlink(path, target, "pwned");
        else if (p[0] == "setuid")
            builder.addFile(path, "#!/bin/sh\n", 07777);
    }
    if (entries == QStringList{"garbage"}) {
        QVERIFY(writeFile(archivePath, QByteArray(5000, '\x07')));
    } else if (entries == QStringList{"truncated"}) {
        ArchiveBuilder big;
        // Incompressible, so that half the archive still holds the first header.
        QByteArray noise(200000, Qt::Uninitialized);
        quint32 x = 1;
        for (int i = 0; i < noise.size(); ++i) {
            x = x * 1664525u + 1013904223u;
            noise[i] = char(x >> 24);
        }
        big.addFile("big.bin", noise);
        QVERIFY(big.write(archivePath));
        QFile f(archivePath);
        QVERIFY(f.resize(f.size() / 2));
    } else {
        QVERIFY(builder.write(archivePath));
    }

    LogCapture log;
    TestUpdater u("id");
    const bool unpacked = u.uncompressFile(root.path(), "pkg.tar.gz", dest);

    QCOMPARE(readAll(outside + "/victim"), QStringLiteral("untouched"));
    QCOMPARE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"victim"});
    QCOMPARE(QDir(root.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             (QStringList{"dest", "outside", "pkg.tar.gz"}));
    for (const QString &path : expected)
        QVERIFY2(QFileInfo(dest + "/" + path).exists() || QFileInfo(dest + "/" + path).isSymLink(),
                 qPrintable(path));
    for (const QString &path : absent)
        QVERIFY2(!QFileInfo::exists(dest + "/" + path), qPrintable(path));
    if (!logText.isEmpty())
        QVERIFY2(log.contains(logText), qPrintable(log.lines().join('\n')));
    if (entries.value(0) == "dir:./")
        QVERIFY(unpacked);  // what `tar -C dir .` writes first
    if (entries == QStringList{"setuid:tool"}) {
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(dest + "/tool").constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0755);
    }
}

void tst_BaseUpdater::launchProgram()
{
    QTemporaryDir dir;
    LogCapture log;
    TestUpdater u("id");
    u.setDownloadDir(dir.path());
    QSignalSpy launched(&u, &BaseUpdater::externalProcessLaunched);
    QSignalSpy failed(&u, &BaseUpdater::externalProcessFailed);

    QVERIFY(!u.launchProgram("missing", {"-s"}));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(launched.count(), 0);
    QVERIFY(log.contains("file to launch exists:  false"));
    QVERIFY(log.contains("Unable to launch program!"));

    QVERIFY(QFile::copy(QStringLiteral(STAGE2_RECORDER_BIN), dir.filePath("stage2")));
    QVERIFY(u.launchProgram("stage2", {"/path with space/app", "-s"}));
    QCOMPARE(launched.count(), 1);
    const QString record = dir.filePath("stage2-record.txt");
    QTRY_VERIFY_WITH_TIMEOUT(readAll(record).contains("arg=-s"), 10000);
    QCOMPARE(readAll(record), QString("cwd=%1\narg=/path with space/app\narg=-s\n")
                                  .arg(QFileInfo(dir.path()).canonicalFilePath()));
}

QTEST_GUILESS_MAIN(tst_BaseUpdater)
#include "tst_baseupdater.moc"
