#include <unistd.h>

#include "Terminal.h"

namespace deruzera::platform {

void PrepareStandardStreams() {}

bool IsTerminal(TStream stream) {
    const int fd = stream == TStream::Input ? STDIN_FILENO : stream == TStream::Output ? STDOUT_FILENO : STDERR_FILENO;
    return isatty(fd) == 1;
}

TArguments::TArguments(int argc, char** argv) : text_(argv, argv + argc) {
    for (std::string& a : text_) values_.push_back(a.data());
    values_.push_back(nullptr);
}

}  // namespace deruzera::platform
