// The deep scan over a device in memory (FailingDevice: a stretch may fail,
// reads may come short): records found anywhere, grouped into volumes whose
// geometry they suggest, listed and planned. Whatever the bytes, it ends;
// what it lists is counted as it says; every plan it makes for a listed file
// gives the size it was listed with.
#include <atomic>

#include "FuzzSupport.h"
#include "volume/Pass.h"

using namespace deruzera;

namespace {

struct CountingSink final : TPassSink {
    std::uint64_t files = 0;
    std::uint64_t lastDone = 0;
    void Line(const TLogLine& line) override { FUZZ_CHECK(!line.Text.empty()); }
    void Found(const TFoundBatch& batch) override {
        FUZZ_CHECK(batch.Places != nullptr);
        for (std::size_t i = 0; i < batch.Files.size(); ++i) FUZZ_CHECK(batch.Places[i].By == TFoundBy::Deep);
        files += batch.Files.size();
    }
    void PassProgress(const TPassProgress& p) override {
        FUZZ_CHECK(p.Done >= lastDone && (p.Total == 0 || p.Done <= p.Total));
        lastDone = p.Done;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    auto device = std::make_shared<fuzz::FailingDevice>(data, size);
    CountingSink sink;
    const std::atomic<bool> never{false};
    TPassOptions options;
    options.Deep = true;
    const TPassOutcome outcome = ScanSource(device, "C:", sink, never, options);
    if (outcome.End == TScanEnd::OutOfMemory || outcome.End == TScanEnd::Failed) return 0;
    FUZZ_CHECK(outcome.DeepFiles == sink.files, std::to_string(outcome.DeepFiles));
    FUZZ_CHECK(outcome.Results && outcome.Results->Files.size() == sink.files);
    // A plan gives the file as listed: the record read again is the one found.
    for (std::size_t i = 0; i < outcome.Results->Files.size() && i < 64; ++i) {
        const TRecoveryPlan plan = outcome.Results->Plan(i);
        if (plan.End != TPlanEnd::Ready) continue;
        FUZZ_CHECK(plan.Content.Size == static_cast<std::uint64_t>(outcome.Results->Files[i].FileSize),
                   std::to_string(plan.Content.Size));
    }
    return 0;
}
