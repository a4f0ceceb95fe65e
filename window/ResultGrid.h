// The result list's view: typing a name goes to the file of that name
// (the cells begin with a blank, which Qt's own search would have to type),
// and a cell too narrow for its text shows the file's whole path and name
// as a tooltip. Moving with the keys selects the row moved to, Ctrl held or
// not, so the current row is always a selected one; Tab leaves the list;
// the menu key and Shift+F10 ask for the row's menu.
#pragma once

#include <QElapsedTimer>
#include <QTableView>

class TResultGrid : public QTableView {
    Q_OBJECT

public:
    using QTableView::QTableView;

    // Goes to the next row whose name begins with the letters typed within
    // the keyboard's input interval; one letter again and again steps
    // through the names that begin with it.
    void keyboardSearch(const QString& search) override;

    // True when the cell's text is wider than the cell shows.
    bool CellClipped(const QModelIndex& index) const;

signals:
    // The menu key or Shift+F10 was pressed.
    void MenuKeyPressed();

protected:
    bool viewportEvent(QEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QString typed_;
    QElapsedTimer lastKey_;
};
