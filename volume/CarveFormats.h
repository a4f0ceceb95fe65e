// The parts of carving below the pass: the reader that follows a candidate
// through the device, the followers of each family of formats, and the
// checksums and the inflater they share. Tests and fuzz targets call the
// followers directly.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "Carve.h"
#include "Layout.h"

namespace deruzera::carve {

// Reads a stretch of the device for the followers: bytes from the pass's
// current chunk where it holds them, else through a window of its own read
// ahead from the device. Nothing at or past the bound is handed out; a read
// error or an abort ends what can be read at that byte.
class TCarveReader {
public:
    // The most one At() gives: 1 MiB, more than any header a follower reads
    // at once, small enough to keep two windows of it.
    static constexpr std::size_t MaxView = std::size_t{1} << 20;

    TCarveReader(TDevice& device, const std::atomic<bool>& abort);
    // Bytes at or past `end` are not handed out.
    void Bound(std::int64_t end) { end_ = end; }
    std::int64_t Bound() const { return end_; }
    // The pass's chunk: bytes [offset, offset + chunk.size()) as read.
    void Lend(std::int64_t offset, TBytes chunk) { chunkAt_ = offset, chunk_ = chunk; }

    // Exactly min(want, MaxView) bytes at `pos`, fewer only where the source
    // stops (the bound, a read error, an abort).
    TBytes At(std::int64_t pos, std::size_t want);
    // At least one byte at `pos` (as many as are at hand), or none where the
    // source stops there.
    TBytes Some(std::int64_t pos);
    // Copies `n` bytes at `pos` into `out`; false where they are not all there.
    bool Copy(std::int64_t pos, void* out, std::size_t n);

    // A read failed (not just the bound or the end of the device).
    bool Failed() const { return failed_; }
    bool Aborted() const { return aborted_; }
    // A new candidate begins at `start`: a read error met by the last one
    // is tried again.
    void Begin(std::int64_t start);
    // The end of the bytes read without a gap from the candidate's start.
    std::int64_t Contiguous() const { return contiguous_; }

    // Where files are looked for: `alignment` bytes apart from `origin`,
    // those of the families in `formats` (bit 1 << format). 0: nowhere.
    void Fences(std::uint32_t alignment, std::int64_t origin, std::uint32_t formats) {
        alignment_ = alignment, origin_ = origin, fenceFormats_ = formats;
    }
    // The first aligned position in [from, to) where another file begins (a
    // signature of the families given to Fences), or `to` where none does.
    // A follower that reads data whose soundness shows only at its end (a
    // JPEG's entropy-coded data, a chunk checked by its CRC) stops there, as
    // the file most likely does: it keeps a truncated file from swallowing
    // the next one.
    std::int64_t Fence(std::int64_t from, std::int64_t to);

private:
    bool Fill(std::int64_t pos, std::size_t want);
    TDevice& device_;
    const std::atomic<bool>& abort_;
    std::int64_t end_ = 0;
    std::int64_t chunkAt_ = 0;
    TBytes chunk_;
    std::vector<std::uint8_t> window_;
    std::int64_t windowAt_ = 0;
    std::size_t windowLength_ = 0;
    std::int64_t stopAt_ = -1;   // where the last fill met a read error or an abort
    bool failed_ = false;
    bool aborted_ = false;
    std::int64_t contiguous_ = 0;
    std::uint32_t alignment_ = 0;
    std::int64_t origin_ = 0;
    std::uint32_t fenceFormats_ = 0;
};

// What following one candidate found: `Length` bytes from its start, complete
// or not, and the extension its content gives it. `Reach` is where the
// follower read to when that lies past Length (a chunk that failed its CRC):
// the pass doesn't look for files before it, so every byte is followed once.
struct TCarveHit {
    std::uint64_t Length = 0;
    bool Complete = false;
    const char* Extension = "";
    std::uint64_t Reach = 0;
};

// The families whose signature may begin with byte `first` (bit 1 << format).
std::uint32_t StartMask(std::uint8_t first);

// Whether the first bytes `head` (up to 64 of them, fewer only at the end of
// the stretch) can begin a file of `format`: the cheap test at every aligned
// position.
bool Signature(TCarveFormat format, TBytes head);

// Follows the file of `format` that begins at `start` through its structure.
// Nothing where the start fails the format's checks; a hit has Length > 0
// and never reaches past the reader's bound.
std::optional<TCarveHit> Follow(TCarveFormat format, TCarveReader& reader, std::int64_t start);

// The followers, one a family (Follow dispatches).
std::optional<TCarveHit> FollowJpeg(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowPng(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowGif(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowBmp(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowTiff(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowPdf(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowZip(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowIsoMedia(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowRiff(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowMp3(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowFlac(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowOgg(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowMatroska(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowSqlite(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowSevenZip(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowRar(TCarveReader& r, std::int64_t start);
std::optional<TCarveHit> FollowGzip(TCarveReader& r, std::int64_t start);

// ---- Checksums -------------------------------------------------------------

// CRC-32 of zlib, PNG, 7z and RAR (reflected 0xEDB88320), continued from `crc`
// (0 to begin).
std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
// CRC-32 of Ogg pages (0x04C11DB7, not reflected, no inversion).
std::uint32_t OggCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t size);
// FLAC's header CRC-8 (0x07) and frame CRC-16 (0x8005), not reflected.
std::uint8_t Crc8(std::uint8_t crc, const std::uint8_t* data, std::size_t size);
std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* data, std::size_t size);

// ---- Deflate ---------------------------------------------------------------

// How one deflate stream ended.
struct TInflateEnd {
    bool Ok = false;                // the final block ended; the stream is sound
    std::int64_t End = 0;           // the byte after its last bit (where it broke off, when not Ok)
    std::uint32_t Crc = 0;          // CRC-32 of what it decodes to
    std::uint64_t OutputBytes = 0;  // how many bytes it decodes to
};

// Decodes the deflate stream at `pos` only to check it and find its end:
// output is kept in a 32 KiB window for back-references and checksummed,
// never stored. Every step consumes input, so it ends.
TInflateEnd Inflate(TCarveReader& reader, std::int64_t pos);

// ---- Helpers the followers share -------------------------------------------

inline std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t Be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
inline std::uint64_t Be64(const std::uint8_t* p) { return std::uint64_t{Be32(p)} << 32 | Be32(p + 4); }
inline std::uint64_t Le64(const std::uint8_t* p) { return std::uint64_t{LoadU32(p)} | std::uint64_t{LoadU32(p + 4)} << 32; }

// The hit for a file that breaks off after `length` sound bytes: incomplete,
// or nothing where not a byte of it is sound.
inline std::optional<TCarveHit> Broken(std::uint64_t length, const char* extension, std::uint64_t reach = 0) {
    if (length == 0) return std::nullopt;
    return TCarveHit{length, false, extension, reach};
}
inline std::optional<TCarveHit> Whole(std::uint64_t length, const char* extension) {
    return TCarveHit{length, true, extension, 0};
}

// Bytes left from `pos` to the reader's bound (0 at or past it).
inline std::uint64_t Left(const TCarveReader& r, std::int64_t pos) {
    return pos < r.Bound() ? static_cast<std::uint64_t>(r.Bound() - pos) : 0;
}

// Hands the bytes [pos, pos + n) to `fn` in views, in order; with `fenced`
// it stops at the first fence (see TCarveReader::Fence). Returns where it
// stopped: pos + n when it got through.
template <class F>
std::int64_t Through(TCarveReader& r, std::int64_t pos, std::uint64_t n, bool fenced, F&& fn) {
    const std::int64_t end = n < Left(r, pos) ? pos + static_cast<std::int64_t>(n) : r.Bound();
    while (pos < end) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(end - pos, TCarveReader::MaxView));
        TBytes view = r.At(pos, piece);
        if (view.empty()) return pos;
        if (fenced) {
            const std::int64_t stop = r.Fence(pos, pos + static_cast<std::int64_t>(view.size()));
            if (stop == pos) return pos;
            view = r.At(pos, static_cast<std::size_t>(stop - pos));
        }
        fn(view);
        pos += static_cast<std::int64_t>(view.size());
        if (view.size() < piece) return pos;
    }
    return pos;
}

}  // namespace deruzera::carve
