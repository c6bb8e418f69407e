// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Resampler.h"

#include "base/Exceptions.h"

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

inline uint8_t Clamp8(int32_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

constexpr int32_t Half = TResampler::TAxis::One / 2;

// Horizontal pass over rows [y0, y1) of src into dst (rows of the output width).
template <int C>
void HorizontalPass(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride, int y0,
                    int y1, const TResampler::TAxis& ax) {
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
                d[x * C + c] = Clamp8(acc[c] >> TResampler::TAxis::Bits);
        }
    }
}

// Vertical pass: output row y is the weighted sum of whole source rows,
// which runs along memory and keeps the accumulators in one short buffer.
void VerticalPass(const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                  size_t rowBytes, int srcRowOffset, const TResampler::TAxis& ay) {
    const int dh = static_cast<int>(ay.First.size());
    std::vector<int32_t> acc(rowBytes);
    for (int y = 0; y < dh; ++y) {
        std::fill(acc.begin(), acc.end(), Half);
        const int32_t* w = ay.Weights.data() + ay.Offset[y];
        for (int k = 0; k < ay.Count[y]; ++k) {
            const uint8_t* r =
                src + static_cast<size_t>(ay.First[y] + k - srcRowOffset) * srcStride;
            const int32_t wk = w[k];
            int32_t* a = acc.data();
            for (size_t i = 0; i < rowBytes; ++i)
                a[i] += wk * r[i];
        }
        uint8_t* d = dst + static_cast<size_t>(y) * dstStride;
        for (size_t i = 0; i < rowBytes; ++i)
            d[i] = Clamp8(acc[i] >> TResampler::TAxis::Bits);
    }
}

std::vector<uint8_t> AllocateBuffer(size_t bytes) {
    try {
        return std::vector<uint8_t>(bytes);
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
}

template <int C>
void ResampleChannels(const TBitmap& src, TBitmap& dst, const TResampler::TAxis& ax,
                      const TResampler::TAxis& ay) {
    const int sw = src.Width(), sh = src.Height();
    const int dw = dst.Width(), dh = dst.Height();
    const uint8_t* s = src.ScanLine(0);
    const size_t ss = src.BytesPerScanLine();
    uint8_t* d = dst.ScanLine(0);
    const size_t ds = dst.BytesPerScanLine();
    // Only the source rows some output row uses are filtered horizontally.
    const int rowFirst = ay.First.front();
    const int rowLast = ay.First.back() + ay.Count.back();
    // Filter the cheaper way round: horizontal first costs every used source
    // row at the output width; vertical first every output row at the source width.
    const double hFirst = static_cast<double>(rowLast - rowFirst) * dw * ax.MaxCount +
                          static_cast<double>(dh) * dw * ay.MaxCount;
    const double vFirst =
        static_cast<double>(dh) * sw * ay.MaxCount + static_cast<double>(dh) * dw * ax.MaxCount;
    if (hFirst <= vFirst) {
        const size_t ts = static_cast<size_t>(dw) * C;
        std::vector<uint8_t> tmp = AllocateBuffer(ts * static_cast<size_t>(rowLast - rowFirst));
        HorizontalPass<C>(s, ss, tmp.data(), ts, rowFirst, rowLast, ax);
        VerticalPass(tmp.data(), ts, d, ds, ts, rowFirst, ay);
    } else {
        const size_t ts = static_cast<size_t>(sw) * C;
        std::vector<uint8_t> tmp = AllocateBuffer(ts * static_cast<size_t>(dh));
        VerticalPass(s, ss, tmp.data(), ts, ts, 0, ay);
        HorizontalPass<C>(tmp.data(), ts, d, ds, 0, dh, ax);
    }
    (void)sh;
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
    return a;
}

std::unique_ptr<TBitmap> TResampler::Resample(TBitmap& src, int width, int height, bool alpha) {
    const int bits = src.BitsPerPixel();
    if (bits != 24 && bits != 32) throw EInvalidGraphic("Invalid pixel format");
    CheckRasterSize(width, height);
    auto dst = std::make_unique<TBitmap>();
    dst->SetPixelFormat(bits == 24 ? pf24bit : pf32bit);
    dst->SetSizeForOverwrite(width, height);
    if (src.Width() <= 0 || src.Height() <= 0) return dst;
    if (alpha) PremultiplyAlpha(src);
    const TAxis ax = MakeAxis(src.Width(), width);
    const TAxis ay = MakeAxis(src.Height(), height);
    if (bits == 24)
        ResampleChannels<3>(src, *dst, ax, ay);
    else
        ResampleChannels<4>(src, *dst, ax, ay);
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
