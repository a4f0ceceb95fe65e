// The library scan through sources: opens each SOURCE as the companion will
// (OpenVolume: container, table, volume) and scans it, the sources in turn
// for RUNS rounds so that all meet the same moments of a busy machine;
// prints each one's median seconds and its ratio to the first.
//
//   source_scan RUNS SOURCE...
//   source_scan --read BYTES RUNS PASSWORD SOURCE
//
// A SOURCE "xts128:IMAGE" or "cbc128:IMAGE" is IMAGE at the cost of
// decrypting every read as BitLocker's AES-XTS or AES-CBC would.
//
// The second form reads BYTES through a BitLocker volume unlocked with
// PASSWORD (cycling over it where it is smaller), in the scan's 256 KiB
// pieces, and prints the seconds: what decrypting that much costs.
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <memory>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/BdeCrypt.h"
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

// The bare image read as a BitLocker volume costs to read: each read
// decrypts what it reads (with a key of no volume, into a buffer of its
// own) before it hands over the image's bytes. The scan through it then
// pays BitLocker's decryption where a real one would, on its read-ahead
// thread, beside the walk: no tool here writes a BitLocker volume around
// the bench volume.
class TDecryptingCost final : public TDevice {
public:
    TDecryptingCost(std::shared_ptr<TDevice> plain, bde::TMethod method) : plain_(std::move(plain)) {
        std::array<std::uint8_t, 64> key{};
        for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 11);
        cipher_ = std::make_unique<bde::TSectorCipher>(method, 512, key.data(), key.size());
    }
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t n = plain_->ReadAt(offset, buffer, count);
        const std::size_t sectors = n > 0 && offset % 512 == 0 ? static_cast<std::size_t>(n) / 512 : 0;
        if (sectors > 0) {
            // As the BitLocker device's own reads take theirs: not cleared.
            const std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[sectors * 512]);
            if (!cipher_->Decrypt(offset, static_cast<const std::uint8_t*>(buffer), scratch.get(), sectors)) return -EIO;
        }
        return n;
    }
    std::int64_t Size() const override { return plain_->Size(); }

private:
    std::shared_ptr<TDevice> plain_;
    std::unique_ptr<bde::TSectorCipher> cipher_;
};

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
        std::fprintf(stderr, "usage: source_scan RUNS SOURCE...   (SOURCE may be xts128:IMAGE or cbc128:IMAGE)\n"
                             "       source_scan --read BYTES RUNS PASSWORD SOURCE\n");
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
            // "xts128:IMAGE", "cbc128:IMAGE": the image at the cost of
            // decrypting every read (above).
            const std::size_t colon = sources[i].find(':');
            const std::string kind = colon == std::string::npos ? std::string() : sources[i].substr(0, colon);
            const bool decrypting = kind == "xts128" || kind == "cbc128";
            TOpenVolume volume = OpenVolume(decrypting ? sources[i].substr(colon + 1) : sources[i], {});
            if (decrypting && volume.Device)
                volume.Device = std::make_shared<TDecryptingCost>(
                    volume.Device, kind == "xts128" ? bde::TMethod::Aes128Xts : bde::TMethod::Aes128Cbc);
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
