// Followers of the picture formats: JPEG, PNG, GIF, BMP and TIFF.
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "CarveFormats.h"

namespace deruzera::carve {
namespace {

// Finds the marker that ends a JPEG's entropy-coded data from `pos` on: an
// 0xFF followed by neither a stuffed 0x00, a restart marker nor a fill byte.
// Returns its position, or -1 with `stopped` set where the data stops first
// (the end, a read error, the start of another file).
std::int64_t EntropyEnd(TCarveReader& r, std::int64_t pos, std::int64_t& stopped) {
    for (;;) {
        TBytes view = r.At(pos, TCarveReader::MaxView);
        const std::int64_t fence = view.empty() ? pos : r.Fence(pos, pos + static_cast<std::int64_t>(view.size()));
        if (fence == pos) {
            stopped = pos;
            return -1;
        }
        view = r.At(pos, static_cast<std::size_t>(fence - pos));
        const std::uint8_t* base = view.data();
        const std::int64_t viewAt = pos;
        const std::int64_t viewEnd = pos + static_cast<std::int64_t>(view.size());
        while (pos < viewEnd) {
            const auto* ff = static_cast<const std::uint8_t*>(
                std::memchr(base + (pos - viewAt), 0xFF, static_cast<std::size_t>(viewEnd - pos)));
            if (!ff) {
                pos = viewEnd;
                break;
            }
            const std::int64_t q = viewAt + (ff - base);
            std::uint8_t next = 0;
            const bool inView = q + 1 < viewEnd;
            if (inView) next = ff[1];
            else if (!r.Copy(q + 1, &next, 1)) {
                stopped = q;
                return -1;
            }
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) pos = q + 2;
            else if (next == 0xFF) pos = q + 1;
            else return q;
            if (!inView) break;  // the view may have moved: take a new one
        }
    }
}

bool IsFrameMarker(std::uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

}  // namespace

std::optional<TCarveHit> FollowJpeg(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "jpg";
    std::int64_t pos = start + 2;  // past SOI
    std::int64_t sound = start;    // end of the last whole segment
    bool frame = false, scan = false;
    for (;;) {
        std::uint8_t m[2];
        if (!r.Copy(pos, m, 2) || m[0] != 0xFF) break;
        // Fill bytes may come before a marker.
        std::int64_t at = pos + 1;
        std::uint8_t marker = m[1];
        while (marker == 0xFF) {
            ++at;
            if (!r.Copy(at, &marker, 1)) return Broken(static_cast<std::uint64_t>(sound - start), Ext);
        }
        pos = at + 1;
        if (marker == 0xD9) {
            if (frame && scan) return Whole(static_cast<std::uint64_t>(pos - start), Ext);
            break;
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
        if (marker == 0x00 || marker == 0xD8 || marker < 0xC0) break;
        std::uint8_t l[2];
        if (!r.Copy(pos, l, 2)) break;
        const std::uint16_t length = Be16(l);
        if (length < 2 || Left(r, pos) < length) break;
        if (IsFrameMarker(marker)) frame = true;
        pos += length;
        if (marker == 0xDA) {
            if (!frame) break;
            scan = true;
            std::int64_t stopped = pos;
            const std::int64_t next = EntropyEnd(r, pos, stopped);
            if (next < 0) return Broken(static_cast<std::uint64_t>(stopped - start), Ext);
            pos = next;
        }
        sound = pos;
    }
    return Broken(static_cast<std::uint64_t>(sound - start), Ext);
}

std::optional<TCarveHit> FollowPng(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "png";
    std::int64_t pos = start + 8;
    bool first = true;
    for (;;) {
        std::uint8_t head[8];
        if (!r.Copy(pos, head, 8)) break;
        const std::uint32_t length = Be32(head);
        if (length > 0x7FFFFFFFu) break;
        bool letters = true;
        for (int i = 4; i < 8; ++i) {
            const std::uint8_t c = head[i];
            letters = letters && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
        }
        if (!letters) break;
        if (first && (std::memcmp(head + 4, "IHDR", 4) != 0 || length != 13)) return std::nullopt;
        std::uint32_t crc = Crc32(0, head + 4, 4);
        const std::int64_t data = pos + 8;
        const std::int64_t reached =
            Through(r, data, length, true, [&](TBytes v) { crc = Crc32(crc, v.data(), v.size()); });
        std::uint8_t stored[4];
        if (reached != data + static_cast<std::int64_t>(length) || !r.Copy(reached, stored, 4) || Be32(stored) != crc) {
            if (first) return std::nullopt;
            return Broken(static_cast<std::uint64_t>(pos - start), Ext, static_cast<std::uint64_t>(reached - start));
        }
        first = false;
        pos = reached + 4;
        if (std::memcmp(head + 4, "IEND", 4) == 0) return Whole(static_cast<std::uint64_t>(pos - start), Ext);
    }
    if (first) return std::nullopt;
    return Broken(static_cast<std::uint64_t>(pos - start), Ext);
}

namespace {

// Walks GIF data sub-blocks from `pos` to the empty one; the position after
// it, or -1 where the chain breaks off.
std::int64_t SubBlocks(TCarveReader& r, std::int64_t pos, std::int64_t& walked) {
    for (;;) {
        std::uint8_t size = 0;
        walked = std::max(walked, pos);
        if (!r.Copy(pos, &size, 1)) return -1;
        ++pos;
        if (size == 0) return pos;
        if (Left(r, pos) < size) return -1;
        pos += size;
    }
}

}  // namespace

std::optional<TCarveHit> FollowGif(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "gif";
    std::uint8_t h[13];
    if (!r.Copy(start, h, 13)) return std::nullopt;
    if (LoadU16(h + 6) == 0 || LoadU16(h + 8) == 0) return std::nullopt;
    std::int64_t pos = start + 13;
    if (h[10] & 0x80) pos += 3 << ((h[10] & 7) + 1);
    std::int64_t sound = pos;
    std::int64_t walked = pos;  // the furthest sub-block reached
    bool image = false;
    for (;;) {
        std::uint8_t b = 0;
        if (!r.Copy(pos, &b, 1)) break;
        if (b == 0x3B) {
            if (image) return Whole(static_cast<std::uint64_t>(pos + 1 - start), Ext);
            break;
        }
        if (b == 0x21) {
            const std::int64_t next = SubBlocks(r, pos + 2, walked);
            if (next < 0) break;
            pos = next;
        } else if (b == 0x2C) {
            std::uint8_t d[11];
            if (!r.Copy(pos, d, 11)) break;
            std::int64_t at = pos + 10;
            if (d[9] & 0x80) at += 3 << ((d[9] & 7) + 1);
            std::uint8_t codeSize = 0;
            if (!r.Copy(at, &codeSize, 1) || codeSize < 1 || codeSize > 11) break;
            const std::int64_t next = SubBlocks(r, at + 1, walked);
            if (next < 0) break;
            pos = next;
            image = true;
        } else {
            break;
        }
        sound = pos;
    }
    // Nothing whole past the header: a GIF only where its blocks went on a while.
    constexpr std::int64_t LeastBlocks = 1024;
    if (sound == start + 13 && !image && walked - start < LeastBlocks) return std::nullopt;
    return Broken(static_cast<std::uint64_t>(sound - start), Ext, static_cast<std::uint64_t>(walked - start));
}

std::optional<TCarveHit> FollowBmp(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "bmp";
    std::uint8_t h[138] = {};
    const TBytes view = r.At(start, sizeof h);
    if (view.size() < 26) return std::nullopt;
    std::memcpy(h, view.data(), view.size());
    std::uint64_t fileSize = LoadU32(h + 2);
    const std::uint32_t offBits = LoadU32(h + 10), dib = LoadU32(h + 14);
    std::int64_t width = 0, height = 0;
    std::uint32_t planes = 0, bpp = 0, compression = 0, imageSize = 0;
    if (dib == 12) {
        width = LoadU16(h + 18), height = LoadU16(h + 20), planes = LoadU16(h + 22), bpp = LoadU16(h + 24);
    } else {
        if (view.size() < 14 + std::size_t{40}) return std::nullopt;
        width = static_cast<std::int32_t>(LoadU32(h + 18)), height = static_cast<std::int32_t>(LoadU32(h + 22));
        planes = LoadU16(h + 26), bpp = LoadU16(h + 28), compression = LoadU32(h + 30), imageSize = LoadU32(h + 34);
    }
    if (height < 0) height = -height;
    // Sizes no picture has (2^16 pixels a side is the most any writer makes).
    if (planes != 1 || width <= 0 || height == 0 || width > 65536 || height > 65536) return std::nullopt;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return std::nullopt;
    if (compression > 6 || offBits < 14 + dib) return std::nullopt;
    const bool packed = compression == 0 || compression == 3 || compression == 6;
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bpp + 31) / 32 * 4;
    const std::uint64_t pixels = packed ? stride * static_cast<std::uint64_t>(height) : imageSize;
    if (!packed && imageSize == 0) return std::nullopt;
    if (fileSize == 0) fileSize = offBits + pixels;
    // The file holds the pixels; writers add at most a few bytes of padding,
    // or a colour profile after them (V5 header).
    std::uint64_t most = offBits + pixels + 4;
    if (dib >= 124 && view.size() >= 134) most = std::max<std::uint64_t>(most, 14ull + LoadU32(h + 126) + LoadU32(h + 130));
    if (fileSize < offBits + pixels || fileSize > most) return std::nullopt;
    if (fileSize > Left(r, start)) return Broken(Left(r, start), Ext);
    return Whole(fileSize, Ext);
}

// ---- TIFF ------------------------------------------------------------------------

namespace {

class TTiff {
public:
    // More IFDs than any picture has (pages, thumbnails, EXIF): damage.
    static constexpr std::size_t MostIfds = 4096;

    TTiff(TCarveReader& r, std::int64_t start, bool little, bool big)
        : r_(r), start_(start), little_(little), big_(big) {}

    std::uint64_t Int(const std::uint8_t* p, unsigned width) const {
        std::uint64_t v = 0;
        for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{p[little_ ? i : width - 1 - i]} << (8 * i);
        return v;
    }
    static unsigned TypeSize(std::uint16_t type) {
        switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: case 16: case 17: case 18: return 8;
        default: return 0;
        }
    }

    // Walks the IFDs from the header's; false where one is damaged.
    bool Walk(std::uint64_t first) {
        std::vector<std::uint64_t> pending{first};
        std::unordered_set<std::uint64_t> seen;
        while (!pending.empty()) {
            const std::uint64_t ifd = pending.back();
            pending.pop_back();
            if (ifd == 0) continue;
            if (!seen.insert(ifd).second) return false;  // a loop
            if (seen.size() > MostIfds) return false;
            if (!Ifd(ifd, pending) || pending.size() > MostIfds) return false;
        }
        return true;
    }

    std::uint64_t End() const { return end_; }
    bool Outside() const { return outside_; }

private:
    // Notes that the file holds [offset, offset + size); false where that
    // can't be (past the stretch).
    bool Holds(std::uint64_t offset, std::uint64_t size) {
        const std::uint64_t room = Left(r_, start_);
        if (offset > room || size > room - offset) {
            outside_ = true;
            return false;
        }
        end_ = std::max(end_, offset + size);
        return true;
    }

    // Reads values [first, first + n) of the `count` values of `type` an
    // entry holds into `out` (offsets and byte counts).
    bool Values(const std::uint8_t* entry, std::uint16_t type, std::uint64_t count, std::uint64_t first,
                std::uint64_t n, std::vector<std::uint64_t>& out) {
        const unsigned size = TypeSize(type);
        if (type != 3 && type != 4 && type != 13 && type != 16 && type != 18) return false;
        const unsigned inlineRoom = big_ ? 8 : 4;
        const std::uint8_t* valueField = entry + (big_ ? 12 : 8);
        out.clear();
        if (count * size <= inlineRoom) {
            for (std::uint64_t i = first; i < first + n; ++i) out.push_back(Int(valueField + i * size, size));
            return true;
        }
        const std::uint64_t at = Int(valueField, inlineRoom) + first * size;
        const TBytes view = r_.At(start_ + static_cast<std::int64_t>(at), static_cast<std::size_t>(n * size));
        if (view.size() != n * size) return false;
        for (std::uint64_t i = 0; i < n; ++i) out.push_back(Int(view.data() + i * size, size));
        return true;
    }

    // The strips (or tiles) of an offsets entry and a byte counts entry,
    // a block at a time: memory stays small whatever their number.
    bool Pieces(const std::uint8_t* offsets, const std::uint8_t* counts) {
        const auto type = [&](const std::uint8_t* e) { return static_cast<std::uint16_t>(Int(e + 2, 2)); };
        const auto number = [&](const std::uint8_t* e) { return Int(e + 4, big_ ? 8 : 4); };
        const std::uint64_t n = number(offsets);
        if (n != number(counts)) return false;
        constexpr std::uint64_t Block = 4096;
        std::vector<std::uint64_t> at, length;
        for (std::uint64_t first = 0; first < n; first += Block) {
            const std::uint64_t k = std::min(Block, n - first);
            if (!Values(offsets, type(offsets), n, first, k, at) || !Values(counts, type(counts), n, first, k, length))
                return false;
            for (std::uint64_t i = 0; i < k; ++i)
                if (!Holds(at[i], length[i])) return false;
        }
        return true;
    }

    bool Ifd(std::uint64_t ifd, std::vector<std::uint64_t>& pending) {
        const unsigned countSize = big_ ? 8 : 2, entrySize = big_ ? 20 : 12, nextSize = big_ ? 8 : 4;
        std::uint8_t countBytes[8];
        if (ifd > Left(r_, start_) || !r_.Copy(start_ + static_cast<std::int64_t>(ifd), countBytes, countSize)) return false;
        const std::uint64_t count = Int(countBytes, countSize);
        // A directory of more tags than TIFF, EXIF and GPS define together: damage.
        if (count == 0 || count > 1024) return false;
        const std::uint64_t bytes = countSize + count * entrySize + nextSize;
        if (!Holds(ifd, bytes)) return false;
        const TBytes dir = r_.At(start_ + static_cast<std::int64_t>(ifd), static_cast<std::size_t>(bytes));
        if (dir.size() != bytes) return false;
        std::vector<std::uint8_t> copy(dir.begin(), dir.end());
        const std::uint8_t* offsets[2] = {}; // the entries of strips and tiles
        const std::uint8_t* counts[2] = {};
        std::uint32_t lastTag = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t* e = copy.data() + countSize + i * entrySize;
            const auto tag = static_cast<std::uint16_t>(Int(e, 2));
            const auto type = static_cast<std::uint16_t>(Int(e + 2, 2));
            const std::uint64_t n = Int(e + 4, big_ ? 8 : 4);
            if (i && tag <= lastTag) return false;  // tags come in ascending order
            lastTag = tag;
            const unsigned size = TypeSize(type);
            if (size == 0 || (!big_ && type >= 16)) return false;
            const unsigned inlineRoom = big_ ? 8 : 4;
            if (n > (std::uint64_t{1} << 40) / size) return false;
            if (n * size > inlineRoom) {
                const std::uint64_t at = Int(e + (big_ ? 12 : 8), inlineRoom);
                if (!Holds(at, n * size)) return false;
            }
            std::vector<std::uint64_t> values;
            switch (tag) {
            case 273: case 279: case 324: case 325: {
                const int which = (tag == 324 || tag == 325) ? 1 : 0;
                ((tag == 273 || tag == 324) ? offsets[which] : counts[which]) = e;
                break;
            }
            case 330: case 34665: case 34853: case 40965:  // SubIFDs, EXIF, GPS, interoperability
                if (type != 4 && type != 13 && type != 16 && type != 18) break;
                if (n > MostIfds || !Values(e, type == 13 ? 4 : type == 18 ? 16 : type, n, 0, n, values)) return false;
                for (std::uint64_t v : values) pending.push_back(v);
                break;
            default:
                break;
            }
        }
        for (int k = 0; k < 2; ++k) {
            if (!offsets[k] != !counts[k]) return false;
            if (offsets[k] && !Pieces(offsets[k], counts[k])) return false;
        }
        pending.push_back(Int(copy.data() + countSize + count * entrySize, nextSize));
        return true;
    }

    TCarveReader& r_;
    std::int64_t start_;
    bool little_, big_;
    std::uint64_t end_ = 0;
    bool outside_ = false;
};

}  // namespace

std::optional<TCarveHit> FollowTiff(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "tif";
    std::uint8_t h[16];
    if (!r.Copy(start, h, 16)) return std::nullopt;
    const bool little = h[0] == 'I';
    const bool big = h[2] == 43 || h[3] == 43;
    TTiff tiff(r, start, little, big);
    const std::uint64_t first = big ? tiff.Int(h + 8, 8) : tiff.Int(h + 4, 4);
    const std::uint64_t header = big ? 16 : 8;
    if (first < header) return std::nullopt;
    const bool sound = tiff.Walk(first);
    if (tiff.End() <= header) return std::nullopt;
    if (!sound) return Broken(tiff.End(), Ext);
    return Whole(tiff.End(), Ext);
}

}  // namespace deruzera::carve
