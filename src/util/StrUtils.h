// Small text helpers shared by every layer.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

// printf-style formatting into a std::string (the message tables use %s/%d placeholders).
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

// ASCII-only case changes; locale-independent on purpose.
std::string AsciiLower(std::string_view s);
std::string AsciiUpper(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);
