// Recovery of one file by its record: a plan checked from the record, the
// write to a target, and the front end's side of the questions on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "Content.h"
#include "Device.h"
#include "Log.h"
#include "Records.h"

namespace deruzera {

enum class TPlanEnd {
    Ready,        // the content is planned
    OutsideMft,   // no such record
    Unreadable,   // the record fails its fixup or can't be read
    NotDeleted,   // the record no longer describes that deleted file
    NoContent,    // no $DATA, or a damaged one
};

// What recovering one record will write, checked from the record before
// anything is asked or written.
struct TRecoveryPlan {
    TPlanEnd End = TPlanEnd::Ready;
    std::string What;            // details of a failure
    int Error = 0;               // errno of a failed read
    std::int64_t Record = -1;
    bool HasName = false;        // a $FILE_NAME was found
    std::string FileName = "untitled.dat";
    std::string FilePath;        // the directory's path and "\", where named
    std::uint64_t Created = 0;
    std::uint64_t Modified = 0;
    TFileContent Content;
    // Whether its clusters still hold it (Unknown where the bitmap can't be read).
    TRecoverability State = TRecoverability::Unknown;
    std::uint64_t OverwrittenBytes = 0;
    std::uint64_t StoredBytes = 0;
    bool Encrypted = false;
    bool Compressed = false;
};

// Reads record `record` and, where it is still a deleted file (and has the
// sequence number `sequence`, where one is given), its name, its path (the
// directory records of its chain) and its content plan.
TRecoveryPlan PlanRecovery(TDevice& device, const TVolume& volume, std::int64_t record,
                           std::optional<std::uint16_t> sequence = std::nullopt);

enum class TWriteEnd {
    Written,
    Failed,      // the target could not be created, written or renamed
    IsSource,    // the target is the device or image being read
    NotRegular,  // the target exists and is not a regular file
    Exists,      // the target exists and may not be replaced
    Stopped,     // the caller stopped it; nothing of it is left
};

struct TWriteOptions {
    bool Replace = true;                     // false: never replace what exists
    std::optional<std::uint64_t> Modified;   // NTFS time to give the file
    // Called after each piece with the bytes written so far; false stops
    // the write.
    std::function<bool(std::uint64_t)> Progress;
};

struct TWriteOutcome {
    TWriteEnd End = TWriteEnd::Failed;
    std::uint64_t Bytes = 0;
    int Error = 0;               // errno of a failed create, write or rename, where known
    std::uint64_t BadUnits = 0;  // compressed units written as zeros
};

// Writes the content to `target`. With Replace, through a temporary file
// beside it renamed over it once complete, so the file that was there stays
// as it was on any failure; without, created only where nothing exists.
// Holes stay holes. Never writes over the source, nor over anything that is
// not a regular file.
TWriteOutcome WriteRecoveredFile(TDevice& device, const TFileContent& content, const std::string& target,
                                 const TWriteOptions& options = {});

// Name safe to propose or write: "/", "\" and control characters become "_";
// "." and ".." become "_" and "__".
std::string SafeFileName(const std::string& name);

// The front end's side of one recovery: the save dialog, two questions, and
// the log.
class TRecoveryHost : public TLogSink {
public:
    // The chosen path for the proposed name, or nothing when cancelled.
    virtual std::optional<std::string> AskTargetPath(const std::string& proposedName, const TRecoveryPlan& plan) = 0;
    // Yes or no to recovering a file other files have partly or wholly
    // written over; `question` says what the copy will hold.
    virtual bool ConfirmOverwritten(const std::string& /*question*/) { return true; }
    // Yes or no to writing onto the drive being read, where the copy may
    // overwrite deleted files still to be recovered.
    virtual bool ConfirmSameDevice(const std::string& /*question*/) { return true; }
};

// Recovers record `record` of the volume on `device` (null when the device
// can't be opened), logging every step: plan, target, write. True after
// "File recovered".
bool RecoverFile(TDevice* device, const TVolume& volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                 TRecoveryHost& host);

}  // namespace deruzera
