// SPDX-License-Identifier: GPL-3.0-or-later
// Error-diffusion ditherers between the pixels and a colour lookup.
#pragma once

#include "gif/ColorLookup.h"

#include <cstdint>
#include <memory>
#include <vector>

enum TDitherMode : uint8_t {
    DitherOff,
    DitherFloydSteinberg,
    DitherStucki,
    DitherSierra,
    DitherJarvisJudiceNinke,
    DitherStevensonArce,
    DitherBurkes
};

// Rows are scanned alternately left to right and right to left, starting left
// to right. The caller resets once, then per row calls DitherRow and NextLine.
class TDitherEngine {
public:
    TDitherEngine(int width, TColorLookup& lookup) : FWidth(width), FLookup(lookup) {}
    virtual ~TDitherEngine() = default;
    virtual void Reset();
    // Maps one row of pixels (blue, green, red at pixelBytes apart) to
    // indices in out, in the current scan direction.
    virtual void DitherRow(const uint8_t* pixels, int pixelBytes, uint8_t* out);
    virtual void NextLine();
    int Direction() const { return FDirection; }
    int Column() const { return FColumn; }

protected:
    int FDirection = 1;
    int FColumn = 0;
    int FWidth;
    TColorLookup& FLookup;
};

class TFloydSteinbergDitherer : public TDitherEngine {
public:
    TFloydSteinbergDitherer(int width, TColorLookup& lookup);
    void Reset() override;
    void DitherRow(const uint8_t* pixels, int pixelBytes, uint8_t* out) override;
    void NextLine() override;

private:
    template <class L> void Row(L& lookup, const uint8_t* pixels, int pixelBytes, uint8_t* out);
    // The lookup's own class when it has a dispatch-free one, else null.
    TFastColorLookup* FFast = nullptr;
    TNetscapeColorLookup* FCube = nullptr;
    // Per channel: the error row, a carry and two holds.
    std::vector<int32_t> FErrors[3];
    int32_t FCarry[3] = {}, FHold1[3] = {}, FHold2[3] = {};
    int FPos = 0;
};

// Weight of the error at an offset along the scan direction in a later row.
struct TDitherWeight {
    int Row, Offset, Weight;
};

// Ditherers that spread the error over whole rows ahead (the 5-by-3 kernels,
// Burkes, Stevenson-Arce): rows of width + 2 * pad entries per channel.
class TKernelDitherer : public TDitherEngine {
public:
    TKernelDitherer(int width, TColorLookup& lookup, int rows, int pad, int divisor,
                    std::vector<TDitherWeight> weights);
    void Reset() override;
    void DitherRow(const uint8_t* pixels, int pixelBytes, uint8_t* out) override;
    void NextLine() override;

private:
    int FPad, FDivisor;
    std::vector<TDitherWeight> FWeights;
    std::vector<std::vector<int32_t>> FBuffers[3]; // [channel][row]
    int FPos = 0;
};

class T5by3Ditherer : public TKernelDitherer {
public:
    T5by3Ditherer(int width, TColorLookup& lookup, int divisor, const int row0[2],
                  const int row1[5], const int row2[5]);
};
class TStuckiDitherer : public T5by3Ditherer {
public:
    TStuckiDitherer(int width, TColorLookup& lookup);
};
class TSierraDitherer : public T5by3Ditherer {
public:
    TSierraDitherer(int width, TColorLookup& lookup);
};
class TJaJuNiDitherer : public T5by3Ditherer {
public:
    TJaJuNiDitherer(int width, TColorLookup& lookup);
};
class TBurkesDitherer : public TKernelDitherer {
public:
    TBurkesDitherer(int width, TColorLookup& lookup);
};
class TSteveArcheDitherer : public TKernelDitherer {
public:
    TSteveArcheDitherer(int width, TColorLookup& lookup);
};

// Null for an unknown method.
std::unique_ptr<TDitherEngine> CreateDitherer(int method, int width, TColorLookup& lookup);
