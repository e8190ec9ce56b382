#include "windowscrashsetup.h"

#include "appinfo.h"
#include "processsingleton.h"
#include "windowscrashhandler.h"

#include <QCoreApplication>
#include <QDir>

#include <string>

namespace {

// The data directory follows the application's name, which is set only after
// the handler is installed.
void refreshDataDir()
{
    const std::wstring dir = QDir::toNativeSeparators(AppInfo::dataDir()).toStdWString();
    WindowsCrashHandler::setDataDir(dir.c_str());
}

void onApplicationCreated()
{
    QCoreApplication *app = QCoreApplication::instance();
    refreshDataDir();
    QObject::connect(app, &QCoreApplication::applicationNameChanged, app, &refreshDataDir);
    QObject::connect(app, &QCoreApplication::organizationNameChanged, app, &refreshDataDir);
}

}

namespace WindowsCrashSetup {

void install()
{
    refreshDataDir();
    WindowsCrashHandler::install(&ProcessSingleton::releaseInstanceAfterCrash);
    qAddPreRoutine(onApplicationCreated);
}

}
