// Hand-made NTFS volumes in memory, for the corner cases no driver writes:
// a boot sector, an MFT of records built attribute by attribute, with the
// update sequence applied as NTFS applies it.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "volume/Records.h"

namespace synth {

using Bytes = std::vector<std::uint8_t>;

inline void Put(Bytes& b, std::size_t at, std::uint64_t value, std::size_t width) {
    if (b.size() < at + width) b.resize(at + width, 0);
    for (std::size_t i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline Bytes Utf16(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

// A resident attribute with `value` at offset 24.
inline Bytes Resident(std::uint32_t type, const Bytes& value, std::uint16_t flags = 0) {
    Bytes a(24, 0);
    a.insert(a.end(), value.begin(), value.end());
    while (a.size() % 8) a.push_back(0);
    Put(a, 0, type, 4);
    Put(a, 4, a.size(), 4);
    Put(a, 12, flags, 2);
    Put(a, 16, value.size(), 4);
    Put(a, 20, 24, 2);
    return a;
}

inline Bytes StandardInformation(std::uint64_t created, std::uint64_t modified) {
    Bytes v(72, 0);
    Put(v, 0, created, 8);
    Put(v, 8, modified, 8);
    return Resident(0x10, v);
}

// Namespaces: 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS.
inline Bytes FileName(std::uint64_t parent, const std::u16string& name, std::uint8_t ns = 1) {
    Bytes v(66, 0);
    Put(v, 0, parent, 8);
    v[64] = static_cast<std::uint8_t>(name.size());
    v[65] = ns;
    const Bytes n = Utf16(name);
    v.insert(v.end(), n.begin(), n.end());
    return Resident(0x30, v);
}

inline Bytes NonResident(std::uint32_t type, const Bytes& runs, std::uint64_t realSize, std::int64_t firstVcn = 0,
                         std::int64_t lastVcn = 0, std::uint16_t flags = 0) {
    Bytes a(72, 0);
    a.insert(a.end(), runs.begin(), runs.end());
    a.push_back(0);
    while (a.size() % 8) a.push_back(0);
    Put(a, 0, type, 4);
    Put(a, 4, a.size(), 4);
    a[8] = 1;
    Put(a, 12, flags, 2);
    Put(a, 16, static_cast<std::uint64_t>(firstVcn), 8);
    Put(a, 24, static_cast<std::uint64_t>(lastVcn), 8);
    Put(a, 32, 72, 2);
    Put(a, 40, realSize, 8);
    Put(a, 48, realSize, 8);
    Put(a, 56, realSize, 8);
    return a;
}

// An $ATTRIBUTE_LIST entry: attribute `type` from VCN `vcn` lives in the
// record `reference` names.
inline Bytes ListEntry(std::uint32_t type, std::uint64_t vcn, std::uint64_t reference) {
    Bytes e(32, 0);
    Put(e, 0, type, 4);
    Put(e, 4, 32, 2);
    Put(e, 7, 26, 1);
    Put(e, 8, vcn, 8);
    Put(e, 16, reference, 8);
    return e;
}

// A file record of `size` bytes: header, attributes, end marker, and the
// update sequence (number 0x0A0B unless told) over every 512-byte stretch.
inline Bytes Record(std::uint16_t flags, const std::vector<Bytes>& attributes, std::size_t size = 1024,
                    std::uint16_t usn = 0x0A0B) {
    Bytes r(size, 0);
    std::memcpy(r.data(), "FILE", 4);
    const std::size_t count = size / 512 + 1;
    Put(r, 4, 48, 2);
    Put(r, 6, count, 2);
    Put(r, 16, 1, 2);
    const std::size_t first = (48 + 2 * count + 7) / 8 * 8;
    Put(r, 20, first, 2);
    Put(r, 22, flags, 2);
    std::size_t p = first;
    for (const Bytes& a : attributes) {
        if (p + a.size() + 8 > size) throw std::length_error("the attributes do not fit the record");
        std::memcpy(r.data() + p, a.data(), a.size());
        p += a.size();
    }
    Put(r, p, 0xFFFFFFFF, 4);
    Put(r, 24, p + 8, 4);
    Put(r, 28, size, 4);
    Put(r, 48, usn, 2);
    for (std::size_t i = 1; i < count; ++i) {
        r[48 + 2 * i] = r[i * 512 - 2];
        r[48 + 2 * i + 1] = r[i * 512 - 1];
        Put(r, i * 512 - 2, usn, 2);
    }
    return r;
}

// A whole volume: boot sector at 0, the MFT at cluster `mftCluster`.
struct Volume {
    std::uint16_t sector = 512;
    std::uint8_t sectorsPerCluster = 8;
    std::uint32_t recordSize = 1024;
    std::int64_t mftCluster = 4;
    std::int64_t records = 64;
    std::string image;

    std::uint32_t Cluster() const { return std::uint32_t{sector} * sectorsPerCluster; }
    std::int64_t MftOffset() const { return mftCluster * Cluster(); }

    // Boot sector and record 0 with the MFT's $DATA covering `records` records.
    explicit Volume(std::int64_t recordCount = 64, std::size_t imageBytes = 4 << 20) : records(recordCount) {
        image.assign(imageBytes, '\0');
        Bytes boot(512, 0);
        std::memcpy(boot.data() + 3, "NTFS    ", 8);
        Put(boot, 11, sector, 2);
        boot[13] = sectorsPerCluster;
        Put(boot, 48, static_cast<std::uint64_t>(mftCluster), 8);
        Put(boot, 64, 0xF6, 4);
        Write(0, boot);
        SetMft();
    }

    void SetMft(std::uint16_t dataFlags = 0) {
        const std::int64_t clusters = (records * recordSize + Cluster() - 1) / Cluster();
        Bytes runs = {0x24, 0, 0, 0, 0, 0, 0};
        Put(runs, 1, static_cast<std::uint64_t>(clusters), 4);
        Put(runs, 5, static_cast<std::uint64_t>(mftCluster), 2);
        PutRecord(0, Record(1, {StandardInformation(0, 0), FileName(5, u"$MFT", 3),
                                NonResident(0x80, runs, static_cast<std::uint64_t>(records * recordSize), 0,
                                            clusters - 1, dataFlags)}));
        PutRecord(5, Record(3, {StandardInformation(0, 0), FileName(5, u".", 3)}));
    }

    void Write(std::int64_t at, const Bytes& bytes) {
        if (image.size() < at + bytes.size()) image.resize(static_cast<std::size_t>(at) + bytes.size(), '\0');
        std::memcpy(image.data() + at, bytes.data(), bytes.size());
    }
    void PutRecord(std::int64_t n, const Bytes& record) { Write(MftOffset() + n * recordSize, record); }

    std::int64_t RecordOffset(std::int64_t n) const { return MftOffset() + n * recordSize; }

    // An extension record of `base` (its sequence number 1) holding `attributes`.
    void Extension(std::int64_t n, std::int64_t base, const std::vector<Bytes>& attributes, std::uint16_t flags = 0) {
        Bytes r = Record(flags, attributes);
        Put(r, 32, (std::uint64_t{1} << 48) | static_cast<std::uint64_t>(base), 8);
        PutRecord(n, r);
    }
    // A deleted (flags 0) file with resident content.
    void DeletedFile(std::int64_t n, std::uint64_t parent, const std::u16string& name, const std::string& content,
                     std::uint64_t time = 116444736000000000ull) {
        PutRecord(n, Record(0, {StandardInformation(time, time), FileName(parent, name),
                                Resident(0x80, Bytes(content.begin(), content.end()))}));
    }
    void Directory(std::int64_t n, std::uint64_t parent, const std::u16string& name, std::uint16_t flags = 3) {
        PutRecord(n, Record(flags, {StandardInformation(0, 0), FileName(parent, name)}));
    }
};

}  // namespace synth
