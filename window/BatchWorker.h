// The worker thread of a recovery of many files: runs RecoverBatch on the
// listed scan's volume while the window goes on. It touches nothing of the
// window: its lines and progress leave it as queued signals carrying
// values, in order, and QThread::finished comes after all of them.
#pragma once

#include <QThread>
#include <atomic>
#include <memory>

#include "Scanner.h"
#include "volume/Batch.h"

Q_DECLARE_METATYPE(deruzera::TBatchProgress)

class TBatchWorker : public QThread, private deruzera::TBatchSink {
    Q_OBJECT

public:
    // `entries` are files of `results` by their index in its list.
    TBatchWorker(std::shared_ptr<const deruzera::TScanResults> results, const std::vector<std::uint32_t>& entries,
                 std::string folder, bool allowSameDevice, QObject* parent = nullptr);
    // Asks a running batch to stop and waits for it.
    ~TBatchWorker() override;

    // Ends the batch at the next file, or within the file being written.
    void Stop() { stop_ = true; }
    const deruzera::TBatchOutcome& Outcome() const { return outcome_; }

signals:
    void LineMade(deruzera::TLogLine line);
    void ProgressMade(deruzera::TBatchProgress progress);

protected:
    void run() override;

private:
    void Line(const deruzera::TLogLine& line) override;
    void Progress(const deruzera::TBatchProgress& progress) override;

    std::shared_ptr<const deruzera::TScanResults> results_;
    std::vector<deruzera::TBatchItem> items_;
    std::vector<std::int64_t> passIndex_;  // by item, for a pass's results: as TScanResults::PassIndex
    std::string folder_;
    deruzera::TBatchOptions options_;
    std::atomic<bool> stop_{false};
    deruzera::TBatchOutcome outcome_;
};
