// SHA-256 against published test vectors; other tests trust it to compare
// recovered bytes with the image builder's manifest.
#include "tools/Sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace deruzera {
namespace {

TEST(Sha256, KnownVectors) {
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Sha256Hex(two.data(), two.size()), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::string million(1000000, 'a');
    EXPECT_EQ(Sha256Hex(million.data(), million.size()),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Messages around the padding boundaries (55, 56, 63, 64, 65 bytes) hashed in
// one go and in every two-piece split must agree.
TEST(Sha256, IncrementalMatchesOneShot) {
    std::vector<unsigned char> data(200);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    }
    for (std::size_t size : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 127u, 128u, 200u}) {
        const std::string expected = Sha256Hex(data.data(), size);
        for (std::size_t cut = 0; cut <= size; ++cut) {
            TSha256 hash;
            hash.Update(data.data(), cut);
            hash.Update(data.data() + cut, size - cut);
            ASSERT_EQ(hash.FinalHex(), expected) << "size " << size << " cut " << cut;
        }
    }
    TSha256 bytewise;
    for (std::size_t i = 0; i < 130; ++i) {
        bytewise.Update(data.data() + i, 1);
    }
    EXPECT_EQ(bytewise.FinalHex(), Sha256Hex(data.data(), 130));
}

}  // namespace
}  // namespace deruzera
