// What one open volume saves: a batch after a scan reads each file's own
// records and content, and no directory record or bitmap page the scan has
// read already.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <mutex>
#include <set>

#include "ImageSupport.h"
#include "platform/Target.h"
#include "volume/Batch.h"
#include "volume/Mft.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

namespace {

using namespace deruzera;
using namespace image_testing;

// A device over an image's bytes that records every read, from any thread.
class TRecordingDevice final : public TDevice {
public:
    explicit TRecordingDevice(std::string bytes) : inner_(MemoryDevice(std::move(bytes))) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t n = inner_->ReadAt(offset, buffer, count);
        std::lock_guard lock(mutex_);
        if (n > 0) reads_.push_back({offset, offset + n});
        return n;
    }
    std::int64_t Size() const override { return inner_->Size(); }
    std::vector<std::pair<std::int64_t, std::int64_t>> Take() {
        std::lock_guard lock(mutex_);
        return std::exchange(reads_, {});
    }

private:
    THandle inner_;
    std::mutex mutex_;
    std::vector<std::pair<std::int64_t, std::int64_t>> reads_;
};

struct TKeeper final : TScanSink {
    std::vector<TBatchItem> items;
    void Line(const TLogLine&) override {}
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files) items.push_back({f.Record, f.Sequence, f.FileSize, f.State});
    }
};

struct TQuietBatch final : TBatchSink {
    void Line(const TLogLine&) override {}
};

bool Overlaps(const std::vector<std::pair<std::int64_t, std::int64_t>>& reads, std::int64_t from, std::int64_t to) {
    for (const auto& [a, b] : reads)
        if (a < to && from < b) return true;
    return false;
}

TEST(OneOpenVolume, ABatchAfterAScanReadsNoDirectoryRecordAndNoBitmapPageAgain) {
    const Image image = Build("seams", "format 16M cluster=4096\n"
                                       "mkdir /a/b/c\nmkdir /x/y\n"
                                       "file /a/one.bin 9K seed=1\nfile /a/b/two.bin 20K seed=2\n"
                                       "file /a/b/c/three.bin 5K seed=3\nfile /x/y/four.bin 40K seed=4\n"
                                       "text /x/five.txt five\nfile /keep.bin 64K seed=5\n"
                                       "delete /a/one.bin\ndelete /a/b/two.bin\ndelete /a/b/c/three.bin\n"
                                       "delete /x/y/four.bin\ndelete /x/five.txt\n");
    std::ifstream in(image.file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto device = std::make_shared<TRecordingDevice>(bytes);

    TKeeper sink;
    const std::atomic<bool> never{false};
    const TScanOutcome outcome = ScanDrive(*device, "C:", sink, never);
    ASSERT_EQ(outcome.End, TScanEnd::Completed);
    ASSERT_EQ(sink.items.size(), 5u);
    ASSERT_NE(outcome.Volume->Bitmap(), nullptr);
    device->Take();

    const fs::path folder = fs::temp_directory_path() / ("deruzera-seams-" + std::to_string(::getpid()));
    TQuietBatch quiet;
    const TBatchOutcome batch =
        RecoverBatch(*outcome.Volume, sink.items, folder.string(), platform::LocalFileSystem(), quiet, never);
    fs::remove_all(folder);
    EXPECT_EQ(batch.Written, 5u);
    const auto reads = device->Take();
    const TVolume& volume = outcome.Volume->Geometry();

    // No directory record: their paths come from the scan's table.
    for (const Entry& e : image.manifest) {
        if (e.Kind != "dir") continue;
        const std::int64_t at = FileRecordOffset(volume, e.Record);
        EXPECT_FALSE(Overlaps(reads, at, at + volume.FileRecordSize)) << e.Path;
    }
    for (const std::int64_t system : {std::int64_t{5}, std::int64_t{6}}) {
        const std::int64_t at = FileRecordOffset(volume, system);
        EXPECT_FALSE(Overlaps(reads, at, at + volume.FileRecordSize)) << "record " << system;
    }
    // No page of the cluster bitmap: the scan read those it needed.
    const std::string istat = Shell("istat " + Quote(image.file.string()) + " 6");
    const std::size_t data = istat.find("Type: $DATA");
    ASSERT_NE(data, std::string::npos);
    std::istringstream clusters(istat.substr(istat.find('\n', data) + 1));
    std::int64_t cluster = 0;
    int checked = 0;
    while (clusters >> cluster) {
        const std::int64_t at = cluster * volume.BytesPerCluster;
        EXPECT_FALSE(Overlaps(reads, at, at + volume.BytesPerCluster)) << "bitmap cluster " << cluster;
        ++checked;
    }
    EXPECT_GT(checked, 0);
    // And each file's own record was read again, to be sure it is still the
    // deleted file the scan found.
    for (const TBatchItem& item : sink.items) {
        const std::int64_t at = FileRecordOffset(volume, item.Record);
        EXPECT_TRUE(Overlaps(reads, at, at + volume.FileRecordSize)) << item.Record;
    }
}

}  // namespace
