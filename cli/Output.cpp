#include "Output.h"

#include <algorithm>
#include <cstdio>

#include "platform/Terminal.h"
#include "volume/Names.h"

namespace deruzera::cli {
namespace {

// Which bytes need care for each use; every other byte is copied as it
// stands.
struct TCareTable {
    bool care[256] = {};
    constexpr explicit TCareTable(TSafeUse use) {
        for (int c = 0; c < 0x20; ++c) care[c] = true;
        care[0x7F] = true;
        // Lead bytes of the characters UnsafeCharacterLength maps: C1
        // controls, and the marks and overrides that reorder text.
        care[0xC2] = care[0xD8] = care[0xE2] = true;
        const bool json = use == TSafeUse::JsonName || use == TSafeUse::JsonPath;
        care[static_cast<unsigned char>('"')] = json;
        care[static_cast<unsigned char>('/')] = use != TSafeUse::Log;
        care[static_cast<unsigned char>('\\')] = use == TSafeUse::Name || json;
    }
};
constexpr TCareTable CareTables[] = {TCareTable(TSafeUse::Name), TCareTable(TSafeUse::Path),
                                     TCareTable(TSafeUse::JsonName), TCareTable(TSafeUse::JsonPath),
                                     TCareTable(TSafeUse::Log)};

// A column count for the characters that take other than one.
struct TWidthRange {
    char32_t First, Last;
    std::uint8_t Columns;
};
constexpr TWidthRange WidthRanges[] = {
#include "DisplayWidth.inc"
};

}  // namespace

char* PutSafe(char* p, std::string_view text, TSafeUse use) {
    const bool json = use == TSafeUse::JsonName || use == TSafeUse::JsonPath;
    const bool name = use == TSafeUse::Name || use == TSafeUse::JsonName;
    if (json) *p++ = '"';
    if (name && (text == "." || text == "..")) {
        p = std::fill_n(p, text.size(), '_');
    } else {
        const bool* care = CareTables[static_cast<int>(use)].care;
        const char* in = text.data();
        const char* end = in + text.size();
        while (in < end) {
            const char* run = in;
            while (in < end && !care[static_cast<unsigned char>(*in)]) ++in;
            p = std::copy(run, in, p);
            if (in == end) break;
            const auto lead = static_cast<unsigned char>(*in);
            if (lead >= 0x80) {
                // A character that begins here is mapped where the names'
                // rule says so; others of these lead bytes pass.
                const std::size_t unsafe = UnsafeCharacterLength(std::string_view(in, static_cast<std::size_t>(end - in)));
                if (unsafe) {
                    *p++ = '_';
                    in += unsafe;
                } else {
                    *p++ = *in++;
                }
                continue;
            }
            const char c = *in++;
            if ((c == '\\' && use == TSafeUse::JsonPath) || c == '"') {  // cared for in JSON only
                *p++ = '\\';
                *p++ = c;
            } else {
                *p++ = '_';
            }
        }
    }
    if (json) *p++ = '"';
    return p;
}

void AppendSafe(std::string& out, std::string_view text, TSafeUse use) {
    const std::size_t at = out.size();
    out.resize(at + SafeBound(text));
    out.resize(static_cast<std::size_t>(PutSafe(out.data() + at, text, use) - out.data()));
}

std::size_t DisplayWidth(std::string_view s) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length && i + k < s.size(); ++k) c = (c << 6) | (s[i + k] & 0x3F);
        i += length;
        const auto range = std::upper_bound(std::begin(WidthRanges), std::end(WidthRanges), c,
                                            [](char32_t v, const TWidthRange& r) { return v < r.First; });
        width += range != std::begin(WidthRanges) && c <= (range - 1)->Last ? (range - 1)->Columns : 1;
    }
    return width;
}

TStderrLog::TStderrLog() : tty_(platform::StderrIsTerminal()) {}

void TStderrLog::Line(const TLogLine& line) {
    std::string text;
    AppendSafe(text, line.Text, TSafeUse::Log);
    if (statusShown_) std::fputs("\r\033[K", stderr);
    statusShown_ = false;
    if (tty_) {
        const char* colour = line.Colour == clRed     ? "\033[31m"
                             : line.Colour == clGreen ? "\033[32m"
                             : line.Colour == clBlue  ? "\033[34m"
                                                      : "";
        std::fprintf(stderr, "%s%s%s\n", colour, text.c_str(), *colour ? "\033[0m" : "");
    } else {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
}

void TStderrLog::Status(const std::string& text) {
    if (!tty_) return;
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    statusShown_ = true;
}

namespace {
// Standard output is written out in pieces of about this size.
constexpr std::size_t FlushAt = 1 << 18;
}  // namespace

TOutput::TOutput() { out_.resize(FlushAt + 4096); }

TOutput::TOutput(TWrite write) : TOutput() { write_ = std::move(write); }

char* TOutput::Room(std::size_t n) {
    if (out_.size() - used_ < n) out_.resize(std::max(2 * out_.size(), used_ + n));
    return out_.data() + used_;
}

void TOutput::Wrote(const char* end) { used_ = static_cast<std::size_t>(end - out_.data()); }

void TOutput::Append(std::string_view text) { Wrote(std::copy(text.begin(), text.end(), Room(text.size()))); }

void TOutput::AppendSafe(std::string_view text, TSafeUse use) { Wrote(PutSafe(Room(SafeBound(text)), text, use)); }

void TOutput::FlushIfFull() {
    if (used_ > FlushAt) Flush();
}

void TOutput::Flush() {
    if (write_) {
        if (used_ > 0 && !write_(std::string_view(out_.data(), used_))) failed_ = true;
    } else {
        std::fwrite(out_.data(), 1, used_, stdout);
        std::fflush(stdout);
    }
    used_ = 0;
}

}  // namespace deruzera::cli
