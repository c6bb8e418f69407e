// SPDX-License-Identifier: GPL-3.0-or-later
// The camera orientation recorded in an EXIF block: IFD0's Orientation tag
// (0x0112), read from either byte order with every offset checked against
// the block. Readers of every format that can hold EXIF share it.
#pragma once

#include <cstddef>
#include <cstdint>

// The orientation 1..8 of an EXIF block given as a TIFF structure (byte-order
// mark first); 1 when the block is malformed, has no such tag, or holds a
// value outside 1..8.
int ExifOrientation(const uint8_t* tiff, size_t size);

// The EXIF block of a JPEG file (the TIFF structure inside the first APP1
// segment that starts with "Exif\0\0"), found by walking the marker segments
// up to the start of the scan; size 0 when there is none.
struct TByteRange {
    const uint8_t* Data = nullptr;
    size_t Size = 0;
};
TByteRange FindJPEGExif(const uint8_t* data, size_t size);
