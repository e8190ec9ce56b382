#include "logmessagemodel.h"

#include <QElapsedTimer>

#include <cstring>
#include <iterator>

namespace {
// The extra fields are packed after the shown cells, as one more cell.
constexpr int kExtraCell = LogMessageModel::ColumnCount;
constexpr int kCellCount = LogMessageModel::ColumnCount + 1;
// Between two extra fields; a NUL inside a field becomes U+FFFD.
constexpr char kFieldSeparator = '\0';

// A packed row starts with its level and the end offset of each cell.
struct PackedHeader
{
    qint32 level;
    quint32 end[kCellCount];
};

PackedHeader headerOf(const char *packed)
{
    PackedHeader header;
    std::memcpy(&header, packed, sizeof header);
    return header;
}

QString fromUtf8(std::string_view bytes)
{
    // With the size given, a NUL in a cell is text like any other.
    return QString::fromUtf8(bytes.data(), int(bytes.size()));
}
}

LogMessageModel::LogMessageModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setInterval(m_flushInterval);
    connect(&m_flushTimer, &QTimer::timeout, this, &LogMessageModel::onFlushTimer);
    m_freeTimer.setInterval(0);
    connect(&m_freeTimer, &QTimer::timeout, this, &LogMessageModel::freeSomeRemoved);
}

LogMessageModel::~LogMessageModel() = default;

LogMessageModel::PackedRow LogMessageModel::pack(const Row &row)
{
    PackedHeader header;
    header.level = row.level;
    const auto cellOf = [&row](int c) -> const QByteArray & { return c == kExtraCell ? row.extra : row.cells[c]; };
    quint32 size = 0;
    for (int c = 0; c < kCellCount; ++c) {
        size += quint32(cellOf(c).size());
        header.end[c] = size;
    }
    PackedRow packed(new char[sizeof header + size]);
    std::memcpy(packed.get(), &header, sizeof header);
    char *to = packed.get() + sizeof header;
    for (int c = 0; c < kCellCount; ++c) {
        const QByteArray &cell = cellOf(c);
        if (!cell.isEmpty())
            std::memcpy(to, cell.constData(), size_t(cell.size()));
        to += cell.size();
    }
    return packed;
}

qint64 LogMessageModel::rowBytes(const PackedRow &row)
{
    // The allocator's share and the row's slots in the model's queues.
    constexpr qint64 perRow = 32;
    return qint64(sizeof(PackedHeader)) + headerOf(row.get()).end[kCellCount - 1] + perRow;
}

std::string_view LogMessageModel::cell(const PackedRow &row, int column)
{
    const PackedHeader header = headerOf(row.get());
    const quint32 begin = column == 0 ? 0 : header.end[column - 1];
    return {row.get() + sizeof header + begin, size_t(header.end[column] - begin)};
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
    const PackedRow &row = m_rows[size_t(index.row())];
    if (role == Qt::DisplayRole)
        return fromUtf8(cell(row, index.column()));
    if (role == LevelRole && index.column() == VerbosityColumn)
        return int(headerOf(row.get()).level);
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
    const auto first = m_rows.begin() + row;
    const auto last = first + count;
    for (auto it = first; it != last; ++it)
        m_bytes -= rowBytes(*it);
    m_removed.insert(m_removed.end(), std::make_move_iterator(first), std::make_move_iterator(last));
    m_rows.erase(first, last);
    m_heights.erase(m_heights.begin() + row, m_heights.begin() + row + count);
    if (m_rows.empty()) {
        m_bytes = 0;
        // hand the memory back after a clear
        std::deque<PackedRow>().swap(m_rows);
        std::deque<quint16>().swap(m_heights);
    }
    endRemoveRows();
    m_freeTimer.start();
    return true;
}

void LogMessageModel::freeSomeRemoved()
{
    const size_t slice = qMin(m_removed.size(), size_t(20000));
    m_removed.erase(m_removed.end() - std::ptrdiff_t(slice), m_removed.end());
    if (m_removed.empty()) {
        m_freeTimer.stop();
        std::vector<PackedRow>().swap(m_removed);
    }
}

QString LogMessageModel::text(int row, int column) const
{
    return fromUtf8(utf8(row, column));
}

std::string_view LogMessageModel::utf8(int row, int column) const
{
    if (row < 0 || row >= int(m_rows.size()) || column < 0 || column >= ColumnCount)
        return {};
    return cell(m_rows[size_t(row)], column);
}

int LogMessageModel::level(int row) const
{
    return row >= 0 && row < int(m_rows.size()) ? int(headerOf(m_rows[size_t(row)].get()).level) : 0;
}

void LogMessageModel::Row::setExtraFields(const QStringList &fields)
{
    extra.clear();
    for (int i = 0; i < fields.size(); ++i) {
        if (i)
            extra += kFieldSeparator;
        QString field = fields.at(i);
        field.replace(QChar(0), QChar(QChar::ReplacementCharacter));
        extra += field.toUtf8();
    }
}

QStringList LogMessageModel::extraFields(int row) const
{
    if (row < 0 || row >= int(m_rows.size()))
        return {};
    const std::string_view bytes = cell(m_rows[size_t(row)], kExtraCell);
    if (bytes.empty())
        return {};
    QStringList fields;
    size_t from = 0;
    for (;;) {
        const size_t at = bytes.find(kFieldSeparator, from);
        fields << fromUtf8(bytes.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
        if (at == std::string_view::npos)
            return fields;
        from = at + 1;
    }
}

int LogMessageModel::rowHeight(int row) const
{
    return row >= 0 && row < int(m_heights.size()) ? m_heights[size_t(row)] : 0;
}

void LogMessageModel::setRowHeight(int row, int height)
{
    if (row >= 0 && row < int(m_heights.size()))
        m_heights[size_t(row)] = quint16(qBound(0, height, 0xffff));
}

void LogMessageModel::forgetRowHeights()
{
    std::fill(m_heights.begin(), m_heights.end(), quint16(0));
}

void LogMessageModel::enqueue(const Row &row)
{
    m_pending.push_back(pack(row));
    m_pendingBytes += rowBytes(m_pending.back());
    if (!m_flushTimer.isActive())
        m_flushTimer.start();
}

int LogMessageModel::pendingCount() const
{
    return int(m_pending.size());
}

bool LogMessageModel::pendingWithinLimits() const
{
    return (m_maxRows <= 0 || int(m_pending.size()) <= m_maxRows) && (m_maxBytes <= 0 || m_pendingBytes <= m_maxBytes);
}

void LogMessageModel::dropOldest(int incoming, qint64 incomingBytes)
{
    // Remove well past what is needed, so the next batches fit without a
    // removal of their own.
    int count = 0;
    if (m_maxRows > 0 && int(m_rows.size()) + incoming > m_maxRows)
        count = qMax(int(m_rows.size()) + incoming - m_maxRows, qMax(1, m_maxRows / 20));
    if (m_maxBytes > 0 && m_bytes + incomingBytes > m_maxBytes) {
        const qint64 target = qMax(m_bytes + incomingBytes - m_maxBytes, m_maxBytes / 20);
        qint64 freed = 0;
        int rows = 0;
        while (rows < int(m_rows.size()) && freed < target)
            freed += rowBytes(m_rows[size_t(rows++)]);
        count = qMax(count, rows);
    }
    count = qMin(int(m_rows.size()), count);
    if (count <= 0)
        return;
    removeRows(0, count);
    m_dropped += count;
}

void LogMessageModel::onFlushTimer()
{
    const qint64 dropped = m_dropped;
    // A batch larger than a limit is trimmed by flushPending() instead.
    if (pendingWithinLimits())
        dropOldest(int(m_pending.size()), m_pendingBytes);
    if (m_dropped == dropped) {
        flushPending();
        return;
    }
    emit rowsDropped(m_dropped);
    // The rows that took their place follow on the next turn.
    QTimer::singleShot(0, this, &LogMessageModel::flushPending);
}

void LogMessageModel::flushPending()
{
    m_flushTimer.stop();
    if (m_pending.empty())
        return;
    QElapsedTimer clock;
    clock.start();
    const qint64 dropped = m_dropped;
    if (!pendingWithinLimits()) {
        // A batch larger than a limit: its own oldest rows never show.
        size_t surplus = m_maxRows > 0 && int(m_pending.size()) > m_maxRows ? m_pending.size() - size_t(m_maxRows) : 0;
        for (size_t i = 0; i < surplus; ++i)
            m_pendingBytes -= rowBytes(m_pending[i]);
        while (m_maxBytes > 0 && m_pendingBytes > m_maxBytes && surplus < m_pending.size())
            m_pendingBytes -= rowBytes(m_pending[surplus++]);
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(surplus));
        m_dropped += qint64(surplus);
        if (m_pending.empty()) {
            // One row larger than the whole budget.
            emit rowsDropped(m_dropped);
            return;
        }
    }
    dropOldest(int(m_pending.size()), m_pendingBytes);
    const int first = int(m_rows.size());
    const int last = first + int(m_pending.size()) - 1;
    beginInsertRows(QModelIndex(), first, last);
    for (PackedRow &row : m_pending)
        m_rows.push_back(std::move(row));
    m_heights.resize(m_rows.size(), 0);
    m_bytes += m_pendingBytes;
    m_pendingBytes = 0;
    m_pending.clear();
    endInsertRows();
    if (m_dropped != dropped)
        emit rowsDropped(m_dropped);
    emit rowsFlushed(first, last);
    // Flushing, views included, keeps to about a sixteenth of the time. The
    // average moves a quarter of the way per flush, so that one slow flush
    // (the first layout, a busy moment) does not stretch the next batches.
    m_flushCostMs += (double(clock.nsecsElapsed()) / 1e6 - m_flushCostMs) / 4;
    m_flushTimer.setInterval(int(qBound(double(m_flushInterval), m_flushCostMs * 16, 4.0 * m_flushInterval)));
}

void LogMessageModel::clear()
{
    m_flushTimer.stop();
    m_flushTimer.setInterval(m_flushInterval);
    m_flushCostMs = 0;
    m_pending.clear();
    m_pendingBytes = 0;
    m_dropped = 0;
    if (!m_rows.empty())
        removeRows(0, int(m_rows.size()));
}

void LogMessageModel::setFlushInterval(int ms)
{
    m_flushInterval = qMax(0, ms);
    m_flushTimer.setInterval(m_flushInterval);
}

int LogMessageModel::flushInterval() const
{
    return m_flushInterval;
}

void LogMessageModel::setMaxRows(int rows)
{
    m_maxRows = qMax(0, rows);
}

int LogMessageModel::maxRows() const
{
    return m_maxRows;
}

void LogMessageModel::setMaxBytes(qint64 bytes)
{
    m_maxBytes = qMax<qint64>(0, bytes);
}

qint64 LogMessageModel::maxBytes() const
{
    return m_maxBytes;
}

qint64 LogMessageModel::heldBytes() const
{
    return m_bytes;
}

qint64 LogMessageModel::droppedCount() const
{
    return m_dropped;
}
