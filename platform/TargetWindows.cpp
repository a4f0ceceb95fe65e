// Windows back end of the target: handles of open folders, and NtCreateFile
// relative to them, so that no path is resolved twice, no path is bounded by
// MAX_PATH, and no reparse point (symbolic link, junction) is followed that
// the user or an administrator did not make. Sizes, times, renames and
// removals go through handles (SetFileInformationByHandle and
// NtSetInformationFile), never by path.
#include <windows.h>
#include <winternl.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "Target.h"
#include "WindowsText.h"
#include "volume/Names.h"

namespace deruzera::platform {
namespace {

// The NTSTATUS values told apart here (ntstatus.h clashes with windows.h).
constexpr NTSTATUS StatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS StatusObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS StatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS StatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);

// What NtCreateFile says it did (IO_STATUS_BLOCK::Information).
constexpr ULONG_PTR FileWasCreated = 2;  // FILE_CREATED
// The most UTF-16 units a folder entry holds on NTFS, FAT and ReFS.
constexpr std::size_t MaxNameUnits = 255;
// Bytes asked of one WriteFile: its count is 32-bit.
constexpr DWORD MaxWriteBytes = 1u << 30;
// A time set and read back further apart than this (in 100 ns units) was
// not kept: FAT keeps modification times to 2 seconds.
constexpr std::int64_t TimeSlackTicks = 2 * 10'000'000;
// Links followed on the way to a chosen folder: the 63 reparse points
// Windows itself follows in one open.
constexpr int MaxLinks = 63;
// The most a reparse point's data takes (MAXIMUM_REPARSE_DATA_BUFFER_SIZE).
constexpr DWORD MaxReparseBytes = 16 * 1024;
// Reparse tags of the links whose target is read and walked here.
constexpr DWORD TagMountPoint = 0xA0000003;    // IO_REPARSE_TAG_MOUNT_POINT: a junction
constexpr DWORD TagSymbolicLink = 0xA000000C;  // IO_REPARSE_TAG_SYMLINK
constexpr ULONG SymbolicLinkRelative = 1;      // SYMLINK_FLAG_RELATIVE

// Access to a folder that is walked through and written into: its
// attributes alone. What is opened or made relative to it is checked
// against the folder's own permissions, not against the handle's, so a
// folder that may be gone through but not listed is gone through.
constexpr ACCESS_MASK FolderAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The errno value of a Windows error code, as the target's callers read
// them: the names Windows refuses are EINVAL or ENAMETOOLONG, so that
// another name is tried.
int ErrnoOfError(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DEV_NOT_EXIST:
        return ENOENT;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_NO_UNICODE_TRANSLATION: return EILSEQ;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE: return EACCES;
    case ERROR_PRIVILEGE_NOT_HELD: return EPERM;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return EBUSY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_TOO_LARGE: return EFBIG;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return ENOSYS;
    default: return EIO;
    }
}

int LastErrno() { return ErrnoOfError(GetLastError()); }

int ErrnoOfStatus(NTSTATUS status) {
    if (status == StatusNotADirectory) return ENOTDIR;
    if (status == StatusFileIsADirectory) return EISDIR;
    return ErrnoOfError(RtlNtStatusToDosError(status));
}

// Closes a handle when it goes.
class THandleOwner {
public:
    explicit THandleOwner(HANDLE handle = nullptr) : handle_(handle) {}
    ~THandleOwner() { Reset(); }
    THandleOwner(const THandleOwner&) = delete;
    THandleOwner& operator=(const THandleOwner&) = delete;
    THandleOwner(THandleOwner&& other) noexcept : handle_(other.Release()) {}
    THandleOwner& operator=(THandleOwner&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.Release();
        }
        return *this;
    }
    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset() {
        if (*this) CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_;
};

// The check every name gets before anything is opened under it: 0, EINVAL
// for a name that isn't one folder entry or that Windows would take for
// something else (a device, a stream, a name without its closing dots),
// ENAMETOOLONG past what a folder entry holds, EILSEQ for bytes that are no
// UTF-8.
int NameError(const std::string& name, std::wstring* wide = nullptr) {
    if (name == "." || name == ".." || !WindowsTakesName(name)) return EINVAL;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()), nullptr, 0) <= 0)
        return EILSEQ;
    std::wstring text = WideText(name);
    if (text.size() > MaxNameUnits) return ENAMETOOLONG;
    if (wide) *wide = std::move(text);
    return 0;
}

// NtCreateFile of `name` in the folder `folder`, for synchronous use, in
// any case of its letters as Windows opens names. `created` (when given)
// tells whether it was made.
NTSTATUS OpenIn(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG share, ULONG disposition,
                ULONG options, THandleOwner& opened, bool* created = nullptr) {
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                         share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status)) opened = THandleOwner(handle);
    if (created) *created = NT_SUCCESS(status) && io.Information == FileWasCreated;
    return status;
}

// What kind of entry an open handle is: its attributes and reparse tag.
struct TKind {
    DWORD Attributes = 0;
    DWORD Tag = 0;
    bool Link() const { return (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(Tag); }
    bool Reparse() const { return (Attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool Folder() const { return (Attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

bool KindOf(HANDLE handle, TKind& kind) {
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return false;
    kind.Attributes = info.FileAttributes;
    kind.Tag = info.ReparseTag;
    return true;
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// A reparse point that is no link (a file of a cloud store, a deduplicated
// file) opened as what it stands for: `opened` again without
// FILE_OPEN_REPARSE_POINT, kept only where it is still the same file. 0 or
// an errno value (ENOTDIR where it was swapped meanwhile).
int OpenThrough(HANDLE folder, const std::wstring& name, ACCESS_MASK access, ULONG options, THandleOwner& opened) {
    THandleOwner through;
    const NTSTATUS status = OpenIn(folder, name, access, ShareAll, FILE_OPEN, options, through);
    if (!NT_SUCCESS(status)) return ErrnoOfStatus(status);
    if (!SameFile(opened.Get(), through.Get())) return ENOTDIR;
    opened = std::move(through);
    return 0;
}

// The security identifiers of whoever may make a link that is followed:
// the user running the program, and the administrators (the group, the
// system account, the installer service).
class TTrustedOwners {
public:
    TTrustedOwners() {
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD bytes = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
            user_.resize(bytes);
            if (bytes == 0 || !GetTokenInformation(token, TokenUser, user_.data(), bytes, &bytes)) user_.clear();
            TOKEN_ELEVATION elevation{};
            elevated_ = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &bytes) &&
                        elevation.TokenIsElevated != 0;
            CloseHandle(token);
        }
        ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &installer_);
    }
    ~TTrustedOwners() {
        if (installer_) LocalFree(installer_);
    }
    TTrustedOwners(const TTrustedOwners&) = delete;
    TTrustedOwners& operator=(const TTrustedOwners&) = delete;

    // Whether the owner of what `handle` holds (opened with READ_CONTROL)
    // is the user or an administrator.
    bool Trusted(HANDLE handle) const {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR security = nullptr;
        if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &security) != ERROR_SUCCESS)
            return false;
        const PSID user = user_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user_.data())->User.Sid;
        const bool trusted = owner && IsValidSid(owner) &&
                             ((user && EqualSid(owner, user)) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                              IsWellKnownSid(owner, WinLocalSystemSid) || (installer_ && EqualSid(owner, installer_)));
        LocalFree(security);
        return trusted;
    }
    // Whether the program runs with an administrator's rights.
    bool Elevated() const { return elevated_; }

private:
    std::vector<char> user_;
    PSID installer_ = nullptr;
    bool elevated_ = false;
};

const TTrustedOwners& Owners() {
    static const TTrustedOwners owners;
    return owners;
}

class TWindowsFile final : public TTargetFile {
public:
    explicit TWindowsFile(THandleOwner handle) : handle_(std::move(handle)) {}

    int Write(const void* bytes, std::size_t count) override {
        const auto* at = static_cast<const char*>(bytes);
        while (count > 0) {
            DWORD written = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count, MaxWriteBytes));
            if (!WriteFile(handle_.Get(), at, want, &written, nullptr)) return LastErrno();
            if (written == 0) return EIO;
            at += written;
            count -= written;
        }
        return 0;
    }
    int Skip(std::uint64_t count) override {
        if (count > static_cast<std::uint64_t>(INT64_MAX)) return EFBIG;
        LARGE_INTEGER distance;
        distance.QuadPart = static_cast<LONGLONG>(count);
        return SetFilePointerEx(handle_.Get(), distance, nullptr, FILE_CURRENT) ? 0 : LastErrno();
    }
    int Resize(std::uint64_t size) override {
        if (size > static_cast<std::uint64_t>(INT64_MAX)) return EFBIG;
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        return SetFileInformationByHandle(handle_.Get(), FileEndOfFileInfo, &end, sizeof end) ? 0 : LastErrno();
    }
    bool SetModified(std::uint64_t fileTime) override {
        // Windows' times are the same 100 ns units, signed: 0 and negative
        // values ask for no change.
        if (fileTime == 0 || fileTime > static_cast<std::uint64_t>(INT64_MAX)) return false;
        FILE_BASIC_INFO before{};
        if (!GetFileInformationByHandleEx(handle_.Get(), FileBasicInfo, &before, sizeof before)) return false;
        FILE_BASIC_INFO change{};
        change.LastWriteTime.QuadPart = static_cast<LONGLONG>(fileTime);
        if (!SetFileInformationByHandle(handle_.Get(), FileBasicInfo, &change, sizeof change)) return false;
        // A file system keeps the nearest time it can hold where it can't
        // hold this one: the file gets back the time it was written at.
        FILE_BASIC_INFO after{};
        if (GetFileInformationByHandleEx(handle_.Get(), FileBasicInfo, &after, sizeof after)) {
            const std::int64_t kept = after.LastWriteTime.QuadPart;
            const auto wanted = static_cast<std::int64_t>(fileTime);
            if (kept >= wanted - TimeSlackTicks && kept <= wanted + TimeSlackTicks) return true;
        }
        change.LastWriteTime = before.LastWriteTime;
        SetFileInformationByHandle(handle_.Get(), FileBasicInfo, &change, sizeof change);
        return false;
    }
    int Sync() override {
        // A file system that keeps nothing to put on a disk says so with these.
        if (FlushFileBuffers(handle_.Get())) return 0;
        const DWORD error = GetLastError();
        return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ? 0 : ErrnoOfError(error);
    }
    int Close() override {
        if (!handle_) return 0;
        const bool closed = CloseHandle(handle_.Release()) != 0;
        return closed ? 0 : EIO;
    }

private:
    THandleOwner handle_;
};

class TWindowsFolder final : public TTargetFolder {
public:
    explicit TWindowsFolder(THandleOwner handle) : handle_(std::move(handle)) {}

    std::unique_ptr<TTargetFolder> Folder(const std::string& name, int& error, bool* made) override {
        if (made) *made = false;
        std::wstring wide;
        if ((error = NameError(name, &wide)) != 0) return nullptr;
        THandleOwner folder;
        bool created = false;
        // Made where nothing has the name, opened where a folder has it, in
        // one step; a link is opened as itself.
        const NTSTATUS status = OpenIn(handle_.Get(), wide, FolderAccess, ShareAll, FILE_OPEN_IF,
                                       FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, folder, &created);
        if (!NT_SUCCESS(status)) {
            error = ErrnoOfStatus(status);
            return nullptr;
        }
        TKind kind;
        if (!KindOf(folder.Get(), kind)) {
            error = LastErrno();
            return nullptr;
        }
        // A link is refused, whatever it points to.
        if (kind.Link()) {
            error = ENOTDIR;
            return nullptr;
        }
        if (kind.Reparse() &&
            (error = OpenThrough(handle_.Get(), wide, FolderAccess, FILE_DIRECTORY_FILE, folder)) != 0)
            return nullptr;
        if (made) *made = created;
        error = 0;
        return std::make_unique<TWindowsFolder>(std::move(folder));
    }

    std::unique_ptr<TTargetFile> Create(const std::string& name, int& error) override {
        std::wstring wide;
        if ((error = NameError(name, &wide)) != 0) return nullptr;
        THandleOwner file;
        // Shared for reading only: nobody renames, removes or writes it
        // while it is being written.
        const NTSTATUS status = OpenIn(handle_.Get(), wide, GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                       FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, file);
        if (!NT_SUCCESS(status)) {
            error = ErrnoOfStatus(status);
            // What is there as a folder is there all the same.
            if (error == EISDIR) error = EEXIST;
            return nullptr;
        }
        return std::make_unique<TWindowsFile>(std::move(file));
    }

    TEntry Entry(const std::string& name) override {
        TEntry entry;
        std::wstring wide;
        if (NameError(name, &wide) != 0) {
            // Nothing is opened under a name Windows takes for something
            // else; a device's name stands for the device in every folder.
            if (WindowsDeviceName(name)) entry.Kind = TEntryKind::Other;
            return entry;
        }
        THandleOwner handle;
        const NTSTATUS status =
            OpenIn(handle_.Get(), wide, FILE_READ_ATTRIBUTES, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, handle);
        if (!NT_SUCCESS(status)) {
            // Something that can't be looked at is still something.
            if (status != StatusObjectNameNotFound && status != StatusObjectPathNotFound)
                entry.Kind = TEntryKind::Other;
            return entry;
        }
        TKind kind;
        if (!KindOf(handle.Get(), kind)) {
            entry.Kind = TEntryKind::Other;
            return entry;
        }
        if (kind.Link()) {
            entry.Kind = TEntryKind::Link;
        } else if (kind.Folder()) {
            entry.Kind = TEntryKind::Folder;
        } else {
            entry.Kind = TEntryKind::File;
            // One the user may write, not marked read-only; an administrator
            // replaces only the user's own or the administrators'.
            THandleOwner writable;
            entry.Replaceable = !(kind.Attributes & FILE_ATTRIBUTE_READONLY) &&
                                NT_SUCCESS(OpenIn(handle_.Get(), wide, FILE_WRITE_DATA | READ_CONTROL, ShareAll,
                                                  FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                                                  writable)) &&
                                (!Owners().Elevated() || Owners().Trusted(writable.Get()));
        }
        return entry;
    }

    int Rename(const std::string& from, const std::string& to) override {
        std::wstring source;
        std::wstring target;
        if (int error = NameError(from, &source); error != 0) return error;
        if (int error = NameError(to, &target); error != 0) return error;
        THandleOwner file;
        const NTSTATUS status =
            OpenIn(handle_.Get(), source, DELETE, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, file);
        if (!NT_SUCCESS(status)) return ErrnoOfStatus(status);
        // The new name in this folder, through its handle.
        std::vector<char> bytes(sizeof(FILE_RENAME_INFORMATION) + target.size() * sizeof(wchar_t));
        auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(bytes.data());
        rename->ReplaceIfExists = TRUE;
        rename->RootDirectory = handle_.Get();
        rename->FileNameLength = static_cast<ULONG>(target.size() * sizeof(wchar_t));
        std::memcpy(rename->FileName, target.data(), rename->FileNameLength);
        IO_STATUS_BLOCK io{};
        const NTSTATUS renamed =
            NtSetInformationFile(file.Get(), &io, rename, static_cast<ULONG>(bytes.size()), FileRenameInformation);
        return NT_SUCCESS(renamed) ? 0 : ErrnoOfStatus(renamed);
    }

    int Remove(const std::string& name) override {
        std::wstring wide;
        if (int error = NameError(name, &wide); error != 0) return error;
        THandleOwner file;
        const NTSTATUS status = OpenIn(handle_.Get(), wide, DELETE, ShareAll, FILE_OPEN,
                                       FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, file);
        if (!NT_SUCCESS(status)) return ErrnoOfStatus(status);
        FILE_DISPOSITION_INFO gone{};
        gone.DeleteFile = TRUE;
        return SetFileInformationByHandle(file.Get(), FileDispositionInfo, &gone, sizeof gone) ? 0 : LastErrno();
    }

private:
    THandleOwner handle_;
};

// ---- The way to a chosen folder ---------------------------------------------

bool Separator(char c) { return c == '\\' || c == '/'; }

// The names of a path after its root, in order: "" and "." left out, ".."
// taking the name before it away (as Windows reads paths).
void AppendNames(std::deque<std::string>& names, const std::string& path) {
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t end = at;
        while (end < path.size() && !Separator(path[end])) ++end;
        const std::string name = path.substr(at, end - at);
        if (name == "..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        at = end + 1;
    }
}

// The full path Windows makes of `path` (GetFullPathNameW), "" on failure.
std::string FullPath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0) return {};
        if (length < full.size()) {
            full.resize(length);
            return Utf8Text(full);
        }
        full.resize(length);
    }
}

// A path as its root ("C:\", "\\server\share\", "\\?\C:\",
// "\\?\Volume{...}\") and the names below it. A path without a root of its
// own is taken from where Windows puts it: the current folder, of its
// drive for "D:name", its drive's root for "\name". False where the path
// has no root that can be told ("\\server" without a share).
bool SplitRooted(const std::string& path, std::string& root, std::deque<std::string>& names) {
    const auto letter = [&](std::size_t at) {
        return path.size() > at + 1 && path[at + 1] == ':' &&
               ((path[at] >= 'A' && path[at] <= 'Z') || (path[at] >= 'a' && path[at] <= 'z'));
    };
    const auto separatorAt = [&](std::size_t at) { return at < path.size() && Separator(path[at]); };
    // The first `count` names after `from` as the root, with a backslash
    // after each; the rest as names.
    const auto rootOf = [&](const std::string& prefix, std::size_t from, int count) {
        root = prefix;
        std::size_t at = from;
        for (int i = 0; i < count; ++i) {
            std::size_t end = at;
            while (end < path.size() && !Separator(path[end])) ++end;
            if (end == at) return false;
            root += path.substr(at, end - at) + "\\";
            at = end + 1;
        }
        AppendNames(names, at < path.size() ? path.substr(at) : std::string());
        return true;
    };
    if (path.size() >= 4 && separatorAt(0) && separatorAt(1) && (path[2] == '?' || path[2] == '.') && separatorAt(3)) {
        // "\\?\" and "\\.\": a drive, a share or a volume.
        const std::string prefix = std::string("\\\\") + path[2] + "\\";
        if (letter(4) && (path.size() == 6 || separatorAt(6))) return rootOf(prefix, 4, 1);
        if (path.compare(4, 4, "UNC\\") == 0 || path.compare(4, 4, "unc\\") == 0) return rootOf(prefix + "UNC\\", 8, 2);
        return rootOf(prefix, 4, 1);
    }
    if (separatorAt(0) && separatorAt(1)) return rootOf("\\\\", 2, 2);
    if (letter(0) && separatorAt(2)) return rootOf(path.substr(0, 2) + "\\", 3, 0);
    // Relative to a folder Windows keeps: the names found there come first.
    std::string base;
    std::string rest = path;
    if (letter(0)) {
        base = FullPath(WideText(path.substr(0, 2)));
        rest = path.substr(2);
    } else if (separatorAt(0)) {
        base = FullPath(L"\\");
    } else {
        base = FullPath(L".");
    }
    const bool share = base.size() >= 2 && Separator(base[0]) && Separator(base[1]);
    const bool drive = base.size() >= 3 && base[1] == ':' && Separator(base[2]);
    if (!share && !drive) return false;
    if (!SplitRooted(base, root, names)) return false;
    if (separatorAt(0)) names.clear();
    AppendNames(names, rest);
    return true;
}

// The folder a root names, open; null with the errno value on failure.
THandleOwner OpenRoot(const std::string& root, int& error) {
    THandleOwner folder(CreateFileW(WideText(root).c_str(), FolderAccess, ShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder) {
        error = LastErrno();
        // A root that is no folder ("\\.\NUL") is no place for files.
        if (error == 0 || error == EINVAL) error = ENOTDIR;
        return THandleOwner();
    }
    TKind kind;
    if (!KindOf(folder.Get(), kind) || !kind.Folder()) {
        error = ENOTDIR;
        return THandleOwner();
    }
    return folder;
}

// The path of the folder `folder` holds, with the prefix "\\?\" (or
// "\\?\UNC\"); "" on failure.
std::string FinalPath(HANDLE folder) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(folder, path.data(), static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return Utf8Text(path);
        }
        path.resize(length);
    }
}

// The target a junction or a symbolic link names, from its reparse data
// (held by `link`): `path` and whether it is relative to the link's folder.
// False where it is neither or can't be read.
bool LinkTarget(HANDLE link, std::string& path, bool& relative) {
    std::vector<unsigned char> data(MaxReparseBytes);
    DWORD bytes = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(), MaxReparseBytes, &bytes, nullptr) ||
        bytes < 16)
        return false;
    // REPARSE_DATA_BUFFER: the tag, the data's length and a reserved word,
    // then the substitute name's offset and length and the print name's
    // (bytes, from the path buffer), a symbolic link's flags, the buffer.
    const auto word = [&](std::size_t at) { return static_cast<std::size_t>(data[at] | data[at + 1] << 8); };
    DWORD tag;
    std::memcpy(&tag, data.data(), sizeof tag);
    std::size_t buffer = 16;
    relative = false;
    if (tag == TagSymbolicLink) {
        ULONG flags;
        std::memcpy(&flags, data.data() + 16, sizeof flags);
        relative = (flags & SymbolicLinkRelative) != 0;
        buffer = 20;
    } else if (tag != TagMountPoint) {
        return false;
    }
    const std::size_t offset = word(8);
    const std::size_t length = word(10);
    if (buffer + offset + length > bytes || length % 2 != 0 || length == 0) return false;
    std::wstring target(length / 2, L'\0');
    std::memcpy(target.data(), data.data() + buffer + offset, length);
    // An NT path of the system's drives and shares: "\??\C:\x", "\??\UNC\s\x".
    if (!relative && target.compare(0, 8, L"\\??\\UNC\\") == 0) target = L"\\\\" + target.substr(8);
    else if (!relative && target.compare(0, 4, L"\\??\\") == 0) target = L"\\\\?\\" + target.substr(4);
    else if (!relative) return false;
    path = Utf8Text(target);
    return !path.empty();
}

// Where `name` in the folder `at` is a link the user or an administrator
// made: its target's names go before the rest of `names` (which begins
// with `name`), and `at` becomes the target's root for a target that has
// one. 0, or ENOTDIR where it is no link, ForeignLinkError where someone
// else made it, ELOOP past MaxLinks links.
int FollowLink(THandleOwner& at, const std::wstring& name, std::deque<std::string>& names, int& links) {
    // The link itself, shared with nobody who would delete or rename it, so
    // it stays what was looked at while it is read.
    THandleOwner link;
    const NTSTATUS status = OpenIn(at.Get(), name, FILE_READ_ATTRIBUTES | READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_OPEN_REPARSE_POINT, link);
    if (!NT_SUCCESS(status)) return ErrnoOfStatus(status);
    TKind kind;
    if (!KindOf(link.Get(), kind) || !kind.Link()) return ENOTDIR;
    if (!Owners().Trusted(link.Get())) return ForeignLinkError;
    if (++links > MaxLinks) return ELOOP;
    std::string target;
    bool relative = false;
    if (!LinkTarget(link.Get(), target, relative)) return ENOTDIR;
    // A relative target is read from the link's folder as it lies on its
    // volume, where ".." is the folder above it.
    if (relative) {
        const std::string folder = FinalPath(at.Get());
        if (folder.empty()) return LastErrno();
        target = folder + "\\" + target;
    }
    std::string root;
    std::deque<std::string> found;
    if (!SplitRooted(target, root, found)) return ENOENT;
    int error = 0;
    THandleOwner opened = OpenRoot(root, error);
    if (!opened) return error;
    at = std::move(opened);
    names.pop_front();
    names.insert(names.begin(), found.begin(), found.end());
    return 0;
}

class TWindowsFileSystem final : public TTargetFileSystem {
public:
    std::unique_ptr<TTargetFolder> OpenFolder(const std::string& path, bool make, int& error) override {
        std::string root;
        std::deque<std::string> names;
        if (path.empty() || path.find('\0') != std::string::npos || !SplitRooted(path, root, names)) {
            error = ENOENT;
            return nullptr;
        }
        THandleOwner at = OpenRoot(root, error);
        if (!at) return nullptr;
        int links = 0;
        while (!names.empty()) {
            std::wstring name;
            if ((error = NameError(names.front(), &name)) != 0) return nullptr;
            THandleOwner next;
            const NTSTATUS status = OpenIn(at.Get(), name, FolderAccess, ShareAll, make ? FILE_OPEN_IF : FILE_OPEN,
                                           FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, next);
            if (!NT_SUCCESS(status)) {
                error = ErrnoOfStatus(status);
                // A link to a file is no folder: refused as a file is.
                return nullptr;
            }
            TKind kind;
            if (!KindOf(next.Get(), kind)) {
                error = LastErrno();
                return nullptr;
            }
            if (kind.Link()) {
                next.Reset();
                if ((error = FollowLink(at, name, names, links)) != 0) return nullptr;
                continue;
            }
            if (kind.Reparse() && (error = OpenThrough(at.Get(), name, FolderAccess, FILE_DIRECTORY_FILE, next)) != 0)
                return nullptr;
            at = std::move(next);
            names.pop_front();
        }
        error = 0;
        return std::make_unique<TWindowsFolder>(std::move(at));
    }

    void SplitPath(const std::string& path, std::string& folder, std::string& name) const override {
        const std::size_t slash = path.find_last_of("\\/");
        const bool drive = path.size() >= 2 && path[1] == ':';
        std::string last;
        std::string above;
        if (slash == std::string::npos) {
            // "D:name" is a name in the current folder of the drive D:.
            above = drive ? path.substr(0, 2) : std::string(".");
            last = path.substr(drive ? 2 : 0);
        } else {
            // A root keeps its separator: "C:\a" is "a" in "C:\", "\a" in "\".
            above = path.substr(0, slash == 0 || (drive && slash == 2) ? slash + 1 : slash);
            last = path.substr(slash + 1);
        }
        if (last == "." || last == "..") last.clear();
        folder = std::move(above);
        name = std::move(last);
    }

    std::string JoinPath(const std::string& folder, const std::string& name) const override {
        if (folder.empty()) return name;
        const bool drive = folder.size() == 2 && folder[1] == ':';
        return folder + (Separator(folder.back()) || drive ? "" : "\\") + name;
    }
};

}  // namespace

TTargetFileSystem& LocalFileSystem() {
    static TWindowsFileSystem files;
    return files;
}

}  // namespace deruzera::platform
