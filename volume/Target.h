// Where recovered files are written. A folder is opened once by the path the
// user chose; below it every folder and file is reached one name at a time
// relative to the folder that holds it, never by a path, so a link someone
// else puts in the way is never followed, a folder swapped during the work
// takes nothing along, and the depth of a tree is not bounded by the
// longest path the system takes. The platform layer implements it; the
// volume reader only asks.
//
// Names are UTF-8 folder entries: never empty, ".", ".." or holding "/".
// Failures are errno values (a port maps its own codes onto them), and
// ForeignLinkError below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace deruzera {

// A symbolic link on the way to a chosen folder that neither the user nor
// the administrator made: not followed. Outside the range of errno values.
inline constexpr int ForeignLinkError = 0x10000;

// What a folder entry is, seen without following a link.
enum class TEntryKind { None, File, Folder, Link, Other };

struct TEntry {
    TEntryKind Kind = TEntryKind::None;
    // A file this user may replace: one the user may write to, and, for the
    // administrator, one of the administrator's own (replacing another
    // user's file would take it from its owner).
    bool Replaceable = false;
};

// A file being written, made by TTargetFolder::Create. Writes go on from
// where the last one ended. Destroying it closes it.
class TTargetFile {
public:
    virtual ~TTargetFile() = default;
    // Writes `count` bytes. 0 or an errno value.
    virtual int Write(const void* bytes, std::size_t count) = 0;
    // Moves on `count` bytes without writing them: a hole, read as zeros.
    // 0 or an errno value.
    virtual int Skip(std::uint64_t count) = 0;
    // Sets the length of the file (one that ends in a hole). 0 or an errno value.
    virtual int Resize(std::uint64_t size) = 0;
    // Gives the file the modification time `fileTime` (NTFS: 100 ns units
    // since 1 January 1601 UTC). False where the target can't hold that
    // time: the file then keeps the time it was written at.
    virtual bool SetModified(std::uint64_t fileTime) = 0;
    // Puts what was written on the disk, before the file takes another's
    // place. 0 or an errno value.
    virtual int Sync() = 0;
    // Closes the file. 0, or the errno value of a write that failed late.
    virtual int Close() = 0;
};

// An open folder of the target.
class TTargetFolder {
public:
    virtual ~TTargetFolder() = default;
    // The folder `name` in this one, made where nothing has that name
    // (`made` then set). Null with ENOTDIR where `name` is anything else,
    // a link included, whatever it points to; null with another errno value
    // where it can't be made or opened.
    virtual std::unique_ptr<TTargetFolder> Folder(const std::string& name, int& error, bool* made = nullptr) = 0;
    // A new file `name`, only where nothing has that name: null with EEXIST
    // where anything has, a link included.
    virtual std::unique_ptr<TTargetFile> Create(const std::string& name, int& error) = 0;
    // What `name` is.
    virtual TEntry Entry(const std::string& name) = 0;
    // Gives the entry `from` the name `to`, in place of a file there; both
    // in this folder. 0 or an errno value.
    virtual int Rename(const std::string& from, const std::string& to) = 0;
    // Removes the file `name`. 0 or an errno value.
    virtual int Remove(const std::string& name) = 0;
};

// The file systems of this machine as a place to write to.
class TTargetFileSystem {
public:
    virtual ~TTargetFileSystem() = default;
    // The folder at `path` as the user gave it, with its missing folders
    // made where `make`. A link on the way is followed only where the user
    // or the administrator made it (ForeignLinkError otherwise). Null with
    // the errno value on failure.
    virtual std::unique_ptr<TTargetFolder> OpenFolder(const std::string& path, bool make, int& error) = 0;
    // The folder and the last name of a file's path: "/a/b.txt" gives "/a"
    // and "b.txt", "b.txt" gives "." and "b.txt"; the name is empty where
    // the path names no file ("/", "a/").
    virtual void SplitPath(const std::string& path, std::string& folder, std::string& name) const = 0;
    // `name` below `folder`, as a path to show: "/a" and "b" give "/a/b".
    virtual std::string JoinPath(const std::string& folder, const std::string& name) const = 0;
};

}  // namespace deruzera
