// What the companion writes: text made safe for a terminal, a script or
// JSON; the log on stderr; standard output held in one buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "volume/Log.h"

namespace deruzera::cli {

// Where a text from the volume goes, which decides what in it needs care.
enum class TSafeUse : std::uint8_t {
    Name,      // a file name in the table: "/" and "\" become "_", "." and ".." too
    Path,      // a path in the table: "/" becomes "_", "\" stays
    JsonName,  // a file name as a JSON string
    JsonPath,  // a path as a JSON string
    Log,       // a log line: slashes stay, only control characters go
};

// The most bytes PutSafe writes for `text`.
inline std::size_t SafeBound(std::string_view text) { return 2 * text.size() + 2; }

// Writes `text` at `p` made safe for `use`: control characters (C0, DEL
// and C1) and the marks that reorder text become "_" (UnsafeCharacterLength), so nothing a damaged or hostile record holds reaches
// a terminal raw or steers a script; names and paths lose their slashes as
// `use` says; JSON strings are quoted and escaped. Returns the end of what
// it wrote, at most SafeBound(text) bytes on.
char* PutSafe(char* p, std::string_view text, TSafeUse use);
void AppendSafe(std::string& out, std::string_view text, TSafeUse use);

// The columns `text` takes on a terminal: one a character, two for the wide
// ones of East Asian scripts and emoji, none for combining marks.
std::size_t DisplayWidth(std::string_view text);

// Log lines on stderr, coloured on a terminal, with a live status line there.
class TStderrLog final : public TLogSink {
public:
    TStderrLog();
    void Line(const TLogLine& line) override;
    // Replaces the status line (on a terminal only).
    void Status(const std::string& text);

private:
    bool tty_;
    bool statusShown_ = false;
};

// Output held in one buffer and written out in large pieces: to standard
// output, or to whatever `write` takes (the window's export to a file).
class TOutput {
public:
    // `write` takes each piece and says whether it was written.
    using TWrite = std::function<bool(std::string_view)>;
    TOutput();
    explicit TOutput(TWrite write);
    // Whether some piece could not be written.
    bool Failed() const { return failed_; }
    // Room for `n` more bytes; Wrote says where the writing ended.
    char* Room(std::size_t n);
    void Wrote(const char* end);
    void Append(std::string_view text);
    void AppendSafe(std::string_view text, TSafeUse use);
    // Writes out what is held once it passes a threshold, or now.
    void FlushIfFull();
    void Flush();

private:
    std::string out_;  // the output held, its first used_ bytes
    std::size_t used_ = 0;
    TWrite write_;     // null: standard output
    bool failed_ = false;
};

}  // namespace deruzera::cli
