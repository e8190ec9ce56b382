#include "historywriter.h"

#include "historydatabase.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>

#include <utility>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Rows are written when this many wait, or after the pause, whichever first.
constexpr int kBatchRows = 4000;
constexpr int kBatchPauseMs = 100;
constexpr int kSizeCheckRows = 20000;
constexpr int kNice = 10;
enum Fault { Broken = 1, Behind = 2, WriteFailed = 4, Retention = 8, Replaced = 16 };
}

HistoryWriter::HistoryWriter(std::unique_ptr<HistoryDatabase> db, const QString &path, const Bounds &bounds,
                             Report report)
    : m_db(std::move(db))
    , m_path(path)
    , m_bounds(bounds)
    , m_report(std::move(report))
    , m_thread(startWorkerThread(QStringLiteral("HistoryWriter"), [this] { run(); }, [this] {
        QMutexLocker lock(&m_mutex);
        m_stop = true;
        m_wake.wakeAll();
    }))
{
}

HistoryWriter::~HistoryWriter()
{
    m_thread.reset();
    m_db->close();
}

bool HistoryWriter::append(QVector<DiagnosticMessage> rows)
{
    QMutexLocker lock(&m_mutex);
    if (m_broken)
        return false;
    qint64 bytes = 0;
    for (const DiagnosticMessage &row : qAsConst(rows))
        bytes += HistoryDatabase::rowBytes(row);
    if (m_pending.size() + rows.size() > m_bounds.maxPendingRows
        || (m_bounds.maxPendingBytes > 0 && m_pendingBytes + bytes > m_bounds.maxPendingBytes)) {
        noteNotKept(rows);
        lock.unlock();
        reportOnce(Behind, QStringLiteral("history falls behind the log: rows are served but not all kept"));
        return false;
    }
    closeGap();
    m_pendingBytes += bytes;
    const bool wasShort = m_pending.size() < kBatchRows;
    if (m_pending.isEmpty())
        m_pending = std::move(rows);
    else
        m_pending += rows;
    if (wasShort && m_pending.size() >= kBatchRows)
        m_wake.wakeAll();
    return true;
}

void HistoryWriter::noteNotKept(const QVector<DiagnosticMessage> &rows)
{
    for (const DiagnosticMessage &row : rows) {
        if (m_gap.rows++ == 0) {
            m_gap.firstId = row.messageId.toLongLong();
            m_gap.firstTime = row.timestamp;
        }
        m_gap.lastTime = row.timestamp;
        if (!m_gap.tenants.contains(row.tenantUuid) && m_gap.tenants.size() < MaxGapTenants)
            m_gap.tenants.append(row.tenantUuid);
    }
}

void HistoryWriter::closeGap()
{
    if (m_gap.rows == 0)
        return;
    const Gap gap = std::exchange(m_gap, Gap());
    // Each notice takes the id of a row not kept: unique, and in its place
    // among the rows around it. Every tenant listed had a row, so there
    // are ids enough.
    qint64 id = gap.firstId;
    for (const QString &tenant : gap.tenants) {
        DiagnosticMessage notice;
        notice.messageId = QString::number(id++);
        notice.tenantUuid = tenant;
        notice.timestamp = gap.firstTime;
        notice.verbosity = QStringLiteral("2");
        notice.message = QStringLiteral("plogger4-agent: the history did not keep %1 rows from %2 to %3: "
                                        "it fell behind the log")
                             .arg(gap.rows)
                             .arg(gap.firstTime, gap.lastTime);
        m_pendingBytes += HistoryDatabase::rowBytes(notice);
        m_pending.append(notice);
    }
}

void HistoryWriter::post(Task task)
{
    QMutexLocker lock(&m_mutex);
    m_tasks.append(std::move(task));
    m_wake.wakeAll();
}

void HistoryWriter::flush()
{
    QMutexLocker lock(&m_mutex);
    m_dropRequested = true;
    m_wake.wakeAll();
    while (m_busy || m_dropRequested || !m_pending.isEmpty() || !m_tasks.isEmpty())
        m_idle.wait(&m_mutex);
}

QString HistoryWriter::moveAside(const QString &path)
{
    const QString aside = QStringLiteral("%1.broken-%2")
                              .arg(path, QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")));
    if (QFile::exists(path) && !QFile::rename(path, aside))
        return {};
    // The journal belongs to the file it was written for.
    for (const char *suffix : {"-wal", "-shm"}) {
        if (QFile::exists(path + QLatin1String(suffix)))
            QFile::rename(path + QLatin1String(suffix), aside + QLatin1String(suffix));
    }
    return aside;
}

void HistoryWriter::reportOnce(int kind, const QString &line)
{
    {
        QMutexLocker lock(&m_mutex);
        if (m_reported & quint32(kind))
            return;
        m_reported |= quint32(kind);
    }
    m_report(line);
}

void HistoryWriter::run()
{
    // Serving clients comes first: the disk's work takes what CPU is left,
    // and catches up when the log is quieter.
    ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), kNice);
    QDeadlineTimer nextRetention(0);
    for (;;) {
        QVector<DiagnosticMessage> rows;
        QVector<Task> tasks;
        bool dropNow = false;
        {
            QMutexLocker lock(&m_mutex);
            m_busy = false;
            // Idle only once a drop asked for meanwhile has run too.
            if (m_pending.isEmpty() && m_tasks.isEmpty() && !m_dropRequested)
                m_idle.wakeAll();
            if (m_stop)
                closeGap();
            if (m_stop && m_pending.isEmpty() && m_tasks.isEmpty()) {
                m_dropRequested = false;
                m_idle.wakeAll();
                return;
            }
            if (m_tasks.isEmpty() && m_pending.size() < kBatchRows && !m_stop && !m_dropRequested)
                m_wake.wait(&m_mutex, QDeadlineTimer(qMin<qint64>(kBatchPauseMs, qMax<qint64>(1, nextRetention.remainingTime()))));
            rows.swap(m_pending);
            m_pendingBytes = 0;
            tasks.swap(m_tasks);
            dropNow = std::exchange(m_dropRequested, false);
            m_busy = true;
        }
        if (!rows.isEmpty())
            store(rows);
        for (const Task &task : qAsConst(tasks))
            task(*m_db);
        if (dropNow || nextRetention.hasExpired() || m_rowsSinceSizeCheck >= kSizeCheckRows) {
            dropOld();
            nextRetention.setRemainingTime(m_bounds.retentionIntervalMs);
        }
    }
}

void HistoryWriter::store(const QVector<DiagnosticMessage> &rows)
{

    if (!m_db->isOpen())
        return;
    QString error;
    if (m_db->write(rows, &error)) {
        m_rowsSinceSizeCheck += rows.size();
        return;
    }
    if (m_db->lastFailure() != HistoryDatabase::Failure::Broken) {
        reportOnce(WriteFailed, QStringLiteral("history: rows not kept: %1").arg(error));
        return;
    }
    // Whatever is wrong with the file, it stays for whoever wants to look;
    // the new one goes on numbering where the rows left off.
    m_db->close();
    const QString aside = moveAside(m_path);
    QString why;
    if (aside.isEmpty() || !m_db->open(m_path, &why) || !m_db->setIdFloor(rows.constFirst().messageId.toLongLong(), &why)
        || !m_db->write(rows, &why)) {
        m_db->close();
        {
            QMutexLocker lock(&m_mutex);
            m_broken = true;
        }
        reportOnce(Broken, QStringLiteral("history is off: %1 is unusable (%2)%3")
                               .arg(m_path, error, why.isEmpty() ? QString() : QStringLiteral("; %1").arg(why)));
        return;
    }
    reportOnce(Replaced, QStringLiteral("history: %1 was unusable (%2); kept as %3, a new one started")
                             .arg(m_path, error, aside));
}

void HistoryWriter::dropOld()
{
    m_rowsSinceSizeCheck = 0;
    if (!m_db->isOpen())
        return;
    const QString cutoff = QDateTime::currentDateTime()
                               .addDays(-m_bounds.keepDays)
                               .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QString error;
    if (m_db->dropOld(cutoff, m_bounds.maxBytes, &error) < 0)
        reportOnce(Retention, QStringLiteral("history: old calls not dropped: %1").arg(error));
}
