// SPDX-License-Identifier: GPL-3.0-or-later
// Whole-row pixel copies between 24/32-bit storage and BGRX (blue, green,
// red, 0). They work on words rather than bytes because every conversion runs
// through them; the fourth byte of each 32-bit pixel written is always 0.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace pixelrows {

inline uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void Store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}
constexpr bool kLittle = std::endian::native == std::endian::little;

// 32-bit pixels to 32-bit pixels with the fourth byte cleared.
inline void From32To32(uint8_t* dst, const uint8_t* src, int n) {
    if constexpr (kLittle) {
        for (int x = 0; x < n; ++x)
            Store32(dst + 4 * x, Load32(src + 4 * x) & 0x00FFFFFFu);
    } else {
        for (int x = 0; x < n; ++x) {
            dst[4 * x] = src[4 * x];
            dst[4 * x + 1] = src[4 * x + 1];
            dst[4 * x + 2] = src[4 * x + 2];
            dst[4 * x + 3] = 0;
        }
    }
}

inline void From24To32(uint8_t* dst, const uint8_t* src, int n) {
    int x = 0;
    if constexpr (kLittle) {
        // Four bytes are read per pixel, so the last pixel is done bytewise.
        for (; x + 1 < n; ++x)
            Store32(dst + 4 * x, Load32(src + 3 * x) & 0x00FFFFFFu);
    }
    for (; x < n; ++x) {
        dst[4 * x] = src[3 * x];
        dst[4 * x + 1] = src[3 * x + 1];
        dst[4 * x + 2] = src[3 * x + 2];
        dst[4 * x + 3] = 0;
    }
}

inline void From32To24(uint8_t* dst, const uint8_t* src, int n) {
    int x = 0;
    if constexpr (kLittle) {
        // Each store spills one byte into the next pixel, which is written next.
        for (; x + 1 < n; ++x)
            Store32(dst + 3 * x, Load32(src + 4 * x));
    }
    for (; x < n; ++x) {
        dst[3 * x] = src[4 * x];
        dst[3 * x + 1] = src[4 * x + 1];
        dst[3 * x + 2] = src[4 * x + 2];
    }
}

// Copies n pixels of a 24- or 32-bit source row into a 24- or 32-bit target row.
inline void CopyRow(uint8_t* dst, int dstBits, const uint8_t* src, int srcBits, int n) {
    if (dstBits == 32) {
        if (srcBits == 32)
            From32To32(dst, src, n);
        else
            From24To32(dst, src, n);
    } else if (srcBits == 32) {
        From32To24(dst, src, n);
    } else {
        std::memcpy(dst, src, static_cast<size_t>(n) * 3);
    }
}

// As CopyRow, taking target pixel i from source pixel map[i].
inline void CopyRowMapped(uint8_t* dst, int dstBits, const uint8_t* src, int srcBits,
                          const int* map, int n) {
    const int sb = srcBits / 8;
    if (dstBits == 32) {
        for (int i = 0; i < n; ++i) {
            const uint8_t* s = src + static_cast<size_t>(map[i]) * sb;
            uint8_t* d = dst + 4 * static_cast<size_t>(i);
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
            d[3] = 0;
        }
    } else {
        for (int i = 0; i < n; ++i) {
            const uint8_t* s = src + static_cast<size_t>(map[i]) * sb;
            uint8_t* d = dst + 3 * static_cast<size_t>(i);
            d[0] = s[0];
            d[1] = s[1];
            d[2] = s[2];
        }
    }
}

} // namespace pixelrows
