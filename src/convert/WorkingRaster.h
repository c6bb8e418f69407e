// SPDX-License-Identifier: GPL-3.0-or-later
// The picture a conversion works on when it turns, resamples or composites a
// source: pf24bit when the picture is opaque, pf32bit with straight alpha in
// the fourth byte when it has transparent pixels. Readers keep their alpha in
// the bitmap's alpha plane (TBitmap::AlphaChannel); this is where the two meet.
#pragma once

#include "toolkit/Bitmap.h"
#include "toolkit/Graphic.h"

#include <cstdint>
#include <memory>

struct TWorkingRaster {
    // Either the source's own raster (read only) or Owned.
    const TBitmap* Pixels = nullptr;
    std::unique_ptr<TBitmap> Owned;
    bool Alpha = false;

    // A private, writable raster (copies the source's when it is borrowed).
    TBitmap& Own();
};

// Whether the graphic may carry transparent pixels at all: an alpha plane,
// an icon, a GIF whose first frame is transparent or leaves part of the screen
// uncovered, or any graphic this program does not know as opaque.
bool MayHaveAlpha(TGraphic& source);

// The source's pixels at its own size, as stored (no orientation applied).
// Graphics that are not rasters are drawn once on white and once on black:
// where the two differ, the difference gives the alpha and the colour.
TWorkingRaster WorkingRasterOf(TGraphic& source);

// Whether a pf32bit working raster has a pixel that is not opaque.
bool AnyTransparent(const TBitmap& rgba);

// A pf24bit picture of a pf32bit working raster composited over the colour
// (0xRRGGBB); the colour under a fully transparent pixel never shows.
std::unique_ptr<TBitmap> CompositeOver(const TBitmap& rgba, uint32_t backgroundRGB);

// Fills dest (pf24bit, same size) with the colours of a pf32bit working raster
// and attaches its alpha as dest's alpha plane; fully transparent pixels are
// black, so nothing hidden is written.
void CopyWithAlphaPlane(const TBitmap& rgba, TBitmap& dest);

// For a destination with one transparent index: pixels at least half opaque
// are composited over the background, the others become transparent (alpha
// plane 0, everything else 255) and take the colour of an opaque neighbour so
// that they add no colour to the palette.
std::unique_ptr<TBitmap> BinaryTransparency(const TBitmap& rgba, uint32_t backgroundRGB);
