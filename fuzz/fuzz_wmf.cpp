// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the metafile reader (WMF seeds): any input must load or
// fail with EInvalidGraphic; a loaded picture must play on a raster, replay into
// a recording and come out in both written forms, which must read back.
#include "base/Exceptions.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetPixelLimit(int64_t(1) << 22);
    TMetafile picture;
    try {
        TReadOnlyMemoryStream in(data, size);
        picture.LoadFromStream(in);
    } catch (const EInvalidGraphic&) {
        return 0;
    }
    TBitmap target(37, 23, pf24bit);
    picture.Draw(target.Canvas(), Rect(-3, 2, 40, 20));
    TBitmap indexed(9, 11, pf8bit);
    picture.Draw(indexed.Canvas(), Rect(0, 0, 9, 11));

    TMetafile recorded;
    {
        TMetafileCanvas canvas(recorded, "fuzz", "");
        picture.Draw(canvas, Rect(0, 0, 50, 30));
    }
    // What we write must be readable by ourselves in both forms.
    TMetafile emf, wmf;
    emf.SetEmfData(recorded.EmfData());
    const std::vector<uint8_t> wmfBytes = recorded.WmfData();
    TReadOnlyMemoryStream wmfIn(wmfBytes.data(), wmfBytes.size());
    wmf.LoadFromStream(wmfIn);
    TBitmap check(16, 16, pf24bit);
    wmf.Draw(check.Canvas(), Rect(0, 0, 16, 16));
    return 0;
}
