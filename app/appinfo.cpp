#include "appinfo.h"

#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
// The name the program ships under, whatever the process was started as.
const char kExecutableFileName[] = "plogger4.exe";
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
        qWarning().noquote() << Q_FUNC_INFO << "Not using XDG_RUNTIME_DIR" << base << "- it or its folder" << problem;
    }
#endif
    const QString data = dataDir();
    if (data.isEmpty()) {
        qWarning().noquote() << Q_FUNC_INFO << "No data directory for a private folder";
        return QString();
    }
    const QString dir = data + QStringLiteral("run");
    if (Utils::makePrivateDirectory(dir, &problem))
        return dir;
    qWarning().noquote() << Q_FUNC_INFO << "Not using" << dir << "- it" << problem;
    return QString();
}

}
