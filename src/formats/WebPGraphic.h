// SPDX-License-Identifier: GPL-3.0-or-later
// TWebPGraphic: WebP images through libwebp. Lossy, lossless and alpha; an
// animation gives its first frame as composed on its canvas (as a GIF does);
// the ICC, EXIF and XMP chunks go to the metadata.
#pragma once

#include "formats/ReaderGraphic.h"

class TWebPGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size) override;
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};
