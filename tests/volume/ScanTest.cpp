#include <gtest/gtest.h>

#include "Fixture.h"
#include "Synthetic.h"

using namespace deruzera;
using testing_support::Lines;
using testing_support::LogSoFar;

namespace {

struct RecordingHost : TScanHost {
    std::vector<std::string> reports;
    void ReportStatusText(const std::string& t) override { reports.push_back("status " + t); }
    void ReportProgressMax(std::int64_t m) override { reports.push_back("max " + std::to_string(m)); }
    void ReportProgress(std::int64_t p) override { reports.push_back("progress " + std::to_string(p)); }
    void ReportResultGridCut() override { reports.push_back("cut"); }
};

class ScanTest : public testing_support::VolumeTest {
protected:
    void SetUp() override {
        VolumeTest::SetUp();
        setenv("TZ", "UTC0", 1);
        tzset();
        ResetLocalTimeCache();
    }
    std::vector<std::unique_ptr<RecordingHost>> hosts;
    RecordingHost& Scan(const synth::Volume& v) {
        drives["C:"] = v.image;
        RecordingHost& host = *hosts.emplace_back(std::make_unique<RecordingHost>());
        host.SelectedDrive = "C:";
        ScanDrive(host);
        return host;
    }
    const Lines start{{"Preparing for scan the drive C:\\ ...", clBlack}, {"This is a NTFS disk", clGreen}};
};

TEST_F(ScanTest, ListsDeletedFilesWithPathsSizesAndTimes) {
    synth::Volume v(300);
    v.Directory(20, 5, u"Users");
    v.Directory(21, 20, u"Docs", 2);  // a deleted directory resolves like a live one
    v.DeletedFile(30, 21, u"report.txt", std::string(123, 'x'), 116444736000000000ull + 1796624640ull * 10000000);
    v.DeletedFile(31, 5, u"", "");  // empty name and size are still listed
    v.PutRecord(32, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"big.bin"),
                                      synth::NonResident(0x80, {0x11, 0x02, 0x40}, 5000)}));
    v.PutRecord(33, synth::Record(1, {synth::StandardInformation(0, 0), synth::FileName(5, u"live.txt"),
                                      synth::Resident(0x80, {1})}));
    v.PutRecord(34, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"DOSNAM~1", 2),
                                      synth::Resident(0x80, {1})}));
    v.PutRecord(35, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"nodata")}));
    v.PutRecord(36, synth::Record(0, {synth::FileName(5, u"nosi"), synth::Resident(0x80, {1})}));
    v.DeletedFile(37, 33, u"orphan.txt", "o");  // parent is a file record
    synth::Bytes broken = synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"torn.txt"),
                                            synth::Resident(0x80, {1})});
    broken[1023] ^= 0xFF;
    v.PutRecord(38, broken);
    v.DeletedFile(39, 0x0005000000000014ull, u"seq.txt", "s");  // sequence number ignored

    const RecordingHost& host = Scan(v);
    ASSERT_EQ(host.FoundCount, 5);
    ASSERT_EQ(host.FoundFiles.size(), 5u);
    const TFoundFiles& report = host.FoundFiles[0];
    EXPECT_EQ(report.FileName, "report.txt");
    EXPECT_EQ(report.FilePath, "C:\\Users\\Docs\\");
    EXPECT_EQ(report.FileSize, 123);
    EXPECT_EQ(report.RecordOffset, v.RecordOffset(30));
    EXPECT_TRUE(report.Deleted);
    EXPECT_EQ(report.Created, "07.12.26 06:24");
    EXPECT_EQ(report.Modified, "07.12.26 06:24");
    EXPECT_EQ(host.FoundFiles[1].FileName, "");
    EXPECT_EQ(host.FoundFiles[1].FilePath, "C:\\");
    EXPECT_EQ(host.FoundFiles[2].FileSize, 5000);
    EXPECT_EQ(host.FoundFiles[3].FilePath, "*\\");
    EXPECT_EQ(host.FoundFiles[4].FileName, "seq.txt");
    EXPECT_EQ(host.FoundFiles[4].FilePath, "C:\\Users\\");

    Lines expected = start;
    expected.insert(expected.end(), {{"Scanning for deleted files on drive C:\\ ...", clBlack},
                                     {"Scanning process completed", clGreen},
                                     {"Found 5 deleted files", clGreen}});
    EXPECT_EQ(LogSoFar(), expected);
    // One status and progress report, at record 128 and 256.
    EXPECT_EQ(host.reports, (std::vector<std::string>{"cut", "max 300", "status Found 5 deleted files", "progress 129",
                                                      "status Found 5 deleted files", "progress 257"}));
}

TEST_F(ScanTest, FirstStatusCountsTheFindsBeforeRecord128) {
    synth::Volume v(200);
    v.DeletedFile(100, 5, u"a", "1");
    v.DeletedFile(128, 5, u"b", "2");
    const RecordingHost& host = Scan(v);
    EXPECT_EQ(host.reports[2], "status Found 1 deleted files");
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Found 2 deleted files", clGreen}));
}

TEST_F(ScanTest, DirectoryRecordsAreReadOncePerScan) {
    synth::Volume v(100);
    v.Directory(20, 5, u"d");
    for (int i = 0; i < 30; ++i) v.DeletedFile(40 + i, 20, u"f", "x");
    Scan(v);
    EXPECT_EQ(opens, 2);  // the scan's own handle and one for directory 20
    EXPECT_EQ(PathCache[20], "C:\\d");
}

TEST_F(ScanTest, ParentChainsThatLoopOrRunDeepEndInAStar) {
    synth::Volume v(1300, 2 << 20);
    v.Directory(20, 21, u"a");
    v.Directory(21, 20, u"b");
    v.DeletedFile(30, 20, u"looped.txt", "x");
    // A chain deeper than any path can be.
    for (int i = 100; i < 1200; ++i) v.Directory(i, i + 1, u"x");
    v.DeletedFile(31, 100, u"deep.txt", "x");
    const RecordingHost& host = Scan(v);
    ASSERT_EQ(host.FoundCount, 2);
    EXPECT_EQ(host.FoundFiles[0].FilePath, "*\\b\\a\\");
    EXPECT_EQ(host.FoundFiles[1].FilePath.substr(0, 4), "*\\x\\");
}

TEST_F(ScanTest, RefusalsAndTheirLines) {
    RecordingHost none;
    ScanDrive(none);
    EXPECT_EQ(LogSoFar(), (Lines{{"Error: No drive detected", clRed}}));
    EXPECT_EQ(opens, 0);

    ClearLog();
    RecordingHost unmapped;
    unmapped.SelectedDrive = "Q:";
    ScanDrive(unmapped);
    EXPECT_EQ(LogSoFar(), (Lines{{"Preparing for scan the drive Q:\\ ...", clBlack}, {"Error: Invalid handle value", clRed}}));

    ClearLog();
    synth::Volume badMft(64);
    synth::Bytes zeros(1024, 0);
    badMft.PutRecord(0, zeros);
    Scan(badMft);
    Lines expected = start;
    expected.emplace_back("Error: Unable to Fixup the Update Sequence : Invalid Record Data : No FILE Identifier found", clRed);
    EXPECT_EQ(LogSoFar(), expected);

    for (std::uint16_t flags : {std::uint16_t{0x0001}, std::uint16_t{0x4000}, std::uint16_t{0x8000}}) {
        ClearLog();
        synth::Volume sparse(64);
        sparse.SetMft(flags);
        Scan(sparse);
        expected = start;
        expected.emplace_back("Error: The MFT is sparse, encrypted or compressed", clRed);
        EXPECT_EQ(LogSoFar(), expected);
    }
    ClearLog();
    synth::Volume combined(64);
    combined.SetMft(0x8001);
    Scan(combined);
    EXPECT_EQ(LogSoFar().back().first, "Found 0 deleted files");
}

TEST_F(ScanTest, ARefusedScanLeavesThePreviousResultsInForce) {
    synth::Volume v(64);
    v.DeletedFile(20, 5, u"keep.txt", "k");
    RecordingHost& host = Scan(v);
    ASSERT_EQ(host.FoundCount, 1);
    const TVolume before = Volume;

    drives["D:"] = std::string(1 << 20, 'z');
    host.SelectedDrive = "D:";
    ScanDrive(host);
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Error: This is not a NTFS disk", clRed}));
    EXPECT_EQ(host.FoundCount, 1);
    EXPECT_EQ(Volume.CurrentDrive, "C:");
    EXPECT_EQ(Volume.MFTOffset, before.MFTOffset);
    EXPECT_EQ(PathCache.size(), 65u);
}

TEST_F(ScanTest, AbortEndsTheScanBeforeTheNextRecord) {
    synth::Volume v(64);
    v.DeletedFile(20, 5, u"a", "1");
    drives["C:"] = v.image;
    RecordingHost host;
    host.SelectedDrive = "C:";
    host.AbortRequested = true;
    ScanDrive(host);
    EXPECT_EQ(host.FoundCount, 0);
    Lines expected = start;
    expected.insert(expected.end(), {{"Scanning for deleted files on drive C:\\ ...", clBlack},
                                     {"Scanning aborted by user", clRed},
                                     {"Found 0 deleted files", clRed}});
    EXPECT_EQ(LogSoFar(), expected);
}

TEST_F(ScanTest, AbortDuringTheWalkKeepsWhatWasFound) {
    struct AbortAt128 : RecordingHost {
        void ReportProgress(std::int64_t p) override {
            RecordingHost::ReportProgress(p);
            AbortRequested = true;  // as the Cancel button does, between two records
        }
    };
    synth::Volume v(300);
    v.DeletedFile(20, 5, u"before", "1");
    v.DeletedFile(128, 5, u"in-hand", "2");  // the record in hand is finished
    v.DeletedFile(129, 5, u"after", "3");
    drives["C:"] = v.image;
    AbortAt128 host;
    host.SelectedDrive = "C:";
    ScanDrive(host);
    ASSERT_EQ(host.FoundCount, 2);
    EXPECT_EQ(host.FoundFiles[1].FileName, "in-hand");
    const Lines log = LogSoFar();
    EXPECT_EQ(log[log.size() - 2], (std::pair<std::string, std::uint32_t>{"Scanning aborted by user", clRed}));
    EXPECT_EQ(log.back(), (std::pair<std::string, std::uint32_t>{"Found 2 deleted files", clRed}));
}

TEST_F(ScanTest, SmallOrDamagedMftExtents) {
    // Sixteen records or fewer: nothing walked, a complete scan.
    synth::Volume small(16);
    const RecordingHost& host = Scan(small);
    EXPECT_EQ(host.FoundCount, 0);
    EXPECT_EQ(LogSoFar().back(), (std::pair<std::string, std::uint32_t>{"Found 0 deleted files", clGreen}));
    EXPECT_EQ(Volume.RecordCount, 16);

    // Record 0 without $DATA: walks nothing.
    ClearLog();
    synth::Volume noData(64);
    noData.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0)}));
    Scan(noData);
    EXPECT_EQ(LogSoFar().back().first, "Found 0 deleted files");

    // An extent larger than the device ends the scan before the walk.
    ClearLog();
    synth::Volume huge(64);
    huge.PutRecord(0, synth::Record(1, {synth::NonResident(0x80, {0x21, 0x10, 0x04, 0x00}, 1 << 20, 0,
                                                           std::int64_t{1} << 40)}));
    Scan(huge);
    EXPECT_EQ(LogSoFar(), start);
}

TEST_F(ScanTest, WalksAFragmentedMftThroughItsRuns) {
    synth::Volume v(64);
    // The MFT: 8 records at cluster 4, then 56 records at cluster 200.
    v.PutRecord(0, synth::Record(1, {synth::NonResident(0x80, {0x11, 0x02, 0x04, 0x21, 0x0E, 0xC4, 0x00}, 64 * 1024, 0, 15)}));
    const std::int64_t second = 200 * 4096;
    v.Write(second + 12 * 1024, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"far.txt"),
                                                   synth::Resident(0x80, {1, 2})}));
    // What lies where a contiguous MFT would put record 20 is not the MFT.
    v.DeletedFile(20, 5, u"decoy.txt", "d");
    const RecordingHost& host = Scan(v);
    ASSERT_EQ(host.FoundCount, 1);
    EXPECT_EQ(host.FoundFiles[0].FileName, "far.txt");
    EXPECT_EQ(host.FoundFiles[0].RecordOffset, second + 12 * 1024);
    EXPECT_EQ(Volume.RecordCount, 64);
}

TEST_F(ScanTest, FollowsTheMftIntoTheExtensionRecordsOfItsAttributeList) {
    synth::Volume v(64);
    // Record 0 maps VCNs 0-1 (records 0-7) at cluster 4; its attribute list
    // names record 3, whose $DATA maps VCNs 2-15 at cluster 300.
    auto entry = [](std::uint32_t type, std::uint64_t vcn, std::uint64_t record) {
        synth::Bytes e(32, 0);
        synth::Put(e, 0, type, 4);
        synth::Put(e, 4, 32, 2);
        synth::Put(e, 7, 26, 1);
        synth::Put(e, 8, vcn, 8);
        synth::Put(e, 16, record, 8);
        return e;
    };
    synth::Bytes list;
    for (const auto& e : {entry(0x10, 0, 0), entry(0x80, 0, 0), entry(0x80, 2, 0x0001000000000003ull)})
        list.insert(list.end(), e.begin(), e.end());
    v.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0), synth::Resident(0x20, list),
                                     synth::NonResident(0x80, {0x11, 0x02, 0x04}, 64 * 1024, 0, 1)}));
    v.PutRecord(3, synth::Record(1, {synth::NonResident(0x80, {0x21, 0x0E, 0x2C, 0x01}, 0, 2, 15)}));
    const std::int64_t at = 308 * 4096;  // record 40: VCN 10, the ninth cluster of the second extent
    v.Write(at, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"beyond.txt"),
                                  synth::Resident(0x80, {'b'})}));
    const RecordingHost& host = Scan(v);
    EXPECT_EQ(Volume.RecordCount, 64);
    ASSERT_EQ(host.FoundCount, 1);
    EXPECT_EQ(host.FoundFiles[0].FileName, "beyond.txt");
    EXPECT_EQ(host.FoundFiles[0].RecordOffset, at);
    EXPECT_EQ(RecordNumberAt(Volume, at), 40);
}

}  // namespace
