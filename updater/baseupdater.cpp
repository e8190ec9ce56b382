#include "baseupdater.h"

#include "filexfermanager.h"
#include "getfileinforeqmsg.h"
#include "simplexmlparser.h"
#include "utils.h"
#include "xferconfig.h"
#include "zufwxmltags.h"

#include <QAuthenticator>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTextDecoder>
#include <QTimer>

#include <archive.h>
#include <archive_entry.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
const char *const DefaultScheme = "http";
const char *const DefaultPath = "/suf";
const char *const DefaultScript = "/RestController.php";
const char *const DefaultQuery = "action=getFileInfo";
constexpr int DefaultTimeoutMs = 5000;
constexpr int Platform = 2;
// Answers are a few hundred bytes; anything near this is not one.
constexpr qint64 MaxAnswerBytes = 4 * 1024 * 1024;
constexpr qint64 QueryReadBufferSize = 64 * 1024;

bool isInside(const QString &root, const QString &cleanPath)
{
    return !root.isEmpty() && (cleanPath == root || cleanPath.startsWith(root + QLatin1Char('/')));
}

// The program must be ours alone and lie inside the folder, whatever links
// the package made on the way there.
bool isSafeToStart(const QString &folder, const QString &path, QString *canonical, QString *problem)
{
    const QString root = QFileInfo(folder).canonicalFilePath();
    *canonical = QFileInfo(path).canonicalFilePath();
    struct stat st;
    if (canonical->isEmpty())
        *problem = QStringLiteral("it does not exist");
    else if (!isInside(root, *canonical) || *canonical == root)
        *problem = QStringLiteral("it does not lie inside the download folder");
    else if (::stat(QFile::encodeName(*canonical).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        *problem = QStringLiteral("it is not a regular file");
    else if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
        *problem = QStringLiteral("it is not owned by us alone");
    else
        return true;
    return false;
}
}

BaseUpdater::BaseUpdater(const QString &appUniqueId, QObject *parent)
    : QObject(parent)
    , xferManager(new FileXferManager(this))
    , appUniqueId(appUniqueId)
    , requestTimer(new QTimer(this))
    , restScheme(QLatin1String(DefaultScheme))
    , restPath(QLatin1String(DefaultPath))
    , restScript(QLatin1String(DefaultScript))
    , restQuery(QLatin1String(DefaultQuery))
    , accessManager(new QNetworkAccessManager(this))
{
    qRegisterMetaType<DownloadableFileInfo>();
    requestTimer->setSingleShot(true);
    connect(xferManager, &FileXferManager::fileXferSucceed, this, &BaseUpdater::onFileReceived);
    connect(xferManager, &FileXferManager::fileXferFailed, this, &BaseUpdater::onFileXferError);
    connect(xferManager, &FileXferManager::bytesReceived, this, &BaseUpdater::bytesReceived);
}

struct BaseUpdater::Query {
    SimpleXmlParser parser;
    std::unique_ptr<QTextDecoder> decoder{QTextCodec::codecForName("UTF-8")->makeDecoder()};
    qint64 received = 0;
    bool answered = false;  // a document, or a failure, was reported
};

BaseUpdater::~BaseUpdater() = default;

void BaseUpdater::resetRestDefaults()
{
    restScheme = QLatin1String(DefaultScheme);
    restPath = QLatin1String(DefaultPath);
    restScript = QLatin1String(DefaultScript);
    restQuery = QLatin1String(DefaultQuery);
}

void BaseUpdater::setServerUrl(const QUrl &url)
{
    restScheme = url.scheme();
    restHost = url.host(QUrl::FullyDecoded);
    restPort = url.port(-1);
    if (restPort == -1) {
        const QString scheme = restScheme.toLower();
        if (scheme == QLatin1String("http")) {
            restPort = 80;
        } else if (scheme == QLatin1String("https")) {
            restPort = 443;
        } else {
            qWarning().noquote() << "Could not find a port in the URL and we do not know how to handle"
                                 << restScheme << "using -1";
        }
    }
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.isEmpty())
        restPath = path;
}

void BaseUpdater::setDownloadDir(const QString &dir)
{
    downloadDir = dir;
    tempDir.reset();
    downloadDirIsTrusted();
}

bool BaseUpdater::downloadDirIsTrusted() const
{
    // Whoever can write there chooses what we run.
    QString problem;
    if (downloadDir.isEmpty() || Utils::makePrivateDirectory(downloadDir, &problem))
        return true;
    const QString text = QStringLiteral("Not using the download folder %1 - it %2").arg(downloadDir, problem);
    // Once per reason: every step asks again.
    if (text != reportedDownloadDirProblem) {
        reportedDownloadDirProblem = text;
        reportDownloadDirProblem(text);
    }
    return false;
}

void BaseUpdater::reportDownloadDirProblem(const QString &text) const
{
    qCritical().noquote() << Q_FUNC_INFO << text;
}

void BaseUpdater::setCaCertificates(const QList<QSslCertificate> &certificates)
{
    useCustomCa = true;
    caCertificates = certificates;
    xferManager->setCaCertificates(certificates);
}

QUrl BaseUpdater::queryUrl() const
{
    QUrl url;
    url.setScheme(restScheme);
    url.setHost(restHost, QUrl::DecodedMode);
    url.setPath(restPath + restScript, QUrl::DecodedMode);
    url.setPort(restPort);
    url.setQuery(restQuery, QUrl::TolerantMode);
    return url;
}

void BaseUpdater::checkForNewVersion(int timeoutMillisecs)
{
    if (timeoutMillisecs < 0)
        timeoutMillisecs = DefaultTimeoutMs;
    if (!downloadDirIsTrusted()) {
        QTimer::singleShot(0, this, &BaseUpdater::versionCheckFailed);
        return;
    }
    qDebug().noquote() << "Connecting to " << restHost << restPort << "with a timeout of " << timeoutMillisecs
                       << "milliseconds";

    QNetworkRequest request(queryUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    if (useCustomCa) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(caCertificates);
        request.setSslConfiguration(ssl);
    }

    const ZUFW_XML::GetFileInfoReqMsg msg(appUniqueId, fileInfoType, Platform);
    QNetworkReply *reply = accessManager->post(request, msg.toXml().toLatin1());
    // Small reads let the size limit stop an endless answer early.
    reply->setReadBufferSize(QueryReadBufferSize);
    auto query = std::make_unique<Query>();
    query->parser.setRootTag(ZUFW_XML::ZTUPFW);
    queries[reply] = std::move(query);

    connect(reply, &QIODevice::readyRead, this, &BaseUpdater::onServerDataReceived);
    connect(reply, &QNetworkReply::errorOccurred, this, &BaseUpdater::onNetworkError);
    connect(reply, &QNetworkReply::sslErrors, this, &BaseUpdater::onSslError);
    connect(reply, &QNetworkReply::finished, this, &BaseUpdater::onQueryFinished);
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    connect(accessManager, &QNetworkAccessManager::authenticationRequired, this,
            &BaseUpdater::onAuthenticationRequest, Qt::UniqueConnection);
    connect(requestTimer, &QTimer::timeout, reply, &QNetworkReply::abort);

    requestTimer->start(timeoutMillisecs);
}

void BaseUpdater::onServerDataReceived()
{
    auto *device = qobject_cast<QIODevice *>(sender());
    if (!device) {
        qDebug().noquote() << Q_FUNC_INFO << " dynamic_cast<QIODevice*>(sender()) returned NULL";
        return;
    }
    const QByteArray bytes = device->readAll();
    const auto it = queries.find(device);
    if (it == queries.end())
        return;
    Query &query = *it->second;
    query.received += bytes.size();
    if (query.received > MaxAnswerBytes) {
        qCritical().noquote() << Q_FUNC_INFO << "The answer is too large, giving up";
        if (auto *reply = qobject_cast<QNetworkReply *>(device))
            reply->abort();
        return;
    }
    query.parser.parse(query.decoder->toUnicode(bytes));

    while (query.parser.hasMessages()) {
        const QString document = query.parser.takeMessage();
        requestTimer->stop();
        query.answered = true;
        if (document.contains(ZUFW_XML::FileInfoRoot)) {
            DownloadableFileInfo info = DownloadableFileInfo::fromXml(document);
            info.valid = info.hasRequiredFields() && info.hasSafeNames() && info.hasWebUrl();
            if (!info.valid) {
                emit versionCheckFailed();
                qCritical() << "Invalid DFI downloaded";
                info.print();
                return;
            }
            const bool upToDate = isLocalFileUpToDate(info);
            lastFileInfo = info;
            if (upToDate)
                emit noNewVersionFound();
            else
                emit newVersionFound();
        } else {
            qDebug().noquote() << "Unknown message" << document;
            emit versionCheckFailed();
        }
    }
}

void BaseUpdater::onQueryFinished()
{
    // An answer that ends without a complete document has no outcome: the
    // owner keeps waiting (the dialog stays busy until the user cancels).
    // One cut short of its Content-Length is a failure, though: Qt may end
    // such a reply without an error when the close is read after the last
    // bytes, and nothing would be left for the request's timer to abort.
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    const auto it = queries.find(sender());
    if (reply && it != queries.end() && !it->second->answered && reply->error() == QNetworkReply::NoError) {
        bool known = false;
        const qint64 promised = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && it->second->received < promised) {
            qCritical().noquote() << Q_FUNC_INFO << "The answer ended after" << it->second->received << "of" << promised
                                  << "bytes";
            requestTimer->stop();
            emit versionCheckFailed();
        }
    }
    if (it != queries.end())
        queries.erase(it);
}

bool BaseUpdater::isLocalFileUpToDate(const DownloadableFileInfo &info)
{
    const QString path = downloadDir + QLatin1Char('/') + info.fileName;
    const bool exists = QFileInfo::exists(path);
    qDebug().noquote() << "Does the localfile " << path << " exist:" << exists;
    if (!exists)
        return false;
    const bool upToDate = FileXferManager::checkHashes(path, info);
    qDebug().noquote() << "Is the hash of localfile " << path << " up-to-date with remote " << info.fileName << ":"
                       << upToDate;
    return upToDate;
}

void BaseUpdater::downloadNewVersion()
{
    if (!lastFileInfo.valid) {
        qCritical().noquote() << Q_FUNC_INFO << "No valid file information to download";
        QTimer::singleShot(0, this, &BaseUpdater::downloadFailed);
        return;
    }
    if (!downloadDirIsTrusted()) {
        QTimer::singleShot(0, this, &BaseUpdater::downloadFailed);
        return;
    }
    XferConfig config(lastFileInfo);
    config.verifyHashes = true;
    if (downloadDir.isEmpty()) {
        tempDir = std::make_unique<QTemporaryDir>();
        downloadDir = tempDir->path();
    }
    config.destDir = downloadDir;
    qDebug().noquote() << "going to download to " << downloadDir;
    xferManager->transfer(config);
}

void BaseUpdater::onFileReceived(DownloadableFileInfo info)
{
    qDebug().noquote() << "finished receiving file" << info.fileName;
    if (!unpackPackage()) {
        emit downloadFailed();
        return;
    }
    emit newVersionDownloaded();
    if (launchAfterDownload)
        launchUnpackedStage2();
}

void BaseUpdater::onFileXferError(DownloadableFileInfo info)
{
    qDebug().noquote() << "error receiving file" << info.fileName;
    emit downloadFailed();
}

void BaseUpdater::launchStage2Updater()
{
    // The package may lie there since an earlier run: only what is verified
    // now, and unpacked from it now, is started.
    const QString path = downloadDir + QLatin1Char('/') + lastFileInfo.fileName;
    if (!lastFileInfo.valid || !downloadDirIsTrusted() || !FileXferManager::checkHashes(path, lastFileInfo)) {
        qCritical().noquote() << "The package" << path << "could not be verified again; not starting it";
        emit externalProcessFailed();
        return;
    }
    if (!unpackPackage()) {
        emit externalProcessFailed();
        return;
    }
    launchUnpackedStage2();
}

bool BaseUpdater::unpackPackage()
{
    if (!lastFileInfo.zipped || !unpackIfZipped)
        return true;
    // A stage 2 left by an earlier run must never pass for the new one.
    // Only removed where its folder lies inside ours; elsewhere it is refused
    // at start anyway.
    const QString exe = downloadDir + QLatin1Char('/') + lastFileInfo.exe2Start;
    const QFileInfo old(exe);
    if (!lastFileInfo.exe2Start.isEmpty() && (old.exists() || old.isSymLink())
        && isInside(QFileInfo(downloadDir).canonicalFilePath(), QFileInfo(old.path()).canonicalFilePath())
        && !QFile::remove(exe)) {
        qCritical().noquote() << "Cannot remove the old" << exe << "; not unpacking the package";
        return false;
    }
    qDebug() << "File is zipped, uncompressing it...";
    if (!uncompressFile(downloadDir, lastFileInfo.fileName, downloadDir)) {
        qCritical().noquote() << "Unpacking the package" << lastFileInfo.fileName << "failed; not starting it";
        return false;
    }
    return true;
}

void BaseUpdater::launchUnpackedStage2()
{
    // Unpacked or not, only what was verified may run.
    if ((!lastFileInfo.zipped || !unpackIfZipped) && lastFileInfo.exe2Start != lastFileInfo.fileName) {
        qCritical().noquote() << "The program to start" << lastFileInfo.exe2Start
                              << "is not the verified package" << lastFileInfo.fileName << "; not starting it";
        emit externalProcessFailed();
        return;
    }
    launchProgram(lastFileInfo.exe2Start, stage2Arguments);
}

void BaseUpdater::onNetworkError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code)
    qCritical().noquote() << Q_FUNC_INFO << "Error on http request...";
    if (auto *reply = qobject_cast<QNetworkReply *>(sender()))
        qDebug().noquote() << reply->errorString();
    emit versionCheckFailed();
}

void BaseUpdater::onSslError(const QList<QSslError> &errors)
{
    // Whoever could forge the answer could make us run their program:
    // a certificate that does not verify ends the exchange.
    qCritical().noquote() << Q_FUNC_INFO << "refusing the connection, TLS errors:" << errors;
    if (auto *reply = qobject_cast<QNetworkReply *>(sender()))
        reply->abort();
}

void BaseUpdater::onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator)
{
    Q_UNUSED(reply)
    Q_UNUSED(authenticator)
    qCritical().noquote() << Q_FUNC_INFO << "Authentication required but no username/password pair will be sent";
}

void BaseUpdater::onProductVersionRequestResponse()
{
    qDebug().noquote() << Q_FUNC_INFO;
}

void BaseUpdater::onProductVersionRequestTimeout()
{
    qCritical() << "COULD NOT RECEIVE DATA FROM SERVER!!!! Timeout!";
    emit versionCheckFailed();
}

void BaseUpdater::onUpdaterVersionCheckFailed()
{
    qDebug().noquote() << Q_FUNC_INFO;
}

bool BaseUpdater::launchProgram(const QString &program, const QStringList &arguments)
{
    const QString workDir = downloadDir;
    const QString path = workDir + QLatin1Char('/') + program;
    qDebug().noquote() << Q_FUNC_INFO << program << "(" << arguments << ")"
                       << " - wpath:" << workDir;
    qDebug().noquote() << "file to launch exists: " << QFileInfo::exists(path);

    QProcess process;
    process.setArguments(arguments);
    process.setWorkingDirectory(workDir);
    // Made new here, never through a link: the child then opens these very
    // files, which nobody else can replace inside the private folder.
    bool outputReady = downloadDirIsTrusted();
    for (const QString &name : {QStringLiteral("appUpdater.out"), QStringLiteral("appUpdater.err")}) {
        QFile file;
        QString error;
        if (outputReady && !Utils::createNewFile(file, workDir + QLatin1Char('/') + name, &error)) {
            qCritical().noquote() << "Cannot create" << name << "in" << workDir << error;
            outputReady = false;
        }
    }
    process.setStandardOutputFile(workDir + QLatin1String("/appUpdater.out"), QIODevice::Append);
    process.setStandardErrorFile(workDir + QLatin1String("/appUpdater.err"), QIODevice::Append);
    QString canonical;
    QString problem;
    if (outputReady && !isSafeToStart(workDir, path, &canonical, &problem)) {
        qCritical().noquote() << "Not starting" << path << "-" << problem;
        outputReady = false;
    }
    // The resolved file, so that the links checked are not followed again.
    process.setProgram(canonical);
    qint64 pid = 0;
    const bool started = outputReady && process.startDetached(&pid);

    qDebug().noquote() << "The process launched has workdir:" << workDir;
    qDebug().noquote() << "Process was started: " << started
                       << (started ? QStringLiteral("No Error") : process.errorString());
    if (!started) {
        qCritical() << "Unable to launch program!";
        emit externalProcessFailed();
    } else {
        emit externalProcessLaunched();
    }
    return started;
}

namespace {

bool isContainedRelativePath(const QByteArray &path)
{
    return DownloadableFileInfo::isContainedRelativePath(QFile::decodeName(path));
}

// "./", which `tar -C dir .` writes first, names the folder we made private
// ourselves: skipped, so that its owner and mode stay ours.
bool isDestinationItself(struct archive_entry *entry, const QString &root)
{
    const char *rawPath = archive_entry_pathname(entry);
    return rawPath && archive_entry_filetype(entry) == AE_IFDIR && !archive_entry_hardlink(entry)
        && isContainedRelativePath(QByteArray(rawPath))
        && QDir::cleanPath(root + QLatin1Char('/') + QFile::decodeName(rawPath)) == root;
}

// Checks one entry against the destination and points it there. Entries are
// refused rather than repaired: a package that needs either is not ours.
bool redirectEntry(struct archive_entry *entry, const QString &root, QString *reason)
{
    const char *rawPath = archive_entry_pathname(entry);
    if (!rawPath) {
        *reason = QStringLiteral("no usable path");
        return false;
    }
    const QByteArray path(rawPath);
    if (!isContainedRelativePath(path)) {
        *reason = QStringLiteral("path leaves the destination");
        return false;
    }

    // A hard link entry carries no type of its own.
    const mode_t type = archive_entry_filetype(entry);
    const bool isHardlink = archive_entry_hardlink(entry) != nullptr;
    if (!isHardlink && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) {
        *reason = QStringLiteral("unsupported entry type");
        return false;
    }

    const QByteArray rootBytes = QFile::encodeName(root);
    if (const char *hardlink = archive_entry_hardlink(entry)) {
        const QByteArray target(hardlink);
        if (!isContainedRelativePath(target)) {
            *reason = QStringLiteral("hard link target leaves the destination");
            return false;
        }
        archive_entry_set_hardlink(entry, (rootBytes + '/' + target).constData());
    }
    if (!isHardlink && type == AE_IFLNK) {
        const char *symlink = archive_entry_symlink(entry);
        const QString target = symlink ? QFile::decodeName(symlink) : QString();
        const QString linkDir = QFileInfo(root + QLatin1Char('/') + QFile::decodeName(path)).path();
        if (target.isEmpty() || target.startsWith(QLatin1Char('/'))
            || !isInside(root, QDir::cleanPath(linkDir + QLatin1Char('/') + target))) {
            *reason = QStringLiteral("symbolic link target leaves the destination");
            return false;
        }
    }

    if (QDir::cleanPath(root + QLatin1Char('/') + QFile::decodeName(path)) == root) {
        *reason = QStringLiteral("entry is the download folder itself");
        return false;
    }

    // Nobody else may change what we later run: no set-id, sticky or
    // group/other write bits.
    archive_entry_set_perm(entry, archive_entry_perm(entry) & ~mode_t(S_ISUID | S_ISGID) & mode_t(0755));
    archive_entry_set_pathname(entry, (rootBytes + '/' + path).constData());
    return true;
}

} // namespace

bool BaseUpdater::uncompressFile(const QString &dir, const QString &archiveName, const QString &destDir)
{
    qDebug().noquote() << "decompressing the file in " << destDir;

    // Entries are checked lexically against this: absolute and free of links.
    QDir().mkpath(destDir);
    const QString root = QFileInfo(destDir).canonicalFilePath();
    const QString archivePath = dir + QLatin1Char('/') + archiveName;
    if (root.isEmpty()) {
        qCritical().noquote() << "-----> ERROR uncompressing file 0:" << archivePath << "(no destination)";
        qDebug().noquote() << "finished OK to unzip " << archiveName << false;
        return false;
    }

    struct archive *reader = archive_read_new();
    archive_read_support_format_all(reader);
    archive_read_support_filter_all(reader);
    struct archive *writer = archive_write_disk_new();
    // Relative names are made absolute below the destination before they
    // reach the writer, so the writer's own refusal of absolute names cannot
    // be used; the names are checked before that instead.
    archive_write_disk_set_options(writer,
                                   ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                                       | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    archive_write_disk_set_standard_lookup(writer);

    bool allOk = false;
    if (archive_read_open_filename(reader, QFile::encodeName(archivePath).constData(), 10240) != ARCHIVE_OK) {
        qCritical().noquote() << "-----> ERROR uncompressing file 0:" << archivePath;
    } else {
        bool entriesOk = true;
        int retries = 0;
        for (;;) {
            struct archive_entry *entry = nullptr;
            const int r = archive_read_next_header(reader, &entry);
            if (r == ARCHIVE_EOF) {
                allOk = entriesOk;
                break;
            }
            if (r < ARCHIVE_WARN) {
                qDebug("%s\n", archive_error_string(reader));
                qCritical() << "-----> ERROR uncompressing file";
                break;
            }
            if (r == ARCHIVE_RETRY) {
                qDebug("%s\n", archive_error_string(reader));
                if (++retries > 100) {
                    qCritical() << "-----> ERROR uncompressing file";
                    break;
                }
                continue;
            }
            const char *entryPath = archive_entry_pathname(entry);
            qDebug().noquote() << "Uncompressing..." << (entryPath ? QFile::decodeName(entryPath) : QString());
            if (r < ARCHIVE_OK)
                qDebug("%s\n", archive_error_string(reader));

            if (isDestinationItself(entry, root)) {
                qDebug().noquote() << "Skipping the entry for the download folder itself";
                continue;
            }
            QString reason;
            if (!redirectEntry(entry, root, &reason)) {
                qCritical().noquote() << "Refusing archive entry"
                                      << (entryPath ? QFile::decodeName(entryPath) : QString()) << "-" << reason;
                entriesOk = false;
                continue;
            }

            int w = archive_write_header(writer, entry);
            if (w < ARCHIVE_OK) {
                qDebug("%s\n", archive_error_string(writer));
                entriesOk = false;
            } else if (archive_entry_size(entry) > 0) {
                const int c = copyData(reader, writer);
                if (c < ARCHIVE_OK) {
                    qDebug().noquote() << "Error copying " << c << archive_error_string(reader) << "\n----\n"
                                       << archive_error_string(writer);
                    entriesOk = false;
                    if (c < ARCHIVE_WARN)
                        qCritical() << "-----> ERROR uncompressing file 2";
                }
            }
            w = archive_write_finish_entry(writer);
            if (w < ARCHIVE_OK) {
                qDebug("%s\n", archive_error_string(writer));
                entriesOk = false;
                if (w < ARCHIVE_WARN)
                    qCritical() << "-----> ERROR uncompressing file 3";
            }
        }
    }

    archive_read_close(reader);
    archive_read_free(reader);
    archive_write_close(writer);
    archive_write_free(writer);
    qDebug().noquote() << "finished OK to unzip " << archiveName << allOk;
    return allOk;
}

int BaseUpdater::copyData(struct archive *reader, struct archive *writer)
{
    for (;;) {
        const void *buffer = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int r = archive_read_data_block(reader, &buffer, &size, &offset);
        if (r == ARCHIVE_EOF)
            return ARCHIVE_OK;
        if (r < ARCHIVE_OK)
            return r;
        const la_ssize_t w = archive_write_data_block(writer, buffer, size, offset);
        if (w < ARCHIVE_OK) {
            fprintf(stderr, "%s\n", archive_error_string(writer));
            return int(w);
        }
    }
}
