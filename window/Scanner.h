// The scan's worker thread: one per scan, running ScanDrive. It touches
// nothing of the window: its lines and progress leave it as queued signals
// carrying values, in the order made, and QThread::finished comes after all
// of them. The files it finds stay with it until the window takes them
// after it has ended.
#pragma once

#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>

#include "volume/Log.h"
#include "volume/Scan.h"

Q_DECLARE_METATYPE(deruzera::TLogLine)

class TScanner : public QThread, private deruzera::TScanSink {
    Q_OBJECT

public:
    // A scan of `drive`, its device opened through `open`; `abort` stops it
    // at the next record.
    TScanner(std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort, QObject* parent = nullptr);
    // Asks a running scan to stop and waits for it.
    ~TScanner() override;

    // After the thread has ended: how the scan ended, and what it found
    // (null where the walk never began).
    const deruzera::TScanOutcome& Outcome() const {
        std::lock_guard lock(mutex_);
        return outcome_;
    }
    std::shared_ptr<deruzera::TScanResults> TakeResults();

signals:
    void LineMade(deruzera::TLogLine line);
    // The walk begins over `recordCount` records: earlier results go.
    void WalkBegan(qint64 recordCount);
    // At every 128th record N: N + 1 and the files found so far.
    void ProgressMade(qint64 position, qint64 found);

protected:
    void run() override;

private:
    void Line(const deruzera::TLogLine& line) override;
    void Walking(std::int64_t recordCount) override;
    void Progress(std::int64_t position, std::int64_t found) override;
    void Found(const deruzera::TFoundBatch& batch) override;

    std::string drive_;
    deruzera::TDeviceOpener open_;
    std::atomic<bool>& abort_;
    // What the worker hands over: taken by the window once it has ended,
    // under the lock, which also makes the hand-over plain to the thread
    // checkers (Qt's own locks are not instrumented).
    mutable std::mutex mutex_;
    deruzera::TScanOutcome outcome_;
    deruzera::TFoundFileList files_;
};
