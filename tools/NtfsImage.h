// Writes files and directories into an NTFS image through libntfs-3g, without
// mounting it in the kernel, and keeps the manifest of everything created.
//
// libntfs-3g allows one in-memory instance per inode: closing a directory
// whose name needs syncing opens its parent, and ntfs_delete() closes the
// directory it is handed. So the builder keeps at most one directory inode
// open (a cursor) and remembers every directory by MFT record number rather
// than by path; reopening a recently used record is served by the driver's
// own inode cache.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

struct _ntfs_volume;
struct _ntfs_inode;

namespace deruzera::mkimage {

enum class TEntryState { Live, Deleted, Reused };

struct TManifestEntry {
    TEntryState State = TEntryState::Live;
    bool Dir = false;
    std::uint64_t Record = 0;
    std::uint64_t Parent = 0;
    std::uint64_t Size = 0;
    std::string Sha256;  // "-" for directories
    std::string Path;
};

// Produces `size` bytes of a file's content starting at `offset`.
using TFill = std::function<void(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

struct TByteRange {
    std::uint64_t Offset = 0;
    std::uint64_t Length = 0;
};

struct TInterleaved {
    std::string Path;
    std::uint64_t Size = 0;
    TFill Fill;
};

class TNtfsImage {
public:
    // Mounts the image read-write. Throws std::runtime_error.
    explicit TNtfsImage(const std::string& image);
    ~TNtfsImage();
    TNtfsImage(const TNtfsImage&) = delete;
    TNtfsImage& operator=(const TNtfsImage&) = delete;

    // Creates a directory and any missing parents; an existing directory is
    // left alone.
    void Mkdir(const std::string& path);
    // Creates a file of `size` bytes (missing parents are created). Content is
    // written front to back in large pieces.
    void CreateFile(const std::string& path, std::uint64_t size, const TFill& fill);
    // Creates a sparse file: the size is set first (a hole on NTFS 3.x), then
    // only `ranges` are written. Bytes outside them read as zeros.
    void CreateSparse(const std::string& path, std::uint64_t size, const std::vector<TByteRange>& ranges,
                      const TFill& fill);
    // Creates all files, then appends `chunk` bytes to each in turn until all
    // are full. Meanwhile all free space but a window just large enough is
    // held back, so the files' clusters alternate on disk.
    void Interleave(std::uint64_t chunk, const std::vector<TInterleaved>& files);
    // Deletes a file or an empty directory with ntfs_delete().
    void Delete(const std::string& path);
    // Adds the named data stream `name` (an alternate data stream, as
    // "file.txt:name" on Windows) to a file or directory, holding `content`.
    // The driver moves attributes to extension records where the record is
    // full, as it does for any attribute.
    void AddStream(const std::string& path, const std::string& name, const std::string& content);
    // Sets the four times of a file or directory's $STANDARD_INFORMATION
    // (seconds since 1970, UTC): created, modified, the record's last
    // change, last access.
    void SetTimes(const std::string& path, std::int64_t created, std::int64_t modified, std::int64_t changed,
                  std::int64_t accessed);
    // Gives the file at `existing` a further name, `path` (a hard link: one
    // record, one more $FILE_NAME). The manifest lists the new name with
    // the same record; delete-in-place of either name frees the record with
    // both names in it.
    void Link(const std::string& existing, const std::string& path);
    // Marks a directory (made if missing) compressed: the files created in
    // it afterwards are compressed by the driver, as NTFS does it (only on
    // volumes with clusters of at most 4 KiB).
    void Compress(const std::string& path);
    // Creates a file of `size` bytes on the first clusters that the deleted
    // file `deleted` had, so that they are written over; every other free
    // cluster is held back meanwhile.
    void Overwrite(const std::string& deleted, std::uint64_t size, const std::string& path, const TFill& fill);
    // Deletes a file as Windows does, where libntfs-3g's delete differs: its
    // clusters and MFT records are marked free in the bitmaps, and nothing
    // else is touched (names, runs, extension records and the directory's
    // entry stay). Returns the file's base and extension records, whose
    // in-use flags the caller clears once the image is unmounted.
    std::vector<std::uint64_t> DeleteInPlace(const std::string& path);
    // The MFT record of the last file or directory created at `path`,
    // whatever its state now.
    std::uint64_t RecordOf(const std::string& path) const;
    // Byte offset of MFT record `record` in the image.
    std::int64_t RecordOffset(std::uint64_t record) const;
    // Deletes a directory and everything below it, children first.
    void Rmtree(const std::string& path);
    // Makes $MFT's data run list have more than one run (best effort):
    // creates empty files under /mft-extend until the free MFT records are
    // used up, then, with every free cluster but a window far from the MFT
    // held back, `count` more, so the MFT grows into the window. Returns
    // the run count.
    int FragmentMft(std::uint64_t count);

    bool Exists(const std::string& path) const;
    bool IsDir(const std::string& path) const;
    std::uint32_t ClusterSize() const;
    std::uint32_t RecordSize() const;
    // Live children of a directory (paths), oldest first.
    std::vector<std::string> Children(const std::string& path) const;

    // Closes everything and unmounts. Also warns on stderr about deleted files
    // whose clusters were handed out again (their old bytes are gone).
    void Unmount();

    const std::vector<TManifestEntry>& Manifest() const { return Entries; }

private:
    struct TNode {
        std::string Path;
        std::u16string Name;
        std::uint64_t Record = 0;
        int Parent = -1;
        bool Dir = false;
        std::size_t Entry = 0;
        std::set<int> Children;  // node indexes, in creation order
    };
    struct TExtent {
        std::int64_t Lcn = 0;
        std::int64_t Length = 0;
        std::size_t Entry = 0;
    };

    int Node(const std::string& path) const;
    int EnsureDir(const std::string& path);
    int CreateNode(const std::string& path, bool dir, _ntfs_inode** file);
    void CloseFile(_ntfs_inode* file, int node, const char* what);
    _ntfs_inode* OpenDir(int node);
    void CloseDir();
    void NoteRecord(std::uint64_t record);
    void NoteExtents(_ntfs_inode* ni);
    void RememberClusters(_ntfs_inode* ni, std::size_t entry);
    void DeleteNode(int node);
    void CheckClobbered();
    // Takes every free cluster but one contiguous window of `window`
    // clusters (the last large enough free run when `last`, else the first),
    // so that the next allocations can only go there. Release() gives the
    // clusters back. Nothing is written to them.
    void Reserve(std::int64_t window, bool last);
    // Takes every free cluster (held back until Release).
    void HoldAll();
    void Release();

    _ntfs_volume* Volume = nullptr;
    std::string Image;
    _ntfs_inode* CursorInode = nullptr;
    int CursorNode = -1;
    std::vector<TNode> Nodes;
    std::unordered_map<std::string, int> Live;
    std::vector<TManifestEntry> Entries;
    std::unordered_map<std::uint64_t, std::vector<std::size_t>> DeletedByRecord;
    std::vector<TExtent> Freed;
    std::vector<std::pair<std::int64_t, std::int64_t>> Reserved;  // (lcn, length)
};

}  // namespace deruzera::mkimage
