// Record types shared by the volume reader and its front ends: the geometry
// and MFT map of one volume, the files a scan finds, the directories it saw,
// and how a scan ended. All of them are plain values; what later calls share
// of one volume is held by the open volume (Volume.h) the caller keeps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace deruzera {

class TDevice;

// A growable array of bytes, zero-filled when made. Carries record buffers
// and attribute copies.
using TDynamicCharArray = std::vector<std::uint8_t>;

// One extent of the MFT: `Length` clusters from cluster `Lcn`, holding the
// MFT's clusters from `Vcn` on.
struct TMftRun {
    std::int64_t Vcn = 0;
    std::int64_t Lcn = 0;
    std::int64_t Length = 0;
};

// Everything that reading one volume needs: the drive, the geometry from its
// boot sector and the MFT's extent from record 0.
struct TVolume {
    std::string CurrentDrive;            // "C:"; the root directory's path
    std::uint16_t BytesPerSector = 0;
    std::uint32_t BytesPerCluster = 0;   // 32 bits: 64 KiB clusters and above fit
    std::uint32_t FileRecordSize = 0;
    std::int64_t MFTOffset = 0;          // byte offset of MFT record 0
    std::int64_t ClusterCount = 0;       // clusters of the volume; no run may reach past them
    std::vector<TMftRun> MFTRuns;        // in VCN order; empty: the MFT is contiguous from MFTOffset
    std::int64_t RecordCount = 0;        // records 0 .. RecordCount - 1 make up the MFT
    bool FromBackupBoot = false;         // the geometry came from the copy in the last sector
};

// Whether a deleted file's clusters still hold its content: none of them is
// in use by another file now (intact), some are (partial), or all are.
// Unknown where the volume's cluster bitmap could not be read. Where the
// device is known not to give some of them (a rescued image's unread
// areas), partly unread or unread, whatever the bitmap says. A file found by
// its content (carved) has no record to ask: carved, or carved and likely
// incomplete where its format's structure breaks off.
enum class TRecoverability : std::uint8_t {
    Unknown, Intact, Partial, Overwritten, PartlyUnread, Unread, Carved, CarvedIncomplete
};

// Flags of a found file.
inline constexpr std::uint8_t FoundCompressed = 0x01;
inline constexpr std::uint8_t FoundEncrypted = 0x02;
inline constexpr std::uint8_t FoundSparse = 0x04;
// A file in use where it was found: listed only by the scan of a snapshot,
// whose files in use the live volume may no longer have.
inline constexpr std::uint8_t FoundInUse = 0x08;
// The file has further names or named data streams (TFoundFileList::Extras).
inline constexpr std::uint8_t FoundExtras = 0x10;

// One found deleted file. Its name lives in the pool of the list that holds
// it; its directory path comes from the directories the scan saw.
struct TFoundFiles {
    std::int64_t Record = 0;          // MFT record number
    std::int64_t ParentRecord = 0;    // record number of the parent directory
    std::int64_t FileSize = 0;        // bytes
    std::uint64_t Created = 0;        // NTFS times: 100 ns units since 1601, UTC
    std::uint64_t Modified = 0;
    std::uint64_t Accessed = 0;
    std::uint64_t Changed = 0;        // the record's last change
    std::uint64_t NameOffset = 0;     // the name in the list's pool, UTF-8
    std::uint16_t NameLength = 0;
    std::uint16_t Sequence = 0;       // the record's sequence number when found
    TRecoverability State = TRecoverability::Unknown;
    std::uint8_t Flags = 0;           // FoundCompressed, FoundEncrypted, FoundSparse, FoundInUse, FoundExtras
    std::uint16_t Snapshot = 0;       // the snapshot it was found in (from 1, oldest first); 0: the live volume
    std::uint64_t OverwrittenBytes = 0;  // bytes of its stored data in clusters now in use
    std::uint64_t UnreadBytes = 0;       // bytes of its stored data the device is known not to give
};

// Whether a found file has times: a carved one has no record to give them
// (its times are 0, which no listing shows as a date).
inline bool HasTimes(const TFoundFiles& file) {
    return file.State != TRecoverability::Carved && file.State != TRecoverability::CarvedIncomplete;
}

// A further name of a found file: one record with several names (hard
// links), each with its own folder.
struct TFoundLink {
    std::int64_t ParentRecord = 0;
    std::string Name;
};

// A named data stream of a found file ("a.txt:Zone.Identifier").
struct TFoundStream {
    std::string Name;            // UTF-8, without the file's name
    std::uint64_t Size = 0;      // bytes
    bool Resident = false;       // held in the record itself
    std::string Bytes;           // a resident stream's bytes, where at most MaxKeptStreamBytes
};
// A resident stream's bytes are kept with the list up to this many: a
// Zone.Identifier, which says where a download came from, takes about 100.
inline constexpr std::size_t MaxKeptStreamBytes = 1024;

// What few found files have beyond one name and one data stream.
struct TFoundExtras {
    std::vector<TFoundLink> Links;      // the names besides the one listed, in the record's order
    std::vector<TFoundStream> Streams;  // in the record's order
    bool empty() const { return Links.empty() && Streams.empty(); }
};

// Found files in order, their names in one pool: a million files cost
// little more than their names.
class TFoundFileList {
public:
    void Add(TFoundFiles file, std::string_view name);
    // The same with the file's further names and streams (kept where there
    // are any; FoundExtras then marks the file).
    void Add(TFoundFiles file, std::string_view name, TFoundExtras extras);
    // The further names and streams of a file of this list, or null.
    const TFoundExtras* Extras(const TFoundFiles& file) const;
    // Appends every file of `other`, names included.
    void Append(const TFoundFileList& other);
    std::string_view Name(const TFoundFiles& file) const;
    std::string NameText(const TFoundFiles& file) const { return std::string(Name(file)); }

    std::size_t size() const { return files_.size(); }
    bool empty() const { return files_.empty(); }
    const TFoundFiles& operator[](std::size_t i) const { return files_[i]; }
    TFoundFiles& operator[](std::size_t i) { return files_[i]; }
    auto begin() const { return files_.begin(); }
    auto end() const { return files_.end(); }
    void clear();
    // Puts the files in order of their record numbers (the order of the
    // walk). Returns where each file came from (old index by new), or
    // nothing where they were in that order already.
    std::vector<std::uint32_t> SortByRecord();
    // Bytes held, for the memory budget.
    std::size_t Footprint() const { return files_.capacity() * sizeof(TFoundFiles) + names_.capacity(); }

private:
    std::vector<TFoundFiles> files_;
    std::string names_;
    std::unordered_map<std::int64_t, TFoundExtras> extras_;  // by record number
};

// The directories one walk of the MFT saw: each one's name and parent, by
// record number. Paths are put together on demand, so memory grows with the
// number of directories, not with the depth of the tree.
class TDirectoryTable {
public:
    // Remembers directory `record`, named `name`, in directory `parent`. A
    // record already known keeps its first name.
    void Add(std::int64_t record, std::int64_t parent, std::string_view name);
    // Remembers that directory `record` gets its name from record `at` (an
    // extension record the walk reaches later); Add then fills it in.
    void AddPending(std::int64_t record, std::int64_t at);
    // Whether `record` waits for its name from a record the walk reaches later.
    bool IsPending(std::int64_t record) const;
    // The name and parent of `record`, where known.
    bool Lookup(std::int64_t record, std::string& name, std::int64_t& parent) const;
    // The path of directory `record` without a trailing backslash: `drive`
    // for the root, "*" where it can't be resolved, "*\a\b" below an
    // ancestor that can't.
    std::string PathOf(std::int64_t record, const std::string& drive) const;
    // The first record on the parent chain of `record` at or past
    // `position` (records the walk hasn't reached yet), or -1 when the chain
    // is complete and PathOf will not change any more.
    std::int64_t PendingAncestor(std::int64_t record, std::int64_t position);
    std::size_t size() const { return entries_.size(); }
    std::size_t Footprint() const { return entries_.capacity() * sizeof(TEntry) + names_.capacity(); }

private:
    struct TEntry {
        std::int64_t Record = 0;
        std::int64_t Parent = 0;
        std::uint64_t NameOffset = 0;
        std::uint16_t NameLength = 0;
        bool Complete = false;  // every ancestor has been seen
        bool Pending = false;   // the name comes from record Parent, later in the walk
    };
    const TEntry* Find(std::int64_t record) const;
    std::vector<TEntry> entries_;  // by record number
    std::string names_;
    std::vector<TEntry*> chain_;   // PendingAncestor's, kept between calls
    // Folders PendingAncestor found complete lately, by record modulo the size.
    static constexpr std::size_t RecentComplete = 4096;
    std::vector<std::int64_t> recentComplete_ = std::vector<std::int64_t>(RecentComplete, -1);
};

// The live files and folders that now hold clusters of overwritten found
// files: the first few of each found file, by path.
class TOverwriters {
public:
    void Set(std::int64_t record, std::vector<std::string> paths) { byRecord_[record] = std::move(paths); }
    // The paths for found file `record`; empty where none is known.
    const std::vector<std::string>& Of(std::int64_t record) const {
        static const std::vector<std::string> none;
        const auto it = byRecord_.find(record);
        return it == byRecord_.end() ? none : it->second;
    }

private:
    std::unordered_map<std::int64_t, std::vector<std::string>> byRecord_;
};

// How a scan ended.
enum class TScanEnd {
    Completed,            // walked every record
    Aborted,              // stopped at the user's request
    NoDrive,              // no drive was chosen
    OpenFailed,           // the device could not be opened
    NotNtfs,              // the boot sector is not NTFS
    UnsupportedGeometry,  // NTFS, but sizes no volume can have
    Record0Damaged,       // record 0 fails its fixup
    MftUnreadable,        // the MFT is sparse, encrypted or compressed
    MftDamaged,           // the MFT's extent can't be right
    ReadError,            // the device failed
    OutOfMemory,          // the machine ran out of memory
    Failed,               // anything else stopped it: a fault of the program's
};

// Why a volume could not be opened, with where and why.
struct TOpenFailure {
    TScanEnd End = TScanEnd::Completed;  // Completed: it opened
    std::string What;         // the fixup's message, or what is damaged
    std::int64_t Offset = -1; // byte offset on the device, -1 where none
    int Error = 0;            // errno of a failed read
};

}  // namespace deruzera
