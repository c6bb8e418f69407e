// SPDX-License-Identifier: GPL-3.0-or-later
// Playback of EMF records onto a raster, rasterised with cairo (text through
// fontconfig and FreeType). Internal to src/metafile/
#pragma once

#include "toolkit/Bitmap.h"

#include <cstdint>
#include <functional>
#include <vector>

// percent 0..100; done is true once, at the end.
using TPlayProgress = std::function<void(int percent, bool done)>;

// Plays a checked EMF into rect of target: the frame is mapped onto rect,
// everything is clipped to rect and to the bitmap, and pixels the records do
// not paint keep their colour. Records that are damaged or unknown are skipped.
void PlayEmfOnBitmap(const std::vector<uint8_t>& emf, TBitmap& target, const TRect& rect,
                     const TPlayProgress& progress = {});

namespace emf {
// Advances in logical units for 8-bit text drawn with a font (the LOGFONTW of
// an EMF font record, from its height on), one per byte, rounded so that their
// sums stay within half a unit of the exact positions. Text records need them:
// readers take the spacing array as given. Empty when n is too short for a font.
std::vector<int32_t> TextAdvances(const uint8_t* logFont, size_t n, const uint8_t* text,
                                  size_t len);
// The same for UTF-16 text of units code units (one advance per unit).
std::vector<int32_t> TextAdvancesW(const uint8_t* logFont, size_t n, const uint8_t* text,
                                   size_t units);
// The ascent and descent (logical units) of the font a LOGFONTW describes, as
// playback sizes it; false when n is too short or no face is found.
bool FontExtents(const uint8_t* logFont, size_t n, double& ascent, double& descent);
} // namespace emf
