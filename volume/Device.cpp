#include "Device.h"

#include <algorithm>
#include <cstring>

namespace deruzera {
namespace {

class TMemoryDevice final : public TDevice {
public:
    explicit TMemoryDevice(std::string bytes) : bytes_(std::move(bytes)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const auto size = static_cast<std::int64_t>(bytes_.size());
        if (offset < 0 || offset >= size) return 0;
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(size - offset, static_cast<std::int64_t>(count)));
        std::memcpy(buffer, bytes_.data() + offset, n);
        return static_cast<std::int64_t>(n);
    }
    std::int64_t Size() const override { return static_cast<std::int64_t>(bytes_.size()); }

private:
    std::string bytes_;
};

}  // namespace

THandle MemoryDevice(std::string bytes) { return std::make_unique<TMemoryDevice>(std::move(bytes)); }

}  // namespace deruzera
