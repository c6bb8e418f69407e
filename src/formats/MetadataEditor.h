// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps the metadata carried to a destination true to the written picture:
// EXIF and XMP are edited through Exiv2 (the field's standard library for
// both), behind these few functions. A block Exiv2 cannot read is dropped,
// never the file.
#pragma once

#include "toolkit/ImageMetadata.h"

#include <string>

// What a conversion carries: everything, nothing, or all but where the picture was taken.
enum class TMetadataMode { Keep, Strip, NoLocation };

struct TMetadataEdit {
    TMetadataMode Mode = TMetadataMode::Keep;
    // The pixels were turned upright by their orientation: orientation 1 is written.
    bool Upright = false;
    // The written size, for the pixel dimensions the blocks state (0: left as they are).
    int Width = 0, Height = 0;
};

// The camera tags of a TIFF file's first directory (with its EXIF and GPS
// directories) as an EXIF block; the tags that lay out the TIFF's own pixels
// are left out. Empty when there are none or the file is damaged.
std::string ExifFromTIFF(const uint8_t* data, size_t size);

// The blocks a destination writes for its source's metadata. The ICC
// profile passes unchanged (whether it is written is the caller's colour
// decision); Strip gives an empty set.
TImageMetadata EditMetadata(const TImageMetadata& source, const TMetadataEdit& edit);

// The EXIF block rewritten: the embedded thumbnail dropped (it shows the old
// size and orientation), the orientation and pixel dimensions updated, the
// GPS directory dropped for NoLocation. Empty when the block is damaged or
// nothing is left.
std::string EditExif(const std::string& exif, const TMetadataEdit& edit);
// The XMP packet with the same edits (location: GPS properties, city, state,
// country, IPTC locations). The very same bytes when nothing needs changing;
// empty when the packet is damaged.
std::string EditXmp(const std::string& xmp, const TMetadataEdit& edit);
