#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

// Answers message boxes as they open, so that no test waits on a modal loop.
// Records the title and text of each box it answered.
class ModalAnswerer : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QStringList buttons;
        Qt::TextFormat format;
    };

    // buttonText: the label of the button to press ("Ok", "Si", "No"...).
    explicit ModalAnswerer(const QString &buttonText = QString(), QObject *parent = nullptr)
        : QObject(parent)
        , m_buttonText(buttonText)
    {
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    void setButtonText(const QString &text) { m_buttonText = text; }
    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return m_boxes.size(); }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        Box seen{box->windowTitle(), box->text(), {}, box->textFormat()};
        QAbstractButton *chosen = nullptr;
        for (QAbstractButton *button : box->buttons()) {
            const QString label = button->text().remove(QLatin1Char('&'));
            seen.buttons << label;
            if (label.compare(m_buttonText, Qt::CaseInsensitive) == 0)
                chosen = button;
        }
        if (!chosen && !box->buttons().isEmpty())
            chosen = box->buttons().constFirst();
        m_boxes << seen;
        if (chosen)
            chosen->click();
        else
            box->reject();
    }

    QString m_buttonText;
    QTimer m_timer;
    QList<Box> m_boxes;
};
