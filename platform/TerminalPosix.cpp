#include "Terminal.h"

#include <unistd.h>

#include <cstdlib>

namespace deruzera::platform {

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
void ExitNow(int code) { std::_Exit(code); }

}  // namespace deruzera::platform
