// SPDX-License-Identifier: GPL-3.0-or-later
// The one UTF-8 codec of the program: file names, metafile text, descriptions
// and layer names all go through it, so every place treats a stray byte alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A byte that is not part of valid UTF-8 decodes to 0xDC80 + byte: a surrogate,
// which valid UTF-8 never yields, so decoding and encoding round-trip any bytes.
constexpr char32_t Utf8ByteEscape = 0xDC80;

// Decodes the character starting at s[pos] and advances pos past it.
char32_t DecodeUtf8Next(std::string_view s, size_t& pos);
std::u32string DecodeUtf8(std::string_view s);
// The inverse of DecodeUtf8 (escaped bytes are written back as they were).
std::string EncodeUtf8(std::u32string_view chars);
// Number of characters (code points or stray bytes) in s.
size_t Utf8Length(std::string_view s);
// Byte length of the first maxChars characters of s; never splits a sequence.
size_t Utf8PrefixBytes(std::string_view s, size_t maxChars);
// Appends the UTF-8 form of one code point (no escape handling: text from a file's
// own UTF-16 or UCS-4 is written as it is).
void AppendUtf8(std::string& out, char32_t c);
// UTF-16 of UTF-8 text; a stray byte becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
