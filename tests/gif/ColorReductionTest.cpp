// SPDX-License-Identifier: GPL-3.0-or-later
// Colour maps, lookups, the octree palette and the ditherers alone.
#include "gif/ColorReduction.h"
#include "GifTestSupport.h"
#include "gif/ColorQuantizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

// A tiny map owner for colour map tests.
struct TMapFixture {
    TGIFImage Image;
    std::vector<std::string> Warnings;
    TMapFixture() {
        Image.WarningHandler = [this](TGIFImage*, int, const std::string& m) {
            Warnings.push_back(m);
        };
    }
};

std::vector<uint8_t> DitherRaster(int method, TColorLookup& lookup, const TBitmap& src) {
    auto d = CreateDitherer(method, src.Width(), lookup);
    std::vector<uint8_t> out(static_cast<size_t>(src.Width()) * src.Height());
    d->Reset();
    for (int y = 0; y < src.Height(); ++y) {
        d->DitherRow(src.ScanLine(y), 3, out.data() + static_cast<size_t>(y) * src.Width());
        d->NextLine();
    }
    return out;
}

std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(GIFColorMap, BitsPerPixelAndWrittenSizeRoundUpToAPowerOfTwo) {
    TMapFixture f;
    auto& map = f.Image.GlobalColorMap();
    const std::pair<int, size_t> cases[] = {{0, 0},  {1, 6},     {2, 6},
                                            {3, 12}, {200, 768}, {256, 768}};
    for (auto [n, bytes] : cases) {
        map.Clear();
        for (int i = 0; i < n; ++i)
            map.Add(TGIFColor{static_cast<uint8_t>(i), 1, 2});
        TMemoryStream s;
        map.SaveToStream(s);
        EXPECT_EQ(s.Data().size(), bytes) << n;
        if (n == 3) {
            EXPECT_EQ(s.Data()[9], 0); // padding is black
        }
    }
}

TEST(GIFColorMap, AddFindDeleteAndTheirErrors) {
    TMapFixture f;
    auto& map = f.Image.GlobalColorMap();
    EXPECT_EQ(map.Add({1, 2, 3}), 0);
    EXPECT_EQ(map.Add({4, 5, 6}), 1);
    EXPECT_EQ(map.Add({1, 2, 3}), 2);
    EXPECT_EQ(map.IndexOf({1, 2, 3}), 2); // unsorted maps search from the end
    map.SetOptimized(true);
    EXPECT_EQ(map.IndexOf({1, 2, 3}), 0);
    EXPECT_EQ(map.AddUnique({4, 5, 6}), 1);
    EXPECT_TRUE(map.Optimized()); // found: nothing added, the map stays sorted
    EXPECT_EQ(map.AddUnique({9, 9, 9}), 3);
    EXPECT_FALSE(map.Optimized());
    EXPECT_EQ(map.IndexOf({7, 7, 7}), -1);
    map.Delete(0);
    EXPECT_EQ(map.Count(), 3);
    EXPECT_EQ(map.Color(0), (TGIFColor{4, 5, 6}));
    EXPECT_EQ(Message([&] { map.Delete(3); }), "Invalid color index");
    EXPECT_EQ(map.Color(7), (TGIFColor{4, 5, 6}));
    EXPECT_EQ(f.Warnings, (std::vector<std::string>{"Invalid color index"}));
    map.Clear();
    EXPECT_EQ(Message([&] { map.Color(0); }), "Color table is empty");
    for (int i = 0; i < 256; ++i)
        map.Add({0, 0, static_cast<uint8_t>(i)});
    EXPECT_EQ(Message([&] { map.Add({1, 1, 1}); }), "Color table overflow");
}

TEST(GIFColorMap, QuicksortOrdersByCountHighestFirst) {
    std::vector<TUsageEntry> t{{3, 0}, {9, 1}, {0, 2}, {9, 3}, {1, 4}, {5, 5}, {5, 6}};
    TGIFColorMap::SortUsage(t, 0, static_cast<int>(t.size()) - 1);
    std::vector<int64_t> counts;
    for (auto& e : t)
        counts.push_back(e.first);
    EXPECT_EQ(counts, (std::vector<int64_t>{9, 9, 5, 5, 3, 1, 0}));
}

TEST(GIFColorMap, OptimiseRenumbersPixelsAndTransparencyAndDropsUnusedEntries) {
    TMapFixture f;
    TGIFFrame& frame = f.Image.AddFrame();
    frame.SetBounds(0, 0, 4, 1);
    auto& map = frame.ColorMap();
    map.Add({10, 0, 0});
    map.Add({20, 0, 0});
    map.Add({30, 0, 0});
    map.Add({40, 0, 0}); // unused
    const uint8_t px[4] = {2, 2, 1, 2};
    std::copy(px, px + 4, frame.ScanLine(0));
    auto& gce = frame.AddExtension<TGIFGraphicControlExtension>();
    gce.SetRawTransparentIndex(1);
    ASSERT_TRUE(map.Optimize());
    EXPECT_TRUE(map.Optimized());
    EXPECT_EQ(map.Count(), 2);
    EXPECT_EQ(map.Color(0), (TGIFColor{30, 0, 0}));
    EXPECT_EQ(map.Color(1), (TGIFColor{20, 0, 0}));
    EXPECT_EQ(frame.Data(), (std::vector<uint8_t>{0, 0, 1, 0}));
    EXPECT_EQ(gce.TransparentColorIndex(), 1);
    // A sorted flag makes the frame 89a.
    EXPECT_EQ(frame.Version(), gv89a);
}

TEST(GIFColorMap, TransparentIndexOneBeyondTheMapExpandsIt) {
    TMapFixture f;
    TGIFFrame& frame = f.Image.AddFrame();
    auto& map = frame.ColorMap();
    for (int i = 0; i < 255; ++i)
        map.Add({static_cast<uint8_t>(i), 0, 0});
    auto& gce = frame.AddExtension<TGIFGraphicControlExtension>();
    gce.SetTransparentColorIndex(255);
    EXPECT_EQ(gce.TransparentColorIndex(), 255);
    EXPECT_EQ(map.Count(), 256);
    EXPECT_EQ(map.Color(255), (TGIFColor{0, 0, 0}));
    gce.SetTransparentColorIndex(256);
    EXPECT_EQ(gce.TransparentColorIndex(), 0);
    EXPECT_EQ(f.Warnings, (std::vector<std::string>{"Invalid color index - color map expanded",
                                                    "Invalid color index"}));
    // A second graphic control extension is kept but not referenced.
    auto& second = frame.AddExtension<TGIFGraphicControlExtension>();
    EXPECT_NE(frame.GraphicControlExtension(), &second);
    EXPECT_EQ(f.Warnings.back(), "Frame contains multiple Graphic Control Extension blocks");
}

TEST(ColorLookup, FixedLookupsMapTheirThresholds) {
    TMonochromeLookup mono;
    uint8_t r = 128, g = 128, b = 128;
    EXPECT_EQ(mono.Lookup(r, g, b), 1);
    EXPECT_EQ(r, 255);
    r = g = b = 127;
    EXPECT_EQ(mono.Lookup(r, g, b), 0);
    TGrayScaleLookup grey;
    const uint8_t rgb[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    const int expect[3] = {76, 149, 28};
    for (int i = 0; i < 3; ++i) {
        r = rgb[i][0], g = rgb[i][1], b = rgb[i][2];
        EXPECT_EQ(grey.Lookup(r, g, b), expect[i]);
        EXPECT_EQ(g, expect[i]);
    }
    TNetscapeColorLookup cube;
    r = 47, g = 48, b = 255;
    EXPECT_EQ(cube.Lookup(r, g, b), 0 * 36 + 1 * 6 + 5);
    EXPECT_EQ(g, 51);
    r = g = b = 255;
    EXPECT_EQ(cube.Lookup(r, g, b), 215);
    EXPECT_EQ(WebPalette()[215], (TPaletteEntry{255, 255, 255, 0}));
}

TEST(ColorLookup, FastNearestEqualsThePlainScanIncludingTies) {
    std::mt19937 rng(7);
    std::vector<TPalette> palettes{HalftonePalette256(), DefaultPalette20(), Gray4Palette()};
    TPalette random;
    random.SetCount(256);
    for (int i = 0; i < 256; ++i)
        random.Set(i, static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                   static_cast<uint8_t>(rng()));
    palettes.push_back(random);
    TPalette dup; // duplicate entries: the lower index must win
    dup.SetCount(4);
    dup.Set(0, 0, 0, 0);
    dup.Set(1, 100, 100, 100);
    dup.Set(2, 100, 100, 100);
    dup.Set(3, 200, 200, 200);
    palettes.push_back(dup);
    for (const TPalette& p : palettes) {
        TSlowColorLookup slow(p);
        TFastColorLookup fast(p);
        for (int i = 0; i < 200000; ++i) {
            uint8_t r1 = static_cast<uint8_t>(rng()), g1 = static_cast<uint8_t>(rng()),
                    b1 = static_cast<uint8_t>(rng());
            uint8_t r2 = r1, g2 = g1, b2 = b1;
            ASSERT_EQ(slow.Lookup(r1, g1, b1), fast.Lookup(r2, g2, b2));
            ASSERT_EQ(r1, r2);
        }
        uint8_t r = 150, g = 150, b = 150; // equally far from entries 1, 2 and 3 of dup
        if (&p == &palettes.back()) {
            EXPECT_EQ(fast.Lookup(r, g, b), 1);
        }
    }
}

TEST(ColorQuantizer, UniformColourGivesOneEntryAndLimitsHold) {
    TColorQuantizer q(256, 6);
    for (int i = 0; i < 1000; ++i)
        q.AddColor(255, 0, 0);
    const TPalette p = q.Colors();
    ASSERT_EQ(p.Count(), 1);
    EXPECT_EQ(p[0], (TPaletteEntry{255, 0, 0, 0}));
    std::mt19937 rng(3);
    for (int limit : {2, 16, 236, 256}) {
        TColorQuantizer many(limit, 6);
        for (int i = 0; i < 50000; ++i)
            many.AddColor(static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                          static_cast<uint8_t>(rng()));
        EXPECT_LE(many.LeafCount(), limit);
        EXPECT_EQ(many.Colors().Count(), many.LeafCount());
    }
    EXPECT_EQ(Message([] { TColorQuantizer(16, 9); }), "ColorBits must be 8 or less");
}

TEST(ColorQuantizer, TwoColoursAverageTheirLeaves) {
    TColorQuantizer q(2, 6);
    q.AddColor(0, 0, 0);
    q.AddColor(2, 2, 2); // same 6-bit leaf as black
    q.AddColor(255, 255, 255);
    const TPalette p = q.Colors();
    ASSERT_EQ(p.Count(), 2);
    EXPECT_EQ(p[0], (TPaletteEntry{1, 1, 1, 0}));
    EXPECT_EQ(p[1], (TPaletteEntry{255, 255, 255, 0}));
    q.AddColor(0, 0, 255); // a third leaf forces a reduction of the deepest level
    EXPECT_LE(q.LeafCount(), 2);
}

TEST(ColorReduction, EveryMethodBuildsItsPalette) {
    const TBitmap src = MakeRaster(
        64, 32, [](int x, int y) { return uint32_t(x * 4) << 16 | uint32_t(y * 8) << 8 | 77; });
    const std::pair<int, TPalette> fixed[] = {
        {ReduceSystem20, DefaultPalette20()}, {ReduceHalftone256, HalftonePalette256()},
        {ReduceGray4, Gray4Palette()},        {ReduceMonochrome, MonochromePalette()},
        {ReduceGray256, GreyPalette(256)},    {ReduceNetscape216, WebPalette()}};
    for (const auto& [method, palette] : fixed) {
        auto r = ReduceColors(src, method, DitherFloydSteinberg, nullptr, 8);
        ASSERT_EQ(r->PixelFormat(), pf8bit);
        ASSERT_EQ(r->Palette().Count(), 256);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(r->Palette()[i], i < palette.Count() ? palette[i] : TPaletteEntry{})
                << method << " " << i;
        for (int y = 0; y < r->Height(); ++y)
            for (int x = 0; x < r->Width(); ++x)
                ASSERT_LT(r->ScanLine(y)[x], palette.Count());
    }
    auto opt = ReduceColors(src, ReduceOptimalSystem, DitherFloydSteinberg, nullptr, 8);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(opt->Palette()[i], DefaultPalette20()[i]);
    TPalette given = Gray4Palette();
    auto g = ReduceColors(src, ReduceGivenPalette, DitherOff, &given, 8);
    EXPECT_EQ(g->Palette()[2], given[2]);
    EXPECT_EQ(Message([&] { ReduceColors(src, ReduceGivenPalette, DitherOff, nullptr, 8); }),
              "Missing, invalid or empty palette");
    auto none = ReduceColors(src, ReduceNone, DitherOff, nullptr, 8);
    EXPECT_EQ(none->PixelFormat(), pf24bit);
    EXPECT_EQ(none->Pixel(5, 7), src.Pixel(5, 7));
    auto few = ReduceColors(src, ReduceOptimal, DitherOff, nullptr, 3);
    int maxIndex = 0;
    for (int y = 0; y < few->Height(); ++y)
        for (int x = 0; x < few->Width(); ++x)
            maxIndex = std::max<int>(maxIndex, few->ScanLine(y)[x]);
    EXPECT_LT(maxIndex, 8);
    // An unknown method or ditherer gives nothing.
    EXPECT_EQ(ReduceColors(src, 42, DitherOff, nullptr, 8)->Width(), 0);
    EXPECT_EQ(ReduceColors(src, ReduceGray4, 42, nullptr, 8)->Width(), 0);
}

TEST(ColorReduction, LargeRasterMapsLikeTheSameRowsOfASmallOne) {
    const auto color = [](int x, int y) {
        return uint32_t((x * 7 + y * 3) & 255) << 16 | uint32_t((x ^ y) & 255) << 8 |
               uint32_t(y & 255);
    };
    const TBitmap big = MakeRaster(1000, 520, color);
    const TBitmap small = MakeRaster(1000, 20, color);
    auto rb = ReduceColors(big, ReduceHalftone256, DitherFloydSteinberg, nullptr, 8);
    auto rs = ReduceColors(small, ReduceHalftone256, DitherFloydSteinberg, nullptr, 8);
    for (int y = 0; y < 20; ++y)
        ASSERT_EQ(0, std::memcmp(rb->ScanLine(y), rs->ScanLine(y), 1000)) << y;
}

TEST(Ditherers, OneRowOfGreyHundredOverMonochromeMatchesHandComputedErrors) {
    const TBitmap grey = MakeRaster(4, 1, [](int, int) { return 0x646464u; });
    TMonochromeLookup mono;
    const std::pair<int, std::vector<uint8_t>> expected[] = {
        {DitherOff, {0, 0, 0, 0}},
        {DitherFloydSteinberg, {0, 1, 0, 0}},
        {DitherStucki, {0, 0, 1, 0}},
        {DitherSierra, {0, 0, 1, 0}},
        {DitherJarvisJudiceNinke, {0, 0, 0, 1}}, // reaches exactly 127: L = 32512 is black
        {DitherStevensonArce, {0, 0, 0, 0}},
        {DitherBurkes, {0, 0, 1, 0}}};
    for (const auto& [method, out] : expected)
        EXPECT_EQ(DitherRaster(method, mono, grey), out) << method;
}

TEST(Ditherers, FloydSteinbergSecondRowRunsRightToLeftWithTheHeldErrors) {
    const TBitmap grey = MakeRaster(4, 2, [](int, int) { return 0x646464u; });
    TMonochromeLookup mono;
    EXPECT_EQ(DitherRaster(DitherFloydSteinberg, mono, grey),
              (std::vector<uint8_t>{0, 1, 0, 0, 0, 0, 1, 0}));
}

TEST(Ditherers, MidGreyMixesBlackAndWhiteAndExactColoursMatchNoDithering) {
    const TBitmap mid = MakeRaster(33, 17, [](int, int) { return 0x808080u; });
    const TBitmap exact =
        MakeRaster(33, 17, [](int x, int y) { return (x + y) % 3 ? 0xFFFFFFu : 0u; });
    TMonochromeLookup mono;
    for (int method = DitherOff; method <= DitherBurkes; ++method) {
        const auto out = DitherRaster(method, mono, mid);
        const auto ones = std::count(out.begin(), out.end(), 1);
        if (method == DitherOff)
            EXPECT_EQ(ones, static_cast<long>(out.size()));
        else
            EXPECT_TRUE(ones > 0 && ones < static_cast<long>(out.size())) << method;
        EXPECT_EQ(DitherRaster(method, mono, exact), DitherRaster(DitherOff, mono, exact))
            << method;
    }
}

TEST(Ditherers, OnePixelWideRasterAndClampedExtremes) {
    const TBitmap column =
        MakeRaster(1, 9, [](int, int y) { return y % 2 ? 0xFFFFFFu : 0x7F7F7Fu; });
    const TBitmap extremes =
        MakeRaster(6, 4, [](int x, int) { return x % 2 ? 0xFFFFFFu : 0xF0F0F0u; });
    TPalette two = MonochromePalette();
    TSlowColorLookup lookup(two);
    for (int method = DitherOff; method <= DitherBurkes; ++method) {
        EXPECT_EQ(DitherRaster(method, lookup, column).size(), 9u);
        for (uint8_t v : DitherRaster(method, lookup, extremes))
            EXPECT_LE(v, 1);
    }
}
