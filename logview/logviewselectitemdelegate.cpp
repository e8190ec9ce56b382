#include "logviewselectitemdelegate.h"

#include <QAbstractProxyModel>

LogViewSelectItemDelegate::LogViewSelectItemDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void LogViewSelectItemDelegate::setSelectedValue(int column, const QString &value)
{
    m_selectedColumn = column;
    m_selectedValue = value;
}

int LogViewSelectItemDelegate::selectedColumn() const
{
    return m_selectedColumn;
}

QString LogViewSelectItemDelegate::selectedValue() const
{
    return m_selectedValue;
}

void LogViewSelectItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                      const QModelIndex &index) const
{
    QStyleOptionViewItem emphasised(option);
    if (matches(index))
        emphasised.font.setWeight(QFont::Bold);
    QStyledItemDelegate::paint(painter, emphasised, index);
}

bool LogViewSelectItemDelegate::matches(const QModelIndex &index) const
{
    if (m_selectedColumn < 0 || m_selectedValue.isEmpty() || !index.isValid())
        return false;
    // The comparison reads the table itself, under whatever proxy the view shows.
    QModelIndex cell = index.sibling(index.row(), m_selectedColumn);
    if (const auto *proxy = qobject_cast<const QAbstractProxyModel *>(index.model()))
        cell = proxy->mapToSource(cell);
    return cell.isValid() && cell.data(Qt::DisplayRole).toString() == m_selectedValue;
}
