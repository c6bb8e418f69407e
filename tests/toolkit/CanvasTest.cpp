// SPDX-License-Identifier: GPL-3.0-or-later
// TBitmapCanvas: fills, the stretch mapping, black-wins shrinking of 1-bit
// sources, masked copies, colour mapping into indexed targets.
#include "toolkit/Canvas.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

namespace {

// A one-row source whose pixel x has red = 10 * x + 1, so a target pixel names its source column.
TBitmap Ramp(int w, int h = 1) {
    TBitmap b(w, h, pf24bit);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b.SetPixel(x, y, RGBColor(uint8_t(10 * x + 1), uint8_t(10 * y), 0));
    return b;
}

std::vector<int> Columns(const TBitmap& b, int y = 0) {
    std::vector<int> out;
    for (int x = 0; x < b.Width(); ++x)
        out.push_back((GetRValue(b.Pixel(x, y)) - 1) / 10);
    return out;
}

} // namespace

TEST(TBitmapCanvas, StretchTakesSourceColumnTwoXPlusOneTimesSWDivTwoW) {
    TBitmap grow(7, 1, pf24bit);
    grow.Canvas().StretchBitmap(Rect(0, 0, 7, 1), Ramp(3));
    EXPECT_EQ(Columns(grow), (std::vector<int>{0, 0, 1, 1, 1, 2, 2}));

    TBitmap shrink(3, 1, pf32bit);
    shrink.Canvas().StretchBitmap(Rect(0, 0, 3, 1), Ramp(7));
    EXPECT_EQ(Columns(shrink), (std::vector<int>{1, 3, 5}));

    // Rows follow the same rule; a rectangle hanging off the target is clipped, not shifted.
    TBitmap rows(1, 3, pf24bit);
    rows.Canvas().StretchBitmap(Rect(-2, 0, 1, 3), Ramp(3, 7));
    EXPECT_EQ(GetRValue(rows.Pixel(0, 0)), 21); // column (2*2+1)*3 div 6 = 2
    EXPECT_EQ(GetGValue(rows.Pixel(0, 1)), 30); // row (2*1+1)*7 div 6 = 3
    EXPECT_EQ(GetGValue(rows.Pixel(0, 2)), 50);
}

TEST(TBitmapCanvas, ShrinkingOneBitSourcesLetsTheDarkerColourWin) {
    TBitmap src(8, 2, pf1bit); // white, with one black pixel
    src.SetPixel(5, 1, clBlack);
    TBitmap dst(2, 1, pf24bit);
    dst.Canvas().StretchBitmap(Rect(0, 0, 2, 1), src);
    EXPECT_EQ(dst.Pixel(0, 0), clWhite);
    EXPECT_EQ(dst.Pixel(1, 0), clBlack); // nearest-pixel would have picked white

    // Darker by luma, whatever its index: a palette with white first.
    TPalette wb({TPaletteEntry{255, 255, 255, 0}, TPaletteEntry{0, 0, 128, 0}});
    TBitmap inv(4, 1, pf1bit);
    inv.SetPalette(wb);
    inv.ScanLine(0)[0] = 0x10; // pixel 3 is index 1 (dark blue)
    dst.Canvas().StretchBitmap(Rect(0, 0, 2, 1), inv);
    EXPECT_EQ(dst.Pixel(0, 0), clWhite);
    EXPECT_EQ(dst.Pixel(1, 0), RGBColor(0, 0, 128));

    // Growing a 1-bit source is plain nearest-pixel.
    TBitmap big(16, 4, pf24bit);
    big.Canvas().StretchBitmap(Rect(0, 0, 16, 4), src);
    EXPECT_EQ(big.Pixel(10, 2), clBlack);
    EXPECT_EQ(big.Pixel(9, 2), clWhite);
}

TEST(TBitmapCanvas, MaskedCopyLeavesMaskedPixelsAlone) {
    TBitmap src = Ramp(3);
    TBitmap mask(3, 1, pf1bit);
    mask.Canvas().BrushColor = clBlack;
    mask.Canvas().FillRect(Rect(0, 0, 3, 1));
    mask.SetPixel(1, 0, clWhite); // index 1: keep the target
    TBitmap dst(3, 1, pf24bit);
    dst.Canvas().BrushColor = RGBColor(9, 9, 9);
    dst.Canvas().FillRect(Rect(0, 0, 3, 1));
    dst.Canvas().StretchBitmapMasked(Rect(0, 0, 3, 1), src, mask);
    EXPECT_EQ(dst.Pixel(0, 0), RGBColor(1, 0, 0));
    EXPECT_EQ(dst.Pixel(1, 0), RGBColor(9, 9, 9));
    EXPECT_EQ(dst.Pixel(2, 0), RGBColor(21, 0, 0));
}

TEST(TBitmapCanvas, DrawnColoursMapToTheNearestPaletteEntry) {
    TBitmap src(3, 1, pf24bit);
    src.SetPixel(0, 0, RGBColor(250, 5, 5));
    src.SetPixel(1, 0, RGBColor(130, 126, 131));
    src.SetPixel(2, 0, RGBColor(200, 200, 190));
    TBitmap four(3, 1, pf4bit);
    four.Canvas().StretchBitmap(Rect(0, 0, 3, 1), src);
    const uint8_t* r = four.ScanLine(0);
    EXPECT_EQ(r[0] >> 4, 9); // (255,0,0)
    EXPECT_EQ(r[0] & 15, 7); // (128,128,128)
    EXPECT_EQ(r[1] >> 4, 8); // (192,192,192)

    TBitmap one(3, 1, pf1bit);
    one.Canvas().StretchBitmap(Rect(0, 0, 3, 1), src);
    EXPECT_EQ(one.ScanLine(0)[0] >> 5, 0b011); // red is nearer black, the greys white

    // A new palette takes effect at once: nothing stale is remembered.
    TBitmap eight(1, 1, pf8bit);
    eight.SetPixel(0, 0, RGBColor(250, 5, 5));
    TPalette two({TPaletteEntry{0, 0, 0, 0}, TPaletteEntry{255, 0, 0, 0}});
    eight.SetPalette(two);
    eight.SetPixel(0, 0, RGBColor(250, 5, 5));
    EXPECT_EQ(eight.ScanLine(0)[0], 1);
}

TEST(TBitmapCanvas, TheFourthByteOfDrawnPixelsIsZero) {
    TBitmap dst(2, 1, pf32bit);
    dst.Canvas().BrushColor = RGBColor(1, 2, 3);
    dst.Canvas().FillRect(Rect(0, 0, 2, 1));
    EXPECT_EQ(dst.ScanLine(0)[3], 0);
    TBitmap src(2, 1, pf32bit);
    uint8_t* raw = src.ScanLine(0);
    raw[0] = 0; // pixel 0: red with straight alpha 200
    raw[1] = 0;
    raw[2] = 255;
    raw[3] = 200;
    raw[7] = 77;
    dst.Canvas().StretchBitmapAlpha(Rect(0, 0, 2, 1), src);
    EXPECT_EQ(dst.ScanLine(0)[3], 0);
    EXPECT_EQ(dst.ScanLine(0)[7], 0);
    EXPECT_EQ(dst.Pixel(0, 0), RGBColor(200, 0, 1)); // (255*200 + 1*55 + 127) div 255
    dst.Canvas().StretchBitmap(Rect(0, 0, 2, 1), src);
    EXPECT_EQ(dst.ScanLine(0)[3], 0);
    EXPECT_EQ(dst.ScanLine(0)[7], 0);
}
