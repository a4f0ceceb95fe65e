#include <gtest/gtest.h>

#include "Synthetic.h"
#include "volume/Attributes.h"
#include "volume/Content.h"
#include "volume/Device.h"
#include "volume/Fixup.h"
#include "volume/Layout.h"
#include "volume/Records.h"
#include "volume/Runs.h"

using namespace deruzera;

namespace {

std::vector<std::pair<std::int64_t, std::uint64_t>> Runs(const synth::Bytes& list, std::uint32_t cluster = 4096) {
    std::vector<std::pair<std::int64_t, std::uint64_t>> out;
    ForEachRun(list, cluster, 0, [&](const TDataRun& r) { out.emplace_back(r.Lcn, r.Length); });
    return out;
}

TEST(RunList, SignRulesAndSparseRuns) {
    // 24 clusters at 512, 48 at 512-16, 16 sparse.
    EXPECT_EQ(Runs({0x21, 0x18, 0x00, 0x02, 0x11, 0x30, 0xF0, 0x01, 0x10, 0x00}),
              (decltype(Runs({})){{512, 24}, {496, 48}, {-1, 16}}));
    // As the first run's offset, 0xF0 is cluster 240.
    EXPECT_EQ(Runs({0x11, 0x01, 0xF0, 0x00}), (decltype(Runs({})){{240, 1}}));
    // Two-byte offsets: 0x8000 is -32768, 0x7FFF is +32767.
    EXPECT_EQ(Runs({0x31, 0x01, 0x00, 0x00, 0x01, 0x21, 0x01, 0x00, 0x80, 0x21, 0x01, 0xFF, 0x7F, 0x00}),
              (decltype(Runs({})){{65536, 1}, {32768, 1}, {65535, 1}}));
    // A present but zero offset is sparse and leaves the cluster where it was.
    EXPECT_EQ(Runs({0x11, 0x02, 0x10, 0x11, 0x03, 0x00, 0x11, 0x01, 0x02, 0x00}),
              (decltype(Runs({})){{16, 2}, {-1, 3}, {18, 1}}));
    // A run of length 0 moves the cluster but adds nothing.
    EXPECT_EQ(Runs({0x10, 0x10, 0x11, 0x01, 0x01, 0x00}), (decltype(Runs({})){{17, 1}}));
    EXPECT_TRUE(Runs({0x00, 0x11, 0x01, 0x01}).empty());
    // Eight-byte offsets reach clusters past 2^31.
    EXPECT_EQ(Runs({0x51, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}, 512), (decltype(Runs({})){{1LL << 32, 1}}));
}

TEST(RunList, RefusesDamage) {
    const synth::Bytes damaged[] = {
        {0x21, 0x18, 0x00},                     // ends inside the offset field
        {0x11},                                 // ends after the header
        {0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9},  // offset field of 9 bytes
        {0x11, 0x01, 0x10, 0x11, 0x01, 0xE0},     // moves before cluster 0
        {0x48, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0x00},  // length 2^63
        {0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}};
    for (const auto& list : damaged) EXPECT_THROW(ForEachRun(list, 4096, 0, [](const TDataRun&) {}), ERecordError);
}

std::string Extracted(const synth::Bytes& record, const std::string& image = std::string(1 << 20, '\0'),
                      std::uint32_t cluster = 4096) {
    TVolume v;
    v.BytesPerCluster = cluster;
    v.FileRecordSize = static_cast<std::uint32_t>(record.size());
    const TFileContent content = ExtractFileContent(record, v);
    auto dev = MemoryDevice(image);
    std::string out;
    ReadFileContent(*dev, content, [&](const std::uint8_t* b, std::uint64_t n) {
        if (b) out.append(reinterpret_cast<const char*>(b), n);
        else out.append(n, '\0');
    });
    EXPECT_EQ(out.size(), content.Size);
    return out;
}

synth::Bytes FileWith(const synth::Bytes& data) {
    return synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"f"), data});
}

TEST(ExtractFileContent, ResidentValues) {
    EXPECT_EQ(Extracted(FileWith(synth::Resident(0x80, {'a', 'b', 'c'}))), "abc");
    EXPECT_EQ(Extracted(FileWith(synth::Resident(0x80, {}))), "");
    // A value length past the attribute's end: the attribute is damaged, and
    // so is the file's content.
    synth::Bytes a = synth::Resident(0x80, {'x', 'y'});
    synth::Put(a, 16, 100000, 4);
    EXPECT_THROW(Extracted(FileWith(a)), ERecordError);
    // Any flag but 1 means resident.
    synth::Bytes two = synth::Resident(0x80, {'q'});
    two[8] = 2;
    EXPECT_EQ(Extracted(FileWith(two)), "q");
    EXPECT_THROW(Extracted(synth::Record(0, {synth::StandardInformation(0, 0)})), ERecordError);
}

TEST(ExtractFileContent, NonResidentRunsCutAndPadded) {
    std::string image(1 << 20, '\0');
    for (int c = 0; c < 256; ++c) std::memset(image.data() + c * 4096, 'A' + c % 26, 4096);
    // Clusters 10-11, a sparse cluster, then cluster 3; real size cuts into the last.
    const synth::Bytes runs{0x11, 0x02, 0x0A, 0x01, 0x01, 0x11, 0x01, 0xF9};
    const std::string out = Extracted(FileWith(synth::NonResident(0x80, runs, 3 * 4096 + 100)), image);
    EXPECT_EQ(out, std::string(4096, 'K') + std::string(4096, 'L') + std::string(4096, '\0') + std::string(100, 'D'));
    // A real size past the runs is padded with zeros.
    const std::string padded = Extracted(FileWith(synth::NonResident(0x80, {0x11, 0x01, 0x02}, 5000)), image);
    EXPECT_EQ(padded, std::string(4096, 'C') + std::string(904, '\0'));
    // A run list that begins with 0: real-size zero bytes.
    EXPECT_EQ(Extracted(FileWith(synth::NonResident(0x80, {}, 10)), image), std::string(10, '\0'));
    // Clusters past the end of the device read as zeros.
    EXPECT_EQ(Extracted(FileWith(synth::NonResident(0x80, {0x21, 0x01, 0x00, 0x10}, 4096)), image), std::string(4096, '\0'));
}

TEST(ExtractFileContent, RefusesDamagedAttributes) {
    synth::Bytes noRuns = synth::NonResident(0x80, {0x11, 0x01, 0x02}, 10);
    synth::Put(noRuns, 32, 0x200, 2);  // run list offset past the attribute
    EXPECT_THROW(Extracted(FileWith(noRuns)), ERecordError);
    synth::Bytes hugeSize = synth::NonResident(0x80, {0x11, 0x01, 0x02}, 10);
    synth::Put(hugeSize, 48, 1ull << 60, 8);
    EXPECT_THROW(Extracted(FileWith(hugeSize)), ERecordError);
    EXPECT_THROW(Extracted(FileWith(synth::NonResident(0x80, {0x11, 0x01, 0x10, 0x11, 0x01, 0xE0}, 10))), ERecordError);
}

TEST(ExtractFileContent, LargeContentIsAPlanNotABuffer) {
    // Over 2 GiB in one sparse run and one real run: decoding allocates nothing
    // near that size, and reading hands out bounded chunks.
    const std::uint64_t size = (2ull << 30) + 4096;
    TVolume v;
    v.BytesPerCluster = 4096;
    const synth::Bytes r = FileWith(synth::NonResident(0x80, {0x03, 0x01, 0x00, 0x08, 0x11, 0x01, 0x01}, size));
    const TFileContent content = ExtractFileContent(r, v);
    EXPECT_EQ(content.Size, size);
    auto dev = MemoryDevice(std::string(8192, 'z'));
    std::uint64_t total = 0;
    std::uint64_t largest = 0;
    std::uint64_t nonZero = 0;
    int holes = 0;
    ReadFileContent(*dev, content, [&](const std::uint8_t* b, std::uint64_t n) {
        total += n;
        if (!b) {
            ++holes;
            return;
        }
        largest = std::max(largest, n);
        if (n && b[n - 1]) nonZero += n;
    });
    EXPECT_EQ(total, size);
    EXPECT_EQ(holes, 1);  // the sparse run comes whole, as one hole
    EXPECT_LE(largest, 1u << 20);
    EXPECT_EQ(nonZero, 0u);  // the one real cluster lies past the real size
}

}  // namespace

namespace {

TEST(DecompressLznt1, LiteralsBackReferencesAndStoredChunks) {
    // "abc" then a reference 3 back, 9 long: "abcabcabcabc"; the rest of the
    // unit is zeros.
    const synth::Bytes compressed{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20};
    std::vector<std::uint8_t> unit(8192, 0xEE);
    ASSERT_TRUE(DecompressLznt1(compressed, unit));
    EXPECT_EQ(std::string(unit.begin(), unit.begin() + 12), "abcabcabcabc");
    EXPECT_EQ(std::count(unit.begin() + 12, unit.end(), 0), 8192 - 12);
    // A stored chunk: 4096 bytes as they are, then a compressed one.
    synth::Bytes two{0xFF, 0x3F};
    two.insert(two.end(), 4096, 'x');
    two.insert(two.end(), compressed.begin(), compressed.end());
    ASSERT_TRUE(DecompressLznt1(two, unit));
    EXPECT_EQ(std::count(unit.begin(), unit.begin() + 4096, 'x'), 4096);
    EXPECT_EQ(std::string(unit.begin() + 4096, unit.begin() + 4108), "abcabcabcabc");
}

TEST(DecompressLznt1, DamageIsRefusedNeverReadOrWrittenPast) {
    std::vector<std::uint8_t> unit(4096);
    // A reference further back than the output reaches.
    EXPECT_FALSE(DecompressLznt1(synth::Bytes{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x50}, unit));
    // A chunk longer than the data left.
    EXPECT_FALSE(DecompressLznt1(synth::Bytes{0xFF, 0xBF, 0x00, 'a'}, unit));
    // A reference past the end of the unit.
    EXPECT_FALSE(DecompressLznt1(synth::Bytes{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0xFF, 0x2F}, std::span<std::uint8_t>(unit).first(8)));
    // A reference as the very first token.
    EXPECT_FALSE(DecompressLznt1(synth::Bytes{0x02, 0xB0, 0x01, 0x00, 0x00}, unit));
}

TEST(ExtractFileContent, AUnitThatWillNotDecompressIsZerosAndCounted) {
    // Two compression units of 16 512-byte clusters: the first stored in 1
    // cluster (damaged), the second all sparse.
    std::string image(1 << 20, '\0');
    const synth::Bytes bad{0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x50};
    std::memcpy(image.data() + 100 * 512, bad.data(), bad.size());
    synth::Bytes data = synth::NonResident(0x80, {0x11, 0x01, 0x64, 0x01, 0x1F}, 16 * 1024, 0, 31, 0x0001);
    data[34] = 4;
    const synth::Bytes record = FileWith(data);
    TVolume v;
    v.BytesPerCluster = 512;
    const TFileContent content = ExtractFileContent(record, v);
    ASSERT_EQ(content.Extents.size(), 2u);
    EXPECT_TRUE(content.Extents[0].CompressedUnit);
    auto dev = MemoryDevice(image);
    std::string out;
    const TReadReport report = ReadFileContent(*dev, content, [&](const std::uint8_t* b, std::uint64_t n) {
        out.append(b ? std::string(reinterpret_cast<const char*>(b), n) : std::string(n, '\0'));
    });
    EXPECT_EQ(report.BadUnits, 1u);
    EXPECT_EQ(out, std::string(16 * 1024, '\0'));
}

}  // namespace
