#include "ResultModel.h"

#include <algorithm>
#include <climits>

#include "volume/Salvane.h"

namespace {
const char* const HeaderTexts[TResultModel::ColumnCount] = {" Filename", " Path", " Size", " Date Created",
                                                            " Date Modified"};
}  // namespace

TResultModel::TResultModel(const deruzera::TFoundFileList& files, QObject* parent)
    : QAbstractTableModel(parent), files_(files) {}

void TResultModel::SetGridRowCount(int count) {
    const int rows = std::max(count, 1) - 1;
    if (rows == rows_) return;
    beginResetModel();
    rows_ = rows;
    listed_ = std::min<qint64>(listed_, rows_);
    endResetModel();
}

void TResultModel::ListEntries(qint64 count) {
    // A view counts rows in an int; the list can't outgrow that (the MFT's
    // record count is 32 bits), but the bound keeps the cast honest.
    count = std::clamp<qint64>(count, 0, std::min<qint64>(static_cast<qint64>(files_.size()), INT_MAX - 1));
    beginResetModel();
    rows_ = static_cast<int>(count);
    listed_ = count;
    endResetModel();
}

void TResultModel::Detach() {
    if (listed_ == 0) return;
    listed_ = 0;
    if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, ColumnCount - 1));
}

void TResultModel::Cut() {
    beginResetModel();
    rows_ = 1;
    listed_ = 0;
    endResetModel();
}

QString TResultModel::Cell(int column, int gridRow) const {
    if (column < 0 || column >= ColumnCount) return {};
    if (gridRow == 0) return QString::fromLatin1(HeaderTexts[column]);
    const qint64 entry = static_cast<qint64>(gridRow) - 1;
    if (gridRow < 0 || entry >= listed_) return {};
    const deruzera::TFoundFiles& file = files_[static_cast<std::size_t>(entry)];
    switch (column) {
    case ColFileName: return QLatin1Char(' ') + QString::fromStdString(file.FileName);
    case ColPath: return QLatin1Char(' ') + QString::fromStdString(file.FilePath);
    case ColSize: return QLatin1Char(' ') + QString::fromStdString(deruzera::SizeToText(file.FileSize));
    case ColCreated: return QLatin1Char(' ') + QString::fromStdString(file.Created);
    case ColModified: return QLatin1Char(' ') + QString::fromStdString(file.Modified);
    default: return {};
    }
}

int TResultModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TResultModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TResultModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rows_ || index.column() >= ColumnCount)
        return {};
    return Cell(index.column(), index.row() + 1);
}

QVariant TResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section >= 0 && section < ColumnCount) {
        if (role == Qt::DisplayRole) return QString::fromLatin1(HeaderTexts[section]);
        if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags TResultModel::flags(const QModelIndex& index) const {
    // A row may be selected exactly when its first cell holds text; only
    // listed rows do.
    if (!index.isValid() || index.row() >= listed_) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
