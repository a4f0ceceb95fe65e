// Read access to a device on Windows: CreateFileW, and where it is refused
// because the program runs without elevation, a line that says so.
#include <windows.h>

#include <cstring>

#include "DeviceAccess.h"
#include "RawDeviceWindows.h"
#include "WindowsText.h"

namespace deruzera::platform {
namespace {

// True when the process runs elevated (as administrator).
bool Elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                          elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

bool IsNoSuchDevice(int error) { return error == ENOENT || error == ENXIO; }

}  // namespace

TAccessResult OpenForReading(const std::string& path, const TAccessOptions&) {
    TAccessResult result;
    result.Path = path;
    result.BlockDevice = IsDevicePath(path);
    unsigned long systemError = 0;
    result.Device = OpenWindowsDevice(path, systemError);
    if (result.Device) return result;
    result.SystemError = static_cast<std::uint32_t>(systemError);
    result.Errno = systemError == ERROR_DIRECTORY ? EISDIR : ErrnoOfSystemError(systemError);
    if (IsNoSuchDevice(result.Errno)) {
        result.Failure = TAccessFailure::NoSuchDevice;
    } else if (result.Errno == EACCES && !Elevated()) {
        // Raw volumes and disks open for administrators alone.
        result.Failure = TAccessFailure::PermissionDenied;
    } else {
        result.Failure = TAccessFailure::Other;
    }
    return result;
}

std::string AccessFailureText(const TAccessResult& result) {
    const std::string& path = result.Path;
    switch (result.Failure) {
        case TAccessFailure::None:
            return {};
        case TAccessFailure::PermissionDenied:
            if (!result.BlockDevice)
                return "Access to " + path +
                       " was refused: permission denied. Run as administrator or get read access to the file.";
            return "Access to " + path + " was refused: reading a drive directly needs administrator rights. Run as administrator.";
        case TAccessFailure::NoSuchDevice:
            return "No such device: " + path;
        case TAccessFailure::NotAuthorized:
        case TAccessFailure::Other:
            break;
    }
    if (result.SystemError == 0 || result.SystemError == ERROR_DIRECTORY)
        return "Cannot open " + path + ": " + std::strerror(result.Errno) + ".";
    return "Cannot open " + path + ": " + SystemErrorText(result.SystemError) + ".";
}

}  // namespace deruzera::platform
