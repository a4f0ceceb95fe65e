// Every line the log shows for a scan or a recovery, by what happened. The
// window and the companion show exactly these.
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "Batch.h"
#include "LocalPath.h"
#include "Messages.h"
#include "Pass.h"
#include "Scan.h"
#include "SizeText.h"
#include "Times.h"

namespace deruzera {
namespace {

std::string Reason(int error) { return FailureText(error); }

// The first line of a message, without a closing full stop.
std::string FirstLine(std::string text) {
    const auto eol = text.find_first_of("\r\n");
    if (eol != std::string::npos) text.resize(eol);
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text;
}

bool IsNoSuchDevice(int error) {
    return error == static_cast<int>(std::errc::no_such_file_or_directory) ||
           error == static_cast<int>(std::errc::not_a_directory) ||
           error == static_cast<int>(std::errc::no_such_device_or_address) ||
           error == static_cast<int>(std::errc::no_such_device);
}

constexpr const char* Service = "the disk service udisks2";

// Damaged MFT records a scan must meet before it says the volume is mostly
// damaged: a small volume's few records say too little.
constexpr std::int64_t MinDamagedToSay = 8;

}  // namespace

std::string FailureText(int error) {
    if (error == ForeignLinkError) return "a symbolic link of another user on the way is not followed";
    return std::generic_category().message(error);
}

std::string CountText(std::int64_t count) { return "Found " + std::to_string(count) + " deleted files"; }

const char* StateName(TRecoverability state) {
    switch (state) {
    case TRecoverability::Intact: return "intact";
    case TRecoverability::Partial: return "partial";
    case TRecoverability::Overwritten: return "overwritten";
    case TRecoverability::PartlyUnread: return "partly_unread";
    case TRecoverability::Unread: return "unread";
    case TRecoverability::Carved: return "carved";
    case TRecoverability::CarvedIncomplete: return "carved_incomplete";
    case TRecoverability::Unknown: break;
    }
    return "unknown";
}

TLogLine ScanStartLine(const std::string& drive) { return {"Preparing for scan the drive " + drive + "\\ ...", clBlack}; }
TLogLine WalkStartLine(const std::string& drive) {
    return {"Scanning for deleted files on drive " + drive + "\\ ...", clBlack};
}
TLogLine NtfsDiskLine() { return {"This is a NTFS disk", clGreen}; }
TLogLine BackupBootLine() { return {"The boot sector is damaged: the backup copy at the end of the drive is used", clBlack}; }

bool MostlyDamaged(const TScanOutcome& o) {
    // A healthy volume has a damaged record now and then; an encrypted or
    // overwritten one has hardly anything else.
    return o.DamagedRecords >= MinDamagedToSay && 2 * o.DamagedRecords > o.RecordsWithBytes;
}

namespace {

// The lines that end a walk: `prefix` before each but the count, which is
// `count`; "Scanning process completed" only where `sayCompleted`.
std::vector<TLogLine> EndLines(const TScanOutcome& o, const std::string& count, bool sayCompleted,
                               const std::string& prefix) {
    std::vector<TLogLine> lines;
    auto say = [&](const std::string& text, std::uint32_t colour) { lines.push_back({prefix + text, colour}); };
    auto tally = [&](std::uint32_t colour) { lines.push_back({count, colour}); };
    switch (o.End) {
    case TScanEnd::Completed:
        if (o.UnreadableRecords > 0)
            say(std::to_string(o.UnreadableRecords) + " MFT records could not be read and were skipped", clRed);
        if (MostlyDamaged(o))
            say(std::to_string(o.DamagedRecords) + " of the " + std::to_string(o.RecordsWithBytes) +
                    " MFT records read are damaged: the volume may be encrypted or overwritten",
                clRed);
        if (sayCompleted) say("Scanning process completed", clGreen);
        tally(clGreen);
        break;
    case TScanEnd::Aborted:
        say("Scanning aborted by user", clRed);
        tally(clRed);
        break;
    case TScanEnd::NoDrive: say("Error: No drive detected", clRed); break;
    case TScanEnd::OpenFailed:
        for (const TLogLine& line : OpenFailedLines(o.Access)) say(line.Text, line.Colour);
        break;
    case TScanEnd::NotNtfs: say("Error: This is not a NTFS disk", clRed); break;
    case TScanEnd::UnsupportedGeometry: say("Error: Unsupported NTFS geometry", clRed); break;
    case TScanEnd::Record0Damaged: say("Error: " + o.What, clRed); break;
    case TScanEnd::MftUnreadable: say("Error: The MFT is sparse, encrypted or compressed", clRed); break;
    case TScanEnd::MftDamaged: say("Error: The MFT is damaged: " + o.What, clRed); break;
    case TScanEnd::ReadError:
        say("Error: The drive could not be read at byte " + std::to_string(o.Offset) + " (" + Reason(o.Error) + ")", clRed);
        if (o.Walked) tally(clRed);
        break;
    case TScanEnd::OutOfMemory:
        say("Error: Not enough memory to go on with the scan", clRed);
        if (o.Walked) tally(clRed);
        break;
    case TScanEnd::Failed:
        say("Error: The scan stopped on an unexpected failure" + (o.What.empty() ? "" : " (" + o.What + ")"), clRed);
        if (o.Walked) tally(clRed);
        break;
    }
    return lines;
}

}  // namespace

std::vector<TLogLine> ScanEndLines(const TScanOutcome& o) { return EndLines(o, CountText(o.FoundCount), true, {}); }

namespace {

// A snapshot's creation time: "2013-12-03 06:35:09 UTC".
std::string SnapshotMade(std::uint64_t created) {
    std::string when = IsoUtcText(created);
    if (when.size() == 20) when = when.substr(0, 10) + " " + when.substr(11, 8) + " UTC";
    return when;
}

}  // namespace

std::string SnapshotNote(int number, std::uint64_t created) {
    return "from snapshot " + std::to_string(number) + ", made " + SnapshotMade(created);
}

TLogLine SnapshotStartLine(const std::string& drive, int number, std::uint64_t created) {
    const std::string when = SnapshotMade(created);
    return {"Scanning snapshot " + std::to_string(number) + " of drive " + drive + "\\ (made " + when +
                ") for files the drive no longer has ...",
            clBlack};
}

std::vector<TLogLine> SnapshotEndLines(int number, const TScanOutcome& o) {
    const std::string k = std::to_string(number);
    return EndLines(o, "Found " + std::to_string(o.FoundCount) + " files in snapshot " + k + " that the drive no longer has",
                    false, "Snapshot " + k + ": ");
}

TLogLine NoSnapshotsLine(const std::string& drive) { return {"Drive " + drive + "\\ holds no snapshots", clBlack}; }

TLogLine DeepStartLine(const std::string& drive) {
    return {"Deep scan of drive " + drive + "\\: looking for MFT records in every sector ...", clBlack};
}

TLogLine CarveStartLine(const std::string& drive, bool whole) {
    if (whole)
        return {"Carving files from every sector of drive " + drive +
                    "\\: no volume's cluster bitmap says which clusters are free ...",
                clBlack};
    return {"Carving files from the free clusters of drive " + drive + "\\ ...", clBlack};
}

std::string FoundFilesText(std::uint64_t count) { return "Found " + std::to_string(count) + " files"; }

std::vector<TLogLine> PassEndLines(const TPassOutcome& o) {
    std::vector<TLogLine> lines;
    // A walk that failed with nothing else asked for has said it all.
    if (!o.DeepScanned && !o.Carved && o.End != TScanEnd::OutOfMemory && o.End != TScanEnd::Failed) return lines;
    const std::string count = FoundFilesText(o.DeepFiles + o.CarvedFiles);
    if (o.ReadErrors > 0)
        lines.push_back({std::to_string(o.UnreadBytes) + " bytes of the drive could not be read and were skipped (" +
                             std::to_string(o.ReadErrors) + " stretches)",
                         clRed});
    if (o.Unplaced > 0)
        lines.push_back({"Nothing on the drive says where " + std::to_string(o.Unplaced) +
                             " of the volumes found begin: each is taken to begin where the drive begins",
                         clRed});
    switch (o.End) {
    case TScanEnd::Completed:
        if (o.DeepScanned)
            lines.push_back({"Deep scan completed: " + std::to_string(o.Records) + " MFT records found in " +
                                 std::to_string(o.Volumes) + (o.Volumes == 1 ? " volume" : " volumes"),
                             clGreen});
        if (o.Carved)
            lines.push_back({"Carving completed: " + std::to_string(o.CarvedFiles) + " files found" +
                                 (o.Incomplete > 0 ? ", " + std::to_string(o.Incomplete) + " of them likely incomplete"
                                                   : std::string()),
                             clGreen});
        lines.push_back({count, clGreen});
        break;
    case TScanEnd::Aborted:
        lines.push_back({"Scanning aborted by user", clRed});
        lines.push_back({count, clRed});
        break;
    case TScanEnd::OutOfMemory:
        lines.push_back({"Error: Not enough memory to go on with the scan", clRed});
        lines.push_back({count, clRed});
        break;
    default:
        lines.push_back({"Error: The scan stopped on an unexpected failure" + (o.What.empty() ? "" : " (" + o.What + ")"),
                         clRed});
        lines.push_back({count, clRed});
        break;
    }
    return lines;
}

namespace {

// "12 s", "2 min 5 s", "3 h 12 min".
std::string DurationText(std::int64_t seconds) {
    if (seconds < 60) return std::to_string(seconds) + " s";
    if (seconds < 3600) return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds / 60 % 60) + " min";
}

}  // namespace

std::string PassProgressText(const TPassProgress& p, const std::string& decimalSeparator) {
    std::string text = p.Stage == TPassStage::Deep ? "Deep scan: " : "Carving: ";
    text += SizeToText(static_cast<std::int64_t>(p.Done), decimalSeparator);
    if (p.Total > 0) {
        const std::uint64_t percent = std::min<std::uint64_t>(100, p.Done * 100 / p.Total);
        text += " of " + SizeToText(static_cast<std::int64_t>(p.Total), decimalSeparator) + " read (" +
                std::to_string(percent) + " %)";
    } else {
        text += " read";
    }
    if (p.SecondsLeft >= 0) text += ", " + DurationText(p.SecondsLeft) + " left";
    text += ", " + std::to_string(p.Found) + (p.Stage == TPassStage::Deep ? " MFT records found" : " files found");
    return text;
}

std::vector<TLogLine> PlanLines(const TRecoveryPlan& plan) {
    std::vector<TLogLine> lines;
    switch (plan.End) {
    case TPlanEnd::OutsideMft:
    case TPlanEnd::Unreadable: lines.push_back({"Error during file recovery", clRed}); return lines;
    case TPlanEnd::NotDeleted: lines.push_back({"Error: The file seems no longer listed as deleted", clRed}); return lines;
    case TPlanEnd::NoContent:
    case TPlanEnd::RepeatedClusters:
    case TPlanEnd::Ready: break;
    }
    if (plan.HasName) {
        lines.push_back({"File: " + plan.FileName, clBlue});
        lines.push_back({"Path: " + plan.FilePath, clBlue});
    }
    if (plan.End == TPlanEnd::Ready) {
        lines.push_back({"Data recovered", clGreen});
        return lines;
    }
    lines.push_back({"Error during file recovery", clRed});
    if (plan.End == TPlanEnd::RepeatedClusters)
        lines.push_back({"Error: The record's data runs name the same clusters more than once, so its content "
                         "can't be known",
                         clRed});
    return lines;
}

namespace {

// "40 %" of `part` in `whole`, rounded down but never to 0 or up to 100
// where it is neither.
std::string Share(std::uint64_t part, std::uint64_t whole) {
    if (whole == 0 || part >= whole) return "100 %";
    const std::uint64_t percent = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(static_cast<double>(part) * 100.0 /
                                                                                        static_cast<double>(whole)));
    return std::to_string(std::min<std::uint64_t>(percent, 99)) + " %";
}

}  // namespace

std::string StateText(const TFoundFiles& file, const std::vector<std::string>& holders) {
    std::string text;
    switch (file.State) {
    case TRecoverability::Unknown: text = "not known: the volume's cluster bitmap could not be read"; break;
    case TRecoverability::Intact: text = "intact: no other file uses its clusters"; break;
    case TRecoverability::Partial:
        text = "partly overwritten, " +
               Share(file.OverwrittenBytes, static_cast<std::uint64_t>(std::max<std::int64_t>(file.FileSize, 1))) +
               " of its data";
        break;
    case TRecoverability::Overwritten: text = "overwritten, all of its data"; break;
    case TRecoverability::PartlyUnread:
        text = "partly unread: " + std::to_string(file.UnreadBytes) + " bytes of its data could not be read from the drive";
        break;
    case TRecoverability::Unread: text = "unread: its data could not be read from the drive"; break;
    case TRecoverability::Carved:
        text = "carved: found by its content in clusters no file uses, under a name of ours";
        break;
    case TRecoverability::CarvedIncomplete:
        text = "carved, likely incomplete: found by its content, which breaks off where its format says more follows";
        break;
    }
    for (std::size_t i = 0; i < holders.size(); ++i) text += (i == 0 ? ", now used by " : ", ") + holders[i];
    if (file.Flags & FoundCompressed) text += "; compressed";
    if (file.Flags & FoundEncrypted) text += "; encrypted, readable only with its owner's key";
    return text;
}

std::string OverwrittenQuestion(const TRecoveryPlan& plan) {
    if (plan.State == TRecoverability::Overwritten)
        return "All of this file's data lies in clusters that other files now use: the copy will hold their data, "
               "not this file's. Recover it all the same?";
    return Share(plan.OverwrittenBytes, plan.StoredBytes) +
           " of this file's data lies in clusters that other files now use: the copy will hold their data there. "
           "Recover it all the same?";
}

TLogLine OverwrittenAnswerLine(const TRecoveryPlan& plan) {
    return {"Recovering it all the same: " + Share(plan.OverwrittenBytes, plan.StoredBytes) +
                " of it lies in clusters that other files now use",
            clBlack};
}

std::string SameDeviceQuestion() {
    return "The target lies on the drive being read: writing there can overwrite deleted files still to be "
           "recovered. Write there all the same?";
}

TLogLine SameDeviceAnswerLine() { return {"Writing to the drive being read all the same", clBlack}; }

TLogLine PreparingRecoveryLine() { return {"Preparing for recovery", clBlack}; }
TLogLine CancelledLine() { return {"Recovery cancelled by user", clRed}; }
std::string AllowSameDeviceHint() { return "deruzera-cli: --allow-same-device writes there all the same\n"; }
TLogLine StartedLine(const std::string& now) { return {"Application was started at " + now, clBlack}; }
std::string DriveChangedText(const std::string& drive) { return "Current drive was changed to " + drive + "\\"; }

TLogLine SameDeviceRefusedLine() {
    return {"Error: The target lies on the drive being read, where writing can overwrite deleted files still to be "
            "recovered; give --allow-same-device to write there all the same",
            clRed};
}

std::vector<TLogLine> CopyNoteLines(const TCopyNotes& notes) {
    std::vector<TLogLine> lines;
    if (notes.Encrypted)
        lines.push_back({"The file is encrypted: the copy holds its encrypted bytes, readable only with its "
                         "owner's key",
                         clBlue});
    if (notes.BadUnits > 0) {
        lines.push_back({std::to_string(notes.BadUnits) +
                             " compressed units could not be decompressed and were written as zeros",
                         clRed});
    }
    if (notes.UnreadBytes > 0) {
        lines.push_back({std::to_string(notes.UnreadBytes) +
                             " bytes of the file could not be read from the drive, the first at byte " +
                             std::to_string(notes.FirstUnread) + " of the file, and were written as zeros",
                         clRed});
    }
    if (notes.MissingBytes > 0) {
        lines.push_back({std::to_string(notes.MissingBytes) +
                             " bytes of the file are no longer described on the volume and were written as zeros",
                         clRed});
    }
    if (notes.State == TRecoverability::Partial || notes.State == TRecoverability::Overwritten) {
        lines.push_back({Share(notes.OverwrittenBytes, notes.StoredBytes) +
                             " of the copy comes from clusters that other files now use",
                         clRed});
    }
    if (notes.StateUnread)
        lines.push_back({"Whether other files now use the file's clusters could not be read from the drive: the copy "
                         "may hold their data",
                         clRed});
    if (notes.State == TRecoverability::CarvedIncomplete)
        lines.push_back({"The carved file breaks off where its format says more follows: the copy is likely incomplete",
                         clRed});
    return lines;
}

std::vector<TLogLine> WriteLines(const TWriteOutcome& outcome, const std::string& target, const TCopyNotes& notes) {
    switch (outcome.End) {
    case TWriteEnd::Written: {
        std::vector<TLogLine> lines{{"Recovered file written : " + LocalPathText(LocalPath(target).filename()) +
                                         " (" + std::to_string(outcome.Bytes) + " Bytes)",
                                     clBlue}};
        const std::vector<TLogLine> noted = CopyNoteLines(notes);
        lines.insert(lines.end(), noted.begin(), noted.end());
        if (notes.Whole()) lines.push_back({"File recovered", clGreen});
        return lines;
    }
    case TWriteEnd::IsSource: return {{"Error: The recovered file can't be written over the drive being read", clRed}};
    case TWriteEnd::NotRegular: return {{"Error: The recovered file can only replace a regular file", clRed}};
    case TWriteEnd::IsLink: return {{"Error: The recovered file can't replace a symbolic link", clRed}};
    case TWriteEnd::NotReplaceable:
        return {{"Error: The recovered file can't replace a file that is read-only or belongs to another user", clRed}};
    case TWriteEnd::Failed:
        if (outcome.Error == ForeignLinkError)
            return {{"Error: Unable to write the recovered file", clRed},
                    {"Error: The path to the target passes through a symbolic link of another user, which is not "
                     "followed",
                     clRed}};
        break;
    case TWriteEnd::Exists:
    case TWriteEnd::Stopped: break;
    }
    return {{"Error: Unable to write the recovered file", clRed}};
}

TLogLine StreamWrittenLine(const TStreamWrite& stream) {
    if (stream.Write.End == TWriteEnd::Written)
        return {"Stream " + stream.Stream + " written : " + stream.Target + " (" +
                    std::to_string(stream.Write.Bytes) + " Bytes)",
                clBlue};
    std::string line = "Error: Unable to write the stream " + stream.Stream + " beside the file";
    if (stream.Write.Error != 0) line += " (" + FailureText(stream.Write.Error) + ")";
    return {line, clRed};
}

std::string AccessFailureText(const TDeviceAccess& result) {
    const std::string& path = result.Path;
    switch (result.Failure) {
    case TAccessFailure::None:
    case TAccessFailure::Unmapped:
    case TAccessFailure::Source: return {};
    case TAccessFailure::PermissionDenied:
        if (!result.BlockDevice)
            return "Access to " + path + " was refused: permission denied. Run as root or get read access to the file.";
        return "Access to " + path + " was refused: permission denied, and " + Service +
               " is not running to ask for it. Run as root or start udisks2.";
    case TAccessFailure::NotAuthorized:
        if (result.ServiceError == "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")
            return "Access to " + path +
                   " was refused: the password prompt was dismissed. Try again and enter the password, or run as root.";
        if (result.ServiceError == "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain")
            return "Access to " + path +
                   " was refused: polkit wants a password and no agent could ask for it. Run as root, or from a desktop session or a terminal.";
        return "Access to " + path +
               " was refused: not authorised by polkit. Ask an administrator for access to the disk, or run as root.";
    case TAccessFailure::NoSuchDevice:
        if (IsNoSuchDevice(result.Errno) || result.Errno == 0) return "No such device: " + path;
        return "Access to " + path + " was refused: permission denied, and " + Service +
               " does not know the device. Run as root.";
    case TAccessFailure::NotElevated:
        return "Access to " + path + " was refused: reading a drive directly needs administrator rights. Run as administrator.";
    case TAccessFailure::Other: break;
    }
    if (!result.SystemMessage.empty()) return "Cannot open " + path + ": " + FirstLine(result.SystemMessage) + ".";
    if (!result.ServiceError.empty() || !result.ServiceMessage.empty()) {
        std::string text = "Cannot open " + path + " through " + Service + ": " + FirstLine(result.ServiceMessage);
        if (!result.ServiceError.empty()) text += " (" + result.ServiceError + ")";
        return text + ".";
    }
    return "Cannot open " + path + ": " + FirstLine(Reason(result.Errno)) + ".";
}

std::vector<TLogLine> OpenFailedLines(const TDeviceAccess& access) {
    if (access.Failure == TAccessFailure::Source) return access.Lines;
    std::vector<TLogLine> lines{{"Error: Invalid handle value", clRed}};
    if (const std::string why = AccessFailureText(access); !why.empty()) lines.push_back({why, clRed});
    return lines;
}

// ---- Recovery of many files -------------------------------------------------

namespace {

std::string PlanReason(TPlanEnd end) {
    switch (end) {
    case TPlanEnd::OutsideMft: return "there is no such record in the MFT";
    case TPlanEnd::Unreadable: return "its MFT record can't be read";
    case TPlanEnd::NotDeleted: return "the file seems no longer listed as deleted";
    case TPlanEnd::NoContent: return "its data can't be found in its record";
    case TPlanEnd::RepeatedClusters: return "its data runs name the same clusters more than once";
    case TPlanEnd::Ready: break;
    }
    return {};
}

std::string WriteReason(TWriteEnd end, int error) {
    if (end == TWriteEnd::IsSource) return "the recovered file can't be written over the drive being read";
    std::string reason = "unable to write the recovered file";
    if (error != 0) reason += " (" + FailureText(error) + ")";
    return reason;
}

}  // namespace

std::string BatchFailureReason(const TBatchFileOutcome& file) {
    switch (file.Failure) {
    case TBatchFailure::Plan: return PlanReason(file.PlanEnd);
    case TBatchFailure::Folder: return "unable to make the folder " + file.Directory + " (" + FailureText(file.Error) + ")";
    case TBatchFailure::NoFreeName: return "no free name for it in " + file.Directory;
    case TBatchFailure::Write: return WriteReason(file.WriteEnd, file.Error);
    case TBatchFailure::None: break;
    }
    return {};
}

TLogLine BatchFolderUnusableLine(const std::string& folder, int error) {
    return {"Error: Unable to make the folder " + folder + " (" + FailureText(error) + ")", clRed};
}

TLogLine BatchSameDeviceLine(const std::string& folder) {
    return {"Error: The folder " + folder + " is on the drive being read; writing there could overwrite deleted files",
            clRed};
}

TLogLine BatchFailureLine(const TBatchFileOutcome& outcome) {
    return {"Error: Unable to recover " + outcome.Source + ": " + outcome.Reason, clRed};
}

TLogLine BatchMoreFailuresLine(const TBatchFileOutcome& last, std::size_t more) {
    std::string reason;
    switch (last.Failure) {
    case TBatchFailure::Plan: reason = PlanReason(last.PlanEnd); break;
    case TBatchFailure::Folder: reason = "unable to make their folders (" + FailureText(last.Error) + ")"; break;
    case TBatchFailure::NoFreeName: reason = "no free name for them"; break;
    case TBatchFailure::Write: reason = WriteReason(last.WriteEnd, last.Error); break;
    case TBatchFailure::None: break;
    }
    return {"Error: Unable to recover " + std::to_string(more) + " more files: " + reason, clRed};
}

TLogLine BatchLinkLine(const std::string& link, const std::string& written, bool folder) {
    return {"The symbolic link " + link + " was not followed: the " + (folder ? "folder" : "file") + " went to " +
                written + " beside it",
            clRed};
}

TLogLine BatchRenamedLine(const std::string& source, const std::string& name, const std::string& written,
                          bool folder) {
    return {source + ": the target refuses the " + (folder ? "folder name " : "name ") + name + "; " +
                (folder ? "made as " : "written as ") + written,
            clBlue};
}

TLogLine BatchNumberedLine(const TBatchFileOutcome& outcome) {
    return {outcome.Source + ": its name was taken in the folder; written as " + outcome.Target, clBlue};
}

TLogLine BatchMoreNumberedLine(std::size_t more) {
    return {std::to_string(more) + " more files were written under numbered names: their names were taken", clBlue};
}

TLogLine BatchSummaryLine(const TBatchOutcome& outcome) {
    std::string text = "Recovered " + std::to_string(outcome.Written) + " of " + std::to_string(outcome.Files) +
                       " files into " + outcome.Folder;
    std::string notes;
    if (outcome.Streams > 0)
        notes = std::to_string(outcome.Streams) + (outcome.Streams == 1 ? " stream" : " streams") + " beside their files";
    if (outcome.StreamsFailed > 0)
        notes += (notes.empty() ? "" : ", ") + std::to_string(outcome.StreamsFailed) + " streams not written";
    if (outcome.Failed > 0) notes += (notes.empty() ? "" : ", ") + std::to_string(outcome.Failed) + " failed";
    if (outcome.Unread > 0)
        notes += (notes.empty() ? "" : ", ") + std::to_string(outcome.Unread) + " with bytes that could not be read";
    if (outcome.Stopped) notes += (notes.empty() ? "" : ", ") + std::string("cancelled by user");
    if (!notes.empty()) text += " (" + notes + ")";
    return {text, outcome.Written == outcome.Files && outcome.Unread == 0 && outcome.StreamsFailed == 0 ? clGreen : clRed};
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
    // The pace once it can be told: after a second, with bytes written.
    if (p.Milliseconds >= 1000 && p.BytesDone > 0) {
        const std::uint64_t perSecond = p.BytesDone * 1000 / p.Milliseconds;
        text += ", " + SizeToText(static_cast<std::int64_t>(perSecond), decimalSeparator) + "/s";
        const std::uint64_t left = p.Bytes > p.BytesDone ? p.Bytes - p.BytesDone : 0;
        if (left > 0 && perSecond > 0) {
            const std::uint64_t seconds = (left + perSecond - 1) / perSecond;
            text += seconds < 120 ? ", about " + std::to_string(seconds) + " s left"
                                  : ", about " + std::to_string((seconds + 59) / 60) + " min left";
        }
    }
    return text;
}

}  // namespace deruzera
