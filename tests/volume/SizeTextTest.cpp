#include <gtest/gtest.h>

#include <clocale>

#include "volume/Salvane.h"

using deruzera::SizeToText;

namespace {

TEST(SizeToText, TruncatesToTwoDecimalsInTheLargestUnit) {
    std::setlocale(LC_NUMERIC, "C");
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "0 b"},           {1023, "1023 b"},          {1024, "1 Kb"},          {1025, "1 Kb"},
        {1535, "1.49 Kb"},    {1536, "1.5 Kb"},          {1048575, "1023.99 Kb"}, {1048576, "1 Mb"},
        {1073741823, "1023.99 Mb"}, {1073741824, "1 Gb"}, {500107862016, "465.76 Gb"},
        {9223372036854775807LL, "8589934591.99 Gb"}, {-1, "-1 b"}, {-5000000000LL, "-5000000000 b"},
        {4294967296LL, "4 Gb"}, {1126, "1.09 Kb"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(SizeToText(value), text) << value;
}

TEST(SizeToText, UsesTheLocalesDecimalSeparator) {
    const char* found = nullptr;
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "de_DE.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) {
            found = name;
            break;
        }
    if (!found) GTEST_SKIP() << "no locale with a decimal comma is installed";
    EXPECT_EQ(SizeToText(1536), "1,5 Kb");
    std::setlocale(LC_NUMERIC, "C");
}

}  // namespace
