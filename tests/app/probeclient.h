#pragma once

// Helpers shared by the tests that run singleton-probe.

#include "processsingleton.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstring>
#include <memory>

namespace ProbeClient {

// Points the runtime folder (where the guard's key files live), the temporary
// and the data directory of this process and its children into dir, so that
// tests never meet a real instance or each other.
inline void isolate(const QTemporaryDir &dir)
{
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.filePath(QStringLiteral("run"))));
    qputenv("TMPDIR", QFile::encodeName(dir.filePath(QStringLiteral("tmp"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QDir(dir.path()).mkpath(QStringLiteral("run"));
    QFile::setPermissions(dir.filePath(QStringLiteral("run")), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(dir.path()).mkpath(QStringLiteral("tmp"));
    QDir(dir.path()).mkpath(QStringLiteral("data"));
}

inline std::unique_ptr<QProcess> start(const QString &key, const QString &gate = QString())
{
    auto probe = std::make_unique<QProcess>();
    QStringList args{key};
    if (!gate.isEmpty())
        args << gate;
    probe->start(QStringLiteral(SINGLETON_PROBE_PATH), args);
    return probe;
}

// Waits until the probe says "ready" or ends; true when it is ready.
inline bool waitReady(QProcess &probe, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!probe.canReadLine()) {
        if (probe.state() == QProcess::NotRunning || deadline.hasExpired())
            return false;
        probe.waitForReadyRead(int(qMax<qint64>(1, qMin<qint64>(100, deadline.remainingTime()))));
    }
    return probe.peek(64).startsWith("ready ");
}

// waitForFinished() answers false for a process that has already ended.
inline bool waitEnded(QProcess &probe, int timeoutMs = 10000)
{
    return probe.state() == QProcess::NotRunning || probe.waitForFinished(timeoutMs);
}

inline qint64 readyPid(QProcess &probe)
{
    return probe.peek(64).mid(6).trimmed().toLongLong();
}

inline bool finish(QProcess &probe, const QByteArray &command, int timeoutMs = 10000)
{
    probe.write(command + '\n');
    probe.closeWriteChannel();
    return probe.waitForFinished(timeoutMs);
}

// Stays attached to a probe's segment, so that it outlives its owners, and
// reads the stored id the way the guard does.
class SegmentObserver
{
public:
    explicit SegmentObserver(const QString &key) { ProcessSingleton::nameSegment(m_segment, key); }
    // The last one out removes the segment, which a killed owner leaves behind.
    ~SegmentObserver() { m_segment.detach(); }

    // -1 when there is no segment.
    qint64 storedPid()
    {
        if (!m_segment.isAttached() && !m_segment.attach(QSharedMemory::ReadOnly))
            return -1;
        qint64 value = 0;
        std::memcpy(&value, m_segment.constData(), sizeof value);
        return qFromLittleEndian(value);
    }

private:
    QSharedMemory m_segment;
};

}
