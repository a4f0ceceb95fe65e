#include "Mapfile.h"

#include <limits>

namespace deruzera {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

void SkipBlanks(std::string_view line, std::size_t& at) {
    while (at < line.size() && IsBlank(line[at])) ++at;
}

// A non-negative number as C's "%lli" reads it: "0x" hexadecimal, a leading
// "0" octal, decimal otherwise. False where it is none or overflows.
bool Number(std::string_view line, std::size_t& at, std::int64_t& value) {
    SkipBlanks(line, at);
    if (at < line.size() && line[at] == '+') ++at;
    int base = 10;
    if (at + 1 < line.size() && line[at] == '0' && (line[at + 1] == 'x' || line[at + 1] == 'X')) {
        base = 16;
        at += 2;
    } else if (at < line.size() && line[at] == '0') {
        base = 8;
    }
    const std::size_t from = at;
    std::uint64_t v = 0;
    constexpr auto Max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    while (at < line.size()) {
        const char c = line[at];
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        if (digit >= base) break;
        if (v > (Max - static_cast<std::uint64_t>(digit)) / static_cast<std::uint64_t>(base)) return false;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        ++at;
    }
    if (at == from) return false;
    value = static_cast<std::int64_t>(v);
    return true;
}

bool Status(std::string_view line, std::size_t& at, std::string_view allowed, char& status) {
    SkipBlanks(line, at);
    if (at >= line.size() || allowed.find(line[at]) == std::string_view::npos) return false;
    status = line[at++];
    // The status stands alone: blanks or a comment may follow it.
    return at == line.size() || IsBlank(line[at]) || line[at] == '#';
}

// The rest of the line holds nothing but blanks or a comment.
bool Ends(std::string_view line, std::size_t at) {
    SkipBlanks(line, at);
    return at == line.size() || line[at] == '#';
}

}  // namespace

std::int64_t TRescueMap::UnrescuedBytes() const {
    std::int64_t bytes = 0;
    for (const TMapBlock& b : Blocks)
        if (!b.Rescued()) bytes += b.Size;
    return bytes;
}

TRescueMap ParseMapfile(std::string_view text) {
    TRescueMap map;
    if (text.size() > MaxMapfileBytes) {
        map.End = TMapEnd::Damaged;
        map.Line = 1;
        return map;
    }
    bool statusSeen = false;
    int number = 0;
    auto damaged = [&] {
        map.End = TMapEnd::Damaged;
        map.Line = number;
        map.Blocks.clear();
        map.Rescued.clear();
        return map;
    };
    for (std::size_t begin = 0; begin < text.size();) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        ++number;
        std::size_t at = 0;
        SkipBlanks(line, at);
        if (at == line.size() || line[at] == '#') continue;
        if (!statusSeen) {
            // current_pos current_status [current_pass]
            std::int64_t position = 0, pass = 0;
            char current = 0;
            std::size_t after = 0;
            const bool status = Number(line, at, position) && Status(line, at, "?*/-FG+", current) &&
                                ((after = at, Ends(line, after)) || (Number(line, after, pass) && Ends(line, after)));
            if (!status) {
                // The first line says where ddrescue stood; without it, this is no map of its.
                map.End = TMapEnd::NoStatus;
                map.Line = number;
                return map;
            }
            statusSeen = true;
            continue;
        }
        TMapBlock block;
        if (!Number(line, at, block.Position) || !Number(line, at, block.Size) ||
            !Status(line, at, "?*/-+", block.Status) || !Ends(line, at))
            return damaged();
        if (block.Size > std::numeric_limits<std::int64_t>::max() - block.Position) return damaged();
        if (!map.Blocks.empty() && block.Position != map.Extent()) return damaged();
        if (block.Size == 0) continue;
        map.Blocks.push_back(block);
        if (block.Rescued()) {
            if (!map.Rescued.empty() && map.Rescued.back().second == block.Position)
                map.Rescued.back().second += block.Size;
            else
                map.Rescued.emplace_back(block.Position, block.Position + block.Size);
        }
    }
    map.End = statusSeen ? TMapEnd::Read : TMapEnd::NoStatus;
    return map;
}

}  // namespace deruzera
