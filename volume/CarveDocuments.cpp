// Followers of PDF and SQLite.
#include <cstring>
#include <string_view>

#include "CarveFormats.h"

namespace deruzera::carve {
namespace {

bool IsSpace(int c) { return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// A PDF read token by token through the reader.
class TPdf {
public:
    TPdf(TCarveReader& r) : r_(r) {}

    int Byte(std::int64_t pos) {
        const TBytes v = r_.Some(pos);
        return v.empty() ? -1 : v[0];
    }
    bool Text(std::int64_t pos, std::string_view text) {
        const TBytes v = r_.At(pos, text.size());
        return v.size() == text.size() && std::memcmp(v.data(), text.data(), text.size()) == 0;
    }
    // Past white space and comments other than "%%EOF", at most `most`
    // bytes, and never past where another file begins.
    std::int64_t Skip(std::int64_t pos, std::uint64_t most) {
        const std::int64_t limit = pos + static_cast<std::int64_t>(std::min<std::uint64_t>(most, Left(r_, pos)));
        // Fences are looked for a piece at a time: a long run of blanks is rare.
        constexpr std::int64_t Piece = 64 * 1024;
        bool comment = false;
        while (pos < limit) {
            const std::int64_t fence = r_.Fence(pos, std::min(limit, pos + Piece));
            while (pos < fence) {
                const int c = Byte(pos);
                if (c == -1) return pos;
                if (comment) {
                    comment = c != '\n' && c != '\r';
                    ++pos;
                } else if (IsSpace(c)) {
                    ++pos;
                } else if (c == '%' && !Text(pos, "%%EOF")) {
                    comment = true;
                    ++pos;
                } else {
                    return pos;
                }
            }
            if (fence < std::min(limit, pos + Piece) || pos >= limit) return pos;
        }
        return pos;
    }
    // An unsigned number at `pos`; the position after it, or -1.
    std::int64_t Number(std::int64_t pos, std::uint64_t& value) {
        value = 0;
        const std::int64_t begin = pos;
        while (IsDigit(Byte(pos)) && pos - begin < 19) value = value * 10 + static_cast<unsigned>(Byte(pos++) - '0');
        return pos > begin ? pos : -1;
    }
    // The first of `needle` from `pos` on (fenced); -1 where the data stops first.
    std::int64_t Find(std::int64_t pos, std::string_view needle) {
        int which = 0;
        return Find(pos, needle, needle, which);
    }
    // The first of `a` or `b` from `pos` on; `which` says which (0 or 1).
    std::int64_t Find(std::int64_t pos, std::string_view a, std::string_view b, int& which) {
        const std::string_view needle = a.size() >= b.size() ? a : b;  // the longer decides the overlap
        for (;;) {
            TBytes view = r_.At(pos, TCarveReader::MaxView);
            const bool all = view.size() < TCarveReader::MaxView;  // the data stops within it
            const std::int64_t end = pos + static_cast<std::int64_t>(view.size());
            const std::int64_t fence = view.empty() ? pos : r_.Fence(pos, end);
            if (fence - pos < static_cast<std::int64_t>(needle.size())) return -1;
            view = r_.At(pos, static_cast<std::size_t>(fence - pos));
            const std::string_view text(reinterpret_cast<const char*>(view.data()), view.size());
            const std::size_t atA = text.find(a), atB = text.find(b);
            if (atA != std::string_view::npos || atB != std::string_view::npos) {
                which = atA <= atB ? 0 : 1;
                return pos + static_cast<std::int64_t>(std::min(atA, atB));
            }
            if (all || fence < end) return -1;
            pos += static_cast<std::int64_t>(view.size() - needle.size() + 1);
        }
    }

    // "N G obj" ... "endobj" at `pos`; the position after it, or -1. Notes
    // the linearization dictionary's length.
    std::int64_t Object(std::int64_t pos, bool first) {
        std::uint64_t number = 0, generation = 0;
        pos = Number(pos, number);
        if (pos < 0 || !IsSpace(Byte(pos))) return -1;
        pos = Skip(pos, 64);
        pos = Number(pos, generation);
        if (pos < 0 || generation > 65535) return -1;
        pos = Skip(pos, 64);
        if (!Text(pos, "obj")) return -1;
        const std::int64_t body = pos + 3;
        int which = 0;
        const std::int64_t end = Find(body, "endobj", "stream", which);
        if (end < 0) return -1;
        if (which == 1) {
            const std::int64_t stream = end;
            // The dictionary before "stream" gives the data's length.
            std::int64_t data = stream + 6;
            if (Byte(data) == '\r') ++data;
            if (Byte(data) == '\n') ++data;
            const std::int64_t length = DirectLength(body, stream);
            std::int64_t after = -1;
            if (length >= 0 && Left(r_, data) >= static_cast<std::uint64_t>(length)) {
                const std::int64_t e = Skip(data + length, 4);
                if (Text(e, "endstream")) after = e + 9;
            }
            if (after < 0) {
                const std::int64_t e = Find(data, "endstream");
                if (e < 0) return -1;
                after = e + 9;
            }
            const std::int64_t close = Skip(after, 64);
            if (!Text(close, "endobj")) return -1;
            return close + 6;
        }
        if (first) Linearized(body, end);
        return end + 6;
    }

    // The value of "/Length N" in the dictionary [from, to), -1 where it is
    // missing or refers to another object.
    std::int64_t DirectLength(std::int64_t from, std::int64_t to) {
        // A stream's dictionary is short; a longer one is read as having no length.
        constexpr std::int64_t MostDictionary = 64 * 1024;
        if (to - from > MostDictionary) return -1;
        const TBytes v = r_.At(from, static_cast<std::size_t>(to - from));
        const std::string_view text(reinterpret_cast<const char*>(v.data()), v.size());
        std::size_t at = text.rfind("/Length");
        while (at != std::string_view::npos && at + 7 < text.size() && !IsSpace(text[at + 7]) &&
               !IsDigit(text[at + 7]))
            at = at ? text.rfind("/Length", at - 1) : std::string_view::npos;  // "/Length1" and the like
        if (at == std::string_view::npos) return -1;
        std::size_t p = at + 7;
        while (p < text.size() && IsSpace(text[p])) ++p;
        std::int64_t value = 0;
        std::size_t digits = 0;
        while (p < text.size() && IsDigit(text[p]) && digits < 18) value = value * 10 + (text[p++] - '0'), ++digits;
        if (!digits) return -1;
        // "N G R" refers to an object.
        std::size_t q = p;
        while (q < text.size() && IsSpace(text[q])) ++q;
        if (q < text.size() && IsDigit(text[q])) {
            while (q < text.size() && IsDigit(text[q])) ++q;
            while (q < text.size() && IsSpace(text[q])) ++q;
            if (q < text.size() && text[q] == 'R') return -1;
        }
        return value;
    }

    void Linearized(std::int64_t from, std::int64_t to) {
        constexpr std::int64_t MostDictionary = 4096;  // the linearization dictionary is a few numbers
        if (to - from > MostDictionary) return;
        const TBytes v = r_.At(from, static_cast<std::size_t>(to - from));
        const std::string_view text(reinterpret_cast<const char*>(v.data()), v.size());
        if (text.find("/Linearized") == std::string_view::npos) return;
        const std::size_t at = text.find("/L ");
        if (at == std::string_view::npos) return;
        std::uint64_t value = 0;
        for (std::size_t p = at + 3; p < text.size() && IsDigit(text[p]); ++p) value = value * 10 + (text[p] - '0');
        linearizedLength_ = value;
    }

    // The xref table at `pos` ("xref" read): subsections of 20-byte entries.
    std::int64_t Table(std::int64_t pos) {
        for (;;) {
            pos = Skip(pos, 64);
            if (!IsDigit(Byte(pos))) return pos;
            std::uint64_t first = 0, count = 0;
            pos = Number(pos, first);
            if (pos < 0 || Byte(pos) != ' ') return -1;
            pos = Number(pos + 1, count);
            if (pos < 0) return -1;
            while (Byte(pos) == ' ' || Byte(pos) == '\r' || Byte(pos) == '\n') ++pos;
            if (count > Left(r_, pos) / 20) return -1;
            for (std::uint64_t i = 0; i < count; ++i, pos += 20) {
                const TBytes e = r_.At(pos, 20);
                if (e.size() != 20 || (e[17] != 'n' && e[17] != 'f') || !IsDigit(e[0])) return -1;
            }
        }
    }

    std::uint64_t LinearizedLength() const { return linearizedLength_; }

private:
    TCarveReader& r_;
    std::uint64_t linearizedLength_ = 0;
};

}  // namespace

std::optional<TCarveHit> FollowPdf(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "pdf";
    TPdf pdf(r);
    std::uint8_t h[8];
    if (!r.Copy(start, h, 8) || !IsDigit(h[5]) || h[6] != '.' || !IsDigit(h[7])) return std::nullopt;
    std::int64_t pos = start + 8;
    while (pdf.Byte(pos) != '\n' && pdf.Byte(pos) != '\r') {
        if (pdf.Byte(pos) == -1 || pos - start > 64) return std::nullopt;
        ++pos;
    }
    std::int64_t sound = pos;
    std::int64_t lastEof = -1;
    bool first = true;
    // Blanks between the end of one revision and the next update (or the
    // end of the file): a line or two, never a sector of them.
    constexpr std::uint64_t MostBlanksAfterEof = 512;
    for (;;) {
        pos = pdf.Skip(pos, lastEof == sound ? MostBlanksAfterEof : ~std::uint64_t{0});
        const int c = pdf.Byte(pos);
        std::int64_t next = -1;
        if (IsDigit(c)) {
            next = pdf.Object(pos, first);
            first = false;
        } else if (pdf.Text(pos, "xref")) {
            next = pdf.Table(pos + 4);
        } else if (pdf.Text(pos, "trailer")) {
            // The trailer dictionary, then "startxref".
            const std::int64_t at = pdf.Find(pos + 7, "startxref");
            next = at;
        } else if (pdf.Text(pos, "startxref")) {
            std::uint64_t offset = 0;
            next = pdf.Number(pdf.Skip(pos + 9, 64), offset);
        } else if (pdf.Text(pos, "%%EOF")) {
            next = pos + 5;
            if (pdf.Byte(next) == '\r') ++next;
            if (pdf.Byte(next) == '\n') ++next;
            lastEof = next;
        }
        if (next < 0) break;
        pos = next;
        sound = pos;
    }
    if (lastEof < 0) return Broken(static_cast<std::uint64_t>(sound - start), Ext);
    const auto length = static_cast<std::uint64_t>(lastEof - start);
    if (pdf.LinearizedLength() > length) return Broken(length, Ext);
    return Whole(length, Ext);
}

std::optional<TCarveHit> FollowSqlite(TCarveReader& r, std::int64_t start) {
    std::uint8_t h[108];
    if (!r.Copy(start, h, sizeof h)) return std::nullopt;
    std::uint32_t pageSize = Be16(h + 16);
    if (pageSize == 1) pageSize = 65536;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1))) return std::nullopt;
    if (h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 || h[21] != 64 || h[22] != 32 || h[23] != 32)
        return std::nullopt;
    // The page count is right only where the header says it was written by
    // the same change as the rest (its "version valid for" matches).
    const std::uint32_t pages = Be32(h + 28);
    if (pages == 0 || Be32(h + 24) != Be32(h + 92)) return std::nullopt;
    if (h[100] != 0x0D && h[100] != 0x05) return std::nullopt;  // page 1 is the schema table's b-tree
    const std::uint64_t length = std::uint64_t{pageSize} * pages;
    if (length > Left(r, start)) return Broken(Left(r, start), "sqlite");
    return Whole(length, "sqlite");
}

}  // namespace deruzera::carve
