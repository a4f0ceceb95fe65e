// POSIX back end: open read-only with O_CLOEXEC, pread at 64-bit offsets.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

#include <cerrno>

#include "RawDevice.h"

namespace deruzera::platform {
namespace {

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
        if (!known_ || !S_ISBLK(stat_.st_mode)) return false;
        // The file itself, or the folder it would be made in.
        struct stat st {};
        std::string where = path;
        if (::stat(where.c_str(), &st) != 0) {
            const auto slash = where.find_last_of('/');
            where = slash == std::string::npos ? "." : slash == 0 ? "/" : where.substr(0, slash);
            if (::stat(where.c_str(), &st) != 0) return false;
        }
        return st.st_dev == stat_.st_rdev;
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
