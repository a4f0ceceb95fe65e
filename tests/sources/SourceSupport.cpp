#include "SourceSupport.h"

#include <unistd.h>

#include <fstream>
#include <regex>

#include <gtest/gtest.h>

#include "platform/RawDevice.h"
#include "tools/Sha256.h"
#include "volume/Mft.h"
#include "volume/Recover.h"
#include "volume/Volume.h"

using namespace deruzera;

namespace source_testing {
namespace {

// Alpha: deleted files in folders, a fragmented one, a few hundred more in
// a bulk tree so that its MFT spans many clusters. Beta: small.
const char* const AlphaPlan =
    "format 24M label=Alpha\n"
    "mkdir /Docs/Old\n"
    "file /Docs/keep.bin 20K seed=1\n"
    "file /Docs/Old/report.bin 300K seed=2\n"
    "text /Docs/note.txt a note of a few bytes\n"
    "interleave 8K /Docs/frag1.bin:120K /Docs/frag2.bin:120K seed=3\n"
    "file /top.bin 50K seed=4\n"
    "bulk 7 300 12 3 0.5 2\n"
    "delete /Docs/Old/report.bin\n"
    "delete /Docs/note.txt\n"
    "delete /Docs/frag1.bin\n"
    "delete /top.bin\n";
const char* const BetaPlan =
    "format 16M label=Beta\n"
    "file /b/one.bin 40K seed=5\n"
    "file /b/two.bin 3K seed=6\n"
    "delete /b/one.bin\n";

struct Collected : TScanSink {
    std::map<std::int64_t, source_testing::Found> files;
    void Line(const TLogLine&) override {}
    void Found(const TFoundBatch& batch) override {
        for (const TFoundFiles& f : batch.Files)
            files[f.Record] = {batch.FilePath(f), batch.Files.NameText(f), f.FileSize};
    }
};

std::string HashContent(TDevice& device, const TFileContent& content) {
    TSha256 sha;
    const TReadReport report = ReadFileContent(device, content, [&](const std::uint8_t* bytes, std::uint64_t n) {
        if (bytes) {
            sha.Update(bytes, n);
        } else {
            static const std::vector<std::uint8_t> zeros(1 << 16);
            for (std::uint64_t done = 0; done < n;) {
                const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, zeros.size()));
                sha.Update(zeros.data(), piece);
                done += piece;
            }
        }
    });
    if (report.Error) return "read error " + std::to_string(report.Error);
    return sha.FinalHex();
}

void PutAt(const fs::path& disk, const fs::path& volume, std::int64_t offset) {
    ASSERT_TRUE(Execute("dd if=" + Quote(volume) + " of=" + Quote(disk) + " bs=1M oflag=seek_bytes seek=" +
                    std::to_string(offset) + " conv=notrunc,sparse status=none"));
}

}  // namespace

bool Execute(const std::string& command) {
    const std::string out = Shell(command + " 2>&1; echo \"rc=$?\"");
    const bool ok = out.size() >= 5 && out.compare(out.size() - 5, 5, "rc=0\n") == 0;
    if (!ok) ADD_FAILURE() << command << "\n" << out;
    return ok;
}

fs::path Derived(const fs::path& dir, const std::string& name, const std::function<void(const fs::path&)>& build) {
    const fs::path done = dir / name;
    if (fs::exists(done)) return done;
    const fs::path work = dir / (name + ".part" + std::to_string(::getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    build(work);
    std::error_code ec;
    fs::rename(work, done, ec);  // another process may have made it meanwhile
    if (ec) fs::remove_all(work);
    return done;
}

std::vector<TablePart> SfdiskParts(const fs::path& disk) {
    std::vector<TablePart> parts;
    const std::string dump = Shell("sfdisk -d " + Quote(disk) + " 2>/dev/null");
    const std::regex line(R"(start=\s*(\d+),\s*size=\s*(\d+),\s*type=([0-9A-Fa-f-]+)(.*))");
    const std::regex name(R"(name=\"([^\"]*)\")");
    const std::regex sector(R"(sector-size:\s*(\d+))");
    std::smatch m;
    std::int64_t ss = 512;
    if (std::regex_search(dump, m, sector)) ss = std::stoll(m[1]);
    for (std::sregex_iterator it(dump.begin(), dump.end(), line), end; it != end; ++it) {
        TablePart p;
        p.Start = std::stoll((*it)[1]) * ss;
        p.Size = std::stoll((*it)[2]) * ss;
        p.Type = (*it)[3];
        const std::string rest = (*it)[4];
        if (std::regex_search(rest, m, name)) p.Name = m[1];
        parts.push_back(p);
    }
    return parts;
}

const Disks& TestDisks() {
    static const Disks disks = [] {
        Disks d;
        d.Alpha = image_testing::Build("src-alpha", AlphaPlan);
        d.Beta = image_testing::Build("src-beta", BetaPlan);
        d.Dir = d.Alpha.file.parent_path() / ("sources-" + d.Alpha.sha.substr(0, 12) + d.Beta.sha.substr(0, 12));
        fs::create_directories(d.Dir);
        const fs::path mbr = Derived(d.Dir, "mbr", [&](const fs::path& w) {
            const fs::path disk = w / "disk.img";
            ASSERT_TRUE(Execute("truncate -s 48M " + Quote(disk)));
            ASSERT_TRUE(Execute("printf 'label: dos\\nstart=2048, size=49152, type=7\\ntype=5\\nsize=32768, type=7\\n"
                            "size=4096, type=83\\n' | sfdisk -q " + Quote(disk)));
            const auto parts = SfdiskParts(disk);
            ASSERT_EQ(parts.size(), 4u);
            PutAt(disk, d.Alpha.file, parts[0].Start);
            PutAt(disk, d.Beta.file, parts[2].Start);
        });
        const fs::path gpt = Derived(d.Dir, "gpt", [&](const fs::path& w) {
            const fs::path disk = w / "disk.img";
            ASSERT_TRUE(Execute("truncate -s 48M " + Quote(disk)));
            ASSERT_TRUE(Execute("sgdisk -o -n 1:2048:+24M -t 1:0700 -c '1:Alpha part' -n 2:0:+16M -t 2:0700 -c 2:Second " +
                            Quote(disk)));
            const auto parts = SfdiskParts(disk);
            ASSERT_EQ(parts.size(), 2u);
            PutAt(disk, d.Alpha.file, parts[0].Start);
            PutAt(disk, d.Beta.file, parts[1].Start);
        });
        d.Mbr = mbr / "disk.img";
        d.Gpt = gpt / "disk.img";
        d.MbrParts = SfdiskParts(d.Mbr);
        d.GptParts = SfdiskParts(d.Gpt);
        return d;
    }();
    return disks;
}

ScanResult ScanDevice(TDevice& device) {
    Collected sink;
    const std::atomic<bool> stop{false};
    ScanResult result;
    result.Outcome = ScanDrive(device, "C:", sink, stop);
    result.Files = std::move(sink.files);
    return result;
}

std::string RecoveredSha(TDevice& device, std::int64_t record) {
    TOpenFailure failure;
    const auto volume = TNtfsVolume::Open(device, "C:", nullptr, failure);
    if (!volume) return "no volume";
    const TRecoveryPlan plan = PlanRecovery(*volume, record);
    if (plan.End != TPlanEnd::Ready) return "no plan";
    return HashContent(device, plan.Content);
}

std::string ContentSha(TDevice& device, std::int64_t record) {
    TVolume volume;
    TOpenFailure failure;
    if (LoadVolume(device, "C:", volume, nullptr, failure) != TScanEnd::Completed) return "no volume";
    TDynamicCharArray bytes;
    if (ReadFileRecord(device, volume, record, bytes) != 0) return "unreadable record";
    try {
        FixupRecord(bytes);
        const std::uint16_t sequence = ReadU16(bytes, RecordHeader::Sequence);
        const TDataStream stream =
            StreamOfRecord(bytes, record, volume, &device, FetchFromDevice(device, volume, record, sequence));
        return HashContent(device, PlanContent(stream, volume));
    } catch (const ERecordError& e) {
        return std::string("damaged record: ") + e.what();
    }
}

std::string DeviceSha(TDevice& device) {
    // sha256sum hashes several times faster than a build with sanitizers.
    char name[] = "/tmp/deruzera-sha-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) return "";
    ::close(fd);
    FILE* pipe = ::popen(("sha256sum > " + Quote(name)).c_str(), "w");
    std::vector<std::uint8_t> buffer(4 << 20);
    bool ok = pipe != nullptr;
    for (std::int64_t at = 0; ok;) {
        const std::int64_t n = device.ReadAt(at, buffer.data(), buffer.size());
        if (n < 0) ok = false;
        if (n <= 0) break;
        ok = std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), pipe) == static_cast<std::size_t>(n);
        at += n;
    }
    if (pipe) ::pclose(pipe);
    const std::string out = ReadText(name);
    fs::remove(name);
    return ok && out.size() >= 64 ? out.substr(0, 64) : "";
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::shared_ptr<TDevice> OpenFile(const fs::path& path) {
    return platform::OpenDeviceFile(path.string());
}

fs::path FixturesDir() {
    const char* env = std::getenv("DERUZERA_FIXTURES");
    const fs::path dir = env && *env ? fs::path(env) : fs::path(DERUZERA_FIXTURES_DIR);
    std::error_code ec;
    return fs::is_directory(dir, ec) ? dir : fs::path();
}

TempDir::TempDir() {
    char pattern[] = "/tmp/deruzera-sources-XXXXXX";
    Path = ::mkdtemp(pattern);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(Path, ec);
}

}  // namespace source_testing
