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
#include "volume/Batch.h"
#include "volume/Volume.h"
#include "SourceSupport.h"
#include "platform/Sources.h"
#include "platform/Target.h"
#include "tools/Sha256.h"

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

// A scan's side that keeps every file with the volume it lies on.
struct Kept : TScanSink {
    struct File {
        TFoundFiles Found;
        std::string Path, Name;
        std::uint64_t SnapshotCreated = 0;
    };
    std::vector<File> files;
    std::vector<std::string> lines;
    std::vector<int> snapshotsWalked;
    void Line(const TLogLine& line) override { lines.push_back(line.Text); }
    void WalkingSnapshot(int number, std::int64_t) override { snapshotsWalked.push_back(number); }
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files)
            files.push_back({f, batch.FilePath(f), batch.Files.NameText(f), batch.Volume.Snapshot().Created});
    }
    const File* Named(const std::string& name, int snapshot) const {
        for (const File& f : files)
            if (f.Name == name && f.Found.Snapshot == snapshot) return &f;
        return nullptr;
    }
};

// The batch's side: the files written, by the name they were written as.
struct Written : TBatchSink {
    std::map<std::string, std::string> targets;  // target path to source
    std::vector<std::string> lines;
    void Line(const TLogLine& line) override { lines.push_back(line.Text); }
    void FileDone(const TBatchFileOutcome& file) override {
        if (file.Written) targets[file.Target] = file.Source;
    }
};

std::string FileHash(const fs::path& path) {
    TSha256 sha;
    const std::string bytes = ReadText(path);
    sha.Update(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return sha.FinalHex();
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

// The scan of the live volume with its snapshots, as the companion and the
// window run it: syslog, gone from the live volume, comes from the first
// snapshot (the second holds nothing the live volume lacks) and is
// recovered byte for byte as icat reads it from vshadowmount's store.
TEST_F(Snapshots, TheLiveScanWithSnapshotsListsSyslogFromTheFirstAndRecoversIt) {
    const TDeviceOpener open = [&](const std::string&) {
        TDeviceAccess access;
        access.Device = OpenVolume(image.string(), {}).Device;
        return access;
    };
    Kept sink;
    const std::atomic<bool> never{false};
    const TSnapshotsScanOutcome outcome = ScanDriveWithSnapshots("C:", open, sink, never);
    ASSERT_TRUE(outcome.Completed()) << ::testing::PrintToString(sink.lines);
    EXPECT_EQ(outcome.Live.FoundCount, 0);
    ASSERT_EQ(outcome.Scans.size(), 2u);
    EXPECT_EQ(outcome.Scans[0].Number, 2);  // newest first
    EXPECT_EQ(outcome.Scans[0].Outcome.FoundCount, 0);
    EXPECT_EQ(outcome.Scans[1].Outcome.FoundCount, 1);
    EXPECT_EQ(sink.snapshotsWalked, (std::vector<int>{2, 1}));
    ASSERT_EQ(sink.files.size(), 1u);
    const Kept::File& syslog = sink.files[0];
    EXPECT_EQ(syslog.Name, "syslog");
    EXPECT_EQ(syslog.Path, "C:\\");
    EXPECT_EQ(syslog.Found.Record, 35);
    EXPECT_EQ(syslog.Found.Snapshot, 1);
    EXPECT_EQ(syslog.Found.FileSize, 1247);
    EXPECT_NE(syslog.Found.Flags & FoundInUse, 0);
    EXPECT_EQ(syslog.Found.State, TRecoverability::Intact);
    EXPECT_EQ(IsoUtc(syslog.SnapshotCreated), "2013-12-03T06:35:09Z");

    // Recovered from the snapshot through the batch, as the window does it.
    TScanResults results;
    results.Volume = outcome.Live.Volume;
    KeepSnapshotVolumes(results, outcome.Scans);
    ASSERT_EQ(results.VolumeOf(syslog.Found), outcome.Scans[1].Outcome.Volume.get());
    TFoundFileList list;
    list.Add(syslog.Found, syslog.Name);
    EXPECT_EQ(results.FilePath(list[0]), "C:\\");
    Written written;
    const fs::path out = dir.Path / "out";
    const TBatchOutcome batch = RecoverBatch(*results.Volume, {BatchItemOf(results, list[0])}, out.string(),
                                             platform::LocalFileSystem(), written, never);
    EXPECT_EQ(batch.Written, 1u) << ::testing::PrintToString(written.lines);
    ASSERT_TRUE(fs::exists(out / "syslog"));

    // The companion: the JSON row marked with the snapshot, and the same bytes.
    const std::string cli = DERUZERA_CLI;
    const std::string json = Shell(cli + " scan --json --with-snapshots " + Quote(image) + " 2>/dev/null");
    EXPECT_EQ(json.find("{\"record\":35,"), 0u) << json;
    EXPECT_NE(json.find(",\"snapshot\":1,\"snapshot_created\":\"2013-12-03T06:35:09Z\"}\n"), std::string::npos) << json;
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1) << json;
    // CSV carries the same two fields, as its last columns.
    const std::string csv = Shell(cli + " scan --format csv --with-snapshots " + Quote(image) + " 2>/dev/null");
    EXPECT_NE(csv.find(",snapshot,snapshot_created\r\n35,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",1,2013-12-03T06:35:09Z\r\n"), std::string::npos) << csv;
    const fs::path byCli = dir.Path / "cli";
    EXPECT_EQ(Shell(cli + " recover " + Quote(image) + " --to " + Quote(byCli) +
                    " --match 'C:\\syslog' --with-snapshots >/dev/null 2>&1; echo $?"),
              "0\n");
    EXPECT_EQ(FileHash(byCli / "syslog"), FileHash(out / "syslog"));
    // Without --with-snapshots, nothing: the live volume holds no deleted file.
    EXPECT_EQ(Shell(cli + " scan --json " + Quote(image) + " 2>/dev/null"), "");

    // icat through vshadowmount's first store gives the same bytes.
    const fs::path raw = dir.Path / "vsstest.raw", mount = dir.Path / "vss";
    ASSERT_TRUE(Execute("qemu-img convert -q -O raw " + Quote(image) + " " + Quote(raw)));
    fs::create_directories(mount);
    if (!Shell("vshadowmount " + Quote(raw) + " " + Quote(mount) + " >/dev/null 2>&1 && echo ok").size())
        GTEST_SKIP() << "vshadowmount can't mount here (FUSE)";
    struct Unmount {
        fs::path at;
        ~Unmount() { Shell("fusermount -u " + Quote(at) + " 2>/dev/null || umount " + Quote(at)); }
    } unmount{mount};
    EXPECT_EQ(Shell("icat " + Quote((mount / "vss1").string()) + " 35 | sha256sum | cut -c1-64"),
              FileHash(out / "syslog") + "\n");
}

namespace {

// A volume as a snapshot held it, and the same volume later: built by the
// same steps, so that their records match, the later one going on from
// there. gone.bin and small.txt were in use then and are deleted now, and
// gone.bin's record holds new.bin now; early.bin was deleted before the
// snapshot; kept.bin is in use in both.
const char* const ThenPlan =
    "format 16M label=Shadow\n"
    "mkdir /Docs\n"
    "file /Docs/gone.bin 30K seed=1\n"
    "file /Docs/kept.bin 10K seed=2\n"
    "file /Docs/early.bin 12K seed=3\n"
    "delete /Docs/early.bin\n"
    "text /Docs/small.txt a resident file of a few bytes\n";
const std::string NowPlan = std::string(ThenPlan) +
                            "delete /Docs/gone.bin\n"
                            "delete /Docs/small.txt\n"
                            "file /Docs/new.bin 5K seed=4\n";

const Entry& Row(const Image& image, const std::string& path) {
    const Entry* row = image_testing::Find(image.manifest, path);
    if (row == nullptr) throw std::runtime_error("no " + path + " in the manifest");
    return *row;
}

}  // namespace

// Two snapshots hold the earlier volume: what the live volume no longer has
// (files in use then, deleted since) comes once, from the newer snapshot;
// a file deleted before the snapshots, which the live scan lists itself,
// and a file still in use are not listed again. Recovered into one folder
// beside the live volume's own copies, numbered as the batch numbers names.
TEST(SnapshotsOfBuiltVolumes, EachFileTheLiveVolumeNoLongerHasComesOnceFromTheNewestSnapshot) {
    const Image then = image_testing::Build("snapshot-then", ThenPlan);
    const Image now = image_testing::Build("snapshot-now", NowPlan);
    for (const char* path : {"/Docs/gone.bin", "/Docs/kept.bin", "/Docs/early.bin", "/Docs/small.txt"})
        ASSERT_EQ(Row(then, path).Record, Row(now, path).Record) << path << ": the builds went apart";
    ASSERT_EQ(Row(now, "/Docs/gone.bin").State, "reused");
    ASSERT_EQ(Row(now, "/Docs/small.txt").State, "deleted");

    const std::shared_ptr<TDevice> live = OpenFile(now.file);
    TLiveRecords records;
    TScanOptions options;
    options.Live = &records;
    Kept sink;
    const std::atomic<bool> never{false};
    const TScanOutcome scanned = ScanDrive(
        "C:", [&](const std::string&) { TDeviceAccess access; access.Device = live; return access; }, sink, never, options);
    ASSERT_EQ(scanned.End, TScanEnd::Completed);
    ASSERT_EQ(sink.files.size(), 2u);  // early.bin, small.txt
    const std::int64_t kept = Row(now, "/Docs/kept.bin").Record, gone = Row(now, "/Docs/gone.bin").Record;
    EXPECT_TRUE(records.InUse(kept, 1));
    EXPECT_TRUE(records.InUse(gone, 2));  // new.bin
    EXPECT_FALSE(records.InUse(gone, 1));

    std::vector<TSnapshotSource> sources;
    for (int k : {1, 2})
        sources.push_back({k, 130'000'000'000'000'000ull + static_cast<std::uint64_t>(k),
                           [&] {
                               TDeviceAccess access;
                               access.Device = OpenFile(then.file);
                               return access;
                           }});
    // A third whose device is gone: said, and the others scanned all the same.
    TDeviceAccess missing;
    missing.Failure = TAccessFailure::NoSuchDevice;
    sources.push_back({3, 0, [missing] { return missing; }});
    const std::vector<TSnapshotScan> scans = ScanSnapshots(sources, "C:", records, sink, never);
    ASSERT_EQ(scans.size(), 3u);
    EXPECT_EQ(scans[0].Number, 3);
    EXPECT_EQ(scans[0].Outcome.End, TScanEnd::OpenFailed);
    EXPECT_EQ(scans[1].Outcome.End, TScanEnd::Completed);
    EXPECT_EQ(scans[1].Outcome.FoundCount, 2);
    EXPECT_EQ(scans[2].Outcome.FoundCount, 0);  // the same versions as snapshot 2's

    ASSERT_EQ(sink.files.size(), 4u);
    for (const char* name : {"gone.bin", "small.txt"}) {
        const Kept::File* f = sink.Named(name, 2);
        ASSERT_NE(f, nullptr) << name;
        EXPECT_NE(f->Found.Flags & FoundInUse, 0) << name;
        EXPECT_EQ(f->Path, "C:\\Docs\\");
        EXPECT_EQ(f->Found.State, TRecoverability::Intact);
    }
    EXPECT_NE(sink.Named("small.txt", 0), nullptr);  // deleted in the live volume too
    EXPECT_EQ(sink.Named("gone.bin", 0), nullptr);   // its record is new.bin's now
    EXPECT_EQ(sink.Named("early.bin", 2), nullptr);
    EXPECT_EQ(sink.Named("kept.bin", 2), nullptr);

    // Everything into one folder: the snapshot's copies beside the live
    // volume's deleted ones, numbered, each the bytes the builder wrote.
    TScanResults results;
    results.Volume = scanned.Volume;
    KeepSnapshotVolumes(results, scans);
    std::vector<TBatchItem> items;
    for (const Kept::File& f : sink.files) {
        TFoundFileList list;
        list.Add(f.Found, f.Name);
        items.push_back(BatchItemOf(results, list[0]));
    }
    TempDir dir;
    Written written;
    const TBatchOutcome batch =
        RecoverBatch(*results.Volume, items, dir.Path.string(), platform::LocalFileSystem(), written, never);
    EXPECT_EQ(batch.Written, 4u) << ::testing::PrintToString(written.lines);
    const fs::path docs = dir.Path / "Docs";
    EXPECT_EQ(written.targets[(docs / "small (1).txt").string()], "C:\\Docs\\small.txt in snapshot 2");
    EXPECT_EQ(written.targets[(docs / "gone.bin").string()], "C:\\Docs\\gone.bin in snapshot 2");
    for (const char* name : {"small.txt", "small (1).txt"})
        EXPECT_EQ(FileHash(docs / name), Row(then, "/Docs/small.txt").Sha256) << name;
    EXPECT_EQ(FileHash(docs / "gone.bin"), Row(then, "/Docs/gone.bin").Sha256);
    EXPECT_TRUE(fs::exists(docs / "early.bin"));  // new.bin took some of its clusters

    // A file in use is recovered only where asked for: never as a deleted
    // file, and a deleted file never as a file in use.
    TNtfsVolume& snapshot = *scans[1].Outcome.Volume;
    EXPECT_EQ(PlanRecovery(snapshot, kept).End, TPlanEnd::NotDeleted);
    EXPECT_EQ(PlanRecovery(snapshot, kept, std::nullopt, TPlanFor::FileInUse).End, TPlanEnd::Ready);
    EXPECT_EQ(PlanRecovery(snapshot, kept, std::nullopt, TPlanFor::FileInUse).State, TRecoverability::Intact);
    const std::int64_t small = Row(now, "/Docs/small.txt").Record;
    EXPECT_EQ(PlanRecovery(*scanned.Volume, small, std::nullopt, TPlanFor::FileInUse).End, TPlanEnd::NotDeleted);
    EXPECT_EQ(PlanRecovery(*scanned.Volume, small, std::nullopt, TPlanFor::AnyFile).End, TPlanEnd::Ready);
    // The snapshot's gone.bin no longer is what the live volume's record holds.
    EXPECT_EQ(PlanRecovery(*scanned.Volume, gone, 1, TPlanFor::FileInUse).End, TPlanEnd::NotDeleted);
    EXPECT_EQ(PlanRecovery(snapshot, 5, std::nullopt, TPlanFor::AnyFile).End, TPlanEnd::NotDeleted);  // the root: a folder
}

// Which copies a scan with snapshots lists, by record, sequence number and
// version, as the live scan and the scans before note them.
TEST(SnapshotsOfBuiltVolumes, LiveRecordsTellWhatTheLiveVolumeNoLongerHas) {
    TLiveRecords live;
    live.Reset(100);
    live.NoteInUse(40, 3);
    live.NoteInUse(41, 0);  // a sequence number of 0 is still in use
    live.NoteInUse(1000, 1);  // past the MFT: not kept, not a failure
    EXPECT_TRUE(live.InUse(41, 0));
    EXPECT_FALSE(live.InUse(42, 0));
    EXPECT_FALSE(live.InUse(1000, 1));
    auto file = [](std::int64_t record, std::uint16_t sequence, bool inUse, std::int64_t size, std::uint64_t modified) {
        TFoundFiles f;
        f.Record = record;
        f.Sequence = sequence;
        f.Flags = inUse ? FoundInUse : 0;
        f.FileSize = size;
        f.Modified = modified;
        return f;
    };
    // The live volume's deleted files.
    EXPECT_TRUE(live.NoteListed(file(50, 2, false, 10, 1)));
    // A snapshot's file still in use in the live volume: the same file.
    EXPECT_FALSE(live.KeepFromSnapshot(file(40, 3, true, 10, 1)));
    // Its record in use for another file now, or free: gone from the live volume.
    EXPECT_TRUE(live.KeepFromSnapshot(file(40, 2, true, 10, 1)));
    EXPECT_TRUE(live.KeepFromSnapshot(file(60, 1, true, 10, 1)));
    // An older snapshot's copy of the same version: once only; another version: listed.
    EXPECT_FALSE(live.KeepFromSnapshot(file(60, 1, true, 10, 1)));
    EXPECT_TRUE(live.KeepFromSnapshot(file(60, 1, true, 11, 1)));
    EXPECT_TRUE(live.KeepFromSnapshot(file(60, 1, true, 10, 2)));
    // A deleted file the live scan lists already, whatever its size says now; one of another use of the record.
    EXPECT_FALSE(live.KeepFromSnapshot(file(50, 2, false, 99, 7)));
    EXPECT_TRUE(live.KeepFromSnapshot(file(50, 1, false, 10, 1)));
    EXPECT_FALSE(live.KeepFromSnapshot(file(50, 1, false, 10, 1)));
    // A deleted file and a file in use of one record and sequence are two files.
    EXPECT_TRUE(live.KeepFromSnapshot(file(70, 4, false, 10, 1)));
    EXPECT_TRUE(live.KeepFromSnapshot(file(70, 4, true, 10, 1)));
    // Records past the MFT of the live volume: kept by the set, once.
    EXPECT_TRUE(live.KeepFromSnapshot(file(500, 1, false, 1, 1)));
    EXPECT_FALSE(live.KeepFromSnapshot(file(500, 1, false, 1, 1)));
}
