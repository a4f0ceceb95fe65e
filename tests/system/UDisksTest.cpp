// The drive list made from udisks2's block objects, the refusal texts, and
// what the access functions say when the system bus has no udisks2 (a real
// dbus-daemon started here). The real udisks2 and polkit are exercised by
// udisks_access_test.sh.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "volume/Messages.h"
#include "platform/DeviceAccess.h"
#include "platform/Drives.h"
#include "platform/UDisks.h"

extern char** environ;

namespace fs = std::filesystem;
namespace platform = deruzera::platform;

namespace {

platform::TUDisksBlock Block(const std::string& device, const std::string& usage, const std::string& type,
                             std::uint64_t size = 1 << 20) {
    platform::TUDisksBlock b;
    b.ObjectPath = "/org/freedesktop/UDisks2/block_devices/" + fs::path(device).filename().string();
    b.Device = b.PreferredDevice = device;
    b.IdUsage = usage;
    b.IdType = type;
    b.Size = size;
    b.Drive = "/";
    return b;
}

std::vector<std::string> Paths(const std::vector<platform::TListedDrive>& drives) {
    std::vector<std::string> paths;
    for (const auto& d : drives) paths.push_back(d.Info.Path);
    return paths;
}

const platform::TListedDrive* Find(const std::vector<platform::TListedDrive>& drives, const std::string& name) {
    for (const auto& d : drives)
        if (d.Info.Name == name) return &d;
    return nullptr;
}

TEST(UDisksDriveList, KeepsFileSystemsInNaturalOrderUnderTheSysfsRules) {
    std::vector<platform::TUDisksBlock> blocks = {
        Block("/dev/sda10", "filesystem", "vfat"),
        Block("/dev/sda", "", ""),                            // the partitioned disk itself
        Block("/dev/sda2", "filesystem", "ext4"),
        Block("/dev/sda1", "filesystem", "ntfs"),
        Block("/dev/sdd1", "crypto", "crypto_LUKS"),          // a type, though no file system
        Block("/dev/sdc1", "filesystem", "ntfs", 0),          // size 0
        Block("/dev/sr0", "filesystem", "iso9660"),           // optical
        Block("/dev/zram0", "other", "swap"),
        Block("/dev/ram0", "filesystem", "ext2"),
        Block("/dev/loop1", "filesystem", "squashfs"),
        Block("/dev/sde1", "", ""),                           // unformatted partition
        Block("/dev/loop0", "filesystem", "ntfs"),
    };
    blocks[9].HintIgnore = true;
    const auto drives = platform::DrivesFromUDisks(blocks);
    EXPECT_EQ(Paths(drives),
              (std::vector<std::string>{"/dev/loop0", "/dev/sda1", "/dev/sda2", "/dev/sda10", "/dev/sdd1"}));
}

TEST(UDisksDriveList, CarriesPathSizeRemovableUdevEntryAndFileSystem) {
    auto usb = Block("/dev/sdb1", "filesystem", "vfat", 4ull << 30);
    usb.IdVersion = "FAT32";
    usb.IdLabel = "CARD";
    usb.Drive = "/org/freedesktop/UDisks2/drives/Stick";
    usb.Removable = true;
    usb.DeviceNumber = makedev(8, 17);
    auto mapper = Block("/dev/dm-0", "filesystem", "ntfs", 1ull << 40);
    mapper.PreferredDevice = "/dev/mapper/vg-data";
    mapper.DeviceNumber = makedev(253, 300);
    auto loop = Block("/dev/loop0", "filesystem", "ntfs");
    loop.IdLabel = "DEMO";

    const auto drives = platform::DrivesFromUDisks({usb, mapper, loop});
    ASSERT_EQ(drives.size(), 3u);

    const auto* stick = Find(drives, "sdb1");
    ASSERT_NE(stick, nullptr);
    EXPECT_EQ(stick->Info.Path, "/dev/sdb1");
    EXPECT_TRUE(stick->Info.Removable);
    EXPECT_EQ(stick->Info.Size, std::int64_t{4} << 30);
    EXPECT_EQ(stick->Info.UdevEntry, "/run/udev/data/b8:17");
    EXPECT_TRUE(stick->FileSystem.Known);
    EXPECT_EQ(platform::FileSystemNameOf(stick->FileSystem.Type, stick->FileSystem.Version), "FAT32");
    EXPECT_EQ(stick->FileSystem.Label, "CARD");

    // Named by the kernel's name for the order, shown by its preferred path.
    const auto* dm = Find(drives, "dm-0");
    ASSERT_NE(dm, nullptr);
    EXPECT_EQ(dm->Info.Path, "/dev/mapper/vg-data");
    EXPECT_EQ(dm->Info.UdevEntry, "/run/udev/data/b253:300");
    EXPECT_FALSE(dm->Info.Removable);

    const auto* l = Find(drives, "loop0");
    ASSERT_NE(l, nullptr);
    EXPECT_FALSE(l->Info.Removable);
    EXPECT_EQ(platform::FileSystemNameOf(l->FileSystem.Type, l->FileSystem.Version), "NTFS");
    EXPECT_EQ(l->FileSystem.Label, "DEMO");
}

TEST(UDisksErrors, TellMissingServiceFromRefusal) {
    platform::TUDisksStatus noBus;
    noBus.Errno = ENOENT;
    EXPECT_TRUE(platform::UDisksMissing(noBus));
    for (const char* name : {"org.freedesktop.DBus.Error.ServiceUnknown", "org.freedesktop.DBus.Error.NameHasNoOwner",
                             "org.freedesktop.DBus.Error.Spawn.ChildExited"}) {
        platform::TUDisksStatus s;
        s.Name = name;
        EXPECT_TRUE(platform::UDisksMissing(s)) << name;
        EXPECT_FALSE(platform::UDisksNotAuthorized(s)) << name;
    }
    for (const char* name : {"org.freedesktop.UDisks2.Error.NotAuthorized", "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain",
                             "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"}) {
        platform::TUDisksStatus s;
        s.Name = name;
        EXPECT_TRUE(platform::UDisksNotAuthorized(s)) << name;
        EXPECT_FALSE(platform::UDisksMissing(s)) << name;
    }
    platform::TUDisksStatus failed;
    failed.Name = "org.freedesktop.UDisks2.Error.Failed";
    EXPECT_FALSE(platform::UDisksMissing(failed));
    EXPECT_FALSE(platform::UDisksNotAuthorized(failed));
}

platform::TAccessResult Refused(platform::TAccessFailure failure, int error, const std::string& dbusError = {},
                                bool block = true) {
    platform::TAccessResult r;
    r.Path = "/dev/sdb1";
    r.Failure = failure;
    r.Errno = error;
    r.ServiceError = dbusError;
    r.BlockDevice = block;
    return r;
}

TEST(AccessTexts, OneLineEachNamingCauseAndRemedy) {
    using F = platform::TAccessFailure;
    EXPECT_EQ(deruzera::AccessFailureText(Refused(F::PermissionDenied, EACCES)),
              "Access to /dev/sdb1 was refused: permission denied, and the disk service udisks2 is not running to ask "
              "for it. Run as root or start udisks2.");
    EXPECT_EQ(deruzera::AccessFailureText(Refused(F::NotAuthorized, EACCES, "org.freedesktop.UDisks2.Error.NotAuthorized")),
              "Access to /dev/sdb1 was refused: not authorised by polkit. Ask an administrator for access to the disk, "
              "or run as root.");
    EXPECT_EQ(deruzera::AccessFailureText(Refused(F::NoSuchDevice, ENOENT)), "No such device: /dev/sdb1");
    EXPECT_EQ(deruzera::AccessFailureText(Refused(F::None, 0)), "");

    // Every other case: one line of its own, naming the path.
    std::vector<platform::TAccessResult> others;
    others.push_back(Refused(F::PermissionDenied, EACCES, {}, false));
    others.push_back(Refused(F::NotAuthorized, EACCES, "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed"));
    others.push_back(Refused(F::NotAuthorized, EACCES, "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"));
    others.push_back(Refused(F::NoSuchDevice, EACCES));
    others.push_back(Refused(F::Other, EIO));
    others.push_back(Refused(F::Other, EACCES, "org.freedesktop.UDisks2.Error.Failed"));
    std::set<std::string> seen;
    for (const auto& r : others) {
        const std::string text = deruzera::AccessFailureText(r);
        EXPECT_NE(text.find("/dev/sdb1"), std::string::npos) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        EXPECT_EQ(text.find('!'), std::string::npos) << text;
        EXPECT_TRUE(seen.insert(text).second) << text;
    }
    EXPECT_NE(deruzera::AccessFailureText(others[4]).find(std::strerror(EIO)), std::string::npos);
    EXPECT_NE(deruzera::AccessFailureText(others[5]).find("org.freedesktop.UDisks2.Error.Failed"), std::string::npos);
}

// A real message bus without udisks2, standing in for the system bus.
class BusWithoutUDisks : public ::testing::Test {
protected:
    void SetUp() override {
        const char* previous = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        if (previous) previous_ = previous;
        dir_ = fs::temp_directory_path() / ("deruzera-bus-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        socket_ = dir_ / "bus";
        const std::string address = "--address=unix:path=" + socket_.string();
        std::vector<std::string> args = {"dbus-daemon", "--session", "--nofork", "--nopidfile", address};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "dbus-daemon", nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
            return;
        }
        for (int i = 0; i < 100 && !fs::exists(socket_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (previous_.empty()) unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        else setenv("DBUS_SYSTEM_BUS_ADDRESS", previous_.c_str(), 1);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool Running() const { return pid_ > 0 && fs::exists(socket_); }
    void UseBus() { setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + socket_.string()).c_str(), 1); }
    void UseNoBus() { setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir_ / "none").string()).c_str(), 1); }

    fs::path dir_, socket_;
    pid_t pid_ = -1;
    std::string previous_;
};

TEST_F(BusWithoutUDisks, CountsAsNoUDisksAndTheListFallsBack) {
    if (!Running()) GTEST_SKIP() << "dbus-daemon not installed";
    UseBus();
    std::vector<platform::TUDisksBlock> blocks;
    const auto status = platform::UDisksBlocks(blocks);
    EXPECT_FALSE(status.Ok);
    EXPECT_EQ(status.Name, "org.freedesktop.DBus.Error.ServiceUnknown");
    EXPECT_TRUE(platform::UDisksMissing(status));
    std::string object;
    EXPECT_TRUE(platform::UDisksMissing(platform::UDisksResolveDevice("/dev/loop0", object)));
    std::vector<platform::TListedDrive> drives;
    EXPECT_FALSE(platform::ListUDisksDrives(drives));

    UseNoBus();
    const auto none = platform::UDisksBlocks(blocks);
    EXPECT_FALSE(none.Ok);
    EXPECT_TRUE(none.Name.empty());
    EXPECT_TRUE(platform::UDisksMissing(none)) << none.Errno << " " << none.Message;
}

TEST_F(BusWithoutUDisks, PlainOpenNeedsNoService) {
    UseNoBus();
    const fs::path file = dir_ / "image";
    std::ofstream(file) << "bytes";
    auto opened = platform::OpenForReading(file.string());
    ASSERT_TRUE(opened.Device);
    EXPECT_EQ(opened.Failure, platform::TAccessFailure::None);
    EXPECT_FALSE(opened.ThroughService);
    EXPECT_EQ(opened.Device->Size(), 5);

    auto missing = platform::OpenForReading((dir_ / "no-such").string());
    EXPECT_FALSE(missing.Device);
    EXPECT_EQ(missing.Failure, platform::TAccessFailure::NoSuchDevice);
    EXPECT_EQ(deruzera::AccessFailureText(missing), "No such device: " + (dir_ / "no-such").string());
}

}  // namespace
