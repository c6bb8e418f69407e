// SPDX-License-Identifier: GPL-3.0-or-later
// TResampler: smooth resizing of a 24-bit (blue, green, red) or 32-bit
// (blue, green, red, alpha) raster with a separable two-pass filter.
// Shrinking uses Lanczos-3 widened by the scale, so every source pixel
// contributes; enlarging uses Catmull-Rom bicubic. The weights are worked out
// once per output column and row, in 16-bit fixed point, and every result is
// rounded. A 32-bit raster is filtered in premultiplied alpha so that the
// colour hidden under transparent pixels never bleeds into its neighbours.
#pragma once

#include "toolkit/Bitmap.h"

#include <cstdint>
#include <memory>
#include <vector>

enum class TResamplePath;

class TResampler {
public:
    // The filter weights of one axis: for each output position, the first
    // source position and its run of weights (fixed point, summing to One).
    struct TAxis {
        static constexpr int Bits = 16;
        static constexpr int32_t One = 1 << Bits;
        std::vector<int> First;
        std::vector<int> Count;
        std::vector<size_t> Offset; // into Weights
        std::vector<int32_t> Weights;
        int MaxCount = 0;
        // For the vector code (pmaddwd multiplies 16-bit pairs): weight j
        // split as hi * 2^15 + lo, 0 <= lo < 2^15, and the halves of weights
        // j and j + 1 packed as two int16 in PairLo[j] and PairHi[j].
        std::vector<int32_t> PairLo, PairHi;
    };
    // Weights for resampling srcSize positions to dstSize (both above 0).
    static TAxis MakeAxis(int srcSize, int dstSize);
    // The continuous kernels, for tests that build an independent reference.
    static double Lanczos3(double x);
    static double CatmullRom(double x);
    // From this many source pixels on, the passes use the cores a parallel
    // batch leaves idle (SpareCores), split by rows.
    static constexpr int64_t ParallelPixels = 20'000'000;

    // Resamples src (pf24bit, or pf32bit) into a new raster of the same
    // format and the given size. With alpha, src is pf32bit with straight
    // alpha in the fourth byte; it is filtered premultiplied (in a copy) and
    // the result has straight alpha again.
    static std::unique_ptr<TBitmap> Resample(const TBitmap& src, int width, int height, bool alpha);
    // The same with the given code path (see ResamplerKernels.h), its rows
    // split in `parts` ranges on as many threads (0: by the picture's size and
    // the idle cores). Every path the processor supports, and every split,
    // gives the same bytes.
    static std::unique_ptr<TBitmap> Resample(const TBitmap& src, int width, int height, bool alpha,
                                             TResamplePath path, int parts);
    // One target pixel per source pixel, the mapping the canvas' stretched
    // copy uses ((2x+1)*S div 2D): for pictures that must keep hard edges.
    static std::unique_ptr<TBitmap> ResampleNearest(const TBitmap& src, int width, int height);
};

// Resamples an opaque picture whose rows arrive one after another (from a
// decoder), holding only the source rows the filter still needs: each row is
// filtered horizontally as it arrives, and each output row vertically as soon
// as its window is complete. Memory: a window of filtered rows + the result.
// It gives the bytes of TResampler::Resample wherever that filters
// horizontally first, which Suits tells.
class TRowResampler {
public:
    // Whether Resample would filter these sizes horizontally first (and the size changes).
    static bool Suits(int srcWidth, int srcHeight, int width, int height);
    // channels: 3 (blue, green, red) or 4 bytes a pixel, for source and result.
    TRowResampler(int srcWidth, int srcHeight, int width, int height, int channels);
    TRowResampler(int srcWidth, int srcHeight, int width, int height, int channels,
                  TResamplePath path);
    ~TRowResampler();
    TRowResampler(const TRowResampler&) = delete;
    TRowResampler& operator=(const TRowResampler&) = delete;
    // The next `count` source rows, `stride` bytes apart, top first.
    void Push(const uint8_t* rows, size_t stride, int count);
    // After the last source row: the result (pf24bit or pf32bit).
    std::unique_ptr<TBitmap> Finish();

private:
    TResampler::TAxis FX, FY;
    TResamplePath FPath;
    int FSourceWidth, FSourceHeight, FChannels;
    size_t FRowBytes;
    int FRing;                        // filtered rows kept
    std::unique_ptr<uint8_t[]> FRows; // FRing rows of the output width
    int FReceived = 0, FNextOut = 0;
    std::unique_ptr<TBitmap> FResult;
    std::vector<const uint8_t*> FWindow;
};

// Straight to premultiplied alpha and back, in place, on a pf32bit raster
// whose fourth byte is alpha. Rounded; unpremultiplying a pixel of alpha 0
// gives black, so the colour under transparent pixels is never revealed.
void PremultiplyAlpha(TBitmap& raster);
void UnpremultiplyAlpha(TBitmap& raster);
