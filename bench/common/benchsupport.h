#pragma once

#include <QByteArray>
#include <QFile>
#include <QtGlobal>

// Small helpers shared by the benchmarks.
namespace BenchSupport {

// A positive integer from the environment, or the fallback.
inline int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
inline qint64 procStatusKiB(const char *name)
{
    QFile status(QStringLiteral("/proc/self/status"));
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
