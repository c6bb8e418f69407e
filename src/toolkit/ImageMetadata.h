// SPDX-License-Identifier: GPL-3.0-or-later
// What a file says about its picture besides the pixels: the blocks that are
// carried from a source to a destination that can hold them, and the camera
// orientation that turns the picture upright.
#pragma once

#include <cstddef>
#include <string>

// The largest metadata block a reader keeps (an ICC profile in 255 full JPEG
// chunks is just below it); a larger one is refused before it is allocated.
constexpr size_t MaxMetadataBlock = size_t(16) << 20;

struct TImageMetadata {
    // The EXIF block as a TIFF structure (byte-order mark first, without JPEG's "Exif\0\0").
    std::string Exif;
    // The XMP packet, as text.
    std::string Xmp;
    // The embedded ICC colour profile.
    std::string Icc;
    // A free-text comment (JPEG COM).
    std::string Comment;
    // EXIF/TIFF orientation 1..8 as stored; 1 when absent or invalid.
    int Orientation = 1;

    bool Empty() const {
        return Exif.empty() && Xmp.empty() && Icc.empty() && Comment.empty() && Orientation == 1;
    }
};
