// SPDX-License-Identifier: GPL-3.0-or-later
// TJXLGraphic: JPEG XL images through libjxl. The first frame (composed, for
// an animation), alpha, ICC profile, EXIF and XMP boxes. The pixels stay as
// stored: the orientation of the codestream goes to the metadata, so the
// conversion turns the picture upright once, as it does for EXIF orientations.
#pragma once

#include "formats/ReaderGraphic.h"

class TJXLGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size) override;
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};
