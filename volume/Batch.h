// Recovering many files at once into one folder, as the window's worker and
// the companion both do it: each file at its path below the drive, nothing
// that exists replaced, with progress, a way to stop, a line for each
// failure and one that sums it up.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Messages.h"
#include "Recover.h"
#include "SizeText.h"
#include "Volume.h"

namespace deruzera {

// One file to recover, by its record.
struct TBatchItem {
    std::int64_t Record = 0;
    std::optional<std::uint16_t> Sequence;  // as found: a record used again since is refused
    std::int64_t Size = -1;                 // bytes as found, -1 where unknown (the progress's total)
    TRecoverability State = TRecoverability::Unknown;
};

// How one file of a batch ended.
struct TBatchFileOutcome {
    std::int64_t Record = 0;
    TRecoverability State = TRecoverability::Unknown;
    bool Written = false;
    std::string Source;  // the file on the volume: its path and name, or "record N"
    std::string Target;  // the file written
    std::string Reason;  // why it was not written
    std::vector<TLogLine> Notes;  // what the copy holds that is not the file's own
    std::uint64_t Bytes = 0;
};

struct TBatchProgress {
    std::size_t Files = 0;   // in the batch
    std::size_t Done = 0;    // written or failed so far
    std::size_t Failed = 0;
    std::uint64_t Bytes = 0;      // in the batch, as far as known
    std::uint64_t BytesDone = 0;  // of the files done, and of the one being written
};

// The caller's side of a batch. Everything is called on the batch's thread.
class TBatchSink : public TLogSink {
public:
    // At most about ten times a second, and once at the end.
    virtual void Progress(const TBatchProgress& /*progress*/) {}
    // Each file once it is written or has failed.
    virtual void FileDone(const TBatchFileOutcome& /*outcome*/) {}
};

struct TBatchOptions {
    // Write even where the folder lies on the device being read, which may
    // overwrite deleted files still to be recovered.
    bool AllowSameDevice = false;
};

struct TBatchOutcome {
    std::string Folder;
    std::size_t Files = 0;
    std::size_t Written = 0;
    std::size_t Failed = 0;
    std::uint64_t Bytes = 0;  // written
    bool Stopped = false;     // stopped before every file was tried
    bool Refused = false;     // the folder can't be used: nothing was tried
};

// Recovers `items` of `volume` into `folder` (made where it is
// missing). Below it each file goes to its path below the drive
// (C:\Users\a.txt to FOLDER/Users/a.txt), a path that can't be resolved
// below FOLDER/Orphans; every folder and file name is made safe; an existing
// file is never replaced: the name is numbered instead ("a (1).txt"). Sizes
// are exact, holes stay holes, and each file gets the modification time of
// its record. `stop` ends the batch at the next file, or within the file
// being written, whose part is removed. Lines go to `sink`: one for each
// failure and one to sum up.
TBatchOutcome RecoverBatch(TNtfsVolume& volume, const std::vector<TBatchItem>& items,
                           const std::string& folder, TBatchSink& sink, const std::atomic<bool>& stop,
                           const TBatchOptions& options = {});

// Where a file at `filePath` (its directory's path with the trailing "\",
// as the plan or the scan gives it) named `fileName` goes below the folder,
// as a relative path with "/": "Users/Docs/a.txt", "Orphans/a/b.txt".
std::string BatchTargetPath(const std::string& drive, const std::string& filePath, const std::string& fileName);

// `name` numbered: "a.txt" with 1 is "a (1).txt", ".profile" with 2 is
// ".profile (2)"; cut to fit a folder entry like FitName.
std::string NumberedName(const std::string& name, unsigned number);

// A name cut to the 255 bytes a folder entry holds, at a character's
// boundary, keeping a short extension: a name of 255 UTF-16 units read from
// NTFS may take up to 765 bytes of UTF-8.
std::string FitName(const std::string& name);

// The lines and texts of a batch.
TLogLine BatchFailureLine(const TBatchFileOutcome& outcome);
TLogLine BatchSummaryLine(const TBatchOutcome& outcome);
// A recovery that a failure ended past its own handling: memory running
// out, or anything else.
TLogLine RecoveryStoppedLine(bool outOfMemory);
std::string BatchProgressText(const TBatchProgress& progress, const std::string& decimalSeparator = ".");

}  // namespace deruzera
