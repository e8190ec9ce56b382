#pragma once

#include <QStyledItemDelegate>

// Paints in bold every row whose cell in the chosen column holds the chosen
// text; with no column (below 0) or an empty text nothing is emphasised.
class LogViewSelectItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit LogViewSelectItemDelegate(QObject *parent = nullptr);

    void setSelectedValue(int column, const QString &value);
    int selectedColumn() const;
    QString selectedValue() const;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    bool matches(const QModelIndex &index) const;

    int m_selectedColumn = -1;
    QString m_selectedValue;
};
