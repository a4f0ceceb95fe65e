// E01 and Ex01 images through libewf, with their segment files.
#include <libewf.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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
//
// One thread that runs one job at a time for the device, made once: a
// thread made for each read starts, on a machine of two cores, mostly
// after the read's other half is done.
class THelperThread {
public:
    THelperThread() : thread_([this] { Run(); }) {}
    ~THelperThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // Runs `job` on the thread; Wait gives its result. One at a time.
    void Start(std::function<std::int64_t()> job) {
        {
            std::lock_guard lock(mutex_);
            job_ = std::move(job);
            done_ = false;
        }
        wake_.notify_all();
    }
    std::int64_t Wait() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return done_; });
        return result_;
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || job_; });
            if (stop_) return;
            const std::function<std::int64_t()> job = std::move(job_);
            job_ = nullptr;
            lock.unlock();
            const std::int64_t result = job();
            lock.lock();
            result_ = result;
            done_ = true;
            finished_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::function<std::int64_t()> job_;
    std::int64_t result_ = 0;
    bool done_ = true, stop_ = false;
    std::thread thread_;
};

// A compressed image costs its inflating, one chunk after another on one
// handle. The device holds a second handle over the same files and reads
// the second half of a long read through it on a thread of its own, the
// halves split on a chunk boundary, so that two cores inflate at once.
class TEwfDevice final : public TDevice {
public:
    TEwfDevice(std::vector<THandle> handles, std::int64_t size, std::uint32_t sectorBytes, std::uint32_t chunkBytes,
               std::vector<std::string> files)
        : size_(size), sector_(sectorBytes ? sectorBytes : 512), chunk_(chunkBytes ? chunkBytes : 32768),
          files_(std::move(files)) {
        for (THandle& handle : handles) {
            slots_.push_back(std::make_unique<TSlot>());
            slots_.back()->Handle = std::move(handle);
        }
        // The second handle is used only where its thread can be had.
        if (slots_.size() > 1) {
            try {
                helper_ = std::make_unique<THelperThread>();
            } catch (const std::system_error&) {
                helper_.reset();
            }
        }
    }
    ~TEwfDevice() override {
        helper_.reset();
        for (const auto& slot : slots_) {
            libewf_error_t* error = nullptr;
            libewf_handle_close(slot->Handle.get(), &error);
            if (error) libewf_error_free(&error);
        }
    }

    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0 || offset >= size_) return 0;
        count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size_ - offset));
        {
            std::lock_guard guard(badLock_);
            if (InBad(offset)) return -EIO;
            count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), NextBad(offset) - offset));
        }
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::int64_t done = 0;
        // Where the second handle takes over: the chunk boundary nearest the middle.
        const std::int64_t middle = (offset + static_cast<std::int64_t>(count / 2)) / chunk_ * chunk_;
        // The helper serves one read at a time; a read beside it goes whole
        // through the first handle.
        std::unique_lock helping(helperLock_, std::try_to_lock);
        if (helper_ && helping.owns_lock() && count >= SplitBytes && middle > offset) {
            const auto first = static_cast<std::size_t>(middle - offset);
            helper_->Start([&] { return ReadPart(*slots_[1], middle, out + first, count - first); });
            done = ReadPart(*slots_[0], offset, out, first);
            const std::int64_t rest = helper_->Wait();
            if (done == static_cast<std::int64_t>(first) && rest > 0) done += rest;
        } else {
            done = ReadPart(*slots_[0], offset, out, count);
        }
        std::lock_guard guard(badLock_);
        for (const auto& slot : slots_) RefreshBad(*slot);
        if (InBad(offset) || done < 0) return -EIO;
        return std::min<std::int64_t>(done, NextBad(offset) - offset);
    }
    std::int64_t Size() const override { return size_; }
    bool IsSource(const std::string& path) const override {
        return std::any_of(files_.begin(), files_.end(), [&](const std::string& f) { return yal::SameFile(f, path); });
    }

private:
    // Reads shorter than this are not worth a second thread: two chunks a half.
    static constexpr std::size_t SplitBytes = 128 * 1024;

    struct TSlot {
        std::mutex Lock;
        THandle Handle;
        std::size_t Known = 0;   // checksum errors of this handle already taken
        std::vector<std::pair<std::int64_t, std::int64_t>> Bad;
    };

    // `count` bytes at `offset` through one handle: the bytes read, -EIO
    // where none could be.
    static std::int64_t ReadPart(TSlot& slot, std::int64_t offset, std::uint8_t* out, std::size_t count) {
        std::lock_guard guard(slot.Lock);
        std::size_t done = 0;
        while (done < count) {
            libewf_error_t* error = nullptr;
            const ssize_t n = libewf_handle_read_random(slot.Handle.get(), out + done, count - done,
                                                        static_cast<off64_t>(offset) + static_cast<off64_t>(done), &error);
            if (error) libewf_error_free(&error);
            if (n <= 0) {
                if (n < 0 && done == 0) return -EIO;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return static_cast<std::int64_t>(done);
    }

    // The checksum errors libewf knows of on `slot`'s handle, as byte
    // stretches, merged into those of every handle. libewf widens the last
    // one as the next chunks fail, so that one is read again every time.
    // Called with badLock_ held.
    void RefreshBad(TSlot& slot) {
        std::lock_guard guard(slot.Lock);
        libewf_error_t* error = nullptr;
        std::uint32_t count = 0;
        if (libewf_handle_get_number_of_checksum_errors(slot.Handle.get(), &count, &error) != 1) {
            if (error) libewf_error_free(&error);
            return;
        }
        if (count == 0) return;
        const std::uint32_t from = std::min<std::uint32_t>(count - 1, static_cast<std::uint32_t>(slot.Known));
        slot.Bad.resize(from);
        for (std::uint32_t i = from; i < count; ++i) {
            std::uint64_t start = 0, sectors = 0;
            if (libewf_handle_get_checksum_error(slot.Handle.get(), i, &start, &sectors, &error) != 1) {
                if (error) libewf_error_free(&error);
                break;
            }
            slot.Bad.emplace_back(static_cast<std::int64_t>(start * sector_), static_cast<std::int64_t>((start + sectors) * sector_));
        }
        slot.Known = slot.Bad.size();
        sorted_.clear();
        for (const auto& s : slots_) sorted_.insert(sorted_.end(), s->Bad.begin(), s->Bad.end());
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

    std::vector<std::unique_ptr<TSlot>> slots_;
    std::mutex helperLock_;
    std::unique_ptr<THelperThread> helper_;
    std::int64_t size_;
    std::uint64_t sector_;
    std::int64_t chunk_;
    std::vector<std::string> files_;
    std::mutex badLock_;
    std::vector<std::pair<std::int64_t, std::int64_t>> sorted_;
};

// One handle over `names`; null (and `message`) where libewf refuses.
THandle OpenHandle(char** names, int count, std::string& message) {
    libewf_error_t* error = nullptr;
    libewf_handle_t* raw = nullptr;
    if (libewf_handle_initialize(&raw, &error) != 1) {
        message = Take(error);
        return nullptr;
    }
    THandle handle(raw);
    if (libewf_handle_open(handle.get(), names, count, LIBEWF_OPEN_READ, &error) != 1) {
        message = Take(error);
        return nullptr;
    }
    return handle;
}

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
    std::vector<THandle> handles;
    handles.push_back(OpenHandle(names, count, result.Failure.Message));
    if (!handles.front()) {
        libewf_glob_free(names, count, nullptr);
        return result;
    }
    // The second handle only speeds reading up: where it can't be had, one does.
    std::string ignored;
    if (THandle second = OpenHandle(names, count, ignored)) handles.push_back(std::move(second));
    libewf_glob_free(names, count, nullptr);
    libewf_handle_t* handle = handles.front().get();
    size64_t size = 0;
    std::uint32_t sector = 0;
    if (libewf_handle_get_media_size(handle, &size, &error) != 1) {
        result.Failure.Message = Take(error);
        return result;
    }
    if (libewf_handle_get_bytes_per_sector(handle, &sector, &error) != 1) {
        if (error) libewf_error_free(&error);
        sector = 512;
    }
    size32_t chunk = 0;
    if (libewf_handle_get_chunk_size(handle, &chunk, &error) != 1) {
        if (error) libewf_error_free(&error);
        chunk = 0;
    }
    result.Device = std::make_shared<TEwfDevice>(std::move(handles), static_cast<std::int64_t>(size), sector, chunk,
                                                 std::move(files));
    result.Failure = {};
    return result;
}

}  // namespace deruzera::platform
