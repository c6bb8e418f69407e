// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/ColorReduction.h"

#include "gif/BestQuantizer.h"
#include "gif/ClampedDitherer.h"
#include "gif/ColorQuantizer.h"
#include "gif/GIFException.h"

#include <algorithm>

TPalette WebPalette() {
    TPalette p;
    p.SetCount(216);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                p.Set(r * 36 + g * 6 + b, static_cast<uint8_t>(r * 51),
                      static_cast<uint8_t>(g * 51), static_cast<uint8_t>(b * 51));
    return p;
}

TPalette Gray4Palette() {
    TPalette p;
    p.SetCount(4);
    const uint8_t levels[4] = {0, 128, 192, 255};
    for (int i = 0; i < 4; ++i)
        p.Set(i, levels[i], levels[i], levels[i]);
    return p;
}

namespace {

// Visits the rows of a raster as blue, green, red pixels without converting
// the raster: 24 and 32-bit rows are read in place, others through one buffer.
class TRowSource {
public:
    explicit TRowSource(const TBitmap& source) : FSource(source) {
        const int bits = source.BitsPerPixel();
        if (bits == 24 || bits == 32)
            FPixelBytes = bits / 8;
        else
            FBuffer.resize(static_cast<size_t>(source.Width()) * 4);
    }
    const uint8_t* Row(int y) {
        if (FBuffer.empty()) return FSource.ScanLine(y);
        FSource.GetRowBGRX(y, FBuffer.data());
        return FBuffer.data();
    }
    int PixelBytes() const { return FPixelBytes; }

private:
    const TBitmap& FSource;
    int FPixelBytes = 4;
    std::vector<uint8_t> FBuffer;
};

} // namespace

TPalette CreateOptimizedPalette(const TBitmap& source, int colors, bool systemColors) {
    int n = colors;
    if (systemColors) n = std::min(n, 236);
    TColorQuantizer quantizer(n, 6);
    TRowSource rows(source);
    for (int y = 0; y < source.Height(); ++y)
        quantizer.AddRow(rows.Row(y), rows.PixelBytes(), source.Width());
    const TPalette computed = quantizer.Colors();
    if (!systemColors) return computed;
    TPalette p = DefaultPalette20();
    const int base = p.Count();
    for (int i = 0; i < computed.Count() && base + i < 256; ++i)
        p.Set(base + i, computed[i]);
    return p;
}

namespace {
// The source's alpha channel when it covers every pixel, else null.
const uint8_t* AlphaOf(const TBitmap& source) {
    const std::vector<uint8_t>& alpha = source.AlphaChannel();
    return alpha.size() == static_cast<size_t>(source.Width()) * source.Height() && !alpha.empty()
               ? alpha.data()
               : nullptr;
}
} // namespace

TPalette CreateBestPalette(const TBitmap& source, int colors, int minAlpha) {
    TBestQuantizer quantizer(colors, minAlpha);
    TRowSource rows(source);
    const uint8_t* alpha = AlphaOf(source);
    const size_t width = static_cast<size_t>(source.Width());
    for (int y = 0; y < source.Height(); ++y)
        quantizer.AddRow(rows.Row(y), rows.PixelBytes(), source.Width(),
                         alpha ? alpha + width * static_cast<size_t>(y) : nullptr);
    return quantizer.Colors();
}

std::unique_ptr<TColorLookup> CreateColorLookup(int method, const TPalette& palette) {
    switch (method) {
    case ReduceMonochrome:
        return std::make_unique<TMonochromeLookup>();
    case ReduceGray256:
        return std::make_unique<TGrayScaleLookup>();
    case ReduceNetscape216:
        return std::make_unique<TNetscapeColorLookup>();
    default:
        return NearestLookupFactory(palette);
    }
}

std::unique_ptr<TBitmap> ReduceColors(const TBitmap& source, int method, int ditherMethod,
                                      const TPalette* givenPalette, int paletteBits,
                                      int reservedEntries) {
    auto result = std::make_unique<TBitmap>();
    if (method == ReduceNone) {
        result->Assign(source);
        result->SetPixelFormat(pf24bit);
        return result;
    }
    const int width = source.Width(), height = source.Height();
    if (width <= 0 || height <= 0) return result;

    TPalette palette;
    const int colors = 1 << std::clamp(paletteBits, 1, 8);
    switch (method) {
    case ReduceSystem20:
        palette = DefaultPalette20();
        break;
    case ReduceHalftone256:
        palette = HalftonePalette256();
        break;
    case ReduceGray4:
        palette = Gray4Palette();
        break;
    case ReduceMonochrome:
        palette = MonochromePalette();
        break;
    case ReduceGray256:
        palette = GreyPalette(256);
        break;
    case ReduceNetscape216:
        palette = WebPalette();
        break;
    case ReduceOptimal:
        palette = CreateOptimizedPalette(source, colors, false);
        break;
    case ReduceOptimalSystem:
        palette = CreateOptimizedPalette(source, colors, true);
        break;
    case ReduceGivenPalette:
        if (!givenPalette || givenPalette->Count() == 0)
            throw GIFException("Missing, invalid or empty palette");
        palette = *givenPalette;
        break;
    case ReduceBest:
        palette = CreateBestPalette(source, std::max(1, colors - std::max(0, reservedEntries)),
                                    reservedEntries > 0 ? 128 : 1);
        break;
    default:
        return result; // unknown method: no palette, nothing to map to
    }

    std::unique_ptr<TColorLookup> lookup = CreateColorLookup(method, palette);
    if (lookup->Colors() == 0) return result;
    // The best reduction's Floyd-Steinberg limits the error and skips
    // transparent pixels; everything else keeps its own ditherer.
    const bool clamped = method == ReduceBest && ditherMethod == DitherFloydSteinberg;
    std::unique_ptr<TDitherEngine> ditherer =
        clamped ? std::make_unique<TClampedDitherer>(width, *lookup)
                : CreateDitherer(ditherMethod, width, *lookup);
    if (!ditherer) return result;

    CheckRasterSize(width, height);
    result = std::make_unique<TBitmap>(width, height, pf8bit);
    // The written colour table always has 256 entries: the palette, then black.
    TPalette table = palette;
    table.SetCount(256);
    result->SetPalette(table);

    TRowSource rows(source);
    ditherer->Reset();
    // Only a caller that reserved an entry gives those pixels another one.
    const uint8_t* alpha = reservedEntries > 0 ? AlphaOf(source) : nullptr;
    const int minAlpha = 128;
    for (int y = 0; y < height; ++y) {
        if (clamped)
            static_cast<TClampedDitherer&>(*ditherer).DitherRow(
                rows.Row(y), rows.PixelBytes(),
                alpha ? alpha + static_cast<size_t>(width) * y : nullptr, minAlpha,
                result->ScanLine(y));
        else
            ditherer->DitherRow(rows.Row(y), rows.PixelBytes(), result->ScanLine(y));
        ditherer->NextLine();
    }
    return result;
}
