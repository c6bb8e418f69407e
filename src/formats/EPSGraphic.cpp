// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/EPSGraphic.h"

#include "base/StrUtils.h"

TREVASCO_GRAPHIC_CLASS(TEPSGraphic, TTIFFGraphic)

namespace {
constexpr size_t PreviewHeaderSize = 30;
inline uint32_t LongLE(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
} // namespace

void TEPSGraphic::ReadFromMemory(const uint8_t* memory, int, size_t size) {
    ClearRaster();
    const std::string invalid = Format(gesInvalidImage, "EPS");
    if (!memory || size < PreviewHeaderSize || LongLE(memory) != 0xC6D3D0C5)
        throw EInvalidGraphic(invalid);
    uint64_t offset = LongLE(memory + 20), length = LongLE(memory + 24);
    // No TIFF preview (a metafile-only header), or one reaching past the file:
    // there is nothing this reader can show.
    if (offset == 0 || length == 0 || offset >= size || length > size - offset)
        throw EInvalidGraphic(invalid);
    TTIFFGraphic::ReadFromMemory(memory + offset, 0, static_cast<size_t>(length));
}
