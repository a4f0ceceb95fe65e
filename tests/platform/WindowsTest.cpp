// The Windows back end of the platform layer on a Windows system (Wine in
// the suite): files read as devices from any thread, the source known under
// any of its names, the zone's rules of each date, the user's separators
// and the system's drives. The ctest run sets TZ to
// Europe/Berlin and LANG to de_DE.UTF-8 for these tests.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "platform/DriveMap.h"
#include "platform/Drives.h"
#include "platform/Locale.h"
#include "platform/RawDevice.h"
#include "volume/LocalPath.h"
#include "volume/SizeText.h"

using namespace deruzera;
namespace fs = std::filesystem;

namespace {

// A folder of its own below the temporary folder, with a file of `size`
// pseudo-random bytes named in Greek, Cyrillic and an emoji.
class ImageFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("deruzera-windows-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(dir);
        std::mt19937 random(7);
        bytes.resize(Size);
        for (char& c : bytes) c = static_cast<char>(random());
        image = LocalPathText(dir / LocalPath("Δίσκος образ \xF0\x9F\x98\x80.img"));
        std::ofstream(LocalPath(image), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void TearDown() override { fs::remove_all(dir); }

    // Not a multiple of any sector size: the end falls inside one.
    static constexpr std::size_t Size = (3 << 20) + 777;
    fs::path dir;
    std::string image;
    std::string bytes;
};

TEST_F(ImageFile, ReadsAnyStretchFromManyThreadsAtOnce) {
    THandle device = platform::OpenDeviceFile(image);
    ASSERT_TRUE(device) << image;
    EXPECT_EQ(device->Size(), static_cast<std::int64_t>(Size));
    // Short at the end, nothing at or past it, nothing before the start.
    char tail[4096];
    EXPECT_EQ(device->ReadAt(Size - 100, tail, sizeof tail), 100);
    EXPECT_EQ(std::string(tail, 100), bytes.substr(Size - 100));
    EXPECT_EQ(device->ReadAt(Size, tail, sizeof tail), 0);
    EXPECT_EQ(device->ReadAt(Size + 5000, tail, sizeof tail), 0);
    EXPECT_EQ(device->ReadAt(-1, tail, sizeof tail), 0);
    // No position is shared: each thread's reads land where it asked.
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 random(static_cast<unsigned>(t));
            std::vector<char> buffer(70000);
            for (int i = 0; i < 400; ++i) {
                const auto offset = static_cast<std::int64_t>(random() % Size);
                const std::size_t count = random() % buffer.size() + 1;
                const std::int64_t got = device->ReadAt(offset, buffer.data(), count);
                const auto want = static_cast<std::int64_t>(std::min<std::size_t>(count, Size - offset));
                if (got != want || bytes.compare(offset, got, buffer.data(), got) != 0) ++wrong;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(ImageFile, TheSourceIsKnownUnderAnyOfItsNames) {
    THandle device = platform::OpenDeviceFile(image);
    ASSERT_TRUE(device);
    std::string slashes = image;
    for (char& c : slashes)
        if (c == '\\') c = '/';
    std::string upper = image;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    fs::create_hard_link(LocalPath(image), dir / "link.img");
    fs::current_path(dir);
    for (const std::string& name : {image, slashes, upper, LocalPathText(dir / "link.img"), std::string("link.img"),
                                    LocalPathText(dir / "." / LocalPath(image).filename())})
        EXPECT_TRUE(device->IsSource(name)) << name;
    std::ofstream(dir / "other.img") << "x";
    for (const std::string& name : {LocalPathText(dir / "other.img"), LocalPathText(dir / "missing.img"),
                                    LocalPathText(dir), std::string()})
        EXPECT_FALSE(device->IsSource(name)) << name;
    // An image is no drive: writing beside it is not writing onto it.
    EXPECT_FALSE(device->HoldsPath(LocalPathText(dir / "out.bin")));
    fs::current_path(fs::temp_directory_path());
}

// Unix seconds of a UTC date and time.
std::int64_t Utc(int year, int month, int day, int hour, int minute = 0, int second = 0) {
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    FILETIME f;
    SystemTimeToFileTime(&t, &f);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

TEST(WindowsZone, EachDateTakesTheDaylightSavingRuleOfItsYear) {
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    GetDynamicTimeZoneInformation(&zone);
    if (zone.Bias != -60) GTEST_SKIP() << "the system's zone is not Central European (TZ=Europe/Berlin)";
    const auto offset = [](std::int64_t at) {
        std::int32_t seconds = -1;
        EXPECT_TRUE(platform::LocalZoneOffset(at, seconds)) << at;
        return seconds;
    };
    EXPECT_EQ(offset(Utc(2021, 1, 15, 12)), 3600);
    EXPECT_EQ(offset(Utc(2021, 7, 1, 12)), 7200);
    // The clocks went forward at 01:00 UTC on 28 March 2021.
    EXPECT_EQ(offset(Utc(2021, 3, 28, 0, 59, 59)), 3600);
    EXPECT_EQ(offset(Utc(2021, 3, 28, 1)), 7200);
    // In another year, on another Sunday: 30 March 2014.
    EXPECT_EQ(offset(Utc(2014, 3, 30, 0, 59, 59)), 3600);
    EXPECT_EQ(offset(Utc(2014, 3, 30, 1)), 7200);
    // As the front ends show a time: 28 March 2021 01:00 UTC is 03:00 here.
    const std::uint64_t fileTime = static_cast<std::uint64_t>(Utc(2021, 3, 28, 1) + 11644473600LL) * 10000000;
    EXPECT_EQ(platform::LocalTimes().FormatFileTime(fileTime), "28.03.21 03:00");
    std::int32_t ignored;
    EXPECT_FALSE(platform::LocalZoneOffset(-11644473601LL, ignored));
}

TEST(WindowsLocale, SeparatorsAreTheUsers) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH);
    if (std::wstring(name) != L"de-DE") GTEST_SKIP() << "the user's locale is not German (LANG=de_DE.UTF-8)";
    EXPECT_EQ(platform::DecimalSeparator(), ",");
    EXPECT_EQ(platform::TimeSeparator(), ":");
    EXPECT_EQ(SizeToText(1536, platform::DecimalSeparator()), "1,5 Kb");
}

TEST(WindowsDrives, TheSystemsLettersAreTheDrives) {
    const platform::TDriveQueries& q = platform::DriveQueries();
    const std::uint32_t mask = q.LogicalDrives();
    ASSERT_NE(mask & (1u << 2), 0u) << "no C:";
    EXPECT_EQ(q.DriveType("C:\\"), platform::DriveFixed);
    EXPECT_GT(q.TotalSize("C:\\"), 0);
    EXPECT_FALSE(platform::GetFileSystemName("C").empty());
    platform::MapSystemDrives();
    EXPECT_EQ(platform::DrivePath("C:"), "\\\\.\\C:");
    for (int i = 0; i < 26; ++i) {
        const std::string drive{static_cast<char>('A' + i), ':'};
        EXPECT_EQ(!platform::DrivePath(drive).empty(), (mask & (1u << i)) != 0) << drive;
    }
    // A source named on the command line takes a letter no drive has.
    const std::string letter = platform::MapSourceDrive("C:\\image.img");
    ASSERT_FALSE(letter.empty());
    EXPECT_EQ(mask & (1u << (letter[0] - 'A')), 0u);
    EXPECT_EQ(platform::MapSourceDrive("c:"), "C:");
    platform::ClearDriveMap();
}

}  // namespace
