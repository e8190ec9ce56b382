#include "filexfermanager.h"

#include "utils.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTimer>

#include <algorithm>

namespace {
constexpr qint64 ChunkSize = 256 * 1024;
// Bounds what the network layer holds for us while the disk catches up.
constexpr qint64 ReplyBufferSize = 1024 * 1024;
}

// State of one running download, kept per reply so that every reply ends
// in exactly one outcome, whatever its URL.
struct FileXferManager::Job {
    XferConfig config;
    QString key;
    QFile file;
    QCryptographicHash md5{QCryptographicHash::Md5};
    QCryptographicHash sha1{QCryptographicHash::Sha1};
    qint64 received = 0;
    bool created = false;  // the temporary file is ours to remove
    bool failed = false;
};

FileXferManager::FileXferManager(QObject *parent)
    : QObject(parent)
    , accessManager(new QNetworkAccessManager)
{
    qRegisterMetaType<DownloadableFileInfo>();
    qRegisterMetaType<XferConfig>();
}

FileXferManager::~FileXferManager()
{
    // Whatever still runs is cancelled: no partial file stays behind.
    for (auto &entry : jobs) {
        entry.first->disconnect(this);
        entry.first->abort();
        entry.first->deleteLater();
        discard(*entry.second);
    }
    jobs.clear();
    accessManager->deleteLater();
    accessManager = nullptr;
}

void FileXferManager::setCaCertificates(const QList<QSslCertificate> &certificates)
{
    useCustomCa = true;
    caCertificates = certificates;
}

void FileXferManager::transfer(const XferConfig &config)
{
    const QString key = config.info.url;
    if (!config.info.hasWebUrl()) {
        qCritical().noquote() << Q_FUNC_INFO << "Refusing to download from" << key << "- not an http or https address";
        const DownloadableFileInfo info = config.info;
        QTimer::singleShot(0, this, [this, info] { emit fileXferFailed(info); });
        return;
    }
    transfers.insert(key, config);

    const QUrl url = QUrl(key, QUrl::TolerantMode);
    QNetworkRequest request(url);
    if (useCustomCa) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(caCertificates);
        request.setSslConfiguration(ssl);
    }
    qDebug().noquote() << "Downloading file " << url.toString();

    QNetworkReply *reply = accessManager->get(request);
    reply->setReadBufferSize(ReplyBufferSize);

    auto job = std::make_unique<Job>();
    job->config = config;
    job->key = key;
    QString error;
    if (Utils::createNewFile(job->file, config.tmpFilePath(), &error)) {
        job->created = true;
    } else {
        qCritical().noquote() << Q_FUNC_INFO << "Cannot open file" << config.tmpFilePath() << error;
        job->failed = true;
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    }
    jobs[reply] = std::move(job);

    connect(reply, &QNetworkReply::metaDataChanged, this, &FileXferManager::onMetaDataChanged);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileXferManager::onBytesReceived);
    connect(reply, &QNetworkReply::downloadProgress, this, &FileXferManager::bytesReceived);
    connect(reply, &QIODevice::readyRead, this, &FileXferManager::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &FileXferManager::onXferFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &FileXferManager::onError);
    connect(reply, &QNetworkReply::sslErrors, this, &FileXferManager::onSslError);
}

void FileXferManager::drain(QNetworkReply *reply, Job &job)
{
    if (!reply->isOpen())
        return;
    if (readBuffer.size() != ChunkSize)
        readBuffer.resize(int(ChunkSize));
    char *buffer = readBuffer.data();
    for (;;) {
        const qint64 n = reply->read(buffer, readBuffer.size());
        if (n <= 0)
            return;
        if (job.failed)
            continue;
        // The update answer said how big the file is; a server that sends
        // more would otherwise fill the disk.
        if (n > job.config.info.size - job.received) {
            qCritical().noquote() << Q_FUNC_INFO << "Stopping the download of" << job.key << "- it passes the"
                                  << job.config.info.size << "bytes the update answer announced";
            job.failed = true;
            reply->abort();
            return;
        }
        job.received += n;
        job.md5.addData(buffer, int(n));
        job.sha1.addData(buffer, int(n));
        if (job.file.write(buffer, n) != n) {
            qCritical().noquote() << Q_FUNC_INFO << "Cannot write file" << job.config.tmpFilePath()
                                  << job.file.errorString();
            job.failed = true;
            reply->abort();
            return;
        }
    }
}

void FileXferManager::onMetaDataChanged()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const auto it = jobs.find(reply);
    if (it == jobs.end() || it->second->failed)
        return;
    const Job &job = *it->second;
    bool known = false;
    const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && length > job.config.info.size) {
        qCritical().noquote() << Q_FUNC_INFO << "Refusing the download of" << job.key << "- it announces" << length
                              << "bytes, more than the" << job.config.info.size << "the update answer announced";
        it->second->failed = true;
        reply->abort();
    }
}

void FileXferManager::discard(Job &job)
{
    job.file.close();
    if (job.created && !QFile::remove(job.config.tmpFilePath()))
        qCritical().noquote() << Q_FUNC_INFO << "Cannot remove" << job.config.tmpFilePath();
    job.created = false;
}

void FileXferManager::onReadyRead()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const auto it = jobs.find(reply);
    if (it == jobs.end())
        return;
    drain(reply, *it->second);
}

void FileXferManager::onXferFinished()
{
    qDebug().noquote() << Q_FUNC_INFO << "file finished";
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    const auto it = jobs.find(reply);
    if (it == jobs.end()) {
        qDebug() << "CRITICAL - url not found in map";
        return;
    }
    std::unique_ptr<Job> job = std::move(it->second);
    jobs.erase(it);
    // Another running job for the same URL still owns the entry.
    const bool keyStillRunning = std::any_of(jobs.begin(), jobs.end(),
                                             [&](const auto &j) { return j.second->key == job->key; });
    if (!keyStillRunning)
        transfers.remove(job->key);

    const XferConfig &config = job->config;
    qDebug().noquote() << "should write to " << config.tmpFilePath();
    drain(reply, *job);
    if (job->file.isOpen() && !job->file.flush())
        job->failed = true;
    job->file.close();

    bool ok = false;
    if (reply->error() != QNetworkReply::NoError) {
        qDebug().noquote() << Q_FUNC_INFO << "download failed:" << reply->errorString();
    } else if (job->failed) {
        qDebug().noquote() << Q_FUNC_INFO << "download could not be stored";
    } else if (config.verifyHashes) {
        qDebug() << "Comparing hashes from info and donwloaded files for integrity";
        ok = digestsMatch(QString::fromLatin1(job->md5.result().toHex()),
                          QString::fromLatin1(job->sha1.result().toHex()), config.info);
    } else {
        qDebug() << "Hash comparison after download is disabled.... skipping";
        ok = true;
    }

    if (ok && finalizeFile(config)) {
        emit fileXferSucceed(config.info);
        return;
    }
    discard(*job);
    emit fileXferFailed(config.info);
}

bool FileXferManager::checkHashes(const QString &path, const DownloadableFileInfo &info)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << Q_FUNC_INFO << "Cannot open file" << path;
        return false;
    }
    QCryptographicHash md5(QCryptographicHash::Md5);
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(buffer.data(), buffer.size());
        if (n < 0) {
            qDebug().noquote() << Q_FUNC_INFO << "Cannot read file" << path << file.errorString();
            return false;
        }
        if (n == 0)
            break;
        md5.addData(buffer.constData(), int(n));
        sha1.addData(buffer.constData(), int(n));
    }
    return digestsMatch(QString::fromLatin1(md5.result().toHex()),
                        QString::fromLatin1(sha1.result().toHex()), info);
}

bool FileXferManager::digestsMatch(const QString &md5, const QString &sha1, const DownloadableFileInfo &info)
{
    if (md5 == info.md5 && sha1 == info.sha1) {
        qDebug() << "Hashes match!";
        return true;
    }
    qDebug().noquote() << "CRITICAL - Hashes do not match: MD5(" << md5 << info.md5 << ") - SHA1(" << sha1
                       << info.sha1 << ")";
    return false;
}

bool FileXferManager::finalizeFile(const XferConfig &config)
{
    const QString tmpPath = config.tmpFilePath();
    const QString finalPath = config.finalFilePath();
    const QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    if (!QFile::setPermissions(tmpPath, mode)) {
        qCritical() << "Failed to set file permissions";
        return false;
    }
    if (QFile::exists(finalPath) && !QFile::remove(finalPath)) {
        qCritical().noquote() << "A file with the same name existed and could not be deleted: " << finalPath;
        return false;
    }
    const bool renamed = QFile::rename(tmpPath, finalPath);
    if (!renamed)
        qCritical().noquote() << "failed to rename file" << tmpPath << "to" << finalPath;
    return renamed;
}

void FileXferManager::onBytesReceived(qint64 received, qint64 total)
{
    if (received != 0)
        qDebug().noquote() << Q_FUNC_INFO << "received " << received << " byte(s) out of " << total;
}

void FileXferManager::onError(QNetworkReply::NetworkError code)
{
    qDebug().noquote() << Q_FUNC_INFO << "an error happened while transfering the file:" << int(code);
}

void FileXferManager::onSslError(const QList<QSslError> &errors)
{
    // The file is run after download: a server that cannot prove who it is
    // must not supply it.
    qCritical().noquote() << Q_FUNC_INFO << "refusing the download, TLS errors:" << errors;
    if (auto *reply = qobject_cast<QNetworkReply *>(sender()))
        reply->abort();
}
