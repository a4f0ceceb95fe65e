// A device or image the volume reader reads: read at a 64-bit offset and
// size. Nothing here writes. The front ends open devices (a path, or a
// descriptor another process handed over, or a container's library); an
// open volume shares the device with the front end that opened it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Log.h"

namespace deruzera {

class TDevice {
public:
    virtual ~TDevice() = default;
    // Reads up to `count` bytes at `offset`. Returns the bytes read, which
    // may be fewer than asked before the end of the device too (the caller
    // goes on from there: a short read never means zeros); 0 at or past the
    // end; a negative errno value when the byte at `offset` itself can't be
    // read. A negative offset reads nothing. May be called from several
    // threads at once: the scan reads ahead on a thread of its own while
    // another reads records and content.
    virtual std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) = 0;
    // Size in bytes, or -1 when unknown.
    virtual std::int64_t Size() const = 0;
    // True when writing to `path` would write over this device or the file
    // it reads: the same file, or the same block device under another name.
    virtual bool IsSource(const std::string& /*path*/) const { return false; }
    // True when `path` lies on a file system held by this device, so that
    // writing there may overwrite what is still to be recovered.
    virtual bool HoldsPath(const std::string& /*path*/) const { return false; }
    // Whether the device knows, before reading, of areas it can't give (a
    // rescued image's map); and how many bytes of [offset, offset + length)
    // lie in them.
    virtual bool KnowsUnread() const { return false; }
    virtual std::uint64_t KnownUnread(std::int64_t /*offset*/, std::uint64_t /*length*/) const { return 0; }
    // The length of read the device serves best where it is longer than a
    // reader's own: a compressed image inflates a long read on two cores at
    // once. 0 where any length serves.
    virtual std::size_t PreferredReadBytes() const { return 0; }
};

using THandle = std::unique_ptr<TDevice>;

// A stretch of a device, in bytes.
struct TByteRange {
    std::int64_t Offset = 0;
    std::uint64_t Length = 0;
};

// Why a device could not be opened for reading.
enum class TAccessFailure {
    None,
    // No device or image stands for the drive string.
    Unmapped,
    // The user may not read it, and there is nobody to ask: a file, or a
    // block device while the disk service (udisks2) doesn't run.
    PermissionDenied,
    // The disk service asked polkit and polkit refused, or the user
    // dismissed the password prompt.
    NotAuthorized,
    // No such file or device, or the disk service doesn't know the device.
    NoSuchDevice,
    // Windows refused a drive to a program that runs without an
    // administrator's rights.
    NotElevated,
    // Anything else: see Errno, the disk service's error, or the system's
    // message.
    Other,
    // The source (a container, a partition table, a locked volume) gave no
    // volume: its layer made the lines that say why (Lines).
    Source,
};

// A device opened for reading, or why it could not be.
struct TDeviceAccess {
    std::shared_ptr<TDevice> Device;   // null unless Failure is None
    TAccessFailure Failure = TAccessFailure::None;
    std::string Path;                  // the node or image asked for
    int Errno = 0;                     // errno of the plain open (or of the call to the service)
    std::string ServiceError;          // the disk service's error name, where it was asked
    std::string ServiceMessage;
    bool BlockDevice = false;          // the path names a block device
    bool ThroughService = false;       // the descriptor came from the disk service
    std::string SystemMessage;         // the system's own words where Errno says less (Windows)
    std::vector<TLogLine> Lines;       // Source: the lines its layer made
};

// How a front end opens the device of a drive string.
using TDeviceOpener = std::function<TDeviceAccess(const std::string& drive)>;

// A device over bytes held in memory (tests, fuzzing). Reads clamp at the end.
THandle MemoryDevice(std::string bytes);

}  // namespace deruzera
