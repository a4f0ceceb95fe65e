// The map GNU ddrescue keeps beside a rescued image: which stretches of the
// image were read from the failing disk ("+") and which were not (every
// other status). Parsed from its text; nothing is read or written here.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace deruzera {

// One line of the map: `Size` bytes from `Position` with ddrescue's status
// character ('?' not tried, '*' not trimmed, '/' not scraped, '-' bad,
// '+' rescued).
struct TMapBlock {
    std::int64_t Position = 0;
    std::int64_t Size = 0;
    char Status = '?';
    bool Rescued() const { return Status == '+'; }
};

enum class TMapEnd : std::uint8_t {
    Read,       // the map holds
    NoStatus,   // the first line that is no comment does not say where ddrescue stood (Line; 0: there is
                // none): this is no ddrescue map
    Damaged,    // line `Line` is not "position size status", or leaves a gap or an overlap
};

struct TRescueMap {
    TMapEnd End = TMapEnd::NoStatus;
    int Line = 0;                    // the damaged line, or the one that is no status line, from 1
    std::vector<TMapBlock> Blocks;   // in order of position, each beginning where the one before ends
    // The rescued stretches, adjacent ones joined, in order: [first, second).
    std::vector<std::pair<std::int64_t, std::int64_t>> Rescued;
    // Bytes inside the blocks that were not rescued.
    std::int64_t UnrescuedBytes() const;
    // Where the last block ends (0 without blocks).
    std::int64_t Extent() const { return Blocks.empty() ? 0 : Blocks.back().Position + Blocks.back().Size; }
};

// No map is larger than this: ddrescue writes about 40 bytes a block, so it
// holds a million bad stretches. Longer texts are refused as damaged.
inline constexpr std::size_t MaxMapfileBytes = 64u << 20;

// Parses a map: "#" comment lines and blank lines anywhere; the first other
// line is the current status ("pos status [pass]"); every later one a block
// "pos size status". Numbers are decimal, hexadecimal with "0x" or octal
// with a leading "0", as ddrescue reads them. Blocks must follow each other
// without gaps or overlaps.
TRescueMap ParseMapfile(std::string_view text);

}  // namespace deruzera
