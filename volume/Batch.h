// Recovering many files at once into one folder, as the window's worker and
// the companion both do it: each file at its path below the drive, nothing
// that exists replaced, with progress, a way to stop, a line for each
// failure and one that sums it up.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Messages.h"
#include "Names.h"
#include "Recover.h"
#include "Scan.h"
#include "SizeText.h"
#include "Volume.h"

namespace deruzera {

// One file to recover, by its record.
struct TBatchItem {
    TBatchItem(std::int64_t record = 0, std::optional<std::uint16_t> sequence = std::nullopt, std::int64_t size = -1,
               TRecoverability state = TRecoverability::Unknown)
        : Record(record), Sequence(sequence), Size(size), State(state) {}
    std::int64_t Record = 0;
    std::optional<std::uint16_t> Sequence;  // as found: a record used again since is refused
    std::int64_t Size = -1;                 // bytes as found, -1 where unknown (the progress's total)
    TRecoverability State = TRecoverability::Unknown;
    // The volume it lies on: a snapshot's, for a file a scan with snapshots
    // listed from it; null: the batch's own volume.
    std::shared_ptr<TNtfsVolume> Volume;
    TPlanFor For = TPlanFor::DeletedFile;
};

// The item for a file of `results`: its record, sequence, size and state,
// the volume it lies on and what it was found as.
TBatchItem BatchItemOf(const TScanResults& results, const TFoundFiles& file);

// Why a file of a batch was not written.
enum class TBatchFailure {
    None,
    Plan,        // its record can't give it back (PlanEnd says why)
    Folder,      // a folder on its way can't be made or opened (Error)
    NoFreeName,  // every numbered name is taken
    Write,       // the write failed (WriteEnd, Error)
};

// How one file of a batch ended.
struct TBatchFileOutcome {
    std::int64_t Record = 0;
    TRecoverability State = TRecoverability::Unknown;
    bool Written = false;
    TBatchFailure Failure = TBatchFailure::None;
    TPlanEnd PlanEnd = TPlanEnd::Ready;
    TWriteEnd WriteEnd = TWriteEnd::Written;
    int Error = 0;  // errno value of a failed folder or write, where known
    std::string Source;  // the file on the volume: its path and name, or "record N"
    std::string Target;  // the file written
    std::string Directory;  // the folder that could not be made, or had no free name
    std::string Reason;  // why it was not written (BatchFailureReason)
    std::vector<TLogLine> Notes;  // what the copy holds that is not the file's own
    TCopyNotes Copy;              // the same as values
    std::uint64_t Bytes = 0;
    bool Numbered = false;        // written under a numbered name: its own was taken
    std::vector<TStreamWrite> Streams;  // its named streams, written beside it
};

struct TBatchProgress {
    std::size_t Files = 0;   // in the batch
    std::size_t Done = 0;    // written or failed so far
    std::size_t Failed = 0;
    std::uint64_t Bytes = 0;      // in the batch, as far as known
    std::uint64_t BytesDone = 0;  // of the files done, and of the one being written
    std::uint64_t Milliseconds = 0;  // since the batch began
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
    std::size_t Unread = 0;   // of those written, files with bytes the device could not give
    std::size_t Streams = 0;  // named streams written beside their files
    std::size_t StreamsFailed = 0;
    bool Stopped = false;     // stopped before every file was tried
    // Why nothing was tried, where the folder can't be used.
    enum class TRefusal { None, FolderUnusable, SameDevice };
    TRefusal Refused = TRefusal::None;
};

// Recovers `items` of `volume` (or of the volume each item names) into
// `folder` of `files` (made where it is missing). Below it each file goes
// to its path below the drive
// (C:\Users\a.txt to FOLDER/Users/a.txt), a path that can't be resolved
// below FOLDER/Orphans; every folder and file name is made safe. Nothing
// that exists is replaced and nothing is lost to a name taken: a file, or a
// folder, whose name something else has is numbered ("a (1).txt",
// "Users (1)"), and a name the target refuses is written as its
// PortableName, with a line naming both; a numbered name gets a line too
// (at most MaxBatchLinesOfAKind, then one that counts the rest). A file's
// named streams are written beside it (WriteStreamsBeside). Every folder and file is made
// relative to the folder that holds it, so no link in the folder is ever
// followed and the depth of a path is not bounded. Sizes are exact, holes
// stay holes, and each file gets the modification time of its record where
// the target can hold it. `stop` ends the batch at the next file, or within
// the file being written, whose part is removed. Lines go to `sink`: one for
// each failure (at most MaxBatchLinesOfAKind of a kind, then one that counts
// the others) and one to sum up.
TBatchOutcome RecoverBatch(TNtfsVolume& volume, const std::vector<TBatchItem>& items, const std::string& folder,
                           TTargetFileSystem& files, TBatchSink& sink, const std::atomic<bool>& stop,
                           const TBatchOptions& options = {});

// Failure lines of one kind (a reason, with its errno value) shown before
// the rest are counted in one line: enough to see which files it hit and
// that it goes on, where thousands of lines would bury every other line.
inline constexpr std::size_t MaxBatchLinesOfAKind = 20;

// The names below the folder of a file at `filePath` (its directory's path
// with the trailing "\", as the plan or the scan gives it) named
// `fileName`: its folders, then its own name, each made safe: {"Users",
// "Docs", "a.txt"}, {"Orphans", "a", "b.txt"}.
std::vector<std::string> BatchTargetNames(const std::string& drive, const std::string& filePath,
                                          const std::string& fileName);
// The same as a relative path with "/": "Users/Docs/a.txt".
std::string BatchTargetPath(const std::string& drive, const std::string& filePath, const std::string& fileName);


}  // namespace deruzera
