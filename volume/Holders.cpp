// The holders of overwritten clusters: the live extents noted during the
// walk, searched at its end for each overwritten file's runs.
#include "Holders.h"

#include <algorithm>
#include <set>

namespace deruzera {
namespace {

// The files named as now holding an overwritten file's clusters: the first
// few by path, chosen among at most this many.
constexpr std::size_t OwnersShown = 3;
constexpr std::size_t OwnersConsidered = 64;

}  // namespace

void TLiveFiles::Note(const TRecordView& view, std::int64_t owner, TBytes name, const TVolume& volume) {
    for (std::size_t i = 0; i < view.ExtentCount; ++i) {
        const TBytes a = view.Extents[i];
        const std::size_t runOffset = ReadU16(a, NonResident::RunListOffset);
        try {
            ForEachRun(a.subspan(runOffset), volume.BytesPerCluster, volume.ClusterCount, [&](const TDataRun& run) {
                if (run.Lcn >= 0) Extents.push_back({run.Lcn, static_cast<std::int64_t>(run.Length), owner});
            });
        } catch (const ERecordError&) {
        }
    }
    // A file's name, for naming it as the holder of clusters; folders are
    // named by the directory table.
    if (name.size() > FileName::Chars) {
        const std::size_t length =
            std::min<std::size_t>(2 * std::size_t{ReadU8(name, FileName::Length)}, name.size() - FileName::Chars);
        Names.push_back({owner, RecordNumberOf(ParentReferenceOf(name)), NameBytes.size(), length});
        NameBytes.insert(NameBytes.end(), name.begin() + FileName::Chars, name.begin() + FileName::Chars + length);
    }
}

namespace {

// The path of a live file or folder by its record, for naming it.
std::string OwnerPath(std::int64_t owner, const TLiveFiles& live, const TDirectoryTable& directories,
                      const std::string& drive) {
    std::string name;
    std::int64_t parent;
    if (owner == RootRecord) return drive + "\\";
    if (directories.Lookup(owner, name, parent)) return directories.PathOf(owner, drive);
    const auto file = std::lower_bound(live.Names.begin(), live.Names.end(), owner,
                                       [](const TLiveFiles::TName& l, std::int64_t r) { return l.Record < r; });
    if (file != live.Names.end() && file->Record == owner)
        return directories.PathOf(file->Parent, drive) + "\\" +
               Utf16ToUtf8(TBytes(live.NameBytes).subspan(file->Offset, file->Length));
    return "*\\" + std::to_string(owner);
}

}  // namespace

void NameHolders(TLiveFiles& liveFiles, const std::map<std::int64_t, std::vector<TVcnRun>>& overwritten,
                 const TDirectoryTable& directories, const std::string& drive, TOverwriters& holders) {
    if (overwritten.empty()) return;
    std::vector<TLiveFiles::TExtent>& live = liveFiles.Extents;
    std::sort(live.begin(), live.end(), [](const auto& a, const auto& b) { return a.Lcn < b.Lcn; });
    // The longest live extent, to know how far back one may start and still
    // reach a given cluster.
    std::int64_t longest = 0;
    for (const auto& e : live) longest = std::max(longest, e.Length);
    for (const auto& [record, runs] : overwritten) {
        std::set<std::int64_t> owners;
        for (const TVcnRun& run : runs) {
            if (run.Lcn < 0 || owners.size() >= OwnersConsidered) continue;
            const std::int64_t end = run.Lcn + static_cast<std::int64_t>(run.Length);
            auto it = std::lower_bound(live.begin(), live.end(), run.Lcn - longest,
                                       [](const auto& e, std::int64_t lcn) { return e.Lcn < lcn; });
            for (; it != live.end() && it->Lcn < end && owners.size() < OwnersConsidered; ++it)
                if (it->Lcn + it->Length > run.Lcn) owners.insert(it->Owner);
        }
        std::vector<std::string> paths;
        for (const std::int64_t owner : owners) paths.push_back(OwnerPath(owner, liveFiles, directories, drive));
        std::sort(paths.begin(), paths.end());
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
        if (paths.size() > OwnersShown) paths.resize(OwnersShown);
        holders.Set(record, std::move(paths));
    }
}

}  // namespace deruzera
