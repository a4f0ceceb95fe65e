#include "Sources.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/RawDevice.h"
#include "volume/Mapfile.h"
#include "volume/Partitions.h"
#include "volume/Read.h"
#include "volume/Layout.h"
#include "volume/Mft.h"
#include "volume/Stack.h"
#include "volume/Times.h"

namespace deruzera::platform {
namespace {

// How much of a file's start is read to tell its container.
constexpr std::size_t HeadBytes = 4096;

// The logical sector size a block device reports; 0 for a file or where
// it can't be asked.
std::uint32_t LogicalSectorSize(const std::string& path) {
#ifdef BLKSSZGET
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    int size = 0;
    const bool ok = ioctl(fd, BLKSSZGET, &size) == 0;
    ::close(fd);
    return ok && size > 0 ? static_cast<std::uint32_t>(size) : 0;
#else
    (void)path;
    return 0;
#endif
}

bool IsRegularFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// Reads the ddrescue map at `path` into `map`; the failure where it can't.
TSourceFailure ReadMap(const std::string& path, TRescueMap& map) {
    TSourceFailure failure;
    failure.Path = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        failure.End = TSourceEnd::MapfileUnreadable;
        failure.Error = errno ? errno : ENOENT;
        return failure;
    }
    std::string text;
    text.resize(MaxMapfileBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        failure.End = TSourceEnd::MapfileUnreadable;
        failure.Error = EIO;
        return failure;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    map = ParseMapfile(text);
    if (map.End != TMapEnd::Read) {
        failure.End = TSourceEnd::MapfileDamaged;
        // 0: no ddrescue map at all.
        failure.Line = map.End == TMapEnd::Damaged ? map.Line : 0;
    }
    return failure;
}

// Bytes of a `size`-byte image the map does not say were rescued.
std::int64_t UnrescuedBytes(const TRescueMap& map, std::int64_t size) {
    std::int64_t rescued = 0;
    for (const auto& [from, to] : map.Rescued) {
        if (from >= size) break;
        rescued += std::min(to, size) - from;
    }
    return size - rescued;
}

// The stretches of the disk no partition of `table` covers.
std::vector<TByteRange> Gaps(const TPartitionTable& table, std::int64_t diskSize) {
    std::vector<std::pair<std::int64_t, std::int64_t>> used;
    for (const TPartition& p : table.Partitions) used.emplace_back(p.Start, p.Start + p.Length);
    std::sort(used.begin(), used.end());
    std::vector<TByteRange> gaps;
    std::int64_t at = 0;
    for (const auto& [from, to] : used) {
        if (from > at) gaps.push_back({at, static_cast<std::uint64_t>(from - at)});
        at = std::max(at, to);
    }
    if (diskSize < 0) gaps.push_back({at, UINT64_MAX});
    else if (diskSize > at) gaps.push_back({at, static_cast<std::uint64_t>(diskSize - at)});
    return gaps;
}

void Describe(TSource& source, std::size_t index, const TSourceOptions& options) {
    TVolumeInfo& info = source.Volumes[index];
    std::shared_ptr<TDevice>& device = source.Devices[index];
    TVolumeIdentity id = IdentifyVolume(*device, options.Labels);
    info.FileSystem = id.Kind;
    if (id.Kind == TFileSystemKind::BitLocker) {
        TOpened unlocked = OpenBitLocker(device, options.Keys);
        if (!unlocked.Device) {
            // Locked without keys is what a BitLocker volume is; no problem to report.
            if (unlocked.Failure.End != TSourceEnd::Locked) {
                info.Problem = std::move(unlocked.Failure);
                info.Problem.Volume = info.Number;
            }
            return;
        }
        info.Unlocked = true;
        device = std::move(unlocked.Device);
        id = IdentifyVolume(*device, options.Labels);
        if (id.Kind != TFileSystemKind::Ntfs) return;
    }
    if (id.Kind != TFileSystemKind::Ntfs) return;
    info.Label = id.Label;
    info.HasSerial = id.HasSerial;
    info.Serial = id.Serial;
    if (!options.Snapshots) return;
    TShadowCopies copies = ListShadowCopies(device);
    if (copies.Failure.End != TSourceEnd::Opened) {
        info.Problem = std::move(copies.Failure);
        info.Problem.Volume = info.Number;
        return;
    }
    for (std::size_t k = 0; k < copies.Created.size(); ++k)
        info.Snapshots.push_back({static_cast<int>(k) + 1, copies.Created[k]});
}

}  // namespace

const char* SchemeName(TScheme scheme) {
    switch (scheme) {
    case TScheme::Mbr: return "mbr";
    case TScheme::Gpt: return "gpt";
    case TScheme::Found: return "found";
    case TScheme::None: break;
    }
    return "none";
}

TSource OpenSource(const std::string& path, const TSourceOptions& options) {
    TSource source;
    source.Path = path;
    source.Failure.Path = path;

    // The bytes as they lie: one file, or the numbered pieces of one.
    std::shared_ptr<TDevice> raw;
    const std::vector<std::string> pieces = SplitPieces(path);
    if (!pieces.empty()) {
        std::vector<std::shared_ptr<TDevice>> devices;
        for (const std::string& piece : pieces) {
            TAccessResult opened = OpenForReading(piece, options.Access);
            if (!opened.Device) {
                source.Failure.End = TSourceEnd::CannotOpen;
                source.Failure.Path = piece;
                source.Failure.Access = std::make_shared<TAccessResult>(std::move(opened));
                return source;
            }
            devices.push_back(std::move(opened.Device));
        }
        raw = ConcatDevice(std::move(devices));
        source.Split = true;
    } else {
        TAccessResult opened = OpenForReading(path, options.Access);
        if (!opened.Device) {
            source.Failure.End = TSourceEnd::CannotOpen;
            source.Failure.Access = std::make_shared<TAccessResult>(std::move(opened));
            return source;
        }
        raw = std::move(opened.Device);
    }

    // The container, by its bytes.
    std::uint8_t head[HeadBytes] = {};
    const std::int64_t got = raw->ReadAt(0, head, sizeof head);
    if (got < 0) {
        source.Failure.End = TSourceEnd::Unreadable;
        source.Failure.Error = static_cast<int>(-got);
        return source;
    }
    std::uint8_t tail[512] = {};
    const std::int64_t size = raw->Size();
    const bool haveTail = !source.Split && size >= 1024 && ReadExactly(*raw, size - 512, tail, sizeof tail);
    source.Container = source.Split ? TContainerKind::Raw
                                    : ContainerOf(head, static_cast<std::size_t>(std::max<std::int64_t>(got, 0)),
                                                  haveTail ? tail : nullptr);
    if (source.Container != TContainerKind::Raw) {
        TOpened opened = OpenContainer(path, source.Container);
        if (!opened.Device) {
            source.Failure = std::move(opened.Failure);
            return source;
        }
        source.Disk = std::move(opened.Device);
    } else {
        source.Disk = raw;
    }

    // A rescued image's map: given, or found beside the image.
    TRescueMap map;
    bool mapped = false;
    if (options.Mapfile) {
        if (source.Container != TContainerKind::Raw) {
            source.Failure.End = TSourceEnd::MapfileNotRaw;
            source.Failure.Library = LibraryOf(source.Container);
            return source;
        }
        TSourceFailure failure = ReadMap(*options.Mapfile, map);
        if (failure.End != TSourceEnd::Opened) {
            source.Failure = std::move(failure);
            return source;
        }
        mapped = true;
    } else if (source.Container == TContainerKind::Raw && IsRegularFile(path)) {
        for (const char* suffix : {".map", ".mapfile"}) {
            const std::string beside = path + suffix;
            if (!IsRegularFile(beside)) continue;
            TSourceFailure failure = ReadMap(beside, map);
            // A file of that name that is no ddrescue map at all is not ours to read.
            if (failure.End == TSourceEnd::MapfileDamaged && failure.Line == 0) continue;
            if (failure.End != TSourceEnd::Opened) {
                source.Failure = std::move(failure);
                return source;
            }
            mapped = true;
            TSourceNote note;
            note.Kind = TSourceNoteKind::MapfileFound;
            note.Path = beside;
            source.Notes.push_back(note);
            break;
        }
    }
    if (mapped) {
        const std::int64_t unread = UnrescuedBytes(map, source.Disk->Size());
        source.Disk = RescuedDevice(source.Disk, map);
        if (unread > 0) {
            TSourceNote note;
            note.Kind = TSourceNoteKind::Unrescued;
            note.Bytes = unread;
            source.Notes.push_back(note);
        }
    }

    // The partition table, and the volumes it holds.
    const std::uint32_t hint = source.Container == TContainerKind::Raw && !source.Split ? LogicalSectorSize(path) : 0;
    const TPartitionTable table = ReadPartitionTable(*source.Disk, hint);
    source.SectorSize = table.SectorSize;
    for (const TTableNote& t : table.Notes) {
        TSourceNote note;
        note.Kind = TSourceNoteKind::Table;
        note.Table = t;
        source.Notes.push_back(note);
    }
    struct TPlace {
        TVolumeInfo Info;
        std::int64_t Readable = 0;
    };
    std::vector<TPlace> places;
    const std::int64_t diskSize = source.Disk->Size();
    for (const TPartition& p : table.Partitions) {
        TPlace place;
        place.Info.Start = p.Start;
        place.Info.Length = p.Length;
        place.Info.Scheme = table.Scheme == TPartitionScheme::Gpt ? TScheme::Gpt : TScheme::Mbr;
        place.Info.Partition = p.Index;
        place.Info.Type = p.Type;
        place.Info.Name = p.Name;
        place.Readable = p.Readable;
        places.push_back(std::move(place));
    }
    // Volumes no table lists: in the stretches the table leaves free, or
    // where no table reads, in the whole source, unless it is one volume.
    bool search = !table.Partitions.empty() ||
                  (table.Scheme == TPartitionScheme::Gpt &&
                   std::any_of(table.Notes.begin(), table.Notes.end(),
                               [](const TTableNote& n) { return n.Issue == TTableIssue::GptDamaged; }));
    if (table.Scheme == TPartitionScheme::None) search = IdentifyVolume(*source.Disk, false).Kind == TFileSystemKind::Unknown;
    if (search) {
        TSearchOptions searching;
        searching.Reach = options.SearchEverySector ? TSearchReach::EverySector : TSearchReach::Boundaries;
        searching.Progress = options.SearchProgress;
        const bool listed = !places.empty();
        std::size_t found = 0;
        for (const TFoundVolume& f : SearchNtfsVolumes(*source.Disk, Gaps(table, diskSize), searching)) {
            // A volume whose backup lies in a free stretch but which begins
            // inside a partition listed is that partition's business.
            if (std::any_of(table.Partitions.begin(), table.Partitions.end(), [&](const TPartition& p) {
                    return f.Start >= p.Start && f.Start < p.Start + p.Length;
                }))
                continue;
            TPlace place;
            place.Info.Start = f.Start;
            place.Info.Length = f.Length;
            place.Info.Scheme = TScheme::Found;
            place.Readable = diskSize >= 0 ? std::min(f.Length, diskSize - f.Start) : f.Length;
            places.push_back(std::move(place));
            ++found;
        }
        if (found > 0) {
            TSourceNote note;
            note.Kind = listed ? TSourceNoteKind::FoundOutsideTable : TSourceNoteKind::FoundBySearch;
            note.Bytes = static_cast<std::int64_t>(found);
            source.Notes.push_back(note);
        }
    }
    if (places.empty() && table.Scheme == TPartitionScheme::None) {
        TPlace place;
        place.Info.Length = std::max<std::int64_t>(diskSize, 0);
        place.Readable = diskSize >= 0 ? diskSize : std::int64_t{1} << 48;
        places.push_back(std::move(place));
    }
    std::stable_sort(places.begin(), places.end(),
                     [](const TPlace& a, const TPlace& b) { return a.Info.Start < b.Info.Start; });
    for (TPlace& place : places) {
        place.Info.Number = static_cast<int>(source.Volumes.size()) + 1;
        source.Devices.push_back(place.Info.Scheme == TScheme::None && place.Info.Start == 0 && place.Readable == diskSize
                                     ? source.Disk
                                     : SliceDevice(source.Disk, place.Info.Start, place.Readable));
        source.Volumes.push_back(std::move(place.Info));
    }
    for (std::size_t i = 0; i < source.Volumes.size(); ++i) Describe(source, i, options);
    source.Failure = {};
    return source;
}

TOpenVolume OpenVolume(const TSource& source, const TVolumeChoice& choice, const TBitLockerKeys& keys) {
    TOpenVolume result;
    result.Notes = source.Notes;
    if (source.Failure.End != TSourceEnd::Opened) {
        result.Failure = source.Failure;
        return result;
    }
    const int count = static_cast<int>(source.Volumes.size());
    int chosen = 0;
    if (choice.Volume) {
        if (*choice.Volume < 1 || *choice.Volume > count) {
            result.Failure.End = TSourceEnd::NoSuchVolume;
            result.Failure.Volume = *choice.Volume;
            result.Failure.Count = count;
            return result;
        }
        chosen = *choice.Volume;
    } else {
        std::vector<int> candidates;
        for (const TVolumeInfo& v : source.Volumes)
            if (v.FileSystem != TFileSystemKind::Unknown) candidates.push_back(v.Number);
        if (candidates.size() == 1) {
            chosen = candidates.front();
        } else if (candidates.empty() && count == 1) {
            chosen = 1;
        } else {
            result.Failure.End = candidates.empty() ? TSourceEnd::NoNtfsVolume : TSourceEnd::VolumeNeeded;
            result.Failure.Count = candidates.empty() ? count : static_cast<int>(candidates.size());
            return result;
        }
    }
    const auto index = static_cast<std::size_t>(chosen - 1);
    result.Info = source.Volumes[index];
    std::shared_ptr<TDevice> device = source.Devices[index];
    if (result.Info.FileSystem == TFileSystemKind::BitLocker && !result.Info.Unlocked) {
        TOpened unlocked = OpenBitLocker(device, keys);
        if (!unlocked.Device) {
            result.Failure = std::move(unlocked.Failure);
            result.Failure.Volume = chosen;
            return result;
        }
        device = std::move(unlocked.Device);
        result.Info.Unlocked = true;
    }
    if (choice.Snapshot) {
        TOpened snapshot = OpenShadowCopy(device, *choice.Snapshot);
        if (!snapshot.Device) {
            result.Failure = std::move(snapshot.Failure);
            result.Failure.Volume = chosen;
            return result;
        }
        device = std::move(snapshot.Device);
        result.Snapshot = *choice.Snapshot;
        for (const TSnapshotInfo& s : result.Info.Snapshots)
            if (s.Number == result.Snapshot) result.SnapshotCreated = s.Created;
    }
    result.Device = std::move(device);
    return result;
}

TOpenVolume OpenVolume(const std::string& path, const TVolumeChoice& choice, const TSourceOptions& options) {
    TSourceOptions quick = options;
    // The snapshots' times are wanted only for the one asked for.
    quick.Snapshots = choice.Snapshot.has_value();
    quick.Labels = false;
    return OpenVolume(OpenSource(path, quick), choice, options.Keys);
}

std::string IsoUtc(std::uint64_t fileTime) { return IsoUtcText(fileTime); }

}  // namespace deruzera::platform
