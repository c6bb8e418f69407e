// SPDX-License-Identifier: GPL-3.0-or-later
// Colour reduction of a true-colour raster to an 8-bit indexed raster.
#pragma once

#include "gif/ColorLookup.h"
#include "gif/Ditherers.h"
#include "toolkit/Bitmap.h"

#include <memory>

enum TColorReduction : uint8_t {
    ReduceNone,
    ReduceSystem20,
    ReduceHalftone256,
    ReduceGray4,
    ReduceMonochrome,
    ReduceGray256,
    ReduceNetscape216,
    ReduceOptimal,
    ReduceOptimalSystem,
    // Wu's cut refined by k-means, weighted as the eye sees, clamped dithering.
    // The window lists the methods up to this one by these numbers.
    ReduceBest,
    // Not listed in the window: the palette the raster carries.
    ReduceGivenPalette
};

// The fixed palettes of the methods.
TPalette WebPalette();   // the 216-colour cube, entry r*36 + g*6 + b
TPalette Gray4Palette(); // 0, 128, 192, 255
// Octree palette of at most colors entries; with systemColors the platform's
// 20 colours come first and at most 236 computed ones follow.
TPalette CreateOptimizedPalette(const TBitmap& source, int colors, bool systemColors);
// The best-quality palette of at most colors entries. With the source's alpha
// channel, pixels below minAlpha are left out and the others weigh by opacity.
TPalette CreateBestPalette(const TBitmap& source, int colors, int minAlpha);

// Lookup for a method over its palette.
std::unique_ptr<TColorLookup> CreateColorLookup(int method, const TPalette& palette);

// ReduceNone gives a 24-bit copy; every other method an 8-bit raster whose
// palette has 256 entries (the method's colours, then black). An unusable
// method or ditherer gives an empty raster. ReduceBest leaves reservedEntries
// of the 2^paletteBits free for the caller (a transparent entry); when it
// reserves any, pixels under half opacity (by the source's alpha channel)
// are left out of the palette and get index 0, for the caller to replace.
std::unique_ptr<TBitmap> ReduceColors(const TBitmap& source, int method, int ditherMethod,
                                      const TPalette* givenPalette, int paletteBits,
                                      int reservedEntries = 0);
