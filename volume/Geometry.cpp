// Boot sector, volume geometry, MFT record offsets and raw record reads.
#include <algorithm>
#include <cstring>

#include "Layout.h"
#include "Mft.h"
#include "Read.h"

namespace deruzera {
namespace {

// The update sequence count is 16 bits and protects 512 bytes an entry, so no
// record can be longer than this; real volumes use 1 KiB or 4 KiB.
constexpr std::uint64_t MaxRecordSize = 64 * 1024;
// Clusters of 2 MiB are the largest any formatter writes.
constexpr std::uint64_t MaxClusterSize = 2 * 1024 * 1024;

}  // namespace

TGeometryEnd ReadVolumeGeometry(TDevice& device, TVolume& volume, std::int64_t at, int* error) {
    std::uint8_t boot[Boot::Size] = {};
    const TReadGaps gaps = ReadCarefully(device, at, boot, sizeof boot);
    if (gaps.Bytes > 0) {
        if (error) *error = gaps.Error;
        return TGeometryEnd::ReadError;
    }
    if (std::memcmp(boot + Boot::OemId, "NTFS", 4) != 0) return TGeometryEnd::NotNtfs;

    const TBytes b(boot, sizeof boot);
    const std::uint16_t bytesPerSector = ReadU16(b, Boot::BytesPerSector);
    const std::uint8_t spcByte = boot[Boot::SectorsPerCluster];
    const std::uint32_t sectorsPerCluster = spcByte >= 0xF4 ? (1u << (256 - spcByte)) : spcByte;
    const std::uint64_t bytesPerCluster = std::uint64_t{sectorsPerCluster} * bytesPerSector;

    const std::uint32_t code = ReadU32(b, Boot::RecordSizeCode);
    std::uint64_t recordSize;
    if (code >= 128) {
        const std::uint32_t exponent = (0u - code) & 31u;
        recordSize = std::uint64_t{1} << exponent;
    } else {
        recordSize = std::uint64_t{code} * bytesPerCluster;
    }

    if (bytesPerSector == 0 || sectorsPerCluster == 0 || bytesPerCluster > MaxClusterSize ||
        recordSize < RecordHeader::Size || recordSize > MaxRecordSize || recordSize % bytesPerSector != 0)
        return TGeometryEnd::Unsupported;

    const std::uint64_t mftCluster = ReadU64(b, Boot::MftCluster);
    std::uint64_t mftOffset = 0;
    if (__builtin_mul_overflow(mftCluster, bytesPerCluster, &mftOffset) || mftOffset >= MaxVolumeBytes)
        return TGeometryEnd::Unsupported;

    // The volume's clusters, from its sector count; where that is missing
    // or beyond any volume, from the device's size.
    const std::uint64_t totalSectors = ReadU64(b, Boot::TotalSectors);
    std::uint64_t clusters = totalSectors / sectorsPerCluster;
    if (totalSectors == 0 || clusters > MaxVolumeBytes / bytesPerCluster) {
        const std::int64_t size = device.Size();
        clusters = size > 0 ? static_cast<std::uint64_t>(size) / bytesPerCluster : MaxVolumeBytes / bytesPerCluster;
    }

    volume.BytesPerSector = bytesPerSector;
    volume.BytesPerCluster = static_cast<std::uint32_t>(bytesPerCluster);
    volume.FileRecordSize = static_cast<std::uint32_t>(recordSize);
    volume.MFTOffset = static_cast<std::int64_t>(mftOffset);
    volume.ClusterCount = static_cast<std::int64_t>(clusters);
    volume.MFTRuns.clear();
    volume.RecordCount = 0;
    volume.FromBackupBoot = at != 0;
    return TGeometryEnd::Accepted;
}

namespace {

// Volume offset of byte `mftByte` of the MFT, -1 where no run holds it; with
// `contiguous`, how many bytes from there on lie in the same run.
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
    if (vcn - run.Vcn >= run.Length) return -1;
    // Runs are checked when they are decoded: they lie inside the volume,
    // whose bytes fit in 48 bits, so these sums and products can't overflow.
    const std::int64_t offset = (run.Lcn + (vcn - run.Vcn)) * cluster + mftByte % cluster;
    if (contiguous) *contiguous = (run.Vcn + run.Length) * cluster - mftByte;
    return offset;
}

}  // namespace

std::int64_t FileRecordOffset(const TVolume& volume, std::int64_t n) {
    std::int64_t mftByte;
    if (n < 0 || __builtin_mul_overflow(n, static_cast<std::int64_t>(volume.FileRecordSize), &mftByte)) return -1;
    return MftByteToVolume(volume, mftByte, nullptr);
}

int ReadMftBytes(TDevice& device, const TVolume& volume, std::int64_t mftByte, std::uint8_t* buffer, std::size_t count) {
    int error = 0;
    std::size_t done = 0;
    while (done < count) {
        std::int64_t contiguous = 0;
        std::int64_t at = -1;
        std::int64_t from;
        if (!__builtin_add_overflow(mftByte, static_cast<std::int64_t>(done), &from))
            at = MftByteToVolume(volume, from, &contiguous);
        std::size_t want = count - done;
        if (at < 0) {
            // Past the MFT's runs: nothing to read; zeros fail the record checks.
            std::memset(buffer + done, 0, want);
            return error;
        }
        if (contiguous > 0 && static_cast<std::uint64_t>(contiguous) < want) want = static_cast<std::size_t>(contiguous);
        // Bytes past the device's end come as zeros, which fail the record
        // checks; bytes the device fails to give make the read fail.
        const TReadGaps gaps = ReadCarefully(device, at, buffer + done, want);
        if (gaps.Bytes > 0 && error == 0) error = gaps.Error;
        done += want;
    }
    return error;
}

int ReadFileRecord(TDevice& device, const TVolume& volume, std::int64_t n, TDynamicCharArray& record) {
    record.assign(volume.FileRecordSize, 0);
    std::int64_t mftByte;
    if (record.empty() || n < 0 || __builtin_mul_overflow(n, static_cast<std::int64_t>(volume.FileRecordSize), &mftByte))
        return 0;
    // A record of a fragmented MFT may straddle two runs: read it through them.
    return ReadMftBytes(device, volume, mftByte, record.data(), record.size());
}

}  // namespace deruzera
