// Directory paths read from the volume, one directory record at a time, for
// a recovery that has no scan's directory table.
#pragma once

#include <cstdint>
#include <string>

#include "Device.h"
#include "Records.h"

namespace deruzera {

// The path of directory record `n` read from the volume, following parent
// references up to the root: the drive string for the root, "*" where it
// can't be resolved. Reads each directory of the chain once.
std::string GetDirectoryPath(TDevice& device, const TVolume& volume, std::int64_t n);

}  // namespace deruzera
