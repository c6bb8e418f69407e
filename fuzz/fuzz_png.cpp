// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target of the PNG reader: any input either loads or fails with
// one of the program's exceptions; everything else is a finding.
#include "png/PNGImage.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TPNGImage image;
    try {
        TReadOnlyMemoryStream stream(data, size);
        image.LoadFromStream(stream);
        // Exercise the writer on what was read, as a conversion would.
        if (image.Width() * static_cast<int64_t>(image.Height()) <= 1 << 16) {
            TMemoryStream out;
            image.SaveToStream(out);
        }
    } catch (const Exception&) {
    }
    return 0;
}
