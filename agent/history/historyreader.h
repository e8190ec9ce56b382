#pragma once

#include "workerthread.h"

#include <QMutex>
#include <QString>
#include <QVector>
#include <QWaitCondition>

#include <functional>
#include <memory>

#include <sys/types.h>

class HistoryDatabase;

// Answers the history's searches on a connection and a thread of their own,
// so that a long search never holds up storing. The file is the writer's:
// when the writer starts a new one in its place, the reader follows.
class HistoryReader
{
public:
    // Given a database that is not open when the file cannot be read.
    using Task = std::function<void(HistoryDatabase &db)>;

    explicit HistoryReader(const QString &path);
    ~HistoryReader();

    void post(Task task);

private:
    void run();
    // Opens the file, again when another has taken its name.
    void follow();

    const QString m_path;
    std::unique_ptr<HistoryDatabase> m_db;
    dev_t m_device = 0;
    ino_t m_inode = 0;

    QMutex m_mutex;
    QWaitCondition m_wake;
    QVector<Task> m_tasks;
    bool m_stop = false;

    // Last: stopped, and waited for, before the rest goes.
    WorkerThread m_thread;
};
