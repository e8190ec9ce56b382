#pragma once

#include "diagnosticmessage.h"
#include "ui_callwindow.h"

#include <QVector>
#include <QWidget>

class LogMessageModel;
class LogViewSelectItemDelegate;

// "Chiamata <Call-ID>": every row the exchange kept of one call, in the main
// table's columns, level names and emphasis, and "Salva su file..." in the
// main table's file format.
class CallWindow : public QWidget
{
    Q_OBJECT

public:
    explicit CallWindow(const QString &callId, QWidget *parent = nullptr);

    // The rows of the chosen column and text stand out, as in the main table.
    void setEmphasis(int column, const QString &value);
    void showRows(const QVector<DiagnosticMessage> &rows, bool truncated);
    void showError(const QString &reason);
    LogMessageModel *model() const { return m_model; }
    // Writes the rows as the main table's "save" does; false with *error.
    bool saveTo(const QString &fileName, QString *error) const;

private:
    void save();

    Ui::CallWindow ui;
    LogMessageModel *m_model;
    LogViewSelectItemDelegate *m_delegate;
};
