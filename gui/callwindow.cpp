#include "callwindow.h"

#include "logfilewriter.h"
#include "logmessagemodel.h"
#include "logrowmaker.h"
#include "logtable.h"
#include "logviewselectitemdelegate.h"

#include <QFileDialog>
#include <QMessageBox>

CallWindow::CallWindow(const QString &callId, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_model(new LogMessageModel(this))
    , m_delegate(nullptr)
{
    ui.setupUi(this);
    setWindowTitle(tr("Chiamata %1").arg(callId));
    ui.tvRows->setModel(m_model);
    LogTable::setUp(m_model, ui.tvRows);
    m_delegate = new LogViewSelectItemDelegate(ui.tvRows);
    ui.tvRows->setItemDelegate(m_delegate);
    ui.lblStatus->setText(tr("Richiesta delle righe della chiamata..."));
    connect(ui.btnSave, &QPushButton::clicked, this, &CallWindow::save);
}

void CallWindow::setEmphasis(int column, const QString &value)
{
    m_delegate->setSelectedValue(column, value);
}

void CallWindow::showRows(const QVector<DiagnosticMessage> &rows, bool truncated)
{
    for (const DiagnosticMessage &row : rows)
        m_model->enqueue(LogRowMaker::rowOf(row));
    m_model->flushPending();
    ui.tvRows->resizeRowsToContents();
    QString status = rows.size() == 1 ? tr("1 riga") : tr("%1 righe").arg(rows.size());
    if (truncated)
        status += tr(" (la chiamata ne ha altre, non mostrate)");
    ui.lblStatus->setText(status);
    ui.btnSave->setEnabled(true);
}

void CallWindow::showError(const QString &reason)
{
    ui.lblStatus->setText(tr("Errore dallo storico del centralino: %1").arg(reason));
}

bool CallWindow::saveTo(const QString &fileName, QString *error) const
{
    return LogFileWriter::write(*m_model, LogTable::visibleColumns(ui.tvRows), fileName, error);
}

void CallWindow::save()
{
    const QString fileName = QFileDialog::getSaveFileName(this, tr("Salva il Log su File"), QStringLiteral("./"),
                                                          tr("File txt (*.txt)"));
    if (fileName.isEmpty())
        return;
    QString error;
    if (!saveTo(fileName, &error)) {
        QMessageBox box(QMessageBox::Warning, tr("Errore di salvataggio"),
                        tr("Impossibile salvare il log su \"%1\": %2").arg(fileName, error), QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
}
