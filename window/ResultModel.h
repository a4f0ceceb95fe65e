// The result list as a virtual table over the files of one scan: cells are
// made when the view asks for them, and the rows are a vector of indices
// into the list (4 bytes a row), so a million rows cost little more than
// the list itself. Sorted by any column, stably; narrowed by a search over
// name and path, a kind of file and whether a file can still come back.
//
// Grid rows count as the window counts them: row 0 is the header, row r
// (r >= 1) is model row r - 1 and shows the r-th file in the list's order
// once it is listed. Rows past the listed entries are empty and can't be
// selected.
#pragma once

#include <QAbstractTableModel>
#include <QLocale>
#include <memory>

#include "FileKinds.h"
#include "volume/Records.h"
#include "volume/Scan.h"
#include "volume/Times.h"

class TCollation;

// What "*" at the start of a path means.
inline constexpr const char* UnresolvedPathTip =
    "* stands for a folder whose name is gone from the volume: the path below it is all that can be told.";

class TResultModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum TColumn { ColFileName, ColPath, ColSize, ColCreated, ColModified, ColumnCount };

    // What the list shows of the files found.
    struct TFilter {
        QString Text;                 // looked for in path and name; a glob when it holds * or ?
        unsigned Kinds = AllKinds;    // a bit for each TFileKind shown
        bool RecoverableOnly = false;  // leave out files whose clusters are all in use again
        bool operator==(const TFilter&) const = default;
    };
    static constexpr unsigned AllKinds = (1u << KindCount) - 1;

    explicit TResultModel(QObject* parent = nullptr);
    ~TResultModel() override;

    // Grid row count including the header row (at least 1). Rows past the
    // listed entries are empty.
    int GridRowCount() const { return rows_ + 1; }
    void SetGridRowCount(int count);

    // Lists the files of `results` in the order of their records, through
    // the filter in force; the grid then has a row for each file shown.
    // Where the files came in chunks (BeginList, TakeChunk) their folders'
    // paths are known already; otherwise they are made here.
    void ListEntries(std::shared_ptr<deruzera::TScanResults> results);

    // A scan begins listing into `results` (empty): its files come in
    // chunks, each appended to the list and its paths taken here, at a
    // cost that grows with the chunk. Nothing is shown until ListEntries.
    void BeginList(std::shared_ptr<deruzera::TScanResults> results);
    void TakeChunk(const struct TFoundChunk& chunk);

    // Stops showing the list: while a scan runs, every data row is empty.
    void Detach();

    // The scan's cut: the header and one data row, emptied.
    void Cut();

    // The file of a grid row, or null where the row shows none.
    const deruzera::TFoundFiles* FileAt(int gridRow) const;

    // The text of a cell by grid row, as the grid holds it: each cell of a
    // listed row begins with one blank; row 0 holds the header texts.
    QString Cell(int column, int gridRow) const;
    // What a column shows of an entry, without the cell's blank.
    QString EntryText(int column, std::uint32_t entry) const;

    // ---- Entries: the files of the list by their index in it ----
    std::size_t EntryCount() const { return results_ ? results_->Files.size() : 0; }
    // Rows that show an entry.
    int ShownCount() const { return static_cast<int>(listed_); }
    // The entry a grid row shows, -1 where it shows none.
    std::int64_t EntryAt(int gridRow) const;
    // Directory path (with its "\") and name of an entry.
    std::string_view EntryPath(std::uint32_t entry) const;
    std::string_view EntryName(std::uint32_t entry) const;
    const deruzera::TFoundFiles& EntryFile(std::uint32_t entry) const { return results_->Files[entry]; }
    // Every entry at `path` (a directory path with its "\") or below it,
    // in the order found.
    std::vector<std::uint32_t> EntriesBelow(std::string_view path) const;
    // True when some file's recoverability is known.
    bool AnyStateKnown() const { return anyStateKnown_; }

    // ---- Sorting and filtering; both rebuild the rows (a model reset) ----
    // Stable: rows that are equal in `column` keep their order. Names and
    // paths in the collation's order, sizes as numbers, times by time.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int SortColumn() const { return sortColumn_; }
    Qt::SortOrder SortOrder() const { return sortOrder_; }
    void SetFilter(const TFilter& filter);
    const TFilter& Filter() const { return filter_; }
    // The collation of names and paths (the system's unless set).
    void SetCollation(const QLocale& locale);
    // Waits for the names' order, worked out in the background after a
    // list comes (the benchmark).
    void WaitForNameRanks();

    // The first grid row from `fromGridRow` on, wrapping round, whose name
    // begins with `prefix` (case aside); 0 where none does.
    int FindName(const QString& prefix, int fromGridRow) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The dot at the start of a row's name: green intact, orange partly,
    // red wholly overwritten or unread, a grey ring where unknown; the same
    // on a selected row.
    static QVariant StateDot(deruzera::TRecoverability state);
    // A tooltip that wraps: the text with a place to break after each "\"
    // and "/", so that a path of forty folders stays on the screen.
    static QString WrappingToolTip(const QString& text);
    // A name or path as the window shows it: each control character and
    // each mark that reorders text replaced by "_", as the companion and
    // the log show it, so that no name can reorder a row's text.
    static QString ShownText(std::string_view text);
    // The path of a folder that can no longer be told begins with "*".
    static bool UnresolvedPath(std::string_view path) { return !path.empty() && path[0] == '*'; }

    // Bytes held beyond the list itself (rows, paths, ranks), for the budget.
    std::size_t Footprint() const;

private:
    static QPixmap Dot(const QColor& colour, bool filled = true);
    struct TRankJob;
    std::uint32_t RowEntry(std::size_t row) const { return filtering_ ? shown_[row] : order_[row]; }
    std::string_view PathOfDirectory(std::uint32_t directory) const;
    void MakePaths();
    void StartNameRanks();
    void StopNameRanks();
    const std::vector<std::uint32_t>& NameRanks();
    const std::vector<std::uint32_t>& DirectoryRanks();
    void MakeKinds();
    void ApplyFilter();
    void ShowRows();

    std::shared_ptr<deruzera::TScanResults> results_;
    int rows_ = 0;       // data rows (grid rows - 1)
    qint64 listed_ = 0;  // rows that show entries of the list
    bool attached_ = false;
    std::string decimalSeparator_;
    mutable deruzera::TLocalTimes times_;

    std::vector<std::uint32_t> order_;  // every entry, in the sort's order
    std::vector<std::uint32_t> shown_;  // the entries the filter lets through, in order
    std::vector<std::uint64_t> passes_;  // a bit for each entry the filter lets through
    bool filtering_ = false;
    TFilter filter_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    bool anyStateKnown_ = false;

    // The path cache: each directory's path once, in one pool.
    std::vector<std::uint32_t> directoryOf_;  // by entry
    std::string paths_;
    std::vector<std::uint32_t> pathStart_;    // by directory, and one past the last
    std::vector<std::uint8_t> kinds_;         // by entry, made when first asked for
    std::vector<std::uint32_t> directoryRanks_;
    std::vector<std::uint32_t> nameRanks_;
    std::unique_ptr<TRankJob> nameJob_;
    QLocale collation_;
};
