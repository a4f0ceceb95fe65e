// The scan's worker thread: one per scan, running ScanDrive. It touches
// nothing of the window: its lines, its progress and the files it finds
// leave it as queued signals carrying values, in the order made, and
// QThread::finished comes after all of them.
#pragma once

#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "volume/Log.h"
#include "volume/Pass.h"
#include "volume/Scan.h"
#include "volume/Snapshots.h"

// Found files as the worker hands them to the window: the files, and the
// folder each is in as an index into the folder paths of the scan, whose
// new ones come with the files that first need them.
struct TFoundChunk {
    deruzera::TFoundFileList Files;
    std::vector<std::uint32_t> Folders;   // by file: the index of its folder's path
    std::vector<std::string> NewPaths;    // the paths from index FirstNewPath on, each ending in "\"
    std::uint32_t FirstNewPath = 0;
    // A pass's: by file, its index in the pass's results, -1 for a file of
    // the walk. Empty for a scan.
    std::vector<std::int64_t> PassIndex;
};

Q_DECLARE_METATYPE(deruzera::TLogLine)
Q_DECLARE_METATYPE(std::shared_ptr<const TFoundChunk>)
Q_DECLARE_METATYPE(deruzera::TPassProgress)

class TScanner : public QThread, private deruzera::TPassSink {
    Q_OBJECT

public:
    // A scan of `drive`, its device opened through `open`; `abort` stops it
    // at the next record.
    TScanner(std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort, QObject* parent = nullptr);
    // A pass over the whole source instead (a deep scan, carving or both,
    // as `pass` asks), ScanSource run in place of ScanDrive.
    TScanner(std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort,
             const deruzera::TPassOptions& pass, QObject* parent = nullptr);
    // Asks a running scan to stop and waits for it.
    ~TScanner() override;
    // Before start, for a scan: the drive's shadow copies are scanned after
    // it for the files the drive no longer has.
    void IncludeSnapshots() { withSnapshots_ = true; }

    // After the thread has ended: how the scan ended, and the volume it
    // read (null where it never opened).
    const deruzera::TScanOutcome& Outcome() const {
        std::lock_guard lock(mutex_);
        return outcome_;
    }
    // After the thread has ended, for a pass: how it ended and what it
    // found (Results null where the source never opened).
    bool IsPass() const { return pass_.Deep || pass_.Carve; }
    // After the thread has ended, for a scan with snapshots: each snapshot
    // scanned, its volume the one its files are read from.
    std::vector<deruzera::TSnapshotScan> SnapshotScans() const {
        std::lock_guard lock(mutex_);
        return snapshotScans_;
    }
    const deruzera::TPassOutcome& PassOutcome() const {
        std::lock_guard lock(mutex_);
        return passOutcome_;
    }

signals:
    void LineMade(deruzera::TLogLine line);
    // The walk begins over `recordCount` records: earlier results go.
    void WalkBegan(qint64 recordCount);
    // At every 128th record N: N + 1 and the files found so far. A report
    // is left out while the one before still waits for the window, or came
    // less than 25 ms ago: it would be drawn over before it was seen.
    void ProgressMade(qint64 position, qint64 found);
    // Files whose paths are complete, a few thousand at a time.
    void FilesFound(std::shared_ptr<const TFoundChunk> chunk);
    // A pass's bytes read so far, as ProgressMade is left out.
    void PassProgressMade(deruzera::TPassProgress progress);

protected:
    void run() override;

private:
    void Line(const deruzera::TLogLine& line) override;
    void Walking(std::int64_t recordCount) override;
    void Progress(std::int64_t position, std::int64_t found) override;
    void Found(const deruzera::TFoundBatch& batch) override;
    void PassProgress(const deruzera::TPassProgress& progress) override;
    // Whether a progress report may go now (see ProgressMade).
    bool ReportDue();
    // Hands over what is gathered where it is enough, or `now`.
    void Hand(bool now);

    std::string drive_;
    deruzera::TDeviceOpener open_;
    std::atomic<bool>& abort_;
    // How the scan ended: read by the window once the thread has ended,
    // under the lock, which also makes the hand-over plain to the thread
    // checkers (Qt's own locks are not instrumented).
    mutable std::mutex mutex_;
    deruzera::TScanOutcome outcome_;
    deruzera::TPassOptions pass_;
    deruzera::TPassOutcome passOutcome_;
    bool withSnapshots_ = false;
    std::vector<deruzera::TSnapshotScan> snapshotScans_;
    // The volume whose directory table the folder indexes below are of: a
    // pass hands over the walk's files, then its own.
    const deruzera::TNtfsVolume* foldersOf_ = nullptr;
    std::unordered_map<std::int64_t, std::uint32_t> folders_;  // folder record -> path index
    std::uint32_t paths_ = 0;
    std::shared_ptr<TFoundChunk> gathering_;
    std::chrono::steady_clock::time_point handed_;
    std::chrono::steady_clock::time_point reported_;
    std::shared_ptr<std::atomic<bool>> progressWaiting_ = std::make_shared<std::atomic<bool>>(false);

public:
    // The window took the last progress report.
    void ProgressTaken() { *progressWaiting_ = false; }
};
