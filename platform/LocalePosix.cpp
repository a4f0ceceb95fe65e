#include <langinfo.h>
#include <locale.h>

#include <ctime>

#include "Locale.h"

namespace deruzera::platform {

void InitLocale() { setlocale(LC_ALL, ""); }

std::string DecimalSeparator() {
    const lconv* conv = localeconv();
    if (conv == nullptr || conv->decimal_point == nullptr || conv->decimal_point[0] == '\0') return ".";
    return conv->decimal_point;
}

std::string TimeSeparator() {
    // The separator is what stands between the hour and the minute in the
    // locale's time format ("%H:%M:%S", "%H.%M.%S", "%r" ...).
    const char* format = nl_langinfo(T_FMT);
    if (format == nullptr) return ":";
    const std::string f = format;
    const auto hour = f.find_first_of("HIkl", f.find('%'));
    if (hour != std::string::npos) {
        const auto minute = f.find("%M", hour);
        if (minute != std::string::npos && minute > hour + 1) {
            const std::string between = f.substr(hour + 1, minute - hour - 1);
            if (!between.empty() && between.find('%') == std::string::npos) return between;
        }
    }
    return ":";
}

bool LocalZoneOffset(std::int64_t unixSeconds, std::int32_t& offsetSeconds) {
    const auto t = static_cast<time_t>(unixSeconds);
    if (static_cast<std::int64_t>(t) != unixSeconds) return false;
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return false;
    offsetSeconds = static_cast<std::int32_t>(local.tm_gmtoff);
    return true;
}

std::string NowText() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char date[128] = {0};
    char clock[128] = {0};
    strftime(date, sizeof date, "%x", &local);
    strftime(clock, sizeof clock, "%X", &local);
    std::string text = date;
    if (local.tm_hour != 0 || local.tm_min != 0 || local.tm_sec != 0) text += std::string(" ") + clock;
    return text;
}

}  // namespace deruzera::platform
