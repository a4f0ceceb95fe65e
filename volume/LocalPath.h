// Names of files on the local disk, which the reader and its front ends
// hold as UTF-8 text, as std::filesystem paths and back. A path made from a
// std::string reads it in the system's narrow encoding, which on Windows is
// the ANSI code page, not UTF-8; these read and give UTF-8 everywhere.
#pragma once

#include <filesystem>
#include <string>

namespace deruzera {

inline std::filesystem::path LocalPath(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string LocalPathText(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace deruzera
