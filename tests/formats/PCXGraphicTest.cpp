// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/PCXGraphic.h"
#include "ReferenceImage.h"
#include "TestSupport.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {
struct TPCXSpec {
    int Width = 1, Height = 1, Bits = 8, Planes = 1, BytesPerLine = 1, Version = 5;
    int PaletteInfo = 1;
    uint8_t Manufacturer = 10;
    bool Rle = false;
};

// colorMap, when given, replaces the first bytes of the header's colour map.
std::vector<uint8_t> MakePCX(const TPCXSpec& s, const std::vector<uint8_t>& data,
                             const std::vector<uint8_t>& colorMap = {}) {
    std::vector<uint8_t> f(128, 0);
    f[0] = s.Manufacturer;
    f[1] = static_cast<uint8_t>(s.Version);
    f[2] = s.Rle ? 1 : 0;
    f[3] = static_cast<uint8_t>(s.Bits);
    f[8] = static_cast<uint8_t>((s.Width - 1) & 0xFF);
    f[9] = static_cast<uint8_t>((s.Width - 1) >> 8);
    f[10] = static_cast<uint8_t>((s.Height - 1) & 0xFF);
    f[11] = static_cast<uint8_t>((s.Height - 1) >> 8);
    for (int i = 0; i < 48; ++i)
        f[16 + i] = static_cast<uint8_t>(i * 5);
    std::copy(colorMap.begin(), colorMap.end(), f.begin() + 16);
    f[65] = static_cast<uint8_t>(s.Planes);
    f[66] = static_cast<uint8_t>(s.BytesPerLine & 0xFF);
    f[67] = static_cast<uint8_t>(s.BytesPerLine >> 8);
    f[68] = static_cast<uint8_t>(s.PaletteInfo);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

void Load(TPCXGraphic& g, const std::vector<uint8_t>& f) {
    g.ReadFromMemory(f.data(), 0, f.size());
}

std::string LoadError(const std::vector<uint8_t>& f) {
    TPCXGraphic g;
    try {
        Load(g, f);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}
} // namespace

TEST(TPCXGraphic, FourBitPlanesGiveFourBitPixelsWithTheHeaderColours) {
    // 9 pixels wide: plane k has bit k set for pixel k only; pixel 8 has all planes.
    TPCXSpec s{9, 1, 1, 4, 2};
    auto f = MakePCX(s, {0x80, 0x80, 0x40, 0x80, 0x20, 0x80, 0x10, 0x80});
    TPCXGraphic g;
    Load(g, f);
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    const uint8_t* row = g.ScanLine(0);
    EXPECT_EQ(row[0], 0x12);
    EXPECT_EQ(row[1], 0x48);
    EXPECT_EQ(row[2], 0x00);
    EXPECT_EQ(row[4], 0xF0);
    EXPECT_EQ(g.Palette().Count(), 16);
    EXPECT_EQ(g.Palette()[1], (TPaletteEntry{15, 20, 25, 0}));
}

TEST(TPCXGraphic, ThreeBitPlanesLeaveTheFourthBitZero) {
    TPCXSpec s{2, 1, 1, 3, 1};
    TPCXGraphic g;
    Load(g, MakePCX(s, {0xC0, 0x40, 0xC0}));
    EXPECT_EQ(g.PixelFormat(), pf4bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0x57);
}

TEST(TPCXGraphic, TwoBitPixelsSpreadOverTheFourBitPalette) {
    TPCXSpec s{4, 1, 2, 1, 2};
    TPCXGraphic g;
    Load(g, MakePCX(s, {0x1B, 0x00}));
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0x05);
    EXPECT_EQ(g.ScanLine(0)[1], 0xAF);
    EXPECT_EQ(g.Palette()[10], (TPaletteEntry{30, 35, 40, 0})); // header colour 2
    EXPECT_EQ(g.Palette()[15], (TPaletteEntry{45, 50, 55, 0}));
}

TEST(TPCXGraphic, EightBitUsesTheTrailerOrKeepsTheDefaultPalette) {
    TPCXSpec s{2, 1, 8, 1, 2};
    std::vector<uint8_t> data{0xC2, 0x05};
    s.Rle = true;
    auto plain = MakePCX(s, data);
    TPCXGraphic g;
    Load(g, plain);
    EXPECT_EQ(g.ScanLine(0)[1], 5);
    EXPECT_EQ(g.Palette(), HalftonePalette256());
    data.push_back(12);
    for (int i = 0; i < 768; ++i)
        data.push_back(static_cast<uint8_t>(255 - i % 256));
    Load(g, MakePCX(s, data));
    EXPECT_EQ(g.Palette()[5], (TPaletteEntry{240, 239, 238, 0}));
    s.PaletteInfo = 2;
    Load(g, MakePCX(s, {0x01, 0x02}));
    EXPECT_EQ(g.Palette()[2], (TPaletteEntry{2, 2, 2, 0}));
}

TEST(TPCXGraphic, RGBPlanesBecomeBlueGreenRedRows) {
    TPCXSpec s{2, 1, 8, 4, 2}; // a fourth plane is ignored
    TPCXGraphic g;
    Load(g, MakePCX(s, {1, 2, 3, 4, 5, 6, 9, 9}));
    ASSERT_EQ(g.PixelFormat(), pf24bit);
    const uint8_t* row = g.ScanLine(0);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 6), (std::vector<uint8_t>{5, 3, 1, 6, 4, 2}));
}

TEST(TPCXGraphic, ScreenCapturesLoadLikePCX) {
    TPCXSpec s{8, 1, 1, 1, 1};
    s.Manufacturer = 205;
    TPCXGraphic g;
    Load(g, MakePCX(s, {0xA5}));
    EXPECT_EQ(g.PixelFormat(), pf1bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0xA5);
    EXPECT_EQ(g.Palette()[0], (TPaletteEntry{0, 0, 0, 0}));
}

TEST(TPCXGraphic, RefusesBadHeadersLayoutsAndShortLines) {
    const std::string invalid = "Cannot load image. Invalid or unexpected PCX or SCR image format.";
    TPCXSpec s{8, 1, 1, 2, 1};
    EXPECT_EQ(LoadError(MakePCX(s, {0, 0})), "Invalid color format in PCX file.");
    s = TPCXSpec{16, 1, 8, 1, 8}; // 8 bytes for 16 pixels
    EXPECT_EQ(LoadError(MakePCX(s, std::vector<uint8_t>(16))), invalid);
    s = TPCXSpec{};
    s.Manufacturer = 11;
    EXPECT_EQ(LoadError(MakePCX(s, {0})), invalid);
    EXPECT_EQ(LoadError(std::vector<uint8_t>(127, 10)), invalid);
}

TEST(TPCXGraphic, TruncatedAndHugeDeclarationsFailFastOrStayBounded) {
    TPCXSpec s{60000, 60000, 8, 1, 60000};
    s.Rle = true;
    EXPECT_EQ(LoadError(MakePCX(s, {0xC1, 0x01})), "Image too large");
    // 144 bytes declaring 16000 x 16000: refused before a raster is allocated,
    // since 16 bytes of runs cannot give more than 16 x 63 / 2 bytes of pixels.
    s = TPCXSpec{16000, 16000, 8, 1, 16000};
    s.Rle = true;
    EXPECT_EQ(LoadError(MakePCX(s, std::vector<uint8_t>(16, 0xFF))),
              "The file is too small for its declared size of 16000 x 16000 pixels.");
    // Uncompressed data holds its pixels one to one: less is a cut file,
    // found before the raster is allocated.
    s = TPCXSpec{16000, 16000, 8, 1, 16000};
    EXPECT_EQ(LoadError(MakePCX(s, std::vector<uint8_t>(16, 0xFF))),
              "The file is cut short: the picture data ends after 0 of 16000 rows.");
}

TEST(TPCXGraphic, DataEndingBeforeTheLastRowIsACutFile) {
    TPCXSpec s{4, 3, 8, 1, 4};
    s.Rle = true;
    TPCXGraphic g;
    try {
        Load(g, MakePCX(s, {0xC4, 0x07, 0xC2}));
        ADD_FAILURE() << "a cut file loaded";
    } catch (const ECutShort& e) {
        EXPECT_STREQ(e.what(), "The file is cut short: the picture data ends after 1 of 3 rows.");
    }
    // Plain data alike, one byte short.
    s.Rle = false;
    EXPECT_EQ(LoadError(MakePCX(s, std::vector<uint8_t>(11, 7))),
              "The file is cut short: the picture data ends after 2 of 3 rows.");
    // Only the padding of the last line may be missing: 3 pixels in lines of 4 bytes.
    s = TPCXSpec{3, 2, 8, 1, 4};
    Load(g, MakePCX(s, {1, 2, 3, 0, 4, 5, 6}));
    EXPECT_EQ(g.ScanLine(1)[2], 6);
}

// Golden cases: pixels and colours written out from the reader's rules, for
// layouts no independent decoder here treats the same way (version 3 files
// with no palette of their own, CGA screens, 256 colours without a trailer).
namespace {
// The system's 16 colours, by index, as a version 3 file shows them.
const TColor SystemColour[16] = {
    RGBColor(0, 0, 0),       RGBColor(128, 0, 0),   RGBColor(0, 128, 0),   RGBColor(128, 128, 0),
    RGBColor(0, 0, 128),     RGBColor(128, 0, 128), RGBColor(0, 128, 128), RGBColor(128, 128, 128),
    RGBColor(192, 192, 192), RGBColor(255, 0, 0),   RGBColor(0, 255, 0),   RGBColor(255, 255, 0),
    RGBColor(0, 0, 255),     RGBColor(255, 0, 255), RGBColor(0, 255, 255), RGBColor(255, 255, 255)};

std::vector<TColor> RowColours(const TPCXGraphic& g, int y) {
    std::vector<TColor> out;
    for (int x = 0; x < g.Width(); ++x)
        out.push_back(g.Pixel(x, y));
    return out;
}
} // namespace

TEST(TPCXGraphic, VersionThreeShowsSystemColoursForEveryDepthButMonochrome) {
    // Run-length coded, as such files were written. The header colour map is
    // filled with other colours: a version 3 file has none of its own.
    TPCXSpec s{8, 1, 4, 1, 4, 3};
    s.Rle = true;
    TPCXGraphic g;
    // One 4-bit plane, pixels 0, 1, 6, 7, 8, 9, 14, 15.
    Load(g, MakePCX(s, {0x01, 0x67, 0x89, 0xC1, 0xEF}));
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    EXPECT_EQ(RowColours(g, 0),
              (std::vector<TColor>{SystemColour[0], SystemColour[1], SystemColour[6],
                                   SystemColour[7], SystemColour[8], SystemColour[9],
                                   SystemColour[14], SystemColour[15]}));

    // Four 1-bit planes, the same pixels: plane k holds bit k of each pixel.
    //  pixel  0 1 6 7 8 9 14 15
    //  bit 0  0 1 0 1 0 1 0  1  -> 0x55
    //  bit 1  0 0 1 1 0 0 1  1  -> 0x33
    //  bit 2  0 0 1 1 0 0 1  1  -> 0x33
    //  bit 3  0 0 0 0 1 1 1  1  -> 0x0F
    s = TPCXSpec{8, 1, 1, 4, 1, 3};
    s.Rle = true;
    Load(g, MakePCX(s, {0x55, 0x33, 0x33, 0x0F}));
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    EXPECT_EQ(RowColours(g, 0),
              (std::vector<TColor>{SystemColour[0], SystemColour[1], SystemColour[6],
                                   SystemColour[7], SystemColour[8], SystemColour[9],
                                   SystemColour[14], SystemColour[15]}));

    // CGA 4-colour pixels 0..3 become 0, 5, 10, 15 of the system colours:
    // black, purple, bright green, white; the header's CGA bytes play no part.
    s = TPCXSpec{4, 2, 2, 1, 1, 3};
    Load(g, MakePCX(s, {0x1B, 0xE4}, {0x10, 0, 0, 0x40, 0, 0}));
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    EXPECT_EQ(RowColours(g, 0),
              (std::vector<TColor>{RGBColor(0, 0, 0), RGBColor(128, 0, 128), RGBColor(0, 255, 0),
                                   RGBColor(255, 255, 255)}));
    EXPECT_EQ(RowColours(g, 1), (std::vector<TColor>{RGBColor(255, 255, 255), RGBColor(0, 255, 0),
                                                     RGBColor(128, 0, 128), RGBColor(0, 0, 0)}));

    // Monochrome stays black and white even in version 3.
    s = TPCXSpec{8, 1, 1, 1, 1, 3};
    Load(g, MakePCX(s, {0x81}));
    ASSERT_EQ(g.PixelFormat(), pf1bit);
    EXPECT_EQ(g.Pixel(0, 0), clWhite);
    EXPECT_EQ(g.Pixel(1, 0), clBlack);
    EXPECT_EQ(g.Pixel(7, 0), clWhite);
}

TEST(TPCXGraphic, CGAScreensTakeTheHeaderColoursOrBlackAndWhite) {
    // A 320 x 200 4-colour screen stored plain; pixel (x, y) = (x / 4 + y) mod 4.
    TPCXSpec s{320, 200, 2, 1, 80};
    // The header as a CGA paint program leaves it (background byte 0x13, palette
    // byte 0xA4): the first four colours are read as they stand.
    const std::vector<uint8_t> cgaHeader{0x13, 0x13, 0x13, 0xA4, 0xFF, 0x67,
                                         0x00, 0x00, 0x00, 0x55, 0x55, 0xFF};
    std::vector<uint8_t> data;
    for (int y = 0; y < 200; ++y)
        for (int b = 0; b < 80; ++b) {
            uint8_t v = static_cast<uint8_t>((b + y) % 4);
            data.push_back(static_cast<uint8_t>(v * 0x55)); // four equal 2-bit pixels
        }
    TPCXGraphic g;
    Load(g, MakePCX(s, data, cgaHeader));
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    ASSERT_EQ(g.Width(), 320);
    ASSERT_EQ(g.Height(), 200);
    const TColor colour[4] = {RGBColor(0x13, 0x13, 0x13), RGBColor(0xA4, 0xFF, 0x67),
                              RGBColor(0, 0, 0), RGBColor(0x55, 0x55, 0xFF)};
    int wrong = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 320; ++x)
            wrong += g.Pixel(x, y) != colour[(x / 4 + y) % 4];
    EXPECT_EQ(wrong, 0);

    // A 640 x 200 monochrome screen: black and white whatever the header holds
    // (CGA_BW-like: red first colour, palette information 0).
    s = TPCXSpec{640, 200, 1, 1, 80};
    s.PaletteInfo = 0;
    data.clear();
    for (int y = 0; y < 200; ++y)
        for (int b = 0; b < 80; ++b)
            data.push_back(y % 2 ? 0xF0 : 0x0F);
    Load(g, MakePCX(s, data, {0xFF, 0x00, 0x00}));
    ASSERT_EQ(g.PixelFormat(), pf1bit);
    wrong = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 640; ++x)
            wrong += g.Pixel(x, y) != (((x % 8 < 4) == (y % 2 == 1)) ? clWhite : clBlack);
    EXPECT_EQ(wrong, 0);
}

TEST(TPCXGraphic, EightBitWithoutTrailerKeepsAllItsData) {
    // 40 x 25 run-length coded, one run per row, 50 data bytes < 769: no trailer
    // is there, and no row may be cut off to make room for one.
    TPCXSpec s{40, 25, 8, 1, 40};
    s.Rle = true;
    std::vector<uint8_t> data;
    for (int y = 0; y < 25; ++y) {
        data.push_back(0xC0 | 40);
        data.push_back(static_cast<uint8_t>(200 + y));
    }
    TPCXGraphic g;
    Load(g, MakePCX(s, data));
    ASSERT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.ScanLine(24)[39], 224);
    // Palette information 1 and no trailer: the raster's own 256-colour table stays.
    EXPECT_EQ(g.Palette(), HalftonePalette256());

    // Plain data of 2000 bytes, the byte 769 before the end being no 12: every row is data.
    s = TPCXSpec{100, 20, 8, 1, 100};
    s.PaletteInfo = 2;
    data.assign(2000, 0);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i % 199 + 13);
    Load(g, MakePCX(s, data));
    EXPECT_EQ(g.ScanLine(19)[99], static_cast<uint8_t>(1999 % 199 + 13));
    EXPECT_EQ(g.ScanLine(12)[31], static_cast<uint8_t>(1231 % 199 + 13));
    // Palette information 2 without a trailer: a grey ramp, index i is grey i.
    EXPECT_EQ(g.Pixel(99, 19), RGBColor(1999 % 199 + 13, 1999 % 199 + 13, 1999 % 199 + 13));

    // With a trailer the 769 bytes are no pixels: data that does not reach
    // the second row is a cut file, not a picture whose rows stay 0.
    s = TPCXSpec{4, 2, 8, 1, 4};
    s.Rle = true;
    data = {0xC4, 0x03, 12};
    for (int i = 0; i < 256; ++i)
        data.insert(data.end(), {static_cast<uint8_t>(i), 0, static_cast<uint8_t>(255 - i)});
    EXPECT_THROW(Load(g, MakePCX(s, data)), ECutShort);
    data.insert(data.begin() + 2, {0xC4, 0x01});
    Load(g, MakePCX(s, data));
    EXPECT_EQ(g.Pixel(3, 0), RGBColor(3, 0, 252));
    EXPECT_EQ(g.Pixel(0, 1), RGBColor(1, 0, 254));
}

TEST(TPCXGraphic, CorpusVersionThreeFileShowsTheSystemColours) {
    REQUIRE_CORPUS("pcx/pcx-crate/tiny.pcx");
    // The reference shows the file's indices through its header map, grey
    // 0x10 per index; the file is version 3, so each index takes the system colour.
    TReferenceImage r = LoadReferencePNG(CorpusPath("pcx/pcx-crate/reference-png/tiny.png"));
    TPCXGraphic g;
    g.LoadFromFile(CorpusPath("pcx/pcx-crate/tiny.pcx"));
    ASSERT_EQ(g.Width(), r.Width);
    ASSERT_EQ(g.Height(), r.Height);
    int shown = 0;
    for (int y = 0; y < r.Height; ++y)
        for (int x = 0; x < r.Width; ++x) {
            TColor grey = r.At(x, y);
            ASSERT_EQ(GetRValue(grey) % 0x10, 0);
            EXPECT_EQ(g.Pixel(x, y), SystemColour[GetRValue(grey) / 0x10]) << x << "," << y;
            shown |= 1 << (GetRValue(grey) / 0x10);
        }
    EXPECT_EQ(shown, (1 << 0) | (1 << 9) | (1 << 10)); // black, red, bright green
}

TEST(TPCXGraphic, CorpusFilesMatchTheirReferenceRenderings) {
    REQUIRE_CORPUS("pcx");
    // File -> reference, for files whose semantics the reference shares.
    const std::vector<std::pair<std::string, std::string>> pairs{
        {"netpbm-generated/video-mono-1bit.pcx",
         "netpbm-generated/reference-png/video-mono-1bit.png"},
        {"netpbm-generated/video-4col-2bpp-packed.pcx",
         "netpbm-generated/reference-png/video-4col.png"},
        {"netpbm-generated/video-8col-3planes.pcx",
         "netpbm-generated/reference-png/video-8col.png"},
        {"netpbm-generated/video-16col-4planes.pcx",
         "netpbm-generated/reference-png/video-16col.png"},
        {"netpbm-generated/video-16col-stdpalette.pcx",
         "netpbm-generated/reference-png/video-16col-stdpalette.png"},
        {"netpbm-generated/video-16col-4bpp-packed.pcx",
         "netpbm-generated/reference-png/video-16col.png"},
        {"netpbm-generated/video-8bit-256pal.pcx",
         "netpbm-generated/reference-png/video-8bit-256pal.png"},
        {"netpbm-generated/video-8bit-grey.pcx",
         "netpbm-generated/reference-png/video-8bit-grey.png"},
        {"netpbm-generated/video-24bit-3planes.pcx",
         "netpbm-generated/reference-png/video-24bit.png"},
        {"pcx-crate/marbles.pcx", "pcx-crate/reference-png/marbles.png"},
        {"pcx-crate/gmarbles.pcx", "pcx-crate/reference-png/gmarbles.png"},
        {"pcx-crate/cga/CGA_BW.PCX", "pcx-crate/reference-png/CGA_BW.png"},
        // The reference reads the CGA header's first four colours as they stand, as we do.
        {"pcx-crate/cga/CGA_FSD.PCX", "pcx-crate/reference-png/CGA_FSD.png"},
        {"pcx-crate/cga/CGA_TST1.PCX", "pcx-crate/reference-png/CGA_TST1.png"},
        {"pcx-crate/cga/CGA_RGBI.PCX", "pcx-crate/reference-png/CGA_RGBI.png"},
        {"image-extras/24bit.pcx", "image-extras/reference-png/24bit.png"},
        {"image-extras/256-palette.pcx", "image-extras/reference-png/256-palette.png"},
    };
    for (const auto& [file, ref] : pairs) {
        SCOPED_TRACE(file);
        TPCXGraphic g;
        ASSERT_NO_THROW(g.LoadFromFile(CorpusPath("pcx/" + file)));
        TReferenceImage r = LoadReferencePNG(CorpusPath("pcx/" + ref));
        std::string first;
        EXPECT_EQ(CountColorMismatches(g, r, &first), 0) << first;
    }
}

TEST(TPCXGraphic, EveryCorpusFileLoadsOrFailsWithOurMessage) {
    REQUIRE_CORPUS("pcx");
    int loaded = 0, failed = 0;
    for (const std::string& path : CorpusFiles("pcx", {".pcx"}, true)) {
        SCOPED_TRACE(path);
        TPCXGraphic g;
        try {
            g.LoadFromFile(path);
            EXPECT_GT(g.Width(), 0);
            ++loaded;
        } catch (const EInvalidGraphic& e) {
            ++failed;
            std::string name = std::filesystem::path(path).filename();
            // Only the two broken files and the unsupported 2-plane layout may fail.
            EXPECT_TRUE(name == "01r_00.pcx" || name == "ossfuzz-4836216264589312.pcx" ||
                        name == "video-4col-2planes.pcx")
                << e.what();
            // Two 1-bit planes are no layout of ours: refused as such, not as damage.
            if (name == "video-4col-2planes.pcx") {
                EXPECT_STREQ(e.what(), "Invalid color format in PCX file.");
            }
        }
    }
    EXPECT_EQ(failed, 3);
    EXPECT_GE(loaded, 17);
}
