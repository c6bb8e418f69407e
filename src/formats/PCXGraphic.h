// SPDX-License-Identifier: GPL-3.0-or-later
// TPCXGraphic: ZSoft Paintbrush images and the screen captures that share
// their layout (pcx, pcc, scr).
#pragma once

#include "formats/ReaderGraphic.h"

class TPCXGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size) override;
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;
};
