#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QTimer>
#include <QVector>

#include <deque>

// The log table: one row per diagnostic message, seven text columns, rows in
// arrival order.
//
// Rows are appended in batches: enqueue() gathers them and the model inserts
// everything gathered at most every flushInterval() ms with a single
// insertion, so a proxy and a view above it pay their per-insertion cost once
// per batch instead of once per message.
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

    struct Row
    {
        QString cells[ColumnCount];
        int level = 0;
        int height = 0;  // measured row height in pixels, 0 until measured
    };

    explicit LogMessageModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant &value,
                       int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool removeRows(int row, int count, const QModelIndex &parent = QModelIndex()) override;

    // Display text of a cell; an empty text outside the table.
    const QString &text(int row, int column) const;
    // The view measures a row once and keeps the height here, so that rows
    // that come back into view after a re-filter need no new measuring.
    int rowHeight(int row) const;
    void setRowHeight(int row, int height);
    void forgetRowHeights();

    void enqueue(Row row);
    int pendingCount() const;
    // Inserts everything gathered so far at once.
    void flushPending();
    // Drops every row, gathered ones included; headers stay.
    void clear();

    void setFlushInterval(int ms);
    int flushInterval() const;

signals:
    // Rows first..last were just inserted by a flush.
    void rowsFlushed(int first, int last);

private:
    std::deque<Row> m_rows;  // grows without moving what it holds
    QVector<Row> m_pending;
    QString m_headers[ColumnCount];
    QString m_toolTips[ColumnCount];
    QTimer m_flushTimer;
};
