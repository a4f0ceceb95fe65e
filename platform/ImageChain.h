// Opening a virtual-machine image with the chain of parents behind it
// (differencing VHD/VHDX, qcow backing files, VMDK parents), the same way
// for libvhdi, libqcow and libvmdk: each image names its parent's file; the
// parent is looked for beside the image by that file's name (then where the
// name itself points), opened, and handed to the child.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "Containers.h"
#include "Libyal.h"

namespace deruzera::platform::yal {

// `Traits` gives, for one library: Library (its name), Free (a TFree),
// Message(error), Open(handle, path, error) (after Initialize), Close,
// ParentName(handle, name, error) (1 named, 0 none, -1 failed),
// SetParent(child, parent, error), MediaSize(handle, size, error) and
// Read(handle, buffer, size, offset, error).
template <class Traits>
class TImageChain {
public:
    using THandle = std::unique_ptr<intptr_t, typename Traits::Free>;

    ~TImageChain() {
        // The child goes first: it reads through its parent.
        for (THandle& h : chain_) {
            intptr_t* error = nullptr;
            Traits::Close(h.get(), &error);
            if (error) Traits::Message(error);
            h.reset();
        }
    }

    static TOpened Open(const std::string& path) {
        TOpened result;
        result.Failure.Library = Traits::Library;
        auto chain = std::make_shared<TImageChain>();
        std::string current = path;
        intptr_t* error = nullptr;
        for (int depth = 0;; ++depth) {
            result.Failure.Path = current;
            if (depth > MaxParentImages) {
                result.Failure.End = TSourceEnd::ParentChainTooDeep;
                return result;
            }
            intptr_t* raw = nullptr;
            if (Traits::Initialize(&raw, &error) != 1) return Failed(result, error);
            THandle handle(raw);
            if (Traits::Open(handle.get(), current.c_str(), &error) != 1) return Failed(result, error);
            chain->chain_.push_back(std::move(handle));
            chain->files_.push_back(current);
            std::string recorded;
            const int named = Traits::ParentName(chain->chain_.back().get(), recorded, &error);
            if (named < 0) return Failed(result, error);
            if (named == 0 || recorded.empty()) break;
            const std::string next = yal::FindParent(current, recorded);
            if (next.empty()) {
                result.Failure.End = TSourceEnd::ParentMissing;
                result.Failure.Needed = BaseNameOf(recorded);
                result.Failure.Message = recorded;
                return result;
            }
            for (const std::string& seen : chain->files_)
                if (SameFile(seen, next)) {
                    result.Failure.End = TSourceEnd::ParentChainTooDeep;
                    return result;
                }
            current = next;
        }
        // Each parent to its child, from the oldest on.
        for (std::size_t i = chain->chain_.size(); i-- > 1;) {
            result.Failure.Path = chain->files_[i - 1];
            if (Traits::SetParent(chain->chain_[i - 1].get(), chain->chain_[i].get(), &error) != 1)
                return Failed(result, error);
        }
        result.Failure.Path = path;
        std::uint64_t size = 0;
        if (Traits::MediaSize(chain->chain_.front().get(), &size, &error) != 1) return Failed(result, error);
        intptr_t* top = chain->chain_.front().get();
        std::vector<std::string> files = chain->files_;
        result.Device = std::make_shared<THandleDevice>(
            std::make_shared<std::mutex>(), static_cast<std::int64_t>(size),
            [top](void* buffer, std::size_t count, off64_t offset) -> ssize_t {
                intptr_t* e = nullptr;
                const ssize_t n = Traits::Read(top, buffer, count, offset, &e);
                if (e) Traits::Message(e);
                return n;
            },
            std::static_pointer_cast<void>(chain), std::move(files));
        result.Failure = {};
        return result;
    }

private:
    static TOpened Failed(TOpened& result, intptr_t*& error) {
        result.Failure.End = TSourceEnd::LibraryFailed;
        result.Failure.Message = Traits::Message(error);
        return std::move(result);
    }

    std::vector<THandle> chain_;  // the image first, then its parents
    std::vector<std::string> files_;
};

}  // namespace deruzera::platform::yal
