#include "Identify.h"

#include <cstdio>
#include <cstring>

#include "Attributes.h"
#include "Fixup.h"
#include "Layout.h"
#include "Mft.h"
#include "Read.h"

namespace deruzera {
namespace {

constexpr std::size_t SerialAt = 0x48;       // u64 in an NTFS boot sector
constexpr std::int64_t VolumeRecord = 3;     // $Volume
constexpr std::uint32_t AttrVolumeName = 0x60;
// BitLocker's identifier {4967D63B-2E29-4AD8-8399-F6A339E3D001} as it lies
// on disk, where Windows 7 ("To Go") and Vista write it.
constexpr std::uint8_t BitLockerGuid[16] = {0x3B, 0xD6, 0x67, 0x49, 0x29, 0x2E, 0xD8, 0x4A,
                                            0x83, 0x99, 0xF6, 0xA3, 0x39, 0xE3, 0xD0, 0x01};
constexpr std::size_t GuidAtToGo = 0x1A8;
constexpr std::size_t GuidAtVista = 0xA0;

bool IsNtfsBootSector(const std::uint8_t* s) { return std::memcmp(s + Boot::OemId, "NTFS    ", 8) == 0; }

// The volume's name from its $Volume record; "" where it can't be read.
std::string LabelOf(TDevice& device, const TVolume& volume) {
    TDynamicCharArray record;
    if (ReadFileRecord(device, volume, VolumeRecord, record) != 0) return {};
    try {
        FixupRecord(record);
    } catch (const ERecordError&) {
        return {};
    }
    const TBytes name = ResidentValue(FindAttributeView(record, AttrVolumeName, false, false));
    return Utf16ToUtf8(name.first(name.size() & ~std::size_t{1}));
}

}  // namespace

bool IsBitLockerBootSector(const std::uint8_t* s) {
    return std::memcmp(s + 3, "-FVE-FS-", 8) == 0 || std::memcmp(s + GuidAtToGo, BitLockerGuid, 16) == 0 ||
           std::memcmp(s + GuidAtVista, BitLockerGuid, 16) == 0;
}

TVolumeIdentity IdentifyVolume(TDevice& device, bool label) {
    TVolumeIdentity id;
    std::uint8_t boot[Boot::Size];
    const bool read = ReadExactly(device, 0, boot, Boot::Size, &id.Error);
    if (read && IsBitLockerBootSector(boot)) {
        id.Kind = TFileSystemKind::BitLocker;
        return id;
    }
    if (!label && read && IsNtfsBootSector(boot)) {
        TVolume volume;
        if (ReadVolumeGeometry(device, volume) == TGeometryEnd::Accepted && !volume.FromBackupBoot) {
            id.Kind = TFileSystemKind::Ntfs;
            id.HasSerial = true;
            id.Serial = ReadU64(TBytes(boot, sizeof boot), SerialAt);
            return id;
        }
    }
    TVolume volume;
    TOpenFailure failure;
    const bool loaded = LoadVolume(device, "C:", volume, nullptr, failure) == TScanEnd::Completed;
    bool ntfs = read && IsNtfsBootSector(boot) && !volume.FromBackupBoot;
    if (!ntfs && loaded && volume.FromBackupBoot) {
        // The copy in the last sector, where the scan found it.
        const std::int64_t size = device.Size();
        for (const std::int64_t sector : {std::int64_t{512}, std::int64_t{4096}})
            if (!ntfs && size >= 2 * sector && ReadExactly(device, (size / sector - 1) * sector, boot, Boot::Size, nullptr))
                ntfs = IsNtfsBootSector(boot);
    }
    if (!ntfs) return id;
    id.Kind = TFileSystemKind::Ntfs;
    id.HasSerial = true;
    id.Serial = ReadU64(TBytes(boot, sizeof boot), SerialAt);
    if (loaded && label) id.Label = LabelOf(device, volume);
    return id;
}

std::string SerialText(std::uint64_t serial) {
    char text[20];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(serial));
    return text;
}

const char* FileSystemName(TFileSystemKind kind) {
    switch (kind) {
    case TFileSystemKind::Ntfs: return "ntfs";
    case TFileSystemKind::BitLocker: return "bitlocker";
    case TFileSystemKind::Unknown: break;
    }
    return "unknown";
}

}  // namespace deruzera
