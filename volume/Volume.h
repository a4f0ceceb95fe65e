// An NTFS volume opened for reading, as one value the caller holds: the
// device, the geometry from the boot sector, the MFT's map and system
// records, and what later calls learn and share about the volume (the names
// and parents of its directories, the pages of its cluster bitmap, who holds
// the clusters of overwritten deleted files). A scan fills the directory
// table and the holders; a recovery without a scan reads only the directory
// records its path needs. Scan, plan, recovery and batch all take it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "Bitmap.h"
#include "Device.h"
#include "Layout.h"
#include "Log.h"
#include "Records.h"

namespace deruzera {

class TNtfsVolume {
public:
    // Reads the boot sector (falling back on its backup copy), records 0 to
    // 15 and the MFT's map from `device`, as drive `drive` ("C:"). The lines
    // of the stages it passes go to `log` where one is given ("This is a
    // NTFS disk", and the line about the backup). Null where it can't be
    // opened, with the end and its facts in `failure`.
    static std::shared_ptr<TNtfsVolume> Open(std::shared_ptr<TDevice> device, const std::string& drive, TLogSink* log,
                                             TOpenFailure& failure);
    // The same over a device the caller keeps alive as long as the volume.
    static std::shared_ptr<TNtfsVolume> Open(TDevice& device, const std::string& drive, TLogSink* log,
                                             TOpenFailure& failure);

    // A volume whose geometry is known without reading its boot sector:
    // one a search of the source worked out, or a list made elsewhere. The
    // device may be null where nothing is to be read.
    TNtfsVolume(std::shared_ptr<TDevice> device, TVolume geometry);

    TDevice& Device() const { return *device_; }
    const std::shared_ptr<TDevice>& SharedDevice() const { return device_; }
    // Geometry, MFT map, and the drive string the paths begin with.
    const TVolume& Geometry() const { return geometry_; }
    const std::string& Drive() const { return geometry_.CurrentDrive; }
    // Records 0 to 15 as read at the open, not fixed up.
    TBytes SystemRecords() const { return systemRecords_; }

    // The cluster bitmap, its pages read once each as asked and kept; null
    // where $Bitmap can't be used. May be used from several threads.
    TClusterBitmap* Bitmap();

    // A snapshot of a volume (a shadow copy) knows which one it is: its
    // number, from 1, oldest first, and its creation time (NTFS time, UTC).
    // Number 0: the live volume.
    struct TSnapshotMark {
        std::uint16_t Number = 0;
        std::uint64_t Created = 0;
    };
    const TSnapshotMark& Snapshot() const { return snapshot_; }
    void MarkSnapshot(TSnapshotMark mark) { snapshot_ = mark; }

    // The directories a scan saw: each one's name and parent.
    const TDirectoryTable& Directories() const { return directories_; }
    TDirectoryTable& Directories() { return directories_; }
    // Whether a scan walked the whole MFT, so that the table is complete.
    bool Scanned() const { return scanned_; }
    void SetScanned() { scanned_ = true; }
    // The live files that hold clusters of overwritten deleted files, as the
    // scan named them.
    const TOverwriters& Overwriters() const { return overwriters_; }
    TOverwriters& Overwriters() { return overwriters_; }

    // The path of directory `record` without a trailing backslash: the drive
    // for the root, "*" where it can't be resolved. After a scan from the
    // directory table it built; before, from the directory records on the
    // volume, each read once and kept. May be used from several threads.
    std::string DirectoryPath(std::int64_t record);

private:
    TNtfsVolume() = default;
    // A directory's name and parent as read from its record; nothing where
    // the record is no directory or can't be read.
    std::optional<std::pair<std::string, std::int64_t>> ReadDirectory(std::int64_t record);

    std::shared_ptr<TDevice> device_;
    TVolume geometry_;
    TDynamicCharArray systemRecords_;
    TDirectoryTable directories_;
    TOverwriters overwriters_;
    bool scanned_ = false;
    TSnapshotMark snapshot_;

    std::once_flag bitmapOnce_;
    std::unique_ptr<TClusterBitmap> bitmap_;

    // Directories read from the volume for paths without a scan.
    std::mutex readMutex_;
    std::unordered_map<std::int64_t, std::optional<std::pair<std::string, std::int64_t>>> read_;
};

}  // namespace deruzera
