// SHA-256 for the test-image builder and for tests that compare recovered
// bytes with the builder's manifest. Small and dependency-free.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace deruzera {

// Incremental hashing: Update() any number of times, then Final() once.
class TSha256 {
public:
    TSha256();
    void Update(const void* data, std::size_t size);
    // The 32-byte digest. The object must not be updated afterwards.
    std::array<std::uint8_t, 32> Final();
    // The digest as 64 lowercase hex digits.
    std::string FinalHex();

private:
    void Block(const std::uint8_t* block);

    std::array<std::uint32_t, 8> State;
    std::array<std::uint8_t, 64> Pending{};
    std::size_t PendingSize = 0;
    std::uint64_t TotalBytes = 0;
};

// Lowercase hex SHA-256 of one buffer.
std::string Sha256Hex(const void* data, std::size_t size);

// Lowercase hex SHA-256 of a file's bytes; empty where it can't be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace deruzera

// Callers outside the namespace may use the one-shot helper unqualified.
using deruzera::Sha256Hex;
