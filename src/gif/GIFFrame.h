// SPDX-License-Identifier: GPL-3.0-or-later
// TGIFFrame: one image of a GIF file with its descriptor, colour map,
// pixel indices and extensions.
#pragma once

#include "gif/GIFColorMap.h"
#include "gif/GIFExtensions.h"
#include "toolkit/Bitmap.h"

#include <memory>
#include <vector>

class TGIFImage;

class TGIFFrame {
public:
    explicit TGIFFrame(TGIFImage& image);
    ~TGIFFrame();
    TGIFFrame(const TGIFFrame&) = delete;
    TGIFFrame& operator=(const TGIFFrame&) = delete;

    TGIFImage& Image() const { return FImage; }
    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    // "Invalid image size" unless left + width and top + height fit 0..65535;
    // a new size reallocates the pixels (filled with the transparent index)
    // and the logical screen grows to cover the frame.
    void SetBounds(int left, int top, int width, int height);

    // Descriptor packed byte: bit 6 interlaced, bit 5 sorted, bits 7 and 2..0 from the map.
    uint8_t Packed = 0;
    bool Interlaced() const { return Packed & 0x40; }
    void SetInterlaced(bool value) {
        Packed = static_cast<uint8_t>(value ? (Packed | 0x40) : (Packed & ~0x40));
    }

    TGIFLocalColorMap& ColorMap() { return FColorMap; }
    const TGIFLocalColorMap& ColorMap() const { return FColorMap; }
    // Local map with entries, else the global one with entries, else the empty local map.
    TGIFColorMap& ActiveColorMap();
    const TGIFColorMap& ActiveColorMap() const;

    // Pixel indices, width x height bytes, top row first (empty when there are none).
    const std::vector<uint8_t>& Data() const { return FData; }
    // "Invalid pixel coordinates" outside the frame; "Image is empty" for a zero area.
    uint8_t* ScanLine(int y);
    uint8_t Pixel(int x, int y);
    void SetPixel(int x, int y, uint8_t value);
    bool Empty() const { return FData.empty() || FWidth == 0 || FHeight == 0; }

    int ExtensionCount() const { return static_cast<int>(FExtensions.size()); }
    TGIFExtension& Extension(int index) const { return *FExtensions[index]; }
    // Appends an extension the frame then owns; a second graphic control
    // extension is kept but not referenced (with a warning).
    TGIFExtension& AddExtension(std::unique_ptr<TGIFExtension> extension);
    template <class T> T& AddExtension() {
        return static_cast<T&>(AddExtension(std::make_unique<T>(*this)));
    }
    void RemoveExtension(TGIFExtension& extension);
    TGIFGraphicControlExtension* GraphicControlExtension() const { return FGCE; }
    bool Transparent() const { return FGCE && FGCE->Transparent(); }

    // gv87a or gv89a (sorted local map or any extension).
    int Version() const;
    void Clear();

    // Frame from a raster or any other graphic (colour reduction as the image says).
    void Assign(const TGraphic& source);
    void Assign(const TGIFFrame& source);

    void SaveToStream(TStream& stream);
    void LoadFromStream(TStream& stream);

    // The frame as an 8-bit raster with the active colour map, and its
    // transparency mask (1 where transparent; null when nothing is transparent).
    const TBitmap& Bitmap();
    const TBitmap* Mask();
    // Drops the cached raster and mask.
    void Changed();

    // Mask rule: optimises the local map, adds a transparent black entry and
    // moves every pixel whose mask byte is not 0 to it.
    void ApplyMask(const std::vector<uint8_t>& mask);
    // Renumbers the pixels and the transparent index through a table.
    void RemapPixels(const std::array<uint8_t, 256>& newIndex);

private:
    void AssignBitmap(const TBitmap& source);
    void ReadIndexedRows(const TBitmap& raster);
    void ReadTrueColorRows(const TBitmap& raster);
    void Progress(int stage, int percent);
    void BuildBitmap();
    friend class TGIFLocalColorMap;

    TGIFImage& FImage;
    int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    TGIFLocalColorMap FColorMap;
    std::vector<uint8_t> FData;
    std::vector<std::unique_ptr<TGIFExtension>> FExtensions;
    TGIFGraphicControlExtension* FGCE = nullptr;
    std::unique_ptr<TBitmap> FBitmap, FMask;
};
