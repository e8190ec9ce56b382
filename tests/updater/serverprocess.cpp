#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::binary()
{
    return QStringLiteral(UPDATE_SERVER_BIN);
}

bool ServerProcess::start(const QStringList &arguments)
{
    process.setProgram(binary());
    process.setArguments(arguments + QStringList{QStringLiteral("--port"), QStringLiteral("0")});
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(60000);
    static const QRegularExpression listening(QStringLiteral("^listening (\\S+)$"));
    static const QRegularExpression package(QStringLiteral("^package md5=(\\S+) sha1=(\\S+) size=(\\d+)"));
    while (!deadline.hasExpired()) {
        if (!process.canReadLine() && !process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime()))))
            return false;
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine()).trimmed();
            const auto p = package.match(line);
            if (p.hasMatch()) {
                packageMd5 = p.captured(1);
                packageSha1 = p.captured(2);
                packageBytes = p.captured(3).toLongLong();
            }
            const auto m = listening.match(line);
            if (m.hasMatch()) {
                base = QUrl(m.captured(1));
                // The package line follows the listening line.
                if (arguments.contains(QStringLiteral("--package")) && packageMd5.isEmpty()
                    && !process.canReadLine())
                    process.waitForReadyRead(5000);
                while (process.canReadLine()) {
                    const auto q = package.match(QString::fromUtf8(process.readLine()).trimmed());
                    if (q.hasMatch()) {
                        packageMd5 = q.captured(1);
                        packageSha1 = q.captured(2);
                        packageBytes = q.captured(3).toLongLong();
                    }
                }
                return true;
            }
        }
    }
    return false;
}

void ServerProcess::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QUrl ServerProcess::url(const QString &path) const
{
    QUrl u = base;
    u.setPath(path);
    return u;
}

QList<QByteArray> ServerProcess::requests()
{
    pending += process.readAllStandardOutput();
    int nl;
    while ((nl = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(nl);
        pending.remove(0, nl + 1);
        if (line.startsWith("request "))
            seen << line.mid(8);
    }
    return seen;
}
