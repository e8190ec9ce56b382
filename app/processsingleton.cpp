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

// Serialises the guard's work on the segment between processes. Uses only
// system calls, so that the crash handler may take it too. Gives up after a
// few seconds rather than hang behind a stopped process; the segment's own
// lock still applies then.
class InstanceLock
{
public:
    explicit InstanceLock(const QByteArray &path)
    {
#ifdef Q_OS_UNIX
        if (path.isEmpty())
            return;
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (m_fd < 0)
            m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        const struct timespec pause = {0, 2 * 1000 * 1000};
        for (int attempt = 0; attempt < 2500; ++attempt) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                return;
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            ::nanosleep(&pause, nullptr);
        }
#else
        Q_UNUSED(path)
#endif
    }

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
    , m_segment(new QSharedMemory(key))
    , m_pidFactory(std::move(pidFactory))
    , m_livenessFactory(std::move(livenessFactory))
{
#ifdef Q_OS_UNIX
    m_lockPath = QFile::encodeName(m_segment->nativeKey() + QStringLiteral(".lock"));
#endif
    InstanceLock instanceLock(m_lockPath);

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
}

ProcessSingleton::~ProcessSingleton()
{
    InstanceLock instanceLock(m_lockPath);
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
    void *data = locked ? m_segment->data() : nullptr;
    const qint64 stored = data ? readPid(data) : 0;

    qDebug().noquote() << Q_FUNC_INFO << "Read pid:" << stored;

    const bool inUse = isAlive(stored) && stored != 0;
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
