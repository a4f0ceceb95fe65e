// The plan language of deruzera-mkimage, minus the file system: splitting
// lines into words, sizes with K/M/G suffixes, text escapes, path checks,
// UTF-8 to UTF-16 for NTFS names, and the deterministic bytes every created
// file is filled with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace deruzera::mkimage {

// A malformed plan line or a bad argument. The message has no line number;
// whoever runs the plan adds it.
class TPlanError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TPlanLine {
    int Number = 0;                 // 1-based line number in the plan
    std::string Command;            // the first word
    std::vector<std::string> Args;  // the other words, quotes removed
    std::string Text;               // "text" and "stream": the rest of the line, escapes decoded
};

// Splits a plan into command lines. Blank lines and lines whose first word
// starts with '#' are dropped; a word starting with '#' ends the line. A word
// may be double-quoted (inside quotes \" and \\ stand for " and \) and quoted
// and bare parts may touch ("my dir/a b.txt":4K is one word). For "text" the
// first word after the command is the path and everything after the blanks
// that follow it is the text, '#' included; for "stream" the same after the
// path and the stream's name. Throws TPlanError with the line
// number in the message for an unterminated quote.
std::vector<TPlanLine> ParsePlan(std::string_view plan);

// "4096", "64K", "1.5M" is not accepted; "10M", "4G", "2T": powers of 1024,
// case-insensitive, an optional trailing "B" or "iB". Throws TPlanError.
std::uint64_t ParseSize(std::string_view text);

// Decodes \n, \t, \r, \\ and \0 in "text" bodies. Other backslashes stay.
std::string DecodeEscapes(std::string_view text);

// Strict UTF-8 to UTF-16 (surrogate pairs above U+FFFF). Throws TPlanError
// for malformed, overlong or surrogate-coded input.
std::u16string Utf8ToUtf16(std::string_view text);

// Checks an absolute "/"-separated path and returns its components. Rejects
// relative paths, empty components ("//", trailing "/"), "." and "..",
// control characters (they would break the manifest's lines and columns) and
// names longer than 255 UTF-16 units. "/" alone gives no components.
std::vector<std::string> SplitPath(std::string_view path);

// Joins a parent path and a name ("/" + "a" is "/a").
std::string JoinPath(std::string_view parent, std::string_view name);

// Splits "KEY=VALUE" when the word is `key`, "=" and a non-empty value.
bool TakeOption(std::string_view word, std::string_view key, std::string& value);

// The bytes of a created file: a pure function of (seed, path, offset), so
// any range can be produced on its own and overlapping writes agree.
// With `words`, the bytes are 8-letter words from a small vocabulary: text
// that compresses well, for compressed folders.
class TContent {
public:
    TContent(std::uint64_t seed, std::string_view path, bool words = false);
    void Fill(std::uint64_t offset, void* out, std::size_t size) const;

private:
    std::uint64_t Key;
    bool Words;
};

// A small deterministic generator (splitmix64) for the bulk workload.
class TRandom {
public:
    explicit TRandom(std::uint64_t seed) : State(seed) {}
    std::uint64_t Next();
    // Uniform in [0, bound); bound must be positive.
    std::uint64_t Below(std::uint64_t bound);
    // Uniform in [0, 1).
    double Unit();

private:
    std::uint64_t State;
};

}  // namespace deruzera::mkimage
