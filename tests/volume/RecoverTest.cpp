#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Fixture.h"
#include "Synthetic.h"

using namespace deruzera;
using testing_support::Lines;
using testing_support::RecordingRecovery;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class RecoverTest : public testing_support::VolumeTest {
protected:
    fs::path dir;
    synth::Volume v{64};
    RecordingRecovery host;
    std::shared_ptr<TDevice> device;
    TVolume volume;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("deruzera-recover-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        v.Directory(20, 5, u"Docs");
        v.DeletedFile(30, 20, u"a.txt", std::string(512, 'r'));
        v.DeletedFile(31, 5, u"empty.txt", "");
        v.PutRecord(32, synth::Record(0, {synth::StandardInformation(0, 0), synth::Resident(0x80, {'n'})}));
        v.DeletedFile(33, 5, u"../../evil\x01/name", "e");
    }
    void TearDown() override { fs::remove_all(dir); }
    // Opens the image as a front end does: the device and its volume.
    void Open(const synth::Volume& image) {
        device = std::shared_ptr<TDevice>(MemoryDevice(image.image));
        TScanOutcome failure;
        ASSERT_EQ(LoadVolume(*device, "C:", volume, nullptr, failure), TScanEnd::Completed);
    }
    bool Recover(std::int64_t record, std::optional<std::uint16_t> sequence = std::nullopt) {
        host.lines.clear();
        return RecoverFile(device.get(), volume, record, sequence, host);
    }
};

TEST_F(RecoverTest, WritesTheFileWithTheSixLines) {
    Open(v);
    host.answer = (dir / "out.txt").string();
    EXPECT_TRUE(Recover(30));
    EXPECT_EQ(host.proposed, "a.txt");
    EXPECT_EQ(ReadAll(dir / "out.txt"), std::string(512, 'r'));
    EXPECT_EQ(host.lines, (Lines{{"Preparing for recovery", clBlack},
                                 {"File: a.txt", clBlue},
                                 {"Path: C:\\Docs\\", clBlue},
                                 {"Data recovered", clGreen},
                                 {"Recovered file written : out.txt (512 Bytes)", clBlue},
                                 {"File recovered", clGreen}}));
    // Recovering again replaces the file without a question.
    EXPECT_TRUE(Recover(30));
    EXPECT_EQ(host.lines.size(), 6u);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(RecoverTest, ThePlanReadsTheRecordAndItsPathOnly) {
    // A recovery needs no scan: the record, its directories and its content.
    auto counting = std::make_shared<testing_support::CountingDevice>(v.image);
    device = counting;
    TScanOutcome failure;
    ASSERT_EQ(LoadVolume(*device, "C:", volume, nullptr, failure), TScanEnd::Completed);
    counting->reads.clear();
    const TRecoveryPlan plan = PlanRecovery(*device, volume, 30);
    EXPECT_EQ(plan.End, TPlanEnd::Ready);
    EXPECT_EQ(plan.FilePath, "C:\\Docs\\");
    EXPECT_TRUE(plan.Content.Resident);
    // Record 30, directory 20, and the record of the cluster bitmap (none here).
    EXPECT_EQ(counting->reads.size(), 3u);
    EXPECT_EQ(PlanRecovery(*device, volume, 64).End, TPlanEnd::OutsideMft);
    EXPECT_EQ(PlanRecovery(*device, volume, -1).End, TPlanEnd::OutsideMft);
}

TEST_F(RecoverTest, EmptyContentAndNamelessRecords) {
    Open(v);
    host.answer = (dir / "e").string();
    EXPECT_TRUE(Recover(31));
    EXPECT_TRUE(fs::exists(dir / "e"));
    EXPECT_EQ(fs::file_size(dir / "e"), 0u);
    EXPECT_EQ(host.lines[4].first, "Recovered file written : e (0 Bytes)");

    // A record without $FILE_NAME isn't listed by the scan; recovery of its
    // number proposes "untitled.dat" and logs no name or path.
    host.answer = (dir / "n").string();
    EXPECT_TRUE(Recover(32));
    EXPECT_EQ(host.proposed, "untitled.dat");
    EXPECT_EQ(host.lines, (Lines{{"Preparing for recovery", clBlack},
                                 {"Data recovered", clGreen},
                                 {"Recovered file written : n (1 Bytes)", clBlue},
                                 {"File recovered", clGreen}}));
}

TEST_F(RecoverTest, NamesNeverSteerWhereAFileIsWritten) {
    Open(v);
    host.answer = std::nullopt;
    EXPECT_FALSE(Recover(33));
    EXPECT_EQ(host.proposed, ".._.._evil__name");
    EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{"Recovery cancelled by user", clRed}));
    EXPECT_EQ(SafeFileName(".."), "__");
    EXPECT_EQ(SafeFileName("a\\b"), "a_b");
}

TEST_F(RecoverTest, RefusalsLogTheirLineAndWriteNothing) {
    Open(v);
    host.answer = (dir / "x").string();
    // The record has since been reused by a live file.
    synth::Volume reused = v;
    reused.PutRecord(30, synth::Record(1, {synth::StandardInformation(0, 0), synth::FileName(5, u"new")}));
    device = std::shared_ptr<TDevice>(MemoryDevice(reused.image));
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines, (Lines{{"Preparing for recovery", clBlack},
                                 {"Error: The file seems no longer listed as deleted", clRed}}));
    // Reused by another file that was deleted too: the sequence number tells.
    synth::Bytes other = synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"other"),
                                           synth::Resident(0x80, {'o'})});
    synth::Put(other, 16, 7, 2);
    reused.PutRecord(30, other);
    device = std::shared_ptr<TDevice>(MemoryDevice(reused.image));
    EXPECT_FALSE(Recover(30, std::uint16_t{1}));
    EXPECT_EQ(host.lines.back().first, "Error: The file seems no longer listed as deleted");
    // A record that no longer passes its fixup.
    reused.PutRecord(30, synth::Bytes(1024, 0));
    device = std::shared_ptr<TDevice>(MemoryDevice(reused.image));
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{"Error during file recovery", clRed}));
    // The drive has gone.
    device.reset();
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{"Error: Invalid handle value", clRed}));
    EXPECT_FALSE(fs::exists(dir / "x"));
    EXPECT_EQ(host.asked, 0);
}

TEST_F(RecoverTest, AFailedWriteLeavesTheOldFileAndSaysSo) {
    Open(v);
    {
        std::ofstream(dir / "keep.txt") << "old content";
    }
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    host.answer = (dir / "keep.txt").string();
    Recover(30);
    fs::permissions(dir, fs::perms::owner_all);
    if (::geteuid() == 0) {
        // root writes anyway: the file is replaced whole.
        EXPECT_EQ(host.lines.back().first, "File recovered");
    } else {
        EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{"Error: Unable to write the recovered file", clRed}));
        EXPECT_EQ(ReadAll(dir / "keep.txt"), "old content");
    }
    // A target in a folder that doesn't exist.
    host.answer = (dir / "no" / "such" / "x").string();
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{"Error: Unable to write the recovered file", clRed}));
    // A target that is a folder.
    fs::create_directories(dir / "folder");
    host.answer = (dir / "folder").string();
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines.back().first, "Error: The recovered file can only replace a regular file");
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

}  // namespace
