#pragma once

#include "downloadablefileinfo.h"
#include "xferconfig.h"

#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QSslCertificate>
#include <QSslError>

#include <map>
#include <memory>

class QNetworkAccessManager;

// Downloads described files with HTTP GET, streams each into a temporary
// file while hashing it, and gives it its final name only once both digests
// match the description. A download stops as soon as it would pass the size
// the description announces; a failed or cancelled one (the manager deleted
// while it runs) leaves no temporary file behind.
class FileXferManager : public QObject
{
    Q_OBJECT
public:
    explicit FileXferManager(QObject *parent = nullptr);
    ~FileXferManager() override;

    static bool checkHashes(const QString &path, const DownloadableFileInfo &info);

    // Certificate authorities trusted for HTTPS downloads; without a call
    // the system's are used.
    void setCaCertificates(const QList<QSslCertificate> &certificates);

signals:
    void fileXferSucceed(DownloadableFileInfo config);
    void fileXferFailed(DownloadableFileInfo config);
    void bytesReceived(qint64, qint64);

public slots:
    void transfer(const XferConfig &config);

protected slots:
    void onXferFinished();
    void onBytesReceived(qint64 received, qint64 total);
    void onError(QNetworkReply::NetworkError code);
    void onSslError(const QList<QSslError> &errors);

private slots:
    void onMetaDataChanged();
    void onReadyRead();

protected:
    static bool finalizeFile(const XferConfig &config);

private:
    struct Job;

    static bool digestsMatch(const QString &md5, const QString &sha1, const DownloadableFileInfo &info);
    void drain(QNetworkReply *reply, Job &job);
    static void discard(Job &job);

    QNetworkAccessManager *accessManager = nullptr;
    QMap<QString, XferConfig> transfers;
    std::map<QNetworkReply *, std::unique_ptr<Job>> jobs;
    bool useCustomCa = false;
    QList<QSslCertificate> caCertificates;
    QByteArray readBuffer;
};
