// Byte counts as "N b", "N Kb", "N Mb", "N Gb": the largest unit reached,
// two decimals truncated (not rounded), trailing zeros dropped.
#include "SizeText.h"

namespace deruzera {

std::string SizeToText(std::int64_t value, const std::string& decimalSeparator) {
    static constexpr struct {
        std::int64_t unit;
        const char* word;
    } units[] = {{1LL << 30, " Gb"}, {1LL << 20, " Mb"}, {1LL << 10, " Kb"}};
    for (const auto& u : units) {
        if (value < u.unit) continue;
        // Exact truncation of value * 100 / unit without overflowing 64 bits.
        const std::int64_t whole = value / u.unit;
        const std::int64_t hundredths = (value % u.unit) * 100 / u.unit;
        std::string text = std::to_string(whole);
        if (hundredths != 0) {
            text += decimalSeparator;
            text += static_cast<char>('0' + hundredths / 10);
            if (hundredths % 10 != 0) text += static_cast<char>('0' + hundredths % 10);
        }
        return text + u.word;
    }
    return std::to_string(value) + " b";
}

}  // namespace deruzera
