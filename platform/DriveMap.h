// Drive strings ("C:", "D:") stand for devices and images. The drive map
// holds which path each drive string names.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/DeviceAccess.h"
#include "volume/Device.h"

namespace deruzera::platform {

struct TMappedDrive {
    std::string Drive;  // "C:"
    std::string Path;   // "/dev/sda1" or an image file
};

void MapDrive(const std::string& drive, const std::string& path);
// How a drive that is one volume of a source (a partition of a disk image,
// a volume in an E01, a BitLocker volume) is opened: through the source
// layer, as the user may read the source.
using TVolumeOpen = std::function<TDeviceAccess(const TAccessOptions& access)>;
// Maps `drive` to a volume of the source at `path`, opened by `open`.
void MapVolumeDrive(const std::string& drive, const std::string& path, TVolumeOpen open);
void ClearDriveMap();
// The path mapped to `drive`, or "" when it is unmapped.
std::string DrivePath(const std::string& drive);
std::vector<TMappedDrive> MappedDrives();
// The first letter from C: on that has no path yet ("" when all are taken).
std::string NextFreeDrive();

// Opens the path mapped to `drive` read-only, through the disk service
// udisks2 where the user may not read it, or the volume a volume drive
// stands for; the device, or why it could not be opened.
TDeviceAccess OpenMappedDrive(const std::string& drive);

// The same for a terminal front end: polkit may ask for the password in
// the terminal.
TDeviceOpener TerminalDriveOpener();

}  // namespace deruzera::platform
