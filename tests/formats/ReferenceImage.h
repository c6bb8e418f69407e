// SPDX-License-Identifier: GPL-3.0-or-later
// Reference renderings for the reader tests, decoded by libpng (an
// independent decoder), and comparisons of a raster against them.
#pragma once

#include "toolkit/Bitmap.h"

#include <cstdint>
#include <string>
#include <vector>

struct TReferenceImage {
    int Width = 0, Height = 0;
    std::vector<uint8_t> RGBA; // top-down, 4 bytes a pixel
    TColor At(int x, int y) const {
        const uint8_t* p = &RGBA[(static_cast<size_t>(y) * Width + x) * 4];
        return RGBColor(p[0], p[1], p[2]);
    }
};

// Decodes a PNG file to 8-bit RGBA; fails the current test when it cannot.
TReferenceImage LoadReferencePNG(const std::string& path);

// Number of pixels whose colour differs from the reference (sizes must match).
int CountColorMismatches(const TBitmap& bitmap, const TReferenceImage& ref, std::string* first);
