// SPDX-License-Identifier: GPL-3.0-or-later
// Playing the less common drawing records: clip regions combined by union,
// exclusive-or and difference, inside-frame pens, flood fills, masked and
// parallelogram bitmap transfers, and WMF clip regions of several rectangles.
// Golden pixels where GDI defines them exactly.
#include "base/Exceptions.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr TColor Red = RGBColor(255, 0, 0), Blue = RGBColor(0, 0, 255), Green = RGBColor(0, 255, 0);
constexpr int32_t NullPen = int32_t(0x80000008), NullBrush = int32_t(0x80000005),
                  BlackPen = int32_t(0x80000007);

struct TBytes {
    std::vector<uint8_t> D;
    void U16(uint32_t v) {
        D.push_back(uint8_t(v));
        D.push_back(uint8_t(v >> 8));
    }
    void U32(uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            D[at + i] = uint8_t(v >> (8 * i));
    }
};

// A w x h EMF against a 96-dpi device: one unit is one pixel.
struct TEmf : TBytes {
    uint32_t Records = 1;
    TEmf(int w, int h) {
        U32(1);
        U32(88);
        for (int v : {0, 0, w - 1, h - 1, 0, 0, w * 2540 / 96, h * 2540 / 96})
            U32(uint32_t(v));
        U32(0x464D4520);
        U32(0x10000);
        U32(0);
        U32(0);
        U32(16);
        U32(0);
        U32(0);
        U32(0);
        for (int v : {960, 960, 254, 254})
            U32(uint32_t(v));
    }
    void Rec(uint32_t type, std::initializer_list<int32_t> args) {
        std::vector<uint8_t> body;
        for (int32_t a : args)
            for (int i = 0; i < 4; ++i)
                body.push_back(uint8_t(uint32_t(a) >> (8 * i)));
        Raw(type, body);
    }
    void Raw(uint32_t type, const std::vector<uint8_t>& body) {
        U32(type);
        U32(8 + uint32_t(body.size()));
        D.insert(D.end(), body.begin(), body.end());
        ++Records;
    }
    void Brush(int handle, TColor c) {
        Rec(39, {handle, 0, int32_t(c), 0});
        Rec(37, {handle});
    }
    // Fills the whole w x h picture with c, without a pen.
    void FillAll(int handle, TColor c, int w, int h) {
        Rec(37, {NullPen});
        Brush(handle, c);
        Rec(43, {0, 0, w + 1, h + 1});
    }
    // ExtSelectClipRgn with a region of device rectangles.
    void ClipRegion(uint32_t mode, std::initializer_list<TRect> rects) {
        std::vector<int32_t> v = {int32_t(32 + 16 * rects.size()),
                                  int32_t(mode),
                                  32,
                                  1,
                                  int32_t(rects.size()),
                                  int32_t(16 * rects.size()),
                                  0,
                                  0,
                                  100,
                                  100};
        for (const TRect& r : rects)
            for (int x : {r.Left, r.Top, r.Right, r.Bottom})
                v.push_back(x);
        std::vector<uint8_t> body;
        for (int32_t a : v)
            for (int i = 0; i < 4; ++i)
                body.push_back(uint8_t(uint32_t(a) >> (8 * i)));
        Raw(75, body);
    }
    std::vector<uint8_t> Finish() {
        Rec(14, {0, 16, 20});
        Put32(48, uint32_t(D.size()));
        Put32(52, Records);
        return D;
    }
};

// A DIB (header and rows) of w x h pixels, 24-bit, pixels given top row first.
std::vector<uint8_t> Dib24(int w, int h, const std::vector<TColor>& px) {
    TBytes b;
    for (uint32_t v : {40u, uint32_t(w), uint32_t(h)})
        b.U32(v);
    b.U16(1);
    b.U16(24);
    for (int i = 0; i < 6; ++i)
        b.U32(0);
    for (int y = h - 1; y >= 0; --y) { // bottom-up
        size_t row = 0;
        for (int x = 0; x < w; ++x, row += 3) {
            const TColor c = px[size_t(y) * w + x];
            b.D.push_back(GetBValue(c));
            b.D.push_back(GetGValue(c));
            b.D.push_back(GetRValue(c));
        }
        for (; row % 4; ++row)
            b.D.push_back(0);
    }
    return b.D;
}

// A monochrome DIB: bits given per row, top row first (bit 1 = set, white).
std::vector<uint8_t> Dib1(int w, int h, const std::vector<std::string>& rows) {
    TBytes b;
    for (uint32_t v : {40u, uint32_t(w), uint32_t(h)})
        b.U32(v);
    b.U16(1);
    b.U16(1);
    for (int i = 0; i < 6; ++i)
        b.U32(0);
    b.U32(0x000000);
    b.U32(0xFFFFFF);
    for (int y = h - 1; y >= 0; --y) {
        uint32_t bits = 0;
        for (int x = 0; x < w; ++x)
            if (rows[size_t(y)][size_t(x)] == '1') bits |= 0x80000000u >> x;
        b.D.push_back(uint8_t(bits >> 24));
        b.D.push_back(uint8_t(bits >> 16));
        b.D.push_back(uint8_t(bits >> 8));
        b.D.push_back(uint8_t(bits));
    }
    return b.D;
}

constexpr size_t DibHeader24 = 40, DibHeader1 = 48;

TBitmap Play(const std::vector<uint8_t>& bytes, int w, int h, TColor background = clWhite) {
    TMetafile m;
    TMemoryStream s(bytes);
    m.LoadFromStream(s);
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(w, h);
    if (background != clWhite)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                b.SetPixel(x, y, background);
    m.Draw(b.Canvas(), Rect(0, 0, w, h));
    return b;
}

// Which pixels have colour c, as a predicate over the picture; reports the first mismatch.
template <class F>
void ExpectWhere(const TBitmap& b, TColor c, TColor other, F&& inside, const std::string& what) {
    int wrong = 0;
    std::string first;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            const TColor want = inside(x, y) ? c : other;
            if (b.Pixel(x, y) != want && wrong++ == 0)
                first = std::to_string(x) + "," + std::to_string(y);
        }
    EXPECT_EQ(wrong, 0) << what << ": first wrong pixel at " << first;
}

bool In(const TRect& r, int x, int y) {
    return x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom;
}

// A flood fill inside a one-pixel black outline: c exactly inside, the outline
// black, white everywhere else.
void ExpectFilled(const TBitmap& b, TColor c, const TRect& inside, const std::string& what) {
    const TRect ring = Rect(inside.Left - 1, inside.Top - 1, inside.Right + 1, inside.Bottom + 1);
    int wrong = 0;
    std::string first;
    for (int y = 0; y < b.Height(); ++y)
        for (int x = 0; x < b.Width(); ++x) {
            const TColor want = In(inside, x, y) ? c : In(ring, x, y) ? clBlack : clWhite;
            if (b.Pixel(x, y) != want && wrong++ == 0)
                first = std::to_string(x) + "," + std::to_string(y);
        }
    EXPECT_EQ(wrong, 0) << what << ": first wrong pixel at " << first;
}

} // namespace

TEST(MetafileClip, RegionsCombineByEveryMode) {
    const TRect a = Rect(0, 0, 20, 20), b = Rect(10, 10, 30, 30);
    struct TCase {
        uint32_t Mode;
        const char* Name;
        bool (*Keep)(bool inA, bool inB);
    };
    const TCase cases[] = {
        {1, "and", [](bool p, bool q) { return p && q; }},
        {2, "or", [](bool p, bool q) { return p || q; }},
        {3, "xor", [](bool p, bool q) { return p != q; }},
        {4, "diff", [](bool p, bool q) { return p && !q; }},
        {5, "copy", [](bool, bool q) { return q; }},
    };
    for (const TCase& c : cases) {
        TEmf e(40, 40);
        e.ClipRegion(5, {a});
        e.ClipRegion(c.Mode, {b});
        e.FillAll(1, Red, 40, 40);
        const TBitmap got = Play(e.Finish(), 40, 40);
        ExpectWhere(
            got, Red, clWhite, [&](int x, int y) { return c.Keep(In(a, x, y), In(b, x, y)); },
            c.Name);
    }
}

TEST(MetafileClip, UnionAfterAnEmptyClipAndAfterNoClip) {
    // An empty region clips everything; a union then opens exactly the new part.
    {
        TEmf e(30, 30);
        e.ClipRegion(5, {});
        e.ClipRegion(2, {Rect(5, 5, 15, 25)});
        e.FillAll(1, Blue, 30, 30);
        ExpectWhere(
            Play(e.Finish(), 30, 30), Blue, clWhite,
            [](int x, int y) { return In(Rect(5, 5, 15, 25), x, y); }, "empty then union");
    }
    // Without a clip everything is already visible; a union changes nothing.
    {
        TEmf e(30, 30);
        e.ClipRegion(2, {Rect(5, 5, 15, 25)});
        e.FillAll(1, Blue, 30, 30);
        ExpectWhere(
            Play(e.Finish(), 30, 30), Blue, clWhite, [](int, int) { return true; },
            "union without clip");
    }
    // A union, then a fresh copy without region data removes the clip.
    {
        TEmf e(30, 30);
        e.ClipRegion(5, {Rect(0, 0, 5, 5)});
        e.ClipRegion(2, {Rect(20, 20, 30, 30)});
        e.Rec(75, {0, 5});
        e.FillAll(1, Blue, 30, 30);
        ExpectWhere(
            Play(e.Finish(), 30, 30), Blue, clWhite, [](int, int) { return true; }, "reset");
    }
}

TEST(MetafileClip, ClipPathUnionAndDifference) {
    // Two paths: a rectangle as the clip, then a second one combined with it.
    for (uint32_t mode : {2u, 4u}) {
        TEmf e(40, 40);
        e.Rec(59, {});                                         // BeginPath
        e.Rec(3, {0, 0, 0, 0, 4, 0, 0, 20, 0, 20, 20, 0, 20}); // Polygon
        e.Rec(60, {});                                         // EndPath
        e.Rec(67, {5});                                        // SelectClipPath copy
        e.Rec(59, {});
        e.Rec(3, {0, 0, 0, 0, 4, 10, 10, 30, 10, 30, 30, 10, 30});
        e.Rec(60, {});
        e.Rec(67, {int32_t(mode)});
        e.FillAll(1, Green, 40, 40);
        const TRect a = Rect(0, 0, 20, 20), b = Rect(10, 10, 30, 30);
        ExpectWhere(
            Play(e.Finish(), 40, 40), Green, clWhite,
            [&](int x, int y) {
                return mode == 2 ? In(a, x, y) || In(b, x, y) : In(a, x, y) && !In(b, x, y);
            },
            mode == 2 ? "path union" : "path difference");
    }
}

TEST(MetafileClip, ClipRegionsWithBadCountsAreIgnored) {
    TEmf e(20, 20);
    e.ClipRegion(5, {Rect(0, 0, 10, 10)});
    // A count of rectangles beyond the region data: the record changes nothing.
    e.Rec(75, {48, 2, 32, 1, 1000000, 16, 0, 0, 20, 20, 0, 0, 20, 20});
    e.FillAll(1, Red, 20, 20);
    ExpectWhere(
        Play(e.Finish(), 20, 20), Red, clWhite,
        [](int x, int y) { return In(Rect(0, 0, 10, 10), x, y); }, "bad count ignored");
}

TEST(MetafilePens, InsideFrameKeepsTheStrokeInsideTheBox) {
    // A 7-unit pen around (5,5)-(35,35): inside-frame paints only within the
    // box and is 7 pixels thick there; a solid pen straddles the outline.
    for (int style : {0, 6}) {
        for (uint32_t shape : {43u, 42u}) { // rectangle, ellipse
            TEmf e(40, 40);
            e.Rec(38, {1, style, 7, 0, int32_t(Red)});
            e.Rec(37, {1});
            e.Rec(37, {NullBrush});
            e.Rec(shape, {5, 5, 35, 35});
            const TBitmap b = Play(e.Finish(), 40, 40);
            int outside = 0;
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 40; ++x)
                    outside += b.Pixel(x, y) != clWhite && !In(Rect(5, 5, 35, 35), x, y);
            const std::string what = std::string(shape == 43 ? "rectangle" : "ellipse") +
                                     (style == 6 ? " inside frame" : " solid");
            if (style == 6)
                EXPECT_EQ(outside, 0) << what;
            else
                EXPECT_GT(outside, 100) << what;
            if (shape == 43 && style == 6) {
                int thick = 0;
                for (int x = 0; x < 40; ++x)
                    thick += b.Pixel(x, 20) == Red;
                EXPECT_EQ(thick, 14) << "two 7-pixel sides";
                EXPECT_EQ(b.Pixel(5, 20), Red);
                EXPECT_EQ(b.Pixel(34, 20), Red);
                EXPECT_EQ(b.Pixel(12, 20), clWhite);
            }
        }
    }
}

TEST(MetafileFloodFill, BorderAndSurfaceModesStopAtTheOutline) {
    for (int mode : {0, 1}) {
        TEmf e(40, 40);
        e.Rec(37, {BlackPen});
        e.Rec(37, {NullBrush});
        e.Rec(43, {5, 5, 30, 30}); // black outline, pixels 5..29
        e.Brush(1, Blue);
        // Border mode stops at black; surface mode fills the white it started on.
        e.Rec(53, {15, 15, int32_t(mode == 0 ? clBlack : clWhite), mode});
        const TBitmap b = Play(e.Finish(), 40, 40);
        ExpectFilled(b, Blue, Rect(6, 6, 29, 29), mode == 0 ? "border mode" : "surface mode");
    }
}

TEST(MetafileFloodFill, StartOnTheBorderOrOutsidePaintsNothing) {
    TEmf e(30, 30);
    e.Rec(37, {BlackPen});
    e.Rec(37, {NullBrush});
    e.Rec(43, {5, 5, 20, 20});
    e.Brush(1, Red);
    e.Rec(53, {5, 10, int32_t(clBlack), 0});   // on the border
    e.Rec(53, {500, 10, int32_t(clBlack), 0}); // outside the picture
    e.Rec(53, {10, 10, int32_t(clBlack), 1});  // surface mode on white looking for black
    const TBitmap b = Play(e.Finish(), 30, 30);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x)
            ASSERT_NE(b.Pixel(x, y), Red) << x << "," << y;
}

TEST(MetafileFloodFill, ClipLimitsTheFill) {
    TEmf e(30, 30);
    e.Rec(30, {0, 0, 10, 30}); // IntersectClipRect
    e.Brush(1, Green);
    e.Rec(53, {2, 2, int32_t(clBlack), 0});
    ExpectWhere(
        Play(e.Finish(), 30, 30), Green, clWhite,
        [](int x, int y) { return In(Rect(0, 0, 10, 30), x, y); }, "clipped fill");
}

namespace {

// EMR_MASKBLT of a 4 x 4 source with an optional 4 x 4 mask to (x, y).
std::vector<uint8_t> MaskBltBody(int x, int y, uint32_t rop4, const std::vector<uint8_t>& src,
                                 const std::vector<uint8_t>& mask, size_t srcHeader,
                                 size_t maskHeader) {
    TBytes b;
    for (int v : {0, 0, 0, 0, x, y, 4, 4})
        b.U32(uint32_t(v));
    b.U32(rop4);
    b.U32(0); // xSrc
    b.U32(0); // ySrc
    for (float f : {1.f, 0.f, 0.f, 1.f, 0.f, 0.f}) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        b.U32(v);
    }
    b.U32(0xFFFFFF); // background
    b.U32(0);        // usage
    const uint32_t srcAt = 128, maskAt = srcAt + uint32_t(src.size());
    b.U32(srcAt);
    b.U32(uint32_t(srcHeader));
    b.U32(srcAt + uint32_t(srcHeader));
    b.U32(uint32_t(src.size() - srcHeader));
    b.U32(0); // xMask
    b.U32(0); // yMask
    b.U32(0); // mask usage
    b.U32(mask.empty() ? 0 : maskAt);
    b.U32(mask.empty() ? 0 : uint32_t(maskHeader));
    b.U32(mask.empty() ? 0 : maskAt + uint32_t(maskHeader));
    b.U32(mask.empty() ? 0 : uint32_t(mask.size() - maskHeader));
    b.D.insert(b.D.end(), src.begin(), src.end());
    b.D.insert(b.D.end(), mask.begin(), mask.end());
    return b.D;
}

std::vector<TColor> Quarters() {
    // 4 x 4: red, blue on top; green, black below.
    std::vector<TColor> px(16);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            px[size_t(y) * 4 + x] = y < 2 ? (x < 2 ? Red : Blue) : (x < 2 ? Green : clBlack);
    return px;
}

} // namespace

TEST(MetafileBitmaps, MaskBltChoosesTheOperationByTheMask) {
    const std::vector<uint8_t> src = Dib24(4, 4, Quarters());
    const std::vector<uint8_t> mask = Dib1(4, 4, {"1100", "1100", "1111", "0000"});
    // Foreground source copy, background leaves the target.
    TEmf e(10, 10);
    e.Raw(78, MaskBltBody(3, 3, 0xAACC0020, src, mask, DibHeader24, DibHeader1));
    const TBitmap b = Play(e.Finish(), 10, 10, RGBColor(200, 200, 200));
    const std::vector<TColor> q = Quarters();
    const char* rows[4] = {"1100", "1100", "1111", "0000"};
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(b.Pixel(3 + x, 3 + y),
                      rows[y][x] == '1' ? q[size_t(y) * 4 + x] : RGBColor(200, 200, 200))
                << x << "," << y;
    EXPECT_EQ(b.Pixel(2, 3), RGBColor(200, 200, 200));
    EXPECT_EQ(b.Pixel(7, 7), RGBColor(200, 200, 200));
    // Without a mask the foreground operation covers the whole rectangle.
    TEmf plain(10, 10);
    plain.Raw(78, MaskBltBody(0, 0, 0xAACC0020, src, {}, DibHeader24, 0));
    const TBitmap c = Play(plain.Finish(), 10, 10);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(c.Pixel(x, y), q[size_t(y) * 4 + x]) << x << "," << y;
}

namespace {

std::vector<uint8_t> PlgBltBody(std::initializer_list<int> corners, const std::vector<uint8_t>& src,
                                const std::vector<uint8_t>& mask) {
    TBytes b;
    for (int v : {0, 0, 0, 0})
        b.U32(uint32_t(v));
    for (int v : corners)
        b.U32(uint32_t(v));
    for (int v : {0, 0, 4, 4})
        b.U32(uint32_t(v));
    for (float f : {1.f, 0.f, 0.f, 1.f, 0.f, 0.f}) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        b.U32(v);
    }
    b.U32(0xFFFFFF);
    b.U32(0);
    const uint32_t srcAt = 140, maskAt = srcAt + uint32_t(src.size());
    b.U32(srcAt);
    b.U32(uint32_t(DibHeader24));
    b.U32(srcAt + uint32_t(DibHeader24));
    b.U32(uint32_t(src.size() - DibHeader24));
    b.U32(0);
    b.U32(0);
    b.U32(0);
    b.U32(mask.empty() ? 0 : maskAt);
    b.U32(mask.empty() ? 0 : uint32_t(DibHeader1));
    b.U32(mask.empty() ? 0 : maskAt + uint32_t(DibHeader1));
    b.U32(mask.empty() ? 0 : uint32_t(mask.size() - DibHeader1));
    b.D.insert(b.D.end(), src.begin(), src.end());
    b.D.insert(b.D.end(), mask.begin(), mask.end());
    return b.D;
}

} // namespace

TEST(MetafileBitmaps, PlgBltPlacesTheSourceOnItsParallelogram) {
    const std::vector<uint8_t> src = Dib24(4, 4, Quarters());
    // Upper left, upper right, lower left: scaled 5 times.
    {
        TEmf e(30, 30);
        e.Raw(79, PlgBltBody({5, 5, 25, 5, 5, 25}, src, {}));
        const TBitmap b = Play(e.Finish(), 30, 30);
        EXPECT_EQ(b.Pixel(8, 8), Red);
        EXPECT_EQ(b.Pixel(22, 8), Blue);
        EXPECT_EQ(b.Pixel(8, 22), Green);
        EXPECT_EQ(b.Pixel(22, 22), clBlack);
        EXPECT_EQ(b.Pixel(3, 15), clWhite);
        EXPECT_EQ(b.Pixel(27, 15), clWhite);
    }
    // The upper right corner left of the upper left one mirrors the picture.
    {
        TEmf e(30, 30);
        e.Raw(79, PlgBltBody({25, 5, 5, 5, 25, 25}, src, {}));
        const TBitmap b = Play(e.Finish(), 30, 30);
        EXPECT_EQ(b.Pixel(8, 8), Blue);
        EXPECT_EQ(b.Pixel(22, 8), Red);
        EXPECT_EQ(b.Pixel(8, 22), clBlack);
        EXPECT_EQ(b.Pixel(22, 22), Green);
    }
    // A mask keeps the target where it is clear.
    {
        TEmf e(8, 8);
        e.Raw(79,
              PlgBltBody({0, 0, 4, 0, 0, 4}, src, Dib1(4, 4, {"1000", "0000", "0000", "0001"})));
        const TBitmap b = Play(e.Finish(), 8, 8);
        EXPECT_EQ(b.Pixel(0, 0), Red);
        EXPECT_EQ(b.Pixel(3, 3), clBlack);
        EXPECT_EQ(b.Pixel(1, 0), clWhite);
        EXPECT_EQ(b.Pixel(0, 3), clWhite);
    }
}

TEST(MetafileBitmaps, TransfersWithOffsetsBeyondTheRecordDrawNothing) {
    const std::vector<uint8_t> src = Dib24(4, 4, Quarters());
    std::vector<uint8_t> mask = MaskBltBody(0, 0, 0xAACC0020, src, {}, DibHeader24, 0);
    mask[84 - 8] = 0xF0; // source header offset far outside
    std::vector<uint8_t> plg = PlgBltBody({0, 0, 4, 0, 0, 4}, src, {});
    plg[108 - 8 + 3] = 0x7F;                                       // bits size huge
    std::vector<uint8_t> shortPlg(plg.begin(), plg.begin() + 100); // fixed part cut
    TEmf e(10, 10);
    e.Raw(78, mask);
    e.Raw(79, plg);
    e.Raw(79, shortPlg);
    e.Raw(53, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}); // flood fill too short
    const TBitmap b = Play(e.Finish(), 10, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            ASSERT_EQ(b.Pixel(x, y), clWhite) << x << "," << y;
}

namespace {

// A plain WMF of w x h units (its window extent).
struct TWmf : TBytes {
    uint32_t MaxRecord = 3;
    TWmf(int w, int h) {
        U16(1);
        U16(9);
        U16(0x300);
        U32(0);
        U16(4);
        U32(0);
        U16(0);
        Rec(0x020C, {h, w});
    }
    void Rec(uint16_t fn, std::initializer_list<int> params) {
        U32(3 + uint32_t(params.size()));
        U16(fn);
        for (int p : params)
            U16(uint32_t(p));
        MaxRecord = std::max<uint32_t>(MaxRecord, 3 + uint32_t(params.size()));
    }
    std::vector<uint8_t> Finish() {
        Rec(0, {});
        Put32(6, uint32_t(D.size() / 2));
        Put32(12, MaxRecord);
        return D;
    }
};

} // namespace

TEST(MetafileWmfRecords, FloodFillRecordsPlay) {
    for (uint16_t fn : {uint16_t(0x0419), uint16_t(0x0548)}) {
        TWmf w(30, 30);
        w.Rec(0x02FC, {0, 0x00FF, 0, 0}); // solid brush, red (slot 0)
        w.Rec(0x012D, {0});
        w.Rec(0x012D, {5});             // another slot that does not exist: ignored
        w.Rec(0x02FA, {0, 1, 0, 0, 0}); // black pen (slot 1)
        w.Rec(0x012D, {1});
        w.Rec(0x0325, {5, 5, 5, 20, 5, 20, 20, 5, 20, 5, 5}); // closed outline
        if (fn == 0x0419)
            w.Rec(fn, {0, 0, 10, 10}); // border black, y, x
        else
            w.Rec(fn, {1, 0xFFFF, 0x00FF, 10, 10}); // surface mode on white
        const TBitmap b = Play(w.Finish(), 30, 30);
        ExpectFilled(b, Red, Rect(6, 6, 20, 20), fn == 0x0419 ? "FloodFill" : "ExtFloodFill");
    }
}

TEST(MetafileWmfRecords, ClipRegionOfSeveralRectanglesClipsToThemNotTheirExtent) {
    TWmf w(40, 20);
    // CreateRegion: two rectangles (0,0)-(10,20) and (30,0)-(40,20) in one scan.
    w.Rec(0x06FF, {0, 6, 0, 0, 0, 1, 8, 0, 0, 40, 20, 4, 0, 20, 0, 10, 30, 40, 4});
    w.Rec(0x012C, {0});               // SelectClipRegion
    w.Rec(0x02FC, {0, 0x00FF, 0, 0}); // red brush, slot 1
    w.Rec(0x012D, {1});
    w.Rec(0x02FA, {5, 0, 0, 0, 0}); // null pen, slot 2
    w.Rec(0x012D, {2});
    w.Rec(0x012D, {0});            // selecting the region object also sets the clip
    w.Rec(0x041B, {21, 41, 0, 0}); // rectangle over everything
    const std::vector<uint8_t> bytes = w.Finish();
    auto inRegion = [](int x, int y) {
        return In(Rect(0, 0, 10, 20), x, y) || In(Rect(30, 0, 40, 20), x, y);
    };
    const TBitmap b = Play(bytes, 40, 20);
    ExpectWhere(b, Red, clWhite, inRegion, "read");
    // Written back as WMF, the clip is still the two rectangles.
    TMetafile m;
    TMemoryStream s(bytes);
    m.LoadFromStream(s);
    const std::vector<uint8_t> again = m.WmfData();
    const TBitmap c = Play(again, 40, 20);
    ExpectWhere(c, Red, clWhite, inRegion, "written and read again");
}

namespace {

// Offsets of the text records of an EMF, with their spacing-array offsets.
std::vector<std::pair<size_t, uint32_t>> TextRecords(const std::vector<uint8_t>& d,
                                                     std::vector<uint32_t>* types = nullptr) {
    std::vector<std::pair<size_t, uint32_t>> out;
    auto u32 = [&](size_t at) {
        return uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 | uint32_t(d[at + 2]) << 16 |
               uint32_t(d[at + 3]) << 24;
    };
    for (size_t pos = 0; pos + 8 <= d.size();) {
        const uint32_t type = u32(pos), size = u32(pos + 4);
        if (size < 8 || pos + size > d.size()) break;
        if (types) types->push_back(type);
        if ((type == 83 || type == 84) && size >= 76) out.emplace_back(pos, u32(pos + 72));
        pos += size;
    }
    return out;
}

} // namespace

TEST(MetafileText, WmfTextGetsSpacingThatMatchesItsOwnAdvances) {
    TWmf w(200, 40);
    // Font: height -20, weight 700, "Arial" (slot 0).
    w.Rec(0x02FB, {-20, 0, 0, 0, 700, 0, 0, 0, 'A' | 'r' << 8, 'i' | 'a' << 8, 'l'});
    w.Rec(0x012D, {0});
    w.Rec(0x0521, {11, 'H' | 'e' << 8, 'l' | 'l' << 8, 'o' | ' ' << 8, 'W' | 'o' << 8,
                   'r' | 'l' << 8, 'd', 10, 5}); // TextOut "Hello World" at (5, 10)
    TMetafile m;
    TMemoryStream s(w.Finish());
    m.LoadFromStream(s);
    std::vector<uint8_t> emf = m.EmfData();
    const auto texts = TextRecords(emf);
    ASSERT_EQ(texts.size(), 1u);
    const auto [at, offDx] = texts[0];
    ASSERT_GE(offDx, 76u);
    int32_t sum = 0;
    for (int i = 0; i < 11; ++i) {
        int32_t dx;
        std::memcpy(&dx, &emf[at + offDx + 4 * i], 4);
        EXPECT_GT(dx, 0) << i;
        sum += dx;
    }
    // About half an em per letter in a 20-unit bold Arial.
    EXPECT_GT(sum, 80);
    EXPECT_LT(sum, 160);
    // Drawn with the array or with the font's own advances: the same picture.
    TBitmap with = Play(emf, 200, 40);
    std::memset(&emf[at + 72], 0, 4);
    TBitmap without = Play(emf, 200, 40);
    int inked = 0, differ = 0;
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 200; ++x) {
            inked += with.Pixel(x, y) != clWhite;
            differ += with.Pixel(x, y) != without.Pixel(x, y);
        }
    EXPECT_GT(inked, 100);
    EXPECT_LT(differ, inked / 10);
}

TEST(MetafileText, ReplayedTextRecordsAlwaysCarrySpacing) {
    // An EMF source with SmallTextOut and an ExtTextOutW without spacing: the
    // recording writes ExtTextOut records whose arrays lie inside them, and
    // leaves out text justification.
    TEmf e(100, 30);
    TBytes small;
    for (uint32_t v : {5u, 5u, 4u, 0x300u, 1u})
        small.U32(v);
    small.U32(0);
    small.U32(0);
    small.D.insert(small.D.end(), {'T', 'e', 's', 't'});
    e.Raw(108, small.D);
    TBytes wide;
    for (int i = 0; i < 4; ++i)
        wide.U32(0);
    wide.U32(1);
    wide.U32(0);
    wide.U32(0);
    for (uint32_t v : {5u, 15u, 2u, 76u, 0u, 0u, 0u, 0u, 0u, 0u})
        wide.U32(v);
    wide.U16('O');
    wide.U16('K');
    e.Raw(84, wide.D);
    e.Rec(120, {2, 1}); // SetTextJustification: left out
    TMetafile source;
    TMemoryStream s(e.Finish());
    source.LoadFromStream(s);
    TMetafile recorded;
    {
        TMetafileCanvas canvas(recorded, "", "");
        source.Draw(canvas, Rect(0, 0, 100, 30));
        canvas.Close();
    }
    const std::vector<uint8_t>& d = recorded.EmfData();
    std::vector<uint32_t> types;
    const auto texts = TextRecords(d, &types);
    EXPECT_EQ(std::count(types.begin(), types.end(), 108u), 0);
    EXPECT_EQ(std::count(types.begin(), types.end(), 120u), 0);
    ASSERT_EQ(texts.size(), 2u);
    for (const auto& [at, offDx] : texts) {
        uint32_t size, chars;
        std::memcpy(&size, &d[at + 4], 4);
        std::memcpy(&chars, &d[at + 44], 4);
        EXPECT_GE(offDx, 76u);
        EXPECT_LE(offDx + 4 * chars, size);
    }
}
