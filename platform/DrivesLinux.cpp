// The drive queries on Linux. Block devices and images have no drive letters
// here, so the drive map gives them: the candidates of /sys/class/block in
// natural order take C:, D:, ... and sources named on the command line the
// letters after them. Where the disk service udisks2 runs, its block devices
// are the candidates and it names their file systems; elsewhere sysfs lists
// them and the file system comes from libblkid, or from udev's database
// where the user may not read the device. A device or image that holds
// volumes (a partition table the kernel did not split, a container, a
// BitLocker volume) gives one drive per NTFS or BitLocker volume, opened
// through the source layer.
#include "Drives.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>

#include "DriveMap.h"
#include "Locale.h"
#include "Sources.h"
#include "UDisks.h"

namespace deruzera::platform {
namespace fs = std::filesystem;

namespace {

std::mutex tableMutex;
std::map<std::string, TDriveInfo> driveTable;     // by drive string
std::map<std::string, std::string> labelTable;    // by drive string, once probed
std::map<std::string, TFileSystemProbe> listedTable;  // by drive string, as udisks2 listed it
std::map<std::string, std::string> titleTable;    // by drive string, for volume drives
std::map<std::string, TBitLockerKeys> keysTable;  // by drive string, as the user gave them
std::map<std::string, int> volumeTable;           // by drive string: the volume's number in its source

// The file system of a mapped drive: as listed, or probed now.
TFileSystemProbe DriveFileSystem(const std::string& drive, const TDriveInfo& info) {
    {
        std::lock_guard lock(tableMutex);
        const auto it = listedTable.find(drive);
        if (it != listedTable.end()) return it->second;
    }
    return ProbeFileSystem(info.Path, info.UdevEntry);
}

// The first line of a small sysfs or udev file, without its line break.
bool ReadLine(const fs::path& file, std::string& line) {
    std::ifstream in(file);
    if (!in) return false;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return true;
}

// A sysfs size file counts 512-byte sectors whatever the device's own
// sector size.
std::int64_t SysfsSize(const fs::path& dir) {
    std::string text;
    if (!ReadLine(dir / "size", text) || text.empty()) return -1;
    try {
        std::size_t used = 0;
        const long long sectors = std::stoll(text, &used);
        if (used != text.size() || sectors < 0 || sectors > INT64_MAX / 512) return -1;
        return static_cast<std::int64_t>(sectors) * 512;
    } catch (const std::exception&) {
        return -1;
    }
}

bool SysfsFlag(const fs::path& file) {
    std::string text;
    return ReadLine(file, text) && text == "1";
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Never candidates: ram disks, compressed swap in RAM, optical drives.
bool ExcludedName(const std::string& name) {
    return StartsWith(name, "ram") || StartsWith(name, "zram") || StartsWith(name, "sr");
}

bool HasPartitions(const fs::path& disk, const std::string& name) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(disk, ec)) {
        const std::string child = entry.path().filename().string();
        if (StartsWith(child, name) && fs::exists(entry.path() / "partition", ec)) return true;
    }
    return false;
}

// Removable, size and udev entry of a sysfs block device directory.
void DescribeSysfsDevice(const fs::path& dir, const std::string& udevRoot, TDriveInfo& info) {
    std::error_code ec;
    const bool partition = fs::exists(dir / "partition", ec);
    fs::path disk = dir;
    if (partition) {
        const fs::path real = fs::canonical(dir, ec);
        if (!ec) disk = real.parent_path();
    }
    info.Removable = SysfsFlag(disk / "removable");
    info.Size = SysfsSize(dir);
    std::string dev;
    if (ReadLine(dir / "dev", dev) && !dev.empty()) info.UdevEntry = udevRoot + "/b" + dev;
}

// udev's database entry of a device: "E:ID_FS_TYPE=ntfs" lines.
TFileSystemProbe ProbeUdev(const std::string& udevEntry) {
    TFileSystemProbe probe;
    if (udevEntry.empty()) return probe;
    std::ifstream in(udevEntry);
    if (!in) return probe;
    std::string line;
    bool hasType = false;
    while (std::getline(in, line)) {
        if (StartsWith(line, "E:ID_FS_TYPE=")) {
            probe.Type = line.substr(13);
            hasType = true;
        } else if (StartsWith(line, "E:ID_FS_VERSION=")) {
            probe.Version = line.substr(16);
        } else if (StartsWith(line, "E:ID_FS_LABEL=")) {
            probe.Label = line.substr(14);
        }
    }
    probe.Known = hasType;
    return probe;
}

// Whether the user may read `path` as it is, without asking anyone.
bool ReadableNow(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Maps `drive` to the volume `volume` stands for.
void MapVolume(const std::string& drive, const TVolumeDrive& volume) {
    const std::string path = volume.Info.Path;
    const int number = volume.Volume;
    MapVolumeDrive(drive, path, [path, number, drive](const TAccessOptions& access) {
        TSourceOptions options;
        options.Access = access;
        options.Snapshots = false;
        {
            std::lock_guard lock(tableMutex);
            const auto it = keysTable.find(drive);
            if (it != keysTable.end()) options.Keys = it->second;
        }
        const TOpenVolume opened = OpenVolume(path, {number, std::nullopt}, options);
        TDeviceAccess result;
        result.Path = path;
        if (opened.Device) {
            result.Device = opened.Device;
            return result;
        }
        // Access refused: said as for any device, with what the user can do.
        if (opened.Failure.End == TSourceEnd::CannotOpen && opened.Failure.Access) return *opened.Failure.Access;
        result.Failure = TAccessFailure::Source;
        result.Lines = SourceFailureLines(opened.Failure);
        return result;
    });
    std::lock_guard lock(tableMutex);
    driveTable[drive] = volume.Info;
    listedTable[drive] = volume.FileSystem;
    titleTable[drive] = volume.Title;
    volumeTable[drive] = volume.Volume;
}

void ClearTables() {
    std::lock_guard lock(tableMutex);
    driveTable.clear();
    labelTable.clear();
    listedTable.clear();
    titleTable.clear();
    keysTable.clear();
    volumeTable.clear();
}

std::string LetterOfRoot(const std::string& root) {
    if (root.size() < 2 || root[1] != ':') return {};
    return root.substr(0, 2);
}

}  // namespace

// ---- The queries ------------------------------------------------------------

TDriveQueries DriveMapQueries() {
    TDriveQueries q;
    q.LogicalDrives = [] {
        std::uint32_t mask = 0;
        for (const auto& mapped : MappedDrives()) {
            const char letter = mapped.Drive.empty() ? '\0' : mapped.Drive[0];
            if (letter >= 'A' && letter <= 'Z') mask |= 1u << (letter - 'A');
        }
        return mask;
    };
    q.DriveType = [](const std::string& root) -> unsigned {
        TDriveInfo info;
        if (!MappedDriveInfo(LetterOfRoot(root), info)) return DriveNoRootDir;
        return info.Removable ? DriveRemovable : DriveFixed;
    };
    q.VolumeFileSystem = [](const std::string& root, std::string& name) {
        const std::string drive = LetterOfRoot(root);
        TDriveInfo info;
        if (!MappedDriveInfo(drive, info)) return false;
        const TFileSystemProbe probe = DriveFileSystem(drive, info);
        {
            std::lock_guard lock(tableMutex);
            labelTable[drive] = probe.Label;
        }
        if (!probe.Known) return false;
        name = FileSystemNameOf(probe.Type, probe.Version);
        return true;
    };
    q.TotalSize = [](const std::string& root) -> std::int64_t {
        TDriveInfo info;
        if (!MappedDriveInfo(LetterOfRoot(root), info)) return -1;
        return info.Size;
    };
    return q;
}

// ---- Names and order --------------------------------------------------------

std::string FileSystemNameOf(const std::string& type, const std::string& version) {
    if (type == "ntfs") return "NTFS";
    if (type == "vfat") return version == "FAT32" ? "FAT32" : "FAT";
    return type;
}

bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            // Compare by value: skip leading zeros, then by length, then digit by digit.
            std::size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js;
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            if (ie - i != je - j) return ie - i < je - j;  // "01" after "1"
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// ---- Block devices ----------------------------------------------------------

std::vector<TDriveInfo> ListBlockDevices(const std::string& sysClassBlock, const std::string& devRoot,
                                         const std::string& udevRoot) {
    std::vector<TDriveInfo> drives;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(sysClassBlock, ec)) {
        const std::string name = entry.path().filename().string();
        if (ExcludedName(name)) continue;
        const fs::path dir = entry.path();
        std::error_code e;
        const bool partition = fs::exists(dir / "partition", e);
        if (!partition) {
            if (StartsWith(name, "loop")) {
                std::string backing;
                if (!ReadLine(dir / "loop" / "backing_file", backing) || backing.empty()) continue;
            }
            if (HasPartitions(dir, name)) continue;
        }
        TDriveInfo info;
        info.Name = name;
        info.Path = devRoot + "/" + name;
        DescribeSysfsDevice(dir, udevRoot, info);
        if (info.Size <= 0) continue;
        drives.push_back(std::move(info));
    }
    std::sort(drives.begin(), drives.end(),
              [](const TDriveInfo& x, const TDriveInfo& y) { return NaturalLess(x.Name, y.Name); });
    return drives;
}

// ---- The drive list from udisks2 ----------------------------------------

std::vector<TListedDrive> DrivesFromUDisks(const std::vector<TUDisksBlock>& blocks) {
    std::vector<TListedDrive> drives;
    for (const auto& block : blocks) {
        if (block.HintIgnore || block.Device.empty()) continue;
        if (block.IdUsage != "filesystem" && block.IdType.empty()) continue;
        if (block.Size == 0 || block.Size > static_cast<std::uint64_t>(INT64_MAX)) continue;
        TListedDrive drive;
        drive.Info.Name = fs::path(block.Device).filename().string();
        if (drive.Info.Name.empty() || ExcludedName(drive.Info.Name)) continue;
        drive.Info.Path = block.PreferredDevice.empty() ? block.Device : block.PreferredDevice;
        drive.Info.Removable = block.Removable;
        drive.Info.Size = static_cast<std::int64_t>(block.Size);
        const dev_t number = static_cast<dev_t>(block.DeviceNumber);
        if (block.DeviceNumber != 0)
            drive.Info.UdevEntry = "/run/udev/data/b" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
        drive.FileSystem.Known = true;
        drive.FileSystem.Type = block.IdType;
        drive.FileSystem.Version = block.IdVersion;
        drive.FileSystem.Label = block.IdLabel;
        drives.push_back(std::move(drive));
    }
    std::sort(drives.begin(), drives.end(), [](const TListedDrive& x, const TListedDrive& y) {
        return NaturalLess(x.Info.Name, y.Info.Name);
    });
    return drives;
}

bool ListUDisksDrives(std::vector<TListedDrive>& drives) {
    drives.clear();
    std::vector<TUDisksBlock> blocks;
    if (!UDisksBlocks(blocks).Ok) return false;
    drives = DrivesFromUDisks(blocks);
    return true;
}

TDriveInfo DescribeSource(const std::string& path) {
    TDriveInfo info;
    info.Path = path;
    info.Name = fs::path(path).filename().string();
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return info;
    if (S_ISBLK(st.st_mode)) {
        const std::string dev = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        DescribeSysfsDevice(fs::path("/sys/dev/block") / dev, "/run/udev/data", info);
    } else if (S_ISREG(st.st_mode)) {
        info.Size = static_cast<std::int64_t>(st.st_size);
    }
    return info;
}

TFileSystemProbe ProbeFileSystem(const std::string& path, const std::string& udevEntry) {
    blkid_probe pr = blkid_new_probe_from_filename(path.c_str());
    if (pr == nullptr) return ProbeUdev(udevEntry);  // not readable by this user
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_LABEL);
    TFileSystemProbe probe;
    const int rc = blkid_do_safeprobe(pr);
    if (rc == 0) {
        const char* value = nullptr;
        probe.Known = true;
        if (blkid_probe_lookup_value(pr, "TYPE", &value, nullptr) == 0 && value) probe.Type = value;
        if (blkid_probe_lookup_value(pr, "VERSION", &value, nullptr) == 0 && value) probe.Version = value;
        if (blkid_probe_lookup_value(pr, "LABEL", &value, nullptr) == 0 && value) probe.Label = value;
    } else if (rc == 1) {
        probe.Known = true;  // readable, but no file system on it
    }
    blkid_free_probe(pr);
    if (!probe.Known) return ProbeUdev(udevEntry);
    return probe;
}

// ---- The map -----------------------------------------------------------------

void MapDrives(const std::vector<TDriveInfo>& drives) {
    ClearDriveMap();
    ClearTables();
    for (const auto& info : drives) {
        const std::string drive = NextFreeDrive();
        if (drive.empty()) break;
        MapDrive(drive, info.Path);
        std::lock_guard lock(tableMutex);
        driveTable[drive] = info;
    }
}

std::vector<TVolumeDrive> VolumeDrivesOf(const std::string& path, bool removable) {
    std::vector<TVolumeDrive> drives;
    // Asking for access to every device at start would ask the user for each.
    if (!ReadableNow(path)) return drives;
    TSourceOptions options;
    options.Snapshots = false;
    const TSource source = OpenSource(path, options);
    if (source.Failure.End != TSourceEnd::Opened) return drives;
    const bool mapped = std::any_of(source.Notes.begin(), source.Notes.end(), [](const TSourceNote& n) {
        return n.Kind == TSourceNoteKind::MapfileFound || n.Kind == TSourceNoteKind::Unrescued;
    });
    // A bare volume, read as it is, stays the one drive it always was.
    if (source.Container == TContainerKind::Raw && !source.Split && !mapped && source.Volumes.size() == 1 &&
        source.Volumes[0].Scheme == TScheme::None && source.Volumes[0].FileSystem != TFileSystemKind::BitLocker)
        return drives;
    const std::string name = fs::path(path).filename().string();
    for (const TVolumeInfo& v : source.Volumes) {
        if (v.FileSystem == TFileSystemKind::Unknown) continue;
        TVolumeDrive drive;
        drive.Volume = v.Number;
        drive.Title = VolumeTitle(v, DecimalSeparator());
        drive.Info.Name = name + " volume " + std::to_string(v.Number);
        drive.Info.Path = path;
        drive.Info.Removable = removable;
        drive.Info.Size = v.Length;
        drive.FileSystem.Known = true;
        // Unlocked by its clear key, it reads as the NTFS volume inside.
        drive.FileSystem.Type = v.FileSystem == TFileSystemKind::BitLocker && !v.Unlocked ? "BitLocker" : "ntfs";
        drive.FileSystem.Label = v.Label;
        drives.push_back(std::move(drive));
    }
    return drives;
}

void MapSystemDrives() {
    struct TCandidate {
        TDriveInfo Info;
        std::optional<TFileSystemProbe> Listed;  // as udisks2 listed it
        bool Own = true;  // a drive by itself where it holds no volumes
    };
    std::vector<TCandidate> candidates;
    std::vector<TListedDrive> listed;
    const std::vector<TDriveInfo> devices = ListBlockDevices();
    if (ListUDisksDrives(listed)) {
        for (const auto& d : listed) candidates.push_back({d.Info, d.FileSystem, true});
        // What udisks2 lists no file system on may still hold volumes: a
        // whole disk whose table the kernel did not split.
        for (const TDriveInfo& device : devices)
            if (std::none_of(listed.begin(), listed.end(), [&](const TListedDrive& d) { return d.Info.Name == device.Name; }))
                candidates.push_back({device, std::nullopt, false});
    } else {
        for (const TDriveInfo& device : devices) candidates.push_back({device, std::nullopt, true});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const TCandidate& x, const TCandidate& y) { return NaturalLess(x.Info.Name, y.Info.Name); });
    ClearDriveMap();
    ClearTables();
    for (const TCandidate& c : candidates) {
        // Only where no file system is known on the device as a whole, or
        // BitLocker is: a disk of any other file system would be searched
        // for volumes at every start.
        const TFileSystemProbe probe = c.Listed ? *c.Listed : ProbeFileSystem(c.Info.Path, c.Info.UdevEntry);
        std::vector<TVolumeDrive> volumes;
        if (probe.Type.empty() || probe.Type == "BitLocker") volumes = VolumeDrivesOf(c.Info.Path, c.Info.Removable);
        for (const TVolumeDrive& volume : volumes) {
            const std::string drive = NextFreeDrive();
            if (drive.empty()) return;
            MapVolume(drive, volume);
        }
        if (!volumes.empty() || !c.Own) continue;
        const std::string drive = NextFreeDrive();
        if (drive.empty()) return;
        MapDrive(drive, c.Info.Path);
        std::lock_guard lock(tableMutex);
        driveTable[drive] = c.Info;
        if (c.Listed) listedTable[drive] = *c.Listed;
    }
}

std::vector<std::string> MapSourceDrives(const std::string& path) {
    std::vector<std::string> drives;
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(path, ec);
    {
        std::lock_guard lock(tableMutex);
        for (const auto& [drive, info] : driveTable) {
            std::error_code e;
            if (fs::weakly_canonical(info.Path, e) == wanted && !e && !ec) drives.push_back(drive);
        }
    }
    if (!drives.empty()) return drives;
    TDriveInfo info = DescribeSource(path);
    for (const TVolumeDrive& volume : VolumeDrivesOf(path, info.Removable)) {
        const std::string drive = NextFreeDrive();
        if (drive.empty()) return drives;
        MapVolume(drive, volume);
        drives.push_back(drive);
    }
    if (!drives.empty()) return drives;
    const std::string drive = NextFreeDrive();
    if (drive.empty()) return drives;
    MapDrive(drive, info.Path);
    std::lock_guard lock(tableMutex);
    driveTable[drive] = std::move(info);
    drives.push_back(drive);
    return drives;
}

std::string MapSourceDrive(const std::string& path) {
    const std::vector<std::string> drives = MapSourceDrives(path);
    return drives.empty() ? std::string() : drives.front();
}

std::string DriveTitle(const std::string& drive) {
    std::lock_guard lock(tableMutex);
    const auto it = titleTable.find(drive);
    return it == titleTable.end() ? std::string() : it->second;
}

void SetDriveKeys(const std::string& drive, const TBitLockerKeys& keys) {
    std::lock_guard lock(tableMutex);
    keysTable[drive.substr(0, 2)] = keys;
}

TSourceEnd DriveKeysEnd(const std::string& root) {
    const std::string drive = root.substr(0, 2);  // "C:" of "C:\\"
    TSourceOptions options;
    options.Snapshots = false;
    options.Labels = false;
    int number = 0;
    std::string path;
    {
        std::lock_guard lock(tableMutex);
        const auto volume = volumeTable.find(drive);
        const auto listed = listedTable.find(drive);
        const auto info = driveTable.find(drive);
        if (volume == volumeTable.end() || listed == listedTable.end() || info == driveTable.end() ||
            listed->second.Type != "BitLocker")
            return TSourceEnd::Opened;
        number = volume->second;
        path = info->second.Path;
        const auto keys = keysTable.find(drive);
        if (keys != keysTable.end()) options.Keys = keys->second;
    }
    const TSourceEnd end = OpenVolume(path, {number, std::nullopt}, options).Failure.End;
    return end == TSourceEnd::Locked || end == TSourceEnd::WrongKey || end == TSourceEnd::BadRecoveryPassword
               ? end
               : TSourceEnd::Opened;
}

bool MappedDriveInfo(const std::string& drive, TDriveInfo& info) {
    std::lock_guard lock(tableMutex);
    const auto it = driveTable.find(drive);
    if (it == driveTable.end() || DrivePath(drive) != it->second.Path) return false;
    info = it->second;
    return true;
}

std::string DriveToolTip(const std::string& drive) {
    TDriveInfo info;
    if (!MappedDriveInfo(drive, info)) return {};
    std::string label;
    bool probed = false;
    {
        std::lock_guard lock(tableMutex);
        const auto it = labelTable.find(drive);
        if (it != labelTable.end()) {
            label = it->second;
            probed = true;
        }
    }
    const std::string title = DriveTitle(drive);
    if (!title.empty()) return info.Path + "\n" + title;
    if (!probed) label = DriveFileSystem(drive, info).Label;
    return label.empty() ? info.Path : info.Path + "\nLabel: " + label;
}

}  // namespace deruzera::platform
