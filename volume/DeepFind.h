// The finding side of the deep scan: FILE records and NTFS boot sectors met
// anywhere on a device, kept as the little the scan needs of each (numbers,
// name and parent, times, the unnamed $DATA attribute, the cluster size its
// attributes show). Memory grows with the records found, never with the
// bytes passed. Part of the deep scan.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Layout.h"
#include "Partitions.h"

namespace deruzera::deep {

// One FILE record found: where it lies, what it says of itself, and the
// pieces the listing and the grouping read.
struct TRecordFound {
    std::int64_t Offset = 0;      // the byte on the device where it begins
    std::int64_t Number = 0;      // its own record number
    std::uint64_t BaseRecord = 0; // the base record's reference; 0 in a base record
    std::uint64_t Parent = 0;     // its name's parent reference (0 where it has no name)
    std::uint64_t Created = 0;    // NTFS times of $STANDARD_INFORMATION
    std::uint64_t Modified = 0;
    std::uint64_t DataSize = 0;   // of the unnamed $DATA (its first extent's, for a non-resident one)
    std::uint32_t Size = 0;       // bytes of the record
    // The cluster size its non-resident attributes show (allocated bytes over
    // clusters mapped, where they agree); 0 where none does.
    std::uint32_t Cluster = 0;
    std::uint32_t NameOffset = 0; // the name to show, UTF-8, in TFinds::Names
    std::uint16_t NameLength = 0;
    std::uint32_t DataOffset = 0; // a non-resident unnamed $DATA attribute as it stands, in TFinds::Attributes
    std::uint16_t DataLength = 0; // 0: none, or resident
    std::uint16_t Sequence = 0;
    std::uint16_t Flags = 0;      // RecordInUse, RecordIsDirectory
    bool HasName = false;
    bool HasData = false;         // an unnamed $DATA, resident or not
    bool ResidentData = false;    // that $DATA holds its bytes in the record
    bool HasList = false;         // an $ATTRIBUTE_LIST: names and extents may lie in extension records
    bool Encrypted = false;       // the file's DOS flags or its $DATA say so
    bool DosNameOnly = false;     // the name shown is the 8.3 alias

    bool InUse() const { return (Flags & RecordInUse) != 0; }
    bool Directory() const { return (Flags & RecordIsDirectory) != 0; }
    std::int64_t Key() const { return Offset - Number * static_cast<std::int64_t>(Size); }
};

// An NTFS boot sector found.
struct TBootFound {
    std::int64_t Offset = 0;
    TNtfsBootSector Boot;
};

// What a pass found, in the order met.
struct TFinds {
    std::vector<TRecordFound> Records;
    std::vector<TBootFound> Boots;
    std::string Names;                      // UTF-8 names, back to back
    std::vector<std::uint8_t> Attributes;   // $DATA attributes, back to back
    std::uint64_t Damaged = 0;              // "FILE" sectors whose record fails its checks
    std::uint64_t Unnumbered = 0;           // records of older NTFS versions, which don't hold their number

    std::string_view Name(const TRecordFound& r) const {
        return r.NameOffset <= Names.size() ? std::string_view(Names).substr(r.NameOffset, r.NameLength)
                                            : std::string_view();
    }
    TBytes Data(const TRecordFound& r) const {
        if (r.DataLength == 0 || r.DataOffset + std::size_t{r.DataLength} > Attributes.size()) return {};
        return TBytes(Attributes.data() + r.DataOffset, r.DataLength);
    }
    // Bytes held, for the memory budget.
    std::size_t Footprint() const {
        return Records.capacity() * sizeof(TRecordFound) + Names.capacity() + Attributes.capacity() +
               Boots.capacity() * sizeof(TBootFound);
    }
};

// No record is larger than the update sequence can guard (a 16-bit count
// of 512-byte stretches, and every NTFS writes at most 64 KiB).
inline constexpr std::size_t MaxRecordBytes = 64 * 1024;
// Non-resident $DATA attributes longer than this (a run list of thousands
// of fragments) are kept by reference only: the recovery reads them again.
inline constexpr std::size_t MaxKeptAttribute = 4096;

// Reads `record` (a FILE record of Size bytes found at device offset
// `offset`) into `finds`: checks its header and update sequence (undone in
// place) and keeps what the scan needs. False, counted, where it fails.
bool TakeRecord(std::span<std::uint8_t> record, std::int64_t offset, TFinds& finds);

// The size a FILE record at `head` claims through its update sequence count
// (1 + size / 512); 0 where that is no record size (below 512 or above
// MaxRecordBytes). `head` holds at least 8 bytes.
std::size_t ClaimedRecordSize(const std::uint8_t* head);

// Looks at every 512-byte sector of `bytes`, which begin at device offset
// `at` (a multiple of 512), for FILE records and NTFS boot sectors, and adds
// them to `finds`. A record that runs past the end of `bytes` waits in
// `carry` for the bytes that follow (the next call, at the offset where
// these end, completes it); `carry` is cleared where the next bytes don't
// follow on. Records are fixed up in place.
class TSectorFinder {
public:
    void Find(std::span<std::uint8_t> bytes, std::int64_t at, TFinds& finds);
    // The bytes that follow won't come (a read error, the end): a record
    // waiting for them is dropped.
    void Break() { carry_.clear(); }

private:
    std::vector<std::uint8_t> carry_;  // the start of a record cut by the end of the last bytes
    std::int64_t carryAt_ = -1;        // where it begins on the device
    std::size_t carryNeeds_ = 0;       // its whole size
};

}  // namespace deruzera::deep
