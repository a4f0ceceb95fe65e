// VHD (fixed, dynamic, differencing) and VHDX images through libvhdi.
#include <libvhdi.h>

#include "ImageChain.h"

namespace deruzera::platform {
namespace {

struct TVhdi {
    static constexpr const char* Library = "libvhdi";
    using Free = yal::TFree<libvhdi_file_free, libvhdi_error_free>;
    static std::string Message(intptr_t*& error) {
        return yal::TakeMessage(error, libvhdi_error_backtrace_sprint, libvhdi_error_free);
    }
    static int Initialize(intptr_t** handle, intptr_t** error) { return libvhdi_file_initialize(handle, error); }
    static int Open(intptr_t* handle, const char* path, intptr_t** error) {
        return libvhdi_file_open(handle, path, LIBVHDI_OPEN_READ, error);
    }
    static int Close(intptr_t* handle, intptr_t** error) { return libvhdi_file_close(handle, error); }
    static int ParentName(intptr_t* handle, std::string& name, intptr_t** error) {
        std::uint32_t type = 0;
        if (libvhdi_file_get_disk_type(handle, &type, error) != 1) return -1;
        if (type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return 0;
        std::size_t size = 0;
        const int found = libvhdi_file_get_utf8_parent_filename_size(handle, &size, error);
        if (found != 1 || size == 0) return found;
        std::string text(size, '\0');
        if (libvhdi_file_get_utf8_parent_filename(handle, reinterpret_cast<std::uint8_t*>(text.data()), size, error) != 1)
            return -1;
        text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
        name = text;
        return 1;
    }
    static int SetParent(intptr_t* child, intptr_t* parent, intptr_t** error) {
        return libvhdi_file_set_parent_file(child, parent, error);
    }
    static int MediaSize(intptr_t* handle, std::uint64_t* size, intptr_t** error) {
        size64_t bytes = 0;
        const int ok = libvhdi_file_get_media_size(handle, &bytes, error);
        *size = bytes;
        return ok;
    }
    static ssize_t Read(intptr_t* handle, void* buffer, std::size_t size, off64_t offset, intptr_t** error) {
        return libvhdi_file_read_buffer_at_offset(handle, buffer, size, offset, error);
    }
};

}  // namespace

TOpened OpenVhdi(const std::string& path) { return yal::TImageChain<TVhdi>::Open(path); }

}  // namespace deruzera::platform
