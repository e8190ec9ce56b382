#include "logmessagefilterproxymodel.h"

#include "loggerverbosity.h"
#include "logmessagemodel.h"

#include <QStandardItemModel>
#include <QtTest>

// The threshold rule, over the project's own table model (level under the
// filter role) and over a plain item model (level read from the name).
class tst_LogMessageFilterProxyModel : public QObject
{
    Q_OBJECT

private slots:
    void threshold_data();
    void threshold();
    void keepsArrivalOrder();

private:
    static QStringList shownLevels(const QAbstractItemModel &filter);
};

QStringList tst_LogMessageFilterProxyModel::shownLevels(const QAbstractItemModel &filter)
{
    QStringList levels;
    for (int r = 0; r < filter.rowCount(); ++r)
        levels << QString::number(LOGGER::verbosityStringToInt(filter.index(r, 4).data().toString()));
    return levels;
}

void tst_LogMessageFilterProxyModel::threshold_data()
{
    QTest::addColumn<bool>("ownModel");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("shown");

    const QStringList all = {"-1", "0", "1", "2", "3", "4"};
    for (bool own : {true, false}) {
        const QByteArray kind = own ? "own model, " : "item model, ";
        QTest::newRow((kind + "no threshold yet reads as 0").constData()) << own << "" << QStringList{"-1", "0"};
        QTest::newRow((kind + "default 4").constData()) << own << "4" << all;
        QTest::newRow((kind + "3 hides 4").constData()) << own << "3" << QStringList{"-1", "0", "1", "2", "3"};
        QTest::newRow((kind + "2").constData()) << own << "2" << QStringList{"-1", "0", "1", "2"};
        QTest::newRow((kind + "commands only").constData()) << own << "-1" << QStringList{"-1"};
        QTest::newRow((kind + "not a number").constData()) << own << "abc" << QStringList{"-1", "0"};
    }
}

void tst_LogMessageFilterProxyModel::threshold()
{
    QFETCH(bool, ownModel);
    QFETCH(QString, pattern);
    QFETCH(QStringList, shown);

    const int levels[] = {-1, 0, 1, 2, 3, 4};
    LogMessageModel own;
    QStandardItemModel items(0, 7);
    for (int level : levels) {
        LogMessageModel::Row row;
        row.level = level;
        row.setText(4, LOGGER::verbosityIntToString(level));
        own.enqueue(row);
        QList<QStandardItem *> cells;
        for (int c = 0; c < 7; ++c)
            cells << new QStandardItem(c == 4 ? LOGGER::verbosityIntToString(level) : QString());
        items.appendRow(cells);
    }
    own.flushPending();

    LogMessageFilterProxyModel filter(4);
    filter.setFilterRole(Qt::UserRole + 1);
    filter.setSourceModel(ownModel ? static_cast<QAbstractItemModel *>(&own) : &items);
    filter.setFilterRegExp(QRegExp(QRegExp::escape(pattern), Qt::CaseInsensitive));
    QCOMPARE(shownLevels(filter), shown);
}

void tst_LogMessageFilterProxyModel::keepsArrivalOrder()
{
    LogMessageModel model;
    const int levels[] = {4, 0, 3, 4, -1, 2, 4};
    for (int i = 0; i < 7; ++i) {
        LogMessageModel::Row row;
        row.level = levels[i];
        row.setText(4, LOGGER::verbosityIntToString(levels[i]));
        row.setText(6, QString::number(i));
        model.enqueue(row);
    }
    model.flushPending();
    LogMessageFilterProxyModel filter(4);
    filter.setFilterRole(Qt::UserRole + 1);
    filter.setSourceModel(&model);
    filter.setFilterRegExp(QStringLiteral("2"));
    QStringList order;
    for (int r = 0; r < filter.rowCount(); ++r)
        order << filter.index(r, 6).data().toString();
    QCOMPARE(order, (QStringList{"1", "4", "5"}));
    filter.setFilterRegExp(QStringLiteral("4"));
    order.clear();
    for (int r = 0; r < filter.rowCount(); ++r)
        order << filter.index(r, 6).data().toString();
    QCOMPARE(order, (QStringList{"0", "1", "2", "3", "4", "5", "6"}));
}

QTEST_APPLESS_MAIN(tst_LogMessageFilterProxyModel)
#include "tst_logmessagefilterproxymodel.moc"
