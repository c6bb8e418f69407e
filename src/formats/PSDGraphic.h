// SPDX-License-Identifier: GPL-3.0-or-later
// TPSDGraphic: the composite image of a Photoshop file (psd, pdd). The image
// resources and the layer section are parsed on the way; layers are kept in
// a list nothing else reads, but damaged layer data fails the load.
#pragma once

#include "formats/ReaderGraphic.h"

#include <memory>
#include <string>
#include <vector>

struct TPSDChannel {
    int16_t Identifier = 0;
    uint32_t DataLength = 0;
    uint16_t Compression = 0; // 0 raw, 1 Packbits, 2 and 3 zip
};

struct TPSDLayerMask {
    int32_t Top = 0, Left = 0, Bottom = 0, Right = 0;
    uint8_t DefaultColor = 0, Flags = 0;
};

struct TPSDBlendingRange {
    uint8_t Source[4] = {}, Destination[4] = {};
};

struct TPSDTypeTool {
    double Transform[6] = {};
    double Bounds[4] = {};
    bool Present = false;
};

class TPhotoshopLayer {
public:
    int32_t Top = 0, Left = 0, Bottom = 0, Right = 0;
    std::vector<TPSDChannel> Channels;
    int BlendMode = 0; // index in the list of known blend-mode keys
    uint8_t Opacity = 255;
    bool Clipping = false;
    uint8_t Flags = 0; // bits 0 and 1 as stored; bit 2: the pixels do not count
    TPSDLayerMask Mask;
    std::vector<TPSDBlendingRange> BlendingRanges; // grey first, then up to five channels
    std::string Name;
    TPSDTypeTool TypeTool;

    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
};

using TPhotoshopLayers = std::vector<std::unique_ptr<TPhotoshopLayer>>;

struct TPSDGuide {
    double Position = 0;
    uint8_t Direction = 0;
};

class TPSDGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size) override;
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;

    const TPhotoshopLayers& Layers() const { return FLayers; }
    int Channels() const { return FChannels; }
    int Mode() const { return FMode; }
    // Whether the file says its first extra channel is the composite's transparency.
    bool MergedTransparency() const { return FMergedTransparency; }
    double GridHorizontal() const { return FGridHorizontal; }
    double GridVertical() const { return FGridVertical; }
    const std::vector<TPSDGuide>& Guides() const { return FGuides; }

private:
    TPixelFormat SetupColorManager(int channels);
    void ReadLayerSection(const uint8_t* data, size_t size);
    void ReadComposite(const uint8_t* data, size_t size, uint16_t compression);
    // Moves the transparency into the alpha plane (when some pixel is not
    // opaque) and takes out the white matting the colours were stored with.
    void KeepTransparency();

    int FChannels = 0;
    int FMode = 0;
    bool FMergedTransparency = false;
    std::vector<uint8_t> FGreyAlpha; // grey pictures' transparency while it is read
    TPhotoshopLayers FLayers;
    double FGridHorizontal = 0, FGridVertical = 0;
    std::vector<TPSDGuide> FGuides;
};
