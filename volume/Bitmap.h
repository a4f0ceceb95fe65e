// The volume's cluster bitmap and what it says of a deleted file: the bytes
// of its stored data that other files may have written over.
#pragma once

#include <cstdint>
#include <atomic>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "Content.h"
#include "Device.h"
#include "Records.h"
#include "Runs.h"

namespace deruzera {

// The volume's cluster bitmap ($Bitmap, record 6): which clusters are in use
// now. Read a page at a time as asked and kept, so a recovery reads a few
// bytes of it and a scan what its found files touch. Bits the device could
// not give are not known. May be used from several threads.
class TClusterBitmap {
public:
    // From $Bitmap's record as read (not fixed up yet). False where it is unusable.
    bool Open(TDevice& device, const TVolume& volume, TBytes bitmapRecord);
    // Reads record 6 from the device first.
    bool Open(TDevice& device, const TVolume& volume);
    bool Test(std::int64_t lcn);
    // Clusters in use among [lcn, lcn + count); `known`, where given, is
    // cleared where some of their bits could not be read.
    std::uint64_t InUse(std::int64_t lcn, std::uint64_t count, bool* known = nullptr);

private:
    struct TPage {
        std::vector<std::uint8_t> Bytes;
        std::vector<TContentRange> Unread;  // in bytes from the page's start
    };
    const TPage& Page(std::uint64_t index);
    // Whether every bit of [lcn, lcn + count) could be read.
    bool Known(std::int64_t lcn, std::uint64_t count);
    static constexpr std::uint64_t PageBytes = 64 * 1024;
    TDevice* device_ = nullptr;
    TFileContent content_;
    std::mutex mutex_;
    std::unordered_map<std::uint64_t, TPage> pages_;  // nodes stay where they are
    std::atomic<bool> anyUnread_{false};               // some page read has bits the device did not give
};

// Bytes of a stream's stored data that lie in clusters in use now; a cluster
// counts whole, but the one where the data ends only up to there; holes and
// resident data count nothing. `stored` gets all the stored bytes; `known`,
// where given, whether the bitmap could tell for each of its clusters.
std::uint64_t OverwrittenBytes(const TDataStream& stream, TClusterBitmap& bitmap, std::uint32_t cluster,
                               std::uint64_t& stored, bool* known = nullptr);

// The stretches of a content's first `limit` bytes (from its start) whose
// clusters are in use now, as far as the bitmap can tell: what would come
// back there is other files' data. Holes and resident content have none.
std::vector<TContentRange> OverwrittenRanges(const TFileContent& content, TClusterBitmap& bitmap,
                                             std::uint32_t cluster, std::uint64_t limit);

// The state those two numbers give.
TRecoverability StateOf(std::uint64_t overwritten, std::uint64_t stored);

}  // namespace deruzera
