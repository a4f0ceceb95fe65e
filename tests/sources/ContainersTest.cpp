// Sources end to end: the disks of TestDisks() as raw images, in numbered
// pieces, and in every container format qemu-img and ewfacquire write. The
// volumes found through each are those the tables hold, and a scan through
// them finds what it finds in the bare volume; The Sleuth Kit, reading the
// same containers, agrees where it reads them. Damaged containers end with
// a value and never hand out bytes that were not read.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <fstream>
#include <set>
#include <sstream>

#include "SourceSupport.h"
#include "platform/Sources.h"
#include "volume/Mft.h"
#include "volume/Identify.h"

using namespace deruzera;
using namespace deruzera::platform;
using namespace source_testing;

namespace {

// What the scan of each bare volume finds, once per process.
const ScanResult& BareScan(bool alpha) {
    static const ScanResult a = ScanDevice(*OpenFile(TestDisks().Alpha.file));
    static const ScanResult b = ScanDevice(*OpenFile(TestDisks().Beta.file));
    return alpha ? a : b;
}

struct Kind {
    const char* Name;
    TContainerKind Container;
    bool Split;
    bool Tsk;          // The Sleuth Kit reads it
    const char* Open;  // the file to open, in the kind's folder
    std::function<void(const fs::path& disk, const fs::path& work)> Make;
};

std::string QemuConvert(const std::string& options) {
    return "qemu-img convert -q -f raw " + options + " ";
}

const std::vector<Kind>& Kinds() {
    static const std::vector<Kind> kinds = {
        {"raw", TContainerKind::Raw, false, true, "disk.img",
         [](const fs::path& disk, const fs::path& w) { Execute("cp --sparse=always " + Quote(disk) + " " + Quote(w / "disk.img")); }},
        {"split", TContainerKind::Raw, true, true, "disk.img.000",
         [](const fs::path& disk, const fs::path& w) {
             Execute("split -d -a 3 -b 7M " + Quote(disk) + " " + Quote(w / "disk.img."));
         }},
        {"qcow2", TContainerKind::Qcow, false, false, "disk.qcow2",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-c -O qcow2") + Quote(disk) + " " + Quote(w / "disk.qcow2"));
         }},
        {"vmdk-sparse", TContainerKind::Vmdk, false, true, "disk.vmdk",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-O vmdk -o subformat=monolithicSparse") + Quote(disk) + " " + Quote(w / "disk.vmdk"));
         }},
        {"vmdk-split", TContainerKind::Vmdk, false, true, "disk.vmdk",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-O vmdk -o subformat=twoGbMaxExtentSparse") + Quote(disk) + " " + Quote(w / "disk.vmdk"));
         }},
        {"vmdk-flat", TContainerKind::Vmdk, false, true, "disk.vmdk",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-O vmdk -o subformat=monolithicFlat") + Quote(disk) + " " + Quote(w / "disk.vmdk"));
         }},
        {"vhd-dynamic", TContainerKind::Vhd, false, true, "disk.vhd",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-O vpc -o subformat=dynamic,force_size=on") + Quote(disk) + " " + Quote(w / "disk.vhd"));
         }},
        {"vhd-fixed", TContainerKind::Vhd, false, true, "disk.vhd",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-O vpc -o subformat=fixed,force_size=on") + Quote(disk) + " " + Quote(w / "disk.vhd"));
         }},
        {"vhdx", TContainerKind::Vhdx, false, false, "disk.vhdx",
         [](const fs::path& disk, const fs::path& w) {
             Execute(QemuConvert("-O vhdx") + Quote(disk) + " " + Quote(w / "disk.vhdx"));
         }},
        {"e01", TContainerKind::Ewf, false, true, "disk.E01",
         [](const fs::path& disk, const fs::path& w) {
             // Segments of 1 MiB (the least ewfacquire writes): a set of several files.
             Execute("ewfacquire -u -q -c fast -S 1MiB -t " + Quote(w / "disk") + " " + Quote(disk) + " > /dev/null");
         }},
    };
    return kinds;
}

// The folder holding `kind` of `disk`, made once.
fs::path Container(const Kind& kind, const fs::path& disk, const std::string& diskName) {
    return Derived(TestDisks().Dir, diskName + "-" + kind.Name, [&](const fs::path& w) { kind.Make(disk, w); });
}

// Partition starts in bytes as mmls lists them (tables and free space aside).
std::set<std::int64_t> MmlsStarts(const fs::path& image, const std::string& type = "") {
    std::set<std::int64_t> starts;
    const std::string out = Shell("mmls " + type + Quote(image) + " 2>&1");
    const std::regex row(R"(^\d+:\s+\S+\s+(\d+)\s+\d+\s+\d+\s+(.*)$)");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, row)) continue;
        const std::string what = m[2];
        if (what.find("Unallocated") != std::string::npos || what.find("Table") != std::string::npos ||
            what.find("Extended") != std::string::npos || what.find("Safety") != std::string::npos ||
            what.find("GPT Header") != std::string::npos)
            continue;
        starts.insert(std::stoll(m[1]) * 512);
    }
    return starts;
}

// The deleted entries fls lists in the volume at `offset` bytes of `image`.
std::string FlsDeleted(const std::string& image, std::int64_t offset) {
    return Shell("fls -r -d -p -o " + std::to_string(offset / 512) + " " + image + " 2>&1");
}

const Entry* DeletedFile(const std::vector<Entry>& manifest, const std::string& path) {
    const Entry* e = image_testing::Find(manifest, path);
    return e && e->State == "deleted" ? e : nullptr;
}

class EveryKind : public ::testing::TestWithParam<std::size_t> {};

}  // namespace

TEST_P(EveryKind, VolumesAndTheirDeletedFilesAreThoseOfTheBareVolumes) {
    const Disks& d = TestDisks();
    const Kind& kind = Kinds()[GetParam()];
    const fs::path folder = Container(kind, d.Gpt, "gpt");
    const fs::path path = folder / kind.Open;

    const TSource source = OpenSource(path.string());
    ASSERT_EQ(source.Failure.End, TSourceEnd::Opened) << SourceFailureLines(source.Failure).front().Text;
    EXPECT_EQ(source.Container, kind.Container);
    EXPECT_EQ(source.Split, kind.Split);
    EXPECT_TRUE(source.Notes.empty());
    ASSERT_EQ(source.Volumes.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        const TVolumeInfo& v = source.Volumes[i];
        EXPECT_EQ(v.Number, static_cast<int>(i) + 1);
        EXPECT_EQ(v.Scheme, TScheme::Gpt);
        EXPECT_EQ(v.Start, d.GptParts[i].Start);
        EXPECT_EQ(v.Length, d.GptParts[i].Size);
        EXPECT_EQ(v.Name, d.GptParts[i].Name);
        EXPECT_EQ(v.FileSystem, TFileSystemKind::Ntfs);
        EXPECT_EQ(v.Label, i == 0 ? "Alpha" : "Beta");
    }

    // Both volumes scan as they do bare, and their deleted files' bytes are
    // those the builder wrote.
    for (const int number : {1, 2}) {
        const TOpenVolume volume = OpenVolume(source, {number, std::nullopt}, {});
        ASSERT_TRUE(volume.Device);
        const ScanResult scan = ScanDevice(*volume.Device);
        const ScanResult& bare = BareScan(number == 1);
        EXPECT_EQ(scan.Outcome.End, TScanEnd::Completed);
        EXPECT_EQ(scan.Outcome.UnreadableRecords, 0);
        EXPECT_EQ(scan.Files, bare.Files) << kind.Name << " volume " << number;
    }
    const TOpenVolume alpha = OpenVolume(source, {1, std::nullopt}, {});
    ASSERT_TRUE(alpha.Device);
    int bulk = 0;
    for (const Entry& e : d.Alpha.manifest) {
        // The named files, and a few of the bulk ones.
        if (e.State != "deleted" || e.Kind != "file" || (e.Path.rfind("/bulk", 0) == 0 && ++bulk > 8)) continue;
        EXPECT_EQ(RecoveredSha(*alpha.Device, e.Record), e.Sha256) << kind.Name << " " << e.Path;
    }

    if (!kind.Tsk) return;
    // The Sleuth Kit reads the same container: the same starts, the same
    // deleted entries as in the bare disk, the same bytes of a deleted file.
    const std::string image = Quote(path.string());
    std::set<std::int64_t> ours;
    for (const TVolumeInfo& v : source.Volumes) ours.insert(v.Start);
    EXPECT_EQ(MmlsStarts(path), ours) << kind.Name;
    EXPECT_EQ(FlsDeleted(image, d.GptParts[0].Start), FlsDeleted(Quote(d.Gpt.string()), d.GptParts[0].Start)) << kind.Name;
    const Entry* report = DeletedFile(d.Alpha.manifest, "/Docs/Old/report.bin");
    ASSERT_TRUE(report);
    EXPECT_EQ(Shell("icat -o " + std::to_string(d.GptParts[0].Start / 512) + " " + image + " " +
                    std::to_string(report->Record) + " | sha256sum | cut -c1-64"),
              report->Sha256 + "\n")
        << kind.Name;
}

INSTANTIATE_TEST_SUITE_P(Sources, EveryKind, ::testing::Range<std::size_t>(0, 10),
                         [](const ::testing::TestParamInfo<std::size_t>& p) {
                             std::string name = Kinds()[p.param].Name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

TEST(Sources, MbrDiskListsPrimaryAndLogicalVolumesAsMmlsAndFsstatSee) {
    const Disks& d = TestDisks();
    const TSource source = OpenSource(d.Mbr.string());
    ASSERT_EQ(source.Failure.End, TSourceEnd::Opened);
    ASSERT_EQ(source.Volumes.size(), 3u);
    std::set<std::int64_t> ours;
    for (const TVolumeInfo& v : source.Volumes) ours.insert(v.Start);
    EXPECT_EQ(MmlsStarts(d.Mbr), ours);
    const TVolumeInfo& alpha = source.Volumes[0];
    const TVolumeInfo& beta = source.Volumes[1];
    const TVolumeInfo& linux = source.Volumes[2];
    EXPECT_EQ(alpha.Partition, 1);
    EXPECT_EQ(alpha.Type, "0x07");
    EXPECT_EQ(beta.Partition, 5);
    EXPECT_EQ(linux.Partition, 6);
    EXPECT_EQ(linux.Type, "0x83");
    EXPECT_EQ(linux.FileSystem, TFileSystemKind::Unknown);
    for (const TVolumeInfo* v : {&alpha, &beta}) {
        const std::string fsstat = Shell("fsstat -o " + std::to_string(v->Start / 512) + " " + Quote(d.Mbr.string()));
        EXPECT_NE(fsstat.find("Volume Serial Number: " + SerialText(v->Serial)), std::string::npos) << fsstat;
        EXPECT_NE(fsstat.find("Volume Name: " + v->Label + "\n"), std::string::npos) << fsstat;
    }

    // With two NTFS volumes one must be chosen; asked for, each opens.
    const TOpenVolume none = OpenVolume(source, {}, {});
    EXPECT_EQ(none.Failure.End, TSourceEnd::VolumeNeeded);
    EXPECT_EQ(none.Failure.Count, 2);
    EXPECT_EQ(OpenVolume(source, {4, std::nullopt}, {}).Failure.End, TSourceEnd::NoSuchVolume);
    const TOpenVolume second = OpenVolume(d.Mbr.string(), {2, std::nullopt});
    ASSERT_TRUE(second.Device);
    EXPECT_EQ(ScanDevice(*second.Device).Files, BareScan(false).Files);
    // A bare volume is volume 1, and needs no choosing.
    const TOpenVolume bare = OpenVolume(d.Alpha.file.string(), {});
    ASSERT_TRUE(bare.Device);
    EXPECT_EQ(bare.Info.Scheme, TScheme::None);
    EXPECT_EQ(bare.Info.Length, static_cast<std::int64_t>(fs::file_size(d.Alpha.file)));
}

// A volume opened to be scanned is told by its boot sector: the scan is the
// only reader of its MFT. Listed, its label is read from it.
TEST(Sources, OpeningAVolumeForAScanReadsNothingOfItsMft) {
    struct Recording final : TDevice {
        std::shared_ptr<TDevice> below;
        std::int64_t furthest = 0;
        std::int64_t ReadAt(std::int64_t at, void* buffer, std::size_t count) override {
            const std::int64_t n = below->ReadAt(at, buffer, count);
            if (n > 0) furthest = std::max(furthest, at + n);
            return n;
        }
        std::int64_t Size() const override { return below->Size(); }
    };
    Recording device;
    device.below = OpenFile(TestDisks().Alpha.file);
    const TVolumeIdentity quick = IdentifyVolume(device, false);
    EXPECT_EQ(quick.Kind, TFileSystemKind::Ntfs);
    EXPECT_LE(device.furthest, 4096);
    const TVolumeIdentity full = IdentifyVolume(device, true);
    EXPECT_TRUE(quick.HasSerial);
    EXPECT_EQ(quick.Serial, full.Serial);
    EXPECT_EQ(full.Label, "Alpha");
    EXPECT_TRUE(quick.Label.empty());

    // Through a table: the volume chosen is the same, with or without labels.
    const TOpenVolume second = OpenVolume(TestDisks().Mbr.string(), {2, std::nullopt});
    ASSERT_TRUE(second.Device);
    EXPECT_EQ(second.Info.FileSystem, TFileSystemKind::Ntfs);
    EXPECT_EQ(second.Info.Serial, OpenSource(TestDisks().Mbr.string()).Volumes[1].Serial);
}

TEST(Sources, TheCompanionListsThemAsDecided) {
    const Disks& d = TestDisks();
    const std::string cli = DERUZERA_CLI;
    const std::string json = Shell(cli + " list --json " + Quote(d.Mbr.string()) + " 2>&1");
    std::vector<std::string> rows;
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);) rows.push_back(line);
    ASSERT_EQ(rows.size(), 3u) << json;
    EXPECT_EQ(rows[0].rfind("{\"volume\":1,\"start\":" + std::to_string(d.MbrParts[0].Start) + ",\"length\":" +
                                std::to_string(d.MbrParts[0].Size) + ",\"scheme\":\"mbr\",\"type\":\"0x07\",\"name\":\"\"," +
                                "\"filesystem\":\"ntfs\",\"label\":\"Alpha\",\"serial\":\"",
                            0),
              0u)
        << rows[0];
    EXPECT_NE(rows[2].find("\"volume\":3,"), std::string::npos);
    EXPECT_NE(rows[2].find("\"filesystem\":\"unknown\""), std::string::npos);
    EXPECT_NE(rows[2].find("\"snapshots\":[]}"), std::string::npos);
    // A source that can't be read: 1; a usage error: 2.
    EXPECT_EQ(Shell(cli + " list /nonexistent/disk.img >/dev/null 2>&1; echo $?"), "1\n");
    EXPECT_EQ(Shell(cli + " list --volume 0 " + Quote(d.Mbr.string()) + " >/dev/null 2>&1; echo $?"), "2\n");
    EXPECT_EQ(Shell(cli + " list --volume 4 " + Quote(d.Mbr.string()) + " 2>&1 >/dev/null; echo $?"),
              "Error: There is no volume 4: the source holds 3 volumes\n1\n");
}

namespace {

std::uint32_t Be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 | b[at + 3];
}
void PutBe32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
// A VHD checksum: the ones' complement of the sum of the bytes, with the
// checksum's own field as zeros.
void Checksum(std::vector<std::uint8_t>& b, std::size_t from, std::size_t size, std::size_t field) {
    PutBe32(b, from + field, 0);
    std::uint32_t sum = 0;
    for (std::size_t i = from; i < from + size; ++i) sum += b[i];
    PutBe32(b, from + field, ~sum);
}

// A differencing VHD over `parent`, which no tool on Linux writes: an empty
// dynamic VHD of the same size from qemu-img, made a child of it (footer
// disk type 4; the dynamic header names the parent, its identifier and time).
void MakeDifferencingVhd(const fs::path& parent, const fs::path& child) {
    const std::string info = Shell("qemu-img info " + Quote(parent.string()) + " | sed -n 's/.*(\\([0-9]*\\) bytes).*/\\1/p'");
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(Execute("qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " + Quote(child.string()) + " " +
                        info.substr(0, info.find('\n'))));
    std::string bytes = ReadText(child);
    std::vector<std::uint8_t> c(bytes.begin(), bytes.end());
    const std::string parentHead = ReadText(parent).substr(0, 512);
    const std::vector<std::uint8_t> p(parentHead.begin(), parentHead.end());
    PutBe32(c, 60, 4);
    Checksum(c, 0, 512, 64);
    std::copy(c.begin(), c.begin() + 512, c.end() - 512);
    const std::size_t header = Be32(c, 20);  // low half of the footer's data offset
    std::copy(p.begin() + 68, p.begin() + 84, c.begin() + static_cast<std::ptrdiff_t>(header + 40));  // parent's identifier
    std::copy(p.begin() + 24, p.begin() + 28, c.begin() + static_cast<std::ptrdiff_t>(header + 56));  // and time stamp
    const std::string name = parent.filename().string();
    for (std::size_t i = 0; i < name.size(); ++i) c[header + 64 + 2 * i + 1] = static_cast<std::uint8_t>(name[i]);
    Checksum(c, header, 1024, 36);
    std::ofstream(child, std::ios::binary).write(reinterpret_cast<const char*>(c.data()), static_cast<std::streamsize>(c.size()));
}

}  // namespace

TEST(Sources, ChainsOfImagesAndMissingParents) {
    const Disks& d = TestDisks();
    // A child over the MBR disk in which Beta took Alpha's place: written by
    // qemu-img as the clusters that differ from its base, for qcow2 and VMDK;
    // and a differencing VHD that holds nothing of its own.
    const fs::path chain = Derived(d.Dir, "chains", [&](const fs::path& w) {
        Execute("cp --sparse=always " + Quote(d.Mbr) + " " + Quote(w / "changed.img"));
        Execute("dd if=" + Quote(d.Beta.file) + " of=" + Quote(w / "changed.img") + " bs=1M oflag=seek_bytes seek=" +
                std::to_string(d.MbrParts[0].Start) + " conv=notrunc status=none");
        for (const std::string format : {"qcow2", "vmdk"}) {
            Execute("cd " + Quote(w) + " && qemu-img convert -q -f raw -O " + format + " " + Quote(d.Mbr) + " base." + format +
                    " && qemu-img convert -q -f raw -O " + format + " -B base." + format + " -F " + format +
                    " changed.img child." + format);
        }
        Execute("cd " + Quote(w) + " && qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on changed.img parent.vhd");
        MakeDifferencingVhd(w / "parent.vhd", w / "child.vhd");
    });
    const std::string changed = DeviceSha(*OpenFile(chain / "changed.img"));
    for (const std::string child : {"child.qcow2", "child.vmdk", "child.vhd"}) {
        TSource source = OpenSource((chain / child).string());
        ASSERT_EQ(source.Failure.End, TSourceEnd::Opened) << child;
        EXPECT_EQ(DeviceSha(*source.Disk), changed) << child;
        ASSERT_EQ(source.Volumes.size(), 3u) << child;
        EXPECT_EQ(source.Volumes[0].Label, "Beta") << child;

        // Alone, it names the parent it needs.
        TempDir dir;
        fs::copy_file(chain / child, dir.Path / child);
        source = OpenSource((dir.Path / child).string());
        EXPECT_EQ(source.Failure.End, TSourceEnd::ParentMissing) << child;
        EXPECT_EQ(source.Failure.Needed, child == "child.vhd" ? "parent.vhd" : "base" + child.substr(5)) << child;
        EXPECT_EQ(source.Failure.Path, (dir.Path / child).string());
    }
}

TEST(Sources, DamagedE01ReadsAsErrorsWhereItsChunksFail) {
    const Disks& d = TestDisks();
    // Uncompressed, so that a byte changed in a segment lands in a chunk's data.
    const fs::path set = Derived(d.Dir, "e01-plain", [&](const fs::path& w) {
        Execute("ewfacquire -u -q -c none -S 1MiB -t " + Quote(w / "disk") + " " + Quote(d.Gpt) + " > /dev/null");
    });
    const auto raw = OpenFile(d.Gpt);
    const std::int64_t size = raw->Size();
    std::vector<std::uint8_t> want(size), got(65536);
    ASSERT_EQ(raw->ReadAt(0, want.data(), want.size()), size);

    // Reads the whole device in `step`-byte steps (64 KiB by default; a long
    // read is split between two handles): every byte handed out is the
    // disk's own; returns the bytes that failed.
    auto unread = [&](TDevice& device, std::size_t step = 65536) {
        got.resize(step);
        std::int64_t failed = 0;
        for (std::int64_t at = 0; at < size;) {
            const std::int64_t n = device.ReadAt(at, got.data(), got.size());
            if (n == -EIO) {
                failed += 512;
                at += 512;
                continue;
            }
            EXPECT_GT(n, 0) << at;
            if (n <= 0) break;
            EXPECT_EQ(std::memcmp(got.data(), want.data() + at, static_cast<std::size_t>(n)), 0) << at;
            at += n;
        }
        return failed;
    };
    {
        TempDir dir;
        Execute("cp " + Quote(set.string()) + "/disk.E* " + Quote(dir.Path));
        // One byte of a chunk in the third segment.
        std::fstream f(dir.Path / "disk.E03", std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(500000);
        const char c = static_cast<char>(f.get() ^ 0x5A);
        f.seekp(500000);
        f.put(c);
        f.close();
        const TOpened opened = OpenEwf((dir.Path / "disk.E01").string());
        ASSERT_TRUE(opened.Device);
        EXPECT_EQ(unread(*opened.Device), 32768);  // one chunk of 64 sectors
        // The same through long reads, on a device that has not met the chunk yet.
        EXPECT_EQ(unread(*OpenEwf((dir.Path / "disk.E01").string()).Device, 1 << 20), 32768);
    }
    {
        TempDir dir;
        Execute("cp " + Quote(set.string()) + "/disk.E* " + Quote(dir.Path));
        fs::resize_file(dir.Path / "disk.E04", 300000);
        const TOpened opened = OpenEwf((dir.Path / "disk.E01").string());
        ASSERT_TRUE(opened.Device);
        EXPECT_GT(unread(*opened.Device), 0);
        // The scan ends, with the records it could not read counted.
        const TOpenVolume volume = OpenVolume((dir.Path / "disk.E01").string(), {1, std::nullopt});
        ASSERT_TRUE(volume.Device);
        const ScanResult scan = ScanDevice(*volume.Device);
        EXPECT_TRUE(scan.Outcome.End == TScanEnd::Completed || scan.Outcome.End == TScanEnd::ReadError);
    }
    {
        // A first segment cut inside its header: libewf's reason comes back.
        TempDir dir;
        Execute("cp " + Quote(set.string()) + "/disk.E* " + Quote(dir.Path));
        fs::resize_file(dir.Path / "disk.E01", 100);
        const TSource source = OpenSource((dir.Path / "disk.E01").string());
        EXPECT_EQ(source.Failure.End, TSourceEnd::LibraryFailed);
        EXPECT_EQ(source.Failure.Library, "libewf");
        EXPECT_NE(source.Failure.Message.find("libewf_"), std::string::npos) << source.Failure.Message;
    }
}

// A compressed image's chunks are inflated by the device itself: a byte
// changed anywhere in the segment never comes out as the disk's bytes
// changed; the chunk it spoils reads as an error, as libewf's own reading
// says it.
TEST(Sources, DamagedCompressedE01NeverHandsOutWrongBytes) {
    const Disks& d = TestDisks();
    const fs::path set = Derived(d.Dir, "e01-fast", [&](const fs::path& w) {
        Execute("ewfacquire -u -q -c fast -t " + Quote(w / "disk") + " " + Quote(d.Gpt) + " > /dev/null");
    });
    const auto raw = OpenFile(d.Gpt);
    const std::int64_t size = raw->Size();
    std::vector<std::uint8_t> want(static_cast<std::size_t>(size)), got(1 << 20);
    ASSERT_EQ(raw->ReadAt(0, want.data(), want.size()), size);
    {
        // Whole, through long reads: the disk's bytes.
        const TOpened opened = OpenEwf((set / "disk.E01").string());
        ASSERT_TRUE(opened.Device);
        EXPECT_GT(opened.Device->PreferredReadBytes(), 0u);
        for (std::int64_t at = 0; at < size; at += static_cast<std::int64_t>(got.size())) {
            const std::int64_t n = opened.Device->ReadAt(at, got.data(), got.size());
            ASSERT_EQ(n, std::min<std::int64_t>(size - at, static_cast<std::int64_t>(got.size()))) << at;
            ASSERT_EQ(std::memcmp(got.data(), want.data() + at, static_cast<std::size_t>(n)), 0) << at;
        }
    }
    const std::int64_t segment = static_cast<std::int64_t>(fs::file_size(set / "disk.E01"));
    std::int64_t failedInAll = 0;
    for (const int percent : {20, 35, 50, 65, 80}) {
        TempDir dir;
        Execute("cp " + Quote(set.string()) + "/disk.E* " + Quote(dir.Path));
        {
            std::fstream f(dir.Path / "disk.E01", std::ios::in | std::ios::out | std::ios::binary);
            const std::int64_t at = segment * percent / 100;
            f.seekg(at);
            const char c = static_cast<char>(f.get() ^ 0x5A);
            f.seekp(at);
            f.put(c);
        }
        const TOpened opened = OpenEwf((dir.Path / "disk.E01").string());
        if (!opened.Device) continue;  // the byte spoiled what libewf opens by
        // Long reads, then sector by sector past an error: every byte handed
        // out is the disk's own.
        std::int64_t failed = 0;
        for (std::int64_t at = 0; at < size;) {
            const std::int64_t n = opened.Device->ReadAt(at, got.data(), got.size());
            if (n == -EIO) {
                failed += 512;
                at += 512;
                continue;
            }
            ASSERT_GT(n, 0) << percent << "% " << at;
            ASSERT_EQ(std::memcmp(got.data(), want.data() + at, static_cast<std::size_t>(n)), 0) << percent << "% " << at;
            at += n;
        }
        EXPECT_EQ(failed % 32768, 0) << percent << "%";  // whole chunks of 64 sectors
        failedInAll += failed;
    }
    EXPECT_GT(failedInAll, 0);
}

TEST(Sources, VolumesFoundBySearchWhereBothGptHeadersAreGone) {
    const Disks& d = TestDisks();
    TempDir dir;
    const fs::path disk = dir.Path / "disk.img";
    Execute("cp --sparse=always " + Quote(d.Gpt) + " " + Quote(disk));
    const std::int64_t last = static_cast<std::int64_t>(fs::file_size(disk)) - 512;
    Execute("dd if=/dev/zero of=" + Quote(disk) + " bs=512 seek=1 count=1 conv=notrunc status=none");
    Execute("dd if=/dev/zero of=" + Quote(disk) + " bs=512 seek=" + std::to_string(last / 512) +
        " count=1 conv=notrunc status=none");
    const TSource source = OpenSource(disk.string());
    ASSERT_EQ(source.Failure.End, TSourceEnd::Opened);
    ASSERT_EQ(source.Volumes.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(source.Volumes[i].Scheme, TScheme::Found);
        EXPECT_EQ(source.Volumes[i].Start, d.GptParts[i].Start);
        // The volume's own length: its sectors and the backup boot sector.
        EXPECT_EQ(source.Volumes[i].Length, static_cast<std::int64_t>(fs::file_size(i ? d.Beta.file : d.Alpha.file)));
    }
    ASSERT_EQ(source.Notes.size(), 2u);
    EXPECT_EQ(source.Notes[0].Table.Issue, TTableIssue::GptDamaged);
    EXPECT_EQ(source.Notes[1].Kind, TSourceNoteKind::FoundBySearch);
    const TOpenVolume alpha = OpenVolume(source, {1, std::nullopt}, {});
    ASSERT_TRUE(alpha.Device);
    EXPECT_EQ(ScanDevice(*alpha.Device).Files, BareScan(true).Files);
}

TEST(Sources, RescuedImageWithItsMap) {
    const Disks& d = TestDisks();
    TempDir dir;
    const fs::path image = dir.Path / "rescued.img";
    Execute("cp --sparse=always " + Quote(d.Alpha.file) + " " + Quote(image));
    const auto bare = OpenFile(image);
    TVolume volume;
    TOpenFailure failure;
    ASSERT_EQ(LoadVolume(*bare, "C:", volume, nullptr, failure), TScanEnd::Completed);
    // Never rescued: the 4 KiB holding MFT records 80 to 83, and the first
    // cluster of a deleted file's data as istat places it.
    const std::int64_t mftBlock = FileRecordOffset(volume, 80) / 4096;
    ASSERT_EQ(FileRecordOffset(volume, 80) % 4096, 0);
    const Entry* report = DeletedFile(d.Alpha.manifest, "/Docs/Old/report.bin");
    ASSERT_TRUE(report);
    const std::string istat = Shell("istat " + Quote(image.string()) + " " + std::to_string(report->Record));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(istat, m, std::regex(R"(\$DATA \(128-\d+\)[^\n]*Non-Resident[^\n]*\n(\d+))"))) << istat;
    const std::int64_t dataBlock = std::stoll(m[1]);
    Execute("printf '" + std::to_string(mftBlock) + "\\n" + std::to_string(dataBlock) + "\\n' | ddrescuelog -b 4096 -c-+ " +
        Quote(image.string() + ".map"));

    const TSource source = OpenSource(image.string());
    ASSERT_EQ(source.Failure.End, TSourceEnd::Opened);
    ASSERT_EQ(source.Notes.size(), 2u);
    EXPECT_EQ(source.Notes[0].Kind, TSourceNoteKind::MapfileFound);
    EXPECT_EQ(source.Notes[0].Path, image.string() + ".map");
    EXPECT_EQ(source.Notes[1].Kind, TSourceNoteKind::Unrescued);
    EXPECT_EQ(source.Notes[1].Bytes, 2 * 4096);
    const TOpenVolume opened = OpenVolume(source, {}, {});
    ASSERT_TRUE(opened.Device);
    // The records in the stretch never rescued read as errors, with a short
    // read up to them. The scan ends and lists nothing that isn't there:
    // every file it lists is the bare volume's (its folder may be lost with
    // the records), and those before the stretch are all listed. (How much
    // past it a scan lists depends on how the reader goes on after a short
    // read.)
    std::vector<std::uint8_t> buffer(8192);
    const std::int64_t at = FileRecordOffset(volume, 80);
    EXPECT_EQ(opened.Device->ReadAt(at - 1024, buffer.data(), buffer.size()), 1024);
    EXPECT_EQ(opened.Device->ReadAt(at + 3072, buffer.data(), buffer.size()), -EIO);
    EXPECT_EQ(opened.Device->ReadAt(at + 4096, buffer.data(), 1024), 1024);
    const ScanResult scan = ScanDevice(*opened.Device);
    EXPECT_EQ(scan.Outcome.End, TScanEnd::Completed);
    const std::map<std::int64_t, Found>& all = BareScan(true).Files;
    for (const auto& [record, file] : scan.Files) {
        EXPECT_TRUE(record < 80 || record > 83) << record;
        EXPECT_TRUE(all.count(record) && all.at(record).Name == file.Name && all.at(record).Size == file.Size) << record;
    }
    for (const auto& [record, file] : all) {
        if (record < 80) {
            EXPECT_TRUE(scan.Files.count(record)) << record;
        }
    }
    EXPECT_EQ(RecoveredSha(*opened.Device, report->Record), "read error " + std::to_string(EIO));
    // Every other deleted file still reads whole.
    const Entry* note = DeletedFile(d.Alpha.manifest, "/top.bin");
    ASSERT_TRUE(note);
    EXPECT_EQ(RecoveredSha(*opened.Device, note->Record), note->Sha256);

    // A map given for a container image is refused; a damaged one names its line.
    TSourceOptions options;
    options.Mapfile = (image.string() + ".map");
    const Kind& e01 = Kinds()[9];
    EXPECT_EQ(OpenSource((Container(e01, d.Gpt, "gpt") / e01.Open).string(), options).Failure.End,
              TSourceEnd::MapfileNotRaw);
    std::ofstream(dir.Path / "broken.map") << "0 +\n0 4096 +\n8192 4096 -\n";
    options.Mapfile = (dir.Path / "broken.map").string();
    const TSource broken = OpenSource(image.string(), options);
    EXPECT_EQ(broken.Failure.End, TSourceEnd::MapfileDamaged);
    EXPECT_EQ(broken.Failure.Line, 3);
}
