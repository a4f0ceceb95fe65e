// Recovery of one file by its record: a plan checked from the record, the
// write to a target, and the front end's side of the questions on the way.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Content.h"
#include "Device.h"
#include "Log.h"
#include "Records.h"
#include "Target.h"

namespace deruzera {

enum class TPlanEnd {
    Ready,        // the content is planned
    OutsideMft,   // no such record
    Unreadable,   // the record fails its fixup or can't be read
    NotDeleted,   // the record no longer describes that deleted file
    NoContent,    // no $DATA, or a damaged one
    RepeatedClusters,  // its runs name the same clusters more than once
};

// A named data stream of the file ("letter.txt:Zone.Identifier"), written
// beside the file as "letter.txt_Zone.Identifier".
struct TStreamPlan {
    std::string Name;  // UTF-8
    TFileContent Content;
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
    // The bitmap is there, but the device failed to give the part of it
    // that says whether its clusters are in use.
    bool StateUnread = false;
    std::uint64_t OverwrittenBytes = 0;
    std::uint64_t StoredBytes = 0;
    bool Encrypted = false;
    bool Compressed = false;
    // Its named data streams that could be planned, in the record's order.
    std::vector<TStreamPlan> Streams;
};

class TNtfsVolume;

// What a record must be to be recovered. A deleted file is what recovery is
// for: a record used again since the scan no longer describes it. A file in
// use is recovered only from a snapshot, which does not change: the files a
// scan with snapshots lists from it (FoundInUse), or a record named for a
// snapshot's volume, deleted or in use there (AnyFile).
enum class TPlanFor : std::uint8_t { DeletedFile, FileInUse, AnyFile };

// The plan for a found file: FileInUse where it was found in use.
TPlanFor PlanForFound(const TFoundFiles& file);

// Reads record `record` of `volume` and, where it is still a deleted file
// (or, as `planFor` allows, a file in use: a base record in use that is no
// directory), with the sequence number `sequence` where one is given, its
// name, its path (from the scan's directory table, or the directory records
// of its chain) and its content plan, with its state from the volume's
// bitmap (intact for a file in use: its clusters are its own).
TRecoveryPlan PlanRecovery(TNtfsVolume& volume, std::int64_t record,
                           std::optional<std::uint16_t> sequence = std::nullopt,
                           TPlanFor planFor = TPlanFor::DeletedFile);

enum class TWriteEnd {
    Written,
    Failed,      // the target could not be created, written or renamed
    IsSource,    // the target is the device or image being read
    NotRegular,  // the target exists and is not a regular file
    Exists,      // the target exists and may not be replaced
    Stopped,     // the caller stopped it; nothing of it is left
    IsLink,      // the target is a symbolic link
    NotReplaceable,  // the target is a file the user may not replace (TEntry::Replaceable)
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
    std::uint64_t UnreadBytes = 0;  // bytes the device could not give, written as zeros
    std::int64_t FirstUnread = -1;  // the first of them, in bytes from the file's start
    bool TimeSet = false;        // the file has the modification time asked for
};

// Writes the content to the file `name` in `folder`. With Replace, through
// a temporary file beside it renamed over it once complete, so the file that
// was there stays as it was on any failure; a link, anything that is not a
// regular file, and a file the user may not replace are left alone.
// Without, created only where nothing of that name exists. Holes stay holes;
// the size is exact; the modification time is set through the open file.
TWriteOutcome WriteRecoveredFile(TDevice& device, const TFileContent& content, TTargetFolder& folder,
                                 const std::string& name, const TWriteOptions& options = {});
// The same at the path `target` (the save dialog's answer): its folder is
// opened through `files`, and the file written there. Never writes over
// the source.
TWriteOutcome WriteRecoveredFile(TDevice& device, const TFileContent& content, TTargetFileSystem& files,
                                 const std::string& target, const TWriteOptions& options = {});

// Whether `target` (a file, or a folder to write into) lies on the drive
// being read, where writing may overwrite what is still to be recovered:
// on a file system held by the device, or by a loop device over the image
// being read. The source itself is not counted here: it is refused apart.
bool OnDriveBeingRead(const TDevice& device, const std::string& target);

// Name safe to propose or write: "/", "\" and the characters
// UnsafeCharacterLength (Names.h) finds become "_"; "." and ".." become "_"
// and "__".
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

// The name a stream of the file written as `fileName` is written under
// beside it: "letter.txt" and "Zone.Identifier" give
// "letter.txt_Zone.Identifier", made safe and cut to fit a folder entry.
std::string StreamFileName(const std::string& fileName, const std::string& stream);

// How writing a stream beside its file ended.
struct TStreamWrite {
    std::string Stream;     // its name
    std::string Target;     // the file written (or tried last)
    TWriteOutcome Write;
};

// Writes the streams of `plan` into `folder` beside the file written there
// as `fileName`, each under StreamFileName, never replacing anything: a
// name that is taken is numbered ("letter.txt_Zone.Identifier (1)").
std::vector<TStreamWrite> WriteStreamsBeside(TDevice& device, const TRecoveryPlan& plan, TTargetFolder& folder,
                                             const std::string& fileName, const TWriteOptions& options = {});

// What a written copy holds that is not the file's own bytes, as found on
// the way: the facts its lines and a front end's exit code come from.
struct TCopyNotes {
    bool Encrypted = false;             // the stored, encrypted form (still the file's own)
    std::uint64_t BadUnits = 0;         // compressed units written as zeros
    std::uint64_t UnreadBytes = 0;      // the device could not give them: zeros
    std::int64_t FirstUnread = -1;      // the first of them, in bytes from the file's start
    std::uint64_t MissingBytes = 0;     // no longer described on the volume: zeros
    TRecoverability State = TRecoverability::Unknown;  // partial or overwritten: other files' data
    std::uint64_t OverwrittenBytes = 0;
    std::uint64_t StoredBytes = 0;
    bool StateUnread = false;           // whether other files hold its clusters could not be read
    // Whether the copy is known to be wholly the file's own bytes.
    bool Whole() const {
        return BadUnits == 0 && MissingBytes == 0 && UnreadBytes == 0 && !StateUnread &&
               State != TRecoverability::Partial && State != TRecoverability::Overwritten;
    }
};
TCopyNotes NotesOf(const TWriteOutcome& written, const TRecoveryPlan& plan);

// How one file's recovery ended.
enum class TRecoveryEnd {
    Recovered,        // written, wholly the file's own bytes
    RecoveredInPart,  // written, but some of it is not the file's own (see the notes)
    NoDevice,         // the device could not be opened
    NoVolume,         // the volume could not be read
    PlanFailed,       // the record gave no file to recover (see Plan)
    Cancelled,        // the user said no, or chose no target
    WriteFailed,      // the target could not be written (see Write)
};

struct TRecoveryOutcome {
    TRecoveryEnd End = TRecoveryEnd::NoDevice;
    TPlanEnd Plan = TPlanEnd::Ready;
    TWriteOutcome Write;
    TCopyNotes Notes;
    std::string Target;
    // The file's named streams, written beside it once it is written.
    std::vector<TStreamWrite> Streams;
};

// Recovers record `record` of `volume` (null when its device can't be
// opened) to the path the host chooses, in `files`, logging every step:
// plan, questions, target, write. The file gets the modification time of
// its record where the target holds it; its named streams are written
// beside it (WriteStreamsBeside), a line for each. `planFor` as for
// PlanRecovery.
TRecoveryOutcome RecoverFile(TNtfsVolume* volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                             TTargetFileSystem& files, TRecoveryHost& host,
                             TPlanFor planFor = TPlanFor::DeletedFile);

// Opens the volume behind `drive` for recoveries without a scan: quietly,
// unless it fails, when the lines a scan would give for that go to `log`.
// Null then, with `end` saying how it failed (NoDevice or NoVolume).
std::shared_ptr<TNtfsVolume> OpenDriveVolume(const std::string& drive, const TDeviceOpener& open, TLogSink& log,
                                             TRecoveryEnd* end = nullptr);

// The recovery of one record of the volume behind `drive` without a scan,
// as the companion runs it: "Preparing for recovery", the volume opened as
// above, then the recovery.
TRecoveryOutcome RecoverRecord(const std::string& drive, const TDeviceOpener& open, std::int64_t record,
                               TTargetFileSystem& files, TRecoveryHost& host,
                               TPlanFor planFor = TPlanFor::DeletedFile);

}  // namespace deruzera
