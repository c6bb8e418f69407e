// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the WEBP reader (libwebp behind our class): any input must load
// or fail with an exception; a loaded raster is drawn as a conversion would draw it.
#include "base/Exceptions.h"
#include "formats/WebPGraphic.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keep rasters small so the fuzzer explores headers, not page faults.
    SetPixelLimit(int64_t(1) << 22);
    try {
        TWebPGraphic graphic;
        graphic.ReadFromMemory(data, 0, size);
        TBitmap target(11, 7, pf24bit);
        target.Canvas().StretchDraw(Rect(0, 0, 11, 7), graphic);
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
