// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/ColorProfile.h"

#include "toolkit/ImageMetadata.h"

#include <algorithm>
#include <cmath>
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

// Positions of red, green, blue (grey: the sample) and the pixel size of a layout.
void Layout(TProfilePixels pixels, int layout[4]) {
    switch (pixels) {
    case ppBGR:
    case ppBGRX:
        layout[0] = 2, layout[1] = 1, layout[2] = 0;
        break;
    default:
        layout[0] = 0, layout[1] = 1, layout[2] = 2;
        break;
    }
    switch (pixels) {
    case ppGray:
        layout[3] = 1;
        break;
    case ppBGRX:
    case ppGrayInBGRX:
    case ppCMYK:
    case ppInvertedCMYK:
        layout[3] = 4;
        break;
    default:
        layout[3] = 3;
        break;
    }
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
    Layout(input, result->FIn);
    Layout(output, result->FOut);
    const bool rgbIn = input == ppBGR || input == ppBGRX || input == ppRGB;
    const bool greyIn = input == ppGray || input == ppGrayInBGR || input == ppGrayInBGRX;
    if (rgbIn && !perceptual && cmsIsMatrixShaper(g.Source) && cmsIsMatrixShaper(g.Target))
        result->PrepareMatrixShaper(g.Source, g.Target);
    else if (greyIn)
        result->PrepareGrey();
    return result;
}

namespace {
bool Invert(const double m[9], double r[9]) {
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (std::fabs(det) < 1e-12) return false;
    r[0] = (m[4] * m[8] - m[5] * m[7]) / det;
    r[1] = (m[2] * m[7] - m[1] * m[8]) / det;
    r[2] = (m[1] * m[5] - m[2] * m[4]) / det;
    r[3] = (m[5] * m[6] - m[3] * m[8]) / det;
    r[4] = (m[0] * m[8] - m[2] * m[6]) / det;
    r[5] = (m[2] * m[3] - m[0] * m[5]) / det;
    r[6] = (m[3] * m[7] - m[4] * m[6]) / det;
    r[7] = (m[1] * m[6] - m[0] * m[7]) / det;
    r[8] = (m[0] * m[4] - m[1] * m[3]) / det;
    return true;
}

// The colorant matrix (columns: red, green, blue in D50 XYZ) of a matrix-shaper profile.
bool Colorants(cmsHPROFILE p, double m[9]) {
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag,
                                     cmsSigBlueColorantTag};
    for (int c = 0; c < 3; ++c) {
        const auto* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, tags[c]));
        if (!xyz) return false;
        m[c] = xyz->X;
        m[3 + c] = xyz->Y;
        m[6 + c] = xyz->Z;
    }
    return true;
}
} // namespace

bool TProfileTransform::PrepareMatrixShaper(void* sourceProfile, void* targetProfile) {
    auto* source = static_cast<cmsHPROFILE>(sourceProfile);
    auto* target = static_cast<cmsHPROFILE>(targetProfile);
    double from[9], to[9], toInverse[9], matrix[9];
    if (!Colorants(source, from) || !Colorants(target, to) || !Invert(to, toInverse)) return false;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            double v = 0;
            for (int k = 0; k < 3; ++k)
                v += toInverse[r * 3 + k] * from[k * 3 + c];
            matrix[r * 3 + c] = v;
        }
    const cmsTagSignature curves[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
    std::vector<int32_t> contribution(3 * 3 * 256);
    for (int c = 0; c < 3; ++c) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(source, curves[c]));
        if (!curve) return false;
        for (int v = 0; v < 256; ++v) {
            const double linear =
                cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(v / 255.0));
            for (int o = 0; o < 3; ++o) {
                // No real profile comes near: a damaged one is left to the library.
                const double part = matrix[o * 3 + c] * linear;
                if (!std::isfinite(part) || std::fabs(part) > 16.0) return false;
                contribution[(o * 3 + c) * 256 + v] =
                    static_cast<int32_t>(std::lround(part * EncodeSteps));
            }
        }
    }
    // sRGB's three curves are the same: the red one, reversed, encodes all three.
    const auto* encode = static_cast<const cmsToneCurve*>(cmsReadTag(target, cmsSigRedTRCTag));
    if (!encode) return false;
    cmsToneCurve* reversed = cmsReverseToneCurve(encode);
    if (!reversed) return false;
    std::vector<uint8_t> table(EncodeSteps + 1);
    for (int i = 0; i <= EncodeSteps; ++i) {
        const float v =
            cmsEvalToneCurveFloat(reversed, static_cast<cmsFloat32Number>(i) / EncodeSteps);
        table[i] = static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f));
    }
    cmsFreeToneCurve(reversed);
    FContribution = std::move(contribution);
    FEncode = std::move(table);
    FFastPath = fpMatrixShaper;
    // Every level of each channel alone and of grey: when all come back as they
    // went in, the matrix is the identity and the curves are sRGB's.
    std::vector<uint8_t> probe(256 * 4 * FIn[3]), result(256 * 4 * FOut[3]);
    for (int v = 0; v < 256; ++v)
        for (int kind = 0; kind < 4; ++kind)
            for (int c = 0; c < 3; ++c)
                probe[(v * 4 + kind) * FIn[3] + FIn[c]] =
                    kind == 3 || kind == c ? static_cast<uint8_t>(v) : 0;
    Convert(probe.data(), result.data(), 256 * 4);
    FIdentity = true;
    for (int i = 0; i < 256 * 4 && FIdentity; ++i)
        for (int c = 0; c < 3; ++c)
            FIdentity &= probe[i * FIn[3] + FIn[c]] == result[i * FOut[3] + FOut[c]];
    return true;
}

bool TProfileTransform::PrepareGrey() {
    // Grey pixels have 256 possible values: each is converted once by the library.
    uint8_t levels[256 * 4];
    for (int v = 0; v < 256; ++v)
        for (int k = 0; k < 4; ++k)
            levels[v * 4 + k] = static_cast<uint8_t>(v);
    std::vector<uint8_t> rgb(256 * 3);
    for (int v = 0; v < 256; ++v) {
        uint8_t pixel[4] = {};
        cmsDoTransform(static_cast<cmsHTRANSFORM>(FTransform), levels + v * 4, pixel, 1);
        rgb[v * 3] = pixel[FOut[0]];
        rgb[v * 3 + 1] = pixel[FOut[1]];
        rgb[v * 3 + 2] = pixel[FOut[2]];
    }
    FGreyRGB = std::move(rgb);
    FFastPath = fpGrey;
    return true;
}

TProfileTransform::~TProfileTransform() {
    if (FTransform) cmsDeleteTransform(static_cast<cmsHTRANSFORM>(FTransform));
    if (FContext) cmsDeleteContext(static_cast<cmsContext>(FContext));
}

void TProfileTransform::Convert(const void* in, void* out, unsigned count) const noexcept {
    const auto* s = static_cast<const uint8_t*>(in);
    auto* t = static_cast<uint8_t*>(out);
    const int inStep = FIn[3], outStep = FOut[3];
    if (FFastPath == fpMatrixShaper) {
        const int32_t* k = FContribution.data();
        const uint8_t* encode = FEncode.data();
        // Out-of-gamut colours clip, as the library's relative colorimetric intent does.
        auto level = [encode](int32_t v) {
            return encode[v < 0 ? 0 : v > EncodeSteps ? EncodeSteps : v];
        };
        for (unsigned i = 0; i < count; ++i, s += inStep, t += outStep) {
            const unsigned r = s[FIn[0]], g = s[FIn[1]] + 256u, b = s[FIn[2]] + 512u;
            const uint8_t R = level(k[r] + k[g] + k[b]);
            const uint8_t G = level(k[768 + r] + k[768 + g] + k[768 + b]);
            const uint8_t B = level(k[1536 + r] + k[1536 + g] + k[1536 + b]);
            t[FOut[0]] = R;
            t[FOut[1]] = G;
            t[FOut[2]] = B;
        }
        return;
    }
    if (FFastPath == fpGrey) {
        const uint8_t* table = FGreyRGB.data();
        for (unsigned i = 0; i < count; ++i, s += inStep, t += outStep) {
            const uint8_t* rgb = table + s[FIn[0]] * 3;
            const uint8_t R = rgb[0], G = rgb[1], B = rgb[2];
            t[FOut[0]] = R;
            t[FOut[1]] = G;
            t[FOut[2]] = B;
        }
        return;
    }
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
    if (t->Identity()) return true;
    const unsigned width = static_cast<unsigned>(bitmap.Width());
    for (int y = 0; y < bitmap.Height(); ++y) {
        uint8_t* row = bitmap.ScanLine(y);
        t->Convert(row, row, width);
    }
    return true;
}
