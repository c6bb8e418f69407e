// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/Decoders.h"

#include <algorithm>
#include <cstring>

void TPackbitsRLEDecoder::Unpack(const uint8_t*& source, uint8_t*& target, int32_t packedSize,
                                 int32_t unpackedSize) {
    const uint8_t* s = source;
    uint8_t* t = target;
    int32_t packed = packedSize, unpacked = unpackedSize;
    while (unpacked > 0 && packed > 0) {
        int h = static_cast<int8_t>(*s++);
        --packed;
        if (h >= 0) {
            int32_t n = std::min({h + 1, unpacked, packed});
            std::memcpy(t, s, static_cast<size_t>(n));
            t += n;
            s += n;
            unpacked -= n;
            packed -= n;
        } else if (h != -128) {
            if (packed <= 0) break; // the repeated byte is missing
            int32_t n = std::min(1 - h, unpacked);
            std::memset(t, *s++, static_cast<size_t>(n));
            --packed;
            t += n;
            unpacked -= n;
        }
    }
    FUnpacked = unpackedSize - unpacked;
}

void TPCXRLEDecoder::Unpack(const uint8_t*& source, uint8_t*& target, int32_t packedSize,
                            int32_t unpackedSize) {
    const uint8_t* s = source;
    const uint8_t* end = source + std::max(packedSize, 0);
    uint8_t* t = target;
    int32_t unpacked = unpackedSize;
    while (unpacked > 0 && s < end) {
        uint8_t b = *s++;
        if (b >= 0xC0) {
            if (s >= end) break; // a run count without its byte
            int32_t n = std::min<int32_t>(b & 0x3F, unpacked);
            std::memset(t, *s++, static_cast<size_t>(n));
            t += n;
            unpacked -= n;
        } else {
            *t++ = b;
            --unpacked;
        }
    }
    FUnpacked = unpackedSize - unpacked;
}
