// SPDX-License-Identifier: GPL-3.0-or-later
// TBestQuantizer: the palette of the best-quality colour reduction.
#pragma once

#include "toolkit/Palette.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// Collects the pixels of a picture, then computes at most maxColors entries:
// the picture's own colours when it has no more than that, else Wu's
// variance-minimising cut of a colour histogram refined by k-means passes
// (over the picture's colours when it has up to 65536, else over the
// histogram), with every entry used where the colours allow it.
// Errors are weighted per channel as the eye sees them and by each pixel's
// opacity; pixels below minAlpha do not count at all.
class TBestQuantizer {
public:
    // maxColors from 1 to 256; minAlpha from 1 (only fully transparent
    // pixels are left out) to 255.
    explicit TBestQuantizer(int maxColors, int minAlpha = 1);
    // A row of pixels in blue, green, red order, pixelBytes apart, with one
    // opacity byte per pixel or null when the row is opaque.
    void AddRow(const uint8_t* pixels, int pixelBytes, int width, const uint8_t* alpha = nullptr);
    // Counted pixels (weighted by opacity, 255 for an opaque one).
    uint64_t Weight() const { return FTotalWeight; }
    // The palette: at least one entry (black when nothing was counted).
    TPalette Colors() const;

    // The channel weights of the distance, red, green, blue.
    static constexpr double kWeight[3] = {0.8, 1.0, 0.6};
    static constexpr int kKMeansPasses = 6;

private:
    // One histogram cell: the top six bits of each channel.
    struct TCell {
        uint64_t Weight = 0;
        uint64_t Sum[3] = {}; // red, green, blue, each times the pixel's weight
    };
    static constexpr int kBits = 6, kSide = 1 << kBits;
    void AddExact(uint32_t colour, uint32_t weight);
    TPalette ExactColors() const;
    // Wu's cut of the histogram into at most n boxes; returns their means.
    std::vector<std::array<double, 3>> CutBoxes(int n) const;
    // Moves the means to the centres of the points nearest to them, adding
    // means up to FMaxColors where the points allow.
    void Refine(std::vector<std::array<double, 3>>& means) const;

    int FMaxColors, FMinAlpha;
    std::vector<TCell> FCells;
    uint64_t FTotalWeight = 0;
    // The distinct colours seen and their weights, while there are no more
    // than kMaxExact: an open-addressed table of 0x01RRGGBB keys (0 =
    // empty), and the first FMaxColors + 1 of them in the order they came.
    static constexpr int kExactBits = 17;
    static constexpr size_t kMaxExact = size_t(1) << (kExactBits - 1);
    std::vector<uint32_t> FExact;
    std::vector<uint64_t> FExactWeight;
    std::vector<uint32_t> FExactList;
    size_t FExactCount = 0;
    size_t FLastSlot = 0; // where the previous pixel's colour went
    bool FExactOverflow = false;
};
