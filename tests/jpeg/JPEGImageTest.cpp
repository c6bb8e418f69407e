// SPDX-License-Identifier: GPL-3.0-or-later
#include "jpeg/JPEGImage.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"

#include "base/Streams.h"
#include "png/PNGImage.h"

#include <cstdio>
#include <cstdlib>

#include <jerror.h>
#include <jpeglib.h>

namespace {

std::vector<uint8_t> Compress(const TBitmap& bitmap, uint8_t quality) {
    TJPEGImage jpeg;
    jpeg.Assign(bitmap);
    jpeg.CompressionQuality = quality;
    TMemoryStream out;
    jpeg.SaveToStream(out);
    return out.Data();
}

std::unique_ptr<TJPEGImage> Load(const std::vector<uint8_t>& data) {
    auto jpeg = std::make_unique<TJPEGImage>();
    TReadOnlyMemoryStream in(data.data(), data.size());
    jpeg->LoadFromStream(in);
    return jpeg;
}

// Our decoded bitmap as the reference's layout (RGB or grey samples).
std::vector<uint8_t> Samples(const TBitmap& b, int components) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(b.Width()) * b.Height() * components);
    std::vector<uint8_t> row(static_cast<size_t>(b.Width()) * 4);
    for (int y = 0; y < b.Height(); ++y) {
        b.GetRowBGRX(y, row.data());
        for (int x = 0; x < b.Width(); ++x) {
            const uint8_t* p = &row[static_cast<size_t>(x) * 4];
            if (components == 1) {
                out.push_back(p[2]);
            } else {
                out.push_back(p[2]);
                out.push_back(p[1]);
                out.push_back(p[0]);
            }
        }
    }
    return out;
}

// The reference's pixels as RGB, CMYK turned into colour by the ink formula.
std::vector<uint8_t> ExpectedSamples(const TReferenceJPEG& r) {
    if (r.OutputComponents != 4) return r.Pixels;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 3 < r.Pixels.size(); i += 4) {
        int k = r.Pixels[i + 3];
        for (int ch = 0; ch < 3; ++ch) {
            int c = r.Pixels[i + ch];
            if (r.AdobeMarker) c = 255 - c;
            int kk = r.AdobeMarker ? 255 - k : k;
            int v = 255 - (c - c * kk / 255 + kk);
            out.push_back(static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v));
        }
    }
    return out;
}

} // namespace

TEST(JPEGImageTest, QualityReachesTheEncoderClampedToOneToHundred) {
    TBitmap picture = MakeTestPicture(48, 32);
    const std::pair<int, int> cases[] = {{100, 100}, {80, 80},   {50, 50}, {30, 30},  {20, 20},
                                         {0, 1},     {150, 100}, {44, 44}, {255, 100}};
    for (auto [stored, expected] : cases) {
        auto file = Compress(picture, static_cast<uint8_t>(stored));
        TReferenceJPEG r = DecodeWithLibjpeg(file);
        ASSERT_TRUE(r.Ok) << stored;
        EXPECT_EQ(std::vector<uint16_t>(r.LumaTable, r.LumaTable + 64), LibjpegLumaTable(expected))
            << "stored quality " << stored;
    }
}

TEST(JPEGImageTest, LowerQualityGivesSmallerFiles) {
    TBitmap picture = MakeTestPicture(128, 96);
    size_t last = SIZE_MAX;
    for (int q : {100, 80, 50, 30, 20}) {
        size_t size = Compress(picture, static_cast<uint8_t>(q)).size();
        EXPECT_LT(size, last) << q;
        last = size;
    }
}

TEST(JPEGImageTest, IndexedBitmapsGiveThreeComponentBaselineJFIF) {
    for (TPixelFormat pf : {pf1bit, pf8bit, pf4bit, pf16bit, pfDevice}) {
        auto file = Compress(MakeTestPicture(40, 24, pf), 90);
        TReferenceJPEG r = DecodeWithLibjpeg(file);
        ASSERT_TRUE(r.Ok);
        EXPECT_EQ(r.Components, 3) << pf;
        EXPECT_EQ(r.Width, 40);
        EXPECT_EQ(r.Height, 24);
        // SOI then a JFIF APP0 marker; a baseline frame (SOF0) follows somewhere.
        ASSERT_GT(file.size(), 20u);
        EXPECT_EQ(file[2], 0xFF);
        EXPECT_EQ(file[3], 0xE0);
        EXPECT_EQ(std::string(file.begin() + 6, file.begin() + 10), "JFIF");
        bool sof0 = false;
        for (size_t i = 0; i + 1 < file.size(); ++i)
            if (file[i] == 0xFF && file[i + 1] == 0xC0) sof0 = true;
        EXPECT_TRUE(sof0);
    }
}

TEST(JPEGImageTest, RedAndBlueKeepTheirPlaces) {
    TBitmap b(16, 16, pf32bit);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            b.SetPixel(x, y, x < 8 ? RGBColor(255, 0, 0) : RGBColor(0, 0, 255));
    TReferenceJPEG r = DecodeWithLibjpeg(Compress(b, 100));
    ASSERT_TRUE(r.Ok);
    const uint8_t* left = &r.Pixels[(8 * 16 + 2) * 3];
    const uint8_t* right = &r.Pixels[(8 * 16 + 13) * 3];
    EXPECT_GT(left[0], 200);
    EXPECT_LT(left[2], 60);
    EXPECT_GT(right[2], 200);
    EXPECT_LT(right[0], 60);
}

TEST(JPEGImageTest, EmptyBitmapGivesNoData) {
    TJPEGImage jpeg;
    jpeg.Assign(TBitmap(0, 0, pf24bit));
    TMemoryStream out;
    jpeg.SaveToStream(out);
    EXPECT_EQ(out.Size(), 0);
}

TEST(JPEGImageTest, SizeIsKnownFromTheHeaderAndDecodingWaitsForUse) {
    auto file = Compress(MakeTestPicture(37, 21), 90);
    auto jpeg = Load(file);
    EXPECT_EQ(jpeg->Width(), 37);
    EXPECT_EQ(jpeg->Height(), 21);
    jpeg->Scale = jsHalf;
    EXPECT_EQ(jpeg->Width(), 19);
    EXPECT_EQ(jpeg->Bitmap().Width(), 19);
    EXPECT_EQ(jpeg->Bitmap().Height(), 11);
    // Saving data that was loaded writes it back unchanged.
    TMemoryStream out;
    jpeg->SaveToStream(out);
    EXPECT_EQ(out.Data(), file);
}

TEST(JPEGImageTest, DecodesLikeLibjpegAndReportsStartAndEnd) {
    auto file = Compress(MakeTestPicture(50, 30), 85);
    auto jpeg = Load(file);
    std::vector<std::pair<TProgressStage, int>> reports;
    jpeg->OnProgress = [&](TGraphic*, TProgressStage s, uint8_t p, bool, const TRect&,
                           const std::string&) { reports.emplace_back(s, p); };
    const TBitmap& b = jpeg->Bitmap();
    EXPECT_EQ(b.PixelFormat(), pf24bit);
    TReferenceJPEG r = DecodeWithLibjpeg(file);
    EXPECT_EQ(Samples(b, 3), r.Pixels);
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.front(), std::make_pair(psStarting, 0));
    EXPECT_EQ(reports.back(), std::make_pair(psEnding, 100));
}

TEST(JPEGImageTest, GreyscaleDecodesToEightBitsWithAnExactGreyPalette) {
    TJPEGImage enc;
    enc.Assign(MakeTestPicture(64, 64));
    enc.Grayscale = true;
    TMemoryStream out;
    enc.SaveToStream(out);
    TReferenceJPEG r = DecodeWithLibjpeg(out.Data());
    ASSERT_TRUE(r.Ok);
    ASSERT_EQ(r.OutputComponents, 1);
    auto jpeg = Load(out.Data());
    const TBitmap& b = jpeg->Bitmap();
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_EQ(b.Palette().Count(), 256);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(b.ScanLine(y)[x], r.Pixels[static_cast<size_t>(y) * 64 + x]);
    EXPECT_EQ(b.Palette()[200], (TPaletteEntry{200, 200, 200, 0}));
}

TEST(JPEGImageTest, EightBitSettingQuantizesTo236Colours) {
    auto jpeg = Load(Compress(MakeTestPicture(64, 64), 90));
    jpeg->PixelFormat = jf8Bit;
    const TBitmap& b = jpeg->Bitmap();
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_LE(b.Palette().Count(), 236);
    EXPECT_GT(b.Palette().Count(), 16);
}

TEST(JPEGImageTest, BrokenDataFailsWithLibjpegsErrorNumber) {
    EXPECT_THROW(
        {
            try {
                Load({});
            } catch (const EJPEG& e) {
                EXPECT_EQ(std::string(e.what()),
                          "JPEG error #" + std::to_string(JERR_INPUT_EMPTY) + ": Empty input file");
                throw;
            }
        },
        EJPEG);
    std::vector<uint8_t> junk(100, 0x42);
    try {
        Load(junk);
        FAIL() << "no error";
    } catch (const EJPEG& e) {
        // The number, then libjpeg's own words.
        EXPECT_EQ(std::string(e.what()), "JPEG error #" + std::to_string(JERR_NO_SOI) +
                                             ": Not a JPEG file: starts with 0x42 0x42");
    }
    // A header cut short inside the frame marker.
    auto file = Compress(MakeTestPicture(20, 20), 90);
    file.resize(30);
    EXPECT_THROW(Load(file), EJPEG);
}

TEST(JPEGImageTest, ProgressHandlerFailureStopsCompressionAndNothingIsKept) {
    TJPEGImage jpeg;
    jpeg.Assign(MakeTestPicture(32, 32));
    jpeg.OnProgress = [](TGraphic*, TProgressStage s, uint8_t, bool, const TRect&,
                         const std::string&) {
        if (s == psStarting) throw Exception("stop");
    };
    TMemoryStream out;
    EXPECT_THROW(jpeg.SaveToStream(out), Exception);
    EXPECT_EQ(out.Size(), 0);
    EXPECT_FALSE(jpeg.HasData());
}

TEST(JPEGImageTest, AdobeCMYKDecodesToTheInkFormulasColours) {
    // Go's decoder applies the same ink formula; its rendering is the golden file.
    REQUIRE_CORPUS("jpeg/go/reference-png/video-001.cmyk.png");
    TJPEGImage cmyk;
    cmyk.LoadFromFile(CorpusPath("jpeg/go/video-001.cmyk.jpeg"));
    TPNGImage golden;
    golden.LoadFromFile(CorpusPath("jpeg/go/reference-png/video-001.cmyk.png"));
    const TBitmap& b = cmyk.Bitmap();
    ASSERT_EQ(b.Width(), golden.Width());
    ASSERT_EQ(b.Height(), golden.Height());
    EXPECT_EQ(Samples(b, 3), Samples(golden, 3));
}

TEST(JPEGImageTest, EveryCorpusFileDecodesAsLibjpegDoesOrFailsWithItsError) {
    REQUIRE_CORPUS("jpeg");
    auto files = CorpusFiles("jpeg", {".jpg", ".jpeg"}, true);
    ASSERT_FALSE(files.empty());
    int decoded = 0, failed = 0;
    for (const auto& f : files) {
        SCOPED_TRACE(f);
        auto data = ReadFileBytes(f);
        TReferenceJPEG r = DecodeWithLibjpeg(data);
        TJPEGImage jpeg;
        if (!r.Ok) {
            try {
                TReadOnlyMemoryStream in(data.data(), data.size());
                jpeg.LoadFromStream(in);
                jpeg.Bitmap();
                ADD_FAILURE() << "decoded although libjpeg fails";
            } catch (const EJPEG& e) {
                EXPECT_EQ(std::string(e.what()).rfind(
                              "JPEG error #" + std::to_string(r.ErrorCode) + ": ", 0),
                          0u)
                    << e.what();
            }
            ++failed;
            continue;
        }
        TReadOnlyMemoryStream in(data.data(), data.size());
        jpeg.LoadFromStream(in);
        const TBitmap& b = jpeg.Bitmap();
        ASSERT_EQ(b.Width(), r.Width);
        ASSERT_EQ(b.Height(), r.Height);
        int components = r.OutputComponents == 1 ? 1 : 3;
        EXPECT_EQ(b.PixelFormat(), components == 1 ? pf8bit : pf24bit);
        EXPECT_TRUE(Samples(b, components) == ExpectedSamples(r));
        ++decoded;
    }
    EXPECT_GT(decoded, 20);
    std::printf("corpus: %d decoded as libjpeg does, %d failed with libjpeg's error\n", decoded,
                failed);
}

TEST(JPEGImageTest, DeclaredSizeBeyondThePixelLimitFailsBeforeDecoding) {
    auto file = ReadFileBytes("fuzz/regressions/jpeg/huge-dimensions.jpg");
    try {
        Load(file);
        FAIL() << "no error";
    } catch (const EImageTooLarge& e) {
        EXPECT_EQ(std::string(e.what()), "Image too large");
    }
}

namespace {
std::string DecodeError(const std::vector<uint8_t>& file) {
    try {
        auto jpeg = Load(file);
        jpeg->Bitmap();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}
} // namespace

TEST(JPEGImageTest, ACutFileFailsInsteadOfDecodingTheRestAsGrey) {
    auto file = Compress(MakeTestPicture(64, 64), 90);
    ASSERT_EQ(file[file.size() - 2], 0xFF);
    ASSERT_EQ(file[file.size() - 1], JPEG_EOI);
    auto cut = file;
    cut.resize(file.size() / 2);
    const std::string m = DecodeError(cut);
    EXPECT_EQ(m.rfind("The file is cut short: the picture data ends after ", 0), 0u) << m;
    EXPECT_NE(m.find(" of 64 rows."), std::string::npos) << m;
    // The direct decode into a raster says the same.
    auto jpeg = Load(cut);
    TBitmap target(64, 64, pf24bit);
    EXPECT_THROW(jpeg->DecodeInto(target), EJPEG);
    // Only the end marker missing: every pixel is there, the picture stands.
    auto noEnd = file;
    noEnd.resize(file.size() - 2);
    EXPECT_EQ(DecodeError(noEnd), "");
    EXPECT_EQ(Samples(Load(noEnd)->Bitmap(), 3), Samples(Load(file)->Bitmap(), 3));
}

TEST(JPEGImageTest, ACutProgressiveFileFailsToo) {
    TJPEGImage writer;
    writer.Assign(MakeTestPicture(96, 96));
    writer.ProgressiveEncoding = true;
    TMemoryStream out;
    writer.SaveToStream(out);
    const std::vector<uint8_t> file = out.Data();
    // Cut inside a scan, and cut cleanly between two scans (before an SOS).
    auto inside = file;
    inside.resize(file.size() * 2 / 3);
    EXPECT_EQ(DecodeError(inside).rfind("The file is cut short: ", 0), 0u) << DecodeError(inside);
    size_t lastScan = 0;
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) lastScan = i;
    ASSERT_GT(lastScan, 0u);
    auto between = file;
    between.resize(lastScan);
    EXPECT_EQ(DecodeError(between),
              "The file is cut short: the JPEG data ends before its last scan.");
    auto noEnd = file;
    noEnd.resize(file.size() - 2);
    EXPECT_EQ(DecodeError(noEnd), "");
}

TEST(JPEGImageTest, ASizeTheDataCannotHoldFailsBeforeDecoding) {
    // A 16 x 16 file whose frame header claims 16000 x 16000.
    auto file = Compress(MakeTestPicture(16, 16), 90);
    size_t sof = 0;
    for (size_t i = 0; i + 1 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    ASSERT_GT(sof, 0u);
    file[sof + 5] = file[sof + 7] = 16000 >> 8;
    file[sof + 6] = file[sof + 8] = 16000 & 0xFF;
    try {
        Load(file);
        FAIL() << "no error";
    } catch (const EImageTooLarge& e) {
        EXPECT_STREQ(e.what(),
                     "The file is too small for its declared size of 16000 x 16000 pixels.");
    }
}
