// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Resampler.h"

#include "base/Exceptions.h"
#include "base/SpareCores.h"
#include "convert/ResamplerKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

double Sinc(double x) {
    if (x == 0) return 1;
    const double px = std::numbers::pi * x;
    return std::sin(px) / px;
}

// Position j of a line of n pixels mirrored about its first and last pixels
// (-1 is 1, n is n - 2), repeated for windows wider than the line.
int MirrorIndex(int j, int n) {
    if (n == 1) return 0;
    const int period = 2 * (n - 1);
    j = std::abs(j) % period;
    return j < n ? j : period - j;
}

// Filter the cheaper way round: horizontal first costs every used source
// row at the output width; vertical first every output row at the source width.
bool HorizontalFirst(int sw, int dw, int dh, const TResampler::TAxis& ax,
                     const TResampler::TAxis& ay) {
    const int rowFirst = ay.First.front();
    const int rowLast = ay.First.back() + ay.Count.back();
    const double hFirst = static_cast<double>(rowLast - rowFirst) * dw * ax.MaxCount +
                          static_cast<double>(dh) * dw * ay.MaxCount;
    const double vFirst =
        static_cast<double>(dh) * sw * ay.MaxCount + static_cast<double>(dh) * dw * ax.MaxCount;
    return hFirst <= vFirst;
}

// Output rows filtered together when the horizontal pass goes first.
constexpr int BandRows = 256;

// Not zeroed: the first pass writes every byte before the second reads it.
std::unique_ptr<uint8_t[]> AllocateBuffer(size_t bytes) {
    try {
        return std::make_unique_for_overwrite<uint8_t[]>(bytes);
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
}

void ResampleChannels(int C, const TBitmap& src, TBitmap& dst, const TResampler::TAxis& ax,
                      const TResampler::TAxis& ay, TResamplePath path, int parts) {
    const int sw = src.Width();
    const int dw = dst.Width(), dh = dst.Height();
    const uint8_t* s = src.ScanLine(0);
    const size_t ss = src.BytesPerScanLine();
    uint8_t* d = dst.ScanLine(0);
    const size_t ds = dst.BytesPerScanLine();
    // Every row is computed as it would be alone, so any split gives the same bytes.
    if (HorizontalFirst(sw, dw, dh, ax, ay)) {
        // In bands of output rows: only the source rows a band uses are
        // filtered horizontally, into a buffer of that band's size, so the
        // intermediate picture never exists whole. Neighbouring bands share
        // a window's worth of source rows, which each filters again.
        const size_t ts = static_cast<size_t>(dw) * static_cast<size_t>(C);
        SpareCores::RunRanges(dh, parts, [&](int first, int last) {
            std::unique_ptr<uint8_t[]> band;
            int bandRows = 0;
            for (int y0 = first; y0 < last; y0 += BandRows) {
                const int y1 = std::min(last, y0 + BandRows);
                int r0 = ay.First[y0], r1 = r0;
                for (int y = y0; y < y1; ++y) {
                    r0 = std::min(r0, ay.First[y]);
                    r1 = std::max(r1, ay.First[y] + ay.Count[y]);
                }
                if (r1 - r0 > bandRows) {
                    band.reset();
                    band = AllocateBuffer(ts * static_cast<size_t>(r1 - r0));
                    bandRows = r1 - r0;
                }
                ResampleRowsHorizontal(path, C, s, ss, sw, band.get(), ts, r0, r1, ax);
                ResampleRowsVertical(path, band.get(), ts, d, ds, ts, r0, y0, y1, ay);
            }
        });
    } else {
        const size_t ts = static_cast<size_t>(sw) * static_cast<size_t>(C);
        std::unique_ptr<uint8_t[]> tmp = AllocateBuffer(ts * static_cast<size_t>(dh));
        SpareCores::RunRanges(dh, parts, [&](int first, int last) {
            ResampleRowsVertical(path, s, ss, tmp.get(), ts, ts, 0, first, last, ay);
        });
        SpareCores::RunRanges(dh, parts, [&](int first, int last) {
            ResampleRowsHorizontal(path, C, tmp.get(), ts, sw, d + first * ds, ds, first, last, ax);
        });
    }
}

} // namespace

double TResampler::Lanczos3(double x) {
    x = std::fabs(x);
    return x < 3 ? Sinc(x) * Sinc(x / 3) : 0;
}

double TResampler::CatmullRom(double x) {
    x = std::fabs(x);
    if (x < 1) return 1.5 * x * x * x - 2.5 * x * x + 1;
    if (x < 2) return -0.5 * x * x * x + 2.5 * x * x - 4 * x + 2;
    return 0;
}

TResampler::TAxis TResampler::MakeAxis(int srcSize, int dstSize) {
    TAxis a;
    const double scale = static_cast<double>(srcSize) / dstSize;
    const bool shrink = scale > 1;
    // Shrinking widens the kernel by the scale, so it averages over every
    // source pixel that falls in the output pixel and its neighbours.
    const double filterScale = shrink ? scale : 1.0;
    const double support = (shrink ? 3.0 : 2.0) * filterScale;
    double (*kernel)(double) = shrink ? Lanczos3 : CatmullRom;
    a.First.resize(dstSize);
    a.Count.resize(dstSize);
    a.Offset.resize(dstSize);
    a.Weights.reserve(static_cast<size_t>(dstSize) * static_cast<size_t>(2 * support + 2));
    std::vector<double> w;
    for (int i = 0; i < dstSize; ++i) {
        // Pixel centres sit at half-integer positions on both axes.
        const double centre = (i + 0.5) * scale;
        const int from = static_cast<int>(std::floor(centre - support));
        const int to = static_cast<int>(std::ceil(centre + support));
        // Beyond the edges the picture is mirrored about its outer pixels, so
        // a window reaching past an edge keeps its balance (one-pixel stripes
        // stay even up to the border) and the weights stay on real pixels.
        int left = std::max(from, 0), right = std::min(to, srcSize);
        for (int j = from; j < to; ++j) {
            const int m = MirrorIndex(j, srcSize);
            left = std::min(left, m);
            right = std::max(right, m + 1);
        }
        w.assign(static_cast<size_t>(right - left), 0.0);
        double sum = 0;
        for (int j = from; j < to; ++j) {
            const double v = kernel((j + 0.5 - centre) / filterScale);
            w[MirrorIndex(j, srcSize) - left] += v;
            sum += v;
        }
        // Zero weights at either end cost work for nothing.
        int lo = 0, hi = right - left;
        while (lo < hi && w[lo] == 0)
            ++lo;
        while (hi > lo && w[hi - 1] == 0)
            --hi;
        if (lo == hi || sum == 0) { // cannot happen for a kernel of value 1 at 0; kept safe
            lo = 0;
            hi = 1;
            w.assign(1, 1.0);
            sum = 1;
            left = std::clamp(static_cast<int>(centre), 0, srcSize - 1);
        }
        // Fixed point, each weight rounded; the rounding remainder goes to the
        // largest weight so that a flat area stays exactly flat.
        a.First[i] = left + lo;
        a.Count[i] = hi - lo;
        a.Offset[i] = a.Weights.size();
        int32_t total = 0;
        size_t largest = a.Weights.size();
        for (int k = lo; k < hi; ++k) {
            const int32_t q = static_cast<int32_t>(std::lround(w[k] / sum * TAxis::One));
            if (a.Weights.size() == largest || q > a.Weights[largest]) largest = a.Weights.size();
            a.Weights.push_back(q);
            total += q;
        }
        a.Weights[largest] += TAxis::One - total;
        a.MaxCount = std::max(a.MaxCount, hi - lo);
    }
    SplitWeights(a);
    return a;
}

std::unique_ptr<TBitmap> TResampler::Resample(const TBitmap& src, int width, int height,
                                              bool alpha) {
    return Resample(src, width, height, alpha, BestResamplePath(), 0);
}

std::unique_ptr<TBitmap> TResampler::Resample(const TBitmap& source, int width, int height,
                                              bool alpha, TResamplePath path, int parts) {
    const int bits = source.BitsPerPixel();
    if (bits != 24 && bits != 32) throw EInvalidGraphic("Invalid pixel format");
    CheckRasterSize(width, height);
    auto dst = std::make_unique<TBitmap>();
    dst->SetPixelFormat(bits == 24 ? pf24bit : pf32bit);
    dst->SetSizeForOverwrite(width, height);
    if (source.Width() <= 0 || source.Height() <= 0) return dst;
    // Filtered in premultiplied alpha: a private copy; an opaque picture is read as it is.
    std::unique_ptr<TBitmap> premultiplied;
    if (alpha) {
        premultiplied = std::make_unique<TBitmap>(source);
        PremultiplyAlpha(*premultiplied);
    }
    const TBitmap& src = alpha ? *premultiplied : source;
    const TAxis ax = MakeAxis(src.Width(), width);
    const TAxis ay = MakeAxis(src.Height(), height);
    if (parts > 0) {
        ResampleChannels(bits / 8, src, *dst, ax, ay, path, parts);
    } else {
        // A large picture's passes are split by rows over the cores a
        // parallel batch leaves idle.
        const int64_t pixels = static_cast<int64_t>(src.Width()) * src.Height();
        SpareCores::TBorrowed cores(pixels >= ParallelPixels ? 64 : 0);
        ResampleChannels(bits / 8, src, *dst, ax, ay, path, 1 + cores.Count);
    }
    if (alpha) UnpremultiplyAlpha(*dst);
    return dst;
}

std::unique_ptr<TBitmap> TResampler::ResampleNearest(const TBitmap& src, int width, int height) {
    const int bits = src.BitsPerPixel();
    if (bits != 24 && bits != 32) throw EInvalidGraphic("Invalid pixel format");
    CheckRasterSize(width, height);
    auto dst = std::make_unique<TBitmap>();
    dst->SetPixelFormat(bits == 24 ? pf24bit : pf32bit);
    dst->SetSizeForOverwrite(width, height);
    const int sw = src.Width(), sh = src.Height(), b = bits / 8;
    if (sw <= 0 || sh <= 0) return dst;
    std::vector<int> cols(static_cast<size_t>(width));
    for (int x = 0; x < width; ++x)
        cols[x] = static_cast<int>(((2 * int64_t(x) + 1) * sw) / (2 * int64_t(width)));
    for (int y = 0; y < height; ++y) {
        const int sy = static_cast<int>(((2 * int64_t(y) + 1) * sh) / (2 * int64_t(height)));
        const uint8_t* s = src.ScanLine(sy);
        uint8_t* d = dst->ScanLine(y);
        for (int x = 0; x < width; ++x)
            std::memcpy(d + static_cast<size_t>(x) * b, s + static_cast<size_t>(cols[x]) * b, b);
    }
    return dst;
}

void PremultiplyAlpha(TBitmap& raster) {
    if (raster.BitsPerPixel() != 32) return;
    for (int y = 0; y < raster.Height(); ++y) {
        uint8_t* p = raster.ScanLine(y);
        for (int x = 0; x < raster.Width(); ++x, p += 4) {
            const int a = p[3];
            if (a == 255) continue;
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>((p[c] * a + 127) / 255);
        }
    }
}

void UnpremultiplyAlpha(TBitmap& raster) {
    if (raster.BitsPerPixel() != 32) return;
    for (int y = 0; y < raster.Height(); ++y) {
        uint8_t* p = raster.ScanLine(y);
        for (int x = 0; x < raster.Width(); ++x, p += 4) {
            const int a = p[3];
            if (a == 255) continue;
            if (a == 0) {
                p[0] = p[1] = p[2] = 0;
                continue;
            }
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>(std::min(255, (p[c] * 255 + a / 2) / a));
        }
    }
}

// ---- TRowResampler

bool TRowResampler::Suits(int srcWidth, int srcHeight, int width, int height) {
    if (srcWidth <= 0 || srcHeight <= 0 || width <= 0 || height <= 0) return false;
    if (srcWidth == width && srcHeight == height) return false;
    return HorizontalFirst(srcWidth, width, height, TResampler::MakeAxis(srcWidth, width),
                           TResampler::MakeAxis(srcHeight, height));
}

TRowResampler::TRowResampler(int srcWidth, int srcHeight, int width, int height, int channels)
    : TRowResampler(srcWidth, srcHeight, width, height, channels, BestResamplePath()) {}

TRowResampler::TRowResampler(int srcWidth, int srcHeight, int width, int height, int channels,
                             TResamplePath path)
    : FPath(path), FSourceWidth(srcWidth), FSourceHeight(srcHeight), FChannels(channels) {
    if (channels != 3 && channels != 4) throw EInvalidGraphic("Invalid pixel format");
    if (srcWidth <= 0 || srcHeight <= 0) throw EInvalidGraphic("Invalid image size");
    CheckRasterSize(width, height);
    FX = TResampler::MakeAxis(srcWidth, width);
    FY = TResampler::MakeAxis(srcHeight, height);
    FRowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
    // Output rows go out in order, each once the newest row it needs is in:
    // the ring must reach from that newest row back to the window's first.
    int newest = -1;
    FRing = 1;
    for (int y = 0; y < height; ++y) {
        newest = std::max(newest, FY.First[y] + FY.Count[y] - 1);
        FRing = std::max(FRing, newest - FY.First[y] + 1);
    }
    FRows = AllocateBuffer(FRowBytes * static_cast<size_t>(FRing));
    FResult = std::make_unique<TBitmap>();
    FResult->SetPixelFormat(channels == 3 ? pf24bit : pf32bit);
    FResult->SetSizeForOverwrite(width, height);
    FWindow.reserve(static_cast<size_t>(FY.MaxCount));
}

TRowResampler::~TRowResampler() = default;

void TRowResampler::Push(const uint8_t* rows, size_t stride, int count) {
    const int height = FResult->Height();
    for (int i = 0; i < count && FReceived < FSourceHeight; ++i) {
        uint8_t* slot = FRows.get() + static_cast<size_t>(FReceived % FRing) * FRowBytes;
        ResampleRowsHorizontal(FPath, FChannels, rows + static_cast<size_t>(i) * stride, stride,
                               FSourceWidth, slot, FRowBytes, 0, 1, FX);
        ++FReceived;
        while (FNextOut < height && FY.First[FNextOut] + FY.Count[FNextOut] <= FReceived) {
            FWindow.clear();
            for (int k = 0; k < FY.Count[FNextOut]; ++k)
                FWindow.push_back(FRows.get() +
                                  static_cast<size_t>((FY.First[FNextOut] + k) % FRing) *
                                      FRowBytes);
            ResampleRowVertical(FPath, FWindow.data(), FResult->ScanLine(FNextOut), FRowBytes,
                                FNextOut, FY);
            ++FNextOut;
        }
    }
}

std::unique_ptr<TBitmap> TRowResampler::Finish() {
    if (!FResult || FNextOut < FResult->Height())
        throw EInvalidGraphic("The picture ended before all its rows were resampled");
    FRows.reset();
    return std::move(FResult);
}
