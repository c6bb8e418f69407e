// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/StrUtils.h"

#include <cstdio>
#include <vector>

std::string FormatV(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = FormatV(fmt, args);
    va_end(args);
    return s;
}

std::string AsciiLower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

std::string AsciiUpper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return r;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && AsciiLower(a) == AsciiLower(b);
}

bool TryStrToInt(std::string_view s, int32_t& value) {
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return false;
    // Accumulate the magnitude in 64 bits; stop as soon as it cannot fit.
    int64_t magnitude = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > int64_t{2147483648}) return false;
    }
    if (!negative && magnitude > INT32_MAX) return false;
    value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}

int32_t StrToIntDef(std::string_view s, int32_t defaultValue) {
    int32_t v = 0;
    return TryStrToInt(s, v) ? v : defaultValue;
}

bool TryIniStrToInt(std::string_view s, int32_t& value) {
    size_t prefix = s.starts_with("0x") || s.starts_with("0X") ? 2 : s.starts_with("$") ? 1 : 0;
    if (prefix == 0) return TryStrToInt(s, value);
    s.remove_prefix(prefix);
    if (s.empty() || s.size() > 8) return false;
    uint32_t bits = 0;
    for (char c : s) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) return false;
        bits = bits << 4 | static_cast<uint32_t>(digit);
    }
    value = static_cast<int32_t>(bits);
    return true;
}

int32_t IniStrToIntDef(std::string_view s, int32_t defaultValue) {
    int32_t v = 0;
    return TryIniStrToInt(s, v) ? v : defaultValue;
}

std::string EscapeControlCharacters(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}
