// SPDX-License-Identifier: GPL-3.0-or-later
// A JPEG shrunk smoothly to half its size or less is decoded at a DCT scale
// first: the scale chosen must never fall below the destination, the result
// must stay close to filtering the full picture, and the nearest-pixel copy
// must not change at all.
#include "base/Streams.h"
#include "common/TestSupport.h"
#include "convert/ConvertTestSupport.h"
#include "convert/ImageConverter.h"
#include "convert/Orientation.h"
#include "convert/Resampler.h"
#include "jpeg/JPEGImage.h"
#include "toolkit/Picture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

namespace {

// A photo-like picture: smooth gradients, objects with hard edges at random
// places and a little grain. No pattern repeats at a fixed period: the DCT
// scales are box filters, which alias a pattern near the target's Nyquist
// frequency where a wide filter averages it out, and photos rarely hold one.
TBitmap Photo(int w, int h) {
    TBitmap b(w, h, pf24bit);
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = b.ScanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(40 + 150 * (x + y) / (w + h));
            p[1] = static_cast<uint8_t>(y * 255 / h);
            p[2] = static_cast<uint8_t>(x * 255 / w);
        }
    std::uniform_int_distribution<int> px(0, w - 1), py(0, h - 1), size(4, 120), c(0, 255);
    for (int i = 0; i < 60; ++i) {
        const int x0 = px(rng), y0 = py(rng), rw = size(rng), rh = size(rng);
        const uint8_t colour[3] = {static_cast<uint8_t>(c(rng)), static_cast<uint8_t>(c(rng)),
                                   static_cast<uint8_t>(c(rng))};
        for (int y = y0; y < std::min(h, y0 + rh); ++y)
            for (int x = x0; x < std::min(w, x0 + rw); ++x)
                std::memcpy(b.ScanLine(y) + 3 * x, colour, 3);
    }
    std::uniform_int_distribution<int> grain(-6, 6);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) {
            uint8_t& v = b.ScanLine(y)[x];
            v = static_cast<uint8_t>(std::clamp(v + grain(rng), 0, 255));
        }
    return b;
}

std::vector<uint8_t> Encode(const TBitmap& b) {
    TJPEGImage jpeg;
    jpeg.Assign(b);
    jpeg.CompressionQuality = 95;
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

// The JPEG with an APP1 segment whose EXIF block holds only the orientation.
std::vector<uint8_t> WithOrientation(const std::vector<uint8_t>& jpeg, int orientation) {
    const std::vector<uint8_t> exif = {'E', 'x',  'i',  'f', 0,
                                       0,   'I',  'I',  42,  0,
                                       8,   0,    0,    0,   1,
                                       0,   0x12, 0x01, 3,   0,
                                       1,   0,    0,    0,   static_cast<uint8_t>(orientation),
                                       0,   0,    0,    0,   0,
                                       0,   0};
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    const size_t length = exif.size() + 2;
    out.insert(out.end(),
               {0xFF, 0xE1, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

double Psnr(const TBitmap& a, const TBitmap& b) {
    double se = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const TColor p = a.Pixel(x, y), q = b.Pixel(x, y);
            for (int d : {GetRValue(p) - GetRValue(q), GetGValue(p) - GetGValue(q),
                          GetBValue(p) - GetBValue(q)})
                se += double(d) * d;
        }
    const double mse = se / (double(a.Width()) * a.Height() * 3);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

bool SameBytes(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
    for (int y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), a.RowBytes()) != 0) return false;
    return true;
}

class ShrinkOnLoad : public testing::Test {
protected:
    void SetUp() override {
        TPicture::RegisterFileFormat("bmp", "Bitmaps", TBitmap::StaticClass());
        TPicture::RegisterFileFormat("jpg", "JPEG images", TJPEGImage::StaticClass());
    }
    TTempFolder FFolder;
    TImageConverter FConverter;

    TBitmap Convert(const std::string& src, int width, TResampleMode mode) {
        const std::string dst = FFolder.File("out.bmp");
        TConvertOptions opt;
        opt.PixelFormat = PixelFormatFromIndex(pf24bit);
        opt.Resize = true;
        opt.UseHeight = false;
        opt.Width = SideFromText(std::to_string(width));
        opt.Resample = mode;
        FConverter.ConvertFile(src, dst, opt);
        TBitmap out;
        out.LoadFromFile(dst);
        return out;
    }
};

} // namespace

TEST(ShrinkOnLoadScale, IsTheSmallestStillCoveringTheTarget) {
    // 203 x 101: odd sides, so the scaled sides round up (26 x 13 at 1/8).
    const std::vector<uint8_t> data = Encode(MakeTestPicture(203, 101));
    struct TCase {
        int W, H, ExpectW, ExpectH;
    };
    for (const TCase& c : {TCase{26, 13, 26, 13}, TCase{27, 13, 51, 26}, TCase{26, 14, 51, 26},
                           TCase{51, 26, 51, 26}, TCase{52, 26, 102, 51}, TCase{102, 51, 102, 51},
                           TCase{103, 10, 203, 101}, TCase{1, 1, 26, 13}}) {
        SCOPED_TRACE(testing::Message() << c.W << " x " << c.H);
        auto jpeg = Load(data);
        EXPECT_EQ(jpeg->ScaleForAtLeast(c.W, c.H), c.ExpectW != 203);
        EXPECT_EQ(jpeg->Width(), c.ExpectW);
        EXPECT_EQ(jpeg->Height(), c.ExpectH);
        // The decoded picture has the size announced.
        EXPECT_EQ(jpeg->Bitmap().Width(), c.ExpectW);
        EXPECT_EQ(jpeg->Bitmap().Height(), c.ExpectH);
        // Once decoded, the scale stays.
        EXPECT_FALSE(jpeg->ScaleForAtLeast(1, 1));
        EXPECT_EQ(jpeg->Width(), c.ExpectW);
    }
}

TEST_F(ShrinkOnLoad, StaysCloseToFilteringTheWholePicture) {
    const std::vector<uint8_t> data = Encode(Photo(960, 640));
    const std::string src = FFolder.File("p.jpg");
    WriteFileBytes(src, data);
    // Decoded at 1/2 (300), at 1/4 with the filter reducing exactly 1.5 times
    // (160) and more (100), at 1/8 (80, 64); less than a third of the way
    // down (400), the whole picture.
    for (auto [width, scale] : {std::pair{300, jsHalf},
                                {160, jsQuarter},
                                {100, jsQuarter},
                                {80, jsEighth},
                                {64, jsEighth},
                                {400, jsFullSize}}) {
        SCOPED_TRACE(width);
        const TBitmap out = Convert(src, width, rmSmooth);
        auto full = Load(data);
        TBitmap decoded(full->Bitmap());
        EXPECT_GE(Psnr(out, *TResampler::Resample(decoded, out.Width(), out.Height(), false)),
                  40.0);
        auto scaled = Load(data);
        scaled->Scale = scale;
        TBitmap small(scaled->Bitmap());
        EXPECT_TRUE(SameBytes(out, *TResampler::Resample(small, out.Width(), out.Height(), false)));
    }
}

TEST_F(ShrinkOnLoad, TurnedPicturesScaleTheirStoredSides) {
    // A landscape stored picture seen as a portrait (orientation 6): 100 x 150
    // upright needs 225 x 150 stored at least, which 1/4 (240 x 160) gives.
    const std::vector<uint8_t> plain = Encode(Photo(960, 640));
    const std::string src = FFolder.File("u.jpg");
    WriteFileBytes(src, WithOrientation(plain, 6));
    const TBitmap out = Convert(src, 100, rmSmooth);
    ASSERT_EQ(out.Width(), 100);
    ASSERT_EQ(out.Height(), 150);
    auto full = Load(plain);
    EXPECT_GE(Psnr(out, *TResampler::Resample(*OrientUpright(full->Bitmap(), 6), 100, 150, false)),
              40.0);
    auto scaled = Load(plain);
    scaled->Scale = jsQuarter;
    EXPECT_TRUE(SameBytes(
        out, *TResampler::Resample(*OrientUpright(scaled->Bitmap(), 6), 100, 150, false)));
}

TEST_F(ShrinkOnLoad, NearestStillReadsEveryStoredPixel) {
    const std::vector<uint8_t> data = Encode(Photo(400, 300));
    const std::string src = FFolder.File("n.jpg");
    WriteFileBytes(src, data);
    const TBitmap out = Convert(src, 50, rmNearest);
    auto full = Load(data);
    const std::unique_ptr<TBitmap> reference =
        TResampler::ResampleNearest(full->Bitmap(), out.Width(), out.Height());
    EXPECT_TRUE(SameBytes(out, *reference));
}
