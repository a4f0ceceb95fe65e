// What a user sees of the drives and of one device, for the system test:
//
//   access_probe list            the drive list as the window fills it
//   access_probe read [--terminal] PATH
//                                opens PATH as the front ends do and prints
//                                how, the boot sector's OEM name and the
//                                SHA-256 of the first MiB; or the reason and
//                                the log lines of a refusal
//
// Exit codes: 0 done, 1 the open failed, 2 usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "volume/Messages.h"
#include "platform/DeviceAccess.h"
#include "platform/Drives.h"
#include "tools/Sha256.h"

namespace platform = deruzera::platform;

namespace {

const char* ReasonName(platform::TAccessFailure failure) {
    switch (failure) {
        case platform::TAccessFailure::None: return "none";
        case platform::TAccessFailure::PermissionDenied: return "permission-denied";
        case platform::TAccessFailure::NotAuthorized: return "not-authorised";
        case platform::TAccessFailure::NoSuchDevice: return "no-such-device";
        case platform::TAccessFailure::Other: return "other";
        case platform::TAccessFailure::Unmapped: return "unmapped";
        case platform::TAccessFailure::NotElevated: return "not-elevated";
        case platform::TAccessFailure::Source: return "source";
    }
    return "?";
}

int List() {
    std::vector<platform::TListedDrive> listed;
    std::printf("source: %s\n", platform::ListUDisksDrives(listed) ? "udisks2" : "sysfs");
    platform::MapSystemDrives();
    const platform::TDriveQueries q = platform::DriveMapQueries();
    const std::uint32_t mask = q.LogicalDrives();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        if (!(mask & (1u << (letter - 'A')))) continue;
        const std::string root = std::string{letter} + ":\\";
        const std::string drive{letter, ':'};
        platform::TDriveInfo info;
        platform::MappedDriveInfo(drive, info);
        std::string fileSystem;
        const bool known = q.VolumeFileSystem(root, fileSystem);
        const unsigned type = q.DriveType(root);
        std::printf("%s\t%s\t%s\t%s\t%lld\n", drive.c_str(), info.Path.c_str(), known ? fileSystem.c_str() : "?",
                    type == platform::DriveRemovable ? "removable" : type == platform::DriveFixed ? "fixed" : "other",
                    static_cast<long long>(q.TotalSize(root)));
    }
    return 0;
}

int Read(const std::string& path, bool terminal) {
    platform::TAccessOptions options;
    options.TerminalAgent = terminal;
    options.TimeoutSeconds = 60;
    platform::TAccessResult result = platform::OpenForReading(path, options);
    std::printf("reason: %s\n", ReasonName(result.Failure));
    if (!result.Device) {
        if (!result.ServiceError.empty()) std::printf("dbus-error: %s\n", result.ServiceError.c_str());
        std::printf("Error: Invalid handle value\n%s\n", deruzera::AccessFailureText(result).c_str());
        return 1;
    }
    std::printf("opened: %s\n", result.ThroughService ? "udisks2" : "directly");
    std::vector<char> head(1 << 20);
    const std::int64_t got = result.Device->ReadAt(0, head.data(), head.size());
    if (got < 0) {
        std::printf("read failed\n");
        return 1;
    }
    std::printf("size: %lld\n", static_cast<long long>(result.Device->Size()));
    std::printf("oem: %.8s\n", got >= 11 ? head.data() + 3 : "");
    deruzera::TSha256 sha;
    sha.Update(head.data(), static_cast<std::size_t>(got));
    std::printf("sha256-head: %s\n", sha.FinalHex().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "list") return List();
    if (args.size() == 2 && args[0] == "read") return Read(args[1], false);
    if (args.size() == 3 && args[0] == "read" && args[1] == "--terminal") return Read(args[2], true);
    std::fprintf(stderr, "usage: access_probe list | read [--terminal] PATH\n");
    return 2;
}
