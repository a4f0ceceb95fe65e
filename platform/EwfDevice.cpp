// E01 and Ex01 images through libewf, with their segment files.
#include <libewf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Containers.h"
#include "Libyal.h"

namespace deruzera::platform {
namespace {

using THandle = std::unique_ptr<libewf_handle_t, yal::TFree<libewf_handle_free, libewf_error_free>>;

std::string Take(libewf_error_t*& error) { return yal::TakeMessage(error, libewf_error_backtrace_sprint, libewf_error_free); }

// libewf hands out a chunk whose checksum fails (or that a missing or cut
// segment file no longer holds) as bytes all the same, and only counts it
// among its checksum errors. Those stretches read here as errors: short
// reads up to them, -EIO inside them.
class TEwfDevice final : public TDevice {
public:
    TEwfDevice(THandle handle, std::int64_t size, std::uint32_t sectorBytes, std::vector<std::string> files)
        : handle_(std::move(handle)), size_(size), sector_(sectorBytes ? sectorBytes : 512), files_(std::move(files)) {}
    ~TEwfDevice() override {
        if (handle_) {
            libewf_error_t* error = nullptr;
            libewf_handle_close(handle_.get(), &error);
            if (error) libewf_error_free(&error);
        }
    }

    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0 || offset >= size_) return 0;
        count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size_ - offset));
        std::lock_guard guard(lock_);
        if (InBad(offset)) return -EIO;
        count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), NextBad(offset) - offset));
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        while (done < count) {
            libewf_error_t* error = nullptr;
            const ssize_t n = libewf_handle_read_random(handle_.get(), out + done, count - done,
                                                        static_cast<off64_t>(offset) + static_cast<off64_t>(done), &error);
            if (error) libewf_error_free(&error);
            if (n <= 0) {
                if (n < 0 && done == 0) return -EIO;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        RefreshBad();
        if (InBad(offset)) return -EIO;
        return std::min<std::int64_t>(static_cast<std::int64_t>(done), NextBad(offset) - offset);
    }
    std::int64_t Size() const override { return size_; }
    bool IsSource(const std::string& path) const override {
        return std::any_of(files_.begin(), files_.end(), [&](const std::string& f) { return yal::SameFile(f, path); });
    }

private:
    // The checksum errors libewf knows of, as byte stretches in order. It
    // widens the last one as the next chunks fail, so that one is read again
    // every time.
    void RefreshBad() {
        libewf_error_t* error = nullptr;
        std::uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(handle_.get(), &count, &error) != 1) {
            if (error) libewf_error_free(&error);
            return;
        }
        if (count == 0) return;
        const std::uint32_t from = std::min<std::uint32_t>(count - 1, static_cast<std::uint32_t>(known_));
        bad_.resize(from);
        for (std::uint32_t i = from; i < count; ++i) {
            std::uint64_t start = 0, sectors = 0;
            if (libewf_handle_get_checksum_error(handle_.get(), i, &start, &sectors, &error) != 1) {
                if (error) libewf_error_free(&error);
                break;
            }
            bad_.emplace_back(static_cast<std::int64_t>(start * sector_), static_cast<std::int64_t>((start + sectors) * sector_));
        }
        known_ = bad_.size();
        sorted_ = bad_;
        std::sort(sorted_.begin(), sorted_.end());
    }
    bool InBad(std::int64_t offset) const {
        return std::any_of(sorted_.begin(), sorted_.end(), [&](const auto& r) { return r.first <= offset && offset < r.second; });
    }
    std::int64_t NextBad(std::int64_t offset) const {
        for (const auto& r : sorted_)
            if (r.first > offset) return r.first;
        return size_;
    }

    std::mutex lock_;
    THandle handle_;
    std::int64_t size_;
    std::uint64_t sector_;
    std::vector<std::string> files_;
    std::vector<std::pair<std::int64_t, std::int64_t>> bad_, sorted_;
    std::size_t known_ = 0;
};

}  // namespace

TOpened OpenEwf(const std::string& path) {
    TOpened result;
    result.Failure.Path = path;
    result.Failure.Library = "libewf";
    result.Failure.End = TSourceEnd::LibraryFailed;
    libewf_error_t* error = nullptr;
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) != 1) {
        result.Failure.Message = Take(error);
        return result;
    }
    std::vector<std::string> files(names, names + count);
    libewf_handle_t* raw = nullptr;
    if (libewf_handle_initialize(&raw, &error) != 1) {
        libewf_glob_free(names, count, nullptr);
        result.Failure.Message = Take(error);
        return result;
    }
    THandle handle(raw);
    const int opened = libewf_handle_open(handle.get(), names, count, LIBEWF_OPEN_READ, &error);
    libewf_glob_free(names, count, nullptr);
    if (opened != 1) {
        result.Failure.Message = Take(error);
        return result;
    }
    size64_t size = 0;
    std::uint32_t sector = 0;
    if (libewf_handle_get_media_size(handle.get(), &size, &error) != 1) {
        result.Failure.Message = Take(error);
        return result;
    }
    if (libewf_handle_get_bytes_per_sector(handle.get(), &sector, &error) != 1) {
        if (error) libewf_error_free(&error);
        sector = 512;
    }
    result.Device = std::make_shared<TEwfDevice>(std::move(handle), static_cast<std::int64_t>(size), sector, std::move(files));
    result.Failure = {};
    return result;
}

}  // namespace deruzera::platform
