#include "ResultModel.h"

#include <algorithm>
#include <climits>

#include <QPainter>
#include <QPixmap>

#include "platform/Locale.h"
#include "volume/Salvane.h"

namespace {
const char* const HeaderTexts[TResultModel::ColumnCount] = {" Filename", " Path", " Size", " Date Created",
                                                            " Date Modified"};
}  // namespace

TResultModel::TResultModel(QObject* parent)
    : QAbstractTableModel(parent),
      decimalSeparator_(deruzera::platform::DecimalSeparator()),
      times_(deruzera::platform::LocalTimes()) {}

void TResultModel::SetGridRowCount(int count) {
    const int rows = std::max(count, 1) - 1;
    if (rows == rows_) return;
    beginResetModel();
    rows_ = rows;
    listed_ = std::min<qint64>(listed_, rows_);
    endResetModel();
}

void TResultModel::ListEntries(std::shared_ptr<const deruzera::TScanResults> results) {
    // A view counts rows in an int; the bound keeps the cast honest.
    const qint64 count =
        results ? std::min<qint64>(static_cast<qint64>(results->Files.size()), INT_MAX - 1) : 0;
    beginResetModel();
    results_ = std::move(results);
    // The zone and the separators as they are now.
    times_ = deruzera::platform::LocalTimes();
    decimalSeparator_ = deruzera::platform::DecimalSeparator();
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

const deruzera::TFoundFiles* TResultModel::FileAt(int gridRow) const {
    const qint64 entry = static_cast<qint64>(gridRow) - 1;
    if (gridRow < 1 || entry >= listed_ || !results_) return nullptr;
    return &results_->Files[static_cast<std::size_t>(entry)];
}

QString TResultModel::Cell(int column, int gridRow) const {
    if (column < 0 || column >= ColumnCount) return {};
    if (gridRow == 0) return QString::fromLatin1(HeaderTexts[column]);
    const deruzera::TFoundFiles* file = FileAt(gridRow);
    if (!file) return {};
    std::string text;
    switch (column) {
    case ColFileName: text = results_->Files.NameText(*file); break;
    case ColPath: text = results_->FilePath(*file); break;
    case ColSize: text = deruzera::SizeToText(file->FileSize, decimalSeparator_); break;
    case ColCreated: text = times_.FormatFileTime(file->Created); break;
    case ColModified: text = times_.FormatFileTime(file->Modified); break;
    default: return {};
    }
    return QLatin1Char(' ') + QString::fromStdString(text);
}

int TResultModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TResultModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant TResultModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_ || index.column() >= ColumnCount) return {};
    if (role == Qt::DecorationRole && index.column() == ColFileName) {
        // A dot where the name begins: whether the file can still come back.
        const deruzera::TFoundFiles* file = FileAt(index.row() + 1);
        return file ? StateDot(file->State) : QVariant();
    }
    if (role != Qt::DisplayRole) return {};
    return Cell(index.column(), index.row() + 1);
}

QVariant TResultModel::StateDot(deruzera::TRecoverability state) {
    static const QPixmap dots[] = {Dot(QColor(0x00, 0x80, 0x00)), Dot(QColor(0xE0, 0x8A, 0x00)), Dot(QColor(0xD0, 0x00, 0x00))};
    switch (state) {
    case deruzera::TRecoverability::Intact: return dots[0];
    case deruzera::TRecoverability::Partial: return dots[1];
    case deruzera::TRecoverability::Overwritten: return dots[2];
    case deruzera::TRecoverability::Unknown: break;
    }
    return {};
}

QPixmap TResultModel::Dot(const QColor& colour) {
    QPixmap dot(8, 8);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(0.5, 0.5, 7, 7));
    return dot;
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
