#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Fixture.h"
#include "Synthetic.h"
#include "platform/Target.h"

using namespace deruzera;
using testing_support::Lines;
using testing_support::ReadAll;
using testing_support::RecordingRecovery;
namespace fs = std::filesystem;

namespace {

class RecoverTest : public testing_support::VolumeTest {
protected:
    fs::path dir;
    synth::Volume v{64};
    RecordingRecovery host;
    std::shared_ptr<TDevice> device;
    std::shared_ptr<TNtfsVolume> volume;

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
    void Open(const synth::Volume& image) { OpenOn(std::shared_ptr<TDevice>(MemoryDevice(image.image))); }
    // The same volume, read from another device (its bytes changed since).
    void Swap(std::shared_ptr<TDevice> on) {
        device = on;
        volume = std::make_shared<TNtfsVolume>(std::move(on), volume->Geometry());
    }
    void OpenOn(std::shared_ptr<TDevice> on) {
        device = std::move(on);
        TOpenFailure failure;
        volume = TNtfsVolume::Open(device, "C:", nullptr, failure);
        ASSERT_TRUE(volume);
    }
    bool Recover(std::int64_t record, std::optional<std::uint16_t> sequence = std::nullopt) {
        host.lines.clear();
        return RecoverFile(volume.get(), record, sequence, platform::LocalFileSystem(), host).End ==
               TRecoveryEnd::Recovered;
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
    OpenOn(counting);
    counting->reads.clear();
    const TRecoveryPlan plan = PlanRecovery(*volume, 30);
    EXPECT_EQ(plan.End, TPlanEnd::Ready);
    EXPECT_EQ(plan.FilePath, "C:\\Docs\\");
    EXPECT_TRUE(plan.Content.Resident);
    // Record 30 and directory 20: the cluster bitmap's record came with the
    // system records when the volume opened.
    EXPECT_EQ(counting->reads.size(), 2u);
    EXPECT_EQ(PlanRecovery(*volume, 64).End, TPlanEnd::OutsideMft);
    EXPECT_EQ(PlanRecovery(*volume, -1).End, TPlanEnd::OutsideMft);
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
    Swap(std::shared_ptr<TDevice>(MemoryDevice(reused.image)));
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines, (Lines{{"Preparing for recovery", clBlack},
                                 {"Error: The file seems no longer listed as deleted", clRed}}));
    // Reused by another file that was deleted too: the sequence number tells.
    synth::Bytes other = synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"other"),
                                           synth::Resident(0x80, {'o'})});
    synth::Put(other, 16, 7, 2);
    reused.PutRecord(30, other);
    Swap(std::shared_ptr<TDevice>(MemoryDevice(reused.image)));
    EXPECT_FALSE(Recover(30, std::uint16_t{1}));
    EXPECT_EQ(host.lines.back().first, "Error: The file seems no longer listed as deleted");
    // A record that no longer passes its fixup.
    reused.PutRecord(30, synth::Bytes(1024, 0));
    Swap(std::shared_ptr<TDevice>(MemoryDevice(reused.image)));
    EXPECT_FALSE(Recover(30));
    EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{"Error during file recovery", clRed}));
    // The drive has gone.
    Swap(nullptr);
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
#ifndef _WIN32
    // A folder that may not be written to (Windows has no such folders).
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
#endif
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

TEST_F(RecoverTest, AFileFromExtensionRecordsSaysWhatIsGone) {
    // Record 40's data lies in extension records 41 (VCNs 0-1) and 42 (VCNs
    // 2-3); 42 has since been taken by another file.
    v.Write(300 * 4096, synth::Bytes(2 * 4096, 'p'));
    const synth::Bytes list = [] {
        synth::Bytes l;
        for (const auto& e : {synth::ListEntry(0x30, 0, 40), synth::ListEntry(0x80, 0, 41), synth::ListEntry(0x80, 2, 42)})
            l.insert(l.end(), e.begin(), e.end());
        return l;
    }();
    v.PutRecord(40, synth::Record(0, {synth::StandardInformation(0, 0), synth::Resident(0x20, list), synth::FileName(20, u"big.iso")}));
    v.Extension(41, 40, {synth::NonResident(0x80, {0x21, 0x02, 0x2C, 0x01}, 4 * 4096, 0, 1)});
    v.Extension(42, 77, {synth::NonResident(0x80, {0x11, 0x02, 0x10}, 0, 2, 3)}, 1);
    Open(v);
    const TRecoveryPlan plan = PlanRecovery(*volume, 40);
    ASSERT_EQ(plan.End, TPlanEnd::Ready);
    EXPECT_EQ(plan.Content.Size, 4u * 4096);
    EXPECT_EQ(plan.Content.MissingBytes, 2u * 4096);
    host.answer = (dir / "big.iso").string();
    EXPECT_FALSE(Recover(40));
    EXPECT_EQ(ReadAll(dir / "big.iso"), std::string(2 * 4096, 'p') + std::string(2 * 4096, '\0'));
    EXPECT_EQ(host.lines.back(), (std::pair<std::string, std::uint32_t>{
                                     "8192 bytes of the file are no longer described on the volume and were written as zeros",
                                     clRed}));

    // The scan lists it once, by its base record, with the size its first
    // extent gives; the extension records are no files.
    drives["C:"] = v.image;
    testing_support::RecordingSink sink;
    Scan("C:", sink);
    std::vector<std::int64_t> records;
    for (const TFoundFiles& f : sink.files) records.push_back(f.Record);
    EXPECT_EQ(std::count(records.begin(), records.end(), 40), 1);
    EXPECT_EQ(std::count(records.begin(), records.end(), 41), 0);
    for (std::size_t i = 0; i < sink.files.size(); ++i)
        if (sink.files[i].Record == 40) {
            EXPECT_EQ(sink.Name(i), "big.iso");
            EXPECT_EQ(sink.Path(i), "C:\\Docs\\");
            EXPECT_EQ(sink.files[i].FileSize, 4 * 4096);
        }
}

TEST_F(RecoverTest, AFolderWhoseNameLivesInAnExtensionRecordStillResolves) {
    // Folder 45's name lies in its extension record 50, which the walk meets
    // after the files below it; folder 46's in record 44, met before.
    const auto listNaming = [](std::uint64_t at) {
        const synth::Bytes e = synth::ListEntry(0x30, 0, at);
        return synth::Resident(0x20, e);
    };
    v.PutRecord(45, synth::Record(3, {synth::StandardInformation(0, 0), listNaming(50)}));
    v.Extension(50, 45, {synth::FileName(20, u"Spilled")}, 1);
    v.PutRecord(46, synth::Record(2, {synth::StandardInformation(0, 0), listNaming(44)}));
    v.Extension(44, 46, {synth::FileName(5, u"Early")}, 0);
    v.DeletedFile(47, 45, u"in-spilled.txt", "s");
    v.DeletedFile(48, 46, u"in-early.txt", "e");
    drives["C:"] = v.image;
    testing_support::RecordingSink sink;
    Scan("C:", sink);
    EXPECT_EQ(sink.paths.at(47), "C:\\Docs\\Spilled\\");
    EXPECT_EQ(sink.paths.at(48), "C:\\Early\\");
    // A recovery, reading the chain from the volume, gets the same.
    Open(v);
    EXPECT_EQ(PlanRecovery(*volume, 47).FilePath, "C:\\Docs\\Spilled\\");
    EXPECT_EQ(PlanRecovery(*volume, 48).FilePath, "C:\\Early\\");
}

// A device on the same disk as the folder being written to.
class TSameDisk final : public TDevice {
public:
    explicit TSameDisk(std::string bytes) : inner_(MemoryDevice(std::move(bytes))) {}
    std::int64_t ReadAt(std::int64_t o, void* b, std::size_t n) override { return inner_->ReadAt(o, b, n); }
    std::int64_t Size() const override { return inner_->Size(); }
    bool HoldsPath(const std::string&) const override { return true; }

private:
    THandle inner_;
};

TEST_F(RecoverTest, WritingOntoTheDriveBeingReadIsAskedFirst) {
    struct Asking : testing_support::RecordingRecovery {
        bool allow = false;
        int asked = 0;
        bool ConfirmSameDevice(const std::string& question) override {
            ++asked;
            EXPECT_EQ(question, "The target lies on the drive being read: writing there can overwrite deleted files "
                                "still to be recovered. Write there all the same?");
            return allow;
        }
    } asking;
    OpenOn(std::make_shared<TSameDisk>(v.image));
    asking.answer = (dir / "a.txt").string();
    EXPECT_EQ(RecoverFile(volume.get(), 30, std::nullopt, platform::LocalFileSystem(), asking).End,
              TRecoveryEnd::Cancelled);
    EXPECT_EQ(asking.lines.back().first, "Recovery cancelled by user");
    EXPECT_FALSE(fs::exists(dir / "a.txt"));
    asking.allow = true;
    asking.lines.clear();
    EXPECT_EQ(RecoverFile(volume.get(), 30, std::nullopt, platform::LocalFileSystem(), asking).End,
              TRecoveryEnd::Recovered);
    EXPECT_EQ(asking.lines[asking.lines.size() - 3].first, "Writing to the drive being read all the same");
    EXPECT_EQ(asking.asked, 2);
}

}  // namespace
