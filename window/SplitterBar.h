// A two-pixel bevelled bar that the user drags to move the border between
// two panels. It moves nothing itself: it reports how far it was dragged,
// and the window arranges its panels.
#pragma once

#include <QWidget>

class TSplitterBar : public QWidget {
    Q_OBJECT
    Q_PROPERTY(Qt::Orientation orientation READ orientation WRITE setOrientation)

public:
    explicit TSplitterBar(QWidget* parent = nullptr);

    // Horizontal: the bar stands upright between a left and a right panel and
    // is dragged sideways. Vertical: it lies between an upper and a lower
    // panel and is dragged up and down.
    Qt::Orientation orientation() const { return orientation_; }
    void setOrientation(Qt::Orientation orientation) { orientation_ = orientation; update(); }

signals:
    // The pointer moved `delta` pixels across the bar since the press, or
    // since the last report that the window acted on.
    void Dragged(int delta);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int Along(const QPointF& global) const;

    Qt::Orientation orientation_ = Qt::Horizontal;
    bool dragging_ = false;
    int pressedAt_ = 0;
};
