// Which clusters are in use now, from the volume's cluster bitmap, and what
// that says of a deleted file: the bytes of its stored data that other files
// may have written over.
#include <algorithm>
#include <cstring>

#include "Bitmap.h"
#include "Fixup.h"
#include "Layout.h"
#include "Mft.h"

namespace deruzera {

TReadGaps ReadContentRange(TDevice& device, const TFileContent& content, std::uint64_t offset,
                           std::span<std::uint8_t> out, std::vector<TContentRange>* unread) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    TReadGaps gaps;
    if (content.Resident) {
        if (offset < content.ResidentBytes.size()) {
            const std::size_t n = std::min<std::size_t>(out.size(), content.ResidentBytes.size() - offset);
            std::memcpy(out.data(), content.ResidentBytes.data() + offset, n);
        }
        return gaps;
    }
    std::vector<TUnreadRange> ranges;
    std::uint64_t at = 0;  // where the current extent begins in the content
    for (const TContentExtent& e : content.Extents) {
        const std::uint64_t end = at + e.Length;
        const std::uint64_t from = std::max(at, offset);
        const std::uint64_t to = std::min<std::uint64_t>(end, offset + out.size());
        if (from < to && e.VolumeOffset >= 0 && !e.CompressedUnit) {
            const std::int64_t start = e.VolumeOffset + static_cast<std::int64_t>(from - at);
            ranges.clear();
            const TReadGaps got = ReadCarefully(device, start, out.data() + (from - offset),
                                                static_cast<std::size_t>(to - from), unread ? &ranges : nullptr);
            if (got.Bytes > 0 && gaps.Bytes == 0) {
                gaps.First = got.First;
                gaps.Error = got.Error;
            }
            gaps.Bytes += got.Bytes;
            for (const TUnreadRange& r : ranges) {
                const std::uint64_t in = from + static_cast<std::uint64_t>(r.Offset - start);
                unread->push_back({in, in + r.Length});
            }
        }
        at = end;
        if (at >= offset + out.size()) break;
    }
    return gaps;
}

std::vector<TContentRange> OverwrittenRanges(const TFileContent& content, TClusterBitmap& bitmap,
                                             std::uint32_t cluster, std::uint64_t limit) {
    std::vector<TContentRange> ranges;
    if (content.Resident || cluster == 0) return ranges;
    auto add = [&](std::uint64_t from, std::uint64_t to) {
        if (from >= to) return;
        if (!ranges.empty() && ranges.back().To == from) ranges.back().To = to;
        else ranges.push_back({from, to});
    };
    std::uint64_t at = 0;
    for (const TContentExtent& e : content.Extents) {
        if (at >= limit) break;
        const std::uint64_t shown = std::min(e.Length, limit - at);
        if (e.CompressedUnit) {
            // A unit comes back from all its stored clusters: any of them taken spoils it.
            for (std::uint32_t i = 0; i < e.PieceCount; ++i) {
                const TContentExtent& piece = content.Pieces[e.PieceFirst + i];
                const auto first = static_cast<std::int64_t>(static_cast<std::uint64_t>(piece.VolumeOffset) / cluster);
                if (bitmap.InUse(first, (piece.Length + cluster - 1) / cluster) > 0) {
                    add(at, at + shown);
                    break;
                }
            }
        } else if (e.VolumeOffset >= 0) {
            // Cluster by cluster over the part shown; the extent may begin inside a cluster.
            for (std::uint64_t in = 0; in < shown;) {
                const std::uint64_t volumeAt = static_cast<std::uint64_t>(e.VolumeOffset) + in;
                const std::uint64_t next = std::min(shown, in + (cluster - volumeAt % cluster));
                if (bitmap.Test(static_cast<std::int64_t>(volumeAt / cluster))) add(at + in, at + next);
                in = next;
            }
        }
        at += e.Length;
    }
    return ranges;
}

bool TClusterBitmap::Open(TDevice& device, const TVolume& volume, TBytes bitmapRecord) {
    device_ = &device;
    pages_.clear();
    TDynamicCharArray record(bitmapRecord.begin(), bitmapRecord.end());
    try {
        FixupRecord(record);
        const std::uint16_t sequence = ReadU16(record, RecordHeader::Sequence);
        const TDataStream stream =
            StreamOfRecord(record, BitmapRecord, volume, &device, FetchFromDevice(device, volume, BitmapRecord, sequence));
        if (!stream.Found || stream.Compressed()) return false;
        content_ = PlanContent(stream, volume);
    } catch (const ERecordError&) {
        return false;
    }
    // One bit a cluster: a bitmap that can't hold the volume's clusters is
    // not the volume's.
    return content_.Size * 8 >= static_cast<std::uint64_t>(volume.ClusterCount);
}

bool TClusterBitmap::Open(TDevice& device, const TVolume& volume) {
    TDynamicCharArray record;
    if (ReadFileRecord(device, volume, BitmapRecord, record) != 0) return false;
    return Open(device, volume, record);
}

const TClusterBitmap::TPage& TClusterBitmap::Page(std::uint64_t index) {
    std::lock_guard lock(mutex_);
    auto it = pages_.find(index);
    if (it == pages_.end()) {
        TPage page;
        page.Bytes.resize(PageBytes);
        std::vector<TContentRange> unread;
        ReadContentRange(*device_, content_, index * PageBytes, page.Bytes, &unread);
        for (const TContentRange& r : unread) page.Unread.push_back({r.From - index * PageBytes, r.To - index * PageBytes});
        if (!page.Unread.empty()) anyUnread_ = true;
        it = pages_.emplace(index, std::move(page)).first;
    }
    return it->second;
}

bool TClusterBitmap::Test(std::int64_t lcn) {
    const auto byte = static_cast<std::uint64_t>(lcn) / 8;
    if (lcn < 0 || device_ == nullptr || byte >= content_.Size) return false;
    return (Page(byte / PageBytes).Bytes[byte % PageBytes] >> (lcn % 8) & 1) != 0;
}

std::uint64_t TClusterBitmap::InUse(std::int64_t lcn, std::uint64_t count, bool* known) {
    if (lcn < 0 || device_ == nullptr) return 0;
    // The pages read on the way say whether any bits were missing.
    struct TCheck {
        TClusterBitmap& Bitmap;
        std::int64_t Lcn;
        std::uint64_t Count;
        bool* Known;
        ~TCheck() {
            if (Known && *Known && !Bitmap.Known(Lcn, Count)) *Known = false;
        }
    } check{*this, lcn, count, known};
    std::uint64_t used = 0;
    auto at = static_cast<std::uint64_t>(lcn);
    const std::uint64_t end = std::min<std::uint64_t>(at + std::min<std::uint64_t>(count, content_.Size * 8), content_.Size * 8);
    while (at < end && at % 64 != 0) used += Test(static_cast<std::int64_t>(at++));
    const TPage* page = nullptr;
    std::uint64_t pageIndex = 0;
    while (at + 64 <= end) {
        // Whole 64-bit words, which never straddle a page.
        const std::uint64_t byte = at / 8;
        if (!page || byte / PageBytes != pageIndex) {
            pageIndex = byte / PageBytes;
            page = &Page(pageIndex);
        }
        std::uint64_t word;
        std::memcpy(&word, page->Bytes.data() + byte % PageBytes, 8);
        used += static_cast<std::uint64_t>(__builtin_popcountll(word));
        at += 64;
    }
    while (at < end) used += Test(static_cast<std::int64_t>(at++));
    return used;
}

bool TClusterBitmap::Known(std::int64_t lcn, std::uint64_t count) {
    if (lcn < 0 || device_ == nullptr || count == 0) return true;
    // Asked once InUse has read the pages: where none lacks bits, all are known.
    if (!anyUnread_) return true;
    // The bitmap's bytes that hold these bits, page by page.
    const std::uint64_t first = static_cast<std::uint64_t>(lcn) / 8;
    if (content_.Size == 0) return true;
    const std::uint64_t last = std::min((static_cast<std::uint64_t>(lcn) + count - 1) / 8, content_.Size - 1);
    if (first > last) return true;
    for (std::uint64_t index = first / PageBytes; index <= last / PageBytes; ++index) {
        const TPage& page = Page(index);
        const std::uint64_t from = std::max(first, index * PageBytes) - index * PageBytes;
        const std::uint64_t to = std::min(last + 1, (index + 1) * PageBytes) - index * PageBytes;
        for (const TContentRange& r : page.Unread)
            if (r.From < to && from < r.To) return false;
    }
    return true;
}

std::uint64_t OverwrittenBytes(const TDataStream& stream, TClusterBitmap& bitmap, std::uint32_t cluster,
                               std::uint64_t& stored, bool* known) {
    stored = 0;
    if (known) *known = true;
    if (stream.Resident || cluster == 0) return 0;
    const std::uint64_t dataClusters = (stream.DataSize + cluster - 1) / cluster;
    const std::uint64_t tail = stream.DataSize % cluster;
    std::uint64_t over = 0;
    for (const TVcnRun& run : stream.Runs) {
        if (run.Lcn < 0 || static_cast<std::uint64_t>(run.Vcn) >= dataClusters) continue;
        const std::uint64_t count = std::min<std::uint64_t>(run.Length, dataClusters - static_cast<std::uint64_t>(run.Vcn));
        stored += count * cluster;
        over += bitmap.InUse(run.Lcn, count, known) * cluster;
        // The last data cluster holds only the tail of the data.
        if (tail != 0 && static_cast<std::uint64_t>(run.Vcn) + count == dataClusters) {
            stored -= cluster - tail;
            if (bitmap.Test(run.Lcn + static_cast<std::int64_t>(count) - 1)) over -= cluster - tail;
        }
    }
    return over;
}

TRecoverability StateOf(std::uint64_t overwritten, std::uint64_t stored) {
    if (overwritten == 0) return TRecoverability::Intact;
    return overwritten >= stored ? TRecoverability::Overwritten : TRecoverability::Partial;
}

}  // namespace deruzera
