// The deleted-file scan: every MFT record from 16 on whose header flags are
// 0 (not in use, not a directory) is listed with its name, directory path,
// size, times and whether its clusters still hold its content. One walk of
// the MFT in order reads every record once: the directories it passes give
// the paths, the files in use give who holds which clusters now, and the
// extension records give the extents of files with attribute lists.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <queue>
#include <set>
#include <thread>

#include "Attributes.h"
#include "Bitmap.h"
#include "Fixup.h"
#include "Layout.h"
#include "Messages.h"
#include "Mft.h"
#include "Runs.h"
#include "Scan.h"

namespace deruzera {
namespace {

constexpr std::int64_t ProgressEvery = 128;
// How many records ahead the walk asks for the bytes it will read.
constexpr std::size_t PrefetchAhead = 4;
// The walk reads the MFT this many bytes at a time.
constexpr std::size_t ScanChunkBytes = 1 << 18;
// A device that fails this many chunks in a row, record by record, is gone.
constexpr int MaxFailedChunks = 16;
// The files named as now holding an overwritten file's clusters: the first
// few by path, chosen among at most this many.
constexpr std::size_t OwnersShown = 3;
constexpr std::size_t OwnersConsidered = 64;
// Files held back for the end of the walk.
constexpr std::int64_t AtTheEnd = INT64_MAX - 1;

// The state of a found file from its clusters.
void Recoverability(const TDataStream& stream, TClusterBitmap& bitmap, std::uint32_t cluster, TFoundFiles& found) {
    std::uint64_t stored = 0;
    found.OverwrittenBytes = OverwrittenBytes(stream, bitmap, cluster, stored);
    found.State = StateOf(found.OverwrittenBytes, stored);
}

std::uint8_t FlagsOf(const TDataStream& stream, TBytes standardInformation) {
    std::uint8_t flags = 0;
    if (stream.Compressed()) flags |= FoundCompressed;
    if ((stream.Flags & AttrEncrypted) != 0 ||
        (ReadU32(standardInformation, StandardInformation::FileFlags) & FileAttributeEncrypted) != 0)
        flags |= FoundEncrypted;
    if ((stream.Flags & AttrSparse) != 0) flags |= FoundSparse;
    return flags;
}

// A record as the walk needs it: fixed up, its attributes found. Made on the
// reading thread, a chunk ahead of the walk.
struct TPrepared {
    // InUse: a file in use, left to the walk to note where its clusters lie.
    enum TKind : std::uint8_t { Nothing, Directory, DeletedFile, InUse, Extension };
    TKind Kind = Nothing;
    bool InUseFlag = false;
    // Where in the record the attributes the walk reads begin; 0 for none.
    // The name is the long one, else the 8.3 alias.
    std::uint32_t StandardInformation = 0, Name = 0, Data = 0, AttributeList = 0;

    void Keep(TBytes record, const TRecordView& view) {
        auto offset = [&](TBytes a) { return a.empty() ? 0 : static_cast<std::uint32_t>(a.data() - record.data()); };
        StandardInformation = offset(view.StandardInformation);
        Name = offset(view.Name());
        Data = offset(view.Data);
        AttributeList = offset(view.AttributeList);
    }
};

// Asks the processor for the cache line holding `p`, where the compiler can.
inline void Prefetch(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Asks for the cache lines of a record that the walk will read.
void PrefetchRecord(const std::uint8_t* at, std::size_t recordSize, const TPrepared& prepared) {
    if (prepared.Kind == TPrepared::InUse) {
        // The header and the attributes, and the end of each sector for the fixup.
        for (std::size_t offset = 0; offset < std::min<std::size_t>(recordSize, 512); offset += 64) Prefetch(at + offset);
        for (std::size_t offset = 510; offset < recordSize; offset += 512) Prefetch(at + offset);
    } else if (prepared.Kind != TPrepared::Nothing) {
        // The header, the times, the parent and the name, and the sizes and runs.
        const std::uint32_t si = prepared.StandardInformation, name = prepared.Name, data = prepared.Data;
        for (const std::uint32_t offset : {0u, si, si + 56, name, name + 64, name + 128, data, data + 56})
            if (offset < recordSize) Prefetch(at + offset);
    }
}

// An attribute Prepare found, by where it begins; its length was checked then.
TBytes AttributeAt(TBytes record, std::uint32_t offset) {
    return offset == 0 ? TBytes{} : record.subspan(offset, ReadU32(record, offset + AttrHeader::Length));
}

// Where the files and folders in use keep their clusters, and the names of
// the files among them (as stored, UTF-16: made text only for the few named
// as holders of an overwritten file's clusters). In record order.
struct TLiveFiles {
    struct TExtent {
        std::int64_t Lcn, Length, Owner;
    };
    struct TName {
        std::int64_t Record, Parent;
        std::size_t Offset;
        std::size_t Length;
    };
    std::vector<TExtent> Extents;
    std::vector<TName> Names;
    std::vector<std::uint8_t> NameBytes;

    void Note(const TRecordView& view, std::int64_t owner, TBytes name, const TVolume& volume);
    void Append(const TLiveFiles& other) {
        Extents.insert(Extents.end(), other.Extents.begin(), other.Extents.end());
        for (TName n : other.Names) {
            n.Offset += NameBytes.size();
            Names.push_back(n);
        }
        NameBytes.insert(NameBytes.end(), other.NameBytes.begin(), other.NameBytes.end());
    }
    // Room for about `files` files, so that growing doesn't copy what is held.
    void Reserve(std::size_t files) {
        Extents.reserve(files);
        Names.reserve(files);
        NameBytes.reserve(files * 32);
    }
    void clear() {
        Extents.clear();
        Names.clear();
        NameBytes.clear();
    }
};

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

// Fixes up the records of a chunk the walk will look into and finds their
// attributes. Records neither in use nor a deleted file or folder carry
// nothing to know, nor do files in use where nobody asks who holds
// clusters; the flags lie away from the fixup's positions, so they are
// tested first. Where `live` is given, the clusters of the folders and
// extension records in use are noted there, and those of the files in use
// too, unless `leaveFilesInUse` leaves them to the walk.
void Prepare(std::uint8_t* chunk, std::size_t records, std::size_t recordSize, std::int64_t first,
             const TVolume& volume, TLiveFiles* live, bool leaveFilesInUse, std::vector<TPrepared>& prepared) {
    prepared.resize(records);
    if (live) live->clear();
    for (std::size_t i = 0; i < records; ++i) {
        TPrepared& p = prepared[i];
        p.Kind = TPrepared::Nothing;
        const std::span<std::uint8_t> record(chunk + i * recordSize, recordSize);
        if (record.size() < RecordHeader::Size || std::memcmp(record.data(), "FILE", 4) != 0) continue;
        const std::uint16_t flags = ReadU16(record, RecordHeader::Flags);
        const bool inUse = (flags & RecordInUse) != 0;
        const bool directory = flags == RecordIsDirectory || flags == (RecordIsDirectory | RecordInUse);
        const std::int64_t base = RecordNumberOf(ReadU64(record, RecordHeader::BaseRecord));
        if (!inUse && flags != 0 && !directory) continue;
        if (inUse && !directory && base == 0 && (!live || leaveFilesInUse)) {
            if (live) p.Kind = TPrepared::InUse;
            continue;
        }
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            continue;
        }
        p.InUseFlag = inUse;
        const TRecordView view = ViewRecord(record);
        // A file in use noted here leaves nothing for the walk.
        p.Kind = inUse && !directory && base == 0 ? TPrepared::Nothing
                 : base != 0                      ? TPrepared::Extension
                 : directory                      ? TPrepared::Directory
                                                  : TPrepared::DeletedFile;
        p.Keep(record, view);
        if (!live || !inUse) continue;
        // An extension record's clusters belong to its base.
        if (p.Kind == TPrepared::Extension) live->Note(view, base, {}, volume);
        else if (view.NonResident)
            live->Note(view, first + static_cast<std::int64_t>(i), directory ? TBytes{} : view.Name(), volume);
    }
}

// The attributes of an extension record that a base record may need later:
// its names and unnamed $DATA extents, with its base reference.
struct TStashed {
    std::uint64_t Base = 0;
    TDynamicCharArray Attributes;  // ends with an end marker
};

// One walk of the MFT: the files found, the directories seen, the files in
// use and where their clusters lie, and the files held back until the walk
// has passed what they need.
class TWalk {
public:
    TWalk(TDevice& device, TScanOutcome& outcome, TScanSink& sink, TClusterBitmap* bitmap)
        : device_(device), outcome_(outcome), volume_(outcome.Volume), sink_(sink), bitmap_(bitmap) {}

    void Record(std::span<std::uint8_t> record, const TPrepared& prepared, std::int64_t n);
    // The clusters of the files in use among the records walked next; about
    // `files` files will come.
    void Live(const TLiveFiles& live) { live_.Append(live); }
    void ExpectLive(std::size_t files) { live_.Reserve(files); }
    // Hands the files whose paths are complete at `position` to the sink.
    void Deliver(std::int64_t position);
    // The end of the walk: files with attribute lists put together, the
    // holders of overwritten clusters named, everything handed over.
    void Finish();

private:
    void ListFile(TBytes record, const TPrepared& prepared, std::int64_t n);
    void Hold(const TFoundFiles& found, std::string_view name, std::int64_t blockedAt);
    void Found(const TFoundFiles& found, std::string_view name, const TDataStream& stream);
    void Stash(TBytes record, std::int64_t n, bool inUse);
    void AssembleListedFiles();
    void NameOwners();
    std::string OwnerPath(std::int64_t owner) const;
    TDynamicCharArray Fetch(std::int64_t record, std::int64_t base, std::uint16_t sequence) const;

    TDevice& device_;
    TScanOutcome& outcome_;
    const TVolume& volume_;
    TScanSink& sink_;
    TClusterBitmap* bitmap_;
    TFoundFileList batch_;
    // Held back: the record whose walk completes the file, and the file.
    struct THeld {
        std::int64_t BlockedAt;
        std::size_t Index;
        bool operator>(const THeld& other) const { return BlockedAt > other.BlockedAt; }
    };
    std::priority_queue<THeld, std::vector<THeld>, std::greater<>> blocked_;
    TFoundFileList held_;
    TLiveFiles live_;
    // The runs of overwritten files, for naming who holds them.
    std::map<std::int64_t, std::vector<TVcnRun>> overwritten_;
    // Base records with attribute lists, put together at the end.
    struct TListed {
        std::int64_t Record;
        TDynamicCharArray Bytes;
    };
    std::vector<TListed> listed_;
    std::map<std::int64_t, TStashed> stash_;
};

void TWalk::Record(std::span<std::uint8_t> record, const TPrepared& prepared, std::int64_t n) {
    if (prepared.Kind == TPrepared::Nothing) return;
    if (prepared.Kind == TPrepared::InUse) {
        // A file in use: where its clusters lie, and its name to name it by.
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            return;
        }
        const TRecordView view = ViewRecord(record);
        if (view.NonResident) live_.Note(view, n, view.Name(), volume_);
        return;
    }
    if (prepared.Kind == TPrepared::Extension) {
        // An extension record: a base walked later (or at the end) may need
        // its attributes.
        Stash(record, n, prepared.InUseFlag);
        return;
    }
    const bool directory = prepared.Kind == TPrepared::Directory;
    if (directory) {
        const TBytes name = AttributeAt(record, prepared.Name);
        if (!name.empty()) {
            outcome_.Directories.Add(n, RecordNumberOf(ParentReferenceOf(name)), FileNameOf(name));
            return;
        }
        // The name lives in an extension record.
        const TDynamicCharArray list = ReadAttributeList(record, nullptr, volume_);
        for (std::size_t p = 0; p + ListEntry::Size <= list.size();) {
            const std::size_t length = ReadU16(list, p + ListEntry::Length);
            if (length < ListEntry::Size) break;
            const std::int64_t at = RecordNumberOf(ReadU64(list, p + ListEntry::Record));
            if (ReadU32(list, p + ListEntry::Type) == AttrFileName && at != n) {
                const auto it = stash_.find(at);
                const TBytes stashed = it == stash_.end() ? TBytes{} : FileNameAttribute(it->second.Attributes);
                if (!stashed.empty() && RecordNumberOf(it->second.Base) == n)
                    outcome_.Directories.Add(n, RecordNumberOf(ParentReferenceOf(stashed)), FileNameOf(stashed));
                else if (at > n)
                    outcome_.Directories.AddPending(n, at);
                break;
            }
            p += length;
        }
        return;
    }
    if (prepared.Kind == TPrepared::DeletedFile && n >= FirstUserRecord) ListFile(record, prepared, n);
}

void TWalk::Stash(TBytes record, std::int64_t n, bool inUse) {
    // Kept: names (a folder or file may have its name here) and, where the
    // record is free, the $DATA extents of the deleted file it belonged to.
    TDynamicCharArray kept;
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        const std::uint32_t type = ReadU32(a, AttrHeader::Type);
        if (type == AttrFileName || (!inUse && type == AttrData && ReadU8(a, AttrHeader::NameLength) == 0))
            kept.insert(kept.end(), a.begin(), a.end());
    }
    if (kept.empty()) return;
    const std::uint64_t base = ReadU64(record, RecordHeader::BaseRecord);
    const TBytes name = FindAttributeView(kept, AttrFileName, false);
    // A folder walked already that waits for its name from here.
    if (!name.empty() && RecordNumberOf(base) < n) {
        std::string ignored;
        std::int64_t parent;
        if (!outcome_.Directories.Lookup(RecordNumberOf(base), ignored, parent))
            outcome_.Directories.Add(RecordNumberOf(base), RecordNumberOf(ParentReferenceOf(FileNameAttribute(kept))),
                                     FileNameOf(FileNameAttribute(kept)));
    }
    for (int i = 0; i < 4; ++i) kept.push_back(0xFF);
    kept.resize((kept.size() + 7) / 8 * 8, 0);
    stash_[n] = {base, std::move(kept)};
}

void TWalk::ListFile(TBytes record, const TPrepared& prepared, std::int64_t n) {
    const TBytes si = AttributeAt(record, prepared.StandardInformation);
    if (si.empty()) return;
    TFoundFiles found;
    found.Record = n;
    found.Created = ReadU64(si, StandardInformation::Created);
    found.Modified = ReadU64(si, StandardInformation::Modified);
    found.Sequence = ReadU16(record, RecordHeader::Sequence);
    // A file whose attributes spilled into extension records is put
    // together when the walk has passed them all.
    if (prepared.AttributeList != 0) {
        listed_.push_back({n, TDynamicCharArray(record.begin(), record.end())});
        return;
    }
    const TBytes fileName = AttributeAt(record, prepared.Name);
    if (fileName.empty()) return;
    const TBytes data = AttributeAt(record, prepared.Data);
    if (data.empty()) return;
    // The size: the value length of a resident $DATA, the real size of a
    // non-resident one.
    const bool nonResident = ReadU8(data, AttrHeader::NonResident) == 1;
    const std::uint64_t size = nonResident ? ReadU64(data, NonResident::DataSize) : ReadU32(data, Resident::ValueLength);
    found.ParentRecord = RecordNumberOf(ParentReferenceOf(fileName));
    found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(size, INT64_MAX));
    TDataStream stream;
    try {
        stream = StreamOfAttribute(data, volume_);
        found.Flags = FlagsOf(stream, si);
    } catch (const ERecordError&) {
        stream = TDataStream{};  // damaged runs: listed, with nothing known of its clusters
    }
    Found(found, FileNameOf(fileName), stream);
}

void TWalk::Found(const TFoundFiles& file, std::string_view name, const TDataStream& stream) {
    TFoundFiles found = file;
    if (bitmap_) Recoverability(stream, *bitmap_, volume_.BytesPerCluster, found);
    ++outcome_.FoundCount;
    // Who holds an overwritten file's clusters is known at the end of the walk.
    if (found.State == TRecoverability::Partial || found.State == TRecoverability::Overwritten) {
        overwritten_[found.Record] = stream.Runs;
        Hold(found, name, AtTheEnd);
        return;
    }
    const std::int64_t blockedAt = outcome_.Directories.PendingAncestor(found.ParentRecord, found.Record + 1);
    if (blockedAt < 0) batch_.Add(found, name);
    else Hold(found, name, blockedAt);
}

void TWalk::Hold(const TFoundFiles& found, std::string_view name, std::int64_t blockedAt) {
    blocked_.push({blockedAt, held_.size()});
    held_.Add(found, name);
}

TDynamicCharArray TWalk::Fetch(std::int64_t record, std::int64_t base, std::uint16_t sequence) const {
    const auto it = stash_.find(record);
    if (it == stash_.end() || RecordNumberOf(it->second.Base) != base) return {};
    const std::uint16_t theirs = SequenceOf(it->second.Base);
    if (theirs != sequence && static_cast<std::uint16_t>(theirs + 1) != sequence) return {};
    return it->second.Attributes;
}

void TWalk::AssembleListedFiles() {
    for (const TListed& listed : listed_) {
        const TBytes record = listed.Bytes;
        const std::uint16_t sequence = ReadU16(record, RecordHeader::Sequence);
        auto fetch = [&](std::int64_t n) { return Fetch(n, listed.Record, sequence); };
        TBytes fileName = FileNameAttribute(record);
        TDynamicCharArray stashedName;
        if (fileName.empty()) {
            // The name, too, may live in an extension record.
            const TDynamicCharArray list = ReadAttributeList(record, &device_, volume_);
            for (std::size_t p = 0; p + ListEntry::Size <= list.size() && fileName.empty();) {
                const std::size_t length = ReadU16(list, p + ListEntry::Length);
                if (length < ListEntry::Size) break;
                if (ReadU32(list, p + ListEntry::Type) == AttrFileName) {
                    stashedName = fetch(RecordNumberOf(ReadU64(list, p + ListEntry::Record)));
                    fileName = FileNameAttribute(stashedName);
                }
                p += length;
            }
        }
        if (fileName.empty()) continue;
        TFoundFiles found;
        found.Record = listed.Record;
        const TBytes si = FindAttributeView(record, AttrStandardInformation, false);
        found.Created = ReadU64(si, StandardInformation::Created);
        found.Modified = ReadU64(si, StandardInformation::Modified);
        found.Sequence = sequence;
        found.ParentRecord = RecordNumberOf(ParentReferenceOf(fileName));
        TDataStream stream;
        try {
            stream = StreamOfRecord(record, listed.Record, volume_, &device_, fetch);
        } catch (const ERecordError&) {
            stream = TDataStream{};
        }
        if (!stream.Found) continue;
        found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(stream.DataSize, INT64_MAX));
        found.Flags = FlagsOf(stream, si);
        TFoundFiles placed = found;
        if (bitmap_) Recoverability(stream, *bitmap_, volume_.BytesPerCluster, placed);
        ++outcome_.FoundCount;
        if (placed.State == TRecoverability::Partial || placed.State == TRecoverability::Overwritten)
            overwritten_[placed.Record] = stream.Runs;
        Hold(placed, FileNameOf(fileName), AtTheEnd);
    }
    listed_.clear();
}

std::string TWalk::OwnerPath(std::int64_t owner) const {
    std::string name;
    std::int64_t parent;
    if (owner == RootRecord) return volume_.CurrentDrive + "\\";
    if (outcome_.Directories.Lookup(owner, name, parent)) return outcome_.Directories.PathOf(owner, volume_.CurrentDrive);
    const auto live = std::lower_bound(live_.Names.begin(), live_.Names.end(), owner,
                                       [](const TLiveFiles::TName& l, std::int64_t r) { return l.Record < r; });
    if (live != live_.Names.end() && live->Record == owner)
        return outcome_.Directories.PathOf(live->Parent, volume_.CurrentDrive) + "\\" +
               Utf16ToUtf8(TBytes(live_.NameBytes).subspan(live->Offset, live->Length));
    return "*\\" + std::to_string(owner);
}

void TWalk::NameOwners() {
    if (overwritten_.empty()) return;
    std::vector<TLiveFiles::TExtent>& live = live_.Extents;
    std::sort(live.begin(), live.end(), [](const auto& a, const auto& b) { return a.Lcn < b.Lcn; });
    // The longest live extent, to know how far back one may start and still
    // reach a given cluster.
    std::int64_t longest = 0;
    for (const auto& e : live) longest = std::max(longest, e.Length);
    for (const auto& [record, runs] : overwritten_) {
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
        for (const std::int64_t owner : owners) paths.push_back(OwnerPath(owner));
        std::sort(paths.begin(), paths.end());
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
        if (paths.size() > OwnersShown) paths.resize(OwnersShown);
        outcome_.Overwriters.Set(record, std::move(paths));
    }
}

void TWalk::Finish() {
    AssembleListedFiles();
    NameOwners();
    Deliver(INT64_MAX);
}

void TWalk::Deliver(std::int64_t position) {
    while (!blocked_.empty() && blocked_.top().BlockedAt < position) {
        const THeld held = blocked_.top();
        blocked_.pop();
        const TFoundFiles& file = held_[held.Index];
        const std::int64_t next = outcome_.Directories.PendingAncestor(file.ParentRecord, position);
        if (next >= 0) blocked_.push({next, held.Index});
        else batch_.Add(file, held_.Name(file));
    }
    if (blocked_.empty()) held_.clear();
    if (batch_.empty()) return;
    sink_.Found(TFoundBatch{batch_, outcome_.Directories, volume_, outcome_.Overwriters});
    batch_.clear();
}

// The stretches of the MFT, as [first, end) MFT bytes in order, that lie on
// the device. Records past the device's end read as zeros, and a damaged
// boot sector and record 0 can place billions of them there.
std::vector<std::pair<std::int64_t, std::int64_t>> MftOnDevice(const TVolume& volume, std::int64_t deviceSize) {
    std::vector<std::pair<std::int64_t, std::int64_t>> stretches;
    if (deviceSize < 0) {
        stretches.emplace_back(0, INT64_MAX);
    } else if (volume.MFTRuns.empty()) {
        if (volume.MFTOffset < deviceSize) stretches.emplace_back(0, deviceSize - volume.MFTOffset);
    } else {
        // Runs lie inside the volume, whose bytes fit in 48 bits: these
        // products can't overflow.
        const std::int64_t cluster = volume.BytesPerCluster;
        for (const TMftRun& run : volume.MFTRuns) {
            const std::int64_t at = run.Lcn * cluster;
            if (at < deviceSize)
                stretches.emplace_back(run.Vcn * cluster,
                                       run.Vcn * cluster + std::min(run.Length * cluster, deviceSize - at));
        }
    }
    return stretches;
}

// The first record from `n` on with bytes in one of `stretches`, or `count`.
std::int64_t NextRecordOnDevice(const std::vector<std::pair<std::int64_t, std::int64_t>>& stretches, std::int64_t n,
                                std::int64_t recordSize, std::int64_t count) {
    if (n >= count) return count;
    const auto it = std::upper_bound(stretches.begin(), stretches.end(), n * recordSize,
                                     [](std::int64_t byte, const auto& s) { return byte < s.second; });
    if (it == stretches.end()) return count;
    return std::min(count, std::max(n, it->first / recordSize));
}

// A stretch of the MFT as read and prepared for the walk.
struct TChunk {
    std::unique_ptr<std::uint8_t[]> Bytes;
    std::vector<TPrepared> Prepared;
    TLiveFiles Live;
    std::int64_t First = 0;
    std::size_t Records = 0;
    int Error = 0;  // errno of a failed read: the chunk is then not prepared
    std::size_t Index = SIZE_MAX;  // which chunk of the walk it holds, once ready
};

// Reads the MFT in order, a chunk at a time, on a thread of its own that
// stays a few chunks ahead of the walk and prepares each chunk there. One
// thread, made once: the walk and the reading then share two cores evenly,
// where more readers only contend for them.
class TMftReader {
public:
    TMftReader(TDevice& device, const TVolume& volume, bool holders, std::size_t chunkRecords,
               std::vector<std::pair<std::int64_t, std::int64_t>> onDevice)
        : device_(device), volume_(volume), holders_(holders), chunkRecords_(chunkRecords), onDevice_(std::move(onDevice)) {
        nextFirst_ = NextOnDevice(FirstUserRecord);
        thread_ = std::thread([this] { Run(); });
    }
    ~TMftReader() { Stop(); }
    TMftReader(const TMftReader&) = delete;
    TMftReader& operator=(const TMftReader&) = delete;

    // The first record from `n` on that lies on the device; the record count
    // where none does.
    std::int64_t NextOnDevice(std::int64_t n) const {
        return NextRecordOnDevice(onDevice_, n, static_cast<std::int64_t>(volume_.FileRecordSize), volume_.RecordCount);
    }
    // The next chunk in order, or null after the last. The chunk is the
    // caller's until the next call.
    TChunk* Next() {
        std::unique_lock lock(mutex_);
        if (holding_) {
            slots_[consumed_ % Slots].Index = SIZE_MAX;
            ++consumed_;
            holding_ = false;
            free_.notify_all();
        }
        TChunk& chunk = slots_[consumed_ % Slots];
        ready_.wait(lock, [&] { return chunk.Index == consumed_ || consumed_ == ends_ || failure_; });
        if (chunk.Index == consumed_) {
            holding_ = true;
            return &chunk;
        }
        if (failure_) std::rethrow_exception(failure_);
        return nullptr;
    }
    // Prepares `chunk`; the files in use are left to the walk or not.
    void Prepare(TChunk& chunk, bool leaveFilesInUse) const {
        deruzera::Prepare(chunk.Bytes.get(), chunk.Records, volume_.FileRecordSize, chunk.First, volume_,
                          holders_ ? &chunk.Live : nullptr, leaveFilesInUse, chunk.Prepared);
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        free_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    static constexpr std::size_t Slots = 6;

    void Run() {
        const std::size_t recordSize = volume_.FileRecordSize;
        const std::int64_t step = static_cast<std::int64_t>(chunkRecords_);
        try {
            for (;;) {
                TChunk* chunk;
                std::size_t index;
                std::int64_t first;
                bool ahead;
                {
                    std::unique_lock lock(mutex_);
                    free_.wait(lock, [this] { return stop_ || taken_ - consumed_ < Slots; });
                    if (stop_ || nextFirst_ >= volume_.RecordCount) {
                        if (!stop_ && ends_ == SIZE_MAX) ends_ = taken_;
                        ready_.notify_all();
                        return;
                    }
                    index = taken_++;
                    // Noting the files in use goes to whichever side has
                    // time: here while the walk is behind, else to the walk.
                    ahead = taken_ - consumed_ > Slots / 2;
                    first = nextFirst_;
                    nextFirst_ = NextOnDevice(first + step);
                    chunk = &slots_[index % Slots];
                }
                if (!chunk->Bytes) chunk->Bytes = std::make_unique_for_overwrite<std::uint8_t[]>(chunkRecords_ * recordSize);
                chunk->First = first;
                chunk->Records = static_cast<std::size_t>(std::min(step, volume_.RecordCount - first));
                chunk->Error = ReadMftBytes(device_, volume_, first * static_cast<std::int64_t>(recordSize),
                                            chunk->Bytes.get(), chunk->Records * recordSize);
                if (chunk->Error == 0) Prepare(*chunk, !ahead);
                {
                    std::lock_guard lock(mutex_);
                    chunk->Index = index;
                }
                ready_.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard lock(mutex_);
                failure_ = std::current_exception();
            }
            ready_.notify_all();
        }
    }

    TDevice& device_;
    const TVolume& volume_;
    const bool holders_;
    const std::size_t chunkRecords_;
    const std::vector<std::pair<std::int64_t, std::int64_t>> onDevice_;
    std::array<TChunk, Slots> slots_;
    std::mutex mutex_;
    std::condition_variable ready_, free_;
    std::int64_t nextFirst_ = 0;           // the first record of the next chunk to take
    std::size_t taken_ = 0, consumed_ = 0;  // chunks
    std::size_t ends_ = SIZE_MAX;          // the number of chunks, once all are taken
    bool holding_ = false, stop_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// Walks records 16 .. RecordCount - 1 in order while the reading thread
// reads the chunks ahead. Records 0 to 15 come in from the volume's load:
// they are not listed, but say where the system files lie.
void WalkMft(TDevice& device, TScanOutcome& outcome, TScanSink& sink, const std::atomic<bool>& abort,
             TDynamicCharArray& systemRecords, const TScanOptions& options) {
    const TVolume& volume = outcome.Volume;
    const std::size_t recordSize = volume.FileRecordSize;
    TClusterBitmap bitmap;
    outcome.BitmapRead = options.Recoverability && systemRecords.size() >= (BitmapRecord + 1) * recordSize &&
                         bitmap.Open(device, volume, TBytes(systemRecords).subspan(BitmapRecord * recordSize, recordSize));
    TWalk walk(device, outcome, sink, outcome.BitmapRead ? &bitmap : nullptr);
    const bool holders = outcome.BitmapRead;
    // Stretches of records past the end of the device are passed over.
    TMftReader reader(device, volume, holders, std::max<std::size_t>(1, ScanChunkBytes / recordSize),
                      MftOnDevice(volume, device.Size()));

    // Room taken ahead is only address space until used.
    if (holders) walk.ExpectLive(static_cast<std::size_t>(std::clamp<std::int64_t>(volume.RecordCount, 0, 1 << 20)));
    std::vector<TPrepared> system;
    TLiveFiles systemLive;
    const std::size_t systemCount = std::min<std::size_t>(FirstUserRecord, systemRecords.size() / recordSize);
    Prepare(systemRecords.data(), systemCount, recordSize, 0, volume, holders ? &systemLive : nullptr, false, system);
    walk.Live(systemLive);
    for (std::size_t n = 0; n < systemCount; ++n)
        walk.Record(std::span<std::uint8_t>(systemRecords.data() + n * recordSize, recordSize), system[n],
                    static_cast<std::int64_t>(n));

    int failedChunks = 0;
    auto finish = [&](TScanEnd end) {
        reader.Stop();
        walk.Finish();
        outcome.End = end;
    };
    while (TChunk* chunk = reader.Next()) {
        const std::int64_t first = chunk->First;
        const std::size_t records = chunk->Records;
        std::uint8_t* bytes = chunk->Bytes.get();
        if (chunk->Error != 0) {
            // Some part of the chunk failed: read it again record by record,
            // so that only the records the device can't give are lost.
            std::size_t unreadable = 0;
            for (std::size_t i = 0; i < records; ++i) {
                const std::int64_t n = first + static_cast<std::int64_t>(i);
                if (ReadMftBytes(device, volume, n * static_cast<std::int64_t>(recordSize), bytes + i * recordSize,
                                 recordSize) != 0)
                    ++unreadable;
            }
            outcome.UnreadableRecords += static_cast<std::int64_t>(unreadable);
            failedChunks = unreadable == records ? failedChunks + 1 : 0;
            if (failedChunks >= MaxFailedChunks) {
                outcome.Error = chunk->Error;
                outcome.Offset = FileRecordOffset(volume, first);
                return finish(TScanEnd::ReadError);
            }
            reader.Prepare(*chunk, true);
        } else {
            failedChunks = 0;
        }
        walk.Live(chunk->Live);
        for (std::size_t i = 0; i < records; ++i) {
            const std::int64_t n = first + static_cast<std::int64_t>(i);
            if (abort.load(std::memory_order_relaxed)) return finish(TScanEnd::Aborted);
            if (n % ProgressEvery == 0) {
                walk.Deliver(n);
                sink.Progress(n + 1, outcome.FoundCount);
            }
            // The records were read on another core: ask for the lines the
            // walk will read a few records ahead.
            if (i + PrefetchAhead < records)
                PrefetchRecord(bytes + (i + PrefetchAhead) * recordSize, recordSize, chunk->Prepared[i + PrefetchAhead]);
            walk.Record(std::span<std::uint8_t>(bytes + i * recordSize, recordSize), chunk->Prepared[i], n);
        }
    }
    finish(TScanEnd::Completed);
}

}  // namespace

std::string TFoundBatch::FilePath(const TFoundFiles& file) const {
    return Directories.PathOf(file.ParentRecord, Volume.CurrentDrive) + "\\";
}

TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort,
                       const TScanOptions& options) {
    TScanOutcome outcome;
    try {
        TDynamicCharArray systemRecords;
        outcome.End = LoadVolume(device, drive, outcome.Volume, &sink, outcome, &systemRecords);
        if (outcome.End == TScanEnd::Completed) {
            outcome.Walked = true;
            sink.Walking(outcome.Volume.RecordCount);
            sink.Line({"Scanning for deleted files on drive " + drive + "\\ ...", clBlack});
            WalkMft(device, outcome, sink, abort, systemRecords, options);
        }
    } catch (const std::bad_alloc&) {
        outcome.End = TScanEnd::OutOfMemory;
    }
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort, const TScanOptions& options) {
    TScanOutcome outcome;
    if (drive.empty()) {
        outcome.End = TScanEnd::NoDrive;
    } else {
        sink.Line({"Preparing for scan the drive " + drive + "\\ ...", clBlack});
        std::string problem;
        std::shared_ptr<TDevice> device = open ? open(drive, problem) : nullptr;
        if (device) {
            outcome = ScanDrive(*device, drive, sink, abort, options);
            outcome.Device = std::move(device);
            return outcome;
        }
        outcome.End = TScanEnd::OpenFailed;
        outcome.What = problem;
    }
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

}  // namespace deruzera
