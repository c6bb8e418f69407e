// SPDX-License-Identifier: GPL-3.0-or-later
// The WebP, HEIF/AVIF and JPEG XL readers against the formats' own decoders
// on the shared corpus, and their refusals: huge declared sizes, cut files,
// foreign data.
#include "ModernOracles.h"
#include "ReferenceImage.h"
#include "TestSupport.h"
#include "base/Exceptions.h"
#include "formats/HEIFGraphic.h"
#include "formats/JXLGraphic.h"
#include "formats/WebPGraphic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <jxl/encode.h>
#include <libheif/heif.h>
#include <memory>

namespace {

std::string Modern(const std::string& name) {
    return CorpusPath("modern/" + name);
}

template <class TReader> std::unique_ptr<TReader> Read(const std::vector<uint8_t>& bytes) {
    auto g = std::make_unique<TReader>();
    g->ReadFromMemory(bytes.data(), 0, bytes.size());
    return g;
}

template <class TReader> std::string LoadError(const std::vector<uint8_t>& bytes) {
    try {
        Read<TReader>(bytes);
    } catch (const Exception& e) {
        return e.what();
    }
    return "loaded";
}

// Ours against the library's own decoding of the same file.
template <class TReader>
void ExpectMatchesOracle(const std::string& name,
                         TReferenceImage (*oracle)(const std::vector<uint8_t>&), int tolerance) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> bytes = ReadFileBytes(Modern(name));
    auto g = Read<TReader>(bytes);
    const TReferenceImage want = oracle(bytes);
    ASSERT_GT(want.Width, 0);
    const TImageDifference d = Compare(RGBAOf(*g), want);
    ASSERT_GE(d.Max, 0) << "size " << g->Width() << "x" << g->Height() << " vs " << want.Width
                        << "x" << want.Height;
    EXPECT_LE(d.Max, tolerance);
}

// The start of a WebP file of the extended layout: the canvas size and nothing else.
std::vector<uint8_t> WebPHeaderOnly(uint32_t width, uint32_t height) {
    // The RIFF size promises more than the header: the rest is "still to come".
    std::vector<uint8_t> f{'R', 'I', 'F', 'F', 0,  16, 0, 0, 'W', 'E', 'B', 'P',
                           'V', 'P', '8', 'X', 10, 0,  0, 0, 0,   0,   0,   0};
    for (uint32_t v : {width - 1, height - 1})
        for (int i = 0; i < 3; ++i)
            f.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return f;
}

// A JPEG XL codestream whose header declares a square of side pixels and
// nothing more (all metadata at its defaults).
std::vector<uint8_t> JXLHeaderOnly(uint32_t side) {
    std::vector<uint8_t> f{0xFF, 0x0A};
    uint64_t bits = 0;
    int count = 0;
    auto put = [&](uint64_t value, int n) {
        bits |= value << count;
        count += n;
    };
    put(0, 1); // not a multiple of 8
    put(2, 2); // height: 18 bits + 1
    put(side - 1, 18);
    put(1, 3); // ratio 1:1, the width follows from the height
    put(1, 1); // all metadata default
    for (int i = 0; i < 8; ++i, bits >>= 8)
        f.push_back(static_cast<uint8_t>(bits & 0xFF));
    return f;
}

// Every "ispe" (image spatial extent) of a HEIF file set to width x height.
std::vector<uint8_t> WithExtent(std::vector<uint8_t> f, uint32_t width, uint32_t height) {
    for (size_t i = 0; i + 16 <= f.size(); ++i)
        if (std::memcmp(&f[i], "ispe", 4) == 0)
            for (int k = 0; k < 4; ++k) {
                f[i + 8 + k] = static_cast<uint8_t>(width >> (24 - 8 * k));
                f[i + 12 + k] = static_cast<uint8_t>(height >> (24 - 8 * k));
            }
    return f;
}

// Ours rotated by the EXIF orientation 6 (90 degrees clockwise) equals the upright reference.
void ExpectRotatedClockwise(const TBitmap& stored, const TReferenceImage& upright) {
    ASSERT_EQ(stored.Width(), upright.Height);
    ASSERT_EQ(stored.Height(), upright.Width);
    const TReferenceImage s = RGBAOf(stored);
    int bad = 0;
    for (int y = 0; y < upright.Height; ++y)
        for (int x = 0; x < upright.Width; ++x) {
            // Upright (x, y) shows stored (y, H - 1 - x) for a clockwise turn.
            const uint8_t* a = &upright.RGBA[(static_cast<size_t>(y) * upright.Width + x) * 4];
            const uint8_t* b = &s.RGBA[(static_cast<size_t>(s.Height - 1 - x) * s.Width + y) * 4];
            for (int c = 0; c < 3; ++c)
                bad += std::abs(a[c] - b[c]) > 2;
        }
    EXPECT_EQ(bad, 0);
}

} // namespace

// ---- WebP

TEST(WebPGraphic, CorpusFilesEqualLibwebpsDecoding) {
    REQUIRE_CORPUS("modern");
    for (const char* name : {"photo-lossy.webp", "photo-lossless.webp", "alpha-lossy.webp",
                             "alpha-lossless.webp", "anim.webp"})
        ExpectMatchesOracle<TWebPGraphic>(name, OracleWebP, 0);
}

TEST(WebPGraphic, LosslessFilesEqualTheirSourcesAlphaIncluded) {
    REQUIRE_CORPUS("modern");
    for (auto [webp, png] :
         {std::pair{"photo-lossless.webp", "photo.png"},
          std::pair{"alpha-lossless.webp", "alpha.png"}, std::pair{"anim.webp", "alpha.png"}}) {
        SCOPED_TRACE(webp);
        auto g = Read<TWebPGraphic>(ReadFileBytes(Modern(webp)));
        TReferenceImage want = LoadReferencePNG(Modern(png)), got = RGBAOf(*g);
        // img2webp without -exact keeps no colour under fully transparent pixels.
        if (std::string(webp) == "anim.webp")
            for (size_t i = 0; i < want.RGBA.size(); i += 4)
                if (want.RGBA[i + 3] == 0)
                    std::fill_n(&got.RGBA[i], 3, 0), std::fill_n(&want.RGBA[i], 3, 0);
        EXPECT_EQ(Compare(got, want).Max, 0);
    }
}

TEST(WebPGraphic, OpaqueFilesCarryNoAlphaPlane) {
    REQUIRE_CORPUS("modern");
    auto g = Read<TWebPGraphic>(ReadFileBytes(Modern("photo-lossy.webp")));
    EXPECT_TRUE(g->AlphaChannel().empty());
    auto a = Read<TWebPGraphic>(ReadFileBytes(Modern("alpha-lossy.webp")));
    EXPECT_EQ(a->AlphaChannel().size(), size_t(64 * 64));
}

// ---- HEIF / AVIF

TEST(HEIFGraphic, CorpusFilesEqualLibheifsDecoding) {
    REQUIRE_CORPUS("modern");
    for (const char* name : {"photo.heic", "alpha.heic", "photo.avif", "alpha.avif"})
        ExpectMatchesOracle<THEIFGraphic>(name, OracleHEIF, 0);
}

TEST(HEIFGraphic, CorpusFilesAreCloseToTheirSources) {
    REQUIRE_CORPUS("modern");
    for (auto [file, png] :
         {std::pair{"photo.heic", "photo.png"}, std::pair{"alpha.heic", "alpha.png"},
          std::pair{"photo.avif", "photo.png"}, std::pair{"alpha.avif", "alpha.png"}}) {
        SCOPED_TRACE(file);
        auto g = Read<THEIFGraphic>(ReadFileBytes(Modern(file)));
        const TImageDifference d = Compare(RGBAOf(*g), LoadReferencePNG(Modern(png)));
        ASSERT_GE(d.Max, 0);
        // Quality 60: each channel within a few levels on average.
        EXPECT_LT(d.Mean, 6.0);
    }
}

TEST(HEIFGraphic, ContainerRotationIsAppliedOnceAndOrientationStaysOne) {
    // An AVIF whose container says "turn 90 degrees clockwise" (irot), as a phone writes it.
    const TBitmap source = TestPicture(48, 32, false);
    const TReferenceImage pixels = RGBAOf(source);
    heif_context* ctx = heif_context_alloc();
    heif_encoder* enc = nullptr;
    ASSERT_EQ(heif_context_get_encoder_for_format(ctx, heif_compression_AV1, &enc).code,
              heif_error_Ok);
    heif_encoder_set_lossless(enc, 1);
    heif_encoder_set_parameter_string(enc, "chroma", "444");
    heif_image* img = nullptr;
    heif_image_create(48, 32, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, &img);
    heif_image_add_plane(img, heif_channel_interleaved, 48, 32, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    for (int y = 0; y < 32; ++y)
        std::memcpy(plane + y * stride, &pixels.RGBA[y * 48 * 4], 48 * 4);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
    nclx->full_range_flag = 1;
    options->output_nclx_profile = nclx;
    ASSERT_EQ(heif_context_encode_image(ctx, img, enc, options, nullptr).code, heif_error_Ok);
    std::vector<uint8_t> file;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* user) {
                           auto* v = static_cast<std::vector<uint8_t>*>(user);
                           v->insert(v->end(), static_cast<const uint8_t*>(data),
                                     static_cast<const uint8_t*>(data) + size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    ASSERT_EQ(heif_context_write(ctx, &writer, &file).code, heif_error_Ok);
    heif_encoding_options_free(options);
    heif_nclx_color_profile_free(nclx);
    heif_image_release(img);
    heif_encoder_release(enc);
    heif_context_free(ctx);

    auto g = Read<THEIFGraphic>(file);
    EXPECT_EQ(g->Width(), 32);
    EXPECT_EQ(g->Height(), 48);
    EXPECT_EQ(g->Metadata().Orientation, 1);
    EXPECT_EQ(Compare(RGBAOf(*g), OracleHEIF(file)).Max, 0);
    // The turned picture is the source turned: rotate ours back and compare.
    TReferenceImage upright = RGBAOf(*g);
    TBitmap stored(48, 32, pf24bit);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 48; ++x) {
            const uint8_t* p = &upright.RGBA[(static_cast<size_t>(x) * 32 + (31 - y)) * 4];
            stored.SetPixel(x, y, RGBColor(p[0], p[1], p[2]));
        }
    // libheif's RGB path rounds by one level at most; a wrong turn would be far off.
    EXPECT_LE(Compare(RGBAOf(stored), pixels).Max, 1);
}

// ---- JPEG XL

TEST(JXLGraphic, CorpusFilesEqualLibjxlsDecoding) {
    REQUIRE_CORPUS("modern");
    for (const char* name : {"photo-lossy.jxl", "alpha-lossless.jxl"})
        ExpectMatchesOracle<TJXLGraphic>(name, OracleJXL, 0);
}

TEST(JXLGraphic, LosslessFileEqualsItsSourceAlphaIncluded) {
    REQUIRE_CORPUS("modern");
    auto g = Read<TJXLGraphic>(ReadFileBytes(Modern("alpha-lossless.jxl")));
    EXPECT_EQ(Compare(RGBAOf(*g), LoadReferencePNG(Modern("alpha.png"))).Max, 0);
    auto photo = Read<TJXLGraphic>(ReadFileBytes(Modern("photo-lossy.jxl")));
    EXPECT_LT(Compare(RGBAOf(*photo), LoadReferencePNG(Modern("photo.png"))).Mean, 4.0);
}

TEST(JXLGraphic, OrientationIsReportedAndThePixelsStayAsStored) {
    const TBitmap source = TestPicture(40, 24, false);
    const TReferenceImage pixels = RGBAOf(source);
    JxlEncoder* enc = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = 40;
    info.ysize = 24;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.alpha_bits = 8;
    info.num_extra_channels = 1;
    info.uses_original_profile = JXL_TRUE;
    info.orientation = JXL_ORIENT_ROTATE_90_CW;
    ASSERT_EQ(JxlEncoderSetBasicInfo(enc, &info), JXL_ENC_SUCCESS);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    JxlEncoderSetColorEncoding(enc, &srgb);
    JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
    JxlEncoderSetFrameLossless(fs, JXL_TRUE);
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    ASSERT_EQ(JxlEncoderAddImageFrame(fs, &format, pixels.RGBA.data(), pixels.RGBA.size()),
              JXL_ENC_SUCCESS);
    JxlEncoderCloseInput(enc);
    std::vector<uint8_t> file(1 << 16);
    uint8_t* next = file.data();
    size_t avail = file.size();
    ASSERT_EQ(JxlEncoderProcessOutput(enc, &next, &avail), JXL_ENC_SUCCESS);
    file.resize(file.size() - avail);
    JxlEncoderDestroy(enc);

    auto g = Read<TJXLGraphic>(file);
    EXPECT_EQ(g->Metadata().Orientation, 6);
    EXPECT_EQ(Compare(RGBAOf(*g), pixels).Max, 0);
    // libjxl's own decoding turns it; turning ours the same way gives the same picture.
    ExpectRotatedClockwise(*g, OracleJXL(file));
}

// ---- Refusals

TEST(ModernReaders, TinyFilesDeclaringHugePicturesAreTooLarge) {
    // 40000 x 40000 is 1.6 gigapixels, beyond the default limit of 2^28.
    EXPECT_EQ(LoadError<TWebPGraphic>(WebPHeaderOnly(40000, 40000)), "Image too large");
    EXPECT_EQ(LoadError<TJXLGraphic>(JXLHeaderOnly(40000)), "Image too large");
    REQUIRE_CORPUS("modern");
    for (const char* name : {"photo.heic", "photo.avif"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(LoadError<THEIFGraphic>(WithExtent(ReadFileBytes(Modern(name)), 40000, 40000)),
                  "Image too large");
    }
}

TEST(ModernReaders, TheLimitFollowsTheAdjustablePixelLimit) {
    REQUIRE_CORPUS("modern");
    SetPixelLimit(64 * 64 - 1);
    EXPECT_EQ(LoadError<TWebPGraphic>(ReadFileBytes(Modern("alpha-lossless.webp"))),
              "Image too large");
    EXPECT_EQ(LoadError<THEIFGraphic>(ReadFileBytes(Modern("alpha.avif"))), "Image too large");
    EXPECT_EQ(LoadError<TJXLGraphic>(ReadFileBytes(Modern("alpha-lossless.jxl"))),
              "Image too large");
    SetPixelLimit(64 * 64);
    EXPECT_EQ(LoadError<TWebPGraphic>(ReadFileBytes(Modern("alpha-lossless.webp"))), "loaded");
    SetPixelLimit(int64_t(1) << 28);
}

TEST(ModernReaders, CutFilesFailNamingTheirFormat) {
    REQUIRE_CORPUS("modern");
    struct TCase {
        const char* File;
        const char* Format;
        std::string (*Load)(const std::vector<uint8_t>&);
    };
    const TCase cases[] = {
        {"photo-lossy.webp", "WebP", LoadError<TWebPGraphic>},
        {"photo-lossless.webp", "WebP", LoadError<TWebPGraphic>},
        {"alpha-lossy.webp", "WebP", LoadError<TWebPGraphic>},
        {"anim.webp", "WebP", LoadError<TWebPGraphic>},
        {"photo.heic", "HEIF", LoadError<THEIFGraphic>},
        {"alpha.heic", "HEIF", LoadError<THEIFGraphic>},
        {"photo.avif", "AVIF", LoadError<THEIFGraphic>},
        {"alpha.avif", "AVIF", LoadError<THEIFGraphic>},
        {"photo-lossy.jxl", "JPEG XL", LoadError<TJXLGraphic>},
        {"alpha-lossless.jxl", "JPEG XL", LoadError<TJXLGraphic>},
    };
    for (const TCase& c : cases) {
        const std::vector<uint8_t> whole = ReadFileBytes(Modern(c.File));
        for (size_t keep : {size_t(0), size_t(7), whole.size() / 4, whole.size() / 2,
                            whole.size() * 3 / 4, whole.size() - 1}) {
            SCOPED_TRACE(std::string(c.File) + " cut to " + std::to_string(keep));
            const std::string error =
                c.Load(std::vector<uint8_t>(whole.begin(), whole.begin() + keep));
            EXPECT_NE(error, "loaded");
            // Below 12 bytes no brand tells AVIF from the other HEIF files.
            const char* format = keep < 12 && std::string(c.Format) == "AVIF" ? "HEIF" : c.Format;
            EXPECT_NE(error.find(format), std::string::npos) << error;
        }
    }
}

TEST(ModernReaders, ForeignDataGetsTheInvalidFormatMessage) {
    const std::vector<uint8_t> png{0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13,
                                   'I',  'H', 'D', 'R', 0,  0,  0,  1,  0, 0, 0, 1};
    EXPECT_EQ(LoadError<TWebPGraphic>(png),
              "Cannot load image. Invalid or unexpected WebP image format.");
    EXPECT_EQ(LoadError<THEIFGraphic>(png),
              "Cannot load image. Invalid or unexpected HEIF image format.");
    EXPECT_EQ(LoadError<TJXLGraphic>(png),
              "Cannot load image. Invalid or unexpected JPEG XL image format.");
    EXPECT_FALSE(TWebPGraphic().CanRead(png.data(), png.size()));
    EXPECT_FALSE(THEIFGraphic().CanRead(png.data(), png.size()));
    EXPECT_FALSE(TJXLGraphic().CanRead(png.data(), png.size()));
}

TEST(ModernReaders, PropertiesComeFromTheHeader) {
    REQUIRE_CORPUS("modern");
    for (auto [name, w, h, alpha] :
         {std::tuple{"photo-lossy.webp", 360, 240, false}, std::tuple{"alpha.avif", 64, 64, true},
          std::tuple{"photo.heic", 360, 240, false},
          std::tuple{"alpha-lossless.jxl", 64, 64, true}}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = ReadFileBytes(Modern(name));
        std::unique_ptr<TReaderGraphic> g;
        const std::string n = name;
        if (n.ends_with(".webp"))
            g = std::make_unique<TWebPGraphic>();
        else if (n.ends_with(".jxl"))
            g = std::make_unique<TJXLGraphic>();
        else
            g = std::make_unique<THEIFGraphic>();
        ASSERT_TRUE(g->ReadProperties(bytes.data(), 0, bytes.size()));
        EXPECT_EQ(g->ImageProperties().Width, w);
        EXPECT_EQ(g->ImageProperties().Height, h);
        EXPECT_EQ(g->ImageProperties().AlphaPresent, alpha);
        EXPECT_TRUE(g->CanRead(bytes.data(), bytes.size()));
    }
}

TEST(HEIFGraphic, TenBitImagesAreRoundedToEightBits) {
    // A 10-bit HEIC with a ramp over every 10-bit level, from libheif's own encoder
    // (x265: libaom 3.6 asserts on the 10-bit AV1 libheif 1.15 asks of it).
    constexpr int W = 64, H = 16; // 1024 pixels, one per level
    heif_context* ctx = heif_context_alloc();
    heif_encoder* enc = nullptr;
    ASSERT_EQ(heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &enc).code,
              heif_error_Ok);
    heif_encoder_set_lossy_quality(enc, 100);
    heif_image* img = nullptr;
    heif_image_create(W, H, heif_colorspace_RGB, heif_chroma_interleaved_RRGGBB_LE, &img);
    heif_image_add_plane(img, heif_channel_interleaved, W, H, 10);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    // A smooth ramp through every 10-bit level (an encoder keeps smooth areas best).
    auto level = [](int x, int y) { return y * W + x; };
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            for (int c = 0; c < 3; ++c) {
                const int v = level(x, y);
                plane[y * stride + (x * 3 + c) * 2] = static_cast<uint8_t>(v & 0xFF);
                plane[y * stride + (x * 3 + c) * 2 + 1] = static_cast<uint8_t>(v >> 8);
            }
    const heif_error encoded = heif_context_encode_image(ctx, img, enc, nullptr, nullptr);
    std::vector<uint8_t> file;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* user) {
                           auto* v = static_cast<std::vector<uint8_t>*>(user);
                           v->insert(v->end(), static_cast<const uint8_t*>(data),
                                     static_cast<const uint8_t*>(data) + size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                       }};
    if (encoded.code == heif_error_Ok) heif_context_write(ctx, &writer, &file);
    heif_image_release(img);
    heif_encoder_release(enc);
    heif_context_free(ctx);
    if (encoded.code != heif_error_Ok)
        GTEST_SKIP() << "no 10-bit AV1 encoding: " << encoded.message;

    auto g = Read<THEIFGraphic>(file);
    ASSERT_EQ(g->Width(), W);
    EXPECT_EQ(g->ImageProperties().SampleBits, 10);
    const TReferenceImage got = RGBAOf(*g);
    int worst = 0;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const int want = (level(x, y) * 255 + 511) / 1023;
            worst = std::max(worst, std::abs(got.RGBA[(y * W + x) * 4] - want));
        }
    // Within the encoder's loss; a wrong shift or byte order would be far off.
    EXPECT_LE(worst, 2);
}
