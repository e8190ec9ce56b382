#include "historydatabase.h"
#include "historystore.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

namespace {
DiagnosticMessage logRow(qint64 id, const QString &callId, const QString &time, const QString &text,
                         const QString &tenant = QString())
{
    DiagnosticMessage row;
    row.messageId = QString::number(id);
    row.linkedId = callId;
    row.timestamp = time;
    row.verbosity = QStringLiteral("3");
    row.message = text;
    row.tenantUuid = tenant;
    return row;
}

// A SIP message as HEP's rows carry it.
DiagnosticMessage sipRow(qint64 id, const QString &callId, const QString &time, const QString &startLine,
                         const QString &cseq, const QString &tenant = QString())
{
    const QString text = QStringLiteral("SIP from 127.0.0.1:5060 to 127.0.0.1:5062 (UDP)\n%1\r\n"
                                        "Via: SIP/2.0/UDP 127.0.0.1:5060\r\n"
                                        "From: \"Alice\" <sip:alice3933@alpha.test>;tag=1\r\n"
                                        "t: <sip:0612345678@alpha.test>\r\n"
                                        "Call-ID: %2\r\nCSeq: %3\r\n\r\n")
                             .arg(startLine, callId, cseq);
    return logRow(id, callId, time, text, tenant);
}

// The answer of one query, waited for.
struct Calls
{
    QString error;
    QVector<HistoryCall> calls;
    bool truncated = false;
};

Calls findCalls(HistoryStore &store, const HistoryRequest &request)
{
    Calls result;
    bool done = false;
    store.findCalls(request, [&](const QString &error, const QVector<HistoryCall> &calls, bool truncated) {
        result = Calls{error, calls, truncated};
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000))
        result.error = QStringLiteral("no answer");
    return result;
}

QVector<DiagnosticMessage> callRows(HistoryStore &store, const QString &callId, QString *error = nullptr)
{
    QVector<DiagnosticMessage> result;
    bool done = false;
    store.callRows(callId, [&](const QString &why, const QVector<DiagnosticMessage> &rows, bool) {
        result = rows;
        if (error)
            *error = why;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 10000) && error)
        *error = QStringLiteral("no answer");
    return result;
}

// Every stored row of a tenant after an id, page after page.
QVector<DiagnosticMessage> rowsAfter(HistoryStore &store, const QString &tenant, qint64 after)
{
    QVector<DiagnosticMessage> all;
    for (bool more = true; more;) {
        bool done = false;
        store.rowsAfter(tenant, after, [&](const QString &, const QVector<DiagnosticMessage> &rows, bool m) {
            all += rows;
            more = m && !rows.isEmpty();
            done = true;
        });
        if (!QTest::qWaitFor([&] { return done; }, 10000))
            break;
        after = all.isEmpty() ? after : all.constLast().messageId.toLongLong();
    }
    return all;
}

QStringList idsOf(const QVector<DiagnosticMessage> &rows)
{
    QStringList ids;
    for (const DiagnosticMessage &row : rows)
        ids << row.messageId;
    return ids;
}

QStringList callIds(const QVector<HistoryCall> &calls)
{
    QStringList ids;
    for (const HistoryCall &c : calls)
        ids << c.callId;
    return ids;
}

HistoryRequest query(const QString &text)
{
    HistoryRequest request;
    request.query = text;
    request.limit = HistoryRequest::MaxLimit;
    return request;
}
}

class tst_HistoryStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsCalls_data();
    void findsCalls();
    void summaryMatchesRows();
    void idsGoOnAfterReopen();
    void indexHoldsEachRowOnce_data();
    void indexHoldsEachRowOnce();
    void rowsNotKeptAreToldInTheirPlace();
    void rowsAfterPageThroughOneTenant_data();
    void rowsAfterPageThroughOneTenant();
    void retentionDropsOldestWholeCalls();
    void farFutureStampIsStoredAsNow();
    void queryPastItsDeadlineIsRefused();
    void searchesFollowANewFileInItsPlace();
    void brokenFileIsKeptAndReplaced_data();
    void brokenFileIsKeptAndReplaced();

private:
    void fill(HistoryStore &store);
    // The rows here are from 2024: kept, until the size says otherwise.
    HistoryStore::Settings settings() const
    {
        HistoryStore::Settings s{m_dir->path()};
        s.keepDays = 100000;
        return s;
    }
    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_HistoryStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

// Three calls: one seen by SIP and log lines, one by log lines alone (HEP
// was not running), one of a tenant.
void tst_HistoryStore::fill(HistoryStore &store)
{
    store.append({sipRow(1, "a84b4c76e66710@pc33", "2024-05-14 10:00:00.000", "INVITE sip:0612345678@alpha.test SIP/2.0",
                        "1 INVITE")});
    store.append({logRow(2, "a84b4c76e66710@pc33", "2024-05-14 10:00:00.100", "NOTICE: routing to 0612345678")});
    store.append({sipRow(3, "a84b4c76e66710@pc33", "2024-05-14 10:00:01.000", "SIP/2.0 486 Busy Here", "1 INVITE")});
    store.append({logRow(4, QString(), "2024-05-14 10:00:02.000", "a line of no call")});
    store.append({logRow(5, "only-log-lines-1", "2024-05-14 11:00:00.000", "NOTICE: new call from 3471112222 to 5550199")});
    store.append({logRow(6, "only-log-lines-1", "2024-05-14 11:00:05.000", "NOTICE: call ended")});
    store.append({sipRow(7, "tenant-call_%1", "2024-05-14 12:00:00.000", "INVITE sip:0612345678@alpha.test SIP/2.0",
                        "1 INVITE", "3f2c8a4e")});
    store.append({sipRow(8, "tenant-call_%1", "2024-05-14 12:00:03.000", "SIP/2.0 200 OK", "1 INVITE", "3f2c8a4e")});
    store.append({sipRow(9, "tenant-call_%1", "2024-05-14 12:00:09.000", "BYE sip:alice3933@alpha.test SIP/2.0",
                        "2 BYE", "3f2c8a4e")});
    store.flush();
}

void tst_HistoryStore::findsCalls_data()
{
    QTest::addColumn<HistoryRequest>("request");
    QTest::addColumn<QStringList>("expected");  // newest first

    const QStringList all{"tenant-call_%1", "only-log-lines-1", "a84b4c76e66710@pc33"};
    QTest::newRow("empty query: every call") << query(QString()) << all;
    QTest::newRow("number in the From user part") << query("3933") << QStringList{"tenant-call_%1", "a84b4c76e66710@pc33"};
    QTest::newRow("part of the Call-ID") << query("4c76e6") << QStringList{"a84b4c76e66710@pc33"};
    QTest::newRow("number only a log line names") << query("3471112222") << QStringList{"only-log-lines-1"};
    QTest::newRow("percent is a plain character") << query("%") << QStringList{"tenant-call_%1"};
    QTest::newRow("underscore is a plain character") << query("l_%") << QStringList{"tenant-call_%1"};
    QTest::newRow("SQL in the query") << query("' OR 1=1; DROP TABLE rows; --") << QStringList{};
    QTest::newRow("full-text syntax in the query") << query("NEAR(call ended) OR *") << QStringList{};
    QTest::newRow("quotes in the query") << query("\"call\" ended'") << QStringList{"only-log-lines-1"};
    QTest::newRow("huge query") << query(QString(HistoryRequest::MaxQueryLength, QLatin1Char('9'))) << QStringList{};

    HistoryRequest inTenant = query(QString());
    inTenant.anyTenant = false;
    inTenant.tenant = QStringLiteral("3f2c8a4e");
    QTest::newRow("one tenant") << inTenant << QStringList{"tenant-call_%1"};
    HistoryRequest noTenant = inTenant;
    noTenant.tenant.clear();
    QTest::newRow("no tenant") << noTenant << QStringList{"only-log-lines-1", "a84b4c76e66710@pc33"};

    HistoryRequest window = query(QString());
    window.from = QStringLiteral("2024-05-14 10:30:00");
    window.to = QStringLiteral("2024-05-14 11:00:00");
    QTest::newRow("a row between from and to") << window << QStringList{"only-log-lines-1"};
    HistoryRequest limited = query(QString());
    limited.limit = 1;
    QTest::newRow("limit") << limited << QStringList{"tenant-call_%1"};
}

void tst_HistoryStore::findsCalls()
{
    QFETCH(HistoryRequest, request);
    QFETCH(QStringList, expected);
    HistoryStore store(settings());
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    fill(store);
    const Calls found = findCalls(store, request);
    QCOMPARE(found.error, QString());
    QCOMPARE(callIds(found.calls), expected);
    QCOMPARE(found.truncated, request.limit < 3 && request.query.isEmpty());
}

void tst_HistoryStore::summaryMatchesRows()
{
    HistoryStore store(settings());
    QString error;
    QVERIFY(store.open(&error));
    fill(store);
    const Calls found = findCalls(store, query(QString()));
    QCOMPARE(found.calls.size(), 3);
    const HistoryCall tenantCall = found.calls.at(0);
    QCOMPARE(tenantCall.start, QStringLiteral("2024-05-14 12:00:00.000"));
    QCOMPARE(tenantCall.end, QStringLiteral("2024-05-14 12:00:09.000"));
    QCOMPARE(tenantCall.from, QStringLiteral("alice3933"));
    QCOMPARE(tenantCall.to, QStringLiteral("0612345678"));
    QCOMPARE(tenantCall.code, 200);  // the BYE's own answer is no final answer of the call
    QCOMPARE(tenantCall.tenant, QStringLiteral("3f2c8a4e"));
    QCOMPARE(found.calls.at(1).code, 0);    // log lines alone
    QCOMPARE(found.calls.at(2).code, 486);
    for (const HistoryCall &call : found.calls)
        QCOMPARE(callRows(store, call.callId).size(), call.rows);
    const QVector<DiagnosticMessage> rows = callRows(store, "a84b4c76e66710@pc33");
    QCOMPARE(rows.at(1).message, QStringLiteral("NOTICE: routing to 0612345678"));
    QCOMPARE(rows.at(1).messageId, QStringLiteral("2"));
    QCOMPARE(rows.at(1).verbosity, QStringLiteral("3"));
}

void tst_HistoryStore::idsGoOnAfterReopen()
{
    {
        HistoryStore store(settings());
        QString error;
        QVERIFY(store.open(&error));
        QCOMPARE(store.lastRowId(), 0);
        fill(store);
    }
    HistoryStore store(settings());
    QString error;
    QVERIFY(store.open(&error));
    QCOMPARE(store.lastRowId(), 9);
    QCOMPARE(findCalls(store, query("3471112222")).calls.size(), 1);
}

void tst_HistoryStore::indexHoldsEachRowOnce_data()
{
    QTest::addColumn<QByteArray>("before");  // done to the file before the store opens it

    QTest::newRow("new store") << QByteArray();
    // Such a file indexed its rows by a trigger; kept, it would index each
    // new row twice beside the writer's own statement.
    QTest::newRow("store that indexed rows by a trigger")
        << QByteArray("CREATE TRIGGER rows_text_add AFTER INSERT ON rows BEGIN "
                      "INSERT INTO rows_text(rowid, message) VALUES (new.id, new.message); END; "
                      "PRAGMA user_version = 1;");
}

void tst_HistoryStore::indexHoldsEachRowOnce()
{
    QFETCH(QByteArray, before);
    const QByteArray path = QFile::encodeName(QDir(m_dir->path()).filePath(HistoryStore::fileName()));
    auto sql = [&path](const QByteArray &statements) {
        sqlite3 *db = nullptr;
        int rc = sqlite3_open(path.constData(), &db);
        if (rc == SQLITE_OK)
            rc = sqlite3_exec(db, statements.constData(), nullptr, nullptr, nullptr);
        const QString error = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        return rc == SQLITE_OK ? QString() : error;
    };
    {
        HistoryStore store(settings());
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
    }
    if (!before.isEmpty())
        QCOMPARE(sql(before), QString());
    {
        HistoryStore store(settings());
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        fill(store);
        QCOMPARE(callIds(findCalls(store, query("3471112222")).calls), QStringList{"only-log-lines-1"});
    }
    // Checks the words against the rows they were taken from.
    QCOMPARE(sql("INSERT INTO rows_text(rows_text, rank) VALUES ('integrity-check', 1)"), QString());
}

// Rows the writer could not take (here: more at once than it holds waiting)
// leave a notice in their place, in each tenant they were of, so that a
// client catching up learns of them.
void tst_HistoryStore::rowsNotKeptAreToldInTheirPlace()
{
    HistoryStore store(settings());
    QString error;
    QVERIFY(store.open(&error));
    const QString huge(int(HistoryStore::MaxPendingBytes / 2 / 2 + 1), QLatin1Char('x'));
    store.append({logRow(1, QString(), "2024-05-14 10:00:00.000", "kept before")});
    store.append({logRow(2, QString(), "2024-05-14 10:00:01.000", huge, "t1"),
                  logRow(3, QString(), "2024-05-14 10:00:02.000", huge, "t2"),
                  logRow(4, QString(), "2024-05-14 10:00:03.000", huge, "t1")});
    store.append({logRow(5, QString(), "2024-05-14 10:00:04.000", "kept after")});
    store.flush();

    QCOMPARE(idsOf(rowsAfter(store, QString(), 0)), (QStringList{"1", "5"}));
    const QString told = QStringLiteral("plogger4-agent: the history did not keep 3 rows from 2024-05-14 10:00:01.000 "
                                        "to 2024-05-14 10:00:03.000: it fell behind the log");
    const QVector<DiagnosticMessage> first = rowsAfter(store, QStringLiteral("t1"), 0);
    QCOMPARE(idsOf(first), QStringList{"2"});
    QCOMPARE(first.constFirst().message, told);
    QCOMPARE(first.constFirst().timestamp, QStringLiteral("2024-05-14 10:00:01.000"));
    const QVector<DiagnosticMessage> second = rowsAfter(store, QStringLiteral("t2"), 0);
    QCOMPARE(idsOf(second), QStringList{"3"});
    QCOMPARE(second.constFirst().message, told);
}

void tst_HistoryStore::rowsAfterPageThroughOneTenant_data()
{
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("padding");  // characters each row's text carries
    QTest::newRow("more rows than a page") << HistoryStore::RowsPerPage + 10 << 0;
    // A peer's large messages must not make one page take gigabytes.
    QTest::newRow("large rows, paged by their size") << 60 << 512 * 1024;
}

void tst_HistoryStore::rowsAfterPageThroughOneTenant()
{
    QFETCH(int, total);
    QFETCH(int, padding);
    HistoryStore store(settings());
    QString error;
    QVERIFY(store.open(&error));
    for (int i = 1; i <= total; ++i) {
        store.append({logRow(i, QString(), "2024-05-14 10:00:00.000", QString::number(i) + QString(padding, 'x'),
                             i % 2 ? "t1" : QString())});
        // Within what the writer holds waiting: beyond it rows are not kept.
        if (i % 10 == 0)
            store.flush();
    }
    qint64 after = 0;
    QStringList seen;
    bool more = true;
    while (more) {
        bool done = false;
        store.rowsAfter(QString(), after, [&](const QString &why, const QVector<DiagnosticMessage> &rows, bool m) {
            QCOMPARE(why, QString());
            qint64 bytes = 0;
            for (const DiagnosticMessage &row : rows) {
                seen << row.messageId;
                bytes += HistoryDatabase::rowBytes(row);
            }
            QVERIFY(bytes <= HistoryDatabase::MaxReadBytes + HistoryDatabase::rowBytes(rows.constLast()));
            more = m;
            done = true;
        });
        QVERIFY(QTest::qWaitFor([&] { return done; }, 10000));
        after = seen.isEmpty() ? after : seen.last().toLongLong();
    }
    QCOMPARE(seen.size(), total / 2);
    QCOMPARE(seen.first(), QStringLiteral("2"));
    QCOMPARE(seen.last(), QString::number(total));
}

// A HEP sender may stamp its packets in year 9999: such a call would sort
// first and outlive every bound on age.
void tst_HistoryStore::farFutureStampIsStoredAsNow()
{
    HistoryStore store(settings());
    QString error;
    QVERIFY(store.open(&error));
    store.append({logRow(1, "ahead@x", "9999-12-31 23:59:59.000", "NOTICE: from the future")});
    store.flush();
    HistoryRequest future = query(QString());
    future.from = QStringLiteral("2100-01-01 00:00:00");
    QCOMPARE(callIds(findCalls(store, future).calls), QStringList{});
    HistoryRequest today = query(QString());
    today.from = QDateTime::currentDateTime().addDays(-1).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QCOMPARE(callIds(findCalls(store, today).calls), QStringList{QStringLiteral("ahead@x")});
}

void tst_HistoryStore::retentionDropsOldestWholeCalls()
{
    HistoryStore::Settings bounded = settings();
    bounded.maxBytes = 2 * 1024 * 1024;
    HistoryStore store(bounded);
    QString error;
    QVERIFY(store.open(&error));
    const QString padding(900, QLatin1Char('x'));
    const int calls = 2000;
    qint64 id = 0;
    for (int c = 0; c < calls; ++c) {
        const QString time = QDateTime(QDate(2024, 1, 1), QTime(0, 0)).addSecs(c).toString("yyyy-MM-dd HH:mm:ss.zzz");
        for (int r = 0; r < 3; ++r)
            store.append({logRow(++id, QStringLiteral("call-%1").arg(c), time, QStringLiteral("row %1 %2").arg(r).arg(padding))});
    }
    store.flush();
    QVERIFY(QFileInfo(QDir(m_dir->path()).filePath(HistoryStore::fileName())).size() <= bounded.maxBytes);
    const Calls kept = findCalls(store, query(QString()));
    QCOMPARE(kept.error, QString());
    QVERIFY(!kept.calls.isEmpty());
    QVERIFY(kept.truncated || kept.calls.size() < calls);
    QCOMPARE(kept.calls.first().callId, QStringLiteral("call-%1").arg(calls - 1));
    // Whole calls go, oldest first: what is left is the newest, complete.
    const int oldestKept = kept.truncated ? calls - HistoryRequest::MaxLimit : calls - kept.calls.size();
    QCOMPARE(kept.calls.last().callId, QStringLiteral("call-%1").arg(oldestKept));
    for (const HistoryCall &call : kept.calls)
        QCOMPARE(call.rows, 3);
    QVERIFY(findCalls(store, query("call-0")).calls.isEmpty());
}

// A search that would hold the store's thread too long gives up with a
// clear error, and the next one with time left is answered.
void tst_HistoryStore::queryPastItsDeadlineIsRefused()
{
    HistoryDatabase db;
    QString error;
    QVERIFY2(db.open(QDir(m_dir->path()).filePath("direct.sqlite"), &error), qPrintable(error));
    QVector<DiagnosticMessage> rows;
    for (int i = 1; i <= 5000; ++i)
        rows << logRow(i, QStringLiteral("call-%1").arg(i), "2024-05-14 10:00:00.000", QStringLiteral("row %1").arg(i));
    QVERIFY2(db.write(rows, &error), qPrintable(error));
    QVector<HistoryCall> calls;
    bool truncated = false;
    db.setDeadline(QDeadlineTimer(0));
    QVERIFY(!db.findCalls(query("no such text"), &calls, &truncated, &error));
    QCOMPARE(error, QStringLiteral("query took too long"));
    db.setDeadline(QDeadlineTimer(5000));
    QVERIFY2(db.findCalls(query("call-4999"), &calls, &truncated, &error), qPrintable(error));
    QCOMPARE(callIds(calls), QStringList{"call-4999"});
}

// The writer starts a new file in a broken one's place; searches, on a
// connection of their own, must read the new one.
void tst_HistoryStore::searchesFollowANewFileInItsPlace()
{
    HistoryStore store(settings());
    QString error;
    QVERIFY(store.open(&error));
    fill(store);
    QCOMPARE(findCalls(store, query("3471112222")).calls.size(), 1);
    const QString path = QDir(m_dir->path()).filePath(HistoryStore::fileName());
    QVERIFY(QFile::rename(path, path + ".old"));
    HistoryDatabase replacement;
    QVERIFY2(replacement.open(path, &error), qPrintable(error));
    QVERIFY2(replacement.write({logRow(100, "in-the-new-file", "2024-05-15 10:00:00.000", "NOTICE: 3471112222 again")}, &error),
             qPrintable(error));
    replacement.close();
    QCOMPARE(callIds(findCalls(store, query("3471112222")).calls), QStringList{"in-the-new-file"});
}

void tst_HistoryStore::brokenFileIsKeptAndReplaced_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("not a database") << "garbage";
    QTest::newRow("a folder in its place") << "folder";
}

void tst_HistoryStore::brokenFileIsKeptAndReplaced()
{
    QFETCH(QString, fault);
    const QString path = QDir(m_dir->path()).filePath(HistoryStore::fileName());
    if (fault == "garbage") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(64 * 1024, 'g'));
    } else {
        QVERIFY(QDir().mkpath(path));
    }
    HistoryStore store(settings());
    QSignalSpy problems(&store, &HistoryStore::problem);
    QString error;
    QVERIFY2(store.open(&error), qPrintable(error));
    QCOMPARE(problems.size(), 1);
    const QStringList aside = QDir(m_dir->path()).entryList({HistoryStore::fileName() + ".broken-*"},
                                                            QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    QCOMPARE(aside.size(), 1);
    QVERIFY(problems.first().first().toString().contains(aside.first()));
    fill(store);
    QCOMPARE(findCalls(store, query("3933")).calls.size(), 2);
    QCOMPARE(problems.size(), 1);
}

QTEST_GUILESS_MAIN(tst_HistoryStore)
#include "tst_historystore.moc"
