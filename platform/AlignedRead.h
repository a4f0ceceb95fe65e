// Reads of a device that takes only whole sectors: offsets and lengths that
// are multiples of its sector size, into memory aligned to it (Windows'
// volume and disk handles). Reads that aren't go through a bounce buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace deruzera::platform {

// Reads `count` whole sectors' bytes at `offset` into `buffer`, all three
// aligned to the sector size. Returns the bytes read (whole sectors; fewer
// at the end of the device or where a later sector fails), 0 at or past the
// end, or a negative errno value when the first sector can't be read.
using TSectorRead = std::function<std::int64_t(std::int64_t offset, void* buffer, std::size_t count)>;

// Reads up to `count` bytes at any `offset` into any `buffer` through
// `read`, which is called with aligned requests only, and keeps reading
// until `count` bytes are in or the device ends or fails. `sectorSize` is
// a power of two. Returns the bytes read, 0 at or past the end (and for a
// negative offset), or a negative errno value when the byte at `offset`
// itself can't be read: as TDevice::ReadAt. A request `read` fails as a
// whole is narrowed down as ReadNarrowing() does.
std::int64_t ReadAligned(const TSectorRead& read, std::uint32_t sectorSize, std::int64_t offset, void* buffer,
                         std::size_t count);

// One request through `read`, which may fail a request as a whole where any
// part of it can't be read (Windows' ReadFile gives no count then): such a
// request is read again in pieces, and the piece that fails unit by unit
// (`unit` bytes, a sector), so that the bytes before the first unit that
// can't be read come back as a short read; pieces and units lie on
// multiples of their size. Returns the bytes read, 0 at the end, or `read`'s
// error where the byte at `offset` fails.
std::int64_t ReadNarrowing(const TSectorRead& read, std::uint32_t unit, std::int64_t offset, void* buffer,
                           std::size_t count);

}  // namespace deruzera::platform
