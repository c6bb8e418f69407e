// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Watermark.h"
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"
#include "metafile/Metafile.h"
#include "png/PNGImage.h"
#include "toolkit/Picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

TWatermark Mark(const std::string& text, int points = 12, int alignment = 0, int position = 0,
                int angle = 0) {
    TWatermark w;
    w.Enabled = true;
    w.Text = text;
    w.Font.Name = "DejaVu Sans";
    w.Font.Size = points;
    w.Font.Color = static_cast<int32_t>(RGBColor(200, 0, 0));
    w.Alignment = alignment;
    w.Position = position;
    w.Rotate = angle != 0;
    w.Angle = angle;
    return w;
}

TBitmap Filled(int width, int height, TPixelFormat format, TColor color) {
    TBitmap b;
    b.SetPixelFormat(format);
    b.SetSize(width, height);
    b.Canvas().BrushColor = color;
    b.Canvas().FillRect(Rect(0, 0, width, height));
    return b;
}

// The box around every pixel whose bytes differ (empty when none does).
TRect ChangedBox(const TBitmap& a, const TBitmap& b) {
    EXPECT_EQ(a.Width(), b.Width());
    EXPECT_EQ(a.Height(), b.Height());
    EXPECT_EQ(a.BitsPerPixel(), b.BitsPerPixel());
    const int step = std::max(1, a.BitsPerPixel() / 8);
    TRect box{};
    bool any = false;
    for (int y = 0; y < a.Height(); ++y) {
        const uint8_t* p = a.ScanLine(y);
        const uint8_t* q = b.ScanLine(y);
        for (int x = 0; x < a.Width(); ++x)
            if (std::memcmp(p + step * x, q + step * x, step) != 0) {
                if (!any) box = Rect(x, y, x + 1, y + 1);
                box = Rect(std::min(box.Left, x), std::min(box.Top, y), std::max(box.Right, x + 1),
                           std::max(box.Bottom, y + 1));
                any = true;
            }
    }
    return box;
}

bool Inside(const TRect& inner, const TRect& outer) {
    return inner.Left >= outer.Left && inner.Top >= outer.Top && inner.Right <= outer.Right &&
           inner.Bottom <= outer.Bottom;
}

std::string Describe(const TRect& r) {
    return "(" + std::to_string(r.Left) + "," + std::to_string(r.Top) + ")-(" +
           std::to_string(r.Right) + "," + std::to_string(r.Bottom) + ")";
}

class WatermarkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
};

} // namespace

// ---- Drawing on the working raster

TEST_F(WatermarkTest, ChangesOnlyTheTextsPlaceWithAntialiasedEdges) {
    const TBitmap before = MakeTestPicture(400, 300);
    TBitmap after = before;
    const TWatermark w = Mark("Sample text", 14, 1, 1);
    DrawWatermark(after, false, w);
    const TWatermarkLayout l = LayOutWatermark(w, 400, 300);
    const TRect changed = ChangedBox(before, after);
    ASSERT_FALSE(changed.IsEmpty()) << "nothing drawn";
    EXPECT_TRUE(Inside(changed, l.Reach)) << Describe(changed) << " outside " << Describe(l.Reach);
    // The ink fills most of its cell: the text is there at its full size.
    EXPECT_GT(changed.Width(), l.Box.Width() * 3 / 4);
    EXPECT_GT(changed.Height(), l.Box.Height() / 2);

    // On white, red text leaves levels between the two colours at its edges.
    TBitmap white = Filled(400, 300, pf24bit, clWhite);
    DrawWatermark(white, false, w);
    int full = 0, partial = 0;
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) {
            const uint8_t g = white.ScanLine(y)[3 * x + 1];
            full += g == 0;
            partial += g > 0 && g < 255;
        }
    EXPECT_GT(full, 0);
    EXPECT_GT(partial, 0) << "no antialiasing";
}

TEST_F(WatermarkTest, EachOfTheNinePlacesLandsInItsNinth) {
    const TBitmap before = Filled(600, 450, pf24bit, clWhite);
    for (int place = 0; place < 9; ++place) {
        SCOPED_TRACE("place " + std::to_string(place + 1));
        TBitmap after = before;
        DrawWatermark(after, false, Mark("Mark", 12, place % 3, place / 3));
        const TRect changed = ChangedBox(before, after);
        ASSERT_FALSE(changed.IsEmpty());
        EXPECT_TRUE(Inside(changed, Rect((place % 3) * 200, (place / 3) * 150,
                                         (place % 3 + 1) * 200, (place / 3 + 1) * 150)))
            << Describe(changed);
        // The margin keeps the text off the edges.
        EXPECT_TRUE(Inside(changed, Rect(4, 4, 596, 446))) << Describe(changed);
    }
}

TEST_F(WatermarkTest, RotationTurnsTheBoxAndKeepsItInsideThePicture) {
    const TBitmap before = Filled(500, 500, pf24bit, clWhite);
    auto drawn = [&](int angle, int alignment, int position) {
        TBitmap after = before;
        DrawWatermark(after, false, Mark("Rotated line", 16, alignment, position, angle));
        return ChangedBox(before, after);
    };
    const TRect flat = drawn(0, 1, 1), up = drawn(90, 1, 1), slant = drawn(30, 1, 1);
    EXPECT_GT(flat.Width(), 3 * flat.Height());
    EXPECT_GT(up.Height(), 3 * up.Width());
    EXPECT_NEAR(up.Height(), flat.Width(), 4);
    EXPECT_GT(slant.Height(), 2 * flat.Height());
    // Counter-clockwise: the line rises to the right, so its top right is inked
    // and its bottom right is not.
    TBitmap after = before;
    DrawWatermark(after, false, Mark("Rotated line", 16, 1, 1, 30));
    auto inked = [&](const TRect& r) {
        for (int y = r.Top; y < r.Bottom; ++y)
            for (int x = r.Left; x < r.Right; ++x)
                if (after.ScanLine(y)[3 * x + 1] != 255) return true;
        return false;
    };
    const int w4 = slant.Width() / 4, h4 = slant.Height() / 4;
    EXPECT_TRUE(inked(Rect(slant.Right - w4, slant.Top, slant.Right, slant.Top + h4)));
    EXPECT_FALSE(inked(Rect(slant.Right - w4, slant.Bottom - h4, slant.Right, slant.Bottom)));
    // Turned text at a corner keeps its margin: nothing is cut off.
    for (int angle : {45, 90, 180, 270, 315}) {
        const TRect corner = drawn(angle, 2, 2);
        EXPECT_TRUE(Inside(corner, Rect(250, 250, 496, 496)))
            << angle << " degrees: " << Describe(corner);
    }
}

TEST_F(WatermarkTest, TextOverAlphaKeepsTheAlphaAroundItAndItsOwnColour) {
    // Colour magenta under alpha 0 on the left half, opaque grey on the right.
    TBitmap before;
    before.SetPixelFormat(pf32bit);
    before.SetSize(300, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 300; ++x) {
            uint8_t* p = before.ScanLine(y) + 4 * x;
            const bool clear = x < 150;
            p[0] = clear ? 255 : 128, p[1] = clear ? 0 : 128, p[2] = clear ? 255 : 128;
            p[3] = clear ? 0 : 255;
        }
    TBitmap after = before;
    const TWatermark w = Mark("Over alpha", 20, 1, 1);
    DrawWatermark(after, true, w);
    // Over opaque pixels, compositing gives what drawing without alpha gives.
    TBitmap opaque = before;
    DrawWatermark(opaque, false, w);
    const TRect changed = ChangedBox(before, after);
    ASSERT_FALSE(changed.IsEmpty());
    EXPECT_TRUE(Inside(changed, LayOutWatermark(w, 300, 100).Reach));
    bool partialAlpha = false, opaqueText = false;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 300; ++x) {
            const uint8_t* p = before.ScanLine(y) + 4 * x;
            const uint8_t* q = after.ScanLine(y) + 4 * x;
            if (std::memcmp(p, q, 4) == 0) continue;
            if (x < 150) {
                // Nothing of the hidden magenta mixes in: the colour is the text's.
                ASSERT_EQ(q[2], 200) << x << "," << y;
                ASSERT_EQ(q[1], 0);
                ASSERT_EQ(q[0], 0);
                ASSERT_GT(q[3], 0);
                partialAlpha |= q[3] < 255;
                opaqueText |= q[3] == 255;
            } else {
                ASSERT_EQ(q[3], 255) << "an opaque pixel stays opaque";
                for (int k = 0; k < 3; ++k)
                    ASSERT_NEAR(q[k], opaque.ScanLine(y)[4 * x + k], 1) << x << "," << y;
            }
        }
    EXPECT_TRUE(partialAlpha);
    EXPECT_TRUE(opaqueText);

    // Without alpha the fourth byte of a 32-bit picture is left alone.
    TBitmap device = Filled(300, 100, pf32bit, clWhite);
    DrawWatermark(device, false, w);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 300; ++x)
            ASSERT_EQ(device.ScanLine(y)[4 * x + 3], 0);
}

TEST_F(WatermarkTest, NothingIsDrawnWhenOffOrEmptyAndTooSmallPicturesClip) {
    const TBitmap before = MakeTestPicture(200, 100);
    TWatermark off = Mark("Hidden");
    off.Enabled = false;
    TWatermark empty = Mark("");
    for (const TWatermark& w : {off, empty}) {
        TBitmap after = before;
        DrawWatermark(after, false, w);
        EXPECT_TRUE(ChangedBox(before, after).IsEmpty());
    }
    // Text larger than the picture is cut at its edges, never written past them.
    for (int place = 0; place < 9; ++place) {
        TBitmap tiny = MakeTestPicture(7, 5);
        EXPECT_NO_THROW(
            DrawWatermark(tiny, false, Mark("Much too long", 40, place % 3, place / 3)));
        EXPECT_NO_THROW(
            DrawWatermark(tiny, false, Mark("Much too long", 40, place % 3, place / 3, 45)));
    }
    // Indexes from a damaged settings file and absurd sizes draw at top left.
    TWatermark odd = Mark("Odd", 12, -1, 7);
    odd.Font.Size = -5;
    TBitmap after = before;
    DrawWatermark(after, false, odd);
    const TRect changed = ChangedBox(before, after);
    EXPECT_FALSE(changed.IsEmpty());
    EXPECT_TRUE(Inside(changed, Rect(0, 0, 67, 34))) << Describe(changed);
}

// ---- Through the conversion

namespace {

TBitmap LoadBitmap(const std::string& path) {
    TPicture picture;
    picture.LoadFromFile(path);
    TBitmap b;
    b.SetPixelFormat(pf32bit);
    b.SetSize(picture.Width(), picture.Height());
    b.Canvas().StretchDraw(Rect(0, 0, picture.Width(), picture.Height()), *picture.Graphic());
    return b;
}

void Convert(const std::string& source, const std::string& dest, const TConvertOptions& o) {
    TImageConverter converter;
    converter.BeforeRun();
    converter.ConvertFile(source, dest, o);
    converter.AfterRun();
}

} // namespace

TEST_F(WatermarkTest, RasterDestinationsDifferOnlyAtTheTextsPlace) {
    TTempFolder folder;
    WriteBmp(folder.File("in.bmp"), 320, 240);
    struct TCase {
        const char* Name;
        int Destination, PixelFormat;
        bool Resize;
    };
    // Same size (the picture draws itself), halved (resampled), and an
    // 8-bit destination that takes the picture after the text.
    for (const TCase& c :
         {TCase{"bmp24", dfBitmap, pf24bit, false}, TCase{"half", dfPNG, 0, true},
          TCase{"device", dfBitmap, 0, false}, TCase{"bmp8", dfBitmap, pf8bit, false}}) {
        SCOPED_TRACE(c.Name);
        TConvertOptions o;
        o.Destination = DestinationFromIndex(c.Destination);
        o.PixelFormat = PixelFormatFromIndex(c.PixelFormat);
        o.Resize = c.Resize;
        o.StretchMode = smPercent;
        o.Width = o.Height = 50;
        const std::string ext = DestinationExtension(c.Destination);
        Convert(folder.File("in.bmp"), folder.File("plain" + ext), o);
        o.Watermark = Mark("Watermark", 10, 2, 2);
        Convert(folder.File("in.bmp"), folder.File("marked" + ext), o);
        const TBitmap plain = LoadBitmap(folder.File("plain" + ext));
        const TBitmap marked = LoadBitmap(folder.File("marked" + ext));
        const TRect changed = ChangedBox(plain, marked);
        ASSERT_FALSE(changed.IsEmpty());
        const TWatermarkLayout l = LayOutWatermark(o.Watermark, plain.Width(), plain.Height());
        EXPECT_TRUE(Inside(changed, l.Reach)) << Describe(changed) << " " << Describe(l.Reach);
    }
}

TEST_F(WatermarkTest, TextTooLongForAMetafileFailsTheFileInEveryFormat) {
    TTempFolder folder;
    WriteBmp(folder.File("in.bmp"), 40, 30);
    TConvertOptions o;
    o.Watermark = Mark(std::string(0x8000, 'x'));
    for (int destination : {dfBitmap, dfPNG, dfEMF, dfWMF}) {
        o.Destination = DestinationFromIndex(destination);
        const std::string out = folder.File("out" + DestinationExtension(destination));
        EXPECT_THROW(Convert(folder.File("in.bmp"), out, o), EInvalidGraphicOperation)
            << destination;
        EXPECT_FALSE(std::filesystem::exists(out)) << destination;
    }
    o.Watermark.Text.pop_back(); // 32767 fit
    o.Destination = DestinationFromIndex(dfEMF);
    EXPECT_NO_THROW(Convert(folder.File("in.bmp"), folder.File("fits.emf"), o));
}

TEST_F(WatermarkTest, PngWithAlphaKeepsItsAlphaOutsideTheText) {
    TTempFolder folder;
    TBitmap colours = MakeTestPicture(200, 80);
    std::vector<uint8_t> alpha(200 * 80);
    for (size_t i = 0; i < alpha.size(); ++i)
        alpha[i] = static_cast<uint8_t>((i % 200) * 255 / 199);
    {
        TPNGImage png;
        png.Assign(colours);
        png.SetAlphaChannel(alpha);
        png.SaveToFile(folder.File("in.png"));
    }
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfPNG);
    o.Watermark = Mark("Alpha", 16, 0, 1);
    Convert(folder.File("in.png"), folder.File("out.png"), o);
    TPNGImage out;
    out.LoadFromFile(folder.File("out.png"));
    ASSERT_EQ(out.AlphaChannel().size(), alpha.size());
    const TRect reach = LayOutWatermark(o.Watermark, 200, 80).Reach;
    int changed = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 200; ++x) {
            const size_t i = size_t(y) * 200 + x;
            const bool inReach =
                x >= reach.Left && x < reach.Right && y >= reach.Top && y < reach.Bottom;
            if (!inReach)
                ASSERT_EQ(out.AlphaChannel()[i], alpha[i]) << x << "," << y;
            else
                changed += out.AlphaChannel()[i] > alpha[i];
        }
    EXPECT_GT(changed, 0) << "the text gives its pixels opacity";
}

namespace {

// The EMF records of one type, in order.
std::vector<std::vector<uint8_t>> EmfRecords(const std::vector<uint8_t>& emf, uint32_t type) {
    std::vector<std::vector<uint8_t>> found;
    size_t at = 0;
    while (at + 8 <= emf.size()) {
        uint32_t t, size;
        std::memcpy(&t, emf.data() + at, 4);
        std::memcpy(&size, emf.data() + at + 4, 4);
        if (size < 8 || at + size > emf.size()) break;
        if (t == type) found.emplace_back(emf.begin() + at, emf.begin() + at + size);
        at += size;
    }
    return found;
}

int32_t I32(const std::vector<uint8_t>& r, size_t at) {
    int32_t v;
    std::memcpy(&v, r.data() + at, 4);
    return v;
}

// The WMF records of one function, after the placeable and standard headers.
std::vector<std::vector<uint8_t>> WmfRecords(const std::vector<uint8_t>& wmf, uint16_t function) {
    std::vector<std::vector<uint8_t>> found;
    size_t at = 22 + 18;
    while (at + 6 <= wmf.size()) {
        uint32_t words;
        uint16_t f;
        std::memcpy(&words, wmf.data() + at, 4);
        std::memcpy(&f, wmf.data() + at + 4, 2);
        if (words < 3 || at + size_t(words) * 2 > wmf.size()) break;
        if (f == function) found.emplace_back(wmf.begin() + at, wmf.begin() + at + words * 2);
        at += size_t(words) * 2;
    }
    return found;
}

} // namespace

TEST_F(WatermarkTest, MetafilesCarryTheTextAsATextRecordOnTop) {
    TTempFolder folder;
    WriteBmp(folder.File("in.bmp"), 160, 120);
    TConvertOptions o;
    o.Destination = DestinationFromIndex(dfEMF);
    o.Watermark = Mark("Über €", 10, 1, 2, 30);
    o.Watermark.Font.Style = fsBold | fsItalic;
    Convert(folder.File("in.bmp"), folder.File("out.emf"), o);
    const std::vector<uint8_t> emf = ReadFileBytes(folder.File("out.emf"));

    const auto texts = EmfRecords(emf, 84); // EMR_EXTTEXTOUTW
    ASSERT_EQ(texts.size(), 1u);
    const std::vector<uint8_t>& t = texts[0];
    ASSERT_EQ(I32(t, 44), 6); // characters
    const std::u16string expected = u"Über €";
    EXPECT_EQ(std::memcmp(t.data() + I32(t, 48), expected.data(), 12), 0);
    const auto fonts = EmfRecords(emf, 82); // EMR_EXTCREATEFONTINDIRECTW
    ASSERT_EQ(fonts.size(), 1u);
    EXPECT_EQ(I32(fonts[0], 12), -13);      // 10 points at 96 dpi, as the em
    EXPECT_EQ(I32(fonts[0], 20), 300);      // escapement: 30 degrees
    EXPECT_EQ(I32(fonts[0], 28), 700);      // bold
    EXPECT_EQ(fonts[0][32], 1);             // italic
    const auto modes = EmfRecords(emf, 18); // EMR_SETBKMODE
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(I32(modes.back(), 8), 1);       // transparent
    const auto colours = EmfRecords(emf, 24); // EMR_SETTEXTCOLOR
    ASSERT_FALSE(colours.empty());
    EXPECT_EQ(static_cast<uint32_t>(I32(colours.back(), 8)), RGBColor(200, 0, 0));
    // On top: after the picture's bitmap record.
    auto offsetOf = [&emf](uint32_t type) {
        for (size_t at = 0; at + 8 <= emf.size();) {
            uint32_t ty, size;
            std::memcpy(&ty, emf.data() + at, 4);
            std::memcpy(&size, emf.data() + at + 4, 4);
            if (ty == type) return at;
            at += size;
        }
        return emf.size();
    };
    EXPECT_LT(offsetOf(81), offsetOf(84)); // EMR_STRETCHDIBITS before the text

    // Played back, the EMF shows the text where a raster destination has it.
    o.Watermark.Enabled = false;
    Convert(folder.File("in.bmp"), folder.File("plain.emf"), o);
    const TRect changed =
        ChangedBox(LoadBitmap(folder.File("plain.emf")), LoadBitmap(folder.File("out.emf")));
    o.Watermark.Enabled = true;
    ASSERT_FALSE(changed.IsEmpty());
    EXPECT_TRUE(Inside(changed, LayOutWatermark(o.Watermark, 160, 120).Reach)) << Describe(changed);

    // The WMF form: a font with the escapement and an 8-bit text record.
    o.Destination = DestinationFromIndex(dfWMF);
    Convert(folder.File("in.bmp"), folder.File("out.wmf"), o);
    const std::vector<uint8_t> wmf = ReadFileBytes(folder.File("out.wmf"));
    const auto wmfText = WmfRecords(wmf, 0x0A32); // META_EXTTEXTOUT
    ASSERT_EQ(wmfText.size(), 1u);
    const std::vector<uint8_t>& w = wmfText[0];
    ASSERT_GE(w.size(), 14u + 6);
    EXPECT_EQ(w[10] | w[11] << 8, 6); // characters
    // The euro sign as the default character set's 8-bit text has it.
    EXPECT_EQ(std::string(w.begin() + 14, w.begin() + 20), "\xDC"
                                                           "ber \x80");
    const auto wmfFonts = WmfRecords(wmf, 0x02FB); // META_CREATEFONTINDIRECT
    ASSERT_FALSE(wmfFonts.empty());
    EXPECT_EQ(static_cast<int16_t>(wmfFonts.back()[10] | wmfFonts.back()[11] << 8), 300);

    // Text beyond windows-1252 takes a character set that holds it, and the
    // WMF's 8-bit text is in that set's code page.
    o.Watermark.Text = "Иван €";
    Convert(folder.File("in.bmp"), folder.File("cyrillic.wmf"), o);
    const std::vector<uint8_t> cyrillic = ReadFileBytes(folder.File("cyrillic.wmf"));
    const auto cyrillicFonts = WmfRecords(cyrillic, 0x02FB);
    ASSERT_FALSE(cyrillicFonts.empty());
    EXPECT_EQ(cyrillicFonts.back()[19], 204); // RUSSIAN_CHARSET
    const auto cyrillicText = WmfRecords(cyrillic, 0x0A32);
    ASSERT_EQ(cyrillicText.size(), 1u);
    ASSERT_GE(cyrillicText[0].size(), 20u);
    EXPECT_EQ(std::string(cyrillicText[0].begin() + 14, cyrillicText[0].begin() + 20),
              "\xC8\xE2\xE0\xED \x88");
    // Read back, the text is what was written.
    TMetafile readBack;
    readBack.LoadFromFile(folder.File("cyrillic.wmf"));
    const std::vector<uint8_t>& emfBack = readBack.EmfData();
    bool found = false;
    for (const auto& r : EmfRecords(emfBack, 84))
        for (size_t at = 76; at + 12 <= r.size() && !found; at += 2)
            found = std::memcmp(r.data() + at, u"Иван €", 12) == 0;
    for (const auto& r : EmfRecords(emfBack, 83)) // EMR_EXTTEXTOUTA
        for (size_t at = 76; at + 6 <= r.size() && !found; ++at)
            found = std::memcmp(r.data() + at, "\xC8\xE2\xE0\xED \x88", 6) == 0;
    EXPECT_TRUE(found) << "the WMF's text record was not read back";
}

// ---- The switches' values

TEST(WatermarkSwitchValuesTest, FontPlaceAndAngleReadBackWhatIsWritten) {
    TFontDescription font;
    font.Color = 255;
    ASSERT_TRUE(ParseWatermarkFont("DejaVu Serif, 24 ,Bold+italic", font));
    EXPECT_EQ(font.Name, "DejaVu Serif");
    EXPECT_EQ(font.Size, 24);
    EXPECT_EQ(font.Style, fsBold | fsItalic);
    EXPECT_EQ(font.Color, 255) << "the colour is not the switch's";
    TFontDescription again;
    ASSERT_TRUE(ParseWatermarkFont(WatermarkFontText(font), again));
    EXPECT_EQ(again.Name, font.Name);
    EXPECT_EQ(again.Size, font.Size);
    EXPECT_EQ(again.Style, font.Style);
    ASSERT_TRUE(ParseWatermarkFont("Liberation Sans,8", font));
    EXPECT_EQ(font.Style, 0);
    for (const char* bad : {"", "Arial", ",12", "Arial,0", "Arial,big", "Arial,12,heavy",
                            "Arial,12,bold,red", "Arial,3001"}) {
        TFontDescription kept = font;
        EXPECT_FALSE(ParseWatermarkFont(bad, kept)) << bad;
        EXPECT_EQ(kept, font) << bad;
    }

    for (int place = 0; place < 9; ++place) {
        int a = -1, p = -1;
        const std::string name = WatermarkPlaceName(place % 3, place / 3);
        ASSERT_TRUE(ParseWatermarkPlace(name, a, p)) << name;
        EXPECT_EQ(a * 10 + p, (place % 3) * 10 + place / 3) << name;
        ASSERT_TRUE(ParseWatermarkPlace(std::to_string(place + 1), a, p));
        EXPECT_EQ(a * 10 + p, (place % 3) * 10 + place / 3);
    }
    int a = -1, p = -1;
    EXPECT_TRUE(ParseWatermarkPlace("BottomRight", a, p));
    EXPECT_EQ(a * 10 + p, 22);
    EXPECT_TRUE(ParseWatermarkPlace("centre", a, p));
    EXPECT_EQ(a * 10 + p, 11);
    for (const char* bad : {"", "0", "10", "middle", "top-top"})
        EXPECT_FALSE(ParseWatermarkPlace(bad, a, p)) << bad;

    int degrees = 7;
    EXPECT_TRUE(ParseWatermarkAngle("45", degrees));
    EXPECT_EQ(degrees, 45);
    EXPECT_TRUE(ParseWatermarkAngle("-90", degrees));
    EXPECT_EQ(degrees, 270);
    for (const char* bad : {"", "360", "-360", "45.5", "ninety"})
        EXPECT_FALSE(ParseWatermarkAngle(bad, degrees)) << bad;
}
