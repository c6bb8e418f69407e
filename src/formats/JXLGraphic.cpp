// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/JXLGraphic.h"

#include "base/Exceptions.h"
#include "formats/ModernSupport.h"

#include <algorithm>
#include <cstring>
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>
#include <memory>

TREVASCO_GRAPHIC_CLASS(TJXLGraphic, TReaderGraphic)

namespace {
constexpr const char* FormatName = "JPEG XL";
// EXIF and XMP larger than this are not metadata a destination should carry.
constexpr size_t MaxBoxSize = size_t(16) << 20;

struct TDecoderDeleter {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
using TJxlDecoder = std::unique_ptr<JxlDecoder, TDecoderDeleter>;

bool IsJxl(const uint8_t* memory, size_t size) {
    if (!memory || size == 0) return false;
    const JxlSignature s = JxlSignatureCheck(memory, size);
    return s == JXL_SIG_CODESTREAM || s == JXL_SIG_CONTAINER;
}

// sRGB pixels need no profile to be understood; any other colour space keeps one.
bool IsPlainSRGB(const JxlColorEncoding& c) {
    return c.white_point == JXL_WHITE_POINT_D65 &&
           c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
           (c.color_space == JXL_COLOR_SPACE_GRAY ||
            (c.color_space == JXL_COLOR_SPACE_RGB && c.primaries == JXL_PRIMARIES_SRGB));
}

// Collects the content of one metadata box as the decoder hands it out.
class TBoxCollector {
public:
    void Begin(JxlDecoder* dec, std::string* target) {
        FTarget = target;
        FBuffer.assign(4096, 0);
        FUsed = 0;
        JxlDecoderSetBoxBuffer(dec, FBuffer.data(), FBuffer.size());
    }
    // More room for the same box; false when the box is beyond what we keep.
    bool Grow(JxlDecoder* dec) {
        const size_t left = JxlDecoderReleaseBoxBuffer(dec);
        FUsed = FBuffer.size() - left;
        if (FBuffer.size() * 2 > MaxBoxSize) {
            FTarget = nullptr;
            return false;
        }
        FBuffer.resize(FBuffer.size() * 2);
        JxlDecoderSetBoxBuffer(dec, FBuffer.data() + FUsed, FBuffer.size() - FUsed);
        return true;
    }
    // Ends the box being collected, if any.
    void Finish(JxlDecoder* dec) {
        if (!FTarget) return;
        const size_t left = JxlDecoderReleaseBoxBuffer(dec);
        FBuffer.resize(FBuffer.size() - left);
        if (FTarget->empty()) FTarget->assign(FBuffer.begin(), FBuffer.end());
        FTarget = nullptr;
    }
    bool Active() const { return FTarget != nullptr; }

private:
    std::string* FTarget = nullptr;
    std::vector<uint8_t> FBuffer;
    size_t FUsed = 0;
};

} // namespace

bool TJXLGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadProperties(memory, imageIndex, size);
    if (!IsJxl(memory, size)) return false;
    TJxlDecoder dec(JxlDecoderCreate(nullptr));
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), memory, size) != JXL_DEC_SUCCESS)
        return false;
    JxlDecoderCloseInput(dec.get());
    if (JxlDecoderProcessInput(dec.get()) != JXL_DEC_BASIC_INFO) return false;
    JxlBasicInfo info;
    if (JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS) return false;
    TImageProperties& p = FImageProperties;
    p.Width = static_cast<int32_t>(std::min<uint32_t>(info.xsize, INT32_MAX));
    p.Height = static_cast<int32_t>(std::min<uint32_t>(info.ysize, INT32_MAX));
    p.AlphaPresent = info.alpha_bits > 0;
    const bool grey = info.num_color_channels == 1;
    p.Scheme = grey ? (p.AlphaPresent ? clGrayAlpha : clGray) : (p.AlphaPresent ? clRGBA : clRGB);
    p.SampleBits = static_cast<uint8_t>(std::min<uint32_t>(info.bits_per_sample, 255));
    p.SampleCount = static_cast<uint8_t>(info.num_color_channels + (p.AlphaPresent ? 1 : 0));
    p.PixelBits = static_cast<uint8_t>(std::min<uint32_t>(p.SampleBits * p.SampleCount, 255));
    p.PageCount = 1;
    return p.Width > 0 && p.Height > 0;
}

struct TJXLGraphic::TDecoded {
    TImageMetadata Meta;
    std::string ExifBox;
    int Width = 0, Height = 0, Channels = 3;
    std::vector<uint8_t> Pixels;
    bool ProgressStarted = false;
};

namespace {
// Copies the part of a layer that lies on the canvas into it.
void PlaceLayer(const JxlLayerInfo& layer, const std::vector<uint8_t>& from,
                std::vector<uint8_t>& canvas, int width, int height, int channels) {
    const int64_t left = std::max<int64_t>(0, layer.crop_x0);
    const int64_t right = std::min<int64_t>(width, int64_t(layer.crop_x0) + layer.xsize);
    if (left >= right) return;
    const size_t bytes = static_cast<size_t>(right - left) * channels;
    for (int64_t ly = 0; ly < layer.ysize; ++ly) {
        const int64_t y = layer.crop_y0 + ly;
        if (y < 0 || y >= height) continue;
        std::memcpy(canvas.data() + (size_t(y) * width + size_t(left)) * channels,
                    from.data() +
                        (size_t(ly) * layer.xsize + size_t(left - layer.crop_x0)) * channels,
                    bytes);
    }
}
} // namespace

bool TJXLGraphic::ReadFrames(const uint8_t* memory, size_t size, bool separate, TDecoded& out) {
    TJxlDecoder dec(JxlDecoderCreate(nullptr));
    if (!dec) throw EOutOfResources("Out of memory");
    TJxlThreads threads;
    if (threads.Runner())
        JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, threads.Runner());
    if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                 JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE |
                                                 JXL_DEC_BOX) != JXL_DEC_SUCCESS ||
        JxlDecoderSetCoalescing(dec.get(), separate ? JXL_FALSE : JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), memory, size) != JXL_DEC_SUCCESS)
        throw EInvalidGraphic(ModernInvalidMessage(FormatName));
    JxlDecoderCloseInput(dec.get());

    TImageMetadata& meta = out.Meta;
    std::string& exifBox = out.ExifBox;
    int &width = out.Width, &height = out.Height, &channels = out.Channels;
    std::vector<uint8_t>& pixels = out.Pixels;
    TBoxCollector box;
    JxlBasicInfo info{};
    bool haveInfo = false, haveImage = false;
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    // The layer being read (separate layers only): its rectangle and pixels.
    JxlLayerInfo layer{};
    bool lastLayer = false;
    std::vector<uint8_t> layerPixels;

    while (!haveImage) {
        const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
        switch (status) {
        case JXL_DEC_ERROR:
            // libjxl says "error" for data cut inside a section as well; with
            // the header read the file is at least a JPEG XL one.
            throw EInvalidGraphic(haveInfo ? "Cannot load the JPEG XL image: its data is corrupt "
                                             "or incomplete."
                                           : ModernInvalidMessage(FormatName));
        case JXL_DEC_NEED_MORE_INPUT:
            throw EInvalidGraphic(ModernTruncatedMessage(FormatName));
        case JXL_DEC_SUCCESS:
            // Every box read and no frame: nothing to show.
            throw EInvalidGraphic(haveInfo ? ModernTruncatedMessage(FormatName)
                                           : ModernInvalidMessage(FormatName));
        case JXL_DEC_BASIC_INFO: {
            if (JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            haveInfo = true;
            // The stored size: the orientation is applied later by the conversion.
            CheckRasterSize(info.xsize, info.ysize);
            if (info.xsize == 0 || info.ysize == 0 || info.xsize > INT32_MAX ||
                info.ysize > INT32_MAX)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            // An animation's first frame is what libjxl composes for it.
            if (separate && info.have_animation) return false;
            width = static_cast<int>(info.xsize);
            height = static_cast<int>(info.ysize);
            channels = static_cast<int>(info.num_color_channels == 1 ? 1 : 3) +
                       (info.alpha_bits > 0 ? 1 : 0);
            format.num_channels = static_cast<uint32_t>(channels);
            meta.Orientation = info.orientation >= 1 && info.orientation <= 8
                                   ? static_cast<int>(info.orientation)
                                   : 1;
            ReadProperties(memory, 0, size);
            FProgressRect = Rect(0, 0, width, height);
            if (!out.ProgressStarted) {
                InitProgress(width, height);
                StartProgressSection(0, gesLoadingData);
                out.ProgressStarted = true;
            }
            break;
        }
        case JXL_DEC_COLOR_ENCODING: {
            JxlColorEncoding encoding;
            if (JxlDecoderGetColorAsEncodedProfile(dec.get(), nullptr,
                                                   JXL_COLOR_PROFILE_TARGET_DATA,
                                                   &encoding) == JXL_DEC_SUCCESS &&
                IsPlainSRGB(encoding))
                break;
            size_t iccSize = 0;
            if (JxlDecoderGetICCProfileSize(dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                            &iccSize) == JXL_DEC_SUCCESS &&
                iccSize > 0 && iccSize <= MaxBoxSize) {
                std::string icc(iccSize, '\0');
                if (JxlDecoderGetColorAsICCProfile(
                        dec.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                        reinterpret_cast<uint8_t*>(icc.data()), iccSize) == JXL_DEC_SUCCESS)
                    meta.Icc = std::move(icc);
            }
            break;
        }
        case JXL_DEC_FRAME: {
            if (!separate) break;
            JxlFrameHeader header;
            if (JxlDecoderGetFrameHeader(dec.get(), &header) != JXL_DEC_SUCCESS)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            const JxlBlendInfo& blend = header.layer_info.blend_info;
            if (blend.blendmode != JXL_BLEND_REPLACE || blend.source != 0 ||
                header.layer_info.save_as_reference != 0)
                return false;
            for (uint32_t i = 0; i < info.num_extra_channels; ++i) {
                JxlBlendInfo extra;
                if (JxlDecoderGetExtraChannelBlendInfo(dec.get(), i, &extra) != JXL_DEC_SUCCESS ||
                    extra.blendmode != JXL_BLEND_REPLACE || extra.source != 0)
                    return false;
            }
            // A layer is never larger than the canvas, which is within the pixel limit.
            if (uint64_t(header.layer_info.xsize) * header.layer_info.ysize >
                uint64_t(width) * height)
                return false;
            layer = header.layer_info;
            lastLayer = header.is_last;
            break;
        }
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            size_t needed = 0;
            if (JxlDecoderImageOutBufferSize(dec.get(), &format, &needed) != JXL_DEC_SUCCESS)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            // A layer covering the canvas (a picture of one frame) is read in place.
            const bool whole =
                !separate || (layer.crop_x0 == 0 && layer.crop_y0 == 0 &&
                              layer.xsize == info.xsize && layer.ysize == info.ysize);
            std::vector<uint8_t>& target = whole ? pixels : layerPixels;
            if (separate) {
                if (needed != size_t(layer.xsize) * layer.ysize * channels) return false;
                // The canvas starts transparent black, as libjxl's does.
                if (!whole && pixels.empty()) pixels.assign(size_t(width) * height * channels, 0);
            } else if (needed != static_cast<size_t>(width) * height * channels) {
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            }
            target.resize(needed);
            if (JxlDecoderSetImageOutBuffer(dec.get(), &format, target.data(), target.size()) !=
                JXL_DEC_SUCCESS)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            if (separate) {
                if (!layerPixels.empty())
                    PlaceLayer(layer, layerPixels, pixels, width, height, channels);
                layerPixels.clear();
                // Later frames and boxes are not read.
                haveImage = lastLayer;
                break;
            }
            // The first frame is the picture; later frames and boxes are not read.
            haveImage = true;
            break;
        case JXL_DEC_BOX: {
            box.Finish(dec.get());
            JxlBoxType type;
            if (JxlDecoderGetBoxType(dec.get(), type, JXL_TRUE) != JXL_DEC_SUCCESS) break;
            if (std::memcmp(type, "Exif", 4) == 0 && exifBox.empty())
                box.Begin(dec.get(), &exifBox);
            else if (std::memcmp(type, "xml ", 4) == 0 && meta.Xmp.empty())
                box.Begin(dec.get(), &meta.Xmp);
            break;
        }
        case JXL_DEC_BOX_NEED_MORE_OUTPUT:
            if (!box.Grow(dec.get())) box.Finish(dec.get());
            break;
        default:
            break;
        }
    }
    box.Finish(dec.get());
    return true;
}

void TJXLGraphic::ReadFromMemory(const uint8_t* memory, int, size_t size) {
    ClearRaster();
    Metadata() = TImageMetadata();
    if (!IsJxl(memory, size)) throw EInvalidGraphic(ModernInvalidMessage(FormatName));

    TProgressGuard guard(*this);
    // libjxl 0.7 merges layers by redrawing the whole canvas for each one,
    // minutes for a picture written as tiles. Layers that only replace their
    // rectangle are taken one by one and placed here; any other kind of file
    // is read again with libjxl merging it.
    TDecoded decoded;
    if (!ReadFrames(memory, size, true, decoded)) {
        const bool progress = decoded.ProgressStarted;
        decoded = TDecoded();
        decoded.ProgressStarted = progress;
        ReadFrames(memory, size, false, decoded);
    }
    TImageMetadata& meta = decoded.Meta;
    const std::string& exifBox = decoded.ExifBox;
    const int width = decoded.Width, height = decoded.Height, channels = decoded.Channels;
    const std::vector<uint8_t>& pixels = decoded.Pixels;
    if (!exifBox.empty())
        meta.Exif =
            ExifFromBoxForm(reinterpret_cast<const uint8_t*>(exifBox.data()), exifBox.size());

    SetupRaster(width, height, pf24bit);
    const bool alpha = channels == 2 || channels == 4;
    if (channels >= 3) {
        StoreInterleaved(*this, pixels.data(), static_cast<size_t>(width) * channels, channels,
                         false);
    } else {
        // Grey (with alpha): spread to RGB(A) rows first.
        const int outChannels = alpha ? 4 : 3;
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * outChannels);
        const uint8_t* in = pixels.data();
        uint8_t* out = rgb.data();
        for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
            out[0] = out[1] = out[2] = in[0];
            if (alpha) out[3] = in[1];
            in += channels;
            out += outChannels;
        }
        StoreInterleaved(*this, rgb.data(), static_cast<size_t>(width) * outChannels, outChannels,
                         false);
    }
    Metadata() = std::move(meta);
    EndProgressSection(true);
}
