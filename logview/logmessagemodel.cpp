#include "logmessagemodel.h"

LogMessageModel::LogMessageModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(50);
    connect(&m_flushTimer, &QTimer::timeout, this, &LogMessageModel::flushPending);
}

int LogMessageModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int LogMessageModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LogMessageModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows[size_t(index.row())];
    if (role == Qt::DisplayRole)
        return row.cells[index.column()];
    if (role == LevelRole && index.column() == VerbosityColumn)
        return row.level;
    return {};
}

QVariant LogMessageModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole)
        return m_headers[section];
    if (role == Qt::ToolTipRole)
        return m_toolTips[section];
    return {};
}

bool LogMessageModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant &value, int role)
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return false;
    if (role == Qt::DisplayRole || role == Qt::EditRole)
        m_headers[section] = value.toString();
    else if (role == Qt::ToolTipRole)
        m_toolTips[section] = value.toString();
    else
        return false;
    emit headerDataChanged(orientation, section, section);
    return true;
}

Qt::ItemFlags LogMessageModel::flags(const QModelIndex &index) const
{
    return index.isValid() ? Qt::ItemIsEnabled : Qt::NoItemFlags;
}

bool LogMessageModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count <= 0 || row + count > int(m_rows.size()))
        return false;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    m_rows.erase(m_rows.begin() + row, m_rows.begin() + row + count);
    if (m_rows.empty())
        std::deque<Row>().swap(m_rows);  // hand the memory back after a clear
    endRemoveRows();
    return true;
}

const QString &LogMessageModel::text(int row, int column) const
{
    static const QString empty;
    if (row < 0 || row >= int(m_rows.size()) || column < 0 || column >= ColumnCount)
        return empty;
    return m_rows[size_t(row)].cells[column];
}

int LogMessageModel::rowHeight(int row) const
{
    return row >= 0 && row < int(m_rows.size()) ? m_rows[size_t(row)].height : 0;
}

void LogMessageModel::setRowHeight(int row, int height)
{
    if (row >= 0 && row < int(m_rows.size()))
        m_rows[size_t(row)].height = height;
}

void LogMessageModel::forgetRowHeights()
{
    for (Row &row : m_rows)
        row.height = 0;
}

void LogMessageModel::enqueue(Row row)
{
    m_pending.append(std::move(row));
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

int LogMessageModel::pendingCount() const
{
    return m_pending.size();
}

void LogMessageModel::flushPending()
{
    m_flushTimer.stop();
    if (m_pending.isEmpty())
        return;
    const int first = int(m_rows.size());
    const int last = first + m_pending.size() - 1;
    beginInsertRows(QModelIndex(), first, last);
    for (Row &row : m_pending)
        m_rows.push_back(std::move(row));
    m_pending.clear();
    endInsertRows();
    emit rowsFlushed(first, last);
}

void LogMessageModel::clear()
{
    m_flushTimer.stop();
    m_pending.clear();
    if (!m_rows.empty())
        removeRows(0, int(m_rows.size()));
}

void LogMessageModel::setFlushInterval(int ms)
{
    m_flushTimer.setInterval(ms);
}

int LogMessageModel::flushInterval() const
{
    return m_flushTimer.interval();
}
