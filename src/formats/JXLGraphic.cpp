// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/JXLGraphic.h"

#include "base/Exceptions.h"
#include "formats/ModernSupport.h"

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

void TJXLGraphic::ReadFromMemory(const uint8_t* memory, int, size_t size) {
    ClearRaster();
    Metadata() = TImageMetadata();
    if (!IsJxl(memory, size)) throw EInvalidGraphic(ModernInvalidMessage(FormatName));
    TJxlDecoder dec(JxlDecoderCreate(nullptr));
    if (!dec) throw EOutOfResources("Out of memory");
    TJxlThreads threads;
    if (threads.Runner())
        JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, threads.Runner());
    if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                                 JXL_DEC_FULL_IMAGE | JXL_DEC_BOX) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetDecompressBoxes(dec.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), memory, size) != JXL_DEC_SUCCESS)
        throw EInvalidGraphic(ModernInvalidMessage(FormatName));
    JxlDecoderCloseInput(dec.get());

    TImageMetadata meta;
    std::string exifBox;
    TBoxCollector box;
    JxlBasicInfo info{};
    bool haveInfo = false, haveImage = false;
    int width = 0, height = 0, channels = 3;
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::vector<uint8_t> pixels;
    TProgressGuard guard(*this);

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
            InitProgress(width, height);
            StartProgressSection(0, gesLoadingData);
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
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            size_t needed = 0;
            if (JxlDecoderImageOutBufferSize(dec.get(), &format, &needed) != JXL_DEC_SUCCESS ||
                needed != static_cast<size_t>(width) * height * channels)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            pixels.resize(needed);
            if (JxlDecoderSetImageOutBuffer(dec.get(), &format, pixels.data(), pixels.size()) !=
                JXL_DEC_SUCCESS)
                throw EInvalidGraphic(ModernInvalidMessage(FormatName));
            break;
        }
        case JXL_DEC_FULL_IMAGE:
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
