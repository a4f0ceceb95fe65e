#include "Terminal.h"

#include <unistd.h>

#include <cstdlib>

namespace deruzera::platform {

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
void ExitNow(int code) { std::_Exit(code); }

void PrepareStandardStreams() {}

TArguments::TArguments(int argc, char** argv) : text_(argv, argv + argc) {
    for (std::string& a : text_) values_.push_back(a.data());
    values_.push_back(nullptr);
}

}  // namespace deruzera::platform
