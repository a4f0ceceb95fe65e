// The whole scan over a mutated volume image: every name and path of every
// file found is put together and checked. The image may also ask for bad
// sectors and for an abort (FailingDevice, CheckingSink::AbortFrom). The
// run's time is bounded by libFuzzer's -timeout; its memory by -rss_limit_mb
// and -malloc_limit_mb.
#include "ImageMutator.h"
#include "ScanSink.h"

using namespace deruzera;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto device = std::make_unique<fuzz::FailingDevice>(data, size);
    fuzz::CheckingSink sink;
    sink.AbortFrom(data, size);
    const TScanOutcome outcome = ScanDrive(*device, "C:", sink, sink.abort);
    sink.CheckEnd(outcome);
    FUZZ_CHECK(outcome.End != TScanEnd::OutOfMemory);
    return 0;
}
