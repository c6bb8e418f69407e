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

private:
    struct TDecoded;
    // One decoding pass. With separate, the layers are placed one by one and
    // false says the file needs libjxl's own merging.
    bool ReadFrames(const uint8_t* memory, size_t size, bool separate, TDecoded& out);
};
