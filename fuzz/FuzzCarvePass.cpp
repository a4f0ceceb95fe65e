// The carving pass over a device in memory: the first byte picks the
// alignment, the device may fail a stretch (FailingDevice) and the sink may
// stop the pass. The files reported come in order, never overlap, stay on the
// device, and the counts and the progress agree with them.
#include <atomic>

#include "FuzzSupport.h"
#include "volume/Carve.h"

using namespace deruzera;

namespace {

class CheckingCarveSink final : public TCarveSink {
public:
    std::uint64_t size = 0;
    std::uint64_t found = 0;
    std::uint64_t lastDone = 0;
    std::int64_t nextFree = 0;  // no file may begin before the end of the one before
    std::uint64_t stopAfter = 0;  // 0: never
    std::atomic<bool> abort{false};

    void Progress(std::uint64_t done, std::uint64_t total, std::uint64_t count) override {
        FUZZ_CHECK(done >= lastDone && done <= total && total <= size);
        FUZZ_CHECK(count == found);
        lastDone = done;
    }
    void Found(std::span<const TCarvedFile> batch) override {
        for (const TCarvedFile& f : batch) {
            FUZZ_CHECK(f.SourceOffset >= nextFree, std::to_string(f.SourceOffset));
            FUZZ_CHECK(f.Length > 0 && f.Length <= size && static_cast<std::uint64_t>(f.SourceOffset) <= size - f.Length);
            FUZZ_CHECK(f.Ranges.size() == 1 && f.Ranges[0].Offset == f.SourceOffset && f.Ranges[0].Length == f.Length);
            FUZZ_CHECK(CarvedContent(f).Size == f.Length);
            nextFree = f.SourceOffset + static_cast<std::int64_t>(f.Length);
            ++found;
            if (stopAfter && found >= stopAfter) abort = true;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    static constexpr std::uint32_t Alignments[] = {512, 512, 4096, 1, 2048, 512, 65536, 512};
    TCarveOptions options;
    options.Alignment = Alignments[data[0] & 7];
    CheckingCarveSink sink;
    sink.size = size;
    sink.stopAfter = (data[0] >> 3) & 3;
    fuzz::FailingDevice device(data + 1, size - 1);  // fails a stretch where data[1] is odd
    sink.size = size - 1;
    const TCarveOutcome outcome = CarveRanges(device, {{0, UINT64_MAX}}, sink, sink.abort, options);
    FUZZ_CHECK(outcome.FoundCount == sink.found);
    FUZZ_CHECK(outcome.BytesDone <= size - 1);
    if (outcome.End == TCarveEnd::Completed) FUZZ_CHECK(outcome.BytesDone == size - 1);
    return 0;
}
