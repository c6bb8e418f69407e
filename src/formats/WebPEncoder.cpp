// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "formats/ImageEncoder.h"
#include "formats/ModernSupport.h"

#include <algorithm>
#include <webp/encode.h>
#include <webp/mux.h>

namespace {

const char* EncodingErrorText(WebPEncodingError e) {
    switch (e) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        return "out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION:
        return "the picture is too large for WebP (at most 16383 x 16383)";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
        return "the picture does not fit the format's partitions; lower the quality";
    case VP8_ENC_ERROR_FILE_TOO_BIG:
        return "the file would be larger than 4 GiB";
    default:
        return "the encoder failed";
    }
}

[[noreturn]] void Fail(const std::string& why) {
    throw EInvalidGraphic("Cannot write the WebP image: " + why + ".");
}

struct TPictureGuard {
    WebPPicture Picture;
    TPictureGuard() {
        if (!WebPPictureInit(&Picture)) Fail("the library version does not match");
    }
    ~TPictureGuard() { WebPPictureFree(&Picture); }
};

struct TWriterGuard {
    WebPMemoryWriter Writer;
    TWriterGuard() { WebPMemoryWriterInit(&Writer); }
    ~TWriterGuard() { WebPMemoryWriterClear(&Writer); }
};

struct TMuxGuard {
    WebPMux* Mux = WebPMuxNew();
    WebPData Assembled{nullptr, 0};
    ~TMuxGuard() {
        WebPDataClear(&Assembled);
        WebPMuxDelete(Mux);
    }
};

} // namespace

void TWebPEncoder::Encode(const TBitmap& bitmap, const TImageMetadata& metadata, TStream& stream) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w < 1 || h < 1) Fail("the picture is empty");
    if (w > MaxSide || h > MaxSide) Fail(EncodingErrorText(VP8_ENC_ERROR_BAD_DIMENSION));

    WebPConfig config;
    if (!WebPConfigInit(&config)) Fail("the library version does not match");
    config.quality = static_cast<float>(ClampQuality(FSettings.Quality));
    config.method = FSettings.Effort < 0 ? DefaultEffort : std::min(FSettings.Effort, MaxEffort);
    if (FSettings.Lossless) {
        config.lossless = 1;
        // Colours under fully transparent pixels are kept too: lossless means every byte.
        config.exact = 1;
    }
    config.thread_level = 0; // the batch runs files in parallel already
    if (!WebPValidateConfig(&config)) Fail("invalid settings");

    TPictureGuard picture;
    WebPPicture& pic = picture.Picture;
    pic.width = w;
    pic.height = h;
    pic.use_argb = config.lossless;
    int imported = 0;
    if (bitmap.PixelFormat() == pf24bit && !HasUsefulAlpha(bitmap)) {
        // The raster's rows are blue-first and evenly spaced in one block:
        // libwebp reads them in place (lossy converts straight to YUV), with
        // no interleaved copy of the whole picture beside it.
        imported = WebPPictureImportBGR(&pic, bitmap.ScanLine(0),
                                        static_cast<int>(bitmap.BytesPerScanLine()));
    } else {
        const TInterleavedPixels pixels = GatherInterleaved(bitmap);
        const int stride = static_cast<int>(pixels.Stride());
        imported = pixels.Channels == 4 ? WebPPictureImportRGBA(&pic, pixels.Data.data(), stride)
                                        : WebPPictureImportRGB(&pic, pixels.Data.data(), stride);
    }
    if (!imported) Fail(EncodingErrorText(pic.error_code));

    TWriterGuard writer;
    pic.writer = WebPMemoryWrite;
    pic.custom_ptr = &writer.Writer;
    if (!WebPEncode(&config, &pic)) Fail(EncodingErrorText(pic.error_code));

    if (metadata.Icc.empty() && metadata.Exif.empty() && metadata.Xmp.empty()) {
        stream.WriteBuffer(writer.Writer.mem, writer.Writer.size);
        return;
    }
    // The metadata chunks need the extended layout, which the mux lays out.
    TMuxGuard mux;
    if (!mux.Mux) Fail("out of memory");
    const WebPData image{writer.Writer.mem, writer.Writer.size};
    if (WebPMuxSetImage(mux.Mux, &image, 0) != WEBP_MUX_OK) Fail("the image cannot be assembled");
    auto chunk = [&](const char* fourcc, const std::string& bytes) {
        if (bytes.empty()) return;
        const WebPData data{reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
        if (WebPMuxSetChunk(mux.Mux, fourcc, &data, 1) != WEBP_MUX_OK)
            Fail(Format("the %s chunk cannot be added", fourcc));
    };
    chunk("ICCP", metadata.Icc);
    chunk("EXIF", metadata.Exif);
    chunk("XMP ", metadata.Xmp);
    if (WebPMuxAssemble(mux.Mux, &mux.Assembled) != WEBP_MUX_OK)
        Fail("the image cannot be assembled");
    stream.WriteBuffer(mux.Assembled.bytes, mux.Assembled.size);
}
