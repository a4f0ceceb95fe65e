// The reading thread of the scan and what it does to each chunk.
#include "MftReader.h"

#include <algorithm>
#include <cstring>

#include "Fixup.h"
#include "Mft.h"

namespace deruzera {

namespace {

bool AllZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

// Records neither in use nor a deleted file or folder carry nothing to
// know, nor do files in use where nobody asks who holds clusters; the flags
// lie away from the fixup's positions, so they are tested first. Where
// `live` is given, the clusters of the folders and extension records in use
// are noted there, and those of the files in use too, unless
// `leaveFilesInUse` leaves them to the walk. A record that was never used
// is all zeros; one that holds bytes but not the "FILE" signature, or fails
// its update sequence, counts as damaged. With `listFilesInUse` a file in
// use is prepared as a deleted file is (InUseFlag set), its clusters noted
// here where `live` is given.
TPrepareCounts Prepare(std::uint8_t* chunk, std::size_t records, std::size_t recordSize, std::int64_t first,
                       const TVolume& volume, TLiveFiles* live, bool leaveFilesInUse, std::vector<TPrepared>& prepared,
                       bool listFilesInUse) {
    TPrepareCounts counts;
    prepared.resize(records);
    if (live) live->clear();
    for (std::size_t i = 0; i < records; ++i) {
        TPrepared& p = prepared[i];
        p.Kind = TPrepared::Nothing;
        const std::span<std::uint8_t> record(chunk + i * recordSize, recordSize);
        if (record.size() < RecordHeader::Size || std::memcmp(record.data(), "FILE", 4) != 0) {
            if (!AllZero(record)) {
                ++counts.WithBytes;
                ++counts.Damaged;
            }
            continue;
        }
        ++counts.WithBytes;
        const std::uint16_t flags = ReadU16(record, RecordHeader::Flags);
        const bool inUse = (flags & RecordInUse) != 0;
        const bool directory = flags == RecordIsDirectory || flags == (RecordIsDirectory | RecordInUse);
        const std::int64_t base = RecordNumberOf(ReadU64(record, RecordHeader::BaseRecord));
        if (!inUse && flags != 0 && !directory) continue;
        const bool fileInUse = inUse && !directory && base == 0;
        // Listed: plain files in use, not the indexes of the system's files.
        const bool listed = fileInUse && listFilesInUse && flags == RecordInUse;
        if (fileInUse && !listed && (!live || leaveFilesInUse)) {
            if (live) p.Kind = TPrepared::InUse;
            continue;
        }
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            ++counts.Damaged;
            continue;
        }
        p.InUseFlag = inUse;
        const TRecordView view = ViewRecord(record);
        // A file in use noted here leaves nothing for the walk, unless it is listed.
        p.Kind = fileInUse ? (listed ? TPrepared::DeletedFile : TPrepared::Nothing)
                 : base != 0                      ? TPrepared::Extension
                 : directory                      ? TPrepared::Directory
                                                  : TPrepared::DeletedFile;
        p.Keep(record, view);
        if (!live || !inUse) continue;
        // An extension record's clusters belong to its base.
        if (p.Kind == TPrepared::Extension) live->Note(view, base, {}, volume);
        else if (view.NonResident)
            live->Note(view, first + static_cast<std::int64_t>(i), directory ? TBytes{} : view.Name(), volume);
    }
    return counts;
}

// The stretches of the MFT, as [first, end) MFT bytes in order, that lie on
// the device. Records past the device's end read as zeros, and a damaged
// boot sector and record 0 can place billions of them there.
std::vector<std::pair<std::int64_t, std::int64_t>> MftOnDevice(const TVolume& volume, std::int64_t deviceSize) {
    std::vector<std::pair<std::int64_t, std::int64_t>> stretches;
    if (deviceSize < 0) {
        stretches.emplace_back(0, INT64_MAX);
    } else if (volume.MFTRuns.empty()) {
        if (volume.MFTOffset < deviceSize) stretches.emplace_back(0, deviceSize - volume.MFTOffset);
    } else {
        // Runs lie inside the volume, whose bytes fit in 48 bits: these
        // products can't overflow.
        const std::int64_t cluster = volume.BytesPerCluster;
        for (const TMftRun& run : volume.MFTRuns) {
            const std::int64_t at = run.Lcn * cluster;
            if (at < deviceSize)
                stretches.emplace_back(run.Vcn * cluster,
                                       run.Vcn * cluster + std::min(run.Length * cluster, deviceSize - at));
        }
    }
    return stretches;
}

// The first record from `n` on with bytes in one of `stretches`, or `count`.
std::int64_t NextRecordOnDevice(const std::vector<std::pair<std::int64_t, std::int64_t>>& stretches, std::int64_t n,
                                std::int64_t recordSize, std::int64_t count) {
    if (n >= count) return count;
    const auto it = std::upper_bound(stretches.begin(), stretches.end(), n * recordSize,
                                     [](std::int64_t byte, const auto& s) { return byte < s.second; });
    if (it == stretches.end()) return count;
    return std::min(count, std::max(n, it->first / recordSize));
}

void TMftReader::Run() {
    const std::size_t recordSize = volume_.FileRecordSize;
    const std::int64_t step = static_cast<std::int64_t>(chunkRecords_);
    try {
        for (;;) {
            TChunk* chunk;
            std::size_t index;
            std::int64_t first;
            bool ahead;
            {
                std::unique_lock lock(mutex_);
                free_.wait(lock, [this] { return stop_ || taken_ - consumed_ < Slots; });
                if (stop_ || nextFirst_ >= volume_.RecordCount) {
                    if (!stop_ && ends_ == SIZE_MAX) ends_ = taken_;
                    ready_.notify_all();
                    return;
                }
                index = taken_++;
                // Noting the files in use goes to whichever side has
                // time: here while the walk is behind, else to the walk.
                ahead = taken_ - consumed_ > Slots / 2;
                first = nextFirst_;
                nextFirst_ = NextOnDevice(first + step);
                chunk = &slots_[index % Slots];
            }
            if (!chunk->Bytes) chunk->Bytes = std::make_unique_for_overwrite<std::uint8_t[]>(chunkRecords_ * recordSize);
            chunk->First = first;
            chunk->Records = static_cast<std::size_t>(std::min(step, volume_.RecordCount - first));
            chunk->Error = ReadMftBytes(device_, volume_, first * static_cast<std::int64_t>(recordSize),
                                        chunk->Bytes.get(), chunk->Records * recordSize);
            if (chunk->Error == 0) Prepare(*chunk, !ahead);
            {
                std::lock_guard lock(mutex_);
                chunk->Index = index;
            }
            ready_.notify_all();
        }
    } catch (...) {
        {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
        }
        ready_.notify_all();
    }
}

}  // namespace deruzera
