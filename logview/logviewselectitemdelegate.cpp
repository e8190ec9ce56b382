#include "logviewselectitemdelegate.h"

#include <QAbstractProxyModel>
#include <QPainter>

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

void LogViewSelectItemDelegate::setFindText(const QString &text)
{
    m_find = LogTextMatcher(text);
}

QString LogViewSelectItemDelegate::findText() const
{
    return m_find.text();
}

void LogViewSelectItemDelegate::setCurrentMatch(const QModelIndex &sourceIndex)
{
    m_currentMatch = sourceIndex;
}

QColor LogViewSelectItemDelegate::matchColor()
{
    return QColor(255, 236, 140);
}

QColor LogViewSelectItemDelegate::currentMatchColor()
{
    return QColor(255, 170, 60);
}

void LogViewSelectItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                      const QModelIndex &index) const
{
    QStyleOptionViewItem emphasised(option);
    if (matches(index))
        emphasised.font.setWeight(QFont::Bold);
    if (!m_find.isEmpty()) {
        const QModelIndex source = toSource(index);
        const bool current = m_currentMatch.isValid() && source.row() == m_currentMatch.row();
        const QByteArray text = index.data(Qt::DisplayRole).toString().toUtf8();
        if (m_find.matches(std::string_view(text.constData(), size_t(text.size()))))
            painter->fillRect(option.rect, current ? currentMatchColor() : matchColor());
    }
    QStyledItemDelegate::paint(painter, emphasised, index);
}

QModelIndex LogViewSelectItemDelegate::toSource(const QModelIndex &index)
{
    if (const auto *proxy = qobject_cast<const QAbstractProxyModel *>(index.model()))
        return proxy->mapToSource(index);
    return index;
}

bool LogViewSelectItemDelegate::matches(const QModelIndex &index) const
{
    if (m_selectedColumn < 0 || m_selectedValue.isEmpty() || !index.isValid())
        return false;
    // The comparison reads the table itself, under whatever proxy the view shows.
    const QModelIndex cell = toSource(index.sibling(index.row(), m_selectedColumn));
    return cell.isValid() && cell.data(Qt::DisplayRole).toString() == m_selectedValue;
}
