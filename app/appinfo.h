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
// A folder in which only this user can create files, for what other local
// users must neither plant nor reach: the instance guard, its socket, the
// update folder. $XDG_RUNTIME_DIR/PLOGGER4 when that variable names a folder
// of this user's alone, else "run" in the data directory. Made with mode 0700
// and checked (a real directory, this user's, written by nobody else); empty,
// after a warning, when neither will do. No "/" at the end.
QString runtimeDir();
}
