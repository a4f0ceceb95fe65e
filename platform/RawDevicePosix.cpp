// POSIX back end: open read-only with O_CLOEXEC, pread at 64-bit offsets.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <linux/loop.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <fstream>
#include <set>
#include <sstream>
#include <utility>

#include "RawDevice.h"

namespace deruzera::platform {
namespace {

// What a file system lies on: block devices, and image files that loop
// devices among them read.
struct TUnderneath {
    std::set<dev_t> Devices;
    std::set<std::pair<dev_t, ino_t>> Files;
};

#ifdef __linux__
// Devices stacked on devices (a partition of a loop device over an image
// on a logical volume ...) are followed this deep; real stacks are a few.
constexpr int MaxStack = 16;

std::string SysBlock(dev_t dev) {
    return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// A device number as sysfs writes it ("8:1").
bool ReadDeviceNumber(const std::string& file, dev_t& dev) {
    std::ifstream in(file);
    unsigned major = 0, minor = 0;
    char colon = 0;
    if (!(in >> major >> colon >> minor) || colon != ':') return false;
    dev = makedev(major, minor);
    return true;
}

// A path from /proc/self/mountinfo, its "\040"-style escapes undone.
std::string Unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string digits = text.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

void AddFileSystem(dev_t dev, TUnderneath& under, int depth);

// An image file a loop device reads, and what it lies on in turn.
void AddBacking(const struct stat& st, TUnderneath& under, int depth) {
    if (S_ISBLK(st.st_mode)) {
        AddFileSystem(st.st_rdev, under, depth + 1);
    } else if (S_ISREG(st.st_mode) && under.Files.emplace(st.st_dev, st.st_ino).second) {
        // Writing into the image writes onto the file system holding it.
        AddFileSystem(st.st_dev, under, depth + 1);
    }
}

// The block device `dev` and everything it lies on: the disk of a
// partition, the devices under a mapped or striped one, the file or device
// a loop device reads.
void AddBlockDevice(dev_t dev, TUnderneath& under, int depth) {
    if (depth > MaxStack || !under.Devices.insert(dev).second) return;
    const std::string sys = SysBlock(dev);
    struct stat st {};
    dev_t next = 0;
    if (::stat((sys + "/partition").c_str(), &st) == 0 && ReadDeviceNumber(sys + "/../dev", next))
        AddBlockDevice(next, under, depth + 1);
    if (DIR* slaves = ::opendir((sys + "/slaves").c_str())) {
        while (const dirent* entry = ::readdir(slaves)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && ReadDeviceNumber(sys + "/slaves/" + name + "/dev", next))
                AddBlockDevice(next, under, depth + 1);
        }
        ::closedir(slaves);
    }
    if (::stat((sys + "/loop").c_str(), &st) != 0) return;
    // The loop device's own answer names the file by device and inode,
    // whatever its path looks like from here.
    std::ifstream uevent(sys + "/uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line.rfind("DEVNAME=", 0) != 0) continue;
        const int fd = ::open(("/dev/" + line.substr(8)).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
        struct stat node {};
        struct loop_info64 info {};
        if (fd >= 0 && ::fstat(fd, &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == dev &&
            ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0) {
            struct stat backing {};
            backing.st_mode = S_IFREG;
            backing.st_dev = static_cast<dev_t>(info.lo_device);
            backing.st_ino = static_cast<ino_t>(info.lo_inode);
            AddBacking(backing, under, depth);
        }
        if (fd >= 0) ::close(fd);
    }
    // And the path the kernel keeps for it, where this process may not open
    // the loop device.
    std::ifstream file(sys + "/loop/backing_file");
    std::string path;
    if (std::getline(file, path) && ::stat(path.c_str(), &st) == 0) AddBacking(st, under, depth);
}

// What the file system with device number `dev` lies on: its block device,
// or where it has none of its own (FUSE over an image file, btrfs), the
// source its mount names.
void AddFileSystem(dev_t dev, TUnderneath& under, int depth) {
    struct stat st {};
    if (::stat(SysBlock(dev).c_str(), &st) == 0) {
        AddBlockDevice(dev, under, depth);
        return;
    }
    std::ifstream mounts("/proc/self/mountinfo");
    const std::string number = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, field;
        if (!(fields >> id >> parent >> device) || device != number) continue;
        while (fields >> field && field != "-") {}
        std::string type, source;
        if (!(fields >> type >> source)) continue;
        source = Unescaped(source);
        if (!source.empty() && source[0] == '/' && ::stat(source.c_str(), &st) == 0) AddBacking(st, under, depth);
    }
}
#endif

// What the file system holding `path` (or, where it does not exist yet, its
// folder) lies on.
TUnderneath Underneath(const std::string& path) {
    TUnderneath under;
    struct stat st {};
    std::string where = path;
    if (::stat(where.c_str(), &st) != 0) {
        const auto slash = where.find_last_of('/');
        where = slash == std::string::npos ? "." : slash == 0 ? "/" : where.substr(0, slash);
        if (::stat(where.c_str(), &st) != 0) return under;
    }
#ifdef __linux__
    AddFileSystem(st.st_dev, under, 0);
#else
    under.Devices.insert(st.st_dev);
#endif
    return under;
}

class TFileDevice final : public TDevice {
public:
    explicit TFileDevice(int fd) : fd_(fd) {
        struct stat st {};
        if (fstat(fd_, &st) == 0) {
            stat_ = st;
            known_ = true;
            if (S_ISREG(st.st_mode)) size_ = st.st_size;
#ifdef BLKGETSIZE64
            else if (S_ISBLK(st.st_mode)) {
                unsigned long long bytes = 0;
                if (ioctl(fd_, BLKGETSIZE64, &bytes) == 0) size_ = static_cast<std::int64_t>(bytes);
            }
#endif
        }
    }
    ~TFileDevice() override { ::close(fd_); }
    TFileDevice(const TFileDevice&) = delete;
    TFileDevice& operator=(const TFileDevice&) = delete;

    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0) return 0;
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            const ssize_t n = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset) + static_cast<off_t>(done));
            if (n < 0) {
                if (errno == EINTR) continue;
                return done > 0 ? static_cast<std::int64_t>(done) : -static_cast<std::int64_t>(errno);
            }
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return static_cast<std::int64_t>(done);
    }
    std::int64_t Size() const override { return size_; }

    bool IsSource(const std::string& path) const override {
        struct stat st {};
        if (!known_ || ::stat(path.c_str(), &st) != 0) return false;
        if (st.st_dev == stat_.st_dev && st.st_ino == stat_.st_ino) return true;
        // The same block device under another node.
        return S_ISBLK(st.st_mode) && S_ISBLK(stat_.st_mode) && st.st_rdev == stat_.st_rdev;
    }

    bool HoldsPath(const std::string& path) const override {
        if (!known_ || (!S_ISBLK(stat_.st_mode) && !S_ISREG(stat_.st_mode))) return false;
        // A device: the file system lies on it (or on a partition of it, or
        // on a device stacked on it). An image: the file system lies on a
        // loop device that reads it.
        const TUnderneath under = Underneath(path);
        if (S_ISBLK(stat_.st_mode)) return under.Devices.count(stat_.st_rdev) > 0;
        return under.Files.count({stat_.st_dev, stat_.st_ino}) > 0;
    }

private:
    int fd_;
    std::int64_t size_ = -1;
    struct stat stat_ {};
    bool known_ = false;
};

}  // namespace

THandle OpenDeviceFile(const std::string& path, int* error) {
    if (error) *error = 0;
    if (path.empty()) {
        if (error) *error = ENOENT;
        return nullptr;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (error) *error = errno;
        return nullptr;
    }
    return std::make_unique<TFileDevice>(fd);
}

THandle DeviceFromDescriptor(int fd) {
    if (fd < 0) return nullptr;
    return std::make_unique<TFileDevice>(fd);
}

}  // namespace deruzera::platform
