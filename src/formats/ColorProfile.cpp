#include "formats/ColorProfile.h"

#include "toolkit/ImageMetadata.h"

#include <cstring>
#include <lcms2.h>
#include <vector>

namespace {

cmsUInt32Number FormatOf(TProfilePixels pixels) {
    switch (pixels) {
    case ppBGR:
        return TYPE_BGR_8;
    case ppBGRX:
        // The fourth byte is an extra channel the transform skips.
        return COLORSPACE_SH(PT_RGB) | EXTRA_SH(1) | CHANNELS_SH(3) | BYTES_SH(1) | DOSWAP_SH(1) |
               SWAPFIRST_SH(1);
    case ppRGB:
        return TYPE_RGB_8;
    case ppGray:
        return TYPE_GRAY_8;
    case ppGrayInBGR:
        return COLORSPACE_SH(PT_GRAY) | EXTRA_SH(2) | CHANNELS_SH(1) | BYTES_SH(1);
    case ppGrayInBGRX:
        return COLORSPACE_SH(PT_GRAY) | EXTRA_SH(3) | CHANNELS_SH(1) | BYTES_SH(1);
    case ppCMYK:
        return TYPE_CMYK_8;
    case ppInvertedCMYK:
        return TYPE_CMYK_8_REV;
    }
    return 0;
}

TProfileSpace SpaceOf(TProfilePixels pixels) {
    switch (pixels) {
    case ppBGR:
    case ppBGRX:
    case ppRGB:
        return psRGB;
    case ppGray:
    case ppGrayInBGR:
    case ppGrayInBGRX:
        return psGray;
    case ppCMYK:
    case ppInvertedCMYK:
        return psCMYK;
    }
    return psUnknown;
}

// Owns a context and the profiles opened in it until the transform is made.
struct TContextGuard {
    cmsContext Context = nullptr;
    cmsHPROFILE Source = nullptr, Target = nullptr;
    ~TContextGuard() {
        if (Source) cmsCloseProfile(Source);
        if (Target) cmsCloseProfile(Target);
        if (Context) cmsDeleteContext(Context);
    }
};

// Damaged profiles are reported through the library's log; the caller
// already learns of them by the null result.
void SilentLog(cmsContext, cmsUInt32Number, const char*) {}

} // namespace

TProfileSpace ProfileSpace(const std::string& icc) {
    // The header is 128 bytes; the colour space signature is at offset 16.
    if (icc.size() < 128) return psUnknown;
    const char* s = icc.data() + 16;
    if (std::memcmp(s, "RGB ", 4) == 0) return psRGB;
    if (std::memcmp(s, "GRAY", 4) == 0) return psGray;
    if (std::memcmp(s, "CMYK", 4) == 0) return psCMYK;
    return psUnknown;
}

std::unique_ptr<TProfileTransform>
TProfileTransform::ToSRGB(const std::string& icc, TProfilePixels input, TProfilePixels output) {
    if (icc.size() < 128 || icc.size() > MaxMetadataBlock) return nullptr;
    if (ProfileSpace(icc) != SpaceOf(input) || SpaceOf(output) != psRGB) return nullptr;
    // A header that claims more bytes than there are describes a cut-off profile.
    const auto* h = reinterpret_cast<const uint8_t*>(icc.data());
    const uint32_t declared =
        uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
    if (declared < 128 || declared > icc.size()) return nullptr;
    TContextGuard g;
    g.Context = cmsCreateContext(nullptr, nullptr);
    if (!g.Context) return nullptr;
    cmsSetLogErrorHandlerTHR(g.Context, SilentLog);
    g.Source =
        cmsOpenProfileFromMemTHR(g.Context, icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    if (!g.Source) return nullptr;
    const cmsProfileClassSignature cls = cmsGetDeviceClass(g.Source);
    if (cls != cmsSigInputClass && cls != cmsSigDisplayClass && cls != cmsSigOutputClass &&
        cls != cmsSigColorSpaceClass)
        return nullptr;
    g.Target = cmsCreate_sRGBProfileTHR(g.Context);
    if (!g.Target) return nullptr;
    const bool perceptual = cmsIsCLUT(g.Source, INTENT_PERCEPTUAL, LCMS_USED_AS_INPUT);
    const cmsUInt32Number intent = perceptual ? INTENT_PERCEPTUAL : INTENT_RELATIVE_COLORIMETRIC;
    const cmsUInt32Number flags = perceptual ? cmsFLAGS_BLACKPOINTCOMPENSATION : 0;
    cmsHTRANSFORM transform = cmsCreateTransformTHR(g.Context, g.Source, FormatOf(input), g.Target,
                                                    FormatOf(output), intent, flags);
    if (!transform) return nullptr;
    std::unique_ptr<TProfileTransform> result(new TProfileTransform);
    result->FContext = g.Context;
    result->FTransform = transform;
    result->FPerceptual = perceptual;
    g.Context = nullptr; // the transform's now
    return result;
}

TProfileTransform::~TProfileTransform() {
    if (FTransform) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(FTransform));
    if (FContext) cmsDeleteContext(static_cast<cmsContext>(FContext));
}

void TProfileTransform::Convert(const void* in, void* out, unsigned count) const noexcept {
    cmsDoTransform(static_cast<cmsHTRANSFORM>(FTransform), in, out, count);
}

bool ConvertToSRGB(TBitmap& bitmap, const std::string& icc) {
    const TProfileSpace space = ProfileSpace(icc);
    if (space != psRGB && space != psGray) return false;
    if (bitmap.IsIndexed()) {
        // Indexed pixels keep their indexes: the palette's colours are what they mean.
        const TPalette& palette = bitmap.Palette();
        const int count = palette.Count();
        std::vector<uint8_t> colours(static_cast<size_t>(count) * 3);
        for (int i = 0; i < count; ++i) {
            const TPaletteEntry e = palette[i];
            colours[i * 3] = e.Red;
            colours[i * 3 + 1] = e.Green;
            colours[i * 3 + 2] = e.Blue;
        }
        auto t = TProfileTransform::ToSRGB(icc, space == psRGB ? ppRGB : ppGrayInBGR, ppRGB);
        if (!t) return false;
        t->Convert(colours.data(), colours.data(), static_cast<unsigned>(count));
        std::vector<TPaletteEntry> entries(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            entries[i] = TPaletteEntry{colours[i * 3], colours[i * 3 + 1], colours[i * 3 + 2],
                                       palette[i].Flags};
        bitmap.SetPalette(TPalette(entries));
        return true;
    }
    const int bits = bitmap.BitsPerPixel();
    if (bits != 24 && bits != 32) return false;
    TProfilePixels pixels;
    if (space == psRGB)
        pixels = bits == 24 ? ppBGR : ppBGRX;
    else
        pixels = bits == 24 ? ppGrayInBGR : ppGrayInBGRX;
    auto t = TProfileTransform::ToSRGB(icc, pixels, bits == 24 ? ppBGR : ppBGRX);
    if (!t) return false;
    const unsigned width = static_cast<unsigned>(bitmap.Width());
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        t->Convert(row, row, width);
    }
    return true;
}
