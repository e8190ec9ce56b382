#include "processsingleton.h"

#include "appinfo.h"

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
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

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

#ifdef Q_OS_UNIX
QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Why the segment named by keyFile is not this user's own; empty when it is.
// Looked up again by its key, as the segment object keeps its id to itself.
QString segmentProblem(const QString &keyFile)
{
    const QByteArray path = QFile::encodeName(keyFile);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0)
        return QStringLiteral("has no key file: %1").arg(systemError());
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return QStringLiteral("has a key file that is not this user's own");
    const key_t key = ::ftok(path.constData(), 'Q');
    const int id = key == -1 ? -1 : ::shmget(key, 0, 0);
    struct shmid_ds state;
    if (id == -1 || ::shmctl(id, IPC_STAT, &state) != 0)
        return QStringLiteral("cannot be examined: %1").arg(systemError());
    if (state.shm_perm.cuid != ::geteuid() || state.shm_perm.uid != ::geteuid())
        return QStringLiteral("was made by user %1, not by this user (%2)").arg(state.shm_perm.cuid).arg(::geteuid());
    if (state.shm_perm.mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("may be written by other users (mode %1)")
            .arg(state.shm_perm.mode & 0777, 4, 8, QLatin1Char('0'));
    return QString();
}
#endif

}

ProcessSingleton::ProcessSingleton(const QString &key)
    : ProcessSingleton(key, defaultPidImplFactory(), defaultLivenessImplFactory())
{
}

ProcessSingleton::ProcessSingleton(const QString &key, PidImplFactory pidFactory, LivenessImplFactory livenessFactory)
    : m_key(key)
    , m_segment(new QSharedMemory)
    , m_pidFactory(std::move(pidFactory))
    , m_livenessFactory(std::move(livenessFactory))
{
    nameSegment(*m_segment, key);
#ifdef Q_OS_UNIX
    if (m_segment->nativeKey().isEmpty())
        qWarning().noquote() << Q_FUNC_INFO << "No private folder: a second instance is not kept out";
    else
        takeOwnerLock(m_segment->nativeKey() + QStringLiteral(".lock"));
    if (m_lockBusy)
        peekOwner();
    else
#endif
        attachSegment(key);

    m_inUse = alreadyInUse();
    if (m_inUse) {
        m_segment.reset();
        releaseOwnerLock();
        throw ProcessSingletonAlreadyInUseException();
    }
    if (m_attached) {
        m_mapped = m_segment->data();
        m_ownPid = currentPid();
    }
}

ProcessSingleton::~ProcessSingleton()
{
    if (m_attached && !m_inUse) {
#ifdef Q_OS_UNIX
        if (void *data = m_segment->data())
            writePid(data, 0);
#else
        if (m_segment->lock()) {
            if (void *data = m_segment->data())
                writePid(data, 0);
            m_segment->unlock();
        }
#endif
    }
    m_segment->detach();
    m_segment.reset();
    // Last: the next instance finds the segment given up.
    releaseOwnerLock();
}

void ProcessSingleton::attachSegment(const QString &key)
{
    m_attached = m_segment->create(kSegmentSize, QSharedMemory::ReadWrite);
    const bool existed = !m_attached && m_segment->error() == QSharedMemory::AlreadyExists;
    if (existed) {
        qDebug().noquote() << Q_FUNC_INFO << "Shmem segment already exists, attaching to it";
#ifdef Q_OS_UNIX
        // A segment named by a file keeps the failed creation's error and
        // refuses to attach: a fresh object does.
        m_segment.reset(new QSharedMemory);
        nameSegment(*m_segment, key);
#else
        Q_UNUSED(key)
#endif
        m_attached = m_segment->attach(QSharedMemory::ReadWrite);
        qDebug().noquote() << Q_FUNC_INFO << "Shmem attach succeded:" << m_attached;
    }
#ifdef Q_OS_UNIX
    const QString problem = m_attached ? segmentProblem(m_segment->nativeKey())
        : existed                      ? QStringLiteral("cannot be attached: %1").arg(m_segment->errorString())
                                       : QString();
    if (!problem.isEmpty()) {
        qWarning().noquote() << Q_FUNC_INFO << "Ignoring the instance segment" << m_segment->nativeKey() << "- it"
                             << problem;
        m_segment->detach();
        m_attached = false;
    }
#endif
}

void ProcessSingleton::peekOwner()
{
#ifdef Q_OS_UNIX
    // Another instance holds the lock: look without making or dropping a
    // segment (dropping the last attachment removes it), so that the owner's
    // stays whole whatever moment this start picks.
    const QString keyFile = m_segment->nativeKey();
    const key_t segmentKey = ::ftok(QFile::encodeName(keyFile).constData(), 'Q');
    const int id = segmentKey == -1 ? -1 : ::shmget(segmentKey, 0, 0);
    if (id == -1)
        return;
    qDebug().noquote() << Q_FUNC_INFO << "Shmem segment already exists, attaching to it";
    const QString problem = segmentProblem(keyFile);
    void *const failed = reinterpret_cast<void *>(-1);
    void *data = problem.isEmpty() ? ::shmat(id, nullptr, SHM_RDONLY) : failed;
    qDebug().noquote() << Q_FUNC_INFO << "Shmem attach succeded:" << (data != failed);
    if (!problem.isEmpty())
        qWarning().noquote() << Q_FUNC_INFO << "Ignoring the instance segment" << keyFile << "- it" << problem;
    if (data != failed) {
        m_peekedPid = readPid(data);
        ::shmdt(data);
    }
#endif
}

bool ProcessSingleton::alreadyInUse() const
{
    const qint64 myPid = currentPid();

#ifdef Q_OS_UNIX
    // The owner lock keeps other guards away from the segment meanwhile.
    const bool locked = false;
#else
    // One lock spans the read and the write, so that two instances started
    // together cannot both see a free segment.
    const bool locked = m_attached && m_segment->lock();
    if (m_attached && !locked) {
        // Still read: the guard must not switch itself off.
        qWarning().noquote() << Q_FUNC_INFO << "Shmem lock failed:" << m_segment->errorString();
    }
#endif
    void *data = m_attached ? m_segment->data() : nullptr;
    const qint64 stored = data ? readPid(data) : m_peekedPid;

    qDebug().noquote() << Q_FUNC_INFO << "Read pid:" << stored;

    // Our own id is a leftover of an earlier process that had it (a crash,
    // then the id handed out again), never another instance.
    const bool inUse = m_lockBusy || (stored != 0 && stored != myPid && isAlive(stored));
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
    // No other guard touches the segment while this process holds the owner
    // lock, which the kernel drops only after the handler.
    if (readPid(instance->m_mapped) == instance->m_ownPid)
        writePid(instance->m_mapped, 0);
}

void ProcessSingleton::nameSegment(QSharedMemory &segment, const QString &key)
{
#ifdef Q_OS_UNIX
    const QString folder = AppInfo::runtimeDir();
    segment.setNativeKey(folder.isEmpty() ? QString() : folder + QLatin1Char('/') + key);
#else
    segment.setKey(key);
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

void ProcessSingleton::takeOwnerLock(const QString &path)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(path);
    m_lockFd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (m_lockFd < 0 || ::fstat(m_lockFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        qWarning().noquote() << Q_FUNC_INFO << "Cannot use the instance lock" << path << "-"
                             << (m_lockFd < 0 ? systemError() : QStringLiteral("not this user's own file"));
    } else if (::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0) {
        return;
    } else {
        // Only an instance of this very user can hold it.
        m_lockBusy = errno == EWOULDBLOCK;
        if (!m_lockBusy)
            qWarning().noquote() << Q_FUNC_INFO << "Cannot lock" << path << "-" << systemError();
    }
    releaseOwnerLock();
#else
    Q_UNUSED(path)
#endif
}

void ProcessSingleton::releaseOwnerLock()
{
#ifdef Q_OS_UNIX
    // Closing the only descriptor releases the lock.
    if (m_lockFd >= 0)
        ::close(m_lockFd);
#endif
    m_lockFd = -1;
}
