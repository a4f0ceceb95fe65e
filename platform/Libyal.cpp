#include "Libyal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

namespace deruzera::platform::yal {

std::string TakeMessage(intptr_t*& error, int (*backtrace)(intptr_t*, char*, std::size_t), void (*free)(intptr_t**)) {
    if (!error) return {};
    char text[8192] = {};
    backtrace(error, text, sizeof text);
    free(&error);
    error = nullptr;
    // The backtrace lists the innermost reason first and the outermost last.
    std::vector<std::string> lines;
    std::string all(text);
    for (std::size_t at = 0; at < all.size();) {
        std::size_t end = all.find('\n', at);
        if (end == std::string::npos) end = all.size();
        std::string line = all.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '.')) line.pop_back();
        if (!line.empty()) lines.push_back(line);
        at = end + 1;
    }
    if (lines.empty()) return "no reason given";
    if (lines.size() == 1) return lines.front();
    return lines.back() + " (" + lines.front() + ")";
}

THandleDevice::THandleDevice(std::shared_ptr<std::mutex> lock, std::int64_t size, TRead read, std::shared_ptr<void> owner,
                             std::vector<std::string> files, std::shared_ptr<TDevice> below)
    : lock_(std::move(lock)), size_(size), read_(std::move(read)), owner_(std::move(owner)), files_(std::move(files)),
      below_(std::move(below)) {}

THandleDevice::~THandleDevice() {
    // The handle goes under the lock, in case another device shares it.
    std::lock_guard guard(*lock_);
    read_ = nullptr;
    owner_.reset();
}

std::int64_t THandleDevice::ReadAt(std::int64_t offset, void* buffer, std::size_t count) {
    if (offset < 0 || (size_ >= 0 && offset >= size_)) return 0;
    if (size_ >= 0) count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size_ - offset));
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    std::lock_guard guard(*lock_);
    while (done < count) {
        const ssize_t n = read_(out + done, count - done, static_cast<off64_t>(offset) + static_cast<off64_t>(done));
        if (n < 0) return done > 0 ? static_cast<std::int64_t>(done) : -EIO;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

bool THandleDevice::IsSource(const std::string& path) const {
    for (const std::string& file : files_)
        if (SameFile(file, path)) return true;
    return below_ && below_->IsSource(path);
}

bool THandleDevice::HoldsPath(const std::string& path) const { return below_ && below_->HoldsPath(path); }

// ---- A libbfio handle over a device ------------------------------------------

namespace {

struct TIo {
    std::shared_ptr<TDevice> Device;
    std::int64_t Offset = 0;
};

TIo* Io(intptr_t* io) { return reinterpret_cast<TIo*>(io); }

int FreeIo(intptr_t** io, libbfio_error_t**) {
    if (io && *io) {
        delete Io(*io);
        *io = nullptr;
    }
    return 1;
}

int CloneIo(intptr_t** destination, intptr_t* source, libbfio_error_t**) {
    if (!destination || !source) return -1;
    *destination = reinterpret_cast<intptr_t*>(new TIo{Io(source)->Device, 0});
    return 1;
}

int OpenIo(intptr_t*, int flags, libbfio_error_t**) { return (flags & LIBBFIO_ACCESS_FLAG_WRITE) ? -1 : 1; }
int CloseIo(intptr_t*, libbfio_error_t**) { return 0; }

ssize_t ReadIo(intptr_t* handle, uint8_t* buffer, size_t size, libbfio_error_t**) {
    TIo* io = Io(handle);
    std::size_t done = 0;
    while (done < size) {
        const std::int64_t n = io->Device->ReadAt(io->Offset, buffer + done, size - done);
        if (n < 0) {
            if (done == 0) return -1;
            break;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
        io->Offset += n;
    }
    return static_cast<ssize_t>(done);
}

ssize_t WriteIo(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) { return -1; }

off64_t SeekIo(intptr_t* handle, off64_t offset, int whence, libbfio_error_t**) {
    TIo* io = Io(handle);
    std::int64_t base = 0;
    if (whence == SEEK_CUR) base = io->Offset;
    else if (whence == SEEK_END) base = io->Device->Size();
    else if (whence != SEEK_SET) return -1;
    if (base < 0 || (offset < 0 && -offset > base)) return -1;
    io->Offset = base + offset;
    return io->Offset;
}

int ExistsIo(intptr_t*, libbfio_error_t**) { return 1; }
int IsOpenIo(intptr_t*, libbfio_error_t**) { return 1; }

int SizeIo(intptr_t* handle, size64_t* size, libbfio_error_t**) {
    const std::int64_t bytes = Io(handle)->Device->Size();
    if (bytes < 0 || !size) return -1;
    *size = static_cast<size64_t>(bytes);
    return 1;
}

}  // namespace

void TBfioFree::operator()(libbfio_handle_t* handle) const {
    libbfio_error_t* error = nullptr;
    libbfio_handle_free(&handle, &error);
    if (error) libbfio_error_free(&error);
}

TBfioHandle BfioOver(std::shared_ptr<TDevice> device, std::string& message) {
    auto* io = new TIo{std::move(device), 0};
    libbfio_handle_t* handle = nullptr;
    libbfio_error_t* error = nullptr;
    if (libbfio_handle_initialize(&handle, reinterpret_cast<intptr_t*>(io), FreeIo, CloneIo, OpenIo, CloseIo, ReadIo,
                                  WriteIo, SeekIo, ExistsIo, IsOpenIo, SizeIo,
                                  LIBBFIO_FLAG_IO_HANDLE_MANAGED | LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_FUNCTION,
                                  &error) != 1) {
        delete io;
        message = TakeMessage(error, libbfio_error_backtrace_sprint, libbfio_error_free);
        return nullptr;
    }
    return TBfioHandle(handle);
}

std::string FindParent(const std::string& child, const std::string& recorded) {
    namespace fs = std::filesystem;
    if (recorded.empty()) return {};
    std::error_code ec;
    const std::string folder = FolderOf(child);
    const std::string beside = folder + "/" + BaseNameOf(recorded);
    if (fs::is_regular_file(beside, ec)) return beside;
    if (recorded.find('\\') == std::string::npos) {
        const std::string there = recorded.front() == '/' ? recorded : folder + "/" + recorded;
        if (fs::is_regular_file(there, ec)) return there;
    }
    return {};
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace deruzera::platform::yal
