// BitLocker's FVE metadata, its key protectors and its sector encryption,
// with OpenSSL's libcrypto.
#include "BdeCrypt.h"

// SHA-256 through its own calls, not EVP's: the key stretch makes 2^20
// digests of 88 bytes, which EVP's dispatch per call makes three times
// slower (0.9 s against 0.27 s).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "volume/Read.h"

namespace deruzera::platform::bde {
namespace {

// ---- Little-endian fields -----------------------------------------------------------

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) { return static_cast<std::uint32_t>(U16(p)) | (static_cast<std::uint32_t>(U16(p + 2)) << 16); }
std::uint64_t U64(const std::uint8_t* p) { return static_cast<std::uint64_t>(U32(p)) | (static_cast<std::uint64_t>(U32(p + 4)) << 32); }
void PutU64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Bytes wiped when they go: keys, passwords and what is derived from them.
struct TSecret {
    std::vector<std::uint8_t> Bytes;
    TSecret() = default;
    explicit TSecret(std::size_t n) : Bytes(n) {}
    TSecret(const TSecret&) = delete;
    TSecret& operator=(const TSecret&) = delete;
    TSecret(TSecret&& other) noexcept : Bytes(std::move(other.Bytes)) {}
    TSecret& operator=(TSecret&& other) noexcept {
        Wipe();
        Bytes = std::move(other.Bytes);
        return *this;
    }
    ~TSecret() { Wipe(); }
    void Wipe() {
        if (!Bytes.empty()) OPENSSL_cleanse(Bytes.data(), Bytes.size());
    }
    std::uint8_t* data() { return Bytes.data(); }
    const std::uint8_t* data() const { return Bytes.data(); }
    std::size_t size() const { return Bytes.size(); }
    bool empty() const { return Bytes.empty(); }
};

struct TCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using TCtx = std::unique_ptr<EVP_CIPHER_CTX, TCtxFree>;

// ---- FVE metadata -------------------------------------------------------------------

// Each FVE metadata block, its header and entries, takes at most 64 KiB
// (the area Windows 7 and later reserve for each of the three copies).
constexpr std::size_t MetadataBlockSize = 65536;
constexpr std::size_t BlockHeaderSize = 64;
constexpr std::size_t MetadataHeaderSize = 48;
constexpr std::size_t EntryHeaderSize = 8;

enum : std::uint16_t {
    EntryVolumeMasterKey = 0x0002,
    EntryFullVolumeKey = 0x0003,
    EntryStartupKey = 0x0006,
    EntryVolumeHeader = 0x000f,
    ValueKey = 0x0001,
    ValueStretchKey = 0x0003,
    ValueCcmKey = 0x0005,
    ValueVolumeMasterKey = 0x0008,
    ValueExternalKey = 0x0009,
    ValueOffsetAndSize = 0x000f,
};

enum : std::uint16_t {
    ProtectorClearKey = 0x0000,
    ProtectorStartupKey = 0x0200,
    ProtectorRecoveryPassword = 0x0800,
    ProtectorPassword = 0x2000,
};

struct TEntry {
    std::uint16_t Type = 0;
    std::uint16_t ValueType = 0;
    const std::uint8_t* Data = nullptr;  // after the entry header
    std::size_t Size = 0;
};

// The entries in [p, p + n), in order; stops at a zero size or one that
// would run past the end.
std::vector<TEntry> Entries(const std::uint8_t* p, std::size_t n) {
    std::vector<TEntry> entries;
    std::size_t at = 0;
    while (at + EntryHeaderSize <= n) {
        const std::size_t size = U16(p + at);
        if (size < EntryHeaderSize || size > n - at) break;
        entries.push_back({U16(p + at + 2), U16(p + at + 4), p + at + EntryHeaderSize, size - EntryHeaderSize});
        at += size;
    }
    return entries;
}

// An AES-CCM wrapped key: a 12-byte nonce, then the 16-byte MAC and the
// ciphertext. Returns the plaintext, empty where `key` is not the one
// (the MAC fails) or the entry is malformed.
TSecret UnwrapCcm(const TEntry& entry, const std::uint8_t* key, std::size_t keySize) {
    constexpr std::size_t Nonce = 12, Tag = 16;
    if (entry.ValueType != ValueCcmKey || entry.Size <= Nonce + Tag || (keySize != 32 && keySize != 16)) return {};
    const std::uint8_t* nonce = entry.Data;
    const std::uint8_t* tag = entry.Data + Nonce;
    const std::uint8_t* text = tag + Tag;
    const int length = static_cast<int>(entry.Size - Nonce - Tag);
    TCtx ctx(EVP_CIPHER_CTX_new());
    TSecret plain(static_cast<std::size_t>(length));
    int out = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), keySize == 32 ? EVP_aes_256_ccm() : EVP_aes_128_ccm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_IVLEN, Nonce, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_CCM_SET_TAG, Tag, const_cast<std::uint8_t*>(tag)) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key, nonce) != 1 ||
        EVP_DecryptUpdate(ctx.get(), plain.data(), &out, text, length) != 1 || out != length)
        return {};
    return plain;
}

// The key a decrypted key entry holds (header, 4-byte method, key), or
// empty.
TSecret KeyOf(const TSecret& plain) {
    constexpr std::size_t Method = 4;
    if (plain.size() < EntryHeaderSize + Method) return {};
    const std::size_t size = U16(plain.data());
    if (size > plain.size() || size <= EntryHeaderSize + Method || U16(plain.data() + 4) != ValueKey) return {};
    TSecret key(size - EntryHeaderSize - Method);
    std::memcpy(key.data(), plain.data() + EntryHeaderSize + Method, key.size());
    return key;
}

// ---- Keys from what the user gives ----------------------------------------------------

bool Sha256(const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
    unsigned int n = 0;
    return EVP_Digest(data, size, out, &n, EVP_sha256(), nullptr) == 1 && n == 32;
}

// BitLocker's stretch of a 32-byte hash with a protector's 16-byte salt:
// 2^20 rounds of SHA-256 over (last, initial, salt, round). Windows picked
// the count; it is no parameter of the volume.
constexpr std::uint64_t StretchRounds = 0x100000;

TSecret Stretch(const std::uint8_t* initial, const std::uint8_t* salt) {
    TSecret block(32 + 32 + 16 + 8);
    std::memcpy(block.data() + 32, initial, 32);
    std::memcpy(block.data() + 64, salt, 16);
    SHA256_CTX ctx;
    for (std::uint64_t round = 0; round < StretchRounds; ++round) {
        PutU64(block.data() + 80, round);
        if (SHA256_Init(&ctx) != 1 || SHA256_Update(&ctx, block.data(), block.size()) != 1 || SHA256_Final(block.data(), &ctx) != 1) {
            OPENSSL_cleanse(&ctx, sizeof ctx);
            return {};
        }
    }
    OPENSSL_cleanse(&ctx, sizeof ctx);
    TSecret key(32);
    std::memcpy(key.data(), block.data(), 32);
    return key;
}

// The password's SHA-256 twice over its UTF-16LE form; empty where the
// text is not UTF-8.
TSecret PasswordHash(const std::string& password) {
    TSecret utf16;
    utf16.Bytes.reserve(password.size() * 4);
    auto put = [&](std::uint32_t unit) {
        utf16.Bytes.push_back(static_cast<std::uint8_t>(unit));
        utf16.Bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    };
    for (std::size_t i = 0; i < password.size();) {
        const auto c = static_cast<std::uint8_t>(password[i]);
        const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= password.size()) return {};
        std::uint32_t cp = extra == 0 ? c : (c & (0x3f >> extra));
        for (int k = 1; k <= extra; ++k) {
            const auto d = static_cast<std::uint8_t>(password[i + static_cast<std::size_t>(k)]);
            if ((d >> 6) != 2) return {};
            cp = (cp << 6) | (d & 0x3f);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (cp >= 0x110000 || (cp >= 0xd800 && cp < 0xe000)) return {};
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xd800 | (cp >> 10));
            put(0xdc00 | (cp & 0x3ff));
        } else {
            put(cp);
        }
    }
    TSecret once(32), twice(32);
    if (!Sha256(utf16.data(), utf16.size(), once.data()) || !Sha256(once.data(), 32, twice.data())) return {};
    return twice;
}

// The recovery password's SHA-256 over its eight groups, each divided by
// 11, as 16-bit little-endian values; empty where it is malformed.
TSecret RecoveryHash(const std::string& text) {
    TSecret raw(16);
    std::size_t group = 0, digits = 0;
    std::uint32_t value = 0;
    for (const char ch : text) {
        if (ch == '-') continue;
        if (!std::isdigit(static_cast<unsigned char>(ch)) || group >= 8) return {};
        value = value * 10 + static_cast<std::uint32_t>(ch - '0');
        if (++digits == 6) {
            if (value % 11 != 0 || value / 11 > 0xffff) return {};
            raw.Bytes[group * 2] = static_cast<std::uint8_t>(value / 11);
            raw.Bytes[group * 2 + 1] = static_cast<std::uint8_t>((value / 11) >> 8);
            ++group;
            digits = 0;
            value = 0;
        }
    }
    if (group != 8 || digits != 0) return {};
    TSecret hash(32);
    if (!Sha256(raw.data(), raw.size(), hash.data())) return {};
    return hash;
}

// The external keys a .BEK file holds (its startup-key entries' keys).
// A .BEK is a metadata header and entries, small: read at most 64 KiB.
std::vector<TSecret> StartupKeys(const std::string& path) {
    std::vector<TSecret> keys;
    std::ifstream in(path, std::ios::binary);
    if (!in) return keys;
    TSecret file(MetadataBlockSize);
    in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got < MetadataHeaderSize) return keys;
    const std::size_t size = std::min<std::size_t>(U32(file.data()), got);
    if (size <= MetadataHeaderSize) return keys;
    for (const TEntry& e : Entries(file.data() + MetadataHeaderSize, size - MetadataHeaderSize)) {
        constexpr std::size_t Fixed = 24;  // identifier, time
        if (e.ValueType != ValueExternalKey || e.Size <= Fixed) continue;
        for (const TEntry& p : Entries(e.Data + Fixed, e.Size - Fixed)) {
            if (p.ValueType != ValueKey || p.Size <= 4) continue;
            TSecret key(p.Size - 4);
            std::memcpy(key.data(), p.Data + 4, key.size());
            keys.push_back(std::move(key));
        }
    }
    return keys;
}

// What the user gave, made ready to try on the protectors.
struct TCandidates {
    TSecret Password;               // the password's hash before stretching
    TSecret Recovery;               // the recovery password's
    std::vector<TSecret> External;  // the startup key file's keys
};

// The volume master key one VMK entry gives up to `keys` (a clear key
// needs none), or empty. A password or recovery password is stretched
// with the protector's salt only where the volume has that protector.
TSecret VolumeMasterKey(const TEntry& vmk, const TCandidates& keys) {
    constexpr std::size_t Fixed = 28;  // identifier, time, unknown, protection
    if (vmk.ValueType != ValueVolumeMasterKey || vmk.Size <= Fixed) return {};
    const std::uint16_t protection = U16(vmk.Data + 26);
    const std::vector<TEntry> properties = Entries(vmk.Data + Fixed, vmk.Size - Fixed);
    const TEntry* wrapped = nullptr;
    const TEntry* stretch = nullptr;
    const TEntry* clear = nullptr;
    for (const TEntry& p : properties) {
        if (p.ValueType == ValueCcmKey && !wrapped) wrapped = &p;
        if (p.ValueType == ValueStretchKey && !stretch) stretch = &p;
        if (p.ValueType == ValueKey && !clear) clear = &p;
    }
    if (!wrapped) return {};
    auto with = [&](const std::uint8_t* key, std::size_t size) { return KeyOf(UnwrapCcm(*wrapped, key, size)); };
    switch (protection) {
    case ProtectorClearKey:
        if (clear && clear->Size > 4) return with(clear->Data + 4, clear->Size - 4);
        return {};
    case ProtectorStartupKey:
        for (const TSecret& key : keys.External) {
            TSecret vmkKey = with(key.data(), key.size());
            if (!vmkKey.empty()) return vmkKey;
        }
        return {};
    case ProtectorRecoveryPassword:
    case ProtectorPassword: {
        const TSecret& hash = protection == ProtectorPassword ? keys.Password : keys.Recovery;
        constexpr std::size_t SaltAt = 4, SaltSize = 16;
        if (hash.empty() || !stretch || stretch->Size < SaltAt + SaltSize) return {};
        const TSecret key = Stretch(hash.data(), stretch->Data + SaltAt);
        return key.empty() ? TSecret() : with(key.data(), key.size());
    }
    default:
        return {};
    }
}


bool Known(TMethod method) {
    switch (method) {
    case TMethod::Aes128Diffuser:
    case TMethod::Aes256Diffuser:
    case TMethod::Aes128Cbc:
    case TMethod::Aes256Cbc:
    case TMethod::Aes128Xts:
    case TMethod::Aes256Xts:
        return true;
    default:
        return false;
    }
}

// The unlocked volume as the metadata block at `offset` says it, or null.
std::unique_ptr<TUnlocked> FromBlock(TDevice& volume, std::int64_t offset, std::uint32_t sectorSize, const TCandidates& keys) {
    const std::int64_t size = volume.Size();
    if (offset <= 0 || size < 0 || offset > size - static_cast<std::int64_t>(BlockHeaderSize + MetadataHeaderSize)) return nullptr;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(MetadataBlockSize), size - offset)));
    if (!ReadExactly(volume, offset, block.data(), block.size())) return nullptr;
    const std::uint8_t* b = block.data();
    // Version 2: Windows 7 and later (Vista's 1 keeps its first sectors
    // in the clear and rewrites its boot sector: libbde's).
    if (std::memcmp(b, "-FVE-FS-", 8) != 0 || U16(b + 10) != 2) return nullptr;
    auto unlocked = std::make_unique<TUnlocked>();
    TLayout& layout = unlocked->Layout;
    layout.SectorSize = sectorSize;
    layout.EncryptedSize = static_cast<std::int64_t>(std::min<std::uint64_t>(U64(b + 16), static_cast<std::uint64_t>(size)));
    const std::uint64_t headerSectors = U32(b + 28);
    const std::uint64_t headerOffset = U64(b + 56);
    std::uint64_t headerSize = headerSectors * sectorSize;
    for (const int at : {32, 40, 48}) {
        const std::uint64_t o = U64(b + at);
        if (o < static_cast<std::uint64_t>(size)) layout.Reserved.push_back({static_cast<std::int64_t>(o), MetadataBlockSize});
    }
    const std::uint8_t* m = b + BlockHeaderSize;
    const std::size_t metadataSize = U32(m);
    if (metadataSize <= MetadataHeaderSize || metadataSize > block.size() - BlockHeaderSize) return nullptr;
    layout.Method = static_cast<TMethod>(U16(m + 36));
    const std::vector<TEntry> entries = Entries(m + MetadataHeaderSize, metadataSize - MetadataHeaderSize);
    const TEntry* fvek = nullptr;
    for (const TEntry& e : entries) {
        if (e.Type == EntryFullVolumeKey && e.ValueType == ValueCcmKey && !fvek) fvek = &e;
        if (e.Type == EntryVolumeHeader && e.ValueType == ValueOffsetAndSize && e.Size >= 16) {
            if (U64(e.Data) != headerOffset) return nullptr;
            headerSize = std::max<std::uint64_t>(headerSize, U64(e.Data + 8));
        }
    }
    if (!fvek || headerSize == 0 || headerSize > static_cast<std::uint64_t>(size) || headerOffset >= static_cast<std::uint64_t>(size))
        return nullptr;
    layout.HeaderSize = static_cast<std::int64_t>(headerSize);
    layout.Reserved.push_back({static_cast<std::int64_t>(headerOffset), headerSize});
    for (const TEntry& e : entries) {
        if (e.Type != EntryVolumeMasterKey) continue;
        const TSecret vmk = VolumeMasterKey(e, keys);
        if (vmk.empty()) continue;
        const TSecret key = KeyOf(UnwrapCcm(*fvek, vmk.data(), vmk.size()));
        if (key.empty()) return nullptr;
        // The method is the metadata header's; one not handled here (none,
        // or a newer one) leaves the volume to libbde.
        if (!Known(layout.Method)) return nullptr;
        const bool xts = layout.Method == TMethod::Aes128Xts || layout.Method == TMethod::Aes256Xts;
        const bool wide = layout.Method == TMethod::Aes256Cbc || layout.Method == TMethod::Aes256Diffuser ||
                          layout.Method == TMethod::Aes256Xts;
        const std::size_t need = (wide ? 32 : 16) * (xts ? 2 : 1);
        const bool diffuser = layout.Method == TMethod::Aes128Diffuser || layout.Method == TMethod::Aes256Diffuser;
        if (key.size() < need || (diffuser && key.size() < 32 + need)) return nullptr;
        unlocked->Cipher = std::make_unique<TSectorCipher>(layout.Method, sectorSize, key.data(), key.size());
        return unlocked;
    }
    return nullptr;
}

}  // namespace

// ---- Sectors ----------------------------------------------------------------------------

TSectorCipher::TSectorCipher(TMethod method, std::uint32_t sectorSize, const std::uint8_t* key, std::size_t keySize)
    : method_(method), sectorSize_(sectorSize) {
    const bool wide = method == TMethod::Aes256Cbc || method == TMethod::Aes256Diffuser || method == TMethod::Aes256Xts;
    const bool xts = method == TMethod::Aes128Xts || method == TMethod::Aes256Xts;
    keyBytes_ = std::min<std::size_t>((wide ? 32 : 16) * (xts ? 2 : 1), keySize);
    std::memcpy(key_.data(), key, keyBytes_);
    // A diffuser volume's key is 64 bytes: the sector key's key from 32 on.
    if ((method == TMethod::Aes128Diffuser || method == TMethod::Aes256Diffuser) && keySize >= 32 + keyBytes_)
        std::memcpy(tweak_.data(), key + 32, keyBytes_);
}

TSectorCipher::~TSectorCipher() {
    OPENSSL_cleanse(key_.data(), key_.size());
    OPENSSL_cleanse(tweak_.data(), tweak_.size());
}

namespace {

// AES-ECB, encrypting or decrypting `bytes` (a multiple of 16, below
// 2 GiB) with `key` (16 or 32 bytes); `in` may be `out`. AES-NI pipelines
// the blocks of one call.
bool Ecb(bool encrypt, const std::uint8_t* key, std::size_t keyBytes, const std::uint8_t* in, std::uint8_t* out, std::size_t bytes) {
    TCtx ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    const int length = static_cast<int>(bytes);
    return ctx &&
           EVP_CipherInit_ex(ctx.get(), keyBytes == 32 ? EVP_aes_256_ecb() : EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 && EVP_CipherUpdate(ctx.get(), out, &n, in, length) == 1 && n == length;
}

// A 64-bit little-endian value at `p`, and its store.
std::uint64_t Load64(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    }
    return U64(p);
}
void Store64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) std::memcpy(p, &v, 8);
    else PutU64(p, v);
}

// out = a XOR b over `n` bytes; `out` may be `a`.
void Xor(std::uint8_t* out, const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(out + i, &x, 8);
    }
    for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(a[i] ^ b[i]);
}

std::uint32_t Rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

}  // namespace

void UndoDiffuser(std::uint8_t* data, std::size_t size) {
    const std::size_t n = size / 4;
    // A sector of 4096 bytes at most: its words on the stack.
    std::uint32_t d[1024];
    if (n < 8 || n > std::size(d) || n % 4 != 0) return;
    for (std::size_t i = 0; i < n; ++i) d[i] = U32(data + 4 * i);
    // Diffuser B: three passes, each word mixed with the words 2 and 5 on
    // (around the end), every second of those rotated by 10 or 25.
    // The words a word is mixed with, `ahead` words on, around the end.
    auto at = [&](std::size_t i, std::size_t ahead) { return d[i + ahead < n ? i + ahead : i + ahead - n]; };
    for (int pass = 0; pass < 3; ++pass)
        for (std::size_t i = 0; i < n; i += 4) {
            d[i] += at(i, 2) ^ at(i, 5);
            d[i + 1] += at(i + 1, 2) ^ Rotl(at(i + 1, 5), 10);
            d[i + 2] += at(i + 2, 2) ^ at(i + 2, 5);
            d[i + 3] += at(i + 3, 2) ^ Rotl(at(i + 3, 5), 25);
        }
    // Diffuser A: five passes, with the words 2 and 5 back, rotated by 9
    // and 13.
    for (int pass = 0; pass < 5; ++pass)
        for (std::size_t i = 0; i < n; i += 4) {
            d[i] += at(i, n - 2) ^ Rotl(at(i, n - 5), 9);
            d[i + 1] += at(i + 1, n - 2) ^ at(i + 1, n - 5);
            d[i + 2] += at(i + 2, n - 2) ^ Rotl(at(i + 2, n - 5), 13);
            d[i + 3] += at(i + 3, n - 2) ^ at(i + 3, n - 5);
        }
    for (std::size_t i = 0; i < n; ++i)
        for (int k = 0; k < 4; ++k) data[4 * i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(d[i] >> (8 * k));
    OPENSSL_cleanse(d, n * 4);
}

bool TSectorCipher::Decrypt(std::int64_t offset, const std::uint8_t* in, std::uint8_t* out, std::size_t sectors) const {
    if (sectors == 0) return true;
    const bool xts = method_ == TMethod::Aes128Xts || method_ == TMethod::Aes256Xts;
    const bool diffuser = method_ == TMethod::Aes128Diffuser || method_ == TMethod::Aes256Diffuser;
    const std::size_t total = sectors * sectorSize_;
    const std::size_t blocks = sectorSize_ / 16;
    // Every sector's own block: its number (XTS) or its byte offset (CBC),
    // and with the diffuser that offset again with its last byte 0x80.
    std::vector<std::uint8_t> keyed(sectors * (diffuser ? 32 : 16), 0);
    for (std::size_t s = 0; s < sectors; ++s) {
        const std::uint64_t at = static_cast<std::uint64_t>(offset) + s * sectorSize_;
        PutU64(&keyed[s * 16], xts ? at / sectorSize_ : at);
        if (diffuser) {
            PutU64(&keyed[(sectors + s) * 16], at);
            keyed[(sectors + s) * 16 + 15] = 0x80;
        }
    }
    if (xts) {
        // XTS, a sector a data unit: each block is decrypted between two
        // XORs with its tweak, the sector's number encrypted with the
        // second key, times alpha once per block. The tweaks of all sectors
        // first; then, a few sectors at a time (so that they stay in the
        // cache between the passes), the XORs and ECB.
        const std::size_t half = keyBytes_ / 2;
        if (!Ecb(true, key_.data() + half, half, keyed.data(), keyed.data(), keyed.size())) return false;
        TCtx ecb(EVP_CIPHER_CTX_new());
        if (!ecb || EVP_DecryptInit_ex(ecb.get(), half == 32 ? EVP_aes_256_ecb() : EVP_aes_128_ecb(), nullptr, key_.data(), nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(ecb.get(), 0) != 1)
            return false;
        // Sectors [first, last) XORed with their tweaks, from `from` into
        // `to`; the tweaks are made again for the second pass, not kept.
        auto withTweaks = [&](std::size_t first, std::size_t last, const std::uint8_t* from, std::uint8_t* to) {
#if defined(__SSE2__)
            // Doubling in the field, four 32-bit lanes at once: each lane
            // shifted, its top bit carried into the next lane, the last
            // one's folded back as 0x87. Four sectors side by side, so that
            // their chains of doublings overlap.
            const __m128i fold = _mm_set_epi32(1, 1, 1, 0x87);
            auto step = [&](__m128i& t, std::size_t b) {
                const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + b));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(to + b), _mm_xor_si128(x, t));
                const __m128i carry = _mm_and_si128(_mm_shuffle_epi32(_mm_srai_epi32(t, 31), 0x93), fold);
                t = _mm_xor_si128(_mm_add_epi32(t, t), carry);
            };
            auto tweak = [&](std::size_t s) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(&keyed[s * 16])); };
            std::size_t next = first;
            for (; next + 4 <= last; next += 4) {
                __m128i t0 = tweak(next), t1 = tweak(next + 1), t2 = tweak(next + 2), t3 = tweak(next + 3);
                const std::size_t at = next * sectorSize_;
                for (std::size_t b = at; b < at + sectorSize_; b += 16) {
                    step(t0, b);
                    step(t1, b + sectorSize_);
                    step(t2, b + 2 * sectorSize_);
                    step(t3, b + 3 * sectorSize_);
                }
            }
            for (; next < last; ++next) {
                __m128i t = tweak(next);
                for (std::size_t b = next * sectorSize_; b < (next + 1) * sectorSize_; b += 16) step(t, b);
            }
            return;
#endif
            for (std::size_t s = first; s < last; ++s) {
                std::uint64_t lo = Load64(&keyed[s * 16]), hi = Load64(&keyed[s * 16 + 8]);
                const std::size_t at = s * sectorSize_;
                for (std::size_t j = 0; j < blocks; ++j) {
                    const std::size_t b = at + j * 16;
                    Store64(to + b, Load64(from + b) ^ lo);
                    Store64(to + b + 8, Load64(from + b + 8) ^ hi);
                    const std::uint64_t carry = hi >> 63;
                    hi = (hi << 1) | (lo >> 63);
                    lo = (lo << 1) ^ (carry * 0x87);
                }
            }
        };
        // 16 KiB a round: well inside a core's L1 and L2 caches.
        const std::size_t round = std::max<std::size_t>(1, (16 << 10) / sectorSize_);
        for (std::size_t first = 0; first < sectors; first += round) {
            const std::size_t last = std::min(sectors, first + round);
            std::uint8_t* chunk = out + first * sectorSize_;
            const int length = static_cast<int>((last - first) * sectorSize_);
            int n = 0;
            withTweaks(first, last, in, out);
            if (EVP_DecryptUpdate(ecb.get(), chunk, &n, chunk, length) != 1 || n != length) return false;
            withTweaks(first, last, out, out);
        }
        return true;
    }
    // CBC: each sector's IV is its byte offset encrypted with the key. One
    // ECB pass over the whole, then each block XORed with the ciphertext
    // block before it (the IV for a sector's first).
    std::vector<std::uint8_t> ivs(sectors * 16);
    if (!Ecb(true, key_.data(), keyBytes_, keyed.data(), ivs.data(), ivs.size())) return false;
    if (!Ecb(false, key_.data(), keyBytes_, in, out, total)) return false;
    for (std::size_t s = 0; s < sectors; ++s) {
        const std::size_t at = s * sectorSize_;
        Xor(out + at, out + at, &ivs[s * 16], 16);
        Xor(out + at + 16, out + at + 16, in + at, sectorSize_ - 16);
    }
    if (!diffuser) return true;
    // The diffuser's sector key: the two offset blocks encrypted with its
    // own key, XORed over the sector after the diffuser is undone.
    std::vector<std::uint8_t> sectorKeys(sectors * 32);
    if (!Ecb(true, tweak_.data(), keyBytes_, keyed.data(), sectorKeys.data(), sectorKeys.size())) return false;
    for (std::size_t s = 0; s < sectors; ++s) {
        std::uint8_t* sector = out + s * sectorSize_;
        UndoDiffuser(sector, sectorSize_);
        std::uint8_t key[32];
        std::memcpy(key, &sectorKeys[s * 16], 16);
        std::memcpy(key + 16, &sectorKeys[(sectors + s) * 16], 16);
        for (std::size_t i = 0; i < sectorSize_; i += 32) Xor(sector + i, sector + i, key, 32);
        OPENSSL_cleanse(key, sizeof key);
    }
    OPENSSL_cleanse(sectorKeys.data(), sectorKeys.size());
    return true;
}

// ---- Opening ------------------------------------------------------------------------------

std::unique_ptr<TUnlocked> Unlock(TDevice& volume, const TBitLockerKeys& keys) {
    std::uint8_t boot[512];
    if (!ReadExactly(volume, 0, boot, sizeof boot)) return nullptr;
    const std::uint32_t sectorSize = U16(boot + 11);
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) return nullptr;
    // Where the boot sector keeps the three metadata offsets, after
    // BitLocker's identifier: a volume's ("-FVE-FS-") at 176, a To Go
    // volume's (a FAT boot sector) at 440.
    std::size_t at = 0;
    if (std::memcmp(boot + 3, "-FVE-FS-", 8) == 0) at = 176;
    else if (std::memcmp(boot + 3, "MSWIN4.1", 8) == 0) at = 440;
    else return nullptr;
    TCandidates candidates;
    if (!keys.Password.empty()) candidates.Password = PasswordHash(keys.Password);
    if (!keys.RecoveryPassword.empty()) candidates.Recovery = RecoveryHash(keys.RecoveryPassword);
    if (!keys.StartupKeyFile.empty()) candidates.External = StartupKeys(keys.StartupKeyFile);
    for (int copy = 0; copy < 3; ++copy) {
        auto unlocked = FromBlock(volume, static_cast<std::int64_t>(U64(boot + at + 8 * static_cast<std::size_t>(copy))), sectorSize,
                                  candidates);
        if (unlocked) return unlocked;
    }
    return nullptr;
}

std::vector<TByteRange> OwnRanges(const TLayout& layout, std::int64_t size) {
    std::vector<TByteRange> ranges;
    if (layout.SectorSize == 0 || size <= 0) return ranges;
    const std::int64_t sector = layout.SectorSize;
    const std::int64_t end = (layout.EncryptedSize > 0 ? std::min(layout.EncryptedSize, size) : size) / sector * sector;
    std::int64_t from = (layout.HeaderSize + sector - 1) / sector * sector;
    std::vector<TByteRange> reserved = layout.Reserved;
    std::sort(reserved.begin(), reserved.end(), [](const TByteRange& a, const TByteRange& b) { return a.Offset < b.Offset; });
    for (const TByteRange& r : reserved) {
        const std::int64_t a = r.Offset / sector * sector;
        const std::int64_t b = std::min<std::int64_t>(end, (r.Offset + static_cast<std::int64_t>(r.Length) + sector - 1) / sector * sector);
        if (a > from && from < end) ranges.push_back({from, static_cast<std::uint64_t>(std::min(a, end) - from)});
        from = std::max(from, b);
    }
    if (from < end) ranges.push_back({from, static_cast<std::uint64_t>(end - from)});
    return ranges;
}

}  // namespace deruzera::platform::bde
