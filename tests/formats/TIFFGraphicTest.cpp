// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/TIFFGraphic.h"

#include "TestSupport.h"
#include "base/Exceptions.h"
#include "convert/Orientation.h"
#include "formats/EPSGraphic.h"
#include "toolkit/ColorProfile.h"

#include <gtest/gtest.h>
#include <lcms2.h>
#include <tiffio.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

namespace {
using Bytes = std::vector<uint8_t>;

// Writes a one-directory TIFF with libtiff; fill sets extra tags and writes the rows.
Bytes WriteTIFF(const TTempFolder& dir, uint32_t width, uint32_t height, uint16_t samples,
                uint16_t bits, uint16_t photometric, const std::function<void(TIFF*)>& fill) {
    std::string path = dir.File("t.tif");
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    fill(tif);
    TIFFClose(tif);
    return ReadFileBytes(path);
}

void WriteRows(TIFF* tif, const std::vector<Bytes>& rows) {
    for (size_t y = 0; y < rows.size(); ++y)
        TIFFWriteScanline(tif, const_cast<uint8_t*>(rows[y].data()), static_cast<uint32_t>(y), 0);
}

void Load(TReaderGraphic& g, const Bytes& f) {
    g.ReadFromMemory(f.data(), 0, f.size());
}

std::string LoadError(const Bytes& f) {
    TTIFFGraphic g;
    try {
        Load(g, f);
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

void SilenceLibtiff() {
    // Reference reads in the tests go through the same process-wide handlers.
    InstallTIFFHandlers();
}
} // namespace

TEST(TTIFFGraphic, BilevelMinIsWhiteKeepsAllThirteenPixels) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 13, 2, 1, 1, PHOTOMETRIC_MINISWHITE, [](TIFF* t) {
        WriteRows(t, {{0x80, 0xF8}, {0x00, 0x08}});
    });
    TTIFFGraphic g;
    Load(g, f);
    ASSERT_EQ(g.PixelFormat(), pf1bit);
    EXPECT_EQ(g.Palette()[0], (TPaletteEntry{255, 255, 255, 0}));
    EXPECT_EQ(g.Palette()[1], (TPaletteEntry{0, 0, 0, 0}));
    EXPECT_EQ(g.Pixel(0, 0), clBlack);
    for (int x = 8; x < 13; ++x)
        EXPECT_EQ(g.Pixel(x, 0), clBlack) << x;
    EXPECT_EQ(g.Pixel(7, 0), clWhite);
    EXPECT_EQ(g.Pixel(12, 1), clBlack);
    EXPECT_EQ(g.Pixel(11, 1), clWhite);
    EXPECT_EQ(g.ImageProperties().FormatVersion, 42u);
    EXPECT_TRUE(g.ImageProperties().Flags & ofMinIsWhite);
}

TEST(TTIFFGraphic, PaletteImagesReduceTheirColourMap) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 2, 1, 1, 8, PHOTOMETRIC_PALETTE, [](TIFF* t) {
        std::vector<uint16_t> r(256), g(256), b(256);
        for (int i = 0; i < 256; ++i) {
            r[i] = static_cast<uint16_t>(i * 257);
            g[i] = static_cast<uint16_t>(0x8000);
            b[i] = static_cast<uint16_t>(65535 - i * 200);
        }
        TIFFSetField(t, TIFFTAG_COLORMAP, r.data(), g.data(), b.data());
        WriteRows(t, {{7, 255}});
    });
    TTIFFGraphic g;
    Load(g, f);
    ASSERT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.Palette().Count(), 256);
    EXPECT_EQ(g.Palette()[7],
              (TPaletteEntry{7, 0x8000 * 255 / 65535, (65535 - 1400) * 255 / 65535, 0}));
    EXPECT_EQ(g.ScanLine(0)[1], 255);
}

TEST(TTIFFGraphic, TwoAndSixteenBitGreyConvertToRasterDepths) {
    TTempFolder dir;
    Bytes f =
        WriteTIFF(dir, 4, 1, 1, 2, PHOTOMETRIC_MINISBLACK, [](TIFF* t) { WriteRows(t, {{0x1B}}); });
    TTIFFGraphic g;
    Load(g, f);
    ASSERT_EQ(g.PixelFormat(), pf4bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0x05);
    EXPECT_EQ(g.ScanLine(0)[1], 0xAF);
    EXPECT_EQ(g.Pixel(1, 0), RGBColor(85, 85, 85));

    f = WriteTIFF(dir, 2, 1, 1, 16, PHOTOMETRIC_MINISBLACK, [](TIFF* t) {
        uint16_t row[2] = {0x1234, 0xFFFF};
        TIFFWriteScanline(t, row, 0, 0);
    });
    Load(g, f);
    ASSERT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.ScanLine(0)[0], 0x1234 * 255 / 65535);
    EXPECT_EQ(g.Pixel(1, 0), clWhite);
}

TEST(TTIFFGraphic, OrientationFourKeepsTheStoredRowsAndSaysSo) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 1, 3, 1, 8, PHOTOMETRIC_MINISBLACK, [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_BOTLEFT);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 2);
        WriteRows(t, {{10}, {20}, {30}});
    });
    TTIFFGraphic g;
    Load(g, f);
    // The conversion turns the picture once, by the orientation the reader passes on.
    EXPECT_EQ(g.ScanLine(0)[0], 10);
    EXPECT_EQ(g.ScanLine(1)[0], 20);
    EXPECT_EQ(g.ScanLine(2)[0], 30);
    EXPECT_EQ(g.Metadata().Orientation, 4);
}

namespace {
// Where stored pixel (column c, row r) of an image stored w x h appears in the
// picture as the Orientation tag defines it ("row 0 lies at the ..., column 0
// at the ..."). For 5..8 stored rows are picture columns, so the picture is h x w.
TPoint PictureSpot(int orientation, int c, int r, int w, int h) {
    switch (orientation) {
    case 2: // row 0 top, column 0 right
        return {w - 1 - c, r};
    case 3: // row 0 bottom, column 0 right
        return {w - 1 - c, h - 1 - r};
    case 4: // row 0 bottom, column 0 left
        return {c, h - 1 - r};
    case 5: // row 0 left, column 0 top
        return {r, c};
    case 6: // row 0 right, column 0 top
        return {h - 1 - r, c};
    case 7: // row 0 right, column 0 bottom
        return {h - 1 - r, w - 1 - c};
    case 8: // row 0 left, column 0 bottom
        return {r, w - 1 - c};
    default:
        return {c, r};
    }
}

// A picture of pw x ph values, stored under an orientation so that a correct
// reader shows exactly it; samples of 1, 4 or 8 bits (grey) or RGB triples.
struct TOrientedCase {
    int Orientation, Bits, Samples;
    bool Tiled = false;
};
constexpr int PictureWidth = 21, PictureHeight = 18;

uint32_t PictureValue(const TOrientedCase& k, int x, int y) {
    if (k.Samples == 3)
        return RGBColor(static_cast<uint8_t>(x * 12), static_cast<uint8_t>(y * 14),
                        static_cast<uint8_t>(255 - x * y));
    uint32_t v = static_cast<uint32_t>(x * 3 + y * y * 7 + (x > y ? 5 : 0));
    return v % (1u << k.Bits);
}

Bytes WriteOriented(const TTempFolder& dir, const TOrientedCase& k) {
    const bool swap = k.Orientation >= 5;
    const int w = swap ? PictureHeight : PictureWidth, h = swap ? PictureWidth : PictureHeight;
    const size_t rowBytes = (static_cast<size_t>(w) * k.Bits * k.Samples + 7) / 8;
    std::vector<Bytes> rows(h, Bytes(rowBytes, 0));
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c) {
            TPoint s = PictureSpot(k.Orientation, c, r, w, h);
            uint32_t v = PictureValue(k, s.X, s.Y);
            if (k.Samples == 3) {
                rows[r][3 * c] = GetRValue(v);
                rows[r][3 * c + 1] = GetGValue(v);
                rows[r][3 * c + 2] = GetBValue(v);
            } else {
                size_t bit = static_cast<size_t>(c) * k.Bits;
                rows[r][bit / 8] |= static_cast<uint8_t>(v << (8 - k.Bits - bit % 8));
            }
        }
    uint16_t photometric = k.Samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    return WriteTIFF(dir, w, h, static_cast<uint16_t>(k.Samples), static_cast<uint16_t>(k.Bits),
                     photometric, [&](TIFF* t) {
                         TIFFSetField(t, TIFFTAG_ORIENTATION, k.Orientation);
                         if (!k.Tiled) {
                             TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
                             WriteRows(t, rows);
                             return;
                         }
                         TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
                         TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
                         Bytes tile(static_cast<size_t>(TIFFTileSize(t)));
                         for (int ty = 0; ty < h; ty += 16)
                             for (int tx = 0; tx < w; tx += 16) {
                                 std::fill(tile.begin(), tile.end(), 0);
                                 for (int r = 0; r < 16 && ty + r < h; ++r)
                                     for (int c = 0; c < 16 && tx + c < w; ++c)
                                         tile[r * 16 + c] = rows[ty + r][tx + c];
                                 TIFFWriteTile(t, tile.data(), tx, ty, 0, 0);
                             }
                     });
}

uint32_t RasterValue(const TTIFFGraphic& g, int bits, int x, int y) {
    const uint8_t* row = g.ScanLine(y);
    if (bits == 8) return row[x];
    if (bits == 4) return (row[x / 2] >> (x % 2 ? 0 : 4)) & 15;
    if (bits == 1) return (row[x / 8] >> (7 - x % 8)) & 1;
    return RGBColor(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
}

// libtiff's top-left reader for the same bytes, red-first as libtiff packs it.
std::vector<uint32_t> LibtiffTopLeft(const TTempFolder& dir, const Bytes& file, uint32_t* w,
                                     uint32_t* h) {
    WriteFileBytes(dir.File("ref.tif"), file);
    TIFF* tif = TIFFOpen(dir.File("ref.tif").c_str(), "r");
    EXPECT_NE(tif, nullptr);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, h);
    std::vector<uint32_t> rgba(static_cast<size_t>(*w) * *h);
    EXPECT_TRUE(TIFFReadRGBAImageOriented(tif, *w, *h, rgba.data(), ORIENTATION_TOPLEFT, 1));
    TIFFClose(tif);
    return rgba;
}

// The spot of libtiff's top-left raster (of the stored size) that shows picture
// pixel (x, y). libtiff flips and mirrors but never transposes: it reads 5..8 as
// it reads 1..4, so for those the picture is its raster turned about a diagonal.
TPoint LibtiffSpot(int orientation, int x, int y, int storedW, int storedH) {
    if (orientation == 5 || orientation == 7) return {y, x};
    if (orientation == 6 || orientation == 8) return {storedW - 1 - y, storedH - 1 - x};
    return {x, y};
}

// The reader gives the stored pixels and their orientation; this is the
// picture the conversion shows (in 32 bits, whatever the raster's format).
std::unique_ptr<TBitmap> Upright(const TTIFFGraphic& g) {
    TBitmap colours(g);
    colours.SetPixelFormat(pf32bit);
    return OrientUpright(colours, g.Metadata().Orientation);
}
} // namespace

TEST(TTIFFGraphic, EveryOrientationShowsThePictureAsMeant) {
    SilenceLibtiff();
    TTempFolder dir;
    for (int orientation = 1; orientation <= 8; ++orientation)
        for (TOrientedCase k : {TOrientedCase{orientation, 1, 1}, TOrientedCase{orientation, 4, 1},
                                TOrientedCase{orientation, 8, 1}, TOrientedCase{orientation, 8, 3},
                                TOrientedCase{orientation, 8, 1, true}}) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + ", " +
                         std::to_string(k.Bits) + "x" + std::to_string(k.Samples) +
                         (k.Tiled ? " tiled" : ""));
            Bytes f = WriteOriented(dir, k);
            TTIFFGraphic g;
            ASSERT_NO_THROW(Load(g, f));
            const bool swap = orientation >= 5;
            const int w = swap ? PictureHeight : PictureWidth;
            const int h = swap ? PictureWidth : PictureHeight;
            ASSERT_EQ(g.Width(), w);
            ASSERT_EQ(g.Height(), h);
            EXPECT_EQ(g.ImageProperties().Width, w);
            EXPECT_EQ(g.ImageProperties().Height, h);
            EXPECT_EQ(g.ImageProperties().RowOrder, orientation);
            EXPECT_EQ(g.Metadata().Orientation, orientation);
            const int rasterBits = k.Samples == 3 ? 32 : k.Bits;
            int wrong = 0;
            for (int r = 0; r < h; ++r)
                for (int c = 0; c < w; ++c) {
                    TPoint s = PictureSpot(orientation, c, r, w, h);
                    if (RasterValue(g, rasterBits, c, r) != PictureValue(k, s.X, s.Y)) ++wrong;
                }
            EXPECT_EQ(wrong, 0);
            // Turned upright, the picture is libtiff's.
            std::unique_ptr<TBitmap> up = Upright(g);
            ASSERT_EQ(up->Width(), PictureWidth);
            ASSERT_EQ(up->Height(), PictureHeight);
            uint32_t storedW = 0, storedH = 0;
            std::vector<uint32_t> ref = LibtiffTopLeft(dir, f, &storedW, &storedH);
            int unlikeLibtiff = 0;
            for (int y = 0; y < PictureHeight; ++y)
                for (int x = 0; x < PictureWidth; ++x) {
                    TPoint s = LibtiffSpot(orientation, x, y, static_cast<int>(storedW),
                                           static_cast<int>(storedH));
                    uint32_t v = ref[static_cast<size_t>(s.Y) * storedW + s.X];
                    TColor shown = up->Pixel(x, y);
                    if (RGBColor(TIFFGetR(v), TIFFGetG(v), TIFFGetB(v)) != shown) ++unlikeLibtiff;
                }
            EXPECT_EQ(unlikeLibtiff, 0);
        }
}

TEST(TTIFFGraphic, AlphaSampleGoesToTheAlphaPlaneWithStraightColours) {
    TTempFolder dir;
    for (uint16_t kind : {EXTRASAMPLE_UNASSALPHA, EXTRASAMPLE_ASSOCALPHA}) {
        SCOPED_TRACE(kind);
        const uint8_t alphas[] = {0, 51, 128, 255};
        Bytes f = WriteTIFF(dir, 4, 1, 4, 8, PHOTOMETRIC_RGB, [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
            Bytes row;
            for (uint8_t a : alphas) {
                // Straight 200, 100, 50; associated alpha stores them premultiplied.
                for (int c : {200, 100, 50})
                    row.push_back(static_cast<uint8_t>(
                        kind == EXTRASAMPLE_ASSOCALPHA ? (c * a + 127) / 255 : c));
                row.push_back(a);
            }
            WriteRows(t, {row});
        });
        TTIFFGraphic g;
        Load(g, f);
        ASSERT_EQ(g.AlphaChannel().size(), 4u);
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(g.AlphaChannel()[x], alphas[x]);
            if (alphas[x] < 51) continue; // too few levels left to recover the colour
            const TColor c = g.Pixel(x, 0);
            EXPECT_NEAR(GetRValue(c), 200, 5) << x;
            EXPECT_NEAR(GetGValue(c), 100, 5) << x;
            EXPECT_NEAR(GetBValue(c), 50, 5) << x;
        }
    }
    // An alpha sample that is opaque everywhere gives no plane.
    Bytes opaque = WriteTIFF(dir, 2, 1, 4, 8, PHOTOMETRIC_RGB, [](TIFF* t) {
        uint16_t kind = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &kind);
        WriteRows(t, {{1, 2, 3, 255, 4, 5, 6, 255}});
    });
    TTIFFGraphic g;
    Load(g, opaque);
    EXPECT_TRUE(g.AlphaChannel().empty());
    EXPECT_EQ(g.Pixel(1, 0), RGBColor(4, 5, 6));
}

TEST(TTIFFGraphic, TilesNarrowerThanTheImageLandInPlace) {
    TTempFolder dir;
    const uint32_t w = 40, h = 20;
    Bytes f = WriteTIFF(dir, w, h, 1, 8, PHOTOMETRIC_MINISBLACK, [&](TIFF* t) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        Bytes tile(256);
        for (uint32_t ty = 0; ty < h; ty += 16)
            for (uint32_t tx = 0; tx < w; tx += 16) {
                for (uint32_t i = 0; i < 256; ++i)
                    tile[i] = static_cast<uint8_t>((tx + i % 16) + 2 * (ty + i / 16));
                TIFFWriteTile(t, tile.data(), tx, ty, 0, 0);
            }
    });
    TTIFFGraphic g;
    Load(g, f);
    ASSERT_TRUE(g.ImageProperties().Flags & ofTiled);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            ASSERT_EQ(g.ScanLine(y)[x], static_cast<uint8_t>(x + 2 * y)) << x << "," << y;
}

TEST(TTIFFGraphic, ColourImagesBecomeBlueFirst32BitRasters) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 2, 1, 3, 8, PHOTOMETRIC_RGB, [](TIFF* t) {
        WriteRows(t, {{1, 2, 3, 4, 5, 6}});
    });
    TTIFFGraphic g;
    Load(g, f);
    ASSERT_EQ(g.PixelFormat(), pf32bit);
    EXPECT_EQ(Bytes(g.ScanLine(0), g.ScanLine(0) + 8), (Bytes{3, 2, 1, 255, 6, 5, 4, 255}));
    f = WriteTIFF(dir, 1, 1, 4, 8, PHOTOMETRIC_SEPARATED, [](TIFF* t) {
        WriteRows(t, {{0, 0, 0, 0}});
    });
    Load(g, f);
    EXPECT_EQ(g.Pixel(0, 0), clWhite);
}

TEST(TTIFFGraphic, FirstPageOfAMultiPageFile) {
    TTempFolder dir;
    std::string path = dir.File("pages.tif");
    TIFF* t = TIFFOpen(path.c_str(), "w");
    for (int page = 0; page < 3; ++page) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1 + page);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        uint8_t row[3] = {static_cast<uint8_t>(50 + page), 0, 0};
        TIFFWriteScanline(t, row, 0, 0);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
    TTIFFGraphic g;
    Load(g, ReadFileBytes(path));
    EXPECT_EQ(g.Width(), 1);
    EXPECT_EQ(g.ScanLine(0)[0], 50);
    EXPECT_EQ(g.ImageProperties().PageCount, 3u);
}

TEST(TTIFFGraphic, RefusesDepthsAndDataItCannotRead) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 1, 1, 1, 32, PHOTOMETRIC_MINISBLACK, [](TIFF* t) {
        WriteRows(t, {{1, 2, 3, 4}});
    });
    EXPECT_EQ(LoadError(f), "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.");
    EXPECT_EQ(LoadError({}), "Cannot load image. Invalid or unexpected TIF/TIFF image format.");
    EXPECT_EQ(LoadError({'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0}),
              "Cannot load image. Invalid or unexpected TIF/TIFF image format.");
    // Strip data cut off: libtiff's own message, raised on our side of the call.
    f = WriteTIFF(dir, 64, 64, 1, 8, PHOTOMETRIC_MINISBLACK, [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        Bytes row(64);
        for (int y = 0; y < 64; ++y) {
            for (int x = 0; x < 64; ++x)
                row[x] = static_cast<uint8_t>(x * y + y);
            TIFFWriteScanline(t, row.data(), y, 0);
        }
    });
    Bytes cut(f.begin(), f.begin() + 200);
    std::string message = LoadError(cut);
    EXPECT_FALSE(message.empty());
}

namespace {
// The directory entry of a tag in a little-endian file written by libtiff.
uint8_t* Entry(Bytes& f, uint16_t tag) {
    uint32_t ifd = f[4] | (f[5] << 8) | (f[6] << 16) | (f[7] << 24);
    uint16_t entries = f[ifd] | (f[ifd + 1] << 8);
    for (uint16_t i = 0; i < entries; ++i) {
        uint8_t* e = &f[ifd + 2 + 12 * i];
        if ((e[0] | (e[1] << 8)) == tag) return e;
    }
    return nullptr;
}

void PutLong(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
} // namespace

// libtiff would report "Read error at scanline 4294967295": the strip that
// reaches past the end of the file makes the message, with the rows before it.
TEST(TTIFFGraphic, AStripBeyondTheEndOfTheFileIsACutFile) {
    TTempFolder dir;
    for (uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW}) {
        Bytes f = WriteTIFF(dir, 64, 64, 1, 8, PHOTOMETRIC_MINISBLACK, [&](TIFF* t) {
            TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 8);
            Bytes row(64);
            for (int y = 0; y < 64; ++y) {
                for (int x = 0; x < 64; ++x)
                    row[x] = static_cast<uint8_t>(x * y + y);
                TIFFWriteScanline(t, row.data(), y, 0);
            }
        });
        uint8_t* counts = Entry(f, TIFFTAG_STRIPBYTECOUNTS);
        ASSERT_NE(counts, nullptr);
        // 8 SHORT or LONG counts, stored at an offset: the last one reaches far past the end.
        const uint32_t at = counts[8] | (counts[9] << 8) | (counts[10] << 16) | (counts[11] << 24);
        if (counts[2] == 3) {
            f[at + 2 * 7] = f[at + 2 * 7 + 1] = 0xFF;
        } else {
            ASSERT_EQ(counts[2], 4);
            PutLong(&f[at + 4 * 7], 1000000);
        }
        EXPECT_EQ(LoadError(f), "The file is cut short: the picture data ends after 56 of 64 rows.")
            << compression;
    }
}

TEST(TTIFFGraphic, ASizeTheStripsCannotHoldFailsBeforeAllocating) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 1, 1, 1, 8, PHOTOMETRIC_MINISBLACK, [](TIFF* t) {
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16000);
        WriteRows(t, {{7}});
    });
    for (uint16_t tag : {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH}) {
        uint8_t* e = Entry(f, tag);
        ASSERT_NE(e, nullptr);
        e[2] = 4; // LONG
        e[3] = 0;
        PutLong(e + 8, 16000);
    }
    EXPECT_EQ(LoadError(f), "The file is too small for its declared size of 16000 x 16000 pixels.");
}

TEST(TTIFFGraphic, HugeDeclaredRasterFailsFast) {
    TTempFolder dir;
    Bytes f = WriteTIFF(dir, 1, 1, 3, 8, PHOTOMETRIC_RGB, [](TIFF* t) {
        WriteRows(t, {{1, 2, 3}});
    });
    // Patch ImageWidth and ImageLength to 100000 each in the written directory.
    uint32_t ifd = f[4] | (f[5] << 8) | (f[6] << 16) | (f[7] << 24);
    uint16_t entries = f[ifd] | (f[ifd + 1] << 8);
    for (uint16_t i = 0; i < entries; ++i) {
        uint8_t* e = &f[ifd + 2 + 12 * i];
        uint16_t tag = e[0] | (e[1] << 8);
        if (tag == TIFFTAG_IMAGEWIDTH || tag == TIFFTAG_IMAGELENGTH) {
            e[2] = 4; // LONG
            e[3] = 0;
            e[8] = 0xA0;
            e[9] = 0x86;
            e[10] = 0x01;
            e[11] = 0;
        }
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LoadError(f), "Image too large");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

namespace {
int NoteError(TIFF*, void* failed, const char*, const char*, va_list) {
    *static_cast<bool*>(failed) = true;
    return 1;
}

// The reference reader: libtiff with its own error flag and a memory cap, so
// that a damaged file counts as unread when libtiff complained while reading it.
TIFF* OpenReference(const std::string& path, bool* failed) {
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(256) << 20);
    TIFFOpenOptionsSetErrorHandlerExtR(options, NoteError, failed);
    TIFF* tif = TIFFOpenExt(path.c_str(), "rm", options);
    TIFFOpenOptionsFree(options);
    return tif;
}

// Compares a loaded raster with what libtiff's whole-image reader gives for the same file
// (turned about a diagonal for orientations 5..8, which libtiff does not transpose).
// Single-sample rasters are reduced by our formulas and may differ by one per channel.
int CompareWithLibtiff(const TTIFFGraphic& stored, const std::string& path, int tolerance,
                       std::string* first) {
    std::unique_ptr<TBitmap> up = Upright(stored);
    const TBitmap& g = *up;
    bool failed = false;
    TIFF* tif = OpenReference(path, &failed);
    if (!tif) return -1;
    uint32_t w = 0, h = 0;
    uint16_t orientation = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
    const bool turned = orientation >= 5 && orientation <= 8;
    if ((turned ? h : w) != static_cast<uint32_t>(g.Width()) ||
        (turned ? w : h) != static_cast<uint32_t>(g.Height())) {
        TIFFClose(tif);
        if (first) *first = "size";
        return -1;
    }
    std::vector<uint32_t> rgba(static_cast<size_t>(w) * h);
    int ok = TIFFReadRGBAImageOriented(tif, w, h, rgba.data(), ORIENTATION_TOPLEFT, 1);
    TIFFClose(tif);
    if (!ok) return -1;
    int bad = 0;
    // Colours under an alpha plane are straight; libtiff's are premultiplied
    // (the fourth byte still holds the alpha after the turn).
    const bool straight = !stored.AlphaChannel().empty();
    if (straight) tolerance = std::max(tolerance, 1);
    std::vector<uint8_t> row(static_cast<size_t>(g.Width()) * 4);
    for (int y = 0; y < g.Height(); ++y) {
        g.GetRowBGRX(y, row.data());
        if (straight)
            for (int x = 0; x < g.Width(); ++x)
                for (int c = 0; c < 3; ++c) {
                    const int a = g.ScanLine(y)[4 * x + 3];
                    row[4 * x + c] = static_cast<uint8_t>((row[4 * x + c] * a + 127) / 255);
                }
        for (int x = 0; x < g.Width(); ++x) {
            TPoint s = LibtiffSpot(orientation, x, y, static_cast<int>(w), static_cast<int>(h));
            uint32_t v = rgba[static_cast<size_t>(s.Y) * w + s.X];
            const uint8_t* c = &row[static_cast<size_t>(x) * 4];
            int d = std::max({std::abs(int(TIFFGetR(v)) - c[2]), std::abs(int(TIFFGetG(v)) - c[1]),
                              std::abs(int(TIFFGetB(v)) - c[0])});
            if (d > tolerance && bad++ == 0 && first)
                *first = "(" + std::to_string(x) + "," + std::to_string(y) + ")";
        }
    }
    return bad;
}

// 8-bit CMYK with a profile of its own is converted through it: compared with
// Little CMS's conversion of the ink libtiff's scanline reader gives. -1 when
// the file is not such a file.
int CompareInkWithLittleCMS(const TTIFFGraphic& g, const std::string& path) {
    if (!TProfileTransform::ToSRGB(g.Metadata().Icc, ppCMYK, ppBGR)) return -1;
    bool failed = false;
    TIFF* tif = OpenReference(path, &failed);
    if (!tif) return -1;
    uint16_t photometric = 0, samples = 0, bits = 0, planar = PLANARCONFIG_CONTIG;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    if (photometric != PHOTOMETRIC_SEPARATED || samples != 4 || bits != 8 || TIFFIsTiled(tif)) {
        TIFFClose(tif);
        return -1;
    }
    const std::string& icc = g.Metadata().Icc;
    cmsHPROFILE from = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    cmsHPROFILE to = cmsCreate_sRGBProfile();
    const bool perceptual = cmsIsCLUT(from, INTENT_PERCEPTUAL, LCMS_USED_AS_INPUT);
    cmsHTRANSFORM t =
        cmsCreateTransform(from, TYPE_CMYK_8, to, TYPE_BGR_8,
                           perceptual ? INTENT_PERCEPTUAL : INTENT_RELATIVE_COLORIMETRIC,
                           perceptual ? cmsFLAGS_BLACKPOINTCOMPENSATION : 0);
    const int w = g.Width();
    std::vector<uint8_t> line(static_cast<size_t>(TIFFScanlineSize(tif))), ink(w * 4), bgr(w * 3);
    int bad = 0;
    for (int y = 0; y < g.Height(); ++y) {
        for (uint16_t k = 0; k < (planar == PLANARCONFIG_SEPARATE ? 4 : 1); ++k) {
            TIFFReadScanline(tif, line.data(), static_cast<uint32_t>(y), k);
            for (int x = 0; x < w; ++x)
                if (planar == PLANARCONFIG_SEPARATE)
                    ink[4 * x + k] = line[x];
                else
                    std::memcpy(&ink[4 * x], &line[4 * x], 4);
        }
        cmsDoTransform(t, ink.data(), bgr.data(), static_cast<cmsUInt32Number>(w));
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                bad += std::abs(g.ScanLine(y)[4 * x + c] - bgr[3 * x + c]) > 1;
    }
    cmsDeleteTransform(t);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    TIFFClose(tif);
    return failed ? -1 : bad;
}

bool LibtiffReadsWhole(const std::string& path) {
    bool failed = false;
    TIFF* tif = OpenReference(path, &failed);
    if (!tif) return false;
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    bool ok = false;
    char message[1024];
    if (w > 0 && h > 0 && uint64_t(w) * h <= (uint64_t(1) << 26) && TIFFRGBAImageOK(tif, message)) {
        std::vector<uint32_t> rgba(size_t(w) * h);
        ok = TIFFReadRGBAImageOriented(tif, w, h, rgba.data(), ORIENTATION_TOPLEFT, 1) != 0;
    }
    TIFFClose(tif);
    return ok && !failed;
}
} // namespace

TEST(TTIFFGraphic, CorpusFilesMatchLibtiffOrFailCleanly) {
    REQUIRE_CORPUS("tiff");
    SilenceLibtiff();
    int loaded = 0, failed = 0, equal = 0, oriented = 0, throughProfile = 0;
    for (const std::string& path : CorpusFiles("tiff", {".tif", ".tiff"}, true)) {
        std::string name = std::filesystem::path(path).filename();
        SCOPED_TRACE(name);
        TTIFFGraphic g;
        bool ours = false;
        std::string error;
        try {
            g.LoadFromFile(path);
            ours = true;
        } catch (const Exception& e) {
            error = e.what();
            EXPECT_FALSE(error.empty());
        }
        bool reference = LibtiffReadsWhole(path);
        const TImageProperties& p = g.ImageProperties();
        if (!ours) {
            ++failed;
            // Whatever libtiff reads whole we read too, except the depths we refuse.
            if (reference && (p.SampleCount > 1 || p.SampleBits == 1 || p.SampleBits == 2 ||
                              p.SampleBits == 4 || p.SampleBits == 8))
                ADD_FAILURE() << "libtiff reads it, we fail: " << error;
            continue;
        }
        ++loaded;
        if (!reference) continue;
        if (const int ink = CompareInkWithLittleCMS(g, path); ink >= 0) {
            EXPECT_EQ(ink, 0) << "pixels further than 1 from Little CMS";
            ++throughProfile;
            continue;
        }
        std::string first;
        int tolerance = p.SampleCount == 1 ? 1 : 0;
        int mismatches = CompareWithLibtiff(g, path, tolerance, &first);
        EXPECT_EQ(mismatches, 0) << first;
        if (mismatches == 0) ++equal;
        if (p.RowOrder != 1) ++oriented;
    }
    std::printf("TIFF corpus: %d loaded (%d equal libtiff, %d of them not top-left; %d CMYK "
                "through their profile), %d refused\n",
                loaded, equal, oriented, throughProfile, failed);
    EXPECT_GT(loaded, 100);
    EXPECT_GE(oriented, 7);
}

// The fuzzer's CMYK seeds take the ink path, so the fuzzer starts inside it.
// Both hold the same picture: by contiguous strips and by planar tiles.
TEST(TTIFFGraphic, CMYKSeedsOfTheFuzzerConvertThroughTheirProfile) {
    SilenceLibtiff();
    const std::string strips = "fuzz/regressions/tiff/cmyk-profile-strips.tif",
                      tiles = "fuzz/regressions/tiff/cmyk-profile-planar-tiles.tif";
    if (!std::filesystem::exists(strips) || !std::filesystem::exists(tiles))
        GTEST_SKIP() << "no kept inputs";
    TTIFFGraphic a, b;
    a.LoadFromFile(strips);
    b.LoadFromFile(tiles);
    EXPECT_EQ(CompareInkWithLittleCMS(a, strips), 0);
    ASSERT_EQ(b.Width(), a.Width());
    ASSERT_EQ(b.Height(), a.Height());
    for (int y = 0; y < a.Height(); ++y)
        EXPECT_EQ(0, std::memcmp(a.ScanLine(y), b.ScanLine(y), a.RowBytes())) << y;
}

// The eight files hold one picture of text, stored turned as each tag says
// (5..8 stored 88 x 590 for a 590 x 88 picture); each was encoded on its own,
// so a few edge pixels differ, while a wrong turn differs along every letter.
TEST(TTIFFGraphic, CorpusOrientationsAllShowTheSamePicture) {
    REQUIRE_CORPUS("tiff/pillow/g4_orientation_1.tif");
    TTIFFGraphic upright;
    upright.LoadFromFile(CorpusPath("tiff/pillow/g4_orientation_1.tif"));
    for (int orientation = 2; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        TTIFFGraphic g;
        g.LoadFromFile(
            CorpusPath("tiff/pillow/g4_orientation_" + std::to_string(orientation) + ".tif"));
        EXPECT_EQ(g.ImageProperties().RowOrder, orientation);
        std::unique_ptr<TBitmap> up = Upright(g);
        ASSERT_EQ(up->Width(), upright.Width());
        ASSERT_EQ(up->Height(), upright.Height());
        int differing = 0;
        for (int y = 0; y < up->Height(); ++y)
            for (int x = 0; x < up->Width(); ++x)
                differing += up->Pixel(x, y) != upright.Pixel(x, y);
        EXPECT_LT(differing, up->Width() * up->Height() / 100);
    }
}

TEST(TEPSGraphic, ShowsTheTIFFPreviewAtItsOwnSize) {
    REQUIRE_CORPUS("eps");
    TEPSGraphic g;
    g.LoadFromFile(CorpusPath("eps/epstool-generated/logo-tiff6p-grey.eps"));
    EXPECT_EQ(g.PixelFormat(), pf8bit);
    EXPECT_EQ(g.Width(), 119);
    EXPECT_EQ(g.Height(), 180);
    g.LoadFromFile(CorpusPath("eps/epstool-generated/cmyk-tiff32nc.eps"));
    EXPECT_EQ(g.PixelFormat(), pf32bit);
}

TEST(TEPSGraphic, PreviewsMatchLibtiffAndTextFilesAreRefused) {
    REQUIRE_CORPUS("eps");
    SilenceLibtiff();
    const std::string invalid = "Cannot load image. Invalid or unexpected EPS image format.";
    TTempFolder dir;
    for (const std::string& path : CorpusFiles("eps", {".eps"}, true)) {
        std::string name = std::filesystem::path(path).filename();
        SCOPED_TRACE(name);
        Bytes file = ReadFileBytes(path);
        bool hasPreview = file.size() >= 30 && file[0] == 0xC5 && file[1] == 0xD0 &&
                          (file[24] | file[25] | file[26] | file[27]) != 0;
        TEPSGraphic g;
        if (!hasPreview) {
            try {
                g.LoadFromFile(path);
                ADD_FAILURE() << "loaded without a preview";
            } catch (const EInvalidGraphic& e) {
                EXPECT_EQ(e.what(), invalid);
            }
            continue;
        }
        ASSERT_NO_THROW(g.LoadFromFile(path));
        uint32_t offset =
            file[20] | (file[21] << 8) | (file[22] << 16) | (uint32_t(file[23]) << 24);
        uint32_t length =
            file[24] | (file[25] << 8) | (file[26] << 16) | (uint32_t(file[27]) << 24);
        WriteFileBytes(dir.File("preview.tif"),
                       Bytes(file.begin() + offset, file.begin() + offset + length));
        if (const int ink = CompareInkWithLittleCMS(g, dir.File("preview.tif")); ink >= 0) {
            EXPECT_EQ(ink, 0) << "pixels further than 1 from Little CMS";
            continue;
        }
        std::string first;
        EXPECT_EQ(CompareWithLibtiff(g, dir.File("preview.tif"),
                                     g.ImageProperties().SampleCount == 1 ? 1 : 0, &first),
                  0)
            << first;
    }
}

TEST(TEPSGraphic, APreviewReachingPastTheFileIsRefused) {
    Bytes f(64, 0);
    f[0] = 0xC5;
    f[1] = 0xD0;
    f[2] = 0xD3;
    f[3] = 0xC6;
    f[20] = 30;
    f[24] = 200; // 200 bytes from offset 30 in a 64-byte file
    TEPSGraphic g;
    try {
        g.ReadFromMemory(f.data(), 0, f.size());
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot load image. Invalid or unexpected EPS image format.");
    }
}
