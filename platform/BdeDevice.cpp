// BitLocker volumes through libbde, unlocked read-only with a password, a
// recovery password or a startup key (.BEK), read through our device so
// that the volume may lie anywhere.
#include <libbde.h>

#include <array>
#include <cctype>
#include <fstream>

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

}  // namespace

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
    return result;
}

}  // namespace deruzera::platform
