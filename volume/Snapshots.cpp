// The scan of a live volume's snapshots for the files it no longer has.
#include "Snapshots.h"

#include <algorithm>

#include "Messages.h"
#include "Volume.h"

namespace deruzera {

void TLiveRecords::Reset(std::int64_t recordCount) {
    const auto count = static_cast<std::size_t>(std::max<std::int64_t>(recordCount, 0));
    inUse_.assign(count, 0);
    listed_.assign(count, 0);
    isInUse_.assign(count, false);
    isListed_.assign(count, false);
    more_.clear();
}

void TLiveRecords::NoteInUse(std::int64_t record, std::uint16_t sequence) {
    if (record < 0 || static_cast<std::uint64_t>(record) >= inUse_.size()) return;
    inUse_[static_cast<std::size_t>(record)] = sequence;
    isInUse_[static_cast<std::size_t>(record)] = true;
}

bool TLiveRecords::InUse(std::int64_t record, std::uint16_t sequence) const {
    if (record < 0 || static_cast<std::uint64_t>(record) >= inUse_.size()) return false;
    return isInUse_[static_cast<std::size_t>(record)] && inUse_[static_cast<std::size_t>(record)] == sequence;
}

std::size_t TLiveRecords::THash::operator()(const TKey& k) const {
    std::uint64_t h = static_cast<std::uint64_t>(k.Record) * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<std::uint64_t>(k.Sequence) << 1 | (k.InUse ? 1u : 0u)) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
    h ^= static_cast<std::uint64_t>(k.Size) + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
    h ^= k.Modified + 0x632BE59BD9B4E019ull + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
}

bool TLiveRecords::NoteListed(const TFoundFiles& file) {
    const bool inUse = (file.Flags & FoundInUse) != 0;
    if (!inUse && file.Record >= 0 && static_cast<std::uint64_t>(file.Record) < listed_.size()) {
        const auto at = static_cast<std::size_t>(file.Record);
        if (isListed_[at] && listed_[at] == file.Sequence) return false;
        if (!isListed_[at]) {
            isListed_[at] = true;
            listed_[at] = file.Sequence;
            return true;
        }
    }
    // A deleted file is the same file whatever its size says now; a file in
    // use is another version where its size or time differ.
    const TKey key{file.Record, inUse ? file.FileSize : 0, inUse ? file.Modified : 0, file.Sequence, inUse};
    return more_.insert(key).second;
}

bool TLiveRecords::KeepFromSnapshot(const TFoundFiles& file) {
    if ((file.Flags & FoundInUse) != 0 && InUse(file.Record, file.Sequence)) return false;
    return NoteListed(file);
}

std::vector<TSnapshotScan> ScanSnapshots(const std::vector<TSnapshotSource>& snapshots, const std::string& drive,
                                         TLiveRecords& live, TScanSink& sink, const std::atomic<bool>& abort) {
    std::vector<const TSnapshotSource*> order;
    for (const TSnapshotSource& s : snapshots) order.push_back(&s);
    // The newest copy of a file is listed: the newest snapshot goes first.
    std::stable_sort(order.begin(), order.end(),
                     [](const TSnapshotSource* a, const TSnapshotSource* b) { return a->Number > b->Number; });
    std::vector<TSnapshotScan> scans;
    for (const TSnapshotSource* source : order) {
        if (abort.load(std::memory_order_relaxed)) break;
        TSnapshotScan& scan = scans.emplace_back();
        scan.Number = source->Number;
        scan.Created = source->Created;
        TScanOutcome& outcome = scan.Outcome;
        sink.Line(SnapshotStartLine(drive, source->Number, source->Created));
        TDeviceAccess access;
        if (source->Open) access = source->Open();
        if (!access.Device) {
            outcome.End = TScanEnd::OpenFailed;
            outcome.Access = std::move(access);
            for (const TLogLine& line : SnapshotEndLines(source->Number, outcome)) sink.Line(line);
            continue;
        }
        std::shared_ptr<TNtfsVolume> volume;
        try {
            TOpenFailure failure;
            volume = TNtfsVolume::Open(access.Device, drive, nullptr, failure);
            if (!volume) {
                outcome.End = failure.End;
                outcome.What = failure.What;
                outcome.Offset = failure.Offset;
                outcome.Error = failure.Error;
            }
        } catch (const std::bad_alloc&) {
            outcome.End = TScanEnd::OutOfMemory;
        }
        if (volume) {
            volume->MarkSnapshot({static_cast<std::uint16_t>(source->Number), source->Created});
            sink.WalkingSnapshot(source->Number, volume->Geometry().RecordCount);
            TScanOptions options;
            options.FilesInUse = true;
            options.Keep = [&live](const TFoundFiles& file) { return live.KeepFromSnapshot(file); };
            outcome = WalkVolume(volume, sink, abort, options);
        }
        for (const TLogLine& line : SnapshotEndLines(source->Number, outcome)) sink.Line(line);
        if (outcome.End == TScanEnd::Aborted) break;
    }
    return scans;
}

void KeepSnapshotVolumes(TScanResults& results, const std::vector<TSnapshotScan>& scans) {
    for (const TSnapshotScan& scan : scans) {
        if (scan.Number < 1 || !scan.Outcome.Volume) continue;
        const auto at = static_cast<std::size_t>(scan.Number - 1);
        if (results.Snapshots.size() <= at) results.Snapshots.resize(at + 1);
        results.Snapshots[at] = scan.Outcome.Volume;
    }
}

}  // namespace deruzera
