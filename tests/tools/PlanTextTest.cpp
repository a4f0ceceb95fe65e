// The plan language of deruzera-mkimage: words, quotes, comments, sizes,
// escapes, UTF-8 names and the deterministic content.
#include "tools/PlanText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace deruzera::mkimage {
namespace {

TEST(ParsePlan, WordsQuotesAndComments) {
    const auto lines = ParsePlan(
        "# header comment\n"
        "\n"
        "format 64M cluster=4096   # trailing comment\r\n"
        "  file \"/My Docs/a \\\"b\\\".txt\" 4K seed=3\n"
        "interleave 4K \"/x y\":8K /z:#1\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].Number, 3);
    EXPECT_EQ(lines[0].Command, "format");
    EXPECT_EQ(lines[0].Args, (std::vector<std::string>{"64M", "cluster=4096"}));
    EXPECT_EQ(lines[1].Number, 4);
    EXPECT_EQ(lines[1].Args, (std::vector<std::string>{"/My Docs/a \"b\".txt", "4K", "seed=3"}));
    // A '#' inside a word does not start a comment.
    EXPECT_EQ(lines[2].Args, (std::vector<std::string>{"4K", "/x y:8K", "/z:#1"}));
}

TEST(ParsePlan, TextTakesTheRestOfTheLine) {
    const auto lines = ParsePlan("text \"/a b.txt\"   Hello # not a comment\\n\\tend\\\\\ntext /empty\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Args, (std::vector<std::string>{"/a b.txt"}));
    EXPECT_EQ(lines[0].Text, "Hello # not a comment\n\tend\\");
    EXPECT_EQ(lines[1].Args, (std::vector<std::string>{"/empty"}));
    EXPECT_EQ(lines[1].Text, "");
}

TEST(ParsePlan, UnterminatedQuoteNamesTheLine) {
    try {
        ParsePlan("format 8M\nfile \"/oops 10\n");
        FAIL() << "no error";
    } catch (const TPlanError& e) {
        EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
    }
}

TEST(ParseSize, SuffixesArePowersOf1024) {
    EXPECT_EQ(ParseSize("0"), 0u);
    EXPECT_EQ(ParseSize("4096"), 4096u);
    EXPECT_EQ(ParseSize("64K"), 64u * 1024);
    EXPECT_EQ(ParseSize("3m"), 3u << 20);
    EXPECT_EQ(ParseSize("4G"), 4ull << 30);
    EXPECT_EQ(ParseSize("2KiB"), 2048u);
    EXPECT_EQ(ParseSize("2KB"), 2048u);
    EXPECT_EQ(ParseSize("1T"), 1ull << 40);
    for (const char* bad : {"", "K", "1.5M", "-1", "12X", "99999999999999999999", "20000000000000000G"}) {
        EXPECT_THROW(ParseSize(bad), TPlanError) << bad;
    }
}

TEST(DecodeEscapes, KnownAndUnknown) {
    EXPECT_EQ(DecodeEscapes("a\\nb\\tc\\\\d\\0e"), std::string("a\nb\tc\\d\0e", 9));
    EXPECT_EQ(DecodeEscapes("C:\\x\\"), "C:\\x\\");
}

TEST(Utf8ToUtf16, NamesOutsideTheBasicPlane) {
    EXPECT_EQ(Utf8ToUtf16("abc"), u"abc");
    EXPECT_EQ(Utf8ToUtf16("Отчёт"), u"Отчёт");
    EXPECT_EQ(Utf8ToUtf16("年度"), u"年度");
    const std::u16string emoji = Utf8ToUtf16("😀");
    ASSERT_EQ(emoji.size(), 2u);
    EXPECT_EQ(emoji[0], 0xD83D);
    EXPECT_EQ(emoji[1], 0xDE00);
    EXPECT_EQ(Utf8ToUtf16("\xF4\x8F\xBF\xBF"), std::u16string({char16_t(0xDBFF), char16_t(0xDFFF)}));
}

TEST(Utf8ToUtf16, RejectsMalformedInput) {
    for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xB8",
                            "a\xF0\x9F\x98", "\xFF"}) {
        EXPECT_THROW(Utf8ToUtf16(bad), TPlanError) << bad;
    }
}

TEST(SplitPath, AcceptsAbsolutePathsOnly) {
    EXPECT_TRUE(SplitPath("/").empty());
    EXPECT_EQ(SplitPath("/a/b c/ü"), (std::vector<std::string>{"a", "b c", "ü"}));
    for (const char* bad : {"", "a/b", "/a//b", "/a/", "/a/./b", "/../x", "/a\tb", "/a\nb"}) {
        EXPECT_THROW(SplitPath(bad), TPlanError) << bad;
    }
    EXPECT_NO_THROW(SplitPath("/" + std::string(255, 'x')));
    EXPECT_THROW(SplitPath("/" + std::string(256, 'x')), TPlanError);
    // 128 emoji are 256 UTF-16 units: one too many for an NTFS name.
    std::string emoji;
    for (int i = 0; i < 128; ++i) {
        emoji += "😀";
    }
    EXPECT_THROW(SplitPath("/" + emoji), TPlanError);
}

TEST(JoinPath, RootAndDeeper) {
    EXPECT_EQ(JoinPath("/", "a"), "/a");
    EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
}

TEST(TContent, AnyRangeAgreesWithTheWhole) {
    const TContent content(7, "/dir/file.bin");
    std::vector<std::uint8_t> whole(1000);
    content.Fill(0, whole.data(), whole.size());
    for (std::size_t offset : {1u, 7u, 8u, 9u, 500u, 999u}) {
        std::vector<std::uint8_t> part(whole.size() - offset);
        content.Fill(offset, part.data(), part.size());
        EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<std::ptrdiff_t>(offset)))
            << offset;
    }
}

TEST(TContent, SeedAndPathBothMatter) {
    std::vector<std::uint8_t> a(64), b(64), c(64), d(64);
    TContent(1, "/a").Fill(0, a.data(), a.size());
    TContent(2, "/a").Fill(0, b.data(), b.size());
    TContent(1, "/b").Fill(0, c.data(), c.size());
    TContent(1, "/a").Fill(0, d.data(), d.size());
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a, d);
}

TEST(TRandom, BelowStaysInRangeAndIsRepeatable) {
    TRandom first(42), second(42);
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t v = first.Below(17);
        EXPECT_LT(v, 17u);
        EXPECT_EQ(v, second.Below(17));
        const double u = first.Unit();
        second.Unit();
        EXPECT_GE(u, 0.0);
        EXPECT_LT(u, 1.0);
    }
}

TEST(TakeOption, KeyMustMatchWholly) {
    std::string value;
    EXPECT_TRUE(TakeOption("seed=12", "seed", value));
    EXPECT_EQ(value, "12");
    EXPECT_FALSE(TakeOption("seeds=12", "seed", value));
    EXPECT_FALSE(TakeOption("seed=", "seed", value));
    EXPECT_FALSE(TakeOption("/seed=1", "seed", value));
}

}  // namespace
}  // namespace deruzera::mkimage
