// The result list's view: typing a name goes to the file of that name
// (the cells begin with a blank, which Qt's own search would have to type),
// and a cell too narrow for its text shows the file's whole path and name
// as a tooltip.
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

protected:
    bool viewportEvent(QEvent* event) override;

private:
    QString typed_;
    QElapsedTimer lastKey_;
};
