#pragma once

#include <QString>

// The program's names, version and per-user data directory.
namespace AppInfo {
QString shortName();
QString applicationName();
QString displayName();
QString version();
// Ends in "/" unless the platform gives no location at all.
QString dataDir();
}
