#pragma once

#include <QVector>
#include <QWidget>

class CallFlowModel;

// Draws a call's ladder: the columns' heads and life lines, one row per
// arrow or log line, time going down. The same painting serves the screen
// (only the rows in view) and the saved image (all of them).
class CallFlowView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int RowHeight = 26;
    static constexpr int HeaderHeight = 52;

    explicit CallFlowView(QWidget *parent = nullptr);

    // The model must outlive the view; relayout() after it changes.
    void setModel(const CallFlowModel *model);
    // Log lines above this level are not drawn; arrows always are.
    void setMaxLevel(int level);
    int maxLevel() const { return m_maxLevel; }
    void relayout();

    QSize sizeHint() const override;
    // Paints the rows crossing clip; clip in the view's coordinates.
    void paintContent(QPainter *painter, const QRect &clip) const;

    // Of model events drawn, in drawing order.
    const QVector<int> &shownEvents() const { return m_shown; }
    // The model event whose row is at y, or -1.
    int eventAt(int y) const;
    // The same where the row is in sight: not under the heads.
    int eventShownAt(int y) const;
    // The top of the row that draws the model event; -1 when not drawn.
    int rowTop(int event) const;
    void setSelectedEvent(int event);
    int selectedEvent() const { return m_selected; }
    // The heads stay in sight: drawn at y, the top of the part in view.
    void setHeaderTop(int y);

signals:
    void eventClicked(int event);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    bool event(QEvent *event) override;

private:
    int columnX(int column) const;
    void paintHeader(QPainter *painter) const;
    void paintRow(QPainter *painter, int shownIndex) const;

    const CallFlowModel *m_model = nullptr;
    QVector<int> m_shown;
    QVector<int> m_rowOfEvent;  // shown index per model event, -1 when hidden
    int m_maxLevel = 4;
    int m_selected = -1;
    int m_headerTop = 0;
};
