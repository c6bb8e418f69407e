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
inline int AxisMin(int c, int lo, int hi) {
    if (c < lo) return lo - c;
    if (c > hi) return c - hi;
    return 0;
}
inline int AxisMax(int c, int lo, int hi) {
    return std::max(std::abs(c - lo), std::abs(c - hi));
}
// Past this many stored candidates (a contrived palette keeping hundreds per
// cell) fine cells share their coarse cell's list instead of growing memory.
constexpr size_t kCandidateLimit = size_t(1) << 22;
} // namespace

TFastColorLookup::TFastColorLookup(const TPalette& palette)
    : FPalette(palette), FWide(size_t(1) << 9), FCells(size_t(1) << 15),
      FFine(size_t(1) << 18) {
    const TPaletteEntry* e = FPalette.Entries();
    for (int i = 0; i < FPalette.Count() && i < 256; ++i)
        FByIndex[i] = {e[i].Red, e[i].Green, e[i].Blue, static_cast<uint8_t>(i)};
    // White's answer through the ordinary search (the memo is empty then).
    uint8_t r = 255, g = 255, b = 255;
    FMemo.assign(size_t(1) << kMemoBits, 0xFFFFFFu); // a key only white has; fixed just below
    const uint32_t whiteSlot = MemoSlot(255, 255, 255);
    FMemo[whiteSlot] = 0; // black's key in white's slot: a miss for white
    const uint8_t white = Lookup(r, g, b);
    std::fill(FMemo.begin(), FMemo.end(), 0xFFFFFFu | (uint32_t(white) << 24));
}

int TFastColorLookup::Filter(const TCandidate* from, int n, int lr, int lg, int lb, int size) {
    const int hr = lr + size - 1, hg = lg + size - 1, hb = lb + size - 1;
    int minDist[256];
    int threshold = 1 << 30;
    for (int i = 0; i < n; ++i) {
        const int dr = AxisMin(from[i].Red, lr, hr), dg = AxisMin(from[i].Green, lg, hg),
                  db = AxisMin(from[i].Blue, lb, hb);
        minDist[i] = dr * dr + dg * dg + db * db;
        const int xr = AxisMax(from[i].Red, lr, hr), xg = AxisMax(from[i].Green, lg, hg),
                  xb = AxisMax(from[i].Blue, lb, hb);
        threshold = std::min(threshold, xr * xr + xg * xg + xb * xb);
    }
    // Every colour of the cell is at most threshold away from some entry, so
    // its nearest entry (and any tied one) lies within threshold of the cell.
    const size_t start = FCandidates.size();
    for (int i = 0; i < n; ++i)
        if (minDist[i] <= threshold) FCandidates.push_back(from[i]);
    return static_cast<int>(start);
}

void TFastColorLookup::BuildWide(int wide) {
    if (FAll.empty()) {
        // A later entry equal to an earlier one can never be chosen (ties go
        // to the lowest index), so it is no candidate anywhere.
        const TPaletteEntry* e = FPalette.Entries();
        for (int i = 0; i < FPalette.Count() && i < 256; ++i) {
            bool repeated = false;
            for (int j = 0; j < i && !repeated; ++j)
                repeated =
                    e[j].Red == e[i].Red && e[j].Green == e[i].Green && e[j].Blue == e[i].Blue;
            if (!repeated)
                FAll.push_back({e[i].Red, e[i].Green, e[i].Blue, static_cast<uint8_t>(i)});
        }
        // An empty palette maps everything to index 0, black.
        if (FAll.empty()) FAll.push_back({0, 0, 0, 0});
    }
    const int start = Filter(FAll.data(), static_cast<int>(FAll.size()), (wide >> 6) << 5,
                             ((wide >> 3) & 7) << 5, (wide & 7) << 5, 32);
    FWide[wide].Start = start;
    FWide[wide].Count = static_cast<int32_t>(FCandidates.size()) - start;
}

void TFastColorLookup::BuildCell(int cell) {
    const int r = (cell >> 10) << 3, g = ((cell >> 5) & 31) << 3, b = (cell & 31) << 3;
    const int wide = ((r >> 5) << 6) | ((g >> 5) << 3) | (b >> 5);
    if (FWide[wide].Start < 0) BuildWide(wide);
    // Copied first because the filter appends to the same storage.
    const TCell from = FWide[wide];
    TCandidate list[256];
    std::copy_n(FCandidates.data() + from.Start, from.Count, list);
    const int start = Filter(list, from.Count, r, g, b, 8);
    FCells[cell].Start = start;
    FCells[cell].Count = static_cast<int32_t>(FCandidates.size()) - start;
}

void TFastColorLookup::BuildFine(int fine) {
    // The cell's lowest corner, from the interleaved bits of its number.
    int r = 0, g = 0, b = 0;
    for (int i = 0; i < 6; ++i) {
        r |= ((fine >> (3 * i)) & 1) << (i + 2);
        g |= ((fine >> (3 * i + 1)) & 1) << (i + 2);
        b |= ((fine >> (3 * i + 2)) & 1) << (i + 2);
    }
    const int cell = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
    if (FCells[cell].Start < 0) BuildCell(cell);
    const TCell coarse = FCells[cell];
    if (FCandidates.size() > kCandidateLimit) {
        FFine[fine] = coarse;
        return;
    }
    // The coarse list holds every entry that can be nearest anywhere in the
    // coarse cell, so filtering it is enough; copied first because the
    // filter appends to the same storage.
    TCandidate from[256];
    std::copy_n(FCandidates.data() + coarse.Start, coarse.Count, from);
    const int start = Filter(from, coarse.Count, r, g, b, 4);
    FFine[fine].Start = start;
    FFine[fine].Count = static_cast<int32_t>(FCandidates.size()) - start;
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
