#pragma once

#include "historycall.h"
#include "ui_historywindow.h"

#include <QVector>
#include <QWidget>

class QStandardItemModel;

// "Storico chiamate": the calls an exchange found in its history, sortable
// by every column; Enter or a double click asks for one call's rows.
class HistoryWindow : public QWidget
{
    Q_OBJECT

public:
    enum Column { StartColumn, EndColumn, FromColumn, ToColumn, CodeColumn, RowsColumn, CallIdColumn, ColumnCount };

    explicit HistoryWindow(QWidget *parent = nullptr);

    void showSearching(const QString &query);
    void showCalls(const QVector<HistoryCall> &calls, bool truncated);
    void showError(const QString &reason);
    QString statusText() const;
    QStandardItemModel *model() const { return m_model; }

signals:
    void callChosen(const QString &callId);

private:
    void chooseCurrent();

    Ui::HistoryWindow ui;
    QStandardItemModel *m_model;
};
