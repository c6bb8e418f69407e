// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-writer golden hashes: the bytes of GIF files saved from a photo-like
// raster, recorded from the plain reference implementation of the colour
// reduction, dithering and LZW paths. Any speed-up must keep them.
#include "GifTestSupport.h"

#include "gif/ColorLookup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// Smooth gradients, texture, noise and hard-edged blocks, like the benchmark.
TBitmap PhotoLike(int w, int h) {
    uint32_t seed = 7;
    return MakeRaster(w, h, [&](int x, int y) -> uint32_t {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 28) - 8;
        const double fx = x / static_cast<double>(w), fy = y / static_cast<double>(h);
        const double sky = 1.0 - fy;
        const double texture = std::sin(x * 0.05 + std::sin(y * 0.031) * 3) * 0.5 + 0.5;
        int r = static_cast<int>(90 + 120 * sky * fx + 40 * texture) + noise;
        int g = static_cast<int>(110 + 100 * sky + 30 * texture * fy) + noise;
        int b = static_cast<int>(60 + 180 * sky - 50 * texture * fx) + noise;
        if ((x / 130 + y / 90) % 5 == 0) r = 255 - r / 2;
        r = std::clamp(r, 0, 255);
        g = std::clamp(g, 0, 255);
        b = std::clamp(b, 0, 255);
        return (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
    });
}

uint64_t Fnv1a(const std::vector<uint8_t>& data) {
    uint64_t h = 14695981039346656037ull;
    for (uint8_t b : data) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

uint64_t SavedHash(const TBitmap& source, int reduction, int dither, bool interlaced = false) {
    TGIFImage image;
    image.SetColorReduction(reduction);
    image.DitherMethod = static_cast<uint8_t>(dither);
    image.Assign(source);
    if (interlaced) image.Frame(0).SetInterlaced(true);
    const std::vector<uint8_t> bytes = SaveGIF(image);
    // The file must stay a valid GIF of the right size, not only the same bytes.
    const TRefImage ref = GiflibDecode(bytes);
    EXPECT_TRUE(ref.Ok);
    EXPECT_EQ(ref.Width, source.Width());
    return Fnv1a(bytes);
}

} // namespace

TEST(GoldenOutput, MegapixelPhotoOptimalPaletteFloydSteinberg) {
    const TBitmap photo = PhotoLike(1200, 850);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherFloydSteinberg), 0xf691bfafd6600f01ull);
}

TEST(GoldenOutput, EveryDithererAndFixedPalette) {
    const TBitmap photo = PhotoLike(320, 200);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherOff), 0x39ca34a6d5ade841ull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherStucki), 0x789213433acfcc08ull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherSierra), 0x5e1f59d3dad26199ull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherJarvisJudiceNinke), 0x79d170c7c2a9aecaull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherStevensonArce), 0xda46bd2a8fd95ce2ull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherBurkes), 0xde36e5fdf4145ef6ull);
    EXPECT_EQ(SavedHash(photo, ReduceHalftone256, DitherFloydSteinberg), 0x8c750b5877b7a83full);
    EXPECT_EQ(SavedHash(photo, ReduceNetscape216, DitherFloydSteinberg), 0xeb94aa1b3a858f44ull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimalSystem, DitherFloydSteinberg), 0x16b5c4c66f7e7294ull);
    EXPECT_EQ(SavedHash(photo, ReduceGray256, DitherFloydSteinberg), 0xf81715b739d07cfcull);
    EXPECT_EQ(SavedHash(photo, ReduceMonochrome, DitherFloydSteinberg), 0xd4377fec35363d54ull);
    EXPECT_EQ(SavedHash(photo, ReduceSystem20, DitherFloydSteinberg), 0x850e0364e130ab7aull);
    EXPECT_EQ(SavedHash(photo, ReduceOptimal, DitherFloydSteinberg, true), 0xde04c80ce48e62b9ull);
}

// A lattice palette puts exact ties on every cell boundary, and an empty one
// must not read past the palette.
TEST(GoldenOutput, CellListsKeepTheNearestLowestIndexOnALatticePalette) {
    TPalette lattice;
    lattice.SetCount(252);
    for (int i = 0; i < 252; ++i)
        lattice.Set(251 - i, static_cast<uint8_t>(i / 42 * 50),
                    static_cast<uint8_t>(i / 7 % 6 * 50), static_cast<uint8_t>(i % 7 * 42));
    TSlowColorLookup slow(lattice);
    TFastColorLookup fast(lattice);
    for (int r = 0; r < 256; r += 3)
        for (int g = 1; g < 256; g += 3)
            for (int b = 2; b < 256; b += 3) {
                uint8_t r1 = static_cast<uint8_t>(r), g1 = static_cast<uint8_t>(g),
                        b1 = static_cast<uint8_t>(b);
                uint8_t r2 = r1, g2 = g1, b2 = b1;
                ASSERT_EQ(slow.Lookup(r1, g1, b1), fast.Lookup(r2, g2, b2))
                    << r << "," << g << "," << b;
                ASSERT_EQ(r1, r2);
                ASSERT_EQ(g1, g2);
                ASSERT_EQ(b1, b2);
            }
    TFastColorLookup none{TPalette()};
    uint8_t r = 9, g = 9, b = 9;
    EXPECT_EQ(none.Lookup(r, g, b), 0);
    EXPECT_EQ(r + g + b, 0);
}

// A second, different picture for every existing method: flat areas, hard
// edges and a two-axis ramp, at paletteBits 8 and 5 and with a given palette.
// Recorded before the best-quality reduction was added; it must leave every
// older method's files as they were.
TEST(GoldenOutput, EveryExistingMethodOnAFlatAndRampedPicture) {
    const TBitmap picture = MakeRaster(257, 131, [](int x, int y) -> uint32_t {
        if ((x / 32 + y / 32) % 3 == 0) return 0x2060A0u + uint32_t((x / 32) * 0x101010);
        const int r = (x * 255) / 256, g = (y * 255) / 130, b = ((x + y) * 3) & 255;
        return (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
    });
    const std::pair<int, uint64_t> byMethod[] = {
        {ReduceSystem20, 0x229ed26e8713551cull}, {ReduceHalftone256, 0x4aa689a379181cf8ull},
        {ReduceGray4, 0x30ef30f5380cdfa4ull},    {ReduceMonochrome, 0xa76e148565ce8a79ull},
        {ReduceGray256, 0x5192df569ef6ec12ull},  {ReduceNetscape216, 0x74e502b97daec3aaull},
        {ReduceOptimal, 0x877c73ad543e7d7full},  {ReduceOptimalSystem, 0xc751fe9bbf1da932ull},
    };
    for (const auto& [method, hash] : byMethod)
        EXPECT_EQ(SavedHash(picture, method, DitherFloydSteinberg), hash) << "method " << method;
    TGIFImage fewBits;
    fewBits.SetColorReduction(ReduceOptimal);
    fewBits.PaletteBits = 5;
    fewBits.Assign(picture);
    EXPECT_EQ(Fnv1a(SaveGIF(fewBits)), 0xa2d3591ba43283deull);
}
