// The on-disk layout of NTFS as the volume reader uses it: the offsets of the
// fields it reads, by structure, and the little-endian field readers. Every
// reader of the volume takes its offsets from here.
//
// All integers on the volume are little-endian. Fields are read from byte
// views with readers that give 0 for bytes past the view's end, so a
// structure cut short reads as if zero-filled; nothing is cast onto a struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace deruzera {

using TBytes = std::span<const std::uint8_t>;

// ---- Field readers -----------------------------------------------------------

// `width` bytes (up to 8) at `offset`, little-endian; bytes past the end read as 0.
std::uint64_t ReadLE(TBytes bytes, std::size_t offset, std::size_t width);

template <std::size_t Width>
inline std::uint64_t ReadFixedLE(TBytes b, std::size_t o) {
    if (o > b.size() || b.size() - o < Width) return ReadLE(b, o, Width);
    std::uint64_t value = 0;
    for (std::size_t i = Width; i-- > 0;) value = (value << 8) | b[o + i];
    return value;
}
inline std::uint8_t ReadU8(TBytes b, std::size_t o) { return o < b.size() ? b[o] : 0; }

// Unchecked little-endian loads, for fields the caller has bounded already.
inline std::uint16_t LoadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t LoadU32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline std::uint16_t ReadU16(TBytes b, std::size_t o) { return static_cast<std::uint16_t>(ReadFixedLE<2>(b, o)); }
inline std::uint32_t ReadU32(TBytes b, std::size_t o) { return static_cast<std::uint32_t>(ReadFixedLE<4>(b, o)); }
inline std::uint64_t ReadU64(TBytes b, std::size_t o) { return ReadFixedLE<8>(b, o); }
inline std::int64_t ReadS64(TBytes b, std::size_t o) { return static_cast<std::int64_t>(ReadFixedLE<8>(b, o)); }

// No volume holds more bytes than this (2^48, 256 TiB, the most any NTFS
// driver writes); larger sizes, cluster numbers or positions come from damage.
inline constexpr std::uint64_t MaxVolumeBytes = std::uint64_t{1} << 48;

// ---- File references -----------------------------------------------------------

// A file reference holds the record number in its low 48 bits and the
// record's sequence number in its high 16.
inline constexpr std::uint64_t RecordNumberMask = 0xFFFFFFFFFFFFull;
inline std::int64_t RecordNumberOf(std::uint64_t reference) {
    return static_cast<std::int64_t>(reference & RecordNumberMask);
}
inline std::uint16_t SequenceOf(std::uint64_t reference) { return static_cast<std::uint16_t>(reference >> 48); }

// Record numbers of the system files the reader knows by number.
inline constexpr std::int64_t MftRecord = 0;
inline constexpr std::int64_t RootRecord = 5;
inline constexpr std::int64_t BitmapRecord = 6;
inline constexpr std::int64_t FirstUserRecord = 16;

// ---- Boot sector -----------------------------------------------------------------

namespace Boot {
inline constexpr std::size_t Size = 512;
inline constexpr std::size_t OemId = 3;               /*  3 */  // "NTFS    "
inline constexpr std::size_t BytesPerSector = 11;     /* 11 */  // u16
inline constexpr std::size_t SectorsPerCluster = 13;  /* 13 */  // u8; 0xF4.. means 2^(256 - value)
inline constexpr std::size_t TotalSectors = 40;       /* 40 */  // u64, the volume's sectors less one
inline constexpr std::size_t MftCluster = 48;         /* 48 */  // u64
inline constexpr std::size_t MftMirrorCluster = 56;   /* 56 */  // u64
inline constexpr std::size_t RecordSizeCode = 64;     /* 64 */  // s8 in a u32: clusters, or -k for 2^k bytes
inline constexpr std::size_t EndMarker = 510;         /*510 */  // 0x55 0xAA
}  // namespace Boot

// ---- File record header --------------------------------------------------------------

namespace RecordHeader {
inline constexpr std::size_t Signature = 0;        /*  0 */  // "FILE"
inline constexpr std::size_t UsaOffset = 4;        /*  4 */  // u16
inline constexpr std::size_t UsaCount = 6;         /*  6 */  // u16: 1 + one entry per 512 bytes
inline constexpr std::size_t Sequence = 16;        /* 16 */  // u16
inline constexpr std::size_t FirstAttribute = 20;  /* 20 */  // u16
inline constexpr std::size_t Flags = 22;           /* 22 */  // u16
inline constexpr std::size_t BytesInUse = 24;      /* 24 */  // u32
inline constexpr std::size_t BytesAllocated = 28;  /* 28 */  // u32
inline constexpr std::size_t BaseRecord = 32;      /* 32 */  // u64 file reference; 0 in a base record
inline constexpr std::size_t Size = 42;            // the smallest header any NTFS version writes
}  // namespace RecordHeader

// Record header flags.
inline constexpr std::uint16_t RecordInUse = 0x0001;
inline constexpr std::uint16_t RecordIsDirectory = 0x0002;

// ---- Attribute header (common part) ------------------------------------------------------

namespace AttrHeader {
inline constexpr std::size_t Type = 0;         /*  0 */  // u32
inline constexpr std::size_t Length = 4;       /*  4 */  // u32, a multiple of 8
inline constexpr std::size_t NonResident = 8;  /*  8 */  // u8: exactly 1 is non-resident
inline constexpr std::size_t NameLength = 9;   /*  9 */  // u8, UTF-16 units
inline constexpr std::size_t NameOffset = 10;  /* 10 */  // u16
inline constexpr std::size_t Flags = 12;       /* 12 */  // u16
inline constexpr std::size_t Size = 16;
}  // namespace AttrHeader

// Attribute flags.
inline constexpr std::uint16_t AttrCompressed = 0x0001;
inline constexpr std::uint16_t AttrCompressionMask = 0x00FF;
inline constexpr std::uint16_t AttrEncrypted = 0x4000;
inline constexpr std::uint16_t AttrSparse = 0x8000;

// Resident form.
namespace Resident {
inline constexpr std::size_t ValueLength = 16;  /* 16 */  // u32
inline constexpr std::size_t ValueOffset = 20;  /* 20 */  // u16
inline constexpr std::size_t Size = 24;
}  // namespace Resident

// Non-resident form.
namespace NonResident {
inline constexpr std::size_t FirstVcn = 16;         /* 16 */  // s64
inline constexpr std::size_t LastVcn = 24;          /* 24 */  // s64
inline constexpr std::size_t RunListOffset = 32;    /* 32 */  // u16
inline constexpr std::size_t CompressionUnit = 34;  /* 34 */  // u8: log2 of clusters per unit
inline constexpr std::size_t AllocatedSize = 40;    /* 40 */  // s64
inline constexpr std::size_t DataSize = 48;         /* 48 */  // s64, the real size
inline constexpr std::size_t InitializedSize = 56;  /* 56 */  // s64, the valid data length
inline constexpr std::size_t Size = 64;
}  // namespace NonResident

// Attribute types.
inline constexpr std::uint32_t AttrStandardInformation = 0x10;
inline constexpr std::uint32_t AttrAttributeList = 0x20;
inline constexpr std::uint32_t AttrFileName = 0x30;
inline constexpr std::uint32_t AttrData = 0x80;
inline constexpr std::uint32_t AttrEnd = 0xFFFFFFFF;

// ---- $STANDARD_INFORMATION (offsets from the attribute's start; the value
// is taken at 24, where a resident header of a record ends) ------------------------------------

namespace StandardInformation {
inline constexpr std::size_t Created = 24;      /* 24 */  // FILETIME
inline constexpr std::size_t Modified = 32;     /* 32 */  // FILETIME
inline constexpr std::size_t Changed = 40;      /* 40 */  // FILETIME, the record's last change
inline constexpr std::size_t Accessed = 48;     /* 48 */  // FILETIME
inline constexpr std::size_t FileFlags = 56;    /* 56 */  // u32 DOS attributes
}  // namespace StandardInformation

inline constexpr std::uint32_t FileAttributeEncrypted = 0x4000;
inline constexpr std::uint32_t FileAttributeCompressed = 0x0800;

// ---- $FILE_NAME (offsets from the attribute's start, value at 24) -----------------------------

namespace FileName {
inline constexpr std::size_t Parent = 24;      /* 24 */  // u64 file reference
inline constexpr std::size_t Length = 88;      /* 88 */  // u8, UTF-16 units
inline constexpr std::size_t Namespace = 89;   /* 89 */  // u8
inline constexpr std::size_t Chars = 90;       /* 90 */  // UTF-16LE
}  // namespace FileName

// Name spaces: 0 POSIX, 1 Win32, 2 DOS (the 8.3 alias), 3 Win32 and DOS.
inline constexpr std::uint8_t NamespaceDos = 2;

// ---- $ATTRIBUTE_LIST entries (offsets from the entry's start) ----------------------------------

namespace ListEntry {
inline constexpr std::size_t Type = 0;        /*  0 */  // u32
inline constexpr std::size_t Length = 4;      /*  4 */  // u16, a multiple of 8
inline constexpr std::size_t NameLength = 6;  /*  6 */  // u8
inline constexpr std::size_t NameOffset = 7;  /*  7 */  // u8
inline constexpr std::size_t FirstVcn = 8;    /*  8 */  // u64
inline constexpr std::size_t Record = 16;     /* 16 */  // u64 file reference of the record holding it
inline constexpr std::size_t AttributeId = 24;  /* 24 */  // u16
inline constexpr std::size_t Size = 26;
}  // namespace ListEntry

static_assert(Boot::RecordSizeCode + 4 <= Boot::Size);
static_assert(RecordHeader::BaseRecord + 8 <= 48, "the base reference lies in every header");
static_assert(NonResident::InitializedSize + 8 == NonResident::Size);
static_assert(FileName::Chars == 24 + 66, "the name follows the 66-byte fixed part of the value");
static_assert(ListEntry::AttributeId + 2 == ListEntry::Size);

}  // namespace deruzera
