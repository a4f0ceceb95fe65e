#include "Scanner.h"

#include "platform/Sources.h"
#include "volume/Messages.h"

namespace {

// Found files go to the window in chunks of at least this many, or after
// this long: a few hundred queued calls for a million files, and a list
// that is never far behind the walk.
constexpr std::size_t ChunkFiles = 4096;
constexpr auto ChunkEvery = std::chrono::milliseconds(200);
// Progress reaches the window at most this often: more than a screen shows.
constexpr auto ProgressEvery = std::chrono::milliseconds(25);

}  // namespace

TScanner::TScanner(std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort, QObject* parent)
    : QThread(parent), drive_(std::move(drive)), open_(std::move(open)), abort_(abort) {
    qRegisterMetaType<deruzera::TLogLine>();
    qRegisterMetaType<std::shared_ptr<const TFoundChunk>>();
    qRegisterMetaType<deruzera::TPassProgress>();
}

TScanner::TScanner(std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort,
                   const deruzera::TPassOptions& pass, QObject* parent)
    : TScanner(std::move(drive), std::move(open), abort, parent) {
    pass_ = pass;
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
    handed_ = std::chrono::steady_clock::now();
    deruzera::TScanOutcome outcome;
    deruzera::TPassOutcome passOutcome;
    std::vector<deruzera::TSnapshotScan> snapshotScans;
    try {
        if (IsPass()) {
            passOutcome = deruzera::ScanSource(drive_, open_, *this, abort_, pass_);
            outcome = passOutcome.Walk;
        } else if (withSnapshots_) {
            deruzera::platform::TSnapshotsScanOutcome scanned =
                deruzera::platform::ScanDriveWithSnapshots(drive_, open_, *this, abort_);
            outcome = std::move(scanned.Live);
            snapshotScans = std::move(scanned.Scans);
        } else {
            outcome = deruzera::ScanDrive(drive_, open_, *this, abort_);
        }
        Hand(true);
    } catch (const std::bad_alloc&) {
        outcome.End = deruzera::TScanEnd::OutOfMemory;
        passOutcome.End = outcome.End;
        passOutcome.Results.reset();
        snapshotScans.clear();
        gathering_.reset();
        for (const deruzera::TLogLine& line : deruzera::ScanEndLines(outcome)) Line(line);
    }
    std::lock_guard lock(mutex_);
    outcome_ = std::move(outcome);
    passOutcome_ = std::move(passOutcome);
    snapshotScans_ = std::move(snapshotScans);
}

void TScanner::Line(const deruzera::TLogLine& line) {
    // The files found before a line reach the window before it.
    Hand(true);
    emit LineMade(line);
}

void TScanner::Walking(std::int64_t recordCount) {
    folders_.clear();
    foldersOf_ = nullptr;
    paths_ = 0;
    emit WalkBegan(recordCount);
}

bool TScanner::ReportDue() {
    const auto at = std::chrono::steady_clock::now();
    if (at - reported_ < ProgressEvery || progressWaiting_->exchange(true)) return false;
    reported_ = at;
    return true;
}

void TScanner::Progress(std::int64_t position, std::int64_t found) {
    Hand(false);
    if (ReportDue()) emit ProgressMade(position, found);
}

void TScanner::PassProgress(const deruzera::TPassProgress& progress) {
    Hand(false);
    if (ReportDue()) emit PassProgressMade(progress);
}

void TScanner::Found(const deruzera::TFoundBatch& batch) {
    if (!gathering_) {
        gathering_ = std::make_shared<TFoundChunk>();
        gathering_->FirstNewPath = paths_;
    }
    TFoundChunk& chunk = *gathering_;
    if (&batch.Volume != foldersOf_) {
        folders_.clear();
        foldersOf_ = &batch.Volume;
    }
    // Each folder's path once a scan, made here while the walk's table of
    // folders is this thread's.
    std::int64_t lastFolder = -1;
    std::uint32_t lastIndex = 0;
    for (const deruzera::TFoundFiles& file : batch.Files) {
        if (file.ParentRecord != lastFolder || chunk.Folders.empty()) {
            const auto [it, added] = folders_.emplace(file.ParentRecord, paths_);
            if (added) {
                chunk.NewPaths.push_back(batch.FilePath(file));
                ++paths_;
            }
            lastFolder = file.ParentRecord;
            lastIndex = it->second;
        }
        chunk.Folders.push_back(lastIndex);
    }
    chunk.Files.Append(batch.Files);
    if (IsPass())
        for (std::size_t i = 0; i < batch.Files.size(); ++i)
            chunk.PassIndex.push_back(batch.Places ? static_cast<std::int64_t>(batch.Places[i].Index) : -1);
    Hand(false);
}

void TScanner::Hand(bool now) {
    if (!gathering_ || gathering_->Files.empty()) return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && gathering_->Files.size() < ChunkFiles && at - handed_ < ChunkEvery) return;
    handed_ = at;
    emit FilesFound(std::move(gathering_));
    gathering_.reset();
}
