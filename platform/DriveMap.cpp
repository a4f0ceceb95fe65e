#include "DriveMap.h"

#include <map>
#include <mutex>

#include "DeviceAccess.h"

namespace deruzera::platform {
namespace {
struct TMapEntry {
    std::string Path;
    TVolumeOpen Open;  // a volume drive's; empty for a device or image read as it is
};
std::mutex mapMutex;
std::map<std::string, TMapEntry> driveMap;  // keyed by drive string, so in letter order
}  // namespace

void MapDrive(const std::string& drive, const std::string& path) {
    std::lock_guard lock(mapMutex);
    driveMap[drive] = {path, {}};
}

void MapVolumeDrive(const std::string& drive, const std::string& path, TVolumeOpen open) {
    std::lock_guard lock(mapMutex);
    driveMap[drive] = {path, std::move(open)};
}

void ClearDriveMap() {
    std::lock_guard lock(mapMutex);
    driveMap.clear();
}

std::string DrivePath(const std::string& drive) {
    std::lock_guard lock(mapMutex);
    const auto it = driveMap.find(drive);
    return it == driveMap.end() ? std::string() : it->second.Path;
}

std::vector<TMappedDrive> MappedDrives() {
    std::lock_guard lock(mapMutex);
    std::vector<TMappedDrive> drives;
    for (const auto& [drive, entry] : driveMap) drives.push_back({drive, entry.Path});
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
    TMapEntry entry;
    {
        std::lock_guard lock(mapMutex);
        const auto it = driveMap.find(drive);
        if (it != driveMap.end()) entry = it->second;
    }
    if (entry.Path.empty()) {
        TDeviceAccess unmapped;
        unmapped.Failure = TAccessFailure::Unmapped;
        return unmapped;
    }
    if (entry.Open) return entry.Open(options);
    return OpenForReading(entry.Path, options);
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
