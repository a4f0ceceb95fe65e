// Lines of the event log: a text and one of four colours. The volume reader
// produces them as values; each front end shows them in its own log.
#pragma once

#include <cstdint>
#include <string>

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
    bool operator==(const TLogLine&) const = default;
};

// Where a scan or a recovery writes its lines, in order.
class TLogSink {
public:
    virtual ~TLogSink() = default;
    virtual void Line(const TLogLine& line) = 0;
};

}  // namespace deruzera
