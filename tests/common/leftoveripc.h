#pragma once

// A process killed in a test leaves its System V segment and semaphore behind,
// keyed by ftok() on a key file in the test's temporary directory. Once that
// directory is gone, a new key file that reuses the inode maps onto the
// orphan: a later test (of any program) then finds "its" segment already
// there. Removing what is left while the key files still exist prevents that.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

inline void removeLeftoverIpc(const QString &keyFileDir)
{
    const QString segmentPrefix = QStringLiteral("qipc_sharedmemory_");
    const QString semaphorePrefix = QStringLiteral("qipc_systemsem_");
    const QDir dir(keyFileDir);
    const auto keyOf = [&dir](const QString &name) {
        return ::ftok(QFile::encodeName(dir.filePath(name)).constData(), 'Q');
    };
    for (const QString &name : dir.entryList({segmentPrefix + QLatin1Char('*')}, QDir::Files)) {
        const key_t key = keyOf(name);
        const int id = key == -1 ? -1 : ::shmget(key, 0, 0);
        struct shmid_ds state;
        if (id != -1 && (::shmctl(id, IPC_STAT, &state) != 0 || state.shm_nattch != 0))
            continue; // still in use
        if (id != -1)
            ::shmctl(id, IPC_RMID, nullptr);
        // The segment's semaphore has the same name after its own prefix.
        const QString semaphoreName = semaphorePrefix + name.mid(segmentPrefix.size());
        const key_t semaphoreKey = keyOf(semaphoreName);
        const int semaphoreId = semaphoreKey == -1 ? -1 : ::semget(semaphoreKey, 0, 0);
        if (semaphoreId != -1)
            ::semctl(semaphoreId, 0, IPC_RMID);
    }
}
