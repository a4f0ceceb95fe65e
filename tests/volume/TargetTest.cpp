// Writing recovered files through the local target: what a save replaces,
// and the drive being read when it is an image that a loop device holds.
// (target_test.sh tries links and another user's swaps through the companion.)
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "volume/Messages.h"
#include "Fixture.h"
#include "platform/RawDevice.h"
#include "platform/Target.h"

using namespace deruzera;
using testing_support::ReadAll;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t Modified = 132000000001234567ull;  // 2019, with 100 ns units

class TargetTest : public ::testing::Test {
protected:
    fs::path dir;
    THandle device = MemoryDevice(std::string(4096, 'v'));
    TFileContent content;

    void SetUp() override {
        dir = fs::temp_directory_path() / ("deruzera-target-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        content.Resident = true;
        content.ResidentBytes = {'n', 'e', 'w'};
        content.Size = 3;
    }
    void TearDown() override { fs::remove_all(dir); }
    TWriteOutcome Save(const fs::path& target, TWriteOptions options = {}) {
        return WriteRecoveredFile(*device, content, platform::LocalFileSystem(), target.string(), options);
    }
    // The entries of `dir`, to see that nothing was left beside a target.
    std::size_t Entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), {})); }
};

TEST_F(TargetTest, ASaveReplacesOnlyAFileTheUserMayReplace) {
#ifndef _WIN32
    // (Wine makes no symbolic links for Windows programs.)
    std::ofstream(dir / "victim") << "precious";
    fs::create_symlink(dir / "victim", dir / "link");
    EXPECT_EQ(Save(dir / "link").End, TWriteEnd::IsLink);
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(ReadAll(dir / "victim"), "precious");
#endif

    // Read-only: on Windows the file's attribute.
    std::ofstream(dir / "readonly") << "kept";
    fs::permissions(dir / "readonly", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(Save(dir / "readonly").End, TWriteEnd::NotReplaceable);
    EXPECT_EQ(ReadAll(dir / "readonly"), "kept");
#ifndef _WIN32
    if (::geteuid() == 0) {
        // Another user's file, writable by all: the administrator leaves it.
        constexpr uid_t Nobody = 65534;
        std::ofstream(dir / "theirs") << "theirs";
        fs::permissions(dir / "theirs", fs::perms::all);
        ASSERT_EQ(::chown((dir / "theirs").c_str(), Nobody, Nobody), 0);
        EXPECT_EQ(Save(dir / "theirs").End, TWriteEnd::NotReplaceable);
        EXPECT_EQ(ReadAll(dir / "theirs"), "theirs");
    }
#endif

    // One's own file is replaced whole, with the record's time; a write
    // stopped half-way leaves it as it was. No temporary file stays, even
    // beside a name as long as a folder entry takes.
    const fs::path own = dir / (std::string(250, 'o') + ".txt");
    std::ofstream(own) << "old";
    const std::size_t entries = Entries();
    TWriteOptions stopped;
    stopped.Progress = [](std::uint64_t) { return false; };
    EXPECT_EQ(Save(own, stopped).End, TWriteEnd::Stopped);
    EXPECT_EQ(ReadAll(own), "old");
    TWriteOptions timed;
    timed.Modified = Modified;
    const TWriteOutcome written = Save(own, timed);
    EXPECT_EQ(written.End, TWriteEnd::Written);
    EXPECT_TRUE(written.TimeSet);
    EXPECT_EQ(ReadAll(own), "new");
    EXPECT_EQ(testing_support::ModifiedTicks(own), static_cast<std::int64_t>(Modified));
    EXPECT_EQ(Entries(), entries);

    // The lines of the refusals.
#ifndef _WIN32
    EXPECT_EQ(WriteLines(Save(dir / "link"), "link", {}),
              (std::vector<TLogLine>{{"Error: The recovered file can't replace a symbolic link", clRed}}));
#endif
    EXPECT_EQ(WriteLines(Save(dir / "readonly"), "readonly", {}).size(), 1u);
    fs::permissions(dir / "readonly", fs::perms::owner_all);
}

#ifndef _WIN32

// Runs a shell command; its standard output, without the last newline.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST_F(TargetTest, AFileSystemOnAPartitionOfALoopDeviceOverTheImageIsTheDriveBeingRead) {
    if (::geteuid() != 0 || ::access("/dev/loop-control", F_OK) != 0 || ::access("/dev/fuse", F_OK) != 0)
        GTEST_SKIP() << "needs root, loop devices and FUSE";
    // A disk image with one partition, through a loop device with its
    // partitions, the partition's NTFS mounted by ntfs-3g.
    const fs::path disk = dir / "disk.img";
    const fs::path mount = dir / "mnt";
    fs::create_directories(mount);
    const std::string setup = "export PATH=$PATH:/usr/sbin:/sbin; truncate -s 24M '" + disk.string() +
                              "' && echo 'start=2048, type=7' | sfdisk -q '" + disk.string() + "' >/dev/null";
    ASSERT_EQ(std::system(setup.c_str()), 0);
    const std::string loop = Shell("/usr/sbin/losetup -f --show '" + disk.string() + "'");
    if (loop.empty()) GTEST_SKIP() << "no loop device could be set up";
    // The partition's device, where no udev makes its node.
    const std::string partition = loop + "p1";
    const std::string made = Shell("partx -a " + loop + " 2>/dev/null; d=/sys/class/block/" + loop.substr(5) +
                                   "p1/dev; [ -e " + partition + " ] || { [ -r $d ] && mknod " + partition +
                                   " b $(tr : ' ' < $d) && echo made; }");
    const bool mounted = std::system(("/usr/sbin/mkntfs -q -Q -F " + partition + " >/dev/null 2>&1 && ntfs-3g " +
                                      partition + " '" + mount.string() + "'")
                                         .c_str()) == 0;
    if (mounted) {
        THandle image = platform::OpenDeviceFile(disk.string());
        THandle loopDevice = platform::OpenDeviceFile(loop);
        std::ofstream(dir / "other.img") << "x";
        THandle other = platform::OpenDeviceFile((dir / "other.img").string());
        ASSERT_TRUE(image && loopDevice && other);
        EXPECT_TRUE(OnDriveBeingRead(*image, mount.string()));
        EXPECT_TRUE(OnDriveBeingRead(*image, (mount / "new.bin").string()));
        EXPECT_TRUE(OnDriveBeingRead(*loopDevice, mount.string()));
        EXPECT_FALSE(OnDriveBeingRead(*other, mount.string()));
        EXPECT_FALSE(OnDriveBeingRead(*image, dir.string()));
        EXPECT_EQ(std::system(("umount '" + mount.string() + "'").c_str()), 0);
    }
    if (made == "made") fs::remove(partition);
    EXPECT_EQ(std::system(("partx -d " + loop + " 2>/dev/null; /usr/sbin/losetup -d " + loop).c_str()), 0);
    EXPECT_TRUE(mounted);
}
#endif

}  // namespace
