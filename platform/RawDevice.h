// Read-only access to a device node or an image file.
#pragma once

#include <string>

#include "volume/Device.h"

namespace deruzera::platform {

// Opens `path` read-only; null when it can't be opened for reading, with
// the reason (an errno value) in `error` when one is given.
THandle OpenDeviceFile(const std::string& path, int* error = nullptr);

// A device over a descriptor already open for reading (handed over by
// another process, such as the disk service). The device owns it and
// closes it; null for a negative descriptor.
THandle DeviceFromDescriptor(int fd);

}  // namespace deruzera::platform
