// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/WebPGraphic.h"

#include "base/Exceptions.h"
#include "formats/ModernSupport.h"

#include <memory>
#include <webp/decode.h>
#include <webp/demux.h>

TREVASCO_GRAPHIC_CLASS(TWebPGraphic, TReaderGraphic)

namespace {
constexpr const char* FormatName = "WebP";

struct TDemuxDeleter {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
using TDemux = std::unique_ptr<WebPDemuxer, TDemuxDeleter>;

struct TAnimDeleter {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

// Parses the container. A file cut short still gives its header (the canvas
// size), so the caller can tell "truncated" from "not WebP".
TDemux OpenDemux(const uint8_t* memory, size_t size, WebPDemuxState& state) {
    WebPData data{memory, size};
    state = WEBP_DEMUX_PARSE_ERROR;
    if (!memory || size == 0) return TDemux();
    return TDemux(WebPDemuxPartial(&data, &state));
}

std::string Chunk(WebPDemuxer* demux, const char* fourcc) {
    WebPChunkIterator it;
    if (!WebPDemuxGetChunk(demux, fourcc, 1, &it)) return std::string();
    std::string s(reinterpret_cast<const char*>(it.chunk.bytes), it.chunk.size);
    WebPDemuxReleaseChunkIterator(&it);
    return s;
}

const char* StatusText(VP8StatusCode status) {
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY:
        return "out of memory";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return "unsupported feature";
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return "data ends early";
    default:
        return "corrupt data";
    }
}
} // namespace

bool TWebPGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadProperties(memory, imageIndex, size);
    WebPDemuxState state;
    TDemux demux = OpenDemux(memory, size, state);
    if (!demux || state < WEBP_DEMUX_PARSED_HEADER) return false;
    TImageProperties& p = FImageProperties;
    const uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);
    p.Width = static_cast<int32_t>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    p.Height = static_cast<int32_t>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    p.Scheme = (flags & ALPHA_FLAG) ? clRGBA : clRGB;
    p.AlphaPresent = (flags & ALPHA_FLAG) != 0;
    p.SampleBits = 8;
    p.SampleCount = p.AlphaPresent ? 4 : 3;
    p.PixelBits = static_cast<uint8_t>(8 * p.SampleCount);
    p.PageCount = state == WEBP_DEMUX_DONE ? WebPDemuxGetI(demux.get(), WEBP_FF_FRAME_COUNT) : 0;
    return p.Width > 0 && p.Height > 0;
}

void TWebPGraphic::ReadFromMemory(const uint8_t* memory, int, size_t size) {
    ClearRaster();
    Metadata() = TImageMetadata();
    WebPDemuxState state;
    TDemux demux = OpenDemux(memory, size, state);
    if (!demux || state < WEBP_DEMUX_PARSED_HEADER)
        throw EInvalidGraphic(ModernInvalidMessage(FormatName));
    const int width = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH));
    const int height = static_cast<int>(WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT));
    // The canvas size comes from the header: refuse a huge picture before any pixel is decoded.
    CheckRasterSize(width, height);
    if (state != WEBP_DEMUX_DONE) throw EInvalidGraphic(ModernTruncatedMessage(FormatName));
    ReadProperties(memory, 0, size);
    const uint32_t flags = WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS);

    FProgressRect = Rect(0, 0, width, height);
    InitProgress(width, height);
    TProgressGuard guard(*this);
    StartProgressSection(0, gesLoadingData);

    TImageMetadata meta;
    if (flags & ICCP_FLAG) meta.Icc = Chunk(demux.get(), "ICCP");
    if (flags & EXIF_FLAG) {
        std::string raw = Chunk(demux.get(), "EXIF");
        meta.Exif = ExifFromApp1Form(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
        meta.Orientation = ExifOrientation(meta.Exif);
    }
    if (flags & XMP_FLAG) meta.Xmp = Chunk(demux.get(), "XMP ");

    if (flags & ANIMATION_FLAG) {
        // The animation decoder composes the first frame on the canvas: its
        // offset, blending and the transparent area around it.
        WebPAnimDecoderOptions options;
        if (!WebPAnimDecoderOptionsInit(&options))
            throw EInvalidGraphic(ModernInvalidMessage(FormatName));
        options.color_mode = MODE_BGRA;
        options.use_threads = 0;
        WebPData data{memory, size};
        std::unique_ptr<WebPAnimDecoder, TAnimDeleter> anim(WebPAnimDecoderNew(&data, &options));
        if (!anim) throw EInvalidGraphic(ModernInvalidMessage(FormatName));
        uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetNext(anim.get(), &canvas, &timestamp) || !canvas)
            throw EInvalidGraphic("Cannot load image. The first frame of the WebP animation is "
                                  "corrupt.");
        SetupRaster(width, height, pf24bit);
        StoreInterleaved(*this, canvas, static_cast<size_t>(width) * 4, 4, true);
    } else {
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config))
            throw EInvalidGraphic(ModernInvalidMessage(FormatName));
        VP8StatusCode status = WebPGetFeatures(memory, size, &config.input);
        if (status != VP8_STATUS_OK)
            throw EInvalidGraphic(status == VP8_STATUS_NOT_ENOUGH_DATA
                                      ? ModernTruncatedMessage(FormatName)
                                      : ModernInvalidMessage(FormatName));
        if (config.input.width != width || config.input.height != height)
            throw EInvalidGraphic(ModernInvalidMessage(FormatName));
        SetupRaster(width, height, pf24bit);
        std::vector<uint8_t> bgra;
        // An opaque picture decodes straight into the raster; one with alpha
        // through a BGRA buffer that is split into colour and alpha plane.
        WebPDecBuffer& out = config.output;
        out.is_external_memory = 1;
        if (config.input.has_alpha) {
            bgra.resize(static_cast<size_t>(width) * height * 4);
            out.colorspace = MODE_BGRA;
            out.u.RGBA.rgba = bgra.data();
            out.u.RGBA.stride = width * 4;
            out.u.RGBA.size = bgra.size();
        } else {
            out.colorspace = MODE_BGR;
            out.u.RGBA.rgba = ScanLine(0);
            out.u.RGBA.stride = static_cast<int>(BytesPerScanLine());
            out.u.RGBA.size = BytesPerScanLine() * height;
        }
        status = WebPDecode(memory, size, &config);
        WebPFreeDecBuffer(&out);
        if (status != VP8_STATUS_OK) {
            ClearRaster();
            throw EInvalidGraphic(status == VP8_STATUS_NOT_ENOUGH_DATA
                                      ? ModernTruncatedMessage(FormatName)
                                      : std::string("Cannot load the WebP image: ") +
                                            StatusText(status) + ".");
        }
        if (config.input.has_alpha)
            StoreInterleaved(*this, bgra.data(), static_cast<size_t>(width) * 4, 4, true);
    }
    Metadata() = std::move(meta);
    EndProgressSection(true);
}
