// Recovery of many files into one folder: the place of each file below it,
// its free name, the write, the progress and the lines.
#include "Batch.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace deruzera {
namespace {

namespace fs = std::filesystem;

// A folder entry holds 255 bytes on the file systems Linux writes to.
constexpr std::size_t MaxNameBytes = 255;
// An extension longer than this is part of the name when a name is cut.
constexpr std::size_t MaxExtensionBytes = 32;
// Numbers tried for a free name before the file is given up: far more
// copies of one name than any folder holds.
constexpr unsigned MaxNumber = 100000;
// Reports of progress come no more often than this.
constexpr auto ReportEvery = std::chrono::milliseconds(100);

std::string Reason(int error) { return std::generic_category().message(error); }

// The extension of a name: from its last "." on, where that dot doesn't
// begin the name and the rest is short.
std::size_t ExtensionAt(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > MaxExtensionBytes) return name.size();
    return dot;
}

// `text` cut to at most `bytes` bytes without splitting a character.
std::string CutAt(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// A stem and an extension put together within a folder entry's bytes,
// with `suffix` after the stem.
std::string Joined(const std::string& name, const std::string& suffix) {
    const std::size_t at = ExtensionAt(name);
    const std::string extension = name.substr(at);
    const std::size_t room = MaxNameBytes - std::min(MaxNameBytes, extension.size() + suffix.size());
    return CutAt(name.substr(0, at), room) + suffix + extension;
}

// A name from the volume as a folder entry here: safe, never empty, cut to fit.
std::string EntryName(const std::string& name) { return FitName(name.empty() ? "_" : SafeFileName(name)); }

std::string PlanReason(const TRecoveryPlan& plan) {
    switch (plan.End) {
    case TPlanEnd::OutsideMft: return "there is no such record in the MFT";
    case TPlanEnd::Unreadable: return "its MFT record can't be read";
    case TPlanEnd::NotDeleted: return "the file seems no longer listed as deleted";
    case TPlanEnd::NoContent: return "its data can't be found in its record";
    case TPlanEnd::Ready: break;
    }
    return {};
}

std::string WriteReason(const TWriteOutcome& written) {
    if (written.End == TWriteEnd::IsSource) return "the recovered file can't be written over the drive being read";
    std::string reason = "unable to write the recovered file";
    if (written.Error != 0) reason += " (" + Reason(written.Error) + ")";
    return reason;
}

}  // namespace

std::string FitName(const std::string& name) { return name.size() <= MaxNameBytes ? name : Joined(name, ""); }

std::string NumberedName(const std::string& name, unsigned number) {
    return Joined(name, " (" + std::to_string(number) + ")");
}

std::string BatchTargetPath(const std::string& drive, const std::string& filePath, const std::string& fileName) {
    std::string_view path = filePath;
    std::string target;
    if (!drive.empty() && path.substr(0, drive.size()) == drive &&
        (path.size() == drive.size() || path[drive.size()] == '\\')) {
        path.remove_prefix(drive.size());
    } else {
        // "*\a\b\": below a directory that can't be resolved; no path at all
        // (a record without a name) likewise.
        target = "Orphans/";
        if (!path.empty() && path[0] == '*') path.remove_prefix(1);
        else path = {};
    }
    while (!path.empty()) {
        const std::size_t end = std::min(path.find('\\'), path.size());
        if (end > 0) target += EntryName(std::string(path.substr(0, end))) + "/";
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    return target + EntryName(fileName);
}

TLogLine BatchFailureLine(const TBatchFileOutcome& outcome) {
    return {"Error: Unable to recover " + outcome.Source + ": " + outcome.Reason, clRed};
}

TLogLine BatchSummaryLine(const TBatchOutcome& outcome) {
    std::string text = "Recovered " + std::to_string(outcome.Written) + " of " + std::to_string(outcome.Files) +
                       " files into " + outcome.Folder;
    std::string notes;
    if (outcome.Failed > 0) notes = std::to_string(outcome.Failed) + " failed";
    if (outcome.Stopped) notes += (notes.empty() ? "" : ", ") + std::string("cancelled by user");
    if (!notes.empty()) text += " (" + notes + ")";
    return {text, outcome.Written == outcome.Files ? clGreen : clRed};
}

TLogLine RecoveryStoppedLine(bool outOfMemory) {
    return {outOfMemory ? "Error: Not enough memory to go on with the recovery"
                        : "Error: The recovery stopped on an unexpected failure",
            clRed};
}

std::string BatchProgressText(const TBatchProgress& p, const std::string& decimalSeparator) {
    const std::size_t current = std::min(p.Done + 1, p.Files);
    std::string text = "Recovering file " + std::to_string(current) + " of " + std::to_string(p.Files) + " (" +
                       SizeToText(static_cast<std::int64_t>(std::min(p.BytesDone, p.Bytes)), decimalSeparator) +
                       " of " + SizeToText(static_cast<std::int64_t>(p.Bytes), decimalSeparator) + ")";
    if (p.Failed > 0) text += ", " + std::to_string(p.Failed) + " failed";
    return text;
}

TBatchOutcome RecoverBatch(TNtfsVolume& ntfs, const std::vector<TBatchItem>& items,
                           const std::string& folder, TBatchSink& sink, const std::atomic<bool>& stop,
                           const TBatchOptions& options) {
    TDevice& device = ntfs.Device();
    const TVolume& volume = ntfs.Geometry();
    TBatchOutcome outcome;
    outcome.Folder = folder;
    outcome.Files = items.size();
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder)) {
        sink.Line({"Error: Unable to make the folder " + folder + " (" + Reason(error ? error.value() : ENOTDIR) + ")",
                   clRed});
        outcome.Refused = true;
        return outcome;
    }
    if (!options.AllowSameDevice && device.HoldsPath(folder)) {
        sink.Line({"Error: The folder " + folder +
                       " is on the drive being read; writing there could overwrite deleted files",
                   clRed});
        outcome.Refused = true;
        return outcome;
    }

    TBatchProgress progress;
    progress.Files = items.size();
    for (const TBatchItem& item : items) progress.Bytes += static_cast<std::uint64_t>(std::max<std::int64_t>(item.Size, 0));
    auto lastReport = std::chrono::steady_clock::now();
    auto report = [&](bool now) {
        const auto at = std::chrono::steady_clock::now();
        if (!now && at - lastReport < ReportEvery) return;
        lastReport = at;
        sink.Progress(progress);
    };
    sink.Progress(progress);

    for (const TBatchItem& item : items) {
        if (stop) {
            outcome.Stopped = true;
            break;
        }
        TBatchFileOutcome file;
        file.Record = item.Record;
        file.State = item.State;
        const TRecoveryPlan plan = PlanRecovery(ntfs, item.Record, item.Sequence);
        file.Source = plan.HasName ? plan.FilePath + plan.FileName : "record " + std::to_string(item.Record);
        std::uint64_t expected = static_cast<std::uint64_t>(std::max<std::int64_t>(item.Size, 0));
        const std::uint64_t before = progress.BytesDone;

        if (plan.End != TPlanEnd::Ready) {
            file.Reason = PlanReason(plan);
        } else {
            // The bitmap as it stands now tells better than the scan did.
            if (plan.State != TRecoverability::Unknown) file.State = plan.State;
            if (item.Size < 0) {
                expected = plan.Content.Size;
                progress.Bytes += expected;
            }
            const fs::path relative = BatchTargetPath(volume.CurrentDrive, plan.FilePath, plan.FileName);
            const fs::path directory = fs::path(folder) / relative.parent_path();
            const std::string name = relative.filename().string();
            fs::create_directories(directory, error);
            if (error || !fs::is_directory(directory)) {
                file.Reason = "unable to make the folder " + directory.string() + " (" +
                              Reason(error ? error.value() : ENOTDIR) + ")";
            } else {
                TWriteOptions write;
                write.Replace = false;
                if (plan.Modified != 0) write.Modified = plan.Modified;
                write.Progress = [&](std::uint64_t bytes) {
                    progress.BytesDone = before + std::min(bytes, expected);
                    report(false);
                    return !stop;
                };
                TWriteOutcome written;
                // The first free name: nothing that exists is replaced.
                for (unsigned number = 0; number <= MaxNumber; ++number) {
                    file.Target = (directory / (number == 0 ? name : NumberedName(name, number))).string();
                    written = WriteRecoveredFile(device, plan.Content, file.Target, write);
                    if (written.End != TWriteEnd::Exists && written.End != TWriteEnd::NotRegular) break;
                }
                if (written.End == TWriteEnd::Stopped) {
                    outcome.Stopped = true;
                    progress.BytesDone = before;
                    break;
                }
                if (written.End == TWriteEnd::Written) {
                    file.Written = true;
                    file.Bytes = written.Bytes;
                    file.Notes = CopyNoteLines(NotesOf(written, plan));
                } else if (written.End == TWriteEnd::Exists || written.End == TWriteEnd::NotRegular) {
                    file.Reason = "no free name for it in " + directory.string();
                } else {
                    file.Reason = WriteReason(written);
                }
            }
        }
        if (!file.Written) file.Target.clear();
        ++progress.Done;
        progress.BytesDone = before + expected;
        if (file.Written) {
            ++outcome.Written;
            outcome.Bytes += file.Bytes;
        } else {
            ++outcome.Failed;
            ++progress.Failed;
        }
        sink.FileDone(file);
        if (!file.Written) sink.Line(BatchFailureLine(file));
        // A copy that is not wholly the file's own says so, as one file's recovery does.
        for (const TLogLine& note : file.Notes) sink.Line({file.Source + ": " + note.Text, note.Colour});
        report(false);
    }
    report(true);
    sink.Line(BatchSummaryLine(outcome));
    return outcome;
}

}  // namespace deruzera
