#include "callflowview.h"

#include "callflowmodel.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

namespace {

constexpr int kGutter = 92;        // the relative times
constexpr int kColumnWidth = 190;
constexpr int kMargin = 16;
constexpr int kLinesOnlyWidth = 640;

QColor levelColor(int level)
{
    switch (level) {
    case -1:
        return QColor(30, 60, 150);
    case 0:
        return QColor(190, 0, 0);
    case 1:
        return QColor(200, 100, 0);
    case 2:
        return QColor(120, 90, 0);
    case 3:
        return QColor(40, 40, 40);
    default:
        return QColor(120, 120, 120);
    }
}

// Transactions of one call drawn in colours of their own.
QColor transactionColor(int transaction)
{
    static const QColor colors[] = {QColor(20, 80, 170), QColor(0, 130, 70), QColor(150, 40, 150),
                                    QColor(170, 90, 0),  QColor(0, 120, 140), QColor(120, 60, 30)};
    return colors[qMax(0, transaction) % int(std::size(colors))];
}

}

CallFlowView::CallFlowView(QWidget *parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
}

void CallFlowView::setModel(const CallFlowModel *model)
{
    m_model = model;
    relayout();
}

void CallFlowView::setMaxLevel(int level)
{
    m_maxLevel = level;
    relayout();
}

void CallFlowView::relayout()
{
    m_shown.clear();
    m_rowOfEvent.clear();
    if (m_model) {
        const QVector<CallFlowModel::Event> &events = m_model->events();
        m_rowOfEvent.fill(-1, events.size());
        m_shown.reserve(events.size());
        for (int i = 0; i < events.size(); ++i) {
            if (events.at(i).message || events.at(i).level <= m_maxLevel) {
                m_rowOfEvent[i] = m_shown.size();
                m_shown.append(i);
            }
        }
    }
    resize(sizeHint());
    updateGeometry();
    update();
}

QSize CallFlowView::sizeHint() const
{
    const int columns = m_model ? m_model->columns().size() : 0;
    const int width = kGutter + (columns ? columns * kColumnWidth : kLinesOnlyWidth) + kMargin;
    return QSize(width, HeaderHeight + m_shown.size() * RowHeight + kMargin);
}

int CallFlowView::columnX(int column) const
{
    return kGutter + column * kColumnWidth + kColumnWidth / 2;
}

int CallFlowView::eventAt(int y) const
{
    if (y < HeaderHeight)
        return -1;
    const int index = (y - HeaderHeight) / RowHeight;
    return index < m_shown.size() ? m_shown.at(index) : -1;
}

int CallFlowView::rowTop(int event) const
{
    if (event < 0 || event >= m_rowOfEvent.size() || m_rowOfEvent.at(event) < 0)
        return -1;
    return HeaderHeight + m_rowOfEvent.at(event) * RowHeight;
}

void CallFlowView::setSelectedEvent(int event)
{
    m_selected = event;
    update();
}

void CallFlowView::setHeaderTop(int y)
{
    m_headerTop = qMax(0, y);
    // Scrolling moves pixels; the heads must be drawn anew instead.
    update();
}

void CallFlowView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    paintContent(&painter, event->rect());
    if (m_headerTop > 0 && event->rect().intersects(QRect(0, m_headerTop, width(), HeaderHeight))) {
        painter.translate(0, m_headerTop);
        painter.fillRect(QRect(0, 0, width(), HeaderHeight), Qt::white);
        painter.setPen(QColor(220, 220, 220));
        painter.drawLine(0, HeaderHeight - 1, width(), HeaderHeight - 1);
        paintHeader(&painter);
    }
}

void CallFlowView::paintContent(QPainter *painter, const QRect &clip) const
{
    painter->save();
    painter->fillRect(clip, Qt::white);
    painter->setRenderHint(QPainter::Antialiasing);
    const int bottom = HeaderHeight + m_shown.size() * RowHeight;
    // Life lines first, under the arrows.
    if (m_model) {
        painter->setPen(QPen(QColor(190, 190, 190), 1, Qt::DashLine));
        const int top = qMax(HeaderHeight, clip.top());
        const int end = qMin(bottom, clip.bottom() + 1);
        for (int c = 0; c < m_model->columns().size() && top < end; ++c)
            painter->drawLine(columnX(c), top, columnX(c), end);
    }
    if (clip.top() < HeaderHeight)
        paintHeader(painter);
    const int first = qMax(0, (clip.top() - HeaderHeight) / RowHeight);
    const int last = qMin(int(m_shown.size()) - 1, (clip.bottom() - HeaderHeight) / RowHeight);
    for (int i = first; i <= last; ++i)
        paintRow(painter, i);
    painter->restore();
}

void CallFlowView::paintHeader(QPainter *painter) const
{
    if (!m_model)
        return;
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics boldMetrics(bold);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    const QFontMetrics smallMetrics(small);
    painter->setPen(Qt::black);
    const QVector<CallFlowModel::Column> &columns = m_model->columns();
    for (int c = 0; c < columns.size(); ++c) {
        const QRect box(columnX(c) - kColumnWidth / 2 + 6, 6, kColumnWidth - 12, HeaderHeight - 14);
        painter->setPen(QColor(120, 120, 120));
        painter->setBrush(QColor(240, 244, 250));
        painter->drawRoundedRect(box, 4, 4);
        painter->setPen(Qt::black);
        painter->setFont(bold);
        const QRect addressRect(box.left() + 4, box.top() + 2, box.width() - 8, box.height() / 2);
        painter->drawText(addressRect, Qt::AlignCenter,
                          boldMetrics.elidedText(columns.at(c).address, Qt::ElideMiddle, addressRect.width()));
        painter->setFont(small);
        const QRect roleRect(box.left() + 4, box.center().y(), box.width() - 8, box.height() / 2);
        painter->drawText(roleRect, Qt::AlignCenter,
                          smallMetrics.elidedText(columns.at(c).role, Qt::ElideRight, roleRect.width()));
    }
    if (m_model->messageCount() == 0) {
        painter->setPen(QColor(100, 100, 100));
        painter->drawText(QRect(kGutter, 0, kLinesOnlyWidth, HeaderHeight), Qt::AlignVCenter | Qt::AlignLeft,
                          tr("Nessun messaggio SIP catturato per questa chiamata"));
    }
    painter->setBrush(Qt::NoBrush);
}

void CallFlowView::paintRow(QPainter *painter, int shownIndex) const
{
    const int eventIndex = m_shown.at(shownIndex);
    const CallFlowModel::Event &e = m_model->events().at(eventIndex);
    const int top = HeaderHeight + shownIndex * RowHeight;
    const int width = sizeHint().width();
    if (eventIndex == m_selected)
        painter->fillRect(QRect(0, top, width, RowHeight), QColor(255, 240, 180));

    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    const QFontMetrics smallMetrics(small);
    painter->setFont(small);
    painter->setPen(QColor(110, 110, 110));
    painter->drawText(QRect(4, top, kGutter - 8, RowHeight - 2), Qt::AlignBottom | Qt::AlignRight,
                      m_model->relativeTime(e.timeUs));

    if (!e.message) {
        painter->setPen(levelColor(e.level));
        const QRect text(kGutter, top, width - kGutter - kMargin, RowHeight);
        painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                          smallMetrics.elidedText(e.label, Qt::ElideRight, text.width()));
        return;
    }

    const QColor color = transactionColor(e.transaction);
    QPen pen(color, e.retransmission ? 1.2 : 1.6, e.retransmission ? Qt::DashLine : Qt::SolidLine);
    painter->setPen(pen);
    const int y = top + RowHeight - 4;
    const int x1 = columnX(e.from);
    const int x2 = columnX(e.to);
    const QString label = e.retransmission ? e.label + tr(" (ritrasmissione)") : e.label;
    QFont labelFont = small;
    labelFont.setItalic(e.retransmission);
    const QFontMetrics labelMetrics(labelFont);
    painter->setFont(labelFont);
    if (x1 == x2) {
        // A message to itself: a small loop beside the life line.
        QPainterPath loop;
        loop.moveTo(x1, y - 8);
        loop.lineTo(x1 + 24, y - 8);
        loop.lineTo(x1 + 24, y);
        loop.lineTo(x1 + 6, y);
        painter->drawPath(loop);
        painter->setBrush(color);
        painter->drawPolygon(QPolygonF({QPointF(x1, y), QPointF(x1 + 7, y - 3), QPointF(x1 + 7, y + 3)}));
        painter->setBrush(Qt::NoBrush);
        painter->setPen(color);
        const QRect text(x1 + 28, top, kColumnWidth - 34, RowHeight);
        painter->drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
                          labelMetrics.elidedText(label, Qt::ElideRight, text.width()));
        return;
    }
    painter->drawLine(x1, y, x2, y);
    const int direction = x2 > x1 ? 1 : -1;
    painter->setPen(QPen(color, 1));
    painter->setBrush(color);
    painter->drawPolygon(QPolygonF({QPointF(x2, y), QPointF(x2 - direction * 8, y - 4), QPointF(x2 - direction * 8, y + 4)}));
    painter->setBrush(Qt::NoBrush);
    const QRect text(qMin(x1, x2) + 4, top, qAbs(x2 - x1) - 8, RowHeight - 6);
    painter->drawText(text, Qt::AlignBottom | Qt::AlignHCenter,
                      labelMetrics.elidedText(label, Qt::ElideRight, text.width()));
}

int CallFlowView::eventShownAt(int y) const
{
    return y >= m_headerTop && y < m_headerTop + HeaderHeight ? -1 : eventAt(y);
}

void CallFlowView::mousePressEvent(QMouseEvent *event)
{
    const int index = eventShownAt(event->pos().y());
    if (event->button() == Qt::LeftButton && index >= 0) {
        setSelectedEvent(index);
        emit eventClicked(index);
    }
    QWidget::mousePressEvent(event);
}

bool CallFlowView::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && m_model) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const int index = eventShownAt(help->pos().y());
        if (index < 0) {
            QToolTip::hideText();
            return true;
        }
        const CallFlowModel::Event &e = m_model->events().at(index);
        QString tip = CallFlowModel::absoluteTime(e.timeUs);
        if (e.message)
            tip += QStringLiteral("\nCSeq %1, branch %2").arg(e.cseq, e.branch);
        // Written as rich text, so that a peer's "<b>" stays what it is.
        const QString html = QStringLiteral("<p style='white-space:pre'>%1</p>")
                                 .arg(tip.toHtmlEscaped().replace(QLatin1Char('\n'), QLatin1String("<br>")));
        QToolTip::showText(help->globalPos(), html, this);
        return true;
    }
    return QWidget::event(event);
}
