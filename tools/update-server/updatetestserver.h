#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpServer>
#include <QUrl>

// A small HTTP/1.1 (or HTTPS) server that answers the update query with the
// description of one package file and serves that file, with switches that
// make it misbehave in the ways a real server or network can.
class UpdateTestServer : public QTcpServer
{
    Q_OBJECT
public:
    enum class Digests { Correct, UpperCase, Wrong };

    struct Options {
        quint16 port = 0;
        QString path = QStringLiteral("/updates");
        QString packageFile;
        QString fileName;      // announced name; the package's own name when empty
        QString url;           // announced address; the served one when empty
        bool urlSet = false;   // lets an empty announced address be asked for
        QString appVersion = QStringLiteral("4.2.1-r6000");
        QString appExecutable = QStringLiteral("stage2");
        QString fileIsZipped = QStringLiteral("false");
        QString certificateFile;
        QString keyFile;

        // Faults of the query's answer.
        int delayMs = 0;
        bool noAnswer = false;
        int splitBytes = 0;
        int splitDelayMs = 0;
        bool queryNotFound = false;
        Digests digests = Digests::Correct;
        bool truncateQuery = false;
        bool noFileInfoRoot = false;
        bool emptyBody = false;
        qint64 padding = 0;

        // Faults of the download.
        bool downloadNotFound = false;
        bool truncateDownload = false;
        bool resetDownload = false;
        bool stallDownload = false;
        qint64 floodBytes = 0;         // sent after the package, with no length announced
        qint64 contentLength = -1;     // announced for the download instead of the package's size
    };

    explicit UpdateTestServer(const Options &options, QObject *parent = nullptr);

    // Hashes the package and starts listening on 127.0.0.1.
    bool start(QString *error);
    QUrl baseUrl() const;
    QString md5() const { return packageMd5; }
    QString sha1() const { return packageSha1; }
    qint64 packageSize() const { return size; }

    // What a connection needs to answer.
    const Options &options() const { return opts; }
    QByteArray answerDocument() const;
    QString packageUrlPath() const;

signals:
    void requestReceived(const QByteArray &method, const QByteArray &target, const QByteArray &body);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    bool hashPackage(QString *error);

    Options opts;
    QString packageMd5;
    QString packageSha1;
    qint64 size = 0;
    QByteArray certificatePem;
    QByteArray keyPem;
};
