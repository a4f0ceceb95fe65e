#include <gtest/gtest.h>

#include <cerrno>

#include "volume/Mft.h"
#include "volume/Messages.h"
#include "Fixture.h"
#include "Synthetic.h"

using namespace deruzera;
using testing_support::Lines;
using testing_support::RecordingSink;

namespace {

using Line = std::pair<std::string, std::uint32_t>;

class ScanTest : public testing_support::VolumeTest {
protected:
    using VolumeTest::Scan;
    TScanOutcome Scan(const synth::Volume& v, RecordingSink& sink) {
        drives["C:"] = v.image;
        return VolumeTest::Scan("C:", sink);
    }
    const Lines start{{"Preparing for scan the drive C:\\ ...", clBlack}, {"This is a NTFS disk", clGreen}};
    Lines Walked(const Lines& tail) const {
        Lines all = start;
        all.emplace_back("Scanning for deleted files on drive C:\\ ...", clBlack);
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    }
};

TEST_F(ScanTest, ListsDeletedFilesWithPathsSizesAndTimes) {
    synth::Volume v(300);
    v.Directory(20, 5, u"Users");
    v.Directory(21, 20, u"Docs", 2);  // a deleted directory resolves like a live one
    const std::uint64_t when = 116444736000000000ull + 1796624640ull * 10000000;
    v.DeletedFile(30, 21, u"report.txt", std::string(123, 'x'), when);
    v.DeletedFile(31, 5, u"", "");  // empty name and size are still listed
    v.PutRecord(32, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"big.bin"),
                                      synth::NonResident(0x80, {0x11, 0x02, 0x40}, 5000)}));
    v.PutRecord(33, synth::Record(1, {synth::StandardInformation(0, 0), synth::FileName(5, u"live.txt"),
                                      synth::Resident(0x80, {1})}));
    // A file whose only name is its 8.3 alias is listed under that name.
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

    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    EXPECT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_EQ(outcome.FoundCount, 6);
    ASSERT_EQ(sink.files.size(), 6u);
    const TFoundFiles& report = sink.files[0];
    EXPECT_EQ(sink.Name(0), "report.txt");
    EXPECT_EQ(sink.Path(0), "C:\\Users\\Docs\\");
    EXPECT_EQ(report.FileSize, 123);
    EXPECT_EQ(report.Record, 30);
    EXPECT_EQ(FileRecordOffset(outcome.Volume->Geometry(), report.Record), v.RecordOffset(30));
    EXPECT_EQ(report.Created, when);
    EXPECT_EQ(report.Modified, when);
    EXPECT_EQ(sink.Name(1), "");
    EXPECT_EQ(sink.Path(1), "C:\\");
    EXPECT_EQ(sink.files[2].FileSize, 5000);
    EXPECT_EQ(sink.Name(3), "DOSNAM~1");
    EXPECT_EQ(sink.Path(4), "*\\");
    EXPECT_EQ(sink.Name(5), "seq.txt");
    EXPECT_EQ(sink.Path(5), "C:\\Users\\");

    EXPECT_EQ(sink.lines, Walked({{"Scanning process completed", clGreen}, {"Found 6 deleted files", clGreen}}));
    // The walk's start, then the count at records 128 and 256.
    EXPECT_EQ(sink.reports, (std::vector<std::string>{"walking 300", "progress 129 found 6", "progress 257 found 6"}));
}

TEST_F(ScanTest, FirstProgressCountsTheFindsBeforeRecord128) {
    synth::Volume v(200);
    v.DeletedFile(100, 5, u"a", "1");
    v.DeletedFile(128, 5, u"b", "2");
    RecordingSink sink;
    Scan(v, sink);
    EXPECT_EQ(sink.reports[1], "progress 129 found 1");
    EXPECT_EQ(sink.lines.back(), (Line{"Found 2 deleted files", clGreen}));
}

TEST_F(ScanTest, OneOpenAndEveryRecordReadOnceInOrder) {
    synth::Volume v(3000, 8 << 20);
    v.Directory(20, 5, u"d");
    v.Directory(2500, 20, u"late");  // a directory the walk meets after its files
    for (int i = 0; i < 30; ++i) v.DeletedFile(40 + i, 20, u"f", "x");
    for (int i = 0; i < 30; ++i) v.DeletedFile(100 + i, 2500, u"g", "y");
    drives["C:"] = v.image;
    RecordingSink sink;
    const std::atomic<bool> stop{false};
    std::shared_ptr<testing_support::CountingDevice> device;
    const TScanOutcome outcome = ScanDrive(
        "C:",
        [&](const std::string&) {
            ++opens;
            device = std::make_shared<testing_support::CountingDevice>(v.image);
            TDeviceAccess access;
            access.Device = device;
            return access;
        },
        sink, stop);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(outcome.Volume->SharedDevice(), device);
    ASSERT_EQ(sink.files.size(), 60u);
    EXPECT_EQ(sink.Path(0), "C:\\d\\");
    EXPECT_EQ(sink.paths.at(100), "C:\\d\\late\\");  // held back until record 2500 was walked
    // The boot sector, record 0, then the walk: each byte of the MFT from
    // record 16 on read once, going forward.
    const auto& reads = device->reads;
    ASSERT_GE(reads.size(), 3u);
    EXPECT_EQ(reads[0].first, 0);
    EXPECT_EQ(reads[1].first, v.RecordOffset(0));
    std::int64_t next = v.RecordOffset(16);
    for (std::size_t i = 2; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].first, next) << i;
        next = reads[i].first + static_cast<std::int64_t>(reads[i].second);
    }
    EXPECT_EQ(next, v.RecordOffset(3000));
}

// A device whose bytes from `bad` to `badEnd` can't be read: any read that
// touches them fails as a disk with bad sectors does.
class TBadSectors final : public TDevice {
public:
    TBadSectors(std::string bytes, std::int64_t bad, std::int64_t badEnd)
        : inner_(MemoryDevice(std::move(bytes))), bad_(bad), badEnd_(badEnd) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < badEnd_ && offset + static_cast<std::int64_t>(count) > bad_) return -EIO;
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    THandle inner_;
    std::int64_t bad_, badEnd_;
};

TEST_F(ScanTest, BadSectorsInTheMftCostOnlyTheRecordsOnThem) {
    // Many chunks of records, read ahead of the walk; one sector inside
    // record 1500 fails.
    synth::Volume v(6000, 16 << 20);
    v.Directory(20, 5, u"d");
    const std::vector<std::int64_t> files = {30, 900, 1499, 1500, 1501, 2600, 5999};
    for (const std::int64_t n : files) v.DeletedFile(n, 20, u"f" + std::u16string(1, static_cast<char16_t>(u'0' + n % 10)), "x");
    RecordingSink sink;
    const std::atomic<bool> stop{false};
    TBadSectors device(v.image, v.RecordOffset(1500) + 512, v.RecordOffset(1500) + 1024);
    const TScanOutcome outcome = ScanDrive(device, "C:", sink, stop);
    EXPECT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_EQ(outcome.UnreadableRecords, 1);
    std::vector<std::int64_t> found;
    for (const TFoundFiles& f : sink.files) found.push_back(f.Record);
    EXPECT_EQ(found, (std::vector<std::int64_t>{30, 900, 1499, 1501, 2600, 5999}));
    EXPECT_EQ(sink.Path(5), "C:\\d\\");
    EXPECT_EQ(sink.lines[sink.lines.size() - 3], (Line{"1 MFT records could not be read and were skipped", clRed}));
    EXPECT_EQ(sink.lines.back(), (Line{"Found 6 deleted files", clGreen}));

    // A device that gives nothing from record 1000 on: the scan ends there
    // with the error, keeping what it found before.
    RecordingSink dead;
    TBadSectors dying(v.image, v.RecordOffset(1000), INT64_MAX);
    const TScanOutcome ended = ScanDrive(dying, "C:", dead, stop);
    EXPECT_EQ(ended.End, TScanEnd::ReadError);
    EXPECT_EQ(ended.Error, EIO);
    EXPECT_GE(ended.Offset, v.RecordOffset(1000));
    EXPECT_LT(ended.Offset, v.RecordOffset(6000));
    ASSERT_EQ(dead.files.size(), 2u);
    EXPECT_EQ(dead.files[1].Record, 900);
    EXPECT_EQ(dead.lines[dead.lines.size() - 2].second, clRed);
    EXPECT_EQ(dead.lines[dead.lines.size() - 2].first.rfind("Error: The drive could not be read at byte ", 0), 0u);
}

TEST_F(ScanTest, AVolumeOfMostlyDamagedRecordsSaysSo) {
    // Past the first records, noise where the MFT should be: an encrypted
    // volume read without its key, or one written over.
    synth::Volume v(400, 2 << 20);
    v.DeletedFile(20, 5, u"kept.txt", "k");
    std::uint32_t x = 7;
    for (std::int64_t at = v.RecordOffset(24); at < v.RecordOffset(400); ++at) {
        x = x * 1664525u + 1013904223u;
        v.image[static_cast<std::size_t>(at)] = static_cast<char>(x >> 24);
    }
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    EXPECT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_EQ(outcome.DamagedRecords, 376);
    EXPECT_TRUE(MostlyDamaged(outcome));
    EXPECT_EQ(sink.files.size(), 1u);
    ASSERT_GE(sink.lines.size(), 3u);
    EXPECT_EQ(sink.lines[sink.lines.size() - 3].second, clRed);

    // A healthy volume with a few damaged records says nothing of it.
    synth::Volume healthy(400, 2 << 20);
    for (std::int64_t n = 20; n < 300; ++n) healthy.DeletedFile(n, 5, u"f.txt", "f");
    for (std::int64_t n : {40, 41, 42}) healthy.image[static_cast<std::size_t>(healthy.RecordOffset(n) + 510)] ^= 0x55;
    RecordingSink quiet;
    const TScanOutcome fine = Scan(healthy, quiet);
    EXPECT_EQ(fine.DamagedRecords, 3);
    EXPECT_FALSE(MostlyDamaged(fine));
    EXPECT_EQ(quiet.lines[quiet.lines.size() - 2], (Line{"Scanning process completed", clGreen}));
}

TEST_F(ScanTest, AStopFarIntoTheWalkEndsWhileChunksAreReadAhead) {
    synth::Volume v(6000, 16 << 20);
    for (std::int64_t n = 100; n < 6000; n += 100) v.DeletedFile(n, 5, u"f", "x");
    std::atomic<bool> stop{false};
    RecordingSink sink;
    sink.onProgress = [&] {
        if (sink.reports.size() > 20) stop = true;  // record 2560 or so, chunks ahead being read
    };
    drives["C:"] = v.image;
    const TScanOutcome outcome = ScanDrive("C:", Opener(), sink, stop);
    EXPECT_EQ(outcome.End, TScanEnd::Aborted);
    EXPECT_GT(outcome.FoundCount, 10);
    EXPECT_LT(outcome.FoundCount, 59);
    EXPECT_EQ(static_cast<std::int64_t>(sink.files.size()), outcome.FoundCount);
}

TEST_F(ScanTest, ParentChainsThatLoopOrRunDeepEndInAStar) {
    synth::Volume v(1300, 2 << 20);
    v.Directory(20, 21, u"a");
    v.Directory(21, 20, u"b");
    v.DeletedFile(30, 20, u"looped.txt", "x");
    // A chain deeper than any path can be.
    for (int i = 100; i < 1200; ++i) v.Directory(i, i + 1, u"x");
    v.DeletedFile(31, 100, u"deep.txt", "x");
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    ASSERT_EQ(outcome.FoundCount, 2);
    EXPECT_EQ(sink.paths.at(30), "*\\b\\a\\");
    EXPECT_EQ(sink.paths.at(31).substr(0, 4), "*\\x\\");
    EXPECT_EQ(std::count(sink.paths.at(31).begin(), sink.paths.at(31).end(), '\\'), 1025);
}

TEST_F(ScanTest, RefusalsAndTheirLines) {
    RecordingSink none;
    EXPECT_EQ(Scan("", none).End, TScanEnd::NoDrive);
    EXPECT_EQ(none.lines, (Lines{{"Error: No drive detected", clRed}}));
    EXPECT_EQ(opens, 0);

    RecordingSink unmapped;
    EXPECT_EQ(Scan("Q:", unmapped).End, TScanEnd::OpenFailed);
    EXPECT_EQ(unmapped.lines,
              (Lines{{"Preparing for scan the drive Q:\\ ...", clBlack}, {"Error: Invalid handle value", clRed}}));

    synth::Volume badMft(64);
    badMft.PutRecord(0, synth::Bytes(1024, 0));
    RecordingSink zeros;
    const TScanOutcome damaged = Scan(badMft, zeros);
    EXPECT_EQ(damaged.End, TScanEnd::Record0Damaged);
    EXPECT_FALSE(damaged.Walked);
    Lines expected = start;
    expected.emplace_back("Error: Unable to Fixup the Update Sequence : Invalid Record Data : No FILE Identifier found", clRed);
    EXPECT_EQ(zeros.lines, expected);

    for (std::uint16_t flags : {std::uint16_t{0x0001}, std::uint16_t{0x4000}, std::uint16_t{0x8000}}) {
        synth::Volume sparse(64);
        sparse.SetMft(flags);
        RecordingSink sink;
        EXPECT_EQ(Scan(sparse, sink).End, TScanEnd::MftUnreadable);
        expected = start;
        expected.emplace_back("Error: The MFT is sparse, encrypted or compressed", clRed);
        EXPECT_EQ(sink.lines, expected);
    }
    synth::Volume combined(64);
    combined.SetMft(0x8001);
    RecordingSink sink;
    EXPECT_EQ(Scan(combined, sink).End, TScanEnd::Completed);
    EXPECT_EQ(sink.lines.back().first, "Found 0 deleted files");
}

TEST_F(ScanTest, AbortEndsTheScanBeforeTheNextRecord) {
    synth::Volume v(64);
    v.DeletedFile(20, 5, u"a", "1");
    drives["C:"] = v.image;
    RecordingSink sink;
    const TScanOutcome outcome = VolumeTest::Scan("C:", sink, true);
    EXPECT_EQ(outcome.End, TScanEnd::Aborted);
    EXPECT_TRUE(outcome.Walked);
    EXPECT_EQ(outcome.FoundCount, 0);
    EXPECT_EQ(sink.lines, Walked({{"Scanning aborted by user", clRed}, {"Found 0 deleted files", clRed}}));
}

TEST_F(ScanTest, AbortDuringTheWalkKeepsWhatWasFound) {
    synth::Volume v(300);
    v.DeletedFile(20, 5, u"before", "1");
    v.DeletedFile(128, 5, u"in-hand", "2");  // the record in hand is finished
    v.DeletedFile(129, 5, u"after", "3");
    drives["C:"] = v.image;
    std::atomic<bool> stop{false};
    RecordingSink sink;
    sink.onProgress = [&] { stop = true; };  // as the Cancel button does, between two records
    const TScanOutcome outcome = ScanDrive("C:", Opener(), sink, stop);
    ASSERT_EQ(outcome.FoundCount, 2);
    ASSERT_EQ(sink.files.size(), 2u);
    EXPECT_EQ(sink.Name(1), "in-hand");
    EXPECT_EQ(sink.lines[sink.lines.size() - 2], (Line{"Scanning aborted by user", clRed}));
    EXPECT_EQ(sink.lines.back(), (Line{"Found 2 deleted files", clRed}));
}

TEST_F(ScanTest, SmallOrDamagedMftExtents) {
    // Sixteen records or fewer: nothing walked, a complete scan.
    synth::Volume small(16);
    RecordingSink sink;
    TScanOutcome outcome = Scan(small, sink);
    EXPECT_EQ(outcome.FoundCount, 0);
    EXPECT_EQ(sink.lines.back(), (Line{"Found 0 deleted files", clGreen}));
    EXPECT_EQ(outcome.Volume->Geometry().RecordCount, 16);

    // Record 0 without $DATA: walks nothing.
    synth::Volume noData(64);
    noData.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0)}));
    RecordingSink empty;
    EXPECT_EQ(Scan(noData, empty).End, TScanEnd::Completed);
    EXPECT_EQ(empty.lines.back().first, "Found 0 deleted files");

    // An extent far larger than the volume ends the scan before the walk,
    // and says why.
    synth::Volume huge(64);
    huge.PutRecord(0, synth::Record(1, {synth::NonResident(0x80, {0x21, 0x10, 0x04, 0x00}, 1 << 20, 0,
                                                           std::int64_t{1} << 40)}));
    RecordingSink hugeSink;
    outcome = Scan(huge, hugeSink);
    EXPECT_EQ(outcome.End, TScanEnd::MftDamaged);
    Lines expected = start;
    expected.emplace_back("Error: The MFT is damaged: its extent of 1099511627776 clusters lies outside the volume of "
                          "1024 clusters (at byte 16384)",
                          clRed);
    EXPECT_EQ(hugeSink.lines, expected);
}

TEST_F(ScanTest, ARecordCountPastTheInitializedSizeIsNotWalked) {
    // The MFT claims 4096 records, of which the first 64 were ever written.
    synth::Volume v(64);
    synth::Bytes data = synth::NonResident(0x80, {0x21, 0x00, 0x04, 0x04}, 4096 * 1024, 0, 1023);
    synth::Put(data, 56, 64 * 1024, 8);  // initialized size
    v.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0), data}));
    v.DeletedFile(40, 5, u"in.txt", "i");
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    EXPECT_EQ(outcome.Volume->Geometry().RecordCount, 64);
    EXPECT_EQ(sink.reports.front(), "walking 64");
    EXPECT_EQ(outcome.FoundCount, 1);
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
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    ASSERT_EQ(outcome.FoundCount, 1);
    EXPECT_EQ(sink.Name(0), "far.txt");
    EXPECT_EQ(sink.files[0].Record, 20);
    EXPECT_EQ(FileRecordOffset(outcome.Volume->Geometry(), 20), second + 12 * 1024);
    EXPECT_EQ(outcome.Volume->Geometry().RecordCount, 64);
}

// Record 0 maps VCNs 0-1 (records 0-7) at cluster 4; its attribute list names
// record 3 (an extension record of record 0), whose $DATA maps VCNs 2-15.
synth::Volume ExtendedMft(const std::vector<synth::Bytes>& entries, const synth::Bytes& extensionRuns) {
    synth::Volume v(64);
    synth::Bytes list;
    for (const auto& e : entries) list.insert(list.end(), e.begin(), e.end());
    v.PutRecord(0, synth::Record(1, {synth::StandardInformation(0, 0), synth::Resident(0x20, list),
                                     synth::NonResident(0x80, {0x11, 0x02, 0x04}, 64 * 1024, 0, 1)}));
    synth::Bytes extension = synth::Record(1, {synth::NonResident(0x80, extensionRuns, 0, 2, 15)});
    synth::Put(extension, 32, 0x0001000000000000ull, 8);  // its base: record 0
    v.PutRecord(3, extension);
    return v;
}

TEST_F(ScanTest, FollowsTheMftIntoTheExtensionRecordsOfItsAttributeList) {
    synth::Volume v = ExtendedMft({synth::ListEntry(0x10, 0, 0), synth::ListEntry(0x80, 0, 0), synth::ListEntry(0x80, 2, 0x0001000000000003ull)},
                                  {0x21, 0x0E, 0x2C, 0x01});
    const std::int64_t at = 308 * 4096;  // record 40: VCN 10, the ninth cluster of the second extent
    v.Write(at, synth::Record(0, {synth::StandardInformation(0, 0), synth::FileName(5, u"beyond.txt"),
                                  synth::Resident(0x80, {'b'})}));
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    EXPECT_EQ(outcome.Volume->Geometry().RecordCount, 64);
    ASSERT_EQ(outcome.FoundCount, 1);
    EXPECT_EQ(sink.Name(0), "beyond.txt");
    EXPECT_EQ(sink.files[0].Record, 40);
    EXPECT_EQ(FileRecordOffset(outcome.Volume->Geometry(), 40), at);
}

TEST_F(ScanTest, AnAttributeListCountsEachExtensionRecordOnce) {
    // Entries that all name the same extension record: its runs are taken
    // once, not once per entry.
    std::vector<synth::Bytes> entries{synth::ListEntry(0x80, 0, 0)};
    for (int i = 0; i < 20; ++i) entries.push_back(synth::ListEntry(0x80, 2 + static_cast<std::uint64_t>(i), 3));
    synth::Volume v = ExtendedMft(entries, {0x21, 0x0E, 0x2C, 0x01});
    RecordingSink sink;
    const TScanOutcome outcome = Scan(v, sink);
    EXPECT_EQ(outcome.End, TScanEnd::Completed);
    EXPECT_EQ(outcome.Volume->Geometry().MFTRuns.size(), 2u);
    EXPECT_EQ(outcome.Volume->Geometry().RecordCount, 64);
}

}  // namespace
