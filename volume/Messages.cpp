// Every line the log shows for a scan or a recovery, by what happened. The
// window and the companion show exactly these.
#include <filesystem>
#include <system_error>

#include "Salvane.h"

namespace deruzera {
namespace {

std::string Reason(int error) { return std::generic_category().message(error); }

}  // namespace

std::string CountText(std::int64_t count) { return "Found " + std::to_string(count) + " deleted files"; }

std::vector<TLogLine> ScanEndLines(const TScanOutcome& o) {
    const std::string count = CountText(o.FoundCount);
    std::vector<TLogLine> lines;
    switch (o.End) {
    case TScanEnd::Completed:
        if (o.UnreadableRecords > 0)
            lines.push_back({std::to_string(o.UnreadableRecords) + " MFT records could not be read and were skipped", clRed});
        lines.push_back({"Scanning process completed", clGreen});
        lines.push_back({count, clGreen});
        break;
    case TScanEnd::Aborted:
        lines.push_back({"Scanning aborted by user", clRed});
        lines.push_back({count, clRed});
        break;
    case TScanEnd::NoDrive: lines.push_back({"Error: No drive detected", clRed}); break;
    case TScanEnd::OpenFailed:
        lines.push_back({"Error: Invalid handle value", clRed});
        if (!o.What.empty()) lines.push_back({o.What, clRed});
        break;
    case TScanEnd::NotNtfs: lines.push_back({"Error: This is not a NTFS disk", clRed}); break;
    case TScanEnd::UnsupportedGeometry: lines.push_back({"Error: Unsupported NTFS geometry", clRed}); break;
    case TScanEnd::Record0Damaged: lines.push_back({"Error: " + o.What, clRed}); break;
    case TScanEnd::MftUnreadable: lines.push_back({"Error: The MFT is sparse, encrypted or compressed", clRed}); break;
    case TScanEnd::MftDamaged:
        lines.push_back({"Error: The MFT is damaged: " + o.What, clRed});
        break;
    case TScanEnd::ReadError:
        lines.push_back({"Error: The drive could not be read at byte " + std::to_string(o.Offset) + " (" + Reason(o.Error) + ")",
                         clRed});
        if (o.Walked) lines.push_back({count, clRed});
        break;
    case TScanEnd::OutOfMemory:
        lines.push_back({"Error: Not enough memory to go on with the scan", clRed});
        if (o.Walked) lines.push_back({count, clRed});
        break;
    }
    return lines;
}

std::vector<TLogLine> PlanLines(const TRecoveryPlan& plan) {
    std::vector<TLogLine> lines;
    switch (plan.End) {
    case TPlanEnd::OutsideMft:
    case TPlanEnd::Unreadable: lines.push_back({"Error during file recovery", clRed}); return lines;
    case TPlanEnd::NotDeleted: lines.push_back({"Error: The file seems no longer listed as deleted", clRed}); return lines;
    case TPlanEnd::NoContent:
    case TPlanEnd::Ready: break;
    }
    if (plan.HasName) {
        lines.push_back({"File: " + plan.FileName, clBlue});
        lines.push_back({"Path: " + plan.FilePath, clBlue});
    }
    if (plan.End == TPlanEnd::NoContent) lines.push_back({"Error during file recovery", clRed});
    else lines.push_back({"Data recovered", clGreen});
    return lines;
}

std::vector<TLogLine> WriteLines(const TWriteOutcome& outcome, const std::string& target) {
    switch (outcome.End) {
    case TWriteEnd::Written:
        return {{"Recovered file written : " + std::filesystem::path(target).filename().string() + " (" +
                     std::to_string(outcome.Bytes) + " Bytes)",
                 clBlue},
                {"File recovered", clGreen}};
    case TWriteEnd::IsSource: return {{"Error: The recovered file can't be written over the drive being read", clRed}};
    case TWriteEnd::NotRegular: return {{"Error: The recovered file can only replace a regular file", clRed}};
    case TWriteEnd::Failed:
    case TWriteEnd::Exists:
    case TWriteEnd::Stopped: break;
    }
    return {{"Error: Unable to write the recovered file", clRed}};
}

}  // namespace deruzera
