#pragma once

#include <QProcess>
#include <QStringList>
#include <QUrl>

// Runs tools/update-server as a real process on an ephemeral loopback port.
class ServerProcess
{
public:
    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts with these options plus "--port 0"; waits for the listening line.
    bool start(const QStringList &arguments);
    void stop();

    // e.g. http://127.0.0.1:40000/updates
    QUrl url(const QString &path = QStringLiteral("/updates")) const;
    QString md5() const { return packageMd5; }
    QString sha1() const { return packageSha1; }
    qint64 packageSize() const { return packageBytes; }
    // Every request line the server reported so far, as it was sent.
    QList<QByteArray> requests();

    static QString binary();

private:
    QProcess process;
    QUrl base;
    QString packageMd5;
    QString packageSha1;
    qint64 packageBytes = 0;
    QByteArray pending;
    QList<QByteArray> seen;
};
