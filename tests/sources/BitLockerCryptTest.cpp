// BitLocker's sector decryption, all sectors of a read at once, against
// OpenSSL's own AES-XTS and AES-CBC a sector at a time; and where the own
// decryption leaves the volume to libbde.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "platform/BdeCrypt.h"

using namespace deruzera;
using namespace deruzera::platform;

namespace {

// One sector as OpenSSL decrypts it: XTS with the sector's number as the
// tweak, or CBC with the IV its byte offset encrypted with the key.
std::vector<std::uint8_t> OneByOne(bde::TMethod method, const std::vector<std::uint8_t>& key, std::uint64_t offset,
                                   const std::uint8_t* in, std::uint32_t sectorSize) {
    const bool xts = method == bde::TMethod::Aes128Xts || method == bde::TMethod::Aes256Xts;
    const bool wide = method == bde::TMethod::Aes256Xts || method == bde::TMethod::Aes256Cbc;
    std::uint8_t iv[16] = {};
    const std::uint64_t number = xts ? offset / sectorSize : offset;
    for (int i = 0; i < 8; ++i) iv[i] = static_cast<std::uint8_t>(number >> (8 * i));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    if (!xts) {
        std::uint8_t plainIv[16];
        std::memcpy(plainIv, iv, 16);
        EVP_EncryptInit_ex(ctx, wide ? EVP_aes_256_ecb() : EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, iv, &n, plainIv, 16);
    }
    const EVP_CIPHER* cipher = xts ? (wide ? EVP_aes_256_xts() : EVP_aes_128_xts()) : (wide ? EVP_aes_256_cbc() : EVP_aes_128_cbc());
    EVP_DecryptInit_ex(ctx, cipher, nullptr, key.data(), iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<std::uint8_t> out(sectorSize);
    EXPECT_EQ(EVP_DecryptUpdate(ctx, out.data(), &n, in, static_cast<int>(sectorSize)), 1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

}  // namespace

// Runs of 1 to 9 sectors (the XTS path takes four side by side and the
// rest one by one), of 512 and 4096 bytes, far into a large volume (tweaks
// and offsets past 32 bits), with 128- and 256-bit keys.
TEST(BitLockerCrypt, SectorsDecryptAsOpenSslDecryptsThemOneByOne) {
    std::mt19937 random(19);
    for (const bde::TMethod method : {bde::TMethod::Aes128Xts, bde::TMethod::Aes256Xts, bde::TMethod::Aes128Cbc, bde::TMethod::Aes256Cbc}) {
        const bool xts = method == bde::TMethod::Aes128Xts || method == bde::TMethod::Aes256Xts;
        const bool wide = method == bde::TMethod::Aes256Xts || method == bde::TMethod::Aes256Cbc;
        std::vector<std::uint8_t> key((wide ? 32 : 16) * (xts ? 2 : 1));
        for (auto& b : key) b = static_cast<std::uint8_t>(random());
        for (const std::uint32_t sectorSize : {512u, 4096u}) {
            const bde::TSectorCipher cipher(method, sectorSize, key.data(), key.size());
            for (const std::size_t sectors : {1u, 3u, 4u, 5u, 9u}) {
                const std::uint64_t offset = (std::uint64_t{0x1234567} + sectors) * sectorSize;
                std::vector<std::uint8_t> in(sectors * sectorSize), out(in.size());
                for (auto& b : in) b = static_cast<std::uint8_t>(random());
                ASSERT_TRUE(cipher.Decrypt(static_cast<std::int64_t>(offset), in.data(), out.data(), sectors));
                for (std::size_t s = 0; s < sectors; ++s) {
                    const std::vector<std::uint8_t> expected =
                        OneByOne(method, key, offset + s * sectorSize, in.data() + s * sectorSize, sectorSize);
                    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + static_cast<std::ptrdiff_t>(s * sectorSize)))
                        << static_cast<int>(method) << " sector size " << sectorSize << ", sector " << s << " of " << sectors;
                }
            }
        }
    }
}

// Where our own decryption reads: past the relocated header, around the
// metadata blocks and the header's own place, below the encrypted size,
// in whole sectors; nothing of what libbde keeps for itself.
TEST(BitLockerCrypt, OwnRangesLeaveTheHeaderMetadataAndClearTailToLibbde) {
    bde::TLayout layout;
    layout.SectorSize = 4096;
    layout.HeaderSize = 8192 + 100;  // a header of part of a sector takes the whole sector
    layout.EncryptedSize = (100 << 20) - 1000;
    layout.Reserved = {{50 << 20, 65536}, {20 << 20, 65536}, {20 << 20, 65536},  // unsorted, one twice
                       {(30 << 20) + 1, 100},                                     // not on a sector
                       {99 << 20, 4 << 20}};                                      // past the encrypted size
    const std::vector<TByteRange> own = bde::OwnRanges(layout, 100 << 20);
    const std::vector<std::pair<std::int64_t, std::int64_t>> expected = {
        {12288, 20 << 20}, {(20 << 20) + 65536, 30 << 20}, {(30 << 20) + 4096, 50 << 20}, {(50 << 20) + 65536, 99 << 20}};
    ASSERT_EQ(own.size(), expected.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        EXPECT_EQ(own[i].Offset, expected[i].first) << i;
        EXPECT_EQ(own[i].Offset + static_cast<std::int64_t>(own[i].Length), expected[i].second) << i;
    }

    // Encrypted all through (size 0), the last sector included; a volume
    // whose encrypted part ends inside the header gives nothing.
    layout.EncryptedSize = 0;
    layout.Reserved.clear();
    const std::vector<TByteRange> all = bde::OwnRanges(layout, (1 << 20) + 4096 + 512);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].Offset + static_cast<std::int64_t>(all[0].Length), (1 << 20) + 4096);
    layout.EncryptedSize = 4096;
    EXPECT_TRUE(bde::OwnRanges(layout, 1 << 20).empty());
}
