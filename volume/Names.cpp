// Names shown and written: unsafe characters, cutting, numbering, names any
// file system takes.
#include "Names.h"

#include <algorithm>
#include <array>

#include "Recover.h"

namespace deruzera {
namespace {

// A folder entry holds 255 bytes on the file systems Linux writes to.
constexpr std::size_t MaxNameBytes = 255;
// An extension longer than this is part of the name when a name is cut.
constexpr std::size_t MaxExtensionBytes = 32;

unsigned char Byte(std::string_view text, std::size_t at) { return static_cast<unsigned char>(text[at]); }

// The extension of a name: from its last "." on, where that dot doesn't
// begin the name and the rest is short.
std::size_t ExtensionAt(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || name.size() - dot > MaxExtensionBytes) return name.size();
    return dot;
}

// `text` cut to at most `bytes` bytes without splitting a character.
std::string CutAt(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// A stem and an extension put together within `limit` bytes, with `suffix`
// after the stem.
std::string Joined(const std::string& name, const std::string& suffix, std::size_t limit = MaxNameBytes) {
    std::size_t at = ExtensionAt(name);
    // An extension that leaves no room for the stem goes with it.
    if (name.size() - at + suffix.size() >= limit) at = name.size();
    const std::string extension = name.substr(at);
    const std::size_t room = limit - std::min(limit, extension.size() + suffix.size());
    return CutAt(name.substr(0, at), room) + suffix + extension;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether `base` (a name up to its first dot, trailing spaces left out) is
// one of the device names Windows keeps for itself.
bool ReservedDeviceName(std::string_view base) {
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    std::string upper(base);
    std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
    static constexpr std::array<std::string_view, 6> Plain{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    if (std::find(Plain.begin(), Plain.end(), upper) != Plain.end()) return true;
    if (upper.size() < 4 || (!upper.starts_with("COM") && !upper.starts_with("LPT"))) return false;
    // A digit, or the superscripts 1, 2 and 3 of Latin-1, which Windows
    // counts as digits here.
    const std::string_view number = std::string_view(upper).substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// The characters Windows refuses in a name besides the C0 controls.
constexpr std::string_view WindowsRefused = "<>:\"/\\|?*";

bool ClosingDotOrSpace(char c) { return c == '.' || c == ' '; }

}  // namespace

std::size_t UnsafeCharacterLength(std::string_view text) {
    if (text.empty()) return 0;
    const unsigned char lead = Byte(text, 0);
    if (lead < 0x20 || lead == 0x7F) return 1;
    if (text.size() < 2) return 0;
    const unsigned char second = Byte(text, 1);
    if (lead == 0xC2) return second >= 0x80 && second <= 0x9F ? 2 : 0;  // C1 controls
    if (lead == 0xD8) return second == 0x9C ? 2 : 0;                     // U+061C, the Arabic letter mark
    if (lead != 0xE2 || text.size() < 3) return 0;
    const unsigned char third = Byte(text, 2);
    if (second == 0x80) return third == 0x8E || third == 0x8F || (third >= 0xAA && third <= 0xAE) ? 3 : 0;
    if (second == 0x81) return third >= 0xA6 && third <= 0xA9 ? 3 : 0;  // the isolates
    return 0;
}

std::string MapUnsafeCharacters(std::string_view text) {
    std::string mapped;
    mapped.reserve(text.size());
    while (!text.empty()) {
        const std::size_t unsafe = UnsafeCharacterLength(text);
        mapped += unsafe ? '_' : text[0];
        text.remove_prefix(std::max<std::size_t>(unsafe, 1));
    }
    return mapped;
}

std::string SafeFileName(const std::string& name) {
    std::string safe = MapUnsafeCharacters(name);
    std::replace(safe.begin(), safe.end(), '/', '_');
    std::replace(safe.begin(), safe.end(), '\\', '_');
    if (safe == "." || safe == "..") safe.assign(safe.size(), '_');
    return safe;
}

std::string FitName(const std::string& name) { return name.size() <= MaxNameBytes ? name : Joined(name, ""); }

std::string CutName(const std::string& name, std::size_t bytes) {
    return name.size() <= bytes ? name : Joined(name, "", bytes);
}

std::string NumberedName(const std::string& name, unsigned number) {
    return Joined(name, " (" + std::to_string(number) + ")");
}

std::string PortableName(const std::string& name) {
    std::string portable = SafeFileName(name);
    for (char& c : portable)
        if (WindowsRefused.find(c) != std::string_view::npos) c = '_';
    for (std::size_t end = portable.size(); end > 0 && ClosingDotOrSpace(portable[end - 1]); --end)
        portable[end - 1] = '_';
    const std::size_t dot = std::min(portable.find('.'), portable.size());
    if (ReservedDeviceName(std::string_view(portable).substr(0, dot))) portable.insert(dot, "_");
    if (portable.empty()) portable = "_";
    portable = FitName(portable);
    // Again, as a name cut to fit may end in a dot or a space.
    for (std::size_t end = portable.size(); end > 0 && ClosingDotOrSpace(portable[end - 1]); --end)
        portable[end - 1] = '_';
    return portable;
}

bool WindowsTakesName(std::string_view name) {
    if (name.empty() || ClosingDotOrSpace(name.back())) return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || WindowsRefused.find(c) != std::string_view::npos) return false;
    return !WindowsDeviceName(name);
}

bool WindowsDeviceName(std::string_view name) {
    return ReservedDeviceName(name.substr(0, std::min(name.find('.'), name.size())));
}

}  // namespace deruzera
