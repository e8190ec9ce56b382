#pragma once

#include "diagnosticmessage.h"
#include "workerthread.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QWaitCondition>

#include <functional>
#include <memory>

class HistoryDatabase;

// The history's own thread: it owns the database connection, writes the
// rows handed to it in batches, runs the queries posted to it after the rows
// appended before them, drops old calls, and moves a broken file aside.
class HistoryWriter
{
public:
    using Task = std::function<void(HistoryDatabase &db)>;
    // Called on the writer's thread.
    using Report = std::function<void(const QString &line)>;

    struct Bounds
    {
        int keepDays = 7;
        qint64 maxBytes = 0;
        int retentionIntervalMs = 60 * 1000;
        int maxPendingRows = 0;
        qint64 maxPendingBytes = 0;
    };

    // db is open on path; the thread starts at once.
    HistoryWriter(std::unique_ptr<HistoryDatabase> db, const QString &path, const Bounds &bounds, Report report);
    ~HistoryWriter();

    // False when the rows are not kept: the writer is too far behind, or broken.
    bool append(QVector<DiagnosticMessage> rows);
    void post(Task task);
    // Blocks until what was appended and posted so far is done, and old
    // calls are dropped.
    void flush();

    // Moves a broken database (and its journal files) to a name of its own
    // beside it; the new name, or empty when it could not be moved.
    static QString moveAside(const QString &path);

private:
    // Rows not kept because the writer was too far behind: told in the
    // history itself, where a client catching up reads past them.
    struct Gap
    {
        qint64 firstId = 0;
        qint64 rows = 0;
        QString firstTime;
        QString lastTime;
        QStringList tenants;  // at most MaxGapTenants
    };
    static constexpr int MaxGapTenants = 16;
    void noteNotKept(const QVector<DiagnosticMessage> &rows);
    // Queues the open gap's notice rows, one per tenant; under the mutex.
    void closeGap();

    void run();
    void store(const QVector<DiagnosticMessage> &rows);
    void dropOld();
    void reportOnce(int kind, const QString &line);

    std::unique_ptr<HistoryDatabase> m_db;
    const QString m_path;
    const Bounds m_bounds;
    const Report m_report;

    QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_idle;
    QVector<DiagnosticMessage> m_pending;
    qint64 m_pendingBytes = 0;
    QVector<Task> m_tasks;
    bool m_stop = false;
    bool m_busy = false;
    bool m_dropRequested = false;
    bool m_broken = false;
    quint32 m_reported = 0;  // kinds of fault already told
    Gap m_gap;
    qint64 m_rowsSinceSizeCheck = 0;

    // Last: stopped, and waited for, before the rest goes.
    WorkerThread m_thread;
};
