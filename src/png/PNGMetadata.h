// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata chunks of a PNG file: eXIf (EXIF as a TIFF structure), iCCP
// (a named, zlib-compressed ICC profile) and iTXt with the keyword
// XML:com.adobe.xmp (the XMP packet).
#pragma once

#include "toolkit/ImageMetadata.h"

class TChunkList;

// Fills the blocks found among the chunks; a damaged chunk is skipped, never an error.
void ReadPNGMetadata(const TChunkList& chunks, TImageMetadata& metadata);
// Replaces the list's metadata chunks by those of metadata, right after IHDR
// (iCCP must precede PLTE and IDAT; an sRGB chunk is dropped beside a profile).
void WritePNGMetadata(TChunkList& chunks, const TImageMetadata& metadata);
