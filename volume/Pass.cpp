// The passes over the whole source: the reading thread that keeps a chunk
// or two ahead, the deep scan over what it reads, carving, and the results
// they leave for the recovery.
#include "Pass.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "DeepList.h"
#include "EndAsValue.h"
#include "Messages.h"
#include "Read.h"
#include "Volume.h"

namespace deruzera {
namespace {

// The pass reads this much at a time: large enough that a disk streams,
// small enough that three chunks in flight cost little.
constexpr std::size_t PassChunk = std::size_t{4} << 20;
// Chunks read ahead of the one being looked into.
constexpr std::size_t ChunkSlots = 3;
// The folder of carved files, as a key of the results' directory table:
// above every key a deep scan's volumes use.
constexpr std::int64_t CarvedKey = (std::int64_t{0x3FFF} << 48) | 1;

// The device read in order, a chunk at a time, on a thread of its own that
// stays ChunkSlots chunks ahead; each chunk read carefully, so a bad sector
// costs that sector only.
class TChunkReader {
public:
    struct TChunk {
        std::vector<std::uint8_t> Bytes;
        std::int64_t At = 0;
        std::size_t Length = 0;        // bytes of the device in it
        std::vector<TUnreadRange> Unread;
        std::uint64_t UnreadBytes = 0;
        bool Last = false;
        bool Ready = false;
    };

    explicit TChunkReader(TDevice& device) : device_(device), size_(device.Size()) {
        for (TChunk& slot : slots_) slot.Bytes.resize(PassChunk);
        thread_ = std::thread([this] { Run(); });
    }
    ~TChunkReader() { Stop(); }
    TChunkReader(const TChunkReader&) = delete;
    TChunkReader& operator=(const TChunkReader&) = delete;

    // The next chunk in order, the caller's until the next call; null after
    // the last.
    TChunk* Next() {
        std::unique_lock lock(mutex_);
        if (holding_) {
            slots_[consumed_ % ChunkSlots].Ready = false;
            ++consumed_;
            holding_ = false;
            changed_.notify_all();
        }
        TChunk& chunk = slots_[consumed_ % ChunkSlots];
        changed_.wait(lock, [&] { return chunk.Ready || (ended_ && consumed_ == produced_) || failure_; });
        if (failure_) std::rethrow_exception(failure_);
        if (!chunk.Ready) return nullptr;
        holding_ = true;
        return &chunk;
    }

    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run() {
        try {
            std::int64_t at = 0;
            for (;;) {
                TChunk* slot;
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [&] { return stop_ || produced_ - consumed_ < ChunkSlots; });
                    if (stop_) break;
                    slot = &slots_[produced_ % ChunkSlots];
                }
                std::size_t want = PassChunk;
                if (size_ >= 0) want = static_cast<std::size_t>(std::clamp<std::int64_t>(size_ - at, 0, PassChunk));
                slot->At = at;
                slot->Unread.clear();
                const TReadGaps gaps = want ? ReadCarefully(device_, at, slot->Bytes.data(), want, &slot->Unread) : TReadGaps{};
                slot->Length = want - static_cast<std::size_t>(std::min<std::uint64_t>(gaps.PastEnd, want));
                slot->UnreadBytes = gaps.Bytes;
                slot->Last = slot->Length < PassChunk;
                at += static_cast<std::int64_t>(slot->Length);
                std::lock_guard lock(mutex_);
                slot->Ready = true;
                ++produced_;
                if (slot->Last) ended_ = true;
                changed_.notify_all();
                if (ended_) break;
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
            changed_.notify_all();
        }
    }

    TDevice& device_;
    const std::int64_t size_;
    std::array<TChunk, ChunkSlots> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t produced_ = 0, consumed_ = 0;
    bool holding_ = false, ended_ = false, stop_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

// The pace of a pass, for the time left.
class TClock {
public:
    double Seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace

// What the results keep to read each file again.
struct TPassResults::TState {
    std::shared_ptr<TDevice> Device;
    std::string Drive;
    deep::TFinds Finds;
    std::vector<deep::TGroup> Groups;
    // By index into the results' files: a deep file's group and record, or
    // for a carved file its index in Carved (as Record).
    std::vector<deep::TDeepItem> Items;
    std::vector<TCarvedFile> Carved;
};

const char* FoundByName(TFoundBy by) {
    switch (by) {
    case TFoundBy::Deep: return "deep";
    case TFoundBy::Carve: return "carve";
    case TFoundBy::Walk: break;
    }
    return "";
}

std::string DeepVolumeFolder(std::size_t number) { return "$Volume" + std::to_string(number); }
std::string UnnamedFileName(std::int64_t record) { return "record-" + std::to_string(record); }

std::int64_t SecondsLeft(double seconds, std::uint64_t done, std::uint64_t total) {
    if (seconds < 1 || done == 0 || total == 0 || done > total) return -1;
    return static_cast<std::int64_t>(seconds * static_cast<double>(total - done) / static_cast<double>(done) + 0.5);
}

std::string TPassResults::FilePath(std::size_t index) const {
    return Volume->Directories().PathOf(Files[index].ParentRecord, Volume->Drive()) + "\\";
}

TRecoveryPlan TPassResults::Plan(std::size_t index) const {
    TRecoveryPlan plan;
    if (index >= Files.size() || !State) {
        plan.End = TPlanEnd::OutsideMft;
        return plan;
    }
    const TFoundFiles& found = Files[index];
    const TFoundPlace& place = Places[index];
    if (place.By == TFoundBy::Deep) {
        return deep::PlanDeepFile(State->Finds, State->Groups, State->Items[index], State->Device, State->Drive, found,
                                  Files.NameText(found), FilePath(index));
    }
    const TCarvedFile& carved = State->Carved[State->Items[index].Record];
    plan.Record = -1;
    plan.HasName = true;
    plan.FileName = Files.NameText(found);
    plan.FilePath = FilePath(index);
    plan.State = found.State;
    plan.Content = CarvedContent(carved);
    plan.StoredBytes = carved.Length;
    return plan;
}

namespace {

// One pass's work over an open device.
class TPass {
public:
    TPass(const std::shared_ptr<TDevice>& device, const std::string& drive, TPassSink& sink,
          const std::atomic<bool>& abort, const TPassOptions& options, TPassOutcome& outcome)
        : device_(device), drive_(drive), sink_(sink), abort_(abort), options_(options), outcome_(outcome) {
        outcome_.Results = std::make_shared<TPassResults>();
        results_ = outcome_.Results.get();
        results_->State = std::make_shared<TPassResults::TState>();
        state_ = results_->State.get();
        state_->Device = device;
        state_->Drive = drive;
        TVolume volume;
        volume.CurrentDrive = drive;
        results_->Volume = std::make_shared<TNtfsVolume>(device, volume);
        results_->Volume->SetScanned();
    }

    void Run() {
        if (!options_.Deep) Walk();
        if (outcome_.End != TScanEnd::Completed) return;
        if (options_.Deep) Deep();
        if (outcome_.End == TScanEnd::Completed && options_.Carve) Carve();
    }

private:
    // The volume's own walk, where it opens: its lines and files as any scan's.
    void Walk() {
        TOpenFailure failure;
        std::shared_ptr<TNtfsVolume> volume = TNtfsVolume::Open(device_, drive_, &sink_, failure);
        if (!volume) {
            TScanOutcome ended;
            ended.End = failure.End;
            ended.What = failure.What;
            ended.Offset = failure.Offset;
            ended.Error = failure.Error;
            for (const TLogLine& line : ScanEndLines(ended)) sink_.Line(line);
            outcome_.Walk = ended;
            if (!options_.Carve) outcome_.End = failure.End;
            return;
        }
        outcome_.Walked = true;
        outcome_.Walk = ScanVolume(volume, sink_, abort_);
        known_ = outcome_.Walk.Volume;
        if (outcome_.Walk.End == TScanEnd::Aborted) outcome_.End = TScanEnd::Aborted;
        else if (outcome_.Walk.End != TScanEnd::Completed && !options_.Carve) outcome_.End = outcome_.Walk.End;
    }

    void Progress(TPassStage stage, std::uint64_t done, std::uint64_t total, std::uint64_t found, const TClock& clock) {
        TPassProgress p;
        p.Stage = stage;
        p.Done = done;
        p.Total = total;
        p.Found = found;
        p.SecondsLeft = SecondsLeft(clock.Seconds(), done, total);
        sink_.PassProgress(p);
    }

    void Deep() {
        outcome_.DeepScanned = true;
        sink_.Walking(0);
        sink_.Line(DeepStartLine(drive_));
        deep::TFinds& finds = state_->Finds;
        deep::TSectorFinder finder;
        const std::int64_t size = device_->Size();
        outcome_.BytesTotal += size > 0 ? static_cast<std::uint64_t>(size) : 0;
        const TClock clock;
        {
            TChunkReader reader(*device_);
            std::uint64_t done = 0;
            while (TChunkReader::TChunk* chunk = reader.Next()) {
                if (abort_.load(std::memory_order_relaxed)) {
                    outcome_.End = TScanEnd::Aborted;
                    break;
                }
                outcome_.ReadErrors += chunk->Unread.size();
                outcome_.UnreadBytes += chunk->UnreadBytes;
                finder.Find(std::span<std::uint8_t>(chunk->Bytes.data(), chunk->Length), chunk->At, finds);
                done += chunk->Length;
                outcome_.BytesDone += chunk->Length;
                Progress(TPassStage::Deep, done, size > 0 ? static_cast<std::uint64_t>(size) : 0, finds.Records.size(),
                         clock);
                if (chunk->Last) break;
            }
        }
        outcome_.Records = finds.Records.size();
        outcome_.DamagedRecords = finds.Damaged;
        // What was found is put together and listed, stopped or not.
        state_->Groups = deep::GroupRecords(finds, size);
        deep::OpenGroups(finds, state_->Groups, device_, drive_);
        outcome_.Volumes = state_->Groups.size();
        for (const deep::TGroup& g : state_->Groups) {
            if (g.Anchor == deep::TAnchor::None) ++outcome_.Unplaced;
            if (g.Base == 0 && g.Live && !known_) known_ = g.Live;
        }
        outcome_.DeepFiles = deep::ListGroups(finds, state_->Groups, *device_, drive_, options_.SourceOrigin,
                                              results_->Volume->Directories(), [&](deep::TDeepBatch& batch) {
                                                  for (std::size_t i = 0; i < batch.Places.size(); ++i) {
                                                      batch.Places[i].Index = results_->Files.size() + i;
                                                      state_->Items.push_back(batch.Items[i]);
                                                  }
                                                  Hand(batch.Files, batch.Places);
                                              });
    }

    // Hands a batch to the sink and keeps it in the results.
    void Hand(const TFoundFileList& files, const std::vector<TFoundPlace>& places) {
        results_->Files.Append(files);
        results_->Places.insert(results_->Places.end(), places.begin(), places.end());
        sink_.Found(TFoundBatch{files, *results_->Volume, places.data()});
    }

    void Carve() {
        outcome_.Carved = true;
        std::vector<TByteRange> ranges;
        TCarveOptions carving;
        carving.Formats = options_.CarveFormats;
        if (known_) {
            int error = 0;
            ranges = FreeClusterRanges(*device_, known_->Geometry(), &error);
            carving.Alignment = known_->Geometry().BytesPerCluster;
            if (ranges.empty() && error != 0) known_.reset();
        }
        if (!known_) {
            ranges = {{0, UINT64_MAX}};
            carving.Alignment = 512;
            outcome_.CarvedWhole = true;
        }
        sink_.Line(CarveStartLine(drive_, outcome_.CarvedWhole));
        results_->Volume->Directories().Add(CarvedKey, RootRecord, CarvedFilesFolder);
        class TAdapter final : public TCarveSink {
        public:
            TAdapter(TPass& pass) : pass_(pass) {}
            void Progress(std::uint64_t done, std::uint64_t total, std::uint64_t found) override {
                pass_.Progress(TPassStage::Carve, done, total, found, clock_);
            }
            void Found(std::span<const TCarvedFile> batch) override { pass_.Carved(batch); }

        private:
            TPass& pass_;
            TClock clock_;
        } adapter(*this);
        const TCarveOutcome carved = CarveRanges(*device_, ranges, adapter, abort_, carving);
        outcome_.BytesTotal += carved.BytesTotal;
        outcome_.BytesDone += carved.BytesDone;
        outcome_.ReadErrors += carved.ReadErrors;
        outcome_.UnreadBytes += carved.UnreadBytes;
        if (carved.End == TCarveEnd::Aborted) outcome_.End = TScanEnd::Aborted;
    }

    void Carved(std::span<const TCarvedFile> batch) {
        TFoundFileList files;
        std::vector<TFoundPlace> places;
        for (const TCarvedFile& c : batch) {
            TCarvedFile kept = c;
            // Named by where it lies on the source.
            TCarvedFile named = c;
            named.SourceOffset += options_.SourceOrigin;
            TFoundFiles found;
            found.Record = -1;
            found.ParentRecord = CarvedKey;
            found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(c.Length, INT64_MAX));
            found.State = c.Complete ? TRecoverability::Carved : TRecoverability::CarvedIncomplete;
            files.Add(found, CarvedName(named));
            TFoundPlace place;
            place.By = TFoundBy::Carve;
            place.SourceOffset = named.SourceOffset;
            place.Index = results_->Files.size() + places.size();
            places.push_back(place);
            state_->Items.push_back({0, state_->Carved.size()});
            state_->Carved.push_back(std::move(kept));
            ++outcome_.CarvedFiles;
            if (!c.Complete) ++outcome_.Incomplete;
        }
        Hand(files, places);
    }

    std::shared_ptr<TDevice> device_;
    std::string drive_;
    TPassSink& sink_;
    const std::atomic<bool>& abort_;
    const TPassOptions& options_;
    TPassOutcome& outcome_;
    TPassResults* results_;
    TPassResults::TState* state_;
    // The volume whose bitmap says which clusters carving reads.
    std::shared_ptr<TNtfsVolume> known_;
};

}  // namespace

TPassOutcome ScanSource(const std::shared_ptr<TDevice>& device, const std::string& drive, TPassSink& sink,
                        const std::atomic<bool>& abort, const TPassOptions& options) {
    TPassOutcome outcome;
    Guarded(outcome, [&] { TPass(device, drive, sink, abort, options, outcome).Run(); });
    for (const TLogLine& line : PassEndLines(outcome)) sink.Line(line);
    return outcome;
}

TPassOutcome ScanSource(const std::string& drive, const TDeviceOpener& open, TPassSink& sink,
                        const std::atomic<bool>& abort, const TPassOptions& options) {
    sink.Line(ScanStartLine(drive));
    TDeviceAccess access;
    if (open) access = open(drive);
    if (access.Device) return ScanSource(access.Device, drive, sink, abort, options);
    TPassOutcome outcome;
    outcome.End = TScanEnd::OpenFailed;
    outcome.Walk.End = TScanEnd::OpenFailed;
    outcome.Walk.Access = std::move(access);
    for (const TLogLine& line : OpenFailedLines(outcome.Walk.Access)) sink.Line(line);
    return outcome;
}

}  // namespace deruzera
