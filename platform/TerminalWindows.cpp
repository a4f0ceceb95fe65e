#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "Terminal.h"
#include "WindowsText.h"

namespace deruzera::platform {
namespace {

// Which streams are consoles that took the escape sequences; set once by
// PrepareStandardStreams().
bool consoles[3] = {};

DWORD StandardHandleOf(TStream stream) {
    return stream == TStream::Input ? STD_INPUT_HANDLE : stream == TStream::Output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
}

}  // namespace

void PrepareStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // A pipe or a file gets the bytes as they are; a console shows UTF-8.
    SetConsoleOutputCP(CP_UTF8);
    for (TStream stream : {TStream::Input, TStream::Output, TStream::Error}) {
        HANDLE handle = GetStdHandle(StandardHandleOf(stream));
        DWORD mode = 0;
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) continue;
        // A console older than Windows 10 shows escape sequences as text: it
        // gets none, as if it were a file.
        consoles[static_cast<int>(stream)] =
            stream == TStream::Input || SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }
}

bool IsTerminal(TStream stream) { return consoles[static_cast<int>(stream)]; }

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
