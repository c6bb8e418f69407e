// SPDX-License-Identifier: GPL-3.0-or-later
// TGraphic: the common interface of every image kind, and the class
// references the picture container's format table works with.
#pragma once

#include "base/Streams.h"
#include "base/Types.h"
#include "toolkit/ImageMetadata.h"

#include <functional>
#include <memory>
#include <string>

class TGraphic;
class TCanvas;

// A class reference: name, parent and a factory. "Withdraw a class and its
// descendants" needs the parent chain, so each graphic class declares one.
struct TGraphicClassInfo {
    const char* Name;
    const TGraphicClassInfo* Parent;
    std::unique_ptr<TGraphic> (*Create)();
    bool InheritsFrom(const TGraphicClassInfo* other) const {
        for (const TGraphicClassInfo* c = this; c; c = c->Parent)
            if (c == other) return true;
        return false;
    }
};
using TGraphicClass = const TGraphicClassInfo*;

// Declares ClassInfo()/ClassType() in a graphic class; TREVASCO_GRAPHIC_CLASS defines them.
#define TREVASCO_DECLARE_GRAPHIC_CLASS                                                             \
public:                                                                                            \
    static TGraphicClass StaticClass();                                                            \
    TGraphicClass ClassType() const override {                                                     \
        return StaticClass();                                                                      \
    }

#define TREVASCO_GRAPHIC_CLASS(Name, ParentName)                                                   \
    TGraphicClass Name::StaticClass() {                                                            \
        static const TGraphicClassInfo info{                                                       \
            #Name, ParentName::StaticClass(),                                                      \
            []() -> std::unique_ptr<TGraphic> { return std::make_unique<Name>(); }};               \
        return &info;                                                                              \
    }

// (Sender, Stage, PercentDone, RedrawNow, Rect, Msg)
using TProgressEvent =
    std::function<void(TGraphic* sender, TProgressStage stage, uint8_t percentDone, bool redrawNow,
                       const TRect& rect, const std::string& msg)>;

class TGraphic {
public:
    virtual ~TGraphic() = default;
    static TGraphicClass StaticClass();
    virtual TGraphicClass ClassType() const { return StaticClass(); }
    bool InheritsFrom(TGraphicClass cls) const { return ClassType()->InheritsFrom(cls); }

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void SetWidth(int value) = 0;
    virtual void SetHeight(int value) = 0;
    virtual bool Empty() const { return Width() == 0 || Height() == 0; }
    virtual bool Transparent() const { return FTransparent; }
    virtual void SetTransparent(bool value) { FTransparent = value; }

    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) = 0;
    // Reads the whole file into memory and loads from there.
    virtual void LoadFromFile(const std::string& fileName);
    // Saves through a temporary file that replaces fileName only on success.
    virtual void SaveToFile(const std::string& fileName);
    // Copies another graphic; the base refuses with "Cannot assign a X to a Y".
    virtual void Assign(const TGraphic& source);
    // Draws the graphic stretched into rect of the canvas.
    virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;

    TProgressEvent OnProgress;

    // Filled by readers that find metadata; left empty by the others.
    const TImageMetadata& Metadata() const { return FMetadata; }
    TImageMetadata& Metadata() { return FMetadata; }

protected:
    void Progress(TProgressStage stage, uint8_t percent, bool redraw, const TRect& rect,
                  const std::string& msg);

private:
    bool FTransparent = false;
    TImageMetadata FMetadata;
};

// The pixel limit every reader checks before it allocates a raster.
int64_t GetPixelLimit();
void SetPixelLimit(int64_t limit);
// Throws EImageTooLarge ("Image too large") when width x height is beyond the limit,
// and EInvalidGraphic for negative sizes.
void CheckRasterSize(int64_t width, int64_t height);

// The one wording of every reader for data that ends before the picture:
// "The file is cut short: " + detail.
std::string CutShortMessage(const std::string& detail);
// "The file is cut short: the picture data ends after <done> of <height> rows."
std::string CutShortMessage(int64_t rowsDone, int64_t height);
// Throws EImageTooLarge ("The file is too small for its declared size of W x H
// pixels.") when `available` bytes cannot give `rawBytes` of pixel data even at
// the format's best compression, `bestRatio` bytes out per byte in. Readers call
// it before they allocate, so a tiny file cannot cost gigabytes. With a ratio
// of 1 (uncompressed data) a shortfall is a cut file: ECutShort.
void CheckDataCanHold(uint64_t available, uint64_t rawBytes, uint64_t bestRatio, int64_t width,
                      int64_t height);
