#include <gtest/gtest.h>

#include <unistd.h>

#include <clocale>
#include <filesystem>
#include <cstdlib>
#include <string>

#include "platform/Locale.h"
#include "volume/SizeText.h"

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

// A locale with a decimal comma: an installed one, or one compiled for the
// test with localedef into a folder of its own (LOCPATH).
const char* CommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "ru_RU.UTF-8", "de_DE.utf8"})
        if (std::setlocale(LC_NUMERIC, name)) return name;
    const std::string dir = "/tmp/deruzera-locale-" + std::to_string(::getpid());
    const std::string command = "mkdir -p " + dir + " && localedef -i de_DE -f UTF-8 " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    if (std::system(command.c_str()) > 1) return nullptr;  // 1 only warns
    setenv("LOCPATH", dir.c_str(), 1);
    return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") ? "de_DE.UTF-8" : nullptr;
}

TEST(SizeToText, UsesTheLocalesDecimalSeparator) {
    if (!CommaLocale()) GTEST_SKIP() << "no locale with a decimal comma can be had";
    EXPECT_EQ(SizeToText(1536, deruzera::platform::DecimalSeparator()), "1,5 Kb");
    EXPECT_EQ(SizeToText(500107862016, deruzera::platform::DecimalSeparator()), "465,76 Gb");
    EXPECT_EQ(SizeToText(1024, deruzera::platform::DecimalSeparator()), "1 Kb");
    std::setlocale(LC_NUMERIC, "C");
    if (const char* dir = std::getenv("LOCPATH")) std::filesystem::remove_all(dir);
}

}  // namespace
