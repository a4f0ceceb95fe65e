#include "DriveMap.h"

#include <map>
#include <mutex>

#include "DeviceAccess.h"

namespace deruzera::platform {
namespace {
std::mutex mapMutex;
std::map<std::string, std::string> driveMap;  // keyed by drive string, so in letter order
}  // namespace

void MapDrive(const std::string& drive, const std::string& path) {
    std::lock_guard lock(mapMutex);
    driveMap[drive] = path;
}

void ClearDriveMap() {
    std::lock_guard lock(mapMutex);
    driveMap.clear();
}

std::string DrivePath(const std::string& drive) {
    std::lock_guard lock(mapMutex);
    const auto it = driveMap.find(drive);
    return it == driveMap.end() ? std::string() : it->second;
}

std::vector<TMappedDrive> MappedDrives() {
    std::lock_guard lock(mapMutex);
    std::vector<TMappedDrive> drives;
    for (const auto& [drive, path] : driveMap) drives.push_back({drive, path});
    return drives;
}

std::string NextFreeDrive() {
    std::lock_guard lock(mapMutex);
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        const std::string drive{letter, ':'};
        if (!driveMap.count(drive)) return drive;
    }
    return {};
}

namespace {

TDeviceAccess OpenDrive(const std::string& drive, const TAccessOptions& options) {
    const std::string path = DrivePath(drive);
    if (path.empty()) {
        TDeviceAccess unmapped;
        unmapped.Failure = TAccessFailure::Unmapped;
        return unmapped;
    }
    return OpenForReading(path, options);
}

}  // namespace

TDeviceAccess OpenMappedDrive(const std::string& drive) { return OpenDrive(drive, {}); }

TDeviceOpener TerminalDriveOpener() {
    return [](const std::string& drive) {
        TAccessOptions options;
        options.TerminalAgent = true;
        return OpenDrive(drive, options);
    };
}

}  // namespace deruzera::platform
