#include "logmessagemodel.h"

#include "logmessagefilterproxymodel.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QtTest>

namespace {
LogMessageModel::Row makeRow(int n, int level = 4)
{
    LogMessageModel::Row row;
    for (int c = 0; c < LogMessageModel::ColumnCount; ++c)
        row.setText(c, QStringLiteral("r%1c%2").arg(n).arg(c));
    row.level = level;
    return row;
}
}

class tst_LogMessageModel : public QObject
{
    Q_OBJECT

private slots:
    void emptyModel();
    void batchedInsertion();
    void flushesByItself();
    void headers();
    void clearDropsPendingRowsAndKeepsHeaders();
    void removeRowsRejectsBadRanges_data();
    void removeRowsRejectsBadRanges();
    void modelTesterWhileRowsArrive();
    void rowLimit_data();
    void rowLimit();
    void extraFieldsKept_data();
    void extraFieldsKept();
};

void tst_LogMessageModel::emptyModel()
{
    LogMessageModel model;
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 7);
    QVERIFY(model.text(0, 0).isEmpty());
    QVERIFY(model.text(-1, 99).isEmpty());
    QCOMPARE(model.rowHeight(3), 0);
}

void tst_LogMessageModel::batchedInsertion()
{
    LogMessageModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy flushed(&model, &LogMessageModel::rowsFlushed);
    for (int i = 0; i < 100; ++i)
        model.enqueue(makeRow(i));
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.pendingCount(), 100);
    model.flushPending();
    QCOMPARE(model.rowCount(), 100);
    QCOMPARE(inserted.count(), 1);  // one insertion for the whole batch
    QCOMPARE(flushed.count(), 1);
    QCOMPARE(flushed.at(0).at(0).toInt(), 0);
    QCOMPARE(flushed.at(0).at(1).toInt(), 99);
    QCOMPARE(model.data(model.index(42, 6)).toString(), QStringLiteral("r42c6"));
    QCOMPARE(model.flags(model.index(42, 6)), Qt::ItemIsEnabled);
    QCOMPARE(model.data(model.index(42, LogMessageModel::VerbosityColumn), LogMessageModel::LevelRole).toInt(), 4);
    QVERIFY(!model.data(model.index(42, 6), LogMessageModel::LevelRole).isValid());
    QVERIFY(!model.data(model.index(42, 6), Qt::EditRole).isValid());

    model.flushPending();  // nothing gathered: no empty insertion
    QCOMPARE(inserted.count(), 1);
}

void tst_LogMessageModel::flushesByItself()
{
    LogMessageModel model;
    model.setFlushInterval(10);
    model.enqueue(makeRow(0));
    model.enqueue(makeRow(1));
    QTRY_COMPARE(model.rowCount(), 2);
    QCOMPARE(model.pendingCount(), 0);
}

void tst_LogMessageModel::headers()
{
    LogMessageModel model;
    QSignalSpy changed(&model, &QAbstractItemModel::headerDataChanged);
    QVERIFY(model.setHeaderData(4, Qt::Horizontal, QStringLiteral("V")));
    QVERIFY(model.setHeaderData(4, Qt::Horizontal, QStringLiteral("Verbosity"), Qt::ToolTipRole));
    QVERIFY(!model.setHeaderData(7, Qt::Horizontal, QStringLiteral("x")));
    QVERIFY(!model.setHeaderData(0, Qt::Vertical, QStringLiteral("x")));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(model.headerData(4, Qt::Horizontal).toString(), QStringLiteral("V"));
    QCOMPARE(model.headerData(4, Qt::Horizontal, Qt::ToolTipRole).toString(), QStringLiteral("Verbosity"));
}

void tst_LogMessageModel::clearDropsPendingRowsAndKeepsHeaders()
{
    LogMessageModel model;
    model.setHeaderData(6, Qt::Horizontal, QStringLiteral("Messaggio"));
    for (int i = 0; i < 10; ++i)
        model.enqueue(makeRow(i));
    model.flushPending();
    model.enqueue(makeRow(10));
    model.clear();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.pendingCount(), 0);
    QTest::qWait(80);
    QCOMPARE(model.rowCount(), 0);  // the gathered row did not come back later
    QCOMPARE(model.headerData(6, Qt::Horizontal).toString(), QStringLiteral("Messaggio"));
    model.enqueue(makeRow(11));
    model.flushPending();
    QCOMPARE(model.text(0, 0), QStringLiteral("r11c0"));
}

void tst_LogMessageModel::removeRowsRejectsBadRanges_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("ok");
    QTest::newRow("negative row") << -1 << 1 << false;
    QTest::newRow("zero count") << 0 << 0 << false;
    QTest::newRow("past the end") << 3 << 3 << false;
    QTest::newRow("middle") << 1 << 2 << true;
    QTest::newRow("all") << 0 << 5 << true;
}

void tst_LogMessageModel::removeRowsRejectsBadRanges()
{
    QFETCH(int, row);
    QFETCH(int, count);
    QFETCH(bool, ok);
    LogMessageModel model;
    for (int i = 0; i < 5; ++i)
        model.enqueue(makeRow(i));
    model.flushPending();
    QCOMPARE(model.removeRows(row, count), ok);
    QCOMPARE(model.rowCount(), ok ? 5 - count : 5);
}

void tst_LogMessageModel::modelTesterWhileRowsArrive()
{
    LogMessageModel model;
    LogMessageFilterProxyModel filter(LogMessageModel::VerbosityColumn);
    filter.setSourceModel(&model);
    filter.setFilterRole(LogMessageModel::LevelRole);
    QAbstractItemModelTester modelTester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QAbstractItemModelTester filterTester(&filter, QAbstractItemModelTester::FailureReportingMode::QtTest);

    filter.setFilterRegExp(QStringLiteral("2"));
    for (int batch = 0; batch < 5; ++batch) {
        for (int i = 0; i < 20; ++i)
            model.enqueue(makeRow(batch * 20 + i, i % 6 - 1));
        model.flushPending();
        filter.setFilterRegExp(QString::number(batch % 3));
    }
    model.removeRows(10, 30);
    model.clear();
    model.enqueue(makeRow(0, 0));
    model.flushPending();
    QCOMPARE(filter.rowCount(), 1);
}

void tst_LogMessageModel::extraFieldsKept_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QStringList>("kept");
    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("empty fields between others") << QStringList{"a=1", "", "b="} << QStringList{"a=1", "", "b="};
    QTest::newRow("NUL inside a field")
        << QStringList{QStringLiteral("x=a") + QChar(0) + QStringLiteral("b"), "y"}
        << QStringList{QStringLiteral("x=a\uFFFDb"), "y"};
    QTest::newRow("non-ASCII") << QStringList{QStringLiteral("sip.reason=Occupé")}
                               << QStringList{QStringLiteral("sip.reason=Occupé")};
}

// The fields travel packed with the row; they must come back apart and
// leave the shown cells alone.
void tst_LogMessageModel::extraFieldsKept()
{
    QFETCH(QStringList, fields);
    QFETCH(QStringList, kept);
    LogMessageModel model;
    LogMessageModel::Row row = makeRow(1);
    row.setExtraFields(fields);
    model.enqueue(row);
    model.enqueue(makeRow(2));
    model.flushPending();
    QCOMPARE(model.extraFields(0), kept);
    QCOMPARE(model.extraFields(1), QStringList());
    QCOMPARE(model.text(0, LogMessageModel::MessageColumn), QStringLiteral("r1c6"));
    QCOMPARE(model.extraFields(2), QStringList());
}

void tst_LogMessageModel::rowLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<QList<int>>("batches");
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("removals");  // each a single removal of the oldest rows
    QTest::addColumn<bool>("byTimer");  // the batch timer flushes, not the caller
    QTest::addColumn<int>("byteLimit");  // in rows' worth of bytes; 0: none

    QTest::newRow("no limit") << 0 << QList<int>{300, 300} << 600 << 0 << false << 0;
    QTest::newRow("a limit of 1") << 1 << QList<int>{1, 1, 3} << 1 << 2 << false << 0;
    QTest::newRow("under the limit") << 100 << QList<int>{50, 50} << 100 << 0 << false << 0;
    // Passing by 10 removes a twentieth of the limit at once, not 10.
    QTest::newRow("removal of a twentieth") << 1000 << QList<int>{995, 10, 10, 10, 10, 10, 10} << 955 << 2 << false << 0;
    QTest::newRow("batch beyond the limit") << 100 << QList<int>{40, 250} << 100 << 1 << false << 0;
    // The timer drops in one turn and inserts the batch in the next.
    QTest::newRow("removal, then the batch") << 1000 << QList<int>{995, 10, 10, 10, 10, 10, 10} << 955 << 2 << true << 0;
    QTest::newRow("a limit of 1 by the timer") << 1 << QList<int>{1, 1, 3} << 1 << 2 << true << 0;
    QTest::newRow("byte limit") << 0 << QList<int>{60, 60} << 100 << 1 << false << 100;
    QTest::newRow("byte limit by the timer") << 0 << QList<int>{60, 60} << 100 << 1 << true << 100;
    QTest::newRow("batch beyond the byte limit") << 0 << QList<int>{40, 250} << 100 << 1 << false << 100;
    QTest::newRow("the tighter of both limits") << 100 << QList<int>{60, 60} << 80 << 1 << false << 80;
}

void tst_LogMessageModel::rowLimit()
{
    QFETCH(int, limit);
    QFETCH(QList<int>, batches);
    QFETCH(int, held);
    QFETCH(int, removals);
    QFETCH(bool, byTimer);
    QFETCH(int, byteLimit);
    // Rows of one size, so that a byte limit holds a known count.
    constexpr int kFirst = 100000;
    LogMessageModel model;
    model.setMaxRows(limit);
    if (byteLimit > 0) {
        model.enqueue(makeRow(kFirst));
        model.flushPending();
        model.setMaxBytes(byteLimit * model.heldBytes());
        model.clear();
    }
    model.setFlushInterval(0);
    LogMessageFilterProxyModel filter(LogMessageModel::VerbosityColumn);
    filter.setSourceModel(&model);
    filter.setFilterRole(LogMessageModel::LevelRole);
    filter.setFilterRegExp(QStringLiteral("2"));
    QAbstractItemModelTester modelTester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QAbstractItemModelTester filterTester(&filter, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy dropped(&model, &LogMessageModel::rowsDropped);
    QPersistentModelIndex newest;
    int total = 0;
    for (int count : batches) {
        for (int i = 0; i < count; ++i)
            model.enqueue(makeRow(kFirst + total++, i % 6 - 1));
        if (byTimer)
            QTRY_COMPARE(model.pendingCount(), 0);
        else
            model.flushPending();
        newest = model.index(model.rowCount() - 1, 6);
    }
    QCOMPARE(model.rowCount(), held);
    QCOMPARE(removed.count(), removals);
    QCOMPARE(model.droppedCount(), qint64(total - held));
    QCOMPARE(dropped.isEmpty(), total == held);
    // What is held is the newest rows, in order.
    QCOMPARE(model.text(held - 1, 0), QStringLiteral("r%1c0").arg(kFirst + total - 1));
    QCOMPARE(model.text(0, 0), QStringLiteral("r%1c0").arg(kFirst + total - held));
    QCOMPARE(newest.row(), held - 1);
    model.clear();
    QCOMPARE(model.droppedCount(), qint64(0));
    QCOMPARE(model.heldBytes(), qint64(0));
}

QTEST_GUILESS_MAIN(tst_LogMessageModel)
#include "tst_logmessagemodel.moc"
