// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/Ditherers.h"

#include <algorithm>

namespace {
// mask all ones: a, all zeros: b; without a branch the predictor would miss.
inline int Choose(int mask, int a, int b) {
    return (a & mask) | (b & ~mask);
}
inline int Clamp255(int v) {
    return v < 0 ? 0 : (v > 255 ? 255 : v);
}
} // namespace

void TDitherEngine::Reset() {
    FDirection = 1;
    FColumn = 0;
}

void TDitherEngine::DitherRow(const uint8_t* pixels, int pixelBytes, uint8_t* out) {
    for (; FColumn >= 0 && FColumn < FWidth; FColumn += FDirection) {
        const uint8_t* p = pixels + static_cast<size_t>(FColumn) * pixelBytes;
        uint8_t r = p[2], g = p[1], b = p[0];
        out[FColumn] = FLookup.Lookup(r, g, b);
    }
}

void TDitherEngine::NextLine() {
    FDirection = -FDirection;
    FColumn = FDirection > 0 ? 0 : FWidth - 1;
}

TFloydSteinbergDitherer::TFloydSteinbergDitherer(int width, TColorLookup& lookup)
    : TDitherEngine(width, lookup), FFast(dynamic_cast<TFastColorLookup*>(&lookup)),
      FCube(dynamic_cast<TNetscapeColorLookup*>(&lookup)) {
    for (auto& e : FErrors)
        e.assign(static_cast<size_t>(width) + 2, 0);
}

void TFloydSteinbergDitherer::Reset() {
    TDitherEngine::Reset();
    for (int c = 0; c < 3; ++c) {
        std::fill(FErrors[c].begin(), FErrors[c].end(), 0);
        FCarry[c] = FHold1[c] = FHold2[c] = 0;
    }
    FPos = 0;
}

void TFloydSteinbergDitherer::DitherRow(const uint8_t* pixels, int pixelBytes, uint8_t* out) {
    if (FFast)
        Row(*FFast, pixels, pixelBytes, out);
    else if (FCube)
        Row(*FCube, pixels, pixelBytes, out);
    else
        Row(FLookup, pixels, pixelBytes, out);
}

// The state lives in locals for the whole row. An error of zero leaves the
// error row entry and both holds as they were, only the carry becomes zero
// (7 * 0); the selects below keep exactly that.
template <class L>
void TFloydSteinbergDitherer::Row(L& lookup, const uint8_t* pixels, int pixelBytes, uint8_t* out) {
    int32_t* er = FErrors[0].data();
    int32_t* eg = FErrors[1].data();
    int32_t* eb = FErrors[2].data();
    int carryR = FCarry[0], carryG = FCarry[1], carryB = FCarry[2];
    int hold1R = FHold1[0], hold1G = FHold1[1], hold1B = FHold1[2];
    int hold2R = FHold2[0], hold2G = FHold2[1], hold2B = FHold2[2];
    const int dir = FDirection;
    int pos = FPos, col = FColumn;
    const uint8_t* p = pixels + static_cast<ptrdiff_t>(col) * pixelBytes;
    const ptrdiff_t step = static_cast<ptrdiff_t>(dir) * pixelBytes;
    for (; col >= 0 && col < FWidth; col += dir, pos += dir, p += step) {
        const int vr = Clamp255(p[2] + (er[pos] + carryR + 8) / 16);
        const int vg = Clamp255(p[1] + (eg[pos] + carryG + 8) / 16);
        const int vb = Clamp255(p[0] + (eb[pos] + carryB + 8) / 16);
        uint8_t r = static_cast<uint8_t>(vr), g = static_cast<uint8_t>(vg),
                b = static_cast<uint8_t>(vb);
        out[col] = lookup.Lookup(r, g, b);
        const int e0 = vr - r, e1 = vg - g, e2 = vb - b;
        {
            const int keep = -int(e0 == 0); // all ones: the error is zero
            er[pos] = Choose(keep, er[pos], hold2R + 3 * e0);
            hold2R = Choose(keep, hold2R, hold1R + 5 * e0);
            hold1R = Choose(keep, hold1R, e0);
            carryR = 7 * e0;
        }
        {
            const int keep = -int(e1 == 0); // all ones: the error is zero
            eg[pos] = Choose(keep, eg[pos], hold2G + 3 * e1);
            hold2G = Choose(keep, hold2G, hold1G + 5 * e1);
            hold1G = Choose(keep, hold1G, e1);
            carryG = 7 * e1;
        }
        {
            const int keep = -int(e2 == 0); // all ones: the error is zero
            eb[pos] = Choose(keep, eb[pos], hold2B + 3 * e2);
            hold2B = Choose(keep, hold2B, hold1B + 5 * e2);
            hold1B = Choose(keep, hold1B, e2);
            carryB = 7 * e2;
        }
    }
    FCarry[0] = carryR, FCarry[1] = carryG, FCarry[2] = carryB;
    FHold1[0] = hold1R, FHold1[1] = hold1G, FHold1[2] = hold1B;
    FHold2[0] = hold2R, FHold2[1] = hold2G, FHold2[2] = hold2B;
    FPos = pos;
    FColumn = col;
}

void TFloydSteinbergDitherer::NextLine() {
    for (int c = 0; c < 3; ++c) {
        FErrors[c][FPos] = FHold2[c];
        FCarry[c] = FHold1[c] = FHold2[c] = 0;
    }
    TDitherEngine::NextLine();
    FPos = FDirection > 0 ? 0 : FWidth + 1;
}

TKernelDitherer::TKernelDitherer(int width, TColorLookup& lookup, int rows, int pad, int divisor,
                                 std::vector<TDitherWeight> weights)
    : TDitherEngine(width, lookup), FPad(pad), FDivisor(divisor), FWeights(std::move(weights)) {
    for (auto& channel : FBuffers)
        channel.assign(static_cast<size_t>(rows),
                       std::vector<int32_t>(static_cast<size_t>(width) + 2 * pad, 0));
    FPos = FPad;
}

void TKernelDitherer::Reset() {
    TDitherEngine::Reset();
    for (auto& channel : FBuffers)
        for (auto& row : channel)
            std::fill(row.begin(), row.end(), 0);
    FPos = FPad;
}

void TKernelDitherer::DitherRow(const uint8_t* pixels, int pixelBytes, uint8_t* out) {
    const int rounding = FDivisor / 2;
    for (; FColumn >= 0 && FColumn < FWidth; FColumn += FDirection) {
        const uint8_t* p = pixels + static_cast<size_t>(FColumn) * pixelBytes;
        int v[3];
        for (int c = 0; c < 3; ++c)
            v[c] = Clamp255(p[2 - c] + (FBuffers[c][0][FPos] + rounding) / FDivisor);
        uint8_t w[3] = {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1]),
                        static_cast<uint8_t>(v[2])};
        out[FColumn] = FLookup.Lookup(w[0], w[1], w[2]);
        for (int c = 0; c < 3; ++c) {
            const int e = v[c] - w[c];
            if (e == 0) continue;
            for (const TDitherWeight& k : FWeights)
                FBuffers[c][k.Row][FPos + k.Offset * FDirection] += e * k.Weight;
        }
        FPos += FDirection;
    }
}

void TKernelDitherer::NextLine() {
    for (auto& channel : FBuffers) {
        std::fill(channel[0].begin(), channel[0].end(), 0);
        std::rotate(channel.begin(), channel.begin() + 1, channel.end());
    }
    TDitherEngine::NextLine();
    FPos = FDirection > 0 ? FPad : FWidth + FPad - 1;
}

namespace {
std::vector<TDitherWeight> Kernel5by3(const int row0[2], const int row1[5], const int row2[5]) {
    std::vector<TDitherWeight> w;
    for (int i = 0; i < 2; ++i)
        if (row0[i]) w.push_back({0, i + 1, row0[i]});
    for (int i = 0; i < 5; ++i) {
        if (row1[i]) w.push_back({1, i - 2, row1[i]});
        if (row2[i]) w.push_back({2, i - 2, row2[i]});
    }
    return w;
}
} // namespace

T5by3Ditherer::T5by3Ditherer(int width, TColorLookup& lookup, int divisor, const int row0[2],
                             const int row1[5], const int row2[5])
    : TKernelDitherer(width, lookup, 3, 2, divisor, Kernel5by3(row0, row1, row2)) {}

static const int kStucki[3][5] = {{8, 4}, {2, 4, 8, 4, 2}, {1, 2, 4, 2, 1}};
static const int kSierra[3][5] = {{5, 3}, {2, 4, 5, 4, 2}, {0, 2, 3, 2, 0}};
static const int kJaJuNi[3][5] = {{7, 5}, {3, 5, 7, 5, 3}, {1, 3, 5, 3, 1}};

TStuckiDitherer::TStuckiDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 42, kStucki[0], kStucki[1], kStucki[2]) {}
TSierraDitherer::TSierraDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 32, kSierra[0], kSierra[1], kSierra[2]) {}
TJaJuNiDitherer::TJaJuNiDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, 48, kJaJuNi[0], kJaJuNi[1], kJaJuNi[2]) {}

TBurkesDitherer::TBurkesDitherer(int width, TColorLookup& lookup)
    : TKernelDitherer(
          width, lookup, 2, 2, 32,
          {{0, 1, 8}, {0, 2, 4}, {1, -2, 2}, {1, -1, 4}, {1, 0, 8}, {1, 1, 4}, {1, 2, 2}}) {}

TSteveArcheDitherer::TSteveArcheDitherer(int width, TColorLookup& lookup)
    : TKernelDitherer(width, lookup, 4, 3, 200,
                      {{0, 2, 32},
                       {1, -3, 12},
                       {1, -1, 26},
                       {1, 1, 30},
                       {1, 3, 16},
                       {2, -2, 12},
                       {2, 0, 26},
                       {2, 2, 12},
                       {3, -3, 5},
                       {3, -1, 12},
                       {3, 1, 12},
                       {3, 3, 5}}) {}

std::unique_ptr<TDitherEngine> CreateDitherer(int method, int width, TColorLookup& lookup) {
    switch (method) {
    case DitherOff:
        return std::make_unique<TDitherEngine>(width, lookup);
    case DitherFloydSteinberg:
        return std::make_unique<TFloydSteinbergDitherer>(width, lookup);
    case DitherStucki:
        return std::make_unique<TStuckiDitherer>(width, lookup);
    case DitherSierra:
        return std::make_unique<TSierraDitherer>(width, lookup);
    case DitherJarvisJudiceNinke:
        return std::make_unique<TJaJuNiDitherer>(width, lookup);
    case DitherStevensonArce:
        return std::make_unique<TSteveArcheDitherer>(width, lookup);
    case DitherBurkes:
        return std::make_unique<TBurkesDitherer>(width, lookup);
    default:
        return nullptr;
    }
}
