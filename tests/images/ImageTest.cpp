// End-to-end tests on real NTFS images: made by mkntfs, filled and emptied
// through libntfs-3g by deruzera-mkimage, cross-checked with The Sleuth Kit.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/DriveMap.h"
#include "platform/RawDevice.h"
#include "ImageSupport.h"
#include "volume/Volume.h"
#include "volume/Attributes.h"
#include "volume/Fixup.h"
#include "volume/Layout.h"
#include "volume/Log.h"
#include "volume/Messages.h"
#include "volume/Mft.h"
#include "volume/Records.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "platform/Target.h"

using namespace deruzera;
using namespace image_testing;
namespace fs = std::filesystem;

namespace {

// The tree every image holds: nested and deleted folders, resident and
// non-resident files, fragmented and sparse files, a Unicode name, empty
// files, and a record that may be reused after a deletion.
std::string Plan(int cluster, int sector, const std::string& extra = "") {
    std::ostringstream p;
    p << "format " << (cluster >= 65536 ? "96M" : "48M") << " cluster=" << cluster << " sector=" << sector << "\n"
      << "mkdir /A/B/C\nmkdir /Del/Sub\n"
      << "text /A/live.txt still here\\n\n"
      << "file /A/B/resident.bin 300 seed=1\n"
      << "file /A/B/C/big.bin 3M seed=2\n"
      << "file \"/A/\u042E\u043D\u0438\u043A\u043E\u0434 \u6587\u4EF6 \U0001F600.dat\" 20K seed=3\n"
      << "interleave 8K /A/frag1.bin:200K /A/frag2.bin:200K\n"
      << "sparse /A/sparse.bin 2M 0:64K 1M:64K\n"
      << "file /Del/Sub/inner.txt 5K seed=4\n"
      << "file /Del/top.bin 50K seed=5\n"
      << "file /A/empty.bin 0\n"
      << "file /keep.bin 10K seed=6\n"
      << "delete /A/B/resident.bin\n"
      << "delete /A/B/C/big.bin\n"
      << "delete \"/A/\u042E\u043D\u0438\u043A\u043E\u0434 \u6587\u4EF6 \U0001F600.dat\"\n"
      << "delete /A/frag1.bin\n"
      << "delete /A/sparse.bin\n"
      << "delete /A/empty.bin\n"
      << "rmtree /Del\n"
      << "file /A/after.bin 1K seed=7\n"
      << extra;
    return p.str();
}



// The path the scan must show for `path`: from the drive, or from "*" below
// the deepest folder whose record a later file took over.
std::string ExpectedDir(const std::string& path, const std::vector<Entry>& manifest) {
    std::string expected = WindowsDir(path);
    for (const Entry& e : manifest) {
        if (e.Kind != "dir" || e.State != "reused" || path.rfind(e.Path + "/", 0) != 0) continue;
        const std::string below = WindowsDir(path.substr(e.Path.size()));  // "C:\rest\"
        const std::string candidate = "*" + below.substr(2);
        if (candidate.size() < expected.size() || expected[0] != '*') expected = candidate;
    }
    return expected;
}

struct Geometry {
    int cluster, sector;
};

class RealImage : public ::testing::TestWithParam<Geometry> {
protected:
    static std::map<std::string, Image> images;

    const Image& Get() {
        const Geometry g = GetParam();
        const std::string name = "c" + std::to_string(g.cluster) + "s" + std::to_string(g.sector);
        auto it = images.find(name);
        if (it == images.end()) it = images.emplace(name, Build(name, Plan(g.cluster, g.sector))).first;
        return it->second;
    }

    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
};
std::map<std::string, Image> RealImage::images;

// Everything a scan hands over, by record number.
struct Collected : TScanSink {
    std::vector<TLogLine> lines;
    TFoundFileList files;
    std::map<std::int64_t, std::string> names, paths;
    void Line(const TLogLine& line) override { lines.push_back(line); }
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            files.Add(f, batch.Files.Name(f));
            names[f.Record] = batch.Files.NameText(f);
            paths[f.Record] = batch.FilePath(f);
        }
    }
};

TScanOutcome ScanImage(const fs::path& image, Collected& sink) {
    platform::MapDrive("C:", image);
    const std::atomic<bool> stop{false};
    return ScanDrive("C:", platform::OpenMappedDrive, sink, stop);
}

struct Recovery : TRecoveryHost {
    std::string out;
    std::vector<TLogLine> lines;
    void Line(const TLogLine& line) override { lines.push_back(line); }
    std::optional<std::string> AskTargetPath(const std::string&, const TRecoveryPlan&) override { return out; }
};

TEST_P(RealImage, GeometryAgreesWithFsstat) {
    const Image& image = Get();
    const std::string fsstat = Shell("fsstat " + Quote(image.file));
    auto field = [&](const std::string& key) {
        const auto at = fsstat.find(key);
        return at == std::string::npos ? -1LL : std::stoll(fsstat.substr(at + key.size()));
    };
    auto device = platform::OpenDeviceFile(image.file);
    ASSERT_TRUE(device);
    TVolume v;
    ASSERT_EQ(ReadVolumeGeometry(*device, v), TGeometryEnd::Accepted);
    EXPECT_EQ(v.BytesPerSector, field("Sector Size: "));
    EXPECT_EQ(v.BytesPerCluster, field("Cluster Size: "));
    EXPECT_EQ(v.BytesPerCluster, static_cast<std::uint32_t>(GetParam().cluster));
    EXPECT_EQ(v.FileRecordSize, field("Size of MFT Entries: "));
    EXPECT_EQ(v.MFTOffset, field("First Cluster of MFT: ") * v.BytesPerCluster);
}

TEST_P(RealImage, RealRecordsFixUpAndShowTheirAttributes) {
    const Image& image = Get();
    auto device = platform::OpenDeviceFile(image.file);
    TVolume v;
    TOpenFailure failure;
    ASSERT_EQ(LoadVolume(*device, "C:", v, nullptr, failure), TScanEnd::Completed);
    auto record = [&](std::int64_t n) {
        TDynamicCharArray r;
        EXPECT_EQ(ReadFileRecord(*device, v, n, r), 0);
        FixupRecord(r);
        return r;
    };
    const TDynamicCharArray mft = record(0);
    const auto data = FindAttributeView(mft, AttrData, false);
    ASSERT_FALSE(data.empty());
    // Walked as far as the MFT was ever written, and no further than fsstat's range.
    EXPECT_EQ(v.RecordCount * v.FileRecordSize, ReadU64(data, NonResident::InitializedSize));
    EXPECT_EQ(data[8], 1);
    EXPECT_EQ(FileNameOf(FindAttributeView(mft, AttrFileName, true)), "$MFT");
    const TDynamicCharArray root = record(5);
    EXPECT_EQ(ReadU16(root, 22), 3);
    EXPECT_EQ(FileNameOf(FindAttributeView(root, AttrFileName, true)), ".");
    for (const Entry& e : image.manifest) {
        if (e.Kind != "file" || (e.State != "live" && e.State != "deleted")) continue;
        const TDynamicCharArray r = record(e.Record);
        EXPECT_EQ(ReadU16(r, 22), e.State == "live" ? 1 : 0) << e.Path;
        const auto name = FindAttributeView(r, AttrFileName, true);
        EXPECT_EQ(FileNameOf(name), BaseName(e.Path));
        EXPECT_EQ(RecordNumberOf(ParentReferenceOf(name)), e.Parent);
        EXPECT_FALSE(FindAttributeView(r, AttrStandardInformation, false).empty());
    }
}

TEST_P(RealImage, ScanFindsEveryDeletedFileAndRecoversItsBytes) {
    const Image& image = Get();
    Collected sink;
    const TScanOutcome outcome = ScanImage(image.file, sink);
    ASSERT_EQ(outcome.End, TScanEnd::Completed);
    ASSERT_GE(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[sink.lines.size() - 2].Text, "Scanning process completed");
    EXPECT_FALSE(MostlyDamaged(outcome)) << outcome.DamagedRecords << " of " << outcome.RecordsWithBytes;
    EXPECT_EQ(sink.names.size(), sink.files.size());

    // What the manifest deleted and no later file took over is listed exactly.
    int deleted = 0;
    for (const Entry& e : image.manifest) {
        if (e.Kind == "file" && e.State == "live") {
            EXPECT_FALSE(sink.names.count(e.Record)) << "live " << e.Path;
        }
        if (e.Kind != "file" || e.State != "deleted") continue;
        ++deleted;
        ASSERT_TRUE(sink.names.count(e.Record)) << e.Path;
        EXPECT_EQ(sink.names[e.Record], BaseName(e.Path));
        EXPECT_EQ(sink.paths[e.Record], ExpectedDir(e.Path, image.manifest)) << e.Path;
    }
    for (const TFoundFiles& f : sink.files)
        for (const Entry& e : image.manifest)
            if (e.Record == f.Record && e.State == "deleted") {
                EXPECT_EQ(f.FileSize, e.Size) << e.Path;
            }
    EXPECT_GE(deleted, 7);

    // Every deleted file The Sleuth Kit lists by its record is found with its name.
    const std::string fls = Shell("fls -r -d -p " + Quote(image.file));
    std::istringstream flsLines(fls);
    std::string line;
    int checked = 0;
    while (std::getline(flsLines, line)) {
        // "-/r * 72-128-2:<tab>A/empty.bin": a deleted file entry and its record.
        if ((line.rfind("r/r * ", 0) != 0 && line.rfind("-/r * ", 0) != 0) || line.find("(realloc)") != std::string::npos)
            continue;
        const std::int64_t record = std::stoll(line.substr(6));
        const std::string name = BaseName(line.substr(line.find('\t') + 1));
        // Named streams, and unused records that have no name at all.
        if (record < 16 || name.find(':') != std::string::npos || name.rfind("OrphanFile-", 0) == 0) continue;
        ASSERT_TRUE(sink.names.count(record)) << line;
        EXPECT_EQ(sink.names[record], name);
        ++checked;
    }
    EXPECT_GT(checked, 0);

    // Each found file recovers to icat's bytes, and to the original where
    // icat's are, through the device the scan opened.
    const std::string unique = std::to_string(::getpid());
    const fs::path out = image.file.parent_path() / ("recovered-" + unique + ".bin");
    const fs::path icat = image.file.parent_path() / ("icat-" + unique + ".bin");
    std::map<std::int64_t, std::string> manifestSha;
    for (const Entry& e : image.manifest)
        if (e.Kind == "file" && e.State == "deleted") manifestSha[e.Record] = e.Sha256;
    int matchedOriginal = 0;
    for (const TFoundFiles& f : sink.files) {
        Recovery r;
        r.out = out;
        // A file whose clusters others hold now is written all the same, and
        // says so instead of "File recovered".
        const bool intact = f.State == TRecoverability::Intact;
        EXPECT_EQ(RecoverFile(outcome.Volume.get(), f.Record, f.Sequence, platform::LocalFileSystem(), r).End ==
                      TRecoveryEnd::Recovered,
                  intact)
            << f.Record;
        if (intact) ASSERT_EQ(r.lines.back().Text, "File recovered") << f.Record;
        else EXPECT_NE(r.lines.back().Text.find("comes from clusters that other files now use"), std::string::npos);
        Shell("icat " + Quote(image.file) + " " + std::to_string(f.Record) + " > " + Quote(icat));
        const std::string ours = FileSha(out);
        EXPECT_EQ(ours, FileSha(icat)) << sink.names[f.Record];
        if (manifestSha.count(f.Record) && manifestSha[f.Record] == FileSha(icat)) {
            EXPECT_EQ(ours, manifestSha[f.Record]);
            ++matchedOriginal;
        }
    }
    EXPECT_GE(matchedOriginal, 5);
    fs::remove(out);
    fs::remove(icat);
    EXPECT_EQ(FileSha(image.file), image.sha) << "the image was changed";
}

TEST(FragmentedMft, RecordsInLaterExtentsAreFoundWhereTheRunsPutThem) {
    setenv("TZ", "UTC0", 1);
    tzset();
    const Image image = Build("fragmented", "format 64M cluster=4096\nmkdir /d\nfile /d/early.bin 20K seed=1\n"
                                            "fragment-mft 3000\nfile /d/late.bin 30K seed=2\n"
                                            "delete /d/late.bin\ndelete /d/early.bin\n");
    const std::string istat = Shell("istat " + Quote(image.file) + " 0");
    ASSERT_GT(std::count(istat.begin(), istat.end(), '\n'), 8) << "the builder left the MFT in one piece";
    Collected sink;
    const TScanOutcome outcome = ScanImage(image.file, sink);
    const TVolume& volume = outcome.Volume->Geometry();
    EXPECT_GT(volume.MFTRuns.size(), 1u);
    std::map<std::string, std::int64_t> foundRecord;
    for (const auto& [record, name] : sink.names) foundRecord[name] = record;
    for (const Entry& e : image.manifest) {
        if (e.Kind != "file" || e.State != "deleted") continue;
        ASSERT_TRUE(foundRecord.count(BaseName(e.Path))) << e.Path;
        EXPECT_EQ(foundRecord[BaseName(e.Path)], e.Record);
        // The late record lies where the MFT's own runs put it, not where a
        // contiguous MFT would.
        const std::int64_t contiguous = volume.MFTOffset + e.Record * static_cast<std::int64_t>(volume.FileRecordSize);
        if (BaseName(e.Path) == "late.bin") {
            EXPECT_NE(FileRecordOffset(volume, e.Record), contiguous);
        }
    }
    EXPECT_EQ(FileSha(image.file), image.sha);
}

INSTANTIATE_TEST_SUITE_P(Geometries, RealImage,
                         ::testing::Values(Geometry{512, 512}, Geometry{4096, 512}, Geometry{65536, 512},
                                           Geometry{4096, 4096}, Geometry{65536, 4096}),
                         [](const auto& param) {
                             return "cluster" + std::to_string(param.param.cluster) + "_sector" +
                                    std::to_string(param.param.sector);
                         });

}  // namespace
