#include "logfindbar.h"

#include "logmessagemodel.h"
#include "logsearch.h"
#include "logviewselectitemdelegate.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QToolButton>

LogFindBar::LogFindBar(QWidget *parent)
    : QWidget(parent)
    , m_text(new QLineEdit(this))
    , m_previous(new QToolButton(this))
    , m_next(new QToolButton(this))
    , m_counter(new QLabel(this))
    , m_history(new QToolButton(this))
{
    setObjectName(QStringLiteral("findBar"));
    m_text->setObjectName(QStringLiteral("leFind"));
    m_text->setPlaceholderText(tr("Trova"));
    m_text->installEventFilter(this);
    m_previous->setObjectName(QStringLiteral("btnFindPrevious"));
    m_previous->setArrowType(Qt::UpArrow);
    m_previous->setToolTip(tr("Precedente (Maiusc+F3)"));
    m_next->setObjectName(QStringLiteral("btnFindNext"));
    m_next->setArrowType(Qt::DownArrow);
    m_next->setToolTip(tr("Successivo (F3)"));
    m_counter->setObjectName(QStringLiteral("lblFindCount"));
    m_counter->setMinimumWidth(120);
    m_counter->setTextFormat(Qt::PlainText);

    m_history->setObjectName(QStringLiteral("btnFindInHistory"));
    m_history->setText(tr("Cerca nello storico"));
    m_history->setToolTip(tr("Cerca nello storico (Ctrl+Maiusc+F)"));
    m_history->setEnabled(false);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_text, 1);
    layout->addWidget(m_previous);
    layout->addWidget(m_next);
    layout->addWidget(m_counter);
    layout->addWidget(m_history);

    connect(m_text, &QLineEdit::textChanged, this, &LogFindBar::onTextChanged);
    connect(m_next, &QToolButton::clicked, this, &LogFindBar::findNext);
    connect(m_previous, &QToolButton::clicked, this, &LogFindBar::findPrevious);
    connect(m_history, &QToolButton::clicked, this, &LogFindBar::searchHistory);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &LogFindBar::close);
    hide();
}

void LogFindBar::attach(LogMessageModel *model, QSortFilterProxyModel *filter, QTableView *view,
                        LogViewSelectItemDelegate *delegate)
{
    m_model = model;
    m_filter = filter;
    m_view = view;
    m_delegate = delegate;
    m_search = new LogSearch(model, filter, this);
    connect(m_search, &LogSearch::changed, this, &LogFindBar::showCount);
    connect(m_search, &LogSearch::currentChanged, this, &LogFindBar::showCurrent);

    // F3 works from the table too, while the bar is open.
    QWidget *window = parentWidget() ? parentWidget() : this;
    auto *next = new QShortcut(QKeySequence(Qt::Key_F3), window, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    auto *previous = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), window, nullptr, nullptr,
                                   Qt::WidgetWithChildrenShortcut);
    connect(next, &QShortcut::activated, this, [this] {
        if (!isHidden())
            findNext();
    });
    connect(previous, &QShortcut::activated, this, [this] {
        if (!isHidden())
            findPrevious();
    });
}

QString LogFindBar::counterText() const
{
    return m_counter->text();
}

void LogFindBar::open()
{
    show();
    m_text->setFocus(Qt::ShortcutFocusReason);
    m_text->selectAll();
}

void LogFindBar::close()
{
    hide();
    m_text->clear();  // ends the search and the marks
    if (m_view)
        m_view->setFocus(Qt::OtherFocusReason);
}

void LogFindBar::findNext()
{
    if (m_search)
        m_search->next();
}

void LogFindBar::findPrevious()
{
    if (m_search)
        m_search->previous();
}

void LogFindBar::refresh()
{
    if (m_search && !m_search->matcher().isEmpty()) {
        setColumns();
        m_search->restart(topRow());
    }
}

bool LogFindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_text && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                findPrevious();
            else
                findNext();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void LogFindBar::onTextChanged(const QString &text)
{
    if (!m_search)
        return;
    m_delegate->setFindText(text);
    m_delegate->setCurrentMatch(QModelIndex());
    setColumns();
    m_search->setText(text, topRow());
    m_view->viewport()->update();
}

void LogFindBar::setColumns()
{
    QVector<int> columns;
    for (int c = 0; c < m_model->columnCount(); ++c) {
        if (!m_view->isColumnHidden(c))
            columns << c;
    }
    m_search->setColumns(columns);
}

// The table row at the top of the view: a search starts from what is on show.
int LogFindBar::topRow() const
{
    const int row = m_view->rowAt(0);
    return row < 0 ? 0 : m_filter->mapToSource(m_filter->index(row, 0)).row();
}

void LogFindBar::showCount()
{
    if (m_text->text().isEmpty()) {
        m_counter->clear();
        return;
    }
    if (m_search->matchCount() == 0 && m_search->isComplete()) {
        m_counter->setText(tr("Nessun risultato"));
        return;
    }
    m_counter->setText(tr("%1 di %2").arg(m_search->currentIndex() + 1).arg(m_search->matchCount()));
}

void LogFindBar::showCurrent()
{
    const int row = m_search->currentRow();
    const QModelIndex source = row < 0 ? QModelIndex() : m_model->index(row, LogMessageModel::MessageColumn);
    m_delegate->setCurrentMatch(source);
    const QModelIndex shown = m_filter->mapFromSource(source);
    if (shown.isValid())
        m_view->scrollTo(shown, QAbstractItemView::PositionAtCenter);
    m_view->viewport()->update();
}

void LogFindBar::setHistoryAvailable(bool available)
{
    m_history->setEnabled(available);
}

bool LogFindBar::isHistoryAvailable() const
{
    return m_history->isEnabled();
}

void LogFindBar::searchHistory()
{
    if (m_history->isEnabled())
        emit historySearchRequested(m_text->text());
}
