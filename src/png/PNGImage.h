// SPDX-License-Identifier: GPL-3.0-or-later
// TPNGImage: a bitmap that reads and writes PNG files through a list of
// chunk objects.
#pragma once

#include "png/PNGChunks.h"
#include "png/PNGFilters.h"
#include "toolkit/Bitmap.h"

class TPNGImage : public TBitmap {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    TPNGImage();
    ~TPNGImage() override;

    TChunkList& Chunks() { return FChunks; }
    const TChunkList& Chunks() const { return FChunks; }

    // Filter types the writer may choose from; None is always part of the set.
    TFilterSet Filters() const { return FFilters; }
    void SetFilters(TFilterSet value) {
        FFilters = static_cast<TFilterSet>((value & fsAll) | fsNone);
    }
    bool Interlaced() const { return FInterlaced; }
    void SetInterlaced(bool value) { FInterlaced = value; }

    // Rebuilds the default chunk list (IHDR, IDAT, IEND) and drops the palette.
    void Reset();

    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;
    void Assign(const TGraphic& source) override;

    // The gamma chunk whose tables apply (the first in the list, once its
    // tables are built), or null.
    const TChunkGAMA* ActiveGamma() const;

    // While saving: 6 (RGBA) or 4 (grey with alpha) when a truecolour raster
    // has an alpha plane with a pixel that is not opaque, else 0 (no alpha
    // written: an opaque picture stays as small as before).
    uint8_t AlphaColorType() const { return FAlphaColorType; }
    // While saving: the colour key written instead of an alpha channel when
    // every pixel is opaque or fully transparent and a colour no opaque pixel
    // has exists (0xRRGGBB; a grey level in all three for grey pictures), or
    // -1. Colour type 2 or 0 with tRNS is exact then, and a quarter or half
    // smaller than 6 or 4 before compression (small pictures keep it only
    // when the file comes out smaller).
    int64_t TransparentKey() const { return FTransparentKey; }
    bool KeyIsGrey() const { return FKeyIsGrey; }

private:
    friend class TChunkIDAT;
    void PrepareForSave();
    // Sets the alpha colour type or the transparent key for the raster to save.
    void ChooseAlphaLayout();
    void WriteChunks(TStream& stream);
    // Progress for the chunk readers and writers.
    void ReportProgress(TProgressStage stage, uint8_t percent, const std::string& msg) {
        if (OnProgress) Progress(stage, percent, false, TRect{}, msg);
    }
    bool HasProgressHandler() const { return static_cast<bool>(OnProgress); }

    TChunkList FChunks;
    TFilterSet FFilters = fsNone | fsSub | fsAverage | fsPaeth;
    bool FInterlaced = false;
    uint8_t FAlphaColorType = 0;
    int64_t FTransparentKey = -1;
    bool FKeyIsGrey = false;
    bool FKeyRefused = false; // while the alpha-channel layout is tried
};

// Registers "PNG" with the picture container; called once at start-up.
void RegisterPNGFormat();
// Withdraws the class at program end.
void UnregisterPNGFormat();
