#include "BatchWorker.h"

#include <new>

#include "EventLog.h"
#include "MainForm.h"
#include "platform/Target.h"

TBatchWorker::TBatchWorker(TMainForm& form, std::shared_ptr<const deruzera::TScanResults> results,
                           const std::vector<std::uint32_t>& entries, std::string folder, bool allowSameDevice,
                           std::atomic<bool>& stop)
    : form_(form), results_(std::move(results)), entries_(entries), folder_(std::move(folder)), stop_(stop) {
    options_.AllowSameDevice = allowSameDevice;
    items_.reserve(entries_.size());
    for (std::uint32_t entry : entries_) {
        const deruzera::TFoundFiles& file = results_->Files[entry];
        items_.push_back({file.Record, file.Sequence, file.FileSize, file.State});
    }
}

TBatchWorker::~TBatchWorker() {
    if (isRunning()) {
        stop_ = true;
        wait();
    }
}

void TBatchWorker::run() {
    // A failure that escapes the batch ends the worker with a red line; the
    // window's end handler runs all the same.
    try {
        if (results_->Device)
            outcome_ = deruzera::RecoverBatch(*results_->Device, results_->Volume, items_, folder_,
                                              deruzera::platform::LocalFileSystem(), *this, stop_, options_);
        else
            Line({"Error: Invalid handle value", deruzera::clRed});
    } catch (const std::bad_alloc&) {
        Line(deruzera::RecoveryStoppedLine(true));
    } catch (...) {
        Line(deruzera::RecoveryStoppedLine(false));
    }
}

void TBatchWorker::Line(const deruzera::TLogLine& line) { deruzera::LogMessage(line.Text, line.Colour); }

void TBatchWorker::Progress(const deruzera::TBatchProgress& progress) { form_.ReportBatchProgress(progress); }

std::string TBatchWorker::Describe(const deruzera::TBatchItem& item) {
    // The items are in step with the entries they were made from.
    const std::uint32_t entry = entries_[static_cast<std::size_t>(&item - items_.data())];
    const deruzera::TFoundFiles& file = results_->Files[entry];
    return results_->FilePath(file) + results_->Files.NameText(file);
}
