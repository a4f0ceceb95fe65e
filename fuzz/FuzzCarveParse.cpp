// Each carver's structure parser on its own: the first byte picks the
// family (or, past them, the deflate decoder), the rest is the stretch it
// follows from its first byte. A hit stays inside the stretch; a parser that
// reads past it, loops or grows without bound is a finding.
#include <atomic>

#include "FuzzSupport.h"
#include "volume/CarveFormats.h"

using namespace deruzera;
using namespace deruzera::carve;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t pick = data[0] % (CarveFormatCount + 1);
    const auto device = fuzz::DeviceOver(data + 1, size - 1);
    std::atomic<bool> abort{false};
    TCarveReader reader(*device, abort);
    reader.Bound(static_cast<std::int64_t>(size - 1));
    reader.Fences(512, 0, (1u << CarveFormatCount) - 1);
    reader.Begin(0);
    if (pick == CarveFormatCount) {
        const TInflateEnd end = Inflate(reader, 0);
        FUZZ_CHECK(end.End >= 0 && end.End <= static_cast<std::int64_t>(size - 1));
        return 0;
    }
    const auto format = static_cast<TCarveFormat>(pick);
    const std::optional<TCarveHit> hit = Follow(format, reader, 0);
    if (hit) {
        FUZZ_CHECK(hit->Length > 0 && hit->Length <= size - 1, std::to_string(hit->Length));
        FUZZ_CHECK(hit->Reach <= size - 1);
        FUZZ_CHECK(hit->Extension && hit->Extension[0]);
    }
    return 0;
}
