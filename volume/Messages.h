// Every line the log shows and every question a recovery asks, made from the
// values that say what happened. The window and the companion show exactly
// these; no other code builds a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The lines that end a scan, by how it ended.
std::vector<TLogLine> ScanEndLines(const TScanOutcome& outcome);

// The lines of each step of a recovery, and the questions it asks.
std::vector<TLogLine> PlanLines(const TRecoveryPlan& plan);
std::string OverwrittenQuestion(const TRecoveryPlan& plan);
TLogLine OverwrittenAnswerLine(const TRecoveryPlan& plan);
std::string SameDeviceQuestion();
TLogLine SameDeviceAnswerLine();
// What a written copy holds besides the file's own bytes (red) and that it
// is the encrypted form (blue); nothing where it is wholly the file's own.
std::vector<TLogLine> CopyNoteLines(const TWriteOutcome& outcome, const TRecoveryPlan* plan);
// After the write: what was written, what is not the file's own (units
// that would not decompress, parts no longer described, clusters other
// files hold), and "File recovered" only where nothing is.
std::vector<TLogLine> WriteLines(const TWriteOutcome& outcome, const std::string& target,
                                 const TRecoveryPlan* plan = nullptr);

}  // namespace deruzera
