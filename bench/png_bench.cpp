// SPDX-License-Identifier: GPL-3.0-or-later
// Micro-benchmarks of the PNG writer and reader on a 10-megapixel synthetic
// photo (smooth gradients with a little noise, about 2.5:1 compressible like
// the benchmark photos): the row filters alone, a whole save through zlib and
// through libdeflate, and a load. Counters are megapixels per second.
#include "png/PNGDeflate.h"
#include "png/PNGFilters.h"
#include "png/PNGImage.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr int PhotoWidth = 3872, PhotoHeight = 2592;

void FillPhoto(TBitmap& b) {
    uint32_t seed = 1;
    for (int y = 0; y < b.Height(); ++y) {
        uint8_t* row = b.ScanLine(y);
        for (int x = 0; x < b.Width(); ++x) {
            const double base =
                128 + 60 * std::sin(x * 0.004 + y * 0.002) + 40 * std::cos(y * 0.011 - x * 0.003);
            for (int c = 0; c < 3; ++c) {
                seed = seed * 1664525u + 1013904223u;
                const int noise = static_cast<int>(seed >> 30) - 1;
                const double v =
                    base + 20 * std::sin((x + c * 300) * 0.02) * std::cos(y * 0.015) + noise;
                row[4 * x + c] =
                    static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v)), 0, 255));
            }
            row[4 * x + 3] = 0;
        }
    }
}

TPNGImage& Photo() {
    static TPNGImage* photo = [] {
        auto* p = new TPNGImage;
        p->SetPixelFormat(pfDevice);
        p->SetSize(PhotoWidth, PhotoHeight);
        FillPhoto(*p);
        return p;
    }();
    return *photo;
}

void SetRate(benchmark::State& state) {
    state.counters["MP/s"] = benchmark::Counter(static_cast<double>(PhotoWidth) * PhotoHeight / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_FilterChoice(benchmark::State& state) {
    TPNGImage& photo = Photo();
    for (auto _ : state) {
        TPNGRowFilter filter(3 * static_cast<size_t>(PhotoWidth), 3, photo.Filters());
        for (int y = 0; y < PhotoHeight; ++y) {
            const uint8_t* scan = photo.ScanLine(y);
            uint8_t* raw = filter.RawRow();
            for (int x = 0; x < PhotoWidth; ++x) {
                raw[3 * x] = scan[4 * x + 2];
                raw[3 * x + 1] = scan[4 * x + 1];
                raw[3 * x + 2] = scan[4 * x];
            }
            benchmark::DoNotOptimize(filter.Next());
        }
    }
    SetRate(state);
}

void BM_Save(benchmark::State& state) {
    SetPNGUseLibdeflate(state.range(0) != 0);
    TPNGImage& photo = Photo();
    size_t size = 0;
    for (auto _ : state) {
        TMemoryStream out;
        photo.SaveToStream(out);
        size = out.Data().size();
    }
    state.counters["bytes"] = static_cast<double>(size);
    SetRate(state);
    SetPNGUseLibdeflate(true);
}

void BM_Load(benchmark::State& state) {
    TMemoryStream file;
    Photo().SaveToStream(file);
    for (auto _ : state) {
        TPNGImage image;
        TReadOnlyMemoryStream in(file.Memory(), file.Data().size());
        image.LoadFromStream(in);
        benchmark::DoNotOptimize(image.ScanLine(0));
    }
    SetRate(state);
}

} // namespace

BENCHMARK(BM_FilterChoice)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Save)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
