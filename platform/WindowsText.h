// Text between the rest of the program, which holds UTF-8, and the wide
// (UTF-16) functions of Windows. Windows only.
#pragma once

#include <string>
#include <string_view>

namespace deruzera::platform {

// UTF-8 as UTF-16; a byte that begins no character becomes U+FFFD.
std::wstring WideText(std::string_view utf8);
// UTF-16 as UTF-8; a surrogate without its pair becomes U+FFFD.
std::string Utf8Text(std::wstring_view wide);
// The system's text for a Windows error code (GetLastError()), in UTF-8, its
// first line without the closing full stop; "error N" where it has none.
std::string SystemErrorText(unsigned long error);

}  // namespace deruzera::platform
