// The companion's terminal: whether its streams go to one, the quick exit
// that leaves the freeing of memory to the system, and its standard streams
// and arguments as the system hands them over.
#pragma once

#include <string>
#include <vector>

namespace deruzera::platform {

// True where the stream is a terminal, one that shows colours and a status
// line written with escape sequences (on Windows a console that took them).
bool StdoutIsTerminal();
bool StderrIsTerminal();
// Ends the process with `code` at once: no destructors, no freeing piece by
// piece. Flush what must be written first.
[[noreturn]] void ExitNow(int code);

// Readies the standard streams for UTF-8 text written byte for byte. On
// Windows: "\n" is not made "\r\n", and a console shows UTF-8 and the
// escape sequences of colours and of a status line. Call once at start,
// before anything is written.
void PrepareStandardStreams();

// The program's arguments as UTF-8, argv[0] first. On Windows they come from
// the wide command line: argv there is in the ANSI code page, which can't
// hold every name. Elsewhere argv as given.
class TArguments {
public:
    TArguments(int argc, char** argv);
    int Count() const { return static_cast<int>(text_.size()); }
    // Count() values and a null.
    char** Values() { return values_.data(); }

private:
    std::vector<std::string> text_;
    std::vector<char*> values_;
};

}  // namespace deruzera::platform
