// Run lists and data streams: where a file's clusters lie, decoded from its
// $DATA extents (and those its attribute list places in extension records).
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "Device.h"
#include "Fixup.h"
#include "Layout.h"
#include "Records.h"

namespace deruzera {

// One run of a run list: `Length` clusters from cluster `Lcn`, or a sparse
// run (`Lcn` -1) that reads as zeros.
struct TDataRun {
    std::int64_t Lcn = -1;
    std::uint64_t Length = 0;
};

// Walks a run list (header byte: low nibble the length field's size, high
// nibble the offset field's; offsets relative to the previous run's cluster,
// a missing or zero offset a sparse run; a 0 header byte ends the list).
// Throws ERecordError when a run's fields pass the end of the list, a field
// is wider than 8 bytes, or a run leaves a volume of `clusterCount` clusters
// (0: only the 2^48-byte bound).
// Each run goes to `visit`, in order.
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

// A data stream of a file (its unnamed one, or a named one) as its record,
// and the extension records its attribute list names, describe it.
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

// Where the data of one $DATA attribute on its own lies (resident, or one
// extent from VCN 0): a resident value's bytes are not copied. Throws
// ERecordError where it is damaged.
TDataStream StreamOfAttribute(TBytes attribute, const TVolume& volume);

// The data stream named `name` (UTF-8; "" for the unnamed one, the file's
// content) of fixed-up base record `self`. With an attribute list and
// `fetch`, its extents are gathered from the extension records in VCN
// order. Throws ERecordError where an extent is damaged.
TDataStream StreamOfRecord(TBytes record, std::int64_t self, const TVolume& volume, TDevice* device = nullptr,
                           const TExtensionFetch& fetch = nullptr, std::string_view name = {});

// Whether extension record `extension` (fixed up) belongs to base record
// `base` with sequence number `sequence`: its base reference names it, with
// that sequence or the one before (a deleted base counts one on).
bool BelongsTo(TBytes extension, std::int64_t base, std::uint16_t sequence);

// A fetch that reads each extension record from the volume on `device` and
// gives it where it is readable, fixes up and belongs to `base`.
TExtensionFetch FetchFromDevice(TDevice& device, const TVolume& volume, std::int64_t base, std::uint16_t sequence);

}  // namespace deruzera
