// The run decoder and the content plan. The input starts with the volume
// and the attribute's sizes, then the run list:
//   byte 0        log2 of the cluster size (taken as 9 + value % 13: 512 B .. 2 MiB)
//   bytes 1..8    the volume's cluster count (signed; 0 or less: unknown)
//   bytes 9..16   the real size, bytes 17..24 the valid data length
//   bytes 25..    the run list
#include <algorithm>
#include <vector>

#include "FuzzSupport.h"

using namespace deruzera;

namespace {

constexpr std::size_t Prefix = 25;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < Prefix) return 0;
    const TBytes input(data, size);
    const std::uint32_t cluster = 1u << (9 + data[0] % 13);
    const auto clusterCount = static_cast<std::int64_t>(ReadU64(input, 1));
    const std::uint64_t realSize = ReadU64(input, 9);
    const std::uint64_t validSize = ReadU64(input, 17);
    const TBytes runList = input.subspan(Prefix);

    // Every run is inside the volume (or the 2^48-byte bound where its size
    // is unknown), and the list holds no more runs than it has headers.
    std::uint64_t limit = MaxVolumeBytes / cluster;
    if (clusterCount > 0) limit = std::min(limit, static_cast<std::uint64_t>(clusterCount));
    try {
        std::vector<TDataRun> runs;
        ForEachRun(runList, cluster, clusterCount, [&](const TDataRun& run) { runs.push_back(run); });
        FUZZ_CHECK(runs.size() <= runList.size() / 2 + 1);
        for (const TDataRun& run : runs) {
            FUZZ_CHECK(run.Length > 0 && run.Length <= limit);
            FUZZ_CHECK(run.Lcn == -1 || (run.Lcn >= 0 && static_cast<std::uint64_t>(run.Lcn) <= limit - run.Length),
                       std::to_string(run.Lcn) + "+" + std::to_string(run.Length));
        }
    } catch (const ERecordError&) {
    }

    // The same run list in a non-resident $DATA on a volume of that size.
    std::vector<std::uint8_t> attribute(NonResident::Size, 0);
    attribute.insert(attribute.end(), runList.begin(), runList.end());
    auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i) attribute[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    put(AttrHeader::Type, AttrData, 4);
    put(AttrHeader::Length, attribute.size(), 4);
    attribute[AttrHeader::NonResident] = 1;
    put(NonResident::RunListOffset, NonResident::Size, 2);
    put(NonResident::AllocatedSize, realSize, 8);
    put(NonResident::DataSize, realSize, 8);
    put(NonResident::InitializedSize, validSize, 8);

    TVolume volume;
    volume.BytesPerSector = 512;
    volume.BytesPerCluster = cluster;
    volume.FileRecordSize = 1024;
    volume.ClusterCount = clusterCount > 0 ? static_cast<std::int64_t>(limit) : 0;
    try {
        const TFileContent content = ContentOfAttribute(attribute, volume);
        FUZZ_CHECK(!content.Resident && content.Size == realSize);
        std::uint64_t total = 0;
        std::uint64_t stored = 0;
        std::vector<TContentExtent> onVolume;
        for (const TContentExtent& e : content.Extents) {
            FUZZ_CHECK(e.Length > 0);
            total += e.Length;
            if (e.VolumeOffset < 0) {
                FUZZ_CHECK(e.VolumeOffset == -1);
                continue;
            }
            stored += e.Length;
            onVolume.push_back(e);
            FUZZ_CHECK(static_cast<std::uint64_t>(e.VolumeOffset) % cluster == 0);
            FUZZ_CHECK(static_cast<std::uint64_t>(e.VolumeOffset) + e.Length <= limit * cluster);
        }
        FUZZ_CHECK(total == content.Size, std::to_string(total) + " != " + std::to_string(content.Size));
        // No more bytes come from the volume than it holds, nor past the
        // valid data length.
        FUZZ_CHECK(stored <= limit * cluster);
        FUZZ_CHECK(stored <= std::min(validSize, realSize));
        // A file's clusters are its own: no two stretches of it come from
        // the same place on the volume.
        std::sort(onVolume.begin(), onVolume.end(),
                  [](const TContentExtent& a, const TContentExtent& b) { return a.VolumeOffset < b.VolumeOffset; });
        for (std::size_t i = 1; i < onVolume.size(); ++i)
            FUZZ_CHECK(static_cast<std::uint64_t>(onVolume[i].VolumeOffset) >=
                           static_cast<std::uint64_t>(onVolume[i - 1].VolumeOffset) + onVolume[i - 1].Length,
                       "clusters named twice at " + std::to_string(onVolume[i].VolumeOffset));
    } catch (const ERecordError&) {
    }
    return 0;
}
