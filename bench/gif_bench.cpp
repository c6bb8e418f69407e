// SPDX-License-Identifier: GPL-3.0-or-later
// Micro-benchmarks of the GIF writer and reader on a 10-megapixel synthetic
// photo (smooth gradients, texture and noise, so the palette, the ditherer
// and the LZW coder see photo-like statistics).
#include "gif/ColorReduction.h"
#include "gif/GIFImage.h"
#include "jpeg/JPEGImage.h"
#include "toolkit/Bitmap.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// GIF_BENCH_PHOTO names a JPEG to use instead (a photo of the benchmark batch).
TBitmap RealPhoto(const char* fileName) {
    TJPEGImage jpeg;
    jpeg.LoadFromFile(fileName);
    TBitmap b(jpeg.Width(), jpeg.Height(), pfDevice);
    if (!jpeg.DecodeInto(b)) b.Canvas().StretchDraw(Rect(0, 0, b.Width(), b.Height()), jpeg);
    return b;
}

const TBitmap& Photo() {
    static const TBitmap photo = [] {
        if (const char* real = std::getenv("GIF_BENCH_PHOTO")) return RealPhoto(real);
        const int w = 3872, h = 2592; // 10 MP, a common camera size
        TBitmap b(w, h, pfDevice);
        uint32_t seed = 1;
        for (int y = 0; y < h; ++y) {
            uint8_t* row = b.ScanLine(y);
            for (int x = 0; x < w; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int noise = static_cast<int>(seed >> 28) - 8;
                const double fx = x / static_cast<double>(w), fy = y / static_cast<double>(h);
                const double sky = 1.0 - fy;
                const double texture = std::sin(x * 0.05 + std::sin(y * 0.031) * 3) * 0.5 + 0.5;
                int r = static_cast<int>(90 + 120 * sky * fx + 40 * texture) + noise;
                int g = static_cast<int>(110 + 100 * sky + 30 * texture * fy) + noise;
                int bl = static_cast<int>(60 + 180 * sky - 50 * texture * fx) + noise;
                if ((x / 400 + y / 300) % 5 == 0) r = 255 - r / 2; // hard-edged objects
                row[x * 4] = static_cast<uint8_t>(std::clamp(bl, 0, 255));
                row[x * 4 + 1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
                row[x * 4 + 2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
                row[x * 4 + 3] = 0;
            }
        }
        return b;
    }();
    return photo;
}

void BM_OptimalPalette(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(CreateOptimizedPalette(Photo(), 256, false));
    state.SetItemsProcessed(state.iterations() * Photo().Width() * Photo().Height());
}

void BM_DitherToPalette(benchmark::State& state) {
    const TPalette palette = CreateOptimizedPalette(Photo(), 256, false);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            ReduceColors(Photo(), ReduceGivenPalette, DitherFloydSteinberg, &palette, 8));
    state.SetItemsProcessed(state.iterations() * Photo().Width() * Photo().Height());
}

// What a conversion does after decoding the JPEG: assign (reduce, dither) and save.
void BM_AssignAndSave(benchmark::State& state) {
    for (auto _ : state) {
        TGIFImage image;
        image.SetColorReduction(static_cast<int>(state.range(0)));
        image.Assign(Photo());
        TMemoryStream out;
        image.SaveToStream(out);
        state.counters["bytes"] = static_cast<double>(out.Size());
    }
    state.SetItemsProcessed(state.iterations() * Photo().Width() * Photo().Height());
}

void BM_LoadAndDraw(benchmark::State& state) {
    TGIFImage image;
    image.Assign(Photo());
    TMemoryStream data;
    image.SaveToStream(data);
    for (auto _ : state) {
        TGIFImage back;
        data.SetPosition(0);
        back.LoadFromStream(data);
        TBitmap target(back.Width(), back.Height(), pfDevice);
        back.Draw(target.Canvas(), Rect(0, 0, back.Width(), back.Height()));
    }
    state.SetItemsProcessed(state.iterations() * Photo().Width() * Photo().Height());
}

} // namespace

BENCHMARK(BM_OptimalPalette)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DitherToPalette)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AssignAndSave)
    ->Arg(ReduceOptimal)
    ->Arg(ReduceHalftone256)
    ->Arg(ReduceNetscape216)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadAndDraw)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
