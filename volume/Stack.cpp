#include "Stack.h"

#include <algorithm>
#include <cerrno>

namespace deruzera {
namespace {

class TSliceDevice final : public TDevice {
public:
    TSliceDevice(std::shared_ptr<TDevice> below, std::int64_t start, std::int64_t length)
        : below_(std::move(below)), start_(std::max<std::int64_t>(start, 0)), length_(std::max<std::int64_t>(length, 0)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0 || offset >= length_) return 0;
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(length_ - offset, static_cast<std::int64_t>(count)));
        return below_->ReadAt(start_ + offset, buffer, n);
    }
    std::int64_t Size() const override { return length_; }
    bool IsSource(const std::string& path) const override { return below_->IsSource(path); }
    bool HoldsPath(const std::string& path) const override { return below_->HoldsPath(path); }
    std::size_t PreferredReadBytes() const override { return below_->PreferredReadBytes(); }

private:
    std::shared_ptr<TDevice> below_;
    std::int64_t start_, length_;
};

class TConcatDevice final : public TDevice {
public:
    explicit TConcatDevice(std::vector<std::shared_ptr<TDevice>> pieces) : pieces_(std::move(pieces)) {
        std::int64_t at = 0;
        for (const auto& p : pieces_) {
            starts_.push_back(at);
            at += p->Size();
        }
        size_ = at;
    }
    // Fills as much of `count` as the pieces give, across their borders;
    // short only where a piece fails or ends early.
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0 || offset >= size_) return 0;
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        std::size_t i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin()) - 1;
        while (done < count && i < pieces_.size()) {
            const std::int64_t at = offset + static_cast<std::int64_t>(done);
            const std::int64_t inPiece = at - starts_[i];
            const std::int64_t left = pieces_[i]->Size() - inPiece;
            if (left <= 0) {
                ++i;
                continue;
            }
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(count - done)));
            const std::int64_t n = pieces_[i]->ReadAt(inPiece, out + done, want);
            if (n < 0) return done > 0 ? static_cast<std::int64_t>(done) : n;
            if (n == 0) {
                // A piece shorter than it said: the bytes there are not held anywhere.
                return done > 0 ? static_cast<std::int64_t>(done) : -EIO;
            }
            done += static_cast<std::size_t>(n);
            if (static_cast<std::size_t>(n) < want) break;
        }
        return static_cast<std::int64_t>(done);
    }
    std::int64_t Size() const override { return size_; }
    bool IsSource(const std::string& path) const override {
        return std::any_of(pieces_.begin(), pieces_.end(), [&](const auto& p) { return p->IsSource(path); });
    }
    bool HoldsPath(const std::string& path) const override {
        return std::any_of(pieces_.begin(), pieces_.end(), [&](const auto& p) { return p->HoldsPath(path); });
    }

private:
    std::vector<std::shared_ptr<TDevice>> pieces_;
    std::vector<std::int64_t> starts_;
    std::int64_t size_ = 0;
};

class TRescuedDevice final : public TDevice {
public:
    TRescuedDevice(std::shared_ptr<TDevice> image, std::vector<std::pair<std::int64_t, std::int64_t>> rescued)
        : image_(std::move(image)), rescued_(std::move(rescued)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        if (offset < 0) return 0;
        const std::int64_t size = image_->Size();
        if (size >= 0 && offset >= size) return 0;
        if (count == 0) return 0;
        // The rescued stretch holding `offset`, if any.
        auto it = std::upper_bound(rescued_.begin(), rescued_.end(), offset,
                                   [](std::int64_t o, const auto& r) { return o < r.first; });
        if (it == rescued_.begin() || std::prev(it)->second <= offset) return -EIO;
        const std::int64_t left = std::prev(it)->second - offset;
        return image_->ReadAt(offset, buffer, static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(count))));
    }
    std::int64_t Size() const override { return image_->Size(); }
    bool IsSource(const std::string& path) const override { return image_->IsSource(path); }
    bool HoldsPath(const std::string& path) const override { return image_->HoldsPath(path); }

private:
    std::shared_ptr<TDevice> image_;
    std::vector<std::pair<std::int64_t, std::int64_t>> rescued_;
};

}  // namespace

std::shared_ptr<TDevice> SliceDevice(std::shared_ptr<TDevice> below, std::int64_t start, std::int64_t length) {
    return std::make_shared<TSliceDevice>(std::move(below), start, length);
}

std::shared_ptr<TDevice> ConcatDevice(std::vector<std::shared_ptr<TDevice>> pieces) {
    for (const auto& p : pieces)
        if (!p || p->Size() < 0) return nullptr;
    return std::make_shared<TConcatDevice>(std::move(pieces));
}

std::shared_ptr<TDevice> RescuedDevice(std::shared_ptr<TDevice> image, const TRescueMap& map) {
    return std::make_shared<TRescuedDevice>(std::move(image), map.Rescued);
}

}  // namespace deruzera
