// Followers of the containers of sound and pictures: ISO base media (MP4,
// MOV, M4A, HEIC), RIFF (AVI, WAV, WebP) and Matroska/WebM.
#include <cstring>

#include "CarveFormats.h"

namespace deruzera::carve {
namespace {

bool Is(const std::uint8_t* p, const char* four) { return std::memcmp(p, four, 4) == 0; }

// The boxes that may stand at the top level of an ISO base media file.
bool TopLevelBox(const std::uint8_t* t) {
    static constexpr const char* Known[] = {"moov", "mdat", "free", "skip", "wide", "udta", "meta", "uuid",
                                            "moof", "mfra", "sidx", "ssix", "prft", "emsg", "pdin", "styp",
                                            "pnot", "junk", "idat"};
    for (const char* k : Known)
        if (Is(t, k)) return true;
    return false;
}

const char* BrandExtension(const std::uint8_t* brand) {
    if (Is(brand, "qt  ")) return "mov";
    if (Is(brand, "M4A ") || Is(brand, "M4B ") || Is(brand, "M4P ")) return "m4a";
    if (Is(brand, "M4V ") || Is(brand, "M4VH") || Is(brand, "M4VP")) return "m4v";
    if (Is(brand, "heic") || Is(brand, "heix") || Is(brand, "heim") || Is(brand, "heis") || Is(brand, "hevc") ||
        Is(brand, "hevx") || Is(brand, "mif1") || Is(brand, "msf1"))
        return "heic";
    if (Is(brand, "avif") || Is(brand, "avis")) return "avif";
    if (Is(brand, "3gp4") || Is(brand, "3gp5") || Is(brand, "3gp6") || Is(brand, "3ge6") || Is(brand, "3gg6"))
        return "3gp";
    if (Is(brand, "3g2a") || Is(brand, "3g2b") || Is(brand, "3g2c")) return "3g2";
    return "mp4";
}

}  // namespace

std::optional<TCarveHit> FollowIsoMedia(TCarveReader& r, std::int64_t start) {
    std::uint8_t f[16];
    if (!r.Copy(start, f, 16)) return std::nullopt;
    const char* ext = BrandExtension(f + 8);
    // "mif1" may stand for AVIF too: the compatible brands tell.
    if (std::strcmp(ext, "heic") == 0 && Is(f + 8, "mif1")) {
        const TBytes brands = r.At(start + 16, Be32(f) - 16);
        for (std::size_t i = 0; i + 4 <= brands.size(); i += 4)
            if (Is(brands.data() + i, "avif")) ext = "avif";
    }
    const bool picture = std::strcmp(ext, "heic") == 0 || std::strcmp(ext, "avif") == 0;
    std::int64_t pos = start + Be32(f);
    bool movie = false, data = false, meta = false;
    for (;;) {
        std::uint8_t b[16];
        if (Left(r, pos) == 0) break;
        if (!r.Copy(pos, b, 8)) return Broken(static_cast<std::uint64_t>(pos - start), ext);
        if (!TopLevelBox(b + 4)) break;
        std::uint64_t size = Be32(b);
        std::uint64_t header = 8;
        if (size == 1) {
            if (!r.Copy(pos, b, 16)) return Broken(static_cast<std::uint64_t>(pos - start), ext);
            size = Be64(b + 8);
            header = 16;
        }
        // A box "to the end of the file" (size 0) has no end to find.
        if (size == 0) return Broken(static_cast<std::uint64_t>(pos - start), ext);
        if (size < header) break;
        if (size > Left(r, pos)) return Broken(Left(r, start), ext);
        if (Is(b + 4, "moov") || Is(b + 4, "moof")) movie = true;
        if (Is(b + 4, "mdat")) data = true;
        if (Is(b + 4, "meta")) meta = true;
        pos += static_cast<std::int64_t>(size);
    }
    const auto length = static_cast<std::uint64_t>(pos - start);
    if (picture ? meta : (movie && data)) return Whole(length, ext);
    return Broken(length, ext);
}

std::optional<TCarveHit> FollowRiff(TCarveReader& r, std::int64_t start) {
    std::uint8_t h[12];
    if (!r.Copy(start, h, 12)) return std::nullopt;
    const char* ext = Is(h + 8, "AVI ") ? "avi" : Is(h + 8, "WAVE") ? "wav" : "webp";
    std::int64_t pos = start;
    std::int64_t sound = start;
    // The first RIFF, then (AVI over 1 GiB) the "AVIX" ones that carry on.
    for (bool first = true;; first = false) {
        std::uint8_t b[12];
        if (!r.Copy(pos, b, 12) || !Is(b, "RIFF")) break;
        if (!first && !(std::strcmp(ext, "avi") == 0 && Is(b + 8, "AVIX"))) break;
        const std::uint64_t size = LoadU32(b + 4);
        if (size < 4) break;
        const std::int64_t end = pos + 8 + static_cast<std::int64_t>(size);
        std::int64_t at = pos + 12;
        bool format = false;
        while (at + 8 <= end) {
            std::uint8_t c[8];
            if (!r.Copy(at, c, 8)) break;
            for (int i = 0; i < 4; ++i)
                if (c[i] < 0x20 || c[i] > 0x7E) return Broken(static_cast<std::uint64_t>(at - start), ext);
            if (at == pos + 12) {
                // The first chunk says what the file holds.
                if (std::strcmp(ext, "wav") == 0) format = Is(c, "fmt ") || Is(c, "JUNK") || Is(c, "bext") || Is(c, "LIST");
                else if (std::strcmp(ext, "webp") == 0) format = Is(c, "VP8 ") || Is(c, "VP8L") || Is(c, "VP8X");
                else format = Is(c, "LIST");
                if (!format) return first ? std::nullopt : Broken(static_cast<std::uint64_t>(sound - start), ext);
            }
            const std::uint64_t chunk = LoadU32(c + 4) + (LoadU32(c + 4) & 1u);
            if (chunk > static_cast<std::uint64_t>(end - at - 8)) {
                // A last chunk padded short of its even size still ends the file.
                if (chunk == static_cast<std::uint64_t>(end - at - 8) + 1) {
                    at = end;
                    break;
                }
                return Broken(static_cast<std::uint64_t>(at - start), ext);
            }
            at += 8 + static_cast<std::int64_t>(chunk);
        }
        if (at != end) {
            // Cut short by the end of the stretch or a read error.
            return Broken(static_cast<std::uint64_t>(std::min(std::max(at, sound), r.Bound()) - start), ext);
        }
        pos = end + (size & 1);
        sound = pos;
    }
    if (sound == start) return std::nullopt;
    return Whole(static_cast<std::uint64_t>(sound - start), ext);
}

// ---- Matroska --------------------------------------------------------------------

namespace {

// An EBML element's ID (1 to 4 bytes, marker kept) and size (1 to 8 bytes,
// marker dropped; all ones: unknown) at `pos`.
struct TElement {
    std::uint32_t Id = 0;
    std::uint64_t Size = 0;
    bool UnknownSize = false;
    std::int64_t Data = 0;  // where its data begins
};

bool ReadElement(TCarveReader& r, std::int64_t pos, TElement& e) {
    std::uint8_t b[12];
    const TBytes v = r.At(pos, 12);
    if (v.size() < 2) return false;
    std::memset(b, 0, sizeof b);
    std::memcpy(b, v.data(), v.size());
    unsigned idLength = 1;
    while (idLength <= 4 && !(b[0] & (0x80 >> (idLength - 1)))) ++idLength;
    if (idLength > 4) return false;
    e.Id = 0;
    for (unsigned i = 0; i < idLength; ++i) e.Id = e.Id << 8 | b[i];
    const std::uint8_t first = b[idLength];
    unsigned sizeLength = 1;
    while (sizeLength <= 8 && !(first & (0x80 >> (sizeLength - 1)))) ++sizeLength;
    if (sizeLength > 8 || idLength + sizeLength > v.size()) return false;
    std::uint64_t size = first & (0xFF >> sizeLength);
    bool ones = size == (0xFFu >> sizeLength);
    for (unsigned i = 1; i < sizeLength; ++i) {
        size = size << 8 | b[idLength + i];
        ones = ones && b[idLength + i] == 0xFF;
    }
    e.Size = size;
    e.UnknownSize = ones;
    e.Data = pos + idLength + sizeLength;
    return true;
}

bool SegmentChild(std::uint32_t id) {
    switch (id) {
    case 0x114D9B74: case 0x1549A966: case 0x1654AE6B: case 0x1F43B675: case 0x1C53BB6B:
    case 0x1941A469: case 0x1043A770: case 0x1254C367: case 0xEC: case 0xBF:
        return true;
    default:
        return false;
    }
}

bool ClusterChild(std::uint32_t id) {
    switch (id) {
    case 0xE7: case 0xA3: case 0xA0: case 0xA7: case 0xAB: case 0x5854: case 0xAF: case 0xEC: case 0xBF:
        return true;
    default:
        return false;
    }
}

}  // namespace

std::optional<TCarveHit> FollowMatroska(TCarveReader& r, std::int64_t start) {
    TElement header;
    // The EBML header holds a few short fields.
    constexpr std::uint64_t MostHeader = 4096;
    if (!ReadElement(r, start, header) || header.Id != 0x1A45DFA3 || header.UnknownSize || header.Size > MostHeader)
        return std::nullopt;
    const TBytes fields = r.At(header.Data, static_cast<std::size_t>(header.Size));
    if (fields.size() != header.Size) return std::nullopt;
    const char* ext = nullptr;
    for (std::int64_t at = header.Data; at < header.Data + static_cast<std::int64_t>(header.Size);) {
        TElement field;
        if (!ReadElement(r, at, field) || field.UnknownSize || field.Size > MostHeader) return std::nullopt;
        if (field.Id == 0x4282) {
            const TBytes type = r.At(field.Data, static_cast<std::size_t>(field.Size));
            const std::string_view name(reinterpret_cast<const char*>(type.data()), type.size());
            if (name.substr(0, 4) == "webm") ext = "webm";
            else if (name.substr(0, 8) == "matroska") ext = "mkv";
        }
        at = field.Data + static_cast<std::int64_t>(field.Size);
    }
    if (!ext) return std::nullopt;
    const std::int64_t segmentAt = header.Data + static_cast<std::int64_t>(header.Size);
    TElement segment;
    if (!ReadElement(r, segmentAt, segment) || segment.Id != 0x18538067)
        return Broken(static_cast<std::uint64_t>(segmentAt - start), ext);
    const bool known = !segment.UnknownSize;
    std::int64_t end = r.Bound();
    if (known && segment.Size <= Left(r, segment.Data)) end = segment.Data + static_cast<std::int64_t>(segment.Size);
    std::int64_t pos = segment.Data;
    std::int64_t sound = pos;
    bool cut = false;  // the walk stopped at damage or at the end of what can be read
    while (pos < end) {
        TElement e;
        if (!ReadElement(r, pos, e) || !SegmentChild(e.Id)) {
            cut = true;
            break;
        }
        if (e.UnknownSize) {
            // A cluster written live: its children tell where it ends.
            if (e.Id != 0x1F43B675) {
                cut = true;
                break;
            }
            std::int64_t at = e.Data;
            TElement child;
            while (at < end && ReadElement(r, at, child) && ClusterChild(child.Id) && !child.UnknownSize &&
                   child.Size <= static_cast<std::uint64_t>(end - child.Data))
                at = child.Data + static_cast<std::int64_t>(child.Size);
            pos = at;
        } else {
            if (e.Size > static_cast<std::uint64_t>(end - e.Data)) {
                cut = true;
                break;
            }
            pos = e.Data + static_cast<std::int64_t>(e.Size);
        }
        sound = pos;
    }
    const auto length = static_cast<std::uint64_t>(sound - start);
    if (known) {
        const bool whole = segment.Size <= Left(r, segment.Data) && sound == end;
        return whole ? Whole(length, ext) : Broken(length, ext);
    }
    // A segment of unknown size ends where its elements do.
    if (cut && Left(r, sound) > 0) return Whole(length, ext);
    return Broken(length, ext);
}

}  // namespace deruzera::carve
