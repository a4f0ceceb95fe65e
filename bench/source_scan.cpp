// The library scan through sources: opens each SOURCE as the companion will
// (OpenVolume: container, table, volume) and scans it, the sources in turn
// for RUNS rounds so that all meet the same moments of a busy machine;
// prints each one's median seconds and its ratio to the first.
//
//   source_scan RUNS SOURCE...
//   source_scan --read BYTES RUNS PASSWORD SOURCE
//
// The second form reads BYTES through a BitLocker volume unlocked with
// PASSWORD (cycling over it where it is smaller), in the scan's 256 KiB
// pieces, and prints the seconds: what decrypting that much costs.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Sources.h"
#include "volume/Scan.h"

using namespace deruzera;
using namespace deruzera::platform;

namespace {

struct TCounting final : TScanSink {
    std::int64_t found = 0;
    void Line(const TLogLine&) override {}
    void Found(const TFoundBatch& batch) override { found += static_cast<std::int64_t>(batch.Files.size()); }
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

int Read(std::int64_t bytes, int runs, const std::string& password, const std::string& source) {
    TSourceOptions options;
    options.Keys.Password = password;
    const TOpenVolume volume = OpenVolume(source, {}, options);
    if (!volume.Device) {
        for (const TLogLine& line : SourceFailureLines(volume.Failure)) std::fprintf(stderr, "%s\n", line.Text.c_str());
        return 1;
    }
    std::vector<std::uint8_t> buffer(256 * 1024);
    const std::int64_t size = volume.Device->Size() / static_cast<std::int64_t>(buffer.size()) *
                              static_cast<std::int64_t>(buffer.size());
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (std::int64_t done = 0; done < bytes; done += static_cast<std::int64_t>(buffer.size()))
            if (volume.Device->ReadAt(done % size, buffer.data(), buffer.size()) <= 0) return 1;
        times.push_back(Seconds(start));
    }
    std::printf("%.4f\n", Median(times));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::string(argv[1]) == "--read") return Read(std::atoll(argv[2]), std::atoi(argv[3]), argv[4], argv[5]);
    if (argc < 3) {
        std::fprintf(stderr, "usage: source_scan RUNS SOURCE...\n       source_scan --read BYTES RUNS PASSWORD SOURCE\n");
        return 2;
    }
    const int runs = std::max(1, std::atoi(argv[1]));
    const std::vector<std::string> sources(argv + 2, argv + argc);
    std::vector<std::vector<double>> times(sources.size());
    std::vector<std::int64_t> found(sources.size());
    const std::atomic<bool> never{false};
    for (int r = 0; r < runs; ++r) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            const auto start = std::chrono::steady_clock::now();
            const TOpenVolume volume = OpenVolume(sources[i], {});
            if (!volume.Device) {
                for (const TLogLine& line : SourceFailureLines(volume.Failure))
                    std::fprintf(stderr, "%s: %s\n", sources[i].c_str(), line.Text.c_str());
                return 1;
            }
            TCounting sink;
            const TScanOutcome outcome = ScanDrive(*volume.Device, "C:", sink, never);
            times[i].push_back(Seconds(start));
            found[i] = sink.found;
            if (outcome.End != TScanEnd::Completed) {
                std::fprintf(stderr, "%s: the scan did not complete\n", sources[i].c_str());
                return 1;
            }
        }
    }
    const double first = Median(times[0]);
    for (std::size_t i = 0; i < sources.size(); ++i)
        std::printf("%-48s %8.3f s %6.2f x  %lld files\n", sources[i].c_str(), Median(times[i]), Median(times[i]) / first,
                    static_cast<long long>(found[i]));
    return 0;
}
