// The deleted-file scan: every MFT record from 16 on whose header flags are
// 0 (not in use, not a directory) is listed with its name, directory path,
// size and times. One walk of the MFT in order reads every record once; the
// directories it passes give the paths.
#include <algorithm>
#include <cstring>
#include <future>
#include <new>
#include <queue>
#include <set>

#include "Salvane.h"

namespace deruzera {
namespace {

constexpr std::int64_t ProgressEvery = 128;
// The walk reads the MFT this many bytes at a time.
constexpr std::size_t ScanChunkBytes = 1 << 20;
// NTFS keeps attribute lists below 256 KiB.
constexpr std::uint64_t MaxAttributeList = 256 * 1024;
// A device that fails this many chunks in a row, record by record, is gone.
constexpr int MaxFailedChunks = 16;

std::string At(std::int64_t offset) { return " (at byte " + std::to_string(offset) + ")"; }

// Appends the runs of one $DATA extent of the MFT to `runs`; the extent's
// run list counts clusters from its own first VCN. False when damaged.
bool AppendMftRuns(TBytes data, const TVolume& volume, std::vector<TMftRun>& runs) {
    const std::size_t runOffset = ReadU16(data, NonResident::RunListOffset);
    const std::int64_t firstVcn = ReadS64(data, NonResident::FirstVcn);
    if (runOffset >= data.size() || firstVcn < 0 || firstVcn >= volume.ClusterCount) return false;
    try {
        std::int64_t vcn = firstVcn;
        for (const TDataRun& run : DecodeRunList(data.subspan(runOffset), volume.BytesPerCluster, volume.ClusterCount)) {
            // The MFT can't have more clusters than its volume.
            const auto length = static_cast<std::int64_t>(run.Length);
            if (vcn > volume.ClusterCount - length) return false;
            if (run.Lcn >= 0) runs.push_back({vcn, run.Lcn, length});
            vcn += length;
        }
    } catch (const ERecordError&) {
        return false;
    }
    return true;
}

// The runs in VCN order with overlapping ones dropped: a later extent that
// claims VCNs an earlier one holds is damage.
void OrderRuns(std::vector<TMftRun>& runs) {
    std::stable_sort(runs.begin(), runs.end(), [](const TMftRun& a, const TMftRun& b) { return a.Vcn < b.Vcn; });
    std::vector<TMftRun> kept;
    for (const TMftRun& run : runs)
        if (kept.empty() || run.Vcn >= kept.back().Vcn + kept.back().Length) kept.push_back(run);
    runs = std::move(kept);
}

// An MFT too fragmented for record 0 keeps the runs of its later VCNs in
// extension records that record 0's $ATTRIBUTE_LIST names. Each extension
// record counts once, and only for VCNs past those already mapped. Returns
// the last VCN the runs reach.
std::int64_t AppendExtensionRuns(TBytes record0, std::int64_t lastVcn, TDevice& device, TVolume& volume) {
    const TBytes listAttribute = FindAttributeView(record0, AttrAttributeList, false);
    if (listAttribute.empty()) return lastVcn;
    TDynamicCharArray list;
    try {
        const TFileContent content = ContentOfAttribute(listAttribute, volume);
        if (content.Size > MaxAttributeList) return lastVcn;
        ReadFileContent(device, content, [&](const std::uint8_t* b, std::uint64_t n) {
            if (b) list.insert(list.end(), b, b + n);
            else list.resize(list.size() + n, 0);
        });
    } catch (const ERecordError&) {
        return lastVcn;
    }
    std::set<std::int64_t> visited;
    TDynamicCharArray record;
    // The MFT as mapped so far: extension records lie in the part already
    // mapped. Each extent's runs go after the runs before it, so the map
    // grows at its end and is never copied or sorted again.
    TVolume mapped = volume;
    std::vector<TMftRun>& runs = mapped.MFTRuns;
    for (std::size_t p = 0; p + ListEntry::Size <= list.size();) {
        const std::size_t length = ReadU16(list, p + ListEntry::Length);
        if (length < ListEntry::Size || length % 8 != 0) break;
        const std::int64_t n = RecordNumberOf(ReadU64(list, p + ListEntry::Record));
        const auto firstVcn = static_cast<std::int64_t>(ReadU64(list, p + ListEntry::FirstVcn));
        p += length;
        if (ReadU32(list, p - length + ListEntry::Type) != AttrData || list[p - length + ListEntry::NameLength] != 0 ||
            firstVcn <= lastVcn || n <= MftRecord || !visited.insert(n).second)
            continue;
        if (ReadFileRecord(device, mapped, n, record) != 0) continue;
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            continue;
        }
        if (RecordNumberOf(ReadU64(record, RecordHeader::BaseRecord)) != MftRecord) continue;
        const TBytes extent = FindAttributeView(record, AttrData, false, false);
        const std::int64_t extentLast = ReadS64(extent, NonResident::LastVcn);
        if (extent.empty() || ReadU8(extent, AttrHeader::NonResident) != 1 ||
            ReadS64(extent, NonResident::FirstVcn) != firstVcn || extentLast < firstVcn)
            continue;
        // An extent that claims VCNs an earlier one holds is damage.
        const std::size_t before = runs.size();
        if (AppendMftRuns(extent, volume, runs) &&
            (before == 0 || runs.size() == before || runs[before].Vcn >= runs[before - 1].Vcn + runs[before - 1].Length))
            lastVcn = std::max(lastVcn, extentLast);
        else
            runs.resize(before);
    }
    volume.MFTRuns = std::move(runs);
    return lastVcn;
}

// Reads the MFT's extent from record 0 into `volume`: its runs (from $DATA,
// and from the extension records of its attribute list) and RecordCount.
TScanEnd ReadMftExtent(TBytes record0, TBytes data, TDevice& device, TVolume& volume, TScanOutcome& failure) {
    volume.MFTRuns.clear();
    volume.RecordCount = 0;
    if (data.empty() || ReadU8(data, AttrHeader::NonResident) != 1) return TScanEnd::Completed;  // nothing to walk

    const std::int64_t firstVcn = ReadS64(data, NonResident::FirstVcn);
    std::int64_t lastVcn = ReadS64(data, NonResident::LastVcn);
    failure.Offset = volume.MFTOffset;
    if (firstVcn != 0 || lastVcn < firstVcn) {
        failure.What = "record 0 gives VCNs " + std::to_string(firstVcn) + " to " + std::to_string(lastVcn) + At(volume.MFTOffset);
        return TScanEnd::MftDamaged;
    }
    if (lastVcn >= volume.ClusterCount) {
        failure.What = "its extent of " + std::to_string(lastVcn) + " clusters lies outside the volume of " +
                       std::to_string(volume.ClusterCount) + " clusters" + At(volume.MFTOffset);
        return TScanEnd::MftDamaged;
    }
    if (AppendMftRuns(data, volume, volume.MFTRuns)) {
        OrderRuns(volume.MFTRuns);
        lastVcn = AppendExtensionRuns(record0, lastVcn, device, volume);
    } else {
        volume.MFTRuns.clear();  // damaged runs: take the MFT as one stretch from MFTOffset
    }

    // lastVcn lies inside the volume, whose bytes fit in 48 bits.
    const std::int64_t bytes = (lastVcn - firstVcn + 1) * static_cast<std::int64_t>(volume.BytesPerCluster);
    const std::int64_t deviceSize = device.Size();
    if (deviceSize >= 0 && bytes > deviceSize && volume.MFTRuns.empty()) {
        failure.What = "its extent of " + std::to_string(bytes) + " bytes is larger than the drive" + At(volume.MFTOffset);
        return TScanEnd::MftDamaged;
    }
    const std::int64_t recordSize = volume.FileRecordSize;
    std::int64_t records = bytes / recordSize;
    // Records past the initialized size were never written, and records no
    // run holds can't be read: the walk stops before either.
    const auto initialized = static_cast<std::uint64_t>(ReadU64(data, NonResident::InitializedSize));
    if (initialized < static_cast<std::uint64_t>(bytes))
        records = std::min<std::int64_t>(records, static_cast<std::int64_t>((initialized + recordSize - 1) / recordSize));
    if (!volume.MFTRuns.empty()) {
        const TMftRun& last = volume.MFTRuns.back();
        records = std::min(records, (last.Vcn + last.Length) * static_cast<std::int64_t>(volume.BytesPerCluster) / recordSize);
    }
    volume.RecordCount = records;
    failure.Offset = -1;
    return TScanEnd::Completed;
}

// Reads record 0 of the volume whose geometry is in `volume` and maps the MFT.
TScanEnd LoadMft(TDevice& device, TVolume& volume, TScanOutcome& failure) {
    TDynamicCharArray record0;
    if (const int error = ReadFileRecord(device, volume, MftRecord, record0)) {
        failure.Error = error;
        failure.Offset = volume.MFTOffset;
        return TScanEnd::ReadError;
    }
    try {
        FixupRecord(record0);
    } catch (const ERecordError& e) {
        failure.What = e.what();
        return TScanEnd::Record0Damaged;
    }
    const TBytes data = FindAttributeView(record0, AttrData, false, false);
    const std::uint16_t flags = ReadU16(data, AttrHeader::Flags);
    if (flags == AttrCompressed || flags == AttrEncrypted || flags == AttrSparse) return TScanEnd::MftUnreadable;
    return ReadMftExtent(record0, data, device, volume, failure);
}

// One walk of the MFT: the files found, the directories seen, and the
// files held back until the directories of their paths have been walked.
class TWalk {
public:
    TWalk(TDevice& device, TScanOutcome& outcome, TScanSink& sink)
        : device_(device), outcome_(outcome), volume_(outcome.Volume), sink_(sink) {}

    void Record(std::span<std::uint8_t> record, std::int64_t n);
    // Hands the files whose paths are complete at `position` to the sink.
    void Deliver(std::int64_t position);
    TDevice& Device() { return device_; }

private:
    void ListFile(TBytes record, std::int64_t n);

    TDevice& device_;
    TScanOutcome& outcome_;
    const TVolume& volume_;
    TScanSink& sink_;
    TFoundFileList batch_;
    // Held back: the record whose walk completes the path, and the file.
    struct THeld {
        std::int64_t BlockedAt;
        std::size_t Index;
        bool operator>(const THeld& other) const { return BlockedAt > other.BlockedAt; }
    };
    std::priority_queue<THeld, std::vector<THeld>, std::greater<>> blocked_;
    TFoundFileList held_;
};

void TWalk::Record(std::span<std::uint8_t> record, std::int64_t n) {
    if (record.size() < RecordHeader::Size || std::memcmp(record.data(), "FILE", 4) != 0) return;
    // The flags lie in the first 512 bytes, away from the fixup positions,
    // so testing them before the fixup gives the same answer, sooner.
    const std::uint16_t flags = ReadU16(record, RecordHeader::Flags);
    const bool directory = flags == RecordIsDirectory || flags == (RecordIsDirectory | RecordInUse);
    if (flags != 0 && !directory) return;
    try {
        FixupRecord(record);
    } catch (const ERecordError&) {
        return;
    }
    // Extension records carry attributes of another record, never a file.
    if (ReadU64(record, RecordHeader::BaseRecord) != 0) return;
    if (directory) {
        const TBytes name = FindAttributeView(record, AttrFileName, true);
        if (!name.empty()) outcome_.Directories.Add(n, RecordNumberOf(ParentReferenceOf(name)), FileNameOf(name));
        return;
    }
    ListFile(record, n);
}

void TWalk::ListFile(TBytes record, std::int64_t n) {
    const TBytes si = FindAttributeView(record, AttrStandardInformation, false);
    if (si.empty()) return;
    const TBytes fileName = FindAttributeView(record, AttrFileName, true);
    if (fileName.empty()) return;
    const TBytes data = FindAttributeView(record, AttrData, false);
    if (data.empty()) return;
    // The size: the value length of a resident $DATA, the real size of a
    // non-resident one.
    const bool nonResident = ReadU8(data, AttrHeader::NonResident) == 1;
    const std::uint64_t size = nonResident ? ReadU64(data, NonResident::DataSize) : ReadU32(data, Resident::ValueLength);

    TFoundFiles found;
    found.Record = n;
    found.ParentRecord = RecordNumberOf(ParentReferenceOf(fileName));
    found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(size, INT64_MAX));
    found.Created = ReadU64(si, StandardInformation::Created);
    found.Modified = ReadU64(si, StandardInformation::Modified);
    found.Sequence = ReadU16(record, RecordHeader::Sequence);
    const std::string name = FileNameOf(fileName);
    ++outcome_.FoundCount;
    const std::int64_t blockedAt = outcome_.Directories.PendingAncestor(found.ParentRecord, n + 1);
    if (blockedAt < 0) {
        batch_.Add(found, name);
    } else {
        blocked_.push({blockedAt, held_.size()});
        held_.Add(found, name);
    }
}

void TWalk::Deliver(std::int64_t position) {
    while (!blocked_.empty() && blocked_.top().BlockedAt < position) {
        const THeld held = blocked_.top();
        blocked_.pop();
        const TFoundFiles& file = held_[held.Index];
        const std::int64_t next = outcome_.Directories.PendingAncestor(file.ParentRecord, position);
        if (next >= 0) blocked_.push({next, held.Index});
        else batch_.Add(file, held_.Name(file));
    }
    if (blocked_.empty()) held_.clear();
    if (batch_.empty()) return;
    sink_.Found(TFoundBatch{batch_, outcome_.Directories, volume_});
    batch_.clear();
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
                stretches.emplace_back(run.Vcn * cluster, run.Vcn * cluster + std::min(run.Length * cluster, deviceSize - at));
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

// Walks records 16 .. RecordCount - 1 in order, reading the MFT a chunk at a
// time while the chunk before is walked; stretches of records that lie past
// the end of the device are passed over.
void WalkMft(TDevice& device, TScanOutcome& outcome, TScanSink& sink, const std::atomic<bool>& abort) {
    const TVolume& volume = outcome.Volume;
    const std::size_t recordSize = volume.FileRecordSize;
    const std::size_t chunkRecords = std::max<std::size_t>(1, ScanChunkBytes / recordSize);
    std::vector<std::uint8_t> chunks[2] = {std::vector<std::uint8_t>(chunkRecords * recordSize),
                                           std::vector<std::uint8_t>(chunkRecords * recordSize)};
    TWalk walk(device, outcome, sink);

    const std::int64_t count = volume.RecordCount;
    const auto step = static_cast<std::int64_t>(chunkRecords);
    auto recordsFrom = [&](std::int64_t first) {
        return static_cast<std::size_t>(std::max<std::int64_t>(0, std::min(step, count - first)));
    };
    auto readChunk = [&device, &volume, recordSize, &recordsFrom](std::int64_t first, std::uint8_t* into) {
        return ReadMftBytes(device, volume, first * static_cast<std::int64_t>(recordSize), into,
                            recordsFrom(first) * recordSize);
    };
    const auto onDevice = MftOnDevice(volume, device.Size());
    auto nextOnDevice = [&](std::int64_t n) {
        return NextRecordOnDevice(onDevice, n, static_cast<std::int64_t>(recordSize), count);
    };
    std::future<int> pending;
    std::int64_t first = nextOnDevice(FirstUserRecord);
    if (first < count) pending = std::async(std::launch::async, readChunk, first, chunks[0].data());
    int current = 0;
    int failedChunks = 0;
    auto finish = [&](TScanEnd end) {
        if (pending.valid()) pending.wait();
        walk.Deliver(INT64_MAX);
        outcome.End = end;
    };
    for (std::int64_t next; first < count; first = next, current ^= 1) {
        const int error = pending.get();
        next = nextOnDevice(first + step);
        if (next < count) pending = std::async(std::launch::async, readChunk, next, chunks[current ^ 1].data());
        std::uint8_t* chunk = chunks[current].data();
        const std::size_t records = recordsFrom(first);
        if (error != 0) {
            // Some part of the chunk failed: read it again record by record,
            // so that only the records the device can't give are lost.
            std::size_t unreadable = 0;
            for (std::size_t i = 0; i < records; ++i) {
                const std::int64_t n = first + static_cast<std::int64_t>(i);
                if (ReadMftBytes(device, volume, n * static_cast<std::int64_t>(recordSize), chunk + i * recordSize,
                                 recordSize) != 0)
                    ++unreadable;
            }
            outcome.UnreadableRecords += static_cast<std::int64_t>(unreadable);
            failedChunks = unreadable == records ? failedChunks + 1 : 0;
            if (failedChunks >= MaxFailedChunks) {
                outcome.Error = error;
                outcome.Offset = FileRecordOffset(volume, first);
                return finish(TScanEnd::ReadError);
            }
        } else {
            failedChunks = 0;
        }
        for (std::size_t i = 0; i < records; ++i) {
            const std::int64_t n = first + static_cast<std::int64_t>(i);
            if (abort.load(std::memory_order_relaxed)) return finish(TScanEnd::Aborted);
            if (n % ProgressEvery == 0) {
                walk.Deliver(n);
                sink.Progress(n + 1, outcome.FoundCount);
            }
            walk.Record(std::span<std::uint8_t>(chunk + i * recordSize, recordSize), n);
        }
    }
    finish(TScanEnd::Completed);
}

}  // namespace

std::string TFoundBatch::FilePath(const TFoundFiles& file) const {
    return Directories.PathOf(file.ParentRecord, Volume.CurrentDrive) + "\\";
}

TScanEnd LoadVolume(TDevice& device, const std::string& drive, TVolume& volume, TLogSink* log, TScanOutcome& failure) {
    volume = TVolume{};
    volume.CurrentDrive = drive;
    int error = 0;
    TGeometryEnd geometry = ReadVolumeGeometry(device, volume, 0, &error);
    if (geometry == TGeometryEnd::ReadError) {
        failure.Error = error;
        failure.Offset = 0;
        return TScanEnd::ReadError;
    }
    if (geometry == TGeometryEnd::Accepted && log) log->Line({"This is a NTFS disk", clGreen});
    TScanEnd end = geometry == TGeometryEnd::Accepted ? LoadMft(device, volume, failure)
                   : geometry == TGeometryEnd::NotNtfs ? TScanEnd::NotNtfs
                                                       : TScanEnd::UnsupportedGeometry;
    if (end != TScanEnd::NotNtfs && end != TScanEnd::UnsupportedGeometry && end != TScanEnd::Record0Damaged) return end;

    // NTFS keeps a copy of its boot sector in the volume's last sector: where
    // the first one is unusable and the copy describes an MFT that checks
    // out, the copy serves.
    const std::int64_t size = device.Size();
    for (const std::int64_t sector : {std::int64_t{512}, std::int64_t{4096}}) {
        if (size < 2 * sector) continue;
        TVolume backup = volume;
        TScanOutcome backupFailure;
        if (ReadVolumeGeometry(device, backup, (size / sector - 1) * sector) != TGeometryEnd::Accepted) continue;
        if (LoadMft(device, backup, backupFailure) != TScanEnd::Completed) continue;
        if (log) {
            log->Line({"The boot sector is damaged: the backup copy at the end of the drive is used", clBlack});
            if (geometry != TGeometryEnd::Accepted) log->Line({"This is a NTFS disk", clGreen});
        }
        volume = std::move(backup);
        return TScanEnd::Completed;
    }
    if (geometry == TGeometryEnd::Unsupported && log) log->Line({"This is a NTFS disk", clGreen});
    return end;
}

TScanOutcome ScanDrive(TDevice& device, const std::string& drive, TScanSink& sink, const std::atomic<bool>& abort) {
    TScanOutcome outcome;
    try {
        outcome.End = LoadVolume(device, drive, outcome.Volume, &sink, outcome);
        if (outcome.End == TScanEnd::Completed) {
            outcome.Walked = true;
            sink.Walking(outcome.Volume.RecordCount);
            sink.Line({"Scanning for deleted files on drive " + drive + "\\ ...", clBlack});
            WalkMft(device, outcome, sink, abort);
        }
    } catch (const std::bad_alloc&) {
        outcome.End = TScanEnd::OutOfMemory;
    }
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

TScanOutcome ScanDrive(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                       const std::atomic<bool>& abort) {
    TScanOutcome outcome;
    if (drive.empty()) {
        outcome.End = TScanEnd::NoDrive;
    } else {
        sink.Line({"Preparing for scan the drive " + drive + "\\ ...", clBlack});
        std::string problem;
        std::shared_ptr<TDevice> device = open ? open(drive, problem) : nullptr;
        if (device) {
            outcome = ScanDrive(*device, drive, sink, abort);
            outcome.Device = std::move(device);
            return outcome;
        }
        outcome.End = TScanEnd::OpenFailed;
        outcome.What = problem;
    }
    for (const TLogLine& line : ScanEndLines(outcome)) sink.Line(line);
    return outcome;
}

}  // namespace deruzera
