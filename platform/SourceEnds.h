// How opening a source, a container in it or one of its volumes ends, as
// values with their facts. The lines the front ends show for them are made
// in one place (SourceMessages.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/DeviceAccess.h"
#include "volume/Log.h"
#include "volume/Partitions.h"

namespace deruzera::platform {

enum class TSourceEnd : std::uint8_t {
    Opened,
    CannotOpen,            // Path can't be opened for reading (Access says why)
    Unreadable,            // Path's first bytes can't be read (Error)
    LibraryFailed,         // Library refused to open Path: Message
    ParentMissing,         // the differencing image Path needs its parent Needed beside it (Message: the library's)
    ParentChainTooDeep,    // more than MaxParentImages images stand behind Path
    MapfileUnreadable,     // the map Path can't be read (Error)
    MapfileDamaged,        // the map Path is damaged at line Line (0: not a ddrescue map at all)
    MapfileNotRaw,         // a map was given for Path, which is a container image (Library), not a raw copy
    NoSuchVolume,          // there is no volume Volume: the source holds Count
    VolumeNeeded,          // the source holds Count NTFS or BitLocker volumes and none was chosen
    NoNtfsVolume,          // the source holds Count volumes, none of them NTFS or BitLocker, and none was chosen
    NoSuchSnapshot,        // volume Volume holds no snapshot Snapshot: it holds Count
    SnapshotsFailed,       // libvshadow can't read the shadow copies of volume Volume: Message
    Locked,                // volume Volume is BitLocker and no key was given
    WrongKey,              // the key given does not unlock volume Volume
    BadRecoveryPassword,   // the recovery password is not eight groups of six digits
    StartupKeyUnreadable,  // libbde can't read the startup key Path: Message
    BitLockerFailed,       // libbde can't read the BitLocker volume Volume: Message
};

struct TSourceFailure {
    TSourceEnd End = TSourceEnd::Opened;
    std::string Path;        // the file concerned
    std::string Library;     // "libewf", "libvhdi", "libvmdk", "libqcow", "libvshadow", "libbde"
    std::string Message;     // the library's own reason
    std::string Needed;      // the parent file a differencing image needs
    int Error = 0;           // errno
    int Line = 0;            // line of a damaged map
    int Volume = 0;          // volume number from 1
    int Snapshot = 0;        // snapshot number from 1
    int Count = 0;
    std::shared_ptr<const TAccessResult> Access;  // CannotOpen: what the open found
};

// Facts about a source that don't stop it being read.
enum class TSourceNoteKind : std::uint8_t {
    Table,           // the partition table is damaged or odd: Table says how
    MapfileFound,    // the map Path was found beside the image and is used
    Unrescued,       // the map says Bytes bytes of the image were never rescued: they read as unread
    FoundBySearch,   // no partition table could be read: the volumes listed were found by searching the disk
    FoundOutsideTable,  // Bytes volumes were found by searching where the partition table lists no partition
};

struct TSourceNote {
    TSourceNoteKind Kind = TSourceNoteKind::Table;
    TTableNote Table;
    std::string Path;
    std::int64_t Bytes = 0;
};

// The lines a failure shows, in order (red).
std::vector<TLogLine> SourceFailureLines(const TSourceFailure& failure);
// The line a note shows.
TLogLine SourceNoteLine(const TSourceNote& note);
// What the window asks before it scans drive `drive` ("C:"), a BitLocker
// volume still locked: `end` Locked the first time, WrongKey after keys
// that did not unlock it, BadRecoveryPassword after digits that were no
// recovery password.
std::string DriveKeysPrompt(const std::string& drive, TSourceEnd end);

}  // namespace deruzera::platform
