#pragma once

#include <QWidget>

class LogMessageModel;
class LogSearch;
class LogViewSelectItemDelegate;
class QLabel;
class QLineEdit;
class QSortFilterProxyModel;
class QTableView;
class QToolButton;

// The bar under the log table that finds a text in the rows on show: a text
// field, previous and next, and a count of the matches. Enter and F3 go to
// the next match, Shift with either to the previous one, Esc closes the bar.
// "Cerca nello storico" asks the exchange for its past calls holding the text.
class LogFindBar : public QWidget
{
    Q_OBJECT

public:
    explicit LogFindBar(QWidget *parent = nullptr);

    void attach(LogMessageModel *model, QSortFilterProxyModel *filter, QTableView *view,
                LogViewSelectItemDelegate *delegate);

    QString counterText() const;
    // "Cerca nello storico" works only while the exchange keeps a history.
    void setHistoryAvailable(bool available);
    bool isHistoryAvailable() const;
    LogSearch *search() const { return m_search; }

public slots:
    void open();
    void close();
    void findNext();
    void findPrevious();
    // Searches again over what the filter now lets through.
    void refresh();
    // Asks for the exchange's calls holding the text, when it keeps them.
    void searchHistory();

signals:
    void historySearchRequested(const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onTextChanged(const QString &text);
    void showCount();
    void showCurrent();
    int topRow() const;
    void setColumns();

    QLineEdit *m_text;
    QToolButton *m_previous;
    QToolButton *m_next;
    QLabel *m_counter;
    QToolButton *m_history;
    LogSearch *m_search = nullptr;
    QSortFilterProxyModel *m_filter = nullptr;
    QTableView *m_view = nullptr;
    LogViewSelectItemDelegate *m_delegate = nullptr;
    LogMessageModel *m_model = nullptr;
};
