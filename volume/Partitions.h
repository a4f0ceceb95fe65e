// Partition tables: the MBR with its chain of extended boot records, and the
// GPT (its protective MBR, header and entry checksums, the backup header at
// the disk's end), with 512- or 4096-byte logical sectors. Reads the device
// only; every way a table falls short is a value the caller words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Device.h"

namespace deruzera {

enum class TPartitionScheme : std::uint8_t {
    None,  // no table: the device is one volume, or holds nothing known
    Mbr,
    Gpt,
};

// One partition as its table describes it.
struct TPartition {
    int Index = 0;              // MBR: 1 to 4 primary, 5 on the logical ones in chain order; GPT: entry from 1
    std::int64_t Start = 0;     // bytes from the start of the device
    std::int64_t Length = 0;    // bytes as the table gives them (see Cut)
    bool Cut = false;           // the table's length reaches past the device's end; Readable says how far it goes
    std::int64_t Readable = 0;  // bytes of it the device holds (Length where not cut)
    std::string Type;           // MBR: "0x07"; GPT: the type GUID, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
    std::string Name;           // GPT: the entry's name in UTF-8; MBR: ""
    bool Logical = false;       // MBR: in the extended partition
};

// What a table holds that is damaged or odd. Each comes with its facts.
enum class TTableIssue : std::uint8_t {
    GptBackupUsed,     // the primary GPT header or its entries fail their checks: the backup at Sector is used
    GptDamaged,        // neither GPT header is usable: no partitions come from it
    ChainLoops,        // the chain of extended boot records comes back to Sector
    ChainTooLong,      // the chain holds more than MaxLogicalPartitions links
    ChainOutside,      // a link points outside the extended partition, to Sector
    ChainUnreadable,   // the extended boot record at Sector can't be read (Error; 0: it lies past the end)
    PastEnd,           // partition Index reaches past the device's end (kept, read as far as it goes)
    StartsPastEnd,     // partition Index begins at or past the device's end: left out
    Overlap,           // partitions Index and Other share sectors
};

struct TTableNote {
    TTableIssue Issue = TTableIssue::GptDamaged;
    int Index = 0;
    int Other = 0;
    std::int64_t Sector = -1;   // in logical sectors of the table
    int Error = 0;              // errno of a failed read
    bool operator==(const TTableNote&) const = default;
};

struct TPartitionTable {
    TPartitionScheme Scheme = TPartitionScheme::None;
    std::uint32_t SectorSize = 512;       // the logical sector the table counts in
    std::vector<TPartition> Partitions;   // in table order (primary, then logical; GPT entries)
    std::vector<TTableNote> Notes;
    int Error = 0;                        // errno where the first sector could not be read
};

// No partitioning tool writes more logical partitions than this (Linux
// reads up to 256 partitions in all); a longer chain is damage.
inline constexpr int MaxLogicalPartitions = 256;
// GPT entry arrays: the usual 128 entries of 128 bytes are 16 KiB; no tool
// writes more than a few thousand entries. Larger claims are damage.
inline constexpr std::uint64_t MaxGptEntryBytes = 1u << 20;

// Reads the partition table of `device`. `sectorSize` is the device's
// logical sector when known (a block device says so), 0 to find it: a GPT
// header in the second 512- or 4096-byte sector, or for an MBR the size at
// which its first partition begins with a boot sector. A bare volume, an
// unreadable first sector or anything else gives scheme None.
TPartitionTable ReadPartitionTable(TDevice& device, std::uint32_t sectorSize = 0);

// CRC-32 as the GPT uses it (IEEE 802.3, reflected, initial and final
// value all ones).
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

// A boot sector of a volume (NTFS, FAT, exFAT, BitLocker), as opposed to an
// MBR: a jump instruction and a power-of-two sector size. `sector` holds at
// least 512 bytes.
bool LooksLikeBootSector(const std::uint8_t* sector);

}  // namespace deruzera
