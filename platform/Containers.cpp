// Which container a file is, by its bytes; the pieces of a split raw image.
#include "Containers.h"

#include <cstring>
#include <filesystem>

namespace deruzera::platform {
namespace {

bool Starts(const std::uint8_t* bytes, std::size_t size, const char* magic, std::size_t length) {
    return size >= length && std::memcmp(bytes, magic, length) == 0;
}

}  // namespace

TContainerKind ContainerOf(const std::uint8_t* head, std::size_t size, const std::uint8_t* tail) {
    if (Starts(head, size, "EVF\x09\x0D\x0A\xFF\x00", 8) || Starts(head, size, "EVF2\x0D\x0A\x81\x00", 8))
        return TContainerKind::Ewf;
    if (Starts(head, size, "vhdxfile", 8)) return TContainerKind::Vhdx;
    // A dynamic VHD copies its footer to its start; a fixed one has it only at its end.
    if (Starts(head, size, "conectix", 8) || (tail && std::memcmp(tail, "conectix", 8) == 0)) return TContainerKind::Vhd;
    if (Starts(head, size, "KDMV", 4) || Starts(head, size, "COWD", 4) || Starts(head, size, "# Disk DescriptorFile", 21))
        return TContainerKind::Vmdk;
    if (Starts(head, size, "QFI\xFB", 4)) return TContainerKind::Qcow;
    return TContainerKind::Raw;
}

const char* LibraryOf(TContainerKind kind) {
    switch (kind) {
    case TContainerKind::Ewf: return "libewf";
    case TContainerKind::Vhd:
    case TContainerKind::Vhdx: return "libvhdi";
    case TContainerKind::Vmdk: return "libvmdk";
    case TContainerKind::Qcow: return "libqcow";
    case TContainerKind::Raw: break;
    }
    return "";
}

TOpened OpenContainer(const std::string& path, TContainerKind kind) {
    switch (kind) {
    case TContainerKind::Ewf: return OpenEwf(path);
    case TContainerKind::Vhd:
    case TContainerKind::Vhdx: return OpenVhdi(path);
    case TContainerKind::Vmdk: return OpenVmdk(path);
    case TContainerKind::Qcow: return OpenQcow(path);
    case TContainerKind::Raw: break;
    }
    return {};
}

std::vector<std::string> SplitPieces(const std::string& path) {
    namespace fs = std::filesystem;
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string stem = path.substr(0, dot + 1);
    const std::string digits = path.substr(dot + 1);
    // Three digits or more, as `split -d -a N` and imaging tools number them;
    // past 9 digits no one splits an image.
    if (digits.size() < 3 || digits.size() > 9) return {};
    for (char c : digits)
        if (c < '0' || c > '9') return {};
    const int width = static_cast<int>(digits.size());
    auto name = [&](long n) {
        std::string number = std::to_string(n);
        return stem + std::string(static_cast<std::size_t>(width) - std::min(number.size(), static_cast<std::size_t>(width)), '0') + number;
    };
    long first = std::stol(digits);
    std::error_code ec;
    if (first > 1) return {};
    // "split" counts from 0, imaging tools from 1: a piece 0 beside piece 1 comes first.
    if (first == 1 && fs::is_regular_file(name(0), ec)) first = 0;
    std::vector<std::string> pieces;
    for (long n = first;; ++n) {
        const std::string piece = name(n);
        if (std::to_string(n).size() > static_cast<std::size_t>(width) || !fs::is_regular_file(piece, ec)) break;
        pieces.push_back(piece);
    }
    if (pieces.size() < 2) return {};
    return pieces;
}

}  // namespace deruzera::platform
