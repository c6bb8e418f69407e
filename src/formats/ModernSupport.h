// SPDX-License-Identifier: GPL-3.0-or-later
// What the WebP, HEIF/AVIF and JPEG XL readers and writers share: moving
// pixels between the libraries' interleaved buffers and our raster with its
// alpha plane, the EXIF block's framings, and the messages naming a format.
#pragma once

#include "toolkit/Bitmap.h"
#include "toolkit/ImageMetadata.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "Cannot load image. Invalid or unexpected %s image format." for the format.
std::string ModernInvalidMessage(const char* format);
// "Cannot load image. The %s file is truncated."
std::string ModernTruncatedMessage(const char* format);

// Fills a fresh raster from interleaved 8-bit rows. channels is 3 (RGB) or 4
// (RGBA); bgr says the colour order is blue first. A 4-channel source whose
// alpha is not 255 everywhere leaves its alpha in the bitmap's alpha plane.
// The raster must already have the size (24-bit).
void StoreInterleaved(TBitmap& bitmap, const uint8_t* pixels, size_t stride, int channels,
                      bool bgr);

// Interleaved 8-bit rows of a bitmap for an encoder: RGB, or RGBA when the
// bitmap has an alpha plane of its size. Tightly packed (stride = width x channels).
struct TInterleavedPixels {
    std::vector<uint8_t> Data;
    int Width = 0, Height = 0, Channels = 3;
    size_t Stride() const { return static_cast<size_t>(Width) * Channels; }
};
TInterleavedPixels GatherInterleaved(const TBitmap& bitmap);
// The rectangle at (left, top) of width x height of the bitmap, which must lie
// inside it. channels (3 or 4) is chosen by the caller for the whole picture,
// so that the tiles of one picture agree; 4 needs the bitmap's alpha plane.
TInterleavedPixels GatherInterleavedRegion(const TBitmap& bitmap, int left, int top, int width,
                                           int height, int channels);
// True when the bitmap carries an alpha plane of its own size with a pixel below 255.
bool HasUsefulAlpha(const TBitmap& bitmap);

// libjxl's thread pool for one encode or decode, sized to the machine
// (libjxl works on groups of 256 x 256 pixels in parallel, as cjxl and djxl do).
class TJxlThreads {
public:
    TJxlThreads();
    ~TJxlThreads();
    TJxlThreads(const TJxlThreads&) = delete;
    TJxlThreads& operator=(const TJxlThreads&) = delete;
    // Null when the pool could not be made: libjxl then runs on the calling thread.
    void* Runner() const { return FRunner; }

private:
    void* FRunner = nullptr;
};

// The TIFF structure of an EXIF block as containers store it: without JPEG's
// "Exif\0\0" and, for the ISO box form (HEIF, JPEG XL), after the 4-byte
// big-endian offset to the TIFF header. Empty when no TIFF header is found.
std::string ExifFromApp1Form(const uint8_t* data, size_t size);
std::string ExifFromBoxForm(const uint8_t* data, size_t size);
// The box form of a TIFF-structure EXIF block (offset 0, then the block).
std::string ExifToBoxForm(const std::string& tiff);
// The orientation tag (0x0112) of IFD0, 1 when absent or outside 1..8.
int ExifOrientation(const std::string& tiff);
