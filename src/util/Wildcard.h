// SPDX-License-Identifier: GPL-3.0-or-later
// File-mask matching and the one case rule every name comparison uses.
//
// Case is folded per code point with the Unicode simple upper-case mapping,
// independent of the locale, so a mask, an extension look-up and the scan
// order behave the same on every machine. Names are bytes: a byte that starts
// no valid UTF-8 sequence counts as one character of its own and folds to
// itself, so any file name can be matched and ordered.
#pragma once

#include "util/Utf8.h"

#include <cstddef>
#include <string>
#include <string_view>

// Simple upper case of one code point; itself when it has none.
char32_t FoldCodePoint(char32_t c);
std::u32string FoldCodePoints(std::string_view utf8);
std::string FoldCase(std::string_view utf8);
// Folded code points compared ordinally, ties broken by the raw bytes, so
// names that differ only in case still have a fixed order. <0, 0 or >0.
int CompareFolded(std::string_view a, std::string_view b);
// Equal after folding (names that differ only in case count as the same).
bool SameTextFolded(std::string_view a, std::string_view b);

// Tests a file name against a mask: "?" is one character, "*" any run of
// characters. "*" and "*.*" match every name, also names without a dot.
bool MatchWildcard(std::string_view name, std::string_view mask, bool ignoreCase = true);
// 1-based character position of the leftmost occurrence of segment in text,
// "?" in segment standing for any one character; 0 when absent or segment is empty.
size_t FindWildcardSegment(std::string_view segment, std::string_view text);
// The same on decoded characters, for callers that already hold them.
size_t FindWildcardSegment(std::u32string_view segment, std::u32string_view text);
