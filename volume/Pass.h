// Passes over the whole source, for what the volume's own map no longer
// describes: the deep scan (every FILE record anywhere, put together into
// volumes whose geometry the records and boot sectors give, their trees
// rebuilt from the parents their names give) and carving (files found by
// their content in the free clusters, or in the whole source where no
// volume is known). Each reads the source once, in order, with progress
// and the time left; it can be stopped and keeps what it found; read errors
// are skipped and counted. What they find is listed like the walk's files,
// with where it lies on the source, and recovered through plans.
//
//   TPassOutcome o = ScanSource(drive, open, sink, abort, {.Deep = true});
//   sink.Found(batch): batch.Places[i] says how and where file i was found
//   o.Results->Plan(place.Index) -> WriteRecoveredFile / RecoverBatch
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Carve.h"
#include "Device.h"
#include "Recover.h"
#include "Scan.h"

namespace deruzera {

class TNtfsVolume;

// "deep" and "carve"; "" for the walk.
const char* FoundByName(TFoundBy by);

// The folders of ours below the drive: files whose folders are gone, files
// found by their content, and the root of each volume a deep scan put
// together after the first ("$Volume2", "$Volume3", ...).
inline constexpr const char* LostFilesFolder = "$LostFiles";
inline constexpr const char* CarvedFilesFolder = "$CarvedFiles";
std::string DeepVolumeFolder(std::size_t number);
// The name of ours of a file whose every name is gone: "record-N".
std::string UnnamedFileName(std::int64_t record);

struct TPassOptions {
    bool Deep = false;   // the deep scan; without it, the walk of the volume where it opens
    bool Carve = false;  // carving, after the walk or the deep scan
    std::uint32_t CarveFormats = (1u << CarveFormatCount) - 1;
    // Where the device read begins on the source (a volume's start on its
    // disk): source offsets are counted from the source's start.
    std::int64_t SourceOrigin = 0;
};

enum class TPassStage : std::uint8_t { Deep, Carve };

struct TPassProgress {
    TPassStage Stage = TPassStage::Deep;
    std::uint64_t Done = 0;        // bytes passed
    std::uint64_t Total = 0;       // bytes to pass; 0 where the device doesn't tell its size
    std::uint64_t Found = 0;       // MFT records (deep scan) or files (carving) found so far
    std::int64_t SecondsLeft = -1; // -1 until the pace tells
};

// The caller's side of a pass: the scan's lines, batches and walk progress,
// and the pass's own progress, about every chunk.
class TPassSink : public TScanSink {
public:
    virtual void PassProgress(const TPassProgress& /*progress*/) {}
};

// What a pass found, kept to list and recover: the files handed over (the
// walk's apart), where each lies, and how to read each again.
class TPassResults {
public:
    // The device read and the drive; its directory table gives the paths of
    // everything listed (each volume's folders, the folders of ours).
    std::shared_ptr<TNtfsVolume> Volume;
    TFoundFileList Files;
    std::vector<TFoundPlace> Places;  // by index into Files

    // The directory path of file `index`, followed by "\".
    std::string FilePath(std::size_t index) const;
    // The plan that recovers file `index`: its content as extents of the
    // device read, its name, path, times and state. A deep file's record is
    // read again and must be the one listed (NotDeleted where it changed).
    TRecoveryPlan Plan(std::size_t index) const;

    struct TState;
    std::shared_ptr<TState> State;
};

// How a pass ended, and what it counted.
struct TPassOutcome {
    TScanEnd End = TScanEnd::Completed;
    // The walk, where the pass carved a volume that opens (its files come in
    // batches without places); End NotNtfs and its like where it did not.
    bool Walked = false;
    TScanOutcome Walk;
    // The deep scan.
    bool DeepScanned = false;           // it ran
    std::uint64_t Records = 0;          // FILE records found
    std::uint64_t DamagedRecords = 0;   // "FILE" sectors whose record fails its checks
    std::size_t Volumes = 0;            // volumes the records were put in
    std::size_t Unplaced = 0;           // of those, volumes whose start nothing told
    std::uint64_t DeepFiles = 0;        // files listed
    // Carving.
    bool Carved = false;                // carving ran
    bool CarvedWhole = false;           // the whole device: no volume's bitmap was known
    std::uint64_t CarvedFiles = 0;
    std::uint64_t Incomplete = 0;       // carved files whose structure breaks off
    // Both passes.
    std::uint64_t BytesTotal = 0, BytesDone = 0;
    std::uint64_t ReadErrors = 0;       // reads that failed, skipped
    std::uint64_t UnreadBytes = 0;      // bytes they could not give
    std::string What;                   // what stopped it, where it failed
    std::shared_ptr<TPassResults> Results;
};

// The pass `options` asks for over the device of `drive` (opened through
// `open`, as the scan opens it): "Preparing for scan", then the walk where
// no deep scan is asked for (and carving follows), the deep scan, carving.
// Lines go to `sink`, every end is returned as a value. `abort` stops it;
// what was found is listed all the same.
TPassOutcome ScanSource(const std::string& drive, const TDeviceOpener& open, TPassSink& sink,
                        const std::atomic<bool>& abort, const TPassOptions& options);
// The same over an open device.
TPassOutcome ScanSource(const std::shared_ptr<TDevice>& device, const std::string& drive, TPassSink& sink,
                        const std::atomic<bool>& abort, const TPassOptions& options);

// The time left at `done` of `total` after `seconds`: -1 until a second has
// passed and something was done, or where the total is not known.
std::int64_t SecondsLeft(double seconds, std::uint64_t done, std::uint64_t total);

}  // namespace deruzera
