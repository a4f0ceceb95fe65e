// Damaged volumes: random bytes thrown into the boot sector, the MFT's
// record 0 and the file records. Whatever the bytes, the scan and the
// recovery must end with their closing lines, read nothing outside their
// buffers (the sanitizer build checks that) and never hang.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "Fixture.h"
#include "Synthetic.h"
#include "platform/Target.h"

using namespace deruzera;

namespace {

synth::Volume BaseVolume() {
    synth::Volume v(96, 1200 * 1024);  // small, so damaged runs reach little real data
    v.Directory(20, 5, u"Dir");
    v.Directory(21, 20, u"Sub", 2);
    for (int i = 0; i < 20; ++i) v.DeletedFile(30 + i, i % 2 ? 21 : 20, u"file.txt", std::string(100 + i, 'x'));
    for (int i = 0; i < 10; ++i)
        v.PutRecord(60 + i, synth::Record(0, {synth::StandardInformation(1, 2), synth::FileName(20, u"big.bin"),
                                              synth::NonResident(0x80, {0x21, 0x04, 0x00, 0x01, 0x11, 0x02, 0x10}, 20000)}));
    return v;
}

class DamageTest : public testing_support::VolumeTest {};

TEST_F(DamageTest, RandomBytesNeverCrashOrHang) {
    const synth::Volume base = BaseVolume();
    const auto dir = std::filesystem::temp_directory_path() / ("deruzera-damage-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string target = (dir / "out").string();
    std::mt19937_64 random(20261208);
    const std::int64_t mft = base.MftOffset();
    for (int round = 0; round < 200; ++round) {
        std::string image = base.image;
        // Where to hit: the boot sector, record 0, or the file records.
        const int where = round % 4;
        const std::int64_t from = where == 0 ? 0 : where == 1 ? mft : mft + 20 * 1024;
        const std::int64_t span = where == 0 ? 512 : where == 1 ? 1024 : 50 * 1024;
        const int hits = 1 + static_cast<int>(random() % 24);
        for (int h = 0; h < hits; ++h) {
            const auto at = static_cast<std::size_t>(from + static_cast<std::int64_t>(random() % span));
            image[at] = static_cast<char>(random() % 4 == 0 ? 0xFF : random());
        }
        drives["C:"] = image;
        testing_support::RecordingSink scan;
        const TScanOutcome outcome = Scan("C:", scan);
        // Every way a scan ends says so in a line.
        ASSERT_FALSE(scan.lines.empty());
        EXPECT_EQ(scan.lines.back().second == clGreen, outcome.End == TScanEnd::Completed);
        EXPECT_EQ(static_cast<std::size_t>(outcome.FoundCount), scan.files.size());
        // Every found file goes through the whole recovery.
        for (const TFoundFiles& file : scan.files) {
            testing_support::RecordingRecovery r;
            r.answer = target;
            RecoverFile(outcome.Volume.get(), file.Record, file.Sequence, platform::LocalFileSystem(), r);
            ASSERT_FALSE(r.lines.empty());
            const std::string& end = r.lines.back().first;
            EXPECT_TRUE(end == "File recovered" || end.rfind("Error", 0) == 0) << end;
            // Whatever happened, no temporary file is left behind.
            for (const auto& entry : std::filesystem::directory_iterator(dir))
                ASSERT_EQ(entry.path().filename(), "out") << "round " << round << " record " << file.Record << ": " << end;
            std::filesystem::remove(target);
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
