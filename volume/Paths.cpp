// Directory paths from the parent references of $FILE_NAME: the directories
// a scan saw, or the directory records read from the volume for one file.
// Also the list of found files with its pool of names.
#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_set>

#include "Layout.h"
#include "Scan.h"
#include "Volume.h"

namespace deruzera {
namespace {

// A path that Windows can use holds 32767 UTF-16 units, and no real tree
// nests deeper than these bounds; a damaged one that seems to (or a chain
// that loops) is cut short with "*" instead of being followed without end.
constexpr std::size_t MaxPathDepth = 1024;
constexpr std::size_t MaxPathBytes = 32767 * 3;

struct TLink {
    std::string_view Name;  // lives as long as the path is being built
    std::int64_t Parent = 0;
};

// Walks up from directory `n` through `lookup` (a directory's name and
// parent, or nothing where the record is no directory or can't be read)
// until the root or a directory that can't be resolved, and puts the path
// together: the drive for the root, "*" where the chain breaks, loops or
// runs too deep.
template <class Lookup>
std::string BuildPath(std::int64_t n, const std::string& drive, Lookup&& lookup) {
    std::vector<std::string_view> names;  // child first
    // The records on the chain, to see a loop: a short chain is searched
    // as it stands, a long one through a set.
    std::vector<std::int64_t> chain;
    std::unordered_set<std::int64_t> longChain;
    auto onChain = [&](std::int64_t r) {
        if (longChain.empty()) return std::find(chain.begin(), chain.end(), r) != chain.end();
        return longChain.count(r) != 0;
    };
    std::size_t bytes = 0;
    std::string base;
    for (;;) {
        if (n == RootRecord) {
            base = drive;
            break;
        }
        if (n < 0 || onChain(n) || names.size() >= MaxPathDepth || bytes > MaxPathBytes) {
            base = "*";
            break;
        }
        std::optional<TLink> link = lookup(n);
        if (!link) {
            base = "*";
            break;
        }
        bytes += link->Name.size() + 1;
        names.push_back(link->Name);
        chain.push_back(n);
        if (chain.size() == 64) longChain.insert(chain.begin(), chain.end());
        if (!longChain.empty()) longChain.insert(n);
        n = link->Parent;
    }
    base.reserve(base.size() + bytes);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        base += '\\';
        base += *it;
    }
    return base;
}

}  // namespace

// ---- Found files ----------------------------------------------------------------

void TFoundFileList::Add(TFoundFiles file, std::string_view name) {
    file.NameOffset = names_.size();
    file.NameLength = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), UINT16_MAX));
    names_.append(name.data(), file.NameLength);
    files_.push_back(file);
}

void TFoundFileList::Add(TFoundFiles file, std::string_view name, TFoundExtras extras) {
    file.Flags = static_cast<std::uint8_t>(file.Flags & ~FoundExtras);
    if (!extras.empty()) {
        file.Flags |= FoundExtras;
        extras_[file.Record] = std::move(extras);
    }
    Add(file, name);
}

const TFoundExtras* TFoundFileList::Extras(const TFoundFiles& file) const {
    if ((file.Flags & FoundExtras) == 0) return nullptr;
    const auto it = extras_.find(file.Record);
    return it == extras_.end() ? nullptr : &it->second;
}

void TFoundFileList::Append(const TFoundFileList& other) {
    for (const auto& [record, extras] : other.extras_) extras_[record] = extras;
    const std::uint64_t base = names_.size();
    names_ += other.names_;
    // Room grows by half again at least, as push_back's does: reserving the
    // exact size each time would copy the whole list for every batch.
    const std::size_t needed = files_.size() + other.files_.size();
    if (needed > files_.capacity()) files_.reserve(std::max(needed, files_.capacity() + files_.capacity() / 2));
    for (TFoundFiles file : other.files_) {
        file.NameOffset += base;
        files_.push_back(file);
    }
}

std::string_view TFoundFileList::Name(const TFoundFiles& file) const {
    if (file.NameOffset > names_.size()) return {};
    return std::string_view(names_).substr(file.NameOffset, file.NameLength);
}

void TFoundFileList::clear() {
    files_.clear();
    names_.clear();
    extras_.clear();
}

std::vector<std::uint32_t> TFoundFileList::SortByRecord() {
    const auto byRecord = [this](std::uint32_t a, std::uint32_t b) { return files_[a].Record < files_[b].Record; };
    std::vector<std::uint32_t> from(files_.size());
    for (std::uint32_t i = 0; i < from.size(); ++i) from[i] = i;
    if (std::is_sorted(from.begin(), from.end(), byRecord)) return {};
    std::stable_sort(from.begin(), from.end(), byRecord);
    std::vector<TFoundFiles> sorted;
    sorted.reserve(files_.size());
    for (std::uint32_t i : from) sorted.push_back(files_[i]);
    files_ = std::move(sorted);
    return from;
}

// ---- The directories a scan saw ---------------------------------------------------

const TDirectoryTable::TEntry* TDirectoryTable::Find(std::int64_t record) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), record,
                                     [](const TEntry& e, std::int64_t r) { return e.Record < r; });
    return it != entries_.end() && it->Record == record ? &*it : nullptr;
}

void TDirectoryTable::Add(std::int64_t record, std::int64_t parent, std::string_view name) {
    // The walk adds records in ascending order; a later record that names
    // an earlier one (an extension record) goes in its place.
    auto it = entries_.end();
    if (!entries_.empty() && entries_.back().Record >= record) {
        it = std::lower_bound(entries_.begin(), entries_.end(), record,
                              [](const TEntry& e, std::int64_t r) { return e.Record < r; });
        if (it != entries_.end() && it->Record == record && !it->Pending) return;
    }
    TEntry entry;
    entry.Record = record;
    entry.Parent = parent;
    entry.NameOffset = names_.size();
    entry.NameLength = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), UINT16_MAX));
    names_.append(name.data(), entry.NameLength);
    if (it != entries_.end() && it->Record == record) *it = entry;
    else entries_.insert(it, entry);
}

void TDirectoryTable::AddPending(std::int64_t record, std::int64_t at) {
    if (Find(record)) return;
    Add(record, at, {});
    auto it = std::lower_bound(entries_.begin(), entries_.end(), record,
                               [](const TEntry& e, std::int64_t r) { return e.Record < r; });
    it->Pending = true;
}

bool TDirectoryTable::IsPending(std::int64_t record) const {
    const TEntry* e = Find(record);
    return e && e->Pending;
}

bool TDirectoryTable::Lookup(std::int64_t record, std::string& name, std::int64_t& parent) const {
    const TEntry* e = Find(record);
    if (!e || e->Pending) return false;
    name = names_.substr(e->NameOffset, e->NameLength);
    parent = e->Parent;
    return true;
}

std::string TDirectoryTable::PathOf(std::int64_t record, const std::string& drive) const {
    return BuildPath(record, drive, [this](std::int64_t n) -> std::optional<TLink> {
        const TEntry* e = Find(n);
        if (!e || e->Pending) return std::nullopt;
        return TLink{std::string_view(names_).substr(e->NameOffset, e->NameLength), e->Parent};
    });
}

std::int64_t TDirectoryTable::PendingAncestor(std::int64_t record, std::int64_t position) {
    // Most files lie in folders already found whole. The small table holds
    // only folders the table has marked complete, which they stay.
    std::int64_t& recent = recentComplete_[static_cast<std::uint64_t>(record) % RecentComplete];
    if (record == recent && record < position) return -1;
    std::vector<TEntry*>& chain = chain_;
    chain.clear();
    std::int64_t n = record;
    for (;;) {
        if (n == RootRecord || n < 0) break;
        if (n >= position) return n;
        auto it = std::lower_bound(entries_.begin(), entries_.end(), n,
                                   [](const TEntry& e, std::int64_t r) { return e.Record < r; });
        if (it == entries_.end() || it->Record != n) break;
        if (it->Complete) {
            if (n == record) recent = record;
            break;
        }
        // A name that an extension record still to come will give.
        if (it->Pending) {
            if (it->Parent >= position) return it->Parent;
            break;
        }
        // A loop, or a chain deeper than any path: it ends here for good.
        if (chain.size() >= MaxPathDepth || std::find(chain.end() - std::min<std::size_t>(chain.size(), 64), chain.end(), &*it) != chain.end())
            break;
        chain.push_back(&*it);
        n = it->Parent;
    }
    for (TEntry* e : chain) e->Complete = true;
    if (!chain.empty() && chain.front()->Record == record) recent = record;
    return -1;
}

TNtfsVolume* TScanResults::VolumeOf(const TFoundFiles& file) const {
    if (file.Snapshot == 0) return Volume.get();
    const std::size_t at = file.Snapshot - 1u;
    return at < Snapshots.size() ? Snapshots[at].get() : nullptr;
}

std::string TScanResults::FilePath(const TFoundFiles& file) const { return FolderPath(file.ParentRecord, file); }

std::string TFoundBatch::FilePath(const TFoundFiles& file) const { return FolderPath(file.ParentRecord); }

std::string TFoundBatch::FolderPath(std::int64_t folder) const {
    return Volume.Directories().PathOf(folder, Volume.Drive()) + "\\";
}

std::string TScanResults::FolderPath(std::int64_t folder) const {
    return Volume->Directories().PathOf(folder, Volume->Drive()) + "\\";
}

std::string TScanResults::FolderPath(std::int64_t folder, const TFoundFiles& file) const {
    const TNtfsVolume* volume = VolumeOf(file);
    if (volume == nullptr) return "*\\";
    return volume->Directories().PathOf(folder, volume->Drive()) + "\\";
}

// ---- Paths of the open volume -------------------------------------------------------

std::string TNtfsVolume::DirectoryPath(std::int64_t record) {
    if (scanned_) return directories_.PathOf(record, Drive());
    std::lock_guard lock(readMutex_);
    return BuildPath(record, Drive(), [this](std::int64_t r) -> std::optional<TLink> {
        auto it = read_.find(r);
        if (it == read_.end()) it = read_.emplace(r, ReadDirectory(r)).first;
        if (!it->second) return std::nullopt;
        return TLink{it->second->first, it->second->second};
    });
}

}  // namespace deruzera
