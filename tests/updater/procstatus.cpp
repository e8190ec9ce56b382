#include "procstatus.h"

#include <QFile>

namespace {
qint64 field(const char *name)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    const QByteArray key = QByteArray(name) + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
}

qint64 ProcStatus::residentKiB()
{
    return field("VmRSS");
}

qint64 ProcStatus::peakResidentKiB()
{
    return field("VmHWM");
}
