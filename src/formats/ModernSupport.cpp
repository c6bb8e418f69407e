// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/ModernSupport.h"

#include "base/StrUtils.h"

#include <algorithm>
#include <cstring>
#include <jxl/thread_parallel_runner.h>
#include <sched.h>

std::string ModernInvalidMessage(const char* format) {
    return Format("Cannot load image. Invalid or unexpected %s image format.", format);
}

std::string ModernTruncatedMessage(const char* format) {
    return Format("Cannot load image. The %s file is truncated.", format);
}

void StoreInterleaved(TBitmap& bitmap, const uint8_t* pixels, size_t stride, int channels,
                      bool bgr) {
    const int w = bitmap.Width(), h = bitmap.Height();
    const int r = bgr ? 2 : 0, b = bgr ? 0 : 2;
    std::vector<uint8_t> alpha;
    bool translucent = false;
    if (channels == 4) alpha.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const uint8_t* in = pixels + static_cast<size_t>(y) * stride;
        uint8_t* out = bitmap.ScanLine(y);
        if (channels == 3) {
            for (int x = 0; x < w; ++x, in += 3, out += 3) {
                out[0] = in[b];
                out[1] = in[1];
                out[2] = in[r];
            }
            continue;
        }
        uint8_t* a = alpha.data() + static_cast<size_t>(y) * w;
        uint8_t all = 255;
        for (int x = 0; x < w; ++x, in += 4, out += 3) {
            out[0] = in[b];
            out[1] = in[1];
            out[2] = in[r];
            a[x] = in[3];
            all &= in[3];
        }
        translucent |= all != 255;
    }
    // A plane that says "opaque" everywhere carries nothing: drop it, as a file without alpha.
    bitmap.SetAlphaChannel(translucent ? std::move(alpha) : std::vector<uint8_t>());
}

bool HasUsefulAlpha(const TBitmap& bitmap) {
    const std::vector<uint8_t>& a = bitmap.AlphaChannel();
    if (a.size() != static_cast<size_t>(bitmap.Width()) * bitmap.Height()) return false;
    return std::any_of(a.begin(), a.end(), [](uint8_t v) { return v != 255; });
}

TInterleavedPixels GatherInterleaved(const TBitmap& bitmap) {
    return GatherInterleavedRegion(bitmap, 0, 0, bitmap.Width(), bitmap.Height(),
                                   HasUsefulAlpha(bitmap) ? 4 : 3);
}

TInterleavedPixels GatherInterleavedRegion(const TBitmap& bitmap, int left, int top, int width,
                                           int height, int channels) {
    TInterleavedPixels p;
    p.Width = width;
    p.Height = height;
    const bool alpha = channels == 4;
    p.Channels = alpha ? 4 : 3;
    p.Data.resize(p.Stride() * p.Height);
    std::vector<uint8_t> row(static_cast<size_t>(bitmap.Width()) * 4);
    const uint8_t* plane = alpha ? bitmap.AlphaChannel().data() : nullptr;
    const size_t planeWidth = static_cast<size_t>(bitmap.Width());
    for (int ty = 0; ty < p.Height; ++ty) {
        const int y = top + ty;
        uint8_t* out = p.Data.data() + p.Stride() * ty;
        const uint8_t* a = alpha ? plane + static_cast<size_t>(y) * planeWidth + left : nullptr;
        if (bitmap.PixelFormat() == pf24bit) {
            const uint8_t* in = bitmap.ScanLine(y) + static_cast<size_t>(left) * 3;
            if (!alpha) {
                for (int x = 0; x < p.Width; ++x, in += 3, out += 3) {
                    out[0] = in[2];
                    out[1] = in[1];
                    out[2] = in[0];
                }
                continue;
            }
            for (int x = 0; x < p.Width; ++x, in += 3, out += 4) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
                out[3] = a[x];
            }
            continue;
        }
        bitmap.GetRowBGRX(y, row.data());
        const uint8_t* in = row.data() + static_cast<size_t>(left) * 4;
        for (int x = 0; x < p.Width; ++x, in += 4) {
            *out++ = in[2];
            *out++ = in[1];
            *out++ = in[0];
            if (alpha) *out++ = a[x];
        }
    }
    return p;
}

namespace {
// The processors this process may run on (libjxl's own default counts every
// processor of the machine, also those a container or affinity mask keeps away).
size_t UsableProcessors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<size_t>(CPU_COUNT(&set));
    return 1;
}
} // namespace

TJxlThreads::TJxlThreads()
    : FRunner(JxlThreadParallelRunnerCreate(
          nullptr, std::min<size_t>({UsableProcessors(), 8,
                                     JxlThreadParallelRunnerDefaultNumWorkerThreads()}))) {}

TJxlThreads::~TJxlThreads() {
    if (FRunner) JxlThreadParallelRunnerDestroy(FRunner);
}

namespace {
bool IsTiffHeader(const uint8_t* p, size_t left) {
    return left >= 8 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
                         (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42));
}
} // namespace

std::string ExifFromApp1Form(const uint8_t* data, size_t size) {
    // Some writers keep JPEG's "Exif\0\0" in the chunk; the block itself starts after it.
    if (size >= 6 && std::memcmp(data, "Exif\0\0", 6) == 0) {
        data += 6;
        size -= 6;
    }
    if (!IsTiffHeader(data, size)) return std::string();
    return std::string(reinterpret_cast<const char*>(data), size);
}

std::string ExifFromBoxForm(const uint8_t* data, size_t size) {
    if (size < 4) return std::string();
    const uint32_t offset =
        (uint32_t(data[0]) << 24) | (uint32_t(data[1]) << 16) | (uint32_t(data[2]) << 8) | data[3];
    if (offset > size - 4) return std::string();
    return ExifFromApp1Form(data + 4 + offset, size - 4 - offset);
}

std::string ExifToBoxForm(const std::string& tiff) {
    return std::string(4, '\0') + tiff;
}

int ExifOrientation(const std::string& tiff) {
    const auto* p = reinterpret_cast<const uint8_t*>(tiff.data());
    const size_t n = tiff.size();
    if (!IsTiffHeader(p, n)) return 1;
    const bool le = p[0] == 'I';
    auto u16 = [&](size_t o) -> uint32_t {
        return le ? (p[o] | (p[o + 1] << 8)) : ((p[o] << 8) | p[o + 1]);
    };
    auto u32 = [&](size_t o) -> uint32_t {
        return le ? (u16(o) | (u16(o + 2) << 16)) : ((u16(o) << 16) | u16(o + 2));
    };
    const uint64_t ifd = u32(4);
    if (ifd + 2 > n) return 1;
    const uint32_t count = u16(ifd);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t e = ifd + 2 + uint64_t(i) * 12;
        if (e + 12 > n) break;
        // Type 3 (SHORT), one value, stored in the first two bytes of the value field.
        if (u16(e) == 0x0112 && u16(e + 2) == 3 && u32(e + 4) == 1) {
            const uint32_t v = u16(e + 8);
            return v >= 1 && v <= 8 ? static_cast<int>(v) : 1;
        }
    }
    return 1;
}
