// The cost of knowing which found files can still come back: scans one image
// alternately with and without recoverability and prints the medians.
//
//   scan_compare IMAGE [RUNS] [with|without]   (default 7 runs of each)
//
// With "with" or "without" it scans only that way (for counting
// instructions under callgrind).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/RawDevice.h"
#include "volume/Device.h"
#include "volume/Log.h"
#include "volume/Records.h"
#include "volume/Scan.h"

namespace {

struct TCounting final : deruzera::TScanSink {
    std::int64_t found = 0;
    std::int64_t overwritten = 0;
    void Line(const deruzera::TLogLine&) override {}
    void Found(const deruzera::TFoundBatch& batch) override {
        for (const deruzera::TFoundFiles& f : batch.Files) {
            ++found;
            overwritten += f.State == deruzera::TRecoverability::Partial ||
                           f.State == deruzera::TRecoverability::Overwritten;
        }
    }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: scan_compare IMAGE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    const std::string only = argc > 3 ? argv[3] : "";
    std::vector<double> with, without;
    std::int64_t found = 0, overwritten = 0;
    const std::atomic<bool> never{false};
    for (int i = 0; i < runs; ++i) {
        for (const bool recoverability : {true, false}) {
            if ((only == "with" && !recoverability) || (only == "without" && recoverability)) continue;
            deruzera::THandle device = deruzera::platform::OpenDeviceFile(argv[1]);
            if (!device) {
                std::fprintf(stderr, "cannot open %s\n", argv[1]);
                return 1;
            }
            TCounting sink;
            deruzera::TScanOptions options;
            options.Recoverability = recoverability;
            const auto start = std::chrono::steady_clock::now();
            deruzera::ScanDrive(*device, "C:", sink, never, options);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            (recoverability ? with : without).push_back(seconds);
            if (recoverability) found = sink.found, overwritten = sink.overwritten;
        }
    }
    if (!only.empty()) return 0;
    const double a = Median(with), b = Median(without);
    std::printf("%lld found, %lld partly or wholly overwritten\n", static_cast<long long>(found),
                static_cast<long long>(overwritten));
    std::printf("scan with recoverability    %.4f s (median of %d)\n", a, runs);
    std::printf("scan without recoverability %.4f s\n", b);
    std::printf("recoverability costs %.2f x   (target <= 1.25)\n", a / b);
    return 0;
}
