// NTFS times (100 ns units since 1 January 1601 UTC) as local calendar time.
// The front end supplies the time zone and the locale's time separator.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace deruzera {

// The local time zone as the front end knows it.
class TTimeZone {
public:
    virtual ~TTimeZone() = default;
    // Seconds east of UTC that the zone applies at `unixSeconds`, with the
    // daylight-saving rule of that date. False where it can't say.
    virtual bool OffsetAt(std::int64_t unixSeconds, std::int32_t& offsetSeconds) const = 0;
};

// Local calendar time of an NTFS time.
struct TLocalTime {
    std::int64_t Year = 1601;
    int Month = 1, Day = 1, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Converts and formats NTFS times in one zone. Remembers the zone's offset
// per quarter hour of UTC (zones change their offset only on a quarter
// hour), so a million times cost a few questions to the zone. One per thread.
class TLocalTimes {
public:
    // UTC where `zone` is null; the zone must outlive this object.
    explicit TLocalTimes(const TTimeZone* zone = nullptr, std::string timeSeparator = ":");

    // False (and 1 January 1601 00:00) for a time that can't be converted.
    bool ToLocalTime(std::uint64_t fileTime, TLocalTime& local);
    // Days since 30 December 1899 00:00 local time, the fraction the time of
    // day. Times that can't be converted give -109205 (1 January 1601 00:00).
    double FileTimeToLocalDateTime(std::uint64_t fileTime);
    // "dd.mm.yy hh:mm" with the time separator.
    std::string FormatFileTime(std::uint64_t fileTime);

private:
    std::int32_t ZoneOffset(std::int64_t unixSeconds);
    bool LocalSeconds(std::uint64_t fileTime, std::int64_t& local, int& millisecond);

    static constexpr std::size_t Slots = 256;
    const TTimeZone* zone_;
    std::string separator_;
    std::array<std::int64_t, Slots> bucket_;
    std::array<std::int32_t, Slots> offset_{};
};

// An NTFS time as ISO-8601 UTC, to the second: "2013-12-03T06:35:09Z".
// Times that can't be converted give 1601-01-01T00:00:00Z.
std::string IsoUtcText(std::uint64_t fileTime);

}  // namespace deruzera
