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

} // namespace

float TJXLEncoder::DistanceOf(int quality) {
    const int q = ClampQuality(quality);
    if (q >= 30) return 0.1f + (100 - q) * 0.09f;
    // libjxl takes distances up to 25.
    return std::min(25.0f, 6.4f + std::pow(2.5f, (30 - q) / 5.0f) / 6.25f);
}

void TJXLEncoder::Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w < 1 || h < 1) Fail("the picture is empty");
    std::unique_ptr<JxlEncoder, TEncoderDeleter> owner(JxlEncoderCreate(nullptr));
    JxlEncoder* enc = owner.get();
    if (!enc) throw EOutOfResources("Out of memory");
    TJxlThreads threads;
    if (threads.Runner())
        JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, threads.Runner());

    const TInterleavedPixels pixels = GatherInterleaved(bitmap);
    const bool alpha = pixels.Channels == 4;
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

    const JxlPixelFormat format{static_cast<uint32_t>(pixels.Channels), JXL_TYPE_UINT8,
                                JXL_NATIVE_ENDIAN, 0};
    Check(JxlEncoderAddImageFrame(settings, &format, pixels.Data.data(), pixels.Data.size()), enc,
          "the picture is not accepted");
    JxlEncoderCloseInput(enc);

    std::vector<uint8_t> out(std::max<size_t>(64 << 10, pixels.Data.size() / 4));
    uint8_t* next = out.data();
    size_t avail = out.size();
    for (;;) {
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &avail);
        if (status == JXL_ENC_SUCCESS) break;
        if (status != JXL_ENC_NEED_MORE_OUTPUT) Check(status, enc, "the encoder failed");
        const size_t used = static_cast<size_t>(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used;
        avail = out.size() - used;
    }
    stream.WriteBuffer(out.data(), static_cast<size_t>(next - out.data()));
}
