// A device or image the volume reader reads: read at a 64-bit offset and
// size. Nothing here writes. The front ends open devices (a path, or a
// descriptor another process handed over) and own them; the volume reader
// only borrows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace deruzera {

class TDevice {
public:
    virtual ~TDevice() = default;
    // Reads up to `count` bytes at `offset`, looping over short reads. Returns
    // the bytes read (fewer at the end of the device, 0 past it), or a
    // negative errno value when the device fails before any byte was read.
    // A negative offset reads nothing.
    virtual std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) = 0;
    // Size in bytes, or -1 when unknown.
    virtual std::int64_t Size() const = 0;
    // True when writing to `path` would write over this device or the file
    // it reads: the same file, or the same block device under another name.
    virtual bool IsSource(const std::string& /*path*/) const { return false; }
    // True when `path` lies on a file system held by this device, so that
    // writing there may overwrite what is still to be recovered.
    virtual bool HoldsPath(const std::string& /*path*/) const { return false; }
};

using THandle = std::unique_ptr<TDevice>;

// A device over bytes held in memory (tests, fuzzing). Reads clamp at the end.
THandle MemoryDevice(std::string bytes);

}  // namespace deruzera
