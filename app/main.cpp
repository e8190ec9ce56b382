#include "appinfo.h"
#include "checkupdatedlg.h"
#include "commandlineparser.h"
#include "instanceactivationserver.h"
#ifdef Q_OS_WIN
#include "windowscrashsetup.h"
#else
#include "crashhandler.h"
#endif
#include "mycloseapplication.h"
#include "processsingleton.h"
#include "startupdefaults.h"
#include "wdgploggergui.h"

#include <QDebug>
#include <QDir>
#include <QPointer>
#include <QSettings>
#include <QUrl>

#include <memory>

namespace {
// An event loop result that asks for a fresh main window instead of an exit.
constexpr int kRestartCode = 1000;
constexpr int kBadCommandLine = 100;
}

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    WindowsCrashSetup::install();
#else
    CrashHandler::install();
#endif
    qputenv("QT_DEVICE_PIXEL_RATIO", "auto");

    const QString displayName = AppInfo::displayName();
    const QString applicationName = AppInfo::applicationName();
    const QString version = AppInfo::version();
    // Before anything asks for the data directory: the guard may fall back
    // to a folder in it.
    QCoreApplication::setApplicationName(applicationName);
    const QString defaultUpdatesKey = StartupDefaults::updatesKey(applicationName);
    const QString defaultServerUrl = StartupDefaults::updateServerUrl();
    const QString downloadDir = StartupDefaults::downloadDir(applicationName);

    try {
        ProcessSingleton::instancePointer() = new ProcessSingleton(StartupDefaults::singletonKey(applicationName));
    } catch (const ProcessSingletonAlreadyInUseException &) {
        // The running one comes to the front instead; the socket wants an
        // application object.
        QCoreApplication app(argc, argv);
        InstanceActivationServer::requestActivation(InstanceActivationServer::defaultPath());
        return 1;
    }

    MyCloseApplication app(argc, argv);
    InstanceActivationServer activation;
    activation.listen(InstanceActivationServer::defaultPath());
    // Ties the windows to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("plogger4"));

    // Plugins come only from beside the executable, or from where a test says.
    if (qEnvironmentVariableIsSet("ZTTEST_QT_PLUGIN_PATH"))
        QCoreApplication::setLibraryPaths({qEnvironmentVariable("ZTTEST_QT_PLUGIN_PATH")});
    else
        QCoreApplication::setLibraryPaths({QCoreApplication::applicationDirPath()});
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);

    CommandLineParser parser = CommandLineParser::instance();
    parser.addOption(QStringLiteral("s"), QStringLiteral("skip-updates"), false, true);
    parser.addOption(QStringLiteral("r"), QStringLiteral("updates-server"), true, true);
    parser.addOption(QStringLiteral("t"), QStringLiteral("updates-key"), true, true);
    if (!parser.parse(argc, argv)) {
        qDebug().noquote() << "Failed to start" << displayName << ":" << parser.errorString();
        ProcessSingleton::releaseInstance();
        return kBadCommandLine;
    }

    QString server;
    QString key;
    if (!parser.isSet(QStringLiteral("s"))) {
        server = defaultServerUrl;
        key = defaultUpdatesKey;
        if (parser.isSet(QStringLiteral("r"))) {
            server = parser.value(QStringLiteral("r")).toString();
            qDebug().noquote() << Q_FUNC_INFO << "Overriding Updates server:" << server;
        }
        if (parser.isSet(QStringLiteral("t"))) {
            key = parser.value(QStringLiteral("t")).toString();
            qDebug().noquote() << Q_FUNC_INFO << "Overriding Updates KEY:" << key;
        }
    }

    const QString autoUpdatesDefault =
        StartupDefaults::autoUpdatesDefault(PLOGGER_CHECK_UPDATES_BY_DEFAULT, parser.isSet(QStringLiteral("r")));

    QDir().mkpath(AppInfo::dataDir());

    std::unique_ptr<wdgPLoggerGui> window;
    QPointer<CheckUpdateDlg> updateDialog;
    int result = 0;
    do {
        // A check still running when the loop ended belongs to the old window.
        delete updateDialog;
        window.reset();
        window.reset(new wdgPLoggerGui(nullptr));
        QObject::connect(&activation, &InstanceActivationServer::activationRequested, window.get(),
                         [w = window.get()] { InstanceActivationServer::bringToFront(w); });

        const QSettings settings(StartupDefaults::settingsFile(), QSettings::IniFormat);
        const QString autoUpdates = settings.value(QStringLiteral("CTI/autoUpdates"), autoUpdatesDefault).toString();
        if (autoUpdates != QLatin1String("0") && !server.isEmpty() && !key.isEmpty()) {
            updateDialog = new CheckUpdateDlg(key, displayName, version, QUrl(server, QUrl::TolerantMode),
                                              downloadDir, applicationName, AppInfo::dataDir(), nullptr);
            QObject::connect(updateDialog, SIGNAL(launchApp()), window.get(), SLOT(start()));
            QObject::connect(updateDialog, SIGNAL(launchApp()), updateDialog, SLOT(deleteLater()));
        } else {
            window->start();
        }
        QGuiApplication::setQuitOnLastWindowClosed(false);
        result = QCoreApplication::exec();
    } while (result == kRestartCode);
    delete updateDialog;
    // The loop is over: deferred deletions (the dialog's window) happen here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    ProcessSingleton::releaseInstance();
    return result;
}
