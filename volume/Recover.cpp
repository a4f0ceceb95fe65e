// Recovery of one file by its record number: a plan checked from the record
// (still a deleted file, its name, path and content), then the write into an
// open folder of the target through a temporary file, holes kept.
#include <cerrno>
#include <random>
#include <string_view>

#include "Attributes.h"
#include "Bitmap.h"
#include "Fixup.h"
#include "Layout.h"
#include "LocalPath.h"
#include "Messages.h"
#include "Mft.h"
#include "Names.h"
#include "Scan.h"
#include "Volume.h"
#include "Recover.h"
#include "Runs.h"

namespace deruzera {
namespace {

// Tries at a free name for the temporary file: a clash is already rare.
constexpr int TemporaryTries = 8;
// The temporary file's own part of its name, "." + ".<number>.deruzera-tmp".
constexpr std::size_t TemporarySuffixBytes = 40;

// Writes the content into `out` from its start; holes are skipped and the
// length set at the end. False on any failure, or when `progress` says stop
// (`stopped`); `error` gets the errno value of a failure; `read` what the
// reading found.
bool WriteContent(TDevice& device, const TFileContent& content, TTargetFile& out,
                  const std::function<bool(std::uint64_t)>& progress, std::uint64_t& written, TReadReport& read,
                  bool& stopped, int& error) {
    written = 0;
    read = ReadFileContent(device, content, [&](const std::uint8_t* bytes, std::uint64_t count) {
        if (error != 0 || stopped) return;
        // A hole stays a hole: the file system fills it with zeros.
        error = bytes == nullptr ? out.Skip(count) : out.Write(bytes, static_cast<std::size_t>(count));
        if (error != 0) return;
        written += count;
        if (progress && !progress(written)) stopped = true;
    });
    // A file that ends in a hole gets its full length.
    if (error == 0 && !stopped) error = out.Resize(written);
    return error == 0 && !stopped;
}

// A name for the temporary file beside `name`, which tells whose it is.
std::string TemporaryName(const std::string& name) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return "." + CutName(name, 255 - TemporarySuffixBytes) + "." + std::to_string(random() % 1000000000000) +
           ".deruzera-tmp";
}

}  // namespace

TPlanFor PlanForFound(const TFoundFiles& file) {
    return (file.Flags & FoundInUse) != 0 ? TPlanFor::FileInUse : TPlanFor::DeletedFile;
}

TRecoveryPlan PlanRecovery(TNtfsVolume& ntfs, std::int64_t record, std::optional<std::uint16_t> sequence,
                           TPlanFor planFor) {
    TDevice& device = ntfs.Device();
    const TVolume& volume = ntfs.Geometry();
    TRecoveryPlan plan;
    plan.Record = record;
    if (record < 0 || (volume.RecordCount > 0 && record >= volume.RecordCount) || FileRecordOffset(volume, record) < 0) {
        plan.End = TPlanEnd::OutsideMft;
        plan.What = "no record " + std::to_string(record) + " in the MFT";
        return plan;
    }
    TDynamicCharArray bytes;
    if ((plan.Error = ReadFileRecord(device, volume, record, bytes)) != 0) {
        plan.End = TPlanEnd::Unreadable;
        return plan;
    }
    try {
        FixupRecord(bytes);
    } catch (const ERecordError& e) {
        plan.End = TPlanEnd::Unreadable;
        plan.What = e.what();
        return plan;
    }
    // Still the deleted file that was found: not in use, no directory, a
    // base record, and the same use of the record where that is known. A
    // file in use, where allowed: in use and nothing else.
    const std::uint16_t flags = ReadU16(bytes, RecordHeader::Flags);
    const bool inUse = flags == RecordInUse && planFor != TPlanFor::DeletedFile;
    if ((flags != 0 && !inUse) || (flags == 0 && planFor == TPlanFor::FileInUse) ||
        ReadU64(bytes, RecordHeader::BaseRecord) != 0 ||
        (sequence && ReadU16(bytes, RecordHeader::Sequence) != *sequence)) {
        plan.End = TPlanEnd::NotDeleted;
        return plan;
    }
    // Attributes that spilled into extension records: read from each one
    // that still names this record as its base.
    const TExtensionFetch fetch = FetchFromDevice(device, volume, record, ReadU16(bytes, RecordHeader::Sequence));
    TDynamicCharArray extensionName;
    TBytes fileName = FileNameAttribute(bytes);
    if (fileName.empty()) fileName = NameOfRecord(bytes, ReadAttributeList(bytes, &device, volume), fetch, extensionName);
    if (!fileName.empty()) {
        plan.HasName = true;
        plan.FileName = FileNameOf(fileName);
        plan.FilePath = ntfs.DirectoryPath(RecordNumberOf(ParentReferenceOf(fileName))) + "\\";
    }
    const TBytes si = FindAttributeView(bytes, AttrStandardInformation, false);
    plan.Created = ReadU64(si, StandardInformation::Created);
    plan.Modified = ReadU64(si, StandardInformation::Modified);
    try {
        const TDataStream stream = StreamOfRecord(bytes, record, volume, &device, fetch);
        if (!stream.Found) throw ERecordError("no $DATA attribute");
        plan.Content = PlanContent(stream, volume);
        plan.Compressed = stream.Compressed();
        plan.Encrypted = (stream.Flags & AttrEncrypted) != 0 ||
                         (ReadU32(si, StandardInformation::FileFlags) & FileAttributeEncrypted) != 0;
        plan.Content.Encrypted = plan.Encrypted;
        if (inUse) {
            // Its clusters are its own: the bitmap says they are in use for it.
            plan.State = TRecoverability::Intact;
        } else if (TClusterBitmap* bitmap = ntfs.Bitmap()) {
            bool known = true;
            plan.OverwrittenBytes = OverwrittenBytes(stream, *bitmap, volume.BytesPerCluster, plan.StoredBytes, &known);
            if (known) plan.State = StateOf(plan.OverwrittenBytes, plan.StoredBytes);
            plan.StateUnread = !known;
        }
        // Its named streams, each as its record describes it; one that is
        // damaged is left out, the file's own content stands.
        for (const TFoundStream& named : ExtrasOfRecord(bytes, fileName).Streams) {
            try {
                const TDataStream data = StreamOfRecord(bytes, record, volume, &device, fetch, named.Name);
                if (data.Found) plan.Streams.push_back({named.Name, PlanContent(data, volume)});
            } catch (const ERecordError&) {
            }
        }
    } catch (const ERepeatedClusters& e) {
        plan.End = TPlanEnd::RepeatedClusters;
        plan.What = e.what();
    } catch (const ERecordError& e) {
        plan.End = TPlanEnd::NoContent;
        plan.What = e.what();
    }
    return plan;
}

TWriteOutcome WriteRecoveredFile(TDevice& device, const TFileContent& content, TTargetFolder& folder,
                                 const std::string& name, const TWriteOptions& options) {
    TWriteOutcome outcome;
    bool replacing = false;  // a file is there, to stay as it is until this one is whole on the disk
    if (options.Replace) {
        const TEntry entry = folder.Entry(name);
        switch (entry.Kind) {
        case TEntryKind::Link: outcome.End = TWriteEnd::IsLink; return outcome;
        case TEntryKind::Folder:
        case TEntryKind::Other: outcome.End = TWriteEnd::NotRegular; return outcome;
        case TEntryKind::File:
            if (!entry.Replaceable) {
                outcome.End = TWriteEnd::NotReplaceable;
                return outcome;
            }
            replacing = true;
            break;
        case TEntryKind::None: break;
        }
    }
    // Without replacing, the file is made only where nothing has its name;
    // with, a temporary file beside it takes its place once complete.
    std::string writing = name;
    std::unique_ptr<TTargetFile> out;
    for (int attempt = 0; !out && attempt < (options.Replace ? TemporaryTries : 1) &&
                          (attempt == 0 || outcome.Error == EEXIST);
         ++attempt) {
        if (options.Replace) writing = TemporaryName(name);
        out = folder.Create(writing, outcome.Error);
    }
    if (!out) {
        outcome.End = !options.Replace && outcome.Error == EEXIST ? TWriteEnd::Exists : TWriteEnd::Failed;
        return outcome;
    }
    std::uint64_t written = 0;
    TReadReport read;
    bool stopped = false;
    bool ok = WriteContent(device, content, *out, options.Progress, written, read, stopped, outcome.Error);
    if (ok && options.Modified) outcome.TimeSet = out->SetModified(*options.Modified);
    if (ok && replacing && (outcome.Error = out->Sync()) != 0) ok = false;
    const int closed = out->Close();
    if (ok && closed != 0) {
        ok = false;
        outcome.Error = closed;
    }
    if (ok && options.Replace && (outcome.Error = folder.Rename(writing, name)) != 0) ok = false;
    if (!ok) {
        folder.Remove(writing);
        outcome.TimeSet = false;
        if (stopped) outcome.End = TWriteEnd::Stopped;
        return outcome;
    }
    outcome.End = TWriteEnd::Written;
    outcome.Bytes = written;
    outcome.BadUnits = read.BadUnits;
    outcome.UnreadBytes = read.UnreadBytes;
    outcome.FirstUnread = read.FirstUnread;
    return outcome;
}

TWriteOutcome WriteRecoveredFile(TDevice& device, const TFileContent& content, TTargetFileSystem& files,
                                 const std::string& target, const TWriteOptions& options) {
    TWriteOutcome outcome;
    std::string where;
    std::string name;
    files.SplitPath(target, where, name);
    if (target.empty() || name.empty()) return outcome;
    if (device.IsSource(target)) {
        outcome.End = TWriteEnd::IsSource;
        return outcome;
    }
    const std::unique_ptr<TTargetFolder> folder = files.OpenFolder(where, false, outcome.Error);
    if (!folder) return outcome;
    return WriteRecoveredFile(device, content, *folder, name, options);
}

std::string StreamFileName(const std::string& fileName, const std::string& stream) {
    return FitName(SafeFileName(fileName + "_" + stream));
}

std::vector<TStreamWrite> WriteStreamsBeside(TDevice& device, const TRecoveryPlan& plan, TTargetFolder& folder,
                                             const std::string& fileName, const TWriteOptions& options) {
    // Numbers tried for a free name: far more copies than a folder holds.
    constexpr unsigned MaxNumber = 1000;
    std::vector<TStreamWrite> written;
    TWriteOptions write = options;
    write.Replace = false;
    for (const TStreamPlan& stream : plan.Streams) {
        TStreamWrite one;
        one.Stream = stream.Name;
        const std::string name = StreamFileName(fileName, stream.Name);
        for (unsigned number = 0; number <= MaxNumber; ++number) {
            one.Target = number == 0 ? name : NumberedName(name, number);
            one.Write = WriteRecoveredFile(device, stream.Content, folder, one.Target, write);
            if (one.Write.End != TWriteEnd::Exists) break;
        }
        written.push_back(std::move(one));
    }
    return written;
}

bool OnDriveBeingRead(const TDevice& device, const std::string& target) {
    return device.HoldsPath(target) && !device.IsSource(target);
}

TCopyNotes NotesOf(const TWriteOutcome& written, const TRecoveryPlan& plan) {
    TCopyNotes notes;
    notes.Encrypted = plan.Encrypted;
    notes.BadUnits = written.BadUnits;
    notes.UnreadBytes = written.UnreadBytes;
    notes.FirstUnread = written.FirstUnread;
    notes.MissingBytes = plan.Content.MissingBytes;
    notes.State = plan.State;
    notes.OverwrittenBytes = plan.OverwrittenBytes;
    notes.StoredBytes = plan.StoredBytes;
    notes.StateUnread = plan.StateUnread;
    return notes;
}

namespace {

// The recovery after "Preparing for recovery", on an open volume.
TRecoveryOutcome RecoverOnVolume(TNtfsVolume& volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                                 TTargetFileSystem& files, TRecoveryHost& host, TPlanFor planFor) {
    TRecoveryOutcome outcome;
    const TRecoveryPlan plan = PlanRecovery(volume, record, sequence, planFor);
    for (const TLogLine& line : PlanLines(plan)) host.Line(line);
    outcome.Plan = plan.End;
    if (plan.End != TPlanEnd::Ready) {
        outcome.End = TRecoveryEnd::PlanFailed;
        return outcome;
    }
    outcome.End = TRecoveryEnd::Cancelled;
    // Other files' data where this one's was: asked before anything else.
    if (plan.State == TRecoverability::Partial || plan.State == TRecoverability::Overwritten) {
        if (!host.ConfirmOverwritten(OverwrittenQuestion(plan))) {
            host.Line(CancelledLine());
            return outcome;
        }
        host.Line(OverwrittenAnswerLine(plan));
    }

    const std::optional<std::string> target = host.AskTargetPath(SafeFileName(plan.FileName), plan);
    if (!target) {
        host.Line(CancelledLine());
        return outcome;
    }
    outcome.Target = *target;
    TDevice& device = volume.Device();
    // Writing onto the drive being read may destroy what is still to recover.
    if (OnDriveBeingRead(device, *target)) {
        if (!host.ConfirmSameDevice(SameDeviceQuestion())) {
            host.Line(CancelledLine());
            return outcome;
        }
        host.Line(SameDeviceAnswerLine());
    }
    TWriteOptions options;
    if (plan.Modified != 0) options.Modified = plan.Modified;
    outcome.Write = WriteRecoveredFile(device, plan.Content, files, *target, options);
    outcome.Notes = NotesOf(outcome.Write, plan);
    for (const TLogLine& line : WriteLines(outcome.Write, *target, outcome.Notes)) host.Line(line);
    // The named streams beside the file, once it is written.
    if (outcome.Write.End == TWriteEnd::Written && !plan.Streams.empty()) {
        std::string where, name;
        files.SplitPath(*target, where, name);
        int error = 0;
        if (const std::unique_ptr<TTargetFolder> folder = files.OpenFolder(where, false, error))
            outcome.Streams = WriteStreamsBeside(device, plan, *folder, name, options);
        for (const TStreamWrite& stream : outcome.Streams) host.Line(StreamWrittenLine(stream));
    }
    outcome.End = outcome.Write.End != TWriteEnd::Written ? TRecoveryEnd::WriteFailed
                  : outcome.Notes.Whole()                  ? TRecoveryEnd::Recovered
                                                          : TRecoveryEnd::RecoveredInPart;
    return outcome;
}

}  // namespace

TRecoveryOutcome RecoverFile(TNtfsVolume* volume, std::int64_t record, std::optional<std::uint16_t> sequence,
                             TTargetFileSystem& files, TRecoveryHost& host, TPlanFor planFor) {
    host.Line(PreparingRecoveryLine());
    if (volume == nullptr || !volume->SharedDevice()) {
        for (const TLogLine& line : OpenFailedLines({})) host.Line(line);
        return {};
    }
    return RecoverOnVolume(*volume, record, sequence, files, host, planFor);
}

std::shared_ptr<TNtfsVolume> OpenDriveVolume(const std::string& drive, const TDeviceOpener& open, TLogSink& log,
                                             TRecoveryEnd* end) {
    TDeviceAccess access;
    if (open) access = open(drive);
    if (!access.Device) {
        if (end) *end = TRecoveryEnd::NoDevice;
        for (const TLogLine& line : OpenFailedLines(access)) log.Line(line);
        return nullptr;
    }
    TOpenFailure failure;
    std::shared_ptr<TNtfsVolume> volume = TNtfsVolume::Open(access.Device, drive, nullptr, failure);
    if (volume) return volume;
    if (end) *end = TRecoveryEnd::NoVolume;
    // As a scan of the drive would end; NTFS with sizes no volume can have
    // is still named NTFS first.
    if (failure.End == TScanEnd::UnsupportedGeometry) log.Line(NtfsDiskLine());
    TScanOutcome ended;
    ended.End = failure.End;
    ended.What = failure.What;
    ended.Offset = failure.Offset;
    ended.Error = failure.Error;
    for (const TLogLine& line : ScanEndLines(ended)) log.Line(line);
    return nullptr;
}

TRecoveryOutcome RecoverRecord(const std::string& drive, const TDeviceOpener& open, std::int64_t record,
                               TTargetFileSystem& files, TRecoveryHost& host, TPlanFor planFor) {
    host.Line(PreparingRecoveryLine());
    TRecoveryOutcome outcome;
    const std::shared_ptr<TNtfsVolume> volume = OpenDriveVolume(drive, open, host, &outcome.End);
    if (!volume) return outcome;
    return RecoverOnVolume(*volume, record, std::nullopt, files, host, planFor);
}

}  // namespace deruzera
