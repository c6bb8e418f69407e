// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/PSDGraphic.h"
#include "TestSupport.h"
#include "base/Exceptions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Put32(Bytes& b, uint32_t v) {
    Put16(b, v >> 16);
    Put16(b, v & 0xFFFF);
}
void PutBlock(Bytes& b, const Bytes& block) {
    Put32(b, static_cast<uint32_t>(block.size()));
    b.insert(b.end(), block.begin(), block.end());
}
void PutText(Bytes& b, const char* s) {
    b.insert(b.end(), s, s + 4);
}

struct TPSDSpec {
    int Mode = 3, Channels = 3, Depth = 8, Width = 2, Height = 1, Version = 1;
    Bytes ModeData, Resources, Layers;
    int Compression = 0;
    Bytes Pixels;
};

Bytes MakePSD(const TPSDSpec& s) {
    Bytes f;
    PutText(f, "8BPS");
    Put16(f, s.Version);
    f.insert(f.end(), 6, 0);
    Put16(f, s.Channels);
    Put32(f, s.Height);
    Put32(f, s.Width);
    Put16(f, s.Depth);
    Put16(f, s.Mode);
    PutBlock(f, s.ModeData);
    PutBlock(f, s.Resources);
    PutBlock(f, s.Layers);
    Put16(f, s.Compression);
    f.insert(f.end(), s.Pixels.begin(), s.Pixels.end());
    return f;
}

// One 1x1 layer with a single raw channel, optional extra blocks after its name.
Bytes LayerSection(const Bytes& extraBlocks, const char* blendSignature = "8BIM") {
    Bytes info;
    Put16(info, 1);
    Put32(info, 0); // top, left, bottom, right
    Put32(info, 0);
    Put32(info, 1);
    Put32(info, 1);
    Put16(info, 1); // one channel
    Put16(info, 0);
    Put32(info, 3); // compression code + one byte
    PutText(info, blendSignature);
    PutText(info, "mul ");
    info.insert(info.end(), {200, 0, 0x18, 0});
    Bytes extra;
    Put32(extra, 0); // no mask
    Put32(extra, 0); // no blending ranges
    extra.insert(extra.end(), {3, 'a', 'b', 'c'});
    extra.insert(extra.end(), extraBlocks.begin(), extraBlocks.end());
    PutBlock(info, extra);
    Put16(info, 0); // channel data: raw
    info.push_back(0x42);
    Bytes section;
    PutBlock(section, info);
    Put32(section, 0); // global mask info
    return section;
}

std::string LoadError(const Bytes& f) {
    TPSDGraphic g;
    try {
        g.ReadFromMemory(f.data(), 0, f.size());
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

const char* const InvalidPSD = "Cannot load image. Invalid or unexpected PSD or PDD image format.";
} // namespace

TEST(TPSDGraphic, RGBGivesBlueFirstRowsAndAFourthChannelGivesAlpha) {
    TPSDSpec s;
    s.Pixels = {10, 11, 20, 21, 30, 31};
    TPSDGraphic g;
    Bytes f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf24bit);
    EXPECT_EQ(Bytes(g.ScanLine(0), g.ScanLine(0) + 6), (Bytes{30, 20, 10, 31, 21, 11}));
    s.Channels = 4;
    s.Pixels = {10, 11, 20, 21, 30, 31, 40, 41};
    f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf32bit);
    EXPECT_EQ(Bytes(g.ScanLine(0), g.ScanLine(0) + 8), (Bytes{30, 20, 10, 40, 31, 21, 11, 41}));
}

TEST(TPSDGraphic, PackbitsCompositeUsesTheRowCountsOfEveryChannel) {
    TPSDSpec s;
    s.Width = 3;
    s.Compression = 1;
    // Counts for red, green, blue rows, then three runs of three bytes.
    s.Pixels = {0, 2, 0, 2, 0, 2, 0xFE, 1, 0xFE, 2, 0xFE, 3};
    TPSDGraphic g;
    Bytes f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    EXPECT_EQ(Bytes(g.ScanLine(0), g.ScanLine(0) + 9), (Bytes{3, 2, 1, 3, 2, 1, 3, 2, 1}));
    EXPECT_EQ(g.ImageProperties().CompressionKind, ckPackbits);
}

TEST(TPSDGraphic, CMYKInvertsTheStoredInk) {
    TPSDSpec s;
    s.Mode = 4;
    s.Channels = 5; // a spot channel beyond the four inks is not drawn
    s.Width = 1;
    s.Pixels = {255, 255, 255, 255, 0};
    TPSDGraphic g;
    Bytes f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf24bit);
    EXPECT_EQ(g.Pixel(0, 0), clWhite);
}

TEST(TPSDGraphic, BitmapIndexedAndGreyModesBuildTheirPalettes) {
    TPSDSpec s;
    s.Mode = 0;
    s.Channels = 1;
    s.Depth = 1;
    s.Width = 9;
    s.Pixels = {0x80, 0x80};
    TPSDGraphic g;
    Bytes f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf1bit);
    EXPECT_EQ(g.Palette()[0], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(g.Pixel(0, 0), clBlack);
    EXPECT_EQ(g.Pixel(8, 0), clBlack);
    EXPECT_EQ(g.Pixel(1, 0), clWhite);

    s = TPSDSpec{};
    s.Mode = 2;
    s.Channels = 1;
    for (int c = 0; c < 3; ++c)
        for (int i = 0; i < 256; ++i)
            s.ModeData.push_back(static_cast<uint8_t>(c == 0 ? i : 255 - i));
    s.Pixels = {3, 200};
    f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.Palette().Count(), 256);
    EXPECT_EQ(g.Pixel(1, 0), RGBColor(200, 55, 55));

    // Grey with alpha draws its grey channel.
    s = TPSDSpec{};
    s.Mode = 1;
    s.Channels = 2;
    s.Pixels = {90, 91, 0, 0};
    f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    EXPECT_EQ(g.Pixel(1, 0), RGBColor(91, 91, 91));
}

TEST(TPSDGraphic, SixteenBitSamplesAreSwappedAndReduced) {
    TPSDSpec s;
    s.Depth = 16;
    s.Width = 1;
    s.Pixels = {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x01};
    TPSDGraphic g;
    Bytes f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf24bit);
    EXPECT_EQ(g.Pixel(0, 0), RGBColor(255, 0x8000 * 255 / 65535, 0));
    s.Mode = 1; // single-channel 16-bit grey loads as 8-bit grey
    s.Channels = 1;
    s.Pixels = {0x12, 0x34};
    f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    ASSERT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0x1234 * 255 / 65535);
}

TEST(TPSDGraphic, LabUsesPercentAndOffsetEncoding) {
    TPSDSpec s;
    s.Mode = 9;
    s.Width = 1;
    s.Pixels = {255, 128, 128};
    TPSDGraphic g;
    Bytes f = MakePSD(s);
    g.ReadFromMemory(f.data(), 0, f.size());
    EXPECT_EQ(g.Pixel(0, 0), clWhite);
}

TEST(TPSDGraphic, RefusesWhatItCannotShow) {
    TPSDSpec s;
    s.Compression = 2;
    EXPECT_EQ(LoadError(MakePSD(s)),
              "Cannot load image. The compression scheme is not supported for PSD/PDD files.");
    s = TPSDSpec{};
    s.Version = 2;
    EXPECT_EQ(LoadError(MakePSD(s)), InvalidPSD);
    s = TPSDSpec{};
    s.Channels = 2; // RGB with two channels has no layout
    EXPECT_EQ(LoadError(MakePSD(s)), InvalidPSD);
    s = TPSDSpec{};
    s.Depth = 32;
    EXPECT_EQ(LoadError(MakePSD(s)),
              "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.");
    Bytes f = MakePSD(TPSDSpec{});
    f.resize(30); // the sections reach past the end
    EXPECT_EQ(LoadError(f), InvalidPSD);
    EXPECT_EQ(LoadError({}), InvalidPSD);
}

TEST(TPSDGraphic, HugeDeclaredRasterFailsBeforeAllocating) {
    TPSDSpec s;
    s.Width = 300000;
    s.Height = 300000;
    EXPECT_EQ(LoadError(MakePSD(s)), "Image too large");
}

TEST(TPSDGraphic, ACompositeTheFileEndsInIsACutFile) {
    TPSDSpec s;
    s.Height = 2;
    s.Pixels = {10, 11, 12, 13, 20, 21, 22, 23, 30, 31, 32}; // blue's second row is short
    EXPECT_EQ(LoadError(MakePSD(s)),
              "The file is cut short: the picture data ends after 1 of 2 rows.");
    // Packed rows whose counts reach past the end of the file.
    s = TPSDSpec{};
    s.Width = 3;
    s.Compression = 1;
    s.Pixels = {0, 2, 0, 2, 0, 2, 0xFE, 1, 0xFE, 2, 0xFE};
    EXPECT_EQ(LoadError(MakePSD(s)),
              "The file is cut short: the picture data ends after 0 of 1 rows.");
    // A composite that decodes short within its counts is damaged, not cut: it loads.
    s.Pixels = {0, 2, 0, 2, 0, 2, 0xFE, 1, 0xFE, 2, 0x00, 3};
    EXPECT_EQ(LoadError(MakePSD(s)), "");
}

TEST(TPSDGraphic, ASizeTheFileCannotHoldFailsBeforeAllocating) {
    TPSDSpec s;
    s.Width = 16000;
    s.Height = 16000;
    s.Compression = 1;
    s.Pixels.assign(100, 0);
    EXPECT_EQ(LoadError(MakePSD(s)),
              "The file is too small for its declared size of 16000 x 16000 pixels.");
    s.Compression = 0;
    EXPECT_EQ(LoadError(MakePSD(s)).rfind("The file is cut short: ", 0), 0u);
}

TEST(TPSDGraphic, LayersAreParsedAndLeaveTheCompositeAlone) {
    TPSDSpec s;
    s.Pixels = {10, 11, 20, 21, 30, 31};
    Bytes plain = MakePSD(s);
    Bytes unicode;
    PutText(unicode, "8BIM");
    PutText(unicode, "luni");
    Bytes name;
    Put32(name, 2);
    name.insert(name.end(), {0x00, 'L', 0x00, 0xE9});
    PutBlock(unicode, name);
    s.Layers = LayerSection(unicode);
    Bytes layered = MakePSD(s);
    TPSDGraphic a, b;
    a.ReadFromMemory(plain.data(), 0, plain.size());
    b.ReadFromMemory(layered.data(), 0, layered.size());
    EXPECT_EQ(Bytes(a.ScanLine(0), a.ScanLine(0) + 6), Bytes(b.ScanLine(0), b.ScanLine(0) + 6));
    ASSERT_EQ(b.Layers().size(), 1u);
    const TPhotoshopLayer& l = *b.Layers()[0];
    EXPECT_EQ(l.Name, "L\xC3\xA9");
    EXPECT_EQ(l.BlendMode, 7);
    EXPECT_EQ(l.Opacity, 200);
    EXPECT_EQ(l.Flags, 4); // bits 3 and 4: the pixels do not count
    ASSERT_EQ(l.Channels.size(), 1u);
    EXPECT_EQ(l.Channels[0].DataLength, 3u);
    EXPECT_EQ(l.Channels[0].Compression, 0);
}

TEST(TPSDGraphic, DamagedLayerRecordsFailTheLoad) {
    TPSDSpec s;
    s.Pixels = {1, 2, 3, 4, 5, 6};
    s.Layers = LayerSection({}, "8BIX");
    EXPECT_EQ(LoadError(MakePSD(s)), "Image is invalid. Layer data is corrupt.");
    // A type-tool block whose descriptor item has an unknown type.
    Bytes tysh;
    PutText(tysh, "8BIM");
    PutText(tysh, "TySh");
    Bytes d;
    Put16(d, 1);
    d.insert(d.end(), 48, 0); // transform
    Put16(d, 50);
    Put32(d, 16);
    Put32(d, 0); // class name: no characters
    Put32(d, 0);
    PutText(d, "TxLr");
    Put32(d, 1); // one item
    Put32(d, 0);
    PutText(d, "Txt ");
    PutText(d, "zzzz");
    PutBlock(tysh, d);
    s.Layers = LayerSection(tysh);
    EXPECT_EQ(LoadError(MakePSD(s)), "Image is invalid. Layer data is corrupt.");
    // A layer section shorter than its records.
    s.Layers = LayerSection({});
    s.Layers.resize(20);
    s.Layers[3] = 16;
    EXPECT_EQ(LoadError(MakePSD(s)), "Image is invalid. Layer data is corrupt.");
}

namespace {
// ImageMagick's rendering of a file's composite as 8-bit RGB, or empty when it is not installed.
Bytes MagickRGB(const std::string& path, int width, int height) {
    std::string command = "convert '" + path + "[0]' -depth 8 rgb:- 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    Bytes out(static_cast<size_t>(width) * height * 3);
    size_t n = std::fread(out.data(), 1, out.size(), pipe);
    pclose(pipe);
    if (n != out.size()) out.clear();
    return out;
}
} // namespace

TEST(TPSDGraphic, CorpusCompositesMatchAnIndependentDecoder) {
    REQUIRE_CORPUS("psd");
    if (std::system("convert -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ImageMagick";
    // Modes where the composite's colours are the stored samples.
    for (const char* name :
         {"psd-tools/colormodes-4x4_1bit_bitmap.psd", "psd-tools/colormodes-4x4_8bit_grayscale.psd",
          "psd-tools/colormodes-4x4_8bit_rgb.psd", "psd-tools/colormodes-4x4_8bit_rgba.psd",
          "psd-tools/0layers.psd", "psd-tools/2layers.psd", "psd-tools/mask.psd",
          "psd-tools/adjustments-threshold_grayscale.psd", "pillow/hopper.psd",
          "psd-tools/cactus_top.psd"}) {
        SCOPED_TRACE(name);
        std::string path = CorpusPath(std::string("psd/") + name);
        TPSDGraphic g;
        ASSERT_NO_THROW(g.LoadFromFile(path));
        Bytes ref = MagickRGB(path, g.Width(), g.Height());
        ASSERT_FALSE(ref.empty());
        int bad = 0;
        std::vector<uint8_t> row(static_cast<size_t>(g.Width()) * 4);
        for (int y = 0; y < g.Height(); ++y) {
            g.GetRowBGRX(y, row.data());
            for (int x = 0; x < g.Width(); ++x) {
                const uint8_t* r = &ref[(static_cast<size_t>(y) * g.Width() + x) * 3];
                const uint8_t* c = &row[static_cast<size_t>(x) * 4];
                if (c[2] != r[0] || c[1] != r[1] || c[0] != r[2]) ++bad;
            }
        }
        EXPECT_EQ(bad, 0);
    }
}

TEST(TPSDGraphic, EveryCorpusFileLoadsOrFailsWithOurMessage) {
    REQUIRE_CORPUS("psd");
    for (const std::string& path : CorpusFiles("psd", {".psd", ".psb"}, true)) {
        std::string name = std::filesystem::path(path).filename();
        SCOPED_TRACE(name);
        TPSDGraphic g;
        try {
            g.LoadFromFile(path);
            EXPECT_GT(g.Width(), 0);
        } catch (const Exception& e) {
            // Float documents, the large-document variant and the damaged files.
            bool expected = name.find("32bit") != std::string::npos || name == "1layer.psb" ||
                            name.rfind("psd-oob-write", 0) == 0 ||
                            name == "combined_larger_than_size.psd";
            // Its raw composite has 1606 of the 40000 bytes four 100 x 100 planes need.
            if (name == "blend-modes-group-divider-blend-mode.psd") {
                expected = std::string(e.what()).rfind("The file is cut short: ", 0) == 0;
            }
            EXPECT_TRUE(expected) << e.what();
        }
    }
}

namespace {
// White matting as Photoshop stores a transparent document's composite.
uint8_t Matted(int colour, int alpha) {
    return static_cast<uint8_t>((colour * alpha + (255 - alpha) * 255 + 127) / 255);
}

// A 4x1 RGB document with one extra channel: opaque, transparent, half and a
// quarter covered, the colours matted with white or stored straight.
TPSDSpec TransparentRGB(const Bytes& layers, bool matted) {
    const int colour[4][3] = {{10, 20, 30}, {90, 90, 90}, {200, 100, 0}, {0, 60, 250}};
    const int alpha[4] = {255, 0, 128, 64};
    TPSDSpec s;
    s.Channels = 4;
    s.Width = 4;
    s.Layers = layers;
    for (int k = 0; k < 3; ++k)
        for (int x = 0; x < 4; ++x)
            s.Pixels.push_back(matted ? Matted(colour[x][k], alpha[x])
                                      : static_cast<uint8_t>(colour[x][k]));
    for (int x = 0; x < 4; ++x)
        s.Pixels.push_back(static_cast<uint8_t>(alpha[x]));
    return s;
}

Bytes WithLayerCount(Bytes section, int16_t count) {
    section[4] = static_cast<uint8_t>(static_cast<uint16_t>(count) >> 8);
    section[5] = static_cast<uint8_t>(count);
    return section;
}

// No layers, and a global "merged transparency" block, padded to four bytes.
Bytes MergedTransparencyBlockOnly() {
    Bytes section;
    Put32(section, 0); // layer info
    Put32(section, 0); // global mask
    PutText(section, "8BIM");
    PutText(section, "Mtrn");
    Put32(section, 2);
    section.insert(section.end(), {0, 1, 0, 0});
    return section;
}
} // namespace

TEST(TPSDGraphic, MergedTransparencyBecomesTheAlphaPlaneWithoutTheWhiteMatting) {
    for (const Bytes& layers :
         {WithLayerCount(LayerSection({}), -1), MergedTransparencyBlockOnly()}) {
        const Bytes f = MakePSD(TransparentRGB(layers, true));
        TPSDGraphic g;
        g.ReadFromMemory(f.data(), 0, f.size());
        ASSERT_TRUE(g.MergedTransparency());
        EXPECT_EQ(g.AlphaChannel(), (Bytes{255, 0, 128, 64}));
        const uint8_t* p = g.ScanLine(0);
        const Bytes expected = {30, 20, 10, 0, 0, 0, 0, 100, 200, 250, 60, 0};
        for (int x = 0; x < 4; ++x)
            for (int k = 0; k < 3; ++k)
                EXPECT_NEAR(p[4 * x + k], expected[3 * x + k], 2) << x << " " << k;
    }
}

TEST(TPSDGraphic, StraightColoursUnderMergedTransparencyStayAsStored) {
    // The dark colours at partial cover cannot have been matted with white.
    const Bytes f = MakePSD(TransparentRGB(WithLayerCount(LayerSection({}), -1), false));
    TPSDGraphic g;
    g.ReadFromMemory(f.data(), 0, f.size());
    EXPECT_EQ(g.AlphaChannel(), (Bytes{255, 0, 128, 64}));
    const uint8_t* p = g.ScanLine(0);
    EXPECT_EQ(Bytes(p, p + 3), (Bytes{30, 20, 10}));
    EXPECT_EQ(Bytes(p + 8, p + 11), (Bytes{0, 100, 200}));
    EXPECT_EQ(Bytes(p + 12, p + 15), (Bytes{250, 60, 0}));
}

TEST(TPSDGraphic, ExtraChannelsOfOpaqueDocumentsAreNotTransparency) {
    // A flat document and one whose layer count is positive: the fourth
    // channel is a saved selection. So are channels past the fourth.
    TPSDSpec five = TransparentRGB({}, false);
    five.Channels = 5;
    five.Pixels.insert(five.Pixels.end(), {1, 2, 3, 4});
    for (const TPSDSpec& s :
         {TransparentRGB({}, true), TransparentRGB(LayerSection({}), true), five}) {
        const Bytes f = MakePSD(s);
        TPSDGraphic g;
        g.ReadFromMemory(f.data(), 0, f.size());
        EXPECT_FALSE(g.MergedTransparency());
        EXPECT_TRUE(g.AlphaChannel().empty());
        EXPECT_EQ(g.ScanLine(0)[4 + 2], s.Pixels[1]); // the transparent pixel's stored red
    }
}

TEST(TPSDGraphic, GreyMergedTransparencyAtBothDepths) {
    for (int depth : {8, 16}) {
        SCOPED_TRACE(depth);
        TPSDSpec s;
        s.Mode = 1;
        s.Channels = 2;
        s.Depth = depth;
        s.Width = 3;
        s.Layers = WithLayerCount(LayerSection({}), -1);
        const int grey[3] = {40, 255, Matted(100, 51)}, alpha[3] = {255, 0, 51};
        for (const int* plane : {grey, alpha})
            for (int x = 0; x < 3; ++x) {
                s.Pixels.push_back(static_cast<uint8_t>(plane[x]));
                if (depth == 16) s.Pixels.push_back(static_cast<uint8_t>(plane[x]));
            }
        const Bytes f = MakePSD(s);
        TPSDGraphic g;
        g.ReadFromMemory(f.data(), 0, f.size());
        ASSERT_EQ(g.PixelFormat(), pf8bit);
        EXPECT_EQ(g.AlphaChannel(), (Bytes{255, 0, 51}));
        EXPECT_EQ(g.Pixel(0, 0), RGBColor(40, 40, 40));
        EXPECT_NEAR(g.ScanLine(0)[2], 100, 2);
    }
}

TEST(TPSDGraphic, CorpusTransparentDocumentsKeepTheirTransparency) {
    REQUIRE_CORPUS("psd");
    // Saved by Photoshop and by GIMP with a transparent background; the
    // others are opaque documents, some with extra channels.
    for (const char* name : {"pillow/rgba.psd", "psd-tools/transparentbg-gimp.psd",
                             "psd-tools/gray0.psd", "psd-tools/metadata.psd"}) {
        SCOPED_TRACE(name);
        TPSDGraphic g;
        ASSERT_NO_THROW(g.LoadFromFile(CorpusPath(std::string("psd/") + name)));
        EXPECT_TRUE(g.MergedTransparency());
        const Bytes& a = g.AlphaChannel();
        ASSERT_EQ(a.size(), static_cast<size_t>(g.Width()) * g.Height());
        EXPECT_GT(std::count(a.begin(), a.end(), 0), 0);
        EXPECT_GT(std::count(a.begin(), a.end(), 255), 0);
    }
    for (const char* name : {"psd-tools/cmyk-spot.psd", "psd-tools/0layers.psd",
                             "psd-tools/colormodes-4x4_8bit_rgb.psd", "pillow/hopper.psd"}) {
        SCOPED_TRACE(name);
        TPSDGraphic g;
        ASSERT_NO_THROW(g.LoadFromFile(CorpusPath(std::string("psd/") + name)));
        EXPECT_TRUE(g.AlphaChannel().empty());
    }
}
