#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include "Terminal.h"
#include "WindowsText.h"

namespace deruzera::platform {
namespace {

// Whether standard output and standard error are consoles that took the
// escape sequences; set once by PrepareStandardStreams().
bool stdoutConsole = false;
bool stderrConsole = false;

// True where `which` (STD_OUTPUT_HANDLE, ...) is a console that now shows
// escape sequences. A console older than Windows 10 shows them as text: it
// counts as no terminal, as if it were a file.
bool TakesEscapes(DWORD which) {
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) return false;
    return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

}  // namespace

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A pipe or a file gets the bytes as they are; a console shows UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    stdoutConsole = TakesEscapes(STD_OUTPUT_HANDLE);
    stderrConsole = TakesEscapes(STD_ERROR_HANDLE);
}

bool StdoutIsTerminal() { return stdoutConsole; }
bool StderrIsTerminal() { return stderrConsole; }
void ExitNow(int code) { std::_Exit(code); }

TArguments::TArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        text_.assign(argv, argv + argc);
    } else {
        for (int i = 0; i < count; ++i) text_.push_back(Utf8Text(wide[i]));
        LocalFree(wide);
    }
    for (std::string& a : text_) values_.push_back(a.data());
    values_.push_back(nullptr);
}

}  // namespace deruzera::platform
