// BitLocker volumes through libbde, unlocked read-only with a password, a
// recovery password or a startup key (.BEK), read through our device so
// that the volume may lie anywhere.
#include <libbde.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "BdeCrypt.h"
#include "Containers.h"
#include "Libyal.h"

namespace deruzera::platform {
namespace {

using TVolumeHandle = std::unique_ptr<libbde_volume_t, yal::TFree<libbde_volume_free, libbde_error_free>>;

std::string Take(libbde_error_t*& error) { return yal::TakeMessage(error, libbde_error_backtrace_sprint, libbde_error_free); }

// Six digits a group, each group a multiple of 11 below 2^16 * 11.
constexpr int RecoveryGroups = 8;
constexpr long RecoveryGroupLimit = 65536L * 11;

struct TBitLocker {
    yal::TBfioHandle Bfio;
    TVolumeHandle Volume;
    ~TBitLocker() {
        if (Volume) {
            libbde_error_t* error = nullptr;
            libbde_volume_close(Volume.get(), &error);
            if (error) libbde_error_free(&error);
        }
        Volume.reset();
        Bfio.reset();
    }
};

}  // namespace

bool IsRecoveryPassword(const std::string& text) {
    int groups = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        if (groups > 0) {
            if (text[at] == '-') ++at;
        }
        long value = 0;
        for (int i = 0; i < 6; ++i, ++at) {
            if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
            value = value * 10 + (text[at] - '0');
        }
        if (value % 11 != 0 || value >= RecoveryGroupLimit) return false;
        ++groups;
    }
    return groups == RecoveryGroups;
}

namespace {

// One attempt to open the volume with `keys`: 1 unlocked, 0 opened but
// locked, -1 failed (`failure` says why).
int Attempt(const std::shared_ptr<TDevice>& device, const TBitLockerKeys& keys, std::shared_ptr<TBitLocker>& bde,
            TSourceFailure& failure) {
    auto fail = [&](TSourceEnd end, libbde_error_t*& error) {
        failure.End = end;
        failure.Message = Take(error);
        return -1;
    };
    bde = std::make_shared<TBitLocker>();
    bde->Bfio = yal::BfioOver(device, failure.Message);
    if (!bde->Bfio) {
        failure.End = TSourceEnd::BitLockerFailed;
        return -1;
    }
    libbde_error_t* error = nullptr;
    libbde_volume_t* volume = nullptr;
    if (libbde_volume_initialize(&volume, &error) != 1) return fail(TSourceEnd::BitLockerFailed, error);
    bde->Volume.reset(volume);
    if (!keys.Password.empty() &&
        libbde_volume_set_utf8_password(volume, reinterpret_cast<const std::uint8_t*>(keys.Password.data()),
                                        keys.Password.size(), &error) != 1)
        return fail(TSourceEnd::BitLockerFailed, error);
    if (!keys.RecoveryPassword.empty()) {
        std::string digits = keys.RecoveryPassword;
        // libbde takes the groups with their dashes.
        if (digits.find('-') == std::string::npos)
            for (std::size_t at = 42; at > 0; at -= 6) digits.insert(at, "-");
        if (libbde_volume_set_utf8_recovery_password(volume, reinterpret_cast<const std::uint8_t*>(digits.data()),
                                                     digits.size(), &error) != 1) {
            if (error) return fail(TSourceEnd::BitLockerFailed, error);
            failure.End = TSourceEnd::BadRecoveryPassword;
            return -1;
        }
    }
    if (!keys.StartupKeyFile.empty() && libbde_volume_read_startup_key(volume, keys.StartupKeyFile.c_str(), &error) != 1) {
        failure.Path = keys.StartupKeyFile;
        return fail(TSourceEnd::StartupKeyUnreadable, error);
    }
    // 0: opened, but none of the keys unlocks it.
    const int opened = libbde_volume_open_file_io_handle(volume, bde->Bfio.get(), LIBBDE_OPEN_READ, &error);
    if (opened < 0) return fail(TSourceEnd::BitLockerFailed, error);
    const int locked = opened == 0 ? 1 : libbde_volume_is_locked(volume, &error);
    if (locked < 0) return fail(TSourceEnd::BitLockerFailed, error);
    return locked == 1 ? 0 : 1;
}

// Whether the volume (opened, locked) has a protector any of `keys` is
// for: a password, a recovery password, or the startup key of that
// identifier (a .BEK file holds it 16 bytes in).
bool Fits(libbde_volume_t* volume, const TBitLockerKeys& keys) {
    std::array<std::uint8_t, 16> bek{};
    bool haveBek = false;
    if (!keys.StartupKeyFile.empty()) {
        std::ifstream in(keys.StartupKeyFile, std::ios::binary);
        in.seekg(16);
        haveBek = static_cast<bool>(in.read(reinterpret_cast<char*>(bek.data()), bek.size()));
    }
    libbde_error_t* error = nullptr;
    int count = 0;
    if (libbde_volume_get_number_of_key_protectors(volume, &count, &error) != 1) {
        if (error) libbde_error_free(&error);
        return true;
    }
    for (int i = 0; i < count; ++i) {
        libbde_key_protector_t* raw = nullptr;
        if (libbde_volume_get_key_protector(volume, i, &raw, &error) != 1) {
            if (error) libbde_error_free(&error);
            return true;
        }
        const std::unique_ptr<libbde_key_protector_t, yal::TFree<libbde_key_protector_free, libbde_error_free>> protector(raw);
        std::uint16_t type = 0;
        std::array<std::uint8_t, 16> id{};
        if (libbde_key_protector_get_type(raw, &type, &error) != 1 ||
            libbde_key_protector_get_identifier(raw, id.data(), id.size(), &error) != 1) {
            if (error) libbde_error_free(&error);
            return true;
        }
        if ((type == LIBBDE_KEY_PROTECTION_TYPE_PASSWORD && !keys.Password.empty()) ||
            (type == LIBBDE_KEY_PROTECTION_TYPE_RECOVERY_PASSWORD && !keys.RecoveryPassword.empty()) ||
            (type == LIBBDE_KEY_PROTECTION_TYPE_STARTUP_KEY && haveBek && id == bek))
            return true;
    }
    return false;
}

// A BitLocker volume read by its own decryption where the sectors lie as
// they are (OwnRanges), and through libbde everywhere else (the relocated
// first sectors, the metadata areas, past the encrypted size). A read that
// spans both is split. The own path takes no lock: each read has cipher
// contexts of its own, and the device below reads at offsets.
class TBitLockerDevice final : public TDevice {
public:
    TBitLockerDevice(std::shared_ptr<TDevice> library, std::shared_ptr<TDevice> below, std::unique_ptr<bde::TUnlocked> unlocked,
                     std::vector<TByteRange> own)
        : library_(std::move(library)), below_(std::move(below)), unlocked_(std::move(unlocked)), own_(std::move(own)) {}

    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t size = library_->Size();
        if (offset < 0 || offset >= size) return 0;
        count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            const std::int64_t at = offset + static_cast<std::int64_t>(done);
            const std::int64_t stop = offset + static_cast<std::int64_t>(count);
            // The first own range that ends past `at`.
            const auto it = std::upper_bound(own_.begin(), own_.end(), at, [](std::int64_t o, const TByteRange& r) {
                return o < r.Offset + static_cast<std::int64_t>(r.Length);
            });
            std::int64_t n = 0;
            if (it != own_.end() && it->Offset <= at) {
                n = ReadOwn(at, out + done, std::min(stop, it->Offset + static_cast<std::int64_t>(it->Length)) - at);
            } else {
                const std::int64_t until = it == own_.end() ? stop : std::min(stop, it->Offset);
                n = library_->ReadAt(at, out + done, static_cast<std::size_t>(until - at));
            }
            if (n < 0) return done > 0 ? static_cast<std::int64_t>(done) : n;
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return static_cast<std::int64_t>(done);
    }
    std::int64_t Size() const override { return library_->Size(); }
    bool IsSource(const std::string& path) const override { return library_->IsSource(path); }
    bool HoldsPath(const std::string& path) const override { return library_->HoldsPath(path); }

    const std::vector<TByteRange>& Own() const { return own_; }
    const std::shared_ptr<TDevice>& Library() const { return library_; }
    std::int64_t SectorSize() const { return unlocked_->Cipher->SectorSize(); }

    // Decrypts [at, at + length), inside one own range, through the sectors
    // that hold it; at most OwnPiece bytes of sectors a call. Returns the
    // bytes given (fewer where the device below reads short), or its error.
    std::int64_t ReadOwn(std::int64_t at, std::uint8_t* out, std::int64_t length) const {
        const std::int64_t sector = unlocked_->Cipher->SectorSize();
        const std::int64_t first = at / sector * sector;
        const std::int64_t last = std::min((at + length + sector - 1) / sector * sector, first + OwnPiece);
        // Buffers of each call's own (not of the thread: the device below
        // may be another BitLocker volume read on this same thread).
        const auto span = static_cast<std::size_t>(last - first);
        const std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[span]);
        std::size_t got = 0;
        std::int64_t error = 0;
        while (got < span) {
            const std::int64_t n = below_->ReadAt(first + static_cast<std::int64_t>(got), scratch.get() + got, span - got);
            if (n <= 0) {
                error = n < 0 ? n : -EIO;
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        const std::size_t sectors = got / static_cast<std::size_t>(sector);
        const std::int64_t end = std::min(at + length, first + static_cast<std::int64_t>(sectors) * sector);
        if (end <= at) return error < 0 ? error : -EIO;
        // Straight into the caller's buffer where the read is whole sectors.
        if (at == first && end == first + static_cast<std::int64_t>(sectors) * sector)
            return unlocked_->Cipher->Decrypt(first, scratch.get(), out, sectors) ? end - at : -EIO;
        const std::unique_ptr<std::uint8_t[]> plain(new std::uint8_t[sectors * static_cast<std::size_t>(sector)]);
        if (!unlocked_->Cipher->Decrypt(first, scratch.get(), plain.get(), sectors)) return -EIO;
        std::memcpy(out, plain.get() + (at - first), static_cast<std::size_t>(end - at));
        return end - at;
    }

private:
    // What one own read decrypts at most: a few of the scan's 256 KiB
    // pieces, in buffers of a bounded size.
    static constexpr std::int64_t OwnPiece = 1 << 20;
    std::shared_ptr<TDevice> library_;
    std::shared_ptr<TDevice> below_;
    std::unique_ptr<bde::TUnlocked> unlocked_;
    std::vector<TByteRange> own_;
};

// Sectors of the own ranges compared with libbde before the own path is
// trusted: this many spread over them, with the first and last of each.
constexpr int CheckedSectors = 16;

// Whether the own decryption of `device` gives libbde's bytes at the
// checked sectors.
bool AgreesWithLibrary(const TBitLockerDevice& device) {
    std::vector<std::int64_t> sectors;
    std::int64_t total = 0;
    for (const TByteRange& r : device.Own()) total += static_cast<std::int64_t>(r.Length);
    if (total == 0) return false;
    for (const TByteRange& r : device.Own()) {
        sectors.push_back(r.Offset);
        sectors.push_back(r.Offset + static_cast<std::int64_t>(r.Length) - 1);
    }
    for (int i = 0; i < CheckedSectors; ++i) {
        std::int64_t into = total / CheckedSectors * i + total / (2 * CheckedSectors);
        for (const TByteRange& r : device.Own()) {
            if (into < static_cast<std::int64_t>(r.Length)) {
                sectors.push_back(r.Offset + into);
                break;
            }
            into -= static_cast<std::int64_t>(r.Length);
        }
    }
    const std::int64_t sector = device.SectorSize();
    std::vector<std::uint8_t> own(static_cast<std::size_t>(sector)), library(own.size());
    for (const std::int64_t s : sectors) {
        const std::int64_t at = s / sector * sector;
        if (device.ReadOwn(at, own.data(), sector) != sector || device.Library()->ReadAt(at, library.data(), own.size()) != sector ||
            own != library)
            return false;
    }
    return true;
}

}  // namespace

TBitLockerReads BitLockerReads(const std::shared_ptr<TDevice>& device) {
    const auto* bitlocker = dynamic_cast<const TBitLockerDevice*>(device.get());
    if (!bitlocker) return {{}, device};
    return {bitlocker->Own(), bitlocker->Library()};
}

TOpened OpenBitLocker(const std::shared_ptr<TDevice>& device, const TBitLockerKeys& keys) {
    TOpened result;
    TSourceFailure& failure = result.Failure;
    failure.Library = "libbde";
    if (!keys.RecoveryPassword.empty() && !IsRecoveryPassword(keys.RecoveryPassword)) {
        failure.End = TSourceEnd::BadRecoveryPassword;
        return result;
    }
    std::shared_ptr<TBitLocker> bde;
    const int opened = Attempt(device, keys, bde, failure);
    if (opened == 0) {
        failure.End = keys.Any() ? TSourceEnd::WrongKey : TSourceEnd::Locked;
        return result;
    }
    if (opened < 0) {
        // libbde fails outright where a key is of a kind the volume has no
        // protector for (a password for a smart-card volume, another
        // volume's startup key): that key is a wrong one. A key that fits
        // a protector and fails all the same is libbde's failure.
        if (failure.End == TSourceEnd::BitLockerFailed && keys.Any()) {
            std::shared_ptr<TBitLocker> bare;
            TSourceFailure plain;
            if (Attempt(device, {}, bare, plain) == 0 && !Fits(bare->Volume.get(), keys)) failure.End = TSourceEnd::WrongKey;
        }
        return result;
    }
    libbde_volume_t* volume = bde->Volume.get();
    libbde_error_t* error = nullptr;
    size64_t size = 0;
    if (libbde_volume_get_size(volume, &size, &error) != 1) {
        failure.End = TSourceEnd::BitLockerFailed;
        failure.Message = Take(error);
        return result;
    }
    result.Device = std::make_shared<yal::THandleDevice>(
        std::make_shared<std::mutex>(), static_cast<std::int64_t>(size),
        [volume](void* buffer, std::size_t n, off64_t offset) -> ssize_t {
            libbde_error_t* e = nullptr;
            const ssize_t got = libbde_volume_read_buffer_at_offset(volume, buffer, n, offset, &e);
            if (e) libbde_error_free(&e);
            return got;
        },
        std::static_pointer_cast<void>(bde), std::vector<std::string>{}, device);
    failure = {};
    // Our own decryption where it gives libbde's bytes; libbde's alone
    // otherwise.
    if (auto unlocked = bde::Unlock(*device, keys)) {
        std::vector<TByteRange> own = bde::OwnRanges(unlocked->Layout, static_cast<std::int64_t>(size));
        auto fast = std::make_shared<TBitLockerDevice>(result.Device, device, std::move(unlocked), std::move(own));
        if (AgreesWithLibrary(*fast)) result.Device = fast;
    }
    return result;
}

}  // namespace deruzera::platform
