#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

// Answers message boxes as they open, so that no test waits on a modal loop.
// Records the title and text of each box it answered. The question about an
// unknown exchange, which every first connection in a fresh data directory
// asks, is answered apart ("Si" unless told otherwise) and kept apart.
class ModalAnswerer : public QObject
{
public:
    struct Box
    {
        QString title;
        QString text;
        QStringList buttons;
        Qt::TextFormat format;
        QString defaultButton;
        QString escapeButton;
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
    void setTrustAnswer(const QString &text) { m_trustAnswer = text; }
    const QList<Box> &trustQuestions() const { return m_trustQuestions; }

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        auto label = [](const QAbstractButton *button) {
            return button ? button->text().remove(QLatin1Char('&')) : QString();
        };
        Box seen{box->windowTitle(), box->text(), {}, box->textFormat(), label(box->defaultButton()),
                 label(box->escapeButton())};
        const bool trust = seen.title == QLatin1String("Centralino sconosciuto");
        const QString wanted = trust ? m_trustAnswer : m_buttonText;
        QAbstractButton *chosen = nullptr;
        for (QAbstractButton *button : box->buttons()) {
            seen.buttons << label(button);
            if (label(button).compare(wanted, Qt::CaseInsensitive) == 0)
                chosen = button;
        }
        if (!chosen && !box->buttons().isEmpty())
            chosen = box->buttons().constFirst();
        (trust ? m_trustQuestions : m_boxes) << seen;
        if (chosen)
            chosen->click();
        else
            box->reject();
    }

    QString m_buttonText;
    QString m_trustAnswer = QStringLiteral("Si");
    QTimer m_timer;
    QList<Box> m_boxes;
    QList<Box> m_trustQuestions;
};
