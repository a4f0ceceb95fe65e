#include "ResultGrid.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QStyle>
#include <QToolTip>

#include "ResultModel.h"

void TResultGrid::keyboardSearch(const QString& search) {
    auto* results = qobject_cast<TResultModel*>(model());
    if (results == nullptr || search.isEmpty()) {
        typed_.clear();
        return;
    }
    if (!lastKey_.isValid() || lastKey_.elapsed() > QApplication::keyboardInputInterval()) typed_.clear();
    lastKey_.start();
    const bool fresh = typed_.isEmpty();
    typed_ += search;
    const QModelIndex current = currentIndex();
    const int currentRow = current.isValid() ? current.row() + 1 : 0;
    // A first letter, or the same letter again, looks past the current row;
    // more letters narrow the name the current row may already have.
    QString prefix = typed_;
    if (typed_.count(typed_.front()) == typed_.size()) prefix = typed_.left(1);
    const bool pastCurrent = fresh || prefix.size() == 1;
    const int row = results->FindName(prefix, pastCurrent ? currentRow + 1 : std::max(currentRow, 1));
    if (row > 0) setCurrentIndex(results->index(row - 1, current.isValid() ? current.column() : 0));
}

bool TResultGrid::CellClipped(const QModelIndex& index) const {
    if (!index.isValid()) return false;
    // The delegate leaves a margin on either side of the text.
    const int margins = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1);
    return fontMetrics().horizontalAdvance(index.data(Qt::DisplayRole).toString()) + margins > visualRect(index).width();
}

bool TResultGrid::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        if (CellClipped(index)) {
            QToolTip::showText(help->globalPos(), index.data(Qt::ToolTipRole).toString(), viewport(), visualRect(index));
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QTableView::viewportEvent(event);
}

QItemSelectionModel::SelectionFlags TResultGrid::selectionCommand(const QModelIndex& index, const QEvent* event) const {
    // Ctrl with a key that moves (Ctrl+Home, Ctrl+End, ...) would move the
    // current row without selecting it: it selects the row moved to, as
    // the same key without Ctrl does.
    if (event && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        const Qt::KeyboardModifiers held = key->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier);
        switch (key->key()) {
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Left:
        case Qt::Key_Right:
            if (held == Qt::ControlModifier) return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
            break;
        default: break;
        }
    }
    return QTableView::selectionCommand(index, event);
}

void TResultGrid::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Menu || (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
        event->accept();
        emit MenuKeyPressed();
        return;
    }
    QTableView::keyPressEvent(event);
}

void TResultGrid::contextMenuEvent(QContextMenuEvent* event) {
    // From the keyboard: at the current row, as the menu key does.
    if (event->reason() == QContextMenuEvent::Keyboard) {
        event->accept();
        emit MenuKeyPressed();
        return;
    }
    QTableView::contextMenuEvent(event);
}
