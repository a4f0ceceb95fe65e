#include "Read.h"

#include <algorithm>
#include <cstring>

namespace deruzera {
namespace {

// Sectors a read may find unreadable one after another before the rest of
// it is given up as unreadable too: a device that is gone would otherwise
// be asked for every sector of a large read, each answer slow.
constexpr std::uint64_t MaxFailedSectorsInARow = 256;

}  // namespace

bool ReadExactly(TDevice& device, std::int64_t offset, void* buffer, std::size_t count, int* error) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const std::int64_t n = device.ReadAt(offset + static_cast<std::int64_t>(done), out + done, count - done);
        if (n < 0 && error) *error = static_cast<int>(-n);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

TReadGaps ReadCarefully(TDevice& device, std::int64_t offset, void* buffer, std::size_t count,
                        std::vector<TUnreadRange>* ranges) {
    TReadGaps gaps;
    auto* out = static_cast<std::uint8_t*>(buffer);
    auto unread = [&](std::size_t from, std::size_t to, int error) {
        if (from == to) return;
        std::memset(out + from, 0, to - from);
        if (ranges) {
            const std::int64_t at = offset + static_cast<std::int64_t>(from);
            if (!ranges->empty() && ranges->back().Offset + static_cast<std::int64_t>(ranges->back().Length) == at)
                ranges->back().Length += to - from;
            else
                ranges->push_back({at, to - from});
        }
        if (gaps.First < 0) {
            gaps.First = offset + static_cast<std::int64_t>(from);
            gaps.Error = error;
        }
        gaps.Bytes += to - from;
    };
    std::size_t done = 0;
    std::uint64_t failedInARow = 0;
    while (done < count) {
        const std::int64_t at = offset + static_cast<std::int64_t>(done);
        const std::int64_t n = device.ReadAt(at, out + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            failedInARow = 0;
            continue;
        }
        if (n == 0) break;  // the end of the device
        // The byte at `at` failed: its sector alone.
        const std::int64_t sectorEnd = std::min<std::int64_t>((at / ReadSector + 1) * ReadSector,
                                                              offset + static_cast<std::int64_t>(count));
        const auto upTo = static_cast<std::size_t>(sectorEnd - offset);
        const std::int64_t alone = device.ReadAt(at, out + done, upTo - done);
        if (alone > 0) {
            done += static_cast<std::size_t>(alone);
            continue;
        }
        if (alone == 0) break;
        unread(done, upTo, static_cast<int>(-alone));
        done = upTo;
        if (++failedInARow >= MaxFailedSectorsInARow) {
            unread(done, count, static_cast<int>(-alone));
            return gaps;
        }
    }
    if (done < count) {
        std::memset(out + done, 0, count - done);
        gaps.PastEnd = count - done;
    }
    return gaps;
}

}  // namespace deruzera
