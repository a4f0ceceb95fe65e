// Reads through ReadAligned() of a device that refuses anything but whole,
// aligned sectors, as Windows' volume and disk handles do.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/AlignedRead.h"

using deruzera::platform::ReadAligned;
using deruzera::platform::ReadNarrowing;

namespace {

// A device of whole sectors, some of them unreadable, that hands out at
// most `most` bytes a request and refuses requests that aren't aligned
// (unless it is a file, `aligned` false). With `wholeFails` a request that
// touches a bad sector fails as a whole, as Windows' ReadFile does.
struct TSectorDevice {
    std::string bytes;
    std::uint32_t sector;
    std::set<std::int64_t> bad;  // sector numbers
    std::size_t most = SIZE_MAX;
    bool wholeFails = false;
    bool aligned = true;
    int unaligned = 0;
    int requests = 0;

    std::int64_t Read(std::int64_t offset, void* buffer, std::size_t count) {
        ++requests;
        if (aligned && (offset % sector || count % sector || reinterpret_cast<std::uintptr_t>(buffer) % sector || count == 0)) {
            ++unaligned;
            return -EINVAL;
        }
        const auto size = static_cast<std::int64_t>(bytes.size());
        if (offset >= size) return 0;
        std::int64_t end = std::min<std::int64_t>(size, offset + static_cast<std::int64_t>(std::min(count, most)));
        for (std::int64_t s = offset / sector; s * sector < end; ++s)
            if (bad.count(s)) {
                end = wholeFails ? offset : s * sector;
                break;
            }
        if (end == offset) return -EIO;
        std::memcpy(buffer, bytes.data() + offset, static_cast<std::size_t>(end - offset));
        return end - offset;
    }
};

// What a read at `offset` of `count` bytes must give: the bytes up to the
// end or the first bad sector, -EIO where the first byte is bad.
std::int64_t Expected(const TSectorDevice& d, std::int64_t offset, std::size_t count) {
    const auto size = static_cast<std::int64_t>(d.bytes.size());
    if (offset < 0 || offset >= size || count == 0) return 0;
    std::int64_t end = std::min<std::int64_t>(size, offset + static_cast<std::int64_t>(count));
    for (std::int64_t s = offset / d.sector; s * d.sector < end; ++s)
        if (d.bad.count(s)) {
            end = std::max(offset, s * d.sector);
            break;
        }
    return end == offset ? -EIO : end - offset;
}

TEST(ReadAligned, AnyOffsetLengthAndBufferGiveTheBytesUpToTheEndOrTheFirstBadSector) {
    std::mt19937_64 random(21);
    for (const std::uint32_t sector : {512u, 4096u}) {
        for (const std::size_t most : {SIZE_MAX, std::size_t(3) * sector}) {
          for (const bool wholeFails : {false, true}) {
            // Past 64 KiB too, where a failed request is read again in pieces.
            TSectorDevice d{std::string(200 * sector, '\0'), sector, {9, 10, 40, 190}, most, wholeFails};
            for (char& c : d.bytes) c = static_cast<char>(random());
            // Room for a read past the end and a misaligned start in the buffer.
            std::vector<char> memory(d.bytes.size() + 3 * sector);
            char* const aligned = memory.data() + (sector - reinterpret_cast<std::uintptr_t>(memory.data()) % sector);
            for (int i = 0; i < 3000; ++i) {
                const auto offset = static_cast<std::int64_t>(random() % (d.bytes.size() + 2 * sector)) - sector / 2;
                // Aligned lengths and starts half the time, as most reads are.
                std::size_t count = random() % (d.bytes.size() / 2) + (i % 7 == 0 ? 0 : 1);
                std::int64_t at = offset;
                char* buffer = aligned + random() % 16;
                if (i % 2) {
                    at = offset - offset % sector;
                    count = count / sector * sector;
                    buffer = aligned;
                }
                std::memset(memory.data(), 0x5A, memory.size());
                const std::int64_t got = ReadAligned(
                    [&d](std::int64_t o, void* b, std::size_t n) { return d.Read(o, b, n); }, sector, at, buffer, count);
                const std::int64_t want = Expected(d, at, count);
                ASSERT_EQ(got, want) << "sector " << sector << " at " << at << " count " << count << " whole " << wholeFails;
                if (got > 0) {
                    ASSERT_EQ(std::memcmp(buffer, d.bytes.data() + at, static_cast<std::size_t>(got)), 0) << at;
                    // Nothing is written past what was read.
                    ASSERT_EQ(buffer[got], 0x5A) << at;
                }
            }
            EXPECT_EQ(d.unaligned, 0) << "requests the device refused";
          }
        }
    }
}

TEST(ReadNarrowing, AFileReadThatFailsAsAWholeGivesTheBytesBeforeTheBadSector) {
    // A file on a disk with bad sectors: any offset, no alignment, and a
    // request that touches a bad sector fails as a whole.
    std::mt19937_64 random(7);
    TSectorDevice d{std::string(300 * 512 + 77, '\0'), 512, {3, 150, 151, 299}, SIZE_MAX, true, false};
    for (char& c : d.bytes) c = static_cast<char>(random());
    const auto read = [&d](std::int64_t o, void* b, std::size_t n) { return d.Read(o, b, n); };
    std::vector<char> buffer(d.bytes.size() + 1);
    for (int i = 0; i < 2000; ++i) {
        const auto offset = static_cast<std::int64_t>(random() % (d.bytes.size() + 100));
        const std::size_t count = random() % d.bytes.size() + 1;
        d.requests = 0;
        const std::int64_t got = ReadNarrowing(read, 512, offset, buffer.data(), count);
        ASSERT_EQ(got, Expected(d, offset, count)) << offset << " " << count;
        if (got > 0) {
            ASSERT_EQ(std::memcmp(buffer.data(), d.bytes.data() + offset, static_cast<std::size_t>(got)), 0);
        }
        // A piece at a time, then the failing piece sector by sector: never
        // the whole of a long read sector by sector.
        EXPECT_LE(d.requests, 3 + static_cast<int>(count / 65536) + 128) << offset << " " << count;
    }
}

}  // namespace
