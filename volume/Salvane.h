// The volume reader's operations: geometry and raw reads, record fixup,
// attribute lookup, directory paths, the deleted-file scan, content
// extraction and file recovery. Reads the volume only; never writes to it.
//
// Nothing here keeps state between calls: the caller holds the device, the
// volume (TVolume) a scan or an open reads, and the results. Every way a scan
// or a recovery ends is a value; the lines the log shows for it are made in
// one place (Messages.cpp) and handed to the caller's sink.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
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

// The attributes of a record that listing a file needs, found in one walk:
// the first of each, the first $FILE_NAME outside the DOS namespace and the
// DOS one apart.
struct TRecordView {
    TBytes StandardInformation;
    TBytes FileName;     // outside the DOS namespace
    TBytes DosName;      // the 8.3 alias
    TBytes Data;         // the first $DATA
    TBytes AttributeList;
    bool NonResident = false;  // some attribute is non-resident
    // The non-resident attributes, the first few (a record rarely has more).
    static constexpr std::size_t MaxExtents = 8;
    std::array<TBytes, MaxExtents> Extents;
    std::size_t ExtentCount = 0;
    // The name to show: the long one, else the 8.3 alias.
    TBytes Name() const { return FileName.empty() ? DosName : FileName; }
};
TRecordView ViewRecord(TBytes record);

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
    const TOverwriters& Overwriters;
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

// "intact", "partial", "overwritten", or "unknown" where the cluster bitmap
// could not be read.
const char* StateName(TRecoverability state);

// A found file's state in words, with the share of its data other files
// hold now and who they are: "partly overwritten, 40 % of its data, now
// used by C:\Docs\new.bin".
std::string StateText(const TFoundFiles& file, const std::vector<std::string>& holders);

// Reads the boot sector (falling back on its backup copy), the system
// records 0 to 15 and the MFT's runs into `volume`. The lines of the stages
// it passes go to `log` when one is given ("This is a NTFS disk", and the
// line about the backup); the end is returned, with the failure's details in
// `failure`. The system records as read go to `systemRecords` where given.
TScanEnd LoadVolume(TDevice& device, const std::string& drive, TVolume& volume, TLogSink* log,
                    TScanOutcome& failure, TDynamicCharArray* systemRecords = nullptr);

struct TScanOptions {
    // Reads the cluster bitmap for each found file's state and notes where
    // the files in use keep their clusters, to name who holds overwritten
    // ones. Without it states stay unknown and the walk parses only what
    // listing needs.
    bool Recoverability = true;
};

// Walks the MFT of the volume on `device` and reports every deleted file
// through `sink`. Every way it ends is returned and its lines go to `sink`;
// nothing escapes it.
TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort,
                       const TScanOptions& options = {});

// How a front end opens the device of a drive string. On failure, `problem`
// may say why in a line of its own.
using TDeviceOpener = std::function<std::shared_ptr<TDevice>(const std::string& drive, std::string& problem)>;

// The whole scan of a drive as the window and the companion run it: the
// drive check, the open through `open`, then the scan above. The device
// comes back in the outcome.
TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort, const TScanOptions& options = {});

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
// The same, handing each run to `visit` in order instead of keeping them.
template <class Visit>
void ForEachRun(TBytes runs, std::uint32_t bytesPerCluster, std::int64_t clusterCount, Visit&& visit) {
    std::int64_t lcn = 0;
    std::size_t pos = 0;
    std::uint64_t maxClusters = bytesPerCluster ? MaxVolumeBytes / bytesPerCluster : 0;
    if (clusterCount > 0 && static_cast<std::uint64_t>(clusterCount) < maxClusters)
        maxClusters = static_cast<std::uint64_t>(clusterCount);
    while (pos < runs.size() && runs[pos] != 0) {
        const std::size_t lengthSize = runs[pos] & 0x0F;
        const std::size_t offsetSize = runs[pos] >> 4;
        if (lengthSize > 8 || offsetSize > 8) throw ERecordError("run field wider than 8 bytes");
        if (pos + 1 + lengthSize + offsetSize > runs.size()) throw ERecordError("run list ends inside a run");
        const std::uint64_t length = ReadLE(runs, pos + 1, lengthSize);
        const std::uint64_t raw = ReadLE(runs, pos + 1 + lengthSize, offsetSize);
        std::int64_t delta;
        if (offsetSize == 0 || offsetSize == 8) {
            delta = static_cast<std::int64_t>(raw);
        } else if (pos == 0 && offsetSize < 4) {
            // The first run counts from cluster 0 and can't point backwards.
            delta = static_cast<std::int64_t>(raw);
        } else {
            const std::uint64_t sign = std::uint64_t{1} << (8 * offsetSize - 1);
            delta = static_cast<std::int64_t>((raw ^ sign) - sign);
        }
        if (length > maxClusters) throw ERecordError("run longer than the volume");
        if (raw == 0) {
            if (length) visit(TDataRun{-1, length});
        } else {
            if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0 ||
                static_cast<std::uint64_t>(lcn) > maxClusters - length)
                throw ERecordError("run outside the volume");
            if (length) visit(TDataRun{lcn, length});
        }
        pos += 1 + lengthSize + offsetSize;
    }
}

// A run placed in the file: clusters from VCN `Vcn` on. `Lcn` is -1 for a
// sparse run and Missing where no surviving extent describes those VCNs.
struct TVcnRun {
    static constexpr std::int64_t Missing = -2;
    std::int64_t Vcn = 0;
    std::int64_t Lcn = -1;
    std::uint64_t Length = 0;
};

// A file's unnamed data stream as its record, and the extension records its
// attribute list names, describe it.
struct TDataStream {
    bool Found = false;               // a $DATA attribute was found
    bool Resident = false;
    TDynamicCharArray ResidentBytes;
    std::uint16_t Flags = 0;          // attribute flags of the first extent
    std::uint8_t CompressionUnit = 0; // log2 of clusters per compression unit; 0 uncompressed
    std::uint64_t DataSize = 0;       // the real size
    std::uint64_t InitializedSize = 0;
    std::vector<TVcnRun> Runs;        // in VCN order, without gaps
    std::uint64_t MissingClusters = 0;  // clusters no surviving extent describes
    bool Compressed() const { return CompressionUnit != 0 && (Flags & AttrCompressionMask) != 0; }
};

// The attributes extension record `record` holds for the base record being
// read (a fixed-up record, or bytes that begin with an attribute), or
// nothing where that record is gone or no longer belongs to it.
using TExtensionFetch = std::function<TDynamicCharArray(std::int64_t record)>;

// The contents of a record's $ATTRIBUTE_LIST (resident, or read from its
// clusters through `device`); empty where there is none or it is damaged.
TDynamicCharArray ReadAttributeList(TBytes record, TDevice* device, const TVolume& volume);

// Where the data of one $DATA attribute on its own lies (resident, or one
// extent from VCN 0): a resident value's bytes are not copied. Throws
// ERecordError where it is damaged.
TDataStream StreamOfAttribute(TBytes attribute, const TVolume& volume);

// The unnamed data stream of fixed-up base record `self`. With an attribute
// list and `fetch`, its extents are gathered from the extension records in
// VCN order. Throws ERecordError where an extent is damaged.
TDataStream StreamOfRecord(TBytes record, std::int64_t self, const TVolume& volume, TDevice* device = nullptr,
                           const TExtensionFetch& fetch = nullptr);

// Whether extension record `extension` (fixed up) belongs to base record
// `base` with sequence number `sequence`: its base reference names it, with
// that sequence or the one before (a deleted base counts one on).
bool BelongsTo(TBytes extension, std::int64_t base, std::uint16_t sequence);

// A fetch that reads each extension record from the volume on `device` and
// gives it where it is readable, fixes up and belongs to `base`.
TExtensionFetch FetchFromDevice(TDevice& device, const TVolume& volume, std::int64_t base, std::uint16_t sequence);

// The $FILE_NAME to show: the first outside the DOS namespace, else the DOS
// (8.3) name itself. `record` may be attribute bytes of an extension record.
TBytes FileNameAttribute(TBytes record);

// One stretch of a file's content: `Length` bytes read from volume offset
// `VolumeOffset`, or zeros where `VolumeOffset` is -1 (sparse). A compressed
// unit decompresses the volume pieces Pieces[PieceFirst .. + PieceCount) to
// `Length` bytes.
struct TContentExtent {
    std::int64_t VolumeOffset = -1;
    std::uint64_t Length = 0;
    bool CompressedUnit = false;
    std::uint32_t PieceFirst = 0;
    std::uint32_t PieceCount = 0;
};

// A file's content as a plan: resident bytes, or extents of the volume cut or
// padded to the real size. Made and checked before anything is written.
struct TFileContent {
    bool Resident = false;
    TDynamicCharArray ResidentBytes;
    std::vector<TContentExtent> Extents;  // non-resident: in file order, totalling Size
    std::vector<TContentExtent> Pieces;   // the stored clusters of compressed units
    std::uint64_t Size = 0;
    std::uint64_t CompressionUnitBytes = 0;
    std::uint64_t MissingBytes = 0;       // bytes no surviving extent describes (zeros)
    bool Encrypted = false;               // the stored bytes are the encrypted form
};

// The content plan of a data stream: up to the valid data length from its
// clusters, zeros after it; compressed units decompressed.
TFileContent PlanContent(const TDataStream& stream, const TVolume& volume);

// Decodes the first $DATA of a fixed-up record (its base record's extents
// only). Throws ERecordError on every failure (no $DATA, an empty or damaged
// run list, sizes out of range, more clusters than the volume holds).
TFileContent ExtractFileContent(TBytes record, const TVolume& volume);

// The same for any one attribute's bytes (resident value or run list).
TFileContent ContentOfAttribute(TBytes attribute, const TVolume& volume);

// Decompresses one LZNT1 compression unit into `out` (its size is the
// unit's). False where the data is damaged; `out` then holds zeros past
// what could be decoded.
bool DecompressLznt1(TBytes in, std::span<std::uint8_t> out);

// Reads `out.size()` bytes of an uncompressed content from byte `offset` on
// into `out`; zeros for holes and for what can't be read. Returns 0, or the
// errno of the first failed read.
int ReadContentRange(TDevice& device, const TFileContent& content, std::uint64_t offset, std::span<std::uint8_t> out);

// The volume's cluster bitmap ($Bitmap, record 6): which clusters are in use
// now. Read a page at a time as asked, so a recovery reads a few bytes of it
// and a scan what its found files touch.
class TClusterBitmap {
public:
    // From $Bitmap's record as read (not fixed up yet). False where it is unusable.
    bool Open(TDevice& device, const TVolume& volume, TBytes bitmapRecord);
    // Reads record 6 from the device first.
    bool Open(TDevice& device, const TVolume& volume);
    bool Test(std::int64_t lcn);
    // Clusters in use among [lcn, lcn + count).
    std::uint64_t InUse(std::int64_t lcn, std::uint64_t count);

private:
    const std::uint8_t* Page(std::uint64_t index);
    static constexpr std::uint64_t PageBytes = 64 * 1024;
    TDevice* device_ = nullptr;
    TFileContent content_;
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> pages_;
};

// Bytes of a stream's stored data that lie in clusters in use now; a cluster
// counts whole, but the one where the data ends only up to there; holes and
// resident data count nothing. `stored` gets all the stored bytes.
std::uint64_t OverwrittenBytes(const TDataStream& stream, TClusterBitmap& bitmap, std::uint32_t cluster,
                               std::uint64_t& stored);

// The state those two numbers give.
TRecoverability StateOf(std::uint64_t overwritten, std::uint64_t stored);

// What reading a content found on the way.
struct TReadReport {
    int Error = 0;                 // errno of the first failed read
    std::uint64_t BadUnits = 0;    // compressed units that would not decompress (written as zeros)
};

// Reads the content through `device` in bounded chunks and hands each chunk
// to `sink` in order. A hole (a sparse run, or clusters past the end of the
// device) comes as one call with null bytes and its length, however long;
// bytes that can't be read come out as zeros.
TReadReport ReadFileContent(TDevice& device, const TFileContent& content,
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
// "." and ".." become "_" and "__". Built for Windows, also the characters
// Windows refuses (<>:"|?*) and a name's closing dots and spaces become "_",
// and a device's name (CON, NUL, COM1, ...) gets a "_" before it.
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

// The lines of each step of a recovery, and the questions it asks.
std::vector<TLogLine> PlanLines(const TRecoveryPlan& plan);
std::string OverwrittenQuestion(const TRecoveryPlan& plan);
TLogLine OverwrittenAnswerLine(const TRecoveryPlan& plan);
std::string SameDeviceQuestion();
TLogLine SameDeviceAnswerLine();
// What a written copy holds besides the file's own bytes (red) and that it
// is the encrypted form (blue); nothing where it is wholly the file's own.
std::vector<TLogLine> CopyNoteLines(const TWriteOutcome& outcome, const TRecoveryPlan* plan);
// After the write: what was written, what is not the file's own (units
// that would not decompress, parts no longer described, clusters other
// files hold), and "File recovered" only where nothing is.
std::vector<TLogLine> WriteLines(const TWriteOutcome& outcome, const std::string& target,
                                 const TRecoveryPlan* plan = nullptr);

// ---- Size text -------------------------------------------------------------

// A byte count as "N b", "N Kb", "N Mb" or "N Gb" with up to two truncated
// decimals and `decimalSeparator`.
std::string SizeToText(std::int64_t value, const std::string& decimalSeparator = ".");

}  // namespace deruzera
