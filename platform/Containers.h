// Disk images in the field's container formats, read through the libyal
// libraries, and the layers inside a volume (shadow copies, BitLocker).
// Each open gives a device (thread-safe: reads go one at a time through the
// library's handle) or a failure carrying the library's own reason.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SourceEnds.h"
#include "volume/Device.h"

namespace deruzera::platform {

struct TOpened {
    std::shared_ptr<TDevice> Device;  // null on failure
    TSourceFailure Failure;           // End is Opened on success
};

enum class TContainerKind : std::uint8_t { Raw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// The container a file's bytes are, from its first bytes (`head`, 512 or
// more) and its last 512 (`tail`, where a fixed VHD keeps its footer; may
// be null). Never from the file's name.
TContainerKind ContainerOf(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail);
const char* LibraryOf(TContainerKind kind);

// Opens an image file as its container says. `kind` must not be Raw.
TOpened OpenContainer(const std::string& path, TContainerKind kind);

// E01 and Ex01, with every segment file of the set (found from the first
// one's name as libewf names them). A chunk whose checksum fails reads as
// an error, not as its bytes.
TOpened OpenEwf(const std::string& path);
// VHD (fixed, dynamic, differencing) and VHDX. A differencing image's
// parent is looked for beside it, by the file name the image records, and
// so on up the chain.
TOpened OpenVhdi(const std::string& path);
// VMDK: a descriptor with its extent files beside it, or a sparse file.
TOpened OpenVmdk(const std::string& path);
// qcow and qcow2, compressed clusters included; a backing file is looked
// for beside the image as for VHD.
TOpened OpenQcow(const std::string& path);

// No chain of differencing images is longer than this in practice (Hyper-V
// warns past a few); a longer one is taken for a loop.
inline constexpr int MaxParentImages = 32;

// ---- Shadow copies (libvshadow) ---------------------------------------------------

// The shadow copies of an NTFS volume: their creation times (NTFS times,
// UTC), oldest first. No copies is not a failure.
struct TShadowCopies {
    std::vector<std::uint64_t> Created;
    TSourceFailure Failure;  // SnapshotsFailed where libvshadow can't read what it found
};
TShadowCopies ListShadowCopies(const std::shared_ptr<TDevice>& volume);

// Snapshot `k` (from 1, oldest first) of `volume` as a device of its own.
TOpened OpenShadowCopy(const std::shared_ptr<TDevice>& volume, int k);

// ---- BitLocker (libbde) -----------------------------------------------------------

struct TBitLockerKeys {
    std::string Password;          // UTF-8
    std::string RecoveryPassword;  // 48 digits, in groups of six with "-" between them
    std::string StartupKeyFile;    // a .BEK file
    bool Any() const { return !Password.empty() || !RecoveryPassword.empty() || !StartupKeyFile.empty(); }
};

// Whether `text` is a recovery password: eight groups of six digits, each
// group divisible by 11 and below 720896, with or without the dashes.
bool IsRecoveryPassword(const std::string& text);

// Unlocks the BitLocker volume on `volume` read-only with `keys` (a volume
// protected by a clear key alone needs none). Locked without keys,
// WrongKey where they don't unlock it.
TOpened OpenBitLocker(const std::shared_ptr<TDevice>& volume, const TBitLockerKeys& keys);

// How a device OpenBitLocker gave reads: the stretches it decrypts on its
// own (AES-XTS and AES-CBC, with or without the diffuser, on Windows 7 and
// later; sector-aligned, in order; empty where libbde reads everything)
// and the device through libbde that reads the rest. Any other device
// reads all through itself.
struct TBitLockerReads {
    std::vector<TByteRange> Own;
    std::shared_ptr<TDevice> Library;
};
TBitLockerReads BitLockerReads(const std::shared_ptr<TDevice>& device);

// ---- Raw images in pieces --------------------------------------------------------------

// The pieces of a raw image split in numbered files, from the name of its
// first piece: "disk.001" (or "disk.000") with "disk.002", ... beside it,
// consecutive, of any width of three digits or more. Empty where `path`
// is not such a piece or no second piece follows it.
std::vector<std::string> SplitPieces(const std::string& path);

}  // namespace deruzera::platform
