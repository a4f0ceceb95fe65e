// Partition tables and what lies in each partition: the input is a whole
// disk. Before parsing, the checksums of GPT headers found at the second
// 512- or 4096-byte sector and in the last sector are made to hold (their
// entries' too), so that the fuzzer reaches what lies behind them; the
// input's last byte says whether (even) or not. Checks that the table ends,
// that every partition lies on the disk, and that the boot-sector test of
// each one ends with a kind it knows.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "volume/Identify.h"
#include "volume/Partitions.h"
#include "volume/Stack.h"

using namespace deruzera;

namespace {

void PutLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Makes the GPT header at `at` (and its entries, where they lie in the
// input) carry checksums that hold.
void FixGpt(std::vector<std::uint8_t>& disk, std::size_t at, std::size_t sector) {
    if (at + 92 > disk.size() || std::memcmp(disk.data() + at, "EFI PART", 8) != 0) return;
    const TBytes h(disk.data() + at, disk.size() - at);
    const std::uint64_t entriesLba = ReadU64(h, 72);
    const std::uint64_t bytes = std::uint64_t{ReadU32(h, 80)} * ReadU32(h, 84);
    if (entriesLba < disk.size() / sector && bytes <= disk.size() - entriesLba * sector)
        PutLE32(disk.data() + at + 88, Crc32(disk.data() + entriesLba * sector, static_cast<std::size_t>(bytes)));
    const std::uint32_t headerSize = ReadU32(h, 12);
    if (headerSize < 92 || headerSize > sector || at + headerSize > disk.size()) return;
    PutLE32(disk.data() + at + 16, 0);
    PutLE32(disk.data() + at + 16, Crc32(disk.data() + at, headerSize));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> disk(data, data + size);
    if (size > 0 && data[size - 1] % 2 == 0) {
        for (const std::size_t sector : {std::size_t{512}, std::size_t{4096}}) {
            FixGpt(disk, sector, sector);
            if (size >= 2 * sector) FixGpt(disk, (size / sector - 1) * sector, sector);
        }
    }
    const std::shared_ptr<TDevice> device = fuzz::DeviceOver(disk.data(), disk.size());
    const std::int64_t deviceSize = device->Size();
    for (const std::uint32_t hint : {0u, 512u, 4096u}) {
        const TPartitionTable table = ReadPartitionTable(*device, hint);
        FUZZ_CHECK(table.SectorSize == 512 || table.SectorSize == 4096, std::to_string(table.SectorSize));
        FUZZ_CHECK(hint == 0 || table.Scheme == TPartitionScheme::None || table.SectorSize == hint);
        FUZZ_CHECK(table.Partitions.size() <= 4 + MaxLogicalPartitions || table.Scheme == TPartitionScheme::Gpt);
        // Each damage is noted once per partition at most, and a few times for the table.
        FUZZ_CHECK(table.Notes.size() <= 2 * table.Partitions.size() + 4 + MaxGptEntryBytes / 128,
                   std::to_string(table.Notes.size()));
        for (const TPartition& p : table.Partitions) {
            FUZZ_CHECK(p.Start >= 0 && p.Start < deviceSize, std::to_string(p.Start));
            FUZZ_CHECK(p.Readable > 0 && p.Readable <= deviceSize - p.Start, std::to_string(p.Readable));
            FUZZ_CHECK(p.Length >= p.Readable && (p.Cut == (p.Length > p.Readable)));
            FUZZ_CHECK(p.Index >= 1);
            FUZZ_CHECK(fuzz::IsUtf8(p.Name));
            if (hint == 0) {
                const auto slice = SliceDevice(device, p.Start, p.Readable);
                const TVolumeIdentity id = IdentifyVolume(*slice);
                FUZZ_CHECK(fuzz::IsUtf8(id.Label));
                FUZZ_CHECK(id.Kind == TFileSystemKind::Ntfs || id.Label.empty());
            }
        }
    }
    return 0;
}
