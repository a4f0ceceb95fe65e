// Recovery of one file by its record number: a plan checked from the record
// (still a deleted file, its name, path and content), then the write to a
// target through a temporary file, holes kept.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <climits>
#include <random>

#include "Attributes.h"
#include "Bitmap.h"
#include "Fixup.h"
#include "Layout.h"
#include "Messages.h"
#include "Mft.h"
#include "Scan.h"
#include "Volume.h"
#include "Recover.h"
#include "Runs.h"
#include "Times.h"

namespace deruzera {
namespace {

namespace fs = std::filesystem;

// Writes the content into `out` from its start; holes are skipped with a
// seek and the length set at the end. False on any failure, or when
// `progress` says stop (`stopped`); `error` gets the errno of a failure.
bool WriteContent(TDevice& device, const TFileContent& content, std::FILE* out, const fs::path& path,
                  const std::function<bool(std::uint64_t)>& progress, std::uint64_t& written,
                  std::uint64_t& badUnits, bool& stopped, int& error) {
    bool ok = true;
    written = 0;
    badUnits = ReadFileContent(device, content, [&](const std::uint8_t* bytes, std::uint64_t count) {
        if (!ok) return;
        if (bytes == nullptr) {
            // A hole stays a hole: the file system fills it with zeros.
            for (std::uint64_t left = count; ok && left > 0;) {
                const std::uint64_t step = std::min<std::uint64_t>(left, LONG_MAX);
                ok = std::fseek(out, static_cast<long>(step), SEEK_CUR) == 0;
                left -= step;
            }
        } else {
            ok = std::fwrite(bytes, 1, static_cast<std::size_t>(count), out) == count;
        }
        if (!ok) error = errno;
        if (ok) written += count;
        if (ok && progress && !progress(written)) ok = !(stopped = true);
    }).BadUnits;
    if (ok && std::fflush(out) != 0) {
        ok = false;
        error = errno;
    }
    std::error_code failure;
    // A file that ends in a hole gets its full length.
    if (ok && fs::file_size(path, failure) != written) fs::resize_file(path, written, failure);
    if (failure) error = failure.value();
    return ok && !failure;
}

void SetModifiedTime(const fs::path& path, std::uint64_t fileTime) {
    using namespace std::chrono;
    // NTFS counts 100 ns units; the local disk keeps them all.
    const std::int64_t seconds = TLocalTimes::UnixSeconds(fileTime);
    const sys_time<nanoseconds> at{std::chrono::seconds{seconds} + nanoseconds{(fileTime % 10000000) * 100}};
    std::error_code ignored;
    fs::last_write_time(path, file_clock::from_sys(at), ignored);
}

}  // namespace

std::string SafeFileName(const std::string& name) {
    std::string safe = name;
    for (char& c : safe) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (safe == "." || safe == "..") safe.assign(safe.size(), '_');
    return safe;
}

TRecoveryPlan PlanRecovery(TNtfsVolume& ntfs, std::int64_t record, std::optional<std::uint16_t> sequence) {
    TDevice& device = ntfs.Device();
    const TVolume& volume = ntfs.Geometry();
    TRecoveryPlan plan;
    plan.Record = record;
    if (record < 0 || (volume.RecordCount > 0 && record >= volume.RecordCount) || FileRecordOffset(volume, record) < 0) {
        plan.End = TPlanEnd::OutsideMft;
        plan.What = "no record " + std::to_string(record) + " in the MFT";
        return plan;
    }
    TDynamicCharArray bytes;
    if ((plan.Error = ReadFileRecord(device, volume, record, bytes)) != 0) {
        plan.End = TPlanEnd::Unreadable;
        return plan;
    }
    try {
        FixupRecord(bytes);
    } catch (const ERecordError& e) {
        plan.End = TPlanEnd::Unreadable;
        plan.What = e.what();
        return plan;
    }
    // Still the deleted file that was found: not in use, no directory, a
    // base record, and the same use of the record where that is known.
    if (ReadU16(bytes, RecordHeader::Flags) != 0 || ReadU64(bytes, RecordHeader::BaseRecord) != 0 ||
        (sequence && ReadU16(bytes, RecordHeader::Sequence) != *sequence)) {
        plan.End = TPlanEnd::NotDeleted;
        return plan;
    }
    // Attributes that spilled into extension records: read from each one
    // that still names this record as its base.
    const TExtensionFetch fetch = FetchFromDevice(device, volume, record, ReadU16(bytes, RecordHeader::Sequence));
    TDynamicCharArray extensionName;
    TBytes fileName = FileNameAttribute(bytes);
    if (fileName.empty()) fileName = NameOfRecord(bytes, ReadAttributeList(bytes, &device, volume), fetch, extensionName);
    if (!fileName.empty()) {
        plan.HasName = true;
        plan.FileName = FileNameOf(fileName);
        plan.FilePath = ntfs.DirectoryPath(RecordNumberOf(ParentReferenceOf(fileName))) + "\\";
    }
    const TBytes si = FindAttributeView(bytes, AttrStandardInformation, false);
    plan.Created = ReadU64(si, StandardInformation::Created);
    plan.Modified = ReadU64(si, StandardInformation::Modified);
    try {
        const TDataStream stream = StreamOfRecord(bytes, record, volume, &device, fetch);
        if (!stream.Found) throw ERecordError("no $DATA attribute");
        plan.Content = PlanContent(stream, volume);
        plan.Compressed = stream.Compressed();
        plan.Encrypted = (stream.Flags & AttrEncrypted) != 0 ||
                         (ReadU32(si, StandardInformation::FileFlags) & FileAttributeEncrypted) != 0;
        plan.Content.Encrypted = plan.Encrypted;
        if (TClusterBitmap* bitmap = ntfs.Bitmap()) {
            plan.OverwrittenBytes = OverwrittenBytes(stream, *bitmap, volume.BytesPerCluster, plan.StoredBytes);
            plan.State = StateOf(plan.OverwrittenBytes, plan.StoredBytes);
        }
    } catch (const ERecordError& e) {
        plan.End = TPlanEnd::NoContent;
        plan.What = e.what();
    }
    return plan;
}

TWriteOutcome WriteRecoveredFile(TDevice& device, const TFileContent& content, const std::string& target,
                                 const TWriteOptions& options) {
    TWriteOutcome outcome;
    const fs::path targetPath(target);
    if (target.empty() || targetPath.filename().empty()) return outcome;
    if (device.IsSource(target)) {
        outcome.End = TWriteEnd::IsSource;
        return outcome;
    }
    std::error_code error;
    const fs::file_status status = fs::status(targetPath, error);
    const bool exists = fs::exists(fs::symlink_status(targetPath, error));
    if (exists && fs::exists(status) && !fs::is_regular_file(status)) {
        outcome.End = TWriteEnd::NotRegular;
        return outcome;
    }
    if (exists && !options.Replace) {
        outcome.End = TWriteEnd::Exists;
        return outcome;
    }

    // Without replacing, the file is created only where nothing exists; with,
    // a temporary file beside the target is renamed over it once complete.
    fs::path writing = targetPath;
    if (options.Replace) {
        std::random_device random;
        writing = targetPath.parent_path() /
                  ("." + targetPath.filename().string() + "." + std::to_string(random()) + ".deruzera-tmp");
    }
    std::FILE* out = std::fopen(writing.c_str(), "wbx");
    if (out == nullptr) {
        outcome.Error = errno;
        outcome.End = !options.Replace && fs::exists(fs::symlink_status(targetPath, error)) ? TWriteEnd::Exists
                                                                                              : TWriteEnd::Failed;
        return outcome;
    }
    std::uint64_t written = 0;
    std::uint64_t badUnits = 0;
    bool stopped = false;
    bool ok =
        WriteContent(device, content, out, writing, options.Progress, written, badUnits, stopped, outcome.Error);
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        outcome.Error = errno;
    }
    if (ok && options.Modified) SetModifiedTime(writing, *options.Modified);
    if (ok && options.Replace) {
        fs::rename(writing, targetPath, error);
        ok = !error;
        if (error) outcome.Error = error.value();
    }
    if (!ok) {
        fs::remove(writing, error);
        if (stopped) outcome.End = TWriteEnd::Stopped;
        return outcome;
    }
    outcome.End = TWriteEnd::Written;
    outcome.Bytes = written;
    outcome.BadUnits = badUnits;
    return outcome;
}

TCopyNotes NotesOf(const TWriteOutcome& written, const TRecoveryPlan& plan) {
    TCopyNotes notes;
    notes.Encrypted = plan.Encrypted;
    notes.BadUnits = written.BadUnits;
    notes.MissingBytes = plan.Content.MissingBytes;
    notes.State = plan.State;
    notes.OverwrittenBytes = plan.OverwrittenBytes;
    notes.StoredBytes = plan.StoredBytes;
    return notes;
}

namespace {

// The recovery after "Preparing for recovery", on an open volume.
TRecoveryOutcome RecoverOnVolume(TNtfsVolume& volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                                 TRecoveryHost& host) {
    TRecoveryOutcome outcome;
    const TRecoveryPlan plan = PlanRecovery(volume, record, sequence);
    for (const TLogLine& line : PlanLines(plan)) host.Line(line);
    outcome.Plan = plan.End;
    if (plan.End != TPlanEnd::Ready) {
        outcome.End = TRecoveryEnd::PlanFailed;
        return outcome;
    }
    outcome.End = TRecoveryEnd::Cancelled;
    // Other files' data where this one's was: asked before anything else.
    if (plan.State == TRecoverability::Partial || plan.State == TRecoverability::Overwritten) {
        if (!host.ConfirmOverwritten(OverwrittenQuestion(plan))) {
            host.Line(CancelledLine());
            return outcome;
        }
        host.Line(OverwrittenAnswerLine(plan));
    }

    const std::optional<std::string> target = host.AskTargetPath(SafeFileName(plan.FileName), plan);
    if (!target) {
        host.Line(CancelledLine());
        return outcome;
    }
    outcome.Target = *target;
    TDevice& device = volume.Device();
    // Writing onto the drive being read may destroy what is still to recover.
    if (device.HoldsPath(*target) && !device.IsSource(*target)) {
        if (!host.ConfirmSameDevice(SameDeviceQuestion())) {
            host.Line(CancelledLine());
            return outcome;
        }
        host.Line(SameDeviceAnswerLine());
    }
    outcome.Write = WriteRecoveredFile(device, plan.Content, *target);
    outcome.Notes = NotesOf(outcome.Write, plan);
    for (const TLogLine& line : WriteLines(outcome.Write, *target, outcome.Notes)) host.Line(line);
    outcome.End = outcome.Write.End != TWriteEnd::Written ? TRecoveryEnd::WriteFailed
                  : outcome.Notes.Whole()                  ? TRecoveryEnd::Recovered
                                                          : TRecoveryEnd::RecoveredInPart;
    return outcome;
}

}  // namespace

TRecoveryOutcome RecoverFile(TNtfsVolume* volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                             TRecoveryHost& host) {
    host.Line(PreparingRecoveryLine());
    if (volume == nullptr || !volume->SharedDevice()) {
        for (const TLogLine& line : OpenFailedLines({})) host.Line(line);
        return {};
    }
    return RecoverOnVolume(*volume, record, sequence, host);
}

std::shared_ptr<TNtfsVolume> OpenDriveVolume(const std::string& drive, const TDeviceOpener& open, TLogSink& log,
                                             TRecoveryEnd* end) {
    TDeviceAccess access;
    if (open) access = open(drive);
    if (!access.Device) {
        if (end) *end = TRecoveryEnd::NoDevice;
        for (const TLogLine& line : OpenFailedLines(access)) log.Line(line);
        return nullptr;
    }
    TOpenFailure failure;
    std::shared_ptr<TNtfsVolume> volume = TNtfsVolume::Open(access.Device, drive, nullptr, failure);
    if (volume) return volume;
    if (end) *end = TRecoveryEnd::NoVolume;
    // As a scan of the drive would end; NTFS with sizes no volume can have
    // is still named NTFS first.
    if (failure.End == TScanEnd::UnsupportedGeometry) log.Line(NtfsDiskLine());
    TScanOutcome ended;
    ended.End = failure.End;
    ended.What = failure.What;
    ended.Offset = failure.Offset;
    ended.Error = failure.Error;
    for (const TLogLine& line : ScanEndLines(ended)) log.Line(line);
    return nullptr;
}

TRecoveryOutcome RecoverRecord(const std::string& drive, const TDeviceOpener& open, std::int64_t record,
                               TRecoveryHost& host) {
    host.Line(PreparingRecoveryLine());
    TRecoveryOutcome outcome;
    const std::shared_ptr<TNtfsVolume> volume = OpenDriveVolume(drive, open, host, &outcome.End);
    if (!volume) return outcome;
    return RecoverOnVolume(*volume, record, std::nullopt, host);
}

}  // namespace deruzera
