// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the EXIF orientation reader and the JPEG segment walk
// that finds the EXIF block, on arbitrary bytes.
#include "toolkit/ExifOrientation.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int direct = ExifOrientation(data, size);
    if (direct < 1 || direct > 8) std::abort();
    const TByteRange exif = FindJPEGExif(data, size);
    if (exif.Size > 0 && (exif.Data < data || exif.Data + exif.Size > data + size)) std::abort();
    const int found = ExifOrientation(exif.Data, exif.Size);
    if (found < 1 || found > 8) std::abort();
    return 0;
}
