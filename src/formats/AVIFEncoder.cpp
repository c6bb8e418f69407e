// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Exceptions.h"
#include "formats/HEIFGraphic.h"
#include "formats/ImageEncoder.h"
#include "formats/ModernSupport.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <libheif/heif.h>
#include <memory>

namespace {

[[noreturn]] void Fail(const std::string& why) {
    throw EInvalidGraphic("Cannot write the AVIF image: " + why + ".");
}

void Check(const heif_error& err) {
    if (err.code == heif_error_Ok) return;
    if (err.code == heif_error_Memory_allocation_error) throw EOutOfResources("Out of memory");
    Fail(err.message ? err.message : "the encoder failed");
}

struct TContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct TEncoderDeleter {
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
};
struct TImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct THandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct TOptionsDeleter {
    void operator()(heif_encoding_options* o) const { heif_encoding_options_free(o); }
};

heif_error WriteToStream(heif_context*, const void* data, size_t size, void* userdata) {
    try {
        static_cast<TStream*>(userdata)->WriteBuffer(data, size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
    } catch (...) {
        // The C library must not see an exception; the write error is reported by its result.
        return heif_error{heif_error_Encoding_error, heif_suberror_Cannot_write_output_data,
                          "the file cannot be written"};
    }
}

} // namespace

void TAVIFEncoder::Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w < 1 || h < 1) Fail("the picture is empty");
    EnsureHeifInitialised();
    std::unique_ptr<heif_context, TContextDeleter> ctx(heif_context_alloc());
    if (!ctx) throw EOutOfResources("Out of memory");
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(ctx.get(), heif_compression_AV1, &rawEncoder).code !=
            heif_error_Ok ||
        !rawEncoder)
        Fail("libheif has no AV1 encoder");
    std::unique_ptr<heif_encoder, TEncoderDeleter> encoder(rawEncoder);

    const int speed = FSettings.Effort < 0 ? DefaultEffort : std::min(FSettings.Effort, MaxEffort);
    // Speed and chroma are parameters of the AV1 plugin; one without them keeps its own defaults.
    heif_encoder_set_parameter_integer(encoder.get(), "speed", speed);
    if (FSettings.Lossless) {
        Check(heif_encoder_set_lossless(encoder.get(), 1));
        heif_encoder_set_parameter_string(encoder.get(), "chroma", "444");
    } else {
        Check(heif_encoder_set_lossy_quality(encoder.get(), ClampQuality(FSettings.Quality)));
        // High qualities keep full colour resolution; the rest halve it as photos allow.
        heif_encoder_set_parameter_string(encoder.get(), "chroma",
                                          ClampQuality(FSettings.Quality) >= 90 ? "444" : "420");
    }

    const TInterleavedPixels pixels = GatherInterleaved(bitmap);
    const bool alpha = pixels.Channels == 4;
    heif_image* rawImage = nullptr;
    Check(heif_image_create(w, h, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                            &rawImage));
    std::unique_ptr<heif_image, TImageDeleter> image(rawImage);
    Check(heif_image_add_plane(image.get(), heif_channel_interleaved, w, h, 8));
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (!plane || stride < static_cast<int>(pixels.Stride())) Fail("no pixel memory");
    for (int y = 0; y < h; ++y)
        std::memcpy(plane + static_cast<size_t>(y) * stride,
                    pixels.Data.data() + pixels.Stride() * y, pixels.Stride());

    if (!metadata.Icc.empty())
        Check(heif_image_set_raw_color_profile(image.get(), "prof", metadata.Icc.data(),
                                               metadata.Icc.size()));
    std::unique_ptr<heif_encoding_options, TOptionsDeleter> options(heif_encoding_options_alloc());
    options->save_alpha_channel = 1;
    // Lossless needs the colours kept as RGB (identity matrix, full range):
    // any YCbCr conversion would round them.
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx*)> nclxGuard(
        nclx, heif_nclx_color_profile_free);
    if (FSettings.Lossless && nclx) {
        nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
        nclx->full_range_flag = 1;
        options->output_nclx_profile = nclx;
    }
    heif_image_handle* rawHandle = nullptr;
    Check(heif_context_encode_image(ctx.get(), image.get(), encoder.get(), options.get(),
                                    &rawHandle));
    std::unique_ptr<heif_image_handle, THandleDeleter> handle(rawHandle);

    // libheif looks for the TIFF header itself; a block without one is not EXIF and is left out.
    const std::string exif = ExifFromApp1Form(
        reinterpret_cast<const uint8_t*>(metadata.Exif.data()), metadata.Exif.size());
    if (!exif.empty() && exif.size() < INT_MAX)
        Check(heif_context_add_exif_metadata(ctx.get(), handle.get(), exif.data(),
                                             static_cast<int>(exif.size())));
    if (!metadata.Xmp.empty() && metadata.Xmp.size() < INT_MAX)
        Check(heif_context_add_XMP_metadata(ctx.get(), handle.get(), metadata.Xmp.data(),
                                            static_cast<int>(metadata.Xmp.size())));

    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = WriteToStream;
    const heif_error written = heif_context_write(ctx.get(), &writer, &stream);
    if (written.code != heif_error_Ok)
        throw EWriteError(std::string("Cannot write the AVIF image: ") +
                          (written.message ? written.message : "write error") + ".");
}
