// SPDX-License-Identifier: GPL-3.0-or-later
// TCanvas: a drawing surface. TBitmapCanvas draws into a TBitmap's pixels;
// the metafile recorder provides another implementation that records instead.
#pragma once

#include "base/Types.h"

class TBitmap;
class TGraphic;

class TCanvas {
public:
    virtual ~TCanvas() = default;

    TColor BrushColor = clWhite;

    // Fills r with BrushColor.
    virtual void FillRect(const TRect& r) = 0;
    // Copies the whole of src stretched into dst: each target pixel takes one
    // source pixel (colour on colour); a 1-bit source shrinks with black winning.
    virtual void StretchBitmap(const TRect& dst, const TBitmap& src) = 0;
    // As StretchBitmap, through a 1-bit mask of src's size: where the mask is
    // set (index 1) the target is left untouched.
    virtual void StretchBitmapMasked(const TRect& dst, const TBitmap& src, const TBitmap& mask) = 0;
    // Icon rule: AND mask then XOR image. AND 1 + XOR 0 leaves the pixel,
    // AND 1 + XOR c gives target XOR c, AND 0 gives c.
    virtual void StretchBitmapAndXor(const TRect& dst, const TBitmap& xorImage,
                                     const TBitmap& andMask) = 0;
    // A 32-bit source whose fourth byte is straight alpha, blended over the target.
    virtual void StretchBitmapAlpha(const TRect& dst, const TBitmap& src) = 0;

    // The raster behind the canvas, or null for a recording canvas.
    virtual TBitmap* TargetBitmap() { return nullptr; }

    // Lets the graphic draw itself stretched into r.
    void StretchDraw(const TRect& r, TGraphic& graphic);
};

class TBitmapCanvas : public TCanvas {
public:
    explicit TBitmapCanvas(TBitmap& target) : FTarget(target) {}
    void FillRect(const TRect& r) override;
    void StretchBitmap(const TRect& dst, const TBitmap& src) override;
    void StretchBitmapMasked(const TRect& dst, const TBitmap& src, const TBitmap& mask) override;
    void StretchBitmapAndXor(const TRect& dst, const TBitmap& xorImage,
                             const TBitmap& andMask) override;
    void StretchBitmapAlpha(const TRect& dst, const TBitmap& src) override;
    TBitmap* TargetBitmap() override { return &FTarget; }

private:
    enum class TBlend { Copy, Masked, AndXor, Alpha };
    void Blit(const TRect& dst, const TBitmap& src, const TBitmap* mask, TBlend blend);
    TBitmap& FTarget;
};
