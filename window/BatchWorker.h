// The worker thread of a recovery of many files: runs RecoverBatch on the
// listed scan's device while the window goes on. Its lines go to the event
// log and its progress to the window through queued calls, in order.
#pragma once

#include <QThread>
#include <atomic>
#include <memory>

#include "volume/Batch.h"

class TMainForm;

class TBatchWorker : public QThread, private deruzera::TBatchSink {
    Q_OBJECT

public:
    // `entries` are files of `results` by their index in its list.
    TBatchWorker(TMainForm& form, std::shared_ptr<const deruzera::TScanResults> results,
                 const std::vector<std::uint32_t>& entries, std::string folder, bool allowSameDevice,
                 std::atomic<bool>& stop);
    // Asks a running batch to stop and waits for it.
    ~TBatchWorker() override;

    const deruzera::TBatchOutcome& Outcome() const { return outcome_; }

protected:
    void run() override;

private:
    void Line(const deruzera::TLogLine& line) override;
    void Progress(const deruzera::TBatchProgress& progress) override;
    std::string Describe(const deruzera::TBatchItem& item) override;

    TMainForm& form_;  // waits for this thread before it goes away
    std::shared_ptr<const deruzera::TScanResults> results_;
    std::vector<deruzera::TBatchItem> items_;
    std::vector<std::uint32_t> entries_;  // of each item
    std::string folder_;
    deruzera::TBatchOptions options_;
    std::atomic<bool>& stop_;
    deruzera::TBatchOutcome outcome_;
};
