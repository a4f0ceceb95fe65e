// The deleted-file scan: one walk of the MFT that reports every deleted file
// with its path, size, times and whether its clusters still hold it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Device.h"
#include "Log.h"
#include "Records.h"

namespace deruzera {

class TNtfsVolume;
class TLiveRecords;
class TPassResults;

// How a file was found: by the walk of its volume's MFT, by a deep scan of
// the records anywhere on the source, or carved from free clusters by its
// content.
enum class TFoundBy : std::uint8_t { Walk, Deep, Carve };

// Where a file found by a pass over the source lies, beside its entry.
struct TFoundPlace {
    TFoundBy By = TFoundBy::Walk;
    std::int64_t SourceOffset = -1;  // the byte on the source where its record or its carved bytes begin
    std::int64_t RecordOffset = -1;  // its record's byte on its volume; -1 for a carved file
    std::size_t Index = 0;           // its index in the pass's results (TPassResults)
};

// The files found since the last batch, and the volume whose directory
// table gives their paths.
struct TFoundBatch {
    const TFoundFileList& Files;
    const TNtfsVolume& Volume;
    // By index into Files, for files a pass over the source found; null for
    // those of the walk.
    const TFoundPlace* Places = nullptr;
    // The directory path of a file of the batch, followed by "\".
    std::string FilePath(const TFoundFiles& file) const;
    // The path of folder record `folder` (a further name's), followed by "\".
    std::string FolderPath(std::int64_t folder) const;
};

// The caller's side of a scan. Everything is called on the scan's thread,
// in order; a window carries it to its own thread.
class TScanSink : public TLogSink {
public:
    // The walk begins over `recordCount` records; results of earlier scans
    // are replaced from here on.
    virtual void Walking(std::int64_t /*recordCount*/) {}
    // At every 128th record N: N + 1 and the files found so far.
    virtual void Progress(std::int64_t /*position*/, std::int64_t /*found*/) {}
    // A scan with snapshots (Snapshots.h), once the live volume is walked:
    // the walk of snapshot `number` begins over `recordCount` records. The
    // results of the walks before it stay; Progress counts from here anew.
    virtual void WalkingSnapshot(int /*number*/, std::int64_t /*recordCount*/) {}
    // Files whose paths are complete, in batches.
    virtual void Found(const TFoundBatch& /*batch*/) {}
};

struct TScanOptions {
    // Reads the cluster bitmap for each found file's state and notes where
    // the files in use keep their clusters, to name who holds overwritten
    // ones. Without it states stay unknown and the walk parses only what
    // listing needs.
    bool Recoverability = true;
    // Where given, the scan notes there every base record in use with its
    // sequence number, and every file it lists: the live volume of a scan
    // with snapshots.
    TLiveRecords* Live = nullptr;
    // Lists the files in use too (with FoundInUse, their state intact: their
    // clusters are their own), as the scan of a snapshot does.
    bool FilesInUse = false;
    // Where given, only the files it returns true for are listed and
    // counted. Called on the scan's thread, in the order of the walk.
    std::function<bool(const TFoundFiles&)> Keep;
};

// How a scan ended, and what it counted on the way.
struct TScanOutcome {
    TScanEnd End = TScanEnd::Completed;
    std::string What;             // the fixup's message, or what is damaged
    std::int64_t Offset = -1;     // byte offset on the volume where it happened, -1 where none
    int Error = 0;                // errno of a failed read
    TDeviceAccess Access;         // why the device could not be opened (OpenFailed)
    std::int64_t FoundCount = 0;
    std::int64_t UnreadableRecords = 0;  // records skipped because the device failed to read them
    std::int64_t DamagedRecords = 0;     // records that fail their signature or update sequence
    std::int64_t RecordsWithBytes = 0;   // records read that hold anything but zeros
    bool Walked = false;          // the walk began: its results replace those of earlier scans
    // The volume scanned, from the moment it opened: its directory table
    // and holders filled by the walk, its device open for recovery.
    std::shared_ptr<TNtfsVolume> Volume;
};

// What a front end keeps of one scan to list and recover its files: the
// volume it read and the files it found.
struct TScanResults {
    std::shared_ptr<TNtfsVolume> Volume;
    TFoundFileList Files;
    // A scan with snapshots: the volume of snapshot K at K - 1, null where
    // it was not scanned.
    std::vector<std::shared_ptr<TNtfsVolume>> Snapshots;
    // A pass over the source (Pass.h): what it found, and by file its index
    // there, -1 for a file of the walk that carving followed. Both empty
    // for a scan.
    std::shared_ptr<const TPassResults> Pass;
    std::vector<std::int64_t> PassIndex;
    // The volume a found file lies on: the live volume, or its snapshot's
    // (null where that is not kept).
    TNtfsVolume* VolumeOf(const TFoundFiles& file) const;
    // The directory path of a found file, followed by "\".
    std::string FilePath(const TFoundFiles& file) const;
    // The path of folder record `folder` (a further name's), followed by
    // "\": of the live volume, or of the volume `file` lies on.
    std::string FolderPath(std::int64_t folder) const;
    std::string FolderPath(std::int64_t folder, const TFoundFiles& file) const;
};

// Walks the MFT of `volume` and reports every deleted file through `sink`,
// filling the volume's directory table and holders. Every way it ends is
// returned and its lines go to `sink`; running out of memory ends it as a
// value too.
TScanOutcome ScanVolume(const std::shared_ptr<TNtfsVolume>& volume, TScanSink& sink, const std::atomic<bool>& abort,
                        const TScanOptions& options = {});
// The walk of ScanVolume alone: no Walking, no lines; for scans that say
// their own (a snapshot's). Ends every way as a value, as ScanVolume does.
TScanOutcome WalkVolume(const std::shared_ptr<TNtfsVolume>& volume, TScanSink& sink, const std::atomic<bool>& abort,
                        const TScanOptions& options = {});

// Opens the volume on `device` (which the caller keeps alive) as `drive`
// and scans it as above; the lines of the open go to `sink` too.
TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort,
                       const TScanOptions& options = {});

// The whole scan of a drive as the window and the companion run it: the
// drive check, the device's open through `open`, the volume's, then the
// walk. The volume comes back in the outcome.
TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort, const TScanOptions& options = {});

}  // namespace deruzera
