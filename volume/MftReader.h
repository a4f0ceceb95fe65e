// The reading side of the scan: the MFT read in order, a chunk at a time, on
// a thread of its own that stays a few chunks ahead of the walk, fixing up
// each record the walk will look into and finding its attributes there.
// Part of the scan.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "Device.h"
#include "Holders.h"
#include "Layout.h"
#include "Records.h"

namespace deruzera {

// A record as the walk needs it: fixed up, its attributes found. Made on the
// reading thread, a chunk ahead of the walk.
struct TPrepared {
    // InUse: a file in use, left to the walk to note where its clusters lie.
    // DeletedFile: a deleted file, or where files in use are listed, a file
    // in use (InUseFlag) too.
    enum TKind : std::uint8_t { Nothing, Directory, DeletedFile, InUse, Extension };
    TKind Kind = Nothing;
    bool InUseFlag = false;
    // Further names or named data streams: the walk looks at every attribute.
    bool Extras = false;
    // Where in the record the attributes the walk reads begin; 0 for none.
    // The name is the long one, else the 8.3 alias.
    std::uint32_t StandardInformation = 0, Name = 0, Data = 0, AttributeList = 0;

    void Keep(TBytes record, const TRecordView& view) {
        auto offset = [&](TBytes a) { return a.empty() ? 0 : static_cast<std::uint32_t>(a.data() - record.data()); };
        StandardInformation = offset(view.StandardInformation);
        Name = offset(view.Name());
        Data = offset(view.Data);
        AttributeList = offset(view.AttributeList);
        Extras = view.LongNames > 1 || view.NamedData > 0;
    }
};

// Asks the processor for the cache line holding `p`, where the compiler can.
inline void Prefetch(const void* p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Asks for the cache lines of a record that the walk will read.
inline void PrefetchRecord(const std::uint8_t* at, std::size_t recordSize, const TPrepared& prepared) {
    if (prepared.Kind == TPrepared::InUse) {
        // The header and the attributes, and the end of each sector for the fixup.
        for (std::size_t offset = 0; offset < std::min<std::size_t>(recordSize, 512); offset += 64) Prefetch(at + offset);
        for (std::size_t offset = 510; offset < recordSize; offset += 512) Prefetch(at + offset);
    } else if (prepared.Kind != TPrepared::Nothing) {
        // The header, the times, the parent and the name, and the sizes and runs.
        const std::uint32_t si = prepared.StandardInformation, name = prepared.Name, data = prepared.Data;
        for (const std::uint32_t offset : {0u, si, si + 56, name, name + 64, name + 128, data, data + 56})
            if (offset < recordSize) Prefetch(at + offset);
    }
}

// An attribute Prepare found, by where it begins; its length was checked then.
inline TBytes AttributeAt(TBytes record, std::uint32_t offset) {
    return offset == 0 ? TBytes{} : record.subspan(offset, ReadU32(record, offset + AttrHeader::Length));
}

// Fixes up the records of a chunk the walk will look into and finds their
// attributes, counting the records that hold anything and those that fail
// their signature or update sequence. With `listFilesInUse`, files in use
// are prepared for listing as deleted files are. See MftReader.cpp.
struct TPrepareCounts {
    std::size_t WithBytes = 0;  // records that are not all zeros
    std::size_t Damaged = 0;    // of those, records whose signature or update sequence fails
};
TPrepareCounts Prepare(std::uint8_t* chunk, std::size_t records, std::size_t recordSize, std::int64_t first,
                       const TVolume& volume, TLiveFiles* live, bool leaveFilesInUse, std::vector<TPrepared>& prepared,
                       bool listFilesInUse = false);

// The stretches of the MFT, as [first, end) MFT bytes in order, that lie on
// the device.
std::vector<std::pair<std::int64_t, std::int64_t>> MftOnDevice(const TVolume& volume, std::int64_t deviceSize);
// The first record from `n` on with bytes in one of `stretches`, or `count`.
std::int64_t NextRecordOnDevice(const std::vector<std::pair<std::int64_t, std::int64_t>>& stretches, std::int64_t n,
                                std::int64_t recordSize, std::int64_t count);

// A stretch of the MFT as read and prepared for the walk.
struct TChunk {
    std::unique_ptr<std::uint8_t[]> Bytes;
    std::vector<TPrepared> Prepared;
    TLiveFiles Live;
    std::int64_t First = 0;
    std::size_t Records = 0;
    int Error = 0;  // errno of a failed read: the chunk is then not prepared
    TPrepareCounts Counts;
    std::size_t Index = SIZE_MAX;  // which chunk of the walk it holds, once ready
};

// Reads the MFT in order, a chunk at a time, on a thread of its own that
// stays a few chunks ahead of the walk and prepares each chunk there. One
// thread, made once: the walk and the reading then share two cores evenly,
// where more readers only contend for them.
class TMftReader {
public:
    TMftReader(TDevice& device, const TVolume& volume, bool holders, std::size_t chunkRecords,
               std::vector<std::pair<std::int64_t, std::int64_t>> onDevice, bool listFilesInUse = false)
        : device_(device), volume_(volume), holders_(holders), listFilesInUse_(listFilesInUse),
          chunkRecords_(chunkRecords), onDevice_(std::move(onDevice)) {
        nextFirst_ = NextOnDevice(FirstUserRecord);
        thread_ = std::thread([this] { Run(); });
    }
    ~TMftReader() { Stop(); }
    TMftReader(const TMftReader&) = delete;
    TMftReader& operator=(const TMftReader&) = delete;

    // The first record from `n` on that lies on the device; the record count
    // where none does.
    std::int64_t NextOnDevice(std::int64_t n) const {
        return NextRecordOnDevice(onDevice_, n, static_cast<std::int64_t>(volume_.FileRecordSize), volume_.RecordCount);
    }
    // The next chunk in order, or null after the last. The chunk is the
    // caller's until the next call.
    TChunk* Next() {
        std::unique_lock lock(mutex_);
        if (holding_) {
            slots_[consumed_ % Slots].Index = SIZE_MAX;
            ++consumed_;
            holding_ = false;
            free_.notify_all();
        }
        TChunk& chunk = slots_[consumed_ % Slots];
        ready_.wait(lock, [&] { return chunk.Index == consumed_ || consumed_ == ends_ || failure_; });
        if (chunk.Index == consumed_) {
            holding_ = true;
            return &chunk;
        }
        if (failure_) std::rethrow_exception(failure_);
        return nullptr;
    }
    // Prepares `chunk`; the files in use are left to the walk or not.
    void Prepare(TChunk& chunk, bool leaveFilesInUse) const {
        chunk.Counts = deruzera::Prepare(chunk.Bytes.get(), chunk.Records, volume_.FileRecordSize, chunk.First, volume_,
                                         holders_ ? &chunk.Live : nullptr, leaveFilesInUse, chunk.Prepared,
                                         listFilesInUse_);
    }
    void Stop() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        free_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    static constexpr std::size_t Slots = 6;

    void Run();

    TDevice& device_;
    const TVolume& volume_;
    const bool holders_;
    const bool listFilesInUse_;
    const std::size_t chunkRecords_;
    const std::vector<std::pair<std::int64_t, std::int64_t>> onDevice_;
    std::array<TChunk, Slots> slots_;
    std::mutex mutex_;
    std::condition_variable ready_, free_;
    std::int64_t nextFirst_ = 0;           // the first record of the next chunk to take
    std::size_t taken_ = 0, consumed_ = 0;  // chunks
    std::size_t ends_ = SIZE_MAX;          // the number of chunks, once all are taken
    bool holding_ = false, stop_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace deruzera
