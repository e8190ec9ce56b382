#include "historyreader.h"

#include "historydatabase.h"

#include <QFile>

#include <utility>

#include <sys/stat.h>

HistoryReader::HistoryReader(const QString &path)
    : m_path(path)
    , m_db(std::make_unique<HistoryDatabase>())
    , m_thread(startWorkerThread(QStringLiteral("HistoryReader"), [this] { run(); }, [this] {
        QMutexLocker lock(&m_mutex);
        m_stop = true;
        m_wake.wakeAll();
    }))
{
}

HistoryReader::~HistoryReader()
{
    m_thread.reset();
    m_db->close();
}

void HistoryReader::post(Task task)
{
    QMutexLocker lock(&m_mutex);
    m_tasks.append(std::move(task));
    m_wake.wakeAll();
}

void HistoryReader::follow()
{
    struct stat now {};
    if (::stat(QFile::encodeName(m_path).constData(), &now) != 0) {
        m_db->close();
        return;
    }
    if (m_db->isOpen() && now.st_dev == m_device && now.st_ino == m_inode)
        return;
    QString error;
    if (m_db->openForReading(m_path, &error)) {
        m_device = now.st_dev;
        m_inode = now.st_ino;
    }
}

void HistoryReader::run()
{
    for (;;) {
        QVector<Task> tasks;
        {
            QMutexLocker lock(&m_mutex);
            while (m_tasks.isEmpty() && !m_stop)
                m_wake.wait(&m_mutex);
            if (m_stop)
                return;
            tasks.swap(m_tasks);
        }
        for (const Task &task : qAsConst(tasks)) {
            follow();
            task(*m_db);
        }
    }
}
