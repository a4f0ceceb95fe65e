// Locale and time on Windows: the user's settings as the system's locale
// functions give them, and the offset of the time zone with the daylight
// saving rule of each date (the zone's dynamic rules for that year, which
// GetTimeZoneInformationForYear gives; SystemTimeToTzSpecificLocalTimeEx
// would do the same in one call, but Wine lacks it).
#include <windows.h>

#include "Locale.h"
#include "WindowsText.h"

namespace deruzera::platform {
namespace {

constexpr std::int64_t TicksPerSecond = 10'000'000;
constexpr std::int64_t SecondsFrom1601To1970 = 11'644'473'600;

// A setting of the user's locale (LOCALE_SDECIMAL, ...); "" where it has none.
std::string LocaleSetting(LCTYPE type) {
    wchar_t value[128] = {};
    const int length = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, value, 128);
    if (length <= 1) return {};
    return Utf8Text(std::wstring_view(value, static_cast<std::size_t>(length - 1)));
}

FILETIME FileTimeOf(std::uint64_t ticks) {
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

std::uint64_t TicksOf(const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

// The C library's locale is left at "C": the separators come from the
// system, and the C library's character classes under an ANSI code page
// would take bytes of UTF-8 text for letters and digits.
void InitLocale() {}

std::string DecimalSeparator() {
    const std::string separator = LocaleSetting(LOCALE_SDECIMAL);
    return separator.empty() ? "." : separator;
}

std::string TimeSeparator() {
    // What stands between the hour and the minute in the locale's time
    // format ("HH:mm:ss", "H.mm.ss", "h:mm:ss tt" ...), quotes taken off.
    const std::string f = LocaleSetting(LOCALE_STIMEFORMAT);
    const auto hour = f.find_first_of("Hh");
    if (hour != std::string::npos) {
        const auto afterHour = f.find_first_not_of("Hh", hour);
        const auto minute = f.find('m', hour);
        if (afterHour != std::string::npos && minute != std::string::npos && minute > afterHour) {
            std::string between;
            for (char c : f.substr(afterHour, minute - afterHour))
                if (c != '\'') between += c;
            if (!between.empty() && between.find_first_of("Hhms") == std::string::npos) return between;
        }
    }
    return ":";
}

bool LocalZoneOffset(std::int64_t unixSeconds, std::int32_t& offsetSeconds) {
    // FILETIME counts from 1601; SYSTEMTIME ends with the year 30827.
    if (unixSeconds < -SecondsFrom1601To1970 || unixSeconds > 910'000'000'000LL) return false;
    const auto ticks = static_cast<std::uint64_t>(unixSeconds + SecondsFrom1601To1970) * TicksPerSecond;
    const FILETIME utcTime = FileTimeOf(ticks);
    SYSTEMTIME utc{}, local{};
    FILETIME localTime{};
    if (!FileTimeToSystemTime(&utcTime, &utc)) return false;
    // The zone's rules for that year: its offsets and the dates its daylight
    // saving time began and ended then.
    DYNAMIC_TIME_ZONE_INFORMATION zone{};
    TIME_ZONE_INFORMATION rules{};
    if (GetDynamicTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID ||
        !GetTimeZoneInformationForYear(utc.wYear, &zone, &rules))
        return false;
    // The user may have told the clock not to follow daylight saving time.
    if (zone.DynamicDaylightTimeDisabled) rules.DaylightDate = SYSTEMTIME{};
    if (!SystemTimeToTzSpecificLocalTime(&rules, &utc, &local) || !SystemTimeToFileTime(&local, &localTime))
        return false;
    const auto difference = static_cast<std::int64_t>(TicksOf(localTime) - ticks);
    offsetSeconds = static_cast<std::int32_t>(difference / TicksPerSecond);
    return true;
}

std::string NowText() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t date[128] = {};
    wchar_t clock[128] = {};
    GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &now, nullptr, date, 128, nullptr);
    GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &now, nullptr, clock, 128);
    std::string text = Utf8Text(date);
    if (now.wHour != 0 || now.wMinute != 0 || now.wSecond != 0) text += " " + Utf8Text(clock);
    return text;
}

}  // namespace deruzera::platform
