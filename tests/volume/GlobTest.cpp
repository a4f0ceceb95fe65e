// The case-insensitive glob and substring matcher of the search and of
// --match: case folding against ICU, and matching against a plain
// recursive glob over random patterns and texts.
#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf16.h>

#include <random>
#include <string>
#include <vector>

#include "volume/Glob.h"

using namespace deruzera;

namespace {

std::u32string Decode(const std::string& text) {
    std::u32string out;
    for (std::size_t at = 0; at < text.size();) out += NextCharacter(text, at);
    return out;
}

char32_t Folded(char32_t c) { return c == '/' ? U'\\' : FoldCase(c); }

// The plain definition, as a table: match[i][j] when the pattern from i on
// matches the text from j on. "*" any run, "?" any one character, the rest
// equal once folded.
bool Reference(const std::u32string& p, const std::u32string& t) {
    std::vector<std::vector<char>> match(p.size() + 1, std::vector<char>(t.size() + 1, 0));
    match[p.size()][t.size()] = 1;
    for (std::size_t i = p.size(); i-- > 0;) {
        for (std::size_t j = t.size() + 1; j-- > 0;) {
            if (p[i] == '*') match[i][j] = match[i + 1][j] || (j < t.size() && match[i][j + 1]);
            else match[i][j] = j < t.size() && (p[i] == '?' || Folded(p[i]) == Folded(t[j])) && match[i + 1][j + 1];
        }
    }
    return match[0][0];
}

}  // namespace

TEST(CaseFold, AgreesWithIcuOnEveryCharacter) {
    int differences = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const auto expected = static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
        if (FoldCase(c) != expected && ++differences <= 5) ADD_FAILURE() << std::hex << "U+" << static_cast<std::uint32_t>(c);
    }
    EXPECT_EQ(differences, 0);
}

TEST(CaseFold, NamesInLatinGreekAndCyrillicMatchWhateverTheirCase) {
    EXPECT_TRUE(TGlob("ÄRGER*").Matches("ärger.txt"));
    EXPECT_TRUE(TGlob("ΣΟΦΊΑ.doc").Matches("σοφία.DOC"));
    EXPECT_TRUE(TGlob("*ς").Matches("ΛΌΓΟΣ"));  // final sigma folds as sigma
    EXPECT_TRUE(TGlob("отчёт*").Matches("ОТЧЁТ 2024.xlsx"));
    EXPECT_TRUE(TGlob("łódź", TGlob::Contains).Matches("C:\\Miasta\\ŁÓDŹ\\"));
    EXPECT_FALSE(TGlob("strasse").Matches("straße"));  // one character is not two
}

TEST(Utf8, MalformedBytesAreEachOneReplacementCharacter) {
    EXPECT_EQ(Decode("a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"), U"a\u00E4\u20AC\U0001F600");
    EXPECT_EQ(Decode("\xC0\x80"), U"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(Decode("\xED\xA0\x80"), U"\uFFFD\uFFFD\uFFFD");  // a surrogate
    EXPECT_EQ(Decode("\xE2\x82"), U"\uFFFD\uFFFD");            // cut short
    EXPECT_EQ(Decode("\xF5\x80\x80\x80x"), U"\uFFFD\uFFFD\uFFFD\uFFFDx");
    EXPECT_TRUE(TGlob("?").Matches("\xFF"));
}

TEST(Glob, WildcardsAndSeparators) {
    EXPECT_TRUE(TGlob("*.jpg").Matches("C:\\Photos\\Trip\\IMG_1.JPG"));
    EXPECT_FALSE(TGlob("*.jpg").Matches("C:\\Photos\\IMG_1.jpeg"));
    EXPECT_TRUE(TGlob("C:/photos/*/img_?.jpg").Matches("C:\\Photos\\Trip\\IMG_1.JPG"));
    EXPECT_TRUE(TGlob("*\\Trip\\*").Matches("C:\\Photos\\Trip\\a"));
    EXPECT_TRUE(TGlob("").Matches(""));
    EXPECT_FALSE(TGlob("").Matches("a"));
    EXPECT_TRUE(TGlob("***").Matches(""));
    EXPECT_TRUE(TGlob("a?c").Matches("aäc"));  // "?" is a character, not a byte
    EXPECT_FALSE(TGlob("a?c").Matches("ac"));
    EXPECT_TRUE(TGlob::HasWildcards("a?"));
    EXPECT_FALSE(TGlob::HasWildcards("a.txt"));
}

TEST(Glob, ContainsTakesWildcardsLiterally) {
    const TGlob search("a*b", TGlob::Contains);
    EXPECT_TRUE(search.Matches("xxA*Byy"));
    EXPECT_FALSE(search.Matches("axxb"));
    EXPECT_TRUE(TGlob("", TGlob::Contains).Matches("anything"));
}

TEST(Glob, FedInPartsAsAWhole) {
    // The state after a folder's path carries into each file's name, so a
    // search may straddle the last backslash.
    const TGlob search("docs\\rep", TGlob::Contains);
    const TGlob::TState folder = search.Feed(search.Start(), "C:\\Users\\Docs\\");
    EXPECT_FALSE(search.Accepts(folder));
    EXPECT_TRUE(search.Accepts(search.Feed(folder, "report.txt")));
    EXPECT_FALSE(search.Accepts(search.Feed(folder, "letter.txt")));
    EXPECT_TRUE(search.Settled(search.Feed(folder, "rep")));

    const TGlob glob("C:\\*\\a.txt");
    EXPECT_TRUE(glob.Dead(glob.Feed(glob.Start(), "D:\\")));
    EXPECT_FALSE(glob.Dead(glob.Feed(glob.Start(), "C:\\x")));
}

TEST(Glob, AgreesWithThePlainDefinitionOnRandomPatterns) {
    // Short and long patterns (past one 64-bit word of state), split texts.
    const std::vector<std::string> pieces = {"a", "A", "b", "ä", "Ä", "ж", "Ж", "*", "?", "\\", "/", "."};
    std::mt19937 random(7);
    int matched = 0;
    for (int round = 0; round < 20000; ++round) {
        const bool longOne = round % 10 == 0;
        std::string pattern, text;
        const int patternLength = static_cast<int>(random() % (longOne ? 150 : 8));
        for (int i = 0; i < patternLength; ++i) pattern += pieces[random() % pieces.size()];
        // Texts made from the pattern's pieces match far more often than random ones.
        const int textLength = static_cast<int>(random() % (longOne ? 200 : 10));
        for (int i = 0; i < textLength; ++i) {
            const std::string& piece = pieces[random() % (pieces.size() - 2)];
            text += piece;
        }
        if (round % 3 == 0) {
            text = pattern;
            for (char& c : text)
                if (c == '*' || c == '?') c = 'a';
        }
        const TGlob glob(pattern);
        const bool expected = Reference(Decode(pattern), Decode(text));
        ASSERT_EQ(glob.Matches(text), expected) << "pattern " << pattern << " text " << text;
        const std::size_t split = text.empty() ? 0 : random() % text.size();
        // A split inside a character feeds its bytes apart; only whole
        // characters are fed in parts by the callers.
        if ((static_cast<unsigned char>(text[split]) & 0xC0) != 0x80 || split == 0) {
            const TGlob::TState part = glob.Feed(glob.Start(), text.substr(0, split));
            EXPECT_EQ(glob.Accepts(glob.Feed(part, text.substr(split))), expected) << pattern << " / " << text;
        }
        matched += expected;
    }
    EXPECT_GT(matched, 2000);  // the test sees both answers often
}

TEST(Glob, APatternIsCutAtItsLimit) {
    const std::string longest(TGlob::MaxCharacters, 'x');
    EXPECT_TRUE(TGlob(longest + "yyy").Matches(longest));
    EXPECT_TRUE(TGlob(longest, TGlob::Contains).Matches("a" + longest + "b"));
}

TEST(MarkFold, BaseLettersAndMarksAgreeWithIcu) {
    // A letter with marks on it is its canonical decomposition's first
    // character where the rest are nonspacing marks; marks are category Mn.
    UErrorCode error = U_ZERO_ERROR;
    const UNormalizer2* nfd = unorm2_getNFDInstance(&error);
    ASSERT_TRUE(U_SUCCESS(error));
    int folded = 0;
    for (UChar32 c = 0x80; c < 0x3000; ++c) {
        EXPECT_EQ(IsNonspacingMark(static_cast<char32_t>(c)), u_charType(c) == U_NON_SPACING_MARK) << std::hex << c;
        UChar source[2], decomposed[16];
        int32_t length = 0;
        U16_APPEND_UNSAFE(source, length, c);
        error = U_ZERO_ERROR;
        const int32_t n = unorm2_normalize(nfd, source, length, decomposed, 16, &error);
        ASSERT_TRUE(U_SUCCESS(error));
        UChar32 first;
        int32_t at = 0;
        U16_NEXT(decomposed, at, n, first);
        bool marks = at < n;
        for (int32_t i = at; i < n;) {
            UChar32 next;
            U16_NEXT(decomposed, i, n, next);
            marks = marks && u_charType(next) == U_NON_SPACING_MARK;
        }
        const char32_t expected = marks && u_charType(first) != U_NON_SPACING_MARK ? static_cast<char32_t>(first)
                                                                                    : static_cast<char32_t>(c);
        EXPECT_EQ(BaseLetter(static_cast<char32_t>(c)), expected) << std::hex << c;
        folded += expected != static_cast<char32_t>(c);
    }
    EXPECT_GT(folded, 800);  // Latin, Greek and Cyrillic letters with accents, and more
}

TEST(Glob, TheSearchLeavesAccentsAsideAndMatchDoesNot) {
    const std::string naive = "na\xC3\xAFve.txt";             // ï precomposed
    const std::string decomposed = "nai\xCC\x88ve.txt";        // i and U+0308
    const std::string resume = "R\xC3\xA9sum\xC3\xA9 2024.pdf";
    for (const std::string& name : {naive, decomposed}) {
        EXPECT_TRUE(TGlob("nai", TGlob::Contains, true).Matches(name)) << name;
        EXPECT_TRUE(TGlob("NAÏVE", TGlob::Contains, true).Matches(name)) << name;
        EXPECT_TRUE(TGlob("*ve.TXT", TGlob::Whole, true).Matches(name)) << name;
    }
    EXPECT_TRUE(TGlob("resume", TGlob::Contains, true).Matches(resume));
    EXPECT_TRUE(TGlob("r?sum?*", TGlob::Whole, true).Matches(resume));
    // Letters of other scripts and other letters stay apart.
    EXPECT_TRUE(TGlob("ёлка", TGlob::Contains, true).Matches("Ёлка.png"));
    EXPECT_FALSE(TGlob("nao", TGlob::Contains, true).Matches(naive));
    // --match stays as it was: case aside, accents not.
    EXPECT_FALSE(TGlob("*nai*", TGlob::Whole).Matches(naive));
    EXPECT_TRUE(TGlob("*NAÏ*", TGlob::Whole).Matches(naive));
}
