#include "ResultModel.h"

#include <algorithm>
#include <climits>
#include <thread>
#include <unordered_map>

#include <QIcon>
#include <QPainter>
#include <QPixmap>

#include "Collation.h"
#include "Scanner.h"
#include "platform/Locale.h"
#include "volume/Glob.h"
#include "volume/Messages.h"
#include "volume/Names.h"
#include "volume/SizeText.h"
#include "volume/Volume.h"

namespace {

const char* const HeaderTexts[TResultModel::ColumnCount] = {" Filename", " Path", " Size", " Date Created",
                                                            " Date Modified"};

// Puts `order` in order of key(entry), keeping the order of entries with
// equal keys: a radix sort by 16 bits at a time, skipping the bits in which
// no two keys differ. Descending order sorts by the keys' complements, so it
// is as stable.
template <class TKey, class KeyOf>
void SortStable(std::vector<std::uint32_t>& order, KeyOf keyOf, bool descending) {
    struct TPair {
        TKey Key;
        std::uint32_t Entry;
    };
    const std::size_t n = order.size();
    std::vector<TPair> from(n), to(n);
    TKey any = 0, all = static_cast<TKey>(~TKey{0});
    for (std::size_t i = 0; i < n; ++i) {
        TKey key = keyOf(order[i]);
        if (descending) key = static_cast<TKey>(~key);
        from[i] = {key, order[i]};
        any |= key;
        all &= key;
    }
    std::vector<std::size_t> start(1 << 16);
    for (unsigned shift = 0; shift < sizeof(TKey) * 8; shift += 16) {
        if ((((any ^ all) >> shift) & 0xFFFF) == 0) continue;
        std::fill(start.begin(), start.end(), 0);
        for (const TPair& p : from) ++start[(p.Key >> shift) & 0xFFFF];
        std::size_t sum = 0;
        for (std::size_t& s : start) sum += std::exchange(s, sum);
        for (const TPair& p : from) to[start[(p.Key >> shift) & 0xFFFF]++] = p;
        from.swap(to);
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = from[i].Entry;
}

// A text's characters folded as the search folds them.
std::u32string Folded(std::string_view text) {
    std::u32string out;
    for (std::size_t at = 0; at < text.size();) out += deruzera::FoldCase(deruzera::NextCharacter(text, at));
    return out;
}

}  // namespace

// The names' order, worked out on a thread of its own once a list comes,
// so that the first sort by name finds it ready.
struct TResultModel::TRankJob {
    std::atomic<bool> Stop{false};
    std::vector<std::uint32_t> Ranks;
    std::thread Worker;
};

TResultModel::TResultModel(QObject* parent)
    : QAbstractTableModel(parent),
      decimalSeparator_(deruzera::platform::DecimalSeparator()),
      times_(deruzera::platform::LocalTimes()),
      pathStart_(1, 0),
      collation_(QLocale::system().collation()) {}

TResultModel::~TResultModel() { StopNameRanks(); }

void TResultModel::SetGridRowCount(int count) {
    const int rows = std::max(count, 1) - 1;
    if (rows == rows_) return;
    beginResetModel();
    rows_ = rows;
    listed_ = std::min<qint64>(listed_, rows_);
    endResetModel();
}

void TResultModel::BeginList(std::shared_ptr<deruzera::TScanResults> results) {
    StopNameRanks();
    results_ = std::move(results);
    attached_ = false;
    listed_ = 0;
    order_ = {};
    shown_ = {};
    passes_ = {};
    directoryOf_ = {};
    paths_.clear();
    pathStart_.assign(1, 0);
    kinds_ = {};
    directoryRanks_ = {};
    nameRanks_ = {};
}

void TResultModel::TakeChunk(const TFoundChunk& chunk) {
    if (!results_) return;
    // The paths arrive in order: the first new one has the index next in line.
    if (chunk.FirstNewPath + 1 == pathStart_.size()) {
        for (const std::string& path : chunk.NewPaths) {
            paths_ += path;
            pathStart_.push_back(static_cast<std::uint32_t>(paths_.size()));
        }
    }
    results_->Files.Append(chunk.Files);
    results_->PassIndex.insert(results_->PassIndex.end(), chunk.PassIndex.begin(), chunk.PassIndex.end());
    directoryOf_.insert(directoryOf_.end(), chunk.Folders.begin(), chunk.Folders.end());
}

void TResultModel::ListEntries(std::shared_ptr<deruzera::TScanResults> results) {
    StopNameRanks();
    beginResetModel();
    const bool chunked = results_ == results && results && directoryOf_.size() == results->Files.size() &&
                         std::all_of(directoryOf_.begin(), directoryOf_.end(),
                                     [&](std::uint32_t d) { return d + 1 < pathStart_.size(); });
    results_ = std::move(results);
    // A pass's files stay in the order it found them: by volume and record,
    // carved ones by where they lie.
    if (results_ && results_->PassIndex.empty()) {
        // Files held back for their paths came later than the walk met them.
        const std::vector<std::uint32_t> from = results_->Files.SortByRecord();
        if (chunked && !from.empty()) {
            std::vector<std::uint32_t> sorted(from.size());
            for (std::size_t i = 0; i < from.size(); ++i) sorted[i] = directoryOf_[from[i]];
            directoryOf_ = std::move(sorted);
        }
    }
    // The zone and the separators as they are now.
    times_ = deruzera::platform::LocalTimes();
    decimalSeparator_ = deruzera::platform::DecimalSeparator();
    // A view counts rows in an int; the bound keeps the cast honest.
    const std::size_t count = results_ ? std::min<std::size_t>(results_->Files.size(), INT_MAX - 1) : 0;
    order_.resize(count);
    order_.shrink_to_fit();
    for (std::size_t i = 0; i < count; ++i) order_[i] = static_cast<std::uint32_t>(i);
    sortColumn_ = -1;
    sortOrder_ = Qt::AscendingOrder;
    kinds_ = {};
    directoryRanks_ = {};
    nameRanks_ = {};
    anyStateKnown_ = false;
    for (std::size_t i = 0; i < count && !anyStateKnown_; ++i)
        anyStateKnown_ = results_->Files[i].State != deruzera::TRecoverability::Unknown;
    if (!chunked) MakePaths();
    directoryOf_.shrink_to_fit();
    paths_.shrink_to_fit();
    attached_ = true;
    ApplyFilter();
    ShowRows();
    endResetModel();
    StartNameRanks();
}

void TResultModel::Detach() {
    attached_ = false;
    if (listed_ == 0) return;
    listed_ = 0;
    if (rows_ > 0) emit dataChanged(index(0, 0), index(rows_ - 1, ColumnCount - 1));
}

void TResultModel::Cut() {
    beginResetModel();
    attached_ = false;
    rows_ = 1;
    listed_ = 0;
    endResetModel();
}

void TResultModel::ShowRows() {
    listed_ = attached_ ? static_cast<qint64>(filtering_ ? shown_.size() : order_.size()) : 0;
    rows_ = static_cast<int>(listed_);
}

// ---- Entries --------------------------------------------------------------------

std::int64_t TResultModel::EntryAt(int gridRow) const {
    const qint64 row = static_cast<qint64>(gridRow) - 1;
    if (gridRow < 1 || row >= listed_ || !results_) return -1;
    return RowEntry(static_cast<std::size_t>(row));
}

const deruzera::TFoundFiles* TResultModel::FileAt(int gridRow) const {
    const std::int64_t entry = EntryAt(gridRow);
    return entry < 0 ? nullptr : &results_->Files[static_cast<std::size_t>(entry)];
}

std::string_view TResultModel::PathOfDirectory(std::uint32_t directory) const {
    return std::string_view(paths_).substr(pathStart_[directory], pathStart_[directory + 1] - pathStart_[directory]);
}

std::string_view TResultModel::EntryPath(std::uint32_t entry) const { return PathOfDirectory(directoryOf_[entry]); }

std::string_view TResultModel::EntryName(std::uint32_t entry) const {
    return results_->Files.Name(results_->Files[entry]);
}

void TResultModel::MakePaths() {
    // Each directory's path once: the files of one directory mostly follow
    // each other, so the last one is asked first.
    directoryOf_.assign(order_.size(), 0);
    directoryOf_.shrink_to_fit();
    paths_.clear();
    pathStart_.assign(1, 0);
    std::unordered_map<std::int64_t, std::uint32_t> known;
    std::int64_t last = -1;
    std::uint32_t lastDirectory = 0;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const std::int64_t parent = results_->Files[i].ParentRecord;
        if (parent != last || i == 0) {
            const auto [it, added] = known.emplace(parent, static_cast<std::uint32_t>(pathStart_.size() - 1));
            if (added) {
                paths_ += results_->FilePath(results_->Files[i]);
                pathStart_.push_back(static_cast<std::uint32_t>(paths_.size()));
            }
            last = parent;
            lastDirectory = it->second;
        }
        directoryOf_[i] = lastDirectory;
    }
    paths_.shrink_to_fit();
}

std::vector<std::uint32_t> TResultModel::EntriesBelow(std::string_view path) const {
    std::vector<char> below(pathStart_.size(), 0);
    for (std::uint32_t d = 0; d + 1 < pathStart_.size(); ++d)
        below[d] = PathOfDirectory(d).substr(0, path.size()) == path;
    std::vector<std::uint32_t> entries;
    for (std::uint32_t e = 0; e < order_.size(); ++e)
        if (below[directoryOf_[e]]) entries.push_back(e);
    return entries;
}

// ---- Sorting ----------------------------------------------------------------------

void TResultModel::StartNameRanks() {
    if (order_.empty()) return;
    nameJob_ = std::make_unique<TRankJob>();
    TRankJob* job = nameJob_.get();
    job->Worker = std::thread([job, results = results_, count = order_.size(), locale = collation_] {
        const TCollation collation(locale);
        job->Ranks = CollationRanks(
            collation, count, [&](std::size_t i) { return results->Files.Name(results->Files[i]); }, &job->Stop);
    });
}

void TResultModel::StopNameRanks() {
    if (!nameJob_) return;
    nameJob_->Stop = true;
    nameJob_->Worker.join();
    nameJob_.reset();
}

void TResultModel::WaitForNameRanks() { NameRanks(); }

const std::vector<std::uint32_t>& TResultModel::NameRanks() {
    if (nameRanks_.size() == order_.size() && !order_.empty()) return nameRanks_;
    if (nameJob_) {
        nameJob_->Worker.join();
        nameRanks_ = std::move(nameJob_->Ranks);
        nameJob_.reset();
    }
    if (nameRanks_.size() != order_.size()) {
        const TCollation collation(collation_);
        nameRanks_ = CollationRanks(collation, order_.size(), [this](std::size_t i) {
            return EntryName(static_cast<std::uint32_t>(i));
        });
        // Past what keys can hold, the names keep the order they have.
        if (nameRanks_.size() != order_.size()) nameRanks_.assign(order_.size(), 0);
    }
    return nameRanks_;
}

const std::vector<std::uint32_t>& TResultModel::DirectoryRanks() {
    const std::size_t directories = pathStart_.size() - 1;
    if (directoryRanks_.size() != directories) {
        const TCollation collation(collation_);
        directoryRanks_ = CollationRanks(collation, directories, [this](std::size_t d) {
            return PathOfDirectory(static_cast<std::uint32_t>(d));
        });
        if (directoryRanks_.size() != directories) directoryRanks_.assign(directories, 0);
    }
    return directoryRanks_;
}

void TResultModel::SetCollation(const QLocale& locale) {
    StopNameRanks();
    collation_ = locale;
    nameRanks_ = {};
    directoryRanks_ = {};
}

void TResultModel::sort(int column, Qt::SortOrder order) {
    if (!results_ || !attached_ || column < 0 || column >= ColumnCount) return;
    beginResetModel();
    const bool descending = order == Qt::DescendingOrder;
    const deruzera::TFoundFileList& files = results_->Files;
    switch (column) {
    case ColFileName: {
        const std::vector<std::uint32_t>& ranks = NameRanks();
        SortStable<std::uint32_t>(order_, [&](std::uint32_t e) { return ranks[e]; }, descending);
        break;
    }
    case ColPath: {
        const std::vector<std::uint32_t>& ranks = DirectoryRanks();
        SortStable<std::uint32_t>(order_, [&](std::uint32_t e) { return ranks[directoryOf_[e]]; }, descending);
        break;
    }
    case ColSize:
        SortStable<std::uint64_t>(
            order_, [&](std::uint32_t e) { return static_cast<std::uint64_t>(std::max<std::int64_t>(files[e].FileSize, 0)); },
            descending);
        break;
    case ColCreated:
        SortStable<std::uint64_t>(order_, [&](std::uint32_t e) { return files[e].Created; }, descending);
        break;
    case ColModified:
        SortStable<std::uint64_t>(order_, [&](std::uint32_t e) { return files[e].Modified; }, descending);
        break;
    default: break;
    }
    sortColumn_ = column;
    sortOrder_ = order;
    if (filtering_) {
        shown_.clear();
        for (std::uint32_t e : order_)
            if ((passes_[e / 64] >> (e % 64)) & 1) shown_.push_back(e);
    }
    ShowRows();
    endResetModel();
}

// ---- Filtering --------------------------------------------------------------------

void TResultModel::MakeKinds() {
    if (kinds_.size() == order_.size()) return;
    kinds_.assign(order_.size(), KindOther);
    // One MIME lookup for each extension, lower-cased.
    std::unordered_map<std::string, std::uint8_t> byExtension;
    std::string extension;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const std::string_view name = EntryName(static_cast<std::uint32_t>(i));
        const std::size_t dot = name.rfind('.');
        if (dot == std::string_view::npos) continue;
        extension.assign(name.substr(dot));
        for (char& c : extension)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        auto it = byExtension.find(extension);
        if (it == byExtension.end())
            it = byExtension.emplace(extension, FileKindOf(QString::fromStdString(extension))).first;
        kinds_[i] = it->second;
    }
}

void TResultModel::SetFilter(const TFilter& filter) {
    beginResetModel();
    filter_ = filter;
    ApplyFilter();
    ShowRows();
    endResetModel();
}

void TResultModel::ApplyFilter() {
    const bool byText = !filter_.Text.isEmpty();
    const bool byKind = (filter_.Kinds & AllKinds) != AllKinds;
    filtering_ = byText || byKind || filter_.RecoverableOnly;
    shown_ = {};
    passes_ = {};
    if (!filtering_ || !results_) return;
    if (byKind) MakeKinds();

    // The search moves along each directory's path once, then along the
    // name of each file in it. A glob matches the name alone, or the whole
    // path and name; a plain text is looked for in path and name.
    const std::string text = filter_.Text.toStdString();
    const bool glob = deruzera::TGlob::HasWildcards(text);
    const deruzera::TGlob search(text, glob ? deruzera::TGlob::Whole : deruzera::TGlob::Contains, true);
    // A glob that begins with "*" matches the whole path and name wherever
    // it matches the name alone.
    const bool nameAlone = glob && text[0] != '*';
    std::vector<deruzera::TGlob::TState> atDirectory;
    if (byText) {
        atDirectory.resize(pathStart_.size() - 1);
        for (std::uint32_t d = 0; d < atDirectory.size(); ++d)
            atDirectory[d] = search.Feed(search.Start(), PathOfDirectory(d));
    }
    const deruzera::TFoundFileList& files = results_->Files;
    passes_.assign(order_.size() / 64 + 1, 0);
    for (std::uint32_t e = 0; e < order_.size(); ++e) {
        const deruzera::TFoundFiles& file = files[e];
        if (byKind && ((filter_.Kinds >> kinds_[e]) & 1) == 0) continue;
        if (filter_.RecoverableOnly && (file.State == deruzera::TRecoverability::Overwritten ||
                                        file.State == deruzera::TRecoverability::Unread))
            continue;
        if (byText) {
            const deruzera::TGlob::TState& at = atDirectory[directoryOf_[e]];
            if (!search.Settled(at)) {
                const std::string_view name = files.Name(file);
                if (!search.Accepts(search.Feed(at, name)) && !(nameAlone && search.Matches(name))) continue;
            }
        }
        passes_[e / 64] |= std::uint64_t{1} << (e % 64);
    }
    for (std::uint32_t e : order_)
        if ((passes_[e / 64] >> (e % 64)) & 1) shown_.push_back(e);
    shown_.shrink_to_fit();
}

int TResultModel::FindName(const QString& prefix, int fromGridRow) const {
    const std::u32string wanted = Folded(prefix.toStdString());
    if (listed_ == 0 || wanted.empty()) return 0;
    const qint64 start = ((static_cast<qint64>(fromGridRow) - 1) % listed_ + listed_) % listed_;
    for (qint64 step = 0; step < listed_; ++step) {
        const qint64 row = (start + step) % listed_;
        const std::string_view name = EntryName(RowEntry(static_cast<std::size_t>(row)));
        std::size_t at = 0;
        std::size_t matched = 0;
        while (matched < wanted.size() && at < name.size() &&
               deruzera::FoldCase(deruzera::NextCharacter(name, at)) == wanted[matched])
            ++matched;
        if (matched == wanted.size()) return static_cast<int>(row + 1);
    }
    return 0;
}

std::size_t TResultModel::Footprint() const {
    const auto bytes = [](const auto& v) { return v.capacity() * sizeof(v[0]); };
    return bytes(order_) + bytes(shown_) + bytes(passes_) + bytes(directoryOf_) + paths_.capacity() +
           bytes(pathStart_) + bytes(kinds_) + bytes(directoryRanks_) + bytes(nameRanks_);
}

// ---- The table ----------------------------------------------------------------------

QString TResultModel::Cell(int column, int gridRow) const {
    if (column < 0 || column >= ColumnCount) return {};
    if (gridRow == 0) return QString::fromLatin1(HeaderTexts[column]);
    const std::int64_t entry = EntryAt(gridRow);
    if (entry < 0) return {};
    return QLatin1Char(' ') + EntryText(column, static_cast<std::uint32_t>(entry));
}

QString TResultModel::EntryText(int column, std::uint32_t entry) const {
    if (!results_ || entry >= results_->Files.size()) return {};
    const deruzera::TFoundFiles& file = results_->Files[entry];
    std::string text;
    // A carved file has no record, so no times: its cells stay empty.
    if (!deruzera::HasTimes(file) && (column == ColCreated || column == ColModified)) return {};
    switch (column) {
    case ColFileName: return ShownText(results_->Files.NameText(file));
    case ColPath: return ShownText(EntryPath(entry));
    case ColSize: text = deruzera::SizeToText(file.FileSize, decimalSeparator_); break;
    case ColCreated: text = times_.FormatFileTime(file.Created); break;
    case ColModified: text = times_.FormatFileTime(file.Modified); break;
    default: return {};
    }
    return QString::fromStdString(text);
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
    if (role == Qt::DisplayRole) return Cell(index.column(), index.row() + 1);
    if (role == Qt::ToolTipRole) {
        // The whole of a name or path: its folder and the name.
        const std::int64_t entry = EntryAt(index.row() + 1);
        if (entry < 0) return {};
        if (index.column() == ColFileName || index.column() == ColPath) {
            const auto e = static_cast<std::uint32_t>(entry);
            std::string full(EntryPath(e));
            full += EntryName(e);
            QString tip = ShownText(full);
            if (UnresolvedPath(EntryPath(e))) tip += QLatin1Char('\n') + QString::fromUtf8(UnresolvedPathTip);
            return WrappingToolTip(tip);
        }
        return Cell(index.column(), index.row() + 1).trimmed();
    }
    return {};
}

QString TResultModel::ShownText(std::string_view text) {
    // Only bytes that can begin such a character need the slower look.
    const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F || byte == 0xC2 || byte == 0xD8 || byte == 0xE2;
    });
    if (plain) return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    return QString::fromStdString(deruzera::MapUnsafeCharacters(text));
}

QVariant TResultModel::StateDot(deruzera::TRecoverability state) {
    // The same picture for a selected row: a selected pixmap would be
    // tinted with the selection's colour, and orange and red turn brown.
    auto icon = [](const QPixmap& dot) {
        QIcon both;
        both.addPixmap(dot, QIcon::Normal);
        both.addPixmap(dot, QIcon::Selected);
        return both;
    };
    static const QIcon dots[] = {icon(Dot(QColor(0x00, 0x80, 0x00))), icon(Dot(QColor(0xE0, 0x8A, 0x00))),
                                 icon(Dot(QColor(0xD0, 0x00, 0x00))), icon(Dot(QColor(0x90, 0x90, 0x90), false))};
    switch (state) {
    case deruzera::TRecoverability::Intact:
    case deruzera::TRecoverability::Carved: return dots[0];
    case deruzera::TRecoverability::Partial:
    case deruzera::TRecoverability::CarvedIncomplete:
    case deruzera::TRecoverability::PartlyUnread: return dots[1];
    case deruzera::TRecoverability::Overwritten:
    case deruzera::TRecoverability::Unread: return dots[2];
    case deruzera::TRecoverability::Unknown: return dots[3];
    }
    return dots[3];
}

QPixmap TResultModel::Dot(const QColor& colour, bool filled) {
    QPixmap dot(8, 8);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(filled ? QPen(Qt::NoPen) : QPen(colour, 1.2));
    painter.setBrush(filled ? QBrush(colour) : QBrush(Qt::NoBrush));
    painter.drawEllipse(filled ? QRectF(0.5, 0.5, 7, 7) : QRectF(1, 1, 6, 6));
    return dot;
}

QString TResultModel::WrappingToolTip(const QString& text) {
    QString html = text.toHtmlEscaped();
    html.replace(QLatin1Char('\\'), QStringLiteral("\\&#8203;"));
    html.replace(QLatin1Char('/'), QStringLiteral("/&#8203;"));
    html.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
    return QStringLiteral("<p style='white-space:pre-wrap'>") + html + QStringLiteral("</p>");
}

QVariant TResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section >= 0 && section < ColumnCount) {
        if (role == Qt::DisplayRole) return QString::fromLatin1(HeaderTexts[section]);
        if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        if (role == Qt::InitialSortOrderRole) return QVariant::fromValue(Qt::AscendingOrder);
    }
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags TResultModel::flags(const QModelIndex& index) const {
    // A row may be selected exactly when its first cell holds text; only
    // listed rows do.
    if (!index.isValid() || index.row() >= listed_) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
