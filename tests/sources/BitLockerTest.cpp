// BitLocker volumes made by Windows (bitlocker-images.tar.xz, with their
// keys and the SHA-256 of each unlocked volume in images.conf), unlocked
// through libbde.
#include <gtest/gtest.h>

#include <fstream>

#include "SourceSupport.h"
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

class BitLocker : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path fixtures = FixturesDir();
        if (fixtures.empty() || !fs::exists(fixtures / "bitlocker-images.tar.xz"))
            GTEST_SKIP() << "bitlocker-images.tar.xz is not there: set DERUZERA_FIXTURES to the folder of fixtures";
        ASSERT_TRUE(Execute("tar -xJf " + Quote(fixtures / "bitlocker-images.tar.xz") + " -C " + Quote(dir.Path)));
        folder = dir.Path / "bitlk-images";
        volumes = ReadConf(folder / "images.conf");
        ASSERT_GE(volumes.size(), 20u);
    }
    TempDir dir;
    fs::path folder;
    std::vector<Volume> volumes;
};

}  // namespace

TEST_F(BitLocker, PasswordAndRecoveryPasswordGiveTheUnlockedBytes) {
    int unlocked = 0, refused = 0;
    std::vector<std::string> unsupported;
    for (const Volume& v : volumes) {
        const std::string sha = v.Get("SHA256SUM");
        if (sha.empty()) continue;
        const auto device = OpenFile(folder / (v.Name + ".img"));
        ASSERT_TRUE(device) << v.Name;
        {
            std::uint8_t boot[512];
            ASSERT_EQ(device->ReadAt(0, boot, sizeof boot), 512);
            EXPECT_TRUE(IsBitLockerBootSector(boot)) << v.Name;
        }
        for (const char* key : {"PW", "RP"}) {
            if (v.Get(key).empty()) continue;
            TBitLockerKeys keys;
            (std::string(key) == "PW" ? keys.Password : keys.RecoveryPassword) = v.Get(key);
            const TOpened opened = OpenBitLocker(device, keys);
            if (opened.Failure.End == TSourceEnd::BitLockerFailed) {
                // What libbde can't read it says so, in its own words.
                EXPECT_NE(opened.Failure.Message.find("libbde"), std::string::npos);
                unsupported.push_back(v.Name + " " + key + ": " + opened.Failure.Message);
                continue;
            }
            ASSERT_TRUE(opened.Device) << v.Name << " " << key;
            EXPECT_EQ(DeviceSha(*opened.Device), sha) << v.Name << " " << key;
            ++unlocked;
        }
        if (!v.Get("PW").empty()) {
            TBitLockerKeys wrong;
            wrong.Password = v.Get("PW") + "x";
            const TOpened opened = OpenBitLocker(device, wrong);
            EXPECT_FALSE(opened.Device);
            if (opened.Failure.End == TSourceEnd::WrongKey) ++refused;
        }
    }
    for (const std::string& u : unsupported) std::printf("libbde can't unlock %s\n", u.c_str());
    // Most of the volumes are within libbde's reach, and every password
    // volume refuses a wrong password.
    EXPECT_GE(unlocked, 24);
    EXPECT_GE(refused, 12);
}

TEST_F(BitLocker, StartupKeysLockedVolumesAndMalformedRecoveryPasswords) {
    // A startup key unlocks the volume it was made for.
    int unlockedByKey = 0;
    for (const Volume& v : volumes) {
        if (v.Name.find("startup-key") == std::string::npos || v.Get("SHA256SUM").empty()) continue;
        const auto device = OpenFile(folder / (v.Name + ".img"));
        for (const auto& entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() != ".BEK") continue;
            TBitLockerKeys keys;
            keys.StartupKeyFile = entry.path().string();
            const TOpened opened = OpenBitLocker(device, keys);
            if (!opened.Device) continue;
            EXPECT_EQ(DeviceSha(*opened.Device), v.Get("SHA256SUM")) << v.Name;
            ++unlockedByKey;
        }
    }
    EXPECT_GE(unlockedByKey, 1);

    // Through the source: listed as BitLocker, locked without a key, the
    // NTFS inside once unlocked.
    const std::string path = (folder / "bitlk-aes-xts-128.img").string();
    TSource source = OpenSource(path);
    ASSERT_EQ(source.Volumes.size(), 1u);
    EXPECT_EQ(source.Volumes[0].FileSystem, TFileSystemKind::BitLocker);
    EXPECT_FALSE(source.Volumes[0].Unlocked);
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
