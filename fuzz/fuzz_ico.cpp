// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the icon reader: any input must load or fail with an
// exception, and a loaded icon must draw and save without touching foreign memory.
#include "base/Exceptions.h"
#include "toolkit/Bitmap.h"
#include "toolkit/Icon.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetPixelLimit(int64_t(1) << 22);
    try {
        TIcon icon;
        icon.LoadFromMemory(data, size);
        TBitmap target(11, 6, pf32bit);
        icon.Draw(target.Canvas(), Rect(0, -2, 9, 6));
        TMemoryStream out;
        icon.SaveToStream(out);
        TIcon again;
        TReadOnlyMemoryStream in(out.Memory(), out.Data().size());
        again.LoadFromStream(in);
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
