// The Windows target on a Windows system (Wine in the suite): names Windows
// would take for a device, a stream or another name are never opened, files
// are made only where nothing is and changed through their handles, chosen
// folders are reached one name at a time at any length, and reparse points
// are not followed (where the system makes them: Wine makes none).
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/Target.h"
#include "tests/volume/Fixture.h"
#include "volume/LocalPath.h"
#include "volume/Names.h"

using namespace deruzera;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t Modified = 132000000001234567ull;  // 2019, with 100 ns units

class WindowsTarget : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("deruzera-target-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        int error = 0;
        folder = files.OpenFolder(LocalPathText(dir), false, error);
        ASSERT_TRUE(folder) << error;
    }
    void TearDown() override {
        folder.reset();
        testing_support::RemoveTree(dir);
    }
    // The names in `dir`, as the system lists them.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.push_back(LocalPathText(entry.path().filename()));
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::string Text(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::int64_t Ticks(const fs::path& path) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
        return static_cast<std::int64_t>(std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32 |
                                         data.ftLastWriteTime.dwLowDateTime);
    }

    TTargetFileSystem& files = platform::LocalFileSystem();
    fs::path dir;
    std::unique_ptr<TTargetFolder> folder;
};

TEST_F(WindowsTarget, NamesWindowsTakesForSomethingElseAreRefusedAndTheirPortableNamesWritten) {
    // Devices (the console, ports, printers), a stream of "a", names whose
    // closing dots and blanks Windows drops, refused characters, controls.
    const std::vector<std::string> refused = {
        "con", "CON.txt", "nul .txt", "Aux.tar.gz", "prn", "com0", "COM9.log", "lpt1", "LPT\xC2\xB9.txt",
        "conin$", "CONOUT$.x", "a:b", "a:b:$DATA", "lt<", "gt>", "q?", "st*r", "p|pe", "quo\"te", "trail.",
        "blank ", "dots...", "bell\x07", "tab\tname"};
    for (const std::string& name : refused) {
        int error = 0;
        EXPECT_FALSE(folder->Create(name, error)) << name;
        EXPECT_EQ(error, EINVAL) << name;
        bool made = true;
        EXPECT_FALSE(folder->Folder(name, error, &made)) << name;
        EXPECT_EQ(error, EINVAL) << name;
        EXPECT_FALSE(made);
        EXPECT_FALSE(WindowsTakesName(name)) << name;
        // A device is something in every folder; the others are nothing.
        EXPECT_EQ(folder->Entry(name).Kind, WindowsDeviceName(name) ? TEntryKind::Other : TEntryKind::None) << name;
    }
    EXPECT_TRUE(Names().empty());
    // What the batch writes instead: each one taken, under that very name.
    std::vector<std::string> written;
    for (const std::string& name : refused) {
        const std::string portable = PortableName(name);
        int error = 0;
        auto file = folder->Create(portable, error);
        ASSERT_TRUE(file) << portable << ": " << error;
        EXPECT_EQ(file->Write(name.data(), name.size()), 0);
        EXPECT_EQ(file->Close(), 0);
        EXPECT_EQ(Text(dir / LocalPath(portable)), name);
        written.push_back(portable);
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(Names(), written);
    // Names that are no folder entry, and one past the 255 units of one.
    int error = 0;
    for (const std::string name : {"", ".", "..", "a\\b", "a/b"}) {
        EXPECT_FALSE(folder->Create(name, error)) << name;
        EXPECT_EQ(error, EINVAL) << name;
    }
    EXPECT_FALSE(folder->Create(std::string(256, 'n'), error));
    EXPECT_EQ(error, ENAMETOOLONG);
    EXPECT_TRUE(folder->Create(std::string(255, 'n'), error));
    // Names Windows takes as they are, Unicode and a leading dot among them.
    for (const std::string name : {"Σύνοδος 😀 年度.txt", ".profile", "com10", "console", "a b.c d"}) {
        EXPECT_TRUE(WindowsTakesName(name)) << name;
        EXPECT_TRUE(folder->Create(name, error)) << name << ": " << error;
    }
}

TEST_F(WindowsTarget, FilesAreMadeOnlyWhereNothingIsAndChangedThroughTheirHandles) {
    int error = 0;
    // Holes, a length that ends in one, and the time to the 100 ns.
    auto file = folder->Create("data.bin", error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Write("head", 4), 0);
    EXPECT_EQ(file->Skip(5000), 0);
    EXPECT_EQ(file->Write("tail", 4), 0);
    EXPECT_EQ(file->Resize(9000), 0);
    EXPECT_TRUE(file->SetModified(Modified));
    // No time Windows can't hold, and the file keeps its own.
    EXPECT_FALSE(file->SetModified(0xFFFFFFFFFFFFFFFFull));
    EXPECT_EQ(file->Sync(), 0);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_EQ(Text(dir / "data.bin"), "head" + std::string(5000, '\0') + "tail" + std::string(8992 - 5000, '\0'));
    EXPECT_EQ(Ticks(dir / "data.bin"), static_cast<std::int64_t>(Modified));

    // Nothing that is there is made again: a file in any case of its
    // letters, a folder; a folder is not made where a file is.
    EXPECT_FALSE(folder->Create("data.bin", error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_FALSE(folder->Create("DATA.BIN", error));
    EXPECT_EQ(error, EEXIST);
    bool made = false;
    auto sub = folder->Folder("sub", error, &made);
    ASSERT_TRUE(sub);
    EXPECT_TRUE(made);
    EXPECT_TRUE(folder->Folder("Sub", error, &made));
    EXPECT_FALSE(made);
    EXPECT_FALSE(folder->Create("sub", error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_FALSE(folder->Folder("data.bin", error, &made));
    EXPECT_EQ(error, ENOTDIR);
    EXPECT_EQ(Text(dir / "data.bin").size(), 9000u);

    // What each entry is; a read-only file is no file to replace.
    EXPECT_EQ(folder->Entry("data.bin").Kind, TEntryKind::File);
    EXPECT_TRUE(folder->Entry("data.bin").Replaceable);
    EXPECT_EQ(folder->Entry("sub").Kind, TEntryKind::Folder);
    EXPECT_EQ(folder->Entry("none").Kind, TEntryKind::None);
    std::ofstream(dir / "kept.txt") << "kept";
    ASSERT_TRUE(SetFileAttributesW((dir / "kept.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(folder->Entry("kept.txt").Kind, TEntryKind::File);
    EXPECT_FALSE(folder->Entry("kept.txt").Replaceable);

    // A file made in the folder held, however the folder is named meanwhile.
    fs::rename(dir / "sub", dir / "moved");
    auto inner = sub->Create("inner.txt", error);
    ASSERT_TRUE(inner) << error;
    EXPECT_EQ(inner->Write("in", 2), 0);
    EXPECT_EQ(inner->Close(), 0);
    EXPECT_EQ(Text(dir / "moved/inner.txt"), "in");

    // A rename takes the place of a file; a removal removes only a file.
    EXPECT_EQ(folder->Rename("data.bin", "DATA (1).bin"), 0);
    EXPECT_EQ(Text(dir / "DATA (1).bin").size(), 9000u);
    auto other = folder->Create("other.txt", error);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->Write("other", 5), 0);
    EXPECT_EQ(other->Close(), 0);
    EXPECT_EQ(folder->Rename("other.txt", "DATA (1).bin"), 0);
    EXPECT_EQ(Text(dir / "DATA (1).bin"), "other");
    EXPECT_EQ(folder->Rename("missing", "x"), ENOENT);
    EXPECT_EQ(folder->Rename("DATA (1).bin", "con"), EINVAL);
    EXPECT_EQ(folder->Remove("DATA (1).bin"), 0);
    EXPECT_NE(folder->Remove("moved"), 0);
    EXPECT_TRUE(fs::is_directory(dir / "moved"));
    SetFileAttributesW((dir / "kept.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ((std::vector<std::string>{"kept.txt", "moved"}), Names());
}

TEST_F(WindowsTarget, ChosenFoldersAreReachedNameByNameAtAnyLength) {
    int error = 0;
    // Missing folders are made where asked, with either separator and
    // names that climb back; nothing is made where not asked.
    const std::string base = LocalPathText(dir);
    EXPECT_FALSE(files.OpenFolder(base + "\\a\\b", false, error));
    EXPECT_EQ(error, ENOENT);
    ASSERT_TRUE(files.OpenFolder(base + "/a/./x/../b", true, error)) << error;
    EXPECT_TRUE(fs::is_directory(dir / "a/b"));
    EXPECT_FALSE(fs::exists(dir / "a/x"));
    // Relative to the current folder, and to the current folder of its drive.
    const fs::path current = fs::current_path();
    fs::current_path(dir);
    EXPECT_TRUE(files.OpenFolder("a\\b", false, error)) << error;
    EXPECT_TRUE(files.OpenFolder(base.substr(0, 2) + "a", false, error)) << error;
    EXPECT_TRUE(files.OpenFolder(".", false, error)) << error;
    fs::current_path(current);
    // A file on the way, a device's name on the way.
    std::ofstream(dir / "file") << "x";
    EXPECT_FALSE(files.OpenFolder(base + "\\file\\deeper", true, error));
    EXPECT_EQ(error, ENOTDIR);
    EXPECT_FALSE(files.OpenFolder(base + "\\con\\deeper", true, error));
    EXPECT_EQ(error, EINVAL);
    EXPECT_FALSE(fs::exists(dir / "con"));

    // A folder by a path of 1,200 characters, made and written to; the path
    // as Windows gives it at that length ("\\?\").
    std::string deep = base;
    for (int i = 0; i < 6; ++i) deep += "\\" + std::string(199, static_cast<char>('a' + i));
    auto deepFolder = files.OpenFolder(deep, true, error);
    ASSERT_TRUE(deepFolder) << error;
    auto file = deepFolder->Create("far.txt", error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->Write("far", 3), 0);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_TRUE(files.OpenFolder("\\\\?\\" + deep, false, error)) << error;
    const std::wstring wide = L"\\\\?\\" + LocalPath(deep + "\\far.txt").wstring();
    EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);

    // Paths taken apart and put together as Windows reads them.
    struct TSplit {
        std::string path, folder, name;
    };
    for (const TSplit& s : std::vector<TSplit>{{"C:\\a.txt", "C:\\", "a.txt"},
                                               {"C:a.txt", "C:", "a.txt"},
                                               {"a.txt", ".", "a.txt"},
                                               {"\\a.txt", "\\", "a.txt"},
                                               {"/tmp/x/a.txt", "/tmp/x", "a.txt"},
                                               {"\\\\server\\share\\a.txt", "\\\\server\\share", "a.txt"},
                                               {"C:\\dir\\", "C:\\dir", ""},
                                               {"C:\\dir\\..", "C:\\dir", ""}}) {
        std::string splitFolder, splitName;
        files.SplitPath(s.path, splitFolder, splitName);
        EXPECT_EQ(splitFolder, s.folder) << s.path;
        EXPECT_EQ(splitName, s.name) << s.path;
    }
    EXPECT_EQ(files.JoinPath("C:\\", "a"), "C:\\a");
    EXPECT_EQ(files.JoinPath("C:", "a"), "C:a");
    EXPECT_EQ(files.JoinPath("/tmp/x", "a"), "/tmp/x\\a");
}

// A junction at `link` to `target`, made as mklink /J makes one: 0, or the
// system's error where it makes none (Wine).
DWORD MakeJunction(const fs::path& link, const fs::path& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return GetLastError();
    const HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    const std::wstring substitute = L"\\??\\" + fs::absolute(target).wstring();
    const std::size_t bytes = substitute.size() * sizeof(wchar_t);
    // Tag, length, reserved; substitute name's offset and length, print
    // name's offset and length; the names, each closed by a NUL.
    std::vector<char> data(16 + bytes + 4, 0);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const auto put = [&](std::size_t at, std::size_t value) {
        const auto v = static_cast<std::uint16_t>(value);
        std::memcpy(data.data() + at, &v, 2);
    };
    std::memcpy(data.data(), &tag, 4);
    put(4, data.size() - 8);
    put(8, 0);
    put(10, bytes);
    put(12, bytes + 2);
    put(14, 0);
    std::memcpy(data.data() + 16, substitute.data(), bytes);
    DWORD returned = 0;
    const DWORD error = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()),
                                        nullptr, 0, &returned, nullptr)
                            ? 0
                            : GetLastError();
    CloseHandle(handle);
    if (error != 0) RemoveDirectoryW(link.c_str());
    return error;
}

TEST_F(WindowsTarget, ReparsePointsBelowTheChosenFolderAreNotFollowed) {
    fs::create_directories(dir / "elsewhere");
    if (const DWORD made = MakeJunction(dir / "junction", dir / "elsewhere"); made != 0)
        GTEST_SKIP() << "this system makes no junctions (FSCTL_SET_REPARSE_POINT fails with error " << made
                     << "; Wine makes no reparse points)";
    int error = 0;
    EXPECT_EQ(folder->Entry("junction").Kind, TEntryKind::Link);
    EXPECT_FALSE(folder->Folder("junction", error));
    EXPECT_EQ(error, ENOTDIR);
    EXPECT_FALSE(folder->Create("junction", error));
    EXPECT_EQ(error, EEXIST);
    // The user's own junction on the way to a chosen folder is followed.
    auto through = files.OpenFolder(LocalPathText(dir / "junction"), false, error);
    ASSERT_TRUE(through) << error;
    auto file = through->Create("via.txt", error);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Close(), 0);
    EXPECT_TRUE(fs::exists(dir / "elsewhere/via.txt"));
    RemoveDirectoryW((dir / "junction").c_str());
}

}  // namespace
