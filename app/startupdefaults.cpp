#include "startupdefaults.h"

#include "appinfo.h"

#include <QCryptographicHash>
#include <QDir>


namespace StartupDefaults {

QString singletonKey(const QString &applicationName)
{
    return applicationName + QStringLiteral("_KEY");
}

QString updatesKey(const QString &applicationName)
{
    // Derived rather than stored, so that the key never stands in the binary
    // as a string.
    const QByteArray digest = QCryptographicHash::hash(applicationName.toUtf8(), QCryptographicHash::Sha1);
    QString key;
    for (int i = 0; i < 8; ++i)
        key += QLatin1Char(char('A' + quint8(digest.at(i)) % 26));
    return key;
}

QString updateServerUrl()
{
    return QStringLiteral("https://updates.peltrano.it:443/updates");
}

QString downloadDir(const QString &applicationName)
{
#ifdef Q_OS_UNIX
    Q_UNUSED(applicationName)
    // Not the shared temporary folder, where another user could take the name
    // first: the private folder, else the data directory. The updater checks
    // the folder and reports a failing one.
    const QString runtime = AppInfo::runtimeDir();
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/updates");
    const QString data = AppInfo::dataDir();
    return data.isEmpty() ? QString() : data + QStringLiteral("updates");
#else
    return QStringLiteral("%1/%2Updates").arg(QDir::tempPath(), applicationName);
#endif
}

QString settingsFile()
{
    return AppInfo::dataDir() + QStringLiteral("plogger.ini");
}

QString autoUpdatesDefault(bool checkByDefault, bool serverGiven)
{
    return checkByDefault || serverGiven ? QStringLiteral("1") : QStringLiteral("0");
}

}
