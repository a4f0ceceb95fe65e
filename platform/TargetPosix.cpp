// POSIX back end of the target: descriptors of open folders and the *at
// calls, so that no path is resolved twice and no link is followed that
// the user or the administrator did not make.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <algorithm>
#include <deque>
#include <limits>
#include <vector>

#include "Target.h"

namespace deruzera::platform {
namespace {

constexpr std::int64_t TicksPerSecond = 10'000'000;
constexpr std::int64_t SecondsFrom1601To1970 = 11'644'473'600;
// A time set and read back further apart than this was not kept (the file
// system put the nearest time it holds instead); coarser than any file
// system's own steps (FAT keeps 2 seconds).
constexpr std::int64_t TimeSlackSeconds = 2;
// Links followed on the way to a chosen folder, as the kernel allows.
constexpr int MaxLinks = 40;
// Folders made again when one is taken away between making and opening it.
constexpr int MakeTries = 3;

// A single folder entry: not empty, ".", ".." or holding "/" or NUL.
bool EntryName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int CloseDescriptor(int fd) {
    // Linux closes the descriptor even when close is interrupted.
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

class TPosixFile final : public TTargetFile {
public:
    explicit TPosixFile(int fd) : fd_(fd) {}
    ~TPosixFile() override {
        if (fd_ >= 0) ::close(fd_);
    }
    TPosixFile(const TPosixFile&) = delete;
    TPosixFile& operator=(const TPosixFile&) = delete;

    int Write(const void* bytes, std::size_t count) override {
        const auto* at = static_cast<const char*>(bytes);
        while (count > 0) {
            const ssize_t n = ::write(fd_, at, count);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno;
            if (n == 0) return EIO;
            at += n;
            count -= static_cast<std::size_t>(n);
        }
        return 0;
    }
    int Skip(std::uint64_t count) override {
        if (count > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
        return ::lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0 ? errno : 0;
    }
    int Resize(std::uint64_t size) override {
        if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return EFBIG;
        int result;
        do result = ::ftruncate(fd_, static_cast<off_t>(size));
        while (result != 0 && errno == EINTR);
        return result == 0 ? 0 : errno;
    }
    bool SetModified(std::uint64_t fileTime) override {
        const std::int64_t seconds = static_cast<std::int64_t>(fileTime / TicksPerSecond) - SecondsFrom1601To1970;
        const auto nanoseconds = static_cast<long>(fileTime % TicksPerSecond * 100);
        if (seconds < std::numeric_limits<time_t>::min() || seconds > std::numeric_limits<time_t>::max())
            return false;
        struct stat before {};
        if (::fstat(fd_, &before) != 0) return false;
        const struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanoseconds}};
        if (::futimens(fd_, times) != 0) return false;
        // A file system keeps the nearest time it can hold where it can't
        // hold this one: the file gets back the time it was written at.
        struct stat after {};
        if (::fstat(fd_, &after) == 0) {
            const std::int64_t kept = after.st_mtim.tv_sec;
            if (kept >= seconds - TimeSlackSeconds && kept <= seconds + TimeSlackSeconds) return true;
        }
        const struct timespec back[2] = {{0, UTIME_OMIT}, before.st_mtim};
        ::futimens(fd_, back);
        return false;
    }
    int Sync() override {
        // A file system that keeps nothing to put on a disk says so with these.
        return ::fsync(fd_) == 0 || errno == EINVAL || errno == ENOSYS || errno == EROFS ? 0 : errno;
    }
    int Close() override {
        if (fd_ < 0) return 0;
        const int result = CloseDescriptor(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

class TPosixFolder final : public TTargetFolder {
public:
    explicit TPosixFolder(int fd) : fd_(fd) {}
    ~TPosixFolder() override { ::close(fd_); }
    TPosixFolder(const TPosixFolder&) = delete;
    TPosixFolder& operator=(const TPosixFolder&) = delete;

    std::unique_ptr<TTargetFolder> Folder(const std::string& name, int& error, bool* made) override {
        if (made) *made = false;
        if (!EntryName(name)) {
            error = EINVAL;
            return nullptr;
        }
        for (int attempt = 0; attempt < MakeTries; ++attempt) {
            const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) return std::make_unique<TPosixFolder>(fd);
            // A link is refused as O_NOFOLLOW finds it, whatever it points to.
            if (errno == ENOTDIR || errno == ELOOP) {
                error = ENOTDIR;
                return nullptr;
            }
            if (errno != ENOENT) {
                error = errno;
                return nullptr;
            }
            if (::mkdirat(fd_, name.c_str(), 0777) == 0) {
                if (made) *made = true;
            } else if (errno != EEXIST) {
                error = errno;
                return nullptr;
            }
        }
        error = ENOENT;
        return nullptr;
    }

    std::unique_ptr<TTargetFile> Create(const std::string& name, int& error) override {
        if (!EntryName(name)) {
            error = EINVAL;
            return nullptr;
        }
        int fd;
        do fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        return std::make_unique<TPosixFile>(fd);
    }

    TEntry Entry(const std::string& name) override {
        TEntry entry;
        struct stat st {};
        if (!EntryName(name) || ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return entry;
        if (S_ISLNK(st.st_mode)) entry.Kind = TEntryKind::Link;
        else if (S_ISDIR(st.st_mode)) entry.Kind = TEntryKind::Folder;
        else if (!S_ISREG(st.st_mode)) entry.Kind = TEntryKind::Other;
        else {
            entry.Kind = TEntryKind::File;
            // The administrator may write any file: it replaces only its own
            // that it has not marked read-only.
            entry.Replaceable = ::geteuid() == 0 ? st.st_uid == 0 && (st.st_mode & S_IWUSR) != 0
                                                 : ::faccessat(fd_, name.c_str(), W_OK, AT_EACCESS) == 0;
        }
        return entry;
    }

    int Rename(const std::string& from, const std::string& to) override {
        if (!EntryName(from) || !EntryName(to)) return EINVAL;
        return ::renameat(fd_, from.c_str(), fd_, to.c_str()) == 0 ? 0 : errno;
    }

    int Remove(const std::string& name) override {
        if (!EntryName(name)) return EINVAL;
        return ::unlinkat(fd_, name.c_str(), 0) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

// The names of a path, in order ("" and "." left out).
void AppendNames(std::deque<std::string>& names, const std::string& path, bool front) {
    std::vector<std::string> found;
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end > at && path.compare(at, end - at, ".") != 0) found.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    if (front) names.insert(names.begin(), found.begin(), found.end());
    else names.insert(names.end(), found.begin(), found.end());
}

class TPosixFileSystem final : public TTargetFileSystem {
public:
    std::unique_ptr<TTargetFolder> OpenFolder(const std::string& path, bool make, int& error) override {
        if (path.empty() || path.find('\0') != std::string::npos) {
            error = ENOENT;
            return nullptr;
        }
        int fd = ::open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        std::deque<std::string> names;
        AppendNames(names, path, false);
        int links = 0;
        int tries = 0;
        while (!names.empty()) {
            const std::string name = names.front();
            const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0) {
                ::close(fd);
                fd = next;
                names.pop_front();
                tries = 0;
                continue;
            }
            error = errno;
            if (error == ENOENT && make && name != ".." && ++tries <= MakeTries) {
                if (::mkdirat(fd, name.c_str(), 0777) == 0 || errno == EEXIST) continue;
                error = errno;
            } else if (error == ELOOP || error == ENOTDIR) {
                error = FollowLink(fd, name, names, links);
                if (error == 0) continue;
            }
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<TPosixFolder>(fd);
    }

    void SplitPath(const std::string& path, std::string& folder, std::string& name) const override {
        const std::size_t slash = path.rfind('/');
        std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string above =
            slash == std::string::npos ? std::string(".") : path.substr(0, std::max<std::size_t>(slash, 1));
        if (last == "." || last == "..") last.clear();
        folder = std::move(above);
        name = std::move(last);
    }

    std::string JoinPath(const std::string& folder, const std::string& name) const override {
        if (folder.empty()) return name;
        return folder + (folder.back() == '/' ? "" : "/") + name;
    }

private:
    // Where `name` in the folder `fd` is a link the user or the
    // administrator made: its target's names go before the rest of `names`,
    // and `fd` becomes "/" for a target from the root. 0, or ENOTDIR where it
    // is no link, ForeignLinkError where another user owns it, ELOOP past
    // MaxLinks links.
    static int FollowLink(int& fd, const std::string& name, std::deque<std::string>& names, int& links) {
        // The link itself, held while it is read, so it can't be swapped
        // between the look at its owner and the read of its target.
        const int link = ::openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (link < 0) return errno;
        struct stat st {};
        int error = 0;
        std::string target;
        if (::fstat(link, &st) != 0) error = errno;
        else if (!S_ISLNK(st.st_mode)) error = ENOTDIR;
        else if (st.st_uid != ::geteuid() && st.st_uid != 0) error = ForeignLinkError;
        else if (++links > MaxLinks) error = ELOOP;
        else {
            target.resize(static_cast<std::size_t>(st.st_size) + 1);
            const ssize_t n = ::readlinkat(link, "", target.data(), target.size());
            if (n < 0) error = errno;
            else if (static_cast<std::size_t>(n) >= target.size() || n == 0) error = ELOOP;
            else target.resize(static_cast<std::size_t>(n));
        }
        ::close(link);
        if (error != 0) return error;
        names.pop_front();
        if (target[0] == '/') {
            const int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (root < 0) return errno;
            ::close(fd);
            fd = root;
        }
        AppendNames(names, target, true);
        return 0;
    }
};

}  // namespace

TTargetFileSystem& LocalFileSystem() {
    static TPosixFileSystem files;
    return files;
}

}  // namespace deruzera::platform
