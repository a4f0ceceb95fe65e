#include "tools/RawPatch.h"

#include "tools/PlanText.h"

#include <cstring>
#include <fstream>

namespace deruzera::mkimage {
namespace {

std::uint64_t Get(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) v = (v << 8) | b.at(at + i);
    return v;
}

void Put(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

// The offset of the first attribute of `type` (unnamed for $DATA), or 0.
std::size_t Find(const std::vector<std::uint8_t>& r, std::uint32_t type) {
    for (std::size_t p = Get(r, 20, 2); p + 16 <= r.size();) {
        const std::uint32_t t = static_cast<std::uint32_t>(Get(r, p, 4));
        const std::size_t length = Get(r, p + 4, 4);
        if (t == 0xFFFFFFFF || length < 16 || p + length > r.size()) break;
        if (t == type && (type != 0x80 || r[p + 9] == 0)) return p;
        p += length;
    }
    return 0;
}

}  // namespace

void PatchRecord(const std::string& image, std::int64_t offset, std::uint32_t recordSize,
                 const std::function<void(std::vector<std::uint8_t>& record)>& edit) {
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<std::uint8_t> r(recordSize);
    file.seekg(offset);
    file.read(reinterpret_cast<char*>(r.data()), static_cast<std::streamsize>(r.size()));
    if (!file || std::memcmp(r.data(), "FILE", 4) != 0) throw TPlanError("no record at " + std::to_string(offset));
    const std::size_t usa = Get(r, 4, 2);
    const std::size_t count = Get(r, 6, 2);
    for (std::size_t i = 1; i < count; ++i) {
        r[i * 512 - 2] = r[usa + 2 * i];
        r[i * 512 - 1] = r[usa + 2 * i + 1];
    }
    edit(r);
    for (std::size_t i = 1; i < count; ++i) {
        r[usa + 2 * i] = r[i * 512 - 2];
        r[usa + 2 * i + 1] = r[i * 512 - 1];
        r[i * 512 - 2] = r[usa];
        r[i * 512 - 1] = r[usa + 1];
    }
    file.seekp(offset);
    file.write(reinterpret_cast<const char*>(r.data()), static_cast<std::streamsize>(r.size()));
    if (!file) throw TPlanError("writing the record at " + std::to_string(offset) + " failed");
}

void SetInitializedSize(std::vector<std::uint8_t>& record, std::uint64_t bytes) {
    const std::size_t data = Find(record, 0x80);
    if (data == 0 || record[data + 8] != 1) throw TPlanError("patch-vdl: the file's data is not non-resident");
    if (bytes > Get(record, data + 48, 8)) throw TPlanError("patch-vdl: larger than the file");
    Put(record, data + 56, bytes, 8);
}

void SetEncrypted(std::vector<std::uint8_t>& record) {
    const std::size_t data = Find(record, 0x80);
    const std::size_t si = Find(record, 0x10);
    if (data == 0 || si == 0) throw TPlanError("patch-encrypted: the record lacks $DATA or $STANDARD_INFORMATION");
    Put(record, data + 12, Get(record, data + 12, 2) | 0x4000, 2);
    Put(record, si + 24 + 32, Get(record, si + 24 + 32, 4) | 0x4000, 4);
}

void SetNotInUse(std::vector<std::uint8_t>& record) { Put(record, 22, Get(record, 22, 2) & ~std::uint64_t{1}, 2); }

void ZeroBootSector(const std::string& image) {
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(512, 0);
    file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    if (!file) throw TPlanError("zeroing the boot sector failed");
}

}  // namespace deruzera::mkimage
