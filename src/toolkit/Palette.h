// SPDX-License-Identifier: GPL-3.0-or-later
// Palettes of up to 256 colours and the fixed tables of the platform.
#pragma once

#include "base/Types.h"

#include <array>
#include <cstdint>
#include <vector>

// A palette keeps its declared count but is backed by 256 entries: an index
// past the count reads black, so a damaged index can never read out of bounds.
class TPalette {
public:
    TPalette() = default;
    explicit TPalette(const std::vector<TPaletteEntry>& entries);
    int Count() const { return FCount; }
    void SetCount(int count);
    const TPaletteEntry& operator[](int index) const;
    void Set(int index, TPaletteEntry e);
    void Set(int index, uint8_t r, uint8_t g, uint8_t b) { Set(index, TPaletteEntry{r, g, b, 0}); }
    const TPaletteEntry* Entries() const { return FEntries.data(); }
    // Nearest entry by squared RGB distance, lowest index on ties.
    int NearestIndex(uint8_t r, uint8_t g, uint8_t b) const;
    bool operator==(const TPalette& o) const;

private:
    std::array<TPaletteEntry, 256> FEntries{};
    int FCount = 0;
};

// The 16-colour system palette, in the order bitmap output lists it.
const TPalette& SystemPalette16();
// The platform's default 20-colour palette.
const TPalette& DefaultPalette20();
// The 256-colour halftone palette (see Palette.cpp for how it is made).
const TPalette& HalftonePalette256();
// Black and white.
const TPalette& MonochromePalette();
// n grey levels evenly spread from black to white.
TPalette GreyPalette(int levels);
