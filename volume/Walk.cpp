// The walk: what each kind of record gives the scan.
#include "Walk.h"

#include <algorithm>

#include "Attributes.h"
#include "Fixup.h"
#include "Snapshots.h"

namespace deruzera {
namespace {

// Files held back for the end of the walk.
constexpr std::int64_t AtTheEnd = INT64_MAX - 1;

// The state of a found file from its clusters: not known where the bitmap
// could not be read for some of them.
void Recoverability(const TDataStream& stream, TClusterBitmap& bitmap, std::uint32_t cluster, TFoundFiles& found) {
    std::uint64_t stored = 0;
    bool known = true;
    found.OverwrittenBytes = OverwrittenBytes(stream, bitmap, cluster, stored, &known);
    found.State = known ? StateOf(found.OverwrittenBytes, stored) : TRecoverability::Unknown;
}

// The bytes of a found file's stored data that the device is known not to
// give: such a file is partly unread or unread, whatever the bitmap says.
void Unread(const TDataStream& stream, TDevice& device, std::uint32_t cluster, TFoundFiles& found) {
    if (!device.KnowsUnread() || stream.Resident || cluster == 0) return;
    const std::uint64_t dataClusters = (stream.DataSize + cluster - 1) / cluster;
    std::uint64_t stored = 0, unread = 0;
    for (const TVcnRun& run : stream.Runs) {
        if (run.Lcn < 0 || static_cast<std::uint64_t>(run.Vcn) >= dataClusters) continue;
        const std::uint64_t count = std::min<std::uint64_t>(run.Length, dataClusters - static_cast<std::uint64_t>(run.Vcn));
        stored += count * cluster;
        unread += device.KnownUnread(run.Lcn * static_cast<std::int64_t>(cluster), count * cluster);
    }
    found.UnreadBytes = std::min(unread, static_cast<std::uint64_t>(std::max<std::int64_t>(found.FileSize, 0)));
    if (found.UnreadBytes > 0)
        found.State = unread >= stored ? TRecoverability::Unread : TRecoverability::PartlyUnread;
}

std::uint8_t FlagsOf(const TDataStream& stream, TBytes standardInformation) {
    std::uint8_t flags = 0;
    if (stream.Compressed()) flags |= FoundCompressed;
    if ((stream.Flags & AttrEncrypted) != 0 ||
        (ReadU32(standardInformation, StandardInformation::FileFlags) & FileAttributeEncrypted) != 0)
        flags |= FoundEncrypted;
    if ((stream.Flags & AttrSparse) != 0) flags |= FoundSparse;
    return flags;
}

}  // namespace

void TWalk::Record(std::span<std::uint8_t> record, const TPrepared& prepared, std::int64_t n) {
    switch (prepared.Kind) {
    case TPrepared::Nothing: return;
    case TPrepared::InUse: {
        // A file in use: where its clusters lie, and its name to name it by.
        try {
            FixupRecord(record);
        } catch (const ERecordError&) {
            ++outcome_.DamagedRecords;
            return;
        }
        const TRecordView view = ViewRecord(record);
        if (view.NonResident) live_.Note(view, n, view.Name(), volume_);
        return;
    }
    case TPrepared::Extension:
        // An extension record: a base walked later (or at the end) may need
        // its attributes.
        Stash(record, n, prepared.InUseFlag);
        return;
    case TPrepared::Directory: Directory(record, prepared, n); return;
    case TPrepared::DeletedFile:
        if (n >= FirstUserRecord) ListFile(record, prepared, n);
        return;
    }
}

void TWalk::Directory(TBytes record, const TPrepared& prepared, std::int64_t n) {
    TBytes name = AttributeAt(record, prepared.Name);
    TDynamicCharArray holder;
    std::int64_t elsewhere = -1;
    if (name.empty()) {
        // The name lives in an extension record: one walked already is in
        // the stash.
        const TDynamicCharArray list = ReadAttributeList(record, &device_, volume_);
        const std::uint16_t sequence = ReadU16(record, RecordHeader::Sequence);
        name = NameOfRecord(record, list, [&](std::int64_t at) { return Fetch(at, n, sequence); }, holder, &elsewhere);
    }
    if (!name.empty()) {
        directories_.Add(n, RecordNumberOf(ParentReferenceOf(name)), FileNameOf(name));
        return;
    }
    // Until its name comes, from an extension record later in the walk, the
    // files below it wait: the paths they are handed over with are those the
    // walk ends with.
    directories_.AddPending(n, elsewhere > n ? elsewhere : AtTheEnd);
}

void TWalk::Stash(TBytes record, std::int64_t n, bool inUse) {
    // Kept: names (a folder or file may have its name here) and, where the
    // record is free, the $DATA extents of the deleted file it belonged to
    // (those of files in use too, where they are listed).
    TDynamicCharArray kept;
    TAttributeWalk walk(record);
    for (TBytes a = walk.Next(); !a.empty(); a = walk.Next()) {
        const std::uint32_t type = ReadU32(a, AttrHeader::Type);
        if (type == AttrFileName ||
            ((!inUse || listInUse_) && type == AttrData && ReadU8(a, AttrHeader::NameLength) == 0))
            kept.insert(kept.end(), a.begin(), a.end());
    }
    if (kept.empty()) return;
    const std::uint64_t base = ReadU64(record, RecordHeader::BaseRecord);
    // A folder walked already that waits for its name from here.
    const TBytes name = FileNameAttribute(kept);
    if (!name.empty() && RecordNumberOf(base) < n && directories_.IsPending(RecordNumberOf(base)))
        directories_.Add(RecordNumberOf(base), RecordNumberOf(ParentReferenceOf(name)), FileNameOf(name));
    for (int i = 0; i < 4; ++i) kept.push_back(0xFF);
    kept.resize((kept.size() + 7) / 8 * 8, 0);
    stash_[n] = {base, std::move(kept)};
}

void TWalk::ListFile(TBytes record, const TPrepared& prepared, std::int64_t n) {
    const TBytes si = AttributeAt(record, prepared.StandardInformation);
    if (si.empty()) return;
    TFoundFiles found;
    found.Record = n;
    found.Created = ReadU64(si, StandardInformation::Created);
    found.Modified = ReadU64(si, StandardInformation::Modified);
    found.Accessed = ReadU64(si, StandardInformation::Accessed);
    found.Changed = ReadU64(si, StandardInformation::Changed);
    found.Sequence = ReadU16(record, RecordHeader::Sequence);
    // A file whose attributes spilled into extension records is put
    // together when the walk has passed them all.
    if (prepared.AttributeList != 0) {
        listed_.push_back({n, TDynamicCharArray(record.begin(), record.end())});
        return;
    }
    const TBytes fileName = AttributeAt(record, prepared.Name);
    if (fileName.empty()) return;
    const TBytes data = AttributeAt(record, prepared.Data);
    if (data.empty()) return;
    // The size: the value length of a resident $DATA, the real size of a
    // non-resident one.
    const bool nonResident = ReadU8(data, AttrHeader::NonResident) == 1;
    const std::uint64_t size = nonResident ? ReadU64(data, NonResident::DataSize) : ReadU32(data, Resident::ValueLength);
    found.ParentRecord = RecordNumberOf(ParentReferenceOf(fileName));
    found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(size, INT64_MAX));
    if (prepared.InUseFlag) found.Flags = FoundInUse;
    TDataStream stream;
    try {
        stream = StreamOfAttribute(data, volume_);
        found.Flags |= FlagsOf(stream, si);
    } catch (const ERecordError&) {
        stream = TDataStream{};  // damaged runs: listed, with nothing known of its clusters
    }
    Found(found, FileNameOf(fileName), stream, prepared.Extras ? ExtrasOfRecord(record, fileName) : TFoundExtras{});
}

std::int64_t TWalk::Blocked(const TFoundFiles& file, const TFoundExtras* extras, std::int64_t position) {
    const std::int64_t blocked = directories_.PendingAncestor(file.ParentRecord, position);
    if (blocked >= 0 || extras == nullptr) return blocked;
    for (const TFoundLink& link : extras->Links)
        if (const std::int64_t at = directories_.PendingAncestor(link.ParentRecord, position); at >= 0) return at;
    return -1;
}

bool TWalk::Place(TFoundFiles& found, const TDataStream& stream) {
    // A file in use holds its own clusters.
    if ((found.Flags & FoundInUse) != 0) found.State = TRecoverability::Intact;
    else if (bitmap_) Recoverability(stream, *bitmap_, volume_.BytesPerCluster, found);
    Unread(stream, device_, volume_.BytesPerCluster, found);
    found.Snapshot = ntfs_.Snapshot().Number;
    if (options_ != nullptr) {
        if (options_->Keep && !options_->Keep(found)) return false;
        if (options_->Live != nullptr) options_->Live->NoteListed(found);
    }
    ++outcome_.FoundCount;
    return true;
}

void TWalk::Found(const TFoundFiles& file, std::string_view name, const TDataStream& stream, TFoundExtras extras) {
    TFoundFiles found = file;
    if (!Place(found, stream)) return;
    // Who holds an overwritten file's clusters is known at the end of the walk.
    if (found.OverwrittenBytes > 0) {
        overwritten_[found.Record] = stream.Runs;
        Hold(found, name, &extras, AtTheEnd);
        return;
    }
    const std::int64_t blockedAt = Blocked(found, &extras, found.Record + 1);
    if (blockedAt < 0) batch_.Add(found, name, std::move(extras));
    else Hold(found, name, &extras, blockedAt);
}

void TWalk::Hold(const TFoundFiles& found, std::string_view name, const TFoundExtras* extras, std::int64_t blockedAt) {
    blocked_.push({blockedAt, held_.size()});
    held_.Add(found, name, extras ? *extras : TFoundExtras{});
}

TDynamicCharArray TWalk::Fetch(std::int64_t record, std::int64_t base, std::uint16_t sequence) const {
    const auto it = stash_.find(record);
    if (it == stash_.end() || RecordNumberOf(it->second.Base) != base) return {};
    const std::uint16_t theirs = SequenceOf(it->second.Base);
    if (theirs != sequence && static_cast<std::uint16_t>(theirs + 1) != sequence) return {};
    return it->second.Attributes;
}

void TWalk::AssembleListedFiles() {
    for (const TListed& listed : listed_) {
        const TBytes record = listed.Bytes;
        const std::uint16_t sequence = ReadU16(record, RecordHeader::Sequence);
        auto fetch = [&](std::int64_t n) { return Fetch(n, listed.Record, sequence); };
        // The name, too, may live in an extension record.
        TDynamicCharArray stashedName;
        TBytes fileName = FileNameAttribute(record);
        if (fileName.empty())
            fileName = NameOfRecord(record, ReadAttributeList(record, &device_, volume_), fetch, stashedName);
        if (fileName.empty()) continue;
        TFoundFiles found;
        found.Record = listed.Record;
        const TBytes si = FindAttributeView(record, AttrStandardInformation, false);
        found.Created = ReadU64(si, StandardInformation::Created);
        found.Modified = ReadU64(si, StandardInformation::Modified);
        found.Accessed = ReadU64(si, StandardInformation::Accessed);
        found.Changed = ReadU64(si, StandardInformation::Changed);
        found.Sequence = sequence;
        found.ParentRecord = RecordNumberOf(ParentReferenceOf(fileName));
        TDataStream stream;
        try {
            stream = StreamOfRecord(record, listed.Record, volume_, &device_, fetch);
        } catch (const ERecordError&) {
            stream = TDataStream{};
        }
        if (!stream.Found) continue;
        found.FileSize = static_cast<std::int64_t>(std::min<std::uint64_t>(stream.DataSize, INT64_MAX));
        found.Flags = FlagsOf(stream, si);
        if ((ReadU16(record, RecordHeader::Flags) & RecordInUse) != 0) found.Flags |= FoundInUse;
        TFoundFiles placed = found;
        if (!Place(placed, stream)) continue;
        if (placed.OverwrittenBytes > 0)
            overwritten_[placed.Record] = stream.Runs;
        // Further names and streams as the base record holds them.
        const TFoundExtras extras = ExtrasOfRecord(record, fileName);
        Hold(placed, FileNameOf(fileName), &extras, AtTheEnd);
    }
    listed_.clear();
}

void TWalk::Finish() {
    AssembleListedFiles();
    NameHolders(live_, overwritten_, directories_, volume_.CurrentDrive, ntfs_.Overwriters());
    Deliver(INT64_MAX);
}

void TWalk::Deliver(std::int64_t position) {
    while (!blocked_.empty() && blocked_.top().BlockedAt < position) {
        const THeld held = blocked_.top();
        blocked_.pop();
        const TFoundFiles& file = held_[held.Index];
        const TFoundExtras* extras = held_.Extras(file);
        const std::int64_t next = Blocked(file, extras, position);
        if (next >= 0) blocked_.push({next, held.Index});
        else batch_.Add(file, held_.Name(file), extras ? *extras : TFoundExtras{});
    }
    if (blocked_.empty()) held_.clear();
    if (batch_.empty()) return;
    sink_.Found(TFoundBatch{batch_, ntfs_});
    batch_.clear();
}

}  // namespace deruzera
