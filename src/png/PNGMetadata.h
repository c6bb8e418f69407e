// SPDX-License-Identifier: GPL-3.0-or-later
// The metadata chunks of a PNG file: eXIf (EXIF as a TIFF structure), iCCP
// (a named, zlib-compressed ICC profile), iTXt with the keyword
// XML:com.adobe.xmp (the XMP packet), and the text chunk with the keyword
// Comment (tEXt or zTXt in Latin-1, iTXt in UTF-8; held as UTF-8).
#pragma once

#include "toolkit/ImageMetadata.h"

class TChunkList;

// Fills the blocks found among the chunks; a damaged chunk is skipped, never an error.
void ReadPNGMetadata(const TChunkList& chunks, TImageMetadata& metadata);
// Replaces the list's metadata chunks by those of metadata, right after IHDR
// (iCCP must precede PLTE and IDAT; an sRGB chunk is dropped beside a profile).
void WritePNGMetadata(TChunkList& chunks, const TImageMetadata& metadata);
