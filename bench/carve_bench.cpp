// carve_bench IMAGE [OUTDIR]: carves the free clusters of the NTFS volume in
// IMAGE (the whole image where it holds none) and prints what it found:
// "files N complete N bytes N seconds S". With OUTDIR, every file found is
// also written there through the writer every recovery uses, as PhotoRec
// writes what it finds.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/RawDevice.h"
#include "platform/Target.h"
#include "volume/Carve.h"
#include "volume/Device.h"
#include "volume/Mft.h"
#include "volume/Records.h"
#include "volume/Recover.h"

using namespace deruzera;

namespace {

class Sink final : public TCarveSink {
public:
    Sink(TDevice& device, const char* out) : device_(device), out_(out) {}
    void Found(std::span<const TCarvedFile> batch) override {
        for (const TCarvedFile& f : batch) {
            ++files;
            complete += f.Complete;
            bytes += f.Length;
            if (out_) WriteRecoveredFile(device_, CarvedContent(f), platform::LocalFileSystem(), std::string(out_) + "/" + CarvedName(f));
        }
    }
    std::uint64_t files = 0, complete = 0, bytes = 0;

private:
    TDevice& device_;
    const char* out_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: carve_bench IMAGE [OUTDIR]\n");
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    THandle device = platform::OpenDeviceFile(argv[1]);
    if (!device) {
        std::fprintf(stderr, "can't open %s\n", argv[1]);
        return 1;
    }
    TVolume volume;
    TOpenFailure failure;
    std::vector<TByteRange> ranges{{0, UINT64_MAX}};
    TCarveOptions options;
    if (LoadVolume(*device, "C:", volume, nullptr, failure) == TScanEnd::Completed) {
        ranges = FreeClusterRanges(*device, volume);
        options.Alignment = volume.BytesPerCluster;
    }
    const char* out = argc > 2 ? argv[2] : nullptr;
    if (out) std::filesystem::create_directories(out);
    Sink sink(*device, out);
    std::atomic<bool> abort{false};
    const TCarveOutcome outcome = CarveRanges(*device, ranges, sink, abort, options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("files %llu complete %llu bytes %llu read %llu seconds %.3f\n",
                static_cast<unsigned long long>(sink.files), static_cast<unsigned long long>(sink.complete),
                static_cast<unsigned long long>(sink.bytes), static_cast<unsigned long long>(outcome.BytesDone), seconds);
    return outcome.End == TCarveEnd::Completed ? 0 : 1;
}
