// deruzera-mkimage IMAGE PLAN MANIFEST
//
// Formats IMAGE with mkntfs and fills it through libntfs-3g as the plan says
// (no kernel mount, no root), then writes MANIFEST: every file and directory
// ever created, with its MFT record, state and SHA-256. The plan language is
// described in tools/README.md.
#include "tools/Bulk.h"
#include "tools/NtfsImage.h"
#include "tools/PlanText.h"
#include "tools/RawPatch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace deruzera::mkimage {
namespace {

std::uint64_t Number(const std::string& word) {
    return ParseSize(word);
}

struct TFormat {
    std::uint64_t Size = 0;
    std::uint64_t Cluster = 4096;
    std::uint64_t Sector = 512;
    std::string Label;
};

TFormat ParseFormat(const TPlanLine& line) {
    if (line.Command != "format") {
        throw TPlanError("the plan must start with \"format SIZE\"");
    }
    if (line.Args.empty()) {
        throw TPlanError("format: missing SIZE");
    }
    TFormat format;
    format.Size = ParseSize(line.Args[0]);
    for (std::size_t i = 1; i < line.Args.size(); ++i) {
        std::string value;
        if (TakeOption(line.Args[i], "cluster", value)) {
            format.Cluster = ParseSize(value);
        } else if (TakeOption(line.Args[i], "sector", value)) {
            format.Sector = ParseSize(value);
        } else if (TakeOption(line.Args[i], "label", value)) {
            format.Label = value;
        } else {
            throw TPlanError("format: unknown option '" + line.Args[i] + "'");
        }
    }
    if (format.Size < (std::uint64_t{1} << 20)) {
        throw TPlanError("format: an image needs at least 1M");
    }
    return format;
}

// Runs a program, keeping its output to show only when it fails.
void RunQuiet(const std::vector<std::string>& argv) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(argv[0] + " failed:\n" + output);
    }
}

std::string FindMkntfs() {
    if (const char* custom = std::getenv("DERUZERA_MKNTFS")) {
        return custom;
    }
    for (const char* candidate : {"/usr/sbin/mkntfs", "/sbin/mkntfs", "/usr/bin/mkntfs", "/usr/local/sbin/mkntfs"}) {
        if (access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    throw std::runtime_error("mkntfs not found (install ntfs-3g, or set DERUZERA_MKNTFS)");
}

void Format(const std::string& image, const TFormat& format) {
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        throw std::runtime_error("creating " + image + ": " + std::strerror(errno));
    }
    const int rc = ftruncate(fd, static_cast<off_t>(format.Size));
    const int err = errno;
    close(fd);
    if (rc != 0) {
        throw std::runtime_error("sizing " + image + ": " + std::strerror(err));
    }
    std::vector<std::string> argv{FindMkntfs(), "-F", "-Q", "-q", "-s", std::to_string(format.Sector),
                                  "-c", std::to_string(format.Cluster)};
    if (!format.Label.empty()) {
        argv.push_back("-L");
        argv.push_back(format.Label);
    }
    argv.push_back(image);
    RunQuiet(argv);
}

// "seed=N" anywhere among the words; removed from `args`.
std::uint64_t TakeSeed(std::vector<std::string>& args) {
    std::uint64_t seed = 0;
    for (auto it = args.begin(); it != args.end();) {
        std::string value;
        if (TakeOption(*it, "seed", value)) {
            seed = Number(value);
            it = args.erase(it);
        } else {
            ++it;
        }
    }
    return seed;
}

TFill RandomFill(std::uint64_t seed, const std::string& path, bool words = false) {
    return [content = TContent(seed, path, words)](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
        content.Fill(offset, out, n);
    };
}

// "words" anywhere among the words; removed from `args`.
bool TakeWords(std::vector<std::string>& args) {
    const auto it = std::find(args.begin(), args.end(), "words");
    if (it == args.end()) return false;
    args.erase(it);
    return true;
}

// Splits "PATH:VALUE" at the last ':'.
std::pair<std::string, std::string> SplitLast(const std::string& word) {
    const std::size_t colon = word.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == word.size()) {
        throw TPlanError("expected X:Y, got '" + word + "'");
    }
    return {word.substr(0, colon), word.substr(colon + 1)};
}

void Need(const TPlanLine& line, std::size_t least, std::size_t most, const char* usage) {
    if (line.Args.size() < least || line.Args.size() > most) {
        throw TPlanError(std::string("usage: ") + usage);
    }
}

// Edits made to the image once it is unmounted, in plan order.
using TPatch = std::function<void()>;

void Execute(TNtfsImage& image, TPlanLine line, const std::string& imagePath, std::vector<TPatch>& patches) {
    const std::string& c = line.Command;
    if (c == "mkdir") {
        Need(line, 1, 1, "mkdir PATH");
        image.Mkdir(line.Args[0]);
    } else if (c == "file") {
        const std::uint64_t seed = TakeSeed(line.Args);
        const bool words = TakeWords(line.Args);
        Need(line, 2, 2, "file PATH SIZE [seed=N] [words]");
        image.CreateFile(line.Args[0], Number(line.Args[1]), RandomFill(seed, line.Args[0], words));
    } else if (c == "text") {
        Need(line, 1, 1, "text PATH TEXT...");
        const std::string text = line.Text;
        image.CreateFile(line.Args[0], text.size(), [text](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
            std::memcpy(out, text.data() + offset, n);
        });
    } else if (c == "copy") {
        Need(line, 2, 2, "copy PATH HOSTFILE");
        std::ifstream in(line.Args[1], std::ios::binary);
        auto content = std::make_shared<const std::string>(std::istreambuf_iterator<char>(in),
                                                           std::istreambuf_iterator<char>());
        if (!in.is_open() || in.bad()) {
            throw TPlanError("copy: can't read " + line.Args[1]);
        }
        image.CreateFile(line.Args[0], content->size(), [content](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
            std::memcpy(out, content->data() + offset, n);
        });
    } else if (c == "sparse") {
        const std::uint64_t seed = TakeSeed(line.Args);
        Need(line, 2, SIZE_MAX, "sparse PATH SIZE OFFSET:LEN ... [seed=N]");
        std::vector<TByteRange> ranges;
        for (std::size_t i = 2; i < line.Args.size(); ++i) {
            const auto [offset, length] = SplitLast(line.Args[i]);
            ranges.push_back({Number(offset), Number(length)});
        }
        image.CreateSparse(line.Args[0], Number(line.Args[1]), ranges, RandomFill(seed, line.Args[0]));
    } else if (c == "interleave") {
        const std::uint64_t seed = TakeSeed(line.Args);
        Need(line, 3, SIZE_MAX, "interleave CHUNK PATH:SIZE PATH:SIZE ... [seed=N]");
        std::vector<TInterleaved> files;
        for (std::size_t i = 1; i < line.Args.size(); ++i) {
            auto [path, size] = SplitLast(line.Args[i]);
            for (const TInterleaved& f : files) {
                if (f.Path == path) {
                    throw TPlanError("interleave: " + path + " is listed twice");
                }
            }
            files.push_back({path, Number(size), RandomFill(seed, path)});
        }
        image.Interleave(Number(line.Args[0]), files);
    } else if (c == "delete") {
        Need(line, 1, 1, "delete PATH");
        image.Delete(line.Args[0]);
    } else if (c == "stream") {
        Need(line, 2, 2, "stream PATH NAME TEXT...");
        image.AddStream(line.Args[0], line.Args[1], line.Text);
    } else if (c == "times") {
        Need(line, 5, 5, "times PATH CREATED MODIFIED CHANGED ACCESSED");
        auto seconds = [](const std::string& word) { return static_cast<std::int64_t>(Number(word)); };
        image.SetTimes(line.Args[0], seconds(line.Args[1]), seconds(line.Args[2]), seconds(line.Args[3]),
                       seconds(line.Args[4]));
    } else if (c == "link") {
        Need(line, 2, 2, "link EXISTING PATH");
        image.Link(line.Args[0], line.Args[1]);
    } else if (c == "compress") {
        Need(line, 1, 1, "compress DIR");
        image.Compress(line.Args[0]);
    } else if (c == "overwrite") {
        const std::uint64_t seed = TakeSeed(line.Args);
        Need(line, 3, 3, "overwrite DELETED SIZE PATH [seed=N]");
        image.Overwrite(line.Args[0], Number(line.Args[1]), line.Args[2], RandomFill(seed, line.Args[2]));
    } else if (c == "patch-vdl" || c == "patch-encrypted") {
        const bool vdl = c == "patch-vdl";
        Need(line, vdl ? 2 : 1, vdl ? 2 : 1, vdl ? "patch-vdl PATH BYTES" : "patch-encrypted PATH");
        const std::int64_t offset = image.RecordOffset(image.RecordOf(line.Args[0]));
        const std::uint32_t size = image.RecordSize();
        const std::uint64_t bytes = vdl ? Number(line.Args[1]) : 0;
        patches.push_back([=] {
            PatchRecord(imagePath, offset, size, [&](std::vector<std::uint8_t>& record) {
                if (vdl) SetInitializedSize(record, bytes);
                else SetEncrypted(record);
            });
        });
    } else if (c == "delete-in-place") {
        Need(line, 1, 1, "delete-in-place PATH");
        const std::uint32_t size = image.RecordSize();
        for (const std::uint64_t record : image.DeleteInPlace(line.Args[0])) {
            const std::int64_t offset = image.RecordOffset(record);
            patches.push_back([=] { PatchRecord(imagePath, offset, size, SetNotInUse); });
        }
    } else if (c == "zero-boot") {
        Need(line, 0, 0, "zero-boot");
        patches.push_back([=] { ZeroBootSector(imagePath); });
    } else if (c == "rmtree") {
        Need(line, 1, 1, "rmtree PATH");
        image.Rmtree(line.Args[0]);
    } else if (c == "bulk") {
        Need(line, 6, 7, "bulk SEED FILES DIRS MAXDEPTH DELFRACTION DELDIRS [names=mixed]");
        TBulkParams params;
        params.Seed = Number(line.Args[0]);
        params.Files = Number(line.Args[1]);
        params.Dirs = Number(line.Args[2]);
        params.MaxDepth = static_cast<unsigned>(Number(line.Args[3]));
        try {
            std::size_t used = 0;
            params.DeleteFraction = std::stod(line.Args[4], &used);
            if (used != line.Args[4].size()) {
                throw std::invalid_argument("trailing characters");
            }
        } catch (const std::logic_error&) {
            throw TPlanError("bulk: DELFRACTION must be a number in 0..1, got '" + line.Args[4] + "'");
        }
        params.DeleteDirs = Number(line.Args[5]);
        if (line.Args.size() == 7) {
            std::string names;
            if (!TakeOption(line.Args[6], "names", names) || names != "mixed")
                throw TPlanError("bulk: unknown option '" + line.Args[6] + "' (names=mixed)");
            params.MixedNames = true;
        }
        RunBulk(image, params);
    } else if (c == "fragment-mft") {
        Need(line, 1, 1, "fragment-mft N");
        const int runs = image.FragmentMft(Number(line.Args[0]));
        std::fprintf(stderr, "deruzera-mkimage: fragment-mft: $MFT data has %d run%s\n", runs, runs == 1 ? "" : "s");
        if (runs < 2) {
            std::fprintf(stderr, "deruzera-mkimage: warning: the MFT stayed in one piece; try a larger N\n");
        }
    } else if (c == "format") {
        throw TPlanError("format may only be the first command");
    } else {
        throw TPlanError("unknown command '" + c + "'");
    }
}

const char* StateName(TEntryState state) {
    switch (state) {
    case TEntryState::Live: return "live";
    case TEntryState::Deleted: return "deleted";
    case TEntryState::Reused: return "reused";
    }
    return "?";
}

void WriteManifest(const std::string& path, const std::vector<TManifestEntry>& entries) {
    const std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << "state\tkind\trecord\tparent\tsize\tsha256\tpath\n";
        for (const TManifestEntry& e : entries) {
            out << StateName(e.State) << '\t' << (e.Dir ? "dir" : "file") << '\t' << e.Record << '\t' << e.Parent
                << '\t' << e.Size << '\t' << e.Sha256 << '\t' << e.Path << '\n';
        }
        out.flush();
        if (!out) {
            throw std::runtime_error("writing " + temporary + " failed");
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("renaming " + temporary + ": " + std::strerror(errno));
    }
}

std::string ReadPlan(const std::string& name) {
    std::ostringstream text;
    if (name == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(name, std::ios::binary);
        if (!in) {
            throw std::runtime_error("cannot read the plan " + name);
        }
        text << in.rdbuf();
    }
    return text.str();
}

int Main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: deruzera-mkimage IMAGE PLAN MANIFEST   (PLAN may be - for stdin)\n");
        return 2;
    }
    const std::string image = argv[1];
    const std::string planName = argv[2];
    const std::string manifest = argv[3];
    const std::string where = planName == "-" ? "<stdin>" : planName;
    int lineNumber = 0;
    try {
        const std::vector<TPlanLine> plan = ParsePlan(ReadPlan(planName));
        if (plan.empty()) {
            throw TPlanError("the plan is empty");
        }
        lineNumber = plan[0].Number;
        Format(image, ParseFormat(plan[0]));
        TNtfsImage ntfs(image);
        std::vector<TPatch> patches;
        for (std::size_t i = 1; i < plan.size(); ++i) {
            lineNumber = plan[i].Number;
            Execute(ntfs, plan[i], image, patches);
        }
        lineNumber = 0;
        ntfs.Unmount();
        for (const TPatch& patch : patches) patch();
        WriteManifest(manifest, ntfs.Manifest());
    } catch (const std::exception& error) {
        if (lineNumber > 0) {
            std::fprintf(stderr, "%s:%d: error: %s\n", where.c_str(), lineNumber, error.what());
        } else {
            std::fprintf(stderr, "deruzera-mkimage: error: %s\n", error.what());
        }
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace deruzera::mkimage

int main(int argc, char** argv) {
    return deruzera::mkimage::Main(argc, argv);
}
