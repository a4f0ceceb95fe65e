// The volume reader's operations: geometry and raw reads, record fixup,
// attribute lookup, directory paths, the deleted-file scan, content
// extraction and file recovery. Reads the volume only; never writes to it.
//
// Nothing here keeps state between calls: the caller holds the device, the
// volume (TVolume) a scan or an open reads, and the results. Every way a scan
// or a recovery ends is a value; the lines the log shows for it are made in
// one place (Messages.cpp) and handed to the caller's sink.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "Device.h"
#include "Layout.h"
#include "Log.h"
#include "Records.h"
#include "Times.h"

namespace deruzera {

// ---- Failures --------------------------------------------------------------

// A record or structure that fails its checks. Carries the message text.
class ERecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- Geometry and raw reads ------------------------------------------------

enum class TGeometryEnd { Accepted, NotNtfs, Unsupported, ReadError };

// Reads and checks the boot sector at `at` (0, or the backup copy in the
// volume's last sector) and fills the geometry of `volume` on acceptance;
// `volume` is left as it was otherwise. `error` gets the errno of a failed read.
TGeometryEnd ReadVolumeGeometry(TDevice& device, TVolume& volume, std::int64_t at = 0, int* error = nullptr);

// Byte offset of MFT record N on the volume, through the MFT's own runs
// (contiguous from MFTOffset where there are none). -1 where N lies outside
// the MFT or the offset doesn't fit.
std::int64_t FileRecordOffset(const TVolume& volume, std::int64_t n);

// Reads `count` bytes of the MFT from MFT byte `mftByte` on, through its
// runs. Bytes that no run holds, or that can't be read, come out as zeros.
// Returns 0, or the errno of the first failed read.
int ReadMftBytes(TDevice& device, const TVolume& volume, std::int64_t mftByte, std::uint8_t* buffer, std::size_t count);

// Record N into `record` (resized to FileRecordSize, zeros where nothing
// could be read). Returns 0, or the errno of a failed read.
int ReadFileRecord(TDevice& device, const TVolume& volume, std::int64_t n, TDynamicCharArray& record);

// ---- Record fixup ----------------------------------------------------------

// NTFS protects each 512-byte stretch of a record, whatever the sector size.
inline constexpr std::uint32_t UpdateSequenceStride = 512;

// Checks the "FILE" signature and the record header (update sequence count
// 1 + size / 512 at an even offset inside the header's room, the first
// attribute and the bytes in use inside the record) and undoes the update
// sequence in place. Throws ERecordError with the system's message on
// rejection.
void FixupRecord(std::span<std::uint8_t> record);

// ---- Attributes ------------------------------------------------------------

// The attributes of a fixed-up record, walked within its bytes in use: each
// one 8-byte aligned, at least a header long and inside the bytes left, its
// name inside it. The walk stops at the end marker or at the first damage.
class TAttributeWalk {
public:
    explicit TAttributeWalk(TBytes record);
    // The next attribute's bytes, or an empty view at the end.
    TBytes Next();

private:
    TBytes bytes_;
    std::size_t at_ = 0;
};

// The first attribute of `type` in a record, unnamed unless `named`; with
// `skipDosNames` a $FILE_NAME in the DOS namespace is passed over. Empty when
// there is none or the chain is damaged before it.
TBytes FindAttributeView(TBytes record, std::uint32_t type, bool skipDosNames, bool named = true);

// The value of a resident attribute (cut at its end); empty for a
// non-resident one.
TBytes ResidentValue(TBytes attribute);

// The name of a $FILE_NAME attribute in UTF-8, and the parent reference.
std::string FileNameOf(TBytes fileNameAttribute);
std::uint64_t ParentReferenceOf(TBytes fileNameAttribute);

// UTF-16LE bytes to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(TBytes utf16le);

// ---- Directory paths -------------------------------------------------------

// The path of directory record `n` read from the volume, following parent
// references up to the root: the drive string for the root, "*" where it
// can't be resolved. Reads each directory of the chain once.
std::string GetDirectoryPath(TDevice& device, const TVolume& volume, std::int64_t n);

// ---- The deleted-file scan -------------------------------------------------

// The files found since the last batch, with what their paths need.
struct TFoundBatch {
    const TFoundFileList& Files;
    const TDirectoryTable& Directories;
    const TVolume& Volume;
    // The directory path of a file of the batch, followed by "\".
    std::string FilePath(const TFoundFiles& file) const;
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
    // Files whose paths are complete, in batches.
    virtual void Found(const TFoundBatch& /*batch*/) {}
};

// "Found N deleted files".
std::string CountText(std::int64_t count);

// Reads the boot sector (falling back on its backup copy), record 0 and the
// MFT's runs into `volume`. The lines of the stages it passes go to `log`
// when one is given ("This is a NTFS disk", and the line about the backup);
// the end is returned, with the failure's details in `failure`.
TScanEnd LoadVolume(TDevice& device, const std::string& drive, TVolume& volume, TLogSink* log,
                    TScanOutcome& failure);

// Walks the MFT of the volume on `device` and reports every deleted file
// through `sink`. Every way it ends is returned and its lines go to `sink`;
// nothing escapes it.
TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort);

// How a front end opens the device of a drive string. On failure, `problem`
// may say why in a line of its own.
using TDeviceOpener = std::function<std::shared_ptr<TDevice>(const std::string& drive, std::string& problem)>;

// The whole scan of a drive as the window and the companion run it: the
// drive check, the open through `open`, then the scan above. The device
// comes back in the outcome.
TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort);

// The lines that end a scan, by how it ended.
std::vector<TLogLine> ScanEndLines(const TScanOutcome& outcome);

// ---- Content extraction ----------------------------------------------------

// One run of a run list: `Length` clusters from cluster `Lcn`, or a sparse
// run (`Lcn` -1) that reads as zeros.
struct TDataRun {
    std::int64_t Lcn = -1;
    std::uint64_t Length = 0;
};

// Decodes a run list (header byte: low nibble the length field's size, high
// nibble the offset field's; offsets relative to the previous run's cluster,
// a missing or zero offset a sparse run; a 0 header byte ends the list).
// Throws ERecordError when a run's fields pass the end of the list, a field
// is wider than 8 bytes, or a run leaves a volume of `clusterCount` clusters
// (0: only the 2^48-byte bound).
std::vector<TDataRun> DecodeRunList(TBytes runList, std::uint32_t bytesPerCluster, std::int64_t clusterCount = 0);

// One stretch of a file's content: `Length` bytes read from volume offset
// `VolumeOffset`, or zeros where `VolumeOffset` is -1 (sparse).
struct TContentExtent {
    std::int64_t VolumeOffset = -1;
    std::uint64_t Length = 0;
};

// A file's content as a plan: resident bytes, or extents of the volume cut or
// padded to the real size. Made and checked before anything is written.
struct TFileContent {
    bool Resident = false;
    TDynamicCharArray ResidentBytes;
    std::vector<TContentExtent> Extents;  // non-resident: in file order, totalling Size
    std::uint64_t Size = 0;
};

// Decodes the first unnamed $DATA of a fixed-up record. Throws ERecordError
// on every failure (no $DATA, an empty or damaged run list, sizes out of
// range, more clusters than the volume holds, a cluster named twice).
TFileContent ExtractFileContent(TBytes record, const TVolume& volume);

// The same for any one attribute's bytes (resident value or run list).
TFileContent ContentOfAttribute(TBytes attribute, const TVolume& volume);

// Reads the content through `device` in bounded chunks and hands each chunk
// to `sink` in order. A hole (a sparse run, or clusters past the end of the
// device) comes as one call with null bytes and its length, however long;
// bytes that can't be read come out as zeros. Returns 0, or the errno of
// the first failed read.
int ReadFileContent(TDevice& device, const TFileContent& content,
                    const std::function<void(const std::uint8_t*, std::uint64_t)>& sink);

// ---- Recovery --------------------------------------------------------------

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
};

struct TWriteOptions {
    bool Replace = true;                     // false: never replace what exists
    std::optional<std::uint64_t> Modified;   // NTFS time to give the file
};

struct TWriteOutcome {
    TWriteEnd End = TWriteEnd::Failed;
    std::uint64_t Bytes = 0;
    int Error = 0;
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

// The front end's side of one recovery: the save dialog, and the log.
class TRecoveryHost : public TLogSink {
public:
    // The chosen path for the proposed name, or nothing when cancelled.
    virtual std::optional<std::string> AskTargetPath(const std::string& proposedName, const TRecoveryPlan& plan) = 0;
};

// Recovers record `record` of the volume on `device` (null when the device
// can't be opened), logging every step: plan, target, write. True after
// "File recovered".
bool RecoverFile(TDevice* device, const TVolume& volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                 TRecoveryHost& host);

// The lines of each step of a recovery.
std::vector<TLogLine> PlanLines(const TRecoveryPlan& plan);
std::vector<TLogLine> WriteLines(const TWriteOutcome& outcome, const std::string& target);

// ---- Size text -------------------------------------------------------------

// A byte count as "N b", "N Kb", "N Mb" or "N Gb" with up to two truncated
// decimals and `decimalSeparator`.
std::string SizeToText(std::int64_t value, const std::string& decimalSeparator = ".");

}  // namespace deruzera
