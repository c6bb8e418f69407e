#include "gif/ColorLookup.h"

#include <algorithm>
#include <cstdlib>

uint8_t TSlowColorLookup::Lookup(uint8_t& r, uint8_t& g, uint8_t& b) {
    const int i = FPalette.NearestIndex(r, g, b);
    const TPaletteEntry& e = FPalette[i];
    r = e.Red;
    g = e.Green;
    b = e.Blue;
    return static_cast<uint8_t>(i);
}

namespace {
constexpr int kCellShift = 3; // 8 values per cell and axis
constexpr int kCellsPerAxis = 256 >> kCellShift;

inline int AxisMin(int c, int lo, int hi) {
    if (c < lo) return lo - c;
    if (c > hi) return c - hi;
    return 0;
}
inline int AxisMax(int c, int lo, int hi) {
    return std::max(std::abs(c - lo), std::abs(c - hi));
}
} // namespace

TFastColorLookup::TFastColorLookup(const TPalette& palette)
    : FPalette(palette), FCells(kCellsPerAxis * kCellsPerAxis * kCellsPerAxis) {}

void TFastColorLookup::BuildCell(int cell) {
    const int cr = cell / (kCellsPerAxis * kCellsPerAxis),
              cg = (cell / kCellsPerAxis) % kCellsPerAxis, cb = cell % kCellsPerAxis;
    const int lr = cr << kCellShift, lg = cg << kCellShift, lb = cb << kCellShift;
    const int hr = lr + (1 << kCellShift) - 1, hg = lg + (1 << kCellShift) - 1,
              hb = lb + (1 << kCellShift) - 1;
    const int n = FPalette.Count();
    const TPaletteEntry* e = FPalette.Entries();
    int minDist[256];
    int threshold = 1 << 30;
    for (int i = 0; i < n; ++i) {
        const int dr = AxisMin(e[i].Red, lr, hr), dg = AxisMin(e[i].Green, lg, hg),
                  db = AxisMin(e[i].Blue, lb, hb);
        minDist[i] = dr * dr + dg * dg + db * db;
        const int xr = AxisMax(e[i].Red, lr, hr), xg = AxisMax(e[i].Green, lg, hg),
                  xb = AxisMax(e[i].Blue, lb, hb);
        threshold = std::min(threshold, xr * xr + xg * xg + xb * xb);
    }
    // Every colour of the cell is at most threshold away from some entry, so
    // its nearest entry (and any tied one) lies within threshold of the cell.
    const size_t start = FCandidates.size();
    for (int i = 0; i < n; ++i)
        if (minDist[i] <= threshold)
            FCandidates.push_back({e[i].Red, e[i].Green, e[i].Blue, static_cast<uint8_t>(i)});
    FCells[cell].Start = static_cast<int32_t>(start);
    FCells[cell].Count = static_cast<int32_t>(FCandidates.size() - start);
}

uint8_t TGrayScaleLookup::Lookup(uint8_t& r, uint8_t& g, uint8_t& b) {
    const uint8_t v = static_cast<uint8_t>((r * 77 + g * 150 + b * 29) >> 8);
    r = g = b = v;
    return v;
}

uint8_t TMonochromeLookup::Lookup(uint8_t& r, uint8_t& g, uint8_t& b) {
    const int l = r * 77 + g * 150 + b * 29;
    const uint8_t v = l <= 32512 ? 0 : 255;
    r = g = b = v;
    return v ? 1 : 0;
}

static std::unique_ptr<TColorLookup> CreateFastLookup(const TPalette& palette) {
    return std::make_unique<TFastColorLookup>(palette);
}

TNearestLookupFactory NearestLookupFactory = CreateFastLookup;
