// The machine's drives as the window's drive list sees them: the four drive
// queries (which letters exist, their kind, file-system name and size) and,
// on Linux, the drive map that gives block devices and images their letters.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Containers.h"

namespace deruzera::platform {

// Drive kinds as the list knows them. Every other kind is left out.
inline constexpr unsigned DriveUnknown = 0;
inline constexpr unsigned DriveNoRootDir = 1;
inline constexpr unsigned DriveRemovable = 2;
inline constexpr unsigned DriveFixed = 3;

// The four queries the drive list is filled from. Each takes the root path,
// a letter followed by ":\" ("C:\"), except the mask, whose bit 0 is A:,
// bit 2 is C: and bit 25 is Z:.
struct TDriveQueries {
    std::function<std::uint32_t()> LogicalDrives;
    std::function<unsigned(const std::string& root)> DriveType;
    // The file-system name, or nothing when the volume can't be asked.
    std::function<bool(const std::string& root, std::string& name)> VolumeFileSystem;
    // Total bytes of the volume, -1 when they can't be read.
    std::function<std::int64_t(const std::string& root)> TotalSize;
};

// The queries in force (the drive map's unless replaced).
const TDriveQueries& DriveQueries();
// Replaces the queries in force; returns the previous ones.
TDriveQueries SetDriveQueries(TDriveQueries queries);
// The queries answered from the drive map below.
TDriveQueries DriveMapQueries();

// The name of the file system on drive `letter` ("C"), such as "NTFS", or ""
// when the volume can't be asked.
std::string GetFileSystemName(const std::string& letter);
// The same, telling apart a volume that can't be asked (false).
bool AskFileSystemName(const std::string& letter, std::string& name);

// ---- The drive map on Linux -------------------------------------------------

// A device or image that holds a drive letter.
struct TDriveInfo {
    std::string Name;          // "sda1", "loop0", or the image's file name
    std::string Path;          // "/dev/sda1" or the image's path
    bool Removable = false;
    std::int64_t Size = -1;    // bytes, -1 where unknown
    std::string UdevEntry;     // "/run/udev/data/b8:1", or "" for an image
};

// File-system facts of one device, from libblkid or udev's database.
struct TFileSystemProbe {
    bool Known = false;        // false: neither libblkid nor udev could say
    std::string Type;          // "ntfs", "vfat", "ext4", ...
    std::string Version;       // "FAT32", "FAT16", ...
    std::string Label;
};

// The name the drive list shows for a probed file system: ntfs is "NTFS",
// vfat "FAT32" or "FAT" by version, anything else its own name.
std::string FileSystemNameOf(const std::string& type, const std::string& version);

// Orders "sda2" before "sda10": digit runs compare by value.
bool NaturalLess(const std::string& a, const std::string& b);

// The block devices under `sysClassBlock` that may hold a volume: partitions,
// whole disks without partitions, loop devices with a backing file and
// device-mapper volumes; never ram, zram or optical devices, nor devices of
// size 0. In natural order of their names. `devRoot` and `udevRoot` prefix
// the device paths and udev entries given back.
std::vector<TDriveInfo> ListBlockDevices(const std::string& sysClassBlock = "/sys/class/block",
                                         const std::string& devRoot = "/dev",
                                         const std::string& udevRoot = "/run/udev/data");

// ---- The drive list from udisks2 ------------------------------------------

struct TUDisksBlock;

// A drive as udisks2 describes it, with its file system.
struct TListedDrive {
    TDriveInfo Info;
    TFileSystemProbe FileSystem;
};

// The drives among udisks2's block objects: those with a file system
// (IdUsage "filesystem", or any IdType), not hinted to be ignored, under the
// same rules as ListBlockDevices() (never ram, zram or optical devices, nor
// devices of size 0), in natural order of their names. Removable where
// their drive is removable or has removable media; loop devices have no
// drive.
std::vector<TListedDrive> DrivesFromUDisks(const std::vector<TUDisksBlock>& blocks);

// DrivesFromUDisks() of what udisks2 on the system bus knows; false when no
// udisks2 answers.
bool ListUDisksDrives(std::vector<TListedDrive>& drives);

// An image file or device node named by the user, as a drive. Size from the
// file or from sysfs for a device node; fixed unless sysfs says removable.
TDriveInfo DescribeSource(const std::string& path);

// Asks libblkid about `path`; where the user may not read it, udev's
// database entry answers instead.
TFileSystemProbe ProbeFileSystem(const std::string& path, const std::string& udevEntry);

// ---- One drive per volume -----------------------------------------------------

// A drive that is one volume of a source: a partition of a whole disk or of
// a disk image, a volume in a container (E01, VHD, VHDX, VMDK, qcow2, a raw
// image in pieces, a rescued image with its map), a BitLocker volume.
struct TVolumeDrive {
    TDriveInfo Info;               // Path: the source; Size: the volume's length; Name: "sdb volume 2"
    int Volume = 0;                // from 1, as `deruzera-cli list` numbers them
    std::string Title;             // VolumeTitle(): "Volume 2, partition 5, 24 Mb, "Beta""
    TFileSystemProbe FileSystem;   // Type "ntfs" or "BitLocker", and the NTFS label
};

// The drives the source at `path` contributes, one per NTFS or BitLocker
// volume in the order `list` numbers them: where it holds a partition table
// (or volumes found by searching it), lies in a container, or is a
// BitLocker volume. None where it is a bare volume read as it is, holds no
// NTFS or BitLocker volume, or can't be read without asking the user for
// access (the source is then one drive, as a device or image always was).
std::vector<TVolumeDrive> VolumeDrivesOf(const std::string& path, bool removable = false);

// Gives letters from C: on to `drives` in order (the map is cleared first).
void MapDrives(const std::vector<TDriveInfo>& drives);
// Maps the block devices of this machine, from C: on, in natural order of
// their names: those udisks2 lists where it answers (with the file systems
// it knows, which a user who may not read the devices still sees), else
// those of ListBlockDevices(). A device the user may read that holds volumes
// (VolumeDrivesOf: a whole disk with a table the kernel did not split, a
// BitLocker partition) gives one drive per NTFS or BitLocker volume, on
// consecutive letters, in its place; so does a whole disk udisks2 lists no
// file system on.
void MapSystemDrives();
// Maps a source named on the command line to the next free letters, unless
// it is mapped already: one letter per volume it holds (VolumeDrivesOf),
// else one for itself. Its drive strings in order, or none when no letter
// is left.
std::vector<std::string> MapSourceDrives(const std::string& path);
// The first of MapSourceDrives(), or "".
std::string MapSourceDrive(const std::string& path);

// How a volume drive is named among the others (VolumeTitle()); "" for a
// device or image read as it is.
std::string DriveTitle(const std::string& drive);
// The keys that unlock drive `drive` ("C:" or "C:\\") where it is a BitLocker volume, used
// by every later open of it (OpenMappedDrive).
void SetDriveKeys(const std::string& drive, const TBitLockerKeys& keys);
// Whether the keys given so far unlock drive `drive` ("C:" or "C:\\"): Opened where they do
// or the drive is no locked BitLocker volume (or can't be read: the scan
// says why); Locked where none were given; WrongKey or BadRecoveryPassword
// where those given don't unlock it. Tries them (a BitLocker unlock: about
// half a second).
TSourceEnd DriveKeysEnd(const std::string& drive);

// What the map knows about `drive` ("C:"); false when it is unmapped.
bool MappedDriveInfo(const std::string& drive, TDriveInfo& info);

// The tooltip of a drive's row: its device path and, where it has one, its
// label; for a volume drive, its source's path and its title.
std::string DriveToolTip(const std::string& drive);

}  // namespace deruzera::platform
