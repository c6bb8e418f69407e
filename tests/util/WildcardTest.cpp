// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/Wildcard.h"

#include <gtest/gtest.h>

TEST(MatchWildcard, ExtensionMasksIgnoreCase) {
    EXPECT_TRUE(MatchWildcard("photo.jpg", "*.JPG"));
    EXPECT_TRUE(MatchWildcard("PHOTO.Jpg", "*.JPG"));
    EXPECT_FALSE(MatchWildcard("photo.jpeg", "*.jpg"));
    EXPECT_FALSE(MatchWildcard("photo.jpg", "*.JPG", false));
    EXPECT_TRUE(MatchWildcard("photo.JPG", "*.JPG", false));
}

TEST(MatchWildcard, StarDotStarMatchesNamesWithoutDot) {
    EXPECT_TRUE(MatchWildcard("README", "*.*"));
    EXPECT_TRUE(MatchWildcard("README", "*"));
    EXPECT_TRUE(MatchWildcard("README", "**.**")); // runs of stars collapse first
    EXPECT_FALSE(MatchWildcard("README", "*."));
    EXPECT_TRUE(MatchWildcard("README.", "*."));
}

TEST(MatchWildcard, QuestionMarkIsExactlyOneCharacter) {
    EXPECT_TRUE(MatchWildcard("img01.bmp", "img??.bmp"));
    EXPECT_FALSE(MatchWildcard("img1.bmp", "img??.bmp"));
    EXPECT_FALSE(MatchWildcard("img001.bmp", "img??.bmp"));
    // One code point, not one byte: "é" is two bytes, "€" three.
    EXPECT_TRUE(MatchWildcard("caf\xC3\xA9.png", "caf?.png"));
    EXPECT_TRUE(MatchWildcard("\xE2\x82\xAC", "?"));
    EXPECT_FALSE(MatchWildcard("\xE2\x82\xAC", "??"));
}

TEST(MatchWildcard, SegmentsBetweenStarsAreFoundLeftmostInOrder) {
    EXPECT_TRUE(MatchWildcard("abc", "a*b*c"));
    EXPECT_TRUE(MatchWildcard("aXbYc", "a*b*c"));
    EXPECT_FALSE(MatchWildcard("acb", "a*b*c"));
    // The last segment may not reuse characters the prefix consumed.
    EXPECT_FALSE(MatchWildcard("abcd", "abc*bcd"));
    EXPECT_TRUE(MatchWildcard("abcbcd", "abc*bcd"));
    EXPECT_FALSE(MatchWildcard("a", "a*b*"));
    EXPECT_TRUE(MatchWildcard("ab", "a*b*"));
    EXPECT_TRUE(MatchWildcard("x.tar.gz", "*.tar*gz"));
    EXPECT_TRUE(MatchWildcard("a.b.c", "*.?"));
    EXPECT_FALSE(MatchWildcard("abc", "ab")); // mask used up before the name
    EXPECT_FALSE(MatchWildcard("ab", "abc")); // name used up before the mask
}

TEST(MatchWildcard, EmptyNameOrMaskOnlyMatchesWhenEqualOrAllStars) {
    EXPECT_TRUE(MatchWildcard("", ""));
    EXPECT_FALSE(MatchWildcard("a", ""));
    EXPECT_FALSE(MatchWildcard("", "a"));
    EXPECT_FALSE(MatchWildcard("", "?"));
    EXPECT_TRUE(MatchWildcard("", "*"));
}

TEST(MatchWildcard, CaseFoldIsUnicodeAndLocaleIndependent) {
    EXPECT_TRUE(MatchWildcard("\xC3\xA9t\xC3\xA9.gif", "\xC3\x89T\xC3\x89.GIF")); // été / ÉTÉ
    EXPECT_TRUE(MatchWildcard("\xD0\xB1.bmp", "\xD0\x91.BMP"));                   // б / Б
    // Dotless ı folds to I; no Turkish locale rule turns i into İ.
    EXPECT_TRUE(MatchWildcard("f\xC4\xB1le", "FILE"));
    EXPECT_FALSE(MatchWildcard("file", "F\xC4\xB0LE"));
    // ß has no single-code-point upper case and stays itself.
    EXPECT_FALSE(MatchWildcard("stra\xC3\x9F"
                               "e",
                               "STRASSE"));
}

TEST(MatchWildcard, StrayBytesMatchOnlyThemselves) {
    std::string latin1 = "caf\xE9.jpg"; // not UTF-8
    EXPECT_TRUE(MatchWildcard(latin1, "*.JPG"));
    EXPECT_TRUE(MatchWildcard(latin1, "caf?.jpg"));
    EXPECT_TRUE(MatchWildcard(latin1, "CAF\xE9.*"));
    EXPECT_FALSE(MatchWildcard(latin1, "caf\xC3\xA9.jpg"));
}

TEST(FindWildcardSegment, OneBasedLeftmostPosition) {
    EXPECT_EQ(FindWildcardSegment("bc", "abcbc"), 2u);
    EXPECT_EQ(FindWildcardSegment("b?b", "abcbc"), 2u);
    EXPECT_EQ(FindWildcardSegment("??", "abc"), 1u);
    EXPECT_EQ(FindWildcardSegment("x", "abc"), 0u);
    EXPECT_EQ(FindWildcardSegment("", "abc"), 0u);
    EXPECT_EQ(FindWildcardSegment("abcd", "abc"), 0u);
    EXPECT_EQ(FindWildcardSegment("c", "\xC3\xA9"
                                       "c"),
              2u); // counted in characters
}

TEST(CaseFold, SimpleUpperCaseMapping) {
    EXPECT_EQ(FoldCodePoint(U'a'), U'A');
    EXPECT_EQ(FoldCodePoint(U'\u00FF'), U'\u0178'); // ÿ
    EXPECT_EQ(FoldCodePoint(U'\u0101'), U'\u0100'); // alternating pairs
    EXPECT_EQ(FoldCodePoint(U'\u0100'), U'\u0100');
    EXPECT_EQ(FoldCodePoint(U'\u017F'), U'S');      // long s
    EXPECT_EQ(FoldCodePoint(U'\u03C3'), U'\u03A3'); // σ
    EXPECT_EQ(FoldCodePoint(U'\u03C2'), U'\u03A3'); // final ς
    EXPECT_EQ(FoldCodePoint(U'\u1F80'), U'\u1F88'); // with ypogegrammeni: title form
    EXPECT_EQ(FoldCodePoint(U'\u00DF'), U'\u00DF');
    EXPECT_EQ(FoldCodePoint(U'\U0001E922'), U'\U0001E900'); // Adlam, beyond the BMP
    EXPECT_EQ(FoldCodePoint(Utf8ByteEscape + 0x61), Utf8ByteEscape + 0x61);
    EXPECT_EQ(FoldCase("Stra\xC3\x9F"
                       "e \xC3\xA0 la"),
              "STRA\xC3\x9F"
              "E \xC3\x80 LA");
}

TEST(CaseFold, CompareFoldedOrdersByFoldedCodePointsThenBytes) {
    EXPECT_LT(CompareFolded("ABC", "abc"), 0);
    EXPECT_GT(CompareFolded("abc", "ABC"), 0);
    EXPECT_LT(CompareFolded("apple", "Banana"), 0); // case ignored first
    EXPECT_LT(CompareFolded("b", "\xC3\xA9"), 0);   // code point order, not locale collation
    EXPECT_LT(CompareFolded("ab", "abc"), 0);
    EXPECT_TRUE(SameTextFolded("Kelvane", "KELVANE"));
    EXPECT_FALSE(SameTextFolded("Kelvane", "Kelvan"));
}
