// The volume reader's operations: geometry and raw reads, record fixup,
// attribute lookup, directory paths, the deleted-file scan, content
// extraction and file recovery. Reads the volume only; never writes to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "Device.h"
#include "Records.h"

namespace deruzera {

// ---- Failures --------------------------------------------------------------

// A record or structure that fails its checks. Carries the message text.
class ERecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- Geometry and raw reads ------------------------------------------------

// Reads and checks the boot sector of `handle`. On acceptance logs "This is a
// NTFS disk" and fills the geometry of `volume`; on refusal logs the red line
// ("Error: This is not a NTFS disk" or "Error: Unsupported NTFS geometry") and
// leaves `volume` as it was. The caller closes the handle either way.
bool ReadVolumeGeometry(TDevice& handle, TVolume& volume);

// Byte offset of MFT record N on the volume, through the MFT's own runs where
// known (contiguous from MFTOffset otherwise). -1 where N lies outside the MFT
// or the offset doesn't fit.
std::int64_t FileRecordOffset(const TVolume& volume, std::int64_t n);
std::int64_t FileRecordOffset(std::int64_t n);  // of the volume in force

// A new zero-filled buffer of FileRecordSize bytes with what the volume holds
// at `offset`. A failed or short read leaves zeros.
TDynamicCharArray ReadFileRecord(TDevice& handle, std::int64_t offset, const TVolume& volume);
TDynamicCharArray ReadFileRecord(TDevice& handle, std::int64_t offset);

// Volume offset of byte `mftByte` of the MFT, -1 where no run holds it; with
// `contiguous`, how many bytes from there on lie in the same run.
std::int64_t MftByteToVolume(const TVolume& volume, std::int64_t mftByte, std::int64_t* contiguous);

// The record number whose record starts at volume offset `offset`, or -1.
std::int64_t RecordNumberAt(const TVolume& volume, std::int64_t offset);

// Reads `count` bytes of the MFT from MFT byte `mftByte` on, through its runs.
// Bytes that no run holds, or that can't be read, come out as zeros.
void ReadMftBytes(TDevice& handle, const TVolume& volume, std::int64_t mftByte, std::uint8_t* buffer,
                  std::size_t count);

// ---- Record fixup ----------------------------------------------------------

// NTFS protects each 512-byte stretch of a record, whatever the sector size.
inline constexpr std::uint32_t UpdateSequenceStride = 512;

// Checks the "FILE" signature and undoes the update sequence in place. Throws
// ERecordError with the system's message on rejection.
void FixupRecord(std::span<std::uint8_t> record);

// ---- Attributes ------------------------------------------------------------

inline constexpr std::uint32_t AttrStandardInformation = 0x10;
inline constexpr std::uint32_t AttrAttributeList = 0x20;
inline constexpr std::uint32_t AttrFileName = 0x30;
inline constexpr std::uint32_t AttrData = 0x80;
inline constexpr std::uint32_t AttrEnd = 0xFFFFFFFF;

// The first attribute of `type` in `bytes` (a whole record, or bytes that
// begin with an attribute header), cut at the end of the bytes; with
// `skipDosNames` a $FILE_NAME in the DOS namespace is passed over. Empty when
// there is none or the attribute chain is damaged.
std::span<const std::uint8_t> FindAttributeView(std::span<const std::uint8_t> bytes, std::uint32_t type,
                                                bool skipDosNames);
TDynamicCharArray FindAttribute(std::span<const std::uint8_t> bytes, std::uint32_t type, bool skipDosNames);

// Little-endian field readers over a byte view; bytes past the end read as 0.
std::uint64_t ReadLE(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width);
// Fixed widths, inlined: the record walk reads a handful of fields from
// every record.
template <std::size_t Width>
inline std::uint64_t ReadFixedLE(std::span<const std::uint8_t> b, std::size_t o) {
    if (o > b.size() || b.size() - o < Width) return ReadLE(b, o, Width);
    std::uint64_t value = 0;
    for (std::size_t i = Width; i-- > 0;) value = (value << 8) | b[o + i];
    return value;
}
inline std::uint16_t ReadU16(std::span<const std::uint8_t> b, std::size_t o) { return static_cast<std::uint16_t>(ReadFixedLE<2>(b, o)); }
inline std::uint32_t ReadU32(std::span<const std::uint8_t> b, std::size_t o) { return static_cast<std::uint32_t>(ReadFixedLE<4>(b, o)); }
inline std::uint64_t ReadU64(std::span<const std::uint8_t> b, std::size_t o) { return ReadFixedLE<8>(b, o); }

// The name of a $FILE_NAME attribute (length at 88, UTF-16LE from 90, cut at
// the attribute's end) in UTF-8, and the parent reference at 24.
std::string FileNameOf(std::span<const std::uint8_t> fileNameAttribute);
std::int64_t ParentReferenceOf(std::span<const std::uint8_t> fileNameAttribute);

// UTF-16LE bytes to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::span<const std::uint8_t> utf16le);

// ---- Times -----------------------------------------------------------------

// Local calendar time of an NTFS time (100 ns units since 1601 UTC).
struct TLocalTime {
    std::int64_t Year = 1601;
    int Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};
// False (and 1 January 1601 00:00) for a time that can't be converted.
bool FileTimeToLocalTime(std::uint64_t fileTime, TLocalTime& local);

// Days since 30 December 1899 00:00 local time, the fraction the time of day.
// Times that can't be converted give -109205 (1 January 1601 00:00).
double FileTimeToLocalDateTime(std::uint64_t fileTime);

// "dd.mm.yy hh:mm" with the locale's time separator.
std::string FormatFileTime(std::uint64_t fileTime);

// Forgets the zone offsets and the time separator remembered by this thread
// (after a change of time zone or locale).
void ResetLocalTimeCache();

// ---- Directory paths -------------------------------------------------------

// The path of the directory whose file reference is `reference`, without a
// trailing backslash; the drive string for the root; "*" where it can't be
// resolved. Fills PathCache; reads each directory record at most once
// between two resets of the cache.
std::string GetDirectoryPath(std::int64_t reference);

// Empties PathCache and gives it RecordCount + 1 empty entries.
void ResetPathCache(std::int32_t recordCount);

// ---- The deleted-file scan -------------------------------------------------

// The window's side of a scan: what the scan reads from it and the list it
// fills. The reports are made on the scan's thread; a window carries them to
// its own thread in order.
class TScanHost {
public:
    virtual ~TScanHost() = default;
    std::string SelectedDrive;
    std::atomic<bool> AbortRequested{false};
    TFoundFileList FoundFiles;
    std::int64_t FoundCount = 0;

    virtual void ReportStatusText(const std::string& /*text*/) {}  // LogPanel's caption
    virtual void ReportProgressMax(std::int64_t /*max*/) {}       // Gauge1's maximum
    virtual void ReportProgress(std::int64_t /*position*/) {}     // Gauge1's position
    virtual void ReportResultGridCut() {}                        // ResultGrid to 2 rows
};

// "Found N deleted files".
std::string CountText(std::int64_t count);

// Walks the MFT of host.SelectedDrive and lists every deleted file record.
// Every way it ends is reported through LogMessage; nothing escapes it.
void ScanDrive(TScanHost& host);

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
// is wider than 8 bytes, or a cluster number leaves the volume's range.
std::vector<TDataRun> DecodeRunList(std::span<const std::uint8_t> runList, std::uint32_t bytesPerCluster);

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

// Decodes the first $DATA of a fixed-up record. Throws ERecordError on every
// failure (no $DATA, an empty or damaged run list, sizes out of range).
TFileContent ExtractFileContent(const TDynamicCharArray& record, const TVolume& volume);

// The same for any one attribute's bytes (resident value or run list).
TFileContent ContentOfAttribute(std::span<const std::uint8_t> attribute, const TVolume& volume);

// Reads the content through `handle` in bounded chunks and hands each chunk
// to `sink` in order. A hole (a sparse run, or clusters past the end of the
// device) comes as one call with null bytes and its length, however long;
// bytes that can't be read come out as zeros.
void ReadFileContent(TDevice& handle, const TFileContent& content,
                     const std::function<void(const std::uint8_t*, std::uint64_t)>& sink);

// ---- Recovery --------------------------------------------------------------

// The window's side of a recovery.
class TRecoveryHost {
public:
    virtual ~TRecoveryHost() = default;
    virtual int Row() = 0;                         // ResultGrid's current row
    virtual std::string FirstResultCell() = 0;     // column 0 of row 1, untrimmed
    virtual const TFoundFileList& FoundFiles() = 0;
    // Runs the save dialog with the proposed name; the chosen path or nothing.
    virtual std::optional<std::string> AskTargetPath(const std::string& proposedName) = 0;
};

// Name safe to propose or write: "/", "\" and control characters become "_".
std::string SafeFileName(const std::string& name);

// Recovers the file of the host's current row, logging every step.
void RecoverFile(TRecoveryHost& host);

// ---- Size text -------------------------------------------------------------

// A byte count as "N b", "N Kb", "N Mb" or "N Gb" with up to two truncated
// decimals and the locale's decimal separator.
std::string SizeToText(std::int64_t value);

}  // namespace deruzera
