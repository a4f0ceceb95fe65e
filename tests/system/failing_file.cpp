// failing_file IMAGE MOUNTPOINT [OFFSET+LENGTH ...] [-- FUSE OPTIONS]
//
// A FUSE file system holding one read-only file, MOUNTPOINT/disk, with the
// bytes of IMAGE, except that every read touching one of the given byte
// ranges fails with EIO, as a disk's bad sectors do. Runs in the
// foreground until unmounted (fusermount3 -u MOUNTPOINT). Reads go straight
// to it (no page cache), so every read of a bad range fails again. A loop
// device over MOUNTPOINT/disk is a block device with bad sectors.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

int image = -1;
off_t imageSize = 0;
std::vector<std::pair<off_t, off_t>> bad;  // [from, to)

constexpr const char* Name = "/disk";

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, Name) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = imageSize;
    return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, Name + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, struct fuse_file_info* info) {
    if (std::strcmp(path, Name) != 0) return -ENOENT;
    if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    info->direct_io = 1;
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info*) {
    const off_t end = offset + static_cast<off_t>(size);
    for (const auto& [from, to] : bad)
        if (from < end && offset < to) return -EIO;
    const ssize_t n = pread(image, buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: failing_file IMAGE MOUNTPOINT [OFFSET+LENGTH ...] [-- FUSE OPTIONS]\n");
        return 2;
    }
    image = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (image < 0 || fstat(image, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    imageSize = st.st_size;
    int i = 3;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        char* plus = nullptr;
        const long long from = std::strtoll(argv[i], &plus, 0);
        if (!plus || *plus != '+') {
            std::fprintf(stderr, "failing_file: a bad range is OFFSET+LENGTH, not %s\n", argv[i]);
            return 2;
        }
        bad.emplace_back(from, from + std::strtoll(plus + 1, nullptr, 0));
    }
    std::vector<char*> args = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-s"), const_cast<char*>("-o"),
                               const_cast<char*>("ro,allow_other,fsname=failing_file"), argv[2]};
    for (++i; i < argc; ++i) args.push_back(argv[i]);
    static struct fuse_operations operations {};
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    return fuse_main(static_cast<int>(args.size()), args.data(), &operations, nullptr);
}
