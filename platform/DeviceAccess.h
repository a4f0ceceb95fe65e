// Opening a device node or image for reading, as the user may: a plain
// read-only open first, and where that is refused for a block device, a
// read-only descriptor from the disk service udisks2, which polkit allows
// or refuses (asking the user for a password where its rules say so).
// Nothing is ever opened for writing. On Windows: CreateFileW alone, and
// where a drive is refused to a program that runs without elevation, a line
// that says to run it as administrator.
#pragma once

#include <cstdint>
#include <string>

#include "volume/Device.h"

namespace deruzera::platform {

// Why a device could not be opened.
enum class TAccessFailure {
    None,
    // The user may not read it, and there is nobody to ask: a file, or a
    // block device while udisks2 doesn't run; on Windows, a drive opened
    // without elevation.
    PermissionDenied,
    // udisks2 asked polkit and polkit refused, or the user dismissed the
    // password prompt.
    NotAuthorized,
    // No such file or device, or udisks2 doesn't know the device.
    NoSuchDevice,
    // Anything else: see Errno or DBusError.
    Other,
};

struct TAccessResult {
    THandle Device;                 // null unless Failure is None
    TAccessFailure Failure = TAccessFailure::None;
    std::string Path;
    int Errno = 0;                  // errno of the plain open (or of the bus call)
    std::string DBusError;          // D-Bus error name where udisks2 was asked
    std::string DBusMessage;
    bool BlockDevice = false;       // the path names a block device
    bool ThroughUDisks = false;     // the descriptor came from udisks2
    std::uint32_t SystemError = 0;  // Windows: GetLastError() of the open
};

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

// One line that names why `result` failed and what the user can do, shown
// after the "Error: Invalid handle value" line; "" when it did not fail.
std::string AccessFailureText(const TAccessResult& result);

}  // namespace deruzera::platform
