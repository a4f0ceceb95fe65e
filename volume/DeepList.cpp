// The deep scan's listing: each group's tree from the parents its names
// give, the files listed with their states, and their recovery plans.
#include "DeepList.h"

#include <algorithm>

#include "Attributes.h"
#include "Fixup.h"
#include "Mft.h"
#include "Pass.h"
#include "Read.h"
#include "Runs.h"
#include "Stack.h"
#include "Volume.h"

namespace deruzera::deep {
namespace {

// Files are handed over this many at a time: the caller keeps them, so a
// batch of a whole volume's would be held twice.
constexpr std::size_t DeliverEvery = 4096;
// $Extend: the files below it are the volume's own ($Quota, $ObjId, ...).
constexpr std::int64_t ExtendRecord = 11;

// A group's device: its stretch of the device the pass read.
std::shared_ptr<TDevice> GroupDevice(const std::shared_ptr<TDevice>& device, const TGroup& group) {
    return group.Base == 0 && group.Bytes >= device->Size() ? device : SliceDevice(device, group.Base, group.Bytes);
}

// Record `r` as it lies on the device now, fixed up; empty where it can't
// be read or no longer passes its checks.
TDynamicCharArray ReadAgain(TDevice& device, const TRecordFound& r) {
    TDynamicCharArray bytes(r.Size);
    if (ReadCarefully(device, r.Offset, bytes.data(), bytes.size()).Bytes > 0) return {};
    try {
        FixupRecord(bytes);
    } catch (const ERecordError&) {
        return {};
    }
    return bytes;
}

// The extension records of group `group` as a fetch for base record `base`,
// read again where they were found on `device` (the one the pass read).
TExtensionFetch GroupFetch(const TFinds& finds, const TGroup& group, TDevice& device, std::int64_t base,
                           std::uint16_t sequence) {
    return [&finds, &group, &device, base, sequence](std::int64_t n) {
        const TRecordFound* r = RecordOf(finds, group, n);
        if (!r || r->BaseRecord == 0) return TDynamicCharArray{};
        TDynamicCharArray bytes = ReadAgain(device, *r);
        return !bytes.empty() && BelongsTo(bytes, base, sequence) ? bytes : TDynamicCharArray{};
    };
}

// The cluster size record `r` of `group` is read with.
std::uint32_t ClusterFor(const TGroup& group, const TRecordFound& r) { return r.Cluster ? r.Cluster : group.Cluster; }

// Whether record `r` of `group` is one of the volume that opens there, in
// its MFT where its number puts it.
bool HeldByLive(const TGroup& group, const TRecordFound& r) {
    if (!group.Live) return false;
    const TVolume& live = group.Live->Geometry();
    if (live.FileRecordSize != r.Size || r.Number >= live.RecordCount) return false;
    const std::int64_t at = FileRecordOffset(live, r.Number);
    return at >= 0 && group.Base + at == r.Offset;
}

// Bytes of `stream` (clusters of `cluster` bytes) that lie in clusters of
// `bitmap` (of `liveCluster` bytes, from the same cluster 0) in use.
std::uint64_t OverwrittenAcross(const TDataStream& stream, std::uint32_t cluster, TClusterBitmap& bitmap,
                                std::uint32_t liveCluster, std::uint64_t& stored, bool& known) {
    std::uint64_t overwritten = 0;
    stored = 0;
    const std::uint64_t c = cluster, lc = liveCluster;
    for (const TVcnRun& run : stream.Runs) {
        if (run.Lcn < 0) continue;
        const std::uint64_t fileFrom = static_cast<std::uint64_t>(run.Vcn) * c;
        if (fileFrom >= stream.DataSize) break;
        const std::uint64_t length = std::min<std::uint64_t>(run.Length * c, stream.DataSize - fileFrom);
        const std::uint64_t from = static_cast<std::uint64_t>(run.Lcn) * c, to = from + length;
        stored += length;
        auto inUse = [&](std::uint64_t lcn, std::uint64_t count) {
            bool k = true;
            const std::uint64_t n = bitmap.InUse(static_cast<std::int64_t>(lcn), count, &k);
            if (!k) known = false;
            return n;
        };
        // The clusters of the volume wholly inside the run, then the ones at
        // its ends that it covers in part.
        const std::uint64_t firstWhole = (from + lc - 1) / lc, endWhole = to / lc;
        const std::uint64_t firstCluster = from / lc, lastCluster = (to - 1) / lc;
        auto part = [&](std::uint64_t lcn) { return std::min(to, (lcn + 1) * lc) - std::max(from, lcn * lc); };
        const bool noWhole = firstWhole >= endWhole;
        if (!noWhole) overwritten += inUse(firstWhole, endWhole - firstWhole) * lc;
        if ((from % lc != 0 || noWhole) && inUse(firstCluster, 1)) overwritten += part(firstCluster);
        if (lastCluster != firstCluster && (to % lc != 0 || noWhole) && inUse(lastCluster, 1))
            overwritten += part(lastCluster);
    }
    return std::min(overwritten, stored);
}

struct TStream {
    TDataStream Stream;
    bool Found = false;
    std::string ExtensionName;   // a name only an extension record holds
    std::uint64_t ExtensionParent = 0;
};

// The data stream of base record `r`: from its $DATA as kept, or where it
// has an attribute list (or a $DATA too long to keep), from the record read
// again on `device` (the one the pass read) and the extension records of
// its group; `on` is the group's stretch of it.
TStream StreamOf(const TFinds& finds, const TGroup& group, const TRecordFound& r, TDevice& device, TDevice& on,
                 const TVolume& volume) {
    TStream out;
    try {
        if (!r.HasList && r.HasData) {
            const TBytes data = finds.Data(r);
            if (!data.empty()) {
                out.Stream = StreamOfAttribute(data, volume);
                out.Found = true;
                return out;
            }
            if (r.ResidentData) {
                // Resident: its bytes are in the record.
                out.Stream.Found = out.Stream.Resident = true;
                out.Stream.DataSize = out.Stream.InitializedSize = r.DataSize;
                out.Found = true;
                return out;
            }
        }
        if (!r.HasList && !r.HasData) return out;
        const TDynamicCharArray bytes = ReadAgain(device, r);
        if (bytes.empty() || ReadU32(bytes, 44) != r.Number) return out;
        const TExtensionFetch fetch = GroupFetch(finds, group, device, r.Number, r.Sequence);
        if (!r.HasName) {
            TDynamicCharArray holder;
            const TBytes name = NameOfRecord(bytes, ReadAttributeList(bytes, &on, volume), fetch, holder);
            if (!name.empty()) {
                out.ExtensionName = FileNameOf(name);
                out.ExtensionParent = ParentReferenceOf(name);
            }
        }
        out.Stream = StreamOfRecord(bytes, r.Number, volume, &on, fetch);
        out.Found = out.Stream.Found;
    } catch (const ERecordError&) {
        out.Found = false;
    }
    return out;
}

// The state of a file listed from group `group`, by the volume that lives
// there now (its clusters in use now are taken), else by the group's own
// bitmap (a deleted file's clusters in use are taken; a file in use holds
// its own), else not known.
void StateOfFile(const TGroup& group, const TRecordFound& r, const TDataStream& stream, std::uint32_t cluster,
                 TDevice& device, TFoundFiles& found) {
    if (stream.Resident) {
        // Its bytes lie in the record found.
        found.State = TRecoverability::Intact;
        return;
    }
    std::uint64_t stored = 0, overwritten = 0;
    bool known = true;
    if (TClusterBitmap* bitmap = group.Live ? group.Live->Bitmap() : nullptr) {
        const std::uint32_t liveCluster = group.Live->Geometry().BytesPerCluster;
        overwritten = liveCluster == cluster ? OverwrittenBytes(stream, *bitmap, cluster, stored, &known)
                                             : OverwrittenAcross(stream, cluster, *bitmap, liveCluster, stored, known);
        found.State = known ? StateOf(overwritten, stored) : TRecoverability::Unknown;
    } else if (group.OwnBitmap && !r.InUse()) {
        overwritten = OverwrittenBytes(stream, *group.OwnBitmap, cluster, stored, &known);
        found.State = known ? StateOf(overwritten, stored) : TRecoverability::Unknown;
    } else if (group.OwnBitmap) {
        found.State = TRecoverability::Intact;
    }
    found.OverwrittenBytes = found.State == TRecoverability::Unknown ? 0 : overwritten;
    // What the device is known not to give.
    if (!device.KnowsUnread()) return;
    std::uint64_t unread = 0, all = 0;
    for (const TVcnRun& run : stream.Runs) {
        if (run.Lcn < 0) continue;
        const std::uint64_t bytes = run.Length * cluster;
        all += bytes;
        unread += device.KnownUnread(group.Base + run.Lcn * static_cast<std::int64_t>(cluster), bytes);
    }
    found.UnreadBytes = std::min<std::uint64_t>(unread, static_cast<std::uint64_t>(std::max<std::int64_t>(found.FileSize, 0)));
    if (found.UnreadBytes > 0) found.State = unread >= all ? TRecoverability::Unread : TRecoverability::PartlyUnread;
}

std::uint8_t FlagsOf(const TRecordFound& r, const TDataStream& stream) {
    std::uint8_t flags = 0;
    if (stream.Compressed()) flags |= FoundCompressed;
    if (r.Encrypted || (stream.Flags & AttrEncrypted) != 0) flags |= FoundEncrypted;
    if ((stream.Flags & AttrSparse) != 0) flags |= FoundSparse;
    return flags;
}

// Where a name's parent reference leads in group `g`: the folder with that
// number where it is one and of that use (the same sequence, or the next,
// which deleting it gives), the root, or the folder of lost files.
std::int64_t ParentKey(const TFinds& finds, const TGroup& group, std::size_t g, std::uint64_t parent) {
    const std::int64_t n = RecordNumberOf(parent);
    const std::uint16_t sequence = SequenceOf(parent);
    if (n == RootRecord) return RootKey(g);
    const TRecordFound* d = RecordOf(finds, group, n);
    if (!d || !d->Directory() || d->BaseRecord != 0) return LostKey(g);
    if (sequence != 0 && d->Sequence != sequence && d->Sequence != static_cast<std::uint16_t>(sequence + 1))
        return LostKey(g);
    return TableKey(g, n);
}

}  // namespace

void OpenGroups(const TFinds& finds, std::vector<TGroup>& groups, const std::shared_ptr<TDevice>& device,
                const std::string& drive) {
    for (TGroup& group : groups) {
        const std::shared_ptr<TDevice> on = GroupDevice(device, group);
        TOpenFailure failure;
        std::shared_ptr<TNtfsVolume> live = TNtfsVolume::Open(on, drive, nullptr, failure);
        if (live && live->Geometry().FileRecordSize == group.RecordSize) {
            group.Live = std::move(live);
            continue;
        }
        // The volume's own bitmap, from its record 6 as found.
        const TRecordFound* r = RecordOf(finds, group, BitmapRecord);
        if (!r || r->BaseRecord != 0 || !r->HasName || finds.Name(*r) != "$Bitmap") continue;
        TDynamicCharArray bytes(r->Size);
        if (ReadCarefully(*device, r->Offset, bytes.data(), bytes.size()).Bytes > 0) continue;
        auto bitmap = std::make_shared<TClusterBitmap>();
        const TVolume volume = GeometryOf(group, ClusterFor(group, *r), drive);
        if (bitmap->Open(*on, volume, bytes)) group.OwnBitmap = std::move(bitmap);
    }
}

std::uint64_t ListGroups(const TFinds& finds, const std::vector<TGroup>& groups, TDevice& device,
                         const std::string& drive, std::int64_t origin, TDirectoryTable& table,
                         const std::function<void(TDeepBatch&)>& deliver) {
    // The folders of every group, in order of their keys.
    struct TFolder {
        std::int64_t Key, Parent;
        std::string Name;
    };
    std::vector<TFolder> folders;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const TGroup& group = groups[g];
        if (g > 0) folders.push_back({RootKey(g), RootRecord, DeepVolumeFolder(g + 1)});
        folders.push_back({LostKey(g), RootKey(g), LostFilesFolder});
        for (const std::size_t i : group.Records) {
            const TRecordFound& r = finds.Records[i];
            if (!r.Directory() || r.BaseRecord != 0 || r.Number == RootRecord || !r.HasName) continue;
            folders.push_back({TableKey(g, r.Number), ParentKey(finds, group, g, r.Parent), std::string(finds.Name(r))});
        }
    }
    std::sort(folders.begin(), folders.end(), [](const TFolder& a, const TFolder& b) { return a.Key < b.Key; });
    for (const TFolder& f : folders) table.Add(f.Key, f.Parent, f.Name);

    std::uint64_t listed = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const TGroup& group = groups[g];
        const std::shared_ptr<TDevice> unowned(std::shared_ptr<TDevice>{}, &device);
        const std::shared_ptr<TDevice> on = GroupDevice(unowned, group);
        TDeepBatch batch;
        for (const std::size_t i : group.Records) {
            const TRecordFound& r = finds.Records[i];
            if (r.BaseRecord != 0 || r.Directory() || r.Number < FirstUserRecord) continue;
            if (r.HasName && RecordNumberOf(r.Parent) == ExtendRecord) continue;
            if (r.InUse() && HeldByLive(group, r)) continue;
            const std::uint32_t cluster = ClusterFor(group, r);
            const TVolume volume = GeometryOf(group, cluster, drive);
            const TStream stream = StreamOf(finds, group, r, device, *on, volume);
            if (!stream.Found) continue;
            TFoundFiles found;
            found.Record = r.Number;
            found.Sequence = r.Sequence;
            found.Created = r.Created;
            found.Modified = r.Modified;
            found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(stream.Stream.DataSize, INT64_MAX));
            found.Flags = FlagsOf(r, stream.Stream);
            std::string name;
            if (r.HasName) {
                name = finds.Name(r);
                found.ParentRecord = ParentKey(finds, group, g, r.Parent);
            } else if (!stream.ExtensionName.empty()) {
                name = stream.ExtensionName;
                found.ParentRecord = ParentKey(finds, group, g, stream.ExtensionParent);
            } else {
                // Every name is gone: one of ours, among the lost files.
                name = UnnamedFileName(r.Number);
                found.ParentRecord = LostKey(g);
            }
            StateOfFile(group, r, stream.Stream, cluster, device, found);
            batch.Files.Add(found, name);
            TFoundPlace place;
            place.By = TFoundBy::Deep;
            place.SourceOffset = origin + r.Offset;
            place.RecordOffset = r.Offset - group.Base;
            batch.Places.push_back(place);
            batch.Items.push_back({g, i});
            if (batch.Files.size() >= DeliverEvery) {
                listed += batch.Files.size();
                deliver(batch);
                batch = TDeepBatch();
            }
        }
        listed += batch.Files.size();
        if (!batch.Files.empty()) deliver(batch);
    }
    return listed;
}

TRecoveryPlan PlanDeepFile(const TFinds& finds, const std::vector<TGroup>& groups, const TDeepItem& item,
                           const std::shared_ptr<TDevice>& device, const std::string& drive, const TFoundFiles& found,
                           const std::string& name, const std::string& path) {
    TRecoveryPlan plan;
    plan.Record = found.Record;
    plan.HasName = true;
    plan.FileName = name;
    plan.FilePath = path;
    plan.Created = found.Created;
    plan.Modified = found.Modified;
    plan.State = found.State;
    plan.OverwrittenBytes = found.OverwrittenBytes;
    if (item.Group >= groups.size() || item.Record >= finds.Records.size()) {
        plan.End = TPlanEnd::OutsideMft;
        return plan;
    }
    const TGroup& group = groups[item.Group];
    const TRecordFound& r = finds.Records[item.Record];
    // Still the record that was listed.
    const TDynamicCharArray bytes = ReadAgain(*device, r);
    if (bytes.empty()) {
        plan.End = TPlanEnd::Unreadable;
        return plan;
    }
    if (ReadU32(bytes, 44) != r.Number || ReadU16(bytes, RecordHeader::Sequence) != r.Sequence ||
        ReadU64(bytes, RecordHeader::BaseRecord) != 0) {
        plan.End = TPlanEnd::NotDeleted;
        return plan;
    }
    const std::shared_ptr<TDevice> on = GroupDevice(device, group);
    const TVolume volume = GeometryOf(group, ClusterFor(group, r), drive);
    try {
        const TDataStream stream =
            StreamOfRecord(bytes, r.Number, volume, on.get(), GroupFetch(finds, group, *device, r.Number, r.Sequence));
        if (!stream.Found) throw ERecordError("no $DATA attribute");
        plan.Content = PlanContent(stream, volume);
        plan.Compressed = stream.Compressed();
        plan.Encrypted = (found.Flags & FoundEncrypted) != 0;
        plan.Content.Encrypted = plan.Encrypted;
        std::uint64_t stored = 0;
        for (const TVcnRun& run : stream.Runs)
            if (run.Lcn >= 0) stored += run.Length * volume.BytesPerCluster;
        plan.StoredBytes = std::min<std::uint64_t>(stored, stream.DataSize);
    } catch (const ERepeatedClusters& e) {
        plan.End = TPlanEnd::RepeatedClusters;
        plan.What = e.what();
        return plan;
    } catch (const ERecordError& e) {
        plan.End = TPlanEnd::NoContent;
        plan.What = e.what();
        return plan;
    }
    // The extents lie on the group's stretch: as offsets of the device read.
    for (std::vector<TContentExtent>* extents : {&plan.Content.Extents, &plan.Content.Pieces})
        for (TContentExtent& e : *extents)
            if (e.VolumeOffset >= 0) e.VolumeOffset += group.Base;
    return plan;
}

}  // namespace deruzera::deep
