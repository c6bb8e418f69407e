// SPDX-License-Identifier: GPL-3.0-or-later
// TTIFFGraphic: the first image of a TIFF file, decoded by libtiff from the
// file's bytes in memory.
#pragma once

#include "formats/ReaderGraphic.h"

#include <memory>

class TProfileTransform;

// Installs libtiff's process-wide error and warning handlers. Errors are
// recorded per thread (the first one of a call is kept) and turned into our
// exception by the wrapper after the libtiff call returns, never thrown
// through libtiff's C frames. Safe to call more than once.
void InstallTIFFHandlers();

class TTIFFGraphic : public TReaderGraphic {
    TREVASCO_DECLARE_GRAPHIC_CLASS
public:
    bool ReadProperties(const uint8_t* memory, int imageIndex, size_t size) override;
    void ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) override;

    // The block libtiff reads through the client procedures.
    struct TMemoryBlock {
        const uint8_t* Start = nullptr;
        uint64_t Position = 0;
        uint64_t Size = 0;
    };

private:
    // EXIF, XMP and ICC profile of the directory read; damaged blocks are left out.
    void ReadMetadata(struct tiff* tif, const uint8_t* memory, size_t size, int imageIndex);
    // The transform of 8-bit CMYK ink through the file's own profile, or null
    // when the file is of another kind or has no usable CMYK profile.
    std::unique_ptr<TProfileTransform> InkProfile(struct tiff* tif) const;
    // Reads the ink strip by strip (or tile by tile, each plane) into the raster through it.
    void ReadInk(struct tiff* tif, const TProfileTransform& profile);
    TMemoryBlock FBlock;
};
