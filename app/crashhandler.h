#pragma once

#include <QByteArray>
#include <QString>

#include <csignal>
#include <cstddef>

// Writes a crash report into the data directory when the process meets a
// fatal signal, gives up the single-instance guard so that the program can be
// started again at once, and then lets the signal take its default course.
//
// The report is plain text: signal, fault address, thread, a backtrace and
// the process's memory map, enough to symbolise the backtrace afterwards.
namespace CrashHandler {

// Call first thing in main, on the main thread. Later calls do nothing.
void install();

// Gives the calling thread its own stack for the handler, so that a stack
// overflow there still gets a report; freed when the thread ends. install()
// does it for the main thread. Threads that Qt or the libraries below the
// application start (network, name lookup, the exchange link) are not reached
// from here and go without: an overflow there ends the process at once,
// without a report, and the guard is freed at the next start because its
// owner's id is dead.
void installThreadStack();

// Recomputes where a report would go. The handler cannot format paths or
// local time itself, so this runs at install, whenever the application name
// changes and once a minute on the application's thread.
void refreshReportLocation();

// The signal handler.
void writeCrashDump(int signalNumber, siginfo_t *info, void *context);

// The data-directory part of a report's path: the data directory followed by
// the program's file name.
QByteArray reportPathPrefix(const QString &dataDir);

// Writes prefix + "-yyyy_MM_dd_hh_mm.dmp" for a local time given as seconds
// since 1970-01-01 00:00 into out. Safe inside a signal handler. Returns false
// and leaves out empty when it does not fit.
bool formatReportPath(char *out, std::size_t outSize, const char *prefix, long long localSeconds);

}
