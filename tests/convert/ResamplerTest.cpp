// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Resampler.h"

#include "base/Exceptions.h"

#include "convert/ConvertTestSupport.h"
#include "convert/ResamplerKernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

TBitmap Picture(int w, int h, TPixelFormat pf) {
    TBitmap b;
    b.SetPixelFormat(pf);
    b.SetSize(w, h);
    return b;
}

// An independent reference: the same kernels evaluated in double precision,
// straight from their definitions, one output pixel at a time over the whole
// two-dimensional window, without fixed point or an 8-bit intermediate.
double RefKernel(double x, bool shrink) {
    x = std::fabs(x);
    if (shrink) {
        if (x >= 3) return 0;
        auto sinc = [](double t) { return t == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t); };
        return sinc(x) * sinc(x / 3);
    }
    const double a = -0.5; // Catmull-Rom
    if (x < 1) return (a + 2) * x * x * x - (a + 3) * x * x + 1;
    if (x < 2) return a * x * x * x - 5 * a * x * x + 8 * a * x - 4 * a;
    return 0;
}

// The weight of every source pixel for output position i; beyond the edges
// the line is mirrored about its outer pixels.
std::vector<double> RefWeights(int src, int dst, int i) {
    const double scale = double(src) / dst;
    const bool shrink = scale > 1;
    const double fs = shrink ? scale : 1, support = (shrink ? 3 : 2) * fs;
    const double c = (i + 0.5) * scale;
    std::vector<double> w(static_cast<size_t>(src), 0.0);
    double sum = 0;
    for (int j = int(std::floor(c - support)); j <= int(std::ceil(c + support)); ++j) {
        int m = j;
        while (m < 0 || m >= src)
            m = src == 1 ? 0 : m < 0 ? -m : 2 * (src - 1) - m;
        const double v = RefKernel((j + 0.5 - c) / fs, shrink);
        w[m] += v;
        sum += v;
    }
    for (double& v : w)
        v /= sum;
    return w;
}

TBitmap ReferenceResample(const TBitmap& src, int dw, int dh) {
    TBitmap out = Picture(dw, dh, pf24bit);
    for (int y = 0; y < dh; ++y) {
        const std::vector<double> wy = RefWeights(src.Height(), dh, y);
        for (int x = 0; x < dw; ++x) {
            const std::vector<double> wx = RefWeights(src.Width(), dw, x);
            for (int c = 0; c < 3; ++c) {
                double v = 0;
                for (int j = 0; j < src.Height(); ++j) {
                    if (wy[j] == 0) continue;
                    for (int i = 0; i < src.Width(); ++i)
                        v += wy[j] * wx[i] * src.ScanLine(j)[3 * i + c];
                }
                out.ScanLine(y)[3 * x + c] =
                    static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
            }
        }
    }
    return out;
}

double Psnr(const TBitmap& a, const TBitmap& b) {
    double se = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width() * 3; ++x) {
            const double d = double(a.ScanLine(y)[x]) - b.ScanLine(y)[x];
            se += d * d;
        }
    const double mse = se / (double(a.Width()) * a.Height() * 3);
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// A photo-like picture: smooth gradients, hard edges and noise.
TBitmap NoisyPicture(int w, int h) {
    TBitmap b = MakeTestPicture(w, h);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> noise(-40, 40);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w * 3; ++x) {
            uint8_t& v = b.ScanLine(y)[x];
            v = static_cast<uint8_t>(std::clamp(v + noise(rng), 0, 255));
        }
    return b;
}

} // namespace

TEST(Resampler, FlatColourStaysExactlyFlat) {
    for (auto [sw, sh, dw, dh] :
         {std::array{97, 61, 31, 20}, std::array{13, 7, 50, 29}, std::array{40, 40, 39, 41},
          std::array{1, 1, 5, 3}, std::array{300, 2, 7, 1}}) {
        SCOPED_TRACE(std::to_string(sw) + "x" + std::to_string(sh) + " -> " + std::to_string(dw) +
                     "x" + std::to_string(dh));
        TBitmap src = Picture(sw, sh, pf24bit);
        for (int y = 0; y < sh; ++y)
            for (int x = 0; x < sw; ++x) {
                src.ScanLine(y)[3 * x] = 17;
                src.ScanLine(y)[3 * x + 1] = 130;
                src.ScanLine(y)[3 * x + 2] = 254;
            }
        auto out = TResampler::Resample(src, dw, dh, false);
        ASSERT_EQ(out->Width(), dw);
        ASSERT_EQ(out->Height(), dh);
        for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x) {
                const uint8_t* p = out->ScanLine(y) + 3 * x;
                ASSERT_EQ(p[0], 17);
                ASSERT_EQ(p[1], 130);
                ASSERT_EQ(p[2], 254);
            }
    }
}

TEST(Resampler, OnePixelStripesShrunkToAThirdComeOutEvenGrey) {
    // Point sampling would give black and white stripes (every third source column).
    for (bool vertical : {false, true}) {
        const int w = vertical ? 30 : 300, h = vertical ? 300 : 30;
        TBitmap src = Picture(w, h, pf24bit);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t v = ((vertical ? y : x) & 1) ? 255 : 0;
                std::fill_n(src.ScanLine(y) + 3 * x, 3, v);
            }
        auto out = TResampler::Resample(src, w / (vertical ? 1 : 3), h / (vertical ? 3 : 1), false);
        int lo = 255, hi = 0;
        for (int y = 0; y < out->Height(); ++y)
            for (int x = 0; x < out->Width() * 3; ++x) {
                lo = std::min<int>(lo, out->ScanLine(y)[x]);
                hi = std::max<int>(hi, out->ScanLine(y)[x]);
            }
        EXPECT_GE(lo, 126) << vertical;
        EXPECT_LE(hi, 129) << vertical;
    }
}

TEST(Resampler, CloseToAStraightforwardDoublePrecisionFilter) {
    const TBitmap photo = NoisyPicture(240, 180);
    TBitmap src = photo;
    // A quarter: Lanczos-3 widened by 4.
    auto quarter = TResampler::Resample(src, 60, 45, false);
    const TBitmap refQuarter = ReferenceResample(photo, 60, 45);
    EXPECT_GT(Psnr(*quarter, refQuarter), 45.0);
    // Three times larger: Catmull-Rom.
    auto large = TResampler::Resample(*quarter, 180, 135, false);
    const TBitmap refLarge = ReferenceResample(*quarter, 180, 135);
    EXPECT_GT(Psnr(*large, refLarge), 45.0);
    // Uneven scales on both axes, one shrinking and one enlarging.
    TBitmap again = photo;
    auto mixed = TResampler::Resample(again, 77, 250, false);
    EXPECT_GT(Psnr(*mixed, ReferenceResample(photo, 77, 250)), 45.0);
}

TEST(Resampler, TransparentPixelsLendNoColourToTheirNeighbours) {
    // Left half fully transparent with a hidden red, right half opaque green.
    TBitmap src = Picture(64, 8, pf32bit);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 64; ++x) {
            uint8_t* p = src.ScanLine(y) + 4 * x;
            const bool left = x < 32;
            p[0] = 0;
            p[1] = left ? 0 : 200;
            p[2] = left ? 255 : 0;
            p[3] = left ? 0 : 255;
        }
    for (auto [dw, dh] : {std::pair{21, 3}, std::pair{150, 20}}) {
        TBitmap work = src;
        auto out = TResampler::Resample(work, dw, dh, true);
        bool sawPartial = false;
        for (int y = 0; y < dh; ++y)
            for (int x = 0; x < dw; ++x) {
                const uint8_t* p = out->ScanLine(y) + 4 * x;
                SCOPED_TRACE(std::to_string(x));
                if (p[3] == 0) {
                    EXPECT_EQ(p[0] | p[1] | p[2], 0); // nothing hidden is revealed
                    continue;
                }
                sawPartial |= p[3] < 250;
                EXPECT_LE(p[2], 1); // no red fringe
                // No dark fringe: the edge keeps its own colour (Lanczos may
                // overshoot it a little, as at any edge).
                if (p[3] > 20) {
                    EXPECT_GE(p[1], 194);
                    EXPECT_LE(p[1], 225);
                }
            }
        EXPECT_TRUE(sawPartial); // the edge is soft, not a hard cut
    }
}

TEST(Resampler, NearestTakesTheCanvasPixels) {
    const TBitmap src = MakeTestPicture(37, 23);
    for (auto [dw, dh] : {std::pair{100, 9}, std::pair{12, 60}}) {
        auto out = TResampler::ResampleNearest(src, dw, dh);
        TBitmap ref(dw, dh, pf24bit);
        ref.Canvas().StretchDraw(Rect(0, 0, dw, dh), const_cast<TBitmap&>(src));
        for (int y = 0; y < dh; ++y)
            ASSERT_EQ(0, std::memcmp(out->ScanLine(y), ref.ScanLine(y), 3 * size_t(dw))) << y;
    }
}

TEST(Resampler, EveryCodePathGivesTheBytesOfThePlainOne) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255);
    // Widths around the vector sizes (16 and 32 bytes, pairs of taps), scales
    // that make single weights above 2^15 (slight shrink, enlargement) and
    // long windows (strong shrink), both pass orders, odd tap counts.
    const std::array<int, 4> sizes[] = {{1, 1, 3, 2},      {5, 3, 2, 1},       {17, 9, 16, 8},
                                        {33, 31, 11, 29},  {101, 67, 100, 66}, {47, 200, 13, 45},
                                        {250, 40, 31, 37}, {64, 64, 191, 130}, {7, 90, 70, 9},
                                        {400, 13, 9, 13}};
    for (TPixelFormat pf : {pf24bit, pf32bit})
        for (bool alpha : {false, true}) {
            if (alpha && pf != pf32bit) continue;
            for (const auto& [sw, sh, dw, dh] : sizes) {
                TBitmap src = Picture(sw, sh, pf);
                // Random bytes drive every sum to its extremes, both clamps included.
                for (int y = 0; y < sh; ++y)
                    for (size_t x = 0; x < src.RowBytes(); ++x)
                        src.ScanLine(y)[x] = static_cast<uint8_t>(byte(rng));
                TBitmap plainSrc(src);
                const std::unique_ptr<TBitmap> plain =
                    TResampler::Resample(plainSrc, dw, dh, alpha, TResamplePath::Scalar, 1);
                // Every path, alone and with its rows split over threads
                // (more parts than rows included).
                for (auto [path, parts] :
                     {std::pair{TResamplePath::Scalar, 3}, std::pair{TResamplePath::SSE2, 1},
                      std::pair{TResamplePath::SSE2, 4}, std::pair{TResamplePath::AVX2, 1},
                      std::pair{TResamplePath::AVX2, 200}}) {
                    if (!ResamplePathSupported(path)) continue;
                    SCOPED_TRACE(testing::Message()
                                 << "format " << pf << " alpha " << alpha << " " << sw << "x" << sh
                                 << " -> " << dw << "x" << dh << " path " << static_cast<int>(path)
                                 << " parts " << parts);
                    TBitmap copy(src);
                    const std::unique_ptr<TBitmap> out =
                        TResampler::Resample(copy, dw, dh, alpha, path, parts);
                    for (int y = 0; y < dh; ++y)
                        ASSERT_EQ(
                            0, std::memcmp(out->ScanLine(y), plain->ScanLine(y), plain->RowBytes()))
                            << "row " << y;
                }
            }
        }
}

TEST(Resampler, TallPicturesFilteredInBandsMatchTheTwoPassDefinition) {
    // Horizontal pass first (the cheaper order for a shrink), output taller
    // than one band of rows: every band, split over threads or not, must give
    // what filtering the whole picture row by row, then column by column, gives.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> byte(0, 255);
    const int sw = 300, sh = 1500, dw = 41, dh = 610;
    TBitmap src = Picture(sw, sh, pf24bit);
    for (int y = 0; y < sh; ++y)
        for (size_t x = 0; x < src.RowBytes(); ++x)
            src.ScanLine(y)[x] = static_cast<uint8_t>(byte(rng));
    const TResampler::TAxis ax = TResampler::MakeAxis(sw, dw), ay = TResampler::MakeAxis(sh, dh);
    auto clamp8 = [](int64_t v) { return static_cast<uint8_t>(std::clamp<int64_t>(v, 0, 255)); };
    std::vector<uint8_t> across(static_cast<size_t>(sh) * dw * 3);
    for (int y = 0; y < sh; ++y)
        for (int x = 0; x < dw; ++x)
            for (int c = 0; c < 3; ++c) {
                int64_t acc = TResampler::TAxis::One / 2;
                for (int k = 0; k < ax.Count[x]; ++k)
                    acc += int64_t(ax.Weights[ax.Offset[x] + k]) *
                           src.ScanLine(y)[3 * (ax.First[x] + k) + c];
                across[(size_t(y) * dw + x) * 3 + c] = clamp8(acc >> TResampler::TAxis::Bits);
            }
    for (int parts : {1, 3}) {
        SCOPED_TRACE(parts);
        const std::unique_ptr<TBitmap> out =
            TResampler::Resample(src, dw, dh, false, BestResamplePath(), parts);
        int bad = 0;
        for (int y = 0; y < dh; ++y)
            for (int i = 0; i < dw * 3; ++i) {
                int64_t acc = TResampler::TAxis::One / 2;
                for (int k = 0; k < ay.Count[y]; ++k)
                    acc += int64_t(ay.Weights[ay.Offset[y] + k]) *
                           across[size_t(ay.First[y] + k) * dw * 3 + i];
                bad += out->ScanLine(y)[i] != clamp8(acc >> TResampler::TAxis::Bits);
            }
        EXPECT_EQ(bad, 0);
    }
}

TEST(Resampler, RowsResampledAsTheyArriveGiveTheWholePictureBytes) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> byte(0, 255);
    // Shrinks of every strength, one that keeps a side, a mild one, and
    // pictures taller than a band; rows pushed in uneven pieces.
    const std::array<int, 4> sizes[] = {{640, 480, 200, 150}, {333, 517, 37, 61},
                                        {90, 1200, 11, 700},  {301, 40, 300, 13},
                                        {64, 64, 63, 62},     {2000, 9, 30, 3}};
    int compared = 0;
    for (const auto& [sw, sh, dw, dh] : sizes)
        for (int channels : {3, 4}) {
            SCOPED_TRACE(testing::Message() << sw << "x" << sh << " -> " << dw << "x" << dh << ", "
                                            << channels << " bytes a pixel");
            if (!TRowResampler::Suits(sw, sh, dw, dh)) continue;
            ++compared;
            TBitmap src = Picture(sw, sh, channels == 3 ? pf24bit : pf32bit);
            for (int y = 0; y < sh; ++y)
                for (size_t x = 0; x < src.RowBytes(); ++x)
                    src.ScanLine(y)[x] = static_cast<uint8_t>(byte(rng));
            const std::unique_ptr<TBitmap> whole = TResampler::Resample(src, dw, dh, false);
            for (TResamplePath path :
                 {TResamplePath::Scalar, TResamplePath::SSE2, TResamplePath::AVX2}) {
                if (!ResamplePathSupported(path)) continue;
                TRowResampler rows(sw, sh, dw, dh, channels, path);
                for (int y = 0, piece = 1; y < sh; y += piece, piece = piece % 7 + 1)
                    rows.Push(src.ScanLine(y), src.BytesPerScanLine(), std::min(piece, sh - y));
                const std::unique_ptr<TBitmap> out = rows.Finish();
                for (int y = 0; y < dh; ++y)
                    ASSERT_EQ(0,
                              std::memcmp(out->ScanLine(y), whole->ScanLine(y), whole->RowBytes()))
                        << "row " << y << " path " << static_cast<int>(path);
            }
        }
    EXPECT_GE(compared, 6); // half the sizes filter horizontally first
    // A picture that stops early is an error, not a half-filled result.
    TBitmap src = Picture(50, 40, pf24bit);
    TRowResampler rows(50, 40, 10, 8, 3);
    rows.Push(src.ScanLine(0), src.BytesPerScanLine(), 30);
    EXPECT_THROW(rows.Finish(), EInvalidGraphic);
    EXPECT_FALSE(TRowResampler::Suits(50, 40, 50, 40));
}
