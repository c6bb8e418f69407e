// SPDX-License-Identifier: GPL-3.0-or-later
// TColorManager turns rows of raw samples, as files store them, into rows of
// the working raster, and builds raster palettes from colour tables or as grey
// ramps. One conversion routine is chosen per setting change, not per row.
#pragma once

#include "base/Exceptions.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Palette.h"

#include <array>
#include <cstdint>
#include <initializer_list>

TREVASCO_EXCEPTION(EColorConversionError, Exception)

enum TColorLayout : uint8_t {
    clUndefined = 0,
    clIndexed = 1,
    clIndexedAlpha = 2,
    clGray = 3,
    clGrayAlpha = 4,
    clRGB = 5,
    clRGBA = 6,
    clBGR = 7,
    clBGRA = 8,
    clCMYK = 10,
    clCIELab = 11,
    clITULab = 12,
    clLogL = 13,
    clLogLuv = 14,
    clYCbCr = 15,
    clPhotoYCC = 16,
};

// Sample options, a set in one byte.
enum TSampleOption : uint8_t {
    soAlpha = 1,
    soGamma = 2,
    soSwapBytes = 4,  // 16-bit samples stored high byte first
    soLabPercent = 8, // L* stored as 0..255 for 0..100
    soLabOffset = 16, // a* and b* stored unsigned with 128 added
};
using TSampleOptions = uint8_t;

enum class TColorSide { Source, Target };

// Data formats of MakeColorPalette.
enum TPaletteData : int {
    pdInterleaved8 = 0, // one pointer to 8-bit triples
    pdPlanar8 = 2,      // three pointers to 8-bit planes, red, green, blue
    pdPlanar16 = 6,     // three pointers to 16-bit planes
};

extern const char* const gesInvalidColorDepth;
extern const char* const gesInvalidSampleCount;
extern const char* const gesIndexedNotSupported;
extern const char* const gesConversionUnsupported;

class TColorManager {
public:
    TColorManager();

    void SetSourceBits(uint8_t bits);
    void SetTargetBits(uint8_t bits);
    void SetSourceSamples(uint8_t count);
    void SetTargetSamples(uint8_t count);
    void SetSourceLayout(TColorLayout layout);
    void SetTargetLayout(TColorLayout layout);
    void SetSourceOptions(TSampleOptions options);
    void SetTargetOptions(TSampleOptions options);

    uint8_t SourceBits() const { return FSourceBits; }
    uint8_t TargetBits() const { return FTargetBits; }
    uint8_t SourceSamples() const { return FSourceSamples; }
    uint8_t TargetSamples() const { return FTargetSamples; }
    TColorLayout SourceLayout() const { return FSourceLayout; }
    TColorLayout TargetLayout() const { return FTargetLayout; }
    TSampleOptions SourceOptions() const { return FSourceOptions; }
    TSampleOptions TargetOptions() const { return FTargetOptions; }

    TPixelFormat PixelFormatFor(TColorSide side) const;

    // One source pointer: interleaved samples; several: one plane per sample in
    // layout order. Bit i of mask (most significant first, repeating every
    // eight pixels) tells whether pixel i is converted; the target advances
    // past every pixel, the sources only past converted ones.
    void ConvertLine(const void* const* sources, int sourceCount, void* target, unsigned count,
                     uint8_t mask = 0xFF);
    void ConvertLine(std::initializer_list<const void*> sources, void* target, unsigned count,
                     uint8_t mask = 0xFF) {
        ConvertLine(sources.begin(), static_cast<int>(sources.size()), target, count, mask);
    }

    TPalette MakeColorPalette(const void* const* sources, TPaletteData format, int count,
                              bool blueFirst) const;
    TPalette MakeColorPalette(std::initializer_list<const void*> sources, TPaletteData format,
                              int count, bool blueFirst) const {
        return MakeColorPalette(sources.begin(), format, count, blueFirst);
    }
    TPalette MakeGrayPalette(bool minimumIsWhite) const;

    void SetGammaPair(float mainGamma, float displayGamma);
    const std::array<uint8_t, 256>& GammaTable() const { return FGammaTable; }

private:
    using TConverter = void (TColorManager::*)(const uint8_t* const* src, int planes,
                                               uint8_t* target, unsigned count, uint8_t mask);
    void Prepare();
    void BuildGammaTable();
    void BuildChromaTables();
    uint8_t Transfer8(uint8_t v) const;
    uint8_t Transfer16(uint16_t v) const;
    uint16_t Read16(const uint8_t* p) const;

    void RowIndex16Copy(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);
    void RowIndex16ToPacked(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                            uint8_t m);
    void RowPackedToIndex16(const uint8_t* const* src, int planes, uint8_t* t, unsigned n,
                            uint8_t m);
    void RowPackedRepack(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);
    void RowGrayCopy(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);
    void RowRGBCopy(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);
    void RowCMYK(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);
    void RowLab(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);
    void RowYCbCr(const uint8_t* const* src, int planes, uint8_t* t, unsigned n, uint8_t m);

    bool FChanged = true;
    uint8_t FSourceBits = 8, FTargetBits = 8;
    uint8_t FSourceSamples = 3, FTargetSamples = 3;
    TColorLayout FSourceLayout = clRGB, FTargetLayout = clBGR;
    TSampleOptions FSourceOptions = 0, FTargetOptions = 0;
    float FMainGamma = 1.0f, FDisplayGamma = 2.2f;
    std::array<uint8_t, 256> FGammaTable{};
    std::array<float, 3> FLumaWeights{0.299f, 0.587f, 0.114f};
    std::array<int32_t, 256> FCrToRed{}, FCbToBlue{}, FCrToGreen{}, FCbToGreen{};
    bool FReversed = false; // RGB copies: target order is the reverse of the source's
    TConverter FConverter = nullptr;
};
