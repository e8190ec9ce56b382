#include "historystore.h"

#include "historydatabase.h"
#include "historyreader.h"
#include "historywriter.h"

#include <QDeadlineTimer>
#include <QDir>

#include <utility>

namespace {
QString noHistory()
{
    return QStringLiteral("no history is kept");
}
}

HistoryStore::HistoryStore(const Settings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
{
    qRegisterMetaType<DiagnosticMessage>("DiagnosticMessage");
}

HistoryStore::~HistoryStore() = default;

bool HistoryStore::open(QString *error)
{
    const QString path = QDir(m_settings.folder).filePath(fileName());
    auto db = std::make_unique<HistoryDatabase>();
    QString why;
    if (!db->open(path, &why)) {
        if (db->lastFailure() != HistoryDatabase::Failure::Broken) {
            *error = why;
            return false;
        }
        // Kept for the administrator; the service goes on with a new one.
        const QString aside = HistoryWriter::moveAside(path);
        QString again;
        if (aside.isEmpty() || !db->open(path, &again)) {
            *error = QStringLiteral("%1%2").arg(why, again.isEmpty() ? QString() : QStringLiteral("; %1").arg(again));
            return false;
        }
        emit problem(QStringLiteral("history: %1 was unusable (%2); kept as %3, a new one started").arg(path, why, aside));
    }
    m_lastRowId = db->lastRowId();
    HistoryWriter::Bounds bounds;
    bounds.keepDays = m_settings.keepDays;
    bounds.maxBytes = m_settings.maxBytes;
    bounds.retentionIntervalMs = m_settings.retentionIntervalMs;
    bounds.maxPendingRows = MaxPendingRows;
    bounds.maxPendingBytes = MaxPendingBytes;
    m_writer = std::make_unique<HistoryWriter>(std::move(db), path, bounds, [this](const QString &line) {
        QMetaObject::invokeMethod(this, [this, line] { emit problem(line); }, Qt::QueuedConnection);
    });
    m_reader = std::make_unique<HistoryReader>(path);
    return true;
}

void HistoryStore::append(QVector<DiagnosticMessage> rows)
{
    if (m_writer)
        m_writer->append(std::move(rows));
}

void HistoryStore::query(After after, std::function<Answer(HistoryDatabase &)> work, Answer refusal)
{
    if (!m_writer) {
        QMetaObject::invokeMethod(this, std::move(refusal), Qt::QueuedConnection);
        return;
    }
    // The wait behind other work counts.
    const QDeadlineTimer deadline(QueryTimeoutMs);
    auto task = [this, work = std::move(work), deadline](HistoryDatabase &db) {
        db.setDeadline(deadline);
        QMetaObject::invokeMethod(this, work(db), Qt::QueuedConnection);
    };
    if (after == After::Appended)
        m_writer->post(std::move(task));
    else
        m_reader->post(std::move(task));
}

void HistoryStore::findCalls(const HistoryRequest &request, CallsDone done)
{
    query(After::Nothing,
        [request, done](HistoryDatabase &db) -> Answer {
            QVector<HistoryCall> calls;
            bool truncated = false;
            QString error;
            if (!db.findCalls(request, &calls, &truncated, &error))
                calls.clear();
            return [done, error, calls, truncated] { done(error, calls, truncated); };
        },
        [done] { done(noHistory(), {}, false); });
}

void HistoryStore::callRows(const QString &callId, RowsDone done)
{
    query(After::Nothing,
        [callId, done](HistoryDatabase &db) -> Answer {
            QVector<DiagnosticMessage> rows;
            bool more = false;
            QString error;
            if (!db.callRows(callId, MaxCallRows, &rows, &more, &error))
                rows.clear();
            return [done, error, rows, more] { done(error, rows, more); };
        },
        [done] { done(noHistory(), {}, false); });
}

void HistoryStore::rowsAfter(const QString &tenant, qint64 afterId, RowsDone done)
{
    query(After::Appended,
        [tenant, afterId, done](HistoryDatabase &db) -> Answer {
            QVector<DiagnosticMessage> rows;
            bool more = false;
            QString error;
            if (!db.rowsAfter(tenant, afterId, RowsPerPage, &rows, &more, &error))
                rows.clear();
            return [done, error, rows, more] { done(error, rows, more); };
        },
        [done] { done(noHistory(), {}, false); });
}

void HistoryStore::flush()
{
    if (m_writer)
        m_writer->flush();
}
