// The carving pass: the stretches read once, in order, signatures tested at
// aligned positions, candidates followed through the reader.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

#include "CarveFormats.h"
#include "Fixup.h"
#include "Mft.h"

namespace deruzera {

using namespace carve;

namespace {

// Bytes the pass reads at once: large enough that a disk streams, small
// enough to keep beside the reader's window.
constexpr std::size_t ChunkBytes = std::size_t{4} << 20;
// The step over a byte that can't be read: one sector, the smallest unit a
// disk fails in.
constexpr std::uint32_t BadStep = 512;
// Bytes of a head the signature test sees.
constexpr std::size_t HeadBytes = 64;

bool Equal(TBytes head, std::size_t at, const char* text, std::size_t n) {
    return head.size() >= at + n && std::memcmp(head.data() + at, text, n) == 0;
}

// An MPEG audio frame header: sync, a version, a layer, a bitrate and a
// sample rate that exist.
bool MpegFrameHead(TBytes h) {
    if (h.size() < 4 || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    const unsigned version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;
    const unsigned bitrate = h[2] >> 4, rate = (h[2] >> 2) & 3;
    return version != 1 && layer != 0 && bitrate != 0 && bitrate != 15 && rate != 3 && (h[3] & 3) != 2;
}

bool Id3Head(TBytes h) {
    return Equal(h, 0, "ID3", 3) && h.size() >= 10 && h[3] >= 2 && h[3] <= 4 && h[4] != 0xFF &&
           ((h[6] | h[7] | h[8] | h[9]) & 0x80) == 0;
}

}  // namespace

const char* CarveFormatName(TCarveFormat format) {
    static constexpr const char* Names[CarveFormatCount] = {"jpeg", "png", "gif",  "bmp",  "tiff",     "pdf",
                                                            "zip",  "isomedia", "riff", "mp3", "flac", "ogg",
                                                            "matroska", "sqlite", "7z", "rar", "gzip"};
    const auto i = static_cast<std::size_t>(format);
    return i < CarveFormatCount ? Names[i] : "";
}

std::string CarvedName(const TCarvedFile& file) {
    return "carved-" + std::to_string(file.SourceOffset) + "." + file.Extension;
}

TFileContent CarvedContent(const TCarvedFile& file) {
    TFileContent content;
    for (const TByteRange& range : file.Ranges) {
        TContentExtent extent;
        extent.VolumeOffset = range.Offset;
        extent.Length = range.Length;
        content.Extents.push_back(extent);
        content.Size += range.Length;
    }
    return content;
}

namespace carve {

// ---- The reader --------------------------------------------------------------

TCarveReader::TCarveReader(TDevice& device, const std::atomic<bool>& abort)
    : device_(device), abort_(abort), window_(2 * MaxView) {}

bool TCarveReader::Fill(std::int64_t pos, std::size_t want) {
    if (stopAt_ >= 0 && pos >= stopAt_) return false;
    if (abort_.load(std::memory_order_relaxed)) {
        aborted_ = true;
        stopAt_ = pos;
        return false;
    }
    // Keep what the window holds from `pos` on; read the rest.
    std::size_t kept = 0;
    if (pos >= windowAt_ && pos < windowAt_ + static_cast<std::int64_t>(windowLength_)) {
        kept = windowLength_ - static_cast<std::size_t>(pos - windowAt_);
        std::memmove(window_.data(), window_.data() + (pos - windowAt_), kept);
    }
    windowAt_ = pos;
    windowLength_ = kept;
    std::size_t room = window_.size();
    if (end_ - pos < static_cast<std::int64_t>(room)) room = static_cast<std::size_t>(end_ - pos);
    while (windowLength_ < room) {
        const std::int64_t at = pos + static_cast<std::int64_t>(windowLength_);
        const std::int64_t got = device_.ReadAt(at, window_.data() + windowLength_, room - windowLength_);
        if (got > 0) {
            windowLength_ += static_cast<std::size_t>(got);
        } else {
            if (got < 0) failed_ = true;
            stopAt_ = at;
            break;
        }
    }
    if (windowAt_ <= contiguous_)
        contiguous_ = std::max(contiguous_, windowAt_ + static_cast<std::int64_t>(windowLength_));
    return windowLength_ >= std::min(want, room);
}

TBytes TCarveReader::At(std::int64_t pos, std::size_t want) {
    if (pos < 0 || pos >= end_) return {};
    want = std::min(want, MaxView);
    if (end_ - pos < static_cast<std::int64_t>(want)) want = static_cast<std::size_t>(end_ - pos);
    if (pos >= chunkAt_ && pos - chunkAt_ + static_cast<std::int64_t>(want) <= static_cast<std::int64_t>(chunk_.size()))
        return chunk_.subspan(static_cast<std::size_t>(pos - chunkAt_), want);
    if (pos < windowAt_ || pos - windowAt_ + static_cast<std::int64_t>(want) > static_cast<std::int64_t>(windowLength_))
        Fill(pos, want);
    if (pos < windowAt_ || pos >= windowAt_ + static_cast<std::int64_t>(windowLength_)) return {};
    const std::size_t have = windowLength_ - static_cast<std::size_t>(pos - windowAt_);
    return TBytes(window_.data() + (pos - windowAt_), std::min(want, have));
}

TBytes TCarveReader::Some(std::int64_t pos) {
    if (pos < 0 || pos >= end_) return {};
    if (pos >= chunkAt_ && pos < chunkAt_ + static_cast<std::int64_t>(chunk_.size()))
        return chunk_.subspan(static_cast<std::size_t>(pos - chunkAt_));
    if (pos >= windowAt_ && pos < windowAt_ + static_cast<std::int64_t>(windowLength_))
        return TBytes(window_.data() + (pos - windowAt_), windowLength_ - static_cast<std::size_t>(pos - windowAt_));
    return At(pos, MaxView);
}

bool TCarveReader::Copy(std::int64_t pos, void* out, std::size_t n) {
    const TBytes view = At(pos, n);
    if (view.size() != n) return false;
    std::memcpy(out, view.data(), n);
    return true;
}

void TCarveReader::Begin(std::int64_t start) {
    failed_ = false;
    stopAt_ = -1;
    contiguous_ = start;
    if (start >= chunkAt_ && start < chunkAt_ + static_cast<std::int64_t>(chunk_.size()))
        contiguous_ = chunkAt_ + static_cast<std::int64_t>(chunk_.size());
    if (start >= windowAt_ && start < windowAt_ + static_cast<std::int64_t>(windowLength_))
        contiguous_ = std::max(contiguous_, windowAt_ + static_cast<std::int64_t>(windowLength_));
}

std::int64_t TCarveReader::Fence(std::int64_t from, std::int64_t to) {
    if (alignment_ == 0 || to <= from) return to;
    const std::int64_t origin = origin_;
    const std::int64_t step = alignment_;
    std::int64_t p = from - origin;
    p = origin + (p >= 0 ? (p + step - 1) / step : -((-p) / step)) * step;
    for (; p < to; p += step) {
        const TBytes head = At(p, HeadBytes);
        if (head.empty()) return p;
        if (fenceFormats_ & StartMask(head[0]))
            for (std::size_t f = 0; f < CarveFormatCount; ++f)
                if ((fenceFormats_ >> f) & 1u && (StartMask(head[0]) >> f) & 1u &&
                    Signature(static_cast<TCarveFormat>(f), head))
                    return p;
    }
    return to;
}

// ---- Signatures ---------------------------------------------------------------

std::uint32_t StartMask(std::uint8_t first) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        auto add = [&](std::uint8_t byte, TCarveFormat f) { t[byte] |= 1u << static_cast<unsigned>(f); };
        add(0xFF, TCarveFormat::Jpeg);
        add(0xFF, TCarveFormat::Mp3);
        add(0x89, TCarveFormat::Png);
        add('G', TCarveFormat::Gif);
        add('B', TCarveFormat::Bmp);
        add('I', TCarveFormat::Tiff);
        add('M', TCarveFormat::Tiff);
        add('%', TCarveFormat::Pdf);
        add('P', TCarveFormat::Zip);
        add(0x00, TCarveFormat::IsoMedia);  // a first box under 16 MiB
        add('R', TCarveFormat::Riff);
        add('I', TCarveFormat::Mp3);   // an ID3v2 tag
        add('I', TCarveFormat::Flac);  // an ID3v2 tag before "fLaC"
        add('f', TCarveFormat::Flac);
        add('O', TCarveFormat::Ogg);
        add(0x1A, TCarveFormat::Matroska);
        add('S', TCarveFormat::Sqlite);
        add('7', TCarveFormat::SevenZip);
        add('R', TCarveFormat::Rar);
        add(0x1F, TCarveFormat::Gzip);
        return t;
    }();
    return table[first];
}

bool Signature(TCarveFormat format, TBytes h) {
    switch (format) {
    case TCarveFormat::Jpeg:
        // SOI, then a marker that may open a file: APPn, DQT, DHT, SOFn, DRI, COM.
        return h.size() >= 4 && h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF && h[3] >= 0xC0 &&
               !(h[3] >= 0xD0 && h[3] <= 0xD9) && h[3] != 0xFF;
    case TCarveFormat::Png: return Equal(h, 0, "\x89PNG\r\n\x1A\n", 8);
    case TCarveFormat::Gif: return Equal(h, 0, "GIF87a", 6) || Equal(h, 0, "GIF89a", 6);
    case TCarveFormat::Bmp: {
        if (!Equal(h, 0, "BM", 2) || h.size() < 18) return false;
        const std::uint32_t dib = LoadU32(h.data() + 14);
        return dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124;
    }
    case TCarveFormat::Tiff:
        return Equal(h, 0, "II*\0", 4) || Equal(h, 0, "MM\0*", 4) || Equal(h, 0, "II+\0\x08\0\0\0", 8) ||
               Equal(h, 0, "MM\0+\0\x08\0\0", 8);
    case TCarveFormat::Pdf: return Equal(h, 0, "%PDF-", 5);
    case TCarveFormat::Zip: return Equal(h, 0, "PK\x03\x04", 4);
    case TCarveFormat::IsoMedia: {
        if (!Equal(h, 4, "ftyp", 4)) return false;
        const std::uint32_t size = Be32(h.data());
        return size >= 16 && size <= 4096 && size % 4 == 0;
    }
    case TCarveFormat::Riff:
        return Equal(h, 0, "RIFF", 4) && (Equal(h, 8, "AVI ", 4) || Equal(h, 8, "WAVE", 4) || Equal(h, 8, "WEBP", 4));
    case TCarveFormat::Mp3: return Id3Head(h) || MpegFrameHead(h);
    case TCarveFormat::Flac: return Equal(h, 0, "fLaC", 4) || Id3Head(h);
    case TCarveFormat::Ogg: return Equal(h, 0, "OggS\0", 5) && h.size() > 5 && (h[5] & 0x02) && !(h[5] & 0x01);
    case TCarveFormat::Matroska: return Equal(h, 0, "\x1A\x45\xDF\xA3", 4);
    case TCarveFormat::Sqlite: return Equal(h, 0, "SQLite format 3\0", 16);
    case TCarveFormat::SevenZip: return Equal(h, 0, "7z\xBC\xAF\x27\x1C", 6);
    case TCarveFormat::Rar: return Equal(h, 0, "Rar!\x1A\x07\x00", 7) || Equal(h, 0, "Rar!\x1A\x07\x01\x00", 8);
    case TCarveFormat::Gzip: return h.size() >= 10 && h[0] == 0x1F && h[1] == 0x8B && h[2] == 8 && (h[3] & 0xE0) == 0;
    }
    return false;
}

std::optional<TCarveHit> Follow(TCarveFormat format, TCarveReader& r, std::int64_t start) {
    std::optional<TCarveHit> hit;
    switch (format) {
    case TCarveFormat::Jpeg: hit = FollowJpeg(r, start); break;
    case TCarveFormat::Png: hit = FollowPng(r, start); break;
    case TCarveFormat::Gif: hit = FollowGif(r, start); break;
    case TCarveFormat::Bmp: hit = FollowBmp(r, start); break;
    case TCarveFormat::Tiff: hit = FollowTiff(r, start); break;
    case TCarveFormat::Pdf: hit = FollowPdf(r, start); break;
    case TCarveFormat::Zip: hit = FollowZip(r, start); break;
    case TCarveFormat::IsoMedia: hit = FollowIsoMedia(r, start); break;
    case TCarveFormat::Riff: hit = FollowRiff(r, start); break;
    case TCarveFormat::Mp3: hit = FollowMp3(r, start); break;
    case TCarveFormat::Flac: hit = FollowFlac(r, start); break;
    case TCarveFormat::Ogg: hit = FollowOgg(r, start); break;
    case TCarveFormat::Matroska: hit = FollowMatroska(r, start); break;
    case TCarveFormat::Sqlite: hit = FollowSqlite(r, start); break;
    case TCarveFormat::SevenZip: hit = FollowSevenZip(r, start); break;
    case TCarveFormat::Rar: hit = FollowRar(r, start); break;
    case TCarveFormat::Gzip: hit = FollowGzip(r, start); break;
    }
    if (!hit || hit->Length == 0) return std::nullopt;
    // No file reaches past the stretch, whatever a follower worked out.
    const std::uint64_t room = Left(r, start);
    if (hit->Length > room) hit->Length = room, hit->Complete = false;
    if (hit->Reach > room) hit->Reach = room;
    return hit;
}

}  // namespace carve

// ---- The pass ------------------------------------------------------------------

namespace {

struct TStretch {
    std::int64_t Begin = 0;
    std::int64_t End = 0;  // INT64_MAX: to the end of the device
};

std::vector<TStretch> Normalize(std::vector<TByteRange> ranges, std::int64_t deviceSize) {
    constexpr std::int64_t Open = std::numeric_limits<std::int64_t>::max();
    std::vector<TStretch> stretches;
    for (const TByteRange& r : ranges) {
        if (r.Offset < 0 || r.Length == 0) continue;
        std::int64_t end = Open;
        if (r.Length < static_cast<std::uint64_t>(Open - r.Offset)) end = r.Offset + static_cast<std::int64_t>(r.Length);
        if (deviceSize >= 0) end = std::min(end, deviceSize);
        if (end > r.Offset) stretches.push_back({r.Offset, end});
    }
    std::sort(stretches.begin(), stretches.end(), [](const TStretch& a, const TStretch& b) { return a.Begin < b.Begin; });
    std::vector<TStretch> merged;
    for (const TStretch& s : stretches) {
        if (!merged.empty() && s.Begin <= merged.back().End) merged.back().End = std::max(merged.back().End, s.End);
        else merged.push_back(s);
    }
    return merged;
}

class TPass {
public:
    TPass(TDevice& device, TCarveSink& sink, const std::atomic<bool>& abort, const TCarveOptions& options)
        : device_(device), sink_(sink), abort_(abort), options_(options), reader_(device, abort),
          chunk_(ChunkBytes) {
        alignment_ = std::max<std::uint32_t>(options.Alignment, 1);
        formats_ = options.Formats & ((1u << CarveFormatCount) - 1);
        // A bare MPEG frame header is too weak a sign to end another file at.
        reader_.Fences(alignment_, options.Origin, formats_ & ~(1u << static_cast<unsigned>(TCarveFormat::Mp3)));
    }

    TCarveOutcome Run(std::vector<TByteRange> ranges) {
        const std::vector<TStretch> stretches = Normalize(std::move(ranges), device_.Size());
        for (const TStretch& s : stretches)
            if (s.End != std::numeric_limits<std::int64_t>::max()) outcome_.BytesTotal += static_cast<std::uint64_t>(s.End - s.Begin);
        for (const TStretch& s : stretches) {
            if (!Stretch(s)) break;
        }
        if (outcome_.End == TCarveEnd::Completed) outcome_.BytesTotal = std::max(outcome_.BytesTotal, outcome_.BytesDone);
        sink_.Progress(outcome_.BytesDone, outcome_.BytesTotal, outcome_.FoundCount);
        return outcome_;
    }

private:
    std::int64_t AlignUp(std::int64_t p) const {
        const std::int64_t step = alignment_;
        const std::int64_t d = p - options_.Origin;
        const std::int64_t k = d >= 0 ? (d + step - 1) / step : -((-d) / step);
        return options_.Origin + k * step;
    }

    // False when stopped.
    bool Stretch(TStretch s) {
        reader_.Bound(s.End);
        std::int64_t pos = s.Begin;
        std::int64_t skip = s.Begin;  // positions before it lie inside a file found
        const std::uint64_t doneBefore = outcome_.BytesDone;
        while (pos < s.End) {
            if (abort_.load(std::memory_order_relaxed)) {
                outcome_.End = TCarveEnd::Aborted;
                return false;
            }
            // Read a chunk; a failure ends it there.
            const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(ChunkBytes, s.End - pos));
            std::size_t got = 0;
            std::int64_t badAt = -1;
            while (got < want) {
                const std::int64_t n = device_.ReadAt(pos + static_cast<std::int64_t>(got), chunk_.data() + got, want - got);
                if (n > 0) {
                    got += static_cast<std::size_t>(n);
                } else if (n == 0) {
                    s.End = pos + static_cast<std::int64_t>(got);  // the device ends here
                    reader_.Bound(s.End);
                    break;
                } else {
                    badAt = pos + static_cast<std::int64_t>(got);
                    break;
                }
            }
            const std::int64_t chunkEnd = pos + static_cast<std::int64_t>(got);
            reader_.Lend(pos, TBytes(chunk_.data(), got));
            for (std::int64_t p = AlignUp(std::max(pos, skip)); p < chunkEnd;) {
                const std::int64_t next = Test(p);
                if (outcome_.End == TCarveEnd::Aborted) return false;
                if (next > p) {
                    skip = next;
                    p = AlignUp(next);
                } else {
                    p += alignment_;
                }
            }
            reader_.Lend(0, {});
            if (!batch_.empty()) {
                sink_.Found(batch_);
                batch_.clear();
            }
            std::int64_t after = chunkEnd;
            if (badAt >= 0) {
                ++outcome_.ReadErrors;
                after = std::min<std::int64_t>(s.End, (badAt / BadStep + 1) * BadStep);
                outcome_.UnreadBytes += static_cast<std::uint64_t>(after - badAt);
            }
            pos = std::max(after, std::min(skip, s.End));
            outcome_.BytesDone = doneBefore + static_cast<std::uint64_t>(pos - s.Begin);
            sink_.Progress(outcome_.BytesDone, std::max(outcome_.BytesTotal, outcome_.BytesDone), outcome_.FoundCount);
        }
        return true;
    }

    // Tests aligned position `p`; returns the end of the file found there
    // (positions before it are not tested again), or `p` when none.
    std::int64_t Test(std::int64_t p) {
        const TBytes head = reader_.At(p, HeadBytes);
        if (head.empty()) return p;
        const std::uint32_t mask = StartMask(head[0]) & formats_;
        if (!mask) return p;
        for (std::size_t f = 0; f < CarveFormatCount; ++f) {
            if (!((mask >> f) & 1u)) continue;
            const auto format = static_cast<TCarveFormat>(f);
            if (!Signature(format, head)) continue;
            reader_.Begin(p);
            std::optional<TCarveHit> hit = Follow(format, reader_, p);
            if (reader_.Aborted()) {
                outcome_.End = TCarveEnd::Aborted;
                return p;
            }
            if (!hit) continue;
            TCarveHit found = *hit;
            // What the follower skipped over (data sized by its structure)
            // must still be readable for the file to be whole.
            const std::int64_t end = p + static_cast<std::int64_t>(found.Length);
            std::int64_t at = std::max(reader_.Contiguous(), p);
            while (at < end) {
                const TBytes view = reader_.Some(at);
                if (view.empty()) break;
                at += static_cast<std::int64_t>(std::min<std::uint64_t>(view.size(), static_cast<std::uint64_t>(end - at)));
            }
            if (reader_.Aborted()) {
                outcome_.End = TCarveEnd::Aborted;
                return p;
            }
            if (at < end) {
                found.Length = static_cast<std::uint64_t>(at - p);
                found.Complete = false;
                found.Reach = 0;
                if (found.Length == 0) continue;
            }
            hit = found;
            TCarvedFile file;
            file.SourceOffset = p;
            file.Length = hit->Length;
            file.Format = format;
            file.Extension = hit->Extension;
            file.Complete = hit->Complete;
            file.Ranges.push_back({p, hit->Length});
            batch_.push_back(std::move(file));
            ++outcome_.FoundCount;
            return p + static_cast<std::int64_t>(std::max(hit->Length, hit->Reach));
        }
        return p;
    }

    TDevice& device_;
    TCarveSink& sink_;
    const std::atomic<bool>& abort_;
    TCarveOptions options_;
    TCarveReader reader_;
    std::vector<std::uint8_t> chunk_;
    std::uint32_t alignment_ = 512;
    std::uint32_t formats_ = 0;
    std::vector<TCarvedFile> batch_;
    TCarveOutcome outcome_;
};

}  // namespace

TCarveOutcome CarveRanges(TDevice& device, std::vector<TByteRange> ranges, TCarveSink& sink,
                          const std::atomic<bool>& abort, const TCarveOptions& options) {
    TPass pass(device, sink, abort, options);
    return pass.Run(std::move(ranges));
}

// ---- Free clusters ---------------------------------------------------------------

std::vector<TByteRange> FreeClusterRanges(TDevice& device, const TVolume& volume, int* error) {
    std::vector<TByteRange> ranges;
    if (error) *error = 0;
    TDynamicCharArray record;
    if (const int e = ReadFileRecord(device, volume, BitmapRecord, record)) {
        if (error) *error = e;
        return ranges;
    }
    TFileContent content;
    try {
        FixupRecord(record);
        content = ExtractFileContent(record, volume);
    } catch (const ERecordError&) {
        if (error) *error = EINVAL;
        return ranges;
    }
    const std::uint64_t cluster = volume.BytesPerCluster;
    const std::uint64_t clusters = static_cast<std::uint64_t>(std::max<std::int64_t>(volume.ClusterCount, 0));
    std::uint64_t lcn = 0;
    std::int64_t freeFrom = -1;  // first cluster of the free run being gathered
    auto close = [&](std::uint64_t endLcn) {
        if (freeFrom >= 0) {
            ranges.push_back({static_cast<std::int64_t>(static_cast<std::uint64_t>(freeFrom) * cluster),
                              (endLcn - static_cast<std::uint64_t>(freeFrom)) * cluster});
            freeFrom = -1;
        }
    };
    const TReadReport report = ReadFileContent(device, content, [&](const std::uint8_t* bytes, std::uint64_t n) {
        for (std::uint64_t i = 0; i < n && lcn < clusters; ++i) {
            const std::uint8_t b = bytes ? bytes[i] : 0;
            if (b == 0xFF) {
                close(lcn);
                lcn += 8;
                continue;
            }
            if (b == 0x00 && freeFrom >= 0) {
                lcn += 8;
                continue;
            }
            for (int bit = 0; bit < 8 && lcn < clusters; ++bit, ++lcn) {
                if ((b >> bit) & 1) close(lcn);
                else if (freeFrom < 0) freeFrom = static_cast<std::int64_t>(lcn);
            }
        }
    });
    lcn = std::min(lcn, clusters);
    close(lcn);
    if (report.Error) {
        // Clusters whose bitmap could not be read count as in use: nothing
        // else tells they are free.
        if (error) *error = report.Error;
    }
    return ranges;
}

}  // namespace deruzera
