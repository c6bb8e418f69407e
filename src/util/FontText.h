// SPDX-License-Identifier: GPL-3.0-or-later
// A font as the settings file keeps it: one line of six comma-separated fields
// (face, character set, colour, size, style, and one integer of the caller's).
#pragma once

#include "base/Types.h"

#include <cstdint>
#include <string>
#include <string_view>

// Style bits.
enum : int { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
constexpr int fsAllStyles = fsBold | fsItalic | fsUnderline | fsStrikeOut;

struct TFontDescription {
    std::string Name = "MS Sans Serif"; // stored as chosen; resolved only for display
    int Charset = 1;                    // 0..255; 1 is the platform default set
    int32_t Color = static_cast<int32_t>(clWindowText); // toolkit colour, signed as written
    int Size = 8;                                       // points
    int Style = 0;                                      // fs* bits
    bool operator==(const TFontDescription&) const = default;
};

// The watermark's default: the default description above with the window
// colour as extra value.
constexpr std::string_view DefaultFontText = "MS Sans Serif,1,-16777208,8,0,-16777211";

// "Name,Charset,Color,Size,Style,Extra". A "," in the face name is not escaped.
std::string FontToString(const TFontDescription& font, int32_t extra);
// Reads the fields from the front; each of the first five counts only when a
// "," follows it, an empty or non-numeric field leaves its value alone, and a
// value out of range (character set outside 0..255, unknown style bits) ends
// the parse. Never raises; fields before damage stay applied.
void StringToFont(std::string_view text, TFontDescription& font, int32_t& extra);
