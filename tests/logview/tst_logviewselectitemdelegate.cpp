#include "logviewselectitemdelegate.h"

#include "logmessagefilterproxymodel.h"
#include "logmessagemodel.h"

#include <QPainter>
#include <QtTest>

namespace {
// Paints into an image and reports whether the delegate asked for bold.
class FontProbe : public LogViewSelectItemDelegate
{
public:
    using LogViewSelectItemDelegate::LogViewSelectItemDelegate;
    bool paintsBold(const QModelIndex &index, QColor *background = nullptr) const
    {
        QImage image(200, 20, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QStyleOptionViewItem option;
        option.rect = image.rect();
        m_lastBold = false;
        paint(&painter, option, index);
        if (background)
            *background = image.pixelColor(1, 1);
        return m_lastBold;
    }

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        LogViewSelectItemDelegate::initStyleOption(option, index);
        m_lastBold = option->font.weight() >= QFont::Bold;
    }

private:
    mutable bool m_lastBold = false;
};
}

class tst_LogViewSelectItemDelegate : public QObject
{
    Q_OBJECT

private slots:
    void emphasis_data();
    void emphasis();
};

void tst_LogViewSelectItemDelegate::emphasis_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("boldRows");  // visible rows painted bold, as digits
    QTest::addColumn<QString>("find");
    QTest::addColumn<QString>("markedRows");  // visible rows whose message cell is marked

    const QString nul = QString::fromUtf8("y\0z", 3);
    QTest::newRow("nothing chosen") << -1 << "" << "" << "" << "";
    QTest::newRow("column without value") << 1 << "" << "" << "" << "";
    QTest::newRow("call A, also where the column is hidden") << 1 << "callA" << "01" << "" << "";
    QTest::newRow("whole text only") << 6 << "hello" << "0" << "" << "";
    QTest::newRow("case matters") << 6 << "HELLO" << "" << "" << "";
    QTest::newRow("value nobody has") << 1 << "callZ" << "" << "" << "";
    QTest::newRow("a NUL is part of the value") << 6 << nul << "2" << "" << "";
    QTest::newRow("the text before a NUL is not the value") << 6 << "y" << "" << "" << "";
    QTest::newRow("find marks, whatever the case, and combines with bold") << 1 << "callA" << "01" << "HELLO" << "0";
    QTest::newRow("find past a NUL") << -1 << "" << "" << "Z" << "2";
}

void tst_LogViewSelectItemDelegate::emphasis()
{
    QFETCH(int, column);
    QFETCH(QString, value);
    QFETCH(QString, boldRows);
    QFETCH(QString, find);
    QFETCH(QString, markedRows);

    LogMessageModel model;
    const char *calls[] = {"callA", "callB", "callA", "callB"};
    const QString texts[] = {"hello", "hello world", "x", QString::fromUtf8("y\0z", 3)};
    for (int i = 0; i < 4; ++i) {
        LogMessageModel::Row row;
        row.setText(1, QLatin1String(calls[i]));
        row.setText(6, texts[i]);
        row.level = i == 1 ? 4 : 0;  // row 1 hidden by the filter below
        model.enqueue(row);
    }
    model.flushPending();
    LogMessageFilterProxyModel filter(4);
    filter.setFilterRole(LogMessageModel::LevelRole);
    filter.setSourceModel(&model);
    filter.setFilterRegExp(QStringLiteral("3"));
    QCOMPARE(filter.rowCount(), 3);

    FontProbe delegate;
    delegate.setSelectedValue(column, value);
    delegate.setFindText(find);
    QString bold;
    QString marked;
    for (int r = 0; r < filter.rowCount(); ++r) {
        // every visible cell of a matching row is bold
        const bool first = delegate.paintsBold(filter.index(r, 2));
        QColor background;
        QCOMPARE(delegate.paintsBold(filter.index(r, 6), &background), first);
        if (first)
            bold += QString::number(r);
        if (background == LogViewSelectItemDelegate::matchColor())
            marked += QString::number(r);
    }
    QCOMPARE(bold, boldRows);
    QCOMPARE(marked, markedRows);
}

QTEST_MAIN(tst_LogViewSelectItemDelegate)
#include "tst_logviewselectitemdelegate.moc"
