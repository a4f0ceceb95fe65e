// NTFS times (100 ns units since 1 January 1601 UTC) as local calendar time.
//
// The zone's offset is asked of the platform once per quarter hour of UTC
// time and remembered: every zone's offset is a whole number of quarter
// hours and changes only on a quarter hour, so the answer holds for the
// whole bucket, and a scan of millions of records asks only a few times.
#include <algorithm>
#include <array>

#include "Salvane.h"
#include "platform/Locale.h"

namespace deruzera {
namespace {

constexpr std::int64_t TicksPerSecond = 10'000'000;
constexpr std::int64_t SecondsPerDay = 86'400;
constexpr std::int64_t SecondsFrom1601To1970 = 11'644'473'600;
constexpr std::int64_t DaysFrom1601To1899_12_30 = 109'205;
constexpr std::int64_t DaysFrom1601To1970 = 134'774;
constexpr std::int64_t BucketSeconds = 15 * 60;

struct TOffsetCache {
    static constexpr std::size_t Slots = 256;
    std::array<std::int64_t, Slots> bucket;
    std::array<std::int32_t, Slots> offset{};
    std::string timeSeparator;
    bool separatorKnown = false;
    TOffsetCache() { bucket.fill(INT64_MIN); }
};

thread_local TOffsetCache cache;

std::int32_t ZoneOffset(std::int64_t unixSeconds) {
    const std::int64_t b = unixSeconds >= 0 ? unixSeconds / BucketSeconds : -((-unixSeconds + BucketSeconds - 1) / BucketSeconds);
    const std::size_t slot = static_cast<std::size_t>(static_cast<std::uint64_t>(b) * 0x9E3779B97F4A7C15ull >> 56) % TOffsetCache::Slots;
    if (cache.bucket[slot] != b) {
        std::int32_t offset = 0;
        if (!platform::LocalZoneOffset(b * BucketSeconds, offset)) offset = 0;
        cache.bucket[slot] = b;
        cache.offset[slot] = offset;
    }
    return cache.offset[slot];
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, std::int64_t& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<std::uint32_t>(z - era * 146097);
    const std::uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint32_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

// Local seconds since 1601-01-01 00:00, or false.
bool LocalSeconds(std::uint64_t fileTime, std::int64_t& local, int& millisecond) {
    if (fileTime > static_cast<std::uint64_t>(INT64_MAX)) return false;
    const auto ticks = static_cast<std::int64_t>(fileTime);
    const std::int64_t seconds = ticks / TicksPerSecond;
    millisecond = static_cast<int>((ticks % TicksPerSecond) / 10'000);
    local = seconds + ZoneOffset(seconds - SecondsFrom1601To1970);
    return local >= 0;
}

}  // namespace

void ResetLocalTimeCache() { cache = TOffsetCache(); }

bool FileTimeToLocalTime(std::uint64_t fileTime, TLocalTime& out) {
    out = TLocalTime{};
    std::int64_t local;
    int ms;
    if (!LocalSeconds(fileTime, local, ms)) return false;
    const std::int64_t days = local / SecondsPerDay;
    const std::int64_t secondOfDay = local % SecondsPerDay;
    CivilFromDays(days - DaysFrom1601To1970, out.Year, out.Month, out.Day);
    out.Hour = static_cast<int>(secondOfDay / 3600);
    out.Minute = static_cast<int>(secondOfDay / 60 % 60);
    out.Second = static_cast<int>(secondOfDay % 60);
    out.Millisecond = ms;
    return true;
}

double FileTimeToLocalDateTime(std::uint64_t fileTime) {
    std::int64_t local;
    int ms;
    if (!LocalSeconds(fileTime, local, ms)) return -static_cast<double>(DaysFrom1601To1899_12_30);
    const std::int64_t day = local / SecondsPerDay - DaysFrom1601To1899_12_30;
    const double fraction = static_cast<double>((local % SecondsPerDay) * 1000 + ms) / (SecondsPerDay * 1000.0);
    // Before 30 December 1899 the day is negative and the time of day counts away from zero.
    return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

std::string FormatFileTime(std::uint64_t fileTime) {
    if (!cache.separatorKnown) {
        cache.timeSeparator = platform::TimeSeparator();
        cache.separatorKnown = true;
    }
    TLocalTime t;
    FileTimeToLocalTime(fileTime, t);
    // Written digit by digit: a scan formats two times per found file.
    char text[32];
    char* p = text;
    auto two = [&p](std::int64_t v) {
        *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    two(t.Day);
    *p++ = '.';
    two(t.Month);
    *p++ = '.';
    two(t.Year % 100);
    *p++ = ' ';
    two(t.Hour);
    const std::size_t separator = std::min<std::size_t>(cache.timeSeparator.size(), 8);
    p = std::copy_n(cache.timeSeparator.data(), separator, p);
    two(t.Minute);
    return std::string(text, static_cast<std::size_t>(p - text));
}

}  // namespace deruzera
