#include "BatchWorker.h"

#include <new>

#include "platform/Target.h"
#include "volume/Messages.h"
#include "volume/Pass.h"

TBatchWorker::TBatchWorker(std::shared_ptr<const deruzera::TScanResults> results,
                           const std::vector<std::uint32_t>& entries, std::string folder, bool allowSameDevice,
                           QObject* parent)
    : QThread(parent), results_(std::move(results)), folder_(std::move(folder)) {
    qRegisterMetaType<deruzera::TLogLine>();
    qRegisterMetaType<deruzera::TBatchProgress>();
    options_.AllowSameDevice = allowSameDevice;
    items_.reserve(entries.size());
    for (std::uint32_t entry : entries) {
        // A file a snapshot gave is read from the snapshot's volume.
        items_.push_back(deruzera::BatchItemOf(*results_, results_->Files[entry]));
        if (results_->Pass) passIndex_.push_back(entry < results_->PassIndex.size() ? results_->PassIndex[entry] : -1);
    }
    // A pass's files are planned from its results, as the companion plans
    // them; the walk's that carving followed, from the walk's volume.
    if (results_->Pass)
        options_.Plan = [this](std::size_t i) {
            if (passIndex_[i] >= 0) return results_->Pass->Plan(static_cast<std::size_t>(passIndex_[i]));
            return deruzera::PlanRecovery(*results_->Volume, items_[i].Record, items_[i].Sequence);
        };
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
        if (results_->Volume && results_->Volume->SharedDevice())
            outcome_ = deruzera::RecoverBatch(*results_->Volume, items_, folder_, deruzera::platform::LocalFileSystem(),
                                              *this, stop_, options_);
        else
            for (const deruzera::TLogLine& line : deruzera::OpenFailedLines({})) Line(line);
    } catch (const std::bad_alloc&) {
        Line(deruzera::RecoveryStoppedLine(true));
    } catch (...) {
        Line(deruzera::RecoveryStoppedLine(false));
    }
}

void TBatchWorker::Line(const deruzera::TLogLine& line) { emit LineMade(line); }

void TBatchWorker::Progress(const deruzera::TBatchProgress& progress) { emit ProgressMade(progress); }
