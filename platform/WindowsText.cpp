#include "WindowsText.h"

#include <windows.h>

#include <climits>

namespace deruzera::platform {

std::wstring WideText(std::string_view utf8) {
    if (utf8.empty() || utf8.size() > INT_MAX) return {};
    const int bytes = static_cast<int>(utf8.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, nullptr, 0);
    if (units <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, wide.data(), units);
    return wide;
}

std::string Utf8Text(std::wstring_view wide) {
    if (wide.empty() || wide.size() > INT_MAX / 3) return {};
    const int units = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, text.data(), bytes, nullptr, nullptr);
    return text;
}

std::wstring SystemPath(std::string_view utf8) {
    std::wstring path = WideText(utf8);
    const bool prefixed =
        path.size() > 3 && path.compare(0, 2, L"\\\\") == 0 && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\';
    if (path.size() < MAX_PATH || prefixed) return path;
    std::wstring full(path.size() + MAX_PATH, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length >= full.size()) {
        full.resize(length);
        length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (length == 0 || length >= full.size()) return path;
    full.resize(length);
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string SystemErrorText(unsigned long error) {
    wchar_t* message = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::string text = length > 0 ? Utf8Text(std::wstring_view(message, length)) : std::string();
    if (message) LocalFree(message);
    const auto eol = text.find_first_of("\r\n");
    if (eol != std::string::npos) text.resize(eol);
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : text;
}

}  // namespace deruzera::platform
