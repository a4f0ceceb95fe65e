// The checksums of the carved formats and a deflate decoder that only
// checks a stream and finds its end (the standard library has no zlib).
#include <array>
#include <cstring>
#include <memory>

#include "CarveFormats.h"

namespace deruzera::carve {
namespace {

struct TCrcTables {
    std::array<std::array<std::uint32_t, 256>, 4> Zlib{};
    std::array<std::uint32_t, 256> Ogg{};
    std::array<std::uint8_t, 256> Flac8{};
    std::array<std::uint16_t, 256> Flac16{};
    TCrcTables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            Zlib[0][i] = c;
            std::uint32_t o = i << 24;
            for (int k = 0; k < 8; ++k) o = (o & 0x80000000u) ? (o << 1) ^ 0x04C11DB7u : o << 1;
            Ogg[i] = o;
            std::uint8_t e = static_cast<std::uint8_t>(i);
            for (int k = 0; k < 8; ++k) e = static_cast<std::uint8_t>((e & 0x80) ? (e << 1) ^ 0x07 : e << 1);
            Flac8[i] = e;
            std::uint16_t s = static_cast<std::uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k) s = static_cast<std::uint16_t>((s & 0x8000) ? (s << 1) ^ 0x8005 : s << 1);
            Flac16[i] = s;
        }
        for (std::uint32_t i = 0; i < 256; ++i)
            for (int t = 1; t < 4; ++t) Zlib[t][i] = (Zlib[t - 1][i] >> 8) ^ Zlib[0][Zlib[t - 1][i] & 0xFF];
    }
};
const TCrcTables& Tables() {
    static const TCrcTables tables;
    return tables;
}

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = Tables().Zlib;
    crc = ~crc;
    for (; n >= 4; n -= 4, p += 4) {
        crc ^= LoadU32(p);
        crc = t[3][crc & 0xFF] ^ t[2][(crc >> 8) & 0xFF] ^ t[1][(crc >> 16) & 0xFF] ^ t[0][crc >> 24];
    }
    while (n--) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t OggCrc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = Tables().Ogg;
    while (n--) crc = (crc << 8) ^ t[((crc >> 24) ^ *p++) & 0xFF];
    return crc;
}

std::uint8_t Crc8(std::uint8_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = Tables().Flac8;
    while (n--) crc = t[crc ^ *p++];
    return crc;
}

std::uint16_t Crc16(std::uint16_t crc, const std::uint8_t* p, std::size_t n) {
    const auto& t = Tables().Flac16;
    while (n--) crc = static_cast<std::uint16_t>((crc << 8) ^ t[((crc >> 8) ^ *p++) & 0xFF]);
    return crc;
}

// ---- Deflate ---------------------------------------------------------------

namespace {

// Bits of the stream, least significant first, through the reader's views.
class TBitReader {
public:
    TBitReader(TCarveReader& reader, std::int64_t pos) : reader_(reader), pos_(pos) {}
    // At least `n` bits (up to 32) buffered; false once the input runs out first.
    bool Need(unsigned n) {
        while (count_ < n) {
            if (at_ == view_.size()) {
                view_ = reader_.Some(pos_);
                at_ = 0;
                if (view_.empty()) return false;
            }
            buffer_ |= std::uint64_t{view_[at_++]} << count_;
            ++pos_;
            count_ += 8;
        }
        return true;
    }
    std::uint32_t Peek() const { return static_cast<std::uint32_t>(buffer_); }
    void Drop(unsigned n) {
        buffer_ >>= n;
        count_ -= n;
    }
    // `n` bits (up to 24); false once the input has run out.
    bool Bits(unsigned n, std::uint32_t& value) {
        if (!Need(n)) return false;
        value = static_cast<std::uint32_t>(buffer_ & ((std::uint64_t{1} << n) - 1));
        Drop(n);
        return true;
    }
    // Drops the bits left of the current byte.
    void Align() {
        buffer_ >>= count_ % 8;
        count_ -= count_ % 8;
    }
    // The byte after the last bit taken.
    std::int64_t Position() const { return pos_ - count_ / 8; }
    // Moves to byte `pos` (after Align) with nothing buffered.
    void Seek(std::int64_t pos) {
        pos_ = pos;
        buffer_ = 0;
        count_ = 0;
        view_ = {};
        at_ = 0;
    }

private:
    TCarveReader& reader_;
    std::int64_t pos_;
    std::uint64_t buffer_ = 0;
    unsigned count_ = 0;
    TBytes view_;
    std::size_t at_ = 0;
};

// A canonical Huffman code: how many codes of each length and the symbols
// in code order; a first-level table of 9 bits decodes the short codes at once.
struct THuffman {
    static constexpr unsigned FastBits = 9;
    std::array<std::uint16_t, 16> Count{};
    std::array<std::uint16_t, 320> Symbol{};
    // Per 9-bit input (bit-reversed code): symbol << 4 | length, 0 for longer codes.
    std::array<std::uint16_t, 1u << FastBits> Fast{};

    // False for an over-subscribed code, or an incomplete one other than a
    // single code of length 1 (which deflate allows for distances).
    bool Build(const std::uint16_t* lengths, unsigned n) {
        Count.fill(0);
        Fast.fill(0);
        for (unsigned s = 0; s < n; ++s) ++Count[lengths[s]];
        if (Count[0] == n) return true;  // no codes: only an error if used
        int left = 1;
        for (unsigned len = 1; len < 16; ++len) {
            left = left * 2 - Count[len];
            if (left < 0) return false;
        }
        std::array<std::uint16_t, 16> offsets{};
        for (unsigned len = 1; len < 15; ++len) offsets[len + 1] = static_cast<std::uint16_t>(offsets[len] + Count[len]);
        for (unsigned s = 0; s < n; ++s)
            if (lengths[s]) Symbol[offsets[lengths[s]]++] = static_cast<std::uint16_t>(s);
        // Fill the fast table: walk codes in canonical order.
        unsigned code = 0, index = 0;
        for (unsigned len = 1; len <= FastBits; ++len) {
            for (unsigned k = 0; k < Count[len]; ++k, ++code, ++index) {
                unsigned reversed = 0;
                for (unsigned b = 0; b < len; ++b) reversed |= ((code >> b) & 1u) << (len - 1 - b);
                for (unsigned fill = reversed; fill < (1u << FastBits); fill += 1u << len)
                    Fast[fill] = static_cast<std::uint16_t>(Symbol[index] << 4 | len);
            }
            code <<= 1;
        }
        return left == 0 || (n - Count[0] == 1 && Count[1] == 1);
    }
};

class TInflater {
public:
    TInflater(TCarveReader& reader, std::int64_t pos) : reader_(reader), in_(reader, pos) {}

    TInflateEnd Run() {
        TInflateEnd end;
        std::uint32_t last = 0, type = 0;
        do {
            bool ok = in_.Bits(1, last) && in_.Bits(2, type);
            if (ok && type == 0) ok = Stored();
            else if (ok && type == 1) ok = Fixed();
            else if (ok && type == 2) ok = Dynamic();
            else ok = false;
            if (!ok) {
                end.End = in_.Position();
                return end;
            }
        } while (!last);
        in_.Align();
        Flush();
        end.Ok = true;
        end.End = in_.Position();
        end.Crc = crc_;
        end.OutputBytes = total_;
        return end;
    }

private:
    static constexpr std::size_t WindowBytes = 32768;  // deflate's furthest back-reference

    void Put(std::uint8_t byte) {
        window_[at_++ & (WindowBytes - 1)] = byte;
        ++total_;
        if ((at_ & (WindowBytes - 1)) == 0) Flush();
    }
    // Checksums what the window got since the last flush.
    void Flush() {
        const std::size_t from = flushed_ & (WindowBytes - 1);
        const std::size_t n = at_ - flushed_;
        if (n) crc_ = Crc32(crc_, window_.data() + from, n);
        flushed_ = at_;
    }

    bool Stored() {
        in_.Align();
        std::uint32_t length = 0, complement = 0;
        if (!in_.Bits(16, length) || !in_.Bits(16, complement) || (length ^ 0xFFFF) != complement) return false;
        std::int64_t pos = in_.Position();
        in_.Seek(pos);
        while (length) {
            const TBytes view = reader_.Some(pos);
            if (view.empty()) return false;
            const std::size_t n = std::min<std::size_t>(view.size(), length);
            for (std::size_t i = 0; i < n; ++i) Put(view[i]);
            pos += static_cast<std::int64_t>(n);
            length -= static_cast<std::uint32_t>(n);
        }
        in_.Seek(pos);
        return true;
    }

    bool Decode(const THuffman& h, std::uint32_t& symbol) {
        if (in_.Need(THuffman::FastBits)) {
            const std::uint16_t entry = h.Fast[in_.Peek() & ((1u << THuffman::FastBits) - 1)];
            if (entry) {
                in_.Drop(entry & 0xF);
                symbol = entry >> 4;
                return true;
            }
        }
        // A long code, or the last bits of the input: one bit at a time.
        std::uint32_t bit = 0;
        unsigned code = 0, first = 0, index = 0;
        for (unsigned len = 1; len < 16; ++len) {
            if (!in_.Bits(1, bit)) return false;
            code |= bit;
            const unsigned count = h.Count[len];
            if (code < first + count) {
                symbol = h.Symbol[index + (code - first)];
                return true;
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return false;
    }

    bool Codes(const THuffman& lengthCode, const THuffman& distanceCode) {
        static constexpr std::uint16_t LengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr std::uint8_t LengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        static constexpr std::uint16_t DistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                                           33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        static constexpr std::uint8_t DistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
        for (;;) {
            std::uint32_t symbol = 0;
            if (!Decode(lengthCode, symbol)) return false;
            if (symbol < 256) {
                Put(static_cast<std::uint8_t>(symbol));
                continue;
            }
            if (symbol == 256) return true;
            symbol -= 257;
            if (symbol >= 29) return false;
            std::uint32_t extra = 0;
            if (!in_.Bits(LengthExtra[symbol], extra)) return false;
            const std::uint32_t length = LengthBase[symbol] + extra;
            if (!Decode(distanceCode, symbol) || symbol >= 30) return false;
            if (!in_.Bits(DistanceExtra[symbol], extra)) return false;
            const std::uint32_t distance = DistanceBase[symbol] + extra;
            if (distance > total_) return false;  // before the stream began
            for (std::uint32_t k = 0; k < length; ++k) Put(window_[(at_ - distance) & (WindowBytes - 1)]);
        }
    }

    bool Fixed() {
        static const std::pair<THuffman, THuffman> codes = [] {
            std::pair<THuffman, THuffman> c;
            std::uint16_t lengths[288];
            for (unsigned s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
            c.first.Build(lengths, 288);
            for (unsigned s = 0; s < 30; ++s) lengths[s] = 5;
            c.second.Build(lengths, 30);
            return c;
        }();
        return Codes(codes.first, codes.second);
    }

    bool Dynamic() {
        static constexpr std::uint8_t Order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        std::uint32_t nlen = 0, ndist = 0, ncode = 0;
        if (!in_.Bits(5, nlen) || !in_.Bits(5, ndist) || !in_.Bits(4, ncode)) return false;
        nlen += 257, ndist += 1, ncode += 4;
        if (nlen > 286 || ndist > 30) return false;
        std::uint16_t lengths[320] = {};
        for (unsigned i = 0; i < ncode; ++i) {
            std::uint32_t v = 0;
            if (!in_.Bits(3, v)) return false;
            lengths[Order[i]] = static_cast<std::uint16_t>(v);
        }
        THuffman code;
        if (!code.Build(lengths, 19)) return false;
        unsigned index = 0;
        while (index < nlen + ndist) {
            std::uint32_t symbol = 0;
            if (!Decode(code, symbol)) return false;
            if (symbol < 16) {
                lengths[index++] = static_cast<std::uint16_t>(symbol);
                continue;
            }
            std::uint16_t value = 0;
            std::uint32_t repeat = 0;
            if (symbol == 16) {
                if (index == 0) return false;
                value = lengths[index - 1];
                if (!in_.Bits(2, repeat)) return false;
                repeat += 3;
            } else if (symbol == 17) {
                if (!in_.Bits(3, repeat)) return false;
                repeat += 3;
            } else {
                if (!in_.Bits(7, repeat)) return false;
                repeat += 11;
            }
            if (index + repeat > nlen + ndist) return false;
            while (repeat--) lengths[index++] = value;
        }
        if (lengths[256] == 0) return false;  // no end-of-block code
        THuffman lengthCode, distanceCode;
        if (!lengthCode.Build(lengths, nlen) || !distanceCode.Build(lengths + nlen, ndist)) return false;
        return Codes(lengthCode, distanceCode);
    }

    TCarveReader& reader_;
    TBitReader in_;
    std::array<std::uint8_t, WindowBytes> window_{};
    std::size_t at_ = 0;
    std::size_t flushed_ = 0;
    std::uint64_t total_ = 0;
    std::uint32_t crc_ = 0;
};

}  // namespace

TInflateEnd Inflate(TCarveReader& reader, std::int64_t pos) {
    // The inflater's state is 33 KiB: on the heap, not the caller's stack.
    auto inflater = std::make_unique<TInflater>(reader, pos);
    return inflater->Run();
}

}  // namespace deruzera::carve
