// The scan, then the content plan and the write of every file it found,
// over a mutated volume image. For each file: the plan's content read
// through ReadFileContent adds up to the plan's size; the write leaves the
// one target and nothing beside it, with the record's modification time
// where the disk holds it; and no more bytes reach the disk than the device
// holds (a run list that names the same clusters again and again must not
// turn a small volume into a large file).
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "ImageMutator.h"
#include "ScanSink.h"
#include "platform/Target.h"

using namespace deruzera;
namespace fs = std::filesystem;

namespace {

// Block rounding at the edges of holes: allocated space may pass the data
// written by this much.
constexpr std::uint64_t Slack = 1 << 20;

// The directory the files are written to: made for each input and removed
// after it (libFuzzer may end the run without running atexit handlers).
const fs::path& Scratch() {
    static const fs::path dir = fs::temp_directory_path() / ("deruzera-fuzz-recover-" + std::to_string(::getpid()));
    return dir;
}

void Recover(TNtfsVolume& volume, std::int64_t record, std::optional<std::uint16_t> sequence) {
    TDevice& device = volume.Device();
    const TRecoveryPlan plan = PlanRecovery(volume, record, sequence);
    FUZZ_CHECK(fuzz::IsUtf8(plan.FileName) && fuzz::IsUtf8(plan.FilePath));
    for (const TLogLine& line : PlanLines(plan)) FUZZ_CHECK(!line.Text.empty());
    if (plan.End != TPlanEnd::Ready) return;

    const std::uint64_t deviceSize = static_cast<std::uint64_t>(device.Size());
    std::uint64_t total = 0;
    std::uint64_t stored = 0;
    ReadFileContent(device, plan.Content, [&](const std::uint8_t* bytes, std::uint64_t count) {
        FUZZ_CHECK(count > 0 || plan.Content.Resident);
        total += count;
        if (bytes) stored += count;
    });
    FUZZ_CHECK(total == plan.Content.Size, std::to_string(total) + " != " + std::to_string(plan.Content.Size));
    if (!plan.Content.Resident) FUZZ_CHECK(stored <= deviceSize, std::to_string(stored) + " bytes of data");

    // The proposed name stays in the directory it is written to.
    std::string name = SafeFileName(plan.FileName);
    FUZZ_CHECK(name.find('/') == std::string::npos && name != "." && name != "..", name);
    // A record with no name gets one here, as a user would give it: an
    // empty one would name the scratch directory itself.
    if (name.empty()) name = "unnamed";
    const fs::path target = Scratch() / name;
    TWriteOptions options;
    if (plan.Modified != 0) options.Modified = plan.Modified;
    const TWriteOutcome written =
        WriteRecoveredFile(device, plan.Content, platform::LocalFileSystem(), target.string(), options);
    for (const TLogLine& line : WriteLines(written, target.string(), NotesOf(written, plan))) FUZZ_CHECK(!line.Text.empty());
    std::error_code error;
    std::size_t entries = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(Scratch())) {
        ++entries;
        FUZZ_CHECK(entry.path() == target && written.End == TWriteEnd::Written, entry.path().string());
    }
    if (written.End == TWriteEnd::Written) {
        FUZZ_CHECK(entries == 1);
        FUZZ_CHECK(written.Bytes == plan.Content.Size);
        FUZZ_CHECK(fs::file_size(target) == plan.Content.Size);
        struct stat st {};
        FUZZ_CHECK(::stat(target.c_str(), &st) == 0);
        const auto allocated = static_cast<std::uint64_t>(st.st_blocks) * 512;
        FUZZ_CHECK(allocated <= deviceSize + Slack, std::to_string(allocated) + " bytes on disk");
        // NTFS counts from 1601 in 100 ns units: the second of the record, or
        // the time of the write where the disk can't hold that one.
        const std::int64_t second = static_cast<std::int64_t>(plan.Modified / 10000000) - 11644473600;
        if (written.TimeSet) FUZZ_CHECK(st.st_mtim.tv_sec == second, std::to_string(st.st_mtim.tv_sec));
        else FUZZ_CHECK(st.st_mtim.tv_sec > 1600000000, std::to_string(st.st_mtim.tv_sec));
    }
    fs::remove(target, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fs::create_directories(Scratch());
    auto device = std::make_unique<fuzz::FailingDevice>(data, size);
    fuzz::CheckingSink sink;
    sink.AbortFrom(data, size);
    const TScanOutcome outcome = ScanDrive(*device, "C:", sink, sink.abort);
    sink.CheckEnd(outcome);
    for (const fuzz::CheckingSink::FoundFile& file : sink.found) {
        Recover(*outcome.Volume, file.Record, file.Sequence);
    }
    // A record the scan did not list is refused or planned, never more.
    if (outcome.End == TScanEnd::Completed) {
        for (const std::int64_t n : {std::int64_t{0}, std::int64_t{5}, outcome.Volume->Geometry().RecordCount, std::int64_t{-1}})
            Recover(*outcome.Volume, n, std::nullopt);
    }
    std::error_code ignored;
    fs::remove_all(Scratch(), ignored);
    return 0;
}
