// Sources as stacks of devices: a file or block device, recognised by its
// bytes (never its name), read as the container it is (E01, VHD/VHDX, VMDK,
// qcow, a raw image split in pieces, a rescued image with its ddrescue
// map), then its partition table, then its volumes (BitLocker unlocked,
// shadow copies as volumes of their own). The front ends list the volumes
// and open the one chosen as the device the volume reader reads.
//
//   TSource source = OpenSource(path, options);        // list
//   TOpenVolume v = OpenVolume(source, {volume, snapshot}, options.Keys);
//   v.Device -> ScanDrive / PlanRecovery / ...
//
// Every end is a value (TSourceFailure, TSourceNote) whose lines come from
// SourceFailureLines and SourceNoteLine.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Containers.h"
#include "platform/DeviceAccess.h"
#include "platform/SourceEnds.h"
#include "volume/Identify.h"
#include "volume/Scan.h"
#include "volume/Snapshots.h"

namespace deruzera::platform {

enum class TScheme : std::uint8_t { None, Mbr, Gpt, Found };
// "none", "mbr", "gpt", "found".
const char* SchemeName(TScheme scheme);

struct TSnapshotInfo {
    int Number = 0;            // from 1, oldest first
    std::uint64_t Created = 0; // NTFS time, UTC
};

// One volume of a source, as `deruzera-cli list` shows it.
struct TVolumeInfo {
    int Number = 0;              // from 1, in order of start on the source
    std::int64_t Start = 0;      // bytes from the start of the disk (inside its container)
    std::int64_t Length = 0;     // bytes, as the table gives it (a bare volume: the whole source)
    TScheme Scheme = TScheme::None;
    int Partition = 0;           // the table's own number: MBR 1-4 primary, 5.. logical; GPT entry; 0 otherwise
    std::string Type;            // "0x07", a GPT type GUID, or ""
    std::string Name;            // the GPT entry's name, or ""
    TFileSystemKind FileSystem = TFileSystemKind::Unknown;
    bool Unlocked = false;       // a BitLocker volume the keys given (or its clear key) unlock: Label, Serial
                                 // and Snapshots are those of the NTFS volume inside
    std::string Label;
    bool HasSerial = false;
    std::uint64_t Serial = 0;    // SerialText() writes it
    std::vector<TSnapshotInfo> Snapshots;
    // What kept the volume from being looked into (BitLocker locked or
    // refusing the key, shadow copies unreadable); End Opened where nothing.
    TSourceFailure Problem;
};

struct TSourceOptions {
    // A ddrescue map given by the user; without one, SOURCE.map or
    // SOURCE.mapfile beside a raw image is used where it is one.
    std::optional<std::string> Mapfile;
    TBitLockerKeys Keys;
    // Looks for shadow copies in every NTFS volume (list does; opening a
    // volume for a scan needs only the chosen one's).
    bool Snapshots = true;
    // Reads each NTFS volume's label from its MFT (list does; a volume
    // opened to be scanned is told by its boot sector alone, so that the
    // scan is the only reader of its MFT).
    bool Labels = true;
    TAccessOptions Access;       // how a device the user may not read is asked for
    // Volumes no partition table lists are searched for in every sector of
    // the stretches no partition covers, not only where partitioning tools
    // put them (SearchNtfsVolumes); that reads those stretches whole, with
    // SearchProgress after each chunk.
    bool SearchEverySector = false;
    std::function<void(std::uint64_t done, std::uint64_t total)> SearchProgress;
};

// An open source: the device stack down to its disk, and its volumes.
struct TSource {
    TSourceFailure Failure;                 // End Opened where the source could be opened
    std::string Path;
    TContainerKind Container = TContainerKind::Raw;
    bool Split = false;                     // a raw image in numbered pieces
    std::shared_ptr<TDevice> Disk;          // the bytes the partition table is read from
    std::uint32_t SectorSize = 512;
    std::vector<TVolumeInfo> Volumes;       // in order of Number
    std::vector<TSourceNote> Notes;         // in the order met
    // The device of each volume, by index into Volumes: its stretch of the
    // disk, or the unlocked volume where BitLocker was unlocked.
    std::vector<std::shared_ptr<TDevice>> Devices;
};

// Opens `path` and finds its volumes. Never throws for what a file holds.
TSource OpenSource(const std::string& path, const TSourceOptions& options = {});

struct TVolumeChoice {
    std::optional<int> Volume;    // from 1; none: the only NTFS (or BitLocker) volume
    std::optional<int> Snapshot;  // from 1, oldest first; none: the live volume
};

struct TOpenVolume {
    TSourceFailure Failure;             // End Opened on success
    std::shared_ptr<TDevice> Device;    // what the volume reader reads: the volume, unlocked, or its snapshot
    TVolumeInfo Info;                   // the volume chosen (where one was)
    int Snapshot = 0;                   // 0: the live volume
    std::uint64_t SnapshotCreated = 0;  // its creation time (NTFS time, UTC)
    std::vector<TSourceNote> Notes;     // the source's notes, to be shown before the scan's lines
};

// The volume `choice` names in an open source: the one asked for, or where
// none is, the only NTFS or BitLocker volume (a source holding one volume
// of any kind gives it, so that the scan says what it is). A BitLocker
// volume is unlocked with `keys`.
TOpenVolume OpenVolume(const TSource& source, const TVolumeChoice& choice, const TBitLockerKeys& keys);
// The same from a path: OpenSource, then the above.
TOpenVolume OpenVolume(const std::string& path, const TVolumeChoice& choice, const TSourceOptions& options = {});

// How the window names a volume among others: "Volume 2, partition 5,
// 24 Mb, BitLocker, "Alpha"" (the size with `decimalSeparator`).
std::string VolumeTitle(const TVolumeInfo& volume, const std::string& decimalSeparator = ".");

// An NTFS time as ISO-8601 UTC: "2013-12-03T06:35:09Z".
std::string IsoUtc(std::uint64_t fileTime);

// ---- A scan with snapshots ---------------------------------------------------------

// The shadow copies of the volume on `volume` (a live volume's device,
// unlocked where it is BitLocker) as a scan with snapshots opens them,
// oldest first; `failure` is SnapshotsFailed where libvshadow can't read
// what it found. None is no failure.
std::vector<TSnapshotSource> SnapshotSources(const std::shared_ptr<TDevice>& volume, TSourceFailure& failure);

struct TSnapshotsScanOutcome {
    TScanOutcome Live;                    // the live volume's scan, as ScanDrive ends it
    TSourceFailure Snapshots;             // End Opened, or why its snapshots could not be listed
    std::vector<TSnapshotScan> Scans;     // newest first, as scanned
    // The live scan and every snapshot's completed, and the snapshots were listed.
    bool Completed() const;
};

// The scan of `drive` with its snapshots, as the window (its check box) and
// the companion (--with-snapshots) run it: the live volume as ScanDrive
// scans it, then, where it completed, each snapshot of its device for the
// files the live volume no longer has (volume/Snapshots.h says which),
// newest first. The sink gets the live volume's files, then each
// snapshot's (TFoundFiles::Snapshot set, batches whose Volume is the
// snapshot's); the lines of every step, "Drive C:\ holds no snapshots"
// where it holds none, and the source layer's line where they can't be
// listed. `options` apply to the live scan.
TSnapshotsScanOutcome ScanDriveWithSnapshots(const std::string& drive, const TDeviceOpener& open, TScanSink& sink,
                                             const std::atomic<bool>& abort, TScanOptions options = {});

}  // namespace deruzera::platform
