// SPDX-License-Identifier: GPL-3.0-or-later
// Playing EMF records onto a bitmap: golden pixels for the drawing state that
// GDI defines exactly (fill modes, pen widths, hatches, mapping, saved states,
// device-independent bitmaps) and loose boxes for text.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

enum : uint32_t {
    RecPolygon = 3,
    RecPolyPolygon = 8,
    RecSetWindowExt = 9,
    RecSetWindowOrg = 10,
    RecSetViewportExt = 11,
    RecSetViewportOrg = 12,
    RecSetMapMode = 17,
    RecSetBkMode = 18,
    RecSetPolyFillMode = 19,
    RecSetBkColor = 25,
    RecMoveTo = 27,
    RecSaveDC = 33,
    RecRestoreDC = 34,
    RecSelectObject = 37,
    RecCreatePen = 38,
    RecCreateBrush = 39,
    RecRectangle = 43,
    RecLineTo = 54,
    RecComment = 70,
    RecStretchDIBits = 81,
    RecCreateFont = 82,
    RecExtTextOutW = 84,
};
constexpr int32_t NullPen = int32_t(0x80000008), NullBrush = int32_t(0x80000005);
constexpr TColor Red = RGBColor(255, 0, 0), Green = RGBColor(0, 255, 0), Blue = RGBColor(0, 0, 255),
                 Yellow = RGBColor(255, 255, 0);

// A w x h picture against a 96-dpi reference device: one unit is one pixel.
struct TEmf {
    std::vector<uint8_t> D;
    uint32_t Records = 1;
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            D.push_back(uint8_t(v >> (8 * i)));
    }
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
        Raw(type, std::vector<int32_t>(args));
    }
    void Raw(uint32_t type, const std::vector<int32_t>& args) {
        U32(type);
        U32(8 + 4 * uint32_t(args.size()));
        for (int32_t a : args)
            U32(uint32_t(a));
        ++Records;
    }
    void SolidBrush(int handle, TColor c) {
        Rec(RecCreateBrush, {handle, 0, int32_t(c), 0});
        Rec(RecSelectObject, {handle});
    }
    // A one-pixel pen (handle) and a brush (handle + 1) of one colour: a
    // rectangle then paints exactly its box without the right and bottom edge.
    void Paint(int handle, TColor c) {
        Rec(RecCreatePen, {handle, 0, 0, 0, int32_t(c)});
        Rec(RecSelectObject, {handle});
        SolidBrush(handle + 1, c);
    }
    std::vector<uint8_t> Finish() {
        Rec(14, {0, 16, 20});
        auto put = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i)
                D[at + i] = uint8_t(v >> (8 * i));
        };
        put(48, uint32_t(D.size()));
        put(52, Records);
        return D;
    }
};

TBitmap Play(const std::vector<uint8_t>& emf, int w, int h, TColor background = clWhite) {
    TMetafile m;
    TMemoryStream s(emf);
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

// Every pixel of r (exclusive right and bottom) has colour c.
void ExpectArea(const TBitmap& b, const TRect& r, TColor c, const char* what) {
    int wrong = 0, firstX = -1, firstY = -1;
    for (int y = r.Top; y < r.Bottom; ++y)
        for (int x = r.Left; x < r.Right; ++x)
            if (b.Pixel(x, y) != c && wrong++ == 0) {
                firstX = x;
                firstY = y;
            }
    EXPECT_EQ(wrong, 0) << what << ": first wrong pixel at " << firstX << "," << firstY << " is 0x"
                        << std::hex << b.Pixel(firstX, firstY);
}

int CountNot(const TBitmap& b, const TRect& r, TColor c) {
    int n = 0;
    for (int y = r.Top; y < r.Bottom; ++y)
        for (int x = r.Left; x < r.Right; ++x)
            n += b.Pixel(x, y) != c;
    return n;
}

// The rectangle (0,0)-(20,20) in a 40 x 40 picture: checks where it landed.
void ExpectFilledSquare(const TBitmap& b, const TRect& where, TColor c, const char* what) {
    ExpectArea(b, where, c, what);
    EXPECT_EQ(CountNot(b, Rect(0, 0, b.Width(), b.Height()), clWhite),
              where.Width() * where.Height())
        << what << ": paint outside the square";
}

} // namespace

TEST(MetafilePlayer, PolyPolygonFillModes) {
    // Two squares wound the same way: alternate leaves the inner one empty,
    // winding fills it.
    for (int mode : {1, 2}) {
        TEmf e(30, 30);
        e.Rec(RecSelectObject, {NullPen});
        e.SolidBrush(1, Blue);
        e.Rec(RecSetPolyFillMode, {mode});
        e.Rec(RecPolyPolygon, {0, 0, 29, 29, 2,  8,  4, 4,    // polygons, points, counts
                               0, 0, 20, 0,  20, 20, 0, 20,   // outer
                               5, 5, 15, 5,  15, 15, 5, 15}); // inner, same direction
        const TBitmap b = Play(e.Finish(), 30, 30);
        ExpectArea(b, Rect(0, 0, 20, 5), Blue, "outer band");
        ExpectArea(b, Rect(0, 5, 5, 20), Blue, "outer band");
        ExpectArea(b, Rect(5, 5, 15, 15), mode == 1 ? clWhite : Blue, "inner square");
        ExpectArea(b, Rect(20, 0, 30, 30), clWhite, "right of the exclusive edge");
        ExpectArea(b, Rect(0, 20, 30, 30), clWhite, "below the exclusive edge");
    }
    // One self-crossing polygon: a five-pointed star has a pentagon in its
    // middle that only the winding rule fills.
    for (int mode : {1, 2}) {
        TEmf e(40, 40);
        e.Rec(RecSelectObject, {NullPen});
        e.SolidBrush(1, Red);
        e.Rec(RecSetPolyFillMode, {mode});
        e.Rec(RecPolygon, {0, 0, 39, 39, 5, 20, 0, 32, 38, 1, 14, 39, 14, 8, 38});
        const TBitmap b = Play(e.Finish(), 40, 40);
        EXPECT_EQ(b.Pixel(20, 21), mode == 1 ? clWhite : Red) << "centre, mode " << mode;
        EXPECT_EQ(b.Pixel(20, 4), Red) << "top point";
        EXPECT_EQ(b.Pixel(3, 15), Red) << "left point";
    }
}

TEST(MetafilePlayer, PenWidthGivesTheLineItsThickness) {
    for (int width : {1, 5}) {
        TEmf e(40, 40);
        e.Rec(RecCreatePen, {1, 0, width, 0, int32_t(Red)});
        e.Rec(RecSelectObject, {1});
        e.Rec(RecMoveTo, {5, 20});
        e.Rec(RecLineTo, {35, 20});
        e.Rec(RecMoveTo, {20, 2});
        e.Rec(RecLineTo, {20, 10});
        const TBitmap b = Play(e.Finish(), 40, 40);
        int rows = 0, cols = 0;
        for (int y = 0; y < 40; ++y)
            rows += b.Pixel(28, y) == Red;
        for (int x = 0; x < 40; ++x)
            cols += b.Pixel(x, 5) == Red;
        EXPECT_EQ(rows, width) << "horizontal line, width " << width;
        EXPECT_EQ(cols, width) << "vertical line, width " << width;
        EXPECT_EQ(b.Pixel(28, 20), Red);
        EXPECT_EQ(b.Pixel(20, 5), Red);
        // A pen's colour is not smeared: nothing but red and white.
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 40; ++x)
                ASSERT_TRUE(b.Pixel(x, y) == Red || b.Pixel(x, y) == clWhite) << x << "," << y;
    }
}

TEST(MetafilePlayer, HatchedBrushWithOpaqueAndTransparentBackground) {
    for (int bkMode : {1, 2}) { // transparent, opaque
        TEmf e(32, 32);
        e.Rec(RecSelectObject, {NullPen});
        e.Rec(RecCreateBrush, {1, 2, int32_t(Blue), 1}); // hatched, vertical lines
        e.Rec(RecSelectObject, {1});
        e.Rec(RecSetBkMode, {bkMode});
        e.Rec(RecSetBkColor, {int32_t(Green)});
        e.Rec(RecRectangle, {0, 0, 33, 33}); // without a pen GDI fills one pixel less
        const TBitmap b = Play(e.Finish(), 32, 32, Yellow);
        const TColor gap = bkMode == 2 ? Green : Yellow;
        int lines = 0, firstLine = -1;
        for (int x = 0; x < 32; ++x) {
            const TColor top = b.Pixel(x, 0);
            ASSERT_TRUE(top == Blue || top == gap) << "column " << x << " mode " << bkMode;
            for (int y = 1; y < 32; ++y)
                ASSERT_EQ(b.Pixel(x, y), top) << "vertical hatch varies down column " << x;
            if (top == Blue) {
                if (firstLine < 0) firstLine = x;
                EXPECT_EQ((x - firstLine) % 8, 0) << "hatch period";
                ++lines;
            }
        }
        EXPECT_EQ(lines, 4) << "one line per 8 pixels, mode " << bkMode;
    }
}

TEST(MetafilePlayer, AnisotropicWindowAndViewport) {
    // Window (100,100) extent 200 onto viewport (10, y) extent 40: the
    // logical square 100..200 lands on pixels 10..29; a marker in its
    // logical top-left quarter shows whether y was flipped.
    struct Case {
        const char* Name;
        int VpOrgY, VpExtY;
        TRect Marker;
    } cases[] = {{"y down", 10, 40, Rect(10, 10, 20, 20)},
                 {"y flipped", 30, -40, Rect(10, 20, 20, 30)}};
    for (const Case& c : cases) {
        TEmf e(40, 40);
        e.Paint(1, Green);
        e.Rec(RecSetMapMode, {8});
        e.Rec(RecSetWindowOrg, {100, 100});
        e.Rec(RecSetWindowExt, {200, 200});
        e.Rec(RecSetViewportOrg, {10, c.VpOrgY});
        e.Rec(RecSetViewportExt, {40, c.VpExtY});
        e.Rec(RecRectangle, {100, 100, 200, 200});
        e.Paint(3, Red);
        e.Rec(RecRectangle, {100, 100, 150, 150});
        const TBitmap b = Play(e.Finish(), 40, 40);
        ExpectArea(b, c.Marker, Red, c.Name);
        EXPECT_EQ(CountNot(b, Rect(10, 10, 30, 30), Green), 100) << c.Name;
        EXPECT_EQ(CountNot(b, Rect(0, 0, 40, 40), clWhite), 400) << c.Name;
    }
    // The same picture played at twice the size scales as a vector.
    TEmf e(40, 40);
    e.Paint(1, Green);
    e.Rec(RecSetMapMode, {8});
    e.Rec(RecSetWindowExt, {4, 4});
    e.Rec(RecSetViewportExt, {40, 40});
    e.Rec(RecRectangle, {1, 1, 2, 2});
    const TBitmap b = Play(e.Finish(), 80, 80);
    ExpectFilledSquare(b, Rect(20, 20, 40, 40), Green, "scaled by 10 then 2");
}

TEST(MetafilePlayer, RestoreDCBringsBackTheTransformAndObjects) {
    // Two saved states (red, then green objects) and relative and absolute
    // restores, with a changed mapping, origin and objects after them that
    // must not survive.
    struct Case {
        int32_t Restore;
        TColor After;
    } cases[] = {{-1, Green}, {-2, Red}, {1, Red}, {2, Green}};
    for (const Case& c : cases) {
        TEmf e(40, 40);
        e.Paint(1, Red);
        e.Rec(RecSaveDC, {});
        e.Paint(5, Green);
        e.Rec(RecSaveDC, {});
        e.Rec(RecSetMapMode, {8});
        e.Rec(RecSetWindowExt, {1, 1});
        e.Rec(RecSetViewportExt, {3, 3});
        e.Rec(RecSetWindowOrg, {-5, -5});
        e.Paint(3, Blue);
        e.Rec(RecRectangle, {0, 0, 2, 2}); // drawn under the changed state: 15..21
        e.Rec(RecRestoreDC, {c.Restore});
        e.Rec(RecRectangle, {0, 0, 10, 10});
        const TBitmap b = Play(e.Finish(), 40, 40);
        ExpectArea(b, Rect(0, 0, 10, 10), c.After, "drawn after the restore");
        ExpectArea(b, Rect(15, 15, 21, 21), Blue, "drawn before the restore");
        EXPECT_EQ(CountNot(b, Rect(0, 0, 40, 40), clWhite), 100 + 36) << c.Restore;
    }
    // A restore with nothing saved changes nothing.
    TEmf e(40, 40);
    e.Paint(1, Red);
    e.Rec(RecSetWindowOrg, {-5, -5});
    e.Rec(RecRestoreDC, {-1});
    e.Rec(RecRectangle, {0, 0, 10, 10});
    const TBitmap b = Play(e.Finish(), 40, 40);
    ExpectFilledSquare(b, Rect(5, 5, 15, 15), Red, "unbalanced restore ignored");
}

namespace {

// StretchDIBits of a 2 x 2 24-bit DIB (red, green / blue, yellow as seen)
// onto dst; topDown stores the rows top first (negative height).
std::vector<int32_t> DibRecord(const TRect& dst, bool topDown) {
    // Rows of 6 bytes padded to 8, BGR.
    const std::vector<int32_t> top = {0x00FF0000, 0x000000FF};    // red, green
    const std::vector<int32_t> bottom = {0x000000FF, 0x0000FFFF}; // blue, yellow
    std::vector<int32_t> rec = {dst.Left,
                                dst.Top,
                                dst.Right - 1,
                                dst.Bottom - 1,
                                dst.Left,
                                dst.Top,
                                0,
                                0,
                                2,
                                2,
                                80,
                                40,
                                120,
                                16,
                                0,
                                0x00CC0020,
                                dst.Width(),
                                dst.Height(),
                                40,
                                2,
                                topDown ? -2 : 2,
                                1 | (24 << 16),
                                0,
                                16,
                                0,
                                0,
                                0,
                                0};
    const auto& first = topDown ? top : bottom;
    const auto& second = topDown ? bottom : top;
    rec.insert(rec.end(), first.begin(), first.end());
    rec.insert(rec.end(), second.begin(), second.end());
    return rec;
}

} // namespace

TEST(MetafilePlayer, StretchDIBitsOfATwoByTwoDib) {
    for (bool topDown : {false, true}) {
        TEmf e(40, 40);
        e.Raw(RecStretchDIBits, DibRecord(Rect(10, 10, 30, 30), topDown));
        const TBitmap b = Play(e.Finish(), 40, 40);
        const char* name = topDown ? "top-down" : "bottom-up";
        ExpectArea(b, Rect(10, 10, 20, 20), Red, name);
        ExpectArea(b, Rect(20, 10, 30, 20), Green, name);
        ExpectArea(b, Rect(10, 20, 20, 30), Blue, name);
        ExpectArea(b, Rect(20, 20, 30, 30), Yellow, name);
        EXPECT_EQ(CountNot(b, Rect(0, 0, 40, 40), clWhite), 400) << name;
    }
    // A negative destination width mirrors the picture.
    TEmf e(40, 40);
    std::vector<int32_t> rec = DibRecord(Rect(10, 10, 30, 30), false);
    rec[4] = 30;   // xDest
    rec[16] = -20; // cxDest
    e.Raw(RecStretchDIBits, rec);
    const TBitmap b = Play(e.Finish(), 40, 40);
    ExpectArea(b, Rect(10, 10, 20, 20), Green, "mirrored");
    ExpectArea(b, Rect(20, 10, 30, 20), Red, "mirrored");
}

namespace {

std::vector<int32_t> Utf16Words(const std::u16string& s) {
    std::vector<int32_t> out((s.size() + 1) / 2, 0);
    for (size_t i = 0; i < s.size(); ++i)
        out[i / 2] |= int32_t(uint32_t(s[i]) << (16 * (i % 2)));
    return out;
}

// A font of the given pixel height (negative: character height).
std::vector<int32_t> FontRecord(int handle, int height, const std::u16string& face) {
    std::vector<int32_t> rec = {handle, height, 0, 0, 0, 400, 0, 0};
    std::vector<int32_t> name = Utf16Words(face);
    name.resize(16, 0);
    rec.insert(rec.end(), name.begin(), name.end());
    return rec;
}

std::vector<int32_t> TextRecord(int x, int y, const std::u16string& text, int advance) {
    const int32_t n = int32_t(text.size());
    const int32_t offString = 76, offDx = 76 + 4 * int32_t((text.size() + 1) / 2);
    std::vector<int32_t> rec = {0, 0, -1, -1, 1, 0, 0, x, y, n, offString, 0, 0, 0, -1, -1, offDx};
    const std::vector<int32_t> s = Utf16Words(text);
    rec.insert(rec.end(), s.begin(), s.end());
    for (int i = 0; i < n; ++i)
        rec.push_back(advance);
    return rec;
}

} // namespace

TEST(MetafilePlayer, TextLandsInsideItsBox) {
    for (const std::u16string face : {u"Liberation Sans", u"DejaVu Sans"}) {
        TEmf e(120, 60);
        e.Raw(RecCreateFont, FontRecord(1, -20, face));
        e.Rec(RecSelectObject, {1});
        e.Raw(RecExtTextOutW, TextRecord(10, 15, u"HHH", 16));
        const TBitmap b = Play(e.Finish(), 120, 60);
        // Top-left alignment: the cells start at (10, 15), 20 pixels of
        // character height and three advances of 16.
        const TRect box = Rect(10, 15, 10 + 3 * 16, 15 + 24);
        const int inside = CountNot(b, box, clWhite);
        const int all = CountNot(b, Rect(0, 0, 120, 60), clWhite);
        EXPECT_GT(inside, 3 * 2 * 14) << "three H's with two stems each";
        EXPECT_EQ(all, inside) << "ink outside the text box";
        // The spacing array places each H at 16-pixel steps: the cell
        // gaps between them stay blank in the middle row.
        int inkCells = 0;
        for (int c = 0; c < 3; ++c)
            inkCells += CountNot(b, Rect(10 + 16 * c, 15, 10 + 16 * c + 16, 39), clWhite) > 20;
        EXPECT_EQ(inkCells, 3);
        // The H's crossbar is a horizontal run across the cell.
        int darkRow = 0;
        for (int y = 15; y < 39; ++y) {
            int run = 0;
            for (int x = 10; x < 26; ++x)
                run += GetRValue(b.Pixel(x, y)) < 128;
            darkRow = std::max(darkRow, run);
        }
        EXPECT_GE(darkRow, 8) << "crossbar of the first H";
    }
}

TEST(MetafilePlayer, UnknownRecordsAndCommentsAreSkipped) {
    TEmf e(20, 20);
    e.Paint(1, Red);
    e.Rec(0x7777, {1, 2, 3, 4, 5});                        // unknown type
    e.Rec(RecComment, {12, 0x2B464D45, 0x00014001, 0, 0}); // an EMF+ comment
    e.Rec(RecSelectObject, {NullBrush});                   // then a sound record
    e.Rec(RecSelectObject, {2});
    e.Rec(RecRectangle, {2, 2, 8, 8});
    e.Rec(RecSelectObject, {999}); // unknown handle: ignored
    e.Rec(RecRectangle, {10, 10, 12, 12});
    const TBitmap b = Play(e.Finish(), 20, 20);
    ExpectArea(b, Rect(2, 2, 8, 8), Red, "after the unknown records");
    ExpectArea(b, Rect(10, 10, 12, 12), Red, "brush kept over a bad handle");
    EXPECT_EQ(CountNot(b, Rect(0, 0, 20, 20), clWhite), 36 + 4);
}
