// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Bitmap.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

TEST(TBitmap, NewAreaIsWhiteInEveryFormat) {
    for (TPixelFormat f : {pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        TBitmap b;
        b.SetPixelFormat(f);
        b.SetSize(5, 3);
        EXPECT_EQ(b.Pixel(4, 2), clWhite) << "format " << f;
        b.SetPixel(1, 1, clBlack);
        b.SetSize(9, 4);
        EXPECT_EQ(b.Pixel(1, 1), clBlack) << "kept pixel, format " << f;
        EXPECT_EQ(b.Pixel(8, 3), clWhite) << "grown area, format " << f;
    }
}

TEST(TBitmap, CustomPixelFormatIsRefused) {
    TBitmap b;
    EXPECT_THROW(b.SetPixelFormat(pfCustom), EInvalidGraphic);
}

TEST(TBitmap, ScanLineOutsideTheRasterThrows) {
    TBitmap b(4, 4, pf24bit);
    EXPECT_THROW(b.ScanLine(4), EInvalidGraphicOperation);
    EXPECT_THROW(b.ScanLine(-1), EInvalidGraphicOperation);
    EXPECT_EQ(b.BytesPerScanLine(), 12u);
}
