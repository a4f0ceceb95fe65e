#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>

#include "platform/Locale.h"
#include "volume/Times.h"

using namespace deruzera;

namespace {

class Zone {
public:
    explicit Zone(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

// Conversions in the zone TZ names now, as the front ends make them.
double FileTimeToLocalDateTime(std::uint64_t t) { return platform::LocalTimes().FileTimeToLocalDateTime(t); }
std::string FormatFileTime(std::uint64_t t) { return platform::LocalTimes().FormatFileTime(t); }
bool FileTimeToLocalTime(std::uint64_t t, TLocalTime& local) { return platform::LocalTimes().ToLocalTime(t, local); }

constexpr std::uint64_t Epoch1970 = 116444736000000000ull;
constexpr std::uint64_t Second = 10000000ull;

TEST(FileTimeToLocalDateTime, DayNumbersSince1899) {
    {
        Zone z("UTC0");
        EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(0), -109205.0);
        EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(Epoch1970), 25569.0);
        // 6:00 on 29 December 1899: the day -1, the time of day counted away from zero.
        const std::uint64_t dec29 = Epoch1970 - (25570ull * 86400 - 6 * 3600) * Second;
        EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(dec29), -1.25);
    }
    {
        Zone z("XXX-1");  // one hour east of UTC, no daylight saving
        EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(Epoch1970), 25569.0 + 1.0 / 24);
    }
}

TEST(FileTimeToLocalDateTime, DaylightSavingOfTheConvertedDate) {
    Zone z("CET-1CEST,M3.5.0,M10.5.0/3");
    const std::uint64_t july = Epoch1970 + 1782907200ull * Second;    // 2026-07-01 12:00 UTC
    const std::uint64_t january = Epoch1970 + 1767268800ull * Second; // 2026-01-01 12:00 UTC
    EXPECT_EQ(FormatFileTime(july), "01.07.26 14:00");
    EXPECT_EQ(FormatFileTime(january), "01.01.26 13:00");
    // The hour the clocks go forward: 2026-03-29 01:00 UTC is 03:00 local.
    EXPECT_EQ(FormatFileTime(Epoch1970 + 1774746000ull * Second - Second), "29.03.26 01:59");
    EXPECT_EQ(FormatFileTime(Epoch1970 + 1774746000ull * Second), "29.03.26 03:00");
}

TEST(FileTimeToLocalDateTime, TimesThatCantBeConverted) {
    Zone z("XXX+5");  // five hours west: 1601-01-01 00:00 UTC is before 1601 locally
    TLocalTime t;
    EXPECT_FALSE(FileTimeToLocalTime(0, t));
    EXPECT_FALSE(FileTimeToLocalTime(1ull << 63, t));
    EXPECT_FALSE(FileTimeToLocalTime(~0ull, t));
    EXPECT_DOUBLE_EQ(FileTimeToLocalDateTime(~0ull), -109205.0);
    EXPECT_EQ(FormatFileTime(~0ull), "01.01.01 00:00");
    EXPECT_TRUE(FileTimeToLocalTime((1ull << 63) - 1, t));
    EXPECT_EQ(t.Year, 30828);
}

TEST(FormatFileTime, DayMonthTwoDigitYearHourMinute) {
    Zone z("UTC0");
    EXPECT_EQ(FormatFileTime(Epoch1970 + 1796624640ull * Second + 59 * Second), "07.12.26 06:24");
    EXPECT_EQ(FormatFileTime(Epoch1970), "01.01.70 00:00");
    EXPECT_EQ(FormatFileTime(Epoch1970 - 1 * Second), "31.12.69 23:59");
}

}  // namespace

namespace {

// A zone whose offset changes at a moment that is no quarter hour, as the
// old local mean times did (Amsterdam moved from +0:19:32 to +0:20 in 1937).
struct TOddZone final : TTimeZone {
    std::int64_t change;
    bool OffsetAt(std::int64_t unixSeconds, std::int32_t& offset) const override {
        offset = unixSeconds < change ? 1172 : 1200;
        return true;
    }
};

TEST(TLocalTimes, AChangeInsideAQuarterHourIsFollowedToTheSecond) {
    TOddZone zone;
    zone.change = 7 * 900 + 333;  // inside the eighth quarter hour of 1970
    TLocalTimes times(&zone);
    TLocalTime t;
    ASSERT_TRUE(times.ToLocalTime(Epoch1970 + (zone.change - 1) * Second, t));
    EXPECT_EQ(t.Hour * 3600 + t.Minute * 60 + t.Second, zone.change - 1 + 1172);
    ASSERT_TRUE(times.ToLocalTime(Epoch1970 + zone.change * Second, t));
    EXPECT_EQ(t.Hour * 3600 + t.Minute * 60 + t.Second, zone.change + 1200);
    // The same quarter hour asked again, in the other order.
    ASSERT_TRUE(times.ToLocalTime(Epoch1970 + (zone.change - 1) * Second, t));
    EXPECT_EQ(t.Hour * 3600 + t.Minute * 60 + t.Second, zone.change - 1 + 1172);
}

}  // namespace
