// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the BMP reader: any input must load or fail with an
// exception, and a loaded bitmap must draw without touching foreign memory.
#include "base/Exceptions.h"
#include "toolkit/Bitmap.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keep rasters small so the fuzzer explores headers, not page faults.
    SetPixelLimit(int64_t(1) << 22);
    try {
        TBitmap bitmap;
        LoadBitmapFile(bitmap, data, size);
        TBitmap target(13, 7, pf24bit);
        target.Canvas().StretchBitmap(Rect(-1, 0, 12, 7), bitmap);
        TBitmap indexed(5, 9, pf4bit);
        indexed.Canvas().StretchBitmap(Rect(0, 0, 5, 9), bitmap);
        TMemoryStream out;
        bitmap.SaveToStream(out);
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
