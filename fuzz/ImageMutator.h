// A mutator for whole volume images. Most bytes of an image are file
// content that no reader of the volume looks at; mutating the image as a
// whole would spend nearly every run there. This one mutates a window: the
// boot sector, its backup in the last sector, one MFT record (found through
// the mutated image's own boot sector), or now and then any stretch, with
// libFuzzer's own mutations inside the window. The image keeps its size
// except on the rare whole-image mutation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>

#include "volume/Device.h"
#include "volume/Mft.h"
#include "volume/Records.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    std::minstd_rand random(seed);
    constexpr std::size_t Sector = 512;
    if (size < 8 * Sector || random() % 32 == 0) return LLVMFuzzerMutate(data, size, maxSize);

    // Where the MFT is, as the image's boot sector says.
    std::size_t mft = 0;
    std::size_t recordSize = 1024;
    {
        auto boot = deruzera::MemoryDevice(std::string(reinterpret_cast<const char*>(data), Sector));
        deruzera::TVolume volume;
        if (deruzera::ReadVolumeGeometry(*boot, volume) == deruzera::TGeometryEnd::Accepted &&
            static_cast<std::uint64_t>(volume.MFTOffset) < size) {
            mft = static_cast<std::size_t>(volume.MFTOffset);
            recordSize = volume.FileRecordSize;
        }
    }

    std::size_t from = 0;
    std::size_t length = Sector;
    const unsigned pick = random() % 16;
    if (pick < 2) {
        from = 0;  // the boot sector
    } else if (pick < 3) {
        from = size - Sector;  // its backup
    } else if (pick < 12 && mft != 0) {
        // One record of the first ones, record 0 and the system files more
        // often than the rest.
        const std::size_t n = random() % 2 ? random() % 16 : random() % 256;
        from = mft + n * recordSize;
        length = recordSize;
        // Now and then only the header and the first attributes.
        if (random() % 4 == 0) length = std::min<std::size_t>(length, 256);
    } else {
        length = std::size_t{1} << (6 + random() % 7);  // 64 bytes .. 4 KiB
        from = random() % size;
    }
    if (from >= size) from = random() % size;
    length = std::min(length, size - from);
    LLVMFuzzerMutate(data + from, length, length);
    return size;
}
