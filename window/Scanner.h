// The scan's worker thread: one per scan, running ScanDrive. Its reports go
// to the window through queued calls, in order; the files it finds stay
// with the worker until the window takes them after it has ended.
#pragma once

#include <QThread>
#include <atomic>
#include <memory>

#include "volume/Salvane.h"

class TMainForm;

class TScanner : public QThread, private deruzera::TScanSink {
    Q_OBJECT

public:
    TScanner(TMainForm& form, std::string drive, deruzera::TDeviceOpener open, std::atomic<bool>& abort);
    // Asks a running scan to stop and waits for it.
    ~TScanner() override;

    // After the thread has ended: how the scan ended, and what it found
    // (null where the walk never began).
    const deruzera::TScanOutcome& Outcome() const { return outcome_; }
    std::shared_ptr<deruzera::TScanResults> TakeResults();

protected:
    void run() override;

private:
    void Line(const deruzera::TLogLine& line) override;
    void Walking(std::int64_t recordCount) override;
    void Progress(std::int64_t position, std::int64_t found) override;
    void Found(const deruzera::TFoundBatch& batch) override;

    TMainForm& form_;  // waits for this thread before it goes away
    std::string drive_;
    deruzera::TDeviceOpener open_;
    std::atomic<bool>& abort_;
    deruzera::TScanOutcome outcome_;
    deruzera::TFoundFileList files_;
};
