// Partition tables as sfdisk and sgdisk write them, and as damage leaves
// them; maps of rescued areas as ddrescue and ddrescuelog write them; the
// devices that stack on others.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "SourceSupport.h"
#include "volume/Mapfile.h"
#include "volume/Partitions.h"
#include "volume/Stack.h"

using namespace deruzera;
using namespace source_testing;

namespace {

TPartitionTable TableOf(const fs::path& disk, std::uint32_t sectorSize = 0) {
    const auto device = OpenFile(disk);
    EXPECT_TRUE(device) << disk;
    return device ? ReadPartitionTable(*device, sectorSize) : TPartitionTable{};
}

// A copy of `disk` in `dir` to damage.
fs::path CopyOf(const fs::path& disk, const TempDir& dir) {
    const fs::path copy = dir.Path / "disk.img";
    EXPECT_TRUE(Execute("cp --sparse=always " + Quote(disk) + " " + Quote(copy)));
    return copy;
}

void Patch(const fs::path& file, std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << file;
}

std::vector<std::uint8_t> Le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

std::vector<std::uint8_t> ReadBytes(const fs::path& file, std::int64_t offset, std::size_t count) {
    std::ifstream f(file, std::ios::binary);
    f.seekg(offset);
    std::vector<std::uint8_t> bytes(count);
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    return bytes;
}

bool HasNote(const TPartitionTable& t, TTableIssue issue) {
    for (const TTableNote& n : t.Notes)
        if (n.Issue == issue) return true;
    return false;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The partitions agree with what sfdisk reads (extended containers aside).
void ExpectSame(const TPartitionTable& t, const std::vector<TablePart>& parts) {
    std::vector<TablePart> volumes;
    for (const TablePart& p : parts)
        if (p.Type != "5" && p.Type != "f" && p.Type != "85") volumes.push_back(p);
    ASSERT_EQ(t.Partitions.size(), volumes.size());
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        EXPECT_EQ(t.Partitions[i].Start, volumes[i].Start) << i;
        EXPECT_EQ(t.Partitions[i].Length, volumes[i].Size) << i;
        EXPECT_EQ(t.Partitions[i].Name, volumes[i].Name) << i;
        if (t.Scheme == TPartitionScheme::Gpt) {
            EXPECT_EQ(t.Partitions[i].Type, Upper(volumes[i].Type));
        } else {
            EXPECT_EQ(std::stoi(t.Partitions[i].Type, nullptr, 16), std::stoi(volumes[i].Type, nullptr, 16));
        }
    }
}

}  // namespace

TEST(Tables, ReadAsSfdiskAndSgdiskWroteThem) {
    const Disks& d = TestDisks();
    const TPartitionTable mbr = TableOf(d.Mbr);
    EXPECT_EQ(mbr.Scheme, TPartitionScheme::Mbr);
    EXPECT_EQ(mbr.SectorSize, 512u);
    EXPECT_TRUE(mbr.Notes.empty());
    ExpectSame(mbr, d.MbrParts);
    ASSERT_EQ(mbr.Partitions.size(), 3u);
    EXPECT_EQ(mbr.Partitions[0].Index, 1);
    EXPECT_EQ(mbr.Partitions[1].Index, 5);
    EXPECT_TRUE(mbr.Partitions[1].Logical);
    EXPECT_EQ(mbr.Partitions[2].Index, 6);

    const TPartitionTable gpt = TableOf(d.Gpt);
    EXPECT_EQ(gpt.Scheme, TPartitionScheme::Gpt);
    EXPECT_TRUE(gpt.Notes.empty());
    ExpectSame(gpt, d.GptParts);
    ASSERT_EQ(gpt.Partitions.size(), 2u);
    EXPECT_EQ(gpt.Partitions[0].Name, "Alpha part");
    EXPECT_EQ(gpt.Partitions[0].Type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");

    // A bare volume has no table.
    EXPECT_EQ(TableOf(d.Alpha.file).Scheme, TPartitionScheme::None);
}

TEST(Tables, DamagedGptFallsBackOnItsBackupOrSaysBothAreGone) {
    const Disks& d = TestDisks();
    const std::int64_t lastLba = static_cast<std::int64_t>(fs::file_size(d.Gpt)) / 512 - 1;
    {
        // The primary header gone.
        TempDir dir;
        const fs::path disk = CopyOf(d.Gpt, dir);
        Patch(disk, 512, std::vector<std::uint8_t>(512, 0));
        const TPartitionTable t = TableOf(disk);
        EXPECT_EQ(t.Scheme, TPartitionScheme::Gpt);
        ASSERT_EQ(t.Notes.size(), 1u);
        EXPECT_EQ(t.Notes[0].Issue, TTableIssue::GptBackupUsed);
        EXPECT_EQ(t.Notes[0].Sector, lastLba);
        ExpectSame(t, d.GptParts);
    }
    {
        // The header holds, its entries fail their checksum.
        TempDir dir;
        const fs::path disk = CopyOf(d.Gpt, dir);
        Patch(disk, 2 * 512 + 60, {0x41});
        const TPartitionTable t = TableOf(disk);
        EXPECT_TRUE(HasNote(t, TTableIssue::GptBackupUsed));
        ExpectSame(t, d.GptParts);
    }
    {
        // An absurd number of entries, under a header whose checksum holds.
        TempDir dir;
        const fs::path disk = CopyOf(d.Gpt, dir);
        std::vector<std::uint8_t> header = ReadBytes(disk, 512, 92);
        std::memcpy(header.data() + 80, Le32(0x7FFFFFFF).data(), 4);
        std::memset(header.data() + 16, 0, 4);
        std::memcpy(header.data() + 16, Le32(Crc32(header.data(), header.size())).data(), 4);
        Patch(disk, 512, header);
        const TPartitionTable t = TableOf(disk);
        EXPECT_TRUE(HasNote(t, TTableIssue::GptBackupUsed));
        ExpectSame(t, d.GptParts);
    }
    {
        // Both headers gone: a table without partitions, and a note.
        TempDir dir;
        const fs::path disk = CopyOf(d.Gpt, dir);
        Patch(disk, 512, std::vector<std::uint8_t>(512, 0));
        Patch(disk, lastLba * 512 + 8, {0xFF, 0xFF});
        const TPartitionTable t = TableOf(disk);
        EXPECT_EQ(t.Scheme, TPartitionScheme::Gpt);
        EXPECT_TRUE(t.Partitions.empty());
        EXPECT_TRUE(HasNote(t, TTableIssue::GptDamaged));
    }
}

TEST(Tables, DamagedChainOfLogicalPartitionsEndsWithANote) {
    const Disks& d = TestDisks();
    ASSERT_EQ(d.MbrParts.size(), 4u);
    const std::int64_t extended = d.MbrParts[1].Start;
    const std::int64_t ebr2 = d.MbrParts[3].Start - 2048 * 512;  // sfdisk leaves 1 MiB before each logical one
    ASSERT_EQ(ReadBytes(d.Mbr, ebr2 + 510, 2), (std::vector<std::uint8_t>{0x55, 0xAA}));
    {
        // The second record links back to itself.
        TempDir dir;
        const fs::path disk = CopyOf(d.Mbr, dir);
        const auto self = static_cast<std::uint32_t>((ebr2 - extended) / 512);
        Patch(disk, ebr2 + 446 + 16, {0, 0, 0, 0, 0x05, 0, 0, 0});
        Patch(disk, ebr2 + 446 + 16 + 8, Le32(self));
        Patch(disk, ebr2 + 446 + 16 + 12, Le32(2048));
        const TPartitionTable t = TableOf(disk);
        ASSERT_EQ(t.Notes.size(), 1u);
        EXPECT_EQ(t.Notes[0].Issue, TTableIssue::ChainLoops);
        EXPECT_EQ(t.Notes[0].Sector, ebr2 / 512);
        ExpectSame(t, d.MbrParts);  // each logical partition once
    }
    {
        // The first record links past the extended partition's end.
        TempDir dir;
        const fs::path disk = CopyOf(d.Mbr, dir);
        Patch(disk, extended + 446 + 16 + 8, Le32(static_cast<std::uint32_t>(d.MbrParts[1].Size / 512 + 10)));
        const TPartitionTable t = TableOf(disk);
        EXPECT_TRUE(HasNote(t, TTableIssue::ChainOutside));
        ASSERT_EQ(t.Partitions.size(), 2u);
        EXPECT_EQ(t.Partitions[1].Index, 5);
    }
    {
        // A chain of more links than any tool writes, each record after the
        // one before it, each naming a small partition.
        TempDir dir;
        const fs::path disk = CopyOf(d.Mbr, dir);
        for (std::uint32_t i = 0; i < 300; ++i) {
            std::vector<std::uint8_t> ebr(512, 0);
            const std::uint32_t at = 2 * i;  // sectors from the extended partition's start
            ebr[446 + 4] = 0x83;
            std::memcpy(&ebr[446 + 8], Le32(1).data(), 4);
            std::memcpy(&ebr[446 + 12], Le32(1).data(), 4);
            ebr[446 + 16 + 4] = 0x05;
            std::memcpy(&ebr[446 + 16 + 8], Le32(at + 2).data(), 4);
            std::memcpy(&ebr[446 + 16 + 12], Le32(2).data(), 4);
            ebr[510] = 0x55;
            ebr[511] = 0xAA;
            Patch(disk, extended + std::int64_t{at} * 512, ebr);
        }
        const TPartitionTable t = TableOf(disk);
        EXPECT_TRUE(HasNote(t, TTableIssue::ChainTooLong));
        EXPECT_EQ(t.Partitions.size(), 1u + MaxLogicalPartitions);
    }
    {
        // The disk cut short inside the first logical partition.
        TempDir dir;
        const fs::path disk = CopyOf(d.Mbr, dir);
        const std::int64_t cut = d.MbrParts[2].Start + 1024 * 1024;
        fs::resize_file(disk, static_cast<std::uintmax_t>(cut));
        const TPartitionTable t = TableOf(disk);
        ASSERT_EQ(t.Partitions.size(), 2u);
        EXPECT_TRUE(t.Partitions[1].Cut);
        EXPECT_EQ(t.Partitions[1].Readable, cut - d.MbrParts[2].Start);
        EXPECT_EQ(t.Partitions[1].Length, d.MbrParts[2].Size);
        EXPECT_TRUE(HasNote(t, TTableIssue::PastEnd));
        EXPECT_TRUE(HasNote(t, TTableIssue::ChainUnreadable));
    }
    {
        // A primary partition grown over the logical ones.
        TempDir dir;
        const fs::path disk = CopyOf(d.Mbr, dir);
        Patch(disk, 446 + 12, Le32(static_cast<std::uint32_t>((d.MbrParts[2].Start + 4096) / 512)));
        const TPartitionTable t = TableOf(disk);
        ASSERT_EQ(t.Notes.size(), 1u);
        EXPECT_EQ(t.Notes[0].Issue, TTableIssue::Overlap);
        EXPECT_EQ(t.Notes[0].Index, 1);
        EXPECT_EQ(t.Notes[0].Other, 5);
    }
}

// Disks with 4096-byte logical sectors, as sgdisk and sfdisk write them on
// a loop device that has them.
TEST(Tables, FourKilobyteSectors) {
    if (::geteuid() != 0) GTEST_SKIP() << "a loop device with 4096-byte sectors needs root";
    TempDir dir;
    for (const bool gpt : {true, false}) {
        const fs::path disk = dir.Path / (gpt ? "gpt4k.img" : "mbr4k.img");
        ASSERT_TRUE(Execute("truncate -s 64M " + Quote(disk)));
        const std::string loop = Shell("losetup -b 4096 --show -f " + Quote(disk) + " 2>/dev/null");
        if (loop.empty()) GTEST_SKIP() << "no loop device with 4096-byte sectors can be set up here";
        const std::string dev = loop.substr(0, loop.find('\n'));
        const bool made =
            gpt ? Execute("sgdisk -o -n 1:256:+24M -t 1:0700 -c 1:First -n 2:0:+8M -t 2:8300 " + dev + " >/dev/null")
                : Execute("printf 'label: dos\\nstart=256, size=6144, type=7\\ntype=5\\nsize=2048, type=83\\n' | sfdisk -q " +
                      dev);
        const std::vector<TablePart> parts = SfdiskParts(dev);
        Shell("losetup -d " + dev);
        ASSERT_TRUE(made);
        // An MBR disk's sector size shows where its first partition begins
        // with a boot sector.
        if (!gpt) Execute("dd if=" + Quote(TestDisks().Alpha.file) + " of=" + Quote(disk) +
                      " bs=512 count=1 seek=2048 conv=notrunc status=none");
        const TPartitionTable t = TableOf(disk);
        EXPECT_EQ(t.Scheme, gpt ? TPartitionScheme::Gpt : TPartitionScheme::Mbr);
        EXPECT_EQ(t.SectorSize, 4096u);
        ExpectSame(t, parts);
        ExpectSame(TableOf(disk, 4096), parts);
    }
}

// ---- Maps of rescued areas ------------------------------------------------------

TEST(Mapfile, ReadsWhatDdrescueAndDdrescuelogWrite) {
    TempDir dir;
    const fs::path source = dir.Path / "source.img", copy = dir.Path / "copy.img";
    ASSERT_TRUE(Execute("truncate -s 3M " + Quote(source)));
    ASSERT_TRUE(Execute("ddrescue -q " + Quote(source) + " " + Quote(copy) + " " + Quote(dir.Path / "copy.map")));
    TRescueMap map = ParseMapfile(ReadText(dir.Path / "copy.map"));
    ASSERT_EQ(map.End, TMapEnd::Read);
    ASSERT_EQ(map.Rescued.size(), 1u);
    EXPECT_EQ(map.Rescued[0], std::make_pair(std::int64_t{0}, std::int64_t{3 << 20}));
    EXPECT_EQ(map.UnrescuedBytes(), 0);

    // Blocks 10-12 and 40 (of 4 KiB) never read; the rest rescued up to
    // the largest position ddrescuelog can write.
    ASSERT_TRUE(Execute("printf '10\\n11\\n12\\n40\\n' | ddrescuelog -b 4096 -c-+ " + Quote(dir.Path / "bad.map")));
    map = ParseMapfile(ReadText(dir.Path / "bad.map"));
    ASSERT_EQ(map.End, TMapEnd::Read);
    ASSERT_EQ(map.Rescued.size(), 3u);
    EXPECT_EQ(map.Rescued[0], std::make_pair(std::int64_t{0}, std::int64_t{10 * 4096}));
    EXPECT_EQ(map.Rescued[1], std::make_pair(std::int64_t{13 * 4096}, std::int64_t{40 * 4096}));
    EXPECT_EQ(map.Rescued[2].first, 41 * 4096);
    EXPECT_EQ(map.UnrescuedBytes(), 4 * 4096);
}

TEST(Mapfile, NumbersAsDdrescueReadsThemAndDamageWithItsLine) {
    // Decimal, octal and hexadecimal say the same.
    const TRescueMap a = ParseMapfile("# map\n0 +\n0 4096 +\n4096 0x1000 -\n020000 8192 + # comment\n");
    ASSERT_EQ(a.End, TMapEnd::Read);
    ASSERT_EQ(a.Blocks.size(), 3u);
    EXPECT_EQ(a.Blocks[2].Position, 8192);
    EXPECT_EQ(a.Rescued, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 4096}, {8192, 16384}}));

    const struct {
        const char* text;
        TMapEnd end;
        int line;
    } cases[] = {
        {"0 + 1\n0 100 +\n200 100 +\n", TMapEnd::Damaged, 3},            // a gap
        {"0 +\n0 100 +\n50 100 -\n", TMapEnd::Damaged, 3},              // an overlap
        {"0 +\n# pos size status\n0 100 x\n", TMapEnd::Damaged, 3},      // no such status
        {"0 +\n0 100\n", TMapEnd::Damaged, 2},                            // a block without status
        {"0 +\n0 0x7FFFFFFFFFFFFFFF +\n1 1 +\n", TMapEnd::Damaged, 3},   // past any position
        {"0 +\n0 99999999999999999999 +\n", TMapEnd::Damaged, 2},        // a number too large
        {"0 +\n-5 10 +\n", TMapEnd::Damaged, 2},
        {"SECTIONS {\n .text : { *(.text) }\n}\n", TMapEnd::NoStatus, 1},  // some other kind of map
        {"0 + 1 extra\n0 100 +\n", TMapEnd::NoStatus, 1},
        {"# only comments\n\n", TMapEnd::NoStatus, 0},
    };
    for (const auto& c : cases) {
        const TRescueMap m = ParseMapfile(c.text);
        EXPECT_EQ(m.End, c.end) << c.text;
        EXPECT_EQ(m.Line, c.line) << c.text;
        EXPECT_TRUE(m.Blocks.empty()) << c.text;
    }
}

// ---- Devices on devices ------------------------------------------------------------

TEST(Stack, DevicesReadThroughWhatLiesBelow) {
    std::string bytes(64 * 1024, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
    std::shared_ptr<TDevice> whole = MemoryDevice(bytes);
    char buffer[8192];

    // A slice ends where it ends, whatever lies below.
    const auto slice = SliceDevice(whole, 1000, 5000);
    EXPECT_EQ(slice->Size(), 5000);
    EXPECT_EQ(slice->ReadAt(4000, buffer, sizeof buffer), 1000);
    EXPECT_EQ(std::memcmp(buffer, bytes.data() + 5000, 1000), 0);
    EXPECT_EQ(slice->ReadAt(5000, buffer, 1), 0);

    // Pieces read as one, across their borders.
    const auto pieces = ConcatDevice({MemoryDevice(bytes.substr(0, 3000)), MemoryDevice(bytes.substr(3000, 10)),
                                      MemoryDevice(bytes.substr(3010))});
    ASSERT_TRUE(pieces);
    EXPECT_EQ(pieces->Size(), static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(pieces->ReadAt(2990, buffer, 100), 100);
    EXPECT_EQ(std::memcmp(buffer, bytes.data() + 2990, 100), 0);

    // What a map says was never rescued reads as an error, with a short
    // read up to it, never as the bytes that happen to lie there.
    const TRescueMap map = ParseMapfile("0 +\n0 8192 +\n8192 4096 -\n12288 0x100000 +\n");
    const auto rescued = RescuedDevice(whole, map);
    EXPECT_EQ(rescued->ReadAt(4096, buffer, 8192), 4096);
    EXPECT_EQ(rescued->ReadAt(8192, buffer, 10), -EIO);
    EXPECT_EQ(rescued->ReadAt(12287, buffer, 1), -EIO);
    EXPECT_EQ(rescued->ReadAt(12288, buffer, 100), 100);
    EXPECT_EQ(std::memcmp(buffer, bytes.data() + 12288, 100), 0);
    // Past the map's end nothing was rescued either.
    const auto shorter = RescuedDevice(whole, ParseMapfile("0 +\n0 4096 +\n"));
    EXPECT_EQ(shorter->ReadAt(4096, buffer, 1), -EIO);
}
