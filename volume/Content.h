// A file's content as a plan of volume extents, checked before anything is
// written, and the reads that follow it: holes, compressed units (LZNT1), the
// valid data length.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "Device.h"
#include "Read.h"
#include "Records.h"
#include "Runs.h"

namespace deruzera {

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

// A stretch of a content, [From, To) in bytes from its start.
struct TContentRange {
    std::uint64_t From = 0;
    std::uint64_t To = 0;
};

// Reads `out.size()` bytes of an uncompressed content from byte `offset` on
// into `out`; zeros for holes and for what can't be read. The stretches that
// could not be read go to `unread` where given. Returns what the reads could
// not give.
TReadGaps ReadContentRange(TDevice& device, const TFileContent& content, std::uint64_t offset,
                           std::span<std::uint8_t> out, std::vector<TContentRange>* unread = nullptr);

// A part of a content as read for a look at it (the window's preview).
struct TContentPart {
    std::vector<std::uint8_t> Bytes;    // the bytes from the part's start; zeros where unread
    std::vector<TContentRange> Unread;  // what the device could not give, from the content's start
    std::uint64_t BadUnits = 0;         // compressed units that would not decompress (zeros)
    bool Stopped = false;               // `stop` was set before the part was read whole
};

// Reads `count` bytes of a content from byte `offset` on (fewer at its
// end), and no more of the device than that: each extent only over the
// part asked for, a compressed unit whole where the part touches it (it
// can't be decoded from less). Holes are zeros. `stop`, where given, is
// looked at between reads of at most PartReadBytes.
TContentPart ReadContentPart(TDevice& device, const TFileContent& content, std::uint64_t offset,
                             std::uint64_t count, const std::atomic<bool>* stop = nullptr);
// The most bytes ReadContentPart reads in one go.
inline constexpr std::size_t PartReadBytes = 256 * 1024;

// What reading a content found on the way.
struct TReadReport {
    int Error = 0;                 // errno of the first failed read
    std::uint64_t BadUnits = 0;    // compressed units that would not decompress (written as zeros)
    std::uint64_t UnreadBytes = 0; // bytes of the content the device could not give (written as zeros)
    std::int64_t FirstUnread = -1; // the first of them, in bytes from the content's start
};

// Reads the content through `device` in bounded chunks and hands each chunk
// to `sink` in order. A hole (a sparse run, or clusters past the end of the
// device) comes as one call with null bytes and its length, however long;
// bytes that can't be read come out as zeros and are counted in the report
// (a compressed unit whose stored bytes can't all be read, whole).
TReadReport ReadFileContent(TDevice& device, const TFileContent& content,
                            const std::function<void(const std::uint8_t*, std::uint64_t)>& sink);

}  // namespace deruzera
