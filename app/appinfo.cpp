#include "appinfo.h"

#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QStandardPaths>

namespace {
// The name the program ships under, whatever the process was started as.
const char kExecutableFileName[] = "plogger4.exe";

// The private folder is asked for by several parts at start; a problem with
// it is said once, not by each of them.
void warnOnce(const char *function, const QString &text)
{
    static QMutex lock;
    static QSet<QString> said;
    QMutexLocker guard(&lock);
    if (!said.contains(text) && said.size() < 16) {
        said.insert(text);
        qWarning().noquote() << function << text;
    }
}
}

namespace AppInfo {

QString shortName()
{
    return QStringLiteral("PLOGGER");
}

QString applicationName()
{
    QString name = QString::fromLatin1(kExecutableFileName);
    name.remove(QStringLiteral(".exe"), Qt::CaseSensitive);
    name.remove(QLatin1Char(' '));
    return name.toUpper();
}

QString displayName()
{
    return QStringLiteral("Peltrano Logger 4");
}

QString version()
{
    return QStringLiteral("4.2.0-r5838");
}

QString dataDir()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

QString runtimeDir()
{
#ifdef Q_OS_UNIX
    QString problem;
    const QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!base.isEmpty()) {
        const QString clean = QDir::cleanPath(base);
        const QString dir = clean + QLatin1Char('/') + applicationName();
        // Never made here: a missing runtime folder means no session to use.
        if (!QDir::isAbsolutePath(clean) || !QFileInfo::exists(clean))
            problem = QStringLiteral("does not exist");
        else if (Utils::makePrivateDirectory(clean, &problem) && Utils::makePrivateDirectory(dir, &problem))
            return dir;
        warnOnce(Q_FUNC_INFO, QStringLiteral("Not using XDG_RUNTIME_DIR %1 - it or its folder %2").arg(base, problem));
    }
#endif
    const QString data = dataDir();
    if (data.isEmpty()) {
        warnOnce(Q_FUNC_INFO, QStringLiteral("No data directory for a private folder"));
        return QString();
    }
    const QString dir = data + QStringLiteral("run");
    if (Utils::makePrivateDirectory(dir, &problem))
        return dir;
    warnOnce(Q_FUNC_INFO, QStringLiteral("Not using %1 - it %2").arg(dir, problem));
    return QString();
}

}
