// The window's drive list over sources that hold volumes: a disk image with
// a partition table, a container, a whole disk of this machine (a loop
// device the kernel did not split) each give one drive per NTFS volume,
// named apart and opened through the source layer; a bare volume stays the
// one drive it always was.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "SourceSupport.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Sources.h"

using namespace deruzera;
using namespace deruzera::platform;
using namespace source_testing;

namespace {

// The names of the deleted files a scan of drive `drive` finds, opened as
// the window opens it.
std::set<std::string> DriveFiles(const std::string& drive) {
    TDeviceAccess access = OpenMappedDrive(drive);
    if (!access.Device) return {"cannot open " + drive};
    std::set<std::string> names;
    for (const auto& [record, f] : ScanDevice(*access.Device).Files) names.insert(f.Path + f.Name);
    return names;
}

std::set<std::string> BareFiles(const fs::path& image) {
    std::set<std::string> names;
    for (const auto& [record, f] : ScanDevice(*OpenFile(image)).Files) names.insert(f.Path + f.Name);
    return names;
}

// The drive map as a test leaves it: empty.
struct MapScope {
    MapScope() { MapDrives({}); }
    ~MapScope() { MapDrives({}); }
};

}  // namespace

TEST(VolumeDrives, ADiskImageGivesOneDrivePerNtfsVolumeNamedApart) {
    const Disks& d = TestDisks();
    MapScope scope;
    const TDriveQueries queries = DriveMapQueries();
    // Alpha (primary 1) and Beta (logical 5); the empty Linux partition gives none.
    ASSERT_EQ(MapSourceDrives(d.Mbr.string()), (std::vector<std::string>{"C:", "D:"}));
    EXPECT_EQ(MapSourceDrives(d.Mbr.string()), (std::vector<std::string>{"C:", "D:"}));  // mapped already
    std::string name;
    for (const char* root : {"C:\\", "D:\\"}) {
        ASSERT_TRUE(queries.VolumeFileSystem(root, name)) << root;
        EXPECT_EQ(name, "NTFS") << root;
        EXPECT_EQ(queries.DriveType(root), DriveFixed) << root;
    }
    EXPECT_EQ(queries.TotalSize("C:\\"), d.MbrParts[0].Size);
    EXPECT_EQ(queries.TotalSize("D:\\"), d.MbrParts[2].Size);
    const std::string alpha = DriveTitle("C:"), beta = DriveTitle("D:");
    EXPECT_NE(alpha.find("partition 1"), std::string::npos) << alpha;
    EXPECT_NE(alpha.find("\"Alpha\""), std::string::npos) << alpha;
    EXPECT_NE(beta.find("partition 5"), std::string::npos) << beta;
    EXPECT_NE(beta.find("\"Beta\""), std::string::npos) << beta;
    EXPECT_EQ(DriveToolTip("D:"), d.Mbr.string() + "\n" + beta);
    EXPECT_EQ(DriveFiles("C:"), BareFiles(d.Alpha.file));
    EXPECT_EQ(DriveFiles("D:"), BareFiles(d.Beta.file));

    // A container of a bare volume is a volume drive too; the bare volume
    // itself, and bytes that hold none, stay drives read as they are.
    const fs::path qcow = Derived(d.Dir, "alpha-qcow2", [&](const fs::path& w) {
        Execute("qemu-img convert -q -f raw -O qcow2 " + Quote(d.Alpha.file) + " " + Quote(w / "alpha.qcow2"));
    }) / "alpha.qcow2";
    ASSERT_EQ(MapSourceDrives(qcow.string()), (std::vector<std::string>{"E:"}));
    EXPECT_FALSE(DriveTitle("E:").empty());
    EXPECT_EQ(DriveFiles("E:"), BareFiles(d.Alpha.file));
    ASSERT_EQ(MapSourceDrives(d.Alpha.file.string()), (std::vector<std::string>{"F:"}));
    EXPECT_EQ(DriveTitle("F:"), "");
    EXPECT_EQ(DriveToolTip("F:"), d.Alpha.file.string() + "\nLabel: Alpha");
    TempDir dir;
    const fs::path noise = dir.Path / "noise.img";
    ASSERT_TRUE(Execute("head -c 4M /dev/urandom > " + Quote(noise)));
    ASSERT_EQ(MapSourceDrives(noise.string()), (std::vector<std::string>{"G:"}));
    EXPECT_EQ(OpenMappedDrive("G:").Device->Size(), 4 << 20);

    // A volume drive whose source went away says why, as a drive does.
    const fs::path gone = dir.Path / "gone.img";
    fs::copy_file(d.Mbr, gone);
    ASSERT_EQ(MapSourceDrives(gone.string()), (std::vector<std::string>{"H:", "I:"}));
    fs::remove(gone);
    const TDeviceAccess missing = OpenMappedDrive("I:");
    EXPECT_FALSE(missing.Device);
    EXPECT_EQ(missing.Failure, TAccessFailure::NoSuchDevice);
}

// A whole disk of this machine that the kernel did not split (a loop device
// without partition scanning) gives its volumes as drives of their own, in
// the place of the disk and on consecutive letters. Needs root.
TEST(VolumeDrives, AWholeDiskOfTheMachineGivesItsVolumes) {
    const Disks& d = TestDisks();
    const std::string device = Shell("losetup --find --show --read-only " + Quote(d.Gpt) + " 2>/dev/null");
    if (device.empty()) GTEST_SKIP() << "no loop device here (needs root)";
    struct Detach {
        std::string device;
        ~Detach() { Shell("losetup -d " + device); }
    } detach{device.substr(0, device.size() - 1)};
    MapScope scope;
    MapSystemDrives();
    std::vector<std::string> ours;
    for (const TMappedDrive& m : MappedDrives())
        if (m.Path == detach.device) ours.push_back(m.Drive);
    ASSERT_EQ(ours.size(), 2u) << detach.device;
    EXPECT_EQ(ours[1][0], ours[0][0] + 1);
    EXPECT_NE(DriveTitle(ours[0]).find("\"Alpha\""), std::string::npos);
    EXPECT_NE(DriveTitle(ours[1]).find("\"Beta\""), std::string::npos);
    EXPECT_EQ(DriveFiles(ours[1]), BareFiles(d.Beta.file));
}
