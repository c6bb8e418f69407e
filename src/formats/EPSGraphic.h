// SPDX-License-Identifier: GPL-3.0-or-later
// TEPSGraphic: an Encapsulated PostScript file shown by its TIFF preview.
// No PostScript is interpreted.
#pragma once

#include "formats/TIFFGraphic.h"

class TEPSGraphic : public TTIFFGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};
