// Downloads, verifies and finalizes a 1 GiB package from the update test
// server over loopback, and compares with curl followed by md5sum and sha1sum.
#include "benchsupport.h"
#include "filexfermanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

constexpr qint64 PackageSize = qint64(1) << 30;
constexpr int Rounds = 2;

bool makePackage(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    quint32 x = 12345;
    for (int i = 0; i < block.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        block[i] = char(x >> 24);
    }
    for (qint64 written = 0; written < PackageSize; written += block.size()) {
        memcpy(block.data(), &written, sizeof written); // no two blocks alike
        if (f.write(block) != block.size())
            return false;
    }
    return true;
}

struct Server {
    QProcess process;
    QString url;
    QString md5;
    QString sha1;

    bool start(const QString &package)
    {
        process.setProgram(QStringLiteral(UPDATE_SERVER_BIN));
        process.setArguments({"--port", "0", "--package", package});
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 120000 && (url.isEmpty() || md5.isEmpty())) {
            if (!process.canReadLine() && !process.waitForReadyRead(1000)) {
                if (process.state() == QProcess::NotRunning)
                    return false;
                continue;
            }
            while (process.canReadLine()) {
                const QList<QByteArray> words = process.readLine().trimmed().split(' ');
                if (words.value(0) == "listening")
                    url = QString::fromLatin1(words.value(1)) + QLatin1String("/updates/files/package.bin");
                if (words.value(0) == "package") {
                    md5 = QString::fromLatin1(words.value(1).mid(4));
                    sha1 = QString::fromLatin1(words.value(2).mid(5));
                }
            }
        }
        return !url.isEmpty() && !md5.isEmpty();
    }
    ~Server()
    {
        process.kill();
        process.waitForFinished(5000);
    }
};

// Seconds for one download through FileXferManager, or -1.
double ownDownload(const Server &server, const QString &dir)
{
    DownloadableFileInfo info;
    info.fileName = QStringLiteral("own.bin");
    info.url = server.url;
    info.md5 = server.md5;
    info.sha1 = server.sha1;
    info.size = PackageSize;
    info.valid = true;
    XferConfig config(info);
    config.destDir = dir;

    FileXferManager manager;
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&manager, &FileXferManager::fileXferSucceed, &loop, [&] {
        ok = true;
        loop.quit();
    });
    QObject::connect(&manager, &FileXferManager::fileXferFailed, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    manager.transfer(config);
    loop.exec();
    const double seconds = t.nsecsElapsed() / 1e9;
    QFile::remove(config.finalFilePath());
    QFile::remove(config.tmpFilePath());
    return ok ? seconds : -1;
}

// Seconds for curl -s -o, then md5sum, then sha1sum, or -1.
double pipeline(const Server &server, const QString &dir)
{
    const QString file = dir + QLatin1String("/curl.bin");
    QElapsedTimer t;
    t.start();
    if (QProcess::execute(QStringLiteral("curl"), {"-s", "-o", file, server.url}) != 0)
        return -1;
    QProcess md5;
    md5.start(QStringLiteral("md5sum"), {file});
    md5.waitForFinished(-1);
    QProcess sha1;
    sha1.start(QStringLiteral("sha1sum"), {file});
    sha1.waitForFinished(-1);
    const double seconds = t.nsecsElapsed() / 1e9;
    QFile::remove(file);
    const bool ok = md5.readAllStandardOutput().startsWith(server.md5.toLatin1())
        && sha1.readAllStandardOutput().startsWith(server.sha1.toLatin1());
    return ok ? seconds : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Progress lines for every chunk would measure the terminal, not the download.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_download: no temporary directory\n");
        return 1;
    }
    const QString package = dir.filePath(QStringLiteral("package.bin"));
    std::printf("generating a %lld MiB package in %s\n", PackageSize >> 20, qPrintable(dir.path()));
    std::fflush(stdout);
    if (!makePackage(package)) {
        std::fprintf(stderr, "bench_download: cannot write the package\n");
        return 1;
    }
    Server server;
    if (!server.start(package)) {
        std::fprintf(stderr, "bench_download: the update server did not start\n");
        return 1;
    }
    const bool haveCurl = !QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty();
    if (!haveCurl)
        std::printf("curl is missing: no pipeline comparison (scripts/bench installs it)\n");

    const qint64 idleKiB = BenchSupport::procStatusKiB("VmRSS");
    double best = -1;
    double bestPipeline = -1;
    for (int round = 0; round < Rounds; ++round) {
        const double own = ownDownload(server, dir.path());
        if (own < 0) {
            std::fprintf(stderr, "bench_download: the download failed\n");
            return 1;
        }
        std::printf("round %d: FileXferManager %.2f s (%.0f MB/s)\n", round + 1, own, PackageSize / own / 1e6);
        if (best < 0 || own < best)
            best = own;
        if (haveCurl) {
            const double pipe = pipeline(server, dir.path());
            if (pipe < 0) {
                std::fprintf(stderr, "bench_download: curl, md5sum or sha1sum failed\n");
                return 1;
            }
            std::printf("round %d: curl + md5sum + sha1sum %.2f s (%.0f MB/s)\n", round + 1, pipe,
                        PackageSize / pipe / 1e6);
            if (bestPipeline < 0 || pipe < bestPipeline)
                bestPipeline = pipe;
        }
        std::fflush(stdout);
    }
    const qint64 peakKiB = BenchSupport::procStatusKiB("VmHWM");
    const double mbs = PackageSize / best / 1e6;
    const double ratio = bestPipeline > 0 ? bestPipeline / best : 0.0;
    const qint64 overIdleMb = (peakKiB - idleKiB) / 1024;
    std::printf("idle %lld KiB, peak %lld KiB (targets: ratio >= 0.8, peak over idle <= 64 MB)\n", idleKiB,
                peakKiB);
    std::printf("download: mb_s=%.0f pipeline_ratio=%.2f peak_rss_over_idle_mb=%lld\n", mbs, ratio, overIdleMb);
    return 0;
}
