#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <deque>
#include <memory>
#include <string_view>
#include <vector>

// The log table: one row per diagnostic message, seven text columns, rows in
// arrival order.
//
// Rows are appended in batches: enqueue() gathers them and the model inserts
// everything gathered at most every flushInterval() ms with a single
// insertion, so a proxy and a view above it pay their per-insertion cost once
// per batch instead of once per message. That cost grows with the rows held
// (a filter above re-maps every row on each insertion), so while flushes take
// long the next batches wait longer, up to four intervals: the cost per
// message stays flat however full the table is.
//
// With a row or byte limit, a flush that would pass it first drops the oldest
// rows in one removal of at least a twentieth of the limit, so the cost of dropping
// stays spread over many batches. When the flush timer finds a removal due,
// the removal and the insertion run in turns of the event loop of their own:
// in a full table each costs about as much as the other.
class LogMessageModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        TenantUuidColumn = 0,
        LinkedIdColumn,
        UniqueIdColumn,
        MessageIdColumn,
        VerbosityColumn,
        TimestampColumn,
        MessageColumn,
        ColumnCount
    };

    // The verbosity column answers the row's level as an int under this role.
    static constexpr int LevelRole = Qt::UserRole + 1;

    // A row on its way in. Cells are UTF-8; enqueue() packs them into one
    // allocation.
    struct Row
    {
        QByteArray cells[ColumnCount];
        // The message's extra fields, kept but not shown (a call's flow is
        // drawn from them); setExtraFields() fills it.
        QByteArray extra;
        int level = 0;

        void setText(int column, const QString &text) { cells[column] = text.toUtf8(); }
        void setExtraFields(const QStringList &fields);
    };

    explicit LogMessageModel(QObject *parent = nullptr);
    ~LogMessageModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant &value,
                       int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    // Display text of a cell; an empty text outside the table.
    QString text(int row, int column) const;
    // The same, as the UTF-8 bytes the table keeps; valid until the row goes.
    std::string_view utf8(int row, int column) const;
    int level(int row) const;
    QStringList extraFields(int row) const;
    // The view measures a row once and keeps the height here, so that rows
    // that come back into view after a re-filter need no new measuring.
    int rowHeight(int row) const;
    void setRowHeight(int row, int height);
    void forgetRowHeights();

    void enqueue(const Row &row);
    int pendingCount() const;
    // Inserts everything gathered so far at once.
    void flushPending();
    // Drops every row, gathered ones included; headers stay.
    void clear();

    void setFlushInterval(int ms);
    int flushInterval() const;

    // At most this many rows are held; 0 = no limit.
    void setMaxRows(int rows);
    int maxRows() const;
    // At most about this many bytes of rows are held (the rows' texts and
    // their bookkeeping); 0 = no limit. The oldest rows go as for maxRows.
    void setMaxBytes(qint64 bytes);
    qint64 maxBytes() const;
    qint64 heldBytes() const;
    // Rows dropped by the limits since the last clear().
    qint64 droppedCount() const;

signals:
    // Rows first..last were just inserted by a flush.
    void rowsFlushed(int first, int last);
    // The limit dropped rows; total is the count since the last clear().
    // Sent as soon as they are gone, before the rows that replace them are
    // flushed.
    void rowsDropped(qint64 total);

private:
    // Level, the end offset of each cell, then the cells' bytes back to back.
    using PackedRow = std::unique_ptr<char[]>;
    static PackedRow pack(const Row &row);
    static std::string_view cell(const PackedRow &row, int column);
    static qint64 rowBytes(const PackedRow &row);
    bool pendingWithinLimits() const;
    void dropOldest(int incoming, qint64 incomingBytes);

    void onFlushTimer();
    void freeSomeRemoved();

    std::deque<PackedRow> m_rows;  // grows without moving what it holds
    // Removed rows wait here and are freed a slice at a time: freeing a
    // twentieth of a full table at once would hold up the window.
    std::vector<PackedRow> m_removed;
    QTimer m_freeTimer;
    std::deque<quint16> m_heights;  // apart: most rows are never measured
    std::vector<PackedRow> m_pending;
    QString m_headers[ColumnCount];
    QString m_toolTips[ColumnCount];
    QTimer m_flushTimer;
    int m_flushInterval = 50;
    double m_flushCostMs = 0;  // a running average of what a flush takes
    int m_maxRows = 0;
    qint64 m_maxBytes = 0;
    qint64 m_bytes = 0;         // of m_rows
    qint64 m_pendingBytes = 0;  // of m_pending
    qint64 m_dropped = 0;
};
