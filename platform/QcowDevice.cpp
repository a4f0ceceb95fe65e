// qcow and qcow2 images (compressed clusters included) through libqcow,
// with their backing files.
//
// libqcow (Debian 12's 20201213) reads the clusters an image leaves to its
// backing file wrongly, reads a cluster that qcow2 marks as zeros from the
// start of the file, and reads nothing of an image whose backing file it
// wasn't given. So each image is opened with its chain, but asked only for
// the clusters it holds itself, one cluster at a time; its own cluster
// tables say which those are. Clusters marked as zeros read as zeros; the
// others are read from the image below it (zeros past that image's end, or
// where there is none).
#include <libqcow.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <unordered_map>

#include "ImageChain.h"
#include "platform/RawDevice.h"

namespace deruzera::platform {
namespace {

struct TQcow {
    static constexpr const char* Library = "libqcow";
    using Free = yal::TFree<libqcow_file_free, libqcow_error_free>;
    static std::string Message(intptr_t*& error) {
        return yal::TakeMessage(error, libqcow_error_backtrace_sprint, libqcow_error_free);
    }
    static int Initialize(intptr_t** handle, intptr_t** error) { return libqcow_file_initialize(handle, error); }
    static int Open(intptr_t* handle, const char* path, intptr_t** error) {
        return libqcow_file_open(handle, path, LIBQCOW_OPEN_READ, error);
    }
    static int Close(intptr_t* handle, intptr_t** error) { return libqcow_file_close(handle, error); }
    static int ParentName(intptr_t* handle, std::string& name, intptr_t** error) {
        std::size_t size = 0;
        const int found = libqcow_file_get_utf8_backing_filename_size(handle, &size, error);
        if (found != 1 || size == 0) return found;
        std::string text(size, '\0');
        if (libqcow_file_get_utf8_backing_filename(handle, reinterpret_cast<std::uint8_t*>(text.data()), size, error) != 1)
            return -1;
        text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
        name = text;
        return 1;
    }
    static int SetParent(intptr_t* child, intptr_t* parent, intptr_t** error) {
        return libqcow_file_set_parent_file(child, parent, error);
    }
    static int MediaSize(intptr_t* handle, std::uint64_t* size, intptr_t** error) {
        size64_t bytes = 0;
        const int ok = libqcow_file_get_media_size(handle, &bytes, error);
        *size = bytes;
        return ok;
    }
    static ssize_t Read(intptr_t* handle, void* buffer, std::size_t size, off64_t offset, intptr_t** error) {
        return libqcow_file_read_buffer_at_offset(handle, buffer, size, offset, error);
    }
};

std::uint64_t Be(const std::uint8_t* p, int width) {
    std::uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | p[i];
    return v;
}

// What the header of a qcow image says about its layout (big-endian).
struct THeader {
    std::uint32_t Version = 0;
    std::string Backing;             // the backing file's name, "" where there is none
    std::uint32_t ClusterBits = 0;
    std::uint32_t L2Bits = 0;        // log2 of entries in an L2 table
    std::uint64_t Size = 0;
    std::uint64_t L1Offset = 0;
    std::uint64_t L1Entries = 0;
};

// Cluster sizes qemu and libqcow accept: 512 bytes to 2 MiB.
constexpr std::uint32_t MinClusterBits = 9, MaxClusterBits = 21;
// A backing file's name is at most 1023 bytes in qemu.
constexpr std::uint64_t MaxBackingName = 1023;
// L1 tables over 32 MiB map more than any disk (with 512-byte clusters, 2^22
// entries of 64 entries of 512 bytes: 128 GiB; with 64 KiB ones, exabytes).
constexpr std::uint64_t MaxL1Entries = 1u << 22;

bool ReadHeader(TDevice& file, THeader& h) {
    std::uint8_t b[104] = {};
    if (file.ReadAt(0, b, sizeof b) < 48 || std::memcmp(b, "QFI\xFB", 4) != 0) return false;
    h.Version = static_cast<std::uint32_t>(Be(b + 4, 4));
    const std::uint64_t nameAt = Be(b + 8, 8);
    std::uint64_t nameSize;
    if (h.Version == 1) {
        nameSize = Be(b + 16, 4);
        h.Size = Be(b + 24, 8);
        h.ClusterBits = b[32];
        h.L2Bits = b[33];
        h.L1Offset = Be(b + 40, 8);
    } else if (h.Version == 2 || h.Version == 3) {
        nameSize = Be(b + 16, 4);
        h.ClusterBits = static_cast<std::uint32_t>(Be(b + 20, 4));
        h.Size = Be(b + 24, 8);
        h.L2Bits = h.ClusterBits - 3;
        h.L1Entries = Be(b + 36, 4);
        h.L1Offset = Be(b + 40, 8);
    } else {
        return false;
    }
    if (h.ClusterBits < MinClusterBits || h.ClusterBits > MaxClusterBits || h.L2Bits < 1 || h.L2Bits > 24) return false;
    const std::uint64_t perL1 = std::uint64_t{1} << (h.ClusterBits + h.L2Bits);
    if (h.Version == 1) h.L1Entries = (h.Size + perL1 - 1) / perL1;
    if (h.L1Entries > MaxL1Entries) return false;
    if (nameAt && nameSize) {
        if (nameSize > MaxBackingName) return false;
        h.Backing.resize(nameSize);
        if (file.ReadAt(static_cast<std::int64_t>(nameAt), h.Backing.data(), nameSize) != static_cast<std::int64_t>(nameSize))
            return false;
    }
    return true;
}

// One image over the one below it: its own clusters through libqcow, the
// others from below.
class TLayerDevice final : public TDevice {
public:
    TLayerDevice(std::shared_ptr<TDevice> own, std::shared_ptr<TDevice> file, THeader header, std::vector<std::uint64_t> l1,
                 std::shared_ptr<TDevice> below)
        : own_(std::move(own)), file_(std::move(file)), h_(std::move(header)), l1_(std::move(l1)), below_(std::move(below)) {}

    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const auto size = static_cast<std::int64_t>(h_.Size);
        if (offset < 0 || offset >= size) return 0;
        count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
        auto* out = static_cast<std::uint8_t*>(buffer);
        const std::uint64_t cluster = std::uint64_t{1} << h_.ClusterBits;
        std::size_t done = 0;
        while (done < count) {
            const auto at = static_cast<std::uint64_t>(offset) + done;
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, cluster - at % cluster));
            THeld held;
            {
                std::lock_guard guard(lock_);
                held = Held(at >> h_.ClusterBits);
            }
            std::int64_t n;
            const std::int64_t belowSize = below_ ? below_->Size() : 0;
            if (held == THeld::Unreadable) {
                n = -EIO;
            } else if (held == THeld::Own) {
                n = own_->ReadAt(static_cast<std::int64_t>(at), out + done, piece);
            } else if (held == THeld::Zeros || static_cast<std::int64_t>(at) >= belowSize) {
                std::memset(out + done, 0, piece);
                n = static_cast<std::int64_t>(piece);
            } else {
                n = below_->ReadAt(static_cast<std::int64_t>(at), out + done,
                                   static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(piece),
                                                                                   belowSize - static_cast<std::int64_t>(at))));
            }
            if (n < 0) return done > 0 ? static_cast<std::int64_t>(done) : n;
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        return static_cast<std::int64_t>(done);
    }
    std::int64_t Size() const override { return static_cast<std::int64_t>(h_.Size); }
    bool IsSource(const std::string& path) const override {
        return own_->IsSource(path) || (below_ && below_->IsSource(path));
    }

private:
    enum class THeld { Below, Own, Zeros, Unreadable };

    // Where media cluster `c` comes from: the image itself (data or a
    // compressed cluster), zeros (qcow2's flag, bit 0), the image below
    // (nothing in its tables), or nowhere when its tables can't be read.
    THeld Held(std::uint64_t c) {
        const std::uint64_t l1Index = c >> h_.L2Bits;
        if (l1Index >= l1_.size()) return THeld::Below;
        const std::uint64_t l2Offset = l1_[l1Index] & (h_.Version == 1 ? 0x7FFFFFFFFFFFFFFFull : 0x00FFFFFFFFFFFE00ull);
        if (l2Offset == 0) return THeld::Below;
        const std::vector<std::uint64_t>* table = L2(l2Offset);
        if (!table) return THeld::Unreadable;
        const std::uint64_t entry = (*table)[c & ((std::uint64_t{1} << h_.L2Bits) - 1)];
        if (h_.Version == 1) return entry ? THeld::Own : THeld::Below;
        constexpr std::uint64_t Compressed = 1ull << 62, ZeroFlag = 1;
        if (entry & Compressed) return THeld::Own;
        if (h_.Version >= 3 && (entry & ZeroFlag)) return THeld::Zeros;
        return (entry & 0x00FFFFFFFFFFFE00ull) ? THeld::Own : THeld::Below;
    }

    const std::vector<std::uint64_t>* L2(std::uint64_t offset) {
        const auto it = cache_.find(offset);
        if (it != cache_.end()) return &it->second;
        const std::size_t entries = std::size_t{1} << h_.L2Bits;
        std::vector<std::uint8_t> bytes(entries * 8);
        if (file_->ReadAt(static_cast<std::int64_t>(offset), bytes.data(), bytes.size()) != static_cast<std::int64_t>(bytes.size()))
            return nullptr;
        if (cache_.size() >= CachedTables) {
            cache_.erase(order_.front());
            order_.pop_front();
        }
        std::vector<std::uint64_t> table(entries);
        for (std::size_t i = 0; i < entries; ++i) table[i] = Be(bytes.data() + 8 * i, 8);
        order_.push_back(offset);
        return &cache_.emplace(offset, std::move(table)).first->second;
    }

    // Tables kept: with 64 KiB clusters one maps 512 MiB, so a scan's reads
    // stay within a few; at most 64 of 2 MiB each is the bound on memory.
    static constexpr std::size_t CachedTables = 64;
    std::shared_ptr<TDevice> own_, file_;
    THeader h_;
    std::vector<std::uint64_t> l1_;
    std::shared_ptr<TDevice> below_;
    std::mutex lock_;
    std::unordered_map<std::uint64_t, std::vector<std::uint64_t>> cache_;
    std::list<std::uint64_t> order_;
};

}  // namespace

TOpened OpenQcow(const std::string& path) {
    // The whole chain first: libqcow's reasons, missing parents and loops.
    TOpened top = yal::TImageChain<TQcow>::Open(path);
    if (!top.Device) return top;
    struct TLayer {
        std::shared_ptr<TDevice> Own, File;
        THeader Header;
        std::vector<std::uint64_t> L1;
    };
    std::vector<TLayer> layers;
    std::string current = path;
    for (int depth = 0; depth <= MaxParentImages; ++depth) {
        TLayer layer;
        layer.Own = depth == 0 ? top.Device : yal::TImageChain<TQcow>::Open(current).Device;
        layer.File = OpenDeviceFile(current);
        if (!layer.Own) return top;
        // A qcow2 image whose header reads is read through its own tables;
        // another is read as libqcow reads it, and is the chain's end.
        const bool known = layer.File && ReadHeader(*layer.File, layer.Header) && layer.Header.Version >= 2;
        if (known) {
            std::vector<std::uint8_t> bytes(layer.Header.L1Entries * 8);
            if (layer.File->ReadAt(static_cast<std::int64_t>(layer.Header.L1Offset), bytes.data(), bytes.size()) !=
                static_cast<std::int64_t>(bytes.size())) {
                layer.Header = {};
            } else {
                for (std::size_t i = 0; i < layer.Header.L1Entries; ++i) layer.L1.push_back(Be(bytes.data() + 8 * i, 8));
            }
        }
        const std::string next = known ? yal::FindParent(current, layer.Header.Backing) : std::string();
        layers.push_back(std::move(layer));
        if (next.empty()) break;
        current = next;
    }
    std::shared_ptr<TDevice> device;
    for (std::size_t i = layers.size(); i-- > 0;) {
        TLayer& layer = layers[i];
        if (layer.Header.Version < 2) device = layer.Own;
        else device = std::make_shared<TLayerDevice>(layer.Own, layer.File, layer.Header, std::move(layer.L1), device);
    }
    top.Device = std::move(device);
    return top;
}

}  // namespace deruzera::platform
