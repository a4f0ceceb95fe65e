// The deleted-file scan: every MFT record from 16 on whose header flags are
// 0 (not in use, not a directory) is listed with its name, directory path,
// size, times and whether its clusters still hold its content. One walk of
// the MFT in order reads every record once: the directories it passes give
// the paths, the files in use give who holds which clusters now, and the
// extension records give the extents of files with attribute lists.
#include "Scan.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "EndAsValue.h"
#include "Messages.h"
#include "Fixup.h"
#include "Mft.h"
#include "MftReader.h"
#include "Snapshots.h"
#include "Volume.h"
#include "Walk.h"

namespace deruzera {
namespace {

constexpr std::int64_t ProgressEvery = 128;
// How many records ahead the walk asks for the bytes it will read.
constexpr std::size_t PrefetchAhead = 4;
// The walk reads the MFT this many bytes at a time.
constexpr std::size_t ScanChunkBytes = 1 << 18;
// The longest chunk a device's preference gets: the reader holds six of
// them, the walk one.
constexpr std::size_t MaxScanChunkBytes = 1 << 22;
// A device that fails this many chunks in a row, record by record, is gone.
constexpr int MaxFailedChunks = 16;

// Notes record `n` in `live` where it is a base record in use. The header
// lies before the first stretch the update sequence protects.
void NoteRecordUse(const std::uint8_t* record, std::size_t recordSize, std::int64_t n, TLiveRecords& live) {
    if (recordSize < RecordHeader::Size || std::memcmp(record, "FILE", 4) != 0) return;
    const TBytes header(record, RecordHeader::Size);
    if ((ReadU16(header, RecordHeader::Flags) & RecordInUse) == 0 || ReadU64(header, RecordHeader::BaseRecord) != 0) return;
    live.NoteInUse(n, ReadU16(header, RecordHeader::Sequence));
}

// Walks records 16 .. RecordCount - 1 in order while the reading thread
// reads the chunks ahead. Records 0 to 15 come in from the volume's load:
// they are not listed, but say where the system files lie.
void WalkMft(TNtfsVolume& ntfs, TScanOutcome& outcome, TScanSink& sink, const std::atomic<bool>& abort,
             const TScanOptions& options) {
    TDevice& device = ntfs.Device();
    const TVolume& volume = ntfs.Geometry();
    const std::size_t recordSize = volume.FileRecordSize;
    TClusterBitmap* bitmap = options.Recoverability ? ntfs.Bitmap() : nullptr;
    TWalk walk(ntfs, outcome, sink, bitmap, &options);
    const bool holders = bitmap != nullptr;
    // Stretches of records past the end of the device are passed over.
    // Longer chunks where the device serves longer reads better, up to MaxScanChunkBytes.
    const std::size_t chunkBytes = std::clamp(device.PreferredReadBytes(), ScanChunkBytes, MaxScanChunkBytes);
    TMftReader reader(device, volume, holders, std::max<std::size_t>(1, chunkBytes / recordSize),
                      MftOnDevice(volume, device.Size()), options.FilesInUse);
    if (options.Live) options.Live->Reset(volume.RecordCount);

    // Room taken ahead is only address space until used.
    if (holders) walk.ExpectLive(static_cast<std::size_t>(std::clamp<std::int64_t>(volume.RecordCount, 0, 1 << 20)));
    std::vector<TPrepared> system;
    TLiveFiles systemLive;
    TDynamicCharArray systemRecords(ntfs.SystemRecords().begin(), ntfs.SystemRecords().end());
    const std::size_t systemCount = std::min<std::size_t>(FirstUserRecord, systemRecords.size() / recordSize);
    const TPrepareCounts systemCounts =
        Prepare(systemRecords.data(), systemCount, recordSize, 0, volume, holders ? &systemLive : nullptr, false, system);
    outcome.RecordsWithBytes += static_cast<std::int64_t>(systemCounts.WithBytes);
    outcome.DamagedRecords += static_cast<std::int64_t>(systemCounts.Damaged);
    walk.Live(systemLive);
    for (std::size_t n = 0; n < systemCount; ++n)
        walk.Record(std::span<std::uint8_t>(systemRecords.data() + n * recordSize, recordSize), system[n],
                    static_cast<std::int64_t>(n));

    int failedChunks = 0;
    auto finish = [&](TScanEnd end) {
        reader.Stop();
        walk.Finish();
        outcome.End = end;
    };
    while (TChunk* chunk = reader.Next()) {
        const std::int64_t first = chunk->First;
        const std::size_t records = chunk->Records;
        std::uint8_t* bytes = chunk->Bytes.get();
        if (chunk->Error != 0) {
            // Some part of the chunk failed: read it again record by record,
            // so that only the records the device can't give are lost.
            std::size_t unreadable = 0;
            for (std::size_t i = 0; i < records; ++i) {
                const std::int64_t n = first + static_cast<std::int64_t>(i);
                if (ReadMftBytes(device, volume, n * static_cast<std::int64_t>(recordSize), bytes + i * recordSize,
                                 recordSize) != 0)
                    ++unreadable;
            }
            outcome.UnreadableRecords += static_cast<std::int64_t>(unreadable);
            failedChunks = unreadable == records ? failedChunks + 1 : 0;
            if (failedChunks >= MaxFailedChunks) {
                outcome.Error = chunk->Error;
                outcome.Offset = FileRecordOffset(volume, first);
                return finish(TScanEnd::ReadError);
            }
            reader.Prepare(*chunk, true);
        } else {
            failedChunks = 0;
        }
        outcome.RecordsWithBytes += static_cast<std::int64_t>(chunk->Counts.WithBytes);
        outcome.DamagedRecords += static_cast<std::int64_t>(chunk->Counts.Damaged);
        if (options.Live)
            for (std::size_t i = 0; i < records; ++i)
                NoteRecordUse(bytes + i * recordSize, recordSize, first + static_cast<std::int64_t>(i), *options.Live);
        walk.Live(chunk->Live);
        for (std::size_t i = 0; i < records; ++i) {
            const std::int64_t n = first + static_cast<std::int64_t>(i);
            if (abort.load(std::memory_order_relaxed)) return finish(TScanEnd::Aborted);
            if (n % ProgressEvery == 0) {
                walk.Deliver(n);
                sink.Progress(n + 1, outcome.FoundCount);
            }
            // The records were read on another core: ask for the lines the
            // walk will read a few records ahead.
            if (i + PrefetchAhead < records)
                PrefetchRecord(bytes + (i + PrefetchAhead) * recordSize, recordSize, chunk->Prepared[i + PrefetchAhead]);
            walk.Record(std::span<std::uint8_t>(bytes + i * recordSize, recordSize), chunk->Prepared[i], n);
        }
    }
    finish(TScanEnd::Completed);
}

void OpenFailed(TScanOutcome& outcome, const TOpenFailure& failure) {
    outcome.End = failure.End;
    outcome.What = failure.What;
    outcome.Offset = failure.Offset;
    outcome.Error = failure.Error;
}

}  // namespace

TScanOutcome WalkVolume(const std::shared_ptr<TNtfsVolume>& volume, TScanSink& sink, const std::atomic<bool>& abort,
                        const TScanOptions& options) {
    TScanOutcome outcome;
    outcome.Volume = volume;
    Guarded(outcome, [&] {
        outcome.Walked = true;
        WalkMft(*volume, outcome, sink, abort, options);
        if (outcome.End == TScanEnd::Completed) volume->SetScanned();
    });
    return outcome;
}

TScanOutcome ScanVolume(const std::shared_ptr<TNtfsVolume>& volume, TScanSink& sink, const std::atomic<bool>& abort,
                        const TScanOptions& options) {
    TScanOutcome outcome;
    Guarded(outcome, [&] {
        outcome.Walked = true;
        sink.Walking(volume->Geometry().RecordCount);
        sink.Line(WalkStartLine(volume->Drive()));
    });
    if (outcome.End == TScanEnd::Completed) outcome = WalkVolume(volume, sink, abort, options);
    outcome.Volume = volume;
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

namespace {

// Opens the volume on `device` with its lines; on failure the outcome
// says why and the end lines are given.
TScanOutcome OpenAndScan(const std::shared_ptr<TDevice>& device, const std::string& drive, TScanSink& sink,
                         const std::atomic<bool>& abort, const TScanOptions& options) {
    TScanOutcome outcome;
    std::shared_ptr<TNtfsVolume> volume;
    Guarded(outcome, [&] {
        TOpenFailure failure;
        volume = TNtfsVolume::Open(device, drive, &sink, failure);
        if (!volume) OpenFailed(outcome, failure);
    });
    if (volume) return ScanVolume(volume, sink, abort, options);
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

}  // namespace

TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort,
                       const TScanOptions& options) {
    // Shares no ownership: the caller keeps the device.
    return OpenAndScan(std::shared_ptr<TDevice>(std::shared_ptr<TDevice>{}, &device), drive, sink, abort, options);
}

TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort, const TScanOptions& options) {
    TScanOutcome outcome;
    if (drive.empty()) {
        outcome.End = TScanEnd::NoDrive;
    } else {
        sink.Line(ScanStartLine(drive));
        TDeviceAccess access;
        if (open) access = open(drive);
        if (access.Device) return OpenAndScan(access.Device, drive, sink, abort, options);
        outcome.End = TScanEnd::OpenFailed;
        outcome.Access = std::move(access);
    }
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

}  // namespace deruzera
