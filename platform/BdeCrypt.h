// BitLocker's own decryption, beside libbde: the FVE metadata read again,
// the full-volume key unwrapped with the key the user gave (OpenSSL's
// libcrypto: SHA-256, AES-CCM), and whole sectors decrypted with AES-NI
// where the layout is plain. libbde stays the one that opens, unlocks and
// says why it fails; this only reads faster what it already unlocked.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Containers.h"
#include "volume/Device.h"

namespace deruzera::platform::bde {

// The encryption methods of the FVE metadata header.
enum class TMethod : std::uint16_t {
    None = 0,
    Aes128Diffuser = 0x8000,  // AES-CBC with the Elephant diffuser (Vista, 7)
    Aes256Diffuser = 0x8001,
    Aes128Cbc = 0x8002,
    Aes256Cbc = 0x8003,
    Aes128Xts = 0x8004,  // Windows 10 and later
    Aes256Xts = 0x8005,
};

// What the FVE metadata says of where the volume's sectors lie.
struct TLayout {
    std::uint32_t SectorSize = 0;          // bytes per sector of the boot sector, 512 to 4096
    TMethod Method = TMethod::None;
    std::int64_t EncryptedSize = 0;        // bytes from the start that are encrypted; 0: all
    std::int64_t HeaderSize = 0;           // the first bytes, kept encrypted elsewhere (relocated)
    std::vector<TByteRange> Reserved;      // the metadata blocks and the relocated header's place
};

// Decrypts whole sectors of one volume. Thread-safe: every call makes
// cipher contexts of its own. The keys are wiped when it goes.
class TSectorCipher {
public:
    TSectorCipher(TMethod method, std::uint32_t sectorSize, const std::uint8_t* key, std::size_t keySize);
    ~TSectorCipher();
    TSectorCipher(const TSectorCipher&) = delete;
    TSectorCipher& operator=(const TSectorCipher&) = delete;
    // Decrypts `sectors` sectors from `in` into `out` (apart, each
    // `sectors` sectors long, together below 2 GiB); the first lies at byte
    // `offset` of the volume (a multiple of the sector size). False where
    // OpenSSL fails; `out` is then not to be used.
    bool Decrypt(std::int64_t offset, const std::uint8_t* in, std::uint8_t* out, std::size_t sectors) const;
    std::uint32_t SectorSize() const { return sectorSize_; }
    TMethod Method() const { return method_; }

private:
    TMethod method_;
    std::uint32_t sectorSize_;
    std::size_t keyBytes_ = 0;                 // 16 or 32 for CBC; 32 or 64 (both halves) for XTS
    std::array<std::uint8_t, 64> key_{};
    std::array<std::uint8_t, 32> tweak_{};     // the diffuser's sector key key
};

// The volume's layout and its sector cipher, from the FVE metadata of the
// BitLocker volume on `volume`, unlocked with `keys` (a clear key needs
// none). Null where the metadata is of a version or method not handled
// here (Vista's), or none of the keys unwraps a volume master key: the
// caller then reads everything through libbde.
struct TUnlocked {
    TLayout Layout;
    std::unique_ptr<TSectorCipher> Cipher;
};
std::unique_ptr<TUnlocked> Unlock(TDevice& volume, const TBitLockerKeys& keys);

// The stretches of a volume of `size` bytes that TSectorCipher decrypts as
// they lie: past the relocated header, below the encrypted size, outside
// the reserved areas; sector-aligned, in order.
std::vector<TByteRange> OwnRanges(const TLayout& layout, std::int64_t size);

// The Elephant diffuser's decryption of one sector (A after B), in place;
// `size` a multiple of 4, from 32 to 4096.
void UndoDiffuser(std::uint8_t* data, std::size_t size);

}  // namespace deruzera::platform::bde
