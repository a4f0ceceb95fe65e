// Drive strings ("C:", "D:") stand for devices and images. The drive map
// holds which path each drive string names.
#pragma once

#include <string>
#include <vector>

namespace deruzera::platform {

struct TMappedDrive {
    std::string Drive;  // "C:"
    std::string Path;   // "/dev/sda1" or an image file
};

void MapDrive(const std::string& drive, const std::string& path);
void ClearDriveMap();
// The path mapped to `drive`, or "" when it is unmapped.
std::string DrivePath(const std::string& drive);
std::vector<TMappedDrive> MappedDrives();
// The first letter from C: on that has no path yet ("" when all are taken).
std::string NextFreeDrive();

// Makes OpenVolume open the mapped path read-only.
void InstallDriveMapOpener();

}  // namespace deruzera::platform
