// What the devices over the libyal libraries share: the library's error
// turned into its message, a device reading one library handle under a
// lock, and a libbfio handle over one of our devices, so that libvshadow
// and libbde read a volume wherever it lies (a partition of an E01, a
// snapshot's volume inside qcow2).
#pragma once

#include <libbfio.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "volume/Device.h"

namespace deruzera::platform::yal {

// The message a libyal error carries, first and last of its backtrace
// ("libewf_handle_open: unable to open file(s). (libbfio_file_open: no such
// file ...)"), and frees the error. All libyal errors are one C type.
std::string TakeMessage(intptr_t*& error, int (*backtrace)(intptr_t*, char*, std::size_t), void (*free)(intptr_t**));

// Frees a library object through its free function (which takes the
// object's address and an error), and the error of a failed free.
template <int (*Free)(intptr_t**, intptr_t**), void (*ErrorFree)(intptr_t**)>
struct TFree {
    void operator()(intptr_t* p) const {
        intptr_t* error = nullptr;
        Free(&p, &error);
        if (error) ErrorFree(&error);
    }
};

// A device over a library handle: `read` reads at an offset (as the
// libraries' *_read_buffer_at_offset do) under `lock`, which every device
// sharing the handle shares. `owner` keeps the handle alive; `files` are
// the files the library reads, so that none of them is written over.
class THandleDevice final : public TDevice {
public:
    using TRead = std::function<ssize_t(void* buffer, std::size_t size, off64_t offset)>;
    THandleDevice(std::shared_ptr<std::mutex> lock, std::int64_t size, TRead read, std::shared_ptr<void> owner,
                  std::vector<std::string> files, std::shared_ptr<TDevice> below = nullptr);
    ~THandleDevice() override;
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override;
    std::int64_t Size() const override { return size_; }
    bool IsSource(const std::string& path) const override;
    bool HoldsPath(const std::string& path) const override;

private:
    std::shared_ptr<std::mutex> lock_;
    std::int64_t size_;
    TRead read_;
    std::shared_ptr<void> owner_;
    std::vector<std::string> files_;
    std::shared_ptr<TDevice> below_;
};

// A libbfio handle that reads `device`; null where libbfio refuses.
struct TBfioFree {
    void operator()(libbfio_handle_t* handle) const;
};
using TBfioHandle = std::unique_ptr<libbfio_handle_t, TBfioFree>;
TBfioHandle BfioOver(std::shared_ptr<TDevice> device, std::string& message);

// The parent file of image `child` beside it, by the name the child records
// (which may be a Windows path), or where the recorded name points
// (absolute, or from the child's folder); "" where neither exists.
std::string FindParent(const std::string& child, const std::string& recorded);

// Whether `a` and `b` name one file.
bool SameFile(const std::string& a, const std::string& b);

// The folder of `path` ("." where it names none) and its last part.
std::string FolderOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

}  // namespace deruzera::platform::yal
