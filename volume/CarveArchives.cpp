// Followers of the archives: the ZIP family, 7z, RAR (4 and 5) and gzip.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "CarveFormats.h"

namespace deruzera::carve {
namespace {

bool Sig(const std::uint8_t* p, const char* four) { return std::memcmp(p, four, 4) == 0; }

// What the names and the "mimetype" entry of a ZIP say it is.
struct TZipKind {
    bool ContentTypes = false, Word = false, Excel = false, PowerPoint = false, JarManifest = false, Android = false;
    std::string Mimetype;

    void Name(std::string_view name) {
        auto starts = [&](std::string_view prefix) { return name.substr(0, prefix.size()) == prefix; };
        if (name == "[Content_Types].xml") ContentTypes = true;
        else if (starts("word/")) Word = true;
        else if (starts("xl/")) Excel = true;
        else if (starts("ppt/")) PowerPoint = true;
        else if (name == "META-INF/MANIFEST.MF") JarManifest = true;
        else if (name == "AndroidManifest.xml") Android = true;
    }
    const char* Extension() const {
        if (Mimetype == "application/epub+zip") return "epub";
        if (Mimetype == "application/vnd.oasis.opendocument.text") return "odt";
        if (Mimetype == "application/vnd.oasis.opendocument.spreadsheet") return "ods";
        if (Mimetype == "application/vnd.oasis.opendocument.presentation") return "odp";
        if (Mimetype == "application/vnd.oasis.opendocument.graphics") return "odg";
        if (ContentTypes && Word) return "docx";
        if (ContentTypes && Excel) return "xlsx";
        if (ContentTypes && PowerPoint) return "pptx";
        if (Android) return "apk";
        if (JarManifest) return "jar";
        return "zip";
    }
};

// The ZIP64 sizes of an extra field (id 1), where the 32-bit fields say so.
void Zip64Sizes(TBytes extra, std::uint64_t& compressed, std::uint64_t& uncompressed) {
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::uint16_t id = LoadU16(extra.data() + at), size = LoadU16(extra.data() + at + 2);
        if (at + 4 + size > extra.size()) return;
        if (id == 1) {
            std::size_t v = at + 4;
            if (uncompressed == 0xFFFFFFFFu && v + 8 <= at + 4 + size) uncompressed = Le64(extra.data() + v), v += 8;
            if (compressed == 0xFFFFFFFFu && v + 8 <= at + 4 + size) compressed = Le64(extra.data() + v);
            return;
        }
        at += 4 + size;
    }
}

}  // namespace

std::optional<TCarveHit> FollowZip(TCarveReader& r, std::int64_t start) {
    TZipKind kind;
    std::int64_t pos = start;
    std::int64_t sound = start;
    std::int64_t walked = start;  // the furthest byte an entry's data was decoded to
    std::uint64_t entries = 0;
    // Local entries, each: header, name, extra, data, and a descriptor where flagged.
    for (;;) {
        std::uint8_t h[30];
        if (!r.Copy(pos, h, 4)) break;
        if (!Sig(h, "PK\x03\x04")) break;
        if (!r.Copy(pos, h, 30)) break;
        const std::uint16_t flags = LoadU16(h + 6), method = LoadU16(h + 8);
        std::uint64_t compressed = LoadU32(h + 18), uncompressed = LoadU32(h + 22);
        const std::uint16_t nameLength = LoadU16(h + 26), extraLength = LoadU16(h + 28);
        if (LoadU16(h + 4) > 0x3FF) break;  // "version needed" no tool writes
        const TBytes nameView = r.At(pos + 30, nameLength);
        if (nameView.size() != nameLength || nameLength == 0) break;
        const std::string name(reinterpret_cast<const char*>(nameView.data()), nameLength);
        const TBytes extraView = r.At(pos + 30 + nameLength, extraLength);
        if (extraView.size() != extraLength) break;
        const bool zip64 = compressed == 0xFFFFFFFFu || uncompressed == 0xFFFFFFFFu;
        if (zip64) Zip64Sizes(extraView, compressed, uncompressed);
        const std::int64_t data = pos + 30 + nameLength + extraLength;
        std::int64_t after = -1;
        if (flags & 0x08) {
            // Sizes in a descriptor after the data: the data's own structure
            // tells where it ends.
            if (method != 8) break;
            const TInflateEnd end = Inflate(r, data);
            walked = std::max(walked, end.End);
            if (!end.Ok) break;
            std::uint8_t d[24];
            const TBytes dv = r.At(end.End, 24);
            std::memset(d, 0, sizeof d);
            if (!dv.empty()) std::memcpy(d, dv.data(), dv.size());
            const std::size_t skip = Sig(d, "PK\x07\x08") ? 4 : 0;
            if (dv.size() < skip + 12 || LoadU32(d + skip) != end.Crc) break;
            const std::uint64_t packed = static_cast<std::uint64_t>(end.End - data);
            if (LoadU32(d + skip + 4) == static_cast<std::uint32_t>(packed) && !zip64) after = end.End + skip + 12;
            else if (dv.size() >= skip + 20 && Le64(d + skip + 4) == packed) after = end.End + skip + 20;
            else break;
        } else {
            if (compressed > Left(r, data)) break;
            after = data + static_cast<std::int64_t>(compressed);
        }
        if (entries == 0 && name == "mimetype" && method == 0 && compressed < 128) {
            const TBytes m = r.At(data, static_cast<std::size_t>(compressed));
            kind.Mimetype.assign(reinterpret_cast<const char*>(m.data()), m.size());
        }
        kind.Name(name);
        ++entries;
        pos = after;
        sound = pos;
    }
    // A first entry whose data broke off: what decoded of it is worth keeping.
    if (entries == 0) return Broken(static_cast<std::uint64_t>(walked - start), "zip");
    const char* ext = kind.Extension();
    const auto reach = static_cast<std::uint64_t>(walked - start);
    // The central directory, then the end records.
    const std::int64_t directory = pos;
    std::uint64_t listed = 0;
    for (;;) {
        std::uint8_t c[46];
        if (!r.Copy(pos, c, 4) || !Sig(c, "PK\x01\x02")) break;
        if (!r.Copy(pos, c, 46)) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
        const std::uint64_t size = 46ull + LoadU16(c + 28) + LoadU16(c + 30) + LoadU16(c + 32);
        if (size > Left(r, pos)) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
        pos += static_cast<std::int64_t>(size);
        ++listed;
    }
    if (listed == 0) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
    const std::int64_t directoryEnd = pos;
    std::uint8_t e[56];
    if (r.Copy(pos, e, 4) && Sig(e, "PK\x05\x05")) {  // a digital signature
        if (!r.Copy(pos, e, 6)) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
        pos += 6 + LoadU16(e + 4);
    }
    if (r.Copy(pos, e, 4) && Sig(e, "PK\x06\x06")) {  // the ZIP64 end record and its locator
        if (!r.Copy(pos, e, 56)) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
        const std::uint64_t size = Le64(e + 4);
        if (size > Left(r, pos) - 12) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
        pos += static_cast<std::int64_t>(12 + size);
        if (r.Copy(pos, e, 4) && Sig(e, "PK\x06\x07")) pos += 20;
    }
    if (!r.Copy(pos, e, 22) || !Sig(e, "PK\x05\x06")) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
    const std::uint32_t total = LoadU16(e + 10), cdSize = LoadU32(e + 12), cdOffset = LoadU32(e + 16);
    // The end record agrees with what was walked (ZIP64 fields saturate).
    if ((total != 0xFFFF && total != (listed & 0xFFFF)) ||
        (cdSize != 0xFFFFFFFFu && cdSize != static_cast<std::uint32_t>(directoryEnd - directory)) ||
        (cdOffset != 0xFFFFFFFFu && cdOffset != static_cast<std::uint32_t>(directory - start)))
        return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
    const std::uint16_t comment = LoadU16(e + 20);
    if (Left(r, pos + 22) < comment) return Broken(static_cast<std::uint64_t>(sound - start), ext, reach);
    return Whole(static_cast<std::uint64_t>(pos + 22 + comment - start), ext);
}

std::optional<TCarveHit> FollowSevenZip(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "7z";
    std::uint8_t h[32];
    if (!r.Copy(start, h, 32) || h[6] != 0 || h[7] > 4) return std::nullopt;
    if (Crc32(0, h + 12, 20) != LoadU32(h + 8)) return std::nullopt;
    const std::uint64_t offset = Le64(h + 12), size = Le64(h + 20);
    if (offset == 0 && size == 0) return Whole(32, Ext);  // an empty archive
    const std::uint64_t room = Left(r, start);
    if (offset > room || size > room - offset || 32 > room - offset - size) return Broken(room, Ext);
    const std::uint64_t length = 32 + offset + size;
    const std::int64_t header = start + 32 + static_cast<std::int64_t>(offset);
    std::uint8_t first = 0;
    if (!r.Copy(header, &first, 1) || (first != 0x01 && first != 0x17)) return Broken(32 + offset, Ext);
    std::uint32_t crc = 0;
    const std::int64_t reached = Through(r, header, size, true, [&](TBytes v) { crc = Crc32(crc, v.data(), v.size()); });
    if (reached != header + static_cast<std::int64_t>(size) || crc != LoadU32(h + 28))
        return Broken(32 + offset, Ext, static_cast<std::uint64_t>(reached - start));
    return Whole(length, Ext);
}

namespace {

// A RAR 5 variable-length integer at `p` (7 bits a byte, at most 10 bytes);
// the bytes it took, 0 where it runs past `end`.
std::size_t Vint(const std::uint8_t* p, const std::uint8_t* end, std::uint64_t& value) {
    value = 0;
    for (std::size_t i = 0; i < 10 && p + i < end; ++i) {
        value |= std::uint64_t{p[i] & 0x7Fu} << (7 * i);
        if (!(p[i] & 0x80)) return i + 1;
    }
    return 0;
}

std::optional<TCarveHit> Rar4(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "rar";
    std::int64_t pos = start + 7;
    std::int64_t sound = start;
    for (bool first = true;; first = false) {
        std::uint8_t b[7];
        if (!r.Copy(pos, b, 7)) break;
        const std::uint8_t type = b[2];
        const std::uint16_t flags = LoadU16(b + 3), size = LoadU16(b + 5);
        if (size < 7 || type < 0x72 || type > 0x7B || (first && type != 0x73)) break;
        const TBytes header = r.At(pos, size);
        if (header.size() != size) break;
        if ((Crc32(0, header.data() + 2, size - 2) & 0xFFFF) != LoadU16(b)) break;
        std::uint64_t add = 0;
        if (type == 0x74 || type == 0x7A) {
            if (size < 32) break;
            add = LoadU32(header.data() + 7);
            if (flags & 0x100) {
                if (size < 36) break;
                add |= std::uint64_t{LoadU32(header.data() + 32)} << 32;
            }
        } else if (flags & 0x8000) {
            if (size < 11) break;
            add = LoadU32(header.data() + 7);
        }
        if (add > Left(r, pos) - size) break;
        pos += size + static_cast<std::int64_t>(add);
        sound = pos;
        if (type == 0x7B) return Whole(static_cast<std::uint64_t>(pos - start), Ext);
    }
    if (sound == start) return std::nullopt;
    return Broken(static_cast<std::uint64_t>(sound - start), Ext);
}

std::optional<TCarveHit> Rar5(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "rar";
    std::int64_t pos = start + 8;
    std::int64_t sound = start;
    // RAR 5 headers are at most 2 MiB; more is damage.
    constexpr std::uint64_t MostHeader = std::uint64_t{2} << 20;
    for (bool first = true;; first = false) {
        std::uint8_t b[7];
        if (!r.Copy(pos, b, 7)) break;
        std::uint64_t headerSize = 0;
        const std::size_t sizeBytes = Vint(b + 4, b + 7, headerSize);
        if (sizeBytes == 0 || headerSize == 0 || headerSize > MostHeader) break;
        const std::size_t span = 4 + sizeBytes + static_cast<std::size_t>(headerSize);
        const TBytes view = r.At(pos, span);
        if (view.size() != span) break;
        std::vector<std::uint8_t> header(view.begin(), view.end());
        if (Crc32(0, header.data() + 4, span - 4) != LoadU32(header.data())) break;
        const std::uint8_t* p = header.data() + 4 + sizeBytes;
        const std::uint8_t* end = header.data() + span;
        std::uint64_t type = 0, flags = 0, extra = 0, dataSize = 0;
        std::size_t n = Vint(p, end, type);
        if (!n) break;
        p += n;
        if (!(n = Vint(p, end, flags))) break;
        p += n;
        if (flags & 1) {
            if (!(n = Vint(p, end, extra))) break;
            p += n;
        }
        if (flags & 2) {
            if (!(n = Vint(p, end, dataSize))) break;
        }
        if (type < 1 || type > 5 || (first && type != 1 && type != 4)) break;
        if (dataSize > Left(r, pos) - span) break;
        pos += static_cast<std::int64_t>(span + dataSize);
        sound = pos;
        if (type == 5) return Whole(static_cast<std::uint64_t>(pos - start), Ext);
        if (type == 4) break;  // the headers after it are encrypted: the end can't be found
    }
    if (sound == start) return std::nullopt;
    return Broken(static_cast<std::uint64_t>(sound - start), Ext);
}

}  // namespace

std::optional<TCarveHit> FollowRar(TCarveReader& r, std::int64_t start) {
    std::uint8_t h[8];
    if (!r.Copy(start, h, 8)) return std::nullopt;
    return h[6] == 0 ? Rar4(r, start) : Rar5(r, start);
}

std::optional<TCarveHit> FollowGzip(TCarveReader& r, std::int64_t start) {
    std::int64_t pos = start;
    std::int64_t sound = start;
    const char* ext = "gz";
    for (;;) {
        std::uint8_t h[10];
        if (!r.Copy(pos, h, 10) || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0)) break;
        const std::uint8_t flags = h[3];
        std::int64_t at = pos + 10;
        if (flags & 0x04) {
            std::uint8_t x[2];
            if (!r.Copy(at, x, 2)) break;
            at += 2 + LoadU16(x);
        }
        bool named = true;
        for (const std::uint8_t bit : {std::uint8_t{0x08}, std::uint8_t{0x10}}) {
            if (!(flags & bit)) continue;
            // A name or comment ends with a zero within 64 KiB (what gzip keeps of either).
            const TBytes v = r.At(at, 65536);
            const void* zero = v.empty() ? nullptr : std::memchr(v.data(), 0, v.size());
            if (!zero) named = false;
            else at += static_cast<const std::uint8_t*>(zero) - v.data() + 1;
        }
        if (!named) break;
        if (flags & 0x02) at += 2;
        const TInflateEnd end = Inflate(r, at);
        std::uint8_t t[8];
        if (!end.Ok || !r.Copy(end.End, t, 8) || LoadU32(t) != end.Crc ||
            LoadU32(t + 4) != static_cast<std::uint32_t>(end.OutputBytes)) {
            // A member that breaks off: what inflated of it is worth keeping.
            if (end.End > at) return Broken(static_cast<std::uint64_t>(end.End - start), ext);
            if (sound == start) return std::nullopt;
            return Broken(static_cast<std::uint64_t>(sound - start), ext);
        }
        pos = end.End + 8;
        sound = pos;
    }
    if (sound == start) return std::nullopt;
    return Whole(static_cast<std::uint64_t>(sound - start), ext);
}

}  // namespace deruzera::carve
