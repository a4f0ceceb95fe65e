// The volume's geometry from its boot sector, where MFT records lie, and the
// reads of records through the MFT's own runs.
#pragma once

#include <cstdint>
#include <string>

#include "Device.h"
#include "Log.h"
#include "Records.h"

namespace deruzera {

enum class TGeometryEnd { Accepted, NotNtfs, Unsupported, ReadError };

// Reads and checks the boot sector at `at` (0, or the backup copy in the
// volume's last sector) and fills the geometry of `volume` on acceptance;
// `volume` is left as it was otherwise. `error` gets the errno of a failed read.
TGeometryEnd ReadVolumeGeometry(TDevice& device, TVolume& volume, std::int64_t at = 0, int* error = nullptr);

// Byte offset of MFT record N on the volume, through the MFT's own runs
// (contiguous from MFTOffset where there are none). -1 where N lies outside
// the MFT or the offset doesn't fit.
std::int64_t FileRecordOffset(const TVolume& volume, std::int64_t n);

// Reads `count` bytes of the MFT from MFT byte `mftByte` on, through its
// runs. Bytes that no run holds, or that can't be read, come out as zeros.
// Returns 0, or the errno of the first failed read.
int ReadMftBytes(TDevice& device, const TVolume& volume, std::int64_t mftByte, std::uint8_t* buffer, std::size_t count);

// Record N into `record` (resized to FileRecordSize, zeros where nothing
// could be read). Returns 0, or the errno of a failed read.
int ReadFileRecord(TDevice& device, const TVolume& volume, std::int64_t n, TDynamicCharArray& record);

// Reads the boot sector (falling back on its backup copy), the system
// records 0 to 15 and the MFT's runs into `volume`. The lines of the stages
// it passes go to `log` when one is given ("This is a NTFS disk", and the
// line about the backup); the end is returned, with the failure's details in
// `failure`. The system records as read go to `systemRecords` where given.
TScanEnd LoadVolume(TDevice& device, const std::string& drive, TVolume& volume, TLogSink* log,
                    TOpenFailure& failure, TDynamicCharArray* systemRecords = nullptr);

}  // namespace deruzera
