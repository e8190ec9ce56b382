#include "filexfermanager.h"
#include "logcapture.h"
#include "procstatus.h"
#include "serverprocess.h"
#include "testcertificates.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest>

class tst_FileXferManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void download_data();
    void download();
    void emptyDestDirUsesCurrentDirectory();
    void checkHashesOfLocalFile();
    void httpsNeedsTrustedCertificate_data();
    void httpsNeedsTrustedCertificate();
    void largeDownloadKeepsMemoryFlat();

private:
    struct Outcome {
        bool finished = false;
        bool succeeded = false;
    };
    Outcome run(FileXferManager &manager, const XferConfig &config);
    DownloadableFileInfo infoFor(const ServerProcess &server) const;

    QTemporaryDir work;
    QString package;
    QByteArray packageData;
};

static QByteArray patternData(qint64 size, quint32 seed)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < data.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

void tst_FileXferManager::initTestCase()
{
    QVERIFY(work.isValid());
    package = work.filePath("pkg.bin");
    packageData = patternData(3 * 1024 * 1024 + 17, 1);
    QFile f(package);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(packageData);
}

DownloadableFileInfo tst_FileXferManager::infoFor(const ServerProcess &server) const
{
    DownloadableFileInfo info;
    info.fileName = "pkg.bin";
    info.url = server.url("/updates/files/pkg.bin").toString();
    info.md5 = server.md5();
    info.sha1 = server.sha1();
    info.size = server.packageSize();
    info.valid = true;
    return info;
}

tst_FileXferManager::Outcome tst_FileXferManager::run(FileXferManager &manager, const XferConfig &config)
{
    QSignalSpy ok(&manager, &FileXferManager::fileXferSucceed);
    QSignalSpy failed(&manager, &FileXferManager::fileXferFailed);
    manager.transfer(config);
    Outcome outcome;
    outcome.finished = QTest::qWaitFor([&] { return ok.count() + failed.count() > 0; }, 30000);
    QTest::qWait(50); // a second outcome would show here
    if (ok.count() + failed.count() != 1)
        outcome.finished = false;
    outcome.succeeded = ok.count() == 1;
    const auto &args = outcome.succeeded ? ok : failed;
    if (!args.isEmpty() && args.at(0).at(0).value<DownloadableFileInfo>().url != config.info.url)
        outcome.finished = false;
    return outcome;
}

void tst_FileXferManager::download_data()
{
    QTest::addColumn<QStringList>("serverArgs");
    QTest::addColumn<QString>("digestCase");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("logged");  // the reason a failure gives, when only one can be
    QTest::newRow("good") << QStringList{} << "" << true << "";
    QTest::newRow("upper-case digests") << QStringList{} << "upper" << false << "";
    QTest::newRow("wrong digests") << QStringList{} << "wrong" << false << "";
    QTest::newRow("404") << QStringList{"--download-404"} << "" << false << "";
    QTest::newRow("truncated body") << QStringList{"--truncate-download"} << "" << false << "";
    QTest::newRow("connection reset mid-body") << QStringList{"--reset-download"} << "" << false << "";
    QTest::newRow("sends on past the announced size") << QStringList{"--flood", QString::number(64 << 20)} << ""
                                                      << false << "Stopping the download of";
    QTest::newRow("announces more than the answer")
        << QStringList{"--content-length", QString::number(packageData.size() + 1)} << "" << false
        << "Refusing the download of";
}

void tst_FileXferManager::download()
{
    QFETCH(QStringList, serverArgs);
    QFETCH(QString, digestCase);
    QFETCH(bool, succeeds);
    QFETCH(QString, logged);

    LogCapture log;
    ServerProcess server;
    QVERIFY(server.start(serverArgs + QStringList{"--package", package}));
    QTemporaryDir dest;
    XferConfig config(infoFor(server));
    config.destDir = dest.path();
    if (digestCase == "upper") {
        config.info.md5 = config.info.md5.toUpper();
        config.info.sha1 = config.info.sha1.toUpper();
    } else if (digestCase == "wrong") {
        config.info.sha1[0] = config.info.sha1[0] == '0' ? '1' : '0';
    }
    QCOMPARE(config.tmpFilePath(), dest.path() + "/pkg.bin.tmp");
    // A good download replaces it; a failed one leaves it alone.
    const QString final = dest.filePath("pkg.bin");
    QFile old(final);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old contents");
    old.close();

    FileXferManager manager;
    const Outcome outcome = run(manager, config);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.succeeded, succeeds);
    QFile f(final);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll() == (succeeds ? packageData : QByteArray("old contents")));
    QVERIFY(!QFile::exists(config.tmpFilePath()));
    if (succeeds) {
        QCOMPARE(int(f.permissions() & 0x7077), 0x7055); // owner rwx, group and others r-x
        QVERIFY(log.contains("Hashes match!"));
    } else if (!logged.isEmpty()) {
        QVERIFY2(log.contains(logged), qPrintable(log.lines().join(QLatin1Char('\n'))));
    } else if (!digestCase.isEmpty()) {
        QVERIFY(log.contains("CRITICAL - Hashes do not match: MD5("));
    } else {
        // A reset can reach the client as a network error or, when it loses
        // the race with the last bytes read, as a short body that fails the
        // digests; either way nothing is put in place.
        QVERIFY2(log.contains("an error happened while transfering the file:")
                     || log.contains("CRITICAL - Hashes do not match: MD5("),
                 qPrintable(log.lines().join(QLatin1Char('\n'))));
    }
}

void tst_FileXferManager::emptyDestDirUsesCurrentDirectory()
{
    ServerProcess server;
    QVERIFY(server.start({"--package", package}));
    QTemporaryDir dest;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dest.path()));
    XferConfig config(infoFor(server));
    QCOMPARE(config.tmpFilePath(), QStringLiteral("pkg.bin.tmp"));
    FileXferManager manager;
    const bool ok = run(manager, config).succeeded;
    QDir::setCurrent(previous);
    QVERIFY(ok);
    QVERIFY(QFile::exists(dest.filePath("pkg.bin")));
}

void tst_FileXferManager::checkHashesOfLocalFile()
{
    LogCapture log;
    DownloadableFileInfo info;
    info.md5 = QString::fromLatin1(QCryptographicHash::hash(packageData, QCryptographicHash::Md5).toHex());
    info.sha1 = QString::fromLatin1(QCryptographicHash::hash(packageData, QCryptographicHash::Sha1).toHex());
    QVERIFY(FileXferManager::checkHashes(package, info));

    DownloadableFileInfo md5Only = info;
    md5Only.sha1.clear();
    QVERIFY(!FileXferManager::checkHashes(package, md5Only));
    DownloadableFileInfo spaced = info;
    spaced.md5 += ' ';
    QVERIFY(!FileXferManager::checkHashes(package, spaced));

    QVERIFY(!FileXferManager::checkHashes(work.filePath("missing"), info));
    QVERIFY(log.contains("Cannot open file"));
}

void tst_FileXferManager::httpsNeedsTrustedCertificate_data()
{
    QTest::addColumn<bool>("caSigned");
    QTest::addColumn<bool>("trustTestCa");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("self-signed, test CA trusted") << false << true << false;
    QTest::newRow("self-signed, system CAs") << false << false << false;
    QTest::newRow("CA-signed, system CAs") << true << false << false;
    QTest::newRow("CA-signed, test CA trusted") << true << true << true;
}

void tst_FileXferManager::httpsNeedsTrustedCertificate()
{
    QFETCH(bool, caSigned);
    QFETCH(bool, trustTestCa);
    QFETCH(bool, succeeds);
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS support in this Qt build");
    static TestCertificates certs;
    static bool made = false;
    QString error;
    if (!made) {
        QVERIFY2(certs.create(&error), qPrintable(error));
        made = true;
    }

    LogCapture log;
    ServerProcess server;
    QVERIFY(server.start({"--package", package, "--cert",
                          caSigned ? certs.serverCertificateFile() : certs.selfSignedCertificateFile(), "--key",
                          caSigned ? certs.serverKeyFile() : certs.selfSignedKeyFile()}));
    QCOMPARE(server.url().scheme(), QStringLiteral("https"));
    QTemporaryDir dest;
    XferConfig config(infoFor(server));
    config.destDir = dest.path();
    FileXferManager manager;
    if (trustTestCa)
        manager.setCaCertificates(certs.caCertificates());
    const Outcome outcome = run(manager, config);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.succeeded, succeeds);
    QCOMPARE(QFile::exists(dest.filePath("pkg.bin")), succeeds);
    if (!succeeds)
        QVERIFY(log.contains("refusing the download, TLS errors:"));
}

void tst_FileXferManager::largeDownloadKeepsMemoryFlat()
{
#if defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizer's allocator keeps freed memory; resident size says nothing here");
#endif
    const qint64 size = 200 * 1024 * 1024;
    const QString big = work.filePath("big.bin");
    {
        QFile f(big);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const QByteArray block = patternData(1024 * 1024, 7);
        for (qint64 written = 0; written < size; written += block.size())
            QCOMPARE(f.write(block), qint64(block.size()));
    }
    ServerProcess server;
    QVERIFY(server.start({"--package", big}));
    QTemporaryDir dest;
    DownloadableFileInfo info = infoFor(server);
    info.fileName = "big.bin";
    info.url = server.url("/updates/files/big.bin").toString();
    XferConfig config(info);
    config.destDir = dest.path();

    LogCapture log; // keeps the progress lines off the output
    FileXferManager manager;
    const qint64 before = ProcStatus::residentKiB();
    const Outcome outcome = run(manager, config);
    const qint64 peak = ProcStatus::peakResidentKiB();
    QVERIFY(outcome.finished);
    QVERIFY(outcome.succeeded);
    QCOMPARE(QFileInfo(dest.filePath("big.bin")).size(), size);
    qInfo("resident before %lld KiB, peak %lld KiB", before, peak);
    QVERIFY2(peak - before < 64 * 1024, qPrintable(QString("peak grew by %1 KiB").arg(peak - before)));
    QFile::remove(big);
}

QTEST_GUILESS_MAIN(tst_FileXferManager)
#include "tst_filexfermanager.moc"
