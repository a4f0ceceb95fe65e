// Faults found with the fuzz targets (fuzz/), by a target on its own or by
// a hand-made input that a target then failed on; each as the smallest
// hand-made volume that shows it.
#include <gtest/gtest.h>

#include <chrono>

#include "Fixture.h"

#include "Synthetic.h"
#include "volume/CarveFormats.h"
#include "volume/Content.h"
#include "volume/Device.h"
#include "volume/Layout.h"
#include "volume/Records.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

using namespace deruzera;

namespace {

// The boot sector's sector count: what the volume claims to hold.
void ClaimSectors(synth::Volume& v, std::uint64_t sectors) {
    for (int i = 0; i < 8; ++i) v.image[40 + i] = static_cast<char>(sectors >> (8 * i));
}

std::shared_ptr<TNtfsVolume> Loaded(TDevice& device) { return testing_support::OpenVolume(device); }

// A deleted file whose run list goes back and forth over the same 128
// clusters, on a 1 MiB device whose boot sector claims 2^38 sectors: each
// run lies inside the claimed volume and the runs together hold fewer
// clusters than it, so only the overlap tells the damage. The plan read
// 40 times the device's bytes.
TEST(FoundByFuzzing, RunsOverTheSameClustersOnAVolumeClaimedLargerThanTheDevice) {
    synth::Volume v(64, 1 << 20);
    ClaimSectors(v, std::uint64_t{1} << 38);
    synth::Bytes runs = {0x11, 0x80, 0x01};  // 128 clusters from cluster 1
    for (int i = 0; i < 39; ++i) runs.insert(runs.end(), {0x11, 0x80, static_cast<std::uint8_t>(i % 2 ? 0x01 : 0xFF)});
    const std::uint64_t size = 40ull * 128 * v.Cluster();
    v.PutRecord(30, synth::Record(0, {synth::StandardInformation(1, 2), synth::FileName(5, u"again.bin"),
                                      synth::NonResident(0x80, runs, size)}));
    auto device = MemoryDevice(v.image);
    const auto volume = Loaded(*device);
    const TRecoveryPlan plan = PlanRecovery(*volume, 30);
    EXPECT_EQ(plan.End, TPlanEnd::RepeatedClusters);
    EXPECT_EQ(plan.Content.Size, 0u);

    // Runs that only touch, out of order, are still one file's clusters.
    const synth::Bytes apart = {0x11, 0x04, 0x08, 0x11, 0x04, 0xFC};  // clusters 8-11, then 4-7
    v.PutRecord(31, synth::Record(0, {synth::StandardInformation(1, 2), synth::FileName(5, u"apart.bin"),
                                      synth::NonResident(0x80, apart, 8ull * v.Cluster())}));
    auto sound = MemoryDevice(v.image);
    const TRecoveryPlan ok = PlanRecovery(*Loaded(*sound), 31);
    EXPECT_EQ(ok.End, TPlanEnd::Ready) << ok.What;
    EXPECT_EQ(ok.Content.Size, 8ull * v.Cluster());
}

// A boot sector that claims 2^38 sectors and a record 0 whose one run
// holds 2^30 clusters from the MFT's place: the map is inside the claimed
// volume, but all of it past the first 4 MiB lies beyond the device. The
// walk went through 2^32 records of zeros there (hours); it now stops where
// the device ends.
TEST(FoundByFuzzing, AnMftMappedFarPastTheEndOfTheDevice) {
    synth::Volume v(64, 4 << 20);
    ClaimSectors(v, std::uint64_t{1} << 38);
    const std::int64_t clusters = std::int64_t{1} << 30;
    const synth::Bytes runs = {0x24, 0x00, 0x00, 0x00, 0x40, static_cast<std::uint8_t>(v.mftCluster), 0x00};
    v.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0), synth::FileName(5, u"$MFT", 3),
                                     synth::NonResident(0x80, runs, clusters * v.Cluster(), 0, clusters - 1)}));
    v.DeletedFile(40, 5, u"found.txt", "still here");

    auto device = MemoryDevice(v.image);
    testing_support::RecordingSink sink;
    std::atomic<bool> abort{false};
    int progress = 0;
    sink.onProgress = [&] {
        if (++progress == 10000) abort = true;  // far more than the device's records need
    };
    const TScanOutcome outcome = ScanDrive(*device, "C:", sink, abort);
    EXPECT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_EQ(outcome.Volume->Geometry().RecordCount, clusters * v.Cluster() / v.recordSize);
    EXPECT_LT(progress, 100);
    ASSERT_EQ(sink.files.size(), 1u);
    EXPECT_EQ(sink.Name(0), "found.txt");
}

// Record 0's attribute list names 1500 extension records of 280 runs each,
// on a device whose boot sector claims room for them. Mapping the MFT
// copied and sorted the whole map once an extension record: minutes for
// this 4 MiB image, hours for a larger one, with no way to abort.
TEST(FoundByFuzzing, AnMftOfManyExtensionRecordsMapsInLinearTime) {
    synth::Volume v(64, 4 << 20);
    ClaimSectors(v, std::uint64_t{1} << 38);
    constexpr int Extents = 1500;
    constexpr int Runs = 280;
    constexpr std::int64_t MftClusters = 512;
    synth::Bytes list;
    for (int k = 0; k < Extents; ++k) {
        const std::int64_t first = MftClusters + std::int64_t{k} * Runs;
        synth::Bytes runs;
        for (int i = 0; i < Runs; ++i) runs.insert(runs.end(), {0x11, 0x01, static_cast<std::uint8_t>(i % 2 ? 0xFF : 0x01)});
        v.PutRecord(16 + k, synth::Record(1, {synth::NonResident(0x80, runs, 0, first, first + Runs - 1)}));
        synth::Bytes entry(32, 0);
        synth::Put(entry, 0, 0x80, 4);
        synth::Put(entry, 4, 32, 2);
        synth::Put(entry, 8, static_cast<std::uint64_t>(first), 8);
        synth::Put(entry, 16, static_cast<std::uint64_t>(16 + k), 8);
        list.insert(list.end(), entry.begin(), entry.end());
    }
    const std::int64_t listCluster = 600;
    const std::int64_t listClusters = (static_cast<std::int64_t>(list.size()) + v.Cluster() - 1) / v.Cluster();
    v.Write(listCluster * v.Cluster(), list);
    const synth::Bytes listRuns = {0x21, static_cast<std::uint8_t>(listClusters), static_cast<std::uint8_t>(listCluster & 0xFF),
                                   static_cast<std::uint8_t>(listCluster >> 8)};
    // Record 0 gives the sizes of the whole MFT, its extension records included.
    const std::int64_t mftBytes = (MftClusters + std::int64_t{Extents} * Runs) * v.Cluster();
    const synth::Bytes mftRuns = {0x22, 0x00, 0x02, static_cast<std::uint8_t>(v.mftCluster), 0x00};
    v.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0),
                                     synth::NonResident(0x20, listRuns, list.size(), 0, listClusters - 1),
                                     synth::FileName(5, u"$MFT", 3),
                                     synth::NonResident(0x80, mftRuns, static_cast<std::uint64_t>(mftBytes), 0, MftClusters - 1)}));

    auto device = MemoryDevice(v.image);
    const auto start = std::chrono::steady_clock::now();
    const TVolume volume = Loaded(*device)->Geometry();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(volume.MFTRuns.size(), 1u + std::size_t{Extents} * Runs);
    EXPECT_EQ(volume.RecordCount, mftBytes / v.recordSize);
    EXPECT_LT(took.count(), 20.0) << "seconds to map the MFT";
}

}  // namespace

namespace {

// A compressed $DATA that claims 2^40 bytes: raw units of one run, holes,
// one unit stored short and the rest sparse. The plan took an extent a
// unit, 2^24 of them, and ran out of memory; it grows with the runs.
TEST(FoundByFuzzing, ACompressedStreamOfAHugeClaimedSizePlansInExtentsOfItsRuns) {
    const std::uint64_t size = std::uint64_t{1} << 40;
    // 512-byte clusters, units of 16: 64 stored clusters (4 raw units), 1
    // stored and 15 sparse (one compressed unit), then sparse to the end.
    synth::Bytes runs = {0x11, 0x40, 0x10, 0x11, 0x01, 0x50, 0x01, 0x0F};
    const std::uint64_t sparse = size / 512 - 80;
    runs.push_back(0x05);
    for (int i = 0; i < 5; ++i) runs.push_back(static_cast<std::uint8_t>(sparse >> (8 * i)));
    synth::Bytes data = synth::NonResident(0x80, runs, size, 0, static_cast<std::int64_t>(size / 512 - 1), 0x0001);
    data[34] = 4;
    TVolume volume;
    volume.BytesPerCluster = 512;
    volume.ClusterCount = std::int64_t{1} << 40;
    const auto began = std::chrono::steady_clock::now();
    const TFileContent content = ContentOfAttribute(data, volume);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
    ASSERT_EQ(content.Extents.size(), 3u);
    EXPECT_EQ(content.Extents[0].VolumeOffset, 16 * 512);
    EXPECT_EQ(content.Extents[0].Length, 64u * 512);
    EXPECT_TRUE(content.Extents[1].CompressedUnit);
    EXPECT_EQ(content.Extents[1].Length, 16u * 512);
    EXPECT_EQ(content.Extents[2].VolumeOffset, -1);
    EXPECT_EQ(content.Extents[0].Length + content.Extents[1].Length + content.Extents[2].Length, size);
}

}  // namespace

// Carving: a gzip header that names a file where the stretch ends right
// after it. The name's search got an empty view (no bytes at all) and
// handed its null pointer to memchr.
TEST(FoundByFuzzing, AGzipHeaderWithANameAtTheEndOfTheStretch) {
    const std::string header("\x1F\x8B\x08\x08\0\0\0\0\0\x03", 10);
    const THandle device = MemoryDevice(header);
    std::atomic<bool> abort{false};
    carve::TCarveReader reader(*device, abort);
    reader.Bound(static_cast<std::int64_t>(header.size()));
    reader.Begin(0);
    EXPECT_FALSE(carve::Follow(TCarveFormat::Gzip, reader, 0));
}
