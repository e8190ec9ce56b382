#include "historydatabase.h"
#include "wiretimestamp.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QStringView>

#include <sqlite3.h>

namespace {
constexpr int kSchemaVersion = 2;
const QChar kExtraSeparator(0x1f);

const char *const kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS rows(
    id INTEGER PRIMARY KEY, time TEXT NOT NULL, tenant TEXT NOT NULL, call_id TEXT NOT NULL,
    unique_id TEXT NOT NULL, level TEXT NOT NULL, message TEXT NOT NULL, extra TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS rows_by_call ON rows(call_id, time);
CREATE INDEX IF NOT EXISTS rows_by_tenant ON rows(tenant);
CREATE TABLE IF NOT EXISTS calls(
    call_id TEXT PRIMARY KEY, tenant TEXT NOT NULL, first TEXT NOT NULL, last TEXT NOT NULL,
    from_user TEXT NOT NULL, to_user TEXT NOT NULL, ruri_user TEXT NOT NULL,
    has_invite INTEGER NOT NULL, invite_code INTEGER NOT NULL, other_code INTEGER NOT NULL,
    rows INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS calls_by_last ON calls(last);
CREATE VIRTUAL TABLE IF NOT EXISTS rows_text USING fts5(message, content='rows', content_rowid='id', detail='none');
-- Rows are indexed by the writer's own statement: under a trigger every row
-- opened a savepoint, on which the index wrote out a segment of its own,
-- and storing took seven times as long.
DROP TRIGGER IF EXISTS rows_text_add;
CREATE TRIGGER IF NOT EXISTS rows_text_drop AFTER DELETE ON rows BEGIN
    INSERT INTO rows_text(rows_text, rowid, message) VALUES ('delete', old.id, old.message);
END;
)";

const char *const kInsertRow = "INSERT OR IGNORE INTO rows(id, time, tenant, call_id, unique_id, level, message, extra) "
                               "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
const char *const kIndexRow = "INSERT INTO rows_text(rowid, message) VALUES (?1, ?2)";
// The first non-empty tenant, From, To and Request-URI stand; the last final
// answer to an INVITE is the call's, or to anything else when it had none.
const char *const kUpsertCall = R"(
INSERT INTO calls(call_id, tenant, first, last, from_user, to_user, ruri_user, has_invite, invite_code, other_code, rows)
VALUES (?1, ?2, ?3, ?10, ?4, ?5, ?6, ?7, ?8, ?9, ?11)
ON CONFLICT(call_id) DO UPDATE SET
    tenant = CASE WHEN tenant = '' THEN excluded.tenant ELSE tenant END,
    first = min(first, excluded.first), last = max(last, excluded.last),
    from_user = CASE WHEN from_user = '' THEN excluded.from_user ELSE from_user END,
    to_user = CASE WHEN to_user = '' THEN excluded.to_user ELSE to_user END,
    ruri_user = CASE WHEN ruri_user = '' THEN excluded.ruri_user ELSE ruri_user END,
    has_invite = max(has_invite, excluded.has_invite),
    invite_code = CASE WHEN excluded.invite_code <> 0 THEN excluded.invite_code ELSE invite_code END,
    other_code = CASE WHEN excluded.other_code <> 0 THEN excluded.other_code ELSE other_code END,
    rows = rows + excluded.rows
)";
const char *const kRowColumns = "SELECT id, time, tenant, call_id, unique_id, level, message, extra FROM rows ";

// What a SIP row's text tells about its call.
struct SipFacts
{
    QString fromUser;
    QString toUser;
    QString ruriUser;
    bool invite = false;  // the CSeq names INVITE
    int finalCode = 0;    // of an answer of 200 or more
};

// The user part of the first SIP, SIPS or tel URI in a header value.
QString userOf(QStringView value)
{
    for (const QLatin1String scheme : {QLatin1String("sip:"), QLatin1String("sips:"), QLatin1String("tel:")}) {
        const int at = value.indexOf(scheme, 0, Qt::CaseInsensitive);
        if (at < 0)
            continue;
        QStringView rest = value.mid(at + scheme.size());
        int end = 0;
        while (end < rest.size() && !QStringLiteral(";>@ ,?").contains(rest.at(end)))
            ++end;
        const bool hasUser = end < rest.size() && rest.at(end) == QLatin1Char('@');
        if (hasUser || scheme == QLatin1String("tel:"))
            return rest.left(qMin(end, 128)).toString();
        return {};
    }
    return {};
}

// HEP's SIP rows are "SIP from A to B (PROTO)", then the message itself.
SipFacts sipFactsOf(const QString &message)
{
    SipFacts facts;
    if (!message.startsWith(QLatin1String("SIP from ")))
        return facts;
    const QStringView text(message);
    int lineStart = message.indexOf(QLatin1Char('\n')) + 1;
    bool first = true;
    for (int n = 0; lineStart > 0 && lineStart < text.size() && n < 100; ++n) {
        int lineEnd = message.indexOf(QLatin1Char('\n'), lineStart);
        if (lineEnd < 0)
            lineEnd = text.size();
        QStringView line = text.mid(lineStart, lineEnd - lineStart);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        lineStart = lineEnd + 1;
        if (line.isEmpty())
            break;
        if (first) {
            first = false;
            if (line.startsWith(QLatin1String("SIP/2.0 "))) {
                const int code = line.mid(8, 3).toInt();
                facts.finalCode = code >= 200 ? code : 0;
            } else {
                const int space = line.indexOf(QLatin1Char(' '));
                facts.ruriUser = userOf(line.mid(space + 1, line.lastIndexOf(QLatin1Char(' ')) - space - 1));
            }
            continue;
        }
        const int colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            continue;
        const QStringView name = line.left(colon).trimmed();
        const QStringView value = line.mid(colon + 1);
        auto is = [&](const char *full, const char *compact) {
            return name.compare(QLatin1String(full), Qt::CaseInsensitive) == 0
                || (compact && name.compare(QLatin1String(compact), Qt::CaseInsensitive) == 0);
        };
        if (facts.fromUser.isEmpty() && is("From", "f"))
            facts.fromUser = userOf(value);
        else if (facts.toUser.isEmpty() && is("To", "t"))
            facts.toUser = userOf(value);
        else if (is("CSeq", nullptr))
            facts.invite = value.trimmed().endsWith(QLatin1String("INVITE"), Qt::CaseInsensitive);
    }
    return facts;
}

// What one batch's rows tell about a call, gathered as the upsert above
// would gather them row by row: one statement a call instead of one a row.
struct CallUpdate
{
    QString tenant;
    QString first;
    QString last;
    QString fromUser;
    QString toUser;
    QString ruriUser;
    bool invite = false;
    int inviteCode = 0;
    int otherCode = 0;
    qint64 rows = 0;

    void add(const QString &rowTenant, const QString &time, const SipFacts &sip)
    {
        if (tenant.isEmpty())
            tenant = rowTenant;
        if (rows++ == 0 || time < first)
            first = time;
        if (time > last)
            last = time;
        if (fromUser.isEmpty())
            fromUser = sip.fromUser;
        if (toUser.isEmpty())
            toUser = sip.toUser;
        if (ruriUser.isEmpty())
            ruriUser = sip.ruriUser;
        invite = invite || sip.invite;
        if (sip.finalCode != 0)
            (sip.invite ? inviteCode : otherCode) = sip.finalCode;
    }
};

// "yyyy-MM-dd HH:mm:ss" at least: a stamp that sorts as time does.
bool sortsAsTime(const QString &stamp)
{
    static const char pattern[] = "0000-00-00 00:00:00";
    if (stamp.size() < 19)
        return false;
    for (int i = 0; i < 19; ++i) {
        const QChar c = stamp.at(i);
        if (pattern[i] == '0' ? !(c >= QLatin1Char('0') && c <= QLatin1Char('9')) : c != QLatin1Char(pattern[i]))
            return false;
    }
    return true;
}

void bindText(sqlite3_stmt *statement, int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(statement, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
}

QString columnText(sqlite3_stmt *statement, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, column)),
                             sqlite3_column_bytes(statement, column));
}

// A LIKE pattern that finds the text anywhere, its own % and _ plain.
QString containsPattern(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('%'), QLatin1String("\\%"));
    escaped.replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

// Every word of the text, each quoted: the index's own syntax never reaches
// it. Words are cut as the index cuts them, at anything but letters and
// digits; a text without words matches nothing.
QString wordsOf(const QString &text)
{
    QStringList words;
    QString word;
    for (const QChar c : text + QLatin1Char(' ')) {
        if (c.isLetterOrNumber() || c.isMark()) {
            word += c;
        } else if (!word.isEmpty()) {
            words << QLatin1Char('"') + word + QLatin1Char('"');
            word.clear();
        }
    }
    return words.isEmpty() ? QStringLiteral("\"\"") : words.join(QLatin1Char(' '));
}

struct Statement
{
    sqlite3_stmt *s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};
}

HistoryDatabase::HistoryDatabase() = default;

HistoryDatabase::~HistoryDatabase()
{
    close();
}

bool HistoryDatabase::connect(const QString &path, int flags, QString *error)
{
    close();
    m_failure = Failure::None;
    // Only the agent's own use: no statistics, no lock for them per allocation.
    static const int unused = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    Q_UNUSED(unused)
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    m_db = db;
    if (rc != SQLITE_OK) {
        fail(error, QStringLiteral("cannot open %1").arg(path));
        close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 2000);
    sqlite3_progress_handler(
        m_db, 10000, [](void *self) { return static_cast<HistoryDatabase *>(self)->m_deadline.hasExpired() ? 1 : 0; },
        this);
    return true;
}

bool HistoryDatabase::openForReading(const QString &path, QString *error)
{
    QString why;
    if (connect(path, SQLITE_OPEN_READWRITE, error) && exec("PRAGMA query_only = 1", &why)
        && exec("PRAGMA cache_size = -4096", &why))
        return true;
    if (m_db)
        *error = QStringLiteral("%1: %2").arg(path, why);
    close();
    return false;
}

bool HistoryDatabase::open(const QString &path, QString *error)
{
    if (!connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error))
        return false;
    // Never read by anyone but the agent: it holds every call's messages.
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    QString why;
    // auto_vacuum takes effect only before the first table: old calls
    // dropped give their room back to the file system.
    const bool ok = exec("PRAGMA auto_vacuum = INCREMENTAL", &why) && exec("PRAGMA journal_mode = WAL", &why)
        && exec("PRAGMA synchronous = NORMAL", &why)
        && exec("PRAGMA journal_size_limit = 67108864", &why) && exec("PRAGMA cache_size = -16384", &why) && exec("BEGIN IMMEDIATE", &why) && exec(kSchema, &why)
        && exec(QByteArray("PRAGMA user_version = " + QByteArray::number(kSchemaVersion)).constData(), &why)
        && exec("COMMIT", &why);
    if (!ok) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        close();
        return false;
    }
    return true;
}

void HistoryDatabase::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool HistoryDatabase::fail(QString *error, const QString &what)
{
    const int code = m_db ? (sqlite3_extended_errcode(m_db) & 0xff) : SQLITE_CANTOPEN;
    switch (code) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_PERM:
        m_failure = Failure::Broken;
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        m_failure = Failure::Busy;
        break;
    default:
        m_failure = Failure::Other;
    }
    const QString reason = code == SQLITE_INTERRUPT ? QStringLiteral("query took too long")
                                                    : QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "out of memory");
    *error = what.isEmpty() ? reason : QStringLiteral("%1: %2").arg(what, reason);
    return false;
}

bool HistoryDatabase::exec(const char *sql, QString *error)
{
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    return fail(error, QString());
}

sqlite3_stmt *HistoryDatabase::prepare(const char *sql, QString *error)
{
    sqlite3_stmt *statement = nullptr;
    if (!m_db) {
        *error = QStringLiteral("history is not open");
        return nullptr;
    }
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK) {
        fail(error, QString());
        return nullptr;
    }
    return statement;
}

qint64 HistoryDatabase::lastRowId()
{
    QString error;
    Statement q;
    q.s = prepare("SELECT max(coalesce((SELECT max(id) FROM rows), 0), "
                  "coalesce((SELECT value - 1 FROM meta WHERE key = 'first_id'), 0))",
                  &error);
    return q.s && sqlite3_step(q.s) == SQLITE_ROW ? sqlite3_column_int64(q.s, 0) : 0;
}

bool HistoryDatabase::setIdFloor(qint64 firstId, QString *error)
{
    Statement q;
    q.s = prepare("INSERT OR REPLACE INTO meta(key, value) VALUES ('first_id', ?1)", error);
    if (!q.s)
        return false;
    sqlite3_bind_int64(q.s, 1, firstId);
    return sqlite3_step(q.s) == SQLITE_DONE || fail(error, QString());
}

bool HistoryDatabase::write(const QVector<DiagnosticMessage> &rows, QString *error)
{
    if (!m_db) {
        *error = QStringLiteral("history is not open");
        return false;
    }
    m_deadline = QDeadlineTimer::Forever;
    Statement insert, index, upsert;
    insert.s = prepare(kInsertRow, error);
    index.s = insert.s ? prepare(kIndexRow, error) : nullptr;
    upsert.s = index.s ? prepare(kUpsertCall, error) : nullptr;
    if (!upsert.s || !exec("BEGIN", error))
        return false;
    auto rollBack = [this, error](const QString &what) {
        fail(error, what);
        QString ignored;
        exec("ROLLBACK", &ignored);
        return false;
    };
    const QDateTime current = QDateTime::currentDateTime();
    const QString now = WireTimestamp::format(current);
    // A sender's clock far ahead must not keep its calls for ever, first of all.
    const QString latest = WireTimestamp::format(current.addDays(1));
    QHash<QString, CallUpdate> calls;
    QVector<QString> order;  // as the calls first came
    for (const DiagnosticMessage &row : rows) {
        const QString &time = sortsAsTime(row.timestamp) && row.timestamp <= latest ? row.timestamp : now;
        sqlite3_bind_int64(insert.s, 1, row.messageId.toLongLong());
        bindText(insert.s, 2, time);
        bindText(insert.s, 3, row.tenantUuid);
        bindText(insert.s, 4, row.linkedId);
        bindText(insert.s, 5, row.uniqueId);
        bindText(insert.s, 6, row.verbosity);
        const QByteArray message = row.message.toUtf8();
        sqlite3_bind_text(insert.s, 7, message.constData(), message.size(), SQLITE_STATIC);
        bindText(insert.s, 8, row.extraFields.join(kExtraSeparator));
        const int rc = sqlite3_step(insert.s);
        sqlite3_reset(insert.s);
        if (rc != SQLITE_DONE)
            return rollBack(QStringLiteral("cannot store a row"));
        // A row already kept (the same id again) is neither indexed nor
        // counted twice.
        if (sqlite3_changes(m_db) != 1)
            continue;
        sqlite3_bind_int64(index.s, 1, row.messageId.toLongLong());
        sqlite3_bind_text(index.s, 2, message.constData(), message.size(), SQLITE_STATIC);
        const int indexed = sqlite3_step(index.s);
        sqlite3_reset(index.s);
        if (indexed != SQLITE_DONE)
            return rollBack(QStringLiteral("cannot index a row"));
        if (row.linkedId.isEmpty())
            continue;
        auto call = calls.find(row.linkedId);
        if (call == calls.end()) {
            order.append(row.linkedId);
            call = calls.insert(row.linkedId, CallUpdate());
        }
        call->add(row.tenantUuid, time, sipFactsOf(row.message));
    }
    for (const QString &callId : qAsConst(order)) {
        const CallUpdate &call = calls.value(callId);
        bindText(upsert.s, 1, callId);
        bindText(upsert.s, 2, call.tenant);
        bindText(upsert.s, 3, call.first);
        bindText(upsert.s, 4, call.fromUser);
        bindText(upsert.s, 5, call.toUser);
        bindText(upsert.s, 6, call.ruriUser);
        sqlite3_bind_int(upsert.s, 7, call.invite ? 1 : 0);
        sqlite3_bind_int(upsert.s, 8, call.inviteCode);
        sqlite3_bind_int(upsert.s, 9, call.otherCode);
        bindText(upsert.s, 10, call.last);
        sqlite3_bind_int64(upsert.s, 11, call.rows);
        const int rc = sqlite3_step(upsert.s);
        sqlite3_reset(upsert.s);
        if (rc != SQLITE_DONE)
            return rollBack(QStringLiteral("cannot store a call"));
    }
    if (!exec("COMMIT", error)) {
        QString ignored;
        exec("ROLLBACK", &ignored);
        return false;
    }
    return true;
}

bool HistoryDatabase::findCalls(const HistoryRequest &request, QVector<HistoryCall> *calls, bool *truncated,
                                QString *error)
{
    static const char sql[] = R"(
SELECT call_id, first, last, from_user, to_user, CASE WHEN has_invite THEN invite_code ELSE other_code END, tenant, rows
FROM calls
WHERE (?1 = '' OR call_id LIKE ?2 ESCAPE '\' OR from_user LIKE ?2 ESCAPE '\' OR to_user LIKE ?2 ESCAPE '\'
       OR ruri_user LIKE ?2 ESCAPE '\'
       OR call_id IN (SELECT r.call_id FROM rows_text t JOIN rows r ON r.id = t.rowid
                      WHERE rows_text MATCH ?3 AND r.call_id <> ''))
  AND (?4 = '' OR last >= ?4) AND (?5 = '' OR first <= ?5 || '.999')
  AND (?6 = 0 OR tenant = ?7)
ORDER BY last DESC LIMIT ?8)";
    Statement q;
    q.s = prepare(sql, error);
    if (!q.s)
        return false;
    bindText(q.s, 1, request.query);
    bindText(q.s, 2, containsPattern(request.query));
    bindText(q.s, 3, wordsOf(request.query));
    bindText(q.s, 4, request.from);
    bindText(q.s, 5, request.to);
    sqlite3_bind_int(q.s, 6, request.anyTenant ? 0 : 1);
    bindText(q.s, 7, request.tenant);
    const int limit = qBound(1, request.limit, HistoryRequest::MaxLimit);
    sqlite3_bind_int(q.s, 8, limit + 1);
    calls->clear();
    *truncated = false;
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        if (calls->size() == limit) {
            *truncated = true;
            break;
        }
        HistoryCall call;
        call.callId = columnText(q.s, 0);
        call.start = columnText(q.s, 1);
        call.end = columnText(q.s, 2);
        call.from = columnText(q.s, 3);
        call.to = columnText(q.s, 4);
        call.code = sqlite3_column_int(q.s, 5);
        call.tenant = columnText(q.s, 6);
        call.rows = sqlite3_column_int64(q.s, 7);
        calls->append(call);
    }
    m_deadline = QDeadlineTimer::Forever;
    return rc == SQLITE_ROW || rc == SQLITE_DONE || fail(error, QString());
}

qint64 HistoryDatabase::rowBytes(const DiagnosticMessage &row)
{
    // What a string takes besides its characters: its header and the
    // allocator's own, as measured in the agent's resident memory.
    constexpr qint64 perString = 48;
    auto bytes = [](const QString &text) { return text.isEmpty() ? 0 : 2 * qint64(text.size()) + perString; };
    qint64 total = qint64(sizeof(DiagnosticMessage)) + bytes(row.message) + bytes(row.timestamp) + bytes(row.tenantUuid)
        + bytes(row.linkedId) + bytes(row.uniqueId) + bytes(row.verbosity) + bytes(row.messageId);
    for (const QString &field : row.extraFields)
        total += bytes(field) + qint64(sizeof(void *));
    return total;
}

bool HistoryDatabase::readRows(sqlite3_stmt *statement, int maxRows, QVector<DiagnosticMessage> *rows, bool *more,
                               QString *error)
{
    rows->clear();
    *more = false;
    qint64 bytes = 0;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        // At least one row, so that a page always moves on.
        if (rows->size() == maxRows || (!rows->isEmpty() && bytes >= MaxReadBytes)) {
            *more = true;
            break;
        }
        DiagnosticMessage row;
        row.messageId = QString::number(sqlite3_column_int64(statement, 0));
        row.timestamp = columnText(statement, 1);
        row.tenantUuid = columnText(statement, 2);
        row.linkedId = columnText(statement, 3);
        row.uniqueId = columnText(statement, 4);
        row.verbosity = columnText(statement, 5);
        row.message = columnText(statement, 6);
        const QString extra = columnText(statement, 7);
        if (!extra.isEmpty())
            row.extraFields = extra.split(kExtraSeparator);
        bytes += rowBytes(row);
        rows->append(row);
    }
    m_deadline = QDeadlineTimer::Forever;
    return rc == SQLITE_ROW || rc == SQLITE_DONE || fail(error, QString());
}

bool HistoryDatabase::callRows(const QString &callId, int maxRows, QVector<DiagnosticMessage> *rows, bool *truncated,
                               QString *error)
{
    Statement q;
    q.s = prepare(QByteArray(kRowColumns).append("WHERE call_id = ?1 ORDER BY id LIMIT ?2").constData(), error);
    if (!q.s)
        return false;
    bindText(q.s, 1, callId);
    sqlite3_bind_int(q.s, 2, maxRows + 1);
    return readRows(q.s, maxRows, rows, truncated, error);
}

bool HistoryDatabase::rowsAfter(const QString &tenant, qint64 afterId, int maxRows, QVector<DiagnosticMessage> *rows,
                                bool *more, QString *error)
{
    Statement q;
    q.s = prepare(QByteArray(kRowColumns).append("WHERE tenant = ?1 AND id > ?2 ORDER BY id LIMIT ?3").constData(),
                  error);
    if (!q.s)
        return false;
    bindText(q.s, 1, tenant);
    sqlite3_bind_int64(q.s, 2, afterId);
    sqlite3_bind_int(q.s, 3, maxRows + 1);
    return readRows(q.s, maxRows, rows, more, error);
}

qint64 HistoryDatabase::usedBytes()
{
    if (!m_db)
        return 0;
    Statement q;
    QString error;
    q.s = prepare("SELECT (p.page_count - f.freelist_count) * s.page_size "
                  "FROM pragma_page_count() p, pragma_freelist_count() f, pragma_page_size() s",
                  &error);
    return q.s && sqlite3_step(q.s) == SQLITE_ROW ? sqlite3_column_int64(q.s, 0) : 0;
}

bool HistoryDatabase::dropCallsBefore(const QString &lastTime, QString *error)
{
    Statement rows, calls, loose;
    rows.s = prepare("DELETE FROM rows WHERE call_id IN (SELECT call_id FROM calls WHERE last <= ?1)", error);
    calls.s = rows.s ? prepare("DELETE FROM calls WHERE last <= ?1", error) : nullptr;
    loose.s = calls.s ? prepare("DELETE FROM rows WHERE call_id = '' AND time <= ?1", error) : nullptr;
    if (!loose.s || !exec("BEGIN", error))
        return false;
    for (sqlite3_stmt *s : {rows.s, calls.s, loose.s}) {
        bindText(s, 1, lastTime);
        if (sqlite3_step(s) != SQLITE_DONE) {
            fail(error, QStringLiteral("cannot drop old calls"));
            QString ignored;
            exec("ROLLBACK", &ignored);
            return false;
        }
    }
    return exec("COMMIT", error) && exec("PRAGMA incremental_vacuum", error);
}

qint64 HistoryDatabase::dropOld(const QString &cutoff, qint64 maxBytes, QString *error)
{
    m_deadline = QDeadlineTimer::Forever;
    auto count = [this](const char *sql) {
        Statement q;
        QString ignored;
        q.s = prepare(sql, &ignored);
        return q.s && sqlite3_step(q.s) == SQLITE_ROW ? sqlite3_column_int64(q.s, 0) : 0;
    };
    const qint64 before = count("SELECT count(*) FROM calls");
    const int changesBefore = sqlite3_total_changes(m_db);
    if (!dropCallsBefore(cutoff, error))
        return -1;
    // A twentieth of the calls at a time, oldest first, so that the size
    // comes under the bound in few passes whatever the rows' sizes.
    for (int pass = 0; pass < 100 && usedBytes() > maxBytes; ++pass) {
        const qint64 calls = count("SELECT count(*) FROM calls");
        Statement q;
        q.s = prepare(calls > 0 ? "SELECT last FROM calls ORDER BY last LIMIT 1 OFFSET ?1"
                                : "SELECT time FROM rows ORDER BY time LIMIT 1 OFFSET ?1",
                      error);
        if (!q.s)
            return -1;
        const qint64 total = calls > 0 ? calls : count("SELECT count(*) FROM rows");
        if (total == 0)
            break;
        sqlite3_bind_int64(q.s, 1, qMax<qint64>(0, total / 20 - 1));
        if (sqlite3_step(q.s) != SQLITE_ROW)
            break;
        const QString oldest = columnText(q.s, 0);
        if (!dropCallsBefore(oldest, error))
            return -1;
    }
    // The file shrinks only when the journal is written back into it.
    if (sqlite3_total_changes(m_db) != changesBefore && !exec("PRAGMA wal_checkpoint(TRUNCATE)", error))
        return -1;
    return before - count("SELECT count(*) FROM calls");
}
