// SPDX-License-Identifier: GPL-3.0-or-later
// An AVIF picture too large for one AV1 frame, written as a grid of equal
// tiles (an image item of type 'grid' whose cells are hidden 'av01' items).
// Each tile is encoded on its own as a small AVIF still; its coded data and
// codec properties are taken out of that file and put into the grid file, so
// the encoder never holds more than one tile.
#pragma once

#include "base/Streams.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One image item of an AVIF still, as its writer stored it.
struct TAvifCodedItem {
    // The item's coded AV1 data.
    std::string Data;
    // Its properties as whole boxes ('av1C', 'pixi', 'colr', 'auxC'...), in
    // the order of its association list, and whether each is essential.
    std::vector<std::string> Properties;
    std::vector<bool> Essential;
    // The whole box of the first property of that type, or empty.
    std::string Property(const char* type) const;
};

// The primary image of an AVIF still and its alpha plane when it has one.
struct TAvifStill {
    TAvifCodedItem Colour;
    std::optional<TAvifCodedItem> Alpha;
};

// Takes a single-image AVIF file apart. Throws EInvalidGraphic when the file
// is not one (truncated, boxes out of bounds, primary item missing, data held
// elsewhere than in the file).
TAvifStill ReadAvifStill(const uint8_t* file, size_t size);

struct TAvifGridLayout {
    uint32_t Width = 0, Height = 0;         // the picture
    uint32_t TileWidth = 0, TileHeight = 0; // every tile; the last column and row overhang
    uint32_t Columns() const { return (Width + TileWidth - 1) / TileWidth; }
    uint32_t Rows() const { return (Height + TileHeight - 1) / TileHeight; }
};

// Writes the grid file: tiles row by row, all with alpha or none. exifTiff is
// the TIFF structure of an EXIF block (stored as an 'Exif' item), xmp the
// packet (a 'mime' item); either may be empty.
void WriteAvifGrid(const TAvifGridLayout& layout, const std::vector<TAvifStill>& tiles,
                   const std::string& exifTiff, const std::string& xmp, TStream& stream);
