#include "Scanner.h"

#include "volume/Messages.h"

TScanner::TScanner(std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort, QObject* parent)
    : QThread(parent), drive_(std::move(drive)), open_(std::move(open)), abort_(abort) {
    qRegisterMetaType<deruzera::TLogLine>();
}

TScanner::~TScanner() {
    if (isRunning()) {
        abort_ = true;
        wait();
    }
}

void TScanner::run() {
    // ScanDrive ends every way as a value, its lines made; what the
    // window's side of the scan can't take in (memory for the files) ends
    // it the same way.
    deruzera::TScanOutcome outcome;
    try {
        outcome = deruzera::ScanDrive(drive_, open_, *this, abort_);
    } catch (const std::bad_alloc&) {
        outcome.End = deruzera::TScanEnd::OutOfMemory;
        for (const deruzera::TLogLine& line : deruzera::ScanEndLines(outcome)) Line(line);
    }
    std::lock_guard lock(mutex_);
    outcome_ = std::move(outcome);
}

std::shared_ptr<deruzera::TScanResults> TScanner::TakeResults() {
    std::lock_guard lock(mutex_);
    if (!outcome_.Walked || !outcome_.Volume) return nullptr;
    auto results = std::make_shared<deruzera::TScanResults>();
    results->Volume = outcome_.Volume;
    // Files held back for their paths come later than the walk met them.
    files_.SortByRecord();
    results->Files = std::move(files_);
    return results;
}

void TScanner::Line(const deruzera::TLogLine& line) { emit LineMade(line); }

void TScanner::Walking(std::int64_t recordCount) { emit WalkBegan(recordCount); }

void TScanner::Progress(std::int64_t position, std::int64_t found) { emit ProgressMade(position, found); }

void TScanner::Found(const deruzera::TFoundBatch& batch) {
    std::lock_guard lock(mutex_);
    files_.Append(batch.Files);
}
