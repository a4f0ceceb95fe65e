// The Volume Shadow Copies of an NTFS volume through libvshadow, each
// snapshot a device of its own. The volume is read through our device, so
// it may lie anywhere (a partition of an E01, inside qcow2).
#include <libvshadow.h>

#include <algorithm>
#include <numeric>

#include "Containers.h"
#include "Libyal.h"

namespace deruzera::platform {
namespace {

using TVolumeHandle = std::unique_ptr<libvshadow_volume_t, yal::TFree<libvshadow_volume_free, libvshadow_error_free>>;
using TStoreHandle = std::unique_ptr<libvshadow_store_t, yal::TFree<libvshadow_store_free, libvshadow_error_free>>;

std::string Take(libvshadow_error_t*& error) {
    return yal::TakeMessage(error, libvshadow_error_backtrace_sprint, libvshadow_error_free);
}

// One volume opened by libvshadow with its stores, oldest first. The
// stores read through the volume's handle, which reads through one libbfio
// handle: one lock serves them all.
struct TShadowVolume {
    yal::TBfioHandle Bfio;
    TVolumeHandle Volume;
    std::vector<TStoreHandle> Stores;
    std::vector<std::uint64_t> Created;
    std::shared_ptr<std::mutex> Lock = std::make_shared<std::mutex>();
    ~TShadowVolume() {
        Stores.clear();
        if (Volume) {
            libvshadow_error_t* error = nullptr;
            libvshadow_volume_close(Volume.get(), &error);
            if (error) libvshadow_error_free(&error);
        }
        Volume.reset();
        Bfio.reset();
    }
};

// Opens the shadow copies of `device`; null with `failure` set where
// libvshadow fails, null with End Opened where there are none.
std::shared_ptr<TShadowVolume> OpenShadows(const std::shared_ptr<TDevice>& device, TSourceFailure& failure) {
    failure = {};
    failure.Library = "libvshadow";
    auto shadows = std::make_shared<TShadowVolume>();
    shadows->Bfio = yal::BfioOver(device, failure.Message);
    if (!shadows->Bfio) {
        failure.End = TSourceEnd::SnapshotsFailed;
        return nullptr;
    }
    libvshadow_error_t* error = nullptr;
    const int signature = libvshadow_check_volume_signature_file_io_handle(shadows->Bfio.get(), &error);
    if (signature != 1) {
        // A volume without shadow copies, or one too short to hold their catalogue.
        if (error) libvshadow_error_free(&error);
        return nullptr;
    }
    auto fail = [&] {
        failure.End = TSourceEnd::SnapshotsFailed;
        failure.Message = Take(error);
        return nullptr;
    };
    libvshadow_volume_t* volume = nullptr;
    if (libvshadow_volume_initialize(&volume, &error) != 1) return fail();
    shadows->Volume.reset(volume);
    if (libvshadow_volume_open_file_io_handle(volume, shadows->Bfio.get(), LIBVSHADOW_OPEN_READ, &error) != 1) return fail();
    int count = 0;
    if (libvshadow_volume_get_number_of_stores(volume, &count, &error) != 1) return fail();
    std::vector<std::pair<std::uint64_t, TStoreHandle>> stores;
    for (int i = 0; i < count; ++i) {
        libvshadow_store_t* store = nullptr;
        if (libvshadow_volume_get_store(volume, i, &store, &error) != 1) return fail();
        TStoreHandle handle(store);
        std::uint64_t created = 0;
        if (libvshadow_store_get_creation_time(store, &created, &error) != 1) return fail();
        stores.emplace_back(created, std::move(handle));
    }
    std::stable_sort(stores.begin(), stores.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [created, store] : stores) {
        shadows->Created.push_back(created);
        shadows->Stores.push_back(std::move(store));
    }
    return shadows;
}

}  // namespace

TShadowCopies ListShadowCopies(const std::shared_ptr<TDevice>& volume) {
    TShadowCopies copies;
    if (const auto shadows = OpenShadows(volume, copies.Failure)) copies.Created = shadows->Created;
    return copies;
}

TOpened OpenShadowCopy(const std::shared_ptr<TDevice>& volume, int k) {
    TOpened result;
    const auto shadows = OpenShadows(volume, result.Failure);
    if (result.Failure.End != TSourceEnd::Opened) return result;
    const int count = shadows ? static_cast<int>(shadows->Stores.size()) : 0;
    if (k < 1 || k > count) {
        result.Failure.End = TSourceEnd::NoSuchSnapshot;
        result.Failure.Snapshot = k;
        result.Failure.Count = count;
        return result;
    }
    libvshadow_store_t* store = shadows->Stores[static_cast<std::size_t>(k - 1)].get();
    libvshadow_error_t* error = nullptr;
    size64_t size = 0;
    if (libvshadow_store_get_volume_size(store, &size, &error) != 1) {
        result.Failure.End = TSourceEnd::SnapshotsFailed;
        result.Failure.Message = Take(error);
        return result;
    }
    result.Device = std::make_shared<yal::THandleDevice>(
        shadows->Lock, static_cast<std::int64_t>(size),
        [store](void* buffer, std::size_t n, off64_t offset) -> ssize_t {
            libvshadow_error_t* e = nullptr;
            const ssize_t got = libvshadow_store_read_buffer_at_offset(store, buffer, n, offset, &e);
            if (e) libvshadow_error_free(&e);
            return got;
        },
        std::static_pointer_cast<void>(shadows), std::vector<std::string>{}, volume);
    return result;
}

}  // namespace deruzera::platform
