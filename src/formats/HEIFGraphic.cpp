// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/HEIFGraphic.h"

#include "base/Exceptions.h"
#include "formats/ModernSupport.h"

#include <algorithm>
#include <climits>
#include <libheif/heif.h>
#include <memory>
#include <mutex>

TREVASCO_GRAPHIC_CLASS(THEIFGraphic, TReaderGraphic)

void EnsureHeifInitialised() {
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

namespace {

struct TContextDeleter {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct THandleDeleter {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct TImageDeleter {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct TOptionsDeleter {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

// AVIF files are named so in messages; every other brand is HEIF.
const char* FormatNameOf(const uint8_t* memory, size_t size) {
    if (size >= 12) {
        heif_brand b = heif_main_brand(memory, 12);
        if (b == heif_avif || b == heif_avis) return "AVIF";
    }
    return "HEIF";
}

[[noreturn]] void Fail(const char* format, const heif_error& err) {
    // libheif says "end of data" in its own words when a file is cut short.
    if (err.subcode == heif_suberror_End_of_data)
        throw EInvalidGraphic(ModernTruncatedMessage(format));
    if (err.code == heif_error_Memory_allocation_error)
        throw EOutOfResources(std::string("Out of memory while decoding the ") + format +
                              " image.");
    throw EInvalidGraphic(std::string("Cannot load the ") + format +
                          " image: " + (err.message ? err.message : "unknown error") + ".");
}

std::unique_ptr<heif_context, TContextDeleter> OpenContext(const uint8_t* memory, size_t size,
                                                           const char* format) {
    EnsureHeifInitialised();
    std::unique_ptr<heif_context, TContextDeleter> ctx(heif_context_alloc());
    if (!ctx) throw EOutOfResources("Out of memory");
    // A side longer than the pixel limit is refused by libheif itself, so
    // hidden tiles and auxiliary images are never allocated beyond it.
    heif_context_set_maximum_image_size_limit(
        ctx.get(), static_cast<int>(std::min<int64_t>(GetPixelLimit(), INT_MAX)));
    if (!memory || size < 12) throw EInvalidGraphic(ModernInvalidMessage(format));
    heif_error err = heif_context_read_from_memory_without_copy(ctx.get(), memory, size, nullptr);
    if (err.code != heif_error_Ok) {
        // A file that is not HEIF at all gets the usual invalid-format message.
        if (heif_check_filetype(memory, static_cast<int>(std::min<size_t>(size, INT_MAX))) ==
            heif_filetype_no)
            throw EInvalidGraphic(ModernInvalidMessage(format));
        Fail(format, err);
    }
    return ctx;
}

std::string MetadataBlock(heif_image_handle* h, heif_item_id id) {
    const size_t n = heif_image_handle_get_metadata_size(h, id);
    std::string data(n, '\0');
    if (n == 0 || heif_image_handle_get_metadata(h, id, data.data()).code != heif_error_Ok)
        return std::string();
    return data;
}

TImageMetadata ReadMetadata(heif_image_handle* h) {
    TImageMetadata meta;
    const int count = heif_image_handle_get_number_of_metadata_blocks(h, nullptr);
    std::vector<heif_item_id> ids(static_cast<size_t>(std::max(count, 0)));
    if (count > 0) heif_image_handle_get_list_of_metadata_block_IDs(h, nullptr, ids.data(), count);
    for (heif_item_id id : ids) {
        const std::string type = heif_image_handle_get_metadata_type(h, id);
        const char* content = heif_image_handle_get_metadata_content_type(h, id);
        if (type == "Exif" && meta.Exif.empty()) {
            std::string block = MetadataBlock(h, id);
            meta.Exif =
                ExifFromBoxForm(reinterpret_cast<const uint8_t*>(block.data()), block.size());
        } else if (type == "mime" && content && std::string(content) == "application/rdf+xml" &&
                   meta.Xmp.empty()) {
            meta.Xmp = MetadataBlock(h, id);
        }
    }
    const heif_color_profile_type profile = heif_image_handle_get_color_profile_type(h);
    if (profile == heif_color_profile_type_prof || profile == heif_color_profile_type_rICC) {
        std::string icc(heif_image_handle_get_raw_color_profile_size(h), '\0');
        if (!icc.empty() &&
            heif_image_handle_get_raw_color_profile(h, icc.data()).code == heif_error_Ok)
            meta.Icc = std::move(icc);
    }
    // libheif has already applied irot/imir; an EXIF orientation must not turn the picture again.
    meta.Orientation = 1;
    return meta;
}

} // namespace

bool THEIFGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadProperties(memory, imageIndex, size);
    if (!memory || size < 12 ||
        heif_check_filetype(memory, static_cast<int>(std::min<size_t>(size, INT_MAX))) ==
            heif_filetype_no)
        return false;
    const char* format = FormatNameOf(memory, size);
    try {
        auto ctx = OpenContext(memory, size, format);
        heif_image_handle* raw = nullptr;
        if (heif_context_get_primary_image_handle(ctx.get(), &raw).code != heif_error_Ok)
            return false;
        std::unique_ptr<heif_image_handle, THandleDeleter> h(raw);
        TImageProperties& p = FImageProperties;
        p.Width = heif_image_handle_get_width(h.get());
        p.Height = heif_image_handle_get_height(h.get());
        p.AlphaPresent = heif_image_handle_has_alpha_channel(h.get()) != 0;
        p.Scheme = p.AlphaPresent ? clRGBA : clRGB;
        p.SampleBits = static_cast<uint8_t>(
            std::clamp(heif_image_handle_get_luma_bits_per_pixel(h.get()), 0, 255));
        p.SampleCount = p.AlphaPresent ? 4 : 3;
        p.PixelBits = static_cast<uint8_t>(std::min(p.SampleBits * p.SampleCount, 255));
        p.PageCount = static_cast<uint32_t>(
            std::max(heif_context_get_number_of_top_level_images(ctx.get()), 0));
        return p.Width > 0 && p.Height > 0;
    } catch (const Exception&) {
        return false;
    }
}

void THEIFGraphic::ReadFromMemory(const uint8_t* memory, int, size_t size) {
    ClearRaster();
    Metadata() = TImageMetadata();
    const char* format = FormatNameOf(memory, size);
    auto ctx = OpenContext(memory, size, format);
    heif_image_handle* rawHandle = nullptr;
    heif_error err = heif_context_get_primary_image_handle(ctx.get(), &rawHandle);
    if (err.code != heif_error_Ok) Fail(format, err);
    std::unique_ptr<heif_image_handle, THandleDeleter> handle(rawHandle);

    // The size after the container's rotation, known before any pixel is decoded.
    const int width = heif_image_handle_get_width(handle.get());
    const int height = heif_image_handle_get_height(handle.get());
    CheckRasterSize(width, height);
    if (width <= 0 || height <= 0) throw EInvalidGraphic(ModernInvalidMessage(format));
    ReadProperties(memory, 0, size);

    FProgressRect = Rect(0, 0, width, height);
    InitProgress(width, height);
    TProgressGuard guard(*this);
    StartProgressSection(0, gesLoadingData);

    const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    const bool deep = bits > 8;
    const heif_chroma chroma =
        deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
             : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    std::unique_ptr<heif_decoding_options, TOptionsDeleter> options(heif_decoding_options_alloc());
    options->ignore_transformations = 0;
    heif_image* rawImage = nullptr;
    err = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB, chroma, options.get());
    if (err.code != heif_error_Ok) Fail(format, err);
    std::unique_ptr<heif_image, TImageDeleter> image(rawImage);

    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int iw = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int ih = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || iw != width || ih != height || stride <= 0)
        throw EInvalidGraphic(ModernInvalidMessage(format));
    const int channels = alpha ? 4 : 3;

    SetupRaster(width, height, pf24bit);
    if (!deep) {
        StoreInterleaved(*this, plane, static_cast<size_t>(stride), channels, false);
    } else {
        // Rounded, not cut: v x 255 / max to the nearest 8-bit level.
        const int range = std::clamp(
            heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved), 9, 16);
        const uint32_t max = (1u << range) - 1;
        std::vector<uint8_t> narrow(static_cast<size_t>(width) * channels * height);
        for (int y = 0; y < height; ++y) {
            const uint8_t* in = plane + static_cast<size_t>(y) * stride;
            uint8_t* out = narrow.data() + static_cast<size_t>(y) * width * channels;
            for (int i = 0; i < width * channels; ++i) {
                uint32_t v = std::min<uint32_t>(in[2 * i] | (in[2 * i + 1] << 8), max);
                out[i] = static_cast<uint8_t>((v * 255 + max / 2) / max);
            }
        }
        StoreInterleaved(*this, narrow.data(), static_cast<size_t>(width) * channels, channels,
                         false);
    }
    if (alpha && heif_image_handle_is_premultiplied_alpha(handle.get()) &&
        !AlphaChannel().empty()) {
        // Our raster holds straight colours: undo the premultiplication.
        const std::vector<uint8_t>& a = AlphaChannel();
        for (int y = 0; y < height; ++y) {
            uint8_t* row = ScanLine(y);
            for (int x = 0; x < width; ++x) {
                const unsigned av = a[static_cast<size_t>(y) * width + x];
                for (int c = 0; c < 3; ++c) {
                    uint8_t& v = row[3 * x + c];
                    v = av == 0 ? 0
                                : static_cast<uint8_t>(std::min(255u, (v * 255u + av / 2) / av));
                }
            }
        }
    }
    Metadata() = ReadMetadata(handle.get());
    EndProgressSection(true);
}
