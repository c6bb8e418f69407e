// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ColorManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>

const char* const gesInvalidColorDepth =
    "Color depth is invalid. Bits per sample must be 1, 2, 4, 8 or 16.";
const char* const gesInvalidSampleCount =
    "Sample count per pixel does not correspond to the given color scheme.";
const char* const gesIndexedNotSupported =
    "Conversion between indexed and non-indexed pixel formats is not supported.";
const char* const gesConversionUnsupported =
    "Color conversion failed. Could not find a proper method.";

namespace {
inline uint8_t Clamp255(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}
inline bool IsRGBFamily(TColorLayout l) {
    return l == clRGB || l == clRGBA || l == clBGR || l == clBGRA;
}
inline bool IsBlueFirst(TColorLayout l) {
    return l == clBGR || l == clBGRA;
}
inline bool IsPackedBits(uint8_t b) {
    return b == 1 || b == 2 || b == 4 || b == 8;
}
// Whether pixel i of a row is converted under the eight-pixel mask.
inline bool Selected(uint8_t mask, unsigned i) {
    return mask == 0xFF || (mask & (0x80u >> (i & 7)));
}
} // namespace

TColorManager::TColorManager() {
    BuildGammaTable();
}

void TColorManager::SetSourceBits(uint8_t bits) {
    if (bits == 0 || bits > 16) throw EColorConversionError(gesInvalidColorDepth);
    if (bits != FSourceBits) FChanged = true;
    FSourceBits = bits;
}
void TColorManager::SetTargetBits(uint8_t bits) {
    if (bits == 0 || bits > 16) throw EColorConversionError(gesInvalidColorDepth);
    if (bits != FTargetBits) FChanged = true;
    FTargetBits = bits;
}
void TColorManager::SetSourceSamples(uint8_t count) {
    if (count == 0 || count > 4) throw EColorConversionError(gesInvalidSampleCount);
    if (count != FSourceSamples) FChanged = true;
    FSourceSamples = count;
}
void TColorManager::SetTargetSamples(uint8_t count) {
    if (count == 0 || count > 4) throw EColorConversionError(gesInvalidSampleCount);
    if (count != FTargetSamples) FChanged = true;
    FTargetSamples = count;
}
void TColorManager::SetSourceLayout(TColorLayout layout) {
    if (layout != FSourceLayout) FChanged = true;
    FSourceLayout = layout;
}
void TColorManager::SetTargetLayout(TColorLayout layout) {
    if (layout != FTargetLayout) FChanged = true;
    FTargetLayout = layout;
}
void TColorManager::SetSourceOptions(TSampleOptions options) {
    if (options != FSourceOptions) FChanged = true;
    FSourceOptions = options;
}
void TColorManager::SetTargetOptions(TSampleOptions options) {
    if (options != FTargetOptions) FChanged = true;
    FTargetOptions = options;
}

TPixelFormat TColorManager::PixelFormatFor(TColorSide side) const {
    uint8_t bits = side == TColorSide::Source ? FSourceBits : FTargetBits;
    uint8_t samples = side == TColorSide::Source ? FSourceSamples : FTargetSamples;
    switch (samples) {
    case 1:
        if (bits == 1) return pf1bit;
        if (bits >= 2 && bits <= 4) return pf4bit;
        if (bits >= 8 && bits <= 16) return pf8bit;
        break;
    case 3:
        return bits <= 5 ? pf15bit : pf24bit;
    case 4:
        if (bits >= 8) return pf32bit;
        break;
    }
    return pfCustom;
}

void TColorManager::SetGammaPair(float mainGamma, float displayGamma) {
    FMainGamma = mainGamma > 0 ? mainGamma : 1.0f;
    FDisplayGamma = displayGamma > 0 ? displayGamma : 2.2f;
    BuildGammaTable();
}

void TColorManager::BuildGammaTable() {
    int m = FTargetBits >= 8 ? 255 : (1 << FTargetBits) - 1;
    int n = FSourceBits >= 8 ? 255 : std::min((1 << FTargetBits) - 1, 255);
    double exponent = 1.0 / (static_cast<double>(FMainGamma) * FDisplayGamma);
    FGammaTable.fill(0);
    for (int i = 0; i <= n; ++i)
        FGammaTable[i] =
            static_cast<uint8_t>(std::lround(std::pow(static_cast<double>(i) / n, exponent) * m));
}

void TColorManager::BuildChromaTables() {
    const float f1 = 2 - 2 * FLumaWeights[0];
    const float f2 = FLumaWeights[0] * f1 / FLumaWeights[1];
    const float f3 = 2 - 2 * FLumaWeights[2];
    const float f4 = FLumaWeights[2] * f3 / FLumaWeights[1];
    const bool photo = FSourceLayout == clPhotoYCC;
    for (int i = 0; i < 256; ++i) {
        float dr = static_cast<float>(i - (photo ? 137 : 128));
        float db = static_cast<float>(i - (photo ? 156 : 128));
        FCrToRed[i] = static_cast<int32_t>(std::lround(f1 * dr));
        FCbToBlue[i] = static_cast<int32_t>(std::lround(f3 * db));
        FCrToGreen[i] = -static_cast<int32_t>(std::lround(f2 * dr));
        FCbToGreen[i] = -static_cast<int32_t>(std::lround(f4 * db));
    }
}

uint8_t TColorManager::Transfer8(uint8_t v) const {
    return (FTargetOptions & soGamma) ? FGammaTable[v] : v;
}

uint16_t TColorManager::Read16(const uint8_t* p) const {
    uint16_t v;
    std::memcpy(&v, p, 2);
    if (FSourceOptions & soSwapBytes) v = static_cast<uint16_t>((v >> 8) | (v << 8));
    return v;
}

uint8_t TColorManager::Transfer16(uint16_t v) const {
    uint8_t r = static_cast<uint8_t>(static_cast<uint32_t>(v) * 255u / 65535u);
    return (FTargetOptions & soGamma) ? FGammaTable[r] : r;
}

void TColorManager::Prepare() {
    FConverter = nullptr;
    bool srcIndexed =
        FSourceLayout == clIndexed || FSourceLayout == clGray || FSourceLayout == clGrayAlpha;
    bool tgtIndexed = FTargetLayout == clIndexed || FTargetLayout == clGray;
    // Left Changed on purpose: every later call fails the same way until a setting changes.
    if (srcIndexed != tgtIndexed) throw EColorConversionError(gesIndexedNotSupported);

    auto hasAlpha = [](TColorLayout l) { return l == clGrayAlpha || l == clRGBA || l == clBGRA; };
    FSourceOptions =
        hasAlpha(FSourceLayout) ? (FSourceOptions | soAlpha) : (FSourceOptions & ~soAlpha);
    FTargetOptions =
        hasAlpha(FTargetLayout) ? (FTargetOptions | soAlpha) : (FTargetOptions & ~soAlpha);

    const bool s16 = FSourceBits == 16, t16 = FTargetBits == 16;
    const bool s8or16 = FSourceBits == 8 || s16;
    switch (FSourceLayout) {
    case clIndexed:
        if (s16 && t16)
            FConverter = &TColorManager::RowIndex16Copy;
        else if (s16 && IsPackedBits(FTargetBits))
            FConverter = &TColorManager::RowIndex16ToPacked;
        else if (t16 && IsPackedBits(FSourceBits))
            FConverter = &TColorManager::RowPackedToIndex16;
        else if (IsPackedBits(FSourceBits) && IsPackedBits(FTargetBits))
            FConverter = &TColorManager::RowPackedRepack;
        break;
    case clGray:
        if (!s16 && !t16) {
            if (IsPackedBits(FSourceBits) && IsPackedBits(FTargetBits))
                FConverter = &TColorManager::RowPackedRepack;
        } else if (s8or16 && FTargetBits == 8) {
            FConverter = &TColorManager::RowGrayCopy;
        }
        break;
    case clGrayAlpha:
        if (s8or16 && FTargetBits == 8) FConverter = &TColorManager::RowGrayCopy;
        break;
    case clRGB:
    case clRGBA:
    case clBGR:
    case clBGRA:
        if (IsRGBFamily(FTargetLayout) && s8or16 && FTargetBits == 8) {
            FReversed = IsBlueFirst(FSourceLayout) != IsBlueFirst(FTargetLayout);
            FConverter = &TColorManager::RowRGBCopy;
        }
        break;
    case clCMYK:
        if (IsRGBFamily(FTargetLayout) && s8or16 && FTargetBits == 8)
            FConverter = &TColorManager::RowCMYK;
        break;
    case clCIELab:
        if (IsRGBFamily(FTargetLayout) && s8or16 && FTargetBits == 8)
            FConverter = &TColorManager::RowLab;
        break;
    case clYCbCr:
    case clPhotoYCC:
        if (IsRGBFamily(FTargetLayout) && FSourceBits == 8 && FTargetBits == 8) {
            BuildChromaTables();
            FConverter = &TColorManager::RowYCbCr;
        }
        break;
    default:
        break;
    }
    FChanged = false;
}

void TColorManager::ConvertLine(const void* const* sources, int sourceCount, void* target,
                                unsigned count, uint8_t mask) {
    if (FChanged) Prepare();
    if (!FConverter) throw EColorConversionError(gesConversionUnsupported);
    if (sourceCount < 1 || !target) return;
    const uint8_t* src[4] = {};
    int planes = std::min(sourceCount, 4);
    for (int i = 0; i < planes; ++i)
        src[i] = static_cast<const uint8_t*>(sources[i]);
    (this->*FConverter)(src, planes, static_cast<uint8_t*>(target), count, mask);
}

// Index values wider than the target keep their low bits only when they fit;
// larger ones are capped at the highest index the target holds.
void TColorManager::RowIndex16Copy(const uint8_t* const* src, int, uint8_t* t, unsigned n,
                                   uint8_t m) {
    const uint8_t* s = src[0];
    for (unsigned i = 0; i < n; ++i, t += 2)
        if (Selected(m, i)) {
            uint16_t v = Read16(s);
            std::memcpy(t, &v, 2);
            s += 2;
        }
}

void TColorManager::RowIndex16ToPacked(const uint8_t* const* src, int, uint8_t* t, unsigned n,
                                       uint8_t m) {
    const uint8_t* s = src[0];
    const unsigned tb = FTargetBits, maxValue = (1u << tb) - 1;
    for (unsigned i = 0; i < n; ++i) {
        if (!Selected(m, i)) continue;
        unsigned v = std::min<unsigned>(Read16(s), maxValue);
        s += 2;
        unsigned bit = i * tb;
        unsigned shift = 8 - tb - (bit & 7);
        uint8_t& b = t[bit >> 3];
        b = static_cast<uint8_t>((b & ~(maxValue << shift)) | (v << shift));
    }
}

void TColorManager::RowPackedToIndex16(const uint8_t* const* src, int, uint8_t* t, unsigned n,
                                       uint8_t m) {
    const uint8_t* s = src[0];
    const unsigned sb = FSourceBits, sMask = (1u << sb) - 1;
    unsigned taken = 0;
    for (unsigned i = 0; i < n; ++i, t += 2) {
        if (!Selected(m, i)) continue;
        unsigned bit = taken++ * sb;
        uint16_t v = static_cast<uint16_t>((s[bit >> 3] >> (8 - sb - (bit & 7))) & sMask);
        std::memcpy(t, &v, 2);
    }
}

void TColorManager::RowPackedRepack(const uint8_t* const* src, int, uint8_t* t, unsigned n,
                                    uint8_t m) {
    const uint8_t* s = src[0];
    const unsigned sb = FSourceBits, tb = FTargetBits;
    if (sb == tb && m == 0xFF) {
        std::memcpy(t, s, (static_cast<size_t>(sb) * n + 7) / 8);
        return;
    }
    const unsigned sMax = (1u << sb) - 1, tMax = (1u << tb) - 1;
    // Scaling keeps an index pointing at the same colour once the palette is spread.
    uint8_t scale[256];
    for (unsigned v = 0; v <= sMax; ++v)
        scale[v] = static_cast<uint8_t>(v * tMax / sMax);
    size_t sbit = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (!Selected(m, i)) continue;
        unsigned v = (s[sbit >> 3] >> (8 - sb - (sbit & 7))) & sMax;
        sbit += sb;
        size_t tbit = static_cast<size_t>(i) * tb;
        unsigned shift = 8 - tb - (tbit & 7);
        uint8_t& b = t[tbit >> 3];
        b = static_cast<uint8_t>((b & ~(tMax << shift)) | (scale[v] << shift));
    }
}

void TColorManager::RowGrayCopy(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                                uint8_t m) {
    const uint8_t* s = src[0];
    const bool s16 = FSourceBits == 16;
    const size_t bytes = s16 ? 2 : 1;
    // Interleaved grey+alpha skips the alpha sample; a separate alpha plane is not read.
    const size_t step = (planes == 1 && (FSourceOptions & soAlpha)) ? 2 * bytes : bytes;
    for (unsigned i = 0; i < n; ++i, ++t) {
        if (!Selected(m, i)) continue;
        if (s16) {
            uint16_t v = Read16(s);
            *t = static_cast<uint8_t>(static_cast<uint32_t>(v) * 255u / 65535u);
        } else {
            *t = *s;
        }
        s += step;
    }
}

void TColorManager::RowRGBCopy(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                               uint8_t m) {
    const bool s16 = FSourceBits == 16;
    const size_t bytes = s16 ? 2 : 1;
    const bool sAlpha = FSourceOptions & soAlpha, tAlpha = FTargetOptions & soAlpha;
    const bool planar = planes > 1;
    const int needed = 3 + (sAlpha ? 1 : 0);
    const size_t step = planar ? bytes : bytes * std::max<int>(needed, FSourceSamples);
    const uint8_t* p[4] = {src[0], src[0] + bytes, src[0] + 2 * bytes, src[0] + 3 * bytes};
    if (planar)
        for (int k = 0; k < 4; ++k)
            p[k] = k < planes ? src[k] : nullptr;
    const bool readAlpha = sAlpha && tAlpha && p[3];
    const size_t tStep = tAlpha ? 4 : 3;
    const int o0 = FReversed ? 2 : 0, o2 = FReversed ? 0 : 2;
    if (!s16 && m == 0xFF && !(FTargetOptions & soGamma)) {
        // The common case, every pixel and no gamma: plain byte moves.
        const uint8_t *p0 = p[0], *p1 = p[1], *p2 = p[2], *p3 = p[3];
        for (unsigned i = 0; i < n; ++i, t += tStep) {
            t[o0] = *p0;
            t[1] = *p1;
            t[o2] = *p2;
            if (readAlpha) t[3] = *p3;
            p0 += step;
            p1 += step;
            p2 += step;
            if (p3) p3 += step;
        }
        return;
    }
    for (unsigned i = 0; i < n; ++i, t += tStep) {
        if (!Selected(m, i)) continue;
        if (s16) {
            t[o0] = Transfer16(Read16(p[0]));
            t[1] = Transfer16(Read16(p[1]));
            t[o2] = Transfer16(Read16(p[2]));
            if (readAlpha)
                t[3] = static_cast<uint8_t>(static_cast<uint32_t>(Read16(p[3])) * 255u / 65535u);
        } else {
            t[o0] = Transfer8(*p[0]);
            t[1] = Transfer8(*p[1]);
            t[o2] = Transfer8(*p[2]);
            if (readAlpha) t[3] = *p[3];
        }
        for (int k = 0; k < 4; ++k)
            if (p[k]) p[k] += step;
    }
}

namespace {
// Reads the four colour samples of one pixel as 8-bit values.
struct TSampleReader {
    const uint8_t* P[4];
    size_t Step;
    bool Wide;
    bool Swap;
    uint8_t Get(int k) const {
        if (!Wide) return *P[k];
        uint16_t v;
        std::memcpy(&v, P[k], 2);
        if (Swap) v = static_cast<uint16_t>((v >> 8) | (v << 8));
        return static_cast<uint8_t>(static_cast<uint32_t>(v) * 255u / 65535u);
    }
    void Next(int used) {
        for (int k = 0; k < used; ++k)
            P[k] += Step;
    }
};

TSampleReader MakeReader(const uint8_t* const* src, int planes, int used, int samples, bool wide,
                         bool swap) {
    TSampleReader r{};
    size_t bytes = wide ? 2 : 1;
    r.Wide = wide;
    r.Swap = swap;
    if (planes > 1) {
        for (int k = 0; k < used; ++k)
            r.P[k] = src[k < planes ? k : planes - 1];
        r.Step = bytes;
    } else {
        for (int k = 0; k < used; ++k)
            r.P[k] = src[0] + k * bytes;
        r.Step = bytes * std::max(used, samples);
    }
    return r;
}
} // namespace

void TColorManager::RowCMYK(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                            uint8_t m) {
    TSampleReader r =
        MakeReader(src, planes, 4, FSourceSamples, FSourceBits == 16, FSourceOptions & soSwapBytes);
    const size_t tStep = (FTargetOptions & soAlpha) ? 4 : 3;
    const bool blueFirst = IsBlueFirst(FTargetLayout);
    for (unsigned i = 0; i < n; ++i, t += tStep) {
        if (!Selected(m, i)) continue;
        int c = r.Get(0), mg = r.Get(1), y = r.Get(2), k = r.Get(3);
        r.Next(4);
        uint8_t red = Clamp255(255 - (c - c * k / 255 + k));
        uint8_t green = Clamp255(255 - (mg - mg * k / 255 + k));
        uint8_t blue = Clamp255(255 - (y - y * k / 255 + k));
        t[0] = blueFirst ? blue : red;
        t[1] = green;
        t[2] = blueFirst ? red : blue;
    }
}

void TColorManager::RowLab(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                           uint8_t m) {
    TSampleReader r =
        MakeReader(src, planes, 3, FSourceSamples, FSourceBits == 16, FSourceOptions & soSwapBytes);
    const size_t tStep = (FTargetOptions & soAlpha) ? 4 : 3;
    const bool blueFirst = IsBlueFirst(FTargetLayout);
    const bool percent = FSourceOptions & soLabPercent, offset = FSourceOptions & soLabOffset;
    auto toByte = [](long double v) {
        long double x = std::nearbyintl(v * 255.0L); // halves to even
        return static_cast<uint8_t>(x < 0 ? 0 : (x > 255 ? 255 : static_cast<int>(x)));
    };
    for (unsigned i = 0; i < n; ++i, t += tStep) {
        if (!Selected(m, i)) continue;
        uint8_t sl = r.Get(0), sa = r.Get(1), sb = r.Get(2);
        r.Next(3);
        long double L = percent ? sl / 2.55L : static_cast<long double>(sl);
        long double a = offset ? static_cast<long double>(sa) - 128 : static_cast<int8_t>(sa);
        long double b = offset ? static_cast<long double>(sb) - 128 : static_cast<int8_t>(sb);
        long double T = (L + 16) / 116;
        long double X, Y, Z;
        if (L < 7.9996L) {
            Y = L / 903.3L;
            X = a / 3893.5L + Y;
            Z = Y - b / 1557.4L;
        } else {
            long double tx = a / 500 + T, tz = T - b / 200;
            X = tx * tx * tx;
            Y = T * T * T;
            Z = tz * tz * tz;
        }
        uint8_t red = toByte(2.998L * X - 1.458L * Y - 0.541L * Z);
        uint8_t green = toByte(-0.952L * X + 1.893L * Y + 0.059L * Z);
        uint8_t blue = toByte(0.099L * X - 0.198L * Y + 1.099L * Z);
        t[0] = blueFirst ? blue : red;
        t[1] = green;
        t[2] = blueFirst ? red : blue;
    }
}

void TColorManager::RowYCbCr(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                             uint8_t m) {
    TSampleReader r = MakeReader(src, planes, 3, FSourceSamples, false, false);
    const size_t tStep = (FTargetOptions & soAlpha) ? 4 : 3;
    const bool blueFirst = IsBlueFirst(FTargetLayout);
    for (unsigned i = 0; i < n; ++i, t += tStep) {
        if (!Selected(m, i)) continue;
        int y = *r.P[0], cb = *r.P[1], cr = *r.P[2];
        r.Next(3);
        uint8_t red = Clamp255(y + FCrToRed[cr]);
        uint8_t green = Clamp255(y + FCbToGreen[cb] + FCrToGreen[cr]);
        uint8_t blue = Clamp255(y + FCbToBlue[cb]);
        t[0] = blueFirst ? blue : red;
        t[1] = green;
        t[2] = blueFirst ? red : blue;
    }
}

TPalette TColorManager::MakeColorPalette(const void* const* sources, TPaletteData format, int count,
                                         bool blueFirst) const {
    int n = std::clamp(count, 0, 256);
    std::vector<TPaletteEntry> entries(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        TPaletteEntry& e = entries[i];
        if (format == pdInterleaved8) {
            const uint8_t* p = static_cast<const uint8_t*>(sources[0]) + 3 * i;
            e.Red = Transfer8(blueFirst ? p[2] : p[0]);
            e.Green = Transfer8(p[1]);
            e.Blue = Transfer8(blueFirst ? p[0] : p[2]);
        } else if (format == pdPlanar8) {
            e.Red = Transfer8(static_cast<const uint8_t*>(sources[0])[i]);
            e.Green = Transfer8(static_cast<const uint8_t*>(sources[1])[i]);
            e.Blue = Transfer8(static_cast<const uint8_t*>(sources[2])[i]);
        } else {
            e.Red = Transfer16(Read16(static_cast<const uint8_t*>(sources[0]) + 2 * i));
            e.Green = Transfer16(Read16(static_cast<const uint8_t*>(sources[1]) + 2 * i));
            e.Blue = Transfer16(Read16(static_cast<const uint8_t*>(sources[2]) + 2 * i));
        }
    }
    TPalette palette(entries);
    const uint32_t sMax = (1u << FSourceBits) - 1, tMax = (1u << FTargetBits) - 1;
    if (FTargetBits <= 8 && sMax != tMax) {
        // Spread: entry j takes the colour an index of the source depth scaled to j had.
        std::vector<TPaletteEntry> spread(tMax + 1);
        for (uint32_t j = 0; j <= tMax; ++j) {
            uint32_t from = j * sMax / tMax;
            if (from < 256) spread[j] = palette[static_cast<int>(from)];
        }
        palette = TPalette(spread);
    }
    return palette;
}

TPalette TColorManager::MakeGrayPalette(bool minimumIsWhite) const {
    int bits = std::min(FTargetBits * FTargetSamples, 8);
    int count = 1 << bits;
    int step = 255 / (count - 1);
    std::vector<TPaletteEntry> entries(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        uint8_t v = static_cast<uint8_t>(i * step);
        if (FTargetOptions & soGamma) v = FGammaTable[v];
        entries[minimumIsWhite ? count - 1 - i : i] = TPaletteEntry{v, v, v, 0};
    }
    return TPalette(entries);
}
