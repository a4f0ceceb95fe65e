// Windows back end: CreateFileW for reading only, sharing read, write and
// delete so that a mounted volume can be read; ReadFile at the offset of an
// OVERLAPPED (no shared file position, so any thread may read at any
// time). Volumes and disks take whole sectors only: their reads go through
// ReadAligned().
#include <windows.h>
#include <winioctl.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "AlignedRead.h"
#include "RawDevice.h"
#include "RawDeviceWindows.h"
#include "WindowsText.h"

namespace deruzera::platform {
namespace {

// Bytes asked of one ReadFile: its count is 32-bit.
constexpr DWORD MaxReadBytes = 1u << 30;
// The sector size assumed where the device doesn't tell: a multiple of
// every logical sector size in use (512 and 4096).
constexpr std::uint32_t FallbackSectorSize = 4096;
// Sector sizes taken from a device as they are; others are taken for the
// fallback.
constexpr std::uint32_t MinSectorSize = 512;
constexpr std::uint32_t MaxSectorSize = 65536;
// A file's read that fails as a whole is tried again in these units: the
// smallest sector a disk under it has.
constexpr std::uint32_t FileUnitBytes = 512;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool IsDriveLetterAlone(const std::string& path) {
    return path.size() == 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// The volume's name ("\\?\Volume{...}\") of the volume that holds `root`,
// a mount point with its closing backslash; "" where it has none.
std::wstring VolumeNameOf(const std::wstring& root) {
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetVolumeNameForVolumeMountPointW(root.c_str(), name, MAX_PATH)) return {};
    return Lower(name);
}

// The mount point (its closing backslash included) of the volume that holds
// `path`, or of the nearest folder above it that exists; "" where none.
std::wstring MountPointOf(const std::wstring& path) {
    std::wstring where = path;
    while (!where.empty() && GetFileAttributesW(where.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const auto slash = where.find_last_of(L"\\/");
        if (slash == std::wstring::npos) {
            where = L".";
            break;
        }
        const std::size_t parent = slash == 0 || (slash == 2 && where[1] == L':') ? slash + 1 : slash;
        if (parent >= where.size()) return {};  // a root that doesn't exist
        where.resize(parent);
    }
    if (where.empty()) return {};
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(where.c_str(), root, MAX_PATH)) return {};
    return root;
}

// The disk numbers that the volume named `volumeName` ("\\?\Volume{...}\")
// lies on.
std::vector<DWORD> DisksOfVolume(std::wstring volumeName) {
    std::vector<DWORD> disks;
    if (!volumeName.empty() && volumeName.back() == L'\\') volumeName.pop_back();
    HANDLE volume = CreateFileW(volumeName.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return disks;
    // A volume spans a few disks at most; room for 32.
    alignas(VOLUME_DISK_EXTENTS) char buffer[sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT)];
    DWORD returned = 0;
    if (DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer, sizeof buffer, &returned,
                        nullptr)) {
        const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer);
        for (DWORD i = 0; i < extents->NumberOfDiskExtents && i < 32; ++i) disks.push_back(extents->Extents[i].DiskNumber);
    }
    CloseHandle(volume);
    return disks;
}

class TWindowsDevice final : public TDevice {
public:
    TWindowsDevice(HANDLE handle, std::wstring path) : handle_(handle), path_(std::move(path)) {
        DWORD returned = 0;
        GET_LENGTH_INFORMATION length{};
        if (DeviceIoControl(handle_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned,
                            nullptr)) {
            device_ = true;
            size_ = length.Length.QuadPart;
            DescribeDevice();
        } else {
            LARGE_INTEGER bytes{};
            if (GetFileSizeEx(handle_, &bytes)) size_ = bytes.QuadPart;
            known_ = GetFileInformationByHandle(handle_, &file_) != 0;
        }
    }
    ~TWindowsDevice() override { CloseHandle(handle_); }
    TWindowsDevice(const TWindowsDevice&) = delete;
    TWindowsDevice& operator=(const TWindowsDevice&) = delete;

    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0) return 0;
        const TSectorRead read = [this](std::int64_t at, void* into, std::size_t n) { return ReadAll(at, into, n); };
        if (!device_) return ReadNarrowing(read, FileUnitBytes, offset, buffer, count);
        return ReadAligned(read, sectorSize_, offset, buffer, count);
    }
    std::int64_t Size() const override { return size_; }

    bool IsSource(const std::string& path) const override {
        const std::wstring wide = SystemPath(DeviceOpenPath(path));
        if (wide.empty()) return false;
        if (Lower(wide) == Lower(path_)) return true;
        if (device_ || !known_) return false;
        // The same file under any name: the same volume and file index.
        HANDLE other = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (other == INVALID_HANDLE_VALUE) return false;
        BY_HANDLE_FILE_INFORMATION info{};
        const bool same = GetFileInformationByHandle(other, &info) &&
                          info.dwVolumeSerialNumber == file_.dwVolumeSerialNumber &&
                          info.nFileIndexHigh == file_.nFileIndexHigh && info.nFileIndexLow == file_.nFileIndexLow;
        CloseHandle(other);
        return same;
    }

    bool HoldsPath(const std::string& path) const override {
        if (!device_) return false;
        const std::wstring root = MountPointOf(WideText(path));
        if (root.empty()) return false;
        const std::wstring volume = VolumeNameOf(root);
        if (!volumeName_.empty() && !volume.empty()) return volume == volumeName_;
        if (diskNumber_ >= 0 && !volume.empty()) {
            const std::vector<DWORD> disks = DisksOfVolume(volume);
            return std::find(disks.begin(), disks.end(), static_cast<DWORD>(diskNumber_)) != disks.end();
        }
        // Without volume names: the volume's serial number.
        DWORD serial = 0;
        return hasSerial_ && GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) &&
               serial == serial_;
    }

private:
    // The sector size, and what tells this volume or disk from others.
    void DescribeDevice() {
        DWORD returned = 0;
        DISK_GEOMETRY geometry{};
        sectorSize_ = FallbackSectorSize;
        if (DeviceIoControl(handle_, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &returned,
                            nullptr)) {
            const DWORD s = geometry.BytesPerSector;
            if (s >= MinSectorSize && s <= MaxSectorSize && (s & (s - 1)) == 0) sectorSize_ = s;
        }
        // "\\.\D:": the volume mounted at D:\.
        std::wstring root;
        if (path_.size() == 6 && (StartsWith(path_, L"\\\\.\\") || StartsWith(path_, L"\\\\?\\")) && path_[5] == L':')
            root = path_.substr(4) + L"\\";
        else if (StartsWith(Lower(path_), L"\\\\?\\volume{"))
            root = path_ + L"\\";
        if (!root.empty()) {
            // The volume's last sectors (the boot sector's copy) lie past the
            // file system's end, where a mounted volume refuses reads unless
            // asked to allow them.
            DeviceIoControl(handle_, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned, nullptr);
            volumeName_ = VolumeNameOf(root);
            hasSerial_ = GetVolumeInformationW(root.c_str(), nullptr, 0, &serial_, nullptr, nullptr, nullptr, 0) != 0;
            return;
        }
        // A whole disk: its number.
        STORAGE_DEVICE_NUMBER number{};
        if (DeviceIoControl(handle_, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                            nullptr) &&
            number.PartitionNumber == 0)
            diskNumber_ = static_cast<long long>(number.DeviceNumber);
    }

    // ReadFile until `count` bytes are in, the end, or a failure (which
    // fails the whole of a request: ReadNarrowing() finds how far it read).
    std::int64_t ReadAll(std::int64_t offset, void* buffer, std::size_t count) {
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            const auto at = static_cast<std::uint64_t>(offset) + done;
            OVERLAPPED where{};
            where.Offset = static_cast<DWORD>(at);
            where.OffsetHigh = static_cast<DWORD>(at >> 32);
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - done, MaxReadBytes));
            DWORD got = 0;
            if (!ReadFile(handle_, out + done, want, &got, &where)) {
                const DWORD error = GetLastError();
                if (error == ERROR_HANDLE_EOF) break;
                return done > 0 ? static_cast<std::int64_t>(done) : -static_cast<std::int64_t>(ErrnoOfSystemError(error));
            }
            if (got == 0) break;
            done += got;
        }
        return static_cast<std::int64_t>(done);
    }

    HANDLE handle_;
    std::wstring path_;
    bool device_ = false;
    std::int64_t size_ = -1;
    std::uint32_t sectorSize_ = 1;
    // A file: its volume's serial number and its index there.
    BY_HANDLE_FILE_INFORMATION file_{};
    bool known_ = false;
    // A volume: its name ("\\?\volume{...}\", lower case) and serial number.
    std::wstring volumeName_;
    DWORD serial_ = 0;
    bool hasSerial_ = false;
    // A whole disk: its number (\\.\PhysicalDriveN), -1 for a volume.
    long long diskNumber_ = -1;
};

}  // namespace

std::string DeviceOpenPath(const std::string& path) {
    if (!IsDriveLetterAlone(path)) return path;
    return std::string("\\\\.\\") + static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))) + ":";
}

bool IsDevicePath(const std::string& path) {
    if (IsDriveLetterAlone(path)) return true;
    if (path.size() <= 4 || (path.compare(0, 4, "\\\\.\\") != 0 && path.compare(0, 4, "\\\\?\\") != 0)) return false;
    std::string rest = path.substr(4);
    for (char& c : rest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return rest.compare(0, 11, "globalroot\\") == 0 || rest.find_first_of("\\/") == std::string::npos;
}

int ErrnoOfSystemError(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
        return ENXIO;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return ENOMEM;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_FUNCTION:
        return EINVAL;
    default:
        // ERROR_CRC, ERROR_SECTOR_NOT_FOUND, ERROR_IO_DEVICE, ERROR_NOT_READY
        // and every other failure of a read.
        return EIO;
    }
}

THandle OpenWindowsDevice(const std::string& path, unsigned long& systemError) {
    systemError = 0;
    const std::wstring wide = SystemPath(DeviceOpenPath(path));
    if (wide.empty()) {
        systemError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // A folder opens only with backup semantics, refused for want of a
    // privilege; it is no device either way.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsDevicePath(path)) {
        systemError = ERROR_DIRECTORY;
        return nullptr;
    }
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        systemError = GetLastError();
        return nullptr;
    }
    return std::make_unique<TWindowsDevice>(handle, wide);
}

THandle OpenDeviceFile(const std::string& path, int* error) {
    unsigned long systemError = 0;
    THandle device = OpenWindowsDevice(path, systemError);
    if (error) *error = device ? 0 : (systemError == ERROR_DIRECTORY ? EISDIR : ErrnoOfSystemError(systemError));
    return device;
}

THandle DeviceFromDescriptor(int fd) {
    if (fd < 0) return nullptr;
    // The device keeps a handle of its own; the descriptor is closed.
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    HANDLE own = INVALID_HANDLE_VALUE;
    const bool duplicated = handle != INVALID_HANDLE_VALUE &&
                            DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &own, 0, FALSE,
                                            DUPLICATE_SAME_ACCESS);
    _close(fd);
    if (!duplicated) return nullptr;
    return std::make_unique<TWindowsDevice>(own, std::wstring());
}

}  // namespace deruzera::platform
