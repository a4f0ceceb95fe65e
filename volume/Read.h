// Reads that never pass off unread bytes as data: short reads are gone on
// from, and where the device fails, the failure is narrowed down to the
// sectors that can't be read, so one bad sector costs one sector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Device.h"

namespace deruzera {

// The unit a failing read is narrowed down to, aligned on the device: a
// sector of the smallest size disks have.
inline constexpr std::int64_t ReadSector = 512;

// What a careful read could not give.
struct TReadGaps {
    std::uint64_t Bytes = 0;  // bytes the device failed to give (zeros in the buffer)
    std::int64_t First = -1;  // device offset of the first of them
    int Error = 0;            // errno of the first failure
    std::uint64_t PastEnd = 0;  // bytes past the end of the device (zeros, no failure)
    bool operator==(const TReadGaps&) const = default;
};

// A stretch of the device that could not be read.
struct TUnreadRange {
    std::int64_t Offset = 0;
    std::uint64_t Length = 0;
};

// Reads all `count` bytes at `offset` into `buffer`, going on after short
// reads; false where the device ends or fails first (`error`, where given,
// gets the failure's errno). For headers and tables that are whole or of
// no use.
bool ReadExactly(TDevice& device, std::int64_t offset, void* buffer, std::size_t count, int* error = nullptr);

// Reads `count` bytes at `offset` into `buffer`. Where the device fails, each
// sector it can't give is zeros in `buffer` and counted (and, where `ranges`
// is given, added to it, touching stretches joined); every other byte is the
// device's. Bytes past the device's end are zeros, counted apart.
TReadGaps ReadCarefully(TDevice& device, std::int64_t offset, void* buffer, std::size_t count,
                        std::vector<TUnreadRange>* ranges = nullptr);

}  // namespace deruzera
