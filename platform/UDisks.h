// The disk service udisks2 on the system D-Bus: what it knows about the
// block devices, and a read-only descriptor of one of them handed over by
// it once polkit allows. Linux only; sd-bus from libsystemd.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace deruzera::platform {

// How a call to udisks2 ended. `Name` is the D-Bus error name
// ("org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"), empty on success
// and where the bus could not be reached at all; `Errno` is the errno value
// sd-bus gave (ENOENT when there is no system bus, for one).
struct TUDisksStatus {
    bool Ok = false;
    std::string Name;
    std::string Message;
    int Errno = 0;
};

// The block object of udisks2 and the drive it names, with the facts the
// drive list takes from them.
struct TUDisksBlock {
    std::string ObjectPath;        // "/org/freedesktop/UDisks2/block_devices/loop0"
    std::string Device;            // "/dev/loop0"
    std::string PreferredDevice;   // "/dev/mapper/vg-root" for "/dev/dm-0"
    std::uint64_t DeviceNumber = 0;
    std::uint64_t Size = 0;
    std::string IdUsage;           // "filesystem", "crypto", "other", ""
    std::string IdType;            // "ntfs", "vfat", ...
    std::string IdVersion;
    std::string IdLabel;
    bool HintIgnore = false;
    bool HintSystem = false;
    bool ReadOnly = false;
    std::string Drive;             // the drive's object path, "/" for none
    bool Removable = false;        // the drive's Removable or MediaRemovable
};

// True where the error means no udisks2 answers on the system bus: no bus,
// no owner of the name, or no service of that name to start.
bool UDisksMissing(const TUDisksStatus& status);
// True where polkit refused the caller or the user dismissed the prompt
// (the org.freedesktop.UDisks2.Error.NotAuthorized* errors).
bool UDisksNotAuthorized(const TUDisksStatus& status);

// Every block object udisks2 manages, with its drive's removable flags.
TUDisksStatus UDisksBlocks(std::vector<TUDisksBlock>& blocks);

// The object path of the block device at `devicePath` ("/dev/sdb1", or one
// of its symlinks); Ok with an empty `objectPath` when udisks2 doesn't know it.
TUDisksStatus UDisksResolveDevice(const std::string& devicePath, std::string& objectPath);

// Block.OpenForBackup on `objectPath`: a read-only descriptor of the device,
// which the caller owns (close-on-exec), or -1. The call may ask the user
// for a password through polkit's agent; `timeoutSeconds` bounds the wait.
TUDisksStatus UDisksOpenForBackup(const std::string& objectPath, unsigned timeoutSeconds, int& fd);

}  // namespace deruzera::platform
