// NTFS times as local calendar time. The zone's offset is asked once per
// quarter hour of UTC time and remembered where it is the same at both ends
// of that quarter hour, as it is for nearly every one; where a change falls
// inside it (zone rules of today change on the hour, old local mean times at
// any second), each time in it is asked for itself.
#include "Times.h"

#include <algorithm>
#include <cstdio>

namespace deruzera {
namespace {

constexpr std::int64_t TicksPerSecond = 10'000'000;
constexpr std::int64_t SecondsPerDay = 86'400;
constexpr std::int64_t SecondsFrom1601To1970 = 11'644'473'600;
constexpr std::int64_t DaysFrom1601To1899_12_30 = 109'205;
constexpr std::int64_t DaysFrom1601To1970 = 134'774;
constexpr std::int64_t BucketSeconds = 15 * 60;

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

}  // namespace

TLocalTimes::TLocalTimes(const TTimeZone* zone, std::string timeSeparator)
    : zone_(zone), separator_(std::move(timeSeparator)) {
    bucket_.fill(INT64_MIN);
    if (separator_.size() > 8) separator_.resize(8);
}

std::int32_t TLocalTimes::ZoneOffset(std::int64_t unixSeconds) {
    if (zone_ == nullptr) return 0;
    const std::int64_t b = unixSeconds >= 0 ? unixSeconds / BucketSeconds : -((-unixSeconds + BucketSeconds - 1) / BucketSeconds);
    const std::size_t slot = static_cast<std::size_t>(static_cast<std::uint64_t>(b) * 0x9E3779B97F4A7C15ull >> 56) % Slots;
    if (bucket_[slot] == b) return offset_[slot];
    std::int32_t first = 0, last = 0;
    if (!zone_->OffsetAt(b * BucketSeconds, first)) first = 0;
    if (!zone_->OffsetAt(b * BucketSeconds + BucketSeconds - 1, last)) last = 0;
    if (first != last) {
        std::int32_t exact = 0;
        return zone_->OffsetAt(unixSeconds, exact) ? exact : 0;
    }
    bucket_[slot] = b;
    offset_[slot] = first;
    return first;
}

bool TLocalTimes::LocalSeconds(std::uint64_t fileTime, std::int64_t& local, int& millisecond) {
    if (fileTime > static_cast<std::uint64_t>(INT64_MAX)) return false;
    const auto ticks = static_cast<std::int64_t>(fileTime);
    const std::int64_t seconds = ticks / TicksPerSecond;
    millisecond = static_cast<int>((ticks % TicksPerSecond) / 10'000);
    local = seconds + ZoneOffset(seconds - SecondsFrom1601To1970);
    return local >= 0;
}

bool TLocalTimes::ToLocalTime(std::uint64_t fileTime, TLocalTime& out) {
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

double TLocalTimes::FileTimeToLocalDateTime(std::uint64_t fileTime) {
    std::int64_t local;
    int ms;
    if (!LocalSeconds(fileTime, local, ms)) return -static_cast<double>(DaysFrom1601To1899_12_30);
    const std::int64_t day = local / SecondsPerDay - DaysFrom1601To1899_12_30;
    const double fraction = static_cast<double>((local % SecondsPerDay) * 1000 + ms) / (SecondsPerDay * 1000.0);
    // Before 30 December 1899 the day is negative and the time of day counts away from zero.
    return day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
}

std::string TLocalTimes::FormatFileTime(std::uint64_t fileTime) {
    TLocalTime t;
    ToLocalTime(fileTime, t);
    // Written digit by digit: a list of a million files formats two times each.
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
    p = std::copy(separator_.begin(), separator_.end(), p);
    two(t.Minute);
    return std::string(text, static_cast<std::size_t>(p - text));
}

std::string IsoUtcText(std::uint64_t fileTime) {
    TLocalTimes utc;
    TLocalTime t;
    utc.ToLocalTime(fileTime, t);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ", static_cast<long long>(t.Year), t.Month, t.Day,
                  t.Hour, t.Minute, t.Second);
    return text;
}

}  // namespace deruzera
