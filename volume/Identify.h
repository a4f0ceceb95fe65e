// What a volume holds, from its boot sector: NTFS (with its label and
// serial number), a BitLocker volume, or something else.
#pragma once

#include <cstdint>
#include <string>

#include "Device.h"

namespace deruzera {

enum class TFileSystemKind : std::uint8_t { Unknown, Ntfs, BitLocker };

struct TVolumeIdentity {
    TFileSystemKind Kind = TFileSystemKind::Unknown;
    bool HasSerial = false;
    std::uint64_t Serial = 0;   // NTFS: the boot sector's 64-bit serial number
    std::string Label;          // NTFS: $Volume's name, "" where it has none or it can't be read
    int Error = 0;              // errno where the boot sector could not be read
};

// BitLocker's own boot sector says "-FVE-FS-" where NTFS says "NTFS"; a
// volume made for older readers ("To Go", Vista) carries BitLocker's GUID
// in its boot sector instead. `sector` holds 512 bytes.
bool IsBitLockerBootSector(const std::uint8_t* sector);

// Reads the boot sector of `device` (falling back on the NTFS backup copy
// in its last sector, as a scan does) and, for NTFS with `label`, the label
// from record 3's $VOLUME_NAME. Without `label` a volume whose boot sector
// is sound is told by that sector alone: nothing of its MFT is read (a
// volume opened to be scanned, whose MFT the scan reads itself).
TVolumeIdentity IdentifyVolume(TDevice& device, bool label = true);

// The serial as 16 upper-case hexadecimal digits, most significant first.
std::string SerialText(std::uint64_t serial);

// The file system's name as the companion's list writes it: "ntfs",
// "bitlocker" or "unknown".
const char* FileSystemName(TFileSystemKind kind);

}  // namespace deruzera
