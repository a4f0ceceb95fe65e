// The boot sector and the MFT's map: the input is the whole device. Reads
// the geometry from the boot sector (and from the last sector, where a
// backup copy lies), then loads the volume as a scan does, and checks that
// what comes out describes a volume that could exist.
#include "FuzzSupport.h"

using namespace deruzera;

namespace {

constexpr std::uint64_t MaxVolumeBytes = std::uint64_t{1} << 48;

struct NullLog : TLogSink {
    void Line(const TLogLine& line) override { FUZZ_CHECK(!line.Text.empty()); }
};

void CheckGeometry(const TVolume& v) {
    FUZZ_CHECK(v.BytesPerSector > 0);
    FUZZ_CHECK(v.BytesPerCluster > 0 && v.BytesPerCluster <= 2u * 1024 * 1024);
    FUZZ_CHECK(v.FileRecordSize >= RecordHeader::Size && v.FileRecordSize <= 64u * 1024);
    FUZZ_CHECK(v.FileRecordSize % v.BytesPerSector == 0);
    FUZZ_CHECK(v.MFTOffset >= 0 && static_cast<std::uint64_t>(v.MFTOffset) < MaxVolumeBytes);
    FUZZ_CHECK(v.ClusterCount >= 0 &&
               static_cast<std::uint64_t>(v.ClusterCount) <= MaxVolumeBytes / v.BytesPerCluster);
}

// The MFT's runs are in VCN order, apart, inside the volume, and the
// records counted lie inside them.
void CheckMftMap(const TVolume& v, std::int64_t deviceSize) {
    CheckGeometry(v);
    FUZZ_CHECK(v.RecordCount >= 0);
    std::int64_t end = 0;
    for (const TMftRun& run : v.MFTRuns) {
        FUZZ_CHECK(run.Vcn >= end, std::to_string(run.Vcn));
        FUZZ_CHECK(run.Length > 0 && run.Lcn >= 0);
        FUZZ_CHECK(run.Lcn <= v.ClusterCount - run.Length, std::to_string(run.Lcn) + "+" + std::to_string(run.Length));
        end = run.Vcn + run.Length;
    }
    const auto recordBytes = static_cast<std::uint64_t>(v.RecordCount) * v.FileRecordSize;
    if (v.MFTRuns.empty()) {
        FUZZ_CHECK(recordBytes <= static_cast<std::uint64_t>(std::max<std::int64_t>(deviceSize, 0)) + v.BytesPerCluster,
                   std::to_string(v.RecordCount));
    } else {
        FUZZ_CHECK(recordBytes <= static_cast<std::uint64_t>(end) * v.BytesPerCluster, std::to_string(v.RecordCount));
    }
    // Every record counted has a place on the volume; the first and last
    // read without trouble.
    if (v.RecordCount > 0) {
        FUZZ_CHECK(FileRecordOffset(v, 0) >= 0);
        FUZZ_CHECK(FileRecordOffset(v, v.RecordCount - 1) >= 0 || !v.MFTRuns.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto device = fuzz::DeviceOver(data, size);
    const std::int64_t deviceSize = device->Size();

    for (const std::int64_t at : {std::int64_t{0}, (deviceSize / 512 - 1) * 512}) {
        TVolume volume;
        volume.CurrentDrive = "C:";
        if (ReadVolumeGeometry(*device, volume, at) == TGeometryEnd::Accepted) {
            CheckGeometry(volume);
            FUZZ_CHECK(volume.FromBackupBoot == (at != 0));
        } else {
            FUZZ_CHECK(volume.BytesPerCluster == 0 && volume.MFTRuns.empty());
        }
    }

    TVolume volume;
    TOpenFailure failure;
    NullLog log;
    const TScanEnd end = LoadVolume(*device, "C:", volume, &log, failure);
    FUZZ_CHECK(volume.CurrentDrive == "C:");
    if (end == TScanEnd::Completed) {
        CheckMftMap(volume, deviceSize);
        TDynamicCharArray record;
        for (const std::int64_t n : {std::int64_t{0}, volume.RecordCount - 1, volume.RecordCount}) {
            ReadFileRecord(*device, volume, n, record);
            FUZZ_CHECK(record.size() == volume.FileRecordSize);
        }
    }
    return 0;
}
