// The event log's sink: (text, colour) lines kept in call order. Any thread
// may write; a listener (the window's view, the companion's stderr) sees each
// line as it is written, in order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace deruzera {

// Colours are 24-bit blue-green-red values (lowest byte red).
enum TLogColour : std::uint32_t {
    clBlack = 0x000000,  // progress
    clRed = 0x0000FF,    // errors, refusals, aborts
    clGreen = 0x008000,  // success
    clBlue = 0xFF0000,   // details of a recovered file
};

struct TLogLine {
    std::string Text;
    std::uint32_t Colour = clBlack;
};

// Appends one line. Never fails.
void LogMessage(const std::string& text, std::uint32_t colour);

// Every line written so far, in order.
std::vector<TLogLine> LogLines();

// Forgets the stored lines (tests only; the program's log only grows).
void ClearLog();

// Called for each new line, under the sink's lock, so calls never overlap
// and come in the order the lines were written. Returns the previous one.
using TLogListener = std::function<void(const TLogLine&)>;
TLogListener SetLogListener(TLogListener listener);

}  // namespace deruzera
