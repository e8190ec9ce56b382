#include "appinfo.h"

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

}
