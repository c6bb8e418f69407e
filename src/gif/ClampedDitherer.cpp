// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/ClampedDitherer.h"

#include <algorithm>
#include <type_traits>

TClampedDitherer::TClampedDitherer(int width, TColorLookup& lookup, int limit)
    : TDitherEngine(width, lookup), FFast(dynamic_cast<TFastColorLookup*>(&lookup)),
      FLimit(std::clamp(limit, 0, 255)), FThis((static_cast<size_t>(width) + 2) * 3, 0),
      FBelow(FThis.size(), 0) {}

void TClampedDitherer::Reset() {
    TDitherEngine::Reset();
    std::fill(FThis.begin(), FThis.end(), 0);
    std::fill(FBelow.begin(), FBelow.end(), 0);
}

void TClampedDitherer::DitherRow(const uint8_t* pixels, int pixelBytes, const uint8_t* alpha,
                                 int minAlpha, uint8_t* out) {
    if (FFast)
        Row(*FFast, pixels, pixelBytes, alpha, minAlpha, out);
    else
        Row(FLookup, pixels, pixelBytes, alpha, minAlpha, out);
}

template <class L>
void TClampedDitherer::Row(L& lookup, const uint8_t* pixels, int pixelBytes, const uint8_t* alpha,
                           int minAlpha, uint8_t* out) {
    const int dir = FDirection, limit = FLimit;
    int32_t* here = FThis.data();
    int32_t* below = FBelow.data();
    for (int col = FColumn; col >= 0 && col < FWidth; col += dir) {
        const ptrdiff_t e = static_cast<ptrdiff_t>(col + 1) * 3; // this pixel's errors
        const ptrdiff_t ahead = e + dir * 3, behind = e - dir * 3;
        if (alpha && alpha[col] < minAlpha) {
            out[col] = 0;
            here[e] = here[e + 1] = here[e + 2] = 0;
            continue;
        }
        const uint8_t* p = pixels + static_cast<size_t>(col) * pixelBytes;
        int v[3];
        for (int c = 0; c < 3; ++c) {
            // Sixteenths rounded to the nearest step (halves up), then limited.
            const int err = std::clamp((here[e + c] + 8) >> 4, -limit, limit);
            v[c] = std::clamp(p[2 - c] + err, 0, 255);
        }
        uint8_t r = static_cast<uint8_t>(v[0]), g = static_cast<uint8_t>(v[1]),
                b = static_cast<uint8_t>(v[2]);
        if constexpr (std::is_same_v<L, TFastColorLookup>) {
            // Each lookup waits for the one before it, and a miss of the
            // answer table is most of a pixel's time. The next pixel's colour
            // with the error it has so far (this pixel's share is still to
            // come) usually lies in the same cache line as its final colour.
            const int next = col + dir;
            if (next >= 0 && next < FWidth) {
                const uint8_t* q = p + dir * pixelBytes;
                int w[3];
                for (int c = 0; c < 3; ++c)
                    w[c] = std::clamp(
                        q[2 - c] + std::clamp((here[ahead + c] + 8) >> 4, -limit, limit), 0, 255);
                lookup.Prefetch(w[0], w[1], w[2]);
            }
        }
        out[col] = lookup.Lookup(r, g, b);
        const int d[3] = {v[0] - r, v[1] - g, v[2] - b};
        for (int c = 0; c < 3; ++c) {
            here[ahead + c] += 7 * d[c];
            below[behind + c] += 3 * d[c];
            below[e + c] += 5 * d[c];
            below[ahead + c] += d[c];
        }
    }
    FColumn = dir > 0 ? FWidth : -1;
}

void TClampedDitherer::NextLine() {
    std::swap(FThis, FBelow);
    std::fill(FBelow.begin(), FBelow.end(), 0);
    TDitherEngine::NextLine();
}
