// SPDX-License-Identifier: GPL-3.0-or-later
#include "PNGTestSupport.h"
#include "common/TestSupport.h"
#include "png/PNGDeflate.h"
#include "png/PNGFilters.h"
#include "png/PNGImage.h"
#include "toolkit/Icon.h"
#include "toolkit/Picture.h"

#include <algorithm>

#include <filesystem>
#include <map>
#include <random>
#include <set>

using namespace pngtest;

namespace {

std::string BaseName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// The message our exception carries for one of the codec's texts.
std::string Framed(const char* message) {
    return std::string("Portable Network Graphics format handler error\r\n\r\n") + message;
}

// Loads and returns the error text, or "" on success.
std::string LoadError(TPNGImage& image, const Bytes& file) {
    try {
        TReadOnlyMemoryStream s(file.data(), file.size());
        image.LoadFromStream(s);
        return "";
    } catch (const Exception& e) {
        return e.Message();
    }
}

std::string LoadError(const Bytes& file) {
    TPNGImage image;
    return LoadError(image, file);
}

// The first gAMA value standing before the first IDAT (what our reader applies), or 0.
uint32_t GammaBeforeData(const Bytes& file) {
    for (const TRawChunk& c : SplitChunks(file)) {
        if (c.Type == "IDAT") return 0;
        if (c.Type == "gAMA")
            return c.Data.size() >= 4 ? (uint32_t(c.Data[0]) << 24) | (c.Data[1] << 16) |
                                            (c.Data[2] << 8) | c.Data[3]
                                      : 0;
    }
    return 0;
}

// Compares our rendered colours and alpha with libpng's, through our gamma table.
void ExpectSameAsLibpng(const Bytes& file, const std::string& name) {
    TPNGImage image;
    ASSERT_EQ(LoadError(image, file), "") << name;
    TRefImage ref;
    ASSERT_TRUE(DecodeWithLibpng(file, ref, true)) << name << ": " << ref.Error;
    ASSERT_EQ(image.Width(), ref.Width) << name;
    ASSERT_EQ(image.Height(), ref.Height) << name;
    EXPECT_TRUE(image.PixelFormat() == pf1bit || image.PixelFormat() == pf4bit ||
                image.PixelFormat() == pf8bit || image.PixelFormat() == pf24bit)
        << name;
    uint8_t gamma[256];
    GammaTable(GammaBeforeData(file), gamma);
    std::vector<uint8_t> row(static_cast<size_t>(image.Width()) * 4);
    int wrong = 0;
    for (int y = 0; y < image.Height(); ++y) {
        image.GetRowBGRX(y, row.data());
        for (int x = 0; x < image.Width(); ++x) {
            const uint8_t* r = &ref.RGB[(static_cast<size_t>(y) * ref.Width + x) * 3];
            if (row[4 * x + 2] != gamma[r[0]] || row[4 * x + 1] != gamma[r[1]] ||
                row[4 * x] != gamma[r[2]])
                if (wrong++ < 3)
                    ADD_FAILURE() << name << " pixel " << x << "," << y << " ours "
                                  << int(row[4 * x + 2]) << "," << int(row[4 * x + 1]) << ","
                                  << int(row[4 * x]) << " libpng " << int(r[0]) << "," << int(r[1])
                                  << "," << int(r[2]);
        }
    }
    const std::vector<uint8_t>& alpha = image.AlphaChannel();
    bool refOpaque =
        std::all_of(ref.Alpha.begin(), ref.Alpha.end(), [](uint8_t a) { return a == 255; });
    if (alpha.empty())
        EXPECT_TRUE(refOpaque) << name << ": libpng has alpha, we attached none";
    else
        EXPECT_EQ(alpha, ref.Alpha) << name << ": alpha plane";
}

Bytes FileBytes(const std::string& relative) {
    return ReadFileBytes(CorpusPath(relative));
}

} // namespace

TEST(TPNGImageReader, EveryValidPngSuiteFileMatchesLibpng) {
    REQUIRE_CORPUS("pngsuite/png");
    int checked = 0;
    for (const std::string& path : CorpusFiles("pngsuite/png", {".png"})) {
        if (BaseName(path)[0] == 'x') continue;
        ExpectSameAsLibpng(ReadFileBytes(path), BaseName(path));
        ++checked;
    }
    EXPECT_EQ(checked, 161);
}

TEST(TPNGImageReader, CorruptPngSuiteFilesFailWithTheirMessage) {
    REQUIRE_CORPUS("pngsuite/png");
    const std::map<std::string, std::string> expected = {
        {"xs1n0g01.png", Framed(PNGMessages::InvalidHeader)},
        {"xs2n0g01.png", Framed(PNGMessages::InvalidHeader)},
        {"xs4n0g01.png", Framed(PNGMessages::InvalidHeader)},
        {"xs7n0g01.png", Framed(PNGMessages::InvalidHeader)},
        {"xcrn0g04.png", Framed(PNGMessages::InvalidHeader)},
        {"xlfn0g04.png", Framed(PNGMessages::InvalidHeader)},
        {"xhdn0g08.png", Framed(PNGMessages::CorruptedData)},
        {"xcsn0g01.png", Framed(PNGMessages::CorruptedData)},
        {"xc1n0g08.png", Framed(PNGMessages::UnknownColorType)},
        {"xc9n2c08.png", Framed(PNGMessages::UnknownColorType)},
        {"xd0n2c08.png", Framed(PNGMessages::UnknownColorType)},
        {"xd3n2c08.png", Framed(PNGMessages::UnknownColorType)},
        {"xd9n2c08.png", Framed(PNGMessages::UnknownColorType)},
        {"xdtn0g01.png", Framed(PNGMessages::NoData)},
    };
    int seen = 0;
    for (const std::string& path : CorpusFiles("pngsuite/png", {".png"})) {
        std::string name = BaseName(path);
        if (name[0] != 'x') continue;
        ++seen;
        auto it = expected.find(name);
        ASSERT_NE(it, expected.end()) << "unexpected corrupt file " << name;
        EXPECT_EQ(LoadError(ReadFileBytes(path)), it->second) << name;
    }
    EXPECT_EQ(seen, 14);
}

TEST(TPNGImageReader, GoTestFiles) {
    REQUIRE_CORPUS("png-extra/go");
    ExpectSameAsLibpng(FileBytes("png-extra/go/gray-gradient.png"), "gray-gradient");
    ExpectSameAsLibpng(FileBytes("png-extra/go/gray-gradient.interlaced.png"),
                       "gray-gradient.interlaced");
    EXPECT_EQ(LoadError(FileBytes("png-extra/go/invalid-crc32.png")),
              Framed(PNGMessages::CorruptedData));
    // This file ends inside its IEND chunk, before the CRC.
    EXPECT_EQ(LoadError(FileBytes("png-extra/go/invalid-trunc.png")),
              "The file is cut short: the PNG data ends inside a chunk.");
    // Damaged compressed data is the inflater's error.
    {
        TPNGImage image;
        TMemoryStream s(FileBytes("png-extra/go/invalid-zlib.png"));
        EXPECT_THROW(image.LoadFromStream(s), EZDecompressionError);
    }
    // Lenient: a file whose chunks simply end without IEND loads when its rows are complete.
    ExpectSameAsLibpng(FileBytes("png-extra/go/invalid-noend.png"), "invalid-noend");
    // Lenient: indexes past the palette read black instead of failing.
    TPNGImage image;
    ASSERT_EQ(LoadError(image, FileBytes("png-extra/go/invalid-palette.png")), "");
    bool sawBlackPastPalette = false;
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x) {
            int index = image.ScanLine(y)[x];
            if (index >= image.Palette().Count()) {
                EXPECT_EQ(image.Pixel(x, y), clBlack);
                sawBlackPastPalette = true;
            }
        }
    EXPECT_TRUE(sawBlackPastPalette);
}

TEST(TPNGImageReader, PixelFormatsAndPalettesFollowTheHeader) {
    REQUIRE_CORPUS("pngsuite/png");
    struct Case {
        const char* File;
        TPixelFormat Format;
        int PaletteCount;
    };
    for (const Case& c : {Case{"basn0g01.png", pf1bit, 2}, Case{"basn0g02.png", pf4bit, 16},
                          Case{"basn0g04.png", pf4bit, 16}, Case{"basn0g08.png", pf8bit, 256},
                          Case{"basn0g16.png", pf8bit, 256}, Case{"basn4a16.png", pf8bit, 256},
                          Case{"basn3p02.png", pf4bit, 16}, Case{"basn3p08.png", pf8bit, 256},
                          Case{"basn2c16.png", pf24bit, 0}, Case{"basn6a16.png", pf24bit, 0}}) {
        TPNGImage image;
        image.LoadFromFile(CorpusPath(std::string("pngsuite/png/") + c.File));
        EXPECT_EQ(image.PixelFormat(), c.Format) << c.File;
        EXPECT_EQ(image.Palette().Count(), c.PaletteCount) << c.File;
    }
    // 2-bit grey is stored as the 4-bit values 0, 5, 10 and 15.
    TPNGImage grey;
    grey.LoadFromFile(CorpusPath("pngsuite/png/basn0g02.png"));
    std::set<int> values;
    for (int y = 0; y < grey.Height(); ++y)
        for (int x = 0; x < grey.Width(); ++x)
            values.insert((grey.ScanLine(y)[x / 2] >> (x % 2 ? 0 : 4)) & 15);
    EXPECT_EQ(values, (std::set<int>{0, 5, 10, 15}));
    uint8_t gamma[256]; // the file has a gAMA of 1.0
    GammaTable(100000, gamma);
    EXPECT_EQ(grey.Palette()[5], (TPaletteEntry{gamma[85], gamma[85], gamma[85], 0}));
    EXPECT_EQ(grey.Palette()[1], (TPaletteEntry{0, 0, 0, 0}));
}

TEST(TPNGImageReader, SixteenBitGreyUnfiltersWithTwoByteDistance) {
    // Two pixels 0x1234, 0x5678 sent with Sub: the second sample is the
    // difference to the first, two bytes back.
    Bytes rows = {1, 0x12, 0x34, 0x56 - 0x12, 0x78 - 0x34};
    TPNGImage image;
    ASSERT_EQ(LoadError(image, MakePNG(IHDR(2, 1, 16, 0), rows)), "");
    EXPECT_EQ(image.ScanLine(0)[0], 0x12);
    EXPECT_EQ(image.ScanLine(0)[1], 0x56);
}

TEST(TPNGImageReader, InterlacedPassStartsWithZeroPriorRow) {
    // 8 x 1 grey, Adam7: passes 1, 2, 4 and 6 hold pixels {0}, {4}, {2, 6}, {1, 3, 5, 7}.
    // Pass 2 uses Up on its first row, which must see zeros above.
    Bytes rows = {0, 10, 2, 14, 0, 12, 16, 4, 11, 2, 2, 2};
    TPNGImage image;
    ASSERT_EQ(LoadError(image, MakePNG(IHDR(8, 1, 8, 0, 1), rows)), "");
    const uint8_t expected[8] = {10, 11, 12, 13, 14, 15, 16, 17};
    EXPECT_TRUE(std::equal(expected, expected + 8, image.ScanLine(0)));
}

TEST(TPNGImageReader, ChunkTypesAndIDATJoining) {
    Bytes raw = {0, 1, 2, 3, 0, 4, 5, 6}; // 3 x 2 grey, filter None
    Bytes z = Deflate(raw);
    Bytes a(z.begin(), z.begin() + 3), b(z.begin() + 3, z.begin() + 6), c(z.begin() + 6, z.end());
    Bytes file = Assemble({{"IHDR", IHDR(3, 2, 8, 0)},
                           {"IDAT", a},
                           {"tEXt", {'k', 0, 'v'}},
                           {"IDAT", b},
                           {"vpAg", {1, 2, 3}},
                           {"IDAT", c},
                           {"IEND", {}}});
    TPNGImage image;
    ASSERT_EQ(LoadError(image, file), "");
    EXPECT_EQ(image.ScanLine(1)[2], 6);
    // The data is joined into the first IDAT; the ancillary chunks stay in file order.
    std::vector<std::string> types;
    for (int i = 0; i < image.Chunks().Count(); ++i) {
        const TChunkType& t = image.Chunks()[i]->ChunkType;
        types.emplace_back(t.begin(), t.end());
    }
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "tEXt", "vpAg", "IEND"}));
    EXPECT_EQ(image.Chunks()[1]->Data(), z);
    EXPECT_EQ(image.Chunks()[3]->ClassType(), TChunk::StaticClass());

    // The same file with an unknown critical chunk fails.
    Bytes critical =
        Assemble({{"IHDR", IHDR(3, 2, 8, 0)}, {"ABCD", {}}, {"IDAT", z}, {"IEND", {}}});
    EXPECT_EQ(LoadError(critical), Framed(PNGMessages::UnknownCritical));
}

TEST(TPNGImageReader, EveryChangedDataByteFailsTheCrc) {
    Bytes file =
        MakePNG(IHDR(2, 2, 8, 3), {0, 0, 1, 0, 1, 0}, {{"PLTE", {0, 0, 0, 255, 255, 255}}});
    ASSERT_EQ(LoadError(file), "");
    size_t pos = 8;
    while (pos < file.size()) {
        uint32_t len =
            (file[pos] << 24) | (file[pos + 1] << 16) | (file[pos + 2] << 8) | file[pos + 3];
        for (size_t i = pos + 8; i < pos + 8 + len; ++i) {
            Bytes damaged = file;
            damaged[i] ^= 0x10;
            EXPECT_EQ(LoadError(damaged), Framed(PNGMessages::CorruptedData)) << "byte " << i;
        }
        pos += 12 + len;
    }
}

TEST(TPNGImageReader, EveryTruncationFailsCleanlyOrKeepsACompleteImage) {
    REQUIRE_CORPUS("pngsuite/png");
    for (const char* name : {"basn2c16.png", "basi3p02.png", "tbrn2c08.png"}) {
        Bytes file = FileBytes(std::string("pngsuite/png/") + name);
        // Everything up to the IEND chunk is needed: a cut anywhere earlier
        // fails, and a cut inside a chunk (after the signature) says so.
        size_t iend = file.size() - 12;
        const std::string cut = "The file is cut short: ";
        for (size_t n = 0; n < file.size(); ++n) {
            Bytes prefix(file.begin(), file.begin() + n);
            std::string error = LoadError(prefix);
            if (n < iend) {
                EXPECT_NE(error, "") << name << " cut at " << n;
            }
            if (n > 8 && n != iend) {
                EXPECT_EQ(error.rfind(cut, 0), 0u) << name << " cut at " << n << ": " << error;
            } else if (n == iend) {
                EXPECT_EQ(error, "") << name << " without IEND";
            }
        }
    }
}

TEST(TPNGImageReader, HeaderAndPaletteChecks) {
    Bytes rows = {0, 0};
    // Pairs outside the standard, zero sizes and rasters beyond the limit.
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 2, 4), rows)), Framed(PNGMessages::UnknownColorType));
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 4, 2), rows)), Framed(PNGMessages::UnknownColorType));
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 16, 3), rows)), Framed(PNGMessages::UnknownColorType));
    EXPECT_EQ(LoadError(MakePNG(IHDR(0, 1, 8, 0), rows)), Framed(PNGMessages::InvalidSize));
    EXPECT_EQ(LoadError(MakePNG(IHDR(0x80000000u, 1, 8, 0), rows)),
              Framed(PNGMessages::InvalidSize));
    EXPECT_EQ(LoadError(MakePNG(IHDR(100000, 100000, 8, 0), rows)), "Image too large");
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 0, 2), rows)), Framed(PNGMessages::UnknownInterlace));
    Bytes shortHeader = IHDR(1, 1, 8, 0);
    shortHeader.pop_back();
    EXPECT_EQ(LoadError(MakePNG(shortHeader, rows)), Framed(PNGMessages::InvalidIHDR));
    EXPECT_EQ(
        LoadError(Assemble({{"tEXt", {}}, {"IHDR", IHDR(1, 1, 8, 0)}, {"IDAT", Deflate(rows)}})),
        Framed(PNGMessages::NoIHDR));
    EXPECT_EQ(LoadError(Bytes{137, 80, 78}), Framed(PNGMessages::InvalidHeader));
    // A filter type past Paeth.
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 0), {5, 0})), Framed(PNGMessages::UnknownFilter));
    // Palettes: missing, not a multiple of 3, empty, more than 256 entries.
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 3), rows)), Framed(PNGMessages::MissingPalette));
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 3), rows, {{"PLTE", Bytes(4)}})),
              Framed(PNGMessages::InvalidPalette));
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 3), rows, {{"PLTE", {}}})),
              Framed(PNGMessages::InvalidPalette));
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 3), rows, {{"PLTE", Bytes(771)}})),
              Framed(PNGMessages::InvalidPalette));
    EXPECT_EQ(LoadError(MakePNG(IHDR(1, 1, 8, 3), rows, {{"PLTE", Bytes(768)}})), "");
    // A chunk length beyond the end of the file is refused before anything is allocated.
    Bytes huge = Assemble({{"IHDR", IHDR(1, 1, 8, 0)}});
    Bytes len = BE32(0x7FFFFFF0u);
    huge.insert(huge.end(), len.begin(), len.end());
    huge.insert(huge.end(), {'I', 'D', 'A', 'T', 0, 0, 0, 0});
    EXPECT_EQ(LoadError(huge), "The file is cut short: the PNG data ends inside a chunk.");
}

TEST(TPNGImageReader, GammaTables) {
    // 45455 is (almost) the display gamma: the tables are the identity within one step.
    TPNGImage image;
    auto* gamma = image.Chunks().Create<TChunkGAMA>();
    gamma->SetGamma(45455);
    gamma->BuildTables();
    for (int i = 0; i < 256; ++i) {
        EXPECT_LE(std::abs(gamma->GammaLookup[i] - i), 1) << i;
        EXPECT_LE(std::abs(gamma->InverseGammaLookup[i] - i), 1) << i;
    }
    // A strong gamma leaves values no input maps to; their inverse is the next lower one's.
    gamma->SetGamma(20000);
    gamma->BuildTables();
    uint8_t expected[256];
    GammaTable(20000, expected);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(gamma->GammaLookup[i], expected[i]);
    for (int v = 1; v < 256; ++v)
        EXPECT_GE(gamma->InverseGammaLookup[v], gamma->InverseGammaLookup[v - 1]);
    EXPECT_EQ(gamma->GammaLookup[gamma->InverseGammaLookup[expected[200]]], expected[200]);

    // In a file: the first gAMA before IDAT applies, one after it does not, 0 is ignored.
    Bytes rows = {0, 100};
    auto greyOf = [&](const std::vector<TRawChunk>& chunks) {
        TPNGImage img;
        EXPECT_EQ(LoadError(img, Assemble(chunks)), "");
        return GetRValue(img.Pixel(0, 0));
    };
    Bytes idat = Deflate(rows);
    GammaTable(100000, expected);
    EXPECT_EQ(
        greyOf({{"IHDR", IHDR(1, 1, 8, 0)}, {"gAMA", BE32(100000)}, {"IDAT", idat}, {"IEND", {}}}),
        expected[100]);
    EXPECT_EQ(
        greyOf({{"IHDR", IHDR(1, 1, 8, 0)}, {"IDAT", idat}, {"gAMA", BE32(100000)}, {"IEND", {}}}),
        100);
    EXPECT_EQ(greyOf({{"IHDR", IHDR(1, 1, 8, 0)}, {"gAMA", BE32(0)}, {"IDAT", idat}, {"IEND", {}}}),
              100);
    EXPECT_EQ(greyOf({{"IHDR", IHDR(1, 1, 8, 0)}, {"gAMA", {1}}, {"IDAT", idat}, {"IEND", {}}}),
              100);
}

TEST(TPNGImageReader, TruecolourTransparency) {
    // 8-bit: the key is the colour; 16-bit: the high bytes; a short tRNS is ignored.
    Bytes rows8 = {0, 10, 20, 30, 1, 2, 3};
    TPNGImage image;
    ASSERT_EQ(LoadError(image, MakePNG(IHDR(2, 1, 8, 2), rows8, {{"tRNS", {0, 10, 0, 20, 0, 30}}})),
              "");
    EXPECT_TRUE(image.Transparent());
    EXPECT_EQ(image.TransparentColor(), RGBColor(10, 20, 30));
    EXPECT_EQ(image.AlphaChannel(), (std::vector<uint8_t>{0, 255}));

    Bytes rows16 = {0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    ASSERT_EQ(LoadError(image, MakePNG(IHDR(1, 1, 16, 2), rows16,
                                       {{"tRNS", {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}}})),
              "");
    EXPECT_TRUE(image.Transparent());
    EXPECT_EQ(image.TransparentColor(), RGBColor(0x12, 0x56, 0x9A));
    EXPECT_EQ(image.AlphaChannel(), (std::vector<uint8_t>{0}));

    ASSERT_EQ(LoadError(image, MakePNG(IHDR(2, 1, 8, 2), rows8, {{"tRNS", {0, 10, 0, 20}}})), "");
    EXPECT_FALSE(image.Transparent());
    EXPECT_TRUE(image.AlphaChannel().empty());
    // A palette image's tRNS gives alpha but no transparent colour.
    ASSERT_EQ(
        LoadError(image, MakePNG(IHDR(1, 1, 8, 3), {0, 0}, {{"PLTE", {1, 2, 3}}, {"tRNS", {7}}})),
        "");
    EXPECT_FALSE(image.Transparent());
    EXPECT_EQ(image.AlphaChannel(), (std::vector<uint8_t>{7}));
}

TEST(TPNGImageReader, ProgressReportsRowsAndPasses) {
    REQUIRE_CORPUS("pngsuite/png");
    for (const char* name : {"basn0g08.png", "basi0g08.png"}) {
        TPNGImage image;
        std::vector<int> percents;
        image.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect&,
                               const std::string& msg) {
            EXPECT_EQ(stage, psRunning);
            EXPECT_EQ(msg, "Drawing...");
            percents.push_back(percent);
        };
        image.LoadFromFile(CorpusPath(std::string("pngsuite/png/") + name));
        if (name[3] == 'n') {
            ASSERT_EQ(percents.size(), 32u);
            EXPECT_EQ(percents[1], 3);
            EXPECT_EQ(percents.back(), 96);
        } else {
            EXPECT_EQ(percents, (std::vector<int>{0, 16, 33, 50, 66, 83, 100}));
        }
    }
}

TEST(TPNGImageReader, RegisteredForPngFiles) {
    RegisterPNGFormat();
    EXPECT_EQ(TPicture::ClassForExtension("png"), TPNGImage::StaticClass());
    UnregisterPNGFormat();
    EXPECT_NE(TPicture::ClassForExtension("png"), TPNGImage::StaticClass());
}

TEST(TPNGImageReader, FuzzRegressionInputsFailCleanly) {
    const std::vector<std::string> inputs = KeptFuzzInputs("png");
    ASSERT_FALSE(inputs.empty());
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        TPNGImage image;
        Bytes data = ReadFileBytes(path);
        try {
            TReadOnlyMemoryStream s(data.data(), data.size());
            image.LoadFromStream(s);
        } catch (const Exception&) {
        }
    }
}

TEST(TPNGImageReader, HostileSizesAreRefusedOrBounded) {
    const std::string dir = "fuzz/regressions/png/";
    // 16384 x 16384 pixels claimed by a few bytes: refused before the raster exists.
    TPNGImage image;
    TMemoryStream huge(ReadFileBytes(dir + "huge-header-tiny-data.png"));
    try {
        image.LoadFromStream(huge);
        ADD_FAILURE() << "loaded";
    } catch (const EImageTooLarge& e) {
        EXPECT_STREQ(e.what(),
                     "The file is too small for its declared size of 16384 x 16384 pixels.");
    }
    EXPECT_EQ(image.Width(), 0);
    // Megabytes of extra data after the only row are ignored without being inflated.
    TMemoryStream bomb(ReadFileBytes(dir + "trailing-inflate-bomb.png"));
    image.LoadFromStream(bomb);
    EXPECT_EQ(image.Width(), 1);
    // Interlaced 2-bit data indexing past a 3-entry palette reads black there.
    TMemoryStream shortPalette(ReadFileBytes(dir + "interlaced-2bit-short-palette.png"));
    image.LoadFromStream(shortPalette);
    EXPECT_EQ(image.PixelFormat(), pf4bit);
    EXPECT_EQ(image.Pixel(0, 0), clBlack);
    EXPECT_EQ(image.Palette()[10], (TPaletteEntry{7, 8, 9, 0}));
}

TEST(TPNGImageReader, IconsWithPngEntriesLoadThroughTheCodec) {
    REQUIRE_CORPUS("ico/image-rs");
    RegisterPNGFormat();
    for (const char* name : {"ico/image-rs/png-32bpp-alpha.ico", "ico/image-rs/png_rgb8.ico",
                             "ico/image-rs/png_l8.ico", "ico/pillow/hopper_draw.ico"}) {
        Bytes file = FileBytes(name);
        static const uint8_t sig[4] = {0x89, 'P', 'N', 'G'};
        auto at = std::search(file.begin(), file.end(), sig, sig + 4);
        ASSERT_NE(at, file.end()) << name;
        TRefImage ref;
        ASSERT_TRUE(DecodeWithLibpng(Bytes(at, file.end()), ref, true)) << name << ref.Error;
        TIcon icon;
        icon.LoadFromFile(CorpusPath(name));
        const TBitmap& image = icon.Image();
        ASSERT_EQ(image.Width(), ref.Width) << name;
        ASSERT_EQ(image.Height(), ref.Height) << name;
        int wrong = 0;
        for (int y = 0; y < ref.Height; ++y)
            for (int x = 0; x < ref.Width; ++x) {
                const uint8_t* p = image.ScanLine(y) + 4 * x;
                const size_t i = static_cast<size_t>(y) * ref.Width + x;
                if (p[2] != ref.RGB[3 * i] || p[1] != ref.RGB[3 * i + 1] ||
                    p[0] != ref.RGB[3 * i + 2] || p[3] != ref.Alpha[i])
                    ++wrong;
            }
        EXPECT_EQ(wrong, 0) << name;
    }
    UnregisterPNGFormat();
}

TEST(TPNGImageReader, VectorUnfilterGivesTheBytesOfThePlainOne) {
    // Random filtered bytes and prior rows reach every branch of the Paeth
    // predictor and every carry of the average; rows of 1 to 40 pixels.
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> byte(0, 255);
    for (size_t bpp : {size_t(3), size_t(4)})
        for (size_t pixels : {size_t(1), size_t(2), size_t(5), size_t(16), size_t(40)})
            for (uint8_t type : {ftSub, ftAverage, ftPaeth}) {
                const size_t len = pixels * bpp;
                for (int trial = 0; trial < 20; ++trial) {
                    std::vector<uint8_t> row(len), prior(len);
                    for (size_t i = 0; i < len; ++i) {
                        // Half the trials from a few values, so ties are common.
                        row[i] = static_cast<uint8_t>(trial % 2 ? byte(rng) : byte(rng) % 3 * 127);
                        prior[i] =
                            static_cast<uint8_t>(trial % 2 ? byte(rng) : byte(rng) % 3 * 127);
                    }
                    std::vector<uint8_t> plain = row;
                    UnfilterRowScalar(type, plain.data(), prior.data(), len, bpp);
                    UnfilterRow(type, row.data(), prior.data(), len, bpp);
                    ASSERT_EQ(row, plain)
                        << "type " << int(type) << " bpp " << bpp << " pixels " << pixels;
                }
            }
}
