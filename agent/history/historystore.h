#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "historyrequest.h"

#include <QObject>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>

class HistoryDatabase;
class HistoryReader;
class HistoryWriter;

// Keeps every row the agent publishes in a SQLite file in the state folder
// and answers the clients' searches from it. Rows are written in batches,
// and queries run, on a thread of the store's own, so that serving never
// waits for the disk; answers come back on the store's thread, in order.
// A broken file is reported once, kept, and a new one started beside it.
class HistoryStore : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString folder;
        int keepDays = 7;
        qint64 maxBytes = 2048LL * 1024 * 1024;
        int retentionIntervalMs = 60 * 1000;
    };
    static constexpr int MaxCallRows = 20000;
    static constexpr int RowsPerPage = 1000;
    static constexpr int QueryTimeoutMs = 5000;
    // Rows waiting for the disk beyond this are served but not kept.
    static constexpr int MaxPendingRows = 400000;
    static constexpr qint64 MaxPendingBytes = 32 * 1024 * 1024;

    using CallsDone = std::function<void(const QString &error, const QVector<HistoryCall> &calls, bool truncated)>;
    // more: there are rows beyond these (a cut answer, or a page to follow).
    using RowsDone = std::function<void(const QString &error, const QVector<DiagnosticMessage> &rows, bool more)>;

    explicit HistoryStore(const Settings &settings, QObject *parent = nullptr);
    ~HistoryStore() override;

    static QString fileName() { return QStringLiteral("history.sqlite"); }

    // Opens the file (a new one beside a broken one) and starts writing.
    bool open(QString *error);
    // The highest row id ever stored, so that the agent's numbering goes on.
    qint64 lastRowId() const { return m_lastRowId; }

    // Rows whose messageId is their row id, higher than any before.
    void append(QVector<DiagnosticMessage> rows);

    // Searches run beside the writer: rows appended a moment ago may not
    // be in them yet.
    void findCalls(const HistoryRequest &request, CallsDone done);
    // At most MaxCallRows.
    void callRows(const QString &callId, RowsDone done);
    // The next RowsPerPage rows of a tenant after a row id, with every row
    // appended before this call.
    void rowsAfter(const QString &tenant, qint64 afterId, RowsDone done);

    // Blocks until everything appended so far is stored and old calls are
    // dropped as the bounds say. For tests and benchmarks.
    void flush();

signals:
    // A fault of the store, once for each kind.
    void problem(const QString &line);

private:
    // What to call on the store's thread with a query's answer.
    using Answer = std::function<void()>;
    // Where a query runs: a search on the reader's thread, which may not see
    // the last rows appended yet; a catch-up on the writer's, after every
    // row appended before it.
    enum class After { Nothing, Appended };
    // Without a store, the refusal comes instead.
    void query(After after, std::function<Answer(HistoryDatabase &)> work, Answer refusal);

    const Settings m_settings;
    qint64 m_lastRowId = 0;
    std::unique_ptr<HistoryWriter> m_writer;
    std::unique_ptr<HistoryReader> m_reader;
};
