// The deep scan's model of what it found: the records put into volumes,
// each volume's geometry worked out from what its records and boot sectors
// say, and the volume that opens normally at the same place, where one
// does. Part of the deep scan.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Bitmap.h"
#include "DeepFind.h"
#include "Records.h"

namespace deruzera {
class TNtfsVolume;
}

namespace deruzera::deep {

// How the place of a volume was worked out.
enum class TAnchor : std::uint8_t {
    None,         // nothing said: taken as the start of the device
    Record0,      // $MFT's own record, where its runs say the MFT begins
    Boot,         // a boot sector at the volume's start
    MirrorCopy,   // the copy of $MFT's record in $MFTMirr, where $MFTMirr's runs say it lies
    BackupBoot,   // the copy of the boot sector in the volume's last sector
};

// The records of one volume.
struct TGroup {
    std::int64_t Base = 0;          // the device offset of its cluster 0
    std::uint32_t RecordSize = 0;
    std::uint32_t Cluster = 0;      // the cluster size of most of its files (each file's own where it shows one)
    TAnchor Anchor = TAnchor::None;
    std::int64_t Bytes = 0;         // its size as far as known: a boot sector's, else to the device's end
    std::vector<std::size_t> Records;  // into TFinds::Records, by record number, one record a number
    // The volume that opens normally at Base (its boot sector, its MFT),
    // whose records are its own where its MFT places them; null where none
    // opens there.
    std::shared_ptr<TNtfsVolume> Live;
    // Where none opens: the volume's own bitmap, from its record 6 as found.
    std::shared_ptr<TClusterBitmap> OwnBitmap;
};

// Sorts the records found into volumes: each volume is a place (where its
// cluster 0 lies) and a record size. The places come from $MFT's records
// (at the MFT's start, or copied in $MFTMirr) and from boot sectors (or
// their backups): each says where the MFT's extents lie, and the place that
// explains the most records found where their numbers put them wins them.
// Records no place explains join the nearest volume before them of their
// record size, or a volume taken to begin where the device does. Volumes in
// order of Base, then record size; at most MaxGroups (the records of the
// rest are left out).
std::vector<TGroup> GroupRecords(const TFinds& finds, std::int64_t deviceSize);

// More volumes than any disk holds come from a pattern, not from volumes.
inline constexpr std::size_t MaxGroups = 1024;

// The record of `group` with number `number`, or null.
const TRecordFound* RecordOf(const TFinds& finds, const TGroup& group, std::int64_t number);

// The geometry a file of `group` with cluster size `cluster` is read with,
// as drive `drive`: Base is cluster 0 of the device it is read through.
TVolume GeometryOf(const TGroup& group, std::uint32_t cluster, const std::string& drive);

}  // namespace deruzera::deep
