// Every line the log shows and every question a recovery asks, made from the
// values that say what happened. The window and the companion show exactly
// these; no other code of the volume reader or the front ends builds a line
// (the source layer's own, naming its libraries, are in
// platform/SourceMessages.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Device.h"
#include "Log.h"
#include "Records.h"
#include "Recover.h"

namespace deruzera {

// "Found N deleted files".
std::string CountText(std::int64_t count);

// "intact", "partial", "overwritten", or "unknown" where the cluster bitmap
// could not be read.
const char* StateName(TRecoverability state);

// A found file's state in words, with the share of its data other files
// hold now and who they are: "partly overwritten, 40 % of its data, now
// used by C:\Docs\new.bin".
std::string StateText(const TFoundFiles& file, const std::vector<std::string>& holders);

// ---- The scan ---------------------------------------------------------------

struct TScanOutcome;

// "Preparing for scan the drive C:\ ...", and the line where the walk begins.
TLogLine ScanStartLine(const std::string& drive);
TLogLine WalkStartLine(const std::string& drive);
// "This is a NTFS disk", and the line that says the backup boot sector is used.
TLogLine NtfsDiskLine();
TLogLine BackupBootLine();
// Whether the records of a completed scan are mostly damaged, as an
// encrypted or overwritten volume's are.
bool MostlyDamaged(const TScanOutcome& outcome);
// The lines that end a scan, by how it ended.
std::vector<TLogLine> ScanEndLines(const TScanOutcome& outcome);
// A scan with snapshots: the line where the walk of snapshot `number`
// (made at NTFS time `created`) begins, the lines where it ends ("Found N
// files in snapshot K that the drive no longer has", or why it could not
// be scanned), and the line for a drive without snapshots.
TLogLine SnapshotStartLine(const std::string& drive, int number, std::uint64_t created);
std::vector<TLogLine> SnapshotEndLines(int number, const TScanOutcome& outcome);
TLogLine NoSnapshotsLine(const std::string& drive);
// What a file a snapshot gave says of where it comes from: "from snapshot
// 1, made 2013-12-03 06:35:09 UTC".
std::string SnapshotNote(int number, std::uint64_t created);

// ---- Passes over the whole source -------------------------------------------

struct TPassOutcome;
struct TPassProgress;

// Where the deep scan begins, and carving (from the free clusters of the
// volume, or from every sector where no volume's bitmap is known).
TLogLine DeepStartLine(const std::string& drive);
TLogLine CarveStartLine(const std::string& drive, bool whole);
// "Found N files": what a deep scan or carving lists.
std::string FoundFilesText(std::uint64_t count);
// The lines that end a pass: what could not be read, volumes whose start
// nothing told, what each pass found, and how it ended.
std::vector<TLogLine> PassEndLines(const TPassOutcome& outcome);
// The status of a pass as it runs: "Deep scan: 1.52 Gb of 8 Gb read
// (19 %), 2 min 5 s left, 12034 MFT records found".
std::string PassProgressText(const TPassProgress& progress, const std::string& decimalSeparator = ".");

// The lines of each step of a recovery, and the questions it asks.
std::vector<TLogLine> PlanLines(const TRecoveryPlan& plan);
std::string OverwrittenQuestion(const TRecoveryPlan& plan);
TLogLine OverwrittenAnswerLine(const TRecoveryPlan& plan);
std::string SameDeviceQuestion();
TLogLine SameDeviceAnswerLine();
// What a written copy holds besides the file's own bytes (red) and that it
// is the encrypted form (blue); nothing where it is wholly the file's own.
std::vector<TLogLine> CopyNoteLines(const TCopyNotes& notes);
// After the write: what was written, what is not the file's own (units
// that would not decompress, parts no longer described, clusters other
// files hold), and "File recovered" only where nothing is.
std::vector<TLogLine> WriteLines(const TWriteOutcome& outcome, const std::string& target, const TCopyNotes& notes);
// A named stream written beside its file (blue), or why it was not (red).
struct TStreamWrite;
TLogLine StreamWrittenLine(const TStreamWrite& stream);
// "Preparing for recovery", and "Recovery cancelled by user".
TLogLine PreparingRecoveryLine();
TLogLine CancelledLine();
// The companion's answer where a target lies on the drive being read and it
// was not told to write there; and its hint after a batch so refused.
TLogLine SameDeviceRefusedLine();
std::string AllowSameDeviceHint();

// ---- The window ------------------------------------------------------------

// The log's first line: "Application was started at " and the time.
TLogLine StartedLine(const std::string& now);
// The status line after a drive is chosen: "Current drive was changed to D:\".
std::string DriveChangedText(const std::string& drive);
// The words for an errno value a write met, or for ForeignLinkError.
std::string FailureText(int error);

// ---- Devices ---------------------------------------------------------------

// One line that names why a device could not be opened and what the user
// can do; "" when it did not fail or no device stands for the drive.
std::string AccessFailureText(const TDeviceAccess& access);
// "Error: Invalid handle value", and the line above where there is one.
std::vector<TLogLine> OpenFailedLines(const TDeviceAccess& access);

// ---- Recovery of many files -------------------------------------------------

struct TBatchFileOutcome;
struct TBatchOutcome;
struct TBatchProgress;

// Why a file of a batch was not written, from its outcome's values.
std::string BatchFailureReason(const TBatchFileOutcome& file);
// A batch that tries nothing: its folder can't be made or opened, or lies
// on the drive being read.
TLogLine BatchFolderUnusableLine(const std::string& folder, int error);
TLogLine BatchSameDeviceLine(const std::string& folder);
// The lines and texts of a batch.
TLogLine BatchFailureLine(const TBatchFileOutcome& outcome);
// The files of one kind of failure left out of the lines: "Error: Unable to
// recover N more files: ..." with the reason they share.
TLogLine BatchMoreFailuresLine(const TBatchFileOutcome& last, std::size_t more);
// A symbolic link met where a folder or file was to go: not followed, and
// the folder or file `written` (a numbered name) made beside it instead.
TLogLine BatchLinkLine(const std::string& link, const std::string& written, bool folder);
// A file or folder written under its PortableName: `source` names the file
// on the volume.
TLogLine BatchRenamedLine(const std::string& source, const std::string& name, const std::string& written,
                          bool folder);
// A file written under a numbered name because its own was taken.
TLogLine BatchNumberedLine(const TBatchFileOutcome& outcome);
// The files written under numbered names beyond those said one by one.
TLogLine BatchMoreNumberedLine(std::size_t more);
TLogLine BatchSummaryLine(const TBatchOutcome& outcome);
// A recovery that a failure ended past its own handling: memory running
// out, or anything else.
TLogLine RecoveryStoppedLine(bool outOfMemory);
std::string BatchProgressText(const TBatchProgress& progress, const std::string& decimalSeparator = ".");

}  // namespace deruzera
