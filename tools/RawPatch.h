// Edits of an unmounted image that no driver makes: a valid data length
// shorter than the real size, the encrypted flag, a zeroed boot sector.
// They give the tests the shapes real volumes have and libntfs-3g doesn't
// write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace deruzera::mkimage {

// Reads the MFT record at `offset` of `image`, undoes its update sequence,
// hands it to `edit`, and writes it back with the update sequence applied.
void PatchRecord(const std::string& image, std::int64_t offset, std::uint32_t recordSize,
                 const std::function<void(std::vector<std::uint8_t>& record)>& edit);

// The unnamed $DATA's valid data length (non-resident only).
void SetInitializedSize(std::vector<std::uint8_t>& record, std::uint64_t bytes);
// The encrypted flag on the unnamed $DATA and in $STANDARD_INFORMATION.
void SetEncrypted(std::vector<std::uint8_t>& record);
// Clears the in-use flag.
void SetNotInUse(std::vector<std::uint8_t>& record);
// Zeroes the first 512 bytes.
void ZeroBootSector(const std::string& image);

}  // namespace deruzera::mkimage
