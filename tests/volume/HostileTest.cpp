// Damaged and hostile volumes, one small case of each class found so far:
// none may overflow, fill memory or the disk, end in silence, or write over
// the source or anything that is not a regular file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "Fixture.h"
#include "Synthetic.h"
#include "platform/RawDevice.h"
#include "platform/Target.h"

using namespace deruzera;
using testing_support::RecordingSink;

namespace {

namespace fs = std::filesystem;

class HostileTest : public testing_support::VolumeTest {
protected:
    TScanOutcome Scan(const synth::Volume& v, RecordingSink& sink) {
        drives["C:"] = v.image;
        return VolumeTest::Scan("C:", sink);
    }
};

TEST_F(HostileTest, MftVcnsNearTheTopOfSixtyFourBitsAreDamageNotArithmetic) {
    // Record 0's $DATA starting near 2^63: said so, before any sum is made.
    synth::Volume first(64);
    first.PutRecord(0, synth::Record(1, {synth::NonResident(0x80, {0x11, 0x10, 0x04}, 64 * 1024,
                                                            INT64_MAX - 15, INT64_MAX)}));
    RecordingSink sink;
    EXPECT_EQ(Scan(first, sink).End, TScanEnd::MftDamaged);
    EXPECT_EQ(sink.lines.back().first.rfind("Error: The MFT is damaged: record 0 gives VCNs ", 0), 0u);
    EXPECT_EQ(sink.lines.back().second, clRed);

    // An extension record of $MFT claiming VCN 2^60: left out; the part of
    // the MFT record 0 maps is walked.
    synth::Volume extended(64);
    synth::Bytes list;
    for (const auto& e : {synth::ListEntry(0x80, 0, 0), synth::ListEntry(0x80, std::uint64_t{1} << 60, 3)})
        list.insert(list.end(), e.begin(), e.end());
    extended.PutRecord(0, synth::Record(1, {synth::Resident(0x20, list),
                                            synth::NonResident(0x80, {0x11, 0x10, 0x04}, 64 * 1024, 0, 15)}));
    extended.Extension(3, 0, {synth::NonResident(0x80, {0x11, 0x10, 0x40}, 0, std::int64_t{1} << 60,
                                                 (std::int64_t{1} << 60) + 15)});
    extended.DeletedFile(40, 5, u"kept.txt", "k");
    RecordingSink walked;
    const TScanOutcome outcome = Scan(extended, walked);
    EXPECT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_EQ(outcome.Volume->Geometry().MFTRuns.size(), 1u);
    EXPECT_EQ(outcome.FoundCount, 1);
}

TEST_F(HostileTest, DeepTreesOfLongNamesCostTheirNamesOnce) {
    // 128 folders of 255-character names, one in the other, and 300 deleted
    // files in the deepest: each folder's name is kept once, not once per
    // file below it.
    synth::Volume v(600, 2 << 20);
    std::u16string longName(255, u'n');
    for (int i = 0; i < 128; ++i) {
        longName[0] = static_cast<char16_t>(u'A' + i % 26);
        v.Directory(20 + i, i == 0 ? 5 : 19 + i, longName);
    }
    for (int i = 0; i < 300; ++i) v.DeletedFile(200 + i, 147, u"f.txt", "x");
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    ASSERT_EQ(outcome.FoundCount, 300);
    EXPECT_EQ(sink.Path(0).size(), 2 + 128 * 256 + 1);
    EXPECT_LT(outcome.Volume->Directories().Footprint(), 128 * 512u);
    EXPECT_LT(sink.files.Footprint(), 300 * 160u);
    // A recovery reads the chain and logs the whole path.
    testing_support::RecordingRecovery r;
    r.answer = (fs::temp_directory_path() / ("deep-" + std::to_string(::getpid()))).string();
    EXPECT_EQ(RecoverFile(outcome.Volume.get(), 200, std::nullopt, platform::LocalFileSystem(), r).End,
              TRecoveryEnd::Recovered);
    EXPECT_EQ(r.lines[2].first.size(), std::string("Path: ").size() + 2 + 128 * 256 + 1);
    fs::remove(*r.answer);
}

TEST_F(HostileTest, ARunListNamingTheSameClustersAgainIsDamageNotAHugeFile) {
    // 20 runs that name the same 200 clusters of a 1024-cluster volume
    // over and over (on, back, on, back): 8 MB from a 4 MB image, refused
    // before anything is written.
    synth::Volume v(64);
    synth::Bytes runs{0x21, 100, 0x00, 0x02};
    for (int i = 0; i < 19; ++i) runs.insert(runs.end(), {0x11, 100, static_cast<std::uint8_t>(i % 2 ? 0x9C : 0x64)});
    v.PutRecord(30, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"loop.bin"),
                                      synth::NonResident(0x80, runs, 20ull * 100 * 4096)}));
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    const TRecoveryPlan plan = PlanRecovery(*outcome.Volume, 30);
    EXPECT_EQ(plan.End, TPlanEnd::RepeatedClusters);
    EXPECT_EQ(plan.What, "more clusters than the volume holds");
    // The system's line, then ours that says why.
    testing_support::RecordingRecovery r;
    r.answer = "/nonexistent/never-written";
    const TRecoveryOutcome recovered = RecoverFile(outcome.Volume.get(), 30, std::nullopt, platform::LocalFileSystem(), r);
    EXPECT_EQ(recovered.End, TRecoveryEnd::PlanFailed);
    EXPECT_EQ(recovered.Plan, TPlanEnd::RepeatedClusters);
    ASSERT_GE(r.lines.size(), 2u);
    EXPECT_EQ(r.lines[r.lines.size() - 2].first, "Error during file recovery");
    EXPECT_EQ(r.lines.back().second, clRed);
    EXPECT_NE(r.lines.back().first.find("same clusters"), std::string::npos);
    EXPECT_EQ(r.asked, 0);
}

TEST(WriteRecoveredFile, NeverOverTheSourceNorWhatIsNoRegularFile) {
    const fs::path dir = fs::temp_directory_path() / ("deruzera-targets-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path image = dir / "volume.img";
    std::ofstream(image) << std::string(8192, 'v');
    THandle device = platform::OpenDeviceFile(image.string());
    ASSERT_TRUE(device);
    TFileContent content;
    content.Resident = true;
    content.ResidentBytes = {'r', 'e', 'c'};
    content.Size = 3;
    const auto save = [&](const std::string& target, const TWriteOptions& options = {}) {
        return WriteRecoveredFile(*device, content, platform::LocalFileSystem(), target, options);
    };
    // The image itself, under its own name or through a link.
    EXPECT_EQ(save(image.string()).End, TWriteEnd::IsSource);
#ifndef _WIN32
    fs::create_symlink(image, dir / "link.img");
    EXPECT_EQ(save((dir / "link.img").string()).End, TWriteEnd::IsSource);
    EXPECT_EQ(fs::file_size(image), 8192u);
    // A device node and a pipe are never replaced by a file.
    EXPECT_EQ(save("/dev/null").End, TWriteEnd::NotRegular);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(save((dir / "pipe").string()).End, TWriteEnd::NotRegular);
    EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
#else
    // Under another name of the same file (Wine makes no symbolic links for
    // Windows programs).
    fs::create_hard_link(image, dir / "hard.img");
    EXPECT_EQ(save((dir / "hard.img").string()).End, TWriteEnd::IsSource);
    EXPECT_EQ(fs::file_size(image), 8192u);
    // A device's name is the device in every folder.
    TWriteOptions keepAll;
    keepAll.Replace = false;
    for (const char* name : {"NUL", "con.txt", "COM1", "conout$"}) {
        EXPECT_EQ(save((dir / name).string()).End, TWriteEnd::NotRegular) << name;
        EXPECT_EQ(save((dir / name).string(), keepAll).End, TWriteEnd::Failed) << name;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);
#endif
    // Not replacing: what exists stays.
    std::ofstream(dir / "kept.txt") << "old";
    TWriteOptions keep;
    keep.Replace = false;
    EXPECT_EQ(save((dir / "kept.txt").string(), keep).End, TWriteEnd::Exists);
    EXPECT_EQ(fs::file_size(dir / "kept.txt"), 3u);
    const TWriteOutcome fresh = save((dir / "new.txt").string(), keep);
    EXPECT_EQ(fresh.End, TWriteEnd::Written);
    EXPECT_EQ(fresh.Bytes, 3u);
    device.reset();  // Windows removes no file that is open
    fs::remove_all(dir);
}

}  // namespace
