// Every line shown for how a source, its container, its table or one of its
// volumes opens. The window and the companion show exactly these.
#include <system_error>

#include "SourceEnds.h"
#include "Sources.h"
#include "volume/Messages.h"
#include "volume/SizeText.h"

namespace deruzera::platform {
namespace {

std::string Reason(int error) { return std::generic_category().message(error); }

std::string Plural(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string VolumeName(int volume) { return volume > 0 ? "volume " + std::to_string(volume) : "the volume"; }
std::string CapitalVolume(int volume) { return volume > 0 ? "Volume " + std::to_string(volume) : "The volume"; }

// What a library reads, in words.
std::string FormatOf(const std::string& library) {
    if (library == "libewf") return "an E01 image";
    if (library == "libvhdi") return "a VHD or VHDX image";
    if (library == "libvmdk") return "a VMDK image";
    if (library == "libqcow") return "a qcow image";
    return "an image";
}

std::string Library(const TSourceFailure& f) { return " (" + f.Library + ": " + f.Message + ")"; }

}  // namespace

std::vector<TLogLine> SourceFailureLines(const TSourceFailure& f) {
    switch (f.End) {
    case TSourceEnd::Opened: return {};
    case TSourceEnd::CannotOpen: return OpenFailedLines(f.Access ? *f.Access : TDeviceAccess{});
    case TSourceEnd::Unreadable:
        return {{"Error: " + f.Path + " could not be read (" + Reason(f.Error) + ")", clRed}};
    case TSourceEnd::LibraryFailed:
        return {{"Error: " + f.Path + " could not be read as " + FormatOf(f.Library) + Library(f), clRed}};
    case TSourceEnd::ParentMissing: {
        std::string text = "Error: " + f.Path + " is a differencing image: its parent " + f.Needed + " must lie beside it";
        if (!f.Message.empty() && f.Message != f.Needed) text += " (the image names it " + f.Message + ")";
        return {{text, clRed}};
    }
    case TSourceEnd::ParentChainTooDeep:
        return {{"Error: The parent images behind " + f.Path + " loop or stand more than " +
                     std::to_string(MaxParentImages) + " deep",
                 clRed}};
    case TSourceEnd::MapfileUnreadable:
        return {{"Error: The map of rescued areas " + f.Path + " could not be read (" + Reason(f.Error) + ")", clRed}};
    case TSourceEnd::MapfileDamaged:
        if (f.Line == 0) return {{"Error: " + f.Path + " is not a map written by GNU ddrescue", clRed}};
        return {{"Error: The map of rescued areas " + f.Path + " is damaged at line " + std::to_string(f.Line), clRed}};
    case TSourceEnd::MapfileNotRaw:
        return {{"Error: A map of rescued areas describes a raw image, and " + f.Path + " is " + FormatOf(f.Library), clRed}};
    case TSourceEnd::NoSuchVolume:
        return {{"Error: There is no volume " + std::to_string(f.Volume) + ": the source holds " +
                     Plural(f.Count, "volume", "volumes"),
                 clRed}};
    case TSourceEnd::VolumeNeeded:
        return {{"The source holds " + std::to_string(f.Count) + " NTFS volumes: choose one of them", clRed}};
    case TSourceEnd::NoNtfsVolume:
        return {{"Error: None of the " + std::to_string(f.Count) + " volumes of the source is a NTFS volume", clRed}};
    case TSourceEnd::NoSuchSnapshot:
        if (f.Count == 0) return {{"Error: " + CapitalVolume(f.Volume) + " holds no shadow copies", clRed}};
        return {{"Error: " + CapitalVolume(f.Volume) + " holds no snapshot " + std::to_string(f.Snapshot) + ": it holds " +
                     Plural(f.Count, "snapshot", "snapshots"),
                 clRed}};
    case TSourceEnd::SnapshotsFailed:
        return {{"Error: The shadow copies of " + VolumeName(f.Volume) + " could not be read" + Library(f), clRed}};
    case TSourceEnd::Locked:
        return {{"Error: " + CapitalVolume(f.Volume) +
                     " is encrypted with BitLocker: it needs its password, its recovery password or its startup key",
                 clRed}};
    case TSourceEnd::WrongKey:
        return {{"Error: The key given does not unlock the BitLocker volume" +
                     (f.Volume > 0 ? " " + std::to_string(f.Volume) : std::string()),
                 clRed}};
    case TSourceEnd::BadRecoveryPassword:
        return {{"Error: A recovery password is 48 digits in eight groups of six", clRed}};
    case TSourceEnd::StartupKeyUnreadable:
        return {{"Error: The startup key " + f.Path + " could not be read" + Library(f), clRed}};
    case TSourceEnd::BitLockerFailed:
        return {{"Error: The BitLocker volume" + (f.Volume > 0 ? " " + std::to_string(f.Volume) : std::string()) +
                     " could not be read" + Library(f),
                 clRed}};
    }
    return {};
}

std::string DriveKeysPrompt(const std::string& drive, TSourceEnd end) {
    const std::string ask = "Drive " + drive + " is encrypted with BitLocker. Its password, or its recovery password (48 digits):";
    if (end == TSourceEnd::WrongKey) return "That does not unlock drive " + drive + ".\n" + ask;
    if (end == TSourceEnd::BadRecoveryPassword) return "A recovery password is 48 digits in eight groups of six.\n" + ask;
    return ask;
}

TLogLine SourceNoteLine(const TSourceNote& note) {
    const TTableNote& t = note.Table;
    const std::string sector = std::to_string(t.Sector);
    switch (note.Kind) {
    case TSourceNoteKind::MapfileFound:
        return {"Using the map of rescued areas found beside the image: " + note.Path, clBlack};
    case TSourceNoteKind::Unrescued:
        return {std::to_string(note.Bytes) + " bytes of the image were never rescued: they read as unread", clBlack};
    case TSourceNoteKind::FoundBySearch:
        return {"No partition table could be read: the volumes listed were found by searching the disk", clBlack};
    case TSourceNoteKind::FoundOutsideTable:
        return {std::to_string(note.Bytes) + (note.Bytes == 1 ? " volume was" : " volumes were") +
                    " found by searching the disk where its partition table lists no partition",
                clBlack};
    case TSourceNoteKind::Table: break;
    }
    switch (t.Issue) {
    case TTableIssue::GptBackupUsed:
        return {"The partition table's primary header is damaged: its backup copy at sector " + sector + " is used", clBlack};
    case TTableIssue::GptDamaged:
        return {"Both headers of the partition table (GPT) are damaged: its partitions can't be listed", clRed};
    case TTableIssue::ChainLoops:
        return {"The chain of logical partitions comes back to sector " + sector + ": it is followed no further", clRed};
    case TTableIssue::ChainTooLong:
        return {"The chain of logical partitions holds more than " + std::to_string(MaxLogicalPartitions) +
                    " links: it is followed no further",
                clRed};
    case TTableIssue::ChainOutside:
        return {"A link of the chain of logical partitions points outside the extended partition, to sector " + sector +
                    ": it is followed no further",
                clRed};
    case TTableIssue::ChainUnreadable:
        if (t.Error == 0)
            return {"The chain of logical partitions points past the end of the disk, to sector " + sector +
                        ": it is followed no further",
                    clRed};
        return {"The chain of logical partitions could not be read at sector " + sector + " (" + Reason(t.Error) +
                    "): it is followed no further",
                clRed};
    case TTableIssue::PastEnd:
        return {"Partition " + std::to_string(t.Index) + " reaches past the end of the disk: it is read as far as the disk goes",
                clRed};
    case TTableIssue::StartsPastEnd:
        return {"Partition " + std::to_string(t.Index) + " lies past the end of the disk and is left out", clRed};
    case TTableIssue::Overlap:
        return {"Partitions " + std::to_string(t.Index) + " and " + std::to_string(t.Other) + " overlap", clRed};
    }
    return {};
}

std::string VolumeTitle(const TVolumeInfo& v, const std::string& decimalSeparator) {
    std::string title = "Volume " + std::to_string(v.Number);
    if (v.Partition > 0) title += ", partition " + std::to_string(v.Partition);
    title += ", " + SizeToText(v.Length, decimalSeparator);
    if (v.FileSystem == TFileSystemKind::BitLocker) title += ", BitLocker";
    if (!v.Label.empty()) title += ", \"" + v.Label + "\"";
    return title;
}

}  // namespace deruzera::platform
