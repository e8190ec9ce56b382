#pragma once

#include "osalpidimpliface.h"
#include "osalprocesslivenessimpliface.h"
#include "processsingletonalreadyinuseexception.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QSharedMemory;

// Keeps a second copy of the program out: a named shared-memory segment holds
// the id of the owning process, and a segment whose owner has ended is taken
// over.
//
// On Unix the segment's own lock cannot be trusted while other processes
// create, attach or drop the same segment (creating it resets the lock, and
// dropping it may remove the lock and its key file), so there every step
// that touches the segment also runs under an advisory file lock beside the
// segment's key file. The kernel releases that lock when a process dies.
//
// The key files live in the temporary folder, which all users share there:
// the user id joins the key, so that each user has an instance of their own.
class ProcessSingleton
{
public:
    using PidImplFactory = std::function<std::unique_ptr<OsalPidImplIface>()>;
    using LivenessImplFactory = std::function<std::unique_ptr<OsalProcessLivenessImplIface>()>;

    static constexpr int kSegmentSize = 1024;

    // Throws ProcessSingletonAlreadyInUseException when a live process owns
    // the segment.
    explicit ProcessSingleton(const QString &key);
    // As above, with the platform queries replaced (tests).
    ProcessSingleton(const QString &key, PidImplFactory pidFactory, LivenessImplFactory livenessFactory);
    ~ProcessSingleton();

    ProcessSingleton(const ProcessSingleton &) = delete;
    ProcessSingleton &operator=(const ProcessSingleton &) = delete;

    bool alreadyInUse() const;

    // The process-wide instance: set by main, released by main and by the
    // crash handler.
    static std::atomic<ProcessSingleton *> &instancePointer();
    // Destroys the process-wide instance, if any, and clears the pointer.
    static void releaseInstance();
    // For the crash handler: clears the process-wide instance's id in the
    // segment with system calls only, no allocation and no Qt locks, and
    // leaves the rest to the kernel, which detaches at exit.
    static void releaseInstanceAfterCrash();

    // The segment's key for a caller's key: per user on Unix.
    static QString userKey(const QString &key);

    static PidImplFactory defaultPidImplFactory();
    static LivenessImplFactory defaultLivenessImplFactory();

private:
    qint64 currentPid() const;
    bool isAlive(qint64 pid) const;

    QString m_key;
    std::unique_ptr<QSharedMemory> m_segment;
    QByteArray m_lockPath;
    bool m_attached = false;
    bool m_inUse = false;
    // Kept for the crash handler, which must not ask Qt.
    void *m_mapped = nullptr;
    qint64 m_ownPid = 0;
    PidImplFactory m_pidFactory;
    LivenessImplFactory m_livenessFactory;
};
