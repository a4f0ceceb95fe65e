// One file record: the input, cut or padded to a record size of 512 to
// 4096 bytes (the next one up from its length), goes through the fixup and
// the attribute walk, and every attribute through the readers the scan and
// the recovery use on it.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"

using namespace deruzera;

namespace {

bool Inside(TBytes part, TBytes whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void CheckName(TBytes fileName) {
    const std::string name = FileNameOf(fileName);
    FUZZ_CHECK(fuzz::IsUtf8(name));
    // 255 UTF-16 units at most, each 3 UTF-8 bytes at most (a pair of
    // surrogates makes 4 bytes of 2 units).
    FUZZ_CHECK(name.size() <= 255 * 3);
    (void)ParentReferenceOf(fileName);
}

void CheckContent(TBytes record, TBytes data, const TVolume& volume) {
    try {
        const TFileContent content = ContentOfAttribute(data, volume);
        std::uint64_t total = 0;
        std::uint64_t stored = 0;
        for (const TContentExtent& e : content.Extents) {
            FUZZ_CHECK(e.Length > 0);
            total += e.Length;
            if (e.VolumeOffset >= 0) {
                stored += e.Length;
                FUZZ_CHECK(static_cast<std::uint64_t>(e.VolumeOffset) + e.Length <=
                           static_cast<std::uint64_t>(volume.ClusterCount) * volume.BytesPerCluster);
            }
        }
        if (content.Resident) {
            FUZZ_CHECK(content.Extents.empty() && content.Size == content.ResidentBytes.size());
            FUZZ_CHECK(content.Size <= record.size());
        } else {
            FUZZ_CHECK(total == content.Size, std::to_string(total) + " != " + std::to_string(content.Size));
            FUZZ_CHECK(stored <= static_cast<std::uint64_t>(volume.ClusterCount) * volume.BytesPerCluster);
        }
    } catch (const ERecordError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::size_t recordSize = 512;
    while (recordSize < size && recordSize < 4096) recordSize *= 2;
    std::vector<std::uint8_t> record(recordSize, 0);
    std::memcpy(record.data(), data, std::min(size, recordSize));
    const std::vector<std::uint8_t> before = record;

    bool fixed = true;
    try {
        FixupRecord(record);
    } catch (const ERecordError& e) {
        fixed = false;
        FUZZ_CHECK(std::strlen(e.what()) > 0);
    }
    // The fixup changes the last two bytes of each 512-byte stretch and
    // nothing else.
    for (std::size_t i = 0; i < recordSize; ++i)
        if (i % UpdateSequenceStride < UpdateSequenceStride - 2)
            FUZZ_CHECK(record[i] == before[i], std::to_string(i));

    TVolume volume;
    volume.BytesPerSector = 512;
    volume.BytesPerCluster = 4096;
    volume.FileRecordSize = static_cast<std::uint32_t>(recordSize);
    volume.ClusterCount = 1 << 20;

    // The walk, over the fixed-up record (or over the raw bytes where the
    // fixup refused them: the walk takes any bytes).
    const TBytes bytes(record);
    TAttributeWalk walk(bytes);
    const std::uint8_t* last = nullptr;
    std::size_t count = 0;
    std::vector<TBytes> attributes;
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        FUZZ_CHECK(Inside(a, bytes));
        FUZZ_CHECK(a.size() >= AttrHeader::Size && a.size() % 8 == 0);
        FUZZ_CHECK(last == nullptr || a.data() >= last, "attributes overlap");
        last = a.data() + a.size();
        FUZZ_CHECK(++count <= recordSize / AttrHeader::Size, "the walk does not end");
        attributes.push_back(a);

        const TBytes value = ResidentValue(a);
        FUZZ_CHECK(value.empty() || Inside(value, a));
        const std::uint32_t type = ReadU32(a, AttrHeader::Type);
        if (type == AttrFileName) CheckName(a);
        if (ReadU8(a, AttrHeader::NonResident) == 1 || type == AttrData || type == AttrAttributeList)
            CheckContent(bytes, a, volume);
    }

    // A lookup finds the first attribute of its type that the walk gives.
    for (std::uint32_t type = 0x10; type <= 0x100; type += 0x10) {
        for (const bool named : {true, false}) {
            const TBytes found = FindAttributeView(bytes, type, false, named);
            TBytes first;
            for (const TBytes a : attributes)
                if (ReadU32(a, AttrHeader::Type) == type && (named || ReadU8(a, AttrHeader::NameLength) == 0)) {
                    first = a;
                    break;
                }
            FUZZ_CHECK(found.data() == first.data() && found.size() == first.size(), std::to_string(type));
        }
    }
    const TBytes longName = FindAttributeView(bytes, AttrFileName, true);
    if (!longName.empty()) {
        FUZZ_CHECK(ReadU8(longName, FileName::Namespace) != NamespaceDos);
        CheckName(longName);
    }
    if (fixed) {
        try {
            (void)ExtractFileContent(bytes, volume);
        } catch (const ERecordError&) {
        }
    }
    return 0;
}
