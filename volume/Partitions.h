// Partition tables: the MBR with its chain of extended boot records, and the
// GPT (its protective MBR, header and entry checksums, the backup header at
// the disk's end), with 512- or 4096-byte logical sectors. Reads the device
// only; every way a table falls short is a value the caller words.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
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

// ---- Volumes no table lists ----------------------------------------------------

// What an NTFS boot sector says of its volume, as far as finding it goes.
struct TNtfsBootSector {
    std::uint32_t BytesPerSector = 0;
    std::uint32_t BytesPerCluster = 0;
    std::uint32_t RecordSize = 0;
    std::uint64_t Sectors = 0;      // the count it holds: the volume's sectors less the backup's
    std::uint64_t MftCluster = 0;
    std::uint64_t MirrorCluster = 0;
    // The volume's bytes: its sectors and the backup sector in its last.
    std::int64_t Length() const { return static_cast<std::int64_t>((Sectors + 1) * BytesPerSector); }
};

// Reads `sector` (512 bytes) as an NTFS boot sector: its name, its end
// marker and sizes a volume can have (the MFT and its mirror inside the
// volume, the volume inside MaxVolumeBytes). Nothing where it is none.
std::optional<TNtfsBootSector> ParseNtfsBootSector(const std::uint8_t* sector);

// An NTFS volume found by searching a device for its boot sector or the
// copy of it in its last sector.
struct TFoundVolume {
    std::int64_t Start = 0;   // bytes from the start of the device
    std::int64_t Length = 0;  // TNtfsBootSector::Length
    bool ByBackup = false;    // found by the copy at its end: its first sector no longer holds it
    bool operator==(const TFoundVolume&) const = default;
};

// Whether the NTFS boot sector `sector`, read at device offset `at`, is the
// first sector of a volume there (`asBackup` false) or the copy in its last
// sector (true), as the device bears out: the MFT it names begins with record
// 0 (signature, update sequence, number), or the other copy of the boot
// sector is where it belongs and the same. The volume, where it is one.
std::optional<TFoundVolume> NtfsVolumeAt(TDevice& device, const std::uint8_t* sector, std::int64_t at, bool asBackup);

enum class TSearchReach : std::uint8_t {
    // Where partitioning tools put volumes: 1 MiB boundaries (and sectors
    // 63 and 128, and cylinder ends for backups) within SearchWindow of each
    // stretch's start and end and of each volume found, so that a chain of
    // volumes is followed across the stretch at a few reads a volume.
    Boundaries,
    // Every 512-byte sector of the stretches, read once in order.
    EverySector,
};

// Volumes begin on a 1 MiB boundary (Windows since Vista), or at sector 63
// or 128 (older tools), or on a cylinder of 255 heads and 63 sectors; a
// reserved partition of up to 128 MiB (Microsoft's) may lie between two of
// them, so the boundary search looks twice that far from each end it knows.
inline constexpr std::int64_t SearchStep = std::int64_t{1} << 20;
inline constexpr std::int64_t SearchWindow = std::int64_t{256} << 20;
inline constexpr std::int64_t CylinderBytes = std::int64_t{255} * 63 * 512;
// No disk holds more partitions than a GPT's usual 128; a search that finds
// more is reading a pattern, not volumes.
inline constexpr std::size_t MaxFoundVolumes = 128;

struct TSearchOptions {
    TSearchReach Reach = TSearchReach::Boundaries;
    const std::atomic<bool>* Abort = nullptr;  // polled at every chunk; what was found stays
    // EverySector: after each chunk, bytes passed of the total.
    std::function<void(std::uint64_t done, std::uint64_t total)> Progress;
};

// Searches the stretches of `device` (a Length of UINT64_MAX runs to its
// end) for NTFS volumes that begin in them. Each volume is found once, by
// its first sector or by its backup; one that begins inside another one
// found is left out (a volume's image kept as a file in it). In order of
// their start, at most MaxFoundVolumes. Reads that fail are passed over.
std::vector<TFoundVolume> SearchNtfsVolumes(TDevice& device, const std::vector<TByteRange>& stretches,
                                            const TSearchOptions& options = {});

}  // namespace deruzera
