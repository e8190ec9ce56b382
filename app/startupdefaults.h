#pragma once

#include <QString>

// Values that start-up derives once from the application's identity.
namespace StartupDefaults {
// Name of the shared-memory segment that keeps a second instance out.
QString singletonKey(const QString &applicationName);
// The application identifier sent to the update server: an upper-case word of
// eight letters derived from the application name.
QString updatesKey(const QString &applicationName);
QString updateServerUrl();
// Where update packages are downloaded and unpacked: "updates" in the private
// folder (AppInfo::runtimeDir()), else in the data directory; empty when there
// is neither (the updater then uses a fresh temporary folder).
QString downloadDir(const QString &applicationName);
QString settingsFile();
// The value "CTI/autoUpdates" takes when the settings file does not set it:
// "1" in a build that checks by default; otherwise "0", unless the command line
// names an update server, which asks for a check in this run.
QString autoUpdatesDefault(bool checkByDefault, bool serverGiven);
}
