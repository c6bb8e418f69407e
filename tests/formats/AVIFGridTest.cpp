// SPDX-License-Identifier: GPL-3.0-or-later
// AVIF pictures beyond one AV1 frame are written as grids of tiles. Small
// pictures with small tiles stand in for the large ones here: the layout
// code is the same, only the encoder's tile size differs.
#include "formats/AVIFGrid.h"
#include "ModernOracles.h"
#include "base/Exceptions.h"
#include "base/SpareCores.h"
#include "formats/HEIFGraphic.h"
#include "formats/ImageEncoder.h"
#include "formats/ModernSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <libheif/heif.h>

namespace {

std::vector<uint8_t> EncodeTiled(const TBitmap& picture, const TEncoderSettings& s, int tile,
                                 const TImageMetadata& meta = TImageMetadata()) {
    TMemoryStream out;
    TAVIFEncoder(s).EncodeTiled(picture, meta, out, tile);
    return out.Data();
}

TEncoderSettings Lossless() {
    TEncoderSettings s;
    s.Lossless = true;
    return s;
}

// Largest colour and alpha differences (libheif's lossless path rounds colour by one level).
std::pair<int, int> ColourAndAlphaError(const TReferenceImage& got, const TReferenceImage& want) {
    int colour = 0, alpha = 0;
    for (size_t i = 0; i < got.RGBA.size() && i < want.RGBA.size(); ++i) {
        const int d = std::abs(int(got.RGBA[i]) - int(want.RGBA[i]));
        int& worst = i % 4 == 3 ? alpha : colour;
        worst = std::max(worst, d);
    }
    return {colour, alpha};
}

struct THeifFile {
    heif_context* Context = heif_context_alloc();
    explicit THeifFile(const std::vector<uint8_t>& file) {
        const heif_error e =
            heif_context_read_from_memory_without_copy(Context, file.data(), file.size(), nullptr);
        EXPECT_EQ(e.code, heif_error_Ok) << e.message;
    }
    ~THeifFile() { heif_context_free(Context); }
};

} // namespace

TEST(AVIFGrid, TilesOverhangingThePictureDecodeToItsExactSizeAndPixels) {
    // 300 x 200 in tiles of at most 128: 3 x 2 tiles of 104, overhanging by 12 and 8.
    const TBitmap picture = TestPicture(300, 200, true);
    const std::vector<uint8_t> file = EncodeTiled(picture, Lossless(), 128);
    const TReferenceImage want = RGBAOf(picture);
    const TReferenceImage got = OracleHEIF(file);
    ASSERT_EQ(got.Width, 300);
    ASSERT_EQ(got.Height, 200);
    const auto [colour, alpha] = ColourAndAlphaError(got, want);
    EXPECT_LE(colour, 1);
    EXPECT_EQ(alpha, 0);

    // One picture for the viewer: the tiles and the alpha are not images of their own.
    THeifFile heif(file);
    EXPECT_EQ(heif_context_get_number_of_top_level_images(heif.Context), 1);

    // Our own reader sees the same picture, alpha plane included.
    THEIFGraphic g;
    g.ReadFromMemory(file.data(), 0, file.size());
    EXPECT_EQ(g.Width(), 300);
    EXPECT_EQ(g.Height(), 200);
    EXPECT_EQ(ColourAndAlphaError(RGBAOf(g), want).second, 0);
}

TEST(AVIFGrid, LossyTilesStayCloseAcrossTheirSeams) {
    const TBitmap picture = TestPicture(160, 96, false);
    TEncoderSettings s;
    s.Quality = 95;
    const TReferenceImage got = OracleHEIF(EncodeTiled(picture, s, 64));
    const TImageDifference d = Compare(got, RGBAOf(picture));
    ASSERT_GE(d.Max, 0);
    EXPECT_LT(d.Mean, 3.5);
    // No alpha given, none written.
    EXPECT_EQ(ColourAndAlphaError(got, RGBAOf(picture)).second, 0);
}

TEST(AVIFGrid, OneTileLargerThanThePictureIsCroppedToIt) {
    const TBitmap picture = TestPicture(37, 21, false);
    const TReferenceImage got = OracleHEIF(EncodeTiled(picture, Lossless(), 64));
    EXPECT_EQ(got.Width, 37);
    EXPECT_EQ(got.Height, 21);
    EXPECT_LE(ColourAndAlphaError(got, RGBAOf(picture)).first, 1);
}

TEST(AVIFGrid, MetadataBelongsToTheGrid) {
    const TImageMetadata meta = SampleMetadata();
    ASSERT_FALSE(meta.Icc.empty());
    const std::vector<uint8_t> file =
        EncodeTiled(TestPicture(100, 70, false), Lossless(), 64, meta);
    THEIFGraphic g;
    g.ReadFromMemory(file.data(), 0, file.size());
    const TImageMetadata back = g.Metadata();
    EXPECT_EQ(back.Exif, meta.Exif);
    EXPECT_EQ(back.Xmp, meta.Xmp);
    EXPECT_EQ(back.Icc, meta.Icc);
}

TEST(AVIFGrid, AStillIsTakenApartIntoItsCodedDataAndProperties) {
    TMemoryStream out;
    TAVIFEncoder(Lossless()).Encode(TestPicture(40, 30, true), TImageMetadata(), out);
    const std::vector<uint8_t>& file = out.Data();
    const TAvifStill still = ReadAvifStill(file.data(), file.size());
    EXPECT_FALSE(still.Colour.Data.empty());
    EXPECT_FALSE(still.Colour.Property("av1C").empty());
    EXPECT_FALSE(still.Colour.Property("ispe").empty());
    ASSERT_TRUE(still.Alpha.has_value());
    EXPECT_NE(still.Alpha->Property("auxC").find("alpha"), std::string::npos);

    // Every cut of the file is refused with the format's error, never read past its end.
    for (size_t n = 0; n < file.size(); n += 7) {
        SCOPED_TRACE(n);
        try {
            const TAvifStill part = ReadAvifStill(file.data(), n);
            // A cut inside the coded data is only noticed by the decoder.
            EXPECT_LE(part.Colour.Data.size(), still.Colour.Data.size());
        } catch (const EInvalidGraphic&) {
        }
    }
    EXPECT_THROW(ReadAvifStill(file.data(), 0), EInvalidGraphic);
}

TEST(AVIFGrid, GridsRefuseTilesThatDoNotFillThem) {
    TMemoryStream out;
    TAVIFEncoder(Lossless()).Encode(TestPicture(16, 16, false), TImageMetadata(), out);
    const TAvifStill still = ReadAvifStill(out.Data().data(), out.Data().size());
    TAvifGridLayout layout;
    layout.Width = 40;
    layout.Height = 16;
    layout.TileWidth = layout.TileHeight = 16;
    TMemoryStream grid;
    EXPECT_THROW(WriteAvifGrid(layout, {still, still}, "", "", grid), EInvalidGraphic);
    EXPECT_NO_THROW(WriteAvifGrid(layout, {still, still, still}, "", "", grid));
    layout.Width = 16 * 257;
    EXPECT_THROW(WriteAvifGrid(layout, std::vector<TAvifStill>(257, still), "", "", grid),
                 EInvalidGraphic);
}

TEST(AVIFGrid, OnlyPicturesBeyondTheLargestFrameAreTiled) {
    EXPECT_TRUE(TAVIFEncoder::FitsOneFrame(6000, 4000));
    EXPECT_TRUE(TAVIFEncoder::FitsOneFrame(16384, 2176));
    EXPECT_TRUE(TAVIFEncoder::FitsOneFrame(4096, 8704));
    EXPECT_FALSE(TAVIFEncoder::FitsOneFrame(16385, 100));
    EXPECT_FALSE(TAVIFEncoder::FitsOneFrame(100, 8705));
    EXPECT_FALSE(TAVIFEncoder::FitsOneFrame(10000, 10000));
}

TEST(AVIFGrid, ARegionIsTheSameSliceOfTheWholeGather) {
    for (bool alpha : {false, true}) {
        SCOPED_TRACE(alpha);
        const TBitmap picture = TestPicture(23, 17, alpha);
        const TInterleavedPixels whole = GatherInterleaved(picture);
        const TInterleavedPixels part =
            GatherInterleavedRegion(picture, 5, 3, 11, 9, whole.Channels);
        ASSERT_EQ(part.Data.size(), size_t(11 * 9 * whole.Channels));
        for (int y = 0; y < 9; ++y)
            EXPECT_EQ(0,
                      std::memcmp(part.Data.data() + part.Stride() * y,
                                  whole.Data.data() + whole.Stride() * (y + 3) + 5 * whole.Channels,
                                  part.Stride()));
    }
}

TEST(AVIFGrid, IdleCoresEncodeTilesToTheSameFile) {
    const TBitmap picture = TestPicture(200, 150, true);
    TEncoderSettings s;
    s.Quality = 70;
    const std::vector<uint8_t> alone = EncodeTiled(picture, s, 64);
    // Two workers of a parallel batch wait for work: their cores are lent.
    SpareCores::Offer();
    SpareCores::Offer();
    const std::vector<uint8_t> shared = EncodeTiled(picture, s, 64);
    EXPECT_EQ(SpareCores::Available(), 2); // given back
    SpareCores::Withdraw();
    SpareCores::Withdraw();
    EXPECT_EQ(alone, shared);
}

TEST(AVIFGrid, ExtentsNamingTheSameBytesAgainAreRefused) {
    std::string file;
    auto u16 = [](std::string& s, uint32_t v) {
        s.push_back(char(v >> 8));
        s.push_back(char(v));
    };
    auto u32 = [&](std::string& s, uint32_t v) {
        u16(s, v >> 16);
        u16(s, v & 0xFFFF);
    };
    auto box = [&](const char* type, const std::string& payload) {
        std::string b;
        u32(b, static_cast<uint32_t>(payload.size() + 8));
        return b + type + payload;
    };
    const uint32_t extents = 1000;
    std::string pitm(4, '\0'), iloc(4, '\0');
    u16(pitm, 1);
    u16(iloc, 0x4400); // 4-byte offsets and lengths, no base offset
    u16(iloc, 1);      // one item
    u16(iloc, 1);      // its id
    u16(iloc, 0);      // in this file
    u16(iloc, extents);
    // One property (an 'ispe') associated with the item, so that only its data is wrong.
    std::string ipma(4, '\0');
    u32(ipma, 1);
    u16(ipma, 1);
    ipma += std::string("\x01\x01", 2);
    const std::string iprp =
        box("iprp", box("ipco", box("ispe", std::string(12, '\0'))) + box("ipma", ipma));
    for (uint32_t i = 0; i < extents; ++i) {
        u32(iloc, 0);
        u32(iloc, 4000); // half the file, every time
    }
    file = box("meta", std::string(4, '\0') + box("pitm", pitm) + box("iloc", iloc) + iprp);
    ASSERT_GT(file.size(), 4000u);
    EXPECT_THROW(ReadAvifStill(reinterpret_cast<const uint8_t*>(file.data()), file.size()),
                 EInvalidGraphic);
}
