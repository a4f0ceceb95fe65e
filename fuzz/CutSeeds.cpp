// Cuts the seeds of the lower-level fuzz targets out of a volume image:
//   geometry/NAME.head     the image up to a few dozen MFT records past record 0
//   geometry/NAME.backup   the same with the boot sector only in its last sector
//   record/NAME.N          raw records (before the fixup) of the first ones in use or deleted
//   runlist/NAME.N.K       each non-resident attribute's run list behind the
//                          runlist target's prefix (cluster size, count, sizes)
//   image/NAME.img         the image itself, for the scan and recovery targets
//
//   deruzera-fuzz-seeds IMAGE NAME OUTDIR
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "volume/Attributes.h"
#include "volume/Device.h"
#include "volume/Fixup.h"
#include "volume/Layout.h"
#include "volume/Mft.h"
#include "volume/Records.h"

using namespace deruzera;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t HeadRecords = 32;
constexpr std::size_t MaxRecords = 40;

void Save(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Le(std::uint64_t value, std::size_t width) {
    std::string s(width, '\0');
    for (std::size_t i = 0; i < width; ++i) s[i] = static_cast<char>(value >> (8 * i));
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s IMAGE NAME OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string name = argv[2];
    const fs::path out = argv[3];
    std::ifstream in(argv[1], std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < 4096) {
        std::fprintf(stderr, "%s: not an image\n", argv[1]);
        return 1;
    }
    auto device = MemoryDevice(image);
    TVolume volume;
    TOpenFailure failure;
    if (LoadVolume(*device, "C:", volume, nullptr, failure) != TScanEnd::Completed) {
        std::fprintf(stderr, "%s: the volume does not load\n", argv[1]);
        return 1;
    }

    Save(out / "image" / (name + ".img"), image);

    const std::size_t headBytes = std::min<std::size_t>(
        image.size(), static_cast<std::size_t>(volume.MFTOffset + HeadRecords * volume.FileRecordSize));
    const std::string head = image.substr(0, headBytes);
    Save(out / "geometry" / (name + ".head"), head);
    std::string backup = head;
    std::fill(backup.begin(), backup.begin() + 512, '\0');
    backup += image.substr(0, 512);
    Save(out / "geometry" / (name + ".backup"), backup);

    // Record 0, the root, then the deleted files, the directories and the
    // rest of the records past the system's reserved ones.
    std::vector<std::int64_t> picked = {MftRecord, RootRecord};
    TDynamicCharArray record;
    for (const int pass : {0, 1, 2}) {
        for (std::int64_t n = 24; n < volume.RecordCount && picked.size() < MaxRecords; ++n) {
            if (ReadFileRecord(*device, volume, n, record) != 0) continue;
            try {
                FixupRecord(record);
            } catch (const ERecordError&) {
                continue;
            }
            // Records never used carry no name.
            if (FindAttributeView(record, AttrFileName, false).empty()) continue;
            const std::uint16_t flags = ReadU16(record, RecordHeader::Flags);
            const int kind = flags == 0 ? 0 : flags & RecordIsDirectory ? 1 : 2;
            if (kind == pass) picked.push_back(n);
        }
    }

    std::set<std::string> seen;
    for (const std::int64_t n : picked) {
        if (ReadFileRecord(*device, volume, n, record) != 0) continue;
        Save(out / "record" / (name + "." + std::to_string(n)), std::string(record.begin(), record.end()));
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            continue;
        }
        TAttributeWalk walk(record);
        int k = 0;
        for (TBytes a = walk.Next(); !a.empty(); a = walk.Next(), ++k) {
            if (ReadU8(a, AttrHeader::NonResident) != 1) continue;
            const std::size_t runs = ReadU16(a, NonResident::RunListOffset);
            std::string seed;
            seed += static_cast<char>(__builtin_ctz(volume.BytesPerCluster) - 9);
            seed += Le(static_cast<std::uint64_t>(volume.ClusterCount), 8);
            seed += Le(ReadU64(a, NonResident::DataSize), 8);
            seed += Le(ReadU64(a, NonResident::InitializedSize), 8);
            seed.append(reinterpret_cast<const char*>(a.data()) + runs, a.size() - runs);
            if (seen.insert(seed).second)
                Save(out / "runlist" / (name + "." + std::to_string(n) + "." + std::to_string(k)), seed);
        }
    }
    return 0;
}
