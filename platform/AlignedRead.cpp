#include "AlignedRead.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace deruzera::platform {
namespace {

// The bounce buffer's largest size: large enough that a long unaligned read
// costs few requests, small enough to take for each call.
constexpr std::size_t MaxBounceBytes = 1 << 20;

struct TAlignedDelete {
    std::align_val_t alignment;
    void operator()(char* p) const { ::operator delete[](p, alignment); }
};

// A failed request is read again in pieces of this size: few requests for
// a long one, few units to try one by one in the piece that fails.
constexpr std::size_t PieceBytes = 64 << 10;

}  // namespace

std::int64_t ReadNarrowing(const TSectorRead& read, std::uint32_t unit, std::int64_t offset, void* buffer,
                           std::size_t count) {
    const std::int64_t whole = read(offset, buffer, count);
    if (whole >= 0 || count <= unit) return whole;
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    std::size_t step = std::max<std::size_t>(PieceBytes / unit * unit, unit);
    std::int64_t error = whole;
    while (done < count) {
        // Pieces end on multiples of their size, so that a unit that fails
        // is a whole sector of what lies below.
        const std::int64_t at = offset + static_cast<std::int64_t>(done);
        const std::size_t n = std::min(step - static_cast<std::size_t>(at % static_cast<std::int64_t>(step)), count - done);
        const std::int64_t got = read(at, out + done, n);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0) break;
        if (n > unit) {
            step = unit;  // the piece that failed, unit by unit
            continue;
        }
        error = got;
        break;
    }
    return done > 0 ? static_cast<std::int64_t>(done) : error;
}

std::int64_t ReadAligned(const TSectorRead& read, std::uint32_t sectorSize, std::int64_t offset, void* buffer,
                         std::size_t count) {
    if (offset < 0 || count == 0) return 0;
    const std::int64_t sector = sectorSize;
    auto* out = static_cast<char*>(buffer);
    std::unique_ptr<char[], TAlignedDelete> bounce(nullptr, TAlignedDelete{std::align_val_t(sectorSize)});
    std::size_t bounceBytes = 0;
    std::size_t done = 0;
    while (done < count) {
        const std::int64_t at = offset + static_cast<std::int64_t>(done);
        const std::size_t left = count - done;
        const bool aligned = at % sector == 0 && reinterpret_cast<std::uintptr_t>(out + done) % sectorSize == 0;
        std::int64_t got;
        if (aligned && left >= sectorSize) {
            // Straight into the caller's memory, whole sectors only.
            got = ReadNarrowing(read, sectorSize, at, out + done, left - left % sectorSize);
        } else {
            const std::int64_t start = at - at % sector;
            const auto skip = static_cast<std::size_t>(at - start);
            // The sectors that hold the bytes wanted, as many as the buffer takes.
            const std::size_t span =
                std::min<std::size_t>(MaxBounceBytes, (skip + std::min(left, MaxBounceBytes) + sectorSize - 1) / sectorSize * sectorSize);
            if (bounceBytes < span) {
                bounce.reset(new (std::align_val_t(sectorSize)) char[span]);
                bounceBytes = span;
            }
            got = ReadNarrowing(read, sectorSize, start, bounce.get(), span);
            if (got > 0) {
                // A read that ends before the byte wanted reads nothing of it.
                got = got > static_cast<std::int64_t>(skip) ? std::min<std::int64_t>(got - static_cast<std::int64_t>(skip), static_cast<std::int64_t>(left)) : 0;
                std::memcpy(out + done, bounce.get() + skip, static_cast<std::size_t>(got));
            }
        }
        if (got < 0) return done > 0 ? static_cast<std::int64_t>(done) : got;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

}  // namespace deruzera::platform
