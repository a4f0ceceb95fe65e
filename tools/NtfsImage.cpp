#include "tools/NtfsImage.h"

#include "tools/NtfsHeaders.h"
#include "tools/PlanText.h"
#include "tools/Sha256.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace deruzera::mkimage {
namespace {

static_assert(std::endian::native == std::endian::little, "NTFS names are written as host UTF-16");
static_assert(sizeof(ntfschar) == sizeof(char16_t));

constexpr std::size_t IoChunk = std::size_t{1} << 20;
constexpr std::size_t NoEntry = static_cast<std::size_t>(-1);

[[noreturn]] void Fail(const std::string& what, int err) {
    throw std::runtime_error(what + ": " + std::strerror(err));
}

const ntfschar* Units(const std::u16string& name) {
    return reinterpret_cast<const ntfschar*>(name.data());
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Writes `size` bytes from `fill` at `offset`, hashing them into `hash`.
void WriteRange(ntfs_attr* na, std::uint64_t offset, std::uint64_t size, const TFill& fill, TSha256* hash,
                std::vector<std::uint8_t>& buffer, const std::string& path) {
    while (size > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer.size()));
        fill(offset, buffer.data(), n);
        if (hash) {
            hash->Update(buffer.data(), n);
        }
        const s64 done = ntfs_attr_pwrite(na, static_cast<s64>(offset), static_cast<s64>(n), buffer.data());
        if (done != static_cast<s64>(n)) {
            Fail("writing " + path + " at offset " + std::to_string(offset), done < 0 ? errno : ENOSPC);
        }
        offset += n;
        size -= n;
    }
}

}  // namespace

TNtfsImage::TNtfsImage(const std::string& image) : Image(image) {
    ntfs_log_set_handler(ntfs_log_handler_stderr);
    ntfs_log_clear_levels(~u32{0});
    ntfs_log_set_levels(NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL);
    Volume = ntfs_mount(image.c_str(), NTFS_MNT_NONE);
    if (!Volume) {
        Fail("mounting " + image + " with libntfs-3g", errno);
    }
    TNode root;
    root.Path = "/";
    root.Record = FILE_root;
    root.Dir = true;
    root.Entry = NoEntry;
    Nodes.push_back(std::move(root));
    Live.emplace("/", 0);
}

TNtfsImage::~TNtfsImage() {
    if (!Volume) {
        return;
    }
    try {
        Release();
    } catch (const std::exception&) {
    }
    if (CursorInode) {
        ntfs_inode_close(CursorInode);
    }
    ntfs_umount(Volume, FALSE);
}

std::uint32_t TNtfsImage::ClusterSize() const {
    return Volume->cluster_size;
}

std::uint32_t TNtfsImage::RecordSize() const {
    return Volume->mft_record_size;
}

int TNtfsImage::Node(const std::string& path) const {
    const auto it = Live.find(path);
    if (it == Live.end()) {
        throw TPlanError("no such file or directory: " + path);
    }
    return it->second;
}

bool TNtfsImage::Exists(const std::string& path) const {
    return Live.contains(path);
}

bool TNtfsImage::IsDir(const std::string& path) const {
    const auto it = Live.find(path);
    return it != Live.end() && Nodes[static_cast<std::size_t>(it->second)].Dir;
}

std::vector<std::string> TNtfsImage::Children(const std::string& path) const {
    std::vector<std::string> out;
    for (int child : Nodes[static_cast<std::size_t>(Node(path))].Children) {
        out.push_back(Nodes[static_cast<std::size_t>(child)].Path);
    }
    return out;
}

ntfs_inode* TNtfsImage::OpenDir(int node) {
    if (CursorNode == node) {
        return CursorInode;
    }
    CloseDir();
    const TNode& dir = Nodes[static_cast<std::size_t>(node)];
    CursorInode = ntfs_inode_open(Volume, dir.Record);
    if (!CursorInode) {
        Fail("opening directory " + dir.Path, errno);
    }
    CursorNode = node;
    return CursorInode;
}

void TNtfsImage::CloseDir() {
    if (!CursorInode) {
        return;
    }
    ntfs_inode* ni = CursorInode;
    const std::string path = Nodes[static_cast<std::size_t>(CursorNode)].Path;
    CursorInode = nullptr;
    CursorNode = -1;
    if (ntfs_inode_close(ni) != 0) {
        Fail("closing directory " + path, errno);
    }
}

void TNtfsImage::NoteRecord(std::uint64_t record) {
    const auto it = DeletedByRecord.find(record);
    if (it == DeletedByRecord.end()) {
        return;
    }
    for (std::size_t entry : it->second) {
        Entries[entry].State = TEntryState::Reused;
    }
    DeletedByRecord.erase(it);
}

void TNtfsImage::NoteExtents(ntfs_inode* ni) {
    for (s32 i = 0; i < ni->nr_extents; ++i) {
        NoteRecord(ni->extent_nis[i]->mft_no);
    }
}

int TNtfsImage::EnsureDir(const std::string& path) {
    if (const auto it = Live.find(path); it != Live.end()) {
        if (!Nodes[static_cast<std::size_t>(it->second)].Dir) {
            throw TPlanError("not a directory: " + path);
        }
        return it->second;
    }
    int node = 0;
    std::string prefix;
    for (const std::string& part : SplitPath(path)) {
        prefix = JoinPath(prefix.empty() ? "/" : prefix, part);
        const auto it = Live.find(prefix);
        if (it == Live.end()) {
            node = CreateNode(prefix, true, nullptr);
        } else if (!Nodes[static_cast<std::size_t>(it->second)].Dir) {
            throw TPlanError("not a directory: " + prefix);
        } else {
            node = it->second;
        }
    }
    return node;
}

int TNtfsImage::CreateNode(const std::string& path, bool dir, ntfs_inode** file) {
    const std::vector<std::string> parts = SplitPath(path);
    if (parts.empty()) {
        throw TPlanError("cannot create the root directory");
    }
    if (Live.contains(path)) {
        throw TPlanError("already exists: " + path);
    }
    const int parent = EnsureDir(ParentOf(path));
    std::u16string name = Utf8ToUtf16(parts.back());
    ntfs_inode* dirInode = OpenDir(parent);
    ntfs_inode* ni = ntfs_create(dirInode, le32{0}, Units(name), static_cast<u8>(name.size()),
                                 dir ? S_IFDIR : S_IFREG);
    if (!ni) {
        Fail("creating " + path, errno);
    }
    NoteRecord(ni->mft_no);

    TManifestEntry entry;
    entry.Dir = dir;
    entry.Record = ni->mft_no;
    entry.Parent = Nodes[static_cast<std::size_t>(parent)].Record;
    entry.Sha256 = dir ? "-" : Sha256Hex(nullptr, 0);
    entry.Path = path;
    Entries.push_back(std::move(entry));

    TNode node;
    node.Path = path;
    node.Name = std::move(name);
    node.Record = ni->mft_no;
    node.Parent = parent;
    node.Dir = dir;
    node.Entry = Entries.size() - 1;
    Nodes.push_back(std::move(node));
    const int index = static_cast<int>(Nodes.size() - 1);
    Live.emplace(path, index);
    Nodes[static_cast<std::size_t>(parent)].Children.insert(index);

    if (file) {
        *file = ni;
    } else if (ntfs_inode_close_in_dir(ni, dirInode) != 0) {
        Fail("closing " + path, errno);
    }
    return index;
}

void TNtfsImage::CloseFile(ntfs_inode* file, int node, const char* what) {
    const TNode& n = Nodes[static_cast<std::size_t>(node)];
    NoteExtents(file);
    ntfs_inode* dirInode = OpenDir(n.Parent);
    if (ntfs_inode_close_in_dir(file, dirInode) != 0) {
        Fail(std::string(what) + " " + n.Path, errno);
    }
}

void TNtfsImage::Mkdir(const std::string& path) {
    EnsureDir(path);
}

void TNtfsImage::CreateFile(const std::string& path, std::uint64_t size, const TFill& fill) {
    ntfs_inode* ni = nullptr;
    const int node = CreateNode(path, false, &ni);
    TManifestEntry& entry = Entries[Nodes[static_cast<std::size_t>(node)].Entry];
    if (size > 0) {
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) {
            const int err = errno;
            ntfs_inode_close(ni);
            Fail("opening the data of " + path, err);
        }
        TSha256 hash;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, IoChunk)));
        try {
            WriteRange(na, 0, size, fill, &hash, buffer, path);
            // A compressed file's last unit is compressed when it is closed.
            if ((na->data_flags & ATTR_COMPRESSION_MASK) && ntfs_attr_pclose(na) != 0) {
                Fail("compressing the end of " + path, errno);
            }
        } catch (...) {
            ntfs_attr_close(na);
            ntfs_inode_close(ni);
            throw;
        }
        ntfs_attr_close(na);
        entry.Size = size;
        entry.Sha256 = hash.FinalHex();
    }
    CloseFile(ni, node, "closing");
}

void TNtfsImage::CreateSparse(const std::string& path, std::uint64_t size, const std::vector<TByteRange>& ranges,
                              const TFill& fill) {
    std::vector<TByteRange> merged;
    for (const TByteRange& r : ranges) {
        if (r.Length == 0) {
            continue;
        }
        if (r.Offset > size || r.Length > size - r.Offset) {
            throw TPlanError("range " + std::to_string(r.Offset) + ":" + std::to_string(r.Length) +
                             " is outside the file size " + std::to_string(size));
        }
        merged.push_back(r);
    }
    std::sort(merged.begin(), merged.end(),
              [](const TByteRange& a, const TByteRange& b) { return a.Offset < b.Offset; });
    std::vector<TByteRange> joined;
    for (const TByteRange& r : merged) {
        if (!joined.empty() && r.Offset <= joined.back().Offset + joined.back().Length) {
            TByteRange& last = joined.back();
            last.Length = std::max(last.Offset + last.Length, r.Offset + r.Length) - last.Offset;
        } else {
            joined.push_back(r);
        }
    }

    ntfs_inode* ni = nullptr;
    const int node = CreateNode(path, false, &ni);
    TManifestEntry& entry = Entries[Nodes[static_cast<std::size_t>(node)].Entry];
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) {
        const int err = errno;
        ntfs_inode_close(ni);
        Fail("opening the data of " + path, err);
    }
    std::vector<std::uint8_t> buffer(IoChunk);
    try {
        if (ntfs_attr_truncate(na, static_cast<s64>(size)) != 0) {
            Fail("setting the size of " + path, errno);
        }
        for (const TByteRange& r : joined) {
            WriteRange(na, r.Offset, r.Length, fill, nullptr, buffer, path);
        }
    } catch (...) {
        ntfs_attr_close(na);
        ntfs_inode_close(ni);
        throw;
    }
    ntfs_attr_close(na);

    // The hash covers the whole file, holes as zeros.
    TSha256 hash;
    std::size_t next = 0;
    for (std::uint64_t at = 0; at < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, buffer.size()));
        std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n), std::uint8_t{0});
        while (next < joined.size() && joined[next].Offset + joined[next].Length <= at) {
            ++next;
        }
        for (std::size_t k = next; k < joined.size() && joined[k].Offset < at + n; ++k) {
            const std::uint64_t from = std::max(at, joined[k].Offset);
            const std::uint64_t to = std::min(at + n, joined[k].Offset + joined[k].Length);
            fill(from, buffer.data() + (from - at), static_cast<std::size_t>(to - from));
        }
        hash.Update(buffer.data(), n);
        at += n;
    }
    entry.Size = size;
    entry.Sha256 = hash.FinalHex();
    CloseFile(ni, node, "closing");
}

void TNtfsImage::Interleave(std::uint64_t chunk, const std::vector<TInterleaved>& files) {
    if (chunk == 0) {
        throw TPlanError("interleave chunk must be positive");
    }
    struct TOpen {
        ntfs_inode* Inode = nullptr;
        ntfs_attr* Attr = nullptr;
        int Node = -1;
        std::uint64_t Written = 0;
        TSha256 Hash;
    };
    std::vector<TOpen> open(files.size());
    const auto closeAll = [&]() {
        for (TOpen& f : open) {
            if (f.Attr) {
                ntfs_attr_close(f.Attr);
            }
            if (f.Inode) {
                ntfs_inode_close(f.Inode);
            }
            f.Attr = nullptr;
            f.Inode = nullptr;
        }
    };
    try {
        for (std::size_t i = 0; i < files.size(); ++i) {
            open[i].Node = CreateNode(files[i].Path, false, &open[i].Inode);
            open[i].Attr = ntfs_attr_open(open[i].Inode, AT_DATA, AT_UNNAMED, 0);
            if (!open[i].Attr) {
                Fail("opening the data of " + files[i].Path, errno);
            }
        }
        const std::uint64_t cluster = Volume->cluster_size;
        std::int64_t window = 16;
        for (const TInterleaved& f : files) {
            window += static_cast<std::int64_t>((f.Size + cluster - 1) / cluster);
        }
        Reserve(window, false);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(chunk, IoChunk)));
        for (bool more = true; more;) {
            more = false;
            for (std::size_t i = 0; i < files.size(); ++i) {
                TOpen& f = open[i];
                if (f.Written >= files[i].Size) {
                    continue;
                }
                const std::uint64_t n = std::min(chunk, files[i].Size - f.Written);
                WriteRange(f.Attr, f.Written, n, files[i].Fill, &f.Hash, buffer, files[i].Path);
                f.Written += n;
                more = more || f.Written < files[i].Size;
            }
        }
        Release();
        for (std::size_t i = 0; i < files.size(); ++i) {
            TOpen& f = open[i];
            ntfs_attr_close(f.Attr);
            f.Attr = nullptr;
            TManifestEntry& entry = Entries[Nodes[static_cast<std::size_t>(f.Node)].Entry];
            entry.Size = files[i].Size;
            entry.Sha256 = f.Hash.FinalHex();
            ntfs_inode* ni = f.Inode;
            f.Inode = nullptr;
            CloseFile(ni, f.Node, "closing");
        }
    } catch (...) {
        Release();
        closeAll();
        throw;
    }
}

void TNtfsImage::HoldAll() {
    Release();
    if (ntfs_volume_get_free_space(Volume) != 0) {
        Fail("counting free clusters", errno);
    }
    const s64 free = Volume->free_clusters;
    // The allocator may refuse the last few "free" clusters, so take them in
    // pieces, halving a piece it refuses, until even one cluster is refused.
    const u32 levels = ntfs_log_clear_levels(~u32{0});
    for (s64 piece = std::min<s64>(free, 65536); piece > 0;) {
        runlist* rl = ntfs_cluster_alloc(Volume, 0, piece, -1, DATA_ZONE);
        if (!rl) {
            piece /= 2;
            continue;
        }
        for (const runlist* r = rl; r->length; ++r) {
            if (r->lcn >= 0) {
                Reserved.emplace_back(r->lcn, r->length);
            }
        }
        std::free(rl);
    }
    ntfs_log_set_levels(levels);
}

void TNtfsImage::Reserve(std::int64_t window, bool last) {
    Release();
    if (ntfs_volume_get_free_space(Volume) != 0) {
        Fail("counting free clusters", errno);
    }
    if (Volume->free_clusters <= window) {
        return;
    }
    HoldAll();
    std::size_t pick = Reserved.size();
    for (std::size_t i = 0; i < Reserved.size(); ++i) {
        if (Reserved[i].second >= window && (last || pick == Reserved.size())) {
            pick = i;
        }
    }
    if (pick == Reserved.size()) {
        // No free run is large enough: give everything back.
        Release();
        return;
    }
    auto& [lcn, length] = Reserved[pick];
    if (ntfs_cluster_free_basic(Volume, lcn, window) != 0) {
        Fail("releasing the allocation window", errno);
    }
    lcn += window;
    length -= window;
}

void TNtfsImage::Release() {
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;
    runs.swap(Reserved);
    for (const auto& [lcn, length] : runs) {
        if (length > 0 && ntfs_cluster_free_basic(Volume, lcn, length) != 0) {
            Fail("releasing reserved clusters", errno);
        }
    }
}

void TNtfsImage::RememberClusters(ntfs_inode* ni, std::size_t entry) {
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) {
        return;
    }
    if (NAttrNonResident(na) && ntfs_attr_map_whole_runlist(na) == 0 && na->rl) {
        for (const runlist_element* rl = na->rl; rl->length; ++rl) {
            if (rl->lcn >= 0) {
                Freed.push_back({rl->lcn, rl->length, entry});
            }
        }
    }
    ntfs_attr_close(na);
}

void TNtfsImage::DeleteNode(int index) {
    // Copies: Nodes may not change here, but keep the strings safe anyway.
    const TNode node = Nodes[static_cast<std::size_t>(index)];
    if (CursorNode == index) {
        CloseDir();
    }
    ntfs_inode* dirInode = OpenDir(node.Parent);
    ntfs_inode* ni = ntfs_inode_open(Volume, node.Record);
    if (!ni) {
        Fail("opening " + node.Path, errno);
    }
    if (!node.Dir) {
        RememberClusters(ni, node.Entry);
    }
    // ntfs_delete() closes both inodes, whatever it returns.
    CursorInode = nullptr;
    CursorNode = -1;
    if (ntfs_delete(Volume, nullptr, ni, dirInode, Units(node.Name), static_cast<u8>(node.Name.size())) != 0) {
        Fail("deleting " + node.Path, errno);
    }
    Entries[node.Entry].State = TEntryState::Deleted;
    DeletedByRecord[node.Record].push_back(node.Entry);
    Live.erase(node.Path);
    Nodes[static_cast<std::size_t>(node.Parent)].Children.erase(index);
    Nodes[static_cast<std::size_t>(index)].Children.clear();
}

void TNtfsImage::Delete(const std::string& path) {
    const int index = Node(path);
    if (index == 0) {
        throw TPlanError("cannot delete the root directory");
    }
    if (!Nodes[static_cast<std::size_t>(index)].Children.empty()) {
        throw TPlanError("directory not empty (use rmtree): " + path);
    }
    DeleteNode(index);
}

void TNtfsImage::AddStream(const std::string& path, const std::string& name, const std::string& content) {
    const int index = Node(path);
    const TNode node = Nodes[static_cast<std::size_t>(index)];
    const std::u16string units = Utf8ToUtf16(name);
    if (units.empty() || units.size() > 255) {
        throw TPlanError("stream: a stream name takes 1 to 255 characters");
    }
    // One in-memory instance of an inode: a directory may be the cursor.
    if (CursorNode == index) {
        CloseDir();
    }
    ntfs_inode* ni = ntfs_inode_open(Volume, node.Record);
    if (!ni) {
        Fail("opening " + path, errno);
    }
    ntfschar* uname = const_cast<ntfschar*>(Units(units));
    const u8 length = static_cast<u8>(units.size());
    if (ntfs_attr_add(ni, AT_DATA, uname, length, nullptr, 0) != 0) {
        const int err = errno;
        ntfs_inode_close(ni);
        Fail("adding the stream " + name + " to " + path, err);
    }
    if (!content.empty()) {
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, uname, length);
        if (!na) {
            const int err = errno;
            ntfs_inode_close(ni);
            Fail("opening the stream " + name + " of " + path, err);
        }
        const s64 done = ntfs_attr_pwrite(na, 0, static_cast<s64>(content.size()), content.data());
        const int err = errno;
        ntfs_attr_close(na);
        if (done != static_cast<s64>(content.size())) {
            ntfs_inode_close(ni);
            Fail("writing the stream " + name + " of " + path, done < 0 ? err : ENOSPC);
        }
    }
    if (index == 0) {
        if (ntfs_inode_close(ni) != 0) {
            Fail("closing " + path, errno);
        }
        return;
    }
    CloseFile(ni, index, "closing");
}

void TNtfsImage::SetTimes(const std::string& path, std::int64_t created, std::int64_t modified, std::int64_t changed,
                          std::int64_t accessed) {
    const int index = Node(path);
    const TNode node = Nodes[static_cast<std::size_t>(index)];
    if (CursorNode == index) {
        CloseDir();
    }
    ntfs_inode* ni = ntfs_inode_open(Volume, node.Record);
    if (!ni) {
        Fail("opening " + path, errno);
    }
    auto ntfs = [](std::int64_t seconds) { return timespec2ntfs(timespec{static_cast<time_t>(seconds), 0}); };
    ni->creation_time = ntfs(created);
    ni->last_data_change_time = ntfs(modified);
    ni->last_mft_change_time = ntfs(changed);
    ni->last_access_time = ntfs(accessed);
    NInoSetDirty(ni);
    if (ntfs_inode_close(ni) != 0) {
        Fail("closing " + path, errno);
    }
}

void TNtfsImage::Link(const std::string& existing, const std::string& path) {
    const int index = Node(existing);
    const TNode target = Nodes[static_cast<std::size_t>(index)];
    if (target.Dir) {
        throw TPlanError("link: a directory can't have a second name: " + existing);
    }
    const std::vector<std::string> parts = SplitPath(path);
    if (parts.empty() || Live.contains(path)) {
        throw TPlanError("link: already exists: " + path);
    }
    const int parent = EnsureDir(ParentOf(path));
    std::u16string name = Utf8ToUtf16(parts.back());
    ntfs_inode* dirInode = OpenDir(parent);
    ntfs_inode* ni = ntfs_inode_open(Volume, target.Record);
    if (!ni) {
        Fail("opening " + existing, errno);
    }
    if (ntfs_link(ni, dirInode, const_cast<ntfschar*>(Units(name)), static_cast<u8>(name.size())) != 0) {
        const int err = errno;
        ntfs_inode_close(ni);
        Fail("linking " + path + " to " + existing, err);
    }
    if (ntfs_inode_close_in_dir(ni, dirInode) != 0) {
        Fail("closing " + existing, errno);
    }
    TManifestEntry entry = Entries[target.Entry];
    entry.Parent = Nodes[static_cast<std::size_t>(parent)].Record;
    entry.Path = path;
    Entries.push_back(std::move(entry));
    TNode node;
    node.Path = path;
    node.Name = std::move(name);
    node.Record = target.Record;
    node.Parent = parent;
    node.Entry = Entries.size() - 1;
    Nodes.push_back(std::move(node));
    const int added = static_cast<int>(Nodes.size() - 1);
    Live.emplace(path, added);
    Nodes[static_cast<std::size_t>(parent)].Children.insert(added);
}

void TNtfsImage::Compress(const std::string& path) {
    const int node = EnsureDir(path);
    if (Volume->cluster_size > 4096) {
        throw TPlanError("compress: NTFS compresses only with clusters of 4K or less");
    }
    NVolSetCompression(Volume);
    ntfs_inode* ni = OpenDir(node);
    ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
    NInoSetDirty(ni);
    NInoFileNameSetDirty(ni);
}

void TNtfsImage::Overwrite(const std::string& deleted, std::uint64_t size, const std::string& path, const TFill& fill) {
    std::size_t entry = NoEntry;
    for (std::size_t i = 0; i < Entries.size(); ++i) {
        if (Entries[i].Path == deleted && Entries[i].State == TEntryState::Deleted && !Entries[i].Dir) {
            entry = i;
        }
    }
    if (entry == NoEntry) {
        throw TPlanError("overwrite: no deleted file " + deleted);
    }
    // The deleted file's first clusters, as many as the new file needs.
    std::int64_t wanted = static_cast<std::int64_t>((size + Volume->cluster_size - 1) / Volume->cluster_size);
    std::vector<std::pair<std::int64_t, std::int64_t>> keep;
    for (const TExtent& e : Freed) {
        if (e.Entry != entry || wanted == 0) {
            continue;
        }
        const std::int64_t take = std::min(e.Length, wanted);
        keep.emplace_back(e.Lcn, take);
        wanted -= take;
    }
    if (wanted > 0 || keep.empty()) {
        throw TPlanError("overwrite: " + deleted + " has fewer clusters than " + std::to_string(size) + " bytes need");
    }
    HoldAll();
    // Give back exactly the clusters to write over; they were free, so they
    // are among those held.
    for (const auto& [lcn, length] : keep) {
        for (std::size_t i = 0; i < Reserved.size(); ++i) {
            auto [from, count] = Reserved[i];
            if (lcn < from || lcn + length > from + count) {
                continue;
            }
            Reserved.erase(Reserved.begin() + static_cast<std::ptrdiff_t>(i));
            if (lcn > from) Reserved.emplace_back(from, lcn - from);
            if (lcn + length < from + count) Reserved.emplace_back(lcn + length, from + count - lcn - length);
            if (ntfs_cluster_free_basic(Volume, lcn, length) != 0) {
                Fail("freeing clusters to write over", errno);
            }
            break;
        }
    }
    try {
        CreateFile(path, size, fill);
    } catch (...) {
        Release();
        throw;
    }
    Release();
}

std::vector<std::uint64_t> TNtfsImage::DeleteInPlace(const std::string& path) {
    const int index = Node(path);
    const TNode node = Nodes[static_cast<std::size_t>(index)];
    if (node.Dir) {
        throw TPlanError("delete-in-place takes files only: " + path);
    }
    if (CursorNode == index) {
        CloseDir();
    }
    ntfs_inode* ni = ntfs_inode_open(Volume, node.Record);
    if (!ni) {
        Fail("opening " + node.Path, errno);
    }
    std::vector<std::uint64_t> records{node.Record};
    try {
        if (ntfs_inode_attach_all_extents(ni) != 0) {
            Fail("reading the extension records of " + node.Path, errno);
        }
        for (s32 i = 0; i < ni->nr_extents; ++i) {
            records.push_back(ni->extent_nis[i]->mft_no);
        }
        RememberClusters(ni, node.Entry);
        for (const TExtent& e : Freed) {
            if (e.Entry == node.Entry && ntfs_cluster_free_basic(Volume, e.Lcn, e.Length) != 0) {
                Fail("freeing the clusters of " + node.Path, errno);
            }
        }
        for (const std::uint64_t record : records) {
            if (ntfs_bitmap_clear_bit(Volume->mftbmp_na, static_cast<s64>(record)) != 0) {
                Fail("freeing record " + std::to_string(record), errno);
            }
        }
    } catch (...) {
        ntfs_inode_close(ni);
        throw;
    }
    if (ntfs_inode_close(ni) != 0) {
        Fail("closing " + node.Path, errno);
    }
    // Every name of the record goes with it (a file with hard links).
    for (std::size_t other = 1; other < Nodes.size(); ++other) {
        const TNode& named = Nodes[other];
        const auto live = Live.find(named.Path);
        if (named.Dir || named.Record != node.Record || live == Live.end() ||
            live->second != static_cast<int>(other)) {
            continue;
        }
        Entries[named.Entry].State = TEntryState::Deleted;
        DeletedByRecord[node.Record].push_back(named.Entry);
        Live.erase(live);
        Nodes[static_cast<std::size_t>(named.Parent)].Children.erase(static_cast<int>(other));
    }
    return records;
}

std::uint64_t TNtfsImage::RecordOf(const std::string& path) const {
    for (auto it = Entries.rbegin(); it != Entries.rend(); ++it) {
        if (it->Path == path) {
            return it->Record;
        }
    }
    throw TPlanError("no file or directory was made at " + path);
}

std::int64_t TNtfsImage::RecordOffset(std::uint64_t record) const {
    const s64 byte = static_cast<s64>(record) * Volume->mft_record_size;
    const LCN lcn = ntfs_attr_vcn_to_lcn(Volume->mft_na, byte >> Volume->cluster_size_bits);
    if (lcn < 0) {
        throw TPlanError("record " + std::to_string(record) + " lies outside the MFT");
    }
    return (static_cast<std::int64_t>(lcn) << Volume->cluster_size_bits) + (byte & (Volume->cluster_size - 1));
}

void TNtfsImage::Rmtree(const std::string& path) {
    const int top = Node(path);
    if (top == 0) {
        throw TPlanError("cannot delete the root directory");
    }
    // Post-order without recursion: children before their directory.
    std::vector<std::pair<int, bool>> stack{{top, false}};
    while (!stack.empty()) {
        auto [index, expanded] = stack.back();
        stack.pop_back();
        if (expanded) {
            DeleteNode(index);
            continue;
        }
        stack.push_back({index, true});
        const std::set<int>& children = Nodes[static_cast<std::size_t>(index)].Children;
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.push_back({*it, false});
        }
    }
}

int TNtfsImage::FragmentMft(std::uint64_t count) {
    const auto runs = [this]() {
        if (ntfs_attr_map_whole_runlist(Volume->mft_na) != 0) {
            Fail("reading the run list of $MFT", errno);
        }
        int n = 0;
        for (const runlist_element* rl = Volume->mft_na->rl; rl->length; ++rl) {
            n += rl->lcn >= 0 ? 1 : 0;
        }
        return n;
    };
    const TFill none = [](std::uint64_t, std::uint8_t*, std::size_t) {};
    Mkdir("/mft-extend");
    char name[64];
    std::uint64_t created = 0;
    const auto create = [&]() {
        std::snprintf(name, sizeof name, "/mft-extend/rec-%06llu", static_cast<unsigned long long>(created++));
        CreateFile(name, 0, none);
    };
    // The MFT only grows once every free record is taken: use them up (and
    // let it grow once in place), so the files below need new records.
    const s64 initial = Volume->mft_na->allocated_size;
    while (Volume->mft_na->allocated_size == initial) {
        create();
    }
    // Room for the new records (the MFT grows 16 records at a time), its
    // bitmap and the directory's index blocks.
    const std::uint64_t cluster = Volume->cluster_size;
    const std::uint64_t bytes = (count + 64) * Volume->mft_record_size * 2 + count * 256 + 16 * cluster;
    Reserve(static_cast<std::int64_t>((bytes + cluster - 1) / cluster), true);
    try {
        for (std::uint64_t i = 0; i < count; ++i) {
            create();
        }
    } catch (...) {
        Release();
        throw;
    }
    Release();
    return runs();
}

void TNtfsImage::CheckClobbered() {
    std::set<std::size_t> clobbered;
    // Clusters of a deleted file that a later file also had: the later file
    // was written over them.
    std::vector<std::size_t> order(Freed.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) { return Freed[a].Lcn < Freed[b].Lcn; });
    for (std::size_t i = 0; i < order.size(); ++i) {
        const TExtent& a = Freed[order[i]];
        for (std::size_t j = i + 1; j < order.size() && Freed[order[j]].Lcn < a.Lcn + a.Length; ++j) {
            const TExtent& b = Freed[order[j]];
            if (a.Entry != b.Entry) {
                clobbered.insert(order[i] < order[j] ? a.Entry : b.Entry);
            }
        }
    }
    // Clusters of a deleted file that are in use now.
    std::vector<std::uint8_t> bits;
    for (const TExtent& e : Freed) {
        if (Entries[e.Entry].State != TEntryState::Deleted || clobbered.contains(e.Entry)) {
            continue;
        }
        const s64 first = e.Lcn / 8;
        const s64 last = (e.Lcn + e.Length - 1) / 8;
        bits.resize(static_cast<std::size_t>(last - first + 1));
        if (ntfs_attr_pread(Volume->lcnbmp_na, first, static_cast<s64>(bits.size()), bits.data()) !=
            static_cast<s64>(bits.size())) {
            continue;
        }
        for (s64 lcn = e.Lcn; lcn < e.Lcn + e.Length; ++lcn) {
            if (bits[static_cast<std::size_t>(lcn / 8 - first)] & (1u << (lcn % 8))) {
                clobbered.insert(e.Entry);
                break;
            }
        }
    }
    for (std::size_t entry : clobbered) {
        if (Entries[entry].State == TEntryState::Deleted) {
            std::fprintf(stderr, "deruzera-mkimage: note: clusters of deleted %s (record %llu) were allocated again; "
                                 "its old bytes are partly overwritten\n",
                         Entries[entry].Path.c_str(), static_cast<unsigned long long>(Entries[entry].Record));
        }
    }
}

void TNtfsImage::Unmount() {
    if (!Volume) {
        return;
    }
    CloseDir();
    CheckClobbered();
    ntfs_volume* volume = Volume;
    Volume = nullptr;
    if (ntfs_umount(volume, FALSE) != 0) {
        Fail("unmounting " + Image, errno);
    }
}

}  // namespace deruzera::mkimage
