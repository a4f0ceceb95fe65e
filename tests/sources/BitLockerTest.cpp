// BitLocker volumes made by Windows (bitlocker-images.tar.xz, with their
// keys and the SHA-256 of each unlocked volume in images.conf), unlocked
// through libbde.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "SourceSupport.h"
#include "platform/BdeCrypt.h"
#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Sources.h"
#include "volume/Identify.h"

using namespace deruzera;
using namespace deruzera::platform;
using namespace source_testing;

namespace {

struct Volume {
    std::string Name;
    std::map<std::string, std::string> Keys;  // PW, RP, SHA256SUM, ...
    std::string Get(const std::string& key) const {
        const auto it = Keys.find(key);
        return it == Keys.end() ? std::string() : it->second;
    }
};

std::vector<Volume> ReadConf(const fs::path& conf) {
    std::vector<Volume> volumes;
    std::ifstream in(conf);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            volumes.push_back({line.substr(1, line.size() - 2), {}});
        } else if (const auto eq = line.find('='); eq != std::string::npos && !volumes.empty()) {
            volumes.back().Keys[line.substr(0, eq)] = line.substr(eq + 1);
        }
    }
    return volumes;
}

// The archive unpacked once into the build tree; empty where it is absent.
fs::path Unpacked() {
    const fs::path fixtures = FixturesDir();
    const fs::path archive = fixtures.empty() ? fs::path() : fixtures / "bitlocker-images.tar.xz";
    if (archive.empty() || !fs::exists(archive)) return {};
    const fs::path dir = fs::path(DERUZERA_IMAGE_DIR) / ("bitlk-" + std::to_string(fs::file_size(archive)));
    fs::create_directories(dir.parent_path());
    return Derived(dir.parent_path(), dir.filename().string(), [&](const fs::path& w) {
        Execute("tar -xJf " + Quote(archive) + " -C " + Quote(w));
    }) / "bitlk-images";
}

// The images.conf of the fixtures lists 21 volumes; one test for each
// position, so that the suite runs them side by side.
constexpr int Positions = 24;

// Decrypting a whole volume, and BitLocker's key stretching, are libbde's
// work, which no sanitizer looks into but which runs several times slower
// under one: the build with sanitizers reads the first and last 4 MiB
// instead, of every fourth volume.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool WholeVolumes = false;
constexpr int Every = 4;
#else
constexpr bool WholeVolumes = true;
constexpr int Every = 1;
#endif

class BitLocker : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        folder = Unpacked();
        if (folder.empty())
            GTEST_SKIP() << "bitlocker-images.tar.xz is not there: set DERUZERA_FIXTURES to the folder of fixtures";
        volumes = ReadConf(folder / "images.conf");
        ASSERT_GE(volumes.size(), 20u);
    }
    fs::path folder;
    std::vector<Volume> volumes;
};

// Volumes libbde (Debian 12's 20190102) does not read, in its own words.
const std::set<std::string> Unsupported = {
    "bitlk-aes-xts-256",                      // "invalid tweak key value too small"
    "bitlk-aes-xts-128-clearkey-only",        // "unsupported FVE metadata entry version"
    "bitlk-aes-xts-128-eow",                  // "unsupported identifier"
    "bitlk-partially-encrypted-aes-cbc-128",  // "unsupported identifier"
};

// Bytes [at, at + n) of `device`, or fewer where it reads fewer.
std::vector<std::uint8_t> Bytes(TDevice& device, std::int64_t at, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    std::size_t done = 0;
    while (done < n) {
        const std::int64_t got = device.ReadAt(at + static_cast<std::int64_t>(done), out.data() + done, n - done);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
}

// Every volume libbde opens is one whose sectors we decrypt ourselves
// (Windows 7 and later, AES-CBC with or without the diffuser, AES-XTS
// 128): the own reads are engaged, and around every seam between them and
// libbde's (the relocated header, the metadata areas, the encrypted size,
// the last sector) a read across it gives libbde's bytes.
void ExpectOwnReadsAgree(const std::string& name, const std::shared_ptr<TDevice>& device) {
    const TBitLockerReads reads = BitLockerReads(device);
    ASSERT_FALSE(reads.Own.empty()) << name << ": read through libbde alone";
    ASSERT_TRUE(reads.Library);
    const std::int64_t size = device->Size();
    std::vector<std::int64_t> seams = {0, size};
    std::int64_t own = 0;
    for (const TByteRange& r : reads.Own) {
        seams.push_back(r.Offset);
        seams.push_back(r.Offset + static_cast<std::int64_t>(r.Length));
        own += static_cast<std::int64_t>(r.Length);
    }
    // Nearly all of the volume is read by our own decryption (a To Go
    // volume relocates its first 5 MiB, its FAT area).
    EXPECT_GT(own, size * 4 / 5) << name;
    // 40 KiB across each seam, starting mid-sector, in one read.
    constexpr std::int64_t Span = 40 << 10;
    for (const std::int64_t seam : seams) {
        const std::int64_t at = std::clamp<std::int64_t>(seam - Span / 2 + 123, 0, size - Span);
        const std::vector<std::uint8_t> mine = Bytes(*device, at, Span);
        EXPECT_EQ(mine.size(), static_cast<std::size_t>(Span)) << name << " at " << at;
        EXPECT_TRUE(mine == Bytes(*reads.Library, at, Span)) << name << ": the seam at " << seam;
    }
}

}  // namespace

// Each volume is read whole with one of its keys (the password at even
// positions, the recovery password at odd ones, so that both are read
// whole across the set), and where it has both, the first and last 4 MiB
// through the other key are the same bytes.
TEST_P(BitLocker, PasswordAndRecoveryPasswordGiveTheUnlockedBytes) {
    if (GetParam() >= static_cast<int>(volumes.size())) GTEST_SKIP() << "images.conf lists fewer volumes";
    if (GetParam() % Every != 0) GTEST_SKIP() << "the build with sanitizers reads every fourth volume";
    const Volume& v = volumes[static_cast<std::size_t>(GetParam())];
    const auto device = OpenFile(folder / (v.Name + ".img"));
    ASSERT_TRUE(device) << v.Name;
    std::uint8_t boot[512];
    ASSERT_EQ(device->ReadAt(0, boot, sizeof boot), 512);
    EXPECT_TRUE(IsBitLockerBootSector(boot)) << v.Name;

    std::vector<std::string> keys;
    for (const char* key : {"PW", "RP"})
        if (!v.Get(key).empty()) keys.push_back(key);
    if (GetParam() % 2 == 1) std::reverse(keys.begin(), keys.end());
    auto unlock = [&](const std::string& key) {
        TBitLockerKeys k;
        (key == "PW" ? k.Password : k.RecoveryPassword) = v.Get(key);
        return OpenBitLocker(device, k);
    };
    std::shared_ptr<TDevice> whole;
    for (const std::string& key : keys) {
        const TOpened opened = unlock(key);
        if (Unsupported.count(v.Name)) {
            // What libbde can't read ends with its reason.
            EXPECT_EQ(opened.Failure.End, TSourceEnd::BitLockerFailed) << v.Name;
            EXPECT_NE(opened.Failure.Message.find("libbde_"), std::string::npos) << opened.Failure.Message;
            continue;
        }
        ASSERT_TRUE(opened.Device) << v.Name << " " << key << ": " << opened.Failure.Message;
        // Our own decryption found the key too (the Unicode password, the
        // recovery password).
        EXPECT_FALSE(BitLockerReads(opened.Device).Own.empty()) << v.Name << " " << key << ": read through libbde alone";
        if (!whole) {
            whole = opened.Device;
            ExpectOwnReadsAgree(v.Name, whole);
            if (WholeVolumes && !v.Get("SHA256SUM").empty()) {
                EXPECT_EQ(DeviceSha(*whole), v.Get("SHA256SUM")) << v.Name << " " << key;
            }
            continue;
        }
        const std::int64_t size = whole->Size();
        ASSERT_EQ(opened.Device->Size(), size);
        std::vector<std::uint8_t> a(4 << 20), b(4 << 20);
        for (const std::int64_t at : {std::int64_t{0}, size - static_cast<std::int64_t>(a.size())}) {
            ASSERT_EQ(whole->ReadAt(at, a.data(), a.size()), static_cast<std::int64_t>(a.size()));
            ASSERT_EQ(opened.Device->ReadAt(at, b.data(), b.size()), static_cast<std::int64_t>(b.size()));
            EXPECT_TRUE(a == b) << v.Name << " " << key << " at " << at;
        }
    }
    // A wrong password is refused (checked on a few volumes: each costs
    // BitLocker's key stretching).
    if (!Unsupported.count(v.Name) && !v.Get("PW").empty() && GetParam() % 4 == 0) {
        TBitLockerKeys wrong;
        wrong.Password = v.Get("PW") + "x";
        EXPECT_EQ(OpenBitLocker(device, wrong).Failure.End, TSourceEnd::WrongKey) << v.Name;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, BitLocker, ::testing::Range(0, Positions));

TEST(BitLockerSource, StartupKeysLockedVolumesAndMalformedRecoveryPasswords) {
    const fs::path folder = Unpacked();
    if (folder.empty()) GTEST_SKIP() << "bitlocker-images.tar.xz is not there: set DERUZERA_FIXTURES to the folder of fixtures";
    const std::vector<Volume> volumes = ReadConf(folder / "images.conf");
    // A startup key unlocks the volume it was made for, and no other.
    int unlockedByKey = 0;
    for (const Volume& v : volumes) {
        if (v.Name.find("startup-key") == std::string::npos) continue;
        const auto device = OpenFile(folder / (v.Name + ".img"));
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".BEK") continue;
            TBitLockerKeys keys;
            keys.StartupKeyFile = entry.path().string();
            const TOpened opened = OpenBitLocker(device, keys);
            if (!opened.Device) {
                EXPECT_EQ(opened.Failure.End, TSourceEnd::WrongKey) << v.Name << " " << entry.path();
                continue;
            }
            EXPECT_FALSE(BitLockerReads(opened.Device).Own.empty()) << v.Name << ": read through libbde alone";
            if (WholeVolumes) {
                EXPECT_EQ(DeviceSha(*opened.Device), v.Get("SHA256SUM")) << v.Name;
            }
            ++unlockedByKey;
        }
    }
    EXPECT_EQ(unlockedByKey, 2);

    // Through the source: listed as BitLocker, locked without a key, the
    // NTFS inside once unlocked.
    const std::string path = (folder / "bitlk-aes-xts-128.img").string();
    TSource source = OpenSource(path);
    ASSERT_EQ(source.Volumes.size(), 1u);
    EXPECT_EQ(source.Volumes[0].FileSystem, TFileSystemKind::BitLocker);
    EXPECT_FALSE(source.Volumes[0].Unlocked);
    EXPECT_EQ(source.Volumes[0].Problem.End, TSourceEnd::Opened);
    EXPECT_EQ(OpenVolume(source, {}, {}).Failure.End, TSourceEnd::Locked);
    TSourceOptions options;
    options.Keys.RecoveryPassword = "235818-357951-253979-013365-241120-245575-342914-591910";
    source = OpenSource(path, options);
    EXPECT_TRUE(source.Volumes[0].Unlocked);
    EXPECT_EQ(SerialText(source.Volumes[0].Serial), "68844E71844E41B4");
    const TOpenVolume opened = OpenVolume(path, {}, options);
    ASSERT_TRUE(opened.Device);
    EXPECT_EQ(IdentifyVolume(*opened.Device).Kind, TFileSystemKind::Ntfs);
    // Without its dashes too; a wrong one is refused, a malformed one named.
    options.Keys.RecoveryPassword = "235818357951253979013365241120245575342914591910";
    EXPECT_TRUE(OpenVolume(path, {}, options).Device);
    options.Keys.RecoveryPassword = "235818-357951-253979-013365-241120-245575-342914-591921";
    EXPECT_EQ(OpenVolume(path, {}, options).Failure.End, TSourceEnd::WrongKey);
    options.Keys.RecoveryPassword = "235818-357951-253979";
    EXPECT_EQ(OpenVolume(path, {}, options).Failure.End, TSourceEnd::BadRecoveryPassword);
    options.Keys.RecoveryPassword = "235818-357951-253979-013365-241120-245575-342914-591911";
    EXPECT_EQ(OpenVolume(path, {}, options).Failure.End, TSourceEnd::BadRecoveryPassword);
    options.Keys = {};
    options.Keys.StartupKeyFile = (folder / "images.conf").string();
    EXPECT_EQ(OpenVolume(path, {}, options).Failure.End, TSourceEnd::StartupKeyUnreadable);
}

// A BitLocker volume given to the window is a drive named BitLocker that
// says it is locked until its keys are given; one libbde can't read is a
// drive all the same, whose open says why.
TEST(BitLockerSource, ABitLockerImageIsADriveTheKeysUnlock) {
    const fs::path folder = Unpacked();
    if (folder.empty()) GTEST_SKIP() << "bitlocker-images.tar.xz is not there";
    MapDrives({});
    const std::vector<std::string> drives = MapSourceDrives((folder / "bitlk-aes-xts-128.img").string());
    ASSERT_EQ(drives, (std::vector<std::string>{"C:"}));
    std::string name;
    ASSERT_TRUE(DriveMapQueries().VolumeFileSystem("C:\\", name));
    EXPECT_EQ(name, "BitLocker");
    EXPECT_NE(DriveTitle("C:").find("BitLocker"), std::string::npos);
    TDeviceAccess locked = OpenMappedDrive("C:");
    EXPECT_FALSE(locked.Device);
    EXPECT_EQ(locked.Failure, TAccessFailure::Source);
    EXPECT_FALSE(locked.Lines.empty());
    // What the window asks for before it scans: until keys that unlock it are given.
    EXPECT_EQ(DriveKeysEnd("C:"), TSourceEnd::Locked);
    TBitLockerKeys keys;
    keys.Password = "not its password";
    SetDriveKeys("C:", keys);
    EXPECT_EQ(DriveKeysEnd("C:"), TSourceEnd::WrongKey);
    keys = {};
    keys.RecoveryPassword = "235818-357951-253979-013365-241120-245575-342914-591911";
    SetDriveKeys("C:", keys);
    EXPECT_EQ(DriveKeysEnd("C:"), TSourceEnd::BadRecoveryPassword);
    keys.RecoveryPassword = "235818-357951-253979-013365-241120-245575-342914-591910";
    SetDriveKeys("C:", keys);
    EXPECT_EQ(DriveKeysEnd("C:"), TSourceEnd::Opened);
    const TDeviceAccess unlocked = OpenMappedDrive("C:");
    ASSERT_TRUE(unlocked.Device);
    EXPECT_EQ(IdentifyVolume(*unlocked.Device).Kind, TFileSystemKind::Ntfs);

    ASSERT_EQ(MapSourceDrives((folder / "bitlk-aes-xts-128-clearkey-only.img").string()),
              (std::vector<std::string>{"D:"}));
    ASSERT_TRUE(DriveMapQueries().VolumeFileSystem("D:\\", name));
    EXPECT_EQ(name, "BitLocker");
    // Not to be unlocked by any key asked for: not asked, the scan says why.
    EXPECT_EQ(DriveKeysEnd("D:"), TSourceEnd::Opened);
    const TDeviceAccess unsupported = OpenMappedDrive("D:");
    EXPECT_FALSE(unsupported.Device);
    ASSERT_EQ(unsupported.Lines.size(), 1u);
    EXPECT_NE(unsupported.Lines[0].Text.find("libbde"), std::string::npos) << unsupported.Lines[0].Text;
    MapDrives({});
}

namespace {

// The file below with one stretch that can't be read: reads stop short of
// it and fail at it.
class TUnreadable final : public TDevice {
public:
    TUnreadable(std::shared_ptr<TDevice> below, TByteRange bad) : below_(std::move(below)), bad_(bad) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t end = bad_.Offset + static_cast<std::int64_t>(bad_.Length);
        if (offset >= bad_.Offset && offset < end) return -EIO;
        if (offset < bad_.Offset)
            count = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(count), bad_.Offset - offset));
        return below_->ReadAt(offset, buffer, count);
    }
    std::int64_t Size() const override { return below_->Size(); }

private:
    std::shared_ptr<TDevice> below_;
    TByteRange bad_;
};

}  // namespace

// Our own decryption keeps what every device promises: a read error of the
// disk below stays an error at its offset, with a short read up to it and
// never zeros in its place; reads from several threads at once give the
// same bytes as libbde.
TEST(BitLockerSource, OwnReadsKeepTheDeviceContract) {
    const fs::path folder = Unpacked();
    if (folder.empty()) GTEST_SKIP() << "bitlocker-images.tar.xz is not there";
    const auto file = OpenFile(folder / "bitlk-aes-xts-128.img");
    ASSERT_TRUE(file);
    TBitLockerKeys keys;
    keys.RecoveryPassword = "235818-357951-253979-013365-241120-245575-342914-591910";
    const std::shared_ptr<TDevice> good = OpenBitLocker(file, keys).Device;
    ASSERT_TRUE(good);
    const TBitLockerReads reads = BitLockerReads(good);
    ASSERT_FALSE(reads.Own.empty());
    const TByteRange widest =
        *std::max_element(reads.Own.begin(), reads.Own.end(), [](const TByteRange& a, const TByteRange& b) { return a.Length < b.Length; });
    ASSERT_GT(widest.Length, 1u << 20);

    // One unreadable sector inside our own stretch, 12 sectors in.
    const std::int64_t bad = widest.Offset + 12 * 4096;
    const std::shared_ptr<TDevice> failing = OpenBitLocker(std::make_shared<TUnreadable>(file, TByteRange{bad, 512}), keys).Device;
    ASSERT_TRUE(failing);
    ASSERT_FALSE(BitLockerReads(failing).Own.empty());
    std::vector<std::uint8_t> buffer(256 << 10);
    const std::int64_t start = bad - 40000;
    EXPECT_EQ(failing->ReadAt(start, buffer.data(), buffer.size()), bad - start);
    buffer.resize(static_cast<std::size_t>(bad - start));
    EXPECT_TRUE(buffer == Bytes(*good, start, buffer.size()));
    EXPECT_LT(failing->ReadAt(bad, buffer.data(), 4096), 0);
    EXPECT_LT(failing->ReadAt(bad + 100, buffer.data(), 4096), 0);
    EXPECT_TRUE(Bytes(*failing, bad + 512, 8192) == Bytes(*good, bad + 512, 8192));

    // Four threads at once, each through its own part, against libbde.
    constexpr std::size_t Part = 4 << 20;
    std::vector<std::vector<std::uint8_t>> got(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t)
        threads.emplace_back([&, t] {
            got[t] = Bytes(*good, widest.Offset + static_cast<std::int64_t>(t * Part) + 77, Part);
        });
    for (std::thread& t : threads) t.join();
    for (std::size_t t = 0; t < got.size(); ++t)
        EXPECT_TRUE(got[t] == Bytes(*reads.Library, widest.Offset + static_cast<std::int64_t>(t * Part) + 77, Part)) << t;
}

namespace {

// The file below with some of its bytes replaced.
class TPatched final : public TDevice {
public:
    TPatched(std::shared_ptr<TDevice> below, std::map<std::int64_t, std::uint8_t> patches)
        : below_(std::move(below)), patches_(std::move(patches)) {}
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) override {
        const std::int64_t n = below_->ReadAt(offset, buffer, count);
        for (auto it = patches_.lower_bound(offset); n > 0 && it != patches_.end() && it->first < offset + n; ++it)
            static_cast<std::uint8_t*>(buffer)[it->first - offset] = it->second;
        return n;
    }
    std::int64_t Size() const override { return below_->Size(); }

private:
    std::shared_ptr<TDevice> below_;
    std::map<std::int64_t, std::uint8_t> patches_;
};

std::uint64_t Le(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

// FVE metadata damaged at random (a startup-key volume: no key stretch, so
// that hundreds of tries take moments) never crashes the reading of it nor
// gives stretches outside the volume; and a full-volume key entry damaged
// in all three copies never unwraps (its MAC fails), so the volume is read
// through libbde alone.
TEST(BitLockerSource, DamagedMetadataNeverUnwrapsAKeyOrLeavesTheVolume) {
    const fs::path folder = Unpacked();
    if (folder.empty()) GTEST_SKIP() << "bitlocker-images.tar.xz is not there";
    const auto file = OpenFile(folder / "bitlk-aes-xts-128-startup-key.img");
    ASSERT_TRUE(file);
    TBitLockerKeys keys;
    for (const auto& entry : fs::directory_iterator(folder)) {
        keys.StartupKeyFile = entry.path().string();
        if (entry.path().extension() == ".BEK" && bde::Unlock(*file, keys)) break;
        keys.StartupKeyFile.clear();
    }
    ASSERT_FALSE(keys.StartupKeyFile.empty()) << "no .BEK unlocks it";
    const std::int64_t size = file->Size();

    std::uint8_t boot[512];
    ASSERT_EQ(file->ReadAt(0, boot, sizeof boot), 512);
    std::vector<std::int64_t> copies;
    for (int i = 0; i < 3; ++i) copies.push_back(static_cast<std::int64_t>(Le(boot + 176 + 8 * i, 8)));
    std::vector<std::uint8_t> block(65536);
    ASSERT_EQ(file->ReadAt(copies[0], block.data(), block.size()), 65536);
    const std::int64_t metadataEnd = 64 + static_cast<std::int64_t>(Le(&block[64], 4));

    std::mt19937 random(7);
    int unlockedRounds = 0;
    for (int round = 0; round < 300; ++round) {
        std::map<std::int64_t, std::uint8_t> patches;
        const int count = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < count; ++k) {
            const std::int64_t at = static_cast<std::int64_t>(random() % static_cast<std::uint32_t>(metadataEnd));
            const auto value = static_cast<std::uint8_t>(random());
            // Every third round the same damage in all three copies.
            for (std::size_t c = 0; c < (round % 3 == 0 ? copies.size() : 1); ++c) patches[copies[c] + at] = value;
        }
        TPatched patched(file, patches);
        const auto unlocked = bde::Unlock(patched, keys);
        if (!unlocked) continue;
        ++unlockedRounds;
        for (const TByteRange& r : bde::OwnRanges(unlocked->Layout, size)) {
            EXPECT_GE(r.Offset, 0) << round;
            EXPECT_LE(r.Offset + static_cast<std::int64_t>(r.Length), size) << round;
            EXPECT_EQ(r.Offset % unlocked->Layout.SectorSize, 0) << round;
        }
    }

    // Damage in one copy, or in bytes that don't matter, leaves the key.
    EXPECT_GT(unlockedRounds, 100);
    EXPECT_LT(unlockedRounds, 300);

    // The full-volume key entry (type 3), one byte of its ciphertext
    // changed in each copy.
    std::int64_t fvek = -1;
    for (std::int64_t at = 64 + 48; at + 8 <= metadataEnd;) {
        const auto entrySize = static_cast<std::int64_t>(Le(&block[static_cast<std::size_t>(at)], 2));
        if (entrySize < 8) break;
        if (Le(&block[static_cast<std::size_t>(at) + 2], 2) == 3) fvek = at;
        at += entrySize;
    }
    ASSERT_GT(fvek, 0);
    std::map<std::int64_t, std::uint8_t> patches;
    for (const std::int64_t copy : copies)
        patches[copy + fvek + 8 + 12 + 16 + 5] = static_cast<std::uint8_t>(block[static_cast<std::size_t>(fvek + 8 + 12 + 16 + 5)] ^ 1);
    TPatched damaged(file, patches);
    EXPECT_FALSE(bde::Unlock(damaged, keys));
}
