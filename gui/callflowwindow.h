#pragma once

#include "callflowmodel.h"
#include "diagnosticmessage.h"

#include <QPointer>
#include <QVector>
#include <QWidget>

#include <memory>

class CallFlowView;
class QFileDialog;
class Ui_CallFlowWindow;

// "Flusso della chiamata": one call's ladder, built from the rows given (the
// main table's or a stored call's), growing as more rows of the call arrive.
// A click on an arrow shows its whole message below, a click on a log line
// its row; the picture can be saved as SVG or PNG.
class CallFlowWindow : public QWidget
{
    Q_OBJECT

public:
    // serverRole names the SIP server's column (the agent's host).
    CallFlowWindow(const QString &callId, const QVector<DiagnosticMessage> &rows,
                   const QString &serverRole = QString(), QWidget *parent = nullptr);
    ~CallFlowWindow() override;

    QString callId() const { return m_callId; }
    const CallFlowModel &model() const { return m_model; }
    CallFlowView *view() const { return m_view; }
    QString detailText() const;

    // SVG when the name ends in ".svg", PNG otherwise.
    bool saveImage(const QString &fileName, QString *error);

signals:
    // A log line was clicked: the window that holds the row can show it.
    void lineClicked(const DiagnosticMessage &row);

public slots:
    void appendRow(const DiagnosticMessage &row);
    void appendRows(const QVector<DiagnosticMessage> &rows);
    // Asks for a file name ("Salva immagine") and saves there.
    void askSaveImage();

private:
    void takePendingRows();
    void showDetail(int event);
    void onLevelChosen();
    // The drawn row at the top of the view, to stay in place as rows come.
    int topRowInView(int *offset) const;
    void putRowAtTop(int row, int offset);

    std::unique_ptr<Ui_CallFlowWindow> m_ui;
    QString m_callId;
    CallFlowModel m_model;
    CallFlowView *m_view = nullptr;
    QVector<DiagnosticMessage> m_pending;
    QPointer<QFileDialog> m_saveDialog;
};
