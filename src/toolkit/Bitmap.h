// SPDX-License-Identifier: GPL-3.0-or-later
// TBitmap: the working raster of the whole program.
#pragma once

#include "toolkit/Canvas.h"
#include "toolkit/Graphic.h"
#include "toolkit/Palette.h"

#include <memory>
#include <vector>

// In the order of the pixel-format option; pfDevice is 32 bits here.
enum TPixelFormat {
    pfDevice,
    pf1bit,
    pf4bit,
    pf8bit,
    pf15bit,
    pf16bit,
    pf24bit,
    pf32bit,
    pfCustom
};

// Rows are stored top-down, each padded to 4 bytes. 24/32-bit pixels are
// blue, green, red(, unused); 15-bit is 0RRRRRGGGGGBBBBB and 16-bit
// RRRRRGGGGGGBBBBB, little-endian; indexed rows are packed most significant
// bits first.
class TBitmap : public TGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    TBitmap();
    TBitmap(int width, int height, TPixelFormat format);
    ~TBitmap() override;
    TBitmap(const TBitmap& other);
    TBitmap& operator=(const TBitmap& other);

    int Width() const override { return FWidth; }
    int Height() const override { return FHeight; }
    void SetWidth(int value) override { SetSize(value, FHeight); }
    void SetHeight(int value) override { SetSize(FWidth, value); }
    // Keeps the overlapping pixels and fills every new pixel white.
    void SetSize(int width, int height);
    // A fresh raster of the size whose pixels are left undefined (row padding
    // is zero): for a caller that writes every pixel next, which then gives
    // the same bytes as SetSize would, without a fill pass.
    void SetSizeForOverwrite(int width, int height);

    TPixelFormat PixelFormat() const { return FPixelFormat; }
    // Converts existing pixels; pfCustom fails with "Invalid pixel format".
    void SetPixelFormat(TPixelFormat format);
    int BitsPerPixel() const { return BitsOf(FPixelFormat); }
    static int BitsOf(TPixelFormat format);
    bool IsIndexed() const { return BitsPerPixel() <= 8; }

    const TPalette& Palette() const { return FPalette; }
    void SetPalette(const TPalette& palette) {
        FPalette = palette;
        InvalidateCache(); // remembered nearest indexes belong to the old palette
    }

    uint8_t* ScanLine(int y);
    const uint8_t* ScanLine(int y) const;
    // Stride of a stored row (multiple of 4) and the bytes a row's pixels use.
    size_t BytesPerScanLine() const { return FStride; }
    size_t RowBytes() const { return (static_cast<size_t>(BitsPerPixel()) * FWidth + 7) / 8; }
    static size_t StrideOf(int width, int bits) {
        return ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
    }

    // Row conversion through 4 bytes a pixel (blue, green, red, 0).
    void GetRowBGRX(int y, uint8_t* out) const;
    void SetRowBGRX(int y, const uint8_t* in);
    TColor Pixel(int x, int y) const;
    void SetPixel(int x, int y, TColor color);
    // Palette index nearest to the colour (indexed formats), with a per-bitmap cache.
    int NearestIndex(uint8_t r, uint8_t g, uint8_t b) const;
    // The raw value that represents a colour in this pixel format.
    uint32_t ColorToRaw(TColor color) const;
    void FillRaw(int x0, int x1, int y, uint32_t raw);

    // Optional per-pixel alpha (Width x Height bytes, top-down) that a reader
    // may attach when the file has one. Ordinary copies ignore it; icons blend
    // their PNG entries with it. Empty when the file has no alpha.
    const std::vector<uint8_t>& AlphaChannel() const { return FAlpha; }
    void SetAlphaChannel(std::vector<uint8_t> alpha) { FAlpha = std::move(alpha); }

    TColor TransparentColor() const;
    void SetTransparentColor(TColor c) { FTransparentColor = c; }

    TCanvas& Canvas();

    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;
    void Assign(const TGraphic& source) override;
    void Draw(TCanvas& canvas, const TRect& rect) override;

    // Frees the pixels and resets to an empty device bitmap.
    void Clear();

protected:
    // Drops the pixels and allocates width x height of format (zero-filled),
    // after checking the pixel limit. Readers use this before decoding.
    void AllocateRaster(int width, int height, TPixelFormat format);
    friend void LoadBitmapFile(TBitmap& bitmap, const uint8_t* data, size_t size);

private:
    void DefaultPaletteFor(TPixelFormat format);
    void InvalidateCache();

    int FWidth = 0, FHeight = 0;
    TPixelFormat FPixelFormat = pfDevice;
    size_t FStride = 0;
    // Growing the raster leaves its new bytes unset; every path writes them.
    template <class T> struct TRasterAllocator {
        using value_type = T;
        TRasterAllocator() = default;
        template <class U> TRasterAllocator(const TRasterAllocator<U>&) noexcept {}
        T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
        void deallocate(T* p, size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
        template <class U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
        template <class U, class V> void construct(U* p, V&& v) {
            ::new (static_cast<void*>(p)) U(static_cast<V&&>(v));
        }
        bool operator==(const TRasterAllocator&) const { return true; }
    };
    std::vector<uint8_t, TRasterAllocator<uint8_t>> FPixels;
    std::vector<uint8_t> FAlpha;
    TPalette FPalette;
    TColor FTransparentColor = clDefault;
    std::unique_ptr<TBitmapCanvas> FCanvas;
    // Direct-mapped cache of nearest palette indexes: key (RGB | valid bit) and index.
    struct TNearestCache {
        std::vector<uint32_t> Keys;
        std::vector<uint8_t> Indexes;
    };
    mutable std::unique_ptr<TNearestCache> FNearestCache;
};

// BMP file reading (every common variant) and writing (the documented layout).
void LoadBitmapFile(TBitmap& bitmap, const uint8_t* data, size_t size);
void SaveBitmapFile(const TBitmap& bitmap, TStream& stream);
// The same layout without the 14-byte file header, for records that embed a
// DIB: the info header with its masks and colour table, the size of the
// pixel rows, and the rows themselves (bottom-up, padded to 4 bytes).
std::vector<uint8_t> DibInfoOf(const TBitmap& bitmap);
uint64_t DibImageSize(const TBitmap& bitmap);
void WriteDibRows(const TBitmap& bitmap, TStream& stream);
