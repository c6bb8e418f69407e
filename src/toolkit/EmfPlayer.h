// Playback of EMF records onto a raster, rasterised with cairo (text through
// fontconfig and FreeType). Internal to the toolkit.
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
