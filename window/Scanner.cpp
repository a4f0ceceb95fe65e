#include "Scanner.h"

#include "EventLog.h"
#include "MainForm.h"

TScanner::TScanner(TMainForm& form, std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort)
    : form_(form), drive_(std::move(drive)), open_(std::move(open)), abort_(abort) {}

TScanner::~TScanner() {
    if (isRunning()) {
        abort_ = true;
        wait();
    }
}

void TScanner::run() {
    // A failure that escapes the scan ends the worker without a message; the
    // window's end handler runs all the same.
    try {
        outcome_ = deruzera::ScanDrive(drive_, open_, *this, abort_);
    } catch (...) {
    }
}

std::shared_ptr<deruzera::TScanResults> TScanner::TakeResults() {
    if (!outcome_.Walked) return nullptr;
    auto results = std::make_shared<deruzera::TScanResults>();
    results->Device = outcome_.Device;
    results->Volume = outcome_.Volume;
    results->Directories = std::move(outcome_.Directories);
    results->Overwriters = std::move(outcome_.Overwriters);
    // Files held back for their paths come later than the walk met them.
    files_.SortByRecord();
    results->Files = std::move(files_);
    return results;
}

// Each report is queued to the window's thread behind the log lines written
// before it, so they are carried out in the order made and all before the
// window's end handler.

void TScanner::Line(const deruzera::TLogLine& line) { deruzera::LogMessage(line.Text, line.Colour); }

void TScanner::Walking(std::int64_t recordCount) {
    form_.ReportWalking(recordCount);
}

void TScanner::Progress(std::int64_t position, std::int64_t found) {
    form_.ReportProgress(position, found);
}

void TScanner::Found(const deruzera::TFoundBatch& batch) { files_.Append(batch.Files); }
