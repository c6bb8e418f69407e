// SPDX-License-Identifier: GPL-3.0-or-later
// The five PNG row filters: the writer's filtering and choice of filter per
// row, and the reader's unfiltering. Whole rows at a time, no allocation per row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum TFilterType : uint8_t { ftNone = 0, ftSub = 1, ftUp = 2, ftAverage = 3, ftPaeth = 4 };

// A set of filter types, one bit each (None 1, Sub 2, Up 4, Average 8, Paeth 16).
using TFilterSet = uint8_t;
constexpr TFilterSet fsNone = 1, fsSub = 2, fsUp = 4, fsAverage = 8, fsPaeth = 16;
constexpr TFilterSet fsAll = 31;

constexpr uint8_t PaethPredictor(uint8_t left, uint8_t above, uint8_t upperLeft) {
    int p = left + above - upperLeft;
    int pa = p > left ? p - left : left - p;
    int pb = p > above ? p - above : above - p;
    int pc = p > upperLeft ? p - upperLeft : upperLeft - p;
    if (pa <= pb && pa <= pc) return left;
    if (pb <= pc) return above;
    return upperLeft;
}

// Number of positions k in 4..len-1 at which p[k] equals each of the four bytes
// before it: the writer's measure of how well a filtered row will compress.
size_t CountRunsOfFive(const uint8_t* p, size_t len);

// Filters one row with one filter type; out receives len bytes. left bytes
// before the first bpp positions and the prior row of the first row are zero.
void FilterRow(TFilterType type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t len,
               size_t bpp);

// Reverses a filter in place; prior is the previous decoded row (zeros for the
// first). An unknown type raises the codec's unknown-filter error.
// Three- and four-byte pixels go through SSE2 where the processor has it.
void UnfilterRow(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len, size_t bpp);
// The same, a byte at a time (the vector code must give its bytes).
void UnfilterRowScalar(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len, size_t bpp);

// The writer's row filter: the caller fills RawRow(), Next() filters it with
// every type of the set, chooses one and returns the filter byte followed by
// the filtered row (len + 1 bytes, valid until the next call).
class TPNGRowFilter {
public:
    TPNGRowFilter(size_t rowLength, size_t bpp, TFilterSet filters);
    uint8_t* RawRow() { return FRaw.data() + 1; }
    const uint8_t* Next();
    size_t RowLength() const { return FLength; }
    // Which filter wins for the candidates' outputs (exposed for tests).
    static TFilterType Choose(const size_t counts[5], TFilterSet filters);

private:
    size_t FLength, FBpp;
    TFilterSet FFilters;
    std::vector<uint8_t> FRaw, FPrior; // one leading byte for the filter type
    std::vector<uint8_t> FOut[5];
};
