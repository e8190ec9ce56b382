#include "logsearch.h"

#include "logmessagemodel.h"

#include <QAbstractProxyModel>

#include <algorithm>

LogSearch::LogSearch(LogMessageModel *model, QAbstractProxyModel *filter, QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_filter(filter)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &LogSearch::scanSlice);
    connect(model, &QAbstractItemModel::rowsInserted, this, [this] {
        if (!m_matcher.isEmpty())
            scheduleScan();
    });
    connect(model, &QAbstractItemModel::rowsRemoved, this,
            [this](const QModelIndex &, int first, int last) { onRowsRemoved(first, last); });
    connect(model, &QAbstractItemModel::modelReset, this, [this] { restart(); });
}

void LogSearch::setText(const QString &text, int fromRow)
{
    m_matcher = LogTextMatcher(text);
    restart(fromRow);
}

void LogSearch::setColumns(const QVector<int> &columns)
{
    m_columns = columns;
}

void LogSearch::restart(int fromRow)
{
    const bool hadCurrent = m_current >= 0;
    m_matches.clear();
    m_current = -1;
    m_cursor = m_offset;
    m_jumpFrom = m_offset + qMax(0, fromRow);
    if (m_matcher.isEmpty())
        m_timer.stop();
    else
        scheduleScan();
    emit changed();
    if (hadCurrent)
        emit currentChanged();
}

void LogSearch::stop()
{
    m_matcher = LogTextMatcher();
    restart();
}

bool LogSearch::isComplete() const
{
    return m_matcher.isEmpty() || m_cursor >= m_offset + m_model->rowCount();
}

int LogSearch::currentRow() const
{
    return m_current < 0 ? -1 : int(m_matches[size_t(m_current)] - m_offset);
}

bool LogSearch::next()
{
    if (m_matches.empty())
        return false;
    setCurrent(m_current < 0 ? 0 : (m_current + 1) % matchCount());
    return true;
}

bool LogSearch::previous()
{
    if (m_matches.empty())
        return false;
    setCurrent(m_current <= 0 ? matchCount() - 1 : m_current - 1);
    return true;
}

void LogSearch::setCurrent(int index)
{
    m_current = index;
    m_jumpFrom = -1;
    emit changed();
    emit currentChanged();
}

void LogSearch::scheduleScan()
{
    if (!m_timer.isActive())
        m_timer.start();
}

bool LogSearch::rowMatches(int row) const
{
    if (m_filter && !m_filter->mapFromSource(m_model->index(row, 0)).isValid())
        return false;
    for (int column : m_columns) {
        if (m_matcher.matches(m_model->utf8(row, column)))
            return true;
    }
    return false;
}

void LogSearch::scanSlice()
{
    if (m_matcher.isEmpty())
        return;
    QElapsedTimer clock;
    clock.start();
    const qint64 end = m_offset + m_model->rowCount();
    const size_t before = m_matches.size();
    bool jumped = false;
    while (m_cursor < end) {
        // The clock is read every few hundred rows: reading it costs more
        // than a row.
        const qint64 stop = std::min(end, m_cursor + 256);
        for (; m_cursor < stop; ++m_cursor) {
            if (!rowMatches(int(m_cursor - m_offset)))
                continue;
            m_matches.push_back(m_cursor);
            if (m_jumpFrom >= 0 && m_cursor >= m_jumpFrom) {
                m_current = int(m_matches.size()) - 1;
                m_jumpFrom = -1;
                jumped = true;
            }
        }
        if (clock.elapsed() >= m_budgetMs)
            break;
    }
    if (m_cursor < end) {
        scheduleScan();
    } else if (m_jumpFrom >= 0 && !m_matches.empty()) {
        // Nothing at or after the start: wrap round to the first.
        m_current = 0;
        m_jumpFrom = -1;
        jumped = true;
    }
    if (jumped || m_matches.size() != before || m_cursor >= end)
        emit changed();
    if (jumped)
        emit currentChanged();
}

void LogSearch::onRowsRemoved(int first, int last)
{
    if (first != 0) {
        restart();  // only the oldest rows ever go but for tests and tools
        return;
    }
    const qint64 removed = qint64(last) + 1;
    m_offset += removed;
    m_cursor = std::max(m_cursor, m_offset);
    if (m_jumpFrom >= 0)
        m_jumpFrom = std::max(m_jumpFrom, m_offset);
    const auto kept = std::lower_bound(m_matches.begin(), m_matches.end(), m_offset);
    const int gone = int(kept - m_matches.begin());
    if (gone == 0)
        return;
    m_matches.erase(m_matches.begin(), kept);
    const bool lost = m_current >= 0 && m_current < gone;
    if (m_current >= 0)
        m_current = m_current >= gone ? m_current - gone : -1;
    emit changed();
    if (lost)
        emit currentChanged();
}
