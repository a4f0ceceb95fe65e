// Read access to a device: the plain open, then udisks2 and polkit.
#include "DeviceAccess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "RawDevice.h"
#include "UDisks.h"

namespace deruzera::platform {
namespace {

// The executable `name` on PATH, or "".
std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return {};
}

// pkttyagent registered for this process for as long as the object lives,
// so that polkit can ask the password in the terminal. Starts nothing where
// standard input is no terminal or pkttyagent is missing.
class TTerminalAgent {
public:
    TTerminalAgent() {
        if (!isatty(STDIN_FILENO)) return;
        const std::string program = FindOnPath("pkttyagent");
        if (program.empty()) return;
        int notify[2];
        if (pipe2(notify, O_CLOEXEC) != 0) return;
        // Everything the child needs is made before fork.
        const std::string process = std::to_string(getpid());
        const std::string notifyFd = std::to_string(notify[1]);
        std::vector<std::string> args = {program, "--process", process, "--notify-fd", notifyFd};
        // On a desktop its own agent asks (polkit uses a fallback agent only
        // where the session has none). polkit looks a fallback up by the
        // login session, so without a desktop the terminal's agent is the
        // one: a session that logind doesn't track would otherwise get no
        // prompt at all.
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((display && *display) || (wayland && *wayland)) args.push_back("--fallback");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            // The agent closes the write end once it is registered.
            fcntl(notify[1], F_SETFD, 0);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(notify[1]);
        if (pid > 0) {
            pid_ = pid;
            // Wait for the registration (or the agent's end), at most 10 s.
            pollfd p{notify[0], POLLIN, 0};
            char byte;
            while (true) {
                const int r = poll(&p, 1, 10000);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                const ssize_t n = read(notify[0], &byte, 1);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
            }
        }
        close(notify[0]);
    }
    ~TTerminalAgent() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    TTerminalAgent(const TTerminalAgent&) = delete;
    TTerminalAgent& operator=(const TTerminalAgent&) = delete;

private:
    pid_t pid_ = -1;
};

bool IsNoSuchDevice(int error) { return error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV; }

// The path udisks2 is asked about: symlinks such as /dev/disk/by-label/X
// resolved to the node itself.
std::string NodePath(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

TAccessResult FromUDisks(TAccessResult result, const TUDisksStatus& status) {
    result.ServiceError = status.Name;
    result.ServiceMessage = status.Message;
    if (UDisksMissing(status)) {
        result.Failure = TAccessFailure::PermissionDenied;
    } else if (UDisksNotAuthorized(status)) {
        result.Failure = TAccessFailure::NotAuthorized;
    } else {
        result.Failure = TAccessFailure::Other;
        if (status.Name.empty()) result.Errno = status.Errno;
    }
    return result;
}

}  // namespace

TAccessResult OpenForReading(const std::string& path, const TAccessOptions& options) {
    TAccessResult result;
    result.Path = path;
    struct stat st {};
    result.BlockDevice = stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);

    int error = 0;
    result.Device = OpenDeviceFile(path, &error);
    if (result.Device) return result;
    result.Errno = error;
    if (IsNoSuchDevice(error)) {
        result.Failure = TAccessFailure::NoSuchDevice;
        return result;
    }
    if (error != EACCES && error != EPERM) {
        result.Failure = TAccessFailure::Other;
        return result;
    }
    if (!result.BlockDevice) {
        result.Failure = TAccessFailure::PermissionDenied;
        return result;
    }

    std::string object;
    TUDisksStatus status = UDisksResolveDevice(NodePath(path), object);
    if (!status.Ok) return FromUDisks(std::move(result), status);
    if (object.empty()) {
        result.Failure = TAccessFailure::NoSuchDevice;
        return result;
    }

    int fd = -1;
    {
        std::unique_ptr<TTerminalAgent> agent;
        if (options.TerminalAgent) agent = std::make_unique<TTerminalAgent>();
        status = UDisksOpenForBackup(object, options.TimeoutSeconds, fd);
    }
    if (!status.Ok) return FromUDisks(std::move(result), status);

    // Only ever read: a descriptor open for writing is not taken.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        close(fd);
        result.Failure = TAccessFailure::Other;
        result.ServiceMessage = "the descriptor handed over is not read-only";
        return result;
    }
    result.Device = DeviceFromDescriptor(fd);
    result.ThroughService = true;
    result.Errno = 0;
    return result;
}

}  // namespace deruzera::platform
