// SPDX-License-Identifier: GPL-3.0-or-later
// Turning a picture upright by its EXIF/TIFF orientation (1..8): the stored
// pixels are mirrored, turned, or turned about a diagonal (transpose for 5,
// transverse for 7) into the picture as the camera meant it to be seen.
#pragma once

#include "toolkit/Bitmap.h"

#include <memory>

// True for 2..8, the orientations that move pixels.
bool OrientationTurns(int orientation);
// True for 5..8: the upright picture's width is the stored height.
bool OrientationSwapsSides(int orientation);
// The upright picture of a pf24bit or pf32bit raster (all four bytes of a
// 32-bit pixel move together, alpha included). Values outside 2..8 give a copy.
std::unique_ptr<TBitmap> OrientUpright(const TBitmap& stored, int orientation);
