#pragma once

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

// Answers the next context menu: records its entries and triggers the one
// whose text starts with the given prefix (or closes the menu).
class PopupAnswerer : public QObject
{
public:
    explicit PopupAnswerer(const QString &choicePrefix, QObject *parent = nullptr)
        : QObject(parent)
        , m_prefix(choicePrefix)
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    QStringList entries() const { return m_entries; }
    bool answered() const { return m_answered; }
    // Runs right before the choice is made, while the menu is still open.
    void setBeforeChoice(std::function<void()> fn) { m_before = std::move(fn); }

private:
    void poll()
    {
        if (m_answered)
            return;
        QMenu *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (!menu && w->isVisible())
                menu = qobject_cast<QMenu *>(w);
        }
        if (!menu)
            return;
        m_answered = true;
        QAction *chosen = nullptr;
        for (QAction *action : menu->actions()) {
            m_entries << action->text();
            if (!chosen && !m_prefix.isEmpty() && action->text().startsWith(m_prefix))
                chosen = action;
        }
        if (m_before)
            m_before();
        // Let the menu's own loop finish the way a user would end it.
        if (chosen) {
            menu->setActiveAction(chosen);
            QTest::keyClick(menu, Qt::Key_Return);
        } else {
            QTest::keyClick(menu, Qt::Key_Escape);
        }
    }

    QString m_prefix;
    QTimer m_timer;
    QStringList m_entries;
    bool m_answered = false;
    std::function<void()> m_before;
};
