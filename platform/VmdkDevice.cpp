// VMDK images through libvmdk: a descriptor file with its extent files
// beside it (flat, sparse, split in 2 GB pieces), or a sparse file holding
// its own descriptor; a parent named by the descriptor as for VHD.
#include <libvmdk.h>

#include "ImageChain.h"

namespace deruzera::platform {
namespace {

struct TVmdk {
    static constexpr const char* Library = "libvmdk";
    using Free = yal::TFree<libvmdk_handle_free, libvmdk_error_free>;
    static std::string Message(intptr_t*& error) {
        return yal::TakeMessage(error, libvmdk_error_backtrace_sprint, libvmdk_error_free);
    }
    static int Initialize(intptr_t** handle, intptr_t** error) { return libvmdk_handle_initialize(handle, error); }
    static int Open(intptr_t* handle, const char* path, intptr_t** error) {
        if (libvmdk_handle_open(handle, path, LIBVMDK_OPEN_READ, error) != 1) return -1;
        // The extent files lie beside the descriptor.
        const std::string folder = yal::FolderOf(path);
        if (libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), error) != 1) return -1;
        return libvmdk_handle_open_extent_data_files(handle, error);
    }
    static int Close(intptr_t* handle, intptr_t** error) { return libvmdk_handle_close(handle, error); }
    static int ParentName(intptr_t* handle, std::string& name, intptr_t** error) {
        std::size_t size = 0;
        const int found = libvmdk_handle_get_utf8_parent_filename_size(handle, &size, error);
        if (found != 1 || size == 0) return found;
        std::string text(size, '\0');
        if (libvmdk_handle_get_utf8_parent_filename(handle, reinterpret_cast<std::uint8_t*>(text.data()), size, error) != 1)
            return -1;
        text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
        name = text;
        return 1;
    }
    static int SetParent(intptr_t* child, intptr_t* parent, intptr_t** error) {
        return libvmdk_handle_set_parent_handle(child, parent, error);
    }
    static int MediaSize(intptr_t* handle, std::uint64_t* size, intptr_t** error) {
        size64_t bytes = 0;
        const int ok = libvmdk_handle_get_media_size(handle, &bytes, error);
        *size = bytes;
        return ok;
    }
    static ssize_t Read(intptr_t* handle, void* buffer, std::size_t size, off64_t offset, intptr_t** error) {
        return libvmdk_handle_read_buffer_at_offset(handle, buffer, size, offset, error);
    }
};

}  // namespace

TOpened OpenVmdk(const std::string& path) { return yal::TImageChain<TVmdk>::Open(path); }

}  // namespace deruzera::platform
