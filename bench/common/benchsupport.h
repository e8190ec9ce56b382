#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QtGlobal>

#include <functional>

// Small helpers shared by the benchmarks.
namespace BenchSupport {

// A positive integer from the environment, or the fallback.
inline int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// Runs the event loop until done() or the time is up; a timer wakes it to
// look at done() even when nothing else happens.
inline void waitUntil(const std::function<bool()> &done, int timeoutMs, int wakeMs = 10)
{
    QTimer wake;
    wake.start(wakeMs);
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"), or -1; this
// process's when no pid is given.
inline qint64 procStatusKiB(const char *name, qint64 pid = 0)
{
    QFile status(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray key = QByteArray(name) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

}
