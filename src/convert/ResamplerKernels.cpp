// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/ResamplerKernels.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TREVASCO_RESAMPLE_X86 1
#else
#define TREVASCO_RESAMPLE_X86 0
#endif

namespace {

using TAxis = TResampler::TAxis;
constexpr int32_t Half = TAxis::One / 2;

inline uint8_t Clamp8(int32_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// ---- plain C++

template <int C>
void HorizontalScalar(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int y0,
                      int y1, const TAxis& ax) {
    const int dw = static_cast<int>(ax.First.size());
    for (int y = y0; y < y1; ++y) {
        const uint8_t* s = src + static_cast<size_t>(y) * srcStride;
        uint8_t* d = dst + static_cast<size_t>(y - y0) * dstStride;
        for (int x = 0; x < dw; ++x) {
            const int32_t* w = ax.Weights.data() + ax.Offset[x];
            const uint8_t* p = s + static_cast<size_t>(ax.First[x]) * C;
            const int n = ax.Count[x];
            int32_t acc[C];
            for (int c = 0; c < C; ++c)
                acc[c] = Half;
            for (int k = 0; k < n; ++k, p += C)
                for (int c = 0; c < C; ++c)
                    acc[c] += w[k] * p[c];
            for (int c = 0; c < C; ++c)
                d[x * C + c] = Clamp8(acc[c] >> TAxis::Bits);
        }
    }
}

// One byte column of one output row, for the scalar path and the vector paths' tails.
inline uint8_t VerticalSample(const uint8_t* const* rows, const int32_t* w, int n, size_t i) {
    int32_t acc = Half;
    for (int k = 0; k < n; ++k)
        acc += w[k] * rows[k][i];
    return Clamp8(acc >> TAxis::Bits);
}

void VerticalRowScalar(const uint8_t* const* rows, const int32_t* w, int n, uint8_t* d,
                       size_t rowBytes) {
    for (size_t i = 0; i < rowBytes; ++i)
        d[i] = VerticalSample(rows, w, n, i);
}

int32_t Pack(int16_t a, int16_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(a)) |
                                (static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16));
}

#if TREVASCO_RESAMPLE_X86

// The vector paths multiply 16-bit pairs (pmaddwd). A weight can exceed 16
// bits (up to One and a little more), so each is split as hi * 2^15 + lo with
// 0 <= lo < 2^15; the two products are summed apart and joined at the end.
// Each sum may wrap on the way, but the joined total is the true sum, which
// fits 32 bits, and wrapping addition is exact modulo 2^32.
// The axis' split pairs (see SplitWeights), read by the horizontal pass.
struct TSplitWeights {
    const std::vector<int32_t>& Lo;
    const std::vector<int32_t>& Hi;
    explicit TSplitWeights(const TAxis& ax) : Lo(ax.PairLo), Hi(ax.PairHi) {}
    // The last weight of a run alone (its partner multiplies nothing).
    int32_t LoAlone(size_t j) const { return Lo[j] & 0xFFFF; }
    int32_t HiAlone(size_t j) const { return Hi[j] & 0xFFFF; }
};

// lo + hi * 2^15 + Half, shifted down: the result of four 32-bit sums.
__attribute__((target("sse2"))) inline __m128i Join(__m128i lo, __m128i hi) {
    const __m128i sum =
        _mm_add_epi32(_mm_add_epi32(lo, _mm_slli_epi32(hi, 15)), _mm_set1_epi32(Half));
    return _mm_srai_epi32(sum, TAxis::Bits);
}

// Up to 8 bytes from p, never reading at or past end.
__attribute__((target("sse2"))) inline __m128i LoadUpTo8(const uint8_t* p, const uint8_t* end) {
    if (end - p >= 8) return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    uint8_t b[8] = {};
    std::memcpy(b, p, static_cast<size_t>(end - p));
    return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b));
}

template <int C>
__attribute__((target("sse2"))) void HorizontalSSE2(const uint8_t* src, size_t srcStride,
                                                    int srcWidth, uint8_t* dst, size_t dstStride,
                                                    int y0, int y1, const TAxis& ax) {
    const int dw = static_cast<int>(ax.First.size());
    const TSplitWeights sw(ax);
    const __m128i zero = _mm_setzero_si128();
    const size_t rowEnd = static_cast<size_t>(srcWidth) * C;
    for (int y = y0; y < y1; ++y) {
        const uint8_t* s = src + static_cast<size_t>(y) * srcStride;
        const uint8_t* end = s + rowEnd;
        uint8_t* d = dst + static_cast<size_t>(y - y0) * dstStride;
        for (int x = 0; x < dw; ++x) {
            const uint8_t* p = s + static_cast<size_t>(ax.First[x]) * C;
            const size_t o = ax.Offset[x];
            const int n = ax.Count[x];
            __m128i lo = zero, hi = zero;
            int k = 0;
            for (; k + 1 < n; k += 2, p += 2 * C) {
                // Two pixels a, b to (a0, b0, a1, b1, ...) as 16-bit pairs.
                __m128i v = C == 4 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))
                                   : LoadUpTo8(p, end);
                v = _mm_unpacklo_epi8(v, _mm_srli_si128(v, C));
                v = _mm_unpacklo_epi8(v, zero);
                lo = _mm_add_epi32(lo, _mm_madd_epi16(v, _mm_set1_epi32(sw.Lo[o + k])));
                hi = _mm_add_epi32(hi, _mm_madd_epi16(v, _mm_set1_epi32(sw.Hi[o + k])));
            }
            if (k < n) {
                int32_t word = 0;
                std::memcpy(&word, p, C);
                __m128i v = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
                v = _mm_unpacklo_epi16(v, zero);
                lo = _mm_add_epi32(lo, _mm_madd_epi16(v, _mm_set1_epi32(sw.LoAlone(o + k))));
                hi = _mm_add_epi32(hi, _mm_madd_epi16(v, _mm_set1_epi32(sw.HiAlone(o + k))));
            }
            __m128i r = Join(lo, hi);
            r = _mm_packs_epi32(r, r);
            r = _mm_packus_epi16(r, r);
            const int32_t out = _mm_cvtsi128_si32(r);
            std::memcpy(d + static_cast<size_t>(x) * C, &out, C);
        }
    }
}

// Four taps at a time: 16 bytes hold four pixels of 4 bytes (or five and a
// bit of 3 bytes), which one byte shuffle each turns into the pairs
// (p0, p1) and (p2, p3) of every channel as 16-bit words.
template <int C> __attribute__((target("avx2"))) inline __m128i PairShuffle(int first) {
    // Word j takes channel j / 2 of pixel first + j % 2; a 3-byte pixel's
    // fourth channel is zero.
    alignas(16) int8_t m[16];
    for (int j = 0; j < 8; ++j) {
        const int c = j >> 1, pixel = first + (j & 1);
        m[2 * j] = static_cast<int8_t>(c < C ? pixel * C + c : -128);
        m[2 * j + 1] = -128;
    }
    return _mm_load_si128(reinterpret_cast<const __m128i*>(m));
}

template <int C>
__attribute__((target("avx2"))) void HorizontalAVX2(const uint8_t* src, size_t srcStride,
                                                    int srcWidth, uint8_t* dst, size_t dstStride,
                                                    int y0, int y1, const TAxis& ax) {
    const int dw = static_cast<int>(ax.First.size());
    const TSplitWeights sw(ax);
    const __m128i zero = _mm_setzero_si128();
    const __m128i first = PairShuffle<C>(0), second = PairShuffle<C>(2);
    const size_t rowEnd = static_cast<size_t>(srcWidth) * C;
    for (int y = y0; y < y1; ++y) {
        const uint8_t* s = src + static_cast<size_t>(y) * srcStride;
        const uint8_t* end = s + rowEnd;
        uint8_t* d = dst + static_cast<size_t>(y - y0) * dstStride;
        for (int x = 0; x < dw; ++x) {
            const uint8_t* p = s + static_cast<size_t>(ax.First[x]) * C;
            const size_t o = ax.Offset[x];
            const int n = ax.Count[x];
            __m128i lo = zero, hi = zero;
            int k = 0;
            for (; k + 3 < n && end - p >= 16; k += 4, p += 4 * C) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                const __m128i a = _mm_shuffle_epi8(v, first), b = _mm_shuffle_epi8(v, second);
                lo = _mm_add_epi32(lo, _mm_madd_epi16(a, _mm_set1_epi32(sw.Lo[o + k])));
                hi = _mm_add_epi32(hi, _mm_madd_epi16(a, _mm_set1_epi32(sw.Hi[o + k])));
                lo = _mm_add_epi32(lo, _mm_madd_epi16(b, _mm_set1_epi32(sw.Lo[o + k + 2])));
                hi = _mm_add_epi32(hi, _mm_madd_epi16(b, _mm_set1_epi32(sw.Hi[o + k + 2])));
            }
            for (; k + 1 < n; k += 2, p += 2 * C) {
                __m128i v = LoadUpTo8(p, end);
                v = _mm_shuffle_epi8(v, first);
                lo = _mm_add_epi32(lo, _mm_madd_epi16(v, _mm_set1_epi32(sw.Lo[o + k])));
                hi = _mm_add_epi32(hi, _mm_madd_epi16(v, _mm_set1_epi32(sw.Hi[o + k])));
            }
            if (k < n) {
                int32_t word = 0;
                std::memcpy(&word, p, C);
                __m128i v = _mm_unpacklo_epi8(_mm_cvtsi32_si128(word), zero);
                v = _mm_unpacklo_epi16(v, zero);
                lo = _mm_add_epi32(lo, _mm_madd_epi16(v, _mm_set1_epi32(sw.LoAlone(o + k))));
                hi = _mm_add_epi32(hi, _mm_madd_epi16(v, _mm_set1_epi32(sw.HiAlone(o + k))));
            }
            __m128i r = Join(lo, hi);
            r = _mm_packs_epi32(r, r);
            r = _mm_packus_epi16(r, r);
            const int32_t out = _mm_cvtsi128_si32(r);
            std::memcpy(d + static_cast<size_t>(x) * C, &out, C);
        }
    }
}

// Sixteen byte columns of one output row: rows taken in pairs, sums in registers.
__attribute__((target("sse2"))) inline __m128i
Vertical16(const uint8_t* const* rows, int pairs, const int32_t* lo, const int32_t* hi, size_t i) {
    const __m128i zero = _mm_setzero_si128();
    __m128i l0 = zero, l1 = zero, l2 = zero, l3 = zero;
    __m128i h0 = zero, h1 = zero, h2 = zero, h3 = zero;
    for (int p = 0; p < pairs; ++p) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * p] + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * p + 1] + i));
        const __m128i abLo = _mm_unpacklo_epi8(a, b), abHi = _mm_unpackhi_epi8(a, b);
        const __m128i q0 = _mm_unpacklo_epi8(abLo, zero), q1 = _mm_unpackhi_epi8(abLo, zero);
        const __m128i q2 = _mm_unpacklo_epi8(abHi, zero), q3 = _mm_unpackhi_epi8(abHi, zero);
        const __m128i wl = _mm_set1_epi32(lo[p]), wh = _mm_set1_epi32(hi[p]);
        l0 = _mm_add_epi32(l0, _mm_madd_epi16(q0, wl));
        l1 = _mm_add_epi32(l1, _mm_madd_epi16(q1, wl));
        l2 = _mm_add_epi32(l2, _mm_madd_epi16(q2, wl));
        l3 = _mm_add_epi32(l3, _mm_madd_epi16(q3, wl));
        h0 = _mm_add_epi32(h0, _mm_madd_epi16(q0, wh));
        h1 = _mm_add_epi32(h1, _mm_madd_epi16(q1, wh));
        h2 = _mm_add_epi32(h2, _mm_madd_epi16(q2, wh));
        h3 = _mm_add_epi32(h3, _mm_madd_epi16(q3, wh));
    }
    return _mm_packus_epi16(_mm_packs_epi32(Join(l0, h0), Join(l1, h1)),
                            _mm_packs_epi32(Join(l2, h2), Join(l3, h3)));
}

__attribute__((target("avx2"))) inline __m256i Join256(__m256i lo, __m256i hi) {
    const __m256i sum =
        _mm256_add_epi32(_mm256_add_epi32(lo, _mm256_slli_epi32(hi, 15)), _mm256_set1_epi32(Half));
    return _mm256_srai_epi32(sum, TAxis::Bits);
}

// Thirty-two byte columns. The unpacks and packs work within each 128-bit
// half and undo each other, so the bytes come back in their order.
__attribute__((target("avx2"))) inline void Vertical32(const uint8_t* const* rows, int pairs,
                                                       const int32_t* lo, const int32_t* hi,
                                                       size_t i, uint8_t* d) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i l0 = zero, l1 = zero, l2 = zero, l3 = zero;
    __m256i h0 = zero, h1 = zero, h2 = zero, h3 = zero;
    for (int p = 0; p < pairs; ++p) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p] + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[2 * p + 1] + i));
        const __m256i abLo = _mm256_unpacklo_epi8(a, b), abHi = _mm256_unpackhi_epi8(a, b);
        const __m256i q0 = _mm256_unpacklo_epi8(abLo, zero), q1 = _mm256_unpackhi_epi8(abLo, zero);
        const __m256i q2 = _mm256_unpacklo_epi8(abHi, zero), q3 = _mm256_unpackhi_epi8(abHi, zero);
        const __m256i wl = _mm256_set1_epi32(lo[p]), wh = _mm256_set1_epi32(hi[p]);
        l0 = _mm256_add_epi32(l0, _mm256_madd_epi16(q0, wl));
        l1 = _mm256_add_epi32(l1, _mm256_madd_epi16(q1, wl));
        l2 = _mm256_add_epi32(l2, _mm256_madd_epi16(q2, wl));
        l3 = _mm256_add_epi32(l3, _mm256_madd_epi16(q3, wl));
        h0 = _mm256_add_epi32(h0, _mm256_madd_epi16(q0, wh));
        h1 = _mm256_add_epi32(h1, _mm256_madd_epi16(q1, wh));
        h2 = _mm256_add_epi32(h2, _mm256_madd_epi16(q2, wh));
        h3 = _mm256_add_epi32(h3, _mm256_madd_epi16(q3, wh));
    }
    const __m256i r = _mm256_packus_epi16(_mm256_packs_epi32(Join256(l0, h0), Join256(l1, h1)),
                                          _mm256_packs_epi32(Join256(l2, h2), Join256(l3, h3)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), r);
}

// The weights of one output row in pairs, split; an odd last weight pairs
// with 0 (and with the repeated last row, which it then multiplies by nothing).
void PairWeights(const int32_t* w, int n, std::vector<int32_t>& lo, std::vector<int32_t>& hi) {
    const int pairs = (n + 1) / 2;
    lo.resize(static_cast<size_t>(pairs));
    hi.resize(static_cast<size_t>(pairs));
    for (int p = 0; p < pairs; ++p) {
        const int32_t a = w[2 * p], b = 2 * p + 1 < n ? w[2 * p + 1] : 0;
        lo[p] = Pack(static_cast<int16_t>(a & 0x7FFF), static_cast<int16_t>(b & 0x7FFF));
        hi[p] = Pack(static_cast<int16_t>(a >> 15), static_cast<int16_t>(b >> 15));
    }
}

// One output row from its n source rows (rows[n] repeats rows[n - 1]).
__attribute__((target("avx2"))) void VerticalRowAVX2(const uint8_t* const* rows, const int32_t* w,
                                                     int n, uint8_t* d, size_t rowBytes,
                                                     std::vector<int32_t>& lo,
                                                     std::vector<int32_t>& hi) {
    PairWeights(w, n, lo, hi);
    const int pairs = (n + 1) / 2;
    size_t i = 0;
    for (; i + 32 <= rowBytes; i += 32)
        Vertical32(rows, pairs, lo.data(), hi.data(), i, d);
    for (; i + 16 <= rowBytes; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                         Vertical16(rows, pairs, lo.data(), hi.data(), i));
    for (; i < rowBytes; ++i)
        d[i] = VerticalSample(rows, w, n, i);
}

// The same for processors without AVX2.
__attribute__((target("sse2"))) void VerticalRowSSE2(const uint8_t* const* rows, const int32_t* w,
                                                     int n, uint8_t* d, size_t rowBytes,
                                                     std::vector<int32_t>& lo,
                                                     std::vector<int32_t>& hi) {
    PairWeights(w, n, lo, hi);
    const int pairs = (n + 1) / 2;
    size_t i = 0;
    for (; i + 16 <= rowBytes; i += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                         Vertical16(rows, pairs, lo.data(), hi.data(), i));
    for (; i < rowBytes; ++i)
        d[i] = VerticalSample(rows, w, n, i);
}

#endif

} // namespace

void SplitWeights(TAxis& a) {
    const size_t n = a.Weights.size();
    std::vector<int16_t> lo(n + 1, 0), hi(n + 1, 0);
    for (size_t j = 0; j < n; ++j) {
        lo[j] = static_cast<int16_t>(a.Weights[j] & 0x7FFF);
        hi[j] = static_cast<int16_t>(a.Weights[j] >> 15);
    }
    a.PairLo.resize(n);
    a.PairHi.resize(n);
    for (size_t j = 0; j < n; ++j) {
        a.PairLo[j] = Pack(lo[j], lo[j + 1]);
        a.PairHi[j] = Pack(hi[j], hi[j + 1]);
    }
}

bool ResamplePathSupported(TResamplePath path) {
#if TREVASCO_RESAMPLE_X86
    switch (path) {
    case TResamplePath::Scalar:
        return true;
    case TResamplePath::SSE2:
        return __builtin_cpu_supports("sse2");
    case TResamplePath::AVX2:
        return __builtin_cpu_supports("avx2");
    }
    return false;
#else
    return path == TResamplePath::Scalar;
#endif
}

TResamplePath BestResamplePath() {
    static const TResamplePath best =
        ResamplePathSupported(TResamplePath::AVX2)   ? TResamplePath::AVX2
        : ResamplePathSupported(TResamplePath::SSE2) ? TResamplePath::SSE2
                                                     : TResamplePath::Scalar;
    return best;
}

void ResampleRowsHorizontal(TResamplePath path, int channels, const uint8_t* src, size_t srcStride,
                            int srcWidth, uint8_t* dst, size_t dstStride, int y0, int y1,
                            const TAxis& ax) {
#if TREVASCO_RESAMPLE_X86
    // The horizontal pass works on one pixel at a time, which 128-bit
    // registers hold; the AVX2 path adds the byte shuffle of SSSE3.
    if (path == TResamplePath::AVX2) {
        if (channels == 3)
            HorizontalAVX2<3>(src, srcStride, srcWidth, dst, dstStride, y0, y1, ax);
        else
            HorizontalAVX2<4>(src, srcStride, srcWidth, dst, dstStride, y0, y1, ax);
        return;
    }
    if (path == TResamplePath::SSE2) {
        if (channels == 3)
            HorizontalSSE2<3>(src, srcStride, srcWidth, dst, dstStride, y0, y1, ax);
        else
            HorizontalSSE2<4>(src, srcStride, srcWidth, dst, dstStride, y0, y1, ax);
        return;
    }
#else
    (void)path;
    (void)srcWidth;
#endif
    if (channels == 3)
        HorizontalScalar<3>(src, srcStride, dst, dstStride, y0, y1, ax);
    else
        HorizontalScalar<4>(src, srcStride, dst, dstStride, y0, y1, ax);
}

void ResampleRowVertical(TResamplePath path, const uint8_t* const* rows, uint8_t* d,
                         size_t rowBytes, int y, const TAxis& ay) {
    const int n = ay.Count[y];
    const int32_t* w = ay.Weights.data() + ay.Offset[y];
    // The vector code takes rows in pairs: the last one repeated makes the pair
    // of an odd count, with weight 0.
    thread_local std::vector<const uint8_t*> paired;
    thread_local std::vector<int32_t> lo, hi;
    paired.assign(rows, rows + n);
    paired.push_back(rows[n - 1]);
#if TREVASCO_RESAMPLE_X86
    if (path == TResamplePath::AVX2) {
        VerticalRowAVX2(paired.data(), w, n, d, rowBytes, lo, hi);
        return;
    }
    if (path == TResamplePath::SSE2) {
        VerticalRowSSE2(paired.data(), w, n, d, rowBytes, lo, hi);
        return;
    }
#else
    (void)path;
#endif
    VerticalRowScalar(paired.data(), w, n, d, rowBytes);
}

void ResampleRowsVertical(TResamplePath path, const uint8_t* src, size_t srcStride, uint8_t* dst,
                          size_t dstStride, size_t rowBytes, int srcRowOffset, int y0, int y1,
                          const TAxis& ay) {
    std::vector<const uint8_t*> rows;
    for (int y = y0; y < y1; ++y) {
        rows.resize(static_cast<size_t>(ay.Count[y]));
        for (int k = 0; k < ay.Count[y]; ++k)
            rows[k] = src + static_cast<size_t>(ay.First[y] + k - srcRowOffset) * srcStride;
        ResampleRowVertical(path, rows.data(), dst + static_cast<size_t>(y) * dstStride, rowBytes,
                            y, ay);
    }
}
