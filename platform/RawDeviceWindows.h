// Windows back end of RawDevice.h: what the device access needs besides
// the device itself. Windows only.
#pragma once

#include <string>

#include "volume/Device.h"

namespace deruzera::platform {

// The path CreateFileW is given for `path`: a drive letter alone ("D:",
// "d:") names the volume "\\.\D:"; any other path, a device path
// ("\\.\PhysicalDrive1", "\\.\C:") or a file, as it stands.
std::string DeviceOpenPath(const std::string& path);

// True when `path` names a volume or a disk rather than a file: a drive
// letter alone, or a path below "\\.\" or "\\?\" that names no file.
bool IsDevicePath(const std::string& path);

// Opens `path` for reading as OpenDeviceFile() does; null when it can't be
// opened, with GetLastError()'s code in `systemError`.
THandle OpenWindowsDevice(const std::string& path, unsigned long& systemError);

// The errno value that stands for a Windows error code.
int ErrnoOfSystemError(unsigned long error);

}  // namespace deruzera::platform
