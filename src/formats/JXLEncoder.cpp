// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Exceptions.h"
#include "formats/ImageEncoder.h"
#include "formats/ModernSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <memory>

namespace {

[[noreturn]] void Fail(const std::string& why) {
    throw EInvalidGraphic("Cannot write the JPEG XL image: " + why + ".");
}

struct TEncoderDeleter {
    void operator()(JxlEncoder* e) const { JxlEncoderDestroy(e); }
};

void Check(JxlEncoderStatus status, JxlEncoder* enc, const char* what) {
    if (status == JXL_ENC_SUCCESS) return;
    if (JxlEncoderGetError(enc) == JXL_ENC_ERR_OOM) throw EOutOfResources("Out of memory");
    Fail(what);
}

// The ICC header's own size field matches the block and its signature is in place.
bool LooksLikeIccProfile(const std::string& icc) {
    if (icc.size() < 132) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(icc.data());
    const uint32_t declared =
        (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return declared == icc.size() && std::memcmp(p + 36, "acsp", 4) == 0;
}

// Hands what libjxl has encoded so far to the stream, one buffer at a time,
// so the file is never held whole in memory.
void Drain(JxlEncoder* enc, TStream& stream, std::vector<uint8_t>& buffer) {
    for (;;) {
        uint8_t* next = buffer.data();
        size_t avail = buffer.size();
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &avail);
        if (status != JXL_ENC_SUCCESS && status != JXL_ENC_NEED_MORE_OUTPUT)
            Check(status, enc, "the encoder failed");
        stream.WriteBuffer(buffer.data(), static_cast<size_t>(next - buffer.data()));
        if (status == JXL_ENC_SUCCESS) return;
    }
}

} // namespace

float TJXLEncoder::DistanceOf(int quality) {
    const int q = ClampQuality(quality);
    if (q >= 30) return 0.1f + (100 - q) * 0.09f;
    // libjxl takes distances up to 25.
    return std::min(25.0f, 6.4f + std::pow(2.5f, (30 - q) / 5.0f) / 6.25f);
}

void TJXLEncoder::Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) {
    EncodeLayered(bitmap, metadata, stream, LargestSingleFrame, LayerTileSide);
}

void TJXLEncoder::EncodeLayered(const TBitmap& bitmap, const TImageMetadata& metadata,
                                TStream& stream, int64_t largestSingleFrame, int tileSide) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w < 1 || h < 1) Fail("the picture is empty");
    if (tileSide < 1) Fail("the tile size is not accepted");
    const bool layered = int64_t(w) * h > largestSingleFrame;
    std::unique_ptr<JxlEncoder, TEncoderDeleter> owner(JxlEncoderCreate(nullptr));
    JxlEncoder* enc = owner.get();
    if (!enc) throw EOutOfResources("Out of memory");
    TJxlThreads threads;
    if (threads.Runner())
        JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, threads.Runner());

    // One channel count for the whole picture, so that every layer agrees.
    const bool alpha = HasUsefulAlpha(bitmap);
    const int channels = alpha ? 4 : 3;
    const bool boxes = !metadata.Exif.empty() || !metadata.Xmp.empty();
    if (boxes) Check(JxlEncoderUseBoxes(enc), enc, "metadata boxes are not available");

    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = static_cast<uint32_t>(w);
    info.ysize = static_cast<uint32_t>(h);
    info.bits_per_sample = 8;
    info.exponent_bits_per_sample = 0;
    info.num_color_channels = 3;
    info.alpha_bits = alpha ? 8 : 0;
    info.num_extra_channels = alpha ? 1 : 0;
    // Lossless keeps the samples in their own colour space; lossy works in XYB.
    info.uses_original_profile = FSettings.Lossless ? JXL_TRUE : JXL_FALSE;
    Check(JxlEncoderSetBasicInfo(enc, &info), enc, "the picture size is not accepted");

    bool profileSet = false;
    // Only a block that looks like a profile reaches libjxl, which reports the
    // others on stderr before refusing them (an unattended run prints nothing
    // on success).
    if (LooksLikeIccProfile(metadata.Icc))
        profileSet =
            JxlEncoderSetICCProfile(enc, reinterpret_cast<const uint8_t*>(metadata.Icc.data()),
                                    metadata.Icc.size()) == JXL_ENC_SUCCESS;
    if (!profileSet) {
        // No profile, or one libjxl cannot parse: the pixels are taken as sRGB.
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
        Check(JxlEncoderSetColorEncoding(enc, &srgb), enc, "the colour space is not accepted");
    }

    if (boxes) {
        if (!metadata.Exif.empty()) {
            const std::string exif = ExifToBoxForm(metadata.Exif);
            Check(JxlEncoderAddBox(enc, "Exif", reinterpret_cast<const uint8_t*>(exif.data()),
                                   exif.size(), JXL_FALSE),
                  enc, "the EXIF box cannot be added");
        }
        if (!metadata.Xmp.empty())
            Check(JxlEncoderAddBox(enc, "xml ",
                                   reinterpret_cast<const uint8_t*>(metadata.Xmp.data()),
                                   metadata.Xmp.size(), JXL_FALSE),
                  enc, "the XMP box cannot be added");
        JxlEncoderCloseBoxes(enc);
    }

    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc, nullptr);
    if (!settings) throw EOutOfResources("Out of memory");
    const int effort = FSettings.Effort < 0
                           ? DefaultEffort
                           : std::clamp(FSettings.Effort, int(MinEffort), int(MaxEffort));
    Check(JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, effort), enc,
          "the effort is not accepted");
    if (FSettings.Lossless)
        Check(JxlEncoderSetFrameLossless(settings, JXL_TRUE), enc, "lossless is not available");
    else
        Check(JxlEncoderSetFrameDistance(settings, DistanceOf(FSettings.Quality)), enc,
              "the quality is not accepted");

    const JxlPixelFormat format{static_cast<uint32_t>(channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN,
                                0};
    std::vector<uint8_t> buffer(size_t(1) << 20);
    if (!layered) {
        const TInterleavedPixels pixels = GatherInterleavedRegion(bitmap, 0, 0, w, h, channels);
        Check(JxlEncoderAddImageFrame(settings, &format, pixels.Data.data(), pixels.Data.size()),
              enc, "the picture is not accepted");
        JxlEncoderCloseInput(enc);
        Drain(enc, stream, buffer);
        return;
    }

    // Zero-duration layers replace their rectangle of the canvas; a decoder
    // shows them merged into one picture. Each is encoded (and its tile
    // freed) before the next is gathered.
    JxlFrameHeader header;
    JxlEncoderInitFrameHeader(&header);
    header.layer_info.have_crop = JXL_TRUE;
    header.layer_info.blend_info.blendmode = JXL_BLEND_REPLACE;
    JxlBlendInfo alphaBlend;
    JxlEncoderInitBlendInfo(&alphaBlend);
    alphaBlend.blendmode = JXL_BLEND_REPLACE;
    for (int top = 0; top < h; top += tileSide) {
        const int th = std::min(tileSide, h - top);
        for (int left = 0; left < w; left += tileSide) {
            const int tw = std::min(tileSide, w - left);
            header.layer_info.crop_x0 = left;
            header.layer_info.crop_y0 = top;
            header.layer_info.xsize = static_cast<uint32_t>(tw);
            header.layer_info.ysize = static_cast<uint32_t>(th);
            Check(JxlEncoderSetFrameHeader(settings, &header), enc, "the layer is not accepted");
            if (alpha)
                Check(JxlEncoderSetExtraChannelBlendInfo(settings, 0, &alphaBlend), enc,
                      "the layer is not accepted");
            {
                const TInterleavedPixels tile =
                    GatherInterleavedRegion(bitmap, left, top, tw, th, channels);
                Check(
                    JxlEncoderAddImageFrame(settings, &format, tile.Data.data(), tile.Data.size()),
                    enc, "the picture is not accepted");
            }
            // The last layer must be known as such before it is encoded.
            if (top + th >= h && left + tw >= w) JxlEncoderCloseInput(enc);
            Drain(enc, stream, buffer);
        }
    }
}
