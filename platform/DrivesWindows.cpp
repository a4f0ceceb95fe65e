// The drive queries on Windows: the system's own drive letters, kinds, file
// systems and sizes. Each letter stands for its volume, "\\.\D:".
#include <windows.h>

#include "DriveMap.h"
#include "Drives.h"
#include "RawDeviceWindows.h"
#include "WindowsText.h"

namespace deruzera::platform {
namespace {

std::string LetterOfRoot(const std::string& root) {
    if (root.size() < 2 || root[1] != ':') return {};
    return root.substr(0, 2);
}

// The file system's name and the volume's label at `root` ("D:\").
bool VolumeInformation(const std::string& root, std::string& fileSystem, std::string& label) {
    // The buffers the system's own drive lists use: a label of 32
    // characters, a file-system name of 32 with its NUL.
    wchar_t labelText[MAX_PATH + 1] = {};
    wchar_t name[32] = {};
    if (!GetVolumeInformationW(WideText(root).c_str(), labelText, MAX_PATH + 1, nullptr, nullptr, nullptr, name, 32))
        return false;
    fileSystem = Utf8Text(name);
    label = Utf8Text(labelText);
    return true;
}

}  // namespace

TDriveQueries DriveMapQueries() {
    TDriveQueries q;
    q.LogicalDrives = [] { return static_cast<std::uint32_t>(GetLogicalDrives()); };
    // GetDriveTypeW's kinds are the list's: DRIVE_FIXED is 3, DRIVE_REMOVABLE 2.
    q.DriveType = [](const std::string& root) -> unsigned { return GetDriveTypeW(WideText(root).c_str()); };
    q.VolumeFileSystem = [](const std::string& root, std::string& name) {
        std::string label;
        return VolumeInformation(root, name, label);
    };
    q.TotalSize = [](const std::string& root) -> std::int64_t {
        ULARGE_INTEGER total{};
        if (!GetDiskFreeSpaceExW(WideText(root).c_str(), nullptr, &total, nullptr)) return -1;
        return total.QuadPart > static_cast<ULONGLONG>(INT64_MAX) ? -1 : static_cast<std::int64_t>(total.QuadPart);
    };
    return q;
}

void MapSystemDrives() {
    ClearDriveMap();
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i))) continue;
        const std::string drive{static_cast<char>('A' + i), ':'};
        MapDrive(drive, DeviceOpenPath(drive));
    }
}

std::string MapSourceDrive(const std::string& path) {
    const std::string device = DeviceOpenPath(path);
    for (const TMappedDrive& mapped : MappedDrives())
        if (mapped.Path == device) return mapped.Drive;
    const std::string drive = NextFreeDrive();
    if (!drive.empty()) MapDrive(drive, device);
    return drive;
}

bool MappedDriveInfo(const std::string& drive, TDriveInfo& info) {
    const std::string path = DrivePath(drive);
    if (path.empty()) return false;
    info = TDriveInfo{};
    info.Name = drive;
    info.Path = path;
    if (path == DeviceOpenPath(drive)) {
        const std::string root = drive + "\\";
        info.Removable = GetDriveTypeW(WideText(root).c_str()) == DRIVE_REMOVABLE;
        info.Size = DriveMapQueries().TotalSize(root);
    }
    return true;
}

std::string DriveToolTip(const std::string& drive) {
    const std::string path = DrivePath(drive);
    if (path.empty()) return {};
    std::string fileSystem, label;
    if (path == DeviceOpenPath(drive)) VolumeInformation(drive + "\\", fileSystem, label);
    return label.empty() ? path : path + "\nLabel: " + label;
}

// Windows unlocks its BitLocker volumes itself: a drive here reads as the
// system gives it, and no keys are asked for.
TSourceEnd DriveKeysEnd(const std::string&) { return TSourceEnd::Opened; }
void SetDriveKeys(const std::string&, const TBitLockerKeys&) {}

}  // namespace deruzera::platform
