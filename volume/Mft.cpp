// The volume's geometry and the MFT's map: the boot sector (or its backup
// copy in the volume's last sector), record 0, and the extension records of
// record 0's attribute list where the MFT is too fragmented for it.
#include <algorithm>
#include <set>

#include "Attributes.h"
#include "Fixup.h"
#include "Messages.h"
#include "Layout.h"
#include "Mft.h"
#include "Runs.h"

namespace deruzera {
namespace {

std::string At(std::int64_t offset) { return " (at byte " + std::to_string(offset) + ")"; }

// Appends the runs of one $DATA extent of the MFT to `runs`; the extent's
// run list counts clusters from its own first VCN. False when damaged.
bool AppendMftRuns(TBytes data, const TVolume& volume, std::vector<TMftRun>& runs) {
    const std::size_t runOffset = ReadU16(data, NonResident::RunListOffset);
    const std::int64_t firstVcn = ReadS64(data, NonResident::FirstVcn);
    if (runOffset >= data.size() || firstVcn < 0 || firstVcn >= volume.ClusterCount) return false;
    try {
        std::int64_t vcn = firstVcn;
        bool fits = true;
        ForEachRun(data.subspan(runOffset), volume.BytesPerCluster, volume.ClusterCount, [&](const TDataRun& run) {
            // The MFT can't have more clusters than its volume.
            const auto length = static_cast<std::int64_t>(run.Length);
            if (!fits || vcn > volume.ClusterCount - length) {
                fits = false;
                return;
            }
            if (run.Lcn >= 0) runs.push_back({vcn, run.Lcn, length});
            vcn += length;
        });
        if (!fits) return false;
    } catch (const ERecordError&) {
        return false;
    }
    return true;
}

// The runs in VCN order with overlapping ones dropped: a later extent that
// claims VCNs an earlier one holds is damage.
void OrderRuns(std::vector<TMftRun>& runs) {
    std::stable_sort(runs.begin(), runs.end(), [](const TMftRun& a, const TMftRun& b) { return a.Vcn < b.Vcn; });
    std::vector<TMftRun> kept;
    for (const TMftRun& run : runs)
        if (kept.empty() || run.Vcn >= kept.back().Vcn + kept.back().Length) kept.push_back(run);
    runs = std::move(kept);
}

// An MFT too fragmented for record 0 keeps the runs of its later VCNs in
// extension records that record 0's $ATTRIBUTE_LIST names. Each extension
// record counts once, and only for VCNs past those already mapped. Returns
// the last VCN the runs reach.
std::int64_t AppendExtensionRuns(TBytes record0, std::int64_t lastVcn, TDevice& device, TVolume& volume) {
    const TDynamicCharArray list = ReadAttributeList(record0, &device, volume);
    if (list.empty()) return lastVcn;
    std::set<std::int64_t> visited;
    TDynamicCharArray record;
    // The MFT as mapped so far: extension records lie in the part already
    // mapped. Each extent begins past every VCN mapped before it, so its runs
    // go at the map's end, which is never copied or sorted again: thousands
    // of extents map in linear time.
    TVolume mapped = volume;
    std::vector<TMftRun>& runs = mapped.MFTRuns;
    for (std::size_t p = 0; p + ListEntry::Size <= list.size();) {
        const std::size_t length = ReadU16(list, p + ListEntry::Length);
        if (length < ListEntry::Size || length % 8 != 0) break;
        const std::int64_t n = RecordNumberOf(ReadU64(list, p + ListEntry::Record));
        const auto firstVcn = static_cast<std::int64_t>(ReadU64(list, p + ListEntry::FirstVcn));
        p += length;
        if (ReadU32(list, p - length + ListEntry::Type) != AttrData || list[p - length + ListEntry::NameLength] != 0 ||
            firstVcn <= lastVcn || n <= MftRecord || !visited.insert(n).second)
            continue;
        if (ReadFileRecord(device, mapped, n, record) != 0) continue;
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            continue;
        }
        if (RecordNumberOf(ReadU64(record, RecordHeader::BaseRecord)) != MftRecord) continue;
        const TBytes extent = FindAttributeView(record, AttrData, false, false);
        const std::int64_t extentLast = ReadS64(extent, NonResident::LastVcn);
        if (extent.empty() || ReadU8(extent, AttrHeader::NonResident) != 1 ||
            ReadS64(extent, NonResident::FirstVcn) != firstVcn || extentLast < firstVcn)
            continue;
        // An extent whose runs reach back into VCNs mapped before is damage.
        const std::size_t before = runs.size();
        if (AppendMftRuns(extent, volume, runs) &&
            (before == 0 || runs.size() == before || runs[before].Vcn >= runs[before - 1].Vcn + runs[before - 1].Length))
            lastVcn = std::max(lastVcn, extentLast);
        else
            runs.resize(before);
    }
    volume.MFTRuns = std::move(runs);
    return lastVcn;
}

// Reads the MFT's extent from record 0 into `volume`: its runs (from $DATA,
// and from the extension records of its attribute list) and RecordCount.
TScanEnd ReadMftExtent(TBytes record0, TBytes data, TDevice& device, TVolume& volume, TOpenFailure& failure) {
    volume.MFTRuns.clear();
    volume.RecordCount = 0;
    if (data.empty() || ReadU8(data, AttrHeader::NonResident) != 1) return TScanEnd::Completed;  // nothing to walk

    const std::int64_t firstVcn = ReadS64(data, NonResident::FirstVcn);
    std::int64_t lastVcn = ReadS64(data, NonResident::LastVcn);
    failure.Offset = volume.MFTOffset;
    if (firstVcn != 0 || lastVcn < firstVcn) {
        failure.What = "record 0 gives VCNs " + std::to_string(firstVcn) + " to " + std::to_string(lastVcn) + At(volume.MFTOffset);
        return TScanEnd::MftDamaged;
    }
    if (lastVcn >= volume.ClusterCount) {
        failure.What = "its extent of " + std::to_string(lastVcn) + " clusters lies outside the volume of " +
                       std::to_string(volume.ClusterCount) + " clusters" + At(volume.MFTOffset);
        return TScanEnd::MftDamaged;
    }
    if (AppendMftRuns(data, volume, volume.MFTRuns)) {
        OrderRuns(volume.MFTRuns);
        lastVcn = AppendExtensionRuns(record0, lastVcn, device, volume);
    } else {
        volume.MFTRuns.clear();  // damaged runs: take the MFT as one stretch from MFTOffset
    }

    // lastVcn lies inside the volume, whose bytes fit in 48 bits.
    const std::int64_t bytes = (lastVcn - firstVcn + 1) * static_cast<std::int64_t>(volume.BytesPerCluster);
    const std::int64_t deviceSize = device.Size();
    if (deviceSize >= 0 && bytes > deviceSize && volume.MFTRuns.empty()) {
        failure.What = "its extent of " + std::to_string(bytes) + " bytes is larger than the drive" + At(volume.MFTOffset);
        return TScanEnd::MftDamaged;
    }
    const std::int64_t recordSize = volume.FileRecordSize;
    std::int64_t records = bytes / recordSize;
    // Records past the initialized size were never written, and records no
    // run holds can't be read: the walk stops before either.
    const auto initialized = static_cast<std::uint64_t>(ReadU64(data, NonResident::InitializedSize));
    if (initialized < static_cast<std::uint64_t>(bytes))
        records = std::min<std::int64_t>(records, static_cast<std::int64_t>((initialized + recordSize - 1) / recordSize));
    if (!volume.MFTRuns.empty()) {
        const TMftRun& last = volume.MFTRuns.back();
        records = std::min(records, (last.Vcn + last.Length) * static_cast<std::int64_t>(volume.BytesPerCluster) / recordSize);
    }
    volume.RecordCount = records;
    failure.Offset = -1;
    return TScanEnd::Completed;
}

// Reads the system records 0 to 15 of the volume whose geometry is in
// `volume` (they always lie together at the MFT's start) and maps the MFT
// from record 0. The records as read go to `system` where asked for.
TScanEnd LoadMft(TDevice& device, TVolume& volume, TOpenFailure& failure, TDynamicCharArray* system) {
    const std::size_t recordSize = volume.FileRecordSize;
    TDynamicCharArray first(recordSize * FirstUserRecord);
    if (ReadMftBytes(device, volume, 0, first.data(), first.size()) != 0) {
        // Something among them failed: whether record 0 itself can be read
        // decides.
        TDynamicCharArray alone;
        if (const int error = ReadFileRecord(device, volume, MftRecord, alone)) {
            failure.Error = error;
            failure.Offset = volume.MFTOffset;
            return TScanEnd::ReadError;
        }
        std::copy(alone.begin(), alone.end(), first.begin());
    }
    TDynamicCharArray record0(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(recordSize));
    if (system) *system = std::move(first);
    try {
        FixupRecord(record0);
    } catch (const ERecordError& e) {
        failure.What = e.what();
        return TScanEnd::Record0Damaged;
    }
    const TBytes data = FindAttributeView(record0, AttrData, false, false);
    const std::uint16_t flags = ReadU16(data, AttrHeader::Flags);
    if (flags == AttrCompressed || flags == AttrEncrypted || flags == AttrSparse) return TScanEnd::MftUnreadable;
    return ReadMftExtent(record0, data, device, volume, failure);
}

}  // namespace

TScanEnd LoadVolume(TDevice& device, const std::string& drive, TVolume& volume, TLogSink* log, TOpenFailure& failure,
                    TDynamicCharArray* systemRecords) {
    volume = TVolume{};
    volume.CurrentDrive = drive;
    int error = 0;
    TGeometryEnd geometry = ReadVolumeGeometry(device, volume, 0, &error);
    if (geometry == TGeometryEnd::ReadError) {
        failure.Error = error;
        failure.Offset = 0;
        return TScanEnd::ReadError;
    }
    if (geometry == TGeometryEnd::Accepted && log) log->Line(NtfsDiskLine());
    TScanEnd end = geometry == TGeometryEnd::Accepted ? LoadMft(device, volume, failure, systemRecords)
                   : geometry == TGeometryEnd::NotNtfs ? TScanEnd::NotNtfs
                                                       : TScanEnd::UnsupportedGeometry;
    if (end != TScanEnd::NotNtfs && end != TScanEnd::UnsupportedGeometry && end != TScanEnd::Record0Damaged) return end;

    // NTFS keeps a copy of its boot sector in the volume's last sector: where
    // the first one is unusable and the copy describes an MFT that checks
    // out, the copy serves.
    const std::int64_t size = device.Size();
    for (const std::int64_t sector : {std::int64_t{512}, std::int64_t{4096}}) {
        if (size < 2 * sector) continue;
        TVolume backup = volume;
        TOpenFailure backupFailure;
        if (ReadVolumeGeometry(device, backup, (size / sector - 1) * sector) != TGeometryEnd::Accepted) continue;
        if (LoadMft(device, backup, backupFailure, systemRecords) != TScanEnd::Completed) continue;
        if (log) {
            log->Line(BackupBootLine());
            if (geometry != TGeometryEnd::Accepted) log->Line(NtfsDiskLine());
        }
        volume = std::move(backup);
        return TScanEnd::Completed;
    }
    if (geometry == TGeometryEnd::Unsupported && log) log->Line(NtfsDiskLine());
    return end;
}

}  // namespace deruzera
