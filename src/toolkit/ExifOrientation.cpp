// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/ExifOrientation.h"

#include <cstring>

namespace {

struct TReader {
    const uint8_t* Data;
    size_t Size;
    bool Big;
    bool Has(size_t at, size_t n) const { return at <= Size && n <= Size - at; }
    uint16_t U16(size_t at) const {
        return Big ? static_cast<uint16_t>(Data[at] << 8 | Data[at + 1])
                   : static_cast<uint16_t>(Data[at + 1] << 8 | Data[at]);
    }
    uint32_t U32(size_t at) const {
        return Big ? (uint32_t(Data[at]) << 24 | uint32_t(Data[at + 1]) << 16 |
                      uint32_t(Data[at + 2]) << 8 | Data[at + 3])
                   : (uint32_t(Data[at + 3]) << 24 | uint32_t(Data[at + 2]) << 16 |
                      uint32_t(Data[at + 1]) << 8 | Data[at]);
    }
};

} // namespace

int ExifOrientation(const uint8_t* tiff, size_t size) {
    if (!tiff || size < 8) return 1;
    TReader r{tiff, size, false};
    if (tiff[0] == 'M' && tiff[1] == 'M')
        r.Big = true;
    else if (tiff[0] != 'I' || tiff[1] != 'I')
        return 1;
    if (r.U16(2) != 42) return 1;
    const size_t ifd = r.U32(4);
    if (!r.Has(ifd, 2)) return 1;
    const unsigned count = r.U16(ifd);
    for (unsigned i = 0; i < count; ++i) {
        const size_t entry = ifd + 2 + static_cast<size_t>(i) * 12;
        if (!r.Has(entry, 12)) return 1;
        if (r.U16(entry) != 0x0112) continue;
        const uint16_t type = r.U16(entry + 2);
        const uint32_t n = r.U32(entry + 4);
        if (n < 1) return 1;
        // SHORT as the standard says; a LONG from a careless writer is read too.
        uint32_t value;
        if (type == 3)
            value = r.U16(entry + 8);
        else if (type == 4 && n == 1)
            value = r.U32(entry + 8);
        else
            return 1;
        return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
    }
    return 1;
}

TByteRange FindJPEGExif(const uint8_t* data, size_t size) {
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8) return {};
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return {};
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        // Start of scan or end of image: no EXIF can follow.
        if (marker == 0xDA || marker == 0xD9) return {};
        // Markers without a length.
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const size_t length = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2 || length > size - at - 2) return {};
        const uint8_t* body = data + at + 4;
        const size_t bodySize = length - 2;
        if (marker == 0xE1 && bodySize >= 6 && std::memcmp(body, "Exif\0\0", 6) == 0)
            return {body + 6, bodySize - 6};
        at += 2 + length;
    }
    return {};
}
