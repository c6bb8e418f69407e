// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/ColorLookup.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
// Offsets of a fine cell's 64 colours from its lowest corner, four colours
// to a row: red-green pairs and blue-zero pairs, in the order of the colours'
// numbers (the low two bits of each channel, interleaved).
struct TCellOffsets {
    alignas(16) int16_t RG[16][8];
    alignas(16) int16_t BZ[16][8];
    constexpr TCellOffsets() : RG(), BZ() {
        for (int k = 0; k < 64; ++k) {
            RG[k / 4][2 * (k % 4)] = static_cast<int16_t>((k & 1) | ((k >> 2) & 2));
            RG[k / 4][2 * (k % 4) + 1] = static_cast<int16_t>(((k >> 1) & 1) | ((k >> 3) & 2));
            BZ[k / 4][2 * (k % 4)] = static_cast<int16_t>(((k >> 2) & 1) | ((k >> 4) & 2));
        }
    }
};
constexpr TCellOffsets kCellOffsets{};
} // namespace

TFastColorLookup::TFastColorLookup(const TPalette& palette)
    : FPalette(palette), FWide(size_t(1) << 9), FCells(size_t(1) << 15) {
    const TPaletteEntry* e = FPalette.Entries();
    for (int i = 0; i < FPalette.Count() && i < 256; ++i) {
        FByIndex[i] = {e[i].Red, e[i].Green, e[i].Blue, static_cast<uint8_t>(i)};
        // A later entry equal to an earlier one can never be chosen (ties go
        // to the lowest index), so it is no candidate anywhere.
        bool repeated = false;
        for (int j = 0; j < i && !repeated; ++j)
            repeated = e[j].Red == e[i].Red && e[j].Green == e[i].Green && e[j].Blue == e[i].Blue;
        if (!repeated) FAll.push_back(FByIndex[i]);
    }
    // An empty palette maps everything to index 0, black.
    if (FAll.empty()) FAll.push_back({0, 0, 0, 0});
    FAnswers.reset(new uint8_t[size_t(1) << 24]);
    FAnswered.assign(size_t(1) << 12, 0);
}

int TFastColorLookup::Filter(const TCandidate* from, int n, int lr, int lg, int lb, int size,
                             TCandidate* out) {
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
    int kept = 0;
    for (int i = 0; i < n; ++i)
        if (minDist[i] <= threshold) out[kept++] = from[i];
    return kept;
}

void TFastColorLookup::Keep(TCell& cell, const TCandidate* from, int n, int r, int g, int b,
                            int size) {
    TCandidate kept[256];
    const int count = Filter(from, n, r, g, b, size, kept);
    cell.Start = static_cast<int32_t>(FCandidates.size());
    cell.Count = count;
    FCandidates.insert(FCandidates.end(), kept, kept + count);
}

const TFastColorLookup::TCell& TFastColorLookup::CoarseCell(int r, int g, int b) {
    const int wide = ((r >> 5) << 6) | ((g >> 5) << 3) | (b >> 5);
    if (FWide[wide].Start < 0)
        Keep(FWide[wide], FAll.data(), static_cast<int>(FAll.size()), r & ~31, g & ~31, b & ~31,
             32);
    TCell& cell = FCells[((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)];
    if (cell.Start < 0) {
        // Copied first because keeping the new list may move the storage.
        const TCell from = FWide[wide];
        TCandidate list[256];
        std::copy_n(FCandidates.data() + from.Start, from.Count, list);
        Keep(cell, list, from.Count, r & ~7, g & ~7, b & ~7, 8);
    }
    return cell;
}

void TFastColorLookup::Answer(uint32_t fine) {
    int r0 = 0, g0 = 0, b0 = 0; // the cell's lowest corner
    for (int i = 0; i < 6; ++i) {
        r0 |= ((fine >> (3 * i)) & 1) << (i + 2);
        g0 |= ((fine >> (3 * i + 1)) & 1) << (i + 2);
        b0 |= ((fine >> (3 * i + 2)) & 1) << (i + 2);
    }
    // The coarse list holds every entry that can be nearest anywhere in the
    // coarse cell, so filtering it for the fine cell is enough.
    const TCell coarse = CoarseCell(r0, g0, b0);
    TCandidate cand[256];
    const int count = Filter(FCandidates.data() + coarse.Start, coarse.Count, r0, g0, b0, 4, cand);
    uint8_t* out = FAnswers.get() + (size_t(fine) << 6);
#ifdef __SSE2__
    // Four colours at a time: red-green and blue-zero pairs of 16-bit lanes,
    // whose pairwise products (pmaddwd) sum to the squared distances.
    const __m128i cornerRG = _mm_set1_epi32(r0 | (g0 << 16)), cornerB = _mm_set1_epi32(b0);
    for (int q = 0; q < 16; ++q) {
        const __m128i colourRG = _mm_add_epi16(
            _mm_load_si128(reinterpret_cast<const __m128i*>(kCellOffsets.RG[q])), cornerRG);
        const __m128i colourB = _mm_add_epi16(
            _mm_load_si128(reinterpret_cast<const __m128i*>(kCellOffsets.BZ[q])), cornerB);
        __m128i bestDist = _mm_set1_epi32(1 << 30), best = _mm_setzero_si128();
        for (int j = 0; j < count; ++j) {
            const __m128i dRG =
                _mm_sub_epi16(colourRG, _mm_set1_epi32(cand[j].Red | (cand[j].Green << 16)));
            const __m128i dB = _mm_sub_epi16(colourB, _mm_set1_epi32(cand[j].Blue));
            const __m128i d = _mm_add_epi32(_mm_madd_epi16(dRG, dRG), _mm_madd_epi16(dB, dB));
            // Strictly less: the first (lowest index) of tied entries stays.
            const __m128i nearer = _mm_cmpgt_epi32(bestDist, d);
            bestDist = _mm_or_si128(_mm_and_si128(nearer, d), _mm_andnot_si128(nearer, bestDist));
            best = _mm_or_si128(_mm_and_si128(nearer, _mm_set1_epi32(cand[j].Index)),
                                _mm_andnot_si128(nearer, best));
        }
        // The four indexes are the low bytes of the lanes.
        best = _mm_packus_epi16(_mm_packs_epi32(best, best), best);
        const uint32_t four = static_cast<uint32_t>(_mm_cvtsi128_si32(best));
        std::memcpy(out + 4 * q, &four, 4);
    }
#else
    for (int k = 0; k < 64; ++k) {
        const int r = r0 + kCellOffsets.RG[k / 4][2 * (k % 4)],
                  g = g0 + kCellOffsets.RG[k / 4][2 * (k % 4) + 1],
                  b = b0 + kCellOffsets.BZ[k / 4][2 * (k % 4)];
        int bestDist = 1 << 30;
        int best = 0;
        for (int j = 0; j < count; ++j) {
            const int dr = cand[j].Red - r, dg = cand[j].Green - g, db = cand[j].Blue - b;
            const int d = dr * dr + dg * dg + db * db;
            // Strictly less: the first (lowest index) of tied entries stays.
            best = d < bestDist ? j : best;
            bestDist = d < bestDist ? d : bestDist;
        }
        out[k] = cand[best].Index;
    }
#endif
    FAnswered[fine >> 6] |= uint64_t(1) << (fine & 63);
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
