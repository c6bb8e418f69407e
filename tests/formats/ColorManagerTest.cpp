// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ColorManager.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
void ExpectConversionError(TColorManager& cm, const char* message) {
    uint8_t s[8] = {}, t[8] = {};
    try {
        cm.ConvertLine({s}, t, 1);
        FAIL() << "no exception";
    } catch (const EColorConversionError& e) {
        EXPECT_STREQ(e.what(), message);
    }
}

void SetIndexed(TColorManager& cm, uint8_t sourceBits, uint8_t targetBits) {
    cm.SetSourceLayout(clIndexed);
    cm.SetTargetLayout(clIndexed);
    cm.SetSourceSamples(1);
    cm.SetTargetSamples(1);
    cm.SetSourceBits(sourceBits);
    cm.SetTargetBits(targetBits);
}
} // namespace

TEST(TColorManager, SettersRefuseBadValuesAndKeepTheOldOnes) {
    TColorManager cm;
    EXPECT_THROW(cm.SetSourceBits(0), EColorConversionError);
    EXPECT_THROW(cm.SetTargetBits(17), EColorConversionError);
    EXPECT_THROW(cm.SetSourceSamples(5), EColorConversionError);
    try {
        cm.SetTargetSamples(0);
    } catch (const EColorConversionError& e) {
        EXPECT_STREQ(e.what(),
                     "Sample count per pixel does not correspond to the given color scheme.");
    }
    EXPECT_EQ(cm.SourceBits(), 8);
    EXPECT_EQ(cm.TargetBits(), 8);
    EXPECT_EQ(cm.TargetSamples(), 3);
    cm.SetSourceBits(12); // accepted by the setter
    EXPECT_EQ(cm.SourceBits(), 12);
}

TEST(TColorManager, PixelFormatFollowsBitsAndSamples) {
    TColorManager cm;
    struct {
        uint8_t samples, bits;
        TPixelFormat format;
    } cases[] = {{1, 1, pf1bit},  {1, 2, pf4bit},   {1, 4, pf4bit},  {1, 8, pf8bit},
                 {1, 16, pf8bit}, {1, 5, pfCustom}, {3, 5, pf15bit}, {3, 8, pf24bit},
                 {4, 8, pf32bit}, {4, 4, pfCustom}, {2, 8, pfCustom}};
    for (auto c : cases) {
        cm.SetTargetSamples(c.samples);
        cm.SetTargetBits(c.bits);
        EXPECT_EQ(cm.PixelFormatFor(TColorSide::Target), c.format)
            << int(c.samples) << "x" << int(c.bits);
    }
}

TEST(TColorManager, PackedIndexRepackCopiesOrScales) {
    TColorManager cm;
    SetIndexed(cm, 4, 4);
    const uint8_t four[] = {0x12, 0x34, 0x5F};
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    cm.ConvertLine({four}, out, 5); // (4 x 5 + 7) div 8 = 3 bytes, unchanged
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x12, 0x34, 0x5F, 0xEE}));

    SetIndexed(cm, 2, 4);
    const uint8_t two[] = {0x1B}; // 0, 1, 2, 3
    uint8_t wide[2] = {};
    cm.ConvertLine({two}, wide, 4);
    EXPECT_EQ(wide[0], 0x05);
    EXPECT_EQ(wide[1], 0xAF);

    SetIndexed(cm, 8, 1); // scaling down: 255 -> 1, 254 -> 0
    const uint8_t bytes[] = {255, 254, 0, 255, 255, 0, 0, 255, 255};
    uint8_t bitsOut[2] = {0, 0xFF};
    cm.ConvertLine({bytes}, bitsOut, 9);
    EXPECT_EQ(bitsOut[0], 0x99);
    EXPECT_EQ(bitsOut[1], 0xFF); // the other bits of the ninth pixel's byte are kept
}

TEST(TColorManager, MaskSkipsPixelsAndHoldsTheSourceBack) {
    TColorManager cm;
    cm.SetSourceLayout(clRGB);
    cm.SetTargetLayout(clBGR);
    const uint8_t src[] = {1, 2, 3, 4, 5, 6};
    uint8_t out[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    cm.ConvertLine({src}, out, 3, 0xA0); // pixels 0 and 2
    EXPECT_EQ(std::vector<uint8_t>(out, out + 9),
              (std::vector<uint8_t>{3, 2, 1, 9, 9, 9, 6, 5, 4}));
}

TEST(TColorManager, RGBCopiesHandleOrderAlphaPlanesAndSixteenBits) {
    TColorManager cm;
    cm.SetSourceLayout(clRGBA);
    cm.SetSourceSamples(4);
    cm.SetTargetLayout(clBGRA);
    cm.SetTargetSamples(4);
    const uint8_t r[] = {10, 11}, g[] = {20, 21}, b[] = {30, 31}, a[] = {40, 41};
    uint8_t out[8] = {};
    cm.ConvertLine({r, g, b, a}, out, 2);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8),
              (std::vector<uint8_t>{30, 20, 10, 40, 31, 21, 11, 41}));

    // Target alpha without a source alpha keeps the byte that was there.
    cm.SetSourceLayout(clRGB);
    cm.SetSourceSamples(3);
    uint8_t kept[4] = {0, 0, 0, 77};
    const uint8_t rgb[] = {1, 2, 3};
    cm.ConvertLine({rgb}, kept, 1);
    EXPECT_EQ(std::vector<uint8_t>(kept, kept + 4), (std::vector<uint8_t>{3, 2, 1, 77}));

    // 16 bits, high byte first: exchanged, then x 255 div 65535.
    cm.SetTargetLayout(clBGR);
    cm.SetTargetSamples(3);
    cm.SetSourceBits(16);
    cm.SetSourceOptions(soSwapBytes);
    const uint8_t wide[] = {0xFF, 0xFF, 0x80, 0x00, 0x01, 0x01};
    uint8_t narrow[3] = {};
    cm.ConvertLine({wide}, narrow, 1);
    EXPECT_EQ(narrow[2], 255);
    EXPECT_EQ(narrow[1], 0x8000 * 255 / 65535);
    EXPECT_EQ(narrow[0], 0x0101 * 255 / 65535);
}

TEST(TColorManager, CMYKGivesWhiteForNoInkAndBlackForFullK) {
    TColorManager cm;
    cm.SetSourceLayout(clCMYK);
    cm.SetSourceSamples(4);
    const uint8_t px[] = {0, 0, 0, 0, 17, 200, 90, 255, 255, 0, 0, 0, 100, 50, 25, 128};
    uint8_t out[12] = {};
    cm.ConvertLine({px}, out, 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{255, 255, 255, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(out + 6, out + 9), (std::vector<uint8_t>{255, 255, 0})); // cyan
    // C=100 K=128: 255 - (100 - 100*128/255 + 128) = 77; M=50: 102; Y=25: 114.
    EXPECT_EQ(std::vector<uint8_t>(out + 9, out + 12), (std::vector<uint8_t>{114, 102, 77}));
}

TEST(TColorManager, LabConvertsInExtendedPrecisionRoundingHalvesToEven) {
    TColorManager cm;
    cm.SetSourceLayout(clCIELab);
    cm.SetSourceOptions(soLabPercent | soLabOffset);
    const uint8_t lab[] = {255, 128, 128, 0, 128, 128, 128, 128, 128};
    uint8_t out[9] = {};
    cm.ConvertLine({lab}, out, 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{255, 255, 255, 0, 0, 0}));
    // L = 128 / 2.55: 47.34, 47.39, 47.39 by the formula.
    EXPECT_EQ(std::vector<uint8_t>(out + 6, out + 9), (std::vector<uint8_t>{47, 47, 47}));
    // Signed a*/b* without the offset option: 0x80 is -128.
    cm.SetSourceOptions(0);
    const uint8_t signedLab[] = {50, 20, 0xEC}; // L 50, a +20, b -20
    uint8_t bgr[3] = {};
    cm.ConvertLine({signedLab}, bgr, 1);
    EXPECT_EQ(std::vector<uint8_t>(bgr, bgr + 3), (std::vector<uint8_t>{80, 39, 63}));
}

TEST(TColorManager, YCbCrAndPhotoYCCUseTheirChromaTables) {
    TColorManager cm;
    cm.SetSourceLayout(clYCbCr);
    const uint8_t ycc[] = {100, 128, 128, 76, 85, 255, 0, 255, 0};
    uint8_t out[9] = {};
    cm.ConvertLine({ycc}, out, 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{100, 100, 100}));
    // Y 76, Cb 85, Cr 255: close to pure red; golden bytes of the tables.
    EXPECT_EQ(std::vector<uint8_t>(out + 3, out + 6), (std::vector<uint8_t>{0, 0, 254}));
    // Y 0, Cb 255, Cr 0: red and negative green clamp to 0.
    EXPECT_EQ(std::vector<uint8_t>(out + 6, out + 9), (std::vector<uint8_t>{225, 47, 0}));
    cm.SetSourceLayout(clPhotoYCC); // neutral chroma sits at 156 and 137
    const uint8_t photo[] = {90, 156, 137};
    cm.ConvertLine({photo}, out, 1);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3), (std::vector<uint8_t>{90, 90, 90}));
}

TEST(TColorManager, GreyCopyReducesSixteenBitsAndSkipsAlpha) {
    TColorManager cm;
    cm.SetSourceLayout(clGrayAlpha);
    cm.SetTargetLayout(clGray);
    cm.SetSourceSamples(2);
    cm.SetTargetSamples(1);
    cm.SetSourceBits(16);
    cm.SetSourceOptions(soSwapBytes);
    const uint8_t px[] = {0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
    uint8_t out[2] = {};
    cm.ConvertLine({px}, out, 2);
    EXPECT_EQ(out[0], 0x1234 * 255 / 65535);
    EXPECT_EQ(out[1], 255);
}

TEST(TColorManager, IndexedAndNonIndexedDoNotMix) {
    TColorManager cm;
    cm.SetSourceLayout(clGray);
    cm.SetTargetLayout(clRGB);
    ExpectConversionError(
        cm, "Conversion between indexed and non-indexed pixel formats is not supported.");
    ExpectConversionError(
        cm, "Conversion between indexed and non-indexed pixel formats is not supported.");
    cm.SetSourceLayout(clGrayAlpha);
    cm.SetTargetLayout(clGrayAlpha);
    ExpectConversionError(
        cm, "Conversion between indexed and non-indexed pixel formats is not supported.");
    cm.SetTargetLayout(clGray);
    cm.SetSourceSamples(2);
    cm.SetTargetSamples(1);
    const uint8_t ga[] = {7, 99};
    uint8_t out[1] = {};
    cm.ConvertLine({ga}, out, 1);
    EXPECT_EQ(out[0], 7);
    // A layout without a routine keeps failing until a setting changes.
    cm.SetSourceLayout(clLogLuv);
    cm.SetTargetLayout(clRGB);
    ExpectConversionError(cm, "Color conversion failed. Could not find a proper method.");
    ExpectConversionError(cm, "Color conversion failed. Could not find a proper method.");
}

TEST(TColorManager, PalettesSpreadAndGreyRampsReverse) {
    TColorManager cm;
    cm.SetSourceBits(2);
    cm.SetTargetBits(4);
    const uint8_t map[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    TPalette p = cm.MakeColorPalette({map}, pdInterleaved8, 4, false);
    ASSERT_EQ(p.Count(), 16);
    EXPECT_EQ(p[0], (TPaletteEntry{1, 2, 3, 0}));
    EXPECT_EQ(p[5], (TPaletteEntry{4, 5, 6, 0}));
    EXPECT_EQ(p[10], (TPaletteEntry{7, 8, 9, 0}));
    EXPECT_EQ(p[15], (TPaletteEntry{10, 11, 12, 0}));
    EXPECT_EQ(p[4], p[0]);

    cm.SetSourceBits(8);
    cm.SetTargetBits(8);
    p = cm.MakeColorPalette({map}, pdInterleaved8, 2, true);
    EXPECT_EQ(p.Count(), 2);
    EXPECT_EQ(p[1], (TPaletteEntry{6, 5, 4, 0}));
    const uint16_t red[] = {0xFFFF, 0x8080}, green[] = {0, 0x0101}, blue[] = {0x7FFF, 0};
    cm.SetSourceBits(16);
    cm.SetTargetBits(16);
    p = cm.MakeColorPalette({red, green, blue}, pdPlanar16, 2, false);
    EXPECT_EQ(p[0], (TPaletteEntry{255, 0, 127, 0}));
    EXPECT_EQ(p[1], (TPaletteEntry{128, 1, 0, 0}));

    cm.SetTargetBits(1);
    cm.SetTargetSamples(1);
    TPalette mono = cm.MakeGrayPalette(false);
    ASSERT_EQ(mono.Count(), 2);
    EXPECT_EQ(mono[0], (TPaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(mono[1], (TPaletteEntry{255, 255, 255, 0}));
    TPalette white = cm.MakeGrayPalette(true);
    EXPECT_EQ(white[0], (TPaletteEntry{255, 255, 255, 0}));
    cm.SetTargetBits(4);
    EXPECT_EQ(cm.MakeGrayPalette(false)[3], (TPaletteEntry{51, 51, 51, 0}));
}

TEST(TColorManager, GammaTableFollowsTheGammaPair) {
    TColorManager cm;
    EXPECT_EQ(cm.GammaTable()[0], 0);
    EXPECT_EQ(cm.GammaTable()[255], 255);
    EXPECT_EQ(cm.GammaTable()[64], 136); // (64/255)^(1/2.2) x 255
    cm.SetGammaPair(-1, 0);              // not above 0: 1.0 and 2.2 again
    EXPECT_EQ(cm.GammaTable()[64], 136);
    cm.SetGammaPair(1, 1);
    EXPECT_EQ(cm.GammaTable()[64], 64);
}
