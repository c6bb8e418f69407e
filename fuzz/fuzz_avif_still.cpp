// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target for taking an AVIF still apart (the grid writer's input):
// any input is taken apart or refused with an exception, and what is taken
// apart can be written as a one-tile grid.
#include "base/Exceptions.h"
#include "formats/AVIFGrid.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const TAvifStill still = ReadAvifStill(data, size);
        TAvifGridLayout layout;
        layout.Width = layout.Height = layout.TileWidth = layout.TileHeight = 64;
        TMemoryStream out;
        WriteAvifGrid(layout, {still}, "II*\0", "<x/>", out);
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
    return 0;
}
