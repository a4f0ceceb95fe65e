// Read-only access to a device node or an image file.
#pragma once

#include <string>

#include "volume/Device.h"

namespace deruzera::platform {

// Opens `path` read-only; null when it can't be opened for reading.
THandle OpenDeviceFile(const std::string& path);

}  // namespace deruzera::platform
