// Names from the volume as they are shown and as they are written: the
// characters no name may carry to a terminal or a folder, names cut to fit a
// folder entry, numbered names, and names any file system takes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace deruzera {

// The bytes of the character `text` begins with where it is one a name must
// not carry as it stands, 0 otherwise: the C0 controls and DEL, the C1
// controls (U+0080 to U+009F; U+009B acts as an escape on some terminals),
// and the marks and overrides that reorder text (U+061C, U+200E, U+200F,
// U+202A to U+202E, U+2066 to U+2069), with which "evil\u202Etxt.exe" shows
// as "evilexe.txt". Every name written, listed and logged maps these.
std::size_t UnsafeCharacterLength(std::string_view text);

// `text` with each character UnsafeCharacterLength finds replaced by "_".
std::string MapUnsafeCharacters(std::string_view text);

// A name cut to the 255 bytes a folder entry holds, at a character's
// boundary, keeping a short extension: a name of 255 UTF-16 units read from
// NTFS may take up to 765 bytes of UTF-8.
std::string FitName(const std::string& name);

// `name` numbered: "a.txt" with 1 is "a (1).txt", ".profile" with 2 is
// ".profile (2)"; cut to fit a folder entry like FitName.
std::string NumberedName(const std::string& name, unsigned number);

// `name` cut to at most `bytes` bytes like FitName.
std::string CutName(const std::string& name, std::size_t bytes);

// A name every file system takes, for a target that refuses `name`:
// Windows' reserved characters < > : " / \ | ? * become "_", as do trailing
// dots and spaces; a reserved device name (CON, PRN, AUX, NUL, COM0 to COM9,
// LPT0 to LPT9, COM and LPT with a superscript 1, 2 or 3, CONIN$ and
// CONOUT$, in any case, with or without an extension) gets "_" after it
// ("con.txt" is "con_.txt"). The same name where nothing needs a change.
// WindowsTakesName() holds for every name it gives.
std::string PortableName(const std::string& name);

// Whether Windows keeps `name` for a device, which it opens under that
// name in every folder: one of the reserved device names PortableName()
// lists, with or without an extension ("NUL", "con.txt", "lpt1 .log").
bool WindowsDeviceName(std::string_view name);

// Whether Windows takes `name` as a folder entry as it stands: not empty,
// none of the characters it refuses (the C0 controls and < > : " / \ | ? *),
// no closing dot or space, and no reserved device name, which Windows
// opens as the device in any folder ("con.txt" is the console, "a:b" the
// stream "b" of the file "a").
bool WindowsTakesName(std::string_view name);

}  // namespace deruzera
