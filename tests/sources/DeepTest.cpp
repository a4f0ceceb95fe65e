// Beyond the volume's own map, end to end through the companion: volumes no
// partition table lists, the deep scan of volumes formatted over or with
// their boot sectors or first MFT extent destroyed, and carving. What is
// recovered is compared with the builder's ledger of what it wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "SourceSupport.h"
#include "volume/Pass.h"

using namespace deruzera;

using namespace source_testing;

namespace {

const std::string Cli = DERUZERA_CLI;

// Deleted files in folders, one large enough to span many clusters, and a
// bulk tree so that the MFT runs well past what a new format writes.
const char* const FormattedPlan =
    "format 32M label=Old\n"
    "mkdir /Docs/Old\n"
    "file /Docs/keep.bin 20K seed=1\n"
    "file /Docs/Old/report.bin 300K seed=2\n"
    "text /Docs/note.txt a note of a few bytes\n"
    "file /top.bin 50K seed=4\n"
    "file /big.bin 2M seed=9\n"
    "bulk 7 200 10 3 0.5 1\n"
    "delete /Docs/Old/report.bin\n"
    "delete /Docs/note.txt\n"
    "delete /top.bin\n"
    "delete /big.bin\n";

// An MFT of two extents, the files deleted at the end in the second.
const char* const FragmentedPlan =
    "format 32M label=Frag\n"
    "fragment-mft 40\n"
    "mkdir /After\n"
    "file /After/a.bin 30K seed=11\n"
    "file /After/b.bin 200K seed=12\n"
    "text /After/c.txt small text\n"
    "delete /After/a.bin\n"
    "delete /After/b.bin\n"
    "delete /After/c.txt\n";

// A row of `scan --json` as far as the tests read it.
struct Row {
    std::string Path, Name, State, FoundBy, Created;
    long long Record = 0, Size = 0, Offset = 0, SourceOffset = -1;
};

std::string Field(const std::string& line, const std::string& key) {
    const std::regex text("\"" + key + "\":\"((?:[^\"\\\\]|\\\\.)*)\"");
    const std::regex number("\"" + key + "\":(-?[0-9]+)");
    std::smatch m;
    if (std::regex_search(line, m, text)) return m[1];
    if (std::regex_search(line, m, number)) return m[1];
    return "";
}

// "C:\\Docs\\" as JSON writes it, as a manifest path's folder "/Docs/".
std::string SlashPath(std::string path) {
    path = path.substr(2);
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\') {
            out += '/';
            if (i + 1 < path.size() && path[i + 1] == '\\') ++i;
        } else {
            out += path[i];
        }
    }
    return out;
}

std::vector<Row> ScanRows(const std::string& options, const fs::path& source) {
    std::vector<Row> rows;
    std::istringstream lines(Shell(Cli + " scan --json " + options + " " + Quote(source.string()) + " 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        Row r;
        r.Path = SlashPath(Field(line, "path"));
        r.Name = Field(line, "name");
        r.State = Field(line, "state");
        r.FoundBy = Field(line, "found_by");
        r.Created = Field(line, "created");
        r.Record = std::stoll(Field(line, "record"));
        r.Size = std::stoll(Field(line, "size"));
        r.Offset = std::stoll(Field(line, "offset"));
        const std::string offset = Field(line, "source_offset");
        if (!offset.empty()) r.SourceOffset = std::stoll(offset);
        rows.push_back(r);
    }
    return rows;
}

// A copy of `image` to damage.
fs::path CopyOf(const fs::path& image, const TempDir& dir, const std::string& name = "v.img") {
    const fs::path copy = dir.Path / name;
    EXPECT_TRUE(Execute("cp --sparse=always " + Quote(image.string()) + " " + Quote(copy.string())));
    return copy;
}

void Zero(const fs::path& file, std::int64_t offset, std::int64_t bytes) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    const std::string zeros(static_cast<std::size_t>(bytes), '\0');
    f.write(zeros.data(), bytes);
    ASSERT_TRUE(f.good()) << file;
}

struct Compared {
    int Listed = 0, Same = 0, Differ = 0;
    std::vector<std::string> Missing;
};

// `recover OPTIONS --to DIR --all` on `source`, and the ledger's deleted
// files compared with what was written at their paths: every one listed
// whose state says its clusters are its own ("intact", or "unknown" where no
// bitmap is left) must equal what the builder wrote.
Compared RecoverAndCompare(const std::string& options, const fs::path& source, const image_testing::Image& built,
                           const TempDir& dir) {
    Compared c;
    std::map<std::string, Row> listed;
    for (const Row& r : ScanRows(options, source)) listed[r.Path + r.Name] = r;
    const fs::path out = dir.Path / "out";
    Shell(Cli + " recover " + options + " --to " + Quote(out.string()) + " --all " + Quote(source.string()) +
          " >/dev/null 2>&1");
    for (const Entry& e : built.manifest) {
        if (e.Kind != "file" || e.State != "deleted") continue;
        const auto it = listed.find(e.Path);
        if (it == listed.end()) {
            c.Missing.push_back(e.Path);
            continue;
        }
        ++c.Listed;
        EXPECT_EQ(it->second.Size, e.Size) << e.Path;
        EXPECT_EQ(it->second.FoundBy, "deep") << e.Path;
        const std::string sha = image_testing::FileSha(out / e.Path.substr(1));
        if (sha == e.Sha256) {
            ++c.Same;
        } else {
            ++c.Differ;
            EXPECT_NE(it->second.State, "intact") << e.Path << " differs from what was written";
        }
    }
    return c;
}

// A device whose bytes in [From, To) can't be read: reads stop short before
// them, and fail at them, as a disk with bad sectors gives them.
class BadStretch final : public TDevice {
public:
    BadStretch(std::shared_ptr<TDevice> inner, std::int64_t from, std::int64_t to)
        : inner_(std::move(inner)), from_(from), to_(to) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset >= from_ && offset < to_) return -EIO;
        if (offset < from_ && offset + static_cast<std::int64_t>(count) > from_)
            count = static_cast<std::size_t>(from_ - offset);
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    std::shared_ptr<TDevice> inner_;
    std::int64_t from_, to_;
};

// Counts what a pass hands over; stops it after `stopAfter` reports of progress.
struct PassCount final : TPassSink {
    std::uint64_t files = 0, reports = 0, stopAfter = 0;
    std::int64_t lastLeft = -2;
    std::atomic<bool> abort{false};
    void Line(const TLogLine&) override {}
    void Found(const TFoundBatch& batch) override { files += batch.Files.size(); }
    void PassProgress(const TPassProgress& p) override {
        ++reports;
        lastLeft = p.SecondsLeft;
        if (stopAfter && reports >= stopAfter) abort = true;
    }
};

}  // namespace

// A disk whose table was wiped, and one whose table lost an entry: the
// volumes are found by their boot sectors, offered by `list` as found by
// search, and scan as the bare volumes do.
TEST(LostPartitions, FoundWhereNoTableListsThem) {
    const Disks& d = TestDisks();
    TempDir dir;
    const fs::path wiped = CopyOf(d.Mbr, dir, "wiped.img");
    ASSERT_TRUE(Execute("wipefs -q -a --force " + Quote(wiped.string())));
    std::string list = Shell(Cli + " list --json " + Quote(wiped.string()) + " 2>/dev/null");
    EXPECT_NE(list.find("{\"volume\":1,\"start\":" + std::to_string(d.MbrParts[0].Start) + ","), std::string::npos)
        << list;
    EXPECT_NE(list.find("{\"volume\":2,\"start\":" + std::to_string(d.MbrParts[2].Start) + ","), std::string::npos)
        << list;
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2) << list;
    EXPECT_NE(list.find("\"scheme\":\"found\""), std::string::npos);
    EXPECT_NE(list.find("\"label\":\"Beta\""), std::string::npos);

    // GPT with its second entry deleted: the table still reads, and the
    // volume in the stretch it leaves free is found beside the one listed.
    const fs::path lost = CopyOf(d.Gpt, dir, "lost.img");
    ASSERT_TRUE(Execute("sfdisk -q --delete " + Quote(lost.string()) + " 2"));
    list = Shell(Cli + " list --json " + Quote(lost.string()) + " 2>&1");
    EXPECT_NE(list.find("\"volume\":1,\"start\":" + std::to_string(d.GptParts[0].Start) + ",\"length\":" +
                        std::to_string(d.GptParts[0].Size) + ",\"scheme\":\"gpt\""),
              std::string::npos)
        << list;
    EXPECT_NE(list.find("\"volume\":2,\"start\":" + std::to_string(d.GptParts[1].Start) + ","), std::string::npos)
        << list;
    EXPECT_NE(list.find("1 volume was found by searching the disk where its partition table lists no partition"),
              std::string::npos)
        << list;

    // Each found volume scans as the bare volume does.
    for (const fs::path& disk : {wiped, lost}) {
        std::vector<Row> rows = ScanRows("--volume 2", disk);
        std::vector<std::string> names, expected;
        for (const Row& r : rows) names.push_back(r.Path + r.Name);
        for (const Entry& e : d.Beta.manifest)
            if (e.Kind == "file" && e.State == "deleted") expected.push_back(e.Path);
        EXPECT_EQ(names, expected) << disk;
    }
    const std::vector<Row> alpha = ScanRows("--volume 1", wiped);
    int deleted = 0;
    for (const Entry& e : d.Alpha.manifest) deleted += e.Kind == "file" && e.State == "deleted";
    EXPECT_EQ(static_cast<int>(alpha.size()), deleted);
}

// A volume quick-formatted over (by mkntfs, with the cluster size it had
// and with others): the old records past the new MFT are found, their tree
// rebuilt, and the deleted files come back as the builder wrote them
// unless their state says the new format's structures took their clusters.
TEST(DeepScan, VolumeFormattedOver) {
    const image_testing::Image built = image_testing::Build("deep-formatted", FormattedPlan);
    int deleted = 0;
    for (const Entry& e : built.manifest) deleted += e.Kind == "file" && e.State == "deleted";
    for (const char* cluster : {"4096", "8192", "1024"}) {
        TempDir dir;
        const fs::path image = CopyOf(built.file, dir);
        ASSERT_TRUE(Execute(std::string("mkntfs -F -Q -q -c ") + cluster + " " + Quote(image.string())));
        // The volume as it now opens holds none of them.
        EXPECT_TRUE(ScanRows("", image).empty()) << cluster;
        const Compared c = RecoverAndCompare("--deep", image, built, dir);
        EXPECT_TRUE(c.Missing.empty()) << cluster << ": " << c.Missing.size() << " missing, first "
                                       << (c.Missing.empty() ? "" : c.Missing[0]);
        EXPECT_EQ(c.Listed, deleted) << cluster;
        // The new $MFT, $LogFile and their like take a few clusters at most.
        EXPECT_GE(c.Same, deleted - 3) << cluster;
    }
}

// Both boot sectors zeroed: nothing opens the volume, the deep scan lists
// and recovers every deleted file where the walk listed it.
TEST(DeepScan, BootSectorAndBackupZeroed) {
    const image_testing::Image built = image_testing::Build("deep-formatted", FormattedPlan);
    TempDir dir;
    const fs::path image = CopyOf(built.file, dir);
    const auto size = static_cast<std::int64_t>(fs::file_size(image));
    Zero(image, 0, 512);
    Zero(image, size - 512, 512);
    EXPECT_NE(Shell(Cli + " scan " + Quote(image.string()) + " >/dev/null 2>&1; echo $?"), "0\n");
    const Compared c = RecoverAndCompare("--deep", image, built, dir);
    EXPECT_TRUE(c.Missing.empty());
    EXPECT_EQ(c.Differ, 0);
    EXPECT_GT(c.Same, 100);
}

// The MFT's first extent zeroed ($MFT's own record with it): the records of
// the second extent are placed by the boot sector and $MFTMirr's copy, and
// their files listed at their paths and recovered.
TEST(DeepScan, FirstMftExtentZeroed) {
    const image_testing::Image built = image_testing::Build("deep-fragmented", FragmentedPlan);
    TempDir dir;
    const fs::path image = CopyOf(built.file, dir);
    // The first extent as The Sleuth Kit reads $MFT's runs.
    const std::string runs = Shell("istat " + Quote(image.string()) + " 0 | sed -n '/^Type: \\$DATA/,/^Type:/p' | tail -n +2");
    std::vector<long long> clusters;
    std::istringstream words(runs);
    for (std::string w; words >> w;)
        if (std::all_of(w.begin(), w.end(), ::isdigit)) clusters.push_back(std::stoll(w));
    ASSERT_FALSE(clusters.empty()) << runs;
    std::size_t first = 1;
    while (first < clusters.size() && clusters[first] == clusters[first - 1] + 1) ++first;
    ASSERT_LT(first, clusters.size()) << "the MFT has one extent";
    Zero(image, clusters[0] * 4096, static_cast<std::int64_t>(first) * 4096);
    const Compared c = RecoverAndCompare("--deep", image, built, dir);
    EXPECT_TRUE(c.Missing.empty()) << (c.Missing.empty() ? "" : c.Missing[0]);
    EXPECT_EQ(c.Listed, 3);
    EXPECT_EQ(c.Same, 3);
}

// Carving the free clusters of a volume: its deleted files come back by
// their content, under names of ours, beside the walk's own listing.
TEST(Carving, FreeClustersOfAVolume) {
    TempDir dir;
    const fs::path gz = dir.Path / "r.gz", zip = dir.Path / "r.zip";
    ASSERT_TRUE(Execute("head -c 300000 /dev/urandom | gzip -c > " + Quote(gz.string())));
    ASSERT_TRUE(Execute("cd " + Quote(dir.Path.string()) + " && head -c 200000 /dev/urandom > r.bin && " +
                        "python3 -c \"import zipfile; z = zipfile.ZipFile('r.zip', 'w'); z.write('r.bin'); "
                        "z.writestr('a.txt', 'hello' * 1000); z.close()\""));
    const fs::path image = dir.Path / "v.img", ledger = dir.Path / "v.tsv";
    const std::string plan = "format 32M\ncopy /x/r.gz " + gz.string() + "\ncopy /x/r.zip " + zip.string() +
                             "\nfile /x/keep.bin 100K seed=3\ndelete /x/r.gz\ndelete /x/r.zip\n";
    ASSERT_TRUE(Execute("printf '%s' " + Quote(plan) + " | " + DERUZERA_MKIMAGE + " " + Quote(image.string()) + " - " +
                        Quote(ledger.string())));
    std::vector<Row> carved;
    for (const Row& r : ScanRows("--carve", image)) {
        if (r.FoundBy == "carve") carved.push_back(r);
        // A carved file has no record, so no times; the walk's have theirs.
        EXPECT_EQ(r.Created.empty(), r.FoundBy == "carve") << r.Name << " " << r.Created;
    }
    ASSERT_EQ(carved.size(), 2u);
    EXPECT_EQ(carved[0].State, "carved");
    EXPECT_EQ(carved[0].Name, "carved-" + std::to_string(carved[0].SourceOffset) + ".gz");
    EXPECT_EQ(carved[1].Name, "carved-" + std::to_string(carved[1].SourceOffset) + ".zip");
    EXPECT_EQ(carved[0].Size, static_cast<long long>(fs::file_size(gz)));
    const fs::path out = dir.Path / "out";
    EXPECT_EQ(Shell(Cli + " recover --carve --to " + Quote(out.string()) + " --match '*carved*' " +
                    Quote(image.string()) + " >/dev/null 2>&1; echo $?"),
              "0\n");
    EXPECT_EQ(image_testing::FileSha(out / "$CarvedFiles" / carved[0].Name), image_testing::FileSha(gz));
    EXPECT_EQ(image_testing::FileSha(out / "$CarvedFiles" / carved[1].Name), image_testing::FileSha(zip));
}

// Sectors that can't be read are skipped and counted, and what lies around
// them is listed; a pass stopped early lists what it found so far.
TEST(DeepScan, ReadErrorsAreCountedAndStopKeepsWhatWasFound) {
    const image_testing::Image built = image_testing::Build("deep-formatted", FormattedPlan);
    TempDir dir;
    const fs::path image = CopyOf(built.file, dir);
    ASSERT_TRUE(Execute("mkntfs -F -Q -q " + Quote(image.string())));
    const std::atomic<bool> never{false};
    TPassOptions options;
    options.Deep = true;
    PassCount whole;
    const TPassOutcome all = ScanSource(OpenFile(image), "C:", whole, never, options);
    ASSERT_EQ(all.End, TScanEnd::Completed);
    EXPECT_EQ(all.ReadErrors, 0u);
    EXPECT_EQ(whole.files, all.DeepFiles);
    EXPECT_GT(all.DeepFiles, 100u);

    // 64 KiB of the old MFT's records unread, halfway through it.
    const std::int64_t from = all.Results->Places[all.DeepFiles / 2].SourceOffset / 4096 * 4096;
    PassCount damaged;
    const TPassOutcome some =
        ScanSource(std::make_shared<BadStretch>(OpenFile(image), from, from + 65536), "C:", damaged, never, options);
    EXPECT_EQ(some.End, TScanEnd::Completed);
    EXPECT_GT(some.ReadErrors, 0u);
    EXPECT_EQ(some.UnreadBytes, 65536u);
    EXPECT_LT(some.DeepFiles, all.DeepFiles);
    EXPECT_GE(some.DeepFiles, all.DeepFiles - 64);  // a 1 KiB record a file at most

    // Stopped after the first chunk, which holds the old MFT: listed all the same.
    PassCount stopped;
    stopped.stopAfter = 1;
    const TPassOutcome early = ScanSource(OpenFile(image), "C:", stopped, stopped.abort, options);
    EXPECT_EQ(early.End, TScanEnd::Aborted);
    EXPECT_LT(early.BytesDone, static_cast<std::uint64_t>(fs::file_size(image)));
    EXPECT_EQ(stopped.files, early.DeepFiles);
    EXPECT_EQ(early.DeepFiles, all.DeepFiles);
}

// A volume at sector 63 of a disk with no table left: its records straddle
// the pass's chunks, and the whole disk's deep scan still puts them together
// and recovers them; `list` finds the volume there by its boot sector.
TEST(DeepScan, VolumeAtALegacyOffsetOfADisk) {
    const image_testing::Image built = image_testing::Build("deep-formatted", FormattedPlan);
    TempDir dir;
    const fs::path disk = dir.Path / "disk.img";
    const auto volume = static_cast<std::int64_t>(fs::file_size(built.file));
    ASSERT_TRUE(Execute("truncate -s " + std::to_string(volume + (1 << 20)) + " " + Quote(disk.string())));
    ASSERT_TRUE(Execute("printf 'label: dos\\nstart=63, size=" + std::to_string(volume / 512) + ", type=7\\n' | sfdisk -q " +
                        Quote(disk.string())));
    ASSERT_TRUE(Execute("dd if=" + Quote(built.file.string()) + " of=" + Quote(disk.string()) +
                        " bs=512 seek=63 conv=notrunc,sparse status=none"));
    Zero(disk, 0, 512);
    const std::string list = Shell(Cli + " list --json " + Quote(disk.string()) + " 2>/dev/null");
    EXPECT_NE(list.find("{\"volume\":1,\"start\":32256,\"length\":" + std::to_string(volume) + ",\"scheme\":\"found\""),
              std::string::npos)
        << list;
    // Its own boot sectors gone too: only the records tell where it lies.
    Zero(disk, 63 * 512, 512);
    Zero(disk, 63 * 512 + volume - 512, 512);
    const Compared c = RecoverAndCompare("--deep", disk, built, dir);
    EXPECT_TRUE(c.Missing.empty()) << c.Missing.size() << " missing";
    EXPECT_EQ(c.Differ, 0);
    // Each record's place on its volume is where the volume was found to begin.
    for (const Row& r : ScanRows("--deep", disk)) EXPECT_EQ(r.SourceOffset - r.Offset, 32256) << r.Name;
}
