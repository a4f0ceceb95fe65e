// E01 and Ex01 images through libewf, with their segment files.
#include <libdeflate.h>
#include <libewf.h>

#include <algorithm>
#include <atomic>
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
        // Whether the image says its chunks are compressed.
        std::int8_t level = LIBEWF_COMPRESSION_NONE;
        std::uint8_t flags = 0;
        libewf_error_t* error = nullptr;
        if (handles.empty() || libewf_handle_get_compression_values(handles.front().get(), &level, &flags, &error) != 1) {
            if (error) libewf_error_free(&error);
            level = LIBEWF_COMPRESSION_NONE;
        }
        for (THandle& handle : handles) {
            slots_.push_back(std::make_unique<TSlot>());
            TSlot& slot = *slots_.back();
            slot.Handle = std::move(handle);
            if (level != LIBEWF_COMPRESSION_NONE && chunkBytes != 0) {
                slot.Inflater.reset(libdeflate_alloc_decompressor());
                // A stored chunk is at most the chunk and its checksum;
                // room for twice that, as libewf's own buffers have.
                slot.Stored.resize(static_cast<std::size_t>(2 * chunk_ + 16));
                slot.Chunk.resize(static_cast<std::size_t>(chunk_));
            }
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
        // The helper serves one read at a time; a read beside it goes whole
        // through the first handle.
        std::unique_lock helping(helperLock_, std::try_to_lock);
        if (helper_ && helping.owns_lock() && count >= SplitBytes) {
            // Both handles take the read's chunks in turn as they are free,
            // so that neither waits for the other at the end of a read
            // whose halves inflate unevenly. Where a chunk reads short,
            // the read ends there.
            const std::int64_t end = offset + static_cast<std::int64_t>(count);
            const std::int64_t lastChunk = (end - 1) / chunk_;
            std::atomic<std::int64_t> next{offset / chunk_};
            std::atomic<std::int64_t> readTo{end};
            auto take = [&](TSlot& slot) -> std::int64_t {
                for (std::int64_t c = next++; c <= lastChunk; c = next++) {
                    const std::int64_t from = std::max(offset, c * chunk_), to = std::min(end, (c + 1) * chunk_);
                    if (from >= readTo.load()) break;
                    const std::int64_t n = ReadPart(slot, from, out + (from - offset), static_cast<std::size_t>(to - from));
                    if (n < to - from) {
                        const std::int64_t stop = from + std::max<std::int64_t>(n, 0);
                        for (std::int64_t was = readTo.load(); stop < was && !readTo.compare_exchange_weak(was, stop);) {
                        }
                        break;
                    }
                }
                return 0;
            };
            helper_->Start([&] { return take(*slots_[1]); });
            take(*slots_[0]);
            helper_->Wait();
            done = readTo.load() > offset ? readTo.load() - offset : -EIO;
        } else {
            done = ReadPart(*slots_[0], offset, out, count);
        }
        std::lock_guard guard(badLock_);
        for (const auto& slot : slots_) RefreshBad(*slot);
        if (InBad(offset) || done < 0) return -EIO;
        return std::min<std::int64_t>(done, NextBad(offset) - offset);
    }
    std::int64_t Size() const override { return size_; }
    // Long reads are split over two handles: long ones keep both busy
    // between the reader's waits.
    std::size_t PreferredReadBytes() const override { return helper_ ? PreferredSplitReadBytes : 0; }
    bool IsSource(const std::string& path) const override {
        return std::any_of(files_.begin(), files_.end(), [&](const std::string& f) { return yal::SameFile(f, path); });
    }

private:
    // Reads shorter than this are not worth a second thread: two chunks a half.
    static constexpr std::size_t SplitBytes = 128 * 1024;
    // Reads this long were the fastest to scan (1 MiB against 256 KiB:
    // 0.30 s against 0.39 s over the bench volume's MFT compressed, 0.21 s
    // against 0.28 s stored as it is); longer ones gave nothing more.
    static constexpr std::size_t PreferredSplitReadBytes = 1 << 20;

    struct TInflaterFree {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    struct TSlot {
        std::mutex Lock;
        THandle Handle;
        std::size_t Known = 0;   // checksum errors of this handle already taken
        std::vector<std::pair<std::int64_t, std::int64_t>> Bad;
        // A compressed chunk as stored, and one as inflated, for the chunks
        // read raw; null where the image is not compressed.
        std::unique_ptr<libdeflate_decompressor, TInflaterFree> Inflater;
        std::vector<std::uint8_t> Stored, Chunk;
    };

    // Chunk `index` (`length` bytes: the chunk size, less for the last)
    // into `to`, read as stored and inflated here with libdeflate, which
    // checks its Adler-32 as libewf's zlib does. False where that can't be
    // had: a chunk stored uncompressed, one that fails to inflate or to
    // give `length` bytes, or one libewf can't read raw. libewf then reads
    // it, and counts it among its checksum errors where it is damaged.
    bool ReadStoredChunk(TSlot& slot, std::int64_t index, std::uint8_t* to, std::size_t length) const {
        libewf_error_t* error = nullptr;
        if (libewf_handle_seek_offset(slot.Handle.get(), static_cast<off64_t>(index * chunk_), SEEK_SET, &error) < 0) {
            if (error) libewf_error_free(&error);
            return false;
        }
        std::int8_t compressed = 0, readChecksum = 0;
        std::uint32_t checksum = 0;
        std::uint8_t checksumBytes[4] = {};
        const ssize_t n = libewf_handle_read_chunk(slot.Handle.get(), slot.Stored.data(), slot.Stored.size(), &compressed,
                                                   checksumBytes, &checksum, &readChecksum, &error);
        if (error) libewf_error_free(&error);
        if (n <= 0 || compressed == 0) return false;
        std::size_t inflated = 0;
        return libdeflate_zlib_decompress(slot.Inflater.get(), slot.Stored.data(), static_cast<std::size_t>(n), to, length,
                                          &inflated) == LIBDEFLATE_SUCCESS &&
               inflated == length;
    }

    // `count` bytes at `offset` through one handle: the bytes read, -EIO
    // where none could be. A compressed image's whole chunks are read as
    // stored and inflated here (libdeflate inflates twice as fast as the
    // zlib libewf uses); everything else through libewf.
    std::int64_t ReadPart(TSlot& slot, std::int64_t offset, std::uint8_t* out, std::size_t count) const {
        std::lock_guard guard(slot.Lock);
        if (slot.Inflater) {
            std::size_t done = 0;
            while (done < count) {
                const std::int64_t at = offset + static_cast<std::int64_t>(done);
                const std::int64_t index = at / chunk_, start = index * chunk_;
                const auto length = static_cast<std::size_t>(std::min<std::int64_t>(chunk_, size_ - start));
                const auto skip = static_cast<std::size_t>(at - start);
                const std::size_t take = std::min(length - skip, count - done);
                // A whole chunk goes straight to `out`; a part of one by way of Chunk.
                std::uint8_t* to = skip == 0 && take == length ? out + done : slot.Chunk.data();
                if (!ReadStoredChunk(slot, index, to, length)) {
                    const std::int64_t rest = ReadThroughLibrary(slot, at, out + done, take);
                    if (rest < 0) return done > 0 ? static_cast<std::int64_t>(done) : rest;
                    done += static_cast<std::size_t>(rest);
                    if (static_cast<std::size_t>(rest) < take) break;
                    continue;
                }
                if (to != out + done) std::memcpy(out + done, to + skip, take);
                done += take;
            }
            return static_cast<std::int64_t>(done);
        }
        return ReadThroughLibrary(slot, offset, out, count);
    }

    // The same through libewf's own reads, with `slot` locked.
    static std::int64_t ReadThroughLibrary(TSlot& slot, std::int64_t offset, std::uint8_t* out, std::size_t count) {
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
