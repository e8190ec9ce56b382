#include "processsingleton.h"

#include <QDebug>
#include <QFile>
#include <QSharedMemory>
#include <QtEndian>

#ifdef Q_OS_WIN
#include "windowspidimpl.h"
#include "windowsprocesslivenessimpl.h"
using PlatformPidImpl = WindowsPidImpl;
using PlatformProcessLivenessImpl = WindowsProcessLivenessImpl;
#else
#include "posixpidimpl.h"
#include "posixprocesslivenessimpl.h"
using PlatformPidImpl = PosixPidImpl;
using PlatformProcessLivenessImpl = PosixProcessLivenessImpl;
#endif

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

// Attempts 2 ms apart: a few seconds in normal running, one in the crash
// handler, which must not wait long for anybody.
constexpr int kLockAttempts = 2500;
constexpr int kCrashLockAttempts = 500;

// Serialises the guard's work on the segment between processes. Uses only
// system calls, so that the crash handler may take it too. Gives up rather
// than hang behind a stopped process; the segment's own lock still applies
// then.
class InstanceLock
{
public:
    InstanceLock(const char *path, int attempts)
    {
#ifdef Q_OS_UNIX
        if (!path[0])
            return;
        m_fd = ::open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd < 0)
            m_fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (m_fd < 0)
            return;
        const struct timespec pause = {0, 2 * 1000 * 1000};
        for (int attempt = 0; attempt < attempts; ++attempt) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                m_held = true;
                return;
            }
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            ::nanosleep(&pause, nullptr);
        }
#else
        Q_UNUSED(path)
        Q_UNUSED(attempts)
        m_held = true;
#endif
    }

    bool held() const { return m_held; }

    ~InstanceLock()
    {
#ifdef Q_OS_UNIX
        // Closing the only descriptor releases the lock.
        if (m_fd >= 0)
            ::close(m_fd);
#endif
    }

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

private:
    int m_fd = -1;
    bool m_held = false;
};

qint64 readPid(const void *data)
{
    qint64 value;
    std::memcpy(&value, data, sizeof value);
    return qFromLittleEndian(value);
}

void writePid(void *data, qint64 pid)
{
    const qint64 value = qToLittleEndian(pid);
    std::memcpy(data, &value, sizeof value);
}

}

ProcessSingleton::ProcessSingleton(const QString &key)
    : ProcessSingleton(key, defaultPidImplFactory(), defaultLivenessImplFactory())
{
}

ProcessSingleton::ProcessSingleton(const QString &key, PidImplFactory pidFactory, LivenessImplFactory livenessFactory)
    : m_key(key)
    , m_segment(new QSharedMemory(userKey(key)))
    , m_pidFactory(std::move(pidFactory))
    , m_livenessFactory(std::move(livenessFactory))
{
#ifdef Q_OS_UNIX
    m_lockPath = QFile::encodeName(m_segment->nativeKey() + QStringLiteral(".lock"));
#endif
    InstanceLock instanceLock(m_lockPath.constData(), kLockAttempts);

    m_attached = m_segment->create(kSegmentSize, QSharedMemory::ReadWrite);
    if (!m_attached && m_segment->error() == QSharedMemory::AlreadyExists) {
        qDebug().noquote() << Q_FUNC_INFO << "Shmem segment already exists, attaching to it";
        m_attached = m_segment->attach(QSharedMemory::ReadWrite);
        qDebug().noquote() << Q_FUNC_INFO << "Shmem attach succeded:" << m_attached;
    }

    m_inUse = alreadyInUse();
    if (m_inUse) {
        // Dropped while still serialised: dropping touches the shared lock.
        m_segment.reset();
        throw ProcessSingletonAlreadyInUseException();
    }
    if (m_attached) {
        m_mapped = m_segment->data();
        m_ownPid = currentPid();
    }
}

ProcessSingleton::~ProcessSingleton()
{
    InstanceLock instanceLock(m_lockPath.constData(), kLockAttempts);
    if (m_attached && !m_inUse && m_segment->lock()) {
        if (void *data = m_segment->data())
            writePid(data, 0);
        m_segment->unlock();
    }
    m_segment->detach();
    m_segment.reset();
}

bool ProcessSingleton::alreadyInUse() const
{
    const qint64 myPid = currentPid();

    // One lock spans the read and the write, so that two instances started
    // together cannot both see a free segment.
    const bool locked = m_attached && m_segment->lock();
    if (m_attached && !locked) {
        // Still read: the guard must not switch itself off. On Unix the
        // instance file lock keeps other guards out meanwhile.
        qWarning().noquote() << Q_FUNC_INFO << "Shmem lock failed:" << m_segment->errorString();
    }
    void *data = m_attached ? m_segment->data() : nullptr;
    const qint64 stored = data ? readPid(data) : 0;

    qDebug().noquote() << Q_FUNC_INFO << "Read pid:" << stored;

    // Our own id is a leftover of an earlier process that had it (a crash,
    // then the id handed out again), never another instance.
    const bool inUse = stored != 0 && stored != myPid && isAlive(stored);
    if (!inUse && data)
        writePid(data, myPid);
    if (locked)
        m_segment->unlock();
    return inUse;
}

std::atomic<ProcessSingleton *> &ProcessSingleton::instancePointer()
{
    static std::atomic<ProcessSingleton *> instance{nullptr};
    return instance;
}

void ProcessSingleton::releaseInstance()
{
    delete instancePointer().exchange(nullptr);
}

void ProcessSingleton::releaseInstanceAfterCrash()
{
    const ProcessSingleton *instance = instancePointer().load();
    if (!instance || !instance->m_mapped)
        return;
    // Without the lock the id stays: a dead owner's id frees the segment
    // at the next start anyway.
    const InstanceLock instanceLock(instance->m_lockPath.constData(), kCrashLockAttempts);
    if (instanceLock.held() && readPid(instance->m_mapped) == instance->m_ownPid)
        writePid(instance->m_mapped, 0);
}

QString ProcessSingleton::userKey(const QString &key)
{
#ifdef Q_OS_UNIX
    return key + QLatin1Char('_') + QString::number(::geteuid());
#else
    return key;
#endif
}

ProcessSingleton::PidImplFactory ProcessSingleton::defaultPidImplFactory()
{
    return [] { return std::unique_ptr<OsalPidImplIface>(new PlatformPidImpl); };
}

ProcessSingleton::LivenessImplFactory ProcessSingleton::defaultLivenessImplFactory()
{
    return [] { return std::unique_ptr<OsalProcessLivenessImplIface>(new PlatformProcessLivenessImpl); };
}

qint64 ProcessSingleton::currentPid() const
{
    const std::unique_ptr<OsalPidImplIface> impl = m_pidFactory ? m_pidFactory() : nullptr;
    return impl ? impl->getPid() : -1;
}

bool ProcessSingleton::isAlive(qint64 pid) const
{
    const std::unique_ptr<OsalProcessLivenessImplIface> impl = m_livenessFactory ? m_livenessFactory() : nullptr;
    return impl ? impl->isAlive(pid) : false;
}
