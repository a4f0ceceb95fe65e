// Opening a device node or image for reading, as the user may: a plain
// read-only open first, and where that is refused for a block device, a
// read-only descriptor from the disk service udisks2, which polkit allows
// or refuses (asking the user for a password where its rules say so).
// Nothing is ever opened for writing. On Windows: CreateFileW alone, and
// where a drive is refused to a program that runs without elevation, a
// failure that says so (NotElevated).
#pragma once

#include <string>

#include "volume/Device.h"

namespace deruzera::platform {

using TAccessFailure = deruzera::TAccessFailure;
using TAccessResult = deruzera::TDeviceAccess;

struct TAccessOptions {
    // A terminal front end sets this: while udisks2 is asked, and where
    // standard input is a terminal, pkttyagent runs for this process so that
    // polkit can ask for the password in the terminal (unless the desktop
    // session has an agent of its own).
    bool TerminalAgent = false;
    // How long to wait for udisks2's answer, the user's typing included.
    unsigned TimeoutSeconds = 300;
};

// Opens `path` read-only as described above.
TAccessResult OpenForReading(const std::string& path, const TAccessOptions& options = {});


}  // namespace deruzera::platform
