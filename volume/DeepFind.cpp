// Finding FILE records and NTFS boot sectors in the bytes of a device, and
// keeping the little of each that the deep scan reads later.
#include "DeepFind.h"

#include <algorithm>
#include <cstring>

#include "Attributes.h"
#include "Fixup.h"

namespace deruzera::deep {
namespace {

// NTFS 3.1 keeps the record's own number here, after the update sequence
// offset and count, the log sequence number and the header fields the
// volume reader reads (Layout.h); older versions keep the update sequence
// array here instead.
constexpr std::size_t NumberAt = 44;
constexpr std::size_t NumberedHeader = NumberAt + 4;
// The cluster sizes a formatter writes: a sector to 2 MiB.
constexpr std::uint64_t MinCluster = 512;
constexpr std::uint64_t MaxCluster = 2u << 20;
// Boot sectors kept at most: a disk has a few; a device made of copies of
// one (or a hostile image) must not grow memory without bound for them.
constexpr std::size_t MaxBoots = 4096;

bool PowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The cluster size a whole non-resident attribute shows: its allocated
// bytes over the clusters its run list maps. 0 where it shows none (an
// extent of a longer attribute, compressed or sparse data, a size that
// doesn't divide).
std::uint32_t ClusterOf(TBytes a) {
    if (ReadU8(a, AttrHeader::NonResident) != 1) return 0;
    if ((ReadU16(a, AttrHeader::Flags) & (AttrCompressionMask | AttrSparse)) != 0) return 0;
    const std::int64_t first = ReadS64(a, NonResident::FirstVcn), last = ReadS64(a, NonResident::LastVcn);
    const std::uint64_t allocated = ReadU64(a, NonResident::AllocatedSize);
    if (first != 0 || last < 0 || allocated == 0 || allocated > MaxVolumeBytes) return 0;
    const auto clusters = static_cast<std::uint64_t>(last) + 1;
    if (allocated % clusters != 0) return 0;
    const std::uint64_t cluster = allocated / clusters;
    return PowerOfTwo(cluster) && cluster >= MinCluster && cluster <= MaxCluster ? static_cast<std::uint32_t>(cluster) : 0;
}

}  // namespace

std::size_t ClaimedRecordSize(const std::uint8_t* head) {
    const std::size_t count = LoadU16(head + RecordHeader::UsaCount);
    if (count < 2) return 0;
    const std::size_t size = (count - 1) * UpdateSequenceStride;
    return size <= MaxRecordBytes ? size : 0;
}

bool TakeRecord(std::span<std::uint8_t> record, std::int64_t offset, TFinds& finds) {
    // The header must claim the room it has: a few bytes that happen to say
    // "FILE" rarely do.
    if (ReadU32(record, RecordHeader::BytesAllocated) != record.size()) {
        ++finds.Damaged;
        return false;
    }
    try {
        FixupRecord(record);
    } catch (const ERecordError&) {
        ++finds.Damaged;
        return false;
    }
    if (ReadU16(record, RecordHeader::UsaOffset) < NumberedHeader) {
        ++finds.Unnumbered;
        return false;
    }
    TRecordFound r;
    r.Offset = offset;
    r.Number = ReadU32(record, NumberAt);
    r.BaseRecord = ReadU64(record, RecordHeader::BaseRecord);
    r.Sequence = ReadU16(record, RecordHeader::Sequence);
    r.Flags = ReadU16(record, RecordHeader::Flags) & (RecordInUse | RecordIsDirectory);
    r.Size = static_cast<std::uint32_t>(record.size());

    bool clusterConflict = false;
    TBytes data;
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        const std::uint32_t type = ReadU32(a, AttrHeader::Type);
        if (type == AttrStandardInformation && ReadU8(a, AttrHeader::NonResident) != 1) {
            r.Created = ReadU64(a, StandardInformation::Created);
            r.Modified = ReadU64(a, StandardInformation::Modified);
            if (ReadU32(a, StandardInformation::FileFlags) & FileAttributeEncrypted) r.Encrypted = true;
        } else if (type == AttrAttributeList) {
            r.HasList = true;
        } else if (type == AttrFileName && ReadU8(a, AttrHeader::NonResident) != 1 &&
                   ReadU32(a, Resident::ValueLength) >= FileName::Chars - 24) {
            // The long name, else the 8.3 alias.
            const bool dos = ReadU8(a, FileName::Namespace) == NamespaceDos;
            if (r.HasName && (dos || !r.DosNameOnly)) continue;
            const std::string name = FileNameOf(a);
            r.NameOffset = static_cast<std::uint32_t>(std::min<std::size_t>(finds.Names.size(), UINT32_MAX));
            r.NameLength = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), UINT16_MAX));
            finds.Names.append(name, 0, r.NameLength);
            r.Parent = ParentReferenceOf(a);
            r.HasName = true;
            r.DosNameOnly = dos;
        } else if (type == AttrData && ReadU8(a, AttrHeader::NameLength) == 0 && data.empty()) {
            data = a;
        }
        // Every whole attribute of a base record shows the cluster size;
        // a base record with a list may hold only the first extent of one.
        if (r.BaseRecord == 0) {
            const std::uint32_t cluster = ClusterOf(a);
            if (cluster != 0 && r.Cluster != 0 && cluster != r.Cluster) clusterConflict = true;
            if (cluster != 0 && r.Cluster == 0) r.Cluster = cluster;
        }
    }
    if (r.HasList || clusterConflict) r.Cluster = 0;
    if (!data.empty()) {
        r.HasData = true;
        if ((ReadU16(data, AttrHeader::Flags) & AttrEncrypted) != 0) r.Encrypted = true;
        if (ReadU8(data, AttrHeader::NonResident) == 1) {
            if (ReadS64(data, NonResident::FirstVcn) == 0) r.DataSize = ReadU64(data, NonResident::DataSize);
            if (data.size() <= MaxKeptAttribute) {
                r.DataOffset = static_cast<std::uint32_t>(std::min<std::size_t>(finds.Attributes.size(), UINT32_MAX));
                r.DataLength = static_cast<std::uint16_t>(data.size());
                finds.Attributes.insert(finds.Attributes.end(), data.begin(), data.end());
            }
        } else {
            r.ResidentData = true;
            r.DataSize = ReadU32(data, Resident::ValueLength);
        }
    }
    // A record that holds nothing the scan reads (an empty one made ready
    // for later use) is only passed.
    if (!r.HasName && !r.HasData && !r.HasList) return true;
    finds.Records.push_back(r);
    return true;
}

void TSectorFinder::Find(std::span<std::uint8_t> bytes, std::int64_t at, TFinds& finds) {
    std::size_t from = 0;
    if (!carry_.empty()) {
        if (at != carryAt_ + static_cast<std::int64_t>(carry_.size())) {
            carry_.clear();
        } else {
            const std::size_t take = std::min(carryNeeds_ - carry_.size(), bytes.size());
            carry_.insert(carry_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
            if (carry_.size() == carryNeeds_) {
                TakeRecord(carry_, carryAt_, finds);
                carry_.clear();
            }
            // The sectors the record covers are its own.
            from = (take + UpdateSequenceStride - 1) / UpdateSequenceStride * UpdateSequenceStride;
        }
    }
    for (std::size_t s = from; s + UpdateSequenceStride <= bytes.size(); s += UpdateSequenceStride) {
        std::uint8_t* p = bytes.data() + s;
        if (p[0] == 'F' && std::memcmp(p, "FILE", 4) == 0) {
            const std::size_t size = ClaimedRecordSize(p);
            if (size == 0) {
                ++finds.Damaged;
                continue;
            }
            if (s + size <= bytes.size()) {
                if (TakeRecord(std::span<std::uint8_t>(p, size), at + static_cast<std::int64_t>(s), finds))
                    s += size - UpdateSequenceStride;  // the sectors the record covers are its own
            } else {
                carry_.assign(p, bytes.data() + bytes.size());
                carryAt_ = at + static_cast<std::int64_t>(s);
                carryNeeds_ = size;
                return;
            }
        } else if (p[3] == 'N' && finds.Boots.size() < MaxBoots) {
            if (const std::optional<TNtfsBootSector> boot = ParseNtfsBootSector(p))
                finds.Boots.push_back({at + static_cast<std::int64_t>(s), *boot});
        }
    }
}

}  // namespace deruzera::deep
