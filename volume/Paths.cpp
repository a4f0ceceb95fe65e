// Directory paths from the parent references of $FILE_NAME, remembered in
// PathCache by record number.
#include <unordered_set>
#include <utility>

#include "Salvane.h"

namespace deruzera {
namespace {

constexpr std::int32_t RootRecord = 5;
constexpr std::size_t RecordFlags = 22;  // u16: bit 0 in use, bit 1 directory
// Every directory's whole path is cached, so a chain of depth d costs d
// paths. A path that Windows can use holds 32767 UTF-16 units; no real tree
// nests deeper than these bounds, and a damaged one that seems to is cut
// short with "*" instead of filling memory.
constexpr std::size_t MaxPathDepth = 1024;
constexpr std::size_t MaxPathBytes = 32767 * 3;

}  // namespace

void ResetPathCache(std::int32_t recordCount) {
    PathCache.clear();
    PathCache.shrink_to_fit();
    if (recordCount >= 0) PathCache.resize(static_cast<std::size_t>(recordCount) + 1);
}

std::string GetDirectoryPath(std::int64_t reference) {
    // Walk up from the directory until a known path, the root, or a directory
    // that can't be resolved; then write the paths back down the chain. No
    // recursion, so the deepest tree is safe; a loop ends in "*".
    std::vector<std::pair<std::int32_t, std::string>> chain;  // record, name; child first
    std::unordered_set<std::int32_t> onChain;
    std::size_t chainBytes = 0;
    std::string base;
    THandle handle;
    std::int32_t n = static_cast<std::int32_t>(static_cast<std::uint32_t>(reference & 0xFFFFFFFF));

    for (;;) {
        if (n < 0 || static_cast<std::size_t>(n) >= PathCache.size()) {
            base = "*";
            break;
        }
        if (n == RootRecord) {
            base = Volume.CurrentDrive;
            break;
        }
        if (!PathCache[n].empty()) {
            base = PathCache[n];
            break;
        }
        if (onChain.count(n) || chain.size() >= MaxPathDepth || chainBytes > MaxPathBytes) {
            base = "*";
            break;
        }
        if (!handle) handle = OpenVolume(Volume.CurrentDrive);
        if (!handle) {
            base = "*";  // nothing was read: the entry stays empty and is tried again later
            break;
        }
        TDynamicCharArray record = ReadFileRecord(*handle, FileRecordOffset(n));
        std::span<const std::uint8_t> name;
        try {
            FixupRecord(record);
            const std::uint16_t flags = ReadU16(record, RecordFlags);
            if (flags == 2 || flags == 3) name = FindAttributeView(record, AttrFileName, true);
        } catch (const ERecordError&) {
        }
        if (name.empty()) {
            PathCache[n] = "*";
            base = "*";
            break;
        }
        chain.emplace_back(n, FileNameOf(name));
        chainBytes += chain.back().second.size() + 1;
        onChain.insert(n);
        n = static_cast<std::int32_t>(static_cast<std::uint32_t>(ParentReferenceOf(name) & 0xFFFFFFFF));
    }
    handle.reset();

    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        base += '\\';
        base += it->second;
        PathCache[it->first] = base;
    }
    return base;
}

}  // namespace deruzera
