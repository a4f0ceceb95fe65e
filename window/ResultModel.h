// The result list as a virtual table over the files of one scan: cells are
// made when the view asks for them, so a million rows cost no more than the
// list itself.
//
// Grid rows count as the window counts them: row 0 is the header, row r
// (r >= 1) is model row r - 1 and shows entry r - 1 of the list once it is
// listed. Rows past the listed entries are empty and can't be selected.
#pragma once

#include <QAbstractTableModel>
#include <memory>

#include "volume/Records.h"
#include "volume/Times.h"

class TResultModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum TColumn { ColFileName, ColPath, ColSize, ColCreated, ColModified, ColumnCount };

    explicit TResultModel(QObject* parent = nullptr);

    // Grid row count including the header row (at least 1). Rows past the
    // listed entries are empty.
    int GridRowCount() const { return rows_ + 1; }
    void SetGridRowCount(int count);

    // Lists the files of `results` in rows 1 .. count; the grid then has
    // count + 1 rows.
    void ListEntries(std::shared_ptr<const deruzera::TScanResults> results);

    // Stops showing the list: while a scan runs, every data row is empty.
    void Detach();

    // The scan's cut: the header and one data row, emptied.
    void Cut();

    // The file of a grid row, or null where the row shows none.
    const deruzera::TFoundFiles* FileAt(int gridRow) const;

    // The text of a cell by grid row, as the grid holds it: each cell of a
    // listed row begins with one blank; row 0 holds the header texts.
    QString Cell(int column, int gridRow) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The dot at the start of a row's name: green intact, orange partly,
    // red wholly overwritten; none where unknown.
    static QVariant StateDot(deruzera::TRecoverability state);

private:
    static QPixmap Dot(const QColor& colour);

    std::shared_ptr<const deruzera::TScanResults> results_;
    int rows_ = 0;       // data rows (grid rows - 1)
    qint64 listed_ = 0;  // rows that show entries of the list
    std::string decimalSeparator_;
    mutable deruzera::TLocalTimes times_;
};
