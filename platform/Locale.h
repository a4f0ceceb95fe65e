// Locale and time helpers: the decimal and time separators of the user's
// locale, the offset of the local zone at a given instant, the start-up text.
#pragma once

#include <cstdint>
#include <string>

#include "volume/Times.h"

namespace deruzera::platform {

// Applies the user's locale (setlocale(LC_ALL, "")); call once at start.
// On Windows the separators come from the system and the C library's
// locale stays "C".
void InitLocale();

// The locale's decimal separator ("." where it names none).
std::string DecimalSeparator();
// The locale's time separator (":" where it names none).
std::string TimeSeparator();

// Seconds east of UTC that the local zone applies at `unixSeconds`, with the
// daylight-saving rule of that date. False where the platform can't say.
bool LocalZoneOffset(std::int64_t unixSeconds, std::int32_t& offsetSeconds);

// The machine's local time zone (TZ, or /etc/localtime; on Windows the
// system's zone).
class TLocalZone final : public TTimeZone {
public:
    bool OffsetAt(std::int64_t unixSeconds, std::int32_t& offsetSeconds) const override {
        return LocalZoneOffset(unixSeconds, offsetSeconds);
    }
};

// Times in the local zone with the locale's time separator.
TLocalTimes LocalTimes();

// The current local date and time in the locale's short date and long time
// formats; the time is left out at exactly midnight.
std::string NowText();

}  // namespace deruzera::platform
