#pragma once

#include "logtextmatcher.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QVector>

#include <deque>

class LogMessageModel;
class QAbstractProxyModel;

// Finds the rows of the log whose given columns hold a text, among the rows a
// filter lets through. The scan runs in slices of at most sliceBudgetMs() on
// the event loop, so a search over millions of rows never freezes the window;
// the count fills in as it goes, and rows that arrive later are counted as
// they come. Dropping the oldest rows keeps the matches that remain.
class LogSearch : public QObject
{
    Q_OBJECT

public:
    explicit LogSearch(LogMessageModel *model, QAbstractProxyModel *filter, QObject *parent = nullptr);

    // Starts over; an empty text finds nothing. The first match at or after
    // fromRow (a table row) becomes the current one once found, wrapping round.
    void setText(const QString &text, int fromRow = 0);
    void setColumns(const QVector<int> &columns);
    // Scans again, e.g. after the filter changed; keeps the text.
    void restart(int fromRow = 0);
    void stop();

    const LogTextMatcher &matcher() const { return m_matcher; }
    int matchCount() const { return int(m_matches.size()); }
    bool isComplete() const;
    // Position of the current match among the matches, or -1.
    int currentIndex() const { return m_current; }
    // Table row of the current match, or -1.
    int currentRow() const;
    // Moves to the next (or previous) match, wrapping round; false without any.
    bool next();
    bool previous();

    void setSliceBudgetMs(int ms) { m_budgetMs = ms; }
    int sliceBudgetMs() const { return m_budgetMs; }

signals:
    // The count, the current match or completion changed.
    void changed();
    // A different match became the current one.
    void currentChanged();

private:
    void scanSlice();
    bool rowMatches(int row) const;
    void scheduleScan();
    void onRowsRemoved(int first, int last);
    void setCurrent(int index);

    LogMessageModel *m_model;
    QPointer<QAbstractProxyModel> m_filter;
    LogTextMatcher m_matcher;
    QVector<int> m_columns;
    // Rows are kept as serials (table row + rows removed from the front so
    // far), so that dropping old rows leaves the rest where they were.
    std::deque<qint64> m_matches;
    qint64 m_offset = 0;
    qint64 m_cursor = 0;   // serial of the next row to scan
    qint64 m_jumpFrom = -1; // serial from which the first match becomes current
    int m_current = -1;
    int m_budgetMs = 16;
    QTimer m_timer;
};
