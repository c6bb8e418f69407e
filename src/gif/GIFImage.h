// SPDX-License-Identifier: GPL-3.0-or-later
// TGIFImage: a GIF file held in memory as header, frames and extensions,
// with the writer (colour reduction, LZW) and the reader.
#pragma once

#include "gif/ColorReduction.h"
#include "gif/GIFColorMap.h"
#include "gif/GIFException.h"
#include "gif/GIFFrame.h"
#include "gif/LZWDecoder.h"
#include "toolkit/Graphic.h"

#include <functional>
#include <memory>
#include <vector>

enum TGIFVersion { gvUnknown, gv87a, gv89a };
// "87a" for gv87a, "89a" for gv89a.
const char* GIFVersionText(int version);

enum TGIFSeverity { gsInfo, gsWarning, gsError };

// Logical screen descriptor and global colour map.
class TGIFHeader {
public:
    explicit TGIFHeader(TGIFImage& image) : ColorMap(image) {}
    uint16_t ScreenWidth = 0, ScreenHeight = 0;
    uint8_t Packed = 0, BackgroundColorIndex = 0, AspectRatio = 0;
    TGIFGlobalColorMap ColorMap;
    int Version() const;
    // Packed byte from the global map (0x77 for an empty map).
    void Prepare();
    void SaveToStream(TStream& stream);
    void LoadFromStream(TStream& stream);
    void Assign(const TGIFHeader& source);
};

class TGIFImage : public TGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    using TGIFWarningEvent =
        std::function<void(TGIFImage* sender, int severity, const std::string& message)>;

    TGIFImage();
    ~TGIFImage() override;

    int Width() const override { return FHeader.ScreenWidth; }
    int Height() const override { return FHeader.ScreenHeight; }
    // Outside 0..65535 gives 0; never below what the frames cover.
    void SetWidth(int value) override;
    void SetHeight(int value) override;
    bool Empty() const override { return FFrames.empty(); }

    TGIFHeader& Header() { return FHeader; }
    const TGIFHeader& Header() const { return FHeader; }
    TGIFGlobalColorMap& GlobalColorMap() { return FHeader.ColorMap; }
    int FrameCount() const { return static_cast<int>(FFrames.size()); }
    TGIFFrame& Frame(int index) const { return *FFrames[index]; }
    TGIFFrame& AddFrame();
    void DeleteFrame(int index);
    // Appends copies of another image's frames, a graphic or a frame.
    void Add(const TGraphic& source);
    void Add(const TGIFFrame& source);

    int Version() const;
    void Clear();

    void Assign(const TGraphic& source) override;
    void SaveToStream(TStream& stream) override;
    void LoadFromStream(TStream& stream) override;
    // The first frame, placed on the logical screen and stretched into rect.
    void Draw(TCanvas& canvas, const TRect& rect) override;

    // Where a frame lands when the logical screen is stretched into rect.
    TRect FrameRect(const TGIFFrame& frame, const TRect& rect) const;
    // Draws a frame into its rectangle, through its mask when transparency applies.
    void DrawFrame(TCanvas& canvas, const TRect& frameRect, TGIFFrame& frame);
    // The colour drawn behind a transparent first frame.
    TColor BackgroundColor() const;
    // The whole logical screen with the first frame on it (cached until a change).
    const TBitmap& Bitmap();

    // Options.
    bool AnimateOnDraw = false;
    uint8_t CubePaletteMode = 0;
    uint8_t ColorReduction = ReduceOptimal;
    void SetColorReduction(int value) { ColorReduction = static_cast<uint8_t>(value); }
    int PaletteBits = 8;
    TGIFWarningEvent WarningHandler;
    int PlaybackSpeed = 100;
    TColor BackgroundOverride = clNone;
    uint8_t DitherMethod = DitherFloydSteinberg;

    // Passes a warning to the handler; without one a severity of 2 raises it.
    void Warning(int severity, const std::string& message);
    void ReportProgress(TProgressStage stage, int percent, const std::string& message) {
        Progress(stage, static_cast<uint8_t>(percent < 0 ? 0 : (percent > 100 ? 100 : percent)),
                 false, TRect{}, message);
    }
    // Grows the logical screen to cover a frame (warning when it was not empty).
    void CoverFrame(const TGIFFrame& frame);
    // Drops the cached flattened raster.
    void Changed();

private:
    friend class TGIFFrame;
    TGIFHeader FHeader;
    std::vector<std::unique_ptr<TGIFFrame>> FFrames;
    std::unique_ptr<TBitmap> FBitmap;
    bool FDrawing = false;
};

// Registers the class for ".gif" files with the picture container.
void RegisterGIFFormat();
