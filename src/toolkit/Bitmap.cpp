// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Bitmap.h"

#include "base/Exceptions.h"
#include "toolkit/PixelRows.h"

#include <algorithm>
#include <cstring>

TREVASCO_GRAPHIC_CLASS(TBitmap, TGraphic)

TBitmap::TBitmap() = default;

TBitmap::TBitmap(int width, int height, TPixelFormat format) {
    SetPixelFormat(format);
    SetSize(width, height);
}

TBitmap::~TBitmap() = default;

TBitmap::TBitmap(const TBitmap& other) : TGraphic() {
    *this = other;
}

TBitmap& TBitmap::operator=(const TBitmap& other) {
    if (this == &other) return *this;
    FWidth = other.FWidth;
    FHeight = other.FHeight;
    FPixelFormat = other.FPixelFormat;
    FStride = other.FStride;
    FPixels = other.FPixels;
    FAlpha = other.FAlpha;
    FPalette = other.FPalette;
    FTransparentColor = other.FTransparentColor;
    SetTransparent(other.Transparent());
    InvalidateCache();
    return *this;
}

int TBitmap::BitsOf(TPixelFormat format) {
    switch (format) {
    case pf1bit:
        return 1;
    case pf4bit:
        return 4;
    case pf8bit:
        return 8;
    case pf15bit:
    case pf16bit:
        return 16;
    case pf24bit:
        return 24;
    case pfDevice:
    case pf32bit:
        return 32;
    default:
        throw EInvalidGraphic("Invalid pixel format");
    }
}

void TBitmap::InvalidateCache() {
    FNearestCache.reset();
}

void TBitmap::DefaultPaletteFor(TPixelFormat format) {
    switch (format) {
    case pf1bit:
        FPalette = MonochromePalette();
        break;
    case pf4bit:
        FPalette = SystemPalette16();
        break;
    case pf8bit:
        FPalette = HalftonePalette256();
        break;
    default:
        FPalette = TPalette();
        break;
    }
    InvalidateCache();
}

void TBitmap::Clear() {
    FWidth = FHeight = 0;
    FStride = 0;
    FPixels.clear();
    FPixels.shrink_to_fit();
    FAlpha.clear();
    FPixelFormat = pfDevice;
    FPalette = TPalette();
    InvalidateCache();
}

void TBitmap::AllocateRaster(int width, int height, TPixelFormat format) {
    if (format == pfCustom) throw EInvalidGraphic("Invalid pixel format");
    CheckRasterSize(width, height);
    decltype(FPixels)().swap(FPixels);
    FAlpha.clear();
    size_t stride = StrideOf(width, BitsOf(format));
    try {
        FPixels.assign(stride * static_cast<size_t>(height), 0);
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
    FWidth = width;
    FHeight = height;
    FStride = stride;
    if (format != FPixelFormat || (BitsOf(format) <= 8 && FPalette.Count() == 0))
        DefaultPaletteFor(format);
    FPixelFormat = format;
    InvalidateCache();
}

namespace {

// Pixel x0..x1 of a row set to one raw value of the given depth.
void FillRowRaw(uint8_t* row, int bits, int x0, int x1, uint32_t raw) {
    switch (bits) {
    case 32: {
        const uint8_t p[4] = {static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8),
                              static_cast<uint8_t>(raw >> 16), 0};
        for (int x = x0; x < x1; ++x)
            std::memcpy(row + 4 * static_cast<size_t>(x), p, 4);
        break;
    }
    case 24:
        for (int x = x0; x < x1; ++x) {
            row[3 * x] = static_cast<uint8_t>(raw);
            row[3 * x + 1] = static_cast<uint8_t>(raw >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(raw >> 16);
        }
        break;
    case 16:
        for (int x = x0; x < x1; ++x) {
            row[2 * x] = static_cast<uint8_t>(raw);
            row[2 * x + 1] = static_cast<uint8_t>(raw >> 8);
        }
        break;
    case 8:
        std::memset(row + x0, static_cast<int>(raw & 0xFF), static_cast<size_t>(x1 - x0));
        break;
    default: {
        const int mask = (1 << bits) - 1;
        for (int x = x0; x < x1; ++x) {
            int bit = x * bits;
            int shift = 8 - bits - (bit & 7);
            uint8_t& b = row[bit >> 3];
            b = static_cast<uint8_t>((b & ~(mask << shift)) | ((raw & mask) << shift));
        }
    }
    }
}

} // namespace

void TBitmap::SetSize(int width, int height) {
    if (width == FWidth && height == FHeight) return;
    FAlpha.clear();
    if (width < 0) width = 0;
    if (height < 0) height = 0;
    CheckRasterSize(width, height);
    const int bits = BitsPerPixel();
    if (bits <= 8 && FPalette.Count() == 0) DefaultPaletteFor(FPixelFormat);
    const size_t stride = StrideOf(width, bits);
    // Every new row starts as a copy of one white row (padding bytes zero), so
    // the raster is written once instead of zeroed and then filled.
    std::vector<uint8_t> white(stride, 0);
    FillRowRaw(white.data(), bits, 0, width, ColorToRaw(clWhite));
    decltype(FPixels) pixels;
    try {
        pixels.reserve(stride * static_cast<size_t>(height));
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
    const int keepRows = std::min(height, FHeight);
    const int keepCols = std::min(width, FWidth);
    const size_t keepBytes = (static_cast<size_t>(keepCols) * bits) / 8; // whole bytes only
    // Sub-byte pixels of a partly kept byte are copied one by one.
    const int firstCopied = static_cast<int>(keepBytes * 8 / bits);
    for (int y = 0; y < height; ++y) {
        pixels.insert(pixels.end(), white.begin(), white.end());
        if (y >= keepRows) continue;
        uint8_t* row = pixels.data() + static_cast<size_t>(y) * stride;
        const uint8_t* oldRow = FPixels.data() + static_cast<size_t>(y) * FStride;
        std::memcpy(row, oldRow, keepBytes);
        for (int x = firstCopied; x < keepCols; ++x) {
            int bit = x * bits;
            uint8_t v =
                static_cast<uint8_t>((oldRow[bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1));
            FillRowRaw(row, bits, x, x + 1, v);
        }
    }
    FPixels.swap(pixels);
    FWidth = width;
    FHeight = height;
    FStride = stride;
}

void TBitmap::SetSizeForOverwrite(int width, int height) {
    if (width < 0) width = 0;
    if (height < 0) height = 0;
    CheckRasterSize(width, height);
    const int bits = BitsPerPixel();
    if (bits <= 8 && FPalette.Count() == 0) DefaultPaletteFor(FPixelFormat);
    const size_t stride = StrideOf(width, bits);
    decltype(FPixels)().swap(FPixels); // the old raster goes before the new one is taken
    FAlpha.clear();
    FWidth = FHeight = 0;
    FStride = 0;
    try {
        FPixels.resize(stride * static_cast<size_t>(height)); // not initialised
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
    // Row padding, including the unused bits of a last partial byte, is zero
    // as SetSize leaves it; writing the pixels never touches it.
    const size_t full = static_cast<size_t>(width) * bits / 8;
    if (full < stride)
        for (int y = 0; y < height; ++y)
            std::memset(FPixels.data() + static_cast<size_t>(y) * stride + full, 0, stride - full);
    FWidth = width;
    FHeight = height;
    FStride = stride;
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format == pfCustom) throw EInvalidGraphic("Invalid pixel format");
    if (format == FPixelFormat) {
        if (BitsOf(format) <= 8 && FPalette.Count() == 0) DefaultPaletteFor(format);
        return;
    }
    if (FWidth == 0 || FHeight == 0) {
        FPixelFormat = format;
        FStride = StrideOf(FWidth, BitsOf(format));
        FPixels.assign(FStride * FHeight, 0);
        DefaultPaletteFor(format);
        return;
    }
    // The old pixels move into a reader of the old format; nothing else is copied.
    TBitmap old;
    old.FWidth = FWidth;
    old.FHeight = FHeight;
    old.FPixelFormat = FPixelFormat;
    old.FStride = FStride;
    old.FPixels.swap(FPixels);
    old.FPalette = FPalette;
    FPixelFormat = format;
    DefaultPaletteFor(format);
    FStride = StrideOf(FWidth, BitsOf(format));
    FPixels.assign(FStride * FHeight, 0);
    std::vector<uint8_t> row(static_cast<size_t>(FWidth) * 4);
    for (int y = 0; y < FHeight; ++y) {
        old.GetRowBGRX(y, row.data());
        SetRowBGRX(y, row.data());
    }
}

uint8_t* TBitmap::ScanLine(int y) {
    if (y < 0 || y >= FHeight) throw EInvalidGraphicOperation("Scan line index out of range");
    return FPixels.data() + static_cast<size_t>(y) * FStride;
}

const uint8_t* TBitmap::ScanLine(int y) const {
    if (y < 0 || y >= FHeight) throw EInvalidGraphicOperation("Scan line index out of range");
    return FPixels.data() + static_cast<size_t>(y) * FStride;
}

void TBitmap::GetRowBGRX(int y, uint8_t* out) const {
    const uint8_t* src = ScanLine(y);
    const int w = FWidth;
    switch (BitsPerPixel()) {
    case 32:
        pixelrows::From32To32(out, src, w);
        break;
    case 24:
        pixelrows::From24To32(out, src, w);
        break;
    case 16: {
        const bool five = FPixelFormat == pf15bit;
        for (int x = 0; x < w; ++x) {
            unsigned v = src[2 * x] | (src[2 * x + 1] << 8);
            unsigned r, g, b;
            if (five) {
                r = (v >> 10) & 31;
                g = (v >> 5) & 31;
                b = v & 31;
                g = (g * 255 + 15) / 31;
            } else {
                r = (v >> 11) & 31;
                g = (v >> 5) & 63;
                b = v & 31;
                g = (g * 255 + 31) / 63;
            }
            out[4 * x] = static_cast<uint8_t>((b * 255 + 15) / 31);
            out[4 * x + 1] = static_cast<uint8_t>(g);
            out[4 * x + 2] = static_cast<uint8_t>((r * 255 + 15) / 31);
            out[4 * x + 3] = 0;
        }
        break;
    }
    case 8: {
        // Palette entries looked up once as BGRX words.
        uint8_t table[256 * 4] = {};
        const int count = std::min(FPalette.Count(), 256);
        for (int i = 0; i < count; ++i) {
            const TPaletteEntry& e = FPalette[i];
            table[4 * i] = e.Blue;
            table[4 * i + 1] = e.Green;
            table[4 * i + 2] = e.Red;
        }
        for (int x = 0; x < w; ++x)
            std::memcpy(out + 4 * x, table + 4 * src[x], 4);
        break;
    }
    default: {
        const int bits = BitsPerPixel();
        const int mask = (1 << bits) - 1;
        for (int x = 0; x < w; ++x) {
            int bit = x * bits;
            int idx = (src[bit >> 3] >> (8 - bits - (bit & 7))) & mask;
            const TPaletteEntry& e = FPalette[idx];
            out[4 * x] = e.Blue;
            out[4 * x + 1] = e.Green;
            out[4 * x + 2] = e.Red;
            out[4 * x + 3] = 0;
        }
    }
    }
}

void TBitmap::SetRowBGRX(int y, const uint8_t* in) {
    uint8_t* dst = ScanLine(y);
    const int w = FWidth;
    switch (BitsPerPixel()) {
    case 32:
        pixelrows::From32To32(dst, in, w);
        break;
    case 24:
        pixelrows::From32To24(dst, in, w);
        break;
    case 16:
        for (int x = 0; x < w; ++x) {
            const unsigned b = in[4 * x], g = in[4 * x + 1], r = in[4 * x + 2];
            const unsigned raw = FPixelFormat == pf15bit
                                     ? ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)
                                     : ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
            dst[2 * x] = static_cast<uint8_t>(raw);
            dst[2 * x + 1] = static_cast<uint8_t>(raw >> 8);
        }
        break;
    case 8:
        for (int x = 0; x < w; ++x)
            dst[x] = static_cast<uint8_t>(NearestIndex(in[4 * x + 2], in[4 * x + 1], in[4 * x]));
        break;
    default: {
        const int bits = BitsPerPixel();
        for (int x = 0; x < w; ++x)
            FillRowRaw(
                dst, bits, x, x + 1,
                static_cast<uint32_t>(NearestIndex(in[4 * x + 2], in[4 * x + 1], in[4 * x])));
    }
    }
}

int TBitmap::NearestIndex(uint8_t r, uint8_t g, uint8_t b) const {
    if (!FNearestCache) {
        FNearestCache = std::make_unique<TNearestCache>();
        FNearestCache->Keys.assign(1 << 16, 0);
        FNearestCache->Indexes.assign(1 << 16, 0);
    }
    uint32_t key = (static_cast<uint32_t>(r) << 16) | (g << 8) | b | 0x1000000u;
    uint32_t slot = ((key * 2654435761u) >> 16) & 0xFFFF;
    if (FNearestCache->Keys[slot] == key) return FNearestCache->Indexes[slot];
    int idx = FPalette.NearestIndex(r, g, b);
    FNearestCache->Keys[slot] = key;
    FNearestCache->Indexes[slot] = static_cast<uint8_t>(idx);
    return idx;
}

uint32_t TBitmap::ColorToRaw(TColor color) const {
    color = ColorToRGB(color);
    uint8_t r = GetRValue(color), g = GetGValue(color), b = GetBValue(color);
    switch (FPixelFormat) {
    case pfDevice:
    case pf32bit:
    case pf24bit:
        return static_cast<uint32_t>(b) | (g << 8) | (r << 16);
    case pf15bit:
        return ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
    case pf16bit:
        return ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3);
    default:
        return static_cast<uint32_t>(NearestIndex(r, g, b));
    }
}

void TBitmap::FillRaw(int x0, int x1, int y, uint32_t raw) {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, FWidth);
    if (x0 >= x1 || y < 0 || y >= FHeight) return;
    FillRowRaw(FPixels.data() + static_cast<size_t>(y) * FStride, BitsPerPixel(), x0, x1, raw);
}

TColor TBitmap::Pixel(int x, int y) const {
    if (x < 0 || x >= FWidth || y < 0 || y >= FHeight) return clNone;
    const uint8_t* row = ScanLine(y);
    switch (BitsPerPixel()) {
    case 32:
        return RGBColor(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
    case 24:
        return RGBColor(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
    case 16: {
        // One pixel through the row conversion keeps the widening rules in one place.
        TBitmap one(1, 1, FPixelFormat);
        uint8_t* dst = one.ScanLine(0);
        dst[0] = row[2 * x];
        dst[1] = row[2 * x + 1];
        uint8_t bgrx[4];
        one.GetRowBGRX(0, bgrx);
        return RGBColor(bgrx[2], bgrx[1], bgrx[0]);
    }
    default: {
        const int bits = BitsPerPixel();
        const int bit = x * bits;
        const int idx = (row[bit >> 3] >> (8 - bits - (bit & 7))) & ((1 << bits) - 1);
        const TPaletteEntry& e = FPalette[idx];
        return RGBColor(e.Red, e.Green, e.Blue);
    }
    }
}

void TBitmap::SetPixel(int x, int y, TColor color) {
    FillRaw(x, x + 1, y, ColorToRaw(color));
}

TColor TBitmap::TransparentColor() const {
    // Unless set, the colour of the bottom-left pixel, as the platform does.
    if (FTransparentColor != clDefault) return FTransparentColor;
    if (FWidth == 0 || FHeight == 0) return clWhite;
    return Pixel(0, FHeight - 1);
}

TCanvas& TBitmap::Canvas() {
    if (!FCanvas) FCanvas = std::make_unique<TBitmapCanvas>(*this);
    return *FCanvas;
}

void TBitmap::LoadFromStream(TStream& stream) {
    TMemoryStream m;
    m.LoadFromStream(stream);
    LoadBitmapFile(*this, m.Memory(), m.Data().size());
}

void TBitmap::SaveToStream(TStream& stream) {
    SaveBitmapFile(*this, stream);
}

void TBitmap::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* b = dynamic_cast<const TBitmap*>(&source)) {
        TBitmap::operator=(*b);
        return;
    }
    // Any other graphic draws itself onto a white bitmap of its size.
    Clear();
    SetPixelFormat(pfDevice);
    SetSize(source.Width(), source.Height());
    Canvas().StretchDraw(Rect(0, 0, FWidth, FHeight), const_cast<TGraphic&>(source));
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
    canvas.StretchBitmap(rect, *this);
}
