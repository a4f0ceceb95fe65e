// Boot sector, volume geometry, MFT record offsets and raw record reads.
#include <algorithm>
#include <cstring>

#include "Log.h"
#include "Salvane.h"

namespace deruzera {

TVolume Volume;
std::vector<std::string> PathCache;

namespace {

// Boot sector fields.
constexpr std::size_t BootOemId = 3;              // "NTFS    "
constexpr std::size_t BootBytesPerSector = 11;    // u16
constexpr std::size_t BootSectorsPerCluster = 13; // u8, 0xF4.. = 2^(256 - value)
constexpr std::size_t BootMftCluster = 48;        // u64
constexpr std::size_t BootRecordSizeCode = 64;    // s32: clusters, or -k for 2^k bytes
constexpr std::size_t BootSectorSize = 512;

// The file record header is 42 bytes; no record can be smaller.
constexpr std::uint64_t RecordHeaderSize = 42;
// The update sequence count is 16 bits and protects 512 bytes an entry, so no
// record can be longer than this; real volumes use 1 KiB or 4 KiB.
constexpr std::uint64_t MaxRecordSize = 64 * 1024;
// Clusters of 2 MiB are the largest any formatter writes.
constexpr std::uint64_t MaxClusterSize = 2 * 1024 * 1024;

bool Unsupported() {
    LogMessage("Error: Unsupported NTFS geometry", clRed);
    return false;
}

}  // namespace

bool ReadVolumeGeometry(TDevice& handle, TVolume& volume) {
    std::uint8_t boot[BootSectorSize] = {};
    const auto got = handle.ReadAt(0, boot, sizeof boot);
    if (got < static_cast<std::int64_t>(BootSectorSize)) std::fill(boot + std::max<std::int64_t>(got, 0), boot + sizeof boot, 0);
    if (std::memcmp(boot + BootOemId, "NTFS", 4) != 0) {
        LogMessage("Error: This is not a NTFS disk", clRed);
        return false;
    }
    LogMessage("This is a NTFS disk", clGreen);

    const std::span<const std::uint8_t> b(boot, sizeof boot);
    const std::uint16_t bytesPerSector = ReadU16(b, BootBytesPerSector);
    const std::uint8_t spcByte = boot[BootSectorsPerCluster];
    const std::uint32_t sectorsPerCluster = spcByte >= 0xF4 ? (1u << (256 - spcByte)) : spcByte;
    const std::uint64_t bytesPerCluster = std::uint64_t{sectorsPerCluster} * bytesPerSector;

    const std::uint32_t code = ReadU32(b, BootRecordSizeCode);
    std::uint64_t recordSize;
    if (code >= 128) {
        const std::uint32_t exponent = (0u - code) & 31u;
        recordSize = std::uint64_t{1} << exponent;
    } else {
        recordSize = std::uint64_t{code} * bytesPerCluster;
    }

    if (bytesPerSector == 0 || sectorsPerCluster == 0 || bytesPerCluster > MaxClusterSize ||
        recordSize < RecordHeaderSize || recordSize > MaxRecordSize || recordSize % bytesPerSector != 0)
        return Unsupported();

    const std::uint64_t mftCluster = ReadU64(b, BootMftCluster);
    std::uint64_t mftOffset = 0;
    if (__builtin_mul_overflow(mftCluster, bytesPerCluster, &mftOffset) ||
        mftOffset > static_cast<std::uint64_t>(INT64_MAX))
        return Unsupported();

    volume.BytesPerSector = bytesPerSector;
    volume.SectorsPerCluster = static_cast<std::uint16_t>(sectorsPerCluster);
    volume.BytesPerCluster = static_cast<std::uint32_t>(bytesPerCluster);
    volume.FileRecordSize = static_cast<std::uint32_t>(recordSize);
    volume.MFTOffset = static_cast<std::int64_t>(mftOffset);
    volume.MFTRuns.clear();
    volume.MFTRunsByLcn.clear();
    return true;
}

std::int64_t MftByteToVolume(const TVolume& volume, std::int64_t mftByte, std::int64_t* contiguous) {
    if (mftByte < 0) return -1;
    if (volume.MFTRuns.empty()) {
        std::int64_t offset;
        if (__builtin_add_overflow(volume.MFTOffset, mftByte, &offset)) return -1;
        if (contiguous) *contiguous = INT64_MAX - offset;
        return offset;
    }
    const std::int64_t cluster = volume.BytesPerCluster;
    if (cluster <= 0) return -1;
    const std::int64_t vcn = mftByte / cluster;
    const auto it = std::upper_bound(volume.MFTRuns.begin(), volume.MFTRuns.end(), vcn,
                                     [](std::int64_t v, const TMftRun& run) { return v < run.Vcn; });
    if (it == volume.MFTRuns.begin()) return -1;
    const TMftRun& run = *(it - 1);
    if (vcn >= run.Vcn + run.Length) return -1;
    // Runs are checked when they are decoded: (Lcn + Length) * cluster fits.
    const std::int64_t offset = (run.Lcn + (vcn - run.Vcn)) * cluster + mftByte % cluster;
    if (contiguous) *contiguous = (run.Vcn + run.Length) * cluster - mftByte;
    return offset;
}

std::int64_t FileRecordOffset(const TVolume& volume, std::int64_t n) {
    std::int64_t mftByte;
    if (n < 0 || __builtin_mul_overflow(n, static_cast<std::int64_t>(volume.FileRecordSize), &mftByte)) return -1;
    return MftByteToVolume(volume, mftByte, nullptr);
}

std::int64_t FileRecordOffset(std::int64_t n) { return FileRecordOffset(Volume, n); }

std::int64_t RecordNumberAt(const TVolume& volume, std::int64_t offset) {
    const std::int64_t size = volume.FileRecordSize;
    if (size <= 0 || offset < 0) return -1;
    if (volume.MFTRuns.empty()) {
        const std::int64_t rel = offset - volume.MFTOffset;
        if (rel < 0 || rel % size != 0) return -1;
        return rel / size;
    }
    const std::int64_t cluster = volume.BytesPerCluster;
    const std::int64_t lcn = offset / cluster;
    auto numberIn = [&](const TMftRun& run) -> std::int64_t {
        if (lcn < run.Lcn || lcn >= run.Lcn + run.Length) return -1;
        const std::int64_t mftByte = (run.Vcn + (lcn - run.Lcn)) * cluster + offset % cluster;
        return mftByte % size == 0 ? mftByte / size : -1;
    };
    if (volume.MFTRunsByLcn.size() == volume.MFTRuns.size()) {
        // Runs never overlap on the volume: the one that starts last at or
        // before the cluster is the only candidate.
        const auto it = std::upper_bound(volume.MFTRunsByLcn.begin(), volume.MFTRunsByLcn.end(), lcn,
                                         [](std::int64_t l, const TMftRun& run) { return l < run.Lcn; });
        return it == volume.MFTRunsByLcn.begin() ? -1 : numberIn(*(it - 1));
    }
    for (const TMftRun& run : volume.MFTRuns)
        if (const std::int64_t n = numberIn(run); n >= 0) return n;
    return -1;
}

void ReadMftBytes(TDevice& handle, const TVolume& volume, std::int64_t mftByte, std::uint8_t* buffer,
                  std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        std::int64_t contiguous = 0;
        const std::int64_t at = MftByteToVolume(volume, mftByte + static_cast<std::int64_t>(done), &contiguous);
        std::size_t want = count - done;
        if (at < 0) {
            // Past the MFT's runs: nothing to read; zeros fail the record checks.
            std::memset(buffer + done, 0, want);
            return;
        }
        if (contiguous > 0 && static_cast<std::uint64_t>(contiguous) < want) want = static_cast<std::size_t>(contiguous);
        const std::int64_t got = handle.ReadAt(at, buffer + done, want);
        const std::size_t filled = got > 0 ? static_cast<std::size_t>(got) : 0;
        if (filled < want) std::memset(buffer + done + filled, 0, want - filled);
        done += want;
    }
}

TDynamicCharArray ReadFileRecord(TDevice& handle, std::int64_t offset, const TVolume& volume) {
    TDynamicCharArray record(volume.FileRecordSize, 0);
    if (record.empty()) return record;
    // A record of a fragmented MFT may straddle two runs: read it through them.
    const std::int64_t n = volume.MFTRuns.empty() ? -1 : RecordNumberAt(volume, offset);
    if (n >= 0) {
        ReadMftBytes(handle, volume, n * static_cast<std::int64_t>(volume.FileRecordSize), record.data(), record.size());
        return record;
    }
    const std::int64_t got = handle.ReadAt(offset, record.data(), record.size());
    if (got < static_cast<std::int64_t>(record.size()))
        std::fill(record.begin() + std::max<std::int64_t>(got, 0), record.end(), 0);
    return record;
}

TDynamicCharArray ReadFileRecord(TDevice& handle, std::int64_t offset) { return ReadFileRecord(handle, offset, Volume); }

}  // namespace deruzera
