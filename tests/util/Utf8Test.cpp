// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/Utf8.h"

#include <gtest/gtest.h>

TEST(Utf8, DecodingRoundTripsAnyBytes) {
    const std::string samples[] = {"plain",
                                   "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
                                   "\xC0\xAF",         // overlong "/"
                                   "\xED\xA0\x80",     // encoded surrogate
                                   "\xF4\x90\x80\x80", // past U+10FFFF
                                   "\xE2\x82",         // cut short
                                   std::string("a\0b", 3),
                                   "\xFF\xFE\x80"};
    for (const std::string& s : samples)
        EXPECT_EQ(EncodeUtf8(DecodeUtf8(s)), s);
    EXPECT_EQ(DecodeUtf8("\xC0\xAF").size(), 2u); // never read as "/"
    EXPECT_EQ(DecodeUtf8("\xED\xA0\x80").size(), 3u);
    EXPECT_EQ(Utf8Length("\xF0\x9F\x98\x80x"), 2u);
    EXPECT_EQ(Utf8PrefixBytes("\xC3\xA9\xC3\xA9", 1), 2u);
    EXPECT_EQ(Utf8PrefixBytes("ab", 5), 2u);
}

TEST(Utf8, AppendWritesEveryLengthOfSequence) {
    std::string out;
    for (char32_t c : {U'A', U'\u00E9', U'\u20AC', U'\U0001F600'})
        AppendUtf8(out, c);
    EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(Utf8, ToUtf16PairsAstralCharactersAndReplacesStrayBytes) {
    EXPECT_EQ(Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80"),
              (std::u16string{u'a', u'\u00E9', char16_t(0xD83D), char16_t(0xDE00)}));
    // An overlong "/" is two stray bytes, never a slash; a cut sequence is one per byte.
    EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), (std::u16string{u'\uFFFD', u'\uFFFD'}));
    EXPECT_EQ(Utf8ToUtf16("x\xE2\x82"), (std::u16string{u'x', u'\uFFFD', u'\uFFFD'}));
}
