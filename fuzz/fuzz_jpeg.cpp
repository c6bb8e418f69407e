// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the JPEG decoder on arbitrary bytes.
#include "base/Exceptions.h"
#include "base/Streams.h"
#include "jpeg/JPEGImage.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keep rasters small so the fuzzer explores code, not memory.
    SetPixelLimit(int64_t(1) << 22);
    for (TJPEGPixelFormat format : {jf24Bit, jf8Bit}) {
        try {
            TJPEGImage jpeg;
            TReadOnlyMemoryStream in(data, size);
            jpeg.LoadFromStream(in);
            jpeg.PixelFormat = format;
            jpeg.Scale = size % 2 ? jsHalf : jsFullSize;
            jpeg.Bitmap();
        } catch (const Exception&) {
        }
        if (size < 64) break;
    }
    return 0;
}
