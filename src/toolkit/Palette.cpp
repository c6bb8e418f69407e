// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Palette.h"

#include "base/Exceptions.h"

TColor ColorToRGB(TColor c) {
    if ((c & 0xFF000000u) == 0xFF000000u) {
        switch (c & 0xFF) {
        case 5:
            return clWhite; // window
        case 8:
            return clBlack; // window text
        case 15:
            return RGBColor(240, 240, 240); // button face
        case 18:
            return clBlack; // button text
        default:
            return RGBColor(192, 192, 192);
        }
    }
    return c & 0x00FFFFFF;
}

TPalette::TPalette(const std::vector<TPaletteEntry>& entries) {
    SetCount(static_cast<int>(entries.size() > 256 ? 256 : entries.size()));
    for (int i = 0; i < FCount; ++i)
        FEntries[i] = entries[i];
}

void TPalette::SetCount(int count) {
    if (count < 0 || count > 256) throw EInvalidGraphic("Invalid palette size");
    for (int i = count; i < 256; ++i)
        FEntries[i] = TPaletteEntry{};
    FCount = count;
}

const TPaletteEntry& TPalette::operator[](int index) const {
    static const TPaletteEntry black{};
    if (index < 0 || index >= FCount) return black;
    return FEntries[index];
}

void TPalette::Set(int index, TPaletteEntry e) {
    if (index < 0 || index >= 256) return;
    if (index >= FCount) FCount = index + 1;
    FEntries[index] = e;
}

int TPalette::NearestIndex(uint8_t r, uint8_t g, uint8_t b) const {
    int best = 0;
    int bestDist = 1 << 30;
    for (int i = 0; i < FCount; ++i) {
        int dr = FEntries[i].Red - r, dg = FEntries[i].Green - g, db = FEntries[i].Blue - b;
        int d = dr * dr + dg * dg + db * db;
        if (d < bestDist) {
            bestDist = d;
            best = i;
            if (d == 0) break;
        }
    }
    return best;
}

bool TPalette::operator==(const TPalette& o) const {
    if (FCount != o.FCount) return false;
    for (int i = 0; i < FCount; ++i)
        if (!(FEntries[i].Red == o.FEntries[i].Red && FEntries[i].Green == o.FEntries[i].Green &&
              FEntries[i].Blue == o.FEntries[i].Blue))
            return false;
    return true;
}

static TPalette FromTable(const uint8_t (*rgb)[3], int n) {
    TPalette p;
    p.SetCount(n);
    for (int i = 0; i < n; ++i)
        p.Set(i, rgb[i][0], rgb[i][1], rgb[i][2]);
    return p;
}

const TPalette& SystemPalette16() {
    static const uint8_t t[16][3] = {
        {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},  {0, 0, 128}, {128, 0, 128},
        {0, 128, 128}, {128, 128, 128}, {192, 192, 192}, {255, 0, 0},    {0, 255, 0}, {255, 255, 0},
        {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    static const TPalette p = FromTable(t, 16);
    return p;
}

const TPalette& DefaultPalette20() {
    static const uint8_t t[20][3] = {
        {0, 0, 0},       {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128},
        {128, 0, 128},   {0, 128, 128},   {192, 192, 192}, {192, 220, 192}, {166, 202, 240},
        {255, 251, 240}, {160, 160, 164}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0},
        {255, 255, 0},   {0, 0, 255},     {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    static const TPalette p = FromTable(t, 20);
    return p;
}

// The halftone palette as the platform builds it for 8-bit displays: the 20
// static colours split around a colour cube. Entries 0..9 are the first ten
// static colours, 246..255 the last ten; between them the 6x6x6 cube with
// levels 0, 51, 102, 153, 204, 255 (blue fastest), followed by twenty greys
// i * 255 / 25 (rounded, cube levels left out) that fill the table. Every entry is fixed here so
// that output is the same on every machine.
const TPalette& HalftonePalette256() {
    static const TPalette p = [] {
        TPalette h;
        h.SetCount(256);
        const TPalette& s = DefaultPalette20();
        for (int i = 0; i < 10; ++i)
            h.Set(i, s[i]);
        int k = 10;
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    h.Set(k++, static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                          static_cast<uint8_t>(b * 51));
        for (int i = 1; i < 25; ++i) {
            int v = (i * 255 * 2 + 25) / 50;
            if (v % 51 == 0) continue;
            h.Set(k++, static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
        }
        for (int i = 10; i < 20; ++i)
            h.Set(k++, s[i]);
        return h;
    }();
    return p;
}

const TPalette& MonochromePalette() {
    static const uint8_t t[2][3] = {{0, 0, 0}, {255, 255, 255}};
    static const TPalette p = FromTable(t, 2);
    return p;
}

TPalette GreyPalette(int levels) {
    TPalette p;
    if (levels < 1) levels = 1;
    if (levels > 256) levels = 256;
    p.SetCount(levels);
    for (int i = 0; i < levels; ++i) {
        int v = levels == 1 ? 0 : (i * 255 + (levels - 1) / 2) / (levels - 1);
        p.Set(i, static_cast<uint8_t>(v), static_cast<uint8_t>(v), static_cast<uint8_t>(v));
    }
    return p;
}
