// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the GIF tests: giflib as an independent decoder, raw code
// streams, and small rasters.
#pragma once

#include "gif/GIFImage.h"
#include "toolkit/Bitmap.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct TRefFrame {
    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool Interlaced = false;
    std::vector<uint8_t> Pixels;                // de-interlaced
    std::vector<std::array<uint8_t, 3>> Colors; // the colour map that applies
};

struct TRefImage {
    bool Ok = false;
    int Width = 0, Height = 0;
    std::vector<TRefFrame> Frames;
};

// Decodes with giflib (DGifSlurp); Ok is false when giflib refuses the data.
TRefImage GiflibDecode(const std::vector<uint8_t>& data);

// Packs (code, width) pairs least significant bit first.
std::vector<uint8_t> PackCodes(const std::vector<std::pair<int, int>>& codes);
// Wraps bytes into data sub-blocks plus terminator.
std::vector<uint8_t> SubBlocks(const std::vector<uint8_t>& data);

// Lists the codes of an LZW stream (code size byte, sub-blocks) with the
// width each was read at, by the usual GIF rules.
std::vector<std::pair<int, int>> ListCodes(const std::vector<uint8_t>& stream);

// A 24-bit raster filled from a function of (x, y) giving 0xRRGGBB.
template <class F> TBitmap MakeRaster(int w, int h, F color) {
    TBitmap b(w, h, pf24bit);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            const uint32_t c = color(x, y);
            row[x * 3] = static_cast<uint8_t>(c);
            row[x * 3 + 1] = static_cast<uint8_t>(c >> 8);
            row[x * 3 + 2] = static_cast<uint8_t>(c >> 16);
        }
    }
    return b;
}

std::vector<uint8_t> SaveGIF(TGIFImage& image);
// Loads bytes, collecting warnings.
void LoadGIF(TGIFImage& image, const std::vector<uint8_t>& data,
             std::vector<std::string>* warnings);
