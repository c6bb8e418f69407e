// SPDX-License-Identifier: GPL-3.0-or-later
// The octree's leaf table and the nearest lookup's answer table are caches: whatever
// they remember, the palette and the indices must be those of the plain walk
// and the plain palette scan.
#include "gif/ColorLookup.h"
#include "gif/ColorQuantizer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// Pixels (blue, green, red) that revisit colours after the tree has been
// reduced under them: a gradient, noise, and the gradient again.
std::vector<uint8_t> Pixels(int count, uint32_t seed) {
    std::vector<uint8_t> p;
    uint32_t s = seed;
    for (int pass = 0; pass < 3; ++pass)
        for (int i = 0; i < count; ++i) {
            s = s * 1664525u + 1013904223u;
            if (pass == 1) {
                p.push_back(static_cast<uint8_t>(s >> 24));
                p.push_back(static_cast<uint8_t>(s >> 16));
                p.push_back(static_cast<uint8_t>(s >> 8));
            } else {
                p.push_back(static_cast<uint8_t>(i * 7));
                p.push_back(static_cast<uint8_t>(i / 3 + (s >> 30)));
                p.push_back(static_cast<uint8_t>(255 - i / 5));
            }
        }
    return p;
}

std::vector<uint32_t> Entries(const TPalette& p) {
    std::vector<uint32_t> out;
    for (int i = 0; i < p.Count(); ++i)
        out.push_back((uint32_t(p[i].Red) << 16) | (p[i].Green << 8) | p[i].Blue);
    return out;
}

} // namespace

TEST(QuantizerLeafTable, RowsGiveThePaletteOfOneColourAtATime) {
    for (int bits : {4, 6, 8})
        for (int colors : {2, 16, 256}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << colors << " colours");
            const std::vector<uint8_t> px = Pixels(4000, static_cast<uint32_t>(bits * colors));
            const int n = static_cast<int>(px.size() / 3);
            TColorQuantizer byRow(colors, bits), byColor(colors, bits);
            // Rows of odd lengths, so cached leaves outlive many reductions.
            for (int x = 0; x < n;) {
                const int len = std::min(n - x, 97);
                byRow.AddRow(px.data() + 3 * x, 3, len);
                x += len;
            }
            for (int i = 0; i < n; ++i)
                byColor.AddColor(px[3 * i + 2], px[3 * i + 1], px[3 * i]);
            EXPECT_EQ(byRow.LeafCount(), byColor.LeafCount());
            EXPECT_LE(byRow.LeafCount(), colors);
            EXPECT_EQ(Entries(byRow.Colors()), Entries(byColor.Colors()));
        }
}

TEST(NearestLookupAnswers, RepeatedColoursGetThePlainScansAnswer) {
    std::vector<TPalette> palettes;
    {
        TPalette spread; // no white in it
        spread.SetCount(200);
        for (int i = 0; i < 200; ++i)
            spread.Set(i, static_cast<uint8_t>(i * 37 % 250), static_cast<uint8_t>(i * 11 % 240),
                       static_cast<uint8_t>(i * 3 % 230));
        palettes.push_back(spread);
    }
    {
        TPalette ties; // white twice and equidistant pairs: the lower index wins
        ties.SetCount(6);
        ties.Set(0, 10, 10, 10);
        ties.Set(1, 255, 255, 255);
        ties.Set(2, 255, 255, 255);
        ties.Set(3, 20, 10, 10);
        ties.Set(4, 0, 10, 10);
        ties.Set(5, 0, 0, 0);
        palettes.push_back(ties);
    }
    palettes.push_back(TPalette()); // empty: everything is index 0, black
    for (size_t k = 0; k < palettes.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "palette " << k);
        TFastColorLookup fast(palettes[k]);
        TSlowColorLookup slow(palettes[k]);
        const std::vector<uint8_t> px = Pixels(3000, 7);
        // Each colour twice (the second answer comes from the kept table),
        // white and black among them, and colours of the same cells.
        for (int round = 0; round < 2; ++round)
            for (size_t i = 0; i + 2 < px.size(); i += 3) {
                for (uint32_t c : {uint32_t(px[i]) << 16 | px[i + 1] << 8 | px[i + 2], 0xFFFFFFu,
                                   0u, uint32_t(i) * 0x10001u & 0xFFFFFFu}) {
                    uint8_t r1 = c >> 16, g1 = c >> 8 & 0xFF, b1 = c & 0xFF;
                    uint8_t r2 = r1, g2 = g1, b2 = b1;
                    if (palettes[k].Count() == 0) {
                        EXPECT_EQ(fast.Lookup(r1, g1, b1), 0);
                        EXPECT_EQ((r1 | g1 | b1), 0);
                        continue;
                    }
                    const uint8_t want = slow.Lookup(r2, g2, b2);
                    ASSERT_EQ(fast.Lookup(r1, g1, b1), want) << std::hex << c;
                    ASSERT_EQ(r1, r2);
                    ASSERT_EQ(g1, g2);
                    ASSERT_EQ(b1, b2);
                }
            }
    }
}
