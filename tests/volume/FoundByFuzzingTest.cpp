// Faults the fuzz targets (fuzz/) found, each as the smallest hand-made
// volume that shows it.
#include <gtest/gtest.h>

#include "Synthetic.h"
#include "volume/Salvane.h"

using namespace deruzera;

namespace {

// The boot sector's sector count: what the volume claims to hold.
void ClaimSectors(synth::Volume& v, std::uint64_t sectors) {
    for (int i = 0; i < 8; ++i) v.image[40 + i] = static_cast<char>(sectors >> (8 * i));
}

TVolume Loaded(TDevice& device) {
    TVolume volume;
    TScanOutcome failure;
    EXPECT_EQ(LoadVolume(device, "C:", volume, nullptr, failure), TScanEnd::Completed) << failure.What;
    return volume;
}

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
    const TVolume volume = Loaded(*device);
    const TRecoveryPlan plan = PlanRecovery(*device, volume, 30);
    EXPECT_EQ(plan.End, TPlanEnd::NoContent);
    EXPECT_EQ(plan.Content.Size, 0u);

    // Runs that only touch, out of order, are still one file's clusters.
    const synth::Bytes apart = {0x11, 0x04, 0x08, 0x11, 0x04, 0xFC};  // clusters 8-11, then 4-7
    v.PutRecord(31, synth::Record(0, {synth::StandardInformation(1, 2), synth::FileName(5, u"apart.bin"),
                                      synth::NonResident(0x80, apart, 8ull * v.Cluster())}));
    auto sound = MemoryDevice(v.image);
    const TRecoveryPlan ok = PlanRecovery(*sound, Loaded(*sound), 31);
    EXPECT_EQ(ok.End, TPlanEnd::Ready) << ok.What;
    EXPECT_EQ(ok.Content.Size, 8ull * v.Cluster());
}

}  // namespace
