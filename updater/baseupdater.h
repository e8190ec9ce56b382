#pragma once

#include "downloadablefileinfo.h"

#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <map>
#include <memory>

class FileXferManager;
class QAuthenticator;
class QNetworkAccessManager;
class QTemporaryDir;
class QTimer;
struct archive;

// The update engine: asks the update server which file the application
// should have, downloads and verifies it, unpacks it and starts the
// second-stage program inside it. Every outcome is a signal.
class BaseUpdater : public QObject
{
    Q_OBJECT
public:
    explicit BaseUpdater(const QString &appUniqueId, QObject *parent = nullptr);
    ~BaseUpdater() override;

    void setServerUrl(const QUrl &url);
    // Creates the folder for this user alone; a folder that is not private
    // (a link, another owner, writable by others) fails every later step.
    void setDownloadDir(const QString &dir);
    // Certificate authorities trusted for the query and the download; without
    // a call the system's are used.
    void setCaCertificates(const QList<QSslCertificate> &certificates);

    // The address the query is posted to, built from the rest* members.
    QUrl queryUrl() const;

    bool isLocalFileUpToDate(const DownloadableFileInfo &info);
    bool launchProgram(const QString &program, const QStringList &arguments);

    virtual void resetRestDefaults();

public slots:
    void checkForNewVersion(int timeoutMillisecs = 5000);
    void downloadNewVersion();
    void launchStage2Updater();

signals:
    void newVersionFound();
    void noNewVersionFound();
    void versionCheckFailed();
    void downloadFailed();
    void externalProcessLaunched();
    void externalProcessFailed();
    void newVersionDownloaded();
    void bytesReceived(qint64 received, qint64 total);

protected slots:
    void onServerDataReceived();
    void onNetworkError(QNetworkReply::NetworkError code);
    void onSslError(const QList<QSslError> &errors);
    void onFileReceived(DownloadableFileInfo info);
    void onFileXferError(DownloadableFileInfo info);
    virtual void onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator);
    virtual void onProductVersionRequestResponse();
    virtual void onProductVersionRequestTimeout();
    virtual void onUpdaterVersionCheckFailed();

private slots:
    void onQueryFinished();

public:
    // True only when every entry was written.
    virtual bool uncompressFile(const QString &dir, const QString &archiveName, const QString &destDir);

protected:
    static int copyData(struct archive *reader, struct archive *writer);
    // Says why the download folder is not used.
    virtual void reportDownloadDirProblem(const QString &text) const;

    FileXferManager *xferManager = nullptr;
    QString appUniqueId;
    QString restHost;
    int restPort = -1;
    QTimer *requestTimer = nullptr;
    DownloadableFileInfo lastFileInfo;
    QStringList stage2Arguments;
    QString restScheme;
    QString restPath;
    QString restScript;
    QString restQuery;
    QNetworkAccessManager *accessManager = nullptr;
    std::unique_ptr<QTemporaryDir> tempDir;
    QString downloadDir;
    int fileInfoType = 1;
    bool launchAfterDownload = true;
    bool unpackIfZipped = true;

private:
    // Each answer gets its own parser and decoder: text left over from one
    // answer must never be read as part of the next.
    struct Query;

    bool downloadDirIsTrusted() const;
    bool unpackPackage();
    void launchUnpackedStage2();

    mutable QString reportedDownloadDirProblem;
    bool useCustomCa = false;
    QList<QSslCertificate> caCertificates;
    std::map<QObject *, std::unique_ptr<Query>> queries;
};
