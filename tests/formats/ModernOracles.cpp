// SPDX-License-Identifier: GPL-3.0-or-later
#include "ModernOracles.h"

#include <cmath>
#include <cstdlib>
#include <jxl/decode.h>
#include <jxl/encode.h>
#include <libheif/heif.h>
#include <webp/decode.h>
#include <webp/demux.h>

TReferenceImage OracleWebP(const std::vector<uint8_t>& file) {
    TReferenceImage out;
    WebPData data{file.data(), file.size()};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    WebPAnimDecoder* dec = WebPAnimDecoderNew(&data, &options);
    if (!dec) return out;
    WebPAnimInfo info;
    uint8_t* frame = nullptr;
    int ts = 0;
    if (WebPAnimDecoderGetInfo(dec, &info) && WebPAnimDecoderGetNext(dec, &frame, &ts)) {
        out.Width = static_cast<int>(info.canvas_width);
        out.Height = static_cast<int>(info.canvas_height);
        out.RGBA.assign(frame, frame + static_cast<size_t>(out.Width) * out.Height * 4);
    }
    WebPAnimDecoderDelete(dec);
    return out;
}

TReferenceImage OracleHEIF(const std::vector<uint8_t>& file) {
    TReferenceImage out;
    heif_context* ctx = heif_context_alloc();
    heif_image_handle* h = nullptr;
    heif_image* img = nullptr;
    if (heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr).code ==
            heif_error_Ok &&
        heif_context_get_primary_image_handle(ctx, &h).code == heif_error_Ok &&
        heif_decode_image(h, &img, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, nullptr)
                .code == heif_error_Ok) {
        int stride = 0;
        const uint8_t* p = heif_image_get_plane_readonly(img, heif_channel_interleaved, &stride);
        out.Width = heif_image_get_width(img, heif_channel_interleaved);
        out.Height = heif_image_get_height(img, heif_channel_interleaved);
        for (int y = 0; y < out.Height; ++y)
            out.RGBA.insert(out.RGBA.end(), p + static_cast<size_t>(y) * stride,
                            p + static_cast<size_t>(y) * stride + out.Width * 4);
    }
    if (img) heif_image_release(img);
    if (h) heif_image_handle_release(h);
    heif_context_free(ctx);
    return out;
}

TReferenceImage OracleJXL(const std::vector<uint8_t>& file) {
    TReferenceImage out;
    JxlDecoder* dec = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE);
    JxlDecoderSetInput(dec, file.data(), file.size());
    JxlDecoderCloseInput(dec);
    JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    JxlBasicInfo info{};
    for (;;) {
        JxlDecoderStatus s = JxlDecoderProcessInput(dec);
        if (s == JXL_DEC_BASIC_INFO) {
            JxlDecoderGetBasicInfo(dec, &info);
            // The default decoder applies the orientation: sides swap for 5..8.
            const bool swap = info.orientation >= 5;
            out.Width = static_cast<int>(swap ? info.ysize : info.xsize);
            out.Height = static_cast<int>(swap ? info.xsize : info.ysize);
        } else if (s == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            out.RGBA.resize(static_cast<size_t>(out.Width) * out.Height * 4);
            JxlDecoderSetImageOutBuffer(dec, &format, out.RGBA.data(), out.RGBA.size());
        } else if (s == JXL_DEC_FULL_IMAGE) {
            break;
        } else {
            out = TReferenceImage();
            break;
        }
    }
    JxlDecoderDestroy(dec);
    return out;
}

TReferenceImage RGBAOf(const TBitmap& bitmap) {
    TReferenceImage out;
    out.Width = bitmap.Width();
    out.Height = bitmap.Height();
    out.RGBA.resize(static_cast<size_t>(out.Width) * out.Height * 4);
    const std::vector<uint8_t>& alpha = bitmap.AlphaChannel();
    std::vector<uint8_t> row(static_cast<size_t>(out.Width) * 4);
    for (int y = 0; y < out.Height; ++y) {
        bitmap.GetRowBGRX(y, row.data());
        for (int x = 0; x < out.Width; ++x) {
            uint8_t* p = &out.RGBA[(static_cast<size_t>(y) * out.Width + x) * 4];
            p[0] = row[x * 4 + 2];
            p[1] = row[x * 4 + 1];
            p[2] = row[x * 4];
            p[3] = alpha.empty() ? 255 : alpha[static_cast<size_t>(y) * out.Width + x];
        }
    }
    return out;
}

TImageDifference Compare(const TReferenceImage& a, const TReferenceImage& b) {
    TImageDifference d;
    if (a.Width != b.Width || a.Height != b.Height || a.RGBA.size() != b.RGBA.size() ||
        a.RGBA.empty())
        return d;
    d.Max = 0;
    double sum = 0;
    for (size_t i = 0; i < a.RGBA.size(); ++i) {
        const int diff = std::abs(int(a.RGBA[i]) - int(b.RGBA[i]));
        d.Max = std::max(d.Max, diff);
        sum += diff;
    }
    d.Mean = sum / static_cast<double>(a.RGBA.size());
    return d;
}

TBitmap TestPicture(int width, int height, bool withAlpha) {
    TBitmap b(width, height, pf24bit);
    std::vector<uint8_t> alpha(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < width; ++x) {
            // Smooth areas with an edge: what photos and drawings both hold.
            const int r = (x * 255) / std::max(1, width - 1);
            const int g = (y * 255) / std::max(1, height - 1);
            const int bl = (x + y) % 64 < 32 ? 40 : 200;
            row[3 * x] = static_cast<uint8_t>(bl);
            row[3 * x + 1] = static_cast<uint8_t>(g);
            row[3 * x + 2] = static_cast<uint8_t>(r);
            alpha[static_cast<size_t>(y) * width + x] =
                static_cast<uint8_t>((static_cast<size_t>(y) * width + x) % 256);
        }
    }
    if (withAlpha) b.SetAlphaChannel(std::move(alpha));
    return b;
}

// A little-endian EXIF block with the camera make and orientation 6 in IFD0.
std::string SampleExif() {
    const uint8_t b[] = {'I',  'I',  42, 0, 8, 0, 0,   0,   2,   0, 0x0F, 0x01,
                         2,    0,    4,  0, 0, 0, 'Q', 'v', 'x', 0,          // Make "Qvx"
                         0x12, 0x01, 3,  0, 1, 0, 0,   0,   6,   0, 0,    0, // Orientation 6
                         0,    0,    0,  0};
    return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

// A valid ICC profile (Display P3) as libjxl generates it from its colour description.
std::string SampleIcc() {
    JxlEncoder* enc = JxlEncoderCreate(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = info.ysize = 1;
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.uses_original_profile = JXL_TRUE;
    JxlEncoderSetBasicInfo(enc, &info);
    JxlColorEncoding c;
    JxlColorEncodingSetToSRGB(&c, JXL_FALSE);
    c.primaries = JXL_PRIMARIES_P3;
    JxlEncoderSetColorEncoding(enc, &c);
    JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
    JxlEncoderSetFrameLossless(fs, JXL_TRUE);
    const uint8_t px[3] = {1, 2, 3};
    const JxlPixelFormat f{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    JxlEncoderAddImageFrame(fs, &f, px, 3);
    JxlEncoderCloseInput(enc);
    std::vector<uint8_t> file(4096);
    uint8_t* next = file.data();
    size_t avail = file.size();
    JxlEncoderProcessOutput(enc, &next, &avail);
    JxlEncoderDestroy(enc);
    JxlDecoder* dec = JxlDecoderCreate(nullptr);
    JxlDecoderSubscribeEvents(dec, JXL_DEC_COLOR_ENCODING);
    JxlDecoderSetInput(dec, file.data(), file.size() - avail);
    std::string icc;
    size_t size = 0;
    if (JxlDecoderProcessInput(dec) == JXL_DEC_COLOR_ENCODING &&
        JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &size) ==
            JXL_DEC_SUCCESS) {
        icc.resize(size);
        JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
                                       reinterpret_cast<uint8_t*>(icc.data()), size);
    }
    JxlDecoderDestroy(dec);
    return icc;
}

TImageMetadata SampleMetadata() {
    TImageMetadata meta;
    meta.Exif = SampleExif();
    meta.Xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
    meta.Icc = SampleIcc();
    return meta;
}
