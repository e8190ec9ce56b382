#pragma once

// A process killed in a test leaves its System V segment behind, keyed by
// ftok() on a key file in the test's private folder. Once that folder is
// gone, a new key file that reuses the inode maps onto the orphan: a later
// test (of any program) then finds "its" segment already there. Removing what
// is left while the key files still exist prevents that.

#include <QDir>
#include <QFile>
#include <QString>

#include <sys/ipc.h>
#include <sys/shm.h>

// Removes the segments keyed by the files in dir that nobody is attached to.
inline void removeLeftoverIpc(const QString &dir)
{
    const QDir folder(dir);
    for (const QString &name : folder.entryList(QDir::Files | QDir::System)) {
        const key_t key = ::ftok(QFile::encodeName(folder.filePath(name)).constData(), 'Q');
        const int id = key == -1 ? -1 : ::shmget(key, 0, 0);
        struct shmid_ds state;
        if (id != -1 && ::shmctl(id, IPC_STAT, &state) == 0 && state.shm_nattch == 0)
            ::shmctl(id, IPC_RMID, nullptr);
    }
}
