// A deleted file's content from its unnamed $DATA: the resident value, or the
// clusters its data runs name (in one record, or in the extension records its
// attribute list names), cut or padded to the real size, zeros past the valid
// data length, compressed units decompressed. The runs are decoded and
// checked first; the bytes are read afterwards in bounded chunks, so content
// of any size needs little memory.
#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <set>

#include "Attributes.h"
#include "Content.h"
#include "Fixup.h"
#include "Layout.h"
#include "Mft.h"
#include "Read.h"
#include "Runs.h"

namespace deruzera {
namespace {

// Bytes read from the volume at a time.
constexpr std::size_t ChunkSize = 1 << 20;
// NTFS keeps attribute lists below 256 KiB.
constexpr std::uint64_t MaxAttributeList = 256 * 1024;
// NTFS compresses in units of 16 clusters of at most 4 KiB; a unit exponent
// or a cluster beyond these is damage.
constexpr std::uint8_t MaxCompressionUnit = 4;
constexpr std::uint32_t MaxCompressedCluster = 4096;
// LZNT1 works in chunks of 4 KiB.
constexpr std::size_t Lznt1Chunk = 4096;

[[noreturn]] void Damaged(const char* what) { throw ERecordError(what); }

// Adds one non-resident extent of the stream: its runs from its first VCN on.
// The extent at VCN 0 gives the sizes, flags and compression unit.
void AddExtent(TDataStream& stream, TBytes attribute, const TVolume& volume) {
    const std::size_t runOffset = ReadU16(attribute, NonResident::RunListOffset);
    if (runOffset >= attribute.size()) Damaged("empty run list");
    const std::int64_t firstVcn = ReadS64(attribute, NonResident::FirstVcn);
    const std::uint64_t maxClusters = MaxVolumeBytes / std::max<std::uint32_t>(volume.BytesPerCluster, 1);
    if (firstVcn < 0 || static_cast<std::uint64_t>(firstVcn) > maxClusters) Damaged("first VCN out of range");
    if (firstVcn == 0) {
        stream.DataSize = ReadU64(attribute, NonResident::DataSize);
        stream.InitializedSize = ReadU64(attribute, NonResident::InitializedSize);
        if (stream.DataSize > MaxVolumeBytes) Damaged("real size out of range");
        stream.Flags = ReadU16(attribute, AttrHeader::Flags);
        const std::uint8_t unit = ReadU8(attribute, NonResident::CompressionUnit);
        if ((stream.Flags & AttrCompressionMask) != 0 && unit != 0) {
            if (unit > MaxCompressionUnit || volume.BytesPerCluster > MaxCompressedCluster)
                Damaged("compression unit out of range");
            stream.CompressionUnit = unit;
        }
    }
    std::int64_t vcn = firstVcn;
    ForEachRun(attribute.subspan(runOffset), volume.BytesPerCluster, volume.ClusterCount, [&](const TDataRun& run) {
        if (run.Length > maxClusters - static_cast<std::uint64_t>(vcn)) Damaged("runs past any volume");
        stream.Runs.push_back({vcn, run.Lcn, run.Length});
        vcn += static_cast<std::int64_t>(run.Length);
    });
}

// Puts the runs in VCN order, drops those that overlap an earlier one, and
// fills the gaps up to the real size with missing runs (counted) where
// `countGaps`, or leaves them to the plan's padding.
void CloseStream(TDataStream& stream, const TVolume& volume, bool countGaps) {
    // One extent's runs follow each other already; several extents are put
    // in order, without the overlaps and with the gaps made missing runs.
    bool ordered = true;
    for (std::size_t i = 1; i < stream.Runs.size() && ordered; ++i)
        ordered = stream.Runs[i].Vcn == stream.Runs[i - 1].Vcn + static_cast<std::int64_t>(stream.Runs[i - 1].Length);
    std::int64_t next = stream.Runs.empty() ? 0 : stream.Runs.back().Vcn + static_cast<std::int64_t>(stream.Runs.back().Length);
    if (!ordered || (countGaps && !stream.Runs.empty() && stream.Runs.front().Vcn != 0)) {
        std::stable_sort(stream.Runs.begin(), stream.Runs.end(),
                         [](const TVcnRun& a, const TVcnRun& b) { return a.Vcn < b.Vcn; });
        std::vector<TVcnRun> kept;
        next = 0;
        for (const TVcnRun& run : stream.Runs) {
            if (run.Vcn < next) continue;
            if (run.Vcn > next && countGaps) {
                kept.push_back({next, TVcnRun::Missing, static_cast<std::uint64_t>(run.Vcn - next)});
                stream.MissingClusters += static_cast<std::uint64_t>(run.Vcn - next);
            }
            kept.push_back(run);
            next = run.Vcn + static_cast<std::int64_t>(run.Length);
        }
        stream.Runs = std::move(kept);
    }
    const std::uint64_t cluster = std::max<std::uint32_t>(volume.BytesPerCluster, 1);
    const auto needed = static_cast<std::int64_t>((stream.DataSize + cluster - 1) / cluster);
    if (countGaps && next < needed) {
        stream.Runs.push_back({next, TVcnRun::Missing, static_cast<std::uint64_t>(needed - next)});
        stream.MissingClusters += static_cast<std::uint64_t>(needed - next);
    }
    // A file can't hold more clusters than its volume: a run list that names
    // the same clusters over and over is damage, not content.
    std::uint64_t allocated = 0;
    for (const TVcnRun& run : stream.Runs)
        if (run.Lcn >= 0 && (__builtin_add_overflow(allocated, run.Length, &allocated) ||
                             (volume.ClusterCount > 0 && allocated > static_cast<std::uint64_t>(volume.ClusterCount))))
            throw ERepeatedClusters("more clusters than the volume holds");
    // Nor does it name any cluster twice. Where the boot sector claims a
    // volume larger than the device, the count above bounds nothing real:
    // runs over the same clusters would copy the device again and again.
    // Most files' runs go forward on the volume: checked in one pass, and
    // sorted only where they don't.
    bool forward = true;
    std::uint64_t reached = 0;
    for (const TVcnRun& run : stream.Runs) {
        if (run.Lcn < 0) continue;
        forward = forward && static_cast<std::uint64_t>(run.Lcn) >= reached;
        reached = static_cast<std::uint64_t>(run.Lcn) + run.Length;
    }
    if (forward) return;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> placed;  // first cluster, count
    for (const TVcnRun& run : stream.Runs)
        if (run.Lcn >= 0) placed.emplace_back(static_cast<std::uint64_t>(run.Lcn), run.Length);
    std::sort(placed.begin(), placed.end());
    for (std::size_t i = 1; i < placed.size(); ++i)
        if (placed[i].first < placed[i - 1].first + placed[i - 1].second)
            throw ERepeatedClusters("runs that name the same clusters twice");
}

// Whether the name of `length` UTF-16 units at `offset` in `bytes` is
// `name` (UTF-8; "" for the unnamed stream).
bool NameIs(TBytes bytes, std::size_t offset, std::size_t length, std::string_view name) {
    if (length == 0 || name.empty()) return length == 0 && name.empty();
    if (offset + 2 * length > bytes.size()) return false;
    return Utf16ToUtf8(bytes.subspan(offset, 2 * length)) == name;
}

bool AttributeNamed(TBytes a, std::string_view name) {
    return NameIs(a, ReadU16(a, AttrHeader::NameOffset), ReadU8(a, AttrHeader::NameLength), name);
}

// The attribute of `type` named `name` in `bytes` with first VCN `vcn`
// (non-resident), or any such where the entry names VCN 0 and it is
// resident.
TBytes ExtentAt(TBytes bytes, std::uint32_t type, std::int64_t vcn, std::string_view name) {
    TAttributeWalk walk(bytes);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        if (ReadU32(a, AttrHeader::Type) != type || !AttributeNamed(a, name)) continue;
        const bool nonResident = ReadU8(a, AttrHeader::NonResident) == 1;
        if (nonResident ? ReadS64(a, NonResident::FirstVcn) == vcn : vcn == 0) return a;
    }
    return {};
}

void SetResident(TDataStream& stream, TBytes attribute, bool withBytes = true) {
    const TBytes value = ResidentValue(attribute);
    stream.Resident = true;
    if (withBytes) stream.ResidentBytes.assign(value.begin(), value.end());
    stream.DataSize = stream.InitializedSize = value.size();
    stream.Flags = ReadU16(attribute, AttrHeader::Flags);
}

// The record's own $DATA named `name` ("" the unnamed one) into `stream`:
// true where it is an extent still to be closed, false where there is none
// or it is resident.
bool OwnData(TDataStream& stream, TBytes record, const TVolume& volume, std::string_view name) {
    TBytes data;
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty() && data.empty(); a = walk.Next())
        if (ReadU32(a, AttrHeader::Type) == AttrData && AttributeNamed(a, name)) data = a;
    if (data.empty()) return false;
    stream.Found = true;
    if (ReadU8(data, AttrHeader::NonResident) != 1) {
        SetResident(stream, data);
        return false;
    }
    AddExtent(stream, data, volume);
    return true;
}

}  // namespace


TDataStream StreamOfAttribute(TBytes attribute, const TVolume& volume) {
    TDataStream stream;
    stream.Found = true;
    if (ReadU8(attribute, AttrHeader::NonResident) != 1) {
        SetResident(stream, attribute, false);
    } else {
        AddExtent(stream, attribute, volume);
        CloseStream(stream, volume, false);
    }
    return stream;
}

bool BelongsTo(TBytes extension, std::int64_t base, std::uint16_t sequence) {
    const std::uint64_t reference = ReadU64(extension, RecordHeader::BaseRecord);
    if (RecordNumberOf(reference) != base || base <= 0) return false;
    const std::uint16_t theirs = SequenceOf(reference);
    return theirs == sequence || static_cast<std::uint16_t>(theirs + 1) == sequence;
}

TExtensionFetch FetchFromDevice(TDevice& device, const TVolume& volume, std::int64_t base, std::uint16_t sequence) {
    return [&device, &volume, base, sequence](std::int64_t n) {
        TDynamicCharArray extension;
        if (ReadFileRecord(device, volume, n, extension) != 0) return TDynamicCharArray{};
        try {
            FixupRecord(extension);
        } catch (const ERecordError&) {
            return TDynamicCharArray{};
        }
        return BelongsTo(extension, base, sequence) ? extension : TDynamicCharArray{};
    };
}

TBytes FileNameAttribute(TBytes record) {
    const TBytes name = FindAttributeView(record, AttrFileName, true);
    return name.empty() ? FindAttributeView(record, AttrFileName, false) : name;
}

TDynamicCharArray ReadAttributeList(TBytes record, TDevice* device, const TVolume& volume) {
    const TBytes attribute = FindAttributeView(record, AttrAttributeList, false);
    if (attribute.empty()) return {};
    if (ReadU8(attribute, AttrHeader::NonResident) != 1) {
        const TBytes value = ResidentValue(attribute);
        return TDynamicCharArray(value.begin(), value.end());
    }
    TDynamicCharArray list;
    if (device == nullptr) return list;
    try {
        const TFileContent content = ContentOfAttribute(attribute, volume);
        if (content.Size > MaxAttributeList) return {};
        const TReadReport read = ReadFileContent(*device, content, [&](const std::uint8_t* b, std::uint64_t n) {
            if (b) list.insert(list.end(), b, b + n);
            else list.resize(list.size() + n, 0);
        });
        // A list with bytes the device could not give is not the list.
        if (read.UnreadBytes > 0) return {};
    } catch (const ERecordError&) {
        return {};
    }
    return list;
}

TDataStream StreamOfRecord(TBytes record, std::int64_t self, const TVolume& volume, TDevice* device,
                           const TExtensionFetch& fetch, std::string_view name) {
    TDataStream stream;
    const TDynamicCharArray list = fetch ? ReadAttributeList(record, device, volume) : TDynamicCharArray{};
    if (list.empty()) {
        if (OwnData(stream, record, volume, name)) CloseStream(stream, volume, false);
        return stream;
    }

    // The list names, for each extent of $DATA, the record that holds it.
    // Each (record, VCN) counts once; an extent that is gone leaves its VCNs
    // missing.
    std::set<std::pair<std::int64_t, std::int64_t>> seen;
    std::map<std::int64_t, TDynamicCharArray> fetched;
    for (std::size_t p = 0; p + ListEntry::Size <= list.size();) {
        const std::size_t length = ReadU16(list, p + ListEntry::Length);
        if (length < ListEntry::Size || length % 8 != 0 || p + length > list.size()) break;
        const TBytes entry = TBytes(list).subspan(p, length);
        p += length;
        if (ReadU32(entry, ListEntry::Type) != AttrData ||
            !NameIs(entry, ReadU8(entry, ListEntry::NameOffset), ReadU8(entry, ListEntry::NameLength), name))
            continue;
        const std::int64_t vcn = static_cast<std::int64_t>(ReadU64(entry, ListEntry::FirstVcn));
        const std::int64_t n = RecordNumberOf(ReadU64(entry, ListEntry::Record));
        if (vcn < 0 || !seen.insert({n, vcn}).second) continue;
        TBytes bytes = record;
        if (n != self) {
            auto it = fetched.find(n);
            if (it == fetched.end()) it = fetched.emplace(n, fetch(n)).first;
            bytes = it->second;
        }
        const TBytes extent = ExtentAt(bytes, AttrData, vcn, name);
        if (extent.empty()) continue;
        stream.Found = true;
        if (ReadU8(extent, AttrHeader::NonResident) != 1) {
            SetResident(stream, extent);
            return stream;
        }
        AddExtent(stream, extent, volume);
    }
    // A list that names no such $DATA: the base record's own, if any.
    if (!stream.Found && !OwnData(stream, record, volume, name)) return stream;
    CloseStream(stream, volume, true);
    return stream;
}

TFileContent PlanContent(const TDataStream& stream, const TVolume& volume) {
    TFileContent content;
    if (stream.Resident) {
        content.Resident = true;
        content.ResidentBytes = stream.ResidentBytes;
        content.Size = content.ResidentBytes.size();
        return content;
    }
    const std::uint64_t cluster = volume.BytesPerCluster;
    if (cluster == 0) Damaged("no cluster size");
    const std::uint64_t size = stream.DataSize;
    // Past the valid data length the file reads as zeros, whatever its
    // clusters hold.
    const std::uint64_t valid = std::min(stream.InitializedSize, size);
    content.Size = size;

    // Appends `bytes` of file content from `vcn` on, as the runs give them.
    auto appendRuns = [&](std::int64_t vcn, std::uint64_t bytes, std::vector<TContentExtent>& into) {
        for (const TVcnRun& run : stream.Runs) {
            if (bytes == 0) break;
            const std::int64_t end = run.Vcn + static_cast<std::int64_t>(run.Length);
            if (end <= vcn) continue;
            if (run.Vcn > vcn) break;  // a gap: left to the caller's padding
            const std::uint64_t skip = static_cast<std::uint64_t>(vcn - run.Vcn) * cluster;
            const std::uint64_t take = std::min(run.Length * cluster - skip, bytes);
            if (run.Lcn == TVcnRun::Missing) content.MissingBytes += take;
            const std::int64_t at = run.Lcn < 0 ? -1 : run.Lcn * static_cast<std::int64_t>(cluster) + static_cast<std::int64_t>(skip);
            if (!into.empty() && into.back().VolumeOffset < 0 && at < 0 && !into.back().CompressedUnit)
                into.back().Length += take;
            else
                into.push_back({at, take});
            bytes -= take;
            vcn += static_cast<std::int64_t>((take + cluster - 1) / cluster);
        }
        return bytes;  // what the runs didn't cover
    };

    if (!stream.Compressed()) {
        std::uint64_t covered = valid - appendRuns(0, valid, content.Extents);
        if (covered < size) content.Extents.push_back({-1, size - covered});
        return content;
    }

    // Compressed: units of 2^CompressionUnit clusters. A unit whose clusters
    // are all stored is raw, one with none is zeros, one with fewer stored
    // clusters than its size holds LZNT1 data.
    const std::uint64_t unitClusters = std::uint64_t{1} << stream.CompressionUnit;
    const std::uint64_t unitBytes = unitClusters * cluster;
    content.CompressionUnitBytes = unitBytes;
    // Extents that follow on from the one before join it: a stretch of raw
    // units of one run, or of units that are all holes, is one extent, so
    // the plan grows with the runs, not with the units of the size claimed.
    auto append = [&](std::int64_t at, std::uint64_t length) {
        if (!content.Extents.empty()) {
            TContentExtent& last = content.Extents.back();
            if (!last.CompressedUnit && ((at < 0 && last.VolumeOffset < 0) ||
                                         (at >= 0 && last.VolumeOffset >= 0 &&
                                          static_cast<std::uint64_t>(last.VolumeOffset) + last.Length ==
                                              static_cast<std::uint64_t>(at)))) {
                last.Length += length;
                return;
            }
        }
        content.Extents.push_back({at, length});
    };
    const std::vector<TVcnRun>& runs = stream.Runs;  // in VCN order, apart
    std::size_t r = 0;                               // the first run that ends past the unit's start
    for (std::uint64_t start = 0; start < size;) {
        const auto firstVcn = static_cast<std::int64_t>(start / cluster);
        const std::int64_t unitEnd = firstVcn + static_cast<std::int64_t>(unitClusters);
        while (r < runs.size() && runs[r].Vcn + static_cast<std::int64_t>(runs[r].Length) <= firstVcn) ++r;

        // Whole units inside one run, or inside a gap between runs, are
        // taken together: raw from the run's clusters, or zeros.
        const bool inRun = r < runs.size() && runs[r].Vcn <= firstVcn;
        const std::int64_t stretchEnd = inRun ? runs[r].Vcn + static_cast<std::int64_t>(runs[r].Length)
                                        : r < runs.size() ? runs[r].Vcn
                                                          : INT64_MAX;
        if (stretchEnd >= unitEnd) {
            const auto units = static_cast<std::uint64_t>(stretchEnd - firstVcn) / unitClusters;
            const std::uint64_t length = units > (size - start) / unitBytes ? size - start : units * unitBytes;
            if (inRun && runs[r].Lcn >= 0)
                append((runs[r].Lcn + (firstVcn - runs[r].Vcn)) * static_cast<std::int64_t>(cluster), length);
            else
                append(-1, length);
            if (inRun && runs[r].Lcn == TVcnRun::Missing) content.MissingBytes += length;
            start += length;
            continue;
        }

        // A unit that spans runs: its stored clusters, and LZNT1 data where
        // they are fewer than the unit's.
        const std::uint64_t length = std::min(unitBytes, size - start);
        std::vector<TContentExtent> stored;
        std::uint64_t storedClusters = 0;
        bool missing = false;
        for (std::size_t i = r; i < runs.size() && runs[i].Vcn < unitEnd; ++i) {
            const TVcnRun& run = runs[i];
            const std::int64_t from = std::max(run.Vcn, firstVcn);
            const std::int64_t to = std::min(run.Vcn + static_cast<std::int64_t>(run.Length), unitEnd);
            if (run.Lcn == TVcnRun::Missing) missing = true;
            if (run.Lcn < 0) continue;
            storedClusters += static_cast<std::uint64_t>(to - from);
            stored.push_back({(run.Lcn + (from - run.Vcn)) * static_cast<std::int64_t>(cluster),
                              static_cast<std::uint64_t>(to - from) * cluster});
        }
        if (missing) content.MissingBytes += length;
        if (storedClusters == 0) {
            append(-1, length);
        } else if (storedClusters >= unitClusters) {
            std::uint64_t left = length;
            for (const TContentExtent& piece : stored) {
                const std::uint64_t take = std::min(piece.Length, left);
                if (take > 0) append(piece.VolumeOffset, take);
                left -= take;
            }
        } else {
            TContentExtent unit;
            unit.Length = length;
            unit.CompressedUnit = true;
            unit.PieceFirst = static_cast<std::uint32_t>(content.Pieces.size());
            unit.PieceCount = static_cast<std::uint32_t>(stored.size());
            content.Pieces.insert(content.Pieces.end(), stored.begin(), stored.end());
            content.Extents.push_back(unit);
        }
        start += length;
    }
    // Past the valid data length: zeros, also inside a unit.
    if (valid < size) {
        std::vector<TContentExtent> cut;
        std::uint64_t at = 0;
        for (const TContentExtent& e : content.Extents) {
            if (at + e.Length <= valid) {
                cut.push_back(e);
            } else if (at < valid) {
                TContentExtent head = e;
                head.Length = valid - at;
                cut.push_back(head);
            }
            at += e.Length;
        }
        cut.push_back({-1, size - valid});
        content.Extents = std::move(cut);
    }
    return content;
}

TFileContent ExtractFileContent(TBytes record, const TVolume& volume) {
    const TDataStream stream = StreamOfRecord(record, -1, volume);
    if (!stream.Found) Damaged("no $DATA attribute");
    return PlanContent(stream, volume);
}

TFileContent ContentOfAttribute(TBytes attribute, const TVolume& volume) {
    return PlanContent(StreamOfAttribute(attribute, volume), volume);
}

bool DecompressLznt1(TBytes in, std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::size_t src = 0;
    std::size_t chunkStart = 0;  // where the current 4 KiB chunk begins in `out`
    while (chunkStart < out.size()) {
        if (src + 2 > in.size()) return true;  // the rest of the unit is zeros
        const std::uint16_t header = ReadU16(in, src);
        if (header == 0) return true;
        const std::size_t chunkSize = (header & 0x0FFF) + 1;
        src += 2;
        if (src + chunkSize > in.size()) return false;
        const TBytes chunk = in.subspan(src, chunkSize);
        src += chunkSize;
        const std::size_t room = std::min(Lznt1Chunk, out.size() - chunkStart);
        std::uint8_t* dest = out.data() + chunkStart;
        if ((header & 0x8000) == 0) {
            // A stored chunk: its bytes as they are.
            std::memcpy(dest, chunk.data(), std::min(room, chunk.size()));
        } else {
            std::size_t pos = 0;
            std::size_t at = 0;
            while (at < chunk.size()) {
                const std::uint8_t tags = chunk[at++];
                for (int bit = 0; bit < 8 && at < chunk.size(); ++bit) {
                    if ((tags & (1u << bit)) == 0) {
                        if (pos >= room) return false;
                        dest[pos++] = chunk[at++];
                        continue;
                    }
                    if (at + 2 > chunk.size() || pos == 0) return false;
                    const std::uint16_t token = ReadU16(chunk, at);
                    at += 2;
                    // The split between offset and length moves with the
                    // position: the further in, the more bits the offset takes.
                    unsigned lengthBits = 12;
                    for (std::size_t i = pos - 1; i >= 0x10; i >>= 1) --lengthBits;
                    const std::size_t offset = (token >> lengthBits) + 1;
                    const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
                    if (offset > pos || pos + length > room) return false;
                    for (std::size_t k = 0; k < length; ++k, ++pos) dest[pos] = dest[pos - offset];
                }
            }
        }
        chunkStart += Lznt1Chunk;
    }
    return true;
}

TContentPart ReadContentPart(TDevice& device, const TFileContent& content, std::uint64_t offset,
                             std::uint64_t count, const std::atomic<bool>* stop) {
    TContentPart part;
    const std::uint64_t size = content.Resident ? content.ResidentBytes.size() : content.Size;
    if (offset >= size) return part;
    count = std::min(count, size - offset);
    part.Bytes.assign(static_cast<std::size_t>(count), 0);
    if (content.Resident) {
        std::memcpy(part.Bytes.data(), content.ResidentBytes.data() + offset, static_cast<std::size_t>(count));
        return part;
    }
    const std::uint64_t end = offset + count;
    auto unread = [&](std::uint64_t from, std::uint64_t length) {
        if (!part.Unread.empty() && part.Unread.back().To == from) part.Unread.back().To += length;
        else part.Unread.push_back({from, from + length});
    };
    std::uint64_t at = 0;  // where the extent begins in the content
    for (const TContentExtent& e : content.Extents) {
        if (at >= end) break;
        const std::uint64_t extentEnd = at + e.Length;
        const std::uint64_t from = std::max(at, offset);
        const std::uint64_t to = std::min(extentEnd, end);
        if (from < to && e.CompressedUnit) {
            // The unit's stored clusters, decoded whole; the part asked for copied out.
            if (stop && stop->load()) {
                part.Stopped = true;
                return part;
            }
            std::vector<std::uint8_t> stored;
            bool failed = false;
            for (std::uint32_t i = 0; i < e.PieceCount; ++i) {
                const TContentExtent& piece = content.Pieces[e.PieceFirst + i];
                const std::size_t put = stored.size();
                stored.resize(put + static_cast<std::size_t>(piece.Length));
                if (ReadCarefully(device, piece.VolumeOffset, stored.data() + put, static_cast<std::size_t>(piece.Length)).Bytes > 0)
                    failed = true;
            }
            if (failed) {
                unread(from, to - from);
            } else {
                std::vector<std::uint8_t> unit(static_cast<std::size_t>(content.CompressionUnitBytes));
                if (!DecompressLznt1(stored, unit)) {
                    ++part.BadUnits;
                } else {
                    const std::uint64_t in = from - at;
                    const std::uint64_t n = std::min<std::uint64_t>(to - from, unit.size() > in ? unit.size() - in : 0);
                    std::memcpy(part.Bytes.data() + (from - offset), unit.data() + in, static_cast<std::size_t>(n));
                }
            }
        } else if (from < to && e.VolumeOffset >= 0) {
            for (std::uint64_t piece = from; piece < to; piece += PartReadBytes) {
                if (stop && stop->load()) {
                    part.Stopped = true;
                    return part;
                }
                const std::uint64_t n = std::min<std::uint64_t>(PartReadBytes, to - piece);
                const std::int64_t volumeAt = e.VolumeOffset + static_cast<std::int64_t>(piece - at);
                std::vector<TUnreadRange> ranges;
                ReadCarefully(device, volumeAt, part.Bytes.data() + (piece - offset), static_cast<std::size_t>(n), &ranges);
                for (const TUnreadRange& r : ranges) unread(piece + static_cast<std::uint64_t>(r.Offset - volumeAt), r.Length);
            }
        }
        at = extentEnd;
    }
    return part;
}

TReadReport ReadFileContent(TDevice& device, const TFileContent& content,
                            const std::function<void(const std::uint8_t*, std::uint64_t)>& sink) {
    TReadReport report;
    if (content.Resident) {
        if (!content.ResidentBytes.empty()) sink(content.ResidentBytes.data(), content.ResidentBytes.size());
        return report;
    }
    // The content in pieces, in file order: holes whole, data in pieces of
    // at most ChunkSize bytes, a compressed unit whole.
    struct TPiece {
        std::int64_t at = -1;  // volume offset, -1 for a hole
        std::uint64_t length = 0;
        const TContentExtent* unit = nullptr;
        std::uint64_t inFile = 0;  // where it begins in the file
    };
    const std::int64_t deviceSize = device.Size();
    std::size_t extent = 0;
    std::uint64_t done = 0;
    std::uint64_t inFile = 0;
    auto next = [&](TPiece& piece) {
        while (extent < content.Extents.size() && done >= content.Extents[extent].Length) ++extent, done = 0;
        if (extent == content.Extents.size()) return false;
        const TContentExtent& e = content.Extents[extent];
        const std::uint64_t left = e.Length - done;
        if (e.CompressedUnit) {
            piece = {-1, left, &e, inFile};
        } else {
            const std::int64_t at = e.VolumeOffset < 0 ? -1 : e.VolumeOffset + static_cast<std::int64_t>(done);
            if (at < 0 || (deviceSize >= 0 && at >= deviceSize)) {
                piece = {-1, left, nullptr, inFile};
            } else {
                std::uint64_t length = std::min<std::uint64_t>(ChunkSize, left);
                if (deviceSize >= 0) length = std::min<std::uint64_t>(length, static_cast<std::uint64_t>(deviceSize - at));
                piece = {at, length, nullptr, inFile};
            }
        }
        done += piece.length;
        inFile += piece.length;
        return true;
    };
    // Fills a buffer with a piece: its bytes, or a compressed unit decoded.
    // What the device can't give is zeros, counted.
    struct TFilled {
        int error = 0;
        bool badUnit = false;
        std::uint64_t unread = 0;
        std::int64_t firstUnread = -1;  // in the file
    };
    std::vector<std::uint8_t> stored;
    auto fill = [&](std::uint8_t* into, const TPiece& piece) -> TFilled {
        TFilled result;
        if (piece.unit) {
            stored.clear();
            for (std::uint32_t i = 0; i < piece.unit->PieceCount; ++i) {
                const TContentExtent& p = content.Pieces[piece.unit->PieceFirst + i];
                const std::size_t at = stored.size();
                stored.resize(at + static_cast<std::size_t>(p.Length));
                const TReadGaps gaps = ReadCarefully(device, p.VolumeOffset, stored.data() + at, static_cast<std::size_t>(p.Length));
                if (gaps.Bytes > 0 && !result.error) result.error = gaps.Error;
            }
            // A unit whose stored bytes can't all be read can't be told
            // apart: all of it is unread, none of it guessed.
            if (result.error) {
                std::memset(into, 0, static_cast<std::size_t>(piece.length));
                result.unread = piece.length;
                result.firstUnread = static_cast<std::int64_t>(piece.inFile);
                return result;
            }
            std::vector<std::uint8_t> unit(static_cast<std::size_t>(content.CompressionUnitBytes));
            result.badUnit = !DecompressLznt1(stored, unit);
            if (result.badUnit) std::fill(unit.begin(), unit.end(), std::uint8_t{0});
            std::memcpy(into, unit.data(), static_cast<std::size_t>(piece.length));
            return result;
        }
        if (piece.at >= 0) {
            const TReadGaps gaps = ReadCarefully(device, piece.at, into, static_cast<std::size_t>(piece.length));
            result.error = gaps.Error;
            result.unread = gaps.Bytes;
            if (gaps.Bytes > 0) result.firstUnread = static_cast<std::int64_t>(piece.inFile) + (gaps.First - piece.at);
        }
        return result;
    };

    // The next piece is read on a helper thread while the sink writes this one.
    // No piece is longer than the content (an attribute list of a few KiB
    // needs no megabyte), nor than a chunk, but a compressed unit is whole.
    const std::size_t bufferSize = std::max<std::size_t>(
        static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, std::max<std::uint64_t>(content.Size, 1))),
        static_cast<std::size_t>(content.CompressionUnitBytes));
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(bufferSize), std::vector<std::uint8_t>(bufferSize)};
    TPiece current;
    if (!next(current)) return report;
    std::future<TFilled> pending = std::async(std::launch::async, fill, buffers[0].data(), current);
    for (int i = 0;; i ^= 1) {
        const TFilled filled = pending.get();
        if (filled.error && !report.Error) report.Error = filled.error;
        if (filled.badUnit) ++report.BadUnits;
        if (filled.unread > 0 && report.UnreadBytes == 0) report.FirstUnread = filled.firstUnread;
        report.UnreadBytes += filled.unread;
        TPiece following;
        const bool more = next(following);
        if (more) pending = std::async(std::launch::async, fill, buffers[i ^ 1].data(), following);
        try {
            const bool hole = current.at < 0 && current.unit == nullptr;
            sink(hole ? nullptr : buffers[i].data(), current.length);
        } catch (...) {
            if (pending.valid()) pending.wait();
            throw;
        }
        if (!more) break;
        current = following;
    }
    return report;
}

}  // namespace deruzera
