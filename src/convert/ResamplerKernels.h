// SPDX-License-Identifier: GPL-3.0-or-later
// The two passes of TResampler in plain C++ and with SSE2 and AVX2. Every
// path computes the same integer sums (16-bit fixed-point weights, 8-bit
// samples, 32-bit accumulators, rounded and clamped alike), so all give the
// same bytes; the vector paths only reorder exact additions.
#pragma once

#include "convert/Resampler.h"

#include <cstddef>
#include <cstdint>

enum class TResamplePath { Scalar, SSE2, AVX2 };

// Fills a.PairLo and a.PairHi from a.Weights (MakeAxis does).
void SplitWeights(TResampler::TAxis& a);

// Whether this processor runs the path (Scalar always does).
bool ResamplePathSupported(TResamplePath path);
// The fastest path the processor runs.
TResamplePath BestResamplePath();

// Horizontal pass: source rows [y0, y1) of `channels` (3 or 4) bytes a pixel
// into dst, whose row 0 takes source row y0 and whose rows have the output width.
void ResampleRowsHorizontal(TResamplePath path, int channels, const uint8_t* src, size_t srcStride,
                            int srcWidth, uint8_t* dst, size_t dstStride, int y0, int y1,
                            const TResampler::TAxis& ax);

// Output row y of the vertical pass from its ay.Count[y] source rows.
void ResampleRowVertical(TResamplePath path, const uint8_t* const* rows, uint8_t* d,
                         size_t rowBytes, int y, const TResampler::TAxis& ay);

// Vertical pass: output rows [y0, y1); output row y is the weighted sum of
// source rows ay.First[y] + k, found at src + (row - srcRowOffset) * srcStride.
void ResampleRowsVertical(TResamplePath path, const uint8_t* src, size_t srcStride, uint8_t* dst,
                          size_t dstStride, size_t rowBytes, int srcRowOffset, int y0, int y1,
                          const TResampler::TAxis& ay);
