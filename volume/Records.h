// Record types shared by the volume reader and its front ends, and the
// engine-wide values that one scan leaves for path resolution and recovery.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace deruzera {

// A growable array of bytes, zero-filled when made. Carries record buffers
// and attribute copies.
using TDynamicCharArray = std::vector<std::uint8_t>;

// One found deleted file.
struct TFoundFiles {
    std::int64_t RecordOffset = 0;  // byte offset of the file record on the volume
    std::string FileName;           // UTF-8
    std::string FilePath;           // parent directory path followed by "\"
    std::int64_t FileSize = 0;
    bool Deleted = false;
    std::string Created;            // "dd.mm.yy hh:mm", local time
    std::string Modified;
};

// The list a scan fills. A deque, so that growing it never copies the
// entries already found (peak memory stays near the list's own size).
using TFoundFileList = std::deque<TFoundFiles>;

// One extent of the MFT: `Length` clusters from cluster `Lcn`, holding the
// MFT's clusters from `Vcn` on.
struct TMftRun {
    std::int64_t Vcn = 0;
    std::int64_t Lcn = 0;
    std::int64_t Length = 0;
};

// Everything that reading one volume needs: the drive, the geometry from its
// boot sector and the MFT's extent from record 0. A scan builds a new one and
// puts it in force (`Volume`) only when it begins listing, so a scan that is
// refused leaves the previous results readable.
struct TVolume {
    std::string CurrentDrive;
    std::uint16_t BytesPerSector = 0;
    std::uint16_t SectorsPerCluster = 0;
    std::uint32_t BytesPerCluster = 0;   // 32 bits: 64 KiB clusters and above fit
    std::uint32_t FileRecordSize = 0;
    std::int64_t MFTOffset = 0;          // byte offset of MFT record 0
    std::vector<TMftRun> MFTRuns;        // empty: the MFT is taken as contiguous from MFTOffset
    std::vector<TMftRun> MFTRunsByLcn;   // the same runs by volume position, to map offsets back
    std::int64_t MFTClusters = 0;
    std::int32_t RecordCount = 0;
};

// The volume in force: the one whose results are listed.
extern TVolume Volume;

// Directory paths by MFT record number: "" not resolved yet, "*" can't be
// resolved, otherwise the path without a trailing backslash.
extern std::vector<std::string> PathCache;

}  // namespace deruzera
