// A scan of a live volume with its snapshots (shadow copies): after the live
// volume's deleted files, the files each snapshot still holds that the live
// volume no longer has, each file once, from the newest snapshot that holds
// it, marked with its snapshot and recovered from the snapshot's volume.
//
// "No longer has" means:
// - a file in use in the snapshot whose record, in the live volume, is not
//   in use with the same sequence number: deleted since (NTFS counts the
//   sequence up when it frees a record), or its record used again for
//   another file;
// - a file deleted in the snapshot that the live scan does not list with
//   the same record and sequence number: its record was used again since.
// A file in use in the live volume under the same record and sequence is
// the same file (perhaps changed since): its older versions are not listed.
// A file that several snapshots hold is listed from the newest of them; an
// older snapshot's copy is listed besides only where it is another version
// (its size or modification time differs). A file in use in a snapshot and
// deleted since is listed twice: from the live volume (as deleted, with its
// clusters' state now) and from the snapshot (whole, as the snapshot holds
// it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "Device.h"
#include "Records.h"
#include "Scan.h"

namespace deruzera {

// What the scans before a snapshot's know: the live volume's records in use
// and every file listed so far. Filled by the live scan through
// TScanOptions::Live, then by ScanSnapshots.
class TLiveRecords {
public:
    // Forgets everything; the live volume has `recordCount` records.
    void Reset(std::int64_t recordCount);
    // Base record `record` of the live volume is in use with `sequence`.
    void NoteInUse(std::int64_t record, std::uint16_t sequence);
    bool InUse(std::int64_t record, std::uint16_t sequence) const;
    // Notes `file` as listed; false where the same file was listed before:
    // a deleted file with the same record and sequence number, or a file in
    // use with the same record, sequence number, size and modification time.
    bool NoteListed(const TFoundFiles& file);
    // Whether a snapshot's `file` is one the live volume no longer has and
    // that was not listed yet (see above); noted as listed where it is.
    bool KeepFromSnapshot(const TFoundFiles& file);

private:
    struct TKey {
        std::int64_t Record;
        std::int64_t Size;
        std::uint64_t Modified;
        std::uint16_t Sequence;
        bool InUse;
        bool operator==(const TKey&) const = default;
    };
    struct THash {
        std::size_t operator()(const TKey& k) const;
    };
    // By record number: the sequence number of the record in use, and of
    // the first deleted file listed with that record. Two bytes and two
    // bits a record, where a set of them would take fifty bytes a file.
    std::vector<std::uint16_t> inUse_, listed_;
    std::vector<bool> isInUse_, isListed_;
    // Every other file listed: files in use, and deleted files of a record
    // listed before with another sequence number.
    std::unordered_set<TKey, THash> more_;
};

// One snapshot of the live volume, as the front end opens it.
struct TSnapshotSource {
    int Number = 0;             // from 1, oldest first
    std::uint64_t Created = 0;  // NTFS time, UTC
    // Opens the snapshot's device; a failure carries its lines (Lines).
    std::function<TDeviceAccess()> Open;
};

// How the scan of one snapshot ended.
struct TSnapshotScan {
    int Number = 0;
    std::uint64_t Created = 0;
    // Volume: the snapshot's open volume, which its listed files are read
    // from. End OpenFailed where its device could not be opened.
    TScanOutcome Outcome;
};

// Scans `snapshots` of the live volume scanned with `live` (drive `drive`),
// newest first, each through the sink: a line where it begins, its files
// the live volume no longer has (FoundInUse where in use in the snapshot,
// Snapshot set to its number), and a line where it ends. Every snapshot is
// tried whatever the others gave; `abort` stops at once. The scans in the
// order made.
std::vector<TSnapshotScan> ScanSnapshots(const std::vector<TSnapshotSource>& snapshots, const std::string& drive,
                                         TLiveRecords& live, TScanSink& sink, const std::atomic<bool>& abort);

// Keeps the volumes of `scans` in `results`, so that VolumeOf finds them.
void KeepSnapshotVolumes(TScanResults& results, const std::vector<TSnapshotScan>& scans);

}  // namespace deruzera
