// SPDX-License-Identifier: GPL-3.0-or-later
// Small text helpers shared by every layer.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

// printf-style formatting into a std::string (the message tables use %s/%d placeholders).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

// ASCII-only case changes; locale-independent on purpose.
std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);

// Int(text) of the option edits: exactly [+-]?[0-9]+ within 32 bits; no blanks,
// no locale, no hexadecimal.
bool TryStrToInt(std::string_view s, int32_t& value);
int32_t StrToIntDef(std::string_view s, int32_t defaultValue);
// Settings-file integers: the above, or "0x", "0X" or "$" with 1 to 8 hex digits,
// which wrap to 32 bits ("0xFFFFFFFF" is -1).
bool TryIniStrToInt(std::string_view s, int32_t& value);
int32_t IniStrToIntDef(std::string_view s, int32_t defaultValue);

// Control characters written as \n, \r, \t or \xHH (and a backslash as \\), so
// that a file name cannot break or forge a line of stderr or of a log.
std::string EscapeControlCharacters(std::string_view s);
