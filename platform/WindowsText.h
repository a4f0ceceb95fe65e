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
// `utf8` as the wide functions take a path at any length: one of MAX_PATH
// characters or more made whole (GetFullPathNameW) and given the prefix
// "\\?\" ("\\?\UNC\" on a share), which lifts the limit; a shorter path,
// or one that has a prefix, as it stands.
std::wstring SystemPath(std::string_view utf8);
// The system's text for a Windows error code (GetLastError()), in UTF-8, its
// first line without the closing full stop; "error N" where it has none.
std::string SystemErrorText(unsigned long error);

}  // namespace deruzera::platform
