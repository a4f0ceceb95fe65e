// The companion's terminal: whether its streams go to one, and the quick
// exit that leaves the freeing of memory to the system.
#pragma once

namespace deruzera::platform {

bool StdoutIsTerminal();
bool StderrIsTerminal();
// Ends the process with `code` at once: no destructors, no freeing piece by
// piece. Flush what must be written first.
[[noreturn]] void ExitNow(int code);

}  // namespace deruzera::platform
