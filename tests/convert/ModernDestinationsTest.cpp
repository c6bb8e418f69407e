// SPDX-License-Identifier: GPL-3.0-or-later
// WebP, AVIF and JPEG XL through the whole conversion: registered readers,
// destinations 6, 7 and 8 with their options, and the source's metadata
// carried to the destination.
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/FormatStartup.h"
#include "convert/ImageConverter.h"

#include "base/Exceptions.h"
#include "formats/HEIFGraphic.h"
#include "formats/ImageEncoder.h"
#include "formats/JXLGraphic.h"
#include "formats/WebPGraphic.h"
#include "png/PNGImage.h"
#include "toolkit/Picture.h"

#include <filesystem>
#include <lcms2.h>

namespace {

class ModernDestinationsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { RegisterImageFormats(); }
    static void TearDownTestSuite() { UnregisterImageFormats(); }
    void SetUp() override { FConverter.BeforeRun(); }
    void TearDown() override { FConverter.AfterRun(); }

    std::string Convert(const std::string& src, const TConvertOptions& o, const std::string& name) {
        std::string dst = FFolder.File(name + DestinationExtension(o.Destination));
        FConverter.ConvertFile(src, dst, o);
        return dst;
    }
    static TConvertOptions To(int destination) {
        TConvertOptions o;
        o.Destination = DestinationFromIndex(destination);
        return o;
    }
    // Colours of two rasters of the same size: the largest channel difference.
    static int MaxDifference(const TGraphic& a, const TGraphic& b) {
        TBitmap x, y;
        x.Assign(a);
        y.Assign(b);
        if (x.Width() != y.Width() || x.Height() != y.Height()) return -1;
        int worst = 0;
        std::vector<uint8_t> r1(x.Width() * 4), r2(x.Width() * 4);
        for (int row = 0; row < x.Height(); ++row) {
            x.GetRowBGRX(row, r1.data());
            y.GetRowBGRX(row, r2.data());
            for (size_t i = 0; i < r1.size(); ++i)
                worst = std::max(worst, std::abs(int(r1[i]) - int(r2[i])));
        }
        return worst;
    }

    TTempFolder FFolder;
    TImageConverter FConverter;
};

} // namespace

TEST_F(ModernDestinationsTest, NewDestinationsKeepTheFirstSixIndexes) {
    EXPECT_EQ(dfWebP, 6);
    EXPECT_EQ(dfAVIF, 7);
    EXPECT_EQ(dfJXL, 8);
    EXPECT_EQ(DestinationExtension(dfPNG), ".png");
    EXPECT_EQ(DestinationExtension(dfWebP), ".webp");
    EXPECT_EQ(DestinationExtension(dfAVIF), ".avif");
    EXPECT_EQ(DestinationExtension(dfJXL), ".jxl");
    EXPECT_EQ(DestinationExtension(9), "");
}

TEST_F(ModernDestinationsTest, ReadersAreRegisteredForTheirExtensions) {
    EXPECT_EQ(TPicture::ClassForExtension("webp"), TWebPGraphic::StaticClass());
    for (const char* ext : {"heic", "heif", "hif", "avif", "HEIC"})
        EXPECT_EQ(TPicture::ClassForExtension(ext), THEIFGraphic::StaticClass()) << ext;
    EXPECT_EQ(TPicture::ClassForExtension("jxl"), TJXLGraphic::StaticClass());
}

TEST_F(ModernDestinationsTest, EachDestinationWritesAFileItsReaderTakesBack) {
    const std::string src = FFolder.File("src.bmp");
    WriteBmp(src, 61, 37);
    TPicture source;
    source.LoadFromFile(src);
    for (int d : {dfWebP, dfAVIF, dfJXL}) {
        SCOPED_TRACE(DestinationExtension(d));
        TConvertOptions o = To(d);
        o.Quality = QualityFromText("95");
        const std::string dst = Convert(src, o, "out");
        TPicture back;
        back.LoadFromFile(dst);
        ASSERT_EQ(back.Width(), 61);
        ASSERT_EQ(back.Height(), 37);
        EXPECT_LE(MaxDifference(*back.Graphic(), *source.Graphic()), 60);
    }
}

TEST_F(ModernDestinationsTest, LosslessOptionGivesTheSourcePixelsExactly) {
    const std::string src = FFolder.File("src.bmp");
    WriteBmp(src, 50, 30);
    TPicture source;
    source.LoadFromFile(src);
    TConvertOptions o = To(dfWebP);
    o.WebP.Lossless = true;
    TPicture webp;
    webp.LoadFromFile(Convert(src, o, "lossless"));
    EXPECT_EQ(MaxDifference(*webp.Graphic(), *source.Graphic()), 0);
    o = To(dfJXL);
    o.JXL.Lossless = true;
    o.JXL.Effort = 3;
    TPicture jxl;
    jxl.LoadFromFile(Convert(src, o, "lossless"));
    EXPECT_EQ(MaxDifference(*jxl.Graphic(), *source.Graphic()), 0);
    // The lossless option of one format leaves the others lossy.
    o = To(dfWebP);
    o.JXL.Lossless = true;
    o.Quality = QualityFromText("30");
    TPicture lossy;
    lossy.LoadFromFile(Convert(src, o, "lossy"));
    EXPECT_GT(MaxDifference(*lossy.Graphic(), *source.Graphic()), 0);
}

TEST_F(ModernDestinationsTest, QualityTextSetsTheQuality) {
    const std::string src = FFolder.File("src.bmp");
    WriteBmp(src, 80, 60);
    for (int d : {dfWebP, dfAVIF, dfJXL}) {
        SCOPED_TRACE(DestinationExtension(d));
        TConvertOptions o = To(d);
        o.Quality = QualityFromText("95");
        const auto big = std::filesystem::file_size(Convert(src, o, "q95"));
        o.Quality = QualityFromText("10");
        const auto small = std::filesystem::file_size(Convert(src, o, "q10"));
        EXPECT_LT(small, big);
    }
}

TEST_F(ModernDestinationsTest, SourceMetadataReachesTheDestination) {
    // A WebP source carrying EXIF, XMP and an ICC profile, written by our own writer.
    TBitmap picture = MakeTestPicture(40, 30);
    TImageMetadata meta;
    // One tag (Artist "me"): the EXIF editor keeps tags, not bytes.
    const uint8_t exif[] = {'M', 'M', 0, 42, 0, 0,   0,   8, 0, 1, 0x01, 0x3B, 0,
                            2,   0,   0, 0,  3, 'm', 'e', 0, 0, 0, 0,    0,    0};
    meta.Exif.assign(reinterpret_cast<const char*>(exif), sizeof exif);
    meta.Xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
    // A real RGB profile: one that describes nothing is not carried.
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsUInt32Number iccSize = 0;
    cmsSaveProfileToMem(srgb, nullptr, &iccSize);
    meta.Icc.resize(iccSize);
    cmsSaveProfileToMem(srgb, meta.Icc.data(), &iccSize);
    cmsCloseProfile(srgb);
    const std::string src = FFolder.File("tagged.webp");
    TWebPEncoder encoder{TEncoderSettings()};
    SaveEncodedFile(encoder, picture, meta, src);
    for (int d : {dfWebP, dfAVIF, dfJXL}) {
        SCOPED_TRACE(DestinationExtension(d));
        TPicture back;
        back.LoadFromFile(Convert(src, To(d), "tagged-out"));
        EXPECT_NE(back.Graphic()->Metadata().Exif.find(std::string("me\0", 3)), std::string::npos);
        EXPECT_EQ(back.Graphic()->Metadata().Xmp, meta.Xmp);
        // libjxl refuses a profile it cannot parse and writes sRGB: nothing to carry then.
        if (d != dfJXL) {
            EXPECT_EQ(back.Graphic()->Metadata().Icc, meta.Icc);
        }
    }
}

TEST_F(ModernDestinationsTest, CorpusFilesConvertToPNGAsTheirReadersSeeThem) {
    REQUIRE_CORPUS("modern");
    for (const char* name :
         {"photo-lossy.webp", "photo-lossless.webp", "alpha-lossless.webp", "anim.webp",
          "photo.heic", "alpha.avif", "photo-lossy.jxl", "alpha-lossless.jxl"}) {
        SCOPED_TRACE(name);
        const std::string src = CorpusPath(std::string("modern/") + name);
        TPicture source;
        source.LoadFromFile(src);
        TPicture png;
        png.LoadFromFile(Convert(src, To(dfPNG), "corpus"));
        ASSERT_EQ(png.Width(), source.Width());
        ASSERT_EQ(png.Height(), source.Height());
        // Opaque files come out as read; how alpha is flattened is the transparency path's.
        const auto* raster = dynamic_cast<const TBitmap*>(source.Graphic());
        ASSERT_NE(raster, nullptr);
        if (raster->AlphaChannel().empty()) {
            EXPECT_EQ(MaxDifference(*png.Graphic(), *source.Graphic()), 0);
        }
    }
}

TEST_F(ModernDestinationsTest, BrokenSourcesFailAndWriteNothing) {
    REQUIRE_CORPUS("modern");
    for (const char* name : {"photo-lossy.webp", "photo.heic", "photo-lossy.jxl"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = ReadFileBytes(CorpusPath(std::string("modern/") + name));
        bytes.resize(bytes.size() / 2);
        const std::string ext = std::filesystem::path(name).extension().string();
        const std::string src = FFolder.File("cut" + ext);
        WriteFileBytes(src, bytes);
        const std::string dst = FFolder.File("cut-out.png");
        EXPECT_THROW(FConverter.ConvertFile(src, dst, To(dfPNG)), Exception);
        EXPECT_FALSE(std::filesystem::exists(dst));
    }
}
