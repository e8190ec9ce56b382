#include "logsearch.h"

#include "logmessagefilterproxymodel.h"
#include "logmessagemodel.h"

#include <QSignalSpy>
#include <QtTest>

namespace {
// Rows of the demo's kind; every third one is above the threshold of 3.
void fill(LogMessageModel &model, int from, int count)
{
    for (int i = from; i < from + count; ++i) {
        LogMessageModel::Row row;
        row.level = i % 3 == 2 ? 4 : 1;
        row.setText(LogMessageModel::UniqueIdColumn, QStringLiteral("u%1").arg(i));
        row.setText(LogMessageModel::MessageColumn, i % 10 == 0 ? QString::fromUtf8("Chiama Zoë \xf0\x9f\x93\x9e a\0b", 20)
                                                                : QStringLiteral("SIP/%1 ringing").arg(i));
        model.enqueue(row);
    }
    model.flushPending();
}
}

class tst_LogSearch : public QObject
{
    Q_OBJECT

private slots:
    void counts_data();
    void counts();
    void droppedRowsKeepTheRest();
};

void tst_LogSearch::counts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("matches");  // of 300 rows, 200 of them shown

    QTest::newRow("empty text") << "" << 0;
    QTest::newRow("every shown row") << "i" << 200;
    QTest::newRow("case does not matter") << "sip/" << 180;
    QTest::newRow("longer than any cell") << QString(500, QLatin1Char('a')) << 0;
    QTest::newRow("accent, any case") << QString::fromUtf8("ZOË") << 20;
    QTest::newRow("outside the BMP") << QString::fromUtf8("\xf0\x9f\x93\x9e") << 20;
    QTest::newRow("NUL") << QString::fromUtf8("a\0b", 3) << 20;
    QTest::newRow("hidden column") << "u12" << 0;
    QTest::newRow("rows the filter hides") << "SIP/5 " << 0;
}

void tst_LogSearch::counts()
{
    QFETCH(QString, text);
    QFETCH(int, matches);
    LogMessageModel model;
    LogMessageFilterProxyModel filter(LogMessageModel::VerbosityColumn);
    filter.setFilterRole(LogMessageModel::LevelRole);
    filter.setSourceModel(&model);
    filter.setFilterRegExp(QStringLiteral("3"));
    fill(model, 0, 300);
    LogSearch search(&model, &filter);
    search.setColumns({LogMessageModel::MessageColumn});
    search.setSliceBudgetMs(0);  // a slice per few hundred rows: the count fills in
    QSignalSpy changed(&search, &LogSearch::changed);
    search.setText(text);
    QTRY_VERIFY(search.isComplete());
    QCOMPARE(search.matchCount(), matches);
    QCOMPARE(search.currentIndex(), matches ? 0 : -1);
    QCOMPARE(search.next(), matches > 0);
    QCOMPARE(search.previous(), matches > 0);
    if (matches)
        QVERIFY(filter.mapFromSource(model.index(search.currentRow(), 0)).isValid());
}

void tst_LogSearch::droppedRowsKeepTheRest()
{
    LogMessageModel model;
    model.setMaxRows(200);
    LogSearch search(&model, nullptr);
    search.setColumns({LogMessageModel::MessageColumn});
    fill(model, 0, 200);
    search.setText(QStringLiteral("zoë"), 150);
    QTRY_VERIFY(search.isComplete());
    QCOMPARE(search.matchCount(), 20);
    QCOMPARE(model.text(search.currentRow(), LogMessageModel::UniqueIdColumn), QStringLiteral("u150"));
    search.previous();
    search.previous();  // u130: dropped below
    fill(model, 200, 20);  // drops the oldest 20, arrivals counted as they come
    QTRY_COMPARE(search.matchCount(), 20);
    QVERIFY(search.isComplete());
    QCOMPARE(search.currentRow(), 110);
    QCOMPARE(model.text(search.currentRow(), LogMessageModel::UniqueIdColumn), QStringLiteral("u130"));
    fill(model, 220, 120);  // u130 goes too
    QCOMPARE(search.currentIndex(), -1);
    QTRY_COMPARE(search.matchCount(), 20);
    QVERIFY(search.next());
    QCOMPARE(model.text(search.currentRow(), LogMessageModel::UniqueIdColumn), QStringLiteral("u140"));
}

QTEST_GUILESS_MAIN(tst_LogSearch)
#include "tst_logsearch.moc"
