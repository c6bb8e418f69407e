// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for the PCX reader: any input must load or fail with
// an exception; a loaded raster is drawn as a conversion would draw it.
#include "base/Exceptions.h"
#include "formats/PCXGraphic.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keep rasters small so the fuzzer explores headers, not page faults.
    SetPixelLimit(int64_t(1) << 22);
    // The decoder alone: the output size comes from the first two bytes and the
    // buffer is exactly that long, so any write past it is caught.
    if (size >= 2) {
        std::vector<uint8_t> out(static_cast<size_t>(data[0] | (data[1] << 8)));
        const uint8_t* source = data + 2;
        uint8_t* target = out.data();
        TPCXRLEDecoder decoder;
        decoder.Unpack(source, target, static_cast<int32_t>(size - 2),
                       static_cast<int32_t>(out.size()));
    }
    try {
        TPCXGraphic graphic;
        graphic.ReadFromMemory(data, 0, size);
        TBitmap target(11, 7, pf24bit);
        target.Canvas().StretchDraw(Rect(0, 0, 11, 7), graphic);
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
