// Read access to a device on Windows: CreateFileW, and where a drive is
// refused because the program runs without elevation, a failure that says
// so. The lines for every failure are made in volume/Messages.cpp.
#include <windows.h>

#include <cerrno>

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

}  // namespace

TAccessResult OpenForReading(const std::string& path, const TAccessOptions&) {
    TAccessResult result;
    result.Path = path;
    result.BlockDevice = IsDevicePath(path);
    unsigned long systemError = 0;
    result.Device = OpenWindowsDevice(path, systemError);
    if (result.Device) return result;
    result.Errno = systemError == ERROR_DIRECTORY ? EISDIR : ErrnoOfSystemError(systemError);
    if (result.Errno == ENOENT || result.Errno == ENXIO) {
        result.Failure = TAccessFailure::NoSuchDevice;
    } else if (result.Errno == EACCES && result.BlockDevice && !Elevated()) {
        // Raw volumes and disks open for administrators alone.
        result.Failure = TAccessFailure::NotElevated;
    } else {
        result.Failure = TAccessFailure::Other;
        // The system's words say more than the errno value stands for; a
        // folder's ("the directory name is invalid") say less.
        if (systemError != ERROR_DIRECTORY) result.SystemMessage = SystemErrorText(systemError);
    }
    return result;
}

}  // namespace deruzera::platform
