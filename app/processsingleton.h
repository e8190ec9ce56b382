#pragma once

#include "osalpidimpliface.h"
#include "osalprocesslivenessimpliface.h"
#include "processsingletonalreadyinuseexception.h"

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class QSharedMemory;

// Keeps a second copy of the program out: a named shared-memory segment holds
// the id of the owning process, and a segment whose owner has ended is taken
// over.
//
// On Unix everything the guard uses lives in the user's private folder
// (AppInfo::runtimeDir()), where no other user can plant a segment's key file
// or hold a lock: the segment is named by a key file there, and the owner
// holds an advisory lock on a file beside it for its whole life. The lock
// also serialises the guards' work on the segment, which has no lock of its
// own when named by a file, and the kernel releases it when a process dies.
// A segment that is not this user's own (made by someone else, or writable
// by others: System V keys are plain numbers anybody may take) is ignored
// with a warning, and the lock alone keeps a second instance out.
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

    // Names segment as the guard names its own for key: on Unix by a key file
    // in the private folder.
    static void nameSegment(QSharedMemory &segment, const QString &key);

    static PidImplFactory defaultPidImplFactory();
    static LivenessImplFactory defaultLivenessImplFactory();

private:
    qint64 currentPid() const;
    bool isAlive(qint64 pid) const;
    void takeOwnerLock(const QString &path);
    void releaseOwnerLock();
    void attachSegment(const QString &key);
    void peekOwner();

    QString m_key;
    std::unique_ptr<QSharedMemory> m_segment;
    bool m_attached = false;
    bool m_inUse = false;
    // The lock held for the object's life; busy when another instance has it.
    int m_lockFd = -1;
    bool m_lockBusy = false;
    // What a refused start read without attaching the segment object.
    qint64 m_peekedPid = 0;
    // Kept for the crash handler, which must not ask Qt.
    void *m_mapped = nullptr;
    qint64 m_ownPid = 0;
    PidImplFactory m_pidFactory;
    LivenessImplFactory m_livenessFactory;
};
