#include "SplitterBar.h"

#include <QMouseEvent>
#include <QPainter>

TSplitterBar::TSplitterBar(QWidget* parent) : QWidget(parent) {}

int TSplitterBar::Along(const QPointF& global) const {
    return orientation_ == Qt::Horizontal ? qRound(global.x()) : qRound(global.y());
}

void TSplitterBar::paintEvent(QPaintEvent*) {
    // A raised bevel: a light line on the leading edge, a shadow on the
    // trailing one.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0xF0, 0xF0, 0xF0));
    const QColor light(0xFF, 0xFF, 0xFF);
    const QColor shadow(0xA0, 0xA0, 0xA0);
    if (orientation_ == Qt::Horizontal) {
        painter.fillRect(0, 0, 1, height(), light);
        painter.fillRect(width() - 1, 0, 1, height(), shadow);
    } else {
        painter.fillRect(0, 0, width(), 1, light);
        painter.fillRect(0, height() - 1, width(), 1, shadow);
    }
}

void TSplitterBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    dragging_ = true;
    pressedAt_ = Along(event->globalPosition());
}

void TSplitterBar::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) return QWidget::mouseMoveEvent(event);
    const int now = Along(event->globalPosition());
    if (now == pressedAt_) return;
    const int delta = now - pressedAt_;
    pressedAt_ = now;
    emit Dragged(delta);
}

void TSplitterBar::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}
