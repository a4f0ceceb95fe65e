// Attribute lookup in a file record, field readers, names.
#include <cstring>

#include "Salvane.h"

namespace deruzera {
namespace {

constexpr std::size_t RecordFirstAttribute = 20;  // u16, in the record header
constexpr std::size_t AttrTypeField = 0;          // u32
constexpr std::size_t AttrLengthField = 4;        // u32
constexpr std::size_t AttrHeaderSize = 16;
constexpr std::size_t FileNameParent = 24;        // u64 file reference of the parent
constexpr std::size_t FileNameLength = 88;        // u8, UTF-16 code units
constexpr std::size_t FileNameNamespace = 89;     // u8: 0 POSIX, 1 Win32, 2 DOS, 3 Win32+DOS
constexpr std::size_t FileNameChars = 90;
// An attribute length this large can only come from damage.
constexpr std::uint32_t MaxAttributeLength = 0x80000000u;

}  // namespace

std::uint64_t ReadLE(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
    std::uint64_t value = 0;
    if (offset >= bytes.size()) return 0;
    const std::size_t n = std::min(width, bytes.size() - offset);
    for (std::size_t i = n; i-- > 0;) value = (value << 8) | bytes[offset + i];
    return value;
}

std::span<const std::uint8_t> FindAttributeView(std::span<const std::uint8_t> bytes, std::uint32_t type,
                                                bool skipDosNames) {
    std::size_t p = 0;
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "FILE", 4) == 0) p = ReadU16(bytes, RecordFirstAttribute);
    // Each step moves forward by a non-zero length, so the walk ends.
    while (p + 4 <= bytes.size()) {
        const std::uint32_t code = ReadU32(bytes, p + AttrTypeField);
        if (code == AttrEnd || p + AttrHeaderSize > bytes.size()) break;
        const std::uint32_t length = ReadU32(bytes, p + AttrLengthField);
        if (length == 0 || length >= MaxAttributeLength) break;
        if (code == type) {
            // Namespaces 0, 1 and 3 carry the long name; 2 (and damage) is skipped.
            const std::uint64_t ns = ReadLE(bytes, p + FileNameNamespace, 1);
            const bool skip = skipDosNames && type == AttrFileName && ns != 0 && ns != 1 && ns != 3;
            if (!skip) return bytes.subspan(p, std::min<std::size_t>(length, bytes.size() - p));
        }
        p += length;
    }
    return {};
}

TDynamicCharArray FindAttribute(std::span<const std::uint8_t> bytes, std::uint32_t type, bool skipDosNames) {
    const auto view = FindAttributeView(bytes, type, skipDosNames);
    return TDynamicCharArray(view.begin(), view.end());
}

std::string Utf16ToUtf8(std::span<const std::uint8_t> utf16le) {
    std::string out;
    out.reserve(utf16le.size());
    const std::size_t units = utf16le.size() / 2;
    auto unitAt = [&](std::size_t i) { return static_cast<std::uint32_t>(utf16le[2 * i] | (utf16le[2 * i + 1] << 8)); };
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t c = unitAt(i);
        if (c < 0x80) {
            // Most names are ASCII: copy a whole run of it at once.
            std::size_t j = i;
            char ascii[64];
            std::size_t n = 0;
            while (j < units && n < sizeof ascii && (c = unitAt(j)) < 0x80) ascii[n++] = static_cast<char>(c), ++j;
            out.append(ascii, n);
            i = j - 1;
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unitAt(i + 1) >= 0xDC00 && unitAt(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string FileNameOf(std::span<const std::uint8_t> attribute) {
    if (attribute.size() <= FileNameChars) return {};
    const std::size_t bytes = std::min<std::size_t>(2 * ReadLE(attribute, FileNameLength, 1), attribute.size() - FileNameChars);
    return Utf16ToUtf8(attribute.subspan(FileNameChars, bytes));
}

std::int64_t ParentReferenceOf(std::span<const std::uint8_t> attribute) {
    return static_cast<std::int64_t>(ReadU64(attribute, FileNameParent));
}

}  // namespace deruzera
