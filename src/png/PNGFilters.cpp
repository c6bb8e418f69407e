// SPDX-License-Identifier: GPL-3.0-or-later
#include "png/PNGFilters.h"

#include "png/PNGChunks.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <utility>

namespace {

// The Paeth predictor without branches, so that filtering vectorises:
// pa = |b - c|, pb = |a - c|, pc = |a + b - 2c|; ties go to left, then above.
inline uint8_t Predict(int a, int b, int c) {
    int pa = b - c, pb = a - c;
    int pc = pa + pb;
    pa = pa < 0 ? -pa : pa;
    pb = pb < 0 ? -pb : pb;
    pc = pc < 0 ? -pc : pc;
    return static_cast<uint8_t>((pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c));
}

} // namespace

size_t CountRunsOfFive(const uint8_t* p, size_t len) {
    if (len < 5) return 0;
    // Branch-free so that the compiler can vectorise it: this runs over every
    // candidate of every row of the image.
    size_t count = 0;
    for (size_t k = 4; k < len; ++k) {
        unsigned e =
            static_cast<unsigned>(p[k] == p[k - 1]) & static_cast<unsigned>(p[k] == p[k - 2]) &
            static_cast<unsigned>(p[k] == p[k - 3]) & static_cast<unsigned>(p[k] == p[k - 4]);
        count += e;
    }
    return count;
}

void FilterRow(TFilterType type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t len,
               size_t bpp) {
    const size_t head = bpp < len ? bpp : len;
    switch (type) {
    case ftNone:
        std::memcpy(out, raw, len);
        break;
    case ftSub:
        std::memcpy(out, raw, head);
        for (size_t i = head; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - raw[i - bpp]);
        break;
    case ftUp:
        for (size_t i = 0; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - prior[i]);
        break;
    case ftAverage:
        for (size_t i = 0; i < head; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - (prior[i] >> 1));
        for (size_t i = head; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - ((raw[i - bpp] + prior[i]) >> 1));
        break;
    case ftPaeth:
        // With left and upper-left zero the predictor is the byte above.
        for (size_t i = 0; i < head; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - prior[i]);
        for (size_t i = head; i < len; ++i)
            out[i] = static_cast<uint8_t>(raw[i] - Predict(raw[i - bpp], prior[i], prior[i - bpp]));
        break;
    }
}

namespace {

// Unfiltering depends on the byte one pixel back, so it cannot run across a
// row in parallel; with the pixel size fixed at compile time the bytes of a
// pixel run side by side and stay in registers.
template <size_t Bpp>
void UnfilterFixed(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len) {
    const size_t head = Bpp < len ? Bpp : len;
    switch (type) {
    case ftSub:
        for (size_t i = head; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + row[i - Bpp]);
        break;
    case ftAverage:
        for (size_t i = 0; i < head; ++i)
            row[i] = static_cast<uint8_t>(row[i] + (prior[i] >> 1));
        for (size_t i = head; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + ((row[i - Bpp] + prior[i]) >> 1));
        break;
    case ftPaeth: {
        for (size_t i = 0; i < head; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prior[i]);
        size_t i = head;
        for (; i + Bpp <= len; i += Bpp)
            for (size_t k = 0; k < Bpp; ++k)
                row[i + k] = static_cast<uint8_t>(
                    row[i + k] + Predict(row[i + k - Bpp], prior[i + k], prior[i + k - Bpp]));
        for (; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + Predict(row[i - Bpp], prior[i], prior[i - Bpp]));
        break;
    }
    }
}

#if defined(__SSE2__)

// Three- and four-byte pixels (8-bit RGB and RGBA) a whole pixel at a time
// in one register; the left pixel's result stays in a register too. Loads and
// stores of three bytes never touch the byte after the row.
template <size_t Bpp> inline __m128i LoadPixel(const uint8_t* p) {
    int32_t v = 0;
    std::memcpy(&v, p, Bpp);
    return _mm_cvtsi32_si128(v);
}

template <size_t Bpp> inline void StorePixel(uint8_t* p, __m128i v) {
    const int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, Bpp);
}

inline __m128i Abs16(__m128i v) {
    return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

// The row holds whole pixels (the caller checks).
template <size_t Bpp>
void UnfilterPixels(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero; // the left pixel, already unfiltered
    size_t i = 0;
    switch (type) {
    case ftSub:
        for (; i + Bpp <= len; i += Bpp) {
            a = _mm_add_epi8(LoadPixel<Bpp>(row + i), a);
            StorePixel<Bpp>(row + i, a);
        }
        break;
    case ftAverage:
        for (; i + Bpp <= len; i += Bpp) {
            const __m128i b = LoadPixel<Bpp>(prior + i);
            // The rounded-up average less the carried-away bit: (a + b) >> 1.
            const __m128i avg = _mm_sub_epi8(_mm_avg_epu8(a, b),
                                             _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
            a = _mm_add_epi8(LoadPixel<Bpp>(row + i), avg);
            StorePixel<Bpp>(row + i, a);
        }
        break;
    case ftPaeth: {
        // In 16 bits: the differences need a sign and one more bit.
        __m128i c = zero; // the upper-left pixel
        for (; i + Bpp <= len; i += Bpp) {
            const __m128i b = _mm_unpacklo_epi8(LoadPixel<Bpp>(prior + i), zero);
            const __m128i pas = _mm_sub_epi16(b, c), pbs = _mm_sub_epi16(a, c);
            const __m128i pa = Abs16(pas), pb = Abs16(pbs), pc = Abs16(_mm_add_epi16(pas, pbs));
            const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
            const __m128i notB = _mm_cmpgt_epi16(pb, pc);
            const __m128i bc = _mm_or_si128(_mm_andnot_si128(notB, b), _mm_and_si128(notB, c));
            const __m128i predictor =
                _mm_or_si128(_mm_andnot_si128(notA, a), _mm_and_si128(notA, bc));
            const __m128i x = _mm_unpacklo_epi8(LoadPixel<Bpp>(row + i), zero);
            a = _mm_and_si128(_mm_add_epi16(x, predictor), _mm_set1_epi16(0xFF));
            c = b;
            StorePixel<Bpp>(row + i, _mm_packus_epi16(a, a));
        }
        break;
    }
    }
}

#endif

} // namespace

void UnfilterRowScalar(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len, size_t bpp) {
    switch (type) {
    case ftNone:
        return;
    case ftUp:
        for (size_t i = 0; i < len; ++i)
            row[i] = static_cast<uint8_t>(row[i] + prior[i]);
        return;
    case ftSub:
    case ftAverage:
    case ftPaeth:
        break;
    default:
        RaisePNGError(PNGMessages::UnknownFilter);
    }
    switch (bpp) {
    case 1:
        UnfilterFixed<1>(type, row, prior, len);
        break;
    case 2:
        UnfilterFixed<2>(type, row, prior, len);
        break;
    case 3:
        UnfilterFixed<3>(type, row, prior, len);
        break;
    case 4:
        UnfilterFixed<4>(type, row, prior, len);
        break;
    case 6:
        UnfilterFixed<6>(type, row, prior, len);
        break;
    case 8:
        UnfilterFixed<8>(type, row, prior, len);
        break;
    default:
        RaisePNGError(PNGMessages::UnknownFilter); // no colour type has another size
    }
}

void UnfilterRow(uint8_t type, uint8_t* row, const uint8_t* prior, size_t len, size_t bpp) {
#if defined(__SSE2__)
    if ((type == ftSub || type == ftAverage || type == ftPaeth) && len % bpp == 0) {
        if (bpp == 3) {
            UnfilterPixels<3>(type, row, prior, len);
            return;
        }
        if (bpp == 4) {
            UnfilterPixels<4>(type, row, prior, len);
            return;
        }
    }
#endif
    UnfilterRowScalar(type, row, prior, len, bpp);
}

TPNGRowFilter::TPNGRowFilter(size_t rowLength, size_t bpp, TFilterSet filters)
    : FLength(rowLength), FBpp(bpp < 1 ? 1 : bpp),
      FFilters(static_cast<TFilterSet>(filters | fsNone)), FRaw(rowLength + 1, 0),
      FPrior(rowLength + 1, 0) {
    for (int t = ftSub; t <= ftPaeth; ++t)
        if (FFilters & (1 << t)) FOut[t].assign(rowLength + 1, static_cast<uint8_t>(t));
}

TFilterType TPNGRowFilter::Choose(const size_t counts[5], TFilterSet filters) {
    filters |= fsNone;
    TFilterType best = ftNone;
    size_t bestCount = 0;
    // A later candidate must beat the best so far strictly; a count of 0 never wins.
    for (int t = ftNone; t <= ftPaeth; ++t)
        if ((filters & (1 << t)) && counts[t] > bestCount) {
            best = static_cast<TFilterType>(t);
            bestCount = counts[t];
        }
    return best;
}

const uint8_t* TPNGRowFilter::Next() {
    const uint8_t* raw = FRaw.data() + 1;
    const uint8_t* prior = FPrior.data() + 1;
    TFilterType chosen = ftNone;
    if (FFilters != fsNone && FLength >= 5) {
        size_t counts[5] = {CountRunsOfFive(raw, FLength), 0, 0, 0, 0};
        for (int t = ftSub; t <= ftPaeth; ++t)
            if (FFilters & (1 << t)) {
                FilterRow(static_cast<TFilterType>(t), raw, prior, FOut[t].data() + 1, FLength,
                          FBpp);
                counts[t] = CountRunsOfFive(FOut[t].data() + 1, FLength);
            }
        chosen = Choose(counts, FFilters);
    }
    // The raw row becomes the prior row of the next; the old prior buffer takes the next raw row.
    std::swap(FRaw, FPrior);
    if (chosen == ftNone) {
        FPrior[0] = ftNone;
        return FPrior.data();
    }
    return FOut[chosen].data();
}
