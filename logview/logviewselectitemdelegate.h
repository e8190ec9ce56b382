#pragma once

#include "logtextmatcher.h"

#include <QPersistentModelIndex>
#include <QStyledItemDelegate>

// Paints in bold every row whose cell in the chosen column holds the chosen
// text; with no column (below 0) or an empty text nothing is emphasised.
// Cells holding the find text get a background of their own, the row of the
// current match a stronger one; both combine with the bold emphasis.
class LogViewSelectItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit LogViewSelectItemDelegate(QObject *parent = nullptr);

    void setSelectedValue(int column, const QString &value);
    int selectedColumn() const;
    QString selectedValue() const;

    void setFindText(const QString &text);
    QString findText() const;
    // A row of the model under the view's proxy, or an invalid index.
    void setCurrentMatch(const QModelIndex &sourceIndex);

    static QColor matchColor();
    static QColor currentMatchColor();

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    static QModelIndex toSource(const QModelIndex &index);
    bool matches(const QModelIndex &index) const;

    int m_selectedColumn = -1;
    QString m_selectedValue;
    LogTextMatcher m_find;
    QPersistentModelIndex m_currentMatch;
};
