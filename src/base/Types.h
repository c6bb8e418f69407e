// SPDX-License-Identifier: GPL-3.0-or-later
// Basic value types of the graphics layer.
#pragma once

#include <cstdint>

// Colours as 0x00BBGGRR; system colours are 0xFF000000 | index (resolved only for display).
using TColor = uint32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;
constexpr TColor clWindowText = 0xFF000008;
constexpr TColor clWindow = 0xFF000005;

constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<TColor>(r) | (static_cast<TColor>(g) << 8) | (static_cast<TColor>(b) << 16);
}
constexpr uint8_t GetRValue(TColor c) {
    return static_cast<uint8_t>(c);
}
constexpr uint8_t GetGValue(TColor c) {
    return static_cast<uint8_t>(c >> 8);
}
constexpr uint8_t GetBValue(TColor c) {
    return static_cast<uint8_t>(c >> 16);
}
// Resolves system colours against a white window and black text.
TColor ColorToRGB(TColor c);

struct TPoint {
    int X = 0, Y = 0;
};

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    constexpr int Width() const { return Right - Left; }
    constexpr int Height() const { return Bottom - Top; }
    constexpr bool IsEmpty() const { return Right <= Left || Bottom <= Top; }
    constexpr bool operator==(const TRect&) const = default;
};
constexpr TRect Rect(int l, int t, int r, int b) {
    return TRect{l, t, r, b};
}

// One palette entry and one 24-bit pixel in memory order.
struct TRGBQuad {
    uint8_t Blue = 0, Green = 0, Red = 0, Reserved = 0;
    constexpr bool operator==(const TRGBQuad&) const = default;
};
struct TPaletteEntry {
    uint8_t Red = 0, Green = 0, Blue = 0, Flags = 0;
    constexpr bool operator==(const TPaletteEntry&) const = default;
};

enum TProgressStage { psStarting, psRunning, psEnding };
