// End-to-end tests of what a deleted file can still give back, on real
// images: clusters other files took, compressed folders, encrypted files, a
// valid data length, files whose attributes spilled into extension records,
// and a volume whose boot sector is gone. The Sleuth Kit is the cross-check:
// icat for the bytes, blkls for which clusters are in use, istat and ifind
// for who holds them.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <map>
#include <set>
#include <sstream>

#include "ImageSupport.h"
#include "platform/DriveMap.h"
#include "platform/RawDevice.h"
#include "volume/Volume.h"
#include "volume/Bitmap.h"
#include "volume/Device.h"
#include "volume/Log.h"
#include "volume/Records.h"
#include "volume/Recover.h"
#include "volume/Scan.h"
#include "platform/Target.h"

using namespace deruzera;
using namespace image_testing;

namespace {

const char* const Plan = R"(format 64M cluster=4096
mkdir /Docs
compress /Zip
file /Zip/words.txt 300K seed=3 words
file /Zip/random.bin 150K seed=4
file /Zip/small.txt 3000 seed=5 words
file /Docs/a.bin 100K seed=1
file /Docs/b.bin 100K seed=2
file /Docs/vdl.bin 50K seed=3
file /Docs/enc.bin 9K seed=4
interleave 4K /Docs/frag.bin:3M /Docs/other.bin:3M seed=6
delete /Zip/words.txt
delete /Zip/random.bin
delete /Zip/small.txt
delete /Docs/a.bin
delete /Docs/b.bin
delete /Docs/vdl.bin
delete /Docs/enc.bin
delete-in-place /Docs/frag.bin
overwrite /Docs/a.bin 40K /Docs/new.bin seed=9
overwrite /Docs/b.bin 100K /Docs/all.bin seed=10
patch-vdl /Docs/vdl.bin 20000
patch-encrypted /Docs/enc.bin
)";

struct Collected : TScanSink {
    std::vector<TLogLine> lines;
    std::map<std::int64_t, TFoundFiles> files;
    std::map<std::int64_t, std::string> names, paths;
    std::map<std::int64_t, std::vector<std::string>> owners;
    int batches = 0;
    void Line(const TLogLine& line) override { lines.push_back(line); }
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) {
            EXPECT_FALSE(files.count(f.Record)) << "listed twice: " << f.Record;
            files[f.Record] = f;
            names[f.Record] = batch.Files.NameText(f);
            paths[f.Record] = batch.FilePath(f);
            owners[f.Record] = batch.Volume.Overwriters().Of(f.Record);
        }
    }
};

struct Recovery : TRecoveryHost {
    std::string out;
    std::vector<TLogLine> lines;
    std::string question;
    void Line(const TLogLine& line) override { lines.push_back(line); }
    std::optional<std::string> AskTargetPath(const std::string&, const TRecoveryPlan&) override { return out; }
    bool ConfirmOverwritten(const std::string& q) override {
        question = q;
        return true;
    }
};

TScanOutcome ScanImage(const fs::path& image, Collected& sink) {
    platform::MapDrive("C:", image);
    const std::atomic<bool> stop{false};
    return ScanDrive("C:", platform::OpenMappedDrive, sink, stop);
}

// The clusters The Sleuth Kit gives for a file's data (0 for a hole), and
// which clusters of the volume are in use.
std::vector<std::int64_t> DataClusters(const fs::path& image, std::int64_t record) {
    const std::string istat = Shell("istat " + Quote(image) + " " + std::to_string(record));
    std::vector<std::int64_t> clusters;
    const auto at = istat.find("Type: $DATA (128-");
    if (at == std::string::npos) return clusters;
    std::istringstream lines(istat.substr(istat.find('\n', at) + 1));
    std::string line;
    while (std::getline(lines, line) && !line.empty() && line.find("Type:") == std::string::npos) {
        std::istringstream words(line);
        for (std::int64_t c; words >> c;) clusters.push_back(c);
    }
    return clusters;
}

std::set<std::int64_t> ClustersInUse(const fs::path& image) {
    std::set<std::int64_t> used;
    std::istringstream lines(Shell("blkls -l -a " + Quote(image)));
    std::string line;
    while (std::getline(lines, line))
        if (const auto bar = line.find('|'); bar != std::string::npos && std::isdigit(static_cast<unsigned char>(line[0])))
            used.insert(std::stoll(line.substr(0, bar)));
    return used;
}

class Recoverability : public ::testing::Test {
protected:
    static Image& Get() {
        static Image image = Build("recoverability", Plan);
        return image;
    }
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
};

TEST_F(Recoverability, StatesAndHoldersAgreeWithTheSleuthKit) {
    const Image& image = Get();
    Collected sink;
    const TScanOutcome outcome = ScanImage(image.file, sink);
    ASSERT_EQ(outcome.End, TScanEnd::Completed);
    ASSERT_TRUE((outcome.Volume && outcome.Volume->Bitmap() != nullptr));

    // Every deleted file once, by its base record; the extension records of
    // the file with an attribute list never as files of their own.
    std::set<std::int64_t> deleted;
    for (const Entry& e : image.manifest)
        if (e.Kind == "file" && e.State == "deleted") deleted.insert(e.Record);
    std::set<std::int64_t> found;
    for (const auto& [record, f] : sink.files) found.insert(record);
    EXPECT_EQ(found, deleted);

    // The state from the clusters in use now, as blkls sees them.
    const std::set<std::int64_t> used = ClustersInUse(image.file);
    ASSERT_FALSE(used.empty());
    for (const auto& [record, f] : sink.files) {
        std::uint64_t stored = 0, over = 0;
        const std::vector<std::int64_t> clusters = DataClusters(image.file, record);
        const std::uint64_t dataClusters = (static_cast<std::uint64_t>(f.FileSize) + 4095) / 4096;
        for (std::size_t i = 0; i < clusters.size() && i < dataClusters; ++i) {
            if (clusters[i] == 0) continue;
            const std::uint64_t bytes = i + 1 == dataClusters && f.FileSize % 4096 ? f.FileSize % 4096 : 4096;
            stored += bytes;
            if (used.count(clusters[i])) over += bytes;
        }
        // TSK shows clusters past the valid data length as 0; that file has
        // nothing overwritten either way.
        EXPECT_EQ(f.OverwrittenBytes, over) << sink.names[record];
        const TRecoverability expected = over == 0 ? TRecoverability::Intact
                                         : over >= stored ? TRecoverability::Overwritten
                                                          : TRecoverability::Partial;
        EXPECT_EQ(f.State, expected) << sink.names[record];
    }
    const std::int64_t a = Find(image.manifest, "/Docs/a.bin")->Record;
    const std::int64_t b = Find(image.manifest, "/Docs/b.bin")->Record;
    EXPECT_EQ(sink.files[a].State, TRecoverability::Partial);
    EXPECT_EQ(sink.files[a].OverwrittenBytes, 40960u);
    EXPECT_EQ(sink.files[b].State, TRecoverability::Overwritten);
    EXPECT_EQ(sink.owners[a], (std::vector<std::string>{"C:\\Docs\\new.bin"}));
    EXPECT_EQ(sink.owners[b], (std::vector<std::string>{"C:\\Docs\\all.bin"}));
    // The holder The Sleuth Kit names by path holds those clusters.
    const std::string holder = Shell("ifind -n Docs/new.bin " + Quote(image.file));
    ASSERT_FALSE(holder.empty());
    const std::vector<std::int64_t> theirs = DataClusters(image.file, std::stoll(holder));
    const std::vector<std::int64_t> ours = DataClusters(image.file, a);
    EXPECT_EQ(std::vector<std::int64_t>(ours.begin(), ours.begin() + 10), theirs);

    // Compressed and encrypted files are marked.
    EXPECT_TRUE(sink.files[Find(image.manifest, "/Zip/words.txt")->Record].Flags & FoundCompressed);
    EXPECT_TRUE(sink.files[Find(image.manifest, "/Zip/random.bin")->Record].Flags & FoundCompressed);
    EXPECT_TRUE(sink.files[Find(image.manifest, "/Docs/enc.bin")->Record].Flags & FoundEncrypted);
    EXPECT_FALSE(sink.files[a].Flags & (FoundCompressed | FoundEncrypted));
    EXPECT_EQ(sink.paths[Find(image.manifest, "/Docs/frag.bin")->Record], "C:\\Docs\\");
    EXPECT_EQ(FileSha(image.file), image.sha);
}

// A volume of thousands of files, so the scan reads many chunks of the
// MFT, with two files written over past its first chunks.
const char* const ManyPlan = R"(format 64M cluster=4096
bulk 1 3000 40 3 0 0
mkdir /late
file /late/a.bin 100K seed=1
file /late/b.bin 100K seed=2
delete /late/a.bin
delete /late/b.bin
overwrite /late/a.bin 40K /late/new.bin seed=9
overwrite /late/b.bin 100K /late/all.bin seed=10
)";

// The file's device, each read of more than a record taking a while.
class TSlowChunks final : public TDevice {
public:
    explicit TSlowChunks(const fs::path& file) : inner_(platform::OpenDeviceFile(file)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (count > 4096) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    THandle inner_;
};

TEST(RecoverabilityOfMany, HoldersAreTheSameWhicheverSideNotesTheFilesInUse) {
    setenv("TZ", "UTC0", 1);
    tzset();
    static const Image image = Build("recoverability-many", ManyPlan);
    const std::atomic<bool> stop{false};
    // The reading falls behind the walk, which then notes the files in use;
    // and the walk falls behind, so the reading thread notes them.
    Collected walkNotes, readerNotes;
    TSlowChunks slow(image.file);
    const TScanOutcome first = ScanDrive(slow, "C:", walkNotes, stop);
    struct : Collected {
        void Progress(std::int64_t, std::int64_t) override { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }
    } slowWalk;
    THandle device = platform::OpenDeviceFile(image.file);
    const TScanOutcome second = ScanDrive(*device, "C:", slowWalk, stop);
    readerNotes = slowWalk;
    ASSERT_EQ(first.End, TScanEnd::Completed);
    ASSERT_EQ(second.End, TScanEnd::Completed);
    ASSERT_GT(first.Volume->Geometry().RecordCount, 2000);

    const std::int64_t a = Find(image.manifest, "/late/a.bin")->Record;
    const std::int64_t b = Find(image.manifest, "/late/b.bin")->Record;
    for (Collected* sink : {&walkNotes, &readerNotes}) {
        EXPECT_EQ(sink->files.at(a).State, TRecoverability::Partial);
        EXPECT_EQ(sink->files.at(a).OverwrittenBytes, 40960u);
        EXPECT_EQ(sink->files.at(b).State, TRecoverability::Overwritten);
        EXPECT_EQ(sink->owners[a], (std::vector<std::string>{"C:\\late\\new.bin"}));
        EXPECT_EQ(sink->owners[b], (std::vector<std::string>{"C:\\late\\all.bin"}));
    }
    EXPECT_EQ(walkNotes.owners, readerNotes.owners);
    EXPECT_EQ(walkNotes.paths, readerNotes.paths);
    std::size_t deleted = 0;
    for (const Entry& e : image.manifest) deleted += e.Kind == "file" && e.State == "deleted";
    EXPECT_EQ(walkNotes.files.size(), deleted);
    EXPECT_EQ(readerNotes.files.size(), deleted);
}

TEST_F(Recoverability, RightBytesOrAnHonestWord) {
    const Image& image = Get();
    Collected sink;
    const TScanOutcome outcome = ScanImage(image.file, sink);
    ASSERT_EQ(outcome.End, TScanEnd::Completed);
    const fs::path out = image.file.parent_path() / ("recovered-" + std::to_string(::getpid()));
    auto recover = [&](const std::string& path, Recovery& r) {
        const Entry* e = Find(image.manifest, path);
        r.out = out;
        const TFoundFiles& f = sink.files.at(e->Record);
        const bool whole = RecoverFile(outcome.Volume.get(), f.Record, f.Sequence, platform::LocalFileSystem(), r).End ==
                           TRecoveryEnd::Recovered;
        Shell("icat " + Quote(image.file) + " " + std::to_string(e->Record) + " > " + Quote(out.string() + ".icat"));
        EXPECT_EQ(FileSha(out), FileSha(out.string() + ".icat")) << path;
        return whole;
    };
    // Compressed, through LZNT1 and as stored units; a file from extension
    // records; an encrypted file as stored: the original bytes, and green.
    for (const char* path : {"/Zip/words.txt", "/Zip/random.bin", "/Zip/small.txt", "/Docs/frag.bin", "/Docs/enc.bin"}) {
        Recovery r;
        EXPECT_TRUE(recover(path, r)) << path;
        EXPECT_EQ(FileSha(out), Find(image.manifest, path)->Sha256) << path;
        EXPECT_EQ(r.lines.back().Text, "File recovered") << path;
        EXPECT_TRUE(r.question.empty());
    }
    {
        Recovery r;
        recover("/Docs/enc.bin", r);
        EXPECT_EQ(r.lines[r.lines.size() - 2].Text,
                  "The file is encrypted: the copy holds its encrypted bytes, readable only with its owner's key");
    }
    // Past the valid data length: zeros.
    {
        Recovery r;
        EXPECT_TRUE(recover("/Docs/vdl.bin", r));
        std::ifstream in(out, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(bytes.size(), 51200u);
        EXPECT_EQ(bytes.find_first_not_of('\0', 20000), std::string::npos);
        EXPECT_NE(bytes.substr(0, 20000).find_first_not_of('\0'), std::string::npos);
    }
    // Written over: asked first, written, and never called recovered.
    {
        Recovery r;
        EXPECT_FALSE(recover("/Docs/a.bin", r));
        EXPECT_EQ(r.question, "40 % of this file's data lies in clusters that other files now use: the copy will hold "
                              "their data there. Recover it all the same?");
        const std::vector<std::string> texts = [&] {
            std::vector<std::string> t;
            for (const TLogLine& l : r.lines) t.push_back(l.Text);
            return t;
        }();
        EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
                  (std::vector<std::string>{"Recovering it all the same: 40 % of it lies in clusters that other files now use",
                                            "Recovered file written : " + out.filename().string() + " (102400 Bytes)",
                                            "40 % of the copy comes from clusters that other files now use"}));
        EXPECT_NE(FileSha(out), Find(image.manifest, "/Docs/a.bin")->Sha256);
    }
    fs::remove(out);
    fs::remove(out.string() + ".icat");
    EXPECT_EQ(FileSha(image.file), image.sha);
}

TEST_F(Recoverability, AZeroedBootSectorIsReadFromItsBackup) {
    const Image image = Build("backup-boot", std::string(Plan) + "zero-boot\n");
    Collected sink;
    const TScanOutcome outcome = ScanImage(image.file, sink);
    ASSERT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_TRUE(outcome.Volume->Geometry().FromBackupBoot);
    ASSERT_GE(sink.lines.size(), 3u);
    EXPECT_EQ(sink.lines[1].Text, "The boot sector is damaged: the backup copy at the end of the drive is used");
    EXPECT_EQ(sink.lines[2].Text, "This is a NTFS disk");
    std::size_t deleted = 0;
    for (const Entry& e : image.manifest) deleted += e.Kind == "file" && e.State == "deleted";
    EXPECT_EQ(sink.files.size(), deleted);
    // The companion's recovery reads it the same way.
    const fs::path out = image.file.parent_path() / ("backup-" + std::to_string(::getpid()));
    const std::int64_t record = Find(image.manifest, "/Zip/words.txt")->Record;
    const std::string lines = Shell(std::string(DERUZERA_CLI) + " recover " + Quote(image.file) + " " +
                                    std::to_string(record) + " " + Quote(out) + " 2>&1");
    EXPECT_NE(lines.find("File recovered"), std::string::npos) << lines;
    EXPECT_EQ(FileSha(out), Find(image.manifest, "/Zip/words.txt")->Sha256);
    fs::remove(out);
}

}  // namespace
