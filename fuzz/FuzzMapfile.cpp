// The ddrescue map: the input is its text. Checks that a map that reads
// describes stretches in order, without gaps or overlaps, that its rescued
// stretches lie inside them, and that a device over it hands out bytes only
// from rescued stretches, with short reads up to the others.
#include <cerrno>
#include <cstring>
#include <string_view>

#include "FuzzSupport.h"
#include "volume/Mapfile.h"
#include "volume/Stack.h"

using namespace deruzera;

namespace {

// The device behind the map: small, so that most maps reach past it.
constexpr std::size_t ImageBytes = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TRescueMap map = ParseMapfile(text);
    if (map.End != TMapEnd::Read) {
        FUZZ_CHECK(map.Blocks.empty() && map.Rescued.empty());
        FUZZ_CHECK(map.End == TMapEnd::NoStatus || map.Line >= 1);
        return 0;
    }
    std::int64_t rescued = 0;
    for (std::size_t i = 0; i < map.Blocks.size(); ++i) {
        const TMapBlock& b = map.Blocks[i];
        FUZZ_CHECK(b.Position >= 0 && b.Size > 0);
        FUZZ_CHECK(i == 0 || b.Position == map.Blocks[i - 1].Position + map.Blocks[i - 1].Size);
        if (b.Rescued()) rescued += b.Size;
    }
    std::int64_t joined = 0;
    for (std::size_t i = 0; i < map.Rescued.size(); ++i) {
        const auto& [from, to] = map.Rescued[i];
        FUZZ_CHECK(from < to);
        FUZZ_CHECK(i == 0 || from > map.Rescued[i - 1].second, "adjacent stretches are joined");
        FUZZ_CHECK(from >= map.Blocks.front().Position && to <= map.Extent());
        joined += to - from;
    }
    FUZZ_CHECK(joined == rescued);
    FUZZ_CHECK(map.UnrescuedBytes() + rescued == map.Extent() - (map.Blocks.empty() ? 0 : map.Blocks.front().Position));

    std::string image(ImageBytes, '\x5A');
    const auto device = RescuedDevice(MemoryDevice(image), map);
    auto isRescued = [&](std::int64_t at) {
        for (const auto& [from, to] : map.Rescued)
            if (from <= at && at < to) return true;
        return false;
    };
    char buffer[4096];
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(ImageBytes); at += 1531) {
        const std::int64_t n = device->ReadAt(at, buffer, sizeof buffer);
        if (n == -EIO) {
            FUZZ_CHECK(!isRescued(at), std::to_string(at));
            continue;
        }
        FUZZ_CHECK(n > 0 && n <= static_cast<std::int64_t>(sizeof buffer), std::to_string(n));
        FUZZ_CHECK(isRescued(at) && isRescued(at + n - 1), std::to_string(at));
        // Short only where a stretch that was not rescued, or the end, follows.
        if (n < static_cast<std::int64_t>(sizeof buffer) && at + n < static_cast<std::int64_t>(ImageBytes))
            FUZZ_CHECK(!isRescued(at + n), std::to_string(at + n));
    }
    return 0;
}
