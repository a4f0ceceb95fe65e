// What the tests of sources share: two NTFS volumes made by the builder, put
// into disks by sfdisk and sgdisk and into containers by qemu-img, ewfacquire
// and split, each made once and shared through the build tree by every test
// process; scans and reads over any device; the fixtures made elsewhere.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "../images/ImageSupport.h"
#include "volume/Device.h"
#include "volume/Device.h"
#include "volume/Scan.h"

namespace source_testing {

namespace fs = std::filesystem;
using image_testing::Entry;
using image_testing::Image;
using image_testing::Quote;
using image_testing::Shell;

// A partition as sfdisk --json reports it.
struct TablePart {
    std::int64_t Start = 0;  // bytes
    std::int64_t Size = 0;   // bytes
    std::string Type;        // as sfdisk prints it ("7", GUID)
    std::string Name;
};

struct Disks {
    Image Alpha, Beta;           // bare volumes ("Alpha" with deleted files in folders, "Beta")
    fs::path Dir;                // where the disks and containers below are kept
    fs::path Mbr;                // primary Alpha, extended: logical Beta, logical empty Linux partition
    fs::path Gpt;                // Alpha ("Basic data"), Beta ("Second")
    std::vector<TablePart> MbrParts, GptParts;  // in table order, as sfdisk reads them
};

// Built once; every test process shares the files.
const Disks& TestDisks();

// `build` makes the files of `name` in the folder it is given; done once in
// `dir` and shared (made in a folder of its own, then renamed into place).
fs::path Derived(const fs::path& dir, const std::string& name, const std::function<void(const fs::path&)>& build);

// Runs a command; false with its output added to the test's failure when it
// exits non-zero.
bool Execute(const std::string& command);

// The partitions sfdisk reads from `disk`.
std::vector<TablePart> SfdiskParts(const fs::path& disk);

// A deleted file as a scan lists it.
struct Found {
    std::string Path, Name;
    std::int64_t Size = 0;
    bool operator==(const Found&) const = default;
};

struct ScanResult {
    deruzera::TScanOutcome Outcome;
    std::map<std::int64_t, Found> Files;  // by record
};

// The library scan over `device` as drive C:.
ScanResult ScanDevice(deruzera::TDevice& device);

// The SHA-256 of record `record`'s content read through `device` (the
// content of a deleted file as recovery plans it); "" where it can't be.
std::string RecoveredSha(deruzera::TDevice& device, std::int64_t record);

// The SHA-256 of the data of record `record`, deleted or not.
std::string ContentSha(deruzera::TDevice& device, std::int64_t record);

// The SHA-256 of a whole device, read in large pieces; "" on a read error.
std::string DeviceSha(deruzera::TDevice& device);

// The whole content of a file.
std::string ReadText(const fs::path& path);

// A file opened read-only as a device.
std::shared_ptr<deruzera::TDevice> OpenFile(const fs::path& path);

// The folder of fixtures made elsewhere (vsstest.qcow2, the BitLocker
// volumes): $DERUZERA_FIXTURES, else the one the build was configured with;
// empty where it holds nothing.
fs::path FixturesDir();

// A temporary folder of its own for one test, removed at its end.
struct TempDir {
    TempDir();
    ~TempDir();
    fs::path Path;
};

}  // namespace source_testing
