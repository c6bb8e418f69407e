// SPDX-License-Identifier: GPL-3.0-or-later
// THEIFGraphic: HEIC/HEIF and AVIF images through libheif. The primary image
// with its alpha, turned and mirrored as the container says (irot/imir, as
// libheif applies them); 10- and 12-bit images are rounded to 8 bits. ICC,
// EXIF and XMP go to the metadata; the orientation stays 1 because the
// container's transformations already give the upright picture.
#pragma once

#include "formats/ReaderGraphic.h"

class THEIFGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size) override;
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};

// Makes sure libheif is initialised (once per process; its plugins loaded).
void EnsureHeifInitialised();
