// SPDX-License-Identifier: GPL-3.0-or-later
// The best-quality reduction: its palette alone, its clamped ditherer alone,
// then the whole reduction and a GIF made with it.
#include "gif/BestQuantizer.h"
#include "GifTestSupport.h"
#include "gif/ClampedDitherer.h"
#include "gif/ColorReduction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

uint32_t Rgb(const TPaletteEntry& e) {
    return (uint32_t(e.Red) << 16) | (uint32_t(e.Green) << 8) | e.Blue;
}

uint32_t PixelRgb(const TBitmap& b, int x, int y) {
    const uint8_t* p = b.ScanLine(y) + x * (b.BitsPerPixel() / 8);
    return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

// n distinct colours spread over the cube, each on a run of pixels.
TBitmap FewColours(int n, int w = 97, int h = 61) {
    return MakeRaster(w, h, [n](int x, int y) {
        const uint32_t k = static_cast<uint32_t>((x / 3 + y * 7) % n);
        return (k * 2654435761u) & 0xFFFFFFu;
    });
}

// Mean squared error per channel of a reduced raster against its source.
double MeanSquaredError(const TBitmap& source, const TBitmap& reduced) {
    double sum = 0;
    for (int y = 0; y < source.Height(); ++y)
        for (int x = 0; x < source.Width(); ++x) {
            const uint32_t s = PixelRgb(source, x, y);
            const uint32_t r = Rgb(reduced.Palette()[reduced.ScanLine(y)[x]]);
            for (int shift = 0; shift < 24; shift += 8) {
                const double d = double((s >> shift) & 255) - double((r >> shift) & 255);
                sum += d * d;
            }
        }
    return sum / (3.0 * source.Width() * source.Height());
}

// A smooth, noisy picture with more than 256 colours.
TBitmap Photo(int w, int h) {
    uint32_t seed = 11;
    return MakeRaster(w, h, [&](int x, int y) -> uint32_t {
        seed = seed * 1664525u + 1013904223u;
        const int noise = static_cast<int>(seed >> 29) - 4;
        const double fx = x / double(w), fy = y / double(h);
        const int r = std::clamp(int(40 + 200 * fx * (1 - fy)) + noise, 0, 255);
        const int g = std::clamp(int(90 + 120 * fy + 30 * std::sin(x * 0.07)) + noise, 0, 255);
        const int b = std::clamp(int(220 - 150 * fx * fy) + noise, 0, 255);
        return (uint32_t(r) << 16) | (uint32_t(g) << 8) | uint32_t(b);
    });
}

} // namespace

TEST(BestQuantizer, AFewColoursAreKeptExactlyInTheOrderTheyCame) {
    TBestQuantizer q(256);
    const uint8_t row[] = {30, 20, 10, 30, 20, 10, 0, 0, 255, 6, 5, 4};
    q.AddRow(row, 3, 4);
    const TPalette p = q.Colors();
    ASSERT_EQ(p.Count(), 3);
    EXPECT_EQ(Rgb(p[0]), 0x0A141Eu);
    EXPECT_EQ(Rgb(p[1]), 0xFF0000u);
    EXPECT_EQ(Rgb(p[2]), 0x040506u);
}

TEST(BestQuantizer, NothingCountedGivesOneBlackEntry) {
    TBestQuantizer q(16);
    const uint8_t row[] = {1, 2, 3, 4, 5, 6};
    const uint8_t clear[] = {0, 0};
    q.AddRow(row, 3, 2, clear);
    EXPECT_EQ(q.Weight(), 0u);
    const TPalette p = q.Colors();
    ASSERT_EQ(p.Count(), 1);
    EXPECT_EQ(Rgb(p[0]), 0u);
}

TEST(BestQuantizer, TwoClustersInTwoEntriesLandOnTheirMeans) {
    TBestQuantizer q(2);
    // Three shades near dark blue and three near light orange.
    const uint8_t row[] = {100, 10,  10,  104, 12,  8,   102, 14,  12,
                           20,  180, 250, 24,  184, 246, 22,  182, 248};
    for (int i = 0; i < 5; ++i)
        q.AddRow(row, 3, 6);
    const TPalette p = q.Colors();
    ASSERT_EQ(p.Count(), 2);
    const std::set<uint32_t> got{Rgb(p[0]), Rgb(p[1])};
    EXPECT_EQ(got, (std::set<uint32_t>{0x0A0C66u, 0xF8B616u}));
}

TEST(BestQuantizer, ColoursCrowdedIntoFewHistogramCellsStillGetEveryEntry) {
    // Every grey level and one red: 257 colours, but only 65 histogram cells.
    TBestQuantizer q(256);
    std::vector<uint8_t> row(257 * 3);
    for (int i = 0; i < 256; ++i)
        row[i * 3] = row[i * 3 + 1] = row[i * 3 + 2] = static_cast<uint8_t>(i);
    row[256 * 3 + 2] = 200;
    q.AddRow(row.data(), 3, 257);
    const TPalette p = q.Colors();
    EXPECT_EQ(p.Count(), 256);
    // Nearly every level has its own entry: no grey is more than a step off.
    for (int i = 0; i < 256; ++i) {
        const TPaletteEntry& e = p[p.NearestIndex(uint8_t(i), uint8_t(i), uint8_t(i))];
        EXPECT_LE(std::abs(e.Red - i) + std::abs(e.Green - i) + std::abs(e.Blue - i), 3) << i;
    }
    const TPaletteEntry& red = p[p.NearestIndex(200, 0, 0)];
    EXPECT_EQ(Rgb(red), 0xC80000u);
}

TEST(BestQuantizer, MoreColoursThanItKeepsOneByOneFallBackToTheHistogram) {
    // 2^17 distinct colours: past the 65536 the quantizer keeps apart.
    TBestQuantizer q(256);
    std::vector<uint8_t> row(512 * 3);
    for (int y = 0; y < 256; ++y) {
        for (int x = 0; x < 512; ++x) {
            row[x * 3] = static_cast<uint8_t>(x);
            row[x * 3 + 1] = static_cast<uint8_t>(y);
            row[x * 3 + 2] = static_cast<uint8_t>(x >> 8);
        }
        q.AddRow(row.data(), 3, 512);
    }
    EXPECT_EQ(q.Weight(), 512u * 256u * 255u);
    EXPECT_EQ(q.Colors().Count(), 256);
}

TEST(BestQuantizer, FullyTransparentPixelsDoNotCountAndOthersWeighByOpacity) {
    // Red is only under transparent pixels; green is faint, blue is opaque.
    TBestQuantizer q(1);
    const uint8_t row[] = {0, 0, 255, 0, 255, 0, 255, 0, 0};
    const uint8_t alpha[] = {0, 85, 255};
    q.AddRow(row, 3, 3, alpha);
    EXPECT_EQ(q.Weight(), 340u);
    const TPalette p = q.Colors();
    ASSERT_EQ(p.Count(), 1);
    // One entry: the opacity-weighted mean of green and blue, no red at all.
    EXPECT_EQ(Rgb(p[0]), 0x0040BFu);
    // Below the threshold a pixel is left out even when not fully clear.
    TBestQuantizer half(4, 128);
    half.AddRow(row, 3, 3, alpha);
    EXPECT_EQ(half.Weight(), 255u);
}

TEST(ClampedDitherer, TheErrorAPixelReceivesIsLimited) {
    // Grey 100 over black and white: plain Floyd-Steinberg mixes in white,
    // a limit of 12 steps never lifts a pixel past the midpoint.
    const TBitmap grey = MakeRaster(16, 4, [](int, int) { return 0x646464u; });
    TMonochromeLookup mono;
    auto whiteCount = [&](int limit) {
        TClampedDitherer d(grey.Width(), mono, limit);
        d.Reset();
        int white = 0;
        std::vector<uint8_t> out(static_cast<size_t>(grey.Width()));
        for (int y = 0; y < grey.Height(); ++y) {
            d.DitherRow(grey.ScanLine(y), 3, out.data());
            white += static_cast<int>(std::count(out.begin(), out.end(), 1));
            d.NextLine();
        }
        return white;
    };
    EXPECT_EQ(whiteCount(12), 0);
    const int free = whiteCount(255);
    EXPECT_GT(free, 16); // about 100/255 of the 64 pixels
    EXPECT_LT(free, 32);
}

TEST(ClampedDitherer, ClearPixelsGetIndexZeroAndPassNoError) {
    // White pixels the palette holds exactly stay white beside clear black
    // ones: an error passed on from black would pull them to the grey entry.
    const TBitmap row = MakeRaster(6, 2, [](int x, int) { return x % 2 ? 0u : 0xFFFFFFu; });
    const uint8_t alpha[] = {255, 0, 255, 0, 255, 0};
    TPalette palette;
    palette.SetCount(2);
    palette.Set(0, 250, 250, 250);
    palette.Set(1, 255, 255, 255);
    TFastColorLookup lookup(palette);
    for (const bool withAlpha : {true, false}) {
        TClampedDitherer d(6, lookup);
        d.Reset();
        std::vector<uint8_t> got;
        for (int y = 0; y < 2; ++y) {
            uint8_t out[6];
            d.DitherRow(row.ScanLine(y), 3, withAlpha ? alpha : nullptr, 128, out);
            got.insert(got.end(), out, out + 6);
            d.NextLine();
        }
        if (withAlpha)
            EXPECT_EQ(got, (std::vector<uint8_t>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
        else // the same pixels opaque do pass their error on
            EXPECT_NE(got, (std::vector<uint8_t>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0}));
    }
}

TEST(BestReduction, PicturesWithAFullPaletteOrLessKeepEveryColour) {
    for (const auto& [colours, bits] :
         std::vector<std::pair<int, int>>{{2, 8}, {200, 8}, {256, 8}, {16, 4}, {8, 3}}) {
        const TBitmap src = FewColours(colours);
        auto r = ReduceColors(src, ReduceBest, DitherFloydSteinberg, nullptr, bits);
        ASSERT_EQ(r->PixelFormat(), pf8bit);
        for (int y = 0; y < src.Height(); ++y)
            for (int x = 0; x < src.Width(); ++x)
                ASSERT_EQ(Rgb(r->Palette()[r->ScanLine(y)[x]]), PixelRgb(src, x, y))
                    << colours << " colours, " << x << "," << y;
    }
}

TEST(BestReduction, ReservedEntriesStayFreeAndClearPixelsGetIndexZero) {
    // 256 colours with one entry reserved: 255 computed, the rest unused.
    const TBitmap full = FewColours(256);
    auto r = ReduceColors(full, ReduceBest, DitherFloydSteinberg, nullptr, 8, 1);
    std::set<int> used;
    for (int y = 0; y < r->Height(); ++y)
        for (int x = 0; x < r->Width(); ++x)
            used.insert(r->ScanLine(y)[x]);
    EXPECT_LE(used.size(), 255u);
    EXPECT_LT(*used.rbegin(), 255);

    // Pixels under half opacity are out of the palette and left at index 0;
    // the 40 opaque colours stay exact.
    TBitmap clear = FewColours(40);
    std::vector<uint8_t> alpha(static_cast<size_t>(clear.Width()) * clear.Height(), 255);
    for (int y = 0; y < clear.Height(); ++y)
        for (int x = 0; x < clear.Width(); x += 5) {
            alpha[static_cast<size_t>(y) * clear.Width() + x] = 100;
            uint8_t* p = clear.ScanLine(y) + x * 3;
            p[0] = p[1] = p[2] = 0x7B; // a colour found nowhere else
        }
    clear.SetAlphaChannel(alpha);
    auto c = ReduceColors(clear, ReduceBest, DitherFloydSteinberg, nullptr, 8, 1);
    for (int i = 0; i < 256; ++i)
        ASSERT_NE(Rgb(c->Palette()[i]), 0x7B7B7Bu) << i;
    for (int y = 0; y < clear.Height(); ++y)
        for (int x = 0; x < clear.Width(); ++x) {
            if (x % 5 == 0)
                ASSERT_EQ(c->ScanLine(y)[x], 0) << x << "," << y;
            else
                ASSERT_EQ(Rgb(c->Palette()[c->ScanLine(y)[x]]), PixelRgb(clear, x, y))
                    << x << "," << y;
        }
}

TEST(BestReduction, ClosesInOnAPhotoBetterThanTheOctree) {
    const TBitmap photo = Photo(300, 200);
    const double octree = MeanSquaredError(
        photo, *ReduceColors(photo, ReduceOptimal, DitherFloydSteinberg, nullptr, 8));
    const double best =
        MeanSquaredError(photo, *ReduceColors(photo, ReduceBest, DitherFloydSteinberg, nullptr, 8));
    EXPECT_LT(best, octree * 0.8) << "best " << best << ", octree " << octree;
    // And with few entries, where the palette matters most.
    const double octree16 =
        MeanSquaredError(photo, *ReduceColors(photo, ReduceOptimal, DitherOff, nullptr, 4));
    const double best16 =
        MeanSquaredError(photo, *ReduceColors(photo, ReduceBest, DitherOff, nullptr, 4));
    EXPECT_LT(best16, octree16) << "best " << best16 << ", octree " << octree16;
}

TEST(BestReduction, AGIFOfAFewColoursDecodesToTheSourceWithGiflib) {
    const TBitmap src = FewColours(180);
    TGIFImage image;
    image.SetColorReduction(ReduceBest);
    image.Assign(src);
    const TRefImage ref = GiflibDecode(SaveGIF(image));
    ASSERT_TRUE(ref.Ok);
    ASSERT_EQ(ref.Frames.size(), 1u);
    const TRefFrame& f = ref.Frames[0];
    for (int y = 0; y < src.Height(); ++y)
        for (int x = 0; x < src.Width(); ++x) {
            const auto& c = f.Colors[f.Pixels[static_cast<size_t>(y) * f.Width + x]];
            ASSERT_EQ((uint32_t(c[0]) << 16) | (uint32_t(c[1]) << 8) | c[2], PixelRgb(src, x, y))
                << x << "," << y;
        }
}
