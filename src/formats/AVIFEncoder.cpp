// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Exceptions.h"
#include "base/SpareCores.h"
#include "formats/AVIFGrid.h"
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

heif_error WriteToString(heif_context*, const void* data, size_t size, void* userdata) {
    try {
        static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "Success"};
    } catch (...) {
        return heif_error{heif_error_Memory_allocation_error, heif_suberror_Unspecified,
                          "out of memory"};
    }
}

// One AV1 still in a context of its own, ready to be written.
struct TEncodedStill {
    std::unique_ptr<heif_context, TContextDeleter> Context;
    std::unique_ptr<heif_image_handle, THandleDeleter> Handle;
};

TEncodedStill EncodeStill(const TInterleavedPixels& pixels, const TEncoderSettings& settings,
                          const std::string& icc) {
    const int w = pixels.Width, h = pixels.Height;
    TEncodedStill still;
    still.Context.reset(heif_context_alloc());
    if (!still.Context) throw EOutOfResources("Out of memory");
    heif_context* ctx = still.Context.get();
    heif_encoder* rawEncoder = nullptr;
    if (heif_context_get_encoder_for_format(ctx, heif_compression_AV1, &rawEncoder).code !=
            heif_error_Ok ||
        !rawEncoder)
        Fail("libheif has no AV1 encoder");
    std::unique_ptr<heif_encoder, TEncoderDeleter> encoder(rawEncoder);

    const int speed = settings.Effort < 0 ? TAVIFEncoder::DefaultEffort
                                          : std::min(settings.Effort, TAVIFEncoder::MaxEffort);
    // Speed and chroma are parameters of the AV1 plugin; one without them keeps its own defaults.
    heif_encoder_set_parameter_integer(encoder.get(), "speed", speed);
    if (settings.Lossless) {
        Check(heif_encoder_set_lossless(encoder.get(), 1));
        heif_encoder_set_parameter_string(encoder.get(), "chroma", "444");
    } else {
        Check(heif_encoder_set_lossy_quality(encoder.get(), ClampQuality(settings.Quality)));
        // High qualities keep full colour resolution; the rest halve it as photos allow.
        heif_encoder_set_parameter_string(encoder.get(), "chroma",
                                          ClampQuality(settings.Quality) >= 90 ? "444" : "420");
    }

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

    if (!icc.empty())
        Check(heif_image_set_raw_color_profile(image.get(), "prof", icc.data(), icc.size()));
    std::unique_ptr<heif_encoding_options, TOptionsDeleter> options(heif_encoding_options_alloc());
    options->save_alpha_channel = 1;
    // Lossless needs the colours kept as RGB (identity matrix, full range):
    // any YCbCr conversion would round them.
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx*)> nclxGuard(
        nclx, heif_nclx_color_profile_free);
    if (settings.Lossless && nclx) {
        nclx->matrix_coefficients = heif_matrix_coefficients_RGB_GBR;
        nclx->full_range_flag = 1;
        options->output_nclx_profile = nclx;
    }
    heif_image_handle* rawHandle = nullptr;
    Check(heif_context_encode_image(ctx, image.get(), encoder.get(), options.get(), &rawHandle));
    still.Handle.reset(rawHandle);
    return still;
}

using THeifWrite = heif_error (*)(heif_context*, const void*, size_t, void*);

void WriteContext(heif_context* ctx, THeifWrite writeFunction, void* target) {
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = writeFunction;
    const heif_error written = heif_context_write(ctx, &writer, target);
    if (written.code != heif_error_Ok)
        throw EWriteError(std::string("Cannot write the AVIF image: ") +
                          (written.message ? written.message : "write error") + ".");
}

// A tile of the picture at its full size: where it overhangs the picture, the
// last column and row are repeated, which costs the encoder almost nothing.
TInterleavedPixels GatherTile(const TBitmap& bitmap, int left, int top, int tileWidth,
                              int tileHeight, int channels) {
    const int w = std::min(tileWidth, bitmap.Width() - left);
    const int h = std::min(tileHeight, bitmap.Height() - top);
    TInterleavedPixels inside = GatherInterleavedRegion(bitmap, left, top, w, h, channels);
    if (w == tileWidth && h == tileHeight) return inside;
    TInterleavedPixels tile;
    tile.Width = tileWidth;
    tile.Height = tileHeight;
    tile.Channels = channels;
    tile.Data.resize(tile.Stride() * tileHeight);
    for (int y = 0; y < tileHeight; ++y) {
        const uint8_t* in = inside.Data.data() + inside.Stride() * std::min(y, h - 1);
        uint8_t* out = tile.Data.data() + tile.Stride() * y;
        std::memcpy(out, in, inside.Stride());
        for (int x = w; x < tileWidth; ++x)
            std::memcpy(out + static_cast<size_t>(x) * channels,
                        in + static_cast<size_t>(w - 1) * channels, channels);
    }
    return tile;
}

// The side of equal tiles covering length with as few as maxSide allows,
// rounded up to 8 pixels: what overhangs is under 8 pixels a tile, little
// for the encoder to spend on (a wide strip of repeated pixels also looks
// like screen content to libaom, which then searches it slowly).
uint32_t BalancedTileSide(uint32_t length, uint32_t maxSide) {
    const uint32_t count = (length + maxSide - 1) / maxSide;
    const uint32_t side = (length + count - 1) / count;
    return (side + 7) / 8 * 8;
}

std::string ExifTiff(const TImageMetadata& metadata) {
    // libheif looks for the TIFF header itself; a block without one is not EXIF and is left out.
    return ExifFromApp1Form(reinterpret_cast<const uint8_t*>(metadata.Exif.data()),
                            metadata.Exif.size());
}

} // namespace

bool TAVIFEncoder::FitsOneFrame(int width, int height) {
    return width <= MaxFrameWidth && height <= MaxFrameHeight &&
           static_cast<int64_t>(width) * height <= MaxFramePixels;
}

void TAVIFEncoder::Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w < 1 || h < 1) Fail("the picture is empty");
    EnsureHeifInitialised();
    if (!FitsOneFrame(w, h)) {
        EncodeTiled(bitmap, metadata, stream, GridTileSide);
        return;
    }
    const TEncodedStill still = EncodeStill(GatherInterleaved(bitmap), FSettings, metadata.Icc);
    heif_context* ctx = still.Context.get();
    const std::string exif = ExifTiff(metadata);
    if (!exif.empty() && exif.size() < INT_MAX)
        Check(heif_context_add_exif_metadata(ctx, still.Handle.get(), exif.data(),
                                             static_cast<int>(exif.size())));
    if (!metadata.Xmp.empty() && metadata.Xmp.size() < INT_MAX)
        Check(heif_context_add_XMP_metadata(ctx, still.Handle.get(), metadata.Xmp.data(),
                                            static_cast<int>(metadata.Xmp.size())));
    WriteContext(ctx, WriteToStream, &stream);
}

void TAVIFEncoder::EncodeTiled(const TBitmap& bitmap, const TImageMetadata& metadata,
                               TStream& stream, int maxTileSide) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w < 1 || h < 1) Fail("the picture is empty");
    if (maxTileSide < 8) Fail("the tile size is not accepted");
    EnsureHeifInitialised();
    TAvifGridLayout layout;
    layout.Width = static_cast<uint32_t>(w);
    layout.Height = static_cast<uint32_t>(h);
    layout.TileWidth = BalancedTileSide(layout.Width, static_cast<uint32_t>(maxTileSide));
    layout.TileHeight = BalancedTileSide(layout.Height, static_cast<uint32_t>(maxTileSide));
    if (layout.Columns() > 256 || layout.Rows() > 256)
        Fail("the picture is too large for a grid of " + std::to_string(maxTileSide) +
             "-pixel tiles");
    const int tileWidth = static_cast<int>(layout.TileWidth);
    const int tileHeight = static_cast<int>(layout.TileHeight);
    // Alpha is decided once, so that every tile has it or none does.
    const int channels = HasUsefulAlpha(bitmap) ? 4 : 3;
    const int columns = static_cast<int>(layout.Columns());
    const int count = columns * static_cast<int>(layout.Rows());
    std::vector<TAvifStill> tiles(static_cast<size_t>(count));
    // Tiles are independent: idle cores of a parallel batch encode some of
    // them (a tile apiece at a time), and the file is the same either way.
    SpareCores::TBorrowed cores(count - 1);
    SpareCores::RunRanges(count, 1 + cores.Count, [&](int first, int last) {
        for (int i = first; i < last; ++i) {
            const TEncodedStill still =
                EncodeStill(GatherTile(bitmap, i % columns * tileWidth, i / columns * tileHeight,
                                       tileWidth, tileHeight, channels),
                            FSettings, metadata.Icc);
            std::string file;
            WriteContext(still.Context.get(), WriteToString, &file);
            tiles[static_cast<size_t>(i)] =
                ReadAvifStill(reinterpret_cast<const uint8_t*>(file.data()), file.size());
        }
    });
    WriteAvifGrid(layout, tiles, ExifTiff(metadata), metadata.Xmp, stream);
}
