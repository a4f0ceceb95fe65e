#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Fixture.h"
#include "Synthetic.h"

using namespace deruzera;
using testing_support::Lines;
using testing_support::LogSoFar;
namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Host : TRecoveryHost {
    TFoundFileList files;
    int row = 1;
    std::optional<std::string> answer;
    std::string proposed;
    int asked = 0;
    std::optional<std::string> cell;  // what row 1 shows, when not the first file's name
    int Row() override { return row; }
    std::string FirstResultCell() override {
        if (cell) return *cell;
        return files.empty() ? "" : " " + files.front().FileName;
    }
    const TFoundFileList& FoundFiles() override { return files; }
    std::optional<std::string> AskTargetPath(const std::string& name) override {
        ++asked;
        proposed = name;
        return answer;
    }
};

class RecoverTest : public testing_support::VolumeTest {
protected:
    fs::path dir;
    synth::Volume v{64};
    Host host;

    void SetUp() override {
        VolumeTest::SetUp();
        dir = fs::temp_directory_path() / ("deruzera-recover-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        v.Directory(20, 5, u"Docs");
        v.DeletedFile(30, 20, u"a.txt", std::string(512, 'r'));
        v.DeletedFile(31, 5, u"empty.txt", "");
        v.PutRecord(32, synth::Record(0, {synth::StandardInformation(0, 0), synth::Resident(0x80, {'n'})}));
        v.DeletedFile(33, 5, u"../../evil\x01/name", "e");
    }
    void TearDown() override {
        fs::remove_all(dir);
        VolumeTest::TearDown();
    }
    // Scans drive C: to put its volume in force, then picks record n's row.
    void ScanAndPick(std::int64_t n) {
        drives["C:"] = v.image;
        TScanHost scan;
        scan.SelectedDrive = "C:";
        ScanDrive(scan);
        host.files = scan.FoundFiles;
        host.row = 0;
        for (std::size_t i = 0; i < host.files.size(); ++i)
            if (host.files[i].RecordOffset == v.RecordOffset(n)) host.row = static_cast<int>(i) + 1;
        ASSERT_GT(host.row, 0);
        ClearLog();
    }
};

TEST_F(RecoverTest, WritesTheFileWithTheSixLines) {
    ScanAndPick(30);
    host.answer = (dir / "out.txt").string();
    RecoverFile(host);
    EXPECT_EQ(host.proposed, "a.txt");
    EXPECT_EQ(ReadAll(dir / "out.txt"), std::string(512, 'r'));
    EXPECT_EQ(LogSoFar(), (Lines{{"Preparing for recovery", clBlack},
                                 {"File: a.txt", clBlue},
                                 {"Path: C:\\Docs\\", clBlue},
                                 {"Data recovered", clGreen},
                                 {"Recovered file written : out.txt (512 Bytes)", clBlue},
                                 {"File recovered", clGreen}}));
    // Recovering again replaces the file without a question.
    ClearLog();
    RecoverFile(host);
    EXPECT_EQ(LogSoFar().size(), 6u);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(RecoverTest, EmptyContentAndNamelessRecords) {
    ScanAndPick(31);
    host.answer = (dir / "e").string();
    RecoverFile(host);
    EXPECT_TRUE(fs::exists(dir / "e"));
    EXPECT_EQ(fs::file_size(dir / "e"), 0u);
    EXPECT_EQ(LogSoFar()[4].first, "Recovered file written : e (0 Bytes)");

    // A record without $FILE_NAME isn't listed by the scan; recovery of its
    // offset proposes "untitled.dat" and logs no name or path.
    ClearLog();
    host.files.push_back(host.files.front());
    host.files.back().RecordOffset = v.RecordOffset(32);
    host.row = static_cast<int>(host.files.size());
    host.answer = (dir / "n").string();
    RecoverFile(host);
    EXPECT_EQ(host.proposed, "untitled.dat");
    EXPECT_EQ(LogSoFar(), (Lines{{"Preparing for recovery", clBlack},
                                 {"Data recovered", clGreen},
                                 {"Recovered file written : n (1 Bytes)", clBlue},
                                 {"File recovered", clGreen}}));
}

TEST_F(RecoverTest, NamesNeverSteerWhereAFileIsWritten) {
    ScanAndPick(33);
    host.answer = std::nullopt;
    RecoverFile(host);
    EXPECT_EQ(host.proposed, ".._.._evil__name");
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Recovery cancelled by user", clRed}));
    EXPECT_EQ(SafeFileName(".."), "__");
    EXPECT_EQ(SafeFileName("a\\b"), "a_b");
}

TEST_F(RecoverTest, AnUnnamedFileInRowOneDoesNotBlockTheOthers) {
    v.DeletedFile(17, 5, u"", "first");  // listed first, with an empty name
    ScanAndPick(30);
    ASSERT_EQ(host.FirstResultCell(), " ");
    host.answer = (dir / "a.txt").string();
    RecoverFile(host);
    EXPECT_EQ(LogSoFar().back().first, "File recovered");
    EXPECT_EQ(ReadAll(dir / "a.txt"), std::string(512, 'r'));
}

TEST_F(RecoverTest, RefusalsLogTheirLineAndWriteNothing) {
    // Nothing to recover: no line at all.
    host.row = 0;
    RecoverFile(host);
    host.row = 1;
    RecoverFile(host);  // empty grid
    host.cell = " ";
    RecoverFile(host);  // a grid of blank rows
    host.cell.reset();
    EXPECT_TRUE(LogSoFar().empty());
    EXPECT_EQ(opens, 0);

    ScanAndPick(30);
    host.answer = (dir / "x").string();
    // The record has since been reused by a live file.
    synth::Volume reused = v;
    reused.PutRecord(30, synth::Record(1, {synth::StandardInformation(0, 0), synth::FileName(5, u"new")}));
    drives["C:"] = reused.image;
    RecoverFile(host);
    EXPECT_EQ(LogSoFar(), (Lines{{"Preparing for recovery", clBlack},
                                 {"Error: The file seems no longer listed as deleted", clRed}}));
    // A record that no longer passes its fixup.
    ClearLog();
    reused.PutRecord(30, synth::Bytes(1024, 0));
    drives["C:"] = reused.image;
    RecoverFile(host);
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Error during file recovery", clRed}));
    // The drive has gone.
    ClearLog();
    drives.clear();
    RecoverFile(host);
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Error: Invalid handle value", clRed}));
    EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST_F(RecoverTest, AFailedWriteLeavesTheOldFileAndSaysSo) {
    ScanAndPick(30);
    {
        std::ofstream(dir / "keep.txt") << "old content";
    }
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    host.answer = (dir / "keep.txt").string();
    RecoverFile(host);
    fs::permissions(dir, fs::perms::owner_all);
    if (::geteuid() == 0) {
        // root writes anyway: the file is replaced whole.
        EXPECT_EQ(LogSoFar().back().first, "File recovered");
    } else {
        EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Error: Unable to write the recovered file", clRed}));
        EXPECT_EQ(ReadAll(dir / "keep.txt"), "old content");
    }
    // A target in a folder that doesn't exist.
    ClearLog();
    host.answer = (dir / "no" / "such" / "x").string();
    RecoverFile(host);
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Error: Unable to write the recovered file", clRed}));
    // A target that is a folder.
    ClearLog();
    fs::create_directories(dir / "folder");
    host.answer = (dir / "folder").string();
    RecoverFile(host);
    EXPECT_EQ(LogSoFar().back().first, "Error: Unable to write the recovered file");
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
}

}  // namespace
