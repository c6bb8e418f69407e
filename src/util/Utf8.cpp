// SPDX-License-Identifier: GPL-3.0-or-later
#include "util/Utf8.h"

namespace {

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

} // namespace

char32_t DecodeUtf8Next(std::string_view s, size_t& pos) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char b0 = byte(pos);
    size_t left = s.size() - pos;
    if (b0 < 0x80) {
        ++pos;
        return b0;
    }
    // Strict decoding: overlong forms, surrogates and values past U+10FFFF are
    // stray bytes, so every valid name has exactly one spelling.
    if (b0 >= 0xC2 && b0 <= 0xDF && left >= 2 && IsContinuation(byte(pos + 1))) {
        char32_t c = (char32_t(b0 & 0x1F) << 6) | (byte(pos + 1) & 0x3F);
        pos += 2;
        return c;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF && left >= 3) {
        unsigned char b1 = byte(pos + 1);
        unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
        unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
        if (b1 >= lo && b1 <= hi && IsContinuation(byte(pos + 2))) {
            char32_t c =
                (char32_t(b0 & 0x0F) << 12) | (char32_t(b1 & 0x3F) << 6) | (byte(pos + 2) & 0x3F);
            pos += 3;
            return c;
        }
    }
    if (b0 >= 0xF0 && b0 <= 0xF4 && left >= 4) {
        unsigned char b1 = byte(pos + 1);
        unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
        unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
        if (b1 >= lo && b1 <= hi && IsContinuation(byte(pos + 2)) &&
            IsContinuation(byte(pos + 3))) {
            char32_t c = (char32_t(b0 & 0x07) << 18) | (char32_t(b1 & 0x3F) << 12) |
                         (char32_t(byte(pos + 2) & 0x3F) << 6) | (byte(pos + 3) & 0x3F);
            pos += 4;
            return c;
        }
    }
    ++pos;
    return Utf8ByteEscape + (b0 - 0x80);
}

std::u32string DecodeUtf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (size_t pos = 0; pos < s.size();)
        out.push_back(DecodeUtf8Next(s, pos));
    return out;
}

std::string EncodeUtf8(std::u32string_view chars) {
    std::string out;
    out.reserve(chars.size());
    for (char32_t c : chars) {
        if (c >= Utf8ByteEscape && c < Utf8ByteEscape + 0x80)
            out.push_back(static_cast<char>(0x80 + (c - Utf8ByteEscape)));
        else
            AppendUtf8(out, c);
    }
    return out;
}

size_t Utf8Length(std::string_view s) {
    size_t n = 0;
    for (size_t pos = 0; pos < s.size(); ++n)
        DecodeUtf8Next(s, pos);
    return n;
}

size_t Utf8PrefixBytes(std::string_view s, size_t maxChars) {
    size_t pos = 0;
    for (size_t n = 0; n < maxChars && pos < s.size(); ++n)
        DecodeUtf8Next(s, pos);
    return pos;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (size_t pos = 0; pos < s.size();) {
        char32_t cp = DecodeUtf8Next(s, pos);
        if (cp >= Utf8ByteEscape && cp < Utf8ByteEscape + 0x80) cp = 0xFFFD;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}
