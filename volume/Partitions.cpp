// MBR (with the chain of extended boot records) and GPT.
#include "Partitions.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "Attributes.h"
#include "Fixup.h"
#include "Layout.h"
#include "Read.h"

namespace deruzera {
namespace {

constexpr std::size_t SectorBytes = 512;  // what is read of a sector holding an MBR or EBR
constexpr std::size_t EntriesAt = 446;    // the four 16-byte entries of an MBR or EBR
constexpr std::uint8_t ProtectiveType = 0xEE;
// The logical sector sizes a disk may have.
constexpr std::uint32_t SectorSizes[] = {512, 4096};

namespace Gpt {
constexpr std::size_t Signature = 0;      // "EFI PART"
constexpr std::size_t HeaderSize = 12;    // u32, 92 and up
constexpr std::size_t HeaderCrc = 16;     // u32, over HeaderSize bytes with this field zero
constexpr std::size_t MyLba = 24;         // u64
constexpr std::size_t AlternateLba = 32;  // u64
constexpr std::size_t EntriesLba = 72;    // u64
constexpr std::size_t EntryCount = 80;    // u32
constexpr std::size_t EntrySize = 84;     // u32, 128 * 2^n
constexpr std::size_t EntriesCrc = 88;    // u32
constexpr std::size_t MinHeaderSize = 92;
// One entry.
constexpr std::size_t TypeGuid = 0;
constexpr std::size_t FirstLba = 32;      // u64
constexpr std::size_t LastLba = 40;       // u64, inclusive
constexpr std::size_t Name = 56;          // 36 UTF-16LE units
constexpr std::size_t NameBytes = 72;
constexpr std::size_t MinEntrySize = 128;
}  // namespace Gpt

constexpr std::array<std::uint32_t, 256> CrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}();


bool HasSignature55AA(const std::uint8_t* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

bool IsExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct TMbrEntry {
    std::uint8_t Flag = 0;
    std::uint8_t Type = 0;
    std::uint32_t Start = 0;
    std::uint32_t Count = 0;
    bool Used() const { return Type != 0 && Count != 0; }
};

TMbrEntry MbrEntry(const std::uint8_t* sector, int slot) {
    const TBytes e(sector + EntriesAt + 16 * static_cast<std::size_t>(slot), 16);
    return {e[0], e[4], ReadU32(e, 8), ReadU32(e, 12)};
}

std::string HexType(std::uint8_t type) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", type);
    return text;
}

std::string GuidText(const std::uint8_t* g) {
    char text[40];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                  g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return text;
}

class TReader {
public:
    TReader(TDevice& device, std::uint32_t hint) : device_(device), hint_(hint), size_(device.Size()) {}

    TPartitionTable Read() {
        std::uint8_t sector0[SectorBytes];
        int error = 0;
        if (!ReadExactly(device_, 0, sector0, sizeof sector0, &error)) {
            table_.Error = error;
            return std::move(table_);
        }
        if (LooksLikeBootSector(sector0)) return std::move(table_);

        const bool mbrSigned = HasSignature55AA(sector0);
        bool protective = false, saneMbr = mbrSigned, anyUsed = false;
        for (int slot = 0; slot < 4 && mbrSigned; ++slot) {
            const TMbrEntry e = MbrEntry(sector0, slot);
            if (e.Flag != 0 && e.Flag != 0x80) saneMbr = false;
            if (e.Used()) anyUsed = true;
            if (e.Type == ProtectiveType) protective = true;
        }
        saneMbr = saneMbr && anyUsed;

        // A GPT whose primary header holds.
        bool gptSeen = protective;
        for (const std::uint32_t ss : Sizes()) {
            bool signature = false;
            std::uint64_t alternate = 0;
            if (ReadGpt(ss, 1, signature, &alternate)) return std::move(table_);
            if (signature) {
                gptSeen = true;
                // The header may hold while its entries fail: it names the backup.
                if (alternate > 1 && ReadGpt(ss, alternate, signature, nullptr)) {
                    Note({TTableIssue::GptBackupUsed, 0, 0, static_cast<std::int64_t>(alternate)});
                    return std::move(table_);
                }
            }
        }
        if (saneMbr && !protective) {
            ReadMbr(sector0);
            return std::move(table_);
        }
        // The backup header in the device's last sector.
        if (size_ > 0) {
            for (const std::uint32_t ss : Sizes()) {
                const std::uint64_t last = static_cast<std::uint64_t>(size_) / ss;
                if (last < 3) continue;
                bool signature = false;
                if (ReadGpt(ss, last - 1, signature, nullptr)) {
                    Note({TTableIssue::GptBackupUsed, 0, 0, static_cast<std::int64_t>(last - 1)});
                    return std::move(table_);
                }
                gptSeen = gptSeen || signature;
            }
        }
        if (gptSeen) {
            table_.Scheme = TPartitionScheme::Gpt;
            table_.SectorSize = hint_ ? hint_ : 512;
            Note({TTableIssue::GptDamaged});
        }
        return std::move(table_);
    }

private:
    std::vector<std::uint32_t> Sizes() const {
        if (hint_) return {hint_};
        return {std::begin(SectorSizes), std::end(SectorSizes)};
    }

    void Note(const TTableNote& note) { table_.Notes.push_back(note); }

    // Reads the GPT header at `lba` and its entries; fills the table and
    // returns true where both hold. `signature` tells whether the header
    // at least carries the GPT's signature; `alternate` gets the backup's
    // LBA where the header itself holds.
    bool ReadGpt(std::uint32_t ss, std::uint64_t lba, bool& signature, std::uint64_t* alternate) {
        signature = false;
        if (lba > static_cast<std::uint64_t>(INT64_MAX) / ss) return false;
        std::vector<std::uint8_t> header(ss);
        if (!ReadExactly(device_, static_cast<std::int64_t>(lba * ss), header.data(), ss)) return false;
        const TBytes h(header);
        if (std::memcmp(header.data() + Gpt::Signature, "EFI PART", 8) != 0) return false;
        signature = true;
        const std::uint32_t headerSize = ReadU32(h, Gpt::HeaderSize);
        if (headerSize < Gpt::MinHeaderSize || headerSize > ss) return false;
        const std::uint32_t stored = ReadU32(h, Gpt::HeaderCrc);
        std::memset(header.data() + Gpt::HeaderCrc, 0, 4);
        if (Crc32(header.data(), headerSize) != stored) return false;
        if (ReadU64(h, Gpt::MyLba) != lba) return false;
        if (alternate) *alternate = ReadU64(h, Gpt::AlternateLba);

        const std::uint64_t entriesLba = ReadU64(h, Gpt::EntriesLba);
        const std::uint32_t count = ReadU32(h, Gpt::EntryCount);
        const std::uint32_t entrySize = ReadU32(h, Gpt::EntrySize);
        if (entrySize < Gpt::MinEntrySize || entrySize % 8 != 0) return false;
        const std::uint64_t bytes = std::uint64_t{count} * entrySize;
        if (bytes > MaxGptEntryBytes) return false;
        if (entriesLba < 1 || entriesLba > static_cast<std::uint64_t>(INT64_MAX - MaxGptEntryBytes) / ss) return false;
        std::vector<std::uint8_t> entries(static_cast<std::size_t>(bytes));
        if (bytes && !ReadExactly(device_, static_cast<std::int64_t>(entriesLba * ss), entries.data(), entries.size()))
            return false;
        if (Crc32(entries.data(), entries.size()) != ReadU32(h, Gpt::EntriesCrc)) return false;

        table_.Scheme = TPartitionScheme::Gpt;
        table_.SectorSize = ss;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint8_t* e = entries.data() + std::size_t{i} * entrySize;
            static constexpr std::uint8_t Unused[16] = {};
            if (std::memcmp(e + Gpt::TypeGuid, Unused, 16) == 0) continue;
            const TBytes eb(e, entrySize);
            const std::uint64_t first = ReadU64(eb, Gpt::FirstLba), last = ReadU64(eb, Gpt::LastLba);
            TPartition p;
            p.Index = static_cast<int>(i) + 1;
            p.Type = GuidText(e + Gpt::TypeGuid);
            std::size_t units = 0;
            while (units < Gpt::NameBytes / 2 && (e[Gpt::Name + 2 * units] | e[Gpt::Name + 2 * units + 1])) ++units;
            p.Name = Utf16ToUtf8(TBytes(e + Gpt::Name, 2 * units));
            if (last < first || last >= MaxVolumeBytes / ss) {
                // No disk has sectors out there: the entry is damage.
                Note({TTableIssue::StartsPastEnd, p.Index});
                continue;
            }
            Add(std::move(p), first, last - first + 1);
        }
        Finish();
        return true;
    }

    void ReadMbr(const std::uint8_t* sector0) {
        table_.Scheme = TPartitionScheme::Mbr;
        table_.SectorSize = hint_ ? hint_ : MbrSectorSize(sector0);
        for (int slot = 0; slot < 4; ++slot) {
            const TMbrEntry e = MbrEntry(sector0, slot);
            if (!e.Used()) continue;
            if (IsExtended(e.Type)) {
                ReadChain(e.Start, e.Count);
                continue;
            }
            TPartition p;
            p.Index = slot + 1;
            p.Type = HexType(e.Type);
            Add(std::move(p), e.Start, e.Count);
        }
        Finish();
    }

    // The logical sector size of an MBR disk: where its first partition
    // (or first extended boot record) begins with a boot sector.
    std::uint32_t MbrSectorSize(const std::uint8_t* sector0) {
        for (int slot = 0; slot < 4; ++slot) {
            const TMbrEntry e = MbrEntry(sector0, slot);
            if (!e.Used() || e.Start == 0) continue;
            for (const std::uint32_t ss : SectorSizes) {
                std::uint8_t sector[SectorBytes];
                if (!ReadExactly(device_, std::int64_t{e.Start} * ss, sector, sizeof sector)) continue;
                if (IsExtended(e.Type) ? HasSignature55AA(sector) : LooksLikeBootSector(sector)) return ss;
            }
        }
        return 512;
    }

    // Follows the chain of extended boot records of the extended partition
    // at `start` (`count` sectors long).
    void ReadChain(std::uint64_t start, std::uint64_t count) {
        const std::uint64_t ss = table_.SectorSize;
        const std::uint64_t end = start + count;
        std::unordered_set<std::uint64_t> seen;
        std::uint64_t ebr = start;
        int logical = 0;
        for (int links = 0;; ++links) {
            if (links >= MaxLogicalPartitions) {
                Note({TTableIssue::ChainTooLong, 0, 0, static_cast<std::int64_t>(ebr)});
                return;
            }
            if (!seen.insert(ebr).second) {
                Note({TTableIssue::ChainLoops, 0, 0, static_cast<std::int64_t>(ebr)});
                return;
            }
            std::uint8_t sector[SectorBytes];
            int error = 0;
            if (!ReadExactly(device_, static_cast<std::int64_t>(ebr * ss), sector, sizeof sector, &error)) {
                // Error 0: the record lies past the device's end.
                Note({TTableIssue::ChainUnreadable, 0, 0, static_cast<std::int64_t>(ebr), error});
                return;
            }
            // An empty extended partition holds no record at all.
            if (!HasSignature55AA(sector)) return;
            const TMbrEntry part = MbrEntry(sector, 0), next = MbrEntry(sector, 1);
            if (part.Used() && !IsExtended(part.Type)) {
                TPartition p;
                p.Index = 5 + logical++;
                p.Type = HexType(part.Type);
                p.Logical = true;
                Add(std::move(p), ebr + part.Start, part.Count);
            }
            if (!IsExtended(next.Type) || next.Start == 0) return;
            const std::uint64_t to = start + next.Start;
            if (to >= end) {
                Note({TTableIssue::ChainOutside, 0, 0, static_cast<std::int64_t>(to)});
                return;
            }
            ebr = to;
        }
    }

    // Places a partition of `count` sectors from sector `first` on the device.
    void Add(TPartition p, std::uint64_t first, std::uint64_t count) {
        const std::uint64_t ss = table_.SectorSize;
        if (first >= MaxVolumeBytes / ss || count > MaxVolumeBytes / ss) {
            Note({TTableIssue::StartsPastEnd, p.Index});
            return;
        }
        p.Start = static_cast<std::int64_t>(first * ss);
        p.Length = static_cast<std::int64_t>(count * ss);
        p.Readable = p.Length;
        if (size_ >= 0) {
            if (p.Start >= size_) {
                Note({TTableIssue::StartsPastEnd, p.Index});
                return;
            }
            if (p.Length > size_ - p.Start) {
                p.Cut = true;
                p.Readable = size_ - p.Start;
                Note({TTableIssue::PastEnd, p.Index});
            }
        }
        table_.Partitions.push_back(std::move(p));
    }

    // Notes partitions that share sectors: each with the one reaching
    // furthest among those before it.
    void Finish() {
        std::vector<const TPartition*> byStart;
        for (const TPartition& p : table_.Partitions) byStart.push_back(&p);
        std::stable_sort(byStart.begin(), byStart.end(),
                         [](const TPartition* a, const TPartition* b) { return a->Start < b->Start; });
        const TPartition* furthest = nullptr;
        for (const TPartition* p : byStart) {
            if (furthest && p->Start < furthest->Start + furthest->Length)
                Note({TTableIssue::Overlap, std::min(furthest->Index, p->Index), std::max(furthest->Index, p->Index)});
            if (!furthest || p->Start + p->Length > furthest->Start + furthest->Length) furthest = p;
        }
    }

    TDevice& device_;
    std::uint32_t hint_;
    std::int64_t size_;
    TPartitionTable table_;
};

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = CrcTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool LooksLikeBootSector(const std::uint8_t* s) {
    const bool jump = (s[0] == 0xEB && s[2] == 0x90) || s[0] == 0xE9;
    const std::uint16_t bytesPerSector = static_cast<std::uint16_t>(s[11] | s[12] << 8);
    const bool power = bytesPerSector >= 256 && bytesPerSector <= 4096 && (bytesPerSector & (bytesPerSector - 1)) == 0;
    // exFAT keeps zeros where the sector size would be.
    const bool exfat = std::memcmp(s + 3, "EXFAT   ", 8) == 0;
    return jump && (power || exfat);
}

TPartitionTable ReadPartitionTable(TDevice& device, std::uint32_t sectorSize) {
    if (sectorSize != 0 && sectorSize != 512 && sectorSize != 4096) sectorSize = 0;
    return TReader(device, sectorSize).Read();
}

// ---- Volumes no table lists ----------------------------------------------------

namespace {

// The largest cluster any formatter writes, and the largest record the
// update sequence can guard (a 16-bit count of 512-byte stretches).
constexpr std::uint64_t MaxSearchCluster = 2u << 20;
constexpr std::uint64_t MaxSearchRecord = 64u << 10;
// The search reads this much at a time when it reads every sector.
constexpr std::size_t SearchChunk = std::size_t{4} << 20;

// Whether the bytes at `at` begin with MFT record 0 of a record of `size` bytes.
bool Record0At(TDevice& device, std::int64_t at, std::uint32_t size) {
    std::vector<std::uint8_t> record(size);
    if (at < 0 || ReadCarefully(device, at, record.data(), record.size()).Bytes > 0) return false;
    try {
        FixupRecord(record);
    } catch (const ERecordError&) {
        return false;
    }
    // NTFS 3.1 keeps the record's own number after the header's first fields.
    constexpr std::size_t NumberAt = 44;
    return ReadU16(record, RecordHeader::UsaOffset) < NumberAt + 4 || ReadU32(record, NumberAt) == 0;
}

bool SameSectorAt(TDevice& device, std::int64_t at, const std::uint8_t* sector) {
    std::uint8_t other[512];
    return at >= 0 && ReadCarefully(device, at, other, sizeof other).Bytes == 0 &&
           std::memcmp(other, sector, sizeof other) == 0;
}

class TSearch {
public:
    TSearch(TDevice& device, const TSearchOptions& options) : device_(device), options_(options), size_(device.Size()) {}

    void Stretch(const TByteRange& range) {
        const std::int64_t from = std::max<std::int64_t>(range.Offset, 0);
        std::int64_t to = range.Length == UINT64_MAX || range.Length > static_cast<std::uint64_t>(INT64_MAX - from)
                              ? INT64_MAX
                              : from + static_cast<std::int64_t>(range.Length);
        if (size_ >= 0) to = std::min(to, size_);
        if (to <= from) return;
        if (options_.Reach == TSearchReach::EverySector) EverySector(from, to);
        else Boundaries(from, to);
    }

    std::vector<TFoundVolume> Found() {
        std::sort(found_.begin(), found_.end(),
                  [](const TFoundVolume& a, const TFoundVolume& b) { return a.Start < b.Start; });
        std::vector<TFoundVolume> kept;
        for (const TFoundVolume& f : found_) {
            if (!kept.empty() && f.Start < kept.back().Start + kept.back().Length) continue;
            kept.push_back(f);
            if (kept.size() >= MaxFoundVolumes) break;
        }
        return kept;
    }

private:
    bool Full() const { return found_.size() >= MaxFoundVolumes; }
    bool Stopped() const { return options_.Abort && options_.Abort->load(std::memory_order_relaxed); }

    // The volume whose boot sector (or backup) is at `at`, if any.
    std::optional<TFoundVolume> Try(std::int64_t at, bool asBackup) {
        if (at < 0 || (size_ >= 0 && at + 512 > size_)) return std::nullopt;
        std::uint8_t sector[512];
        if (ReadCarefully(device_, at, sector, sizeof sector).Bytes > 0) return std::nullopt;
        return NtfsVolumeAt(device_, sector, at, asBackup);
    }

    std::optional<TFoundVolume> Keep(std::optional<TFoundVolume> volume) {
        if (!volume) return volume;
        for (const TFoundVolume& f : found_)
            if (f.Start == volume->Start) return f;
        found_.push_back(*volume);
        return volume;
    }

    // From each end of [from, to) inwards, volume after volume.
    void Boundaries(std::int64_t from, std::int64_t to) {
        // Forward: volumes by their first sector.
        std::int64_t at = from, knownEnd = -1;
        while (at < to && !Full() && !Stopped()) {
            std::vector<std::int64_t> candidates;
            if (knownEnd >= 0) candidates.push_back(knownEnd);
            for (const std::int64_t legacy : {std::int64_t{63} * 512, std::int64_t{128} * 512})
                if (legacy >= at) candidates.push_back(legacy);
            const std::int64_t first = (at + SearchStep - 1) / SearchStep * SearchStep;
            for (std::int64_t k = first; k < to && k < at + SearchWindow; k += SearchStep) candidates.push_back(k);
            std::sort(candidates.begin(), candidates.end());
            std::optional<TFoundVolume> volume;
            for (const std::int64_t c : candidates)
                if (c >= from && c < to && (volume = Try(c, false))) break;
            if (!volume || volume->Start + volume->Length <= at) break;
            Keep(volume);
            knownEnd = volume->Start + volume->Length;
            at = knownEnd;
        }
        // Backward: volumes by the copy in their last sector, where the
        // stretch's end is known.
        if (to == INT64_MAX) return;
        std::int64_t end = to;
        while (end > from && !Full() && !Stopped()) {
            std::vector<std::int64_t> candidates = {end - 512, end - 4096};
            for (std::int64_t k = end / SearchStep * SearchStep; k > end - SearchWindow && k > from; k -= SearchStep)
                candidates.insert(candidates.end(), {k - 512, k - 4096});
            for (std::int64_t k = end / CylinderBytes * CylinderBytes; k > end - SearchWindow && k > from; k -= CylinderBytes)
                candidates.push_back(k - 512);
            std::sort(candidates.begin(), candidates.end(), std::greater<>());
            candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
            std::optional<TFoundVolume> volume;
            for (const std::int64_t c : candidates) {
                if (c < from) continue;
                const std::optional<TFoundVolume> v = Try(c, true);
                if (v && v->Start >= from && v->Start < end) {
                    volume = v;
                    break;
                }
            }
            if (!volume) break;
            Keep(volume);
            end = volume->Start;
        }
    }

    void EverySector(std::int64_t from, std::int64_t to) {
        std::vector<std::uint8_t> chunk(SearchChunk);
        const std::uint64_t total = static_cast<std::uint64_t>(to == INT64_MAX ? 0 : to - from);
        for (std::int64_t at = from; at < to && !Full() && !Stopped();) {
            const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(SearchChunk, to - at));
            const TReadGaps gaps = ReadCarefully(device_, at, chunk.data(), want);
            const std::size_t got = want - static_cast<std::size_t>(std::min<std::uint64_t>(gaps.PastEnd, want));
            for (std::size_t s = 0; s + 512 <= got; s += 512) {
                const std::uint8_t* sector = chunk.data() + s;
                // Sectors that could not be read are zeros here: no name.
                if (sector[3] != 'N' || !ParseNtfsBootSector(sector)) continue;
                const std::int64_t here = at + static_cast<std::int64_t>(s);
                if (!Keep(NtfsVolumeAt(device_, sector, here, false))) Keep(NtfsVolumeAt(device_, sector, here, true));
            }
            at += static_cast<std::int64_t>(want);
            if (options_.Progress) options_.Progress(static_cast<std::uint64_t>(at - from), total);
            if (got < want) break;  // the end of the device
        }
    }

    TDevice& device_;
    const TSearchOptions& options_;
    std::int64_t size_;
    std::vector<TFoundVolume> found_;
};

}  // namespace

std::optional<TNtfsBootSector> ParseNtfsBootSector(const std::uint8_t* s) {
    if (std::memcmp(s + Boot::OemId, "NTFS    ", 8) != 0 || !HasSignature55AA(s)) return std::nullopt;
    const TBytes b(s, Boot::Size);
    TNtfsBootSector boot;
    boot.BytesPerSector = ReadU16(b, Boot::BytesPerSector);
    const std::uint32_t bps = boot.BytesPerSector;
    if (bps < 256 || bps > 4096 || (bps & (bps - 1)) != 0) return std::nullopt;
    const std::uint8_t spc = s[Boot::SectorsPerCluster];
    const std::uint64_t sectorsPerCluster = spc >= 0xF4 ? (std::uint64_t{1} << (256 - spc)) : spc;
    if (sectorsPerCluster == 0 || (sectorsPerCluster & (sectorsPerCluster - 1)) != 0 ||
        sectorsPerCluster * bps > MaxSearchCluster)
        return std::nullopt;
    boot.BytesPerCluster = static_cast<std::uint32_t>(sectorsPerCluster * bps);
    const std::uint32_t code = ReadU32(b, Boot::RecordSizeCode);
    const std::uint64_t record =
        code >= 128 ? std::uint64_t{1} << ((0u - code) & 31u) : std::uint64_t{code} * boot.BytesPerCluster;
    if (record < 512 || record > MaxSearchRecord || record % 512 != 0) return std::nullopt;
    boot.RecordSize = static_cast<std::uint32_t>(record);
    boot.Sectors = ReadU64(b, Boot::TotalSectors);
    if (boot.Sectors == 0 || boot.Sectors >= MaxVolumeBytes / bps) return std::nullopt;
    const std::uint64_t clusters = (boot.Sectors + 1) * bps / boot.BytesPerCluster;
    boot.MftCluster = ReadU64(b, Boot::MftCluster);
    boot.MirrorCluster = ReadU64(b, Boot::MftMirrorCluster);
    if (boot.MftCluster == 0 || boot.MftCluster >= clusters || boot.MirrorCluster >= clusters) return std::nullopt;
    return boot;
}

std::optional<TFoundVolume> NtfsVolumeAt(TDevice& device, const std::uint8_t* sector, std::int64_t at, bool asBackup) {
    const std::optional<TNtfsBootSector> boot = ParseNtfsBootSector(sector);
    if (!boot || at < 0) return std::nullopt;
    const auto backupAt = static_cast<std::int64_t>(boot->Sectors * boot->BytesPerSector);
    TFoundVolume volume;
    volume.Start = asBackup ? at - backupAt : at;
    volume.Length = boot->Length();
    volume.ByBackup = asBackup;
    if (volume.Start < 0) return std::nullopt;
    const auto mft = volume.Start + static_cast<std::int64_t>(boot->MftCluster * boot->BytesPerCluster);
    if (Record0At(device, mft, boot->RecordSize)) {
        // Found by its backup, the volume's first sector may hold it all the same.
        if (asBackup && SameSectorAt(device, volume.Start, sector)) volume.ByBackup = false;
        return volume;
    }
    // The MFT is gone, but both copies of the boot sector say the same.
    if (SameSectorAt(device, asBackup ? volume.Start : volume.Start + backupAt, sector)) {
        volume.ByBackup = false;
        return volume;
    }
    return std::nullopt;
}

std::vector<TFoundVolume> SearchNtfsVolumes(TDevice& device, const std::vector<TByteRange>& stretches,
                                            const TSearchOptions& options) {
    TSearch search(device, options);
    for (const TByteRange& range : stretches) search.Stretch(range);
    return search.Found();
}

}  // namespace deruzera
