#include <gtest/gtest.h>

#include "Synthetic.h"
#include "volume/Attributes.h"
#include "volume/Layout.h"

using namespace deruzera;

namespace {

std::string NameFound(const synth::Bytes& record, bool skipDos) {
    return FileNameOf(FindAttributeView(record, AttrFileName, skipDos));
}

TEST(FindAttribute, SkipsDosNamesOnlyWhenAsked) {
    const auto r = synth::Record(1, {synth::FileName(5, u"LONGFI~1.TXT", 2), synth::FileName(5, u"long file name.txt", 1)});
    EXPECT_EQ(NameFound(r, true), "long file name.txt");
    EXPECT_EQ(NameFound(r, false), "LONGFI~1.TXT");

    const auto dosOnly = synth::Record(0, {synth::FileName(5, u"A~1", 2)});
    EXPECT_TRUE(FindAttributeView(dosOnly, AttrFileName, true).empty());
    for (std::uint8_t ns : {std::uint8_t{0}, std::uint8_t{3}}) {
        const auto r2 = synth::Record(1, {synth::FileName(5, u"first", ns), synth::FileName(5, u"second", 1)});
        EXPECT_EQ(NameFound(r2, true), "first") << int(ns);
    }
}

TEST(FindAttribute, TakesTheFirstOfItsTypeOrTheFirstUnnamed) {
    synth::Bytes named = synth::Resident(0x80, {1, 2, 3, 0, 0, 0, 0, 0, 'A', 0, 'B', 0});
    named[9] = 2;  // a named stream ("AB", inside the value's bytes) comes first
    named[10] = 32;
    const auto r = synth::Record(0, {synth::StandardInformation(1, 2), named, synth::Resident(0x80, {9})});
    const TBytes data = FindAttributeView(r, AttrData, false);
    ASSERT_EQ(data.size(), named.size());
    EXPECT_EQ(data[9], 2);
    EXPECT_EQ(ResidentValue(FindAttributeView(r, AttrData, false, false))[0], 9);
    EXPECT_TRUE(FindAttributeView(r, 0x40, false).empty());
    // Bytes that begin with an attribute header are walked from 0.
    EXPECT_EQ(FindAttributeView(data, AttrData, false).size(), data.size());
}

TEST(FindAttribute, SurvivesDamagedAttributeChains) {
    const synth::Bytes good = synth::Record(0, {synth::StandardInformation(1, 2), synth::FileName(5, u"x")});
    auto withLength = [&](std::uint64_t length) {
        synth::Bytes r = good;
        synth::Put(r, 56 + 4, length, 4);  // length of the first attribute
        return r;
    };
    ASSERT_FALSE(FindAttributeView(withLength(96), AttrFileName, true).empty());
    EXPECT_TRUE(FindAttributeView(withLength(0), AttrFileName, true).empty());           // would loop
    EXPECT_TRUE(FindAttributeView(withLength(0x80000000u), AttrFileName, true).empty());
    EXPECT_TRUE(FindAttributeView(withLength(0xFFFFFFF8u), AttrFileName, true).empty()); // wraps
    EXPECT_TRUE(FindAttributeView(withLength(2000), AttrFileName, true).empty());        // past the end
    EXPECT_TRUE(FindAttributeView(withLength(100), AttrFileName, true).empty());         // not 8-byte aligned
    EXPECT_TRUE(FindAttributeView(withLength(16), AttrFileName, true).empty());          // shorter than its header

    // A length reaching past the bytes in use, or the last attribute's end
    // past them: the walk stops there.
    synth::Bytes longLast = good;
    const std::size_t fnAt = 56 + 96;
    synth::Put(longLast, fnAt + 4, 5000, 4);
    EXPECT_TRUE(FindAttributeView(longLast, AttrFileName, true).empty());
    synth::Bytes shortUse = good;
    synth::Put(shortUse, 24, fnAt + 8, 4);
    EXPECT_TRUE(FindAttributeView(shortUse, AttrFileName, true).empty());
    EXPECT_FALSE(FindAttributeView(shortUse, AttrStandardInformation, false).empty());

    // A value or a name that reaches past its attribute.
    synth::Bytes longValue = good;
    synth::Put(longValue, fnAt + 16, 200, 4);
    EXPECT_TRUE(FindAttributeView(longValue, AttrFileName, true).empty());
    synth::Bytes longName = good;
    longName[fnAt + 9] = 100;
    synth::Put(longName, fnAt + 10, 24, 2);
    EXPECT_TRUE(FindAttributeView(longName, AttrFileName, true).empty());

    // First-attribute offset at or past the end, and headers that don't fit.
    synth::Bytes late = good;
    synth::Put(late, 20, 1020, 2);
    EXPECT_TRUE(FindAttributeView(late, AttrFileName, false).empty());
    synth::Put(late, 20, 0xFFFF, 2);
    EXPECT_TRUE(FindAttributeView(late, AttrFileName, false).empty());
    EXPECT_TRUE(FindAttributeView(synth::Bytes{'F', 'I', 'L', 'E', 0}, AttrData, false).empty());
    EXPECT_TRUE(FindAttributeView({}, AttrData, false).empty());
}

TEST(FieldReaders, MissingBytesReadAsZero) {
    const synth::Bytes b{0x01, 0x02, 0x03};
    EXPECT_EQ(ReadU16(b, 0), 0x0201);
    EXPECT_EQ(ReadU32(b, 1), 0x0302u);
    EXPECT_EQ(ReadU64(b, 3), 0u);
    EXPECT_EQ(ReadU64(b, SIZE_MAX - 2), 0u);
    // A $FILE_NAME cut before its name gives an empty name, not a crash.
    const synth::Bytes whole = synth::FileName(5, u"abcdef");
    const synth::Bytes shortName(whole.begin(), whole.begin() + 94);
    EXPECT_EQ(FileNameOf(shortName), "ab");
    EXPECT_EQ(ParentReferenceOf(synth::Bytes(10, 0xFF)), 0u);
}

TEST(Utf16ToUtf8, JoinsSurrogatePairsAndReplacesLoneOnes) {
    EXPECT_EQ(Utf16ToUtf8(synth::Utf16(u"\u0424\u0430\u0439\u043B \u6587\u4EF6 \U0001F600")),
              "\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB \xE6\x96\x87\xE4\xBB\xB6 \xF0\x9F\x98\x80");
    const synth::Bytes lone{0x00, 0xD8, 'a', 0, 0x00, 0xDC};
    EXPECT_EQ(Utf16ToUtf8(lone), "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD");
}

}  // namespace
