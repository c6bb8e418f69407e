// SPDX-License-Identifier: GPL-3.0-or-later
// Morton order of colour cubes: the three channels' bits interleaved, so that
// colours close in every channel get close numbers (and share cache lines in
// tables indexed by them).
#pragma once

#include <cstdint>

// Eight bits spread to every third bit: one channel's share of a Morton code
// (red in bits 0, 3, 6…, green one above, blue two above).
struct TMortonSpread {
    uint32_t Bits[256];
    constexpr TMortonSpread() : Bits() {
        for (uint32_t v = 0; v < 256; ++v)
            for (int i = 0; i < 8; ++i)
                Bits[v] |= ((v >> i) & 1u) << (3 * i);
    }
};
inline constexpr TMortonSpread kMortonSpread{};
