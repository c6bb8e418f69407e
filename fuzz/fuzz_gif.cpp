// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target of the GIF reader: any input either loads or fails with
// one of the program's exceptions; everything else is a finding. What was
// read is also drawn and written again, as a conversion would.
#include "gif/GIFImage.h"
#include "toolkit/Bitmap.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keep single inputs fast: frames beyond 4 megapixels are refused.
    static const bool limited = [] {
        SetPixelLimit(int64_t(1) << 22);
        return true;
    }();
    (void)limited;
    TGIFImage image;
    image.WarningHandler = [](TGIFImage*, int, const std::string&) {};
    try {
        TReadOnlyMemoryStream stream(data, size);
        image.LoadFromStream(stream);
        if (!image.Empty()) {
            TBitmap target(37, 23, pfDevice);
            image.Draw(target.Canvas(), Rect(-3, 2, 40, 20));
            TMemoryStream out;
            image.SaveToStream(out);
        }
    } catch (const Exception&) {
    }
    return 0;
}
