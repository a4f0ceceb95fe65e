// The drive map on Linux: which block devices become drives, in what order,
// with what kind, size and file system.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "GuiFixture.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"

namespace fs = std::filesystem;
namespace platform = deruzera::platform;

namespace {

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A sysfs block tree: devices/<disk>[/<partition>] with class/block links.
class FakeSysfs {
public:
    explicit FakeSysfs(const std::string& name) : root_(gui_testing::WorkDirectory(name)) {
        fs::create_directories(root_ / "class/block");
    }
    void Disk(const std::string& name, long long sectors, bool removable, const std::string& dev) {
        const fs::path dir = root_ / "devices" / name;
        Write(dir / "size", std::to_string(sectors));
        Write(dir / "removable", removable ? "1" : "0");
        Write(dir / "dev", dev);
        fs::create_directory_symlink(dir, root_ / "class/block" / name);
    }
    void Partition(const std::string& disk, const std::string& name, long long sectors, const std::string& dev) {
        const fs::path dir = root_ / "devices" / disk / name;
        Write(dir / "size", std::to_string(sectors));
        Write(dir / "partition", "1");
        Write(dir / "dev", dev);
        fs::create_directory_symlink(dir, root_ / "class/block" / name);
    }
    void File(const std::string& relative, const std::string& text) { Write(root_ / "devices" / relative, text); }
    std::string ClassBlock() const { return (root_ / "class/block").string(); }
    fs::path Root() const { return root_; }

private:
    fs::path root_;
};

std::vector<std::string> Names(const std::vector<platform::TDriveInfo>& drives) {
    std::vector<std::string> names;
    for (const auto& d : drives) names.push_back(d.Name);
    return names;
}

bool Run(const QString& program, const QStringList& arguments) {
    const QString found = QStandardPaths::findExecutable(program, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    if (found.isEmpty()) return false;
    QProcess p;
    p.start(found, arguments);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// A formatted image of `megabytes` made by mkntfs or mkfs.vfat; "" when the
// tool is missing.
std::string FormattedImage(const std::string& dir, const std::string& kind, int megabytes) {
    const std::string image = dir + "/" + kind + ".img";
    {
        std::ofstream out(image, std::ios::binary);
        out.seekp(static_cast<std::streamoff>(megabytes) * 1024 * 1024 - 1);
        out.put('\0');
    }
    const QString path = QString::fromStdString(image);
    bool made = false;
    if (kind == "ntfs") made = Run("mkntfs", {"-q", "-F", "-Q", "-L", "DEMO", path});
    if (kind == "fat32") made = Run("mkfs.vfat", {"-F", "32", "-n", "CARD", path});
    if (kind == "fat16") made = Run("mkfs.vfat", {"-F", "16", path});
    return made ? image : std::string();
}

}  // namespace

TEST(DriveMap, NaturalOrderComparesDigitRunsByValue) {
    std::vector<std::string> names = {"sdb1", "sda10", "sda2", "loop10", "sda1", "nvme0n1p10", "loop2", "nvme0n1p2",
                                      "dm-0", "sda"};
    std::sort(names.begin(), names.end(), platform::NaturalLess);
    EXPECT_EQ(names, (std::vector<std::string>{"dm-0", "loop2", "loop10", "nvme0n1p2", "nvme0n1p10", "sda", "sda1",
                                               "sda2", "sda10", "sdb1"}));
    EXPECT_FALSE(platform::NaturalLess("sda2", "sda2"));
}

TEST(DriveMap, FileSystemNamesAsTheListKnowsThem) {
    EXPECT_EQ(platform::FileSystemNameOf("ntfs", ""), "NTFS");
    EXPECT_EQ(platform::FileSystemNameOf("vfat", "FAT32"), "FAT32");
    EXPECT_EQ(platform::FileSystemNameOf("vfat", "FAT16"), "FAT");
    EXPECT_EQ(platform::FileSystemNameOf("vfat", "FAT12"), "FAT");
    EXPECT_EQ(platform::FileSystemNameOf("exfat", "1.0"), "exfat");
    EXPECT_EQ(platform::FileSystemNameOf("", ""), "");
}

TEST(DriveMap, BlockDeviceCandidatesFromSysfs) {
    FakeSysfs sys("sysfs-candidates");
    sys.Disk("sda", 1000, false, "8:0");  // has partitions: not itself a drive
    sys.Partition("sda", "sda1", 100, "8:1");
    sys.Partition("sda", "sda10", 300, "8:10");
    sys.Partition("sda", "sda2", 200, "8:2");
    sys.Disk("sdb", 64, true, "8:16");  // a stick without partitions
    sys.Disk("sdc", 0, true, "8:32");   // a card reader without a card
    sys.Disk("mmcblk0", 2048, true, "179:0");
    sys.Partition("mmcblk0", "mmcblk0p1", 2000, "179:1");
    sys.Disk("loop0", 80, false, "7:0");
    sys.File("loop0/loop/backing_file", "/tmp/demo.img");
    sys.Disk("loop1", 0, false, "7:1");  // unused loop
    sys.Disk("loop2", 80, false, "7:2");  // size but no backing file
    sys.Disk("dm-0", 4096, false, "254:0");
    sys.File("dm-0/dm/name", "vg-home");
    sys.Disk("ram0", 8192, false, "1:0");
    sys.Disk("zram0", 8192, false, "252:0");
    sys.Disk("sr0", 8192, true, "11:0");

    const auto drives = platform::ListBlockDevices(sys.ClassBlock(), "/dev", "/run/udev/data");
    EXPECT_EQ(Names(drives), (std::vector<std::string>{"dm-0", "loop0", "mmcblk0p1", "sda1", "sda2", "sda10", "sdb"}));
    auto find = [&](const std::string& name) {
        return *std::find_if(drives.begin(), drives.end(), [&](const auto& d) { return d.Name == name; });
    };
    EXPECT_EQ(find("sda2").Size, 200 * 512);
    EXPECT_EQ(find("sda2").Path, "/dev/sda2");
    EXPECT_EQ(find("sda2").UdevEntry, "/run/udev/data/b8:2");
    EXPECT_FALSE(find("sda2").Removable);
    EXPECT_TRUE(find("sdb").Removable);
    EXPECT_TRUE(find("mmcblk0p1").Removable);  // the disk's flag counts for its partitions
    EXPECT_FALSE(find("loop0").Removable);
}

TEST(DriveMap, UdevDatabaseAnswersWhereTheDeviceCannotBeRead) {
    const std::string dir = gui_testing::WorkDirectory("udev");
    const std::string entry = dir + "/b8:17";
    std::ofstream(entry) << "S:disk/by-label/CARD\nE:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_LABEL=CARD\n";
    const auto probe = platform::ProbeFileSystem(dir + "/no-such-device", entry);
    EXPECT_TRUE(probe.Known);
    EXPECT_EQ(platform::FileSystemNameOf(probe.Type, probe.Version), "FAT32");
    EXPECT_EQ(probe.Label, "CARD");
    EXPECT_FALSE(platform::ProbeFileSystem(dir + "/no-such-device", dir + "/no-entry").Known);
}

TEST(DriveMap, LettersFromCOnAndSourcesAfterThem) {
    const std::string dir = gui_testing::WorkDirectory("letters");
    const std::string image = dir + "/plain.img";
    std::ofstream(image) << std::string(4096, 'x');
    platform::TDriveInfo a{"sda1", "/dev/sda1", false, 512, ""};
    platform::TDriveInfo b{"sdb", "/dev/sdb", true, 1024, ""};
    platform::MapDrives({a, b});
    EXPECT_EQ(platform::DrivePath("C:"), "/dev/sda1");
    EXPECT_EQ(platform::DrivePath("D:"), "/dev/sdb");
    EXPECT_EQ(platform::MapSourceDrive(image), "E:");
    EXPECT_EQ(platform::MapSourceDrive(dir + "/./plain.img"), "E:");  // already listed

    const platform::TDriveQueries q = platform::DriveMapQueries();
    EXPECT_EQ(q.LogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4));
    EXPECT_EQ(q.DriveType("C:\\"), platform::DriveFixed);
    EXPECT_EQ(q.DriveType("D:\\"), platform::DriveRemovable);
    EXPECT_EQ(q.DriveType("E:\\"), platform::DriveFixed);  // images are fixed
    EXPECT_EQ(q.DriveType("F:\\"), platform::DriveNoRootDir);
    EXPECT_EQ(q.TotalSize("D:\\"), 1024);
    EXPECT_EQ(q.TotalSize("E:\\"), 4096);
    EXPECT_EQ(q.TotalSize("F:\\"), -1);
    // An image without a file system is readable but names none.
    std::string name = "?";
    EXPECT_TRUE(q.VolumeFileSystem("E:\\", name));
    EXPECT_EQ(name, "");
    platform::ClearDriveMap();
}

TEST(DriveMap, FormattedImagesAreProbedByLibblkid) {
    const std::string dir = gui_testing::WorkDirectory("probe");
    const std::string ntfs = FormattedImage(dir, "ntfs", 8);
    if (ntfs.empty()) GTEST_SKIP() << "mkntfs is not installed";
    platform::MapDrives({});
    ASSERT_EQ(platform::MapSourceDrive(ntfs), "C:");
    const auto saved = platform::SetDriveQueries(platform::DriveMapQueries());
    EXPECT_EQ(platform::GetFileSystemName("C"), "NTFS");
    EXPECT_EQ(platform::DriveToolTip("C:"), ntfs + "\nLabel: DEMO");
    EXPECT_EQ(platform::GetFileSystemName("D"), "");

    const std::string fat32 = FormattedImage(dir, "fat32", 40);
    const std::string fat16 = FormattedImage(dir, "fat16", 16);
    if (!fat32.empty() && !fat16.empty()) {
        ASSERT_EQ(platform::MapSourceDrive(fat32), "D:");
        ASSERT_EQ(platform::MapSourceDrive(fat16), "E:");
        EXPECT_EQ(platform::GetFileSystemName("D"), "FAT32");
        EXPECT_EQ(platform::GetFileSystemName("E"), "FAT");
    }
    platform::SetDriveQueries(saved);
    platform::ClearDriveMap();
}

// A real loop device over an NTFS image shows up in the window's drive list
// with its file system and size. Needs root and loop devices.
class LoopDeviceTest : public gui_testing::WindowTest {};

TEST_F(LoopDeviceTest, NtfsLoopDeviceIsListedWithItsSize) {
    const std::string dir = gui_testing::WorkDirectory("loop");
    const std::string image = FormattedImage(dir, "ntfs", 8);
    if (image.empty()) GTEST_SKIP() << "mkntfs is not installed";
    QProcess attach;
    attach.start("losetup", {"--find", "--show", "--read-only", QString::fromStdString(image)});
    if (!attach.waitForFinished(20000) || attach.exitCode() != 0)
        GTEST_SKIP() << "no loop device here: " << attach.readAllStandardError().toStdString();
    const std::string device = attach.readAllStandardOutput().trimmed().toStdString();
    struct Detach {
        std::string device;
        ~Detach() { QProcess::execute("losetup", {"-d", QString::fromStdString(device)}); }
    } detach{device};

    const std::string name = fs::path(device).filename().string();
    const auto drives = platform::ListBlockDevices();
    const auto it = std::find_if(drives.begin(), drives.end(), [&](const auto& d) { return d.Name == name; });
    if (it == drives.end()) GTEST_SKIP() << device << " is not visible in /sys/class/block here";
    EXPECT_EQ(it->Size, 8 * 1024 * 1024);
    platform::MapDrives({*it});
    queries = std::make_unique<gui_testing::TQueriesScope>(platform::DriveMapQueries());
    TMainForm& f = MakeForm();
    ASSERT_EQ(f.DriveGridRowCount(), 2);
    EXPECT_EQ(f.DriveGridCell(0, 1), QString(" C:"));
    EXPECT_EQ(f.DriveGridCell(1, 1), QString(" NTFS"));
    EXPECT_EQ(f.DriveGridCell(2, 1), QString(" 8 Mb"));
}
