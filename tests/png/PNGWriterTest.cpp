// SPDX-License-Identifier: GPL-3.0-or-later
#include "PNGTestSupport.h"
#include "common/TestSupport.h"
#include "png/PNGDeflate.h"
#include "png/PNGImage.h"

#include <cstdlib>
#include <random>

using namespace pngtest;

namespace {

Bytes Save(TPNGImage& image) {
    TMemoryStream s;
    image.SaveToStream(s);
    return s.Data();
}

std::vector<std::string> TypesOf(const Bytes& file) {
    std::vector<std::string> types;
    for (const TRawChunk& c : SplitChunks(file))
        types.push_back(c.Type);
    return types;
}

void FillRandom(TBitmap& bitmap, unsigned seed) {
    std::mt19937 rng(seed);
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        for (size_t i = 0; i < bitmap.BytesPerScanLine(); ++i)
            row[i] = static_cast<uint8_t>(rng() >> 24);
    }
}

// Our colours of every pixel as RGB.
Bytes RenderedRGB(const TBitmap& bitmap) {
    Bytes out;
    std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width()) * 4);
    for (int y = 0; y < bitmap.Height(); ++y) {
        bitmap.GetRowBGRX(y, row.data());
        for (int x = 0; x < bitmap.Width(); ++x)
            out.insert(out.end(), {row[4 * x + 2], row[4 * x + 1], row[4 * x]});
    }
    return out;
}

bool PngcheckAccepts(const Bytes& file, const TTempFolder& folder) {
    if (std::system("command -v pngcheck >/dev/null 2>&1") != 0) return true;
    std::string path = folder.File("check.png");
    WriteFileBytes(path, file);
    return std::system(("pngcheck -q '" + path + "' >/dev/null 2>&1").c_str()) == 0;
}

// The inflated rows of a file: filter byte and row bytes each.
std::vector<Bytes> FilteredRows(const Bytes& file, size_t rowLength) {
    Bytes all = InflatedIDAT(file);
    EXPECT_EQ(all.size() % (rowLength + 1), 0u);
    std::vector<Bytes> rows;
    for (size_t p = 0; p + rowLength + 1 <= all.size(); p += rowLength + 1)
        rows.emplace_back(all.begin() + p, all.begin() + p + rowLength + 1);
    return rows;
}

} // namespace

TEST(TPNGImageWriter, ConversionImageGivesSignatureIHDRIDATIEND) {
    TPNGImage image;
    image.SetPixelFormat(pfDevice);
    image.SetSize(3, 2);
    image.SetPixel(0, 0, RGBColor(1, 2, 3));
    image.SetPixel(2, 1, RGBColor(200, 100, 50));
    Bytes file = Save(image);
    bool crcOk = false;
    std::vector<TRawChunk> chunks = SplitChunks(file, &crcOk);
    EXPECT_TRUE(crcOk);
    EXPECT_EQ(TypesOf(file), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_EQ(chunks[0].Data, IHDR(3, 2, 8, 2));
    EXPECT_TRUE(chunks[2].Data.empty());
    // Rows of 9 bytes: the first holds no run of five, so None; the second
    // (white, white, 200/100/50) is best with None as well.
    std::vector<Bytes> rows = FilteredRows(file, 9);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Bytes{0, 1, 2, 3, 255, 255, 255, 255, 255, 255}));
    EXPECT_EQ(rows[1], (Bytes{0, 255, 255, 255, 255, 255, 255, 200, 100, 50}));
    // IEND's CRC is the well-known constant.
    EXPECT_EQ(Bytes(file.end() - 4, file.end()), (Bytes{0xAE, 0x42, 0x60, 0x82}));
}

TEST(TPNGImageWriter, OneBitBitmapGetsPaletteBetweenIHDRAndIDAT) {
    TPNGImage image;
    image.SetPixelFormat(pf1bit);
    image.SetSize(10, 3);
    image.SetPalette(TPalette({{10, 20, 30, 0}, {250, 240, 230, 0}}));
    image.ScanLine(1)[0] = 0xA5;
    Bytes file = Save(image);
    std::vector<TRawChunk> chunks = SplitChunks(file);
    ASSERT_EQ(TypesOf(file), (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
    EXPECT_EQ(chunks[0].Data, IHDR(10, 3, 1, 3));
    EXPECT_EQ(chunks[1].Data, (Bytes{10, 20, 30, 250, 240, 230}));
    std::vector<Bytes> rows = FilteredRows(file, 2);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1], (Bytes{0, 0xA5, image.ScanLine(1)[1]}));
}

TEST(TPNGImageWriter, EveryPixelFormatDecodesInLibpngToOurColours) {
    TTempFolder folder;
    for (bool libdeflate : {false, true}) {
        if (libdeflate && !PNGLibdeflateAvailable()) continue;
        SetPNGUseLibdeflate(libdeflate);
        for (TPixelFormat format :
             {pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
            for (int width : {1, 7, 33}) {
                TPNGImage image;
                image.SetPixelFormat(format);
                image.SetSize(width, 5);
                FillRandom(image, static_cast<unsigned>(format * 100 + width));
                // Smooth areas too, so that every filter gets chosen somewhere.
                if (image.Height() > 3)
                    for (int x = 0; x < width; ++x)
                        image.SetPixel(x, 3, RGBColor(uint8_t(x * 3), 50, 60));
                Bytes expected = RenderedRGB(image);
                Bytes file = Save(image);
                TRefImage ref;
                ASSERT_TRUE(DecodeWithLibpng(file, ref, false)) << ref.Error;
                EXPECT_EQ(ref.RGB, expected) << "format " << format << " width " << width;
                EXPECT_TRUE(PngcheckAccepts(file, folder))
                    << "format " << format << " width " << width;
                // Only the truecolour formats other than 24 and 32 bits are converted.
                if (format == pf15bit || format == pf16bit) {
                    EXPECT_EQ(image.PixelFormat(), pf24bit);
                }
            }
        }
    }
    SetPNGUseLibdeflate(true);
}

TEST(TPNGImageWriter, FilterChoice) {
    // First row of a 24-bit image: white gives None (Up ties, the others have
    // fewer runs); 10/20/30 gives Sub (None has no runs, Paeth ties later).
    auto firstFilter = [](TColor colour, TFilterSet filters) {
        TPNGImage image;
        image.SetPixelFormat(pf24bit);
        image.SetSize(8, 2);
        image.SetFilters(filters);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 8; ++x)
                image.SetPixel(x, y, colour);
        Bytes file = Save(image);
        return FilteredRows(file, 24);
    };
    EXPECT_EQ(firstFilter(clWhite, fsAll)[0][0], ftNone);
    EXPECT_EQ(firstFilter(RGBColor(10, 20, 30), fsAll)[0][0], ftSub);
    std::vector<Bytes> sub =
        firstFilter(RGBColor(10, 20, 30), fsNone | fsSub | fsAverage | fsPaeth);
    EXPECT_EQ(sub[0], (Bytes{1, 10, 20, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                             0, 0,  0,  0,  0, 0, 0, 0, 0, 0, 0, 0}));
    // With the empty set, None alone.
    for (const Bytes& row : firstFilter(RGBColor(10, 20, 30), 0))
        EXPECT_EQ(row[0], ftNone);

    // Counts: runs of five equal bytes; rows shorter than five count nothing.
    const uint8_t run[] = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2};
    EXPECT_EQ(CountRunsOfFive(run, sizeof run), 3u);
    EXPECT_EQ(CountRunsOfFive(run, 4), 0u);
    // Choice: strictly better later, 0 never wins, filters outside the set ignored.
    size_t counts[5] = {3, 3, 5, 5, 6};
    EXPECT_EQ(TPNGRowFilter::Choose(counts, fsAll), ftPaeth);
    EXPECT_EQ(TPNGRowFilter::Choose(counts, fsSub | fsUp | fsAverage), ftUp);
    EXPECT_EQ(TPNGRowFilter::Choose(counts, fsSub), ftNone);
    size_t zeros[5] = {0, 0, 0, 0, 0};
    EXPECT_EQ(TPNGRowFilter::Choose(zeros, fsAll), ftNone);
}

TEST(TPNGImageWriter, FiltersMatchTheirDefinitionAndInvert) {
    std::mt19937 rng(7);
    for (size_t bpp : {1u, 2u, 3u, 4u, 6u, 8u}) {
        const size_t len = 37;
        Bytes raw(len), prior(len);
        for (auto& b : raw)
            b = static_cast<uint8_t>(rng());
        for (auto& b : prior)
            b = static_cast<uint8_t>(rng());
        for (int t = ftNone; t <= ftPaeth; ++t) {
            Bytes out(len);
            FilterRow(static_cast<TFilterType>(t), raw.data(), prior.data(), out.data(), len, bpp);
            for (size_t i = 0; i < len; ++i) {
                int a = i >= bpp ? raw[i - bpp] : 0, b = prior[i],
                    c = i >= bpp ? prior[i - bpp] : 0;
                int pred = t == ftNone      ? 0
                           : t == ftSub     ? a
                           : t == ftUp      ? b
                           : t == ftAverage ? (a + b) / 2
                                            : PaethPredictor(a, b, c);
                ASSERT_EQ(out[i], static_cast<uint8_t>(raw[i] - pred))
                    << "type " << t << " bpp " << bpp << " at " << i;
            }
            UnfilterRow(static_cast<uint8_t>(t), out.data(), prior.data(), len, bpp);
            EXPECT_EQ(out, raw) << "type " << t << " bpp " << bpp;
        }
    }
    // The predictor's tie rules: left first, then above.
    EXPECT_EQ(PaethPredictor(10, 10, 10), 10);
    EXPECT_EQ(PaethPredictor(5, 9, 7), 7);
    EXPECT_EQ(PaethPredictor(20, 10, 10), 20);
    EXPECT_EQ(PaethPredictor(10, 20, 10), 20);
}

TEST(TPNGImageWriter, TransparentColourWritesOneTRNSForTruecolour) {
    TPNGImage image;
    image.SetPixelFormat(pf24bit);
    image.SetSize(4, 4);
    image.SetTransparentColor(RGBColor(1, 2, 3));
    image.SetTransparent(true);
    Save(image);
    Bytes file = Save(image); // saving twice must not add a second tRNS
    EXPECT_EQ(TypesOf(file), (std::vector<std::string>{"IHDR", "tRNS", "IDAT", "IEND"}));
    EXPECT_EQ(SplitChunks(file)[1].Data, (Bytes{0, 1, 0, 2, 0, 3}));
    TTempFolder folder;
    EXPECT_TRUE(PngcheckAccepts(file, folder));
    // Read back: the same colour is transparent.
    TPNGImage back;
    TMemoryStream s(file);
    back.LoadFromStream(s);
    EXPECT_TRUE(back.Transparent());
    EXPECT_EQ(back.TransparentColor(), RGBColor(1, 2, 3));
    // Palette images write no tRNS body; without the flag every tRNS goes.
    image.SetPixelFormat(pf8bit);
    EXPECT_EQ(TypesOf(Save(image)), (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
    image.SetTransparent(false);
    Save(image);
    EXPECT_EQ(image.Chunks().IndexOfClass(TChunkTRNS::StaticClass()), -1);
}

TEST(TPNGImageWriter, ReloadedFileKeepsAncillaryChunksAndGamma) {
    // Grey 8-bit with gAMA and tEXt: saved again as a palette image whose
    // palette goes back through the inverse gamma table.
    Bytes rows = {0, 0, 128, 255};
    Bytes file = MakePNG(IHDR(3, 1, 8, 0), rows, {{"gAMA", BE32(45455)}, {"tEXt", {'a', 0, 'b'}}});
    TPNGImage image;
    TMemoryStream in(file);
    image.LoadFromStream(in);
    Bytes again = Save(image);
    // The new PLTE goes after gAMA, as the PNG standard orders them.
    EXPECT_EQ(TypesOf(again),
              (std::vector<std::string>{"IHDR", "gAMA", "tEXt", "PLTE", "IDAT", "IEND"}));
    TTempFolder folder;
    EXPECT_TRUE(PngcheckAccepts(again, folder));
    std::vector<TRawChunk> chunks = SplitChunks(again);
    EXPECT_EQ(chunks[0].Data, IHDR(3, 1, 8, 3));
    EXPECT_EQ(chunks[2].Data, (Bytes{'a', 0, 'b'}));
    for (int i = 0; i < 256; ++i)
        EXPECT_NEAR(chunks[3].Data[3 * i], i, 1) << i;
    EXPECT_EQ(FilteredRows(again, 3)[0], (Bytes{0, 0, 128, 255}));
}

TEST(TPNGImageWriter, ProgressAndChunkListErrors) {
    TPNGImage image;
    image.SetPixelFormat(pf24bit);
    image.SetSize(2, 2);
    std::vector<std::pair<int, int>> events;
    image.OnProgress = [&](TGraphic*, TProgressStage stage, uint8_t percent, bool, const TRect&,
                           const std::string&) { events.emplace_back(stage, percent); };
    Save(image);
    EXPECT_EQ(
        events,
        (std::vector<std::pair<int, int>>{
            {psStarting, 0}, {psRunning, 0}, {psRunning, 33}, {psRunning, 66}, {psEnding, 100}}));

    const std::string frame = "Portable Network Graphics format handler error\r\n\r\n";
    auto message = [](auto&& f) {
        try {
            f();
        } catch (const EPNGImageException& e) {
            return e.Message();
        }
        return std::string();
    };
    EXPECT_EQ(message([&] { image.Chunks().Item(3); }), frame + PNGMessages::ChunkIndex);
    EXPECT_EQ(message([&] { image.Chunks().Move(0, -1); }), frame + PNGMessages::ChunkIndex);
    EXPECT_EQ(message([&] { TChunkClasses::Instance().Item(7); }),
              frame + PNGMessages::ChunkClassIndex);
    TPNGImage other;
    EXPECT_EQ(message([&] { image.Chunks().Remove(other.Chunks()[0]); }),
              frame + PNGMessages::ChunkNotInList);
    TPNGImage empty;
    EXPECT_EQ(message([&] { Save(empty); }), frame + PNGMessages::EmptyImage);

    // The class table, in registration order, and the types new chunks take from it.
    const char* types[] = {"IEND", "IHDR", "gAMA", "IDAT", "PLTE", "tEXt", "tRNS"};
    ASSERT_EQ(TChunkClasses::Instance().Count(), 7);
    for (int i = 0; i < 7; ++i) {
        const TChunkType& t = TChunkClasses::Instance().ItemType(i);
        EXPECT_EQ(std::string(t.begin(), t.end()), types[i]);
        TChunk* chunk = other.Chunks().CreateChunk(TChunkClasses::Instance().Item(i));
        EXPECT_EQ(chunk->ChunkType, t);
    }
    EXPECT_EQ(other.Chunks().Find<TChunkGAMA>()->Data(), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(other.Chunks().Find<TChunkTEXT>()->Data(), (Bytes{0, 0}));
}

TEST(TPNGImageWriter, AssignCopiesChunksFiltersAndPixels) {
    Bytes file =
        MakePNG(IHDR(2, 1, 8, 2), {0, 1, 2, 3, 4, 5, 6}, {{"vpAg", {9}}, {"gAMA", BE32(45455)}});
    TPNGImage source;
    TMemoryStream in(file);
    source.LoadFromStream(in);
    source.SetFilters(fsSub);
    TPNGImage copy;
    copy.Assign(source);
    ASSERT_EQ(copy.Chunks().Count(), source.Chunks().Count());
    for (int i = 0; i < copy.Chunks().Count(); ++i) {
        EXPECT_EQ(copy.Chunks()[i]->ChunkType, source.Chunks()[i]->ChunkType);
        EXPECT_EQ(copy.Chunks()[i]->ClassType(), source.Chunks()[i]->ClassType());
        EXPECT_EQ(copy.Chunks()[i]->Data(), source.Chunks()[i]->Data());
    }
    EXPECT_EQ(copy.Filters(), fsNone | fsSub);
    EXPECT_EQ(copy.Pixel(1, 0), source.Pixel(1, 0));
}

// Alpha is written exactly when some pixel is not opaque: RGBA for colour,
// grey with alpha for grey pictures; libpng reads back every value.
TEST(TPNGImageWriter, AlphaPlaneIsWrittenOnlyWhenSomePixelIsNotOpaque) {
    using namespace pngtest;
    for (bool grey : {false, true})
        for (bool opaque : {false, true}) {
            SCOPED_TRACE(std::string(grey ? "grey" : "colour") + (opaque ? ", opaque" : ""));
            const int w = 19, h = 7;
            TPNGImage png;
            png.SetPixelFormat(pf24bit);
            png.SetSize(w, h);
            std::vector<uint8_t> alpha(static_cast<size_t>(w) * h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    uint8_t* p = png.ScanLine(y) + 3 * x;
                    p[0] = static_cast<uint8_t>(x * 13);
                    p[1] = grey ? p[0] : static_cast<uint8_t>(y * 30);
                    p[2] = grey ? p[0] : static_cast<uint8_t>(255 - x * y);
                    alpha[static_cast<size_t>(y) * w + x] =
                        opaque ? 255 : static_cast<uint8_t>((x * 37 + y * 11) & 0xFF);
                }
            png.SetAlphaChannel(alpha);
            TMemoryStream m;
            png.SaveToStream(m);
            const Bytes file = m.Data();
            EXPECT_EQ(file.at(25), opaque ? 2 : grey ? 4 : 6);
            TRefImage ref;
            ASSERT_TRUE(DecodeWithLibpng(file, ref, true)) << ref.Error;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const size_t i = static_cast<size_t>(y) * w + x;
                    const uint8_t* p = png.ScanLine(y) + 3 * x;
                    ASSERT_EQ(ref.RGB[3 * i], p[2]);
                    ASSERT_EQ(ref.RGB[3 * i + 1], p[1]);
                    ASSERT_EQ(ref.RGB[3 * i + 2], p[0]);
                    if (!opaque) {
                        ASSERT_EQ(ref.Alpha[i], alpha[i]);
                    }
                }
        }
}

// Pictures whose pixels are opaque or fully transparent take a colour key
// (tRNS) no opaque pixel has, so libpng reads exactly the same alpha back.
TEST(TPNGImageWriter, BinaryAlphaBecomesAColourKeyNoOpaquePixelShares) {
    using namespace pngtest;
    for (bool grey : {false, true}) {
        SCOPED_TRACE(grey ? "grey" : "colour");
        const int w = 64, h = 48;
        TPNGImage png;
        png.SetPixelFormat(pf24bit);
        png.SetSize(w, h);
        std::vector<uint8_t> alpha(static_cast<size_t>(w) * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = png.ScanLine(y) + 3 * x;
                // Black and the first levels are taken, so the key cannot be black.
                p[0] = static_cast<uint8_t>((x + y) / 4);
                p[1] = grey ? p[0] : static_cast<uint8_t>(y * 5);
                p[2] = grey ? p[0] : 0;
                const bool clear = (x - 32) * (x - 32) + (y - 24) * (y - 24) > 400;
                alpha[static_cast<size_t>(y) * w + x] = clear ? 0 : 255;
                if (clear) p[0] = p[1] = p[2] = 0;
            }
        png.SetAlphaChannel(alpha);
        TMemoryStream m;
        png.SaveToStream(m);
        const Bytes file = m.Data();
        EXPECT_EQ(file.at(25), grey ? 0 : 2);
        const std::vector<TRawChunk> chunks = SplitChunks(file);
        size_t idat = 0;
        while (idat < chunks.size() && chunks[idat].Type != "IDAT")
            ++idat;
        ASSERT_GT(idat, 0u);
        ASSERT_EQ(chunks[idat - 1].Type, "tRNS");
        EXPECT_EQ(chunks[idat - 1].Data.size(), grey ? 2u : 6u);
        TRefImage ref;
        ASSERT_TRUE(DecodeWithLibpng(file, ref, true)) << ref.Error;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const size_t i = static_cast<size_t>(y) * w + x;
                ASSERT_EQ(ref.Alpha[i], alpha[i]) << x << "," << y;
                if (!alpha[i]) continue;
                const uint8_t* p = png.ScanLine(y) + 3 * x;
                ASSERT_EQ(ref.RGB[3 * i], p[2]);
                ASSERT_EQ(ref.RGB[3 * i + 1], p[1]);
                ASSERT_EQ(ref.RGB[3 * i + 2], p[0]);
            }

        // The same picture with one pixel a level short of opaque needs the
        // alpha channel, and is larger.
        alpha[static_cast<size_t>(24) * w + 32] = 254;
        png.SetAlphaChannel(alpha);
        TMemoryStream withChannel;
        png.SaveToStream(withChannel);
        EXPECT_EQ(withChannel.Data().at(25), grey ? 4 : 6);
        EXPECT_LT(file.size(), withChannel.Data().size());
    }
}

TEST(TPNGImageWriter, GreyWithEveryLevelOpaqueKeepsItsAlphaChannel) {
    using namespace pngtest;
    TPNGImage png;
    png.SetPixelFormat(pf24bit);
    png.SetSize(257, 1);
    std::vector<uint8_t> alpha(257, 255);
    for (int x = 0; x < 257; ++x) {
        uint8_t* p = png.ScanLine(0) + 3 * x;
        p[0] = p[1] = p[2] = static_cast<uint8_t>(x < 256 ? x : 0);
    }
    alpha[256] = 0; // no level is left for a key
    png.SetAlphaChannel(alpha);
    TMemoryStream m;
    png.SaveToStream(m);
    EXPECT_EQ(m.Data().at(25), 4);
    TRefImage ref;
    ASSERT_TRUE(DecodeWithLibpng(m.Data(), ref, true)) << ref.Error;
    EXPECT_EQ(ref.Alpha, alpha);
}

TEST(TPNGImageWriter, ASmallPictureKeepsTheAlphaChannelWhereTheKeyWouldCostMore) {
    using namespace pngtest;
    // Four pixels: the key chunk costs more than a byte a pixel saves.
    TPNGImage png;
    png.SetPixelFormat(pf24bit);
    png.SetSize(2, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x)
            std::fill_n(png.ScanLine(y) + 3 * x, 3, static_cast<uint8_t>(40 + 100 * x + 7 * y));
    png.ScanLine(0)[2] = 9;
    const std::vector<uint8_t> alpha = {255, 0, 0, 255};
    png.SetAlphaChannel(alpha);
    TMemoryStream m;
    png.SaveToStream(m);
    EXPECT_EQ(m.Data().at(25), 6);
    TRefImage ref;
    ASSERT_TRUE(DecodeWithLibpng(m.Data(), ref, true)) << ref.Error;
    EXPECT_EQ(ref.Alpha, alpha);
    EXPECT_EQ(ref.RGB[0], 9);
}
