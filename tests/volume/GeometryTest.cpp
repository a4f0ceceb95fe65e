#include <gtest/gtest.h>

#include "volume/Mft.h"
#include "Fixture.h"
#include "Synthetic.h"

using namespace deruzera;

namespace {

std::string Boot(std::uint16_t sector, std::uint8_t spc, std::uint32_t recordCode, std::uint64_t mftCluster = 4,
                 const char* oem = "NTFS    ") {
    synth::Bytes b(512, 0);
    std::memcpy(b.data() + 3, oem, 8);
    synth::Put(b, 11, sector, 2);
    b[13] = spc;
    synth::Put(b, 48, mftCluster, 8);
    synth::Put(b, 64, recordCode, 4);
    return std::string(b.begin(), b.end());
}

struct Geometry {
    bool accepted;
    TGeometryEnd end;
    TVolume v;
};
Geometry Read(const std::string& bytes) {
    Geometry g{};
    g.v.BytesPerSector = 7;  // a refusal leaves this alone
    auto dev = MemoryDevice(bytes);
    g.end = ReadVolumeGeometry(*dev, g.v);
    g.accepted = g.end == TGeometryEnd::Accepted;
    return g;
}

// The lines a scan of `bytes` (a boot sector and nothing else) writes.
testing_support::Lines ScanLines(const std::string& bytes) {
    testing_support::RecordingSink sink;
    const std::atomic<bool> stop{false};
    auto dev = MemoryDevice(bytes);
    ScanDrive(*dev, "C:", sink, stop);
    return sink.lines;
}

TEST(ReadVolumeGeometry, TestsOnlyTheFourOemBytes) {
    EXPECT_TRUE(Read(Boot(512, 8, 0xF6)).accepted);
    EXPECT_TRUE(Read(Boot(512, 8, 0xF6, 4, "NTFSxyzw")).accepted);
    const auto lower = Read(Boot(512, 8, 0xF6, 4, "ntfs    "));
    EXPECT_FALSE(lower.accepted);
    EXPECT_EQ(lower.v.BytesPerSector, 7);
    EXPECT_EQ(lower.end, TGeometryEnd::NotNtfs);
    EXPECT_EQ(ScanLines(Boot(512, 8, 0xF6, 4, "ntfs    ")), (testing_support::Lines{{"Error: This is not a NTFS disk", clRed}}));
    EXPECT_FALSE(Read("").accepted);  // a device that gives no bytes
    EXPECT_FALSE(Read(Boot(512, 8, 0xF6).substr(0, 5)).accepted);
}

TEST(ReadVolumeGeometry, ClusterSizesIncludingLargeOnes) {
    struct Case {
        std::uint16_t sector;
        std::uint8_t spc;
        std::uint32_t cluster;
    } cases[] = {{512, 8, 4096}, {512, 64, 32768}, {512, 128, 65536}, {4096, 16, 65536},
                 {512, 0xF4, 2 * 1024 * 1024}, {4096, 1, 4096}, {512, 1, 512}};
    for (const Case& c : cases) {
        const auto g = Read(Boot(c.sector, c.spc, c.sector == 4096 ? 0xF4u : 0xF6u));
        ASSERT_TRUE(g.accepted) << c.spc;
        EXPECT_EQ(g.v.BytesPerCluster, c.cluster) << int(c.spc);
    }
}

TEST(ReadVolumeGeometry, RecordSizeCodes) {
    struct Case {
        std::uint8_t spc;
        std::uint32_t code;
        std::uint32_t size;
    } cases[] = {{8, 0xF6, 1024}, {8, 0xFFFFFFF6, 1024}, {8, 0xF4, 4096}, {8, 1, 4096}, {1, 2, 1024}};
    for (const Case& c : cases) EXPECT_EQ(Read(Boot(512, c.spc, c.code)).v.FileRecordSize, c.size) << c.code;
}

TEST(ReadVolumeGeometry, RefusesUnusableGeometryInRed) {
    const testing_support::Lines refused{{"This is a NTFS disk", clGreen}, {"Error: Unsupported NTFS geometry", clRed}};
    for (const std::string& boot : {Boot(0, 8, 0xF6), Boot(512, 0, 0xF6), Boot(512, 8, 0), Boot(512, 8, 0xFA) /* 64 B */,
                                    Boot(4096, 1, 0xF6) /* 1 KiB records, 4 KiB sectors */,
                                    Boot(512, 128, 2) /* 128 KiB records */, Boot(512, 8, 0xF6, 1ull << 62)}) {
        const auto g = Read(boot);
        EXPECT_EQ(g.end, TGeometryEnd::Unsupported);
        EXPECT_EQ(g.v.BytesPerSector, 7);
        EXPECT_EQ(ScanLines(boot), refused);
    }
}

TEST(ReadVolumeGeometry, MftOffsetIsA64BitProduct) {
    const auto g = Read(Boot(512, 8, 0xF6, 786432));
    EXPECT_EQ(g.v.MFTOffset, 3221225472);
    EXPECT_EQ(FileRecordOffset(g.v, 3000000), 3221225472 + 3072000000LL);
    EXPECT_EQ(FileRecordOffset(g.v, -1), -1);
}

TEST(FileRecordOffset, MapsThroughTheMftRuns) {
    TVolume v;
    v.BytesPerCluster = 4096;
    v.FileRecordSize = 1024;
    v.MFTOffset = 4 * 4096;
    v.MFTRuns = {{0, 4, 2}, {2, 100, 3}};  // records 0-7 at cluster 4, 8-19 at cluster 100
    EXPECT_EQ(FileRecordOffset(v, 7), 4 * 4096 + 7 * 1024);
    EXPECT_EQ(FileRecordOffset(v, 8), 100 * 4096);
    EXPECT_EQ(FileRecordOffset(v, 19), 102 * 4096 + 3 * 1024);
    EXPECT_EQ(FileRecordOffset(v, 20), -1);
}

TEST(ReadFileRecord, ReadsARecordThatStraddlesTwoRuns) {
    // 512-byte clusters, 1024-byte records: record 1 starts in the last
    // cluster of the first run and ends in the first cluster of the second.
    TVolume v;
    v.BytesPerCluster = 512;
    v.FileRecordSize = 1024;
    v.MFTRuns = {{0, 10, 3}, {3, 40, 4}};
    std::string image(64 * 512, '\0');
    std::memset(image.data() + 12 * 512, 'a', 512);
    std::memset(image.data() + 40 * 512, 'b', 512);
    auto dev = MemoryDevice(image);
    ASSERT_EQ(FileRecordOffset(v, 1), 12 * 512);
    TDynamicCharArray r;
    EXPECT_EQ(ReadFileRecord(*dev, v, 1, r), 0);
    ASSERT_EQ(r.size(), 1024u);
    EXPECT_EQ(r[0], 'a');
    EXPECT_EQ(r[511], 'a');
    EXPECT_EQ(r[512], 'b');
    EXPECT_EQ(r[1023], 'b');
    // A read past the end of the device comes back as zeros.
    TDynamicCharArray beyond;
    ReadFileRecord(*dev, v, 1 << 20, beyond);
    EXPECT_EQ(beyond, TDynamicCharArray(1024, 0));
}

}  // namespace
