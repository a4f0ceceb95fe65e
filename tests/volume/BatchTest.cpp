// Recovering many files into a folder: where each one goes, names that
// exist, failures, the lines, stopping, and the folder on the drive read.
#include <gtest/gtest.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Fixture.h"
#include "Synthetic.h"
#include "volume/Batch.h"
#include "volume/LocalPath.h"
#include "platform/Target.h"

using namespace deruzera;
using testing_support::Lines;
using testing_support::ReadAll;
namespace fs = std::filesystem;

namespace {

// Every regular file below `root`, by its path relative to it.
std::map<std::string, std::string> Tree(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), root).generic_string()] = ReadAll(entry.path());
    return files;
}

struct RecordingBatch : TBatchSink {
    Lines lines;
    std::vector<TBatchFileOutcome> files;
    std::vector<TBatchProgress> reports;
    std::function<void(const TBatchProgress&)> onProgress;
    void Line(const TLogLine& line) override { lines.emplace_back(line.Text, line.Colour); }
    void Progress(const TBatchProgress& p) override {
        reports.push_back(p);
        if (onProgress) onProgress(p);
    }
    void FileDone(const TBatchFileOutcome& f) override { files.push_back(f); }
};

// A device that says every path lies on it, as a mounted partition does.
class HoldingDevice final : public TDevice {
public:
    explicit HoldingDevice(std::string bytes) : inner_(MemoryDevice(std::move(bytes))) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }
    bool HoldsPath(const std::string&) const override { return true; }

private:
    THandle inner_;
};

// A device that sets `stop` once a read reaches `at`, as a user's click
// would while the file there is being written.
class StoppingDevice final : public TDevice {
public:
    StoppingDevice(std::string bytes, std::int64_t at, std::atomic<bool>& stop)
        : inner_(MemoryDevice(std::move(bytes))), at_(at), stop_(stop) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset >= at_) stop_ = true;
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    THandle inner_;
    std::int64_t at_;
    std::atomic<bool>& stop_;
};

constexpr std::uint64_t Modified = 132000000001234567ull;  // 2019, with 100 ns units
constexpr std::int64_t BigSize = 3 << 20;

class BatchTest : public ::testing::Test {
protected:
    fs::path dir;
    synth::Volume v{64, 16 << 20};
    std::shared_ptr<TDevice> device;
    std::shared_ptr<TNtfsVolume> volume;
    RecordingBatch sink;
    std::atomic<bool> stop{false};
    std::string big;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("deruzera-batch-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        v.Directory(20, 5, u"Users");
        v.Directory(21, 20, u"Docs");
        v.Directory(22, 5, u"..", 2);  // a deleted folder with a hostile name
        v.DeletedFile(30, 21, u"a.txt", "alpha", Modified);
        v.DeletedFile(31, 5, u"root.txt", "root");
        v.DeletedFile(32, 22, u"x/y", "slash");
        v.DeletedFile(33, 40, u"lost.txt", "orphan");  // record 40 is no directory
        v.PutRecord(34, synth::Record(1, {synth::StandardInformation(0, 0), synth::FileName(5, u"live.txt")}));
        // 3 MiB in the clusters from 1024 on: read and written in pieces.
        big.resize(BigSize);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
        v.Write(1024 * 4096, synth::Bytes(big.begin(), big.end()));
        v.PutRecord(35, synth::Record(0, {synth::StandardInformation(Modified, Modified), synth::FileName(21, u"big.bin"),
                                          synth::NonResident(0x80, {0x22, 0x00, 0x03, 0x00, 0x04}, BigSize, 0, 767)}));
        Open(std::shared_ptr<TDevice>(MemoryDevice(v.image)));
    }
    void TearDown() override {
        fs::permissions(dir, fs::perms::owner_all);
        fs::remove_all(dir);
    }
    void Open(std::shared_ptr<TDevice> d) {
        device = d;
        volume = testing_support::OpenVolume(std::move(d));
        ASSERT_TRUE(volume);
    }
    TBatchOutcome Run(const std::vector<std::int64_t>& records, const fs::path& folder, TBatchOptions options = {}) {
        std::vector<TBatchItem> items;
        for (std::int64_t r : records) items.push_back({r, std::nullopt, -1, TRecoverability::Unknown});
        return RecoverBatch(*volume, items, folder.string(), platform::LocalFileSystem(), sink, stop, options);
    }
};

}  // namespace

TEST(BatchNames, EachFileGoesToItsPathBelowTheDrive) {
    EXPECT_EQ(BatchTargetPath("C:", "C:\\Users\\Docs\\", "a.txt"), "Users/Docs/a.txt");
    EXPECT_EQ(BatchTargetPath("C:", "C:\\", "a.txt"), "a.txt");
    EXPECT_EQ(BatchTargetPath("E:", "E:\\x\\", "a"), "x/a");
    EXPECT_EQ(BatchTargetPath("C:", "*\\lost\\dir\\", "a.txt"), "Orphans/lost/dir/a.txt");
    EXPECT_EQ(BatchTargetPath("C:", "*\\", "a.txt"), "Orphans/a.txt");
    EXPECT_EQ(BatchTargetPath("C:", "", "untitled.dat"), "Orphans/untitled.dat");
    // Folder names are made safe as file names are: nothing climbs out.
    EXPECT_EQ(BatchTargetPath("C:", "C:\\..\\.\\a/b\\\x01\\", ".."), "__/_/a_b/_/__");
    EXPECT_EQ(BatchTargetPath("C:", "C:\\Docs\\", ""), "Docs/_");
}

TEST(BatchNames, NumberedNamesAndNamesTooLongForAFolderEntry) {
    EXPECT_EQ(NumberedName("a.txt", 1), "a (1).txt");
    EXPECT_EQ(NumberedName("archive.tar.gz", 2), "archive.tar (2).gz");
    EXPECT_EQ(NumberedName(".profile", 3), ".profile (3)");
    EXPECT_EQ(NumberedName("README", 12), "README (12)");
    // 200 two-byte characters: 400 bytes, cut to whole characters.
    std::string cyrillic;
    for (int i = 0; i < 200; ++i) cyrillic += "ж";
    const std::string fitted = FitName(cyrillic + ".txt");
    EXPECT_EQ(fitted, cyrillic.substr(0, 250) + ".txt");
    EXPECT_EQ(NumberedName(cyrillic + ".txt", 7), cyrillic.substr(0, 246) + " (7).txt");
    EXPECT_LE(NumberedName(std::string(300, 'x'), 99999).size(), 255u);
    EXPECT_EQ(FitName("short.txt"), "short.txt");
}

TEST(BatchNames, ControlsAndReorderingMarksAreMappedAndOtherCharactersKept) {
    // C1 controls and the marks that reorder text, each one character "_";
    // their neighbours in UTF-8 stay as they are.
    EXPECT_EQ(SafeFileName("evil\u202Etxt.exe"), "evil_txt.exe");
    EXPECT_EQ(SafeFileName("a\u0085b\u009B\u061C\u200E\u200F\u202A\u2066\u2069"), "a_b_______");
    EXPECT_EQ(SafeFileName("\u00A0\u00E9\u0436\u2010\u2065\u206A\u20AC\u0608"),
              "\u00A0\u00E9\u0436\u2010\u2065\u206A\u20AC\u0608");
    EXPECT_EQ(MapUnsafeCharacters("a\\b/c\x1B[2J\x7F"), "a\\b/c_[2J_");
    EXPECT_EQ(UnsafeCharacterLength("\u202E."), 3u);
    EXPECT_EQ(UnsafeCharacterLength("\xE2\x80"), 0u);  // cut short
}

TEST(BatchNames, PortableNamesAreTakenByEveryFileSystem) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"a:b*c?.txt", "a_b_c_.txt"}, {"<>|\"", "____"},       {"name. ", "name__"}, {"con", "con_"},
        {"CON.txt", "CON_.txt"},     {"com1.tar.gz", "com1_.tar.gz"}, {"Lpt9", "Lpt9_"},   {"nul .txt", "nul _.txt"},
        {"com10", "com10"},          {"console", "console"},   {"ok.txt", "ok.txt"},   {"...", "___"},
        {"COM0.log", "COM0_.log"},   {"lpt\u00B2", "lpt\u00B2_"},  {"conin$", "conin$_"}, {"CONOUT$.txt", "CONOUT$_.txt"},
        {"com\u2074", "com\u2074"},  {"con.", "con_"},         {"tab\tname", "tab_name"}};
    for (const auto& [name, portable] : names) {
        EXPECT_EQ(PortableName(name), portable) << name;
        EXPECT_TRUE(WindowsTakesName(portable)) << portable;
        EXPECT_EQ(WindowsTakesName(name), name == portable) << name;
    }
    // Cut to fit a folder entry where a blank falls at the cut: no name
    // ends in one.
    const std::string cut = PortableName(std::string(254, 'x') + " tail");
    EXPECT_EQ(cut, std::string(254, 'x') + "_");
    EXPECT_TRUE(WindowsTakesName(cut));
    EXPECT_TRUE(WindowsDeviceName("lpt1 .log"));
    EXPECT_FALSE(WindowsDeviceName("lpt1x.log"));
}

TEST_F(BatchTest, RecoversTheTreeWithTimesAndRefusesWhatCantComeBack) {
    const TBatchOutcome outcome = Run({30, 31, 32, 33, 34, 35, 63}, dir / "out");
    EXPECT_EQ(outcome.Files, 7u);
    EXPECT_EQ(outcome.Written, 5u);
    EXPECT_EQ(outcome.Failed, 2u);
    EXPECT_FALSE(outcome.Stopped);
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, std::string>{{"Users/Docs/a.txt", "alpha"},
                                                                       {"Users/Docs/big.bin", big},
                                                                       {"root.txt", "root"},
                                                                       {"__/x_y", "slash"},
                                                                       {"Orphans/lost.txt", "orphan"}}));
    // The modification time of the record, to the 100 ns.
    EXPECT_EQ(testing_support::ModifiedTicks(dir / "out/Users/Docs/a.txt"), static_cast<std::int64_t>(Modified));

    EXPECT_EQ(sink.files.size(), 7u);
    EXPECT_EQ(sink.files[0].Target, (dir / "out/Users/Docs/a.txt").make_preferred().string());
    EXPECT_EQ(sink.files[0].Source, "C:\\Users\\Docs\\a.txt");
    EXPECT_EQ(sink.files[5].Bytes, static_cast<std::uint64_t>(BigSize));
    const std::string folder = (dir / "out").string();
    EXPECT_EQ(sink.lines,
              (Lines{{"Error: Unable to recover record 34: the file seems no longer listed as deleted", clRed},
                     {"Error: Unable to recover record 63: its MFT record can't be read", clRed},
                     {"Recovered 5 of 7 files into " + folder + " (2 failed)", clRed}}));
    ASSERT_FALSE(sink.reports.empty());
    const TBatchProgress& last = sink.reports.back();
    EXPECT_EQ(last.Done, 7u);
    EXPECT_EQ(last.Failed, 2u);
    EXPECT_EQ(last.BytesDone, last.Bytes);
    EXPECT_EQ(last.Bytes, static_cast<std::uint64_t>(5 + 4 + 5 + 6 + BigSize));
}

TEST_F(BatchTest, ASecondRunReplacesNothing) {
    ASSERT_EQ(Run({30, 35}, dir / "out").Written, 2u);
    const auto first = Tree(dir / "out");
    {
        std::ofstream(dir / "out/Users/Docs/a (1).txt") << "mine";
    }
    sink = RecordingBatch{};
    const TBatchOutcome again = Run({30, 35}, dir / "out");
    EXPECT_EQ(again.Written, 2u);
    auto tree = Tree(dir / "out");
    EXPECT_EQ(tree["Users/Docs/a.txt"], "alpha");
    EXPECT_EQ(tree["Users/Docs/a (1).txt"], "mine");
    EXPECT_EQ(tree["Users/Docs/a (2).txt"], "alpha");
    EXPECT_EQ(tree["Users/Docs/big (1).bin"], big);
    EXPECT_EQ(tree.size(), first.size() + 3);
    // Each copy under a numbered name is named, with the name it got.
    const fs::path docs = dir / "out" / "Users" / "Docs";
    EXPECT_EQ(sink.lines, (Lines{{"C:\\Users\\Docs\\a.txt: its name was taken in the folder; written as " + (docs / "a (2).txt").string(), clBlue},
                                 {"C:\\Users\\Docs\\big.bin: its name was taken in the folder; written as " + (docs / "big (1).bin").string(), clBlue},
                                 {"Recovered 2 of 2 files into " + (dir / "out").string(), clGreen}}));
}

TEST_F(BatchTest, StoppingMidFileLeavesNoPartAndSaysHowFarItGot) {
    // Stop while the 3 MiB file is being written, after its first piece.
    Open(std::make_shared<StoppingDevice>(v.image, 1024 * 4096 + (1 << 20), stop));
    const TBatchOutcome outcome = Run({30, 35, 31}, dir / "out");
    EXPECT_TRUE(outcome.Stopped);
    EXPECT_EQ(outcome.Written, 1u);
    EXPECT_EQ(outcome.Failed, 0u);
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, std::string>{{"Users/Docs/a.txt", "alpha"}}));
    EXPECT_EQ(sink.lines.back(),
              (std::pair<std::string, std::uint32_t>{
                  "Recovered 1 of 3 files into " + (dir / "out").string() + " (cancelled by user)", clRed}));
}

TEST_F(BatchTest, FolderOnTheDriveBeingReadIsRefusedUnlessAllowed) {
    Open(std::make_shared<HoldingDevice>(v.image));
    TBatchOutcome outcome = Run({30}, dir / "out");
    EXPECT_EQ(outcome.Refused, TBatchOutcome::TRefusal::SameDevice);
    EXPECT_EQ(sink.lines, (Lines{{"Error: The folder " + (dir / "out").string() +
                                      " is on the drive being read; writing there could overwrite deleted files",
                                  clRed}}));
    EXPECT_TRUE(Tree(dir / "out").empty());
    TBatchOptions allow;
    allow.AllowSameDevice = true;
    outcome = Run({30}, dir / "out", allow);
    EXPECT_EQ(outcome.Written, 1u);
}

TEST_F(BatchTest, FoldersThatCantBeMadeAreSaid) {
    {
        std::ofstream(dir / "file") << "x";
    }
    TBatchOutcome outcome = Run({30}, dir / "file");
    EXPECT_EQ(outcome.Refused, TBatchOutcome::TRefusal::FolderUnusable);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0].first.rfind("Error: Unable to make the folder " + (dir / "file").string() + " (", 0), 0u);

#ifndef _WIN32
    if (::geteuid() != 0) {
        // A folder on the way that may not be written to: that file fails,
        // the rest goes on.
        fs::create_directories(dir / "out/Users");
        fs::permissions(dir / "out/Users", fs::perms::owner_read | fs::perms::owner_exec);
        sink = RecordingBatch{};
        outcome = Run({30, 31}, dir / "out");
        EXPECT_EQ(outcome.Written, 1u);
        ASSERT_EQ(sink.lines.size(), 2u);
        EXPECT_EQ(sink.lines[0].first, "Error: Unable to recover C:\\Users\\Docs\\a.txt: unable to make the folder " +
                                           (dir / "out/Users/Docs").string() + " (Permission denied)");
        fs::permissions(dir / "out/Users", fs::perms::owner_all);
        // A folder that may not be written to.
        fs::create_directories(dir / "locked");
        fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        sink = RecordingBatch{};
        outcome = Run({31}, dir / "locked");
        EXPECT_EQ(outcome.Failed, 1u);
        EXPECT_EQ(sink.lines[0].first, "Error: Unable to recover C:\\root.txt: unable to write the recovered file "
                                       "(Permission denied)");
        fs::permissions(dir / "locked", fs::perms::owner_all);
    }
#endif
}

#ifdef _WIN32
// `names` below `root` as a path Windows takes at any length (the C
// runtime's functions, and std::filesystem's through them, stop at MAX_PATH).
std::wstring Below(const fs::path& root, const std::vector<std::string>& names) {
    std::wstring path = L"\\\\?\\" + fs::absolute(root).make_preferred().wstring();
    for (const std::string& name : names) path += L"\\" + LocalPath(name).wstring();
    return path;
}

// The bytes of the file at `names` below `root`, through a path longer
// than MAX_PATH.
std::string ReadBelow(const fs::path& root, const std::vector<std::string>& names) {
    const HANDLE file = CreateFileW(Below(root, names).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "(missing)";
    std::string bytes(1 << 16, '\0');
    DWORD n = 0;
    if (!ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr)) n = 0;
    CloseHandle(file);
    bytes.resize(n);
    return bytes;
}

#else
// The bytes of the file at `names` below `root`, read one folder at a time
// as no path longer than the system takes can be.
std::string ReadBelow(const fs::path& root, const std::vector<std::string>& names) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (std::size_t i = 0; fd >= 0 && i < names.size(); ++i) {
        const int next = ::openat(fd, names[i].c_str(), i + 1 < names.size() ? O_RDONLY | O_DIRECTORY : O_RDONLY);
        ::close(fd);
        fd = next;
    }
    if (fd < 0) return "(missing)";
    std::string bytes(1 << 16, '\0');
    const ssize_t n = ::read(fd, bytes.data(), bytes.size());
    ::close(fd);
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    return bytes;
}
#endif

TEST_F(BatchTest, EveryFileLandsWhateverItsNameMeets) {
    // Names that meet on the disk: a file named like the folder of
    // unresolved files, a file where a folder goes, ".." and "__", two
    // names cut to the same 255 bytes, names alike once made safe.
    std::u16string longName(200, u'ж');  // 400 bytes of UTF-8
    v.DeletedFile(41, 5, u"Orphans", "named like the folder");
    v.DeletedFile(42, 5, u"__", "underscores");
    v.Directory(43, 5, longName, 2);
    v.DeletedFile(44, 43, u"in-long.txt", "below a long name");
    v.DeletedFile(45, 5, longName, "a long name");
    v.DeletedFile(46, 5, u"evil\u202Etxt.exe", "override");
    v.DeletedFile(47, 5, u"evil_txt.exe", "plain");
    v.DeletedFile(48, 5, u"bell\u0085.txt", "c1");
    Open(std::shared_ptr<TDevice>(MemoryDevice(v.image)));
    fs::create_directories(dir / "out");
    std::ofstream(dir / "out/Users") << "in the way";

    const TBatchOutcome outcome = Run({41, 33, 42, 32, 45, 44, 46, 47, 48, 30}, dir / "out");
    EXPECT_EQ(outcome.Written, 10u);
    std::string cut;
    for (int i = 0; i < 127; ++i) cut += "ж";
    EXPECT_EQ(Tree(dir / "out"), (std::map<std::string, std::string>{
                                     {"Users", "in the way"},
                                     {"Users (1)/Docs/a.txt", "alpha"},
                                     {"Orphans", "named like the folder"},
                                     {"Orphans (1)/lost.txt", "orphan"},
                                     {"__", "underscores"},
                                     {"__ (1)/x_y", "slash"},
                                     {cut, "a long name"},
                                     {cut.substr(0, 250) + " (1)/in-long.txt", "below a long name"},
                                     {"evil_txt.exe", "override"},
                                     {"evil_txt (1).exe", "plain"},
                                     {"bell_.txt", "c1"}}));
    EXPECT_EQ(sink.lines.back().second, clGreen);
}

TEST_F(BatchTest, PathsLongerThanTheSystemTakesAreWritten) {
    // Folders of 200-character names: below the folder a path of 6 KB, past
    // Linux's PATH_MAX; on Windows 3 KB, 11 times MAX_PATH (and short enough
    // for Wine to read back by its full path, which it hands to Linux).
#ifdef _WIN32
    constexpr int Depth = 15;
#else
    constexpr int Depth = 30;
#endif
    synth::Volume deep(128);
    std::vector<std::string> names;
    for (int i = 0; i < Depth; ++i) {
        std::u16string name(200, u'd');
        name[0] = static_cast<char16_t>(u'A' + i % 26);
        deep.Directory(40 + i, i == 0 ? 5 : 39 + i, name);
        names.emplace_back(1, static_cast<char>('A' + i % 26));
        names.back() += std::string(199, 'd');
    }
    deep.DeletedFile(100, 39 + Depth, u"bottom.txt", "deep down");
    names.emplace_back("bottom.txt");
    Open(std::shared_ptr<TDevice>(MemoryDevice(deep.image)));
    const TBatchOutcome outcome = Run({100, 100}, dir / "out");
    EXPECT_EQ(outcome.Written, 2u);
    ASSERT_EQ(sink.files.size(), 2u);
    EXPECT_GT(sink.files[0].Target.size(), Depth * 200u);
    EXPECT_EQ(ReadBelow(dir / "out", names), "deep down");
    names.back() = "bottom (1).txt";
    EXPECT_EQ(ReadBelow(dir / "out", names), "deep down");
    testing_support::RemoveTree(dir / "out");
}

TEST_F(BatchTest, FailureLinesOfOneKindAreCounted) {
    // 30 records outside the MFT and one live file: the first 20 of the
    // first kind get their lines, the other 10 one line.
    std::vector<std::int64_t> records(30);
    for (std::size_t i = 0; i < records.size(); ++i) records[i] = 100 + static_cast<std::int64_t>(i);
    records.push_back(34);
    const TBatchOutcome outcome = Run(records, dir / "out");
    EXPECT_EQ(outcome.Failed, 31u);
    EXPECT_EQ(sink.files.size(), 31u);
    ASSERT_EQ(sink.lines.size(), MaxBatchLinesOfAKind + 3);
    EXPECT_EQ(sink.lines[MaxBatchLinesOfAKind].first,
              "Error: Unable to recover record 34: the file seems no longer listed as deleted");
    EXPECT_EQ(sink.lines[MaxBatchLinesOfAKind + 1].first,
              "Error: Unable to recover 10 more files: there is no such record in the MFT");
}

TEST_F(BatchTest, EveryNtfsTimeIsSetOrLeftNeverWrong) {
    // Times from the 17th to the 600th century: each file gets its own time
    // where the disk holds it, its write time otherwise; one recovery and
    // a batch alike.
    const std::vector<std::uint64_t> times = {Modified, 150000000000000000ull /* 2076 */,
                                              280000000000000000ull /* 2488 */, 20000000000000000ull /* 1664 */,
                                              0x7FFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull};
    for (std::size_t i = 0; i < times.size(); ++i)
        v.DeletedFile(50 + static_cast<std::int64_t>(i), 5, u"t" + std::u16string(1, static_cast<char16_t>(u'0' + i)),
                      "t", times[i]);
    Open(std::shared_ptr<TDevice>(MemoryDevice(v.image)));
    const auto before = std::chrono::system_clock::now() - std::chrono::seconds(2);
    std::vector<std::int64_t> records;
    for (std::size_t i = 0; i < times.size(); ++i) records.push_back(50 + static_cast<std::int64_t>(i));
    EXPECT_EQ(Run(records, dir / "batch").Written, times.size());
    fs::create_directories(dir / "one");
    for (std::size_t i = 0; i < times.size(); ++i) {
        testing_support::RecordingRecovery host;
        host.answer = (dir / "one" / ("t" + std::to_string(i))).string();
        EXPECT_EQ(RecoverFile(volume.get(), records[i], std::nullopt, platform::LocalFileSystem(), host).End,
                  TRecoveryEnd::Recovered);
    }
    const auto after = std::chrono::system_clock::now() + std::chrono::seconds(2);
    const auto ticks = [](std::chrono::system_clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count() * 10000000 +
               116444736000000000;
    };
    for (const char* kind : {"batch", "one"}) {
        for (std::size_t i = 0; i < times.size(); ++i) {
            const std::int64_t kept = testing_support::ModifiedTicks(dir / kind / ("t" + std::to_string(i)));
            const bool written = kept >= ticks(before) && kept <= ticks(after);
            EXPECT_TRUE(kept == static_cast<std::int64_t>(times[i]) || written) << kind << " " << i << ": " << kept;
            if (i == 0) {
                EXPECT_EQ(kept, static_cast<std::int64_t>(times[i])) << kind;
            }
        }
    }
}

TEST(BatchTexts, ProgressCountsFilesAndBytes) {
    TBatchProgress p;
    p.Files = 123;
    p.Done = 40;
    p.Bytes = 300 << 20;
    p.BytesDone = 12800 << 10;
    EXPECT_EQ(BatchProgressText(p), "Recovering file 41 of 123 (12.5 Mb of 300 Mb)");
    p.Failed = 2;
    p.Done = 123;
    EXPECT_EQ(BatchProgressText(p, ","), "Recovering file 123 of 123 (12,5 Mb of 300 Mb), 2 failed");
}
