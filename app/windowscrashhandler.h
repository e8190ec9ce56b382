#pragma once

#include <windows.h>

#include <cstddef>

// Writes a minidump (threads, the exception, the loaded modules) into the data
// directory when an exception reaches nobody, gives up the single-instance
// guard through a callback so that the program can be started again at once,
// and then leaves the exception to the system, which ends the process with
// the exception's code. Plain C++ and Win32: the Qt side supplies the data
// directory and the callback.
namespace WindowsCrashHandler {

using ReleaseCallback = void (*)();

// Installs the unhandled-exception filter and starts the idle thread that
// does the work after a crash; later calls only replace the callback. release
// runs once, after the dump is written, on that thread; null for none.
void install(ReleaseCallback release);

// Where dumps go: a directory ending in a separator, or empty for the current
// directory. Copied; a path too long for the handler's buffer turns dumps off
// rather than land them under a cut name.
void setDataDir(const wchar_t *dataDir);

// The filter itself.
LONG WINAPI writeCrashDump(EXCEPTION_POINTERS *exception);

// Writes dataDir + "plogger4-yyyy_MM_dd_hh_mm.dmp" for the given local time
// into out. Returns false and leaves out empty when it does not fit.
bool formatReportPath(wchar_t *out, std::size_t outSize, const wchar_t *dataDir, const SYSTEMTIME &localTime);

}
