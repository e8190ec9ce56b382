#pragma once

#include "diagnosticmessage.h"
#include "historycall.h"
#include "historyrequest.h"

#include <QDeadlineTimer>
#include <QString>
#include <QVector>

struct sqlite3;
struct sqlite3_stmt;

// The SQLite file that keeps every row the agent served: the rows, a
// summary of each call kept up to date as its rows arrive, and a full-text
// index of their words. One connection, used by one thread at a time; the
// file may have two, a writer and a reader (SQLite's WAL lets one read while
// the other writes).
class HistoryDatabase
{
public:
    enum class Failure { None, Broken, Busy, Other };

    HistoryDatabase();
    ~HistoryDatabase();
    HistoryDatabase(const HistoryDatabase &) = delete;
    HistoryDatabase &operator=(const HistoryDatabase &) = delete;

    // What a row takes in memory, roughly: answers and queues are bounded by
    // it, as one SIP peer's rows may be large.
    static qint64 rowBytes(const DiagnosticMessage &row);
    // The most of rows one read hands over; a further row is left for the
    // next page, or the answer is marked cut.
    static constexpr qint64 MaxReadBytes = 8 * 1024 * 1024;

    // Opens the file, making it and its tables when missing. A file that is
    // no database of ours, or that cannot be written, is Broken.
    bool open(const QString &path, QString *error);
    // Opens a file open() made, for queries alone.
    bool openForReading(const QString &path, QString *error);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    // What the last failed call ran into.
    Failure lastFailure() const { return m_failure; }

    // The highest row id the file has known, so that numbering goes on.
    qint64 lastRowId();
    // Row ids below this are never used again in this file.
    bool setIdFloor(qint64 firstId, QString *error);

    // Stores the rows (their messageId is the row id) in one transaction.
    bool write(const QVector<DiagnosticMessage> &rows, QString *error);

    // Queries give up at the deadline with "query took too long".
    void setDeadline(QDeadlineTimer deadline) { m_deadline = deadline; }
    bool findCalls(const HistoryRequest &request, QVector<HistoryCall> *calls, bool *truncated, QString *error);
    // At most maxRows, in the order they were stored.
    bool callRows(const QString &callId, int maxRows, QVector<DiagnosticMessage> *rows, bool *truncated,
                  QString *error);
    // The rows of one tenant ("" = of none) after a row id.
    bool rowsAfter(const QString &tenant, qint64 afterId, int maxRows, QVector<DiagnosticMessage> *rows,
                   bool *more, QString *error);

    // Drops whole calls (and rows of no call) last seen before the cutoff
    // ("yyyy-MM-dd HH:mm:ss"), then the oldest calls until the file's pages
    // in use take at most maxBytes. Returns the calls dropped.
    qint64 dropOld(const QString &cutoff, qint64 maxBytes, QString *error);
    // Pages in use, in bytes.
    qint64 usedBytes();

private:
    bool connect(const QString &path, int flags, QString *error);
    bool exec(const char *sql, QString *error);
    bool fail(QString *error, const QString &what);
    sqlite3_stmt *prepare(const char *sql, QString *error);
    bool readRows(sqlite3_stmt *statement, int maxRows, QVector<DiagnosticMessage> *rows, bool *more,
                  QString *error);
    bool dropCallsBefore(const QString &lastTime, QString *error);

    sqlite3 *m_db = nullptr;
    QDeadlineTimer m_deadline = QDeadlineTimer::Forever;
    Failure m_failure = Failure::None;
};
