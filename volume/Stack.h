// Devices made of other devices: a partition as a stretch of its disk, a
// raw image split in pieces read as one, and an image whose map says which
// stretches were never rescued. Each holds the devices below it and reads
// through them; none keeps a position, so all may be read from several
// threads at once where the devices below may.
#pragma once

#include <memory>
#include <vector>

#include "Device.h"
#include "Mapfile.h"

namespace deruzera {

// `length` bytes of `below` from `start` on (a partition of a disk). Reads
// past the slice's end, or past the end of `below`, give 0.
std::shared_ptr<TDevice> SliceDevice(std::shared_ptr<TDevice> below, std::int64_t start, std::int64_t length);

// The pieces one after another, each as long as its size (all must be
// known, >= 0). Null where a size is unknown.
std::shared_ptr<TDevice> ConcatDevice(std::vector<std::shared_ptr<TDevice>> pieces);

// `image` where `map` says it was rescued; every byte the map leaves out or
// marks as not rescued reads as an error (-EIO), with a short read up to
// where such a stretch begins.
std::shared_ptr<TDevice> RescuedDevice(std::shared_ptr<TDevice> image, const TRescueMap& map);

}  // namespace deruzera
