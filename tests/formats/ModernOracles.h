// SPDX-License-Identifier: GPL-3.0-or-later
// The formats' own decoders (libwebp, libheif, libjxl), used as references
// for our readers and to decode what our writers produce.
#pragma once

#include "ReferenceImage.h"
#include "toolkit/Bitmap.h"
#include "toolkit/ImageMetadata.h"

#include <cstdint>
#include <string>
#include <vector>

// Each returns 8-bit RGBA (alpha 255 where the file has none); Width 0 when
// the library refuses the data. Animations give their first frame.
TReferenceImage OracleWebP(const std::vector<uint8_t>& file);
// Orientation (irot/imir) applied, as libheif does by default.
TReferenceImage OracleHEIF(const std::vector<uint8_t>& file);
// Orientation applied, as libjxl does by default.
TReferenceImage OracleJXL(const std::vector<uint8_t>& file);

// Our raster as RGBA: its alpha plane, or 255 when it has none.
TReferenceImage RGBAOf(const TBitmap& bitmap);

// Largest difference of any channel between two images of the same size
// (alpha included), -1 when the sizes differ; mean absolute difference too.
struct TImageDifference {
    int Max = -1;
    double Mean = 0;
};
TImageDifference Compare(const TReferenceImage& a, const TReferenceImage& b);

// A picture with colour detail and an alpha gradient (every alpha level from 0 to 255 occurs).
TBitmap TestPicture(int width, int height, bool withAlpha);

// A little-endian EXIF block (TIFF structure) with the camera make and orientation 6 in IFD0.
std::string SampleExif();
// A valid ICC profile (Display P3) as libjxl generates it from its colour description.
std::string SampleIcc();
// Both, with a small XMP packet: what a writer should carry over.
TImageMetadata SampleMetadata();
