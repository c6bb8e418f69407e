// SPDX-License-Identifier: GPL-3.0-or-later
// Writers on pictures too large to hand a library whole: JPEG XL goes out as
// cropped layers, WebP reads the raster's rows in place. Small pictures stand
// in for large ones (the JPEG XL bound and tile side are parameters).
#include "ModernOracles.h"
#include "base/Streams.h"
#include "formats/ImageEncoder.h"
#include "formats/JXLGraphic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <jxl/decode.h>
#include <jxl/encode.h>

namespace {

std::vector<uint8_t> EncodeJXL(const TBitmap& b, const TEncoderSettings& s, int64_t bound,
                               int tileSide, const TImageMetadata& meta = TImageMetadata()) {
    TMemoryStream out;
    TJXLEncoder(s).EncodeLayered(b, meta, out, bound, tileSide);
    return out.Data();
}

struct TLayer {
    int X, Y, Width, Height;
    bool operator==(const TLayer&) const = default;
};

// The layers as stored, read without merging them.
std::vector<TLayer> LayersOf(const std::vector<uint8_t>& file) {
    std::vector<TLayer> layers;
    JxlDecoder* dec = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(dec, JXL_DEC_FRAME);
    JxlDecoderSetCoalescing(dec, JXL_FALSE);
    JxlDecoderSetInput(dec, file.data(), file.size());
    JxlDecoderCloseInput(dec);
    for (;;) {
        const JxlDecoderStatus s = JxlDecoderProcessInput(dec);
        if (s != JXL_DEC_FRAME) break;
        JxlFrameHeader h;
        JxlDecoderGetFrameHeader(dec, &h);
        layers.push_back({h.layer_info.crop_x0, h.layer_info.crop_y0,
                          static_cast<int>(h.layer_info.xsize),
                          static_cast<int>(h.layer_info.ysize)});
        EXPECT_EQ(h.duration, 0u);
        EXPECT_EQ(h.layer_info.blend_info.blendmode, JXL_BLEND_REPLACE);
    }
    JxlDecoderDestroy(dec);
    return layers;
}

TReferenceImage ReadOurs(const std::vector<uint8_t>& file) {
    TJXLGraphic g;
    g.ReadFromMemory(file.data(), 0, file.size());
    return RGBAOf(g);
}

// Peak signal-to-noise ratio of the colour channels, in dB.
double Psnr(const TReferenceImage& a, const TReferenceImage& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.RGBA.size(); ++i) {
        if (i % 4 == 3) continue;
        const double d = double(a.RGBA[i]) - b.RGBA[i];
        sum += d * d;
        ++n;
    }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * n / sum);
}

// Soft gradients and waves, where a seam between tiles would show.
TBitmap SmoothPicture(int width, int height, bool withAlpha) {
    TBitmap b(width, height, pf24bit);
    std::vector<uint8_t> alpha(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uint8_t>(128 + 100 * std::sin(x / 9.0) * std::cos(y / 13.0));
            row[3 * x + 1] = static_cast<uint8_t>(y * 255 / height);
            row[3 * x + 2] = static_cast<uint8_t>(x * 255 / width);
            alpha[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>((x + y) * 255 / (width + height));
        }
    }
    if (withAlpha) b.SetAlphaChannel(std::move(alpha));
    return b;
}

class LargeJXL : public ::testing::TestWithParam<bool> {};

TEST_P(LargeJXL, LosslessLayersRebuildEveryPixel) {
    const bool alpha = GetParam();
    const TBitmap b = TestPicture(300, 200, alpha);
    TEncoderSettings s;
    s.Lossless = true;
    s.Effort = 3;
    const std::vector<uint8_t> file = EncodeJXL(b, s, 300 * 200 - 1, 128);

    // Tiles row by row, the last column and row cut to what is left.
    const std::vector<TLayer> expected = {{0, 0, 128, 128},    {128, 0, 128, 128},
                                          {256, 0, 44, 128},   {0, 128, 128, 72},
                                          {128, 128, 128, 72}, {256, 128, 44, 72}};
    EXPECT_EQ(LayersOf(file), expected);

    const TReferenceImage want = RGBAOf(b);
    EXPECT_EQ(Compare(OracleJXL(file), want).Max, 0);
    EXPECT_EQ(Compare(ReadOurs(file), want).Max, 0);
}

TEST_P(LargeJXL, LossyLayersStayCloseToOneFrame) {
    const TBitmap b = SmoothPicture(300, 200, GetParam());
    TEncoderSettings s;
    s.Quality = 80;
    s.Effort = 3;
    const std::vector<uint8_t> tiled = EncodeJXL(b, s, 300 * 200 - 1, 128);
    const std::vector<uint8_t> whole = EncodeJXL(b, s, 300 * 200, 128);
    ASSERT_EQ(LayersOf(tiled).size(), 6u);
    ASSERT_EQ(LayersOf(whole).size(), 1u);

    const TReferenceImage want = RGBAOf(b);
    const TReferenceImage ours = ReadOurs(tiled);
    const TReferenceImage one = ReadOurs(whole);
    const TImageDifference d = Compare(ours, want);
    ASSERT_GE(d.Max, 0) << "the size differs";
    EXPECT_LT(d.Mean, 2.5);
    // The tile edges cost at most a little against the single frame.
    EXPECT_LE(d.Max, Compare(one, want).Max + 4);
    EXPECT_GT(Psnr(ours, want), Psnr(one, want) - 0.5);
    EXPECT_EQ(Compare(OracleJXL(tiled), ours).Max, 0);
}

INSTANTIATE_TEST_SUITE_P(Alpha, LargeJXL, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "RGBA" : "RGB"; });

TEST(LargeJXL, PictureAtTheBoundKeepsTheSingleFrameBytes) {
    const TBitmap b = TestPicture(120, 90, false);
    TEncoderSettings s;
    s.Effort = 3;
    TMemoryStream usual;
    TJXLEncoder(s).Encode(b, TImageMetadata(), usual);
    EXPECT_EQ(EncodeJXL(b, s, 120 * 90, 32), usual.Data());
    EXPECT_NE(EncodeJXL(b, s, 120 * 90 - 1, 32), usual.Data());
}

TEST(LargeJXL, LayeredFileKeepsItsMetadata) {
    const TBitmap b = TestPicture(200, 100, false);
    TImageMetadata meta;
    meta.Xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
    TEncoderSettings s;
    s.Lossless = true;
    s.Effort = 1;
    const std::vector<uint8_t> file = EncodeJXL(b, s, 1, 64, meta);
    EXPECT_EQ(LayersOf(file).size(), 8u);
    TJXLGraphic g;
    g.ReadFromMemory(file.data(), 0, file.size());
    EXPECT_EQ(g.Metadata().Xmp, meta.Xmp);
    EXPECT_EQ(Compare(RGBAOf(g), RGBAOf(b)).Max, 0);
}

// Layers made with libjxl directly, to pin how the reader merges them: the
// ones that replace their rectangle are placed by us, anything else is left
// to libjxl; both must give what libjxl's own merging gives.
struct TLayerSpec {
    int X, Y, Width, Height;
    JxlBlendMode Mode;
    uint8_t Red, Alpha;
    uint32_t Duration = 0;
};

std::vector<uint8_t> LayeredFile(int width, int height, bool animation,
                                 const std::vector<TLayerSpec>& layers) {
    JxlEncoder* enc = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = width;
    info.ysize = height;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.alpha_bits = 8;
    info.num_extra_channels = 1;
    info.uses_original_profile = JXL_TRUE;
    info.have_animation = animation;
    info.animation.tps_numerator = 10;
    info.animation.tps_denominator = 1;
    EXPECT_EQ(JxlEncoderSetBasicInfo(enc, &info), JXL_ENC_SUCCESS);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(enc, &srgb);
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, 1);
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (const TLayerSpec& l : layers) {
        JxlFrameHeader header;
        JxlEncoderInitFrameHeader(&header);
        header.duration = l.Duration;
        header.layer_info.have_crop = JXL_TRUE;
        header.layer_info.crop_x0 = l.X;
        header.layer_info.crop_y0 = l.Y;
        header.layer_info.xsize = l.Width;
        header.layer_info.ysize = l.Height;
        header.layer_info.blend_info.blendmode = l.Mode;
        JxlBlendInfo alpha;
        JxlEncoderInitBlendInfo(&alpha);
        alpha.blendmode = l.Mode;
        EXPECT_EQ(JxlEncoderSetFrameHeader(settings, &header), JXL_ENC_SUCCESS);
        EXPECT_EQ(JxlEncoderSetExtraChannelBlendInfo(settings, 0, &alpha), JXL_ENC_SUCCESS);
        std::vector<uint8_t> pixels;
        for (int y = 0; y < l.Height; ++y)
            for (int x = 0; x < l.Width; ++x)
                pixels.insert(pixels.end(), {l.Red, static_cast<uint8_t>(x * 7),
                                             static_cast<uint8_t>(y * 5), l.Alpha});
        EXPECT_EQ(JxlEncoderAddImageFrame(settings, &format, pixels.data(), pixels.size()),
                  JXL_ENC_SUCCESS);
    }
    JxlEncoderCloseInput(enc);
    std::vector<uint8_t> out(1 << 20);
    uint8_t* next = out.data();
    size_t avail = out.size();
    EXPECT_EQ(JxlEncoderProcessOutput(enc, &next, &avail), JXL_ENC_SUCCESS);
    out.resize(out.size() - avail);
    JxlEncoderDestroy(enc);
    return out;
}

TEST(JXLLayers, ReplacingLayersAreMergedAsLibjxlMergesThem) {
    // The first layer leaves a margin (transparent black), one reaches past
    // the left edge and one past the bottom right corner.
    const std::vector<uint8_t> file = LayeredFile(40, 30, false,
                                                  {{2, 3, 20, 20, JXL_BLEND_REPLACE, 200, 255},
                                                   {-6, 10, 16, 8, JXL_BLEND_REPLACE, 90, 128},
                                                   {30, 22, 15, 12, JXL_BLEND_REPLACE, 20, 255},
                                                   {12, 0, 10, 5, JXL_BLEND_REPLACE, 250, 40}});
    const TReferenceImage merged = OracleJXL(file);
    ASSERT_EQ(merged.Width, 40);
    EXPECT_EQ(Compare(ReadOurs(file), merged).Max, 0);
}

TEST(JXLLayers, BlendedLayersAreLeftToLibjxl) {
    const std::vector<uint8_t> file = LayeredFile(
        40, 30, false,
        {{0, 0, 40, 30, JXL_BLEND_REPLACE, 200, 255}, {5, 5, 20, 10, JXL_BLEND_BLEND, 30, 100}});
    const TReferenceImage merged = OracleJXL(file);
    ASSERT_EQ(merged.Width, 40);
    EXPECT_EQ(Compare(ReadOurs(file), merged).Max, 0);
}

TEST(JXLLayers, AnimationGivesItsFirstFrame) {
    const std::vector<uint8_t> file = LayeredFile(20, 10, true,
                                                  {{0, 0, 20, 10, JXL_BLEND_REPLACE, 200, 255, 1},
                                                   {0, 0, 20, 10, JXL_BLEND_REPLACE, 10, 255, 1}});
    const TReferenceImage ours = ReadOurs(file);
    ASSERT_EQ(ours.Width, 20);
    EXPECT_EQ(Compare(ours, OracleJXL(file)).Max, 0);
    EXPECT_EQ(ours.RGBA[0], 200);
}

// A 24-bit raster is read in place; the same picture in the 32-bit layout
// goes through an interleaved copy. Both must give the same file, also when
// the rows carry padding (an odd width).
TEST(LargeWebP, RowsReadInPlaceGiveTheCopiedPicturesBytes) {
    for (const bool lossless : {false, true}) {
        const TBitmap b = TestPicture(301, 47, false);
        TBitmap device(b.Width(), b.Height(), pfDevice);
        for (int y = 0; y < b.Height(); ++y)
            for (int x = 0; x < b.Width(); ++x)
                for (int i = 0; i < 3; ++i)
                    device.ScanLine(y)[4 * x + i] = b.ScanLine(y)[3 * x + i];
        ASSERT_EQ(RGBAOf(device).RGBA, RGBAOf(b).RGBA);
        TEncoderSettings s;
        s.Lossless = lossless;
        TMemoryStream direct, copied;
        TWebPEncoder(s).Encode(b, TImageMetadata(), direct);
        TWebPEncoder(s).Encode(device, TImageMetadata(), copied);
        EXPECT_EQ(direct.Data(), copied.Data()) << (lossless ? "lossless" : "lossy");
        EXPECT_EQ(Compare(OracleWebP(direct.Data()), RGBAOf(b)).Max == 0, lossless);
    }
}

} // namespace
