// SPDX-License-Identifier: GPL-3.0-or-later
// BMP reading against the public suites (QImage as the independent decoder)
// and BMP writing against the exact layout we promise.
#include "base/Exceptions.h"
#include "common/TestSupport.h"
#include "toolkit/Bitmap.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#ifdef TREVASCO_HAVE_QTGUI
#include <QImage>
#endif

namespace {

TBitmap LoadBytes(const std::vector<uint8_t>& bytes) {
    TBitmap b;
    LoadBitmapFile(b, bytes.data(), bytes.size());
    return b;
}

TBitmap LoadPath(const std::string& path) {
    return LoadBytes(ReadFileBytes(path));
}

std::string Name(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// Little-endian writer for hand-made files.
struct TBytes {
    std::vector<uint8_t> D;
    TBytes& U8(uint32_t v) {
        D.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    TBytes& U16(uint32_t v) { return U8(v).U8(v >> 8); }
    TBytes& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    TBytes& Raw(const std::vector<uint8_t>& v) {
        D.insert(D.end(), v.begin(), v.end());
        return *this;
    }
};

struct TDib {
    int Width = 1, Height = 1, Bits = 8;
    uint32_t Compression = 0;
    uint32_t HeaderSize = 40;
    std::vector<uint32_t> Palette; // 0x00RRGGBB
    std::vector<uint32_t> Masks;   // written after a 40-byte header or inside V4/V5
    std::vector<uint8_t> Pixels;   // as stored in the file
    uint32_t ClrUsed = 0;
    bool FileHeader = true;

    std::vector<uint8_t> Build() const {
        const uint32_t afterHeader = 14 * FileHeader + HeaderSize;
        const uint32_t masksOut = HeaderSize == 40 ? static_cast<uint32_t>(Masks.size()) * 4 : 0;
        const uint32_t off = afterHeader + masksOut + static_cast<uint32_t>(Palette.size()) * 4;
        TBytes b;
        if (FileHeader)
            b.U8('B').U8('M').U32(off + static_cast<uint32_t>(Pixels.size())).U32(0).U32(off);
        b.U32(HeaderSize).U32(Width).U32(static_cast<uint32_t>(Height)).U16(1).U16(Bits);
        b.U32(Compression)
            .U32(static_cast<uint32_t>(Pixels.size()))
            .U32(0)
            .U32(0)
            .U32(ClrUsed)
            .U32(0);
        if (HeaderSize > 40) {
            for (size_t i = 0; i < 4; ++i)
                b.U32(i < Masks.size() ? Masks[i] : 0);
            while (b.D.size() < afterHeader)
                b.U8(0);
        } else {
            for (uint32_t m : Masks)
                b.U32(m);
        }
        for (uint32_t c : Palette)
            b.U32(c);
        return b.Raw(Pixels).D;
    }
};

#ifdef TREVASCO_HAVE_QTGUI
// Compares our colours with QImage's; where the file carries alpha, compares it too.
// Qt widens 5- and 6-bit fields by shifting (31 -> 248) where we scale (31 -> 255);
// shiftedBits names such fields (red, green, blue) so the reference is rescaled.
void ExpectSameAsImage(const TBitmap& ours, const QImage& ref, const std::string& what,
                       std::array<int, 3> shiftedBits = {8, 8, 8}) {
    std::array<std::array<uint8_t, 256>, 3> fix;
    for (int c = 0; c < 3; ++c) {
        const int n = shiftedBits[c], max = (1 << n) - 1;
        for (int v = 0; v < 256; ++v)
            fix[c][v] = static_cast<uint8_t>(n >= 8 ? v : ((v >> (8 - n)) * 510 + max) / (2 * max));
    }
    ASSERT_FALSE(ref.isNull()) << what;
    ASSERT_EQ(ours.Width(), ref.width()) << what;
    ASSERT_EQ(ours.Height(), ref.height()) << what;
    const QImage img = ref.convertToFormat(QImage::Format_ARGB32);
    std::vector<uint8_t> row(static_cast<size_t>(ours.Width()) * 4);
    const auto& alpha = ours.AlphaChannel();
    // An alpha field that is zero everywhere is read as unused (opaque), where
    // some decoders show a fully transparent picture: compare colours then.
    bool refAllClear = true;
    for (int y = 0; y < img.height() && refAllClear; ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) != 0) {
                refAllClear = false;
                break;
            }
    int bad = 0;
    for (int y = 0; y < ours.Height() && bad < 5; ++y) {
        ours.GetRowBGRX(y, row.data());
        const QRgb* r = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < ours.Width() && bad < 5; ++x) {
            const int a = alpha.empty() ? 255 : alpha[static_cast<size_t>(y) * ours.Width() + x];
            const int qa = refAllClear && alpha.empty() ? 255 : qAlpha(r[x]);
            const int qr = fix[0][qRed(r[x])], qg = fix[1][qGreen(r[x])], qb = fix[2][qBlue(r[x])];
            const bool same =
                a == qa &&
                (qa == 0 || (row[4 * x + 2] == qr && row[4 * x + 1] == qg && row[4 * x] == qb));
            if (!same) {
                ++bad;
                ADD_FAILURE() << what << " pixel " << x << "," << y << ": ours "
                              << int(row[4 * x + 2]) << "," << int(row[4 * x + 1]) << ","
                              << int(row[4 * x]) << " a" << a << ", reference " << qRed(r[x]) << ","
                              << qGreen(r[x]) << "," << qBlue(r[x]) << " a" << qa;
            }
        }
    }
}

QImage DecodeWithQt(const std::vector<uint8_t>& bytes, const char* format = "BMP") {
    return QImage::fromData(bytes.data(), static_cast<int>(bytes.size()), format);
}
#endif

} // namespace

// ---- The public suites -------------------------------------------------------

TEST(BitmapFileCorpus, EveryGoodSuiteFileMatchesAnIndependentDecoder) {
    REQUIRE_CORPUS("bmpsuite/g");
    const auto files = CorpusFiles("bmpsuite/g", {".bmp"});
    ASSERT_EQ(files.size(), 27u);
    for (const auto& f : files) {
        SCOPED_TRACE(Name(f));
        TBitmap b;
        ASSERT_NO_THROW(b = LoadPath(f));
#ifdef TREVASCO_HAVE_QTGUI
        const std::string n = Name(f);
        std::array<int, 3> bits = {8, 8, 8};
        if (n.rfind("rgb16-565", 0) == 0)
            bits = {5, 6, 5};
        else if (n.rfind("rgb16", 0) == 0)
            bits = {5, 5, 5};
        ExpectSameAsImage(b, DecodeWithQt(ReadFileBytes(f)), n, bits);
#endif
    }
}

TEST(BitmapFileCorpus, EveryBadSuiteFileFailsCleanly) {
    REQUIRE_CORPUS("bmpsuite/b");
    // Indexes past the palette read black by the palette rule: loading it is the lenient choice.
    const std::set<std::string> lenient = {"pal8badindex.bmp"};
    for (const auto& f : CorpusFiles("bmpsuite/b", {".bmp"})) {
        if (lenient.count(Name(f))) {
            EXPECT_NO_THROW(LoadPath(f)) << Name(f);
            continue;
        }
        EXPECT_THROW(LoadPath(f), EInvalidGraphic) << Name(f);
    }
}

TEST(BitmapFileCorpus, QuestionableSuiteFilesLoadOrFailWithAReason) {
    REQUIRE_CORPUS("bmpsuite/q");
    // Everything but JPEG/PNG inside BMP, Huffman, RLE24 and 64 bits is read.
    const std::map<std::string, std::string> unsupported = {
        {"rgb24jpeg.bmp", "JPEG-compressed bitmaps are not supported"},
        {"rgb24png.bmp", "PNG-compressed bitmaps are not supported"},
        {"pal1huffmsb.bmp", "Huffman-compressed bitmaps are not supported"},
        {"rgb24rle24.bmp", "RLE24-compressed bitmaps are not supported"},
        {"rgba64.bmp", "64-bit bitmaps are not supported"},
    };
    std::map<std::string, std::string> refused;
    const auto files = CorpusFiles("bmpsuite/q", {".bmp"});
    EXPECT_EQ(files.size(), 43u);
    for (const auto& f : files) {
        try {
            LoadPath(f);
        } catch (const EInvalidGraphic& e) {
            refused[Name(f)] = e.what();
        }
    }
    EXPECT_EQ(refused, unsupported);
}

TEST(BitmapFileCorpus, ExtraFilesMatchTheirReferenceRenderings) {
    REQUIRE_CORPUS("bmp-extra");
#ifndef TREVASCO_HAVE_QTGUI
    GTEST_SKIP() << "needs QImage to decode the reference PNGs";
#else
    int compared = 0;
    for (const std::string dir :
         {"bmp-extra/image-rs", "bmp-extra/go-x-image", "bmp-extra/pillow"}) {
        for (const auto& f : CorpusFiles(dir, {".bmp", ".dib"})) {
            const std::string stem = std::filesystem::path(f).stem().string();
            std::string ref = CorpusPath(dir + "/reference-png/" + Name(f) + ".png");
            if (!std::filesystem::exists(ref))
                ref = CorpusPath(dir + "/reference-png/" + stem + ".png");
            if (Name(f) == "clipboard.dib")
                ref = CorpusPath(dir + "/reference-png/clipboard_target.png");
            if (!std::filesystem::exists(ref)) continue;
            SCOPED_TRACE(Name(f));
            TBitmap b;
            ASSERT_NO_THROW(b = LoadPath(f));
            ExpectSameAsImage(b, DecodeWithQt(ReadFileBytes(ref), "PNG"), Name(f));
            ++compared;
        }
    }
    EXPECT_GE(compared, 40);
    std::printf("[ compared ] %d files with their reference renderings\n", compared);
#endif
}

TEST(BitmapFileCorpus, MalformedExtraFilesFailCleanly) {
    REQUIRE_CORPUS("bmp-extra");
    std::vector<std::string> files = CorpusFiles("bmp-extra/image-rs/bad", {".bmp"});
    for (const char* f :
         {"pillow/l2rgb_read.bmp", "pillow/mmap_error.bmp", "pillow/hopper_rle8_row_overflow.bmp"})
        files.push_back(CorpusPath(std::string("bmp-extra/") + f));
    ASSERT_EQ(files.size(), 7u);
    for (const auto& f : files)
        EXPECT_THROW(LoadPath(f), EInvalidGraphic) << Name(f);
    // Slightly broken files may load; they must never do harm.
    std::vector<std::string> lenient = CorpusFiles("bmp-extra/image-rs/lenient", {".bmp"});
    lenient.push_back(
        CorpusPath("bmp-extra/image-rs/imagemagick_invalid_run_length_issue_2321.bmp"));
    for (const auto& f : lenient) {
        try {
            LoadPath(f);
        } catch (const EInvalidGraphic&) {
        }
    }
}

TEST(BitmapFileCorpus, ChoosesALosslessPixelFormat) {
    REQUIRE_CORPUS("bmpsuite/g");
    const std::map<std::string, TPixelFormat> expected = {
        {"g/pal1.bmp", pf1bit},         {"g/pal4rle.bmp", pf4bit},    {"g/pal8os2.bmp", pf8bit},
        {"g/rgb16.bmp", pf15bit},       {"g/rgb16-565.bmp", pf16bit}, {"g/rgb24.bmp", pf24bit},
        {"g/rgb32bf.bmp", pf32bit},     {"q/pal2.bmp", pf4bit},       {"q/rgb16-231.bmp", pf24bit},
        {"q/rgba16-4444.bmp", pf24bit},
    };
    for (const auto& [file, format] : expected)
        EXPECT_EQ(LoadPath(CorpusPath("bmpsuite/" + file)).PixelFormat(), format) << file;
    // 12 palette entries declared, 12 kept (the rest reads black).
    EXPECT_EQ(LoadPath(CorpusPath("bmpsuite/g/pal4.bmp")).Palette().Count(), 12);
    // Alpha from a bit field lands in the alpha plane.
    const TBitmap a = LoadPath(CorpusPath("bmpsuite/q/rgba32-1.bmp"));
    ASSERT_EQ(a.AlphaChannel().size(), size_t(a.Width()) * a.Height());
}

// ---- Hand-made files: the variants the suites do not pin down ----------------

TEST(BitmapFileRead, TwoBitPixelsBecomeFourBitKeepingThePalette) {
    TDib d;
    d.Width = 5;
    d.Bits = 2;
    d.Palette = {0x102030, 0x405060, 0x708090, 0xA0B0C0};
    d.Pixels = {0b00011011, 0b10000000, 0, 0}; // 0 1 2 3 2
    const TBitmap b = LoadBytes(d.Build());
    ASSERT_EQ(b.PixelFormat(), pf4bit);
    EXPECT_EQ(b.Palette().Count(), 4);
    EXPECT_EQ(b.ScanLine(0)[0], 0x01);
    EXPECT_EQ(b.ScanLine(0)[1], 0x23);
    EXPECT_EQ(b.ScanLine(0)[2] >> 4, 2);
    EXPECT_EQ(b.Pixel(3, 0), RGBColor(0xA0, 0xB0, 0xC0));
}

TEST(BitmapFileRead, ShortPaletteIndexesPastTheCountReadBlack) {
    TDib d;
    d.Width = 2;
    d.Palette = {0xFFFFFF};
    d.ClrUsed = 1;
    d.Pixels = {0, 7, 0, 0};
    const TBitmap b = LoadBytes(d.Build());
    EXPECT_EQ(b.Palette().Count(), 1);
    EXPECT_EQ(b.Pixel(0, 0), clWhite);
    EXPECT_EQ(b.Pixel(1, 0), clBlack);
}

TEST(BitmapFileRead, BitFieldsOfAnyWidthAreWidenedByRounding) {
    // 16 bits: red 2 bits (14-15), green 3 bits (11-13), blue 1 bit (10), alpha 4 bits (0-3).
    TDib d;
    d.Width = 2;
    d.Bits = 16;
    d.Compression = 3;
    d.HeaderSize = 56;
    d.Masks = {0xC000, 0x3800, 0x0400, 0x000F};
    const uint16_t p0 = (1 << 14) | (3 << 11) | (1 << 10) | 5, p1 = (3 << 14) | 0x0A;
    d.Pixels = {uint8_t(p0), uint8_t(p0 >> 8), uint8_t(p1), uint8_t(p1 >> 8)};
    const TBitmap b = LoadBytes(d.Build());
    ASSERT_EQ(b.PixelFormat(), pf24bit);
    EXPECT_EQ(b.Pixel(0, 0), RGBColor(85, 109, 255)); // round(1*255/3), round(3*255/7)
    EXPECT_EQ(b.Pixel(1, 0), RGBColor(255, 0, 0));
    ASSERT_EQ(b.AlphaChannel().size(), 2u);
    EXPECT_EQ(b.AlphaChannel()[0], 85);  // round(5*255/15)
    EXPECT_EQ(b.AlphaChannel()[1], 170); // round(10*255/15)
}

TEST(BitmapFileRead, MasksWithoutAColourOrOverlappingAreRefused) {
    TDib d;
    d.Bits = 32;
    d.Compression = 3;
    d.Pixels = {1, 2, 3, 4};
    for (std::vector<uint32_t> masks : {std::vector<uint32_t>{0xFF0000, 0xFF00, 0},
                                        {0xFF0000, 0xFFFF00, 0xFF},
                                        {0xF0F000, 0xFF00, 0xFF}}) {
        d.Masks = masks;
        EXPECT_THROW(LoadBytes(d.Build()), EInvalidGraphic);
    }
}

TEST(BitmapFileRead, ClipboardDibWithoutFileHeader) {
    TDib d;
    d.FileHeader = false;
    d.Width = 1;
    d.Bits = 24;
    d.Pixels = {0x10, 0x20, 0x30, 0};
    EXPECT_EQ(LoadBytes(d.Build()).Pixel(0, 0), RGBColor(0x30, 0x20, 0x10));
    // Something that merely starts like a header size is no bitmap.
    EXPECT_THROW(LoadBytes({40, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), EInvalidGraphic);
}

TEST(BitmapFileRead, HeaderFieldsAreCheckedAgainstTheData) {
    TDib d;
    d.Width = 4;
    d.Height = 4;
    d.Bits = 24;
    d.Pixels.assign(48, 0);
    const std::vector<uint8_t> good = d.Build();
    ASSERT_NO_THROW(LoadBytes(good));
    auto patched = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> f = good;
        std::memcpy(&f[at], &v, 4);
        return f;
    };
    EXPECT_THROW(LoadBytes(std::vector<uint8_t>(good.begin(), good.end() - 13)), EInvalidGraphic);
    EXPECT_THROW(LoadBytes(patched(2, 1000)), EInvalidGraphic);        // file size beyond the data
    EXPECT_THROW(LoadBytes(patched(10, 12)), EInvalidGraphic);         // pixels inside the header
    EXPECT_THROW(LoadBytes(patched(10, 4000)), EInvalidGraphic);       // pixels beyond the end
    EXPECT_THROW(LoadBytes(patched(34, 0x7FFFFFF0)), EInvalidGraphic); // image size beyond the data
    EXPECT_THROW(LoadBytes(patched(18, 0x40000000)), EImageTooLarge);  // width past the pixel limit
    EXPECT_THROW(LoadBytes(patched(14, 41)), EInvalidGraphic);         // unknown header size
    EXPECT_THROW(LoadBytes({'B', 'M'}), EInvalidGraphic);
    EXPECT_THROW(LoadBytes({}), EInvalidGraphic);
}

TEST(BitmapFileRead, AFailedLoadLeavesTheBitmapAsItWas) {
    TBitmap b(3, 2, pf8bit);
    b.SetPixel(1, 1, clBlack);
    const std::vector<uint8_t> bad = {'B', 'M', 0, 0, 0, 0};
    EXPECT_THROW(LoadBitmapFile(b, bad.data(), bad.size()), EInvalidGraphic);
    EXPECT_EQ(b.Width(), 3);
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_EQ(b.Pixel(1, 1), clBlack);
}

// ---- Run-length data ---------------------------------------------------------

namespace {
TDib Rle(int bits, int w, int h, std::vector<uint8_t> codes) {
    TDib d;
    d.Width = w;
    d.Height = h;
    d.Bits = bits;
    d.Compression = bits == 8 ? 1 : 2;
    for (uint32_t i = 0; i < (1u << bits); ++i)
        d.Palette.push_back(i * 0x010101);
    d.Pixels = std::move(codes);
    return d;
}
std::vector<int> Indexes(const TBitmap& b, int y) {
    std::vector<int> out;
    for (int x = 0; x < b.Width(); ++x) {
        const uint8_t* r = b.ScanLine(y);
        out.push_back(b.BitsPerPixel() == 8 ? r[x] : (x & 1 ? r[x / 2] & 15 : r[x / 2] >> 4));
    }
    return out;
}
} // namespace

TEST(BitmapFileRle, EightBitRunsAbsoluteRunsDeltaAndEnd) {
    // Bottom row: run of 2 x 5, absolute 3 bytes (padded), EOL; then delta (1,1) and a run.
    const TDib d = Rle(8, 5, 3, {2, 5, 0, 3, 7, 8, 9, 0, 0, 0, 0, 2, 1, 1, 1, 4, 0, 1});
    const TBitmap b = LoadBytes(d.Build());
    EXPECT_EQ(Indexes(b, 2), (std::vector<int>{5, 5, 7, 8, 9}));
    EXPECT_EQ(Indexes(b, 1), (std::vector<int>{0, 0, 0, 0, 0})); // skipped: index 0
    EXPECT_EQ(Indexes(b, 0), (std::vector<int>{0, 4, 0, 0, 0}));
}

TEST(BitmapFileRle, FourBitRunsAlternateNibbles) {
    // Run of 5 with colours 1/2, then an odd absolute run of 3 (2 bytes, padded to 2).
    const TDib d = Rle(4, 8, 1, {5, 0x12, 0, 3, 0xAB, 0xC0, 0, 1});
    const TBitmap b = LoadBytes(d.Build());
    EXPECT_EQ(Indexes(b, 0), (std::vector<int>{1, 2, 1, 2, 1, 10, 11, 12}));
}

TEST(BitmapFileRle, RunsPastTheRowEndAreDamagedData) {
    // Width 3 pads to 4 pixels: a run into the padding is tolerated and dropped.
    const TBitmap b = LoadBytes(Rle(8, 3, 2, {4, 9, 0, 0, 0, 2, 4, 0, 0, 2, 0, 9, 0, 1}).Build());
    EXPECT_EQ(Indexes(b, 1), (std::vector<int>{9, 9, 9}));
    EXPECT_EQ(Indexes(b, 0), (std::vector<int>{0, 0, 0})); // a delta below the picture ends it
    EXPECT_THROW(LoadBytes(Rle(8, 3, 1, {5, 9, 0, 1}).Build()), EInvalidGraphic);
    EXPECT_THROW(LoadBytes(Rle(8, 3, 1, {0, 5, 1, 2, 3, 4, 5, 0, 0, 1}).Build()), EInvalidGraphic);
    EXPECT_THROW(LoadBytes(Rle(8, 3, 2, {0, 2, 5, 0, 0, 1}).Build()), EInvalidGraphic);
    EXPECT_THROW(LoadBytes(Rle(4, 3, 1, {9, 0x12, 0, 1}).Build()), EInvalidGraphic);
}

TEST(BitmapFileRle, DataEndingBeforeThePictureFails) {
    EXPECT_THROW(LoadBytes(Rle(8, 4, 2, {4, 1, 0, 0}).Build()), EInvalidGraphic);
    EXPECT_THROW(LoadBytes(Rle(8, 4, 2, {4, 1, 0, 0, 0, 9, 1}).Build()), EInvalidGraphic);
    // A picture completed by end-of-line codes needs no end-of-bitmap.
    EXPECT_NO_THROW(LoadBytes(Rle(8, 4, 2, {4, 1, 0, 0, 4, 2, 0, 0}).Build()));
}

// ---- Writing -----------------------------------------------------------------

namespace {
uint32_t Le32(const std::vector<uint8_t>& d, size_t at) {
    return d[at] | (d[at + 1] << 8) | (d[at + 2] << 16) | (uint32_t(d[at + 3]) << 24);
}
uint16_t Le16(const std::vector<uint8_t>& d, size_t at) {
    return uint16_t(d[at] | (d[at + 1] << 8));
}
} // namespace

TEST(BitmapFileWrite, EveryPixelFormatHasTheDocumentedLayout) {
    struct TCase {
        TPixelFormat Format;
        uint16_t Bits;
        uint32_t Compression, Offset, Colours;
    };
    const TCase cases[] = {
        {pfDevice, 32, 0, 54, 0},  {pf1bit, 1, 0, 62, 2},   {pf4bit, 4, 0, 118, 16},
        {pf8bit, 8, 0, 1078, 256}, {pf15bit, 16, 0, 54, 0}, {pf16bit, 16, 3, 66, 0},
        {pf24bit, 24, 0, 54, 0},   {pf32bit, 32, 0, 54, 0},
    };
    const TColor colours[4] = {clBlack, clWhite, RGBColor(255, 0, 0), RGBColor(0, 0, 255)};
    for (const TCase& c : cases) {
        SCOPED_TRACE(int(c.Format));
        TBitmap b;
        b.SetPixelFormat(c.Format);
        b.SetSize(5, 3);
        for (int i = 0; i < 4; ++i)
            b.SetPixel(i, i % 3, colours[i]);
        TMemoryStream m;
        b.SaveToStream(m);
        const std::vector<uint8_t>& f = m.Data();
        const uint32_t stride = static_cast<uint32_t>(TBitmap::StrideOf(5, c.Bits));
        ASSERT_EQ(f.size(), c.Offset + stride * 3);
        EXPECT_EQ(Le16(f, 0), 0x4D42);
        EXPECT_EQ(Le32(f, 2), f.size());
        EXPECT_EQ(Le32(f, 6), 0u);
        EXPECT_EQ(Le32(f, 10), c.Offset);
        EXPECT_EQ(Le32(f, 14), 40u);
        EXPECT_EQ(Le32(f, 18), 5u);
        EXPECT_EQ(Le32(f, 22), 3u);
        EXPECT_EQ(Le16(f, 26), 1);
        EXPECT_EQ(Le16(f, 28), c.Bits);
        EXPECT_EQ(Le32(f, 30), c.Compression);
        EXPECT_EQ(Le32(f, 34), stride * 3);
        EXPECT_EQ(Le32(f, 38), 0u);
        EXPECT_EQ(Le32(f, 42), 0u);
        EXPECT_EQ(Le32(f, 46), c.Colours);
        EXPECT_EQ(Le32(f, 50), 0u);
        if (c.Compression == 3) {
            EXPECT_EQ(Le32(f, 54), 0xF800u);
            EXPECT_EQ(Le32(f, 58), 0x07E0u);
            EXPECT_EQ(Le32(f, 62), 0x001Fu);
        }
        for (uint32_t i = 0; i < c.Colours; ++i) {
            const TPaletteEntry& e = b.Palette()[static_cast<int>(i)];
            EXPECT_EQ(Le32(f, 54 + 4 * i), uint32_t(e.Blue | (e.Green << 8) | (e.Red << 16)));
        }
        // Read back by us (same format, same colours) and by QImage.
        const TBitmap back = LoadBytes(f);
        EXPECT_EQ(back.PixelFormat(), c.Format == pfDevice ? pf32bit : c.Format);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(back.Pixel(i, i % 3), b.Pixel(i, i % 3));
#ifdef TREVASCO_HAVE_QTGUI
        ExpectSameAsImage(back, DecodeWithQt(f), "written file",
                          c.Format == pf15bit   ? std::array<int, 3>{5, 5, 5}
                          : c.Format == pf16bit ? std::array<int, 3>{5, 6, 5}
                                                : std::array<int, 3>{8, 8, 8});
#endif
    }
}

TEST(BitmapFileWrite, IndexedFilesCarryTheDocumentedColours) {
    TBitmap one(1, 1, pf1bit), four(1, 1, pf4bit);
    TMemoryStream m1, m4;
    one.SaveToStream(m1);
    four.SaveToStream(m4);
    EXPECT_EQ(Le32(m1.Data(), 54), 0x000000u); // black, then white
    EXPECT_EQ(Le32(m1.Data(), 58), 0xFFFFFFu);
    const uint32_t system16[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                   0x008080, 0x808080, 0xC0C0C0, 0xFF0000, 0x00FF00, 0xFFFF00,
                                   0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(Le32(m4.Data(), 54 + 4 * i), system16[i]) << i;
}

TEST(BitmapFileWrite, BottomUpRowsAndAZeroFourthByte) {
    TBitmap b(2, 2, pf32bit);
    b.ScanLine(0)[3] = 0x77; // stray fourth byte must not become alpha
    b.SetPixel(0, 0, RGBColor(1, 2, 3));
    TMemoryStream m;
    b.SaveToStream(m);
    // The top row is stored last.
    EXPECT_EQ(Le32(m.Data(), 54 + 8), 0x00010203u);
    for (size_t i = 57; i < m.Data().size(); i += 4)
        EXPECT_EQ(m.Data()[i], 0) << i;
}

TEST(BitmapFileWrite, ABitmapWithoutPixelsWritesNothing) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(4, 0);
    TMemoryStream m;
    b.SaveToStream(m);
    EXPECT_EQ(m.Size(), 0);
}

// ---- Fuzzer finds ------------------------------------------------------------

TEST(BitmapFileRegressions, FormerCrashInputsFailOrLoadCleanly) {
    const std::vector<std::string> inputs = KeptFuzzInputs("bmp");
    ASSERT_FALSE(inputs.empty());
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        TBitmap b;
        try {
            b = LoadPath(path);
            TBitmap target(7, 5, pf24bit);
            target.Canvas().StretchBitmap(Rect(0, 0, 7, 5), b);
        } catch (const Exception&) {
        }
    }
}
