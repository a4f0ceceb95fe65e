// A deleted file's content from its first $DATA attribute: the resident
// value, or the clusters its data runs name, cut or padded to the real size.
// The runs are decoded and checked first; the bytes are read afterwards in
// bounded chunks, so content of any size needs little memory.
#include <algorithm>
#include <cstring>
#include <future>

#include "Salvane.h"

namespace deruzera {
namespace {

// No volume holds more bytes than this (2^48, 256 TiB); larger sizes or
// cluster positions come from damage.
constexpr std::uint64_t MaxContentBytes = std::uint64_t{1} << 48;
// Bytes read from the volume at a time.
constexpr std::size_t ChunkSize = 1 << 20;

[[noreturn]] void Damaged(const char* what) { throw ERecordError(what); }

}  // namespace

std::vector<TDataRun> DecodeRunList(TBytes runs, std::uint32_t bytesPerCluster, std::int64_t clusterCount) {
    std::vector<TDataRun> out;
    std::int64_t lcn = 0;
    std::size_t pos = 0;
    std::uint64_t maxClusters = bytesPerCluster ? MaxContentBytes / bytesPerCluster : 0;
    if (clusterCount > 0) maxClusters = std::min(maxClusters, static_cast<std::uint64_t>(clusterCount));
    while (pos < runs.size() && runs[pos] != 0) {
        const std::size_t lengthSize = runs[pos] & 0x0F;
        const std::size_t offsetSize = runs[pos] >> 4;
        if (lengthSize > 8 || offsetSize > 8) Damaged("run field wider than 8 bytes");
        if (pos + 1 + lengthSize + offsetSize > runs.size()) Damaged("run list ends inside a run");
        const std::uint64_t length = ReadLE(runs, pos + 1, lengthSize);
        const std::uint64_t raw = ReadLE(runs, pos + 1 + lengthSize, offsetSize);
        std::int64_t delta;
        if (offsetSize == 0 || offsetSize == 8) {
            delta = static_cast<std::int64_t>(raw);
        } else if (pos == 0 && offsetSize < 4) {
            // The first run counts from cluster 0 and can't point backwards.
            delta = static_cast<std::int64_t>(raw);
        } else {
            const std::uint64_t sign = std::uint64_t{1} << (8 * offsetSize - 1);
            delta = static_cast<std::int64_t>((raw ^ sign) - sign);
        }
        if (length > maxClusters) Damaged("run longer than the volume");
        if (raw == 0) {
            if (length) out.push_back({-1, length});
        } else {
            if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0 ||
                static_cast<std::uint64_t>(lcn) > maxClusters - length)
                Damaged("run outside the volume");
            if (length) out.push_back({lcn, length});
        }
        pos += 1 + lengthSize + offsetSize;
    }
    return out;
}

TFileContent ExtractFileContent(TBytes record, const TVolume& volume) {
    const TBytes data = FindAttributeView(record, AttrData, false);
    if (data.empty()) Damaged("no $DATA attribute");
    return ContentOfAttribute(data, volume);
}

TFileContent ContentOfAttribute(TBytes data, const TVolume& volume) {
    TFileContent content;
    if (ReadU8(data, AttrHeader::NonResident) != 1) {
        const TBytes value = ResidentValue(data);
        content.ResidentBytes.assign(value.begin(), value.end());
        content.Resident = true;
        content.Size = content.ResidentBytes.size();
        return content;
    }

    const std::size_t runOffset = ReadU16(data, NonResident::RunListOffset);
    if (runOffset >= data.size()) Damaged("empty run list");
    const std::uint64_t realSize = ReadU64(data, NonResident::DataSize);
    if (realSize > MaxContentBytes) Damaged("real size out of range");
    // Past the valid data length the file reads as zeros, whatever its
    // clusters hold.
    const std::uint64_t validSize = std::min(ReadU64(data, NonResident::InitializedSize), realSize);
    const std::uint32_t cluster = volume.BytesPerCluster;
    if (cluster == 0) Damaged("no cluster size");

    const std::vector<TDataRun> runs = DecodeRunList(data.subspan(runOffset), cluster, volume.ClusterCount);
    // A file can't hold more clusters than its volume: a run list that names
    // the same clusters over and over is damage, not content.
    std::uint64_t allocated = 0;
    for (const TDataRun& run : runs)
        if (run.Lcn >= 0 && (__builtin_add_overflow(allocated, run.Length, &allocated) ||
                             (volume.ClusterCount > 0 && allocated > static_cast<std::uint64_t>(volume.ClusterCount))))
            Damaged("more clusters than the volume holds");
    // Nor does it name any cluster twice. Where the boot sector claims a
    // volume larger than the device, the count above bounds nothing real:
    // runs over the same clusters would copy the device again and again.
    std::vector<TDataRun> placed;
    for (const TDataRun& run : runs)
        if (run.Lcn >= 0) placed.push_back(run);
    std::sort(placed.begin(), placed.end(), [](const TDataRun& a, const TDataRun& b) { return a.Lcn < b.Lcn; });
    for (std::size_t i = 1; i < placed.size(); ++i)
        if (static_cast<std::uint64_t>(placed[i].Lcn) < static_cast<std::uint64_t>(placed[i - 1].Lcn) + placed[i - 1].Length)
            Damaged("runs that name the same clusters twice");

    std::uint64_t total = 0;
    for (const TDataRun& run : runs) {
        if (total >= validSize) break;
        const std::uint64_t bytes = std::min(run.Length * cluster, validSize - total);
        content.Extents.push_back({run.Lcn < 0 ? -1 : run.Lcn * static_cast<std::int64_t>(cluster), bytes});
        total += bytes;
    }
    if (total < realSize) content.Extents.push_back({-1, realSize - total});
    content.Size = realSize;
    return content;
}

int ReadFileContent(TDevice& device, const TFileContent& content,
                    const std::function<void(const std::uint8_t*, std::uint64_t)>& sink) {
    if (content.Resident) {
        if (!content.ResidentBytes.empty()) sink(content.ResidentBytes.data(), content.ResidentBytes.size());
        return 0;
    }
    // The content in pieces, in file order: holes whole, data in pieces of
    // at most ChunkSize bytes.
    struct TPiece {
        std::int64_t at = -1;  // volume offset, -1 for a hole
        std::uint64_t length = 0;
    };
    const std::int64_t deviceSize = device.Size();
    std::size_t extent = 0;
    std::uint64_t done = 0;
    auto next = [&](TPiece& piece) {
        while (extent < content.Extents.size() && done >= content.Extents[extent].Length) ++extent, done = 0;
        if (extent == content.Extents.size()) return false;
        const TContentExtent& e = content.Extents[extent];
        const std::uint64_t left = e.Length - done;
        const std::int64_t at = e.VolumeOffset < 0 ? -1 : e.VolumeOffset + static_cast<std::int64_t>(done);
        if (at < 0 || (deviceSize >= 0 && at >= deviceSize)) {
            piece = {-1, left};
        } else {
            std::uint64_t length = std::min<std::uint64_t>(ChunkSize, left);
            if (deviceSize >= 0) length = std::min<std::uint64_t>(length, static_cast<std::uint64_t>(deviceSize - at));
            piece = {at, length};
        }
        done += piece.length;
        return true;
    };
    auto fill = [&device](std::uint8_t* into, TPiece piece) -> int {
        if (piece.at < 0) return 0;
        const std::int64_t n = device.ReadAt(piece.at, into, static_cast<std::size_t>(piece.length));
        const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
        if (got < piece.length) std::memset(into + got, 0, static_cast<std::size_t>(piece.length) - got);
        return n < 0 ? static_cast<int>(-n) : 0;
    };

    // The next piece is read on a helper thread while the sink writes this one.
    int error = 0;
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(ChunkSize), std::vector<std::uint8_t>(ChunkSize)};
    TPiece current;
    if (!next(current)) return 0;
    std::future<int> pending = std::async(std::launch::async, fill, buffers[0].data(), current);
    for (int i = 0;; i ^= 1) {
        const int failed = pending.get();
        if (failed && !error) error = failed;
        TPiece following;
        const bool more = next(following);
        if (more) pending = std::async(std::launch::async, fill, buffers[i ^ 1].data(), following);
        try {
            sink(current.at < 0 ? nullptr : buffers[i].data(), current.length);
        } catch (...) {
            if (pending.valid()) pending.wait();
            throw;
        }
        if (!more) break;
        current = following;
    }
    return error;
}

}  // namespace deruzera
