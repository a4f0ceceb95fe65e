// Record fixup: the update sequence that guards each 512-byte stretch of an
// MFT record, checked and undone; and the failure every record check throws.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>

namespace deruzera {

// A record or structure that fails its checks. Carries the message text.
class ERecordError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A run list that names the same clusters more than once.
class ERepeatedClusters : public ERecordError {
public:
    using ERecordError::ERecordError;
};

// NTFS protects each 512-byte stretch of a record, whatever the sector size.
inline constexpr std::uint32_t UpdateSequenceStride = 512;

// Checks the "FILE" signature and the record header (update sequence count
// 1 + size / 512 at an even offset inside the header's room, the first
// attribute and the bytes in use inside the record) and undoes the update
// sequence in place. Throws ERecordError with the system's message on
// rejection.
void FixupRecord(std::span<std::uint8_t> record);

}  // namespace deruzera
