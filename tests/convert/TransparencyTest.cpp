// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "gif/GIFImage.h"
#include "png/PNGImage.h"
#include "toolkit/Icon.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// 40 x 30: colours from MakeTestPicture, alpha running through every kind of
// value (0, 1, half, 254, 255) in bands, and a hidden magenta under alpha 0.
struct TRgba {
    TBitmap Colours;
    std::vector<uint8_t> Alpha;
};
TRgba MakeRgba() {
    TRgba r{MakeTestPicture(40, 30), std::vector<uint8_t>(40 * 30)};
    const uint8_t levels[] = {0, 1, 64, 128, 200, 254, 255, 255};
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const uint8_t a = levels[(x / 5) % 8];
            r.Alpha[size_t(y) * 40 + x] = a;
            if (a == 0) {
                uint8_t* p = r.Colours.ScanLine(y) + 3 * x;
                p[0] = 255, p[1] = 0, p[2] = 255;
            }
        }
    return r;
}

void WriteRgbaPng(const std::string& path, const TRgba& r) {
    TPNGImage png;
    png.Assign(r.Colours);
    png.SetAlphaChannel(r.Alpha);
    png.SaveToFile(path);
}

uint8_t PngColourType(const std::string& path) {
    return ReadFileBytes(path).at(25);
}

void Put16(std::vector<uint8_t>& v, int x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, static_cast<int>(x & 0xFFFF));
    Put16(v, static_cast<int>(x >> 16));
}

// A 16 x 16 icon of one 32-bit entry: alpha rises left to right, colour by row.
std::vector<uint8_t> MakeAlphaIcon() {
    const int n = 16;
    std::vector<uint8_t> e;
    Put32(e, 40);
    Put32(e, n);
    Put32(e, n * 2);
    Put16(e, 1);
    Put16(e, 32);
    for (int i = 0; i < 6; ++i)
        Put32(e, 0);
    for (int y = n - 1; y >= 0; --y)
        for (int x = 0; x < n; ++x) {
            e.push_back(static_cast<uint8_t>(y * 16)); // blue
            e.push_back(100);
            e.push_back(static_cast<uint8_t>(255 - y * 16));
            e.push_back(static_cast<uint8_t>(x * 17)); // 0 .. 255
        }
    for (int y = 0; y < n; ++y)
        Put32(e, 0); // AND mask, unused with alpha
    return IconFileOfOneEntry(n, 32, e);
}

class Transparency : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterImageFormats();
        FConverter.BeforeRun();
    }
    void TearDown() override {
        FConverter.AfterRun();
        UnregisterImageFormats();
    }
    std::string Convert(const std::string& src, int destination, TConvertOptions o = {}) {
        static const char* ext[] = {"bmp", "jpg", "gif", "wmf", "emf", "png"};
        const std::string dst = FFolder.File(std::string("out.") + ext[destination]);
        o.Destination = DestinationFromIndex(destination);
        FConverter.ConvertFile(src, dst, o);
        return dst;
    }
    TTempFolder FFolder;
    TImageConverter FConverter;
};

TEST_F(Transparency, RgbaPngToPngKeepsEveryAlphaAndVisibleColour) {
    const TRgba r = MakeRgba();
    const std::string src = FFolder.File("a.png");
    WriteRgbaPng(src, r);
    const std::string dst = Convert(src, dfPNG);
    EXPECT_EQ(PngColourType(dst), 6);
    TPNGImage out;
    out.LoadFromFile(dst);
    ASSERT_EQ(out.AlphaChannel().size(), r.Alpha.size());
    EXPECT_EQ(out.AlphaChannel(), r.Alpha);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            const uint8_t a = r.Alpha[size_t(y) * 40 + x];
            const TColor want = a ? r.Colours.Pixel(x, y) : clBlack; // nothing hidden written
            ASSERT_EQ(out.Pixel(x, y), want) << x << "," << y;
        }
}

TEST_F(Transparency, OpaquePictureWritesNoAlphaAndGreyWritesGreyWithAlpha) {
    TRgba r = MakeRgba();
    std::fill(r.Alpha.begin(), r.Alpha.end(), 255);
    const std::string src = FFolder.File("o.png");
    WriteRgbaPng(src, r);
    EXPECT_EQ(PngColourType(src), 2);
    // Grey colours with some transparency: grey with alpha, half the bytes.
    TRgba g = MakeRgba();
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            std::fill_n(g.Colours.ScanLine(y) + 3 * x, 3, static_cast<uint8_t>(x * 6));
    const std::string grey = FFolder.File("g.png");
    WriteRgbaPng(grey, g);
    EXPECT_EQ(PngColourType(grey), 4);
    TPNGImage back;
    back.LoadFromFile(grey);
    EXPECT_EQ(back.AlphaChannel(), g.Alpha);
    EXPECT_EQ(back.Pixel(7, 3), g.Colours.Pixel(7, 3));
}

TEST_F(Transparency, RgbaToJpegAndBmpIsCompositedOverTheBackground) {
    const TRgba r = MakeRgba();
    const std::string src = FFolder.File("a.png");
    WriteRgbaPng(src, r);
    for (uint32_t bg : {0xFFFFFFu, 0x204080u}) {
        SCOPED_TRACE(bg);
        TConvertOptions o;
        o.PixelFormat = PixelFormatFromIndex(pf24bit);
        o.Background = bg;
        // The picture composited by the formula, independently of the converter.
        TBitmap want(40, 30, pf24bit);
        const int back[3] = {int(bg & 0xFF), int(bg >> 8 & 0xFF), int(bg >> 16)};
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 40; ++x) {
                const int a = r.Alpha[size_t(y) * 40 + x];
                const uint8_t* s = r.Colours.ScanLine(y) + 3 * x;
                uint8_t* d = want.ScanLine(y) + 3 * x;
                for (int c = 0; c < 3; ++c)
                    d[c] = static_cast<uint8_t>((s[c] * a + back[c] * (255 - a) + 127) / 255);
            }
        TBitmap bmp;
        bmp.LoadFromFile(Convert(src, dfBitmap, o));
        for (int y = 0; y < 30; ++y)
            ASSERT_EQ(0, std::memcmp(bmp.ScanLine(y), want.ScanLine(y), 120)) << y;
        // JPEG: the same bytes as the composited picture encoded directly.
        const std::vector<uint8_t> jpeg = ReadFileBytes(Convert(src, dfJPEG, o));
        const std::string flat = FFolder.File("flat.bmp");
        want.SaveToFile(flat);
        EXPECT_EQ(jpeg, ReadFileBytes(Convert(flat, dfJPEG, o)));
    }
}

TEST_F(Transparency, TransparentGifStaysTransparentInPngAndGif) {
    // A GIF written from a picture whose middle square is transparent.
    TBitmap pic = MakeTestPicture(32, 24);
    std::vector<uint8_t> plane(32 * 24, 255);
    for (int y = 8; y < 16; ++y)
        for (int x = 10; x < 20; ++x)
            plane[size_t(y) * 32 + x] = 0;
    pic.SetAlphaChannel(plane);
    const std::string src = FFolder.File("t.gif");
    {
        TGIFImage gif;
        gif.SetColorReduction(ReduceOptimal);
        gif.Assign(pic);
        ASSERT_TRUE(gif.Frame(0).Transparent());
        gif.SaveToFile(src);
    }
    TPNGImage png;
    const std::string pngPath = Convert(src, dfPNG);
    EXPECT_EQ(PngColourType(pngPath), 2); // every pixel opaque or clear: a colour key
    png.LoadFromFile(pngPath);
    ASSERT_EQ(png.AlphaChannel().size(), plane.size());
    EXPECT_EQ(png.AlphaChannel(), plane);

    TGIFImage gif;
    gif.LoadFromFile(Convert(src, dfGIF));
    TGIFFrame& f = gif.Frame(0);
    ASSERT_TRUE(f.Transparent());
    const TBitmap* mask = f.Mask();
    ASSERT_NE(mask, nullptr);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 32; ++x)
            EXPECT_EQ(mask->Pixel(x, y) == clWhite, plane[size_t(y) * 32 + x] == 0)
                << x << "," << y;
}

TEST_F(Transparency, FullPaletteStillGetsItsTransparentEntry) {
    // More colours than a GIF holds, so the reduction fills all 256 entries.
    TRgba r = MakeRgba();
    TBitmap many(64, 64, pf24bit);
    std::vector<uint8_t> alpha(64 * 64, 255);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            uint8_t* p = many.ScanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(x * 4), p[1] = static_cast<uint8_t>(y * 4);
            p[2] = static_cast<uint8_t>((x * y) & 0xFF);
            if (x < 6 && y < 6) alpha[size_t(y) * 64 + x] = x < 3 ? 0 : 100; // under half
        }
    const std::string src = FFolder.File("many.png");
    WriteRgbaPng(src, TRgba{many, alpha});
    TGIFImage gif;
    gif.LoadFromFile(Convert(src, dfGIF));
    TGIFFrame& f = gif.Frame(0);
    ASSERT_TRUE(f.Transparent());
    const TBitmap* mask = f.Mask();
    ASSERT_NE(mask, nullptr);
    int masked = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            masked += mask->Pixel(x, y) == clWhite;
    EXPECT_EQ(masked, 36);
    EXPECT_EQ(mask->Pixel(5, 5), clWhite);
    EXPECT_NE(mask->Pixel(6, 5), clWhite);
    (void)r;
}

TEST_F(Transparency, IconsKeepAlphaAndMaskInPng) {
    const std::string src = FFolder.File("a.ico");
    WriteFileBytes(src, MakeAlphaIcon());
    TPNGImage png;
    png.LoadFromFile(Convert(src, dfPNG));
    ASSERT_EQ(png.AlphaChannel().size(), 256u);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            ASSERT_EQ(png.AlphaChannel()[size_t(y) * 16 + x], x * 17);
            if (x > 0) {
                ASSERT_EQ(png.Pixel(x, y), RGBColor(255 - y * 16, 100, y * 16));
            }
        }
    // An AND-mask icon: the corners outside its circle are transparent.
    const std::string masked = FFolder.File("m.ico");
    WriteFileBytes(masked, MakeIconFile());
    png.LoadFromFile(Convert(masked, dfPNG));
    ASSERT_EQ(png.AlphaChannel().size(), 32u * 32u);
    EXPECT_EQ(png.AlphaChannel()[0], 0);
    EXPECT_EQ(png.AlphaChannel()[16 * 32 + 16], 255);
    EXPECT_EQ(png.Pixel(16, 16), RGBColor(250, 200 - 16 * 4, 40 + 16 * 6));
}

TEST_F(Transparency, ShrinkingKeepsAlphaWithoutDarkFringes) {
    TRgba r = MakeRgba();
    const std::string src = FFolder.File("a.png");
    WriteRgbaPng(src, r);
    TConvertOptions o;
    o.Resize = true;
    o.Width = SideFromText("13");
    o.UseHeight = false;
    TPNGImage png;
    png.LoadFromFile(Convert(src, dfPNG, o));
    ASSERT_EQ(png.Width(), 13);
    ASSERT_EQ(png.AlphaChannel().size(), size_t(13 * png.Height()));
    // Over the first band (alpha 0, hidden magenta) nothing magenta appears
    // in the partly transparent pixels next to it.
    for (int y = 0; y < png.Height(); ++y) {
        const TColor c = png.Pixel(2, y);
        EXPECT_LT(GetRValue(c) + GetBValue(c) - 2 * GetGValue(c), 200) << y;
    }
}

} // namespace

// A Photoshop document with a transparent background: its composite is
// stored matted with white. PNG gets the alpha and the true colours; over
// white, a destination without alpha shows what Photoshop stored.
TEST_F(Transparency, PhotoshopTransparencyReachesPngAndItsWhiteMattingBmp) {
    const int w = 6, h = 2;
    const uint8_t alpha[w] = {255, 0, 51, 128, 204, 255};
    std::vector<uint8_t> f = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 4};
    for (uint32_t v : {uint32_t(h), uint32_t(w)})
        for (int i = 3; i >= 0; --i)
            f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    f.insert(f.end(), {0, 8, 0, 3});             // 8 bits, RGB
    f.insert(f.end(), {0, 0, 0, 0, 0, 0, 0, 0}); // no mode data, no resources
    // Layer section: no layers, no global mask, a merged-transparency block.
    f.insert(f.end(), {0,   0,   0,   20,  0,   0,   0,   0,   0, 0, 0, 0,
                       '8', 'B', 'I', 'M', 'M', 't', 'r', 'n', 0, 0, 0, 0});
    f.insert(f.end(), {0, 0}); // raw composite
    auto colour = [](int k, int x) { return (x * 40 + k * 90) % 256; };
    for (int k = 0; k < 4; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                f.push_back(
                    k == 3 ? alpha[x]
                           : static_cast<uint8_t>(
                                 (colour(k, x) * alpha[x] + (255 - alpha[x]) * 255 + 127) / 255));
    const std::string src = FFolder.File("t.psd");
    WriteFileBytes(src, f);

    TPNGImage png;
    png.LoadFromFile(Convert(src, dfPNG));
    ASSERT_EQ(png.AlphaChannel().size(), size_t(w) * h);
    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(png.AlphaChannel()[x], alpha[x]);
        if (alpha[x] < 128) continue; // few levels survive the matting at low cover
        const TColor c = png.Pixel(x, 1);
        EXPECT_NEAR(GetRValue(c), colour(0, x), 1) << x;
        EXPECT_NEAR(GetGValue(c), colour(1, x), 1) << x;
        EXPECT_NEAR(GetBValue(c), colour(2, x), 1) << x;
    }
    TConvertOptions o;
    o.PixelFormat = PixelFormatFromIndex(pf24bit);
    TBitmap bmp;
    bmp.LoadFromFile(Convert(src, dfBitmap, o));
    for (int x = 0; x < w; ++x)
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(bmp.ScanLine(1)[3 * x + 2 - k], f[f.size() - (4 - k) * w * h + w + x], 1)
                << x << " " << k;
}
