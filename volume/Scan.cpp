// The deleted-file scan: every MFT record from 16 on whose header flags are
// 0 (not in use, not a directory) is listed with its name, directory path,
// size and times.
#include <algorithm>
#include <cstring>
#include <future>
#include <new>

#include "Log.h"
#include "Salvane.h"

namespace deruzera {
namespace {

constexpr std::size_t RecordFlags = 22;              // u16
constexpr std::size_t AttrFlags = 12;                // u16: 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
constexpr std::size_t AttrNonResident = 8;           // u8
constexpr std::size_t AttrFirstVcn = 16;             // s64, non-resident
constexpr std::size_t AttrLastVcn = 24;              // s64, non-resident
constexpr std::size_t AttrRunListOffset = 32;        // u16, non-resident
constexpr std::size_t SiCreated = 24;                // FILETIME in $STANDARD_INFORMATION
constexpr std::size_t SiModified = 32;
constexpr std::int64_t FirstUserRecord = 16;
constexpr std::int64_t ProgressEvery = 128;
// The walk reads the MFT this many bytes at a time.
constexpr std::size_t ScanChunkBytes = 1 << 20;

// Attribute list entries (from the entry's first byte).
constexpr std::size_t ListEntryType = 0;        // u32
constexpr std::size_t ListEntryLength = 4;      // u16
constexpr std::size_t ListEntryNameLength = 6;  // u8
constexpr std::size_t ListEntryFirstVcn = 8;    // u64
constexpr std::size_t ListEntryRecord = 16;     // u64 file reference
constexpr std::size_t ListEntryMinimum = 26;
// NTFS keeps attribute lists below 256 KiB.
constexpr std::uint64_t MaxAttributeList = 256 * 1024;

// Appends the runs of one $DATA extent of the MFT to the map; the extent's
// run list counts clusters from its own first VCN. False when damaged.
bool AppendMftRuns(std::span<const std::uint8_t> data, TVolume& volume) {
    const std::size_t runOffset = ReadU16(data, AttrRunListOffset);
    if (runOffset >= data.size()) return false;
    try {
        auto vcn = static_cast<std::int64_t>(ReadU64(data, AttrFirstVcn));
        for (const TDataRun& run : DecodeRunList(data.subspan(runOffset), volume.BytesPerCluster)) {
            const auto length = static_cast<std::int64_t>(run.Length);
            if (run.Lcn >= 0) volume.MFTRuns.push_back({vcn, run.Lcn, length});
            vcn += length;
        }
    } catch (const ERecordError&) {
        return false;
    }
    return true;
}

// An MFT too fragmented for record 0 keeps the runs of its later VCNs in
// extension records that record 0's $ATTRIBUTE_LIST names. Appends their
// runs and returns the last VCN they reach.
std::int64_t AppendExtensionRuns(std::span<const std::uint8_t> record0, std::int64_t lastVcn, TDevice& handle,
                                 TVolume& volume) {
    const auto listAttribute = FindAttributeView(record0, AttrAttributeList, false);
    if (listAttribute.empty()) return lastVcn;
    TDynamicCharArray list;
    try {
        const TFileContent content = ContentOfAttribute(listAttribute, volume);
        if (content.Size > MaxAttributeList) return lastVcn;
        ReadFileContent(handle, content, [&](const std::uint8_t* b, std::uint64_t n) {
            if (b) list.insert(list.end(), b, b + n);
            else list.resize(list.size() + n, 0);
        });
    } catch (const ERecordError&) {
        return lastVcn;
    }
    TDynamicCharArray record(volume.FileRecordSize);
    for (std::size_t p = 0; p + ListEntryMinimum <= list.size();) {
        const std::size_t length = ReadU16(list, p + ListEntryLength);
        if (length < ListEntryMinimum) break;
        const auto firstVcn = static_cast<std::int64_t>(ReadU64(list, p + ListEntryFirstVcn));
        const std::int64_t n = static_cast<std::int64_t>(ReadU64(list, p + ListEntryRecord) & 0xFFFFFFFFFFFFull);
        if (ReadU32(list, p + ListEntryType) == AttrData && list[p + ListEntryNameLength] == 0 && firstVcn > lastVcn &&
            n > 0 && n < INT32_MAX) {
            // Extension records lie in the part of the MFT already mapped.
            ReadMftBytes(handle, volume, n * static_cast<std::int64_t>(volume.FileRecordSize), record.data(), record.size());
            try {
                FixupRecord(record);
                const auto extent = FindAttributeView(record, AttrData, false);
                if (!extent.empty() && ReadLE(extent, AttrNonResident, 1) == 1 &&
                    static_cast<std::int64_t>(ReadU64(extent, AttrFirstVcn)) == firstVcn && AppendMftRuns(extent, volume)) {
                    lastVcn = std::max(lastVcn, static_cast<std::int64_t>(ReadU64(extent, AttrLastVcn)));
                }
            } catch (const ERecordError&) {
            }
        }
        p += length;
    }
    std::sort(volume.MFTRuns.begin(), volume.MFTRuns.end(),
              [](const TMftRun& a, const TMftRun& b) { return a.Vcn < b.Vcn; });
    return lastVcn;
}

// Reads the MFT's extent from record 0 into `volume`: its runs (from $DATA,
// and from the extension records of its attribute list), MFTClusters and
// RecordCount. False when the extent is unusable.
bool ReadMftExtent(std::span<const std::uint8_t> record0, std::span<const std::uint8_t> data, TDevice& handle,
                   TVolume& volume) {
    volume.MFTRuns.clear();
    volume.MFTRunsByLcn.clear();
    volume.MFTClusters = 0;
    volume.RecordCount = 0;
    if (data.empty() || ReadLE(data, AttrNonResident, 1) != 1) return true;  // nothing to walk

    const auto firstVcn = static_cast<std::int64_t>(ReadU64(data, AttrFirstVcn));
    auto lastVcn = static_cast<std::int64_t>(ReadU64(data, AttrLastVcn));
    if (firstVcn < 0 || lastVcn < firstVcn) return false;
    if (AppendMftRuns(data, volume)) {
        lastVcn = AppendExtensionRuns(record0, lastVcn, handle, volume);
    } else {
        volume.MFTRuns.clear();  // damaged runs: take the MFT as one stretch from MFTOffset
    }

    std::int64_t clusters;
    if (__builtin_sub_overflow(lastVcn, firstVcn, &clusters) || __builtin_add_overflow(clusters, 1, &clusters))
        return false;
    std::int64_t bytes;
    if (__builtin_mul_overflow(clusters, static_cast<std::int64_t>(volume.BytesPerCluster), &bytes)) return false;
    // An MFT larger than the device holding it can only come from damage.
    const std::int64_t deviceSize = handle.Size();
    if (deviceSize >= 0 && bytes > deviceSize) return false;
    const std::int64_t records = bytes / volume.FileRecordSize;
    if (records > INT32_MAX - 1) return false;
    volume.MFTClusters = clusters;
    volume.RecordCount = static_cast<std::int32_t>(records);
    volume.MFTRunsByLcn = volume.MFTRuns;
    std::sort(volume.MFTRunsByLcn.begin(), volume.MFTRunsByLcn.end(),
              [](const TMftRun& a, const TMftRun& b) { return a.Lcn < b.Lcn; });
    return true;
}

// Lists record N if it is a deleted file with the three attributes.
void ListRecord(std::span<std::uint8_t> record, std::int64_t n, TScanHost& host) {
    if (record.size() < 24 || std::memcmp(record.data(), "FILE", 4) != 0) return;
    // The flags lie in the first 512 bytes, away from the fixup positions,
    // so testing them before the fixup gives the same answer, sooner.
    if (ReadU16(record, RecordFlags) != 0) return;
    try {
        FixupRecord(record);
    } catch (const ERecordError&) {
        return;
    }
    const auto si = FindAttributeView(record, AttrStandardInformation, false);
    if (si.empty()) return;
    const auto fileName = FindAttributeView(record, AttrFileName, true);
    if (fileName.empty()) return;
    // The path is resolved (and cached) before the $DATA test. Most files
    // sit in a folder already resolved: take its entry without a copy.
    const std::int64_t parent = ParentReferenceOf(fileName);
    const auto parentRecord = static_cast<std::int32_t>(static_cast<std::uint32_t>(parent & 0xFFFFFFFF));
    std::string path;
    if (parentRecord > 5 && static_cast<std::size_t>(parentRecord) < PathCache.size() && !PathCache[parentRecord].empty()) {
        const std::string& cached = PathCache[parentRecord];
        path.reserve(cached.size() + 1);
        path += cached;
    } else {
        path = GetDirectoryPath(parent);
    }
    path += '\\';
    const auto data = FindAttributeView(record, AttrData, false);
    if (data.empty()) return;
    const std::size_t f = ReadLE(data, AttrNonResident, 1);
    const std::uint64_t size = ReadLE(data, 16 + 32 * f, std::min<std::size_t>((f + 1) * 4, 8));

    TFoundFiles& found = host.FoundFiles.emplace_back();
    found.RecordOffset = FileRecordOffset(Volume, n);
    found.FileName = FileNameOf(fileName);
    found.FilePath = std::move(path);
    found.FileSize = static_cast<std::int64_t>(size);
    found.Deleted = true;
    const std::uint64_t created = ReadU64(si, SiCreated);
    const std::uint64_t modified = ReadU64(si, SiModified);
    found.Created = FormatFileTime(created);
    found.Modified = modified == created ? found.Created : FormatFileTime(modified);
    ++host.FoundCount;
}

}  // namespace

std::string CountText(std::int64_t count) { return "Found " + std::to_string(count) + " deleted files"; }

void ScanDrive(TScanHost& host) {
    const std::string drive = host.SelectedDrive;
    if (drive.empty()) {
        LogMessage("Error: No drive detected", clRed);
        return;
    }
    LogMessage("Preparing for scan the drive " + drive + "\\ ...", clBlack);
    THandle handle = OpenVolume(drive);
    if (!handle) {
        LogMessage("Error: Invalid handle value", clRed);
        return;
    }

    // The new volume is put in force only when the walk begins, so a scan
    // refused before it leaves the previous results recoverable.
    TVolume volume;
    volume.CurrentDrive = drive;
    if (!ReadVolumeGeometry(*handle, volume)) return;

    TDynamicCharArray record0 = ReadFileRecord(*handle, volume.MFTOffset, volume);
    try {
        FixupRecord(record0);
    } catch (const ERecordError& e) {
        LogMessage(std::string("Error: ") + e.what(), clRed);
        return;
    }
    const auto data = FindAttributeView(record0, AttrData, false);
    const std::uint16_t flags = ReadU16(data, AttrFlags);
    if (flags == 0x0001 || flags == 0x4000 || flags == 0x8000) {
        LogMessage("Error: The MFT is sparse, encrypted or compressed", clRed);
        return;
    }
    if (!ReadMftExtent(record0, data, *handle, volume)) return;

    // Two chunk buffers: the next chunk is read on a helper thread while the
    // records of the current one are walked.
    std::vector<std::uint8_t> chunks[2];
    const std::size_t recordSize = volume.FileRecordSize;
    const std::size_t chunkRecords = std::max<std::size_t>(1, ScanChunkBytes / recordSize);
    try {
        chunks[0].resize(chunkRecords * recordSize);
        chunks[1].resize(chunkRecords * recordSize);
        ResetLocalTimeCache();
        Volume = volume;
        ResetPathCache(volume.RecordCount);
    } catch (const std::bad_alloc&) {
        return;
    }
    host.ReportResultGridCut();
    host.ReportProgressMax(volume.RecordCount);
    host.FoundCount = 0;
    host.FoundFiles.clear();
    host.FoundFiles.shrink_to_fit();
    LogMessage("Scanning for deleted files on drive " + drive + "\\ ...", clBlack);

    const std::int64_t count = volume.RecordCount;
    const auto step = static_cast<std::int64_t>(chunkRecords);
    auto recordsFrom = [&](std::int64_t first) {
        return static_cast<std::size_t>(std::max<std::int64_t>(0, std::min(step, count - first)));
    };
    auto readChunk = [&handle, &volume, recordSize, &recordsFrom](std::int64_t first, std::uint8_t* into) {
        ReadMftBytes(*handle, volume, first * static_cast<std::int64_t>(recordSize), into, recordsFrom(first) * recordSize);
    };
    std::future<void> pending;
    if (FirstUserRecord < count) pending = std::async(std::launch::async, readChunk, FirstUserRecord, chunks[0].data());
    int current = 0;
    for (std::int64_t first = FirstUserRecord; first < count; first += step, current ^= 1) {
        pending.get();
        if (first + step < count)
            pending = std::async(std::launch::async, readChunk, first + step, chunks[current ^ 1].data());
        std::uint8_t* chunk = chunks[current].data();
        const std::size_t records = recordsFrom(first);
        for (std::size_t i = 0; i < records; ++i) {
            const std::int64_t n = first + static_cast<std::int64_t>(i);
            if (host.AbortRequested.load(std::memory_order_relaxed)) {
                if (pending.valid()) pending.wait();
                LogMessage("Scanning aborted by user", clRed);
                LogMessage(CountText(host.FoundCount), clRed);
                return;
            }
            if (n % ProgressEvery == 0) {
                host.ReportStatusText(CountText(host.FoundCount));
                host.ReportProgress(n + 1);
            }
            ListRecord(std::span<std::uint8_t>(chunk + i * recordSize, recordSize), n, host);
        }
    }
    LogMessage("Scanning process completed", clGreen);
    LogMessage(CountText(host.FoundCount), clGreen);
}

}  // namespace deruzera
