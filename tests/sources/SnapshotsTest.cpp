// Shadow copies of a volume made by Windows (vsstest.qcow2, two snapshots),
// read through libqcow and libvshadow, against vshadowmount and The Sleuth
// Kit.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "volume/Mft.h"
#include "volume/Fixup.h"
#include "volume/Layout.h"
#include "volume/Attributes.h"
#include "SourceSupport.h"
#include "platform/Sources.h"

using namespace deruzera;
using namespace deruzera::platform;
using namespace source_testing;

namespace {

// Names of the files and folders in use in the volume on `device`, their
// system files aside.
std::set<std::string> LiveNames(TDevice& device) {
    std::set<std::string> names;
    TVolume volume;
    TOpenFailure failure;
    if (LoadVolume(device, "C:", volume, nullptr, failure) != TScanEnd::Completed) return {"no volume"};
    TDynamicCharArray record;
    for (std::int64_t n = FirstUserRecord; n < volume.RecordCount; ++n) {
        if (ReadFileRecord(device, volume, n, record) != 0) continue;
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            continue;
        }
        if (!(ReadU16(record, RecordHeader::Flags) & RecordInUse) || ReadU64(record, RecordHeader::BaseRecord) != 0) continue;
        const TRecordView view = ViewRecord(record);
        if (view.Name().empty()) continue;
        const std::string name = FileNameOf(view.Name());
        if (!name.empty() && name[0] != '$') names.insert(name);
    }
    return names;
}

// The same from fls: the names of the entries it lists (allocated ones, or
// with `deleted` the deleted ones), system files aside.
std::set<std::string> FlsNames(const std::string& listing, bool deleted = false) {
    std::set<std::string> names;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.find(":\t");
        if (tab == std::string::npos || (line.find('*') < tab) != deleted) continue;
        std::string path = line.substr(tab + 2);
        const std::string name = path.substr(path.rfind('/') + 1);
        if (!name.empty() && name[0] != '$' && name != "." && name != "..") names.insert(name);
    }
    return names;
}

class Snapshots : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path fixtures = FixturesDir();
        if (fixtures.empty() || !fs::exists(fixtures / "vsstest.qcow2"))
            GTEST_SKIP() << "vsstest.qcow2 is not there: set DERUZERA_FIXTURES to the folder of fixtures";
        image = dir.Path / "vsstest.qcow2";
        fs::copy_file(fixtures / "vsstest.qcow2", image);
    }
    TempDir dir;
    fs::path image;
};

}  // namespace

TEST_F(Snapshots, EachSnapshotReadsAsVshadowmountShowsIt) {
    const TSource source = OpenSource(image.string());
    ASSERT_EQ(source.Failure.End, TSourceEnd::Opened);
    ASSERT_EQ(source.Volumes.size(), 1u);
    const TVolumeInfo& v = source.Volumes[0];
    EXPECT_EQ(v.FileSystem, TFileSystemKind::Ntfs);
    EXPECT_EQ(v.Label, "vsstest");
    ASSERT_EQ(v.Snapshots.size(), 2u);
    EXPECT_EQ(IsoUtc(v.Snapshots[0].Created), "2013-12-03T06:35:09Z");
    EXPECT_EQ(IsoUtc(v.Snapshots[1].Created), "2013-12-03T06:37:48Z");
    EXPECT_EQ(OpenVolume(source, {1, 3}, {}).Failure.End, TSourceEnd::NoSuchSnapshot);

    // vshadowmount over the raw volume (qemu-img gives it), fls and icat in it.
    const fs::path raw = dir.Path / "vsstest.raw", mount = dir.Path / "vss";
    ASSERT_TRUE(Execute("qemu-img convert -q -O raw " + Quote(image) + " " + Quote(raw)));
    fs::create_directories(mount);
    if (!Shell("vshadowmount " + Quote(raw) + " " + Quote(mount) + " >/dev/null 2>&1 && echo ok").size())
        GTEST_SKIP() << "vshadowmount can't mount here (FUSE)";
    struct Unmount {
        fs::path at;
        ~Unmount() { Shell("fusermount -u " + Quote(at) + " 2>/dev/null || umount " + Quote(at)); }
    } unmount{mount};

    for (const int k : {1, 2}) {
        const TOpenVolume snapshot = OpenVolume(source, {1, k}, {});
        ASSERT_TRUE(snapshot.Device) << k;
        EXPECT_EQ(snapshot.SnapshotCreated, v.Snapshots[static_cast<std::size_t>(k - 1)].Created);
        const std::string store = Quote((mount / ("vss" + std::to_string(k))).string());
        EXPECT_EQ(LiveNames(*snapshot.Device), FlsNames(Shell("fls -r -p " + store))) << k;
        // What was deleted in the snapshot: fls and the scan agree.
        const ScanResult scan = ScanDevice(*snapshot.Device);
        EXPECT_EQ(scan.Outcome.End, TScanEnd::Completed);
        std::set<std::string> ours;
        for (const auto& [record, f] : scan.Files) ours.insert(f.Name);
        EXPECT_EQ(ours, FlsNames(Shell("fls -r -d -p " + store), true)) << k;
    }
    // The live volume no longer holds syslog; the first snapshot does, byte
    // for byte as vshadowmount and icat give it.
    EXPECT_EQ(LiveNames(*OpenVolume(source, {1, std::nullopt}, {}).Device).count("syslog"), 0u);
    const TOpenVolume first = OpenVolume(source, {1, 1}, {});
    ASSERT_TRUE(first.Device);
    const std::string icat = Shell("icat " + Quote((mount / "vss1").string()) + " 35 | sha256sum | cut -c1-64");
    EXPECT_EQ(ContentSha(*first.Device, 35) + "\n", icat);
    EXPECT_EQ(Shell("fls " + Quote((mount / "vss1").string()) + " | grep -c 'syslog$'"), "1\n");
}
