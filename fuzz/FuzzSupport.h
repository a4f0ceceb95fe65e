// What the fuzz targets share: checks that stop the run with a message (so
// libFuzzer keeps the input), a UTF-8 check for names and paths, and a
// device over the input's bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "volume/Attributes.h"
#include "volume/Content.h"
#include "volume/Device.h"
#include "volume/Fixup.h"
#include "volume/Layout.h"
#include "volume/Messages.h"
#include "volume/Mft.h"
#include "volume/Recover.h"
#include "volume/Runs.h"
#include "volume/Scan.h"
#include "volume/Volume.h"

namespace fuzz {

[[noreturn]] inline void Fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                                    \
    do {                                                         \
        if (!(cond)) ::fuzz::Fail(#cond __VA_OPT__(, ) __VA_ARGS__); \
    } while (0)

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing past U+10FFFF.
inline bool IsUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) n = 1, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) n = 2, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) n = 3, cp = c & 0x07;
        else return false;
        if (s.size() - i <= n) return false;
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

inline deruzera::THandle DeviceOver(const std::uint8_t* data, std::size_t size) {
    return deruzera::MemoryDevice(std::string(reinterpret_cast<const char*>(data), size));
}

// A device over a volume image that fails every read touching one stretch,
// as a disk with bad sectors does. The stretch comes from the boot sector's
// first three bytes (its jump instruction, which no reader looks at): where
// byte 0 is odd, byte 1 in 64 KiB steps from the start, byte 2 + 1 in 4 KiB
// steps long. The seeds' jump (EB 52 90) puts it past their end.
class FailingDevice final : public deruzera::TDevice {
public:
    // The input's first bytes say how it fails: bit 0 of byte 0 a stretch
    // of bad sectors (from byte 1 and 2), bit 1 short reads here and there,
    // as a disk and the kernel give them.
    FailingDevice(const std::uint8_t* data, std::size_t size) : inner_(DeviceOver(data, size)) {
        if (size >= 3 && (data[0] & 1)) {
            from_ = std::int64_t{data[1]} << 16;
            to_ = from_ + ((std::int64_t{data[2]} + 1) << 12);
        }
        shortReads_ = size >= 1 && (data[0] & 2);
    }
    // Keeps no state between reads: safe from several threads.
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t end = offset + static_cast<std::int64_t>(count);
        if (offset >= from_ && offset < to_) return -5;  // EIO
        // The bytes before a bad stretch come first, as a short read.
        if (offset < from_ && end > from_) count = static_cast<std::size_t>(from_ - offset);
        // Some reads stop short of what was asked, wherever the offset says.
        if (shortReads_ && count > 1 && (static_cast<std::uint64_t>(offset) * 0x9E3779B97F4A7C15ull >> 61) == 0)
            count = count / 2;
        return inner_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return inner_->Size(); }

private:
    deruzera::THandle inner_;
    std::int64_t from_ = 0;
    std::int64_t to_ = 0;
    bool shortReads_ = false;
};

}  // namespace fuzz
