#include "historywindow.h"

#include <QHeaderView>
#include <QShortcut>
#include <QStandardItemModel>

HistoryWindow::HistoryWindow(QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(new QStandardItemModel(0, ColumnCount, this))
{
    ui.setupUi(this);
    m_model->setHorizontalHeaderLabels(
        {tr("Inizio"), tr("Fine"), tr("Da"), tr("A"), tr("Esito"), tr("Righe"), tr("Call-ID")});
    ui.tvCalls->setModel(m_model);
    ui.tvCalls->horizontalHeader()->setStretchLastSection(true);
    ui.tvCalls->verticalHeader()->hide();
    connect(ui.tvCalls, &QTableView::doubleClicked, this, &HistoryWindow::chooseCurrent);
    for (const int key : {int(Qt::Key_Return), int(Qt::Key_Enter)}) {
        auto *enter = new QShortcut(QKeySequence(key), ui.tvCalls, nullptr, nullptr, Qt::WidgetShortcut);
        connect(enter, &QShortcut::activated, this, &HistoryWindow::chooseCurrent);
    }
}

void HistoryWindow::showSearching(const QString &query)
{
    m_model->removeRows(0, m_model->rowCount());
    ui.lblStatus->setText(query.isEmpty() ? tr("Ricerca delle chiamate delle ultime 24 ore...")
                                          : tr("Ricerca di \"%1\" nelle chiamate delle ultime 24 ore...").arg(query));
}

void HistoryWindow::showCalls(const QVector<HistoryCall> &calls, bool truncated)
{
    ui.tvCalls->setSortingEnabled(false);
    m_model->removeRows(0, m_model->rowCount());
    for (const HistoryCall &call : calls) {
        QList<QStandardItem *> row;
        for (const QString &text : {call.start, call.end, call.from, call.to})
            row << new QStandardItem(text);
        // Numbers sort as numbers.
        auto *code = new QStandardItem;
        code->setData(call.code, Qt::DisplayRole);
        auto *rows = new QStandardItem;
        rows->setData(call.rows, Qt::DisplayRole);
        row << code << rows << new QStandardItem(call.callId);
        m_model->appendRow(row);
    }
    ui.tvCalls->setSortingEnabled(true);
    ui.tvCalls->resizeColumnsToContents();
    QString status = calls.size() == 1 ? tr("1 chiamata") : tr("%1 chiamate").arg(calls.size());
    if (truncated)
        status += tr(" (ce ne sono altre: restringere la ricerca)");
    ui.lblStatus->setText(status);
}

void HistoryWindow::showError(const QString &reason)
{
    ui.lblStatus->setText(tr("Errore dallo storico del centralino: %1").arg(reason));
}

QString HistoryWindow::statusText() const
{
    return ui.lblStatus->text();
}

void HistoryWindow::chooseCurrent()
{
    const QModelIndex current = ui.tvCalls->currentIndex();
    if (current.isValid())
        emit callChosen(m_model->index(current.row(), CallIdColumn).data().toString());
}
