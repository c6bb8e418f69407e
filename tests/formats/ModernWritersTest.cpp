// SPDX-License-Identifier: GPL-3.0-or-later
// The WebP, AVIF and JPEG XL writers: what they write is decoded by the
// formats' own libraries and compared with the picture given to them.
#include "ModernOracles.h"
#include "TestSupport.h"
#include "base/Exceptions.h"
#include "formats/HEIFGraphic.h"
#include "formats/ImageEncoder.h"
#include "formats/JXLGraphic.h"
#include "formats/ModernSupport.h"
#include "formats/WebPGraphic.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <libheif/heif.h>
#include <memory>
#include <webp/demux.h>

namespace {

enum TKind { kWebP, kAVIF, kJXL };
const char* const KindNames[] = {"WebP", "AVIF", "JPEG XL"};

std::unique_ptr<TImageEncoder> MakeEncoder(TKind kind, const TEncoderSettings& s) {
    switch (kind) {
    case kWebP:
        return std::make_unique<TWebPEncoder>(s);
    case kAVIF:
        return std::make_unique<TAVIFEncoder>(s);
    default:
        return std::make_unique<TJXLEncoder>(s);
    }
}

std::vector<uint8_t> Encode(TKind kind, const TBitmap& b, const TEncoderSettings& s,
                            const TImageMetadata& meta = TImageMetadata()) {
    TMemoryStream out;
    MakeEncoder(kind, s)->Encode(b, meta, out);
    return out.Data();
}

TReferenceImage Oracle(TKind kind, const std::vector<uint8_t>& file) {
    return kind == kWebP ? OracleWebP(file) : kind == kAVIF ? OracleHEIF(file) : OracleJXL(file);
}

std::unique_ptr<TReaderGraphic> ReadBack(TKind kind, const std::vector<uint8_t>& file) {
    std::unique_ptr<TReaderGraphic> g;
    if (kind == kWebP)
        g = std::make_unique<TWebPGraphic>();
    else if (kind == kAVIF)
        g = std::make_unique<THEIFGraphic>();
    else
        g = std::make_unique<TJXLGraphic>();
    g->ReadFromMemory(file.data(), 0, file.size());
    return g;
}

} // namespace

TEST(ModernWriters, LosslessIsExactAlphaIncluded) {
    const TBitmap picture = TestPicture(67, 45, true);
    const TReferenceImage want = RGBAOf(picture);
    TEncoderSettings s;
    s.Lossless = true;
    for (TKind kind : {kWebP, kJXL}) {
        SCOPED_TRACE(KindNames[kind]);
        const std::vector<uint8_t> file = Encode(kind, picture, s);
        EXPECT_EQ(Compare(Oracle(kind, file), want).Max, 0);
        EXPECT_EQ(Compare(RGBAOf(*ReadBack(kind, file)), want).Max, 0);
    }
}

TEST(ModernWriters, LosslessAVIFKeepsRGBWithinOneLevelAndAlphaExact) {
    // libheif 1.15 goes through its identity-matrix YCbCr path, which rounds by one level.
    const TBitmap picture = TestPicture(67, 45, true);
    const TReferenceImage want = RGBAOf(picture);
    TEncoderSettings s;
    s.Lossless = true;
    const TReferenceImage got = Oracle(kAVIF, Encode(kAVIF, picture, s));
    ASSERT_EQ(got.RGBA.size(), want.RGBA.size());
    int colour = 0, alpha = 0;
    for (size_t i = 0; i < got.RGBA.size(); ++i) {
        const int d = std::abs(int(got.RGBA[i]) - int(want.RGBA[i]));
        (i % 4 == 3 ? alpha : colour) = std::max(i % 4 == 3 ? alpha : colour, d);
    }
    EXPECT_LE(colour, 1);
    EXPECT_EQ(alpha, 0);
}

TEST(ModernWriters, HighQualityIsCloseAndLowQualityIsSmaller) {
    const TBitmap picture = TestPicture(96, 64, false);
    const TReferenceImage want = RGBAOf(picture);
    for (TKind kind : {kWebP, kAVIF, kJXL}) {
        SCOPED_TRACE(KindNames[kind]);
        TEncoderSettings high, low;
        high.Quality = 95;
        low.Quality = 20;
        const std::vector<uint8_t> good = Encode(kind, picture, high);
        const std::vector<uint8_t> poor = Encode(kind, picture, low);
        const TImageDifference d = Compare(Oracle(kind, good), want);
        ASSERT_GE(d.Max, 0);
        // Hard diagonal edges in every 32 pixels: a few levels on average at most.
        EXPECT_LT(d.Mean, 3.5);
        EXPECT_LT(poor.size(), good.size());
        // No alpha was given: none is written.
        EXPECT_TRUE(ReadBack(kind, good)->AlphaChannel().empty());
    }
}

TEST(ModernWriters, LossyKeepsTheAlphaPlane) {
    const TBitmap picture = TestPicture(64, 48, true);
    const TReferenceImage want = RGBAOf(picture);
    TEncoderSettings s;
    s.Quality = 90;
    for (TKind kind : {kWebP, kAVIF, kJXL}) {
        SCOPED_TRACE(KindNames[kind]);
        const TReferenceImage got = Oracle(kind, Encode(kind, picture, s));
        ASSERT_EQ(got.RGBA.size(), want.RGBA.size());
        double alphaError = 0;
        for (size_t i = 3; i < got.RGBA.size(); i += 4)
            alphaError += std::abs(int(got.RGBA[i]) - int(want.RGBA[i]));
        EXPECT_LT(alphaError / (64 * 48), 3.0);
    }
}

TEST(ModernWriters, MetadataIsWrittenWhereTheFormatHoldsIt) {
    const TImageMetadata meta = SampleMetadata();
    ASSERT_FALSE(meta.Icc.empty());
    const TBitmap picture = TestPicture(32, 24, false);
    TEncoderSettings s;
    s.Lossless = true;
    for (TKind kind : {kWebP, kAVIF, kJXL}) {
        SCOPED_TRACE(KindNames[kind]);
        const std::vector<uint8_t> file = Encode(kind, picture, s, meta);
        // The library's own decoder still reads it.
        EXPECT_GT(Oracle(kind, file).Width, 0);
        const TImageMetadata back = ReadBack(kind, file)->Metadata();
        EXPECT_EQ(back.Exif, meta.Exif);
        EXPECT_EQ(back.Xmp, meta.Xmp);
        EXPECT_FALSE(back.Icc.empty());
        if (kind != kJXL) {
            EXPECT_EQ(back.Icc, meta.Icc);
        }
    }
}

TEST(ModernWriters, WebPChunksAreWhereLibwebpLooksForThem) {
    TImageMetadata meta;
    meta.Exif = SampleExif();
    meta.Xmp = "<xmp/>";
    const std::vector<uint8_t> file = Encode(kWebP, TestPicture(16, 16, false), {}, meta);
    WebPData data{file.data(), file.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    ASSERT_NE(demux, nullptr);
    WebPChunkIterator it;
    ASSERT_TRUE(WebPDemuxGetChunk(demux, "EXIF", 1, &it));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(it.chunk.bytes), it.chunk.size), meta.Exif);
    WebPDemuxReleaseChunkIterator(&it);
    EXPECT_TRUE(WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & XMP_FLAG);
    WebPDemuxDelete(demux);
    // The reader takes the EXIF orientation (6) for the conversion to apply.
    TWebPGraphic g;
    g.ReadFromMemory(file.data(), 0, file.size());
    EXPECT_EQ(g.Metadata().Orientation, 6);
}

TEST(ModernWriters, QualityAndEffortOutsideTheirRangesAreBroughtIn) {
    const TBitmap picture = TestPicture(24, 16, false);
    for (TKind kind : {kWebP, kAVIF, kJXL}) {
        SCOPED_TRACE(KindNames[kind]);
        TEncoderSettings s;
        s.Quality = 300;
        s.Effort = 99;
        EXPECT_GT(Oracle(kind, Encode(kind, picture, s)).Width, 0);
        s.Quality = -5;
        s.Effort = 0;
        EXPECT_GT(Oracle(kind, Encode(kind, picture, s)).Width, 0);
    }
    EXPECT_FLOAT_EQ(TJXLEncoder::DistanceOf(90), 1.0f);
    EXPECT_FLOAT_EQ(TJXLEncoder::DistanceOf(100), 0.1f);
    EXPECT_GT(TJXLEncoder::DistanceOf(10), TJXLEncoder::DistanceOf(30));
    EXPECT_FLOAT_EQ(TJXLEncoder::DistanceOf(1), 25.0f);
}

TEST(ModernWriters, AFailedEncodeLeavesNoFile) {
    TTempFolder folder;
    const std::string path = folder.File("wide.webp");
    WriteFileBytes(path, {1, 2, 3});
    TBitmap wide(TWebPEncoder::MaxSide + 1, 1, pf24bit);
    TWebPEncoder encoder{TEncoderSettings()};
    try {
        SaveEncodedFile(encoder, wide, TImageMetadata(), path);
        FAIL() << "no exception";
    } catch (const EInvalidGraphic& e) {
        EXPECT_NE(std::string(e.what()).find("16383"), std::string::npos) << e.what();
    }
    // The older file survives untouched and no temporary file is left.
    EXPECT_EQ(ReadFileBytes(path), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST(ModernSupport, ExifFramingsAndOrientation) {
    const std::string tiff = SampleExif();
    EXPECT_EQ(ExifOrientation(tiff), 6);
    const std::string app1 = std::string("Exif\0\0", 6) + tiff;
    EXPECT_EQ(ExifFromApp1Form(reinterpret_cast<const uint8_t*>(app1.data()), app1.size()), tiff);
    const std::string box = ExifToBoxForm(tiff);
    EXPECT_EQ(ExifFromBoxForm(reinterpret_cast<const uint8_t*>(box.data()), box.size()), tiff);
    // An offset past the end, or no TIFF header where it points, gives nothing.
    std::string bad = box;
    bad[3] = 100;
    EXPECT_EQ(ExifFromBoxForm(reinterpret_cast<const uint8_t*>(bad.data()), bad.size()), "");
    EXPECT_EQ(ExifFromApp1Form(reinterpret_cast<const uint8_t*>("JUNKJUNK"), 8), "");
    // An IFD that runs past the block, or an orientation out of range, reads as 1.
    EXPECT_EQ(ExifOrientation(tiff.substr(0, 30)), 1);
    std::string odd = tiff;
    odd[30] = 9;
    EXPECT_EQ(ExifOrientation(odd), 1);
}

TEST(ModernWriters, AJunkProfileIsLeftOutQuietly) {
    // The picture is written (as sRGB where the format needs a colour space),
    // and libjxl is never handed the block, so nothing lands on stderr.
    TImageMetadata meta;
    meta.Icc = std::string(200, 'j');
    const TBitmap picture = TestPicture(16, 12, false);
    testing::internal::CaptureStderr();
    const std::vector<uint8_t> file = Encode(kJXL, picture, {}, meta);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GT(Oracle(kJXL, file).Width, 0);
    EXPECT_TRUE(ReadBack(kJXL, file)->Metadata().Icc.empty());
}
