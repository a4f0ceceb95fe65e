// The four raw operations the volume reader needs: open read-only, read at a
// 64-bit offset, size, close (the destructor). Nothing here writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace deruzera {

class TDevice {
public:
    virtual ~TDevice() = default;
    // Reads up to `count` bytes at `offset`, looping over short reads. Returns
    // the bytes read (fewer at the end of the device, 0 past it), or -1 when
    // the device fails. A negative offset reads nothing.
    virtual std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) = 0;
    // Size in bytes, or -1 when unknown.
    virtual std::int64_t Size() const = 0;
};

using THandle = std::unique_ptr<TDevice>;

// A device over bytes held in memory (tests, fuzzing). Reads clamp at the end.
THandle MemoryDevice(std::string bytes);

// How a drive string becomes a device. The front ends install the platform's
// drive map here; tests may install their own.
using TVolumeOpener = std::function<THandle(const std::string& drive)>;
TVolumeOpener SetVolumeOpener(TVolumeOpener opener);

// Opens the device mapped to `drive` read-only; null on failure.
THandle OpenVolume(const std::string& drive);

}  // namespace deruzera
