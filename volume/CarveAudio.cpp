// Followers of the sound formats: MP3 (MPEG audio frames), FLAC and Ogg.
#include <algorithm>
#include <cstring>

#include "CarveFormats.h"

namespace deruzera::carve {
namespace {

// An ID3v2 tag at `pos`: its whole length (header, body and footer), or 0.
std::uint64_t Id3Length(TCarveReader& r, std::int64_t pos) {
    std::uint8_t h[10];
    if (!r.Copy(pos, h, 10) || std::memcmp(h, "ID3", 3) != 0 || h[3] < 2 || h[3] > 4 || h[4] == 0xFF) return 0;
    if ((h[6] | h[7] | h[8] | h[9]) & 0x80) return 0;
    const std::uint64_t body = std::uint64_t{h[6]} << 21 | std::uint64_t{h[7]} << 14 | std::uint64_t{h[8]} << 7 | h[9];
    return 10 + body + ((h[5] & 0x10) ? 10 : 0);
}

// One MPEG audio frame header.
struct TMpegFrame {
    unsigned Version = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    unsigned Layer = 0;    // 3 layer I, 2 layer II, 1 layer III
    unsigned Rate = 0;     // samples a second
    unsigned Length = 0;   // bytes of the frame, header included
    bool Mono = false;
};

bool ParseFrame(const std::uint8_t* h, TMpegFrame& f) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    f.Version = (h[1] >> 3) & 3;
    f.Layer = (h[1] >> 1) & 3;
    const unsigned bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (f.Version == 1 || f.Layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return false;
    if ((h[3] & 3) == 2) return false;  // a reserved emphasis
    static constexpr unsigned short Bitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2/2.5 layer I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // MPEG-2/2.5 layers II, III
    };
    static constexpr unsigned Rates[3] = {44100, 48000, 32000};
    const bool one = f.Version == 3;
    const unsigned table = one ? 3 - f.Layer : (f.Layer == 3 ? 3 : 4);
    const unsigned bitrate = Bitrates[table][bitrateIndex] * 1000;
    f.Rate = Rates[rateIndex] >> (one ? 0 : f.Version == 2 ? 1 : 2);
    if (f.Layer == 3) f.Length = (12 * bitrate / f.Rate + padding) * 4;
    else if (f.Layer == 1 && !one) f.Length = 72 * bitrate / f.Rate + padding;
    else f.Length = 144 * bitrate / f.Rate + padding;
    f.Mono = (h[3] >> 6) == 3;
    return f.Length >= 4;
}

// The audio bytes a Xing/Info or VBRI header in the first frame announces
// (that frame included), or 0.
std::uint64_t AnnouncedBytes(TCarveReader& r, std::int64_t frame, const TMpegFrame& f) {
    const unsigned side = f.Version == 3 ? (f.Mono ? 17 : 32) : (f.Mono ? 9 : 17);
    std::uint8_t x[16];
    if (f.Layer == 1 && r.Copy(frame + 4 + side, x, 16) &&
        (std::memcmp(x, "Xing", 4) == 0 || std::memcmp(x, "Info", 4) == 0)) {
        const std::uint32_t flags = Be32(x + 4);
        if (!(flags & 2)) return 0;
        return (flags & 1) ? Be32(x + 12) : Be32(x + 8);
    }
    if (r.Copy(frame + 36, x, 14) && std::memcmp(x, "VBRI", 4) == 0) return Be32(x + 10);
    return 0;
}

}  // namespace

std::optional<TCarveHit> FollowMp3(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "mp3";
    const std::uint64_t tag = Id3Length(r, start);
    if (tag > Left(r, start)) return std::nullopt;
    std::int64_t pos = start + static_cast<std::int64_t>(tag);
    std::uint8_t h[4];
    TMpegFrame first;
    if (!r.Copy(pos, h, 4) || !ParseFrame(h, first)) return std::nullopt;
    const std::int64_t audio = pos;
    const std::uint64_t announced = AnnouncedBytes(r, pos, first);
    std::uint64_t frames = 0;
    bool cut = false;  // the frames stop at the end of what can be read
    for (;;) {
        TMpegFrame f;
        if (!r.Copy(pos, h, 4)) {
            cut = true;
            break;
        }
        if (!ParseFrame(h, f) || f.Version != first.Version || f.Layer != first.Layer || f.Rate != first.Rate) break;
        if (f.Length > Left(r, pos)) {
            cut = true;
            break;
        }
        pos += f.Length;
        ++frames;
    }
    // Without a tag, a few frames in a row make it sound: a lone header
    // in other data is chance.
    constexpr std::uint64_t LeastBareFrames = 3;
    if (frames == 0 || (tag == 0 && frames < LeastBareFrames)) return std::nullopt;
    // Tags after the frames: APEv2, then ID3v1.
    std::uint8_t t[32];
    if (r.Copy(pos, t, 32) && std::memcmp(t, "APETAGEX", 8) == 0) {
        // An APE tag read from its header: size counts the items and the footer.
        const std::uint64_t size = LoadU32(t + 12);
        if (size <= Left(r, pos) - 32) pos += static_cast<std::int64_t>(32 + size);
    }
    if (r.Copy(pos, t, 3) && std::memcmp(t, "TAG", 3) == 0 && Left(r, pos) >= 128) pos += 128;
    const auto length = static_cast<std::uint64_t>(pos - start);
    if (cut || (announced && static_cast<std::uint64_t>(pos - audio) < announced)) return Broken(length, Ext);
    return Whole(length, Ext);
}

// ---- FLAC --------------------------------------------------------------------------

namespace {

struct TFlacFrame {
    std::uint32_t BlockSize = 0;
    std::uint64_t Number = 0;   // frame number (fixed block size) or sample number
    bool Variable = false;
    unsigned HeaderLength = 0;
};

// A FLAC frame header at `p` (up to 16 bytes available in `n`), checked by its CRC-8.
bool ParseFlacFrame(const std::uint8_t* p, std::size_t n, TFlacFrame& f) {
    if (n < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return false;
    f.Variable = p[1] & 1;
    const unsigned blockCode = p[2] >> 4, rateCode = p[2] & 0xF, channels = p[3] >> 4, bits = (p[3] >> 1) & 7;
    if (blockCode == 0 || rateCode == 15 || channels > 10 || bits == 3 || (p[3] & 1)) return false;
    // The frame or sample number, UTF-8 coded.
    std::size_t at = 4;
    const std::uint8_t lead = p[at];
    unsigned extra = 0;
    std::uint64_t number = 0;
    if (lead < 0x80) number = lead;
    else if ((lead & 0xE0) == 0xC0) extra = 1, number = lead & 0x1F;
    else if ((lead & 0xF0) == 0xE0) extra = 2, number = lead & 0x0F;
    else if ((lead & 0xF8) == 0xF0) extra = 3, number = lead & 0x07;
    else if ((lead & 0xFC) == 0xF8) extra = 4, number = lead & 0x03;
    else if ((lead & 0xFE) == 0xFC) extra = 5, number = lead & 0x01;
    else if (lead == 0xFE) extra = 6;
    else return false;
    ++at;
    if (at + extra + 4 > n) return false;
    for (unsigned i = 0; i < extra; ++i, ++at) {
        if ((p[at] & 0xC0) != 0x80) return false;
        number = number << 6 | (p[at] & 0x3F);
    }
    f.Number = number;
    if (blockCode == 1) f.BlockSize = 192;
    else if (blockCode <= 5) f.BlockSize = 576u << (blockCode - 2);
    else if (blockCode == 6) f.BlockSize = p[at++] + 1u;
    else if (blockCode == 7) f.BlockSize = (p[at] << 8 | p[at + 1]) + 1u, at += 2;
    else f.BlockSize = 256u << (blockCode - 8);
    if (rateCode == 12) at += 1;
    else if (rateCode == 13 || rateCode == 14) at += 2;
    if (at >= n || Crc8(0, p, at) != p[at]) return false;
    f.HeaderLength = static_cast<unsigned>(at + 1);
    return true;
}

}  // namespace

std::optional<TCarveHit> FollowFlac(TCarveReader& r, std::int64_t start) {
    constexpr const char* Ext = "flac";
    const std::uint64_t tag = Id3Length(r, start);
    if (tag > Left(r, start)) return std::nullopt;
    std::int64_t pos = start + static_cast<std::int64_t>(tag);
    std::uint8_t m[4];
    if (!r.Copy(pos, m, 4) || std::memcmp(m, "fLaC", 4) != 0) return std::nullopt;
    pos += 4;
    // Metadata blocks: STREAMINFO first.
    std::uint64_t totalSamples = 0;
    std::uint32_t maxFrame = 0;
    for (bool first = true;; first = false) {
        std::uint8_t b[4];
        if (!r.Copy(pos, b, 4)) return std::nullopt;
        const unsigned type = b[0] & 0x7F;
        const std::uint32_t length = std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
        if (type == 127 || (first && (type != 0 || length != 34))) return std::nullopt;
        if (first) {
            std::uint8_t s[34];
            if (!r.Copy(pos + 4, s, 34)) return std::nullopt;
            maxFrame = std::uint32_t{s[7]} << 16 | std::uint32_t{s[8]} << 8 | s[9];
            totalSamples = (std::uint64_t{s[13]} & 0x0F) << 32 | Be32(s + 14);
        }
        if (length > Left(r, pos + 4)) return Broken(static_cast<std::uint64_t>(pos - start), Ext);
        pos += 4 + static_cast<std::int64_t>(length);
        if (b[0] & 0x80) break;
    }
    // Frames: each ends where the CRC-16 of its bytes stands, and the next
    // header (or the last sample) follows. The largest frame FLAC allows:
    // 65535 samples of 8 channels of 32 bits, and its headers.
    constexpr std::uint64_t MostFrame = 65535ull * 8 * 4 + 64;
    const std::uint64_t frameLimit = maxFrame ? maxFrame + 2ull : MostFrame;
    std::uint64_t samples = 0, expected = 0;
    bool firstFrame = true;
    for (;;) {
        std::uint8_t fh[16] = {};
        const TBytes hv = r.At(pos, 16);
        if (!hv.empty()) std::memcpy(fh, hv.data(), hv.size());
        TFlacFrame frame;
        if (!ParseFlacFrame(fh, hv.size(), frame)) break;
        if (!firstFrame && frame.Number != expected) break;
        const bool last = totalSamples && samples + frame.BlockSize >= totalSamples;
        const std::uint64_t following = frame.Variable ? frame.Number + frame.BlockSize : frame.Number + 1;
        // Whether the frame may end before `candidate`: its last sample, or
        // the next frame's header follows.
        auto accept = [&](std::int64_t candidate) {
            if (last) return true;
            std::uint8_t nh[16] = {};
            const TBytes nv = r.At(candidate, 16);
            if (!nv.empty()) std::memcpy(nh, nv.data(), nv.size());
            TFlacFrame next;
            return ParseFlacFrame(nh, nv.size(), next) && next.Number == following;
        };
        // The frame's bytes, checking at each whether the CRC-16 of those
        // before it stands in it and the next.
        const std::int64_t limit = pos + static_cast<std::int64_t>(std::min<std::uint64_t>(frameLimit, Left(r, pos)));
        const std::int64_t least = pos + frame.HeaderLength + 1;  // a header and a subframe byte
        std::uint16_t crc = 0;  // of [pos, q - 1)
        std::uint8_t previous = 0;
        std::int64_t at = pos, end = -1, firstMatch = -1;
        while (at < limit && end < 0) {
            const TBytes v = r.Some(at);
            if (v.empty()) break;
            const auto n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(v.size()), limit - at));
            bool moved = false;
            std::size_t i = 0;
            for (; i < n; ++i) {
                const std::uint8_t b = v[i];
                const std::int64_t q = at + static_cast<std::int64_t>(i);
                if (q > pos) {
                    if (q - 1 >= least && crc == (previous << 8 | b)) {
                        if (firstMatch < 0) firstMatch = q + 1;
                        if (accept(q + 1)) {
                            end = q + 1;
                            break;
                        }
                        moved = true;  // accept() may have moved the view
                    }
                    crc = Crc16(crc, &previous, 1);
                }
                previous = b;
                if (moved) {
                    ++i;
                    break;
                }
            }
            at += static_cast<std::int64_t>(i);
        }
        if (end < 0 && !totalSamples && firstMatch >= 0) end = firstMatch;  // the last frame of a stream of unknown length
        if (end < 0) return Broken(static_cast<std::uint64_t>(pos - start), Ext, static_cast<std::uint64_t>(at - start));
        samples += frame.BlockSize;
        expected = following;
        firstFrame = false;
        pos = end;
        if (last) return Whole(static_cast<std::uint64_t>(pos - start), Ext);
        if (!totalSamples && end == firstMatch && !accept(end)) return Whole(static_cast<std::uint64_t>(pos - start), Ext);
    }
    return Broken(static_cast<std::uint64_t>(pos - start), Ext);
}

// ---- Ogg ------------------------------------------------------------------------------

std::optional<TCarveHit> FollowOgg(TCarveReader& r, std::int64_t start) {
    const char* ext = "ogg";
    std::int64_t pos = start;
    std::int64_t sound = start;
    struct TStream {
        std::uint32_t Serial;
        bool Ended;
    };
    std::vector<TStream> streams;
    // More logical streams at once than any file multiplexes: damage.
    constexpr std::size_t MostStreams = 64;
    bool seenData = false;  // a page other than a first one came
    for (;;) {
        std::uint8_t h[27];
        if (!r.Copy(pos, h, 27) || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) break;
        const std::uint8_t type = h[5];
        const std::uint32_t serial = LoadU32(h + 14);
        const unsigned segments = h[26];
        const TBytes table = r.At(pos + 27, segments);
        if (table.size() != segments) break;
        std::uint32_t body = 0;
        for (std::uint8_t s : table) body += s;
        const std::size_t size = 27 + segments + body;
        const TBytes page = r.At(pos, size);
        if (page.size() != size) break;
        std::uint32_t crc = OggCrc(0, page.data(), 22);
        static constexpr std::uint8_t Zero[4] = {};
        crc = OggCrc(crc, Zero, 4);
        crc = OggCrc(crc, page.data() + 26, size - 26);
        if (crc != LoadU32(h + 22)) break;
        auto it = std::find_if(streams.begin(), streams.end(), [&](const TStream& s) { return s.Serial == serial; });
        if (type & 0x02) {
            const bool allEnded = std::all_of(streams.begin(), streams.end(), [](const TStream& s) { return s.Ended; });
            // A new stream begins before any data, or after all others ended (a chain).
            if (it != streams.end() || (seenData && !allEnded) || streams.size() >= MostStreams) break;
            if (streams.empty()) {
                const TBytes packet = page.subspan(27 + segments);
                auto starts = [&](const char* text, std::size_t n) {
                    return packet.size() >= n && std::memcmp(packet.data(), text, n) == 0;
                };
                if (starts("OpusHead", 8)) ext = "opus";
                else if (starts("\x80theora", 7)) ext = "ogv";
                else if (starts("\x7F" "FLAC", 5)) ext = "oga";
                else if (starts("Speex   ", 8)) ext = "spx";
            }
            if (seenData && allEnded) streams.clear(), seenData = false;
            streams.push_back({serial, false});
            it = streams.end() - 1;
        } else {
            if (it == streams.end() || it->Ended) break;
            seenData = true;
        }
        if (type & 0x04) it->Ended = true, seenData = true;
        pos += static_cast<std::int64_t>(size);
        sound = pos;
        const bool allEnded = std::all_of(streams.begin(), streams.end(), [](const TStream& s) { return s.Ended; });
        if (allEnded) {
            // A chained stream may follow; anything else ends the file.
            std::uint8_t n[6];
            if (r.Copy(pos, n, 6) && std::memcmp(n, "OggS", 4) == 0 && (n[5] & 0x02)) continue;
            return Whole(static_cast<std::uint64_t>(pos - start), ext);
        }
    }
    if (sound == start) return std::nullopt;
    return Broken(static_cast<std::uint64_t>(sound - start), ext);
}

}  // namespace deruzera::carve
