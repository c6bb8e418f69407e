// The options one conversion reads: a plain value the window fills from its
// controls at every file, so the engine never sees a widget.
#pragma once

#include "formats/MetadataEditor.h"

#include <cstdint>
#include <string>

// Destination-format indexes, in the order of the destination list.
enum TDestinationFormat { dfBitmap, dfJPEG, dfGIF, dfWMF, dfEMF, dfPNG };

// Stretch modes of the resize options.
enum TStretchMode { smPixels, smPercent };

struct TConvertOptions {
    int DestinationIndex = dfBitmap;
    // Index into the pixel formats Device, 1bit, pf4bit ... pf32bit.
    int PixelFormatIndex = 0;

    bool Resize = false;
    int StretchMode = smPixels;
    bool UseWidth = true;
    std::string WidthText = "800";
    bool UseHeight = true;
    std::string HeightText = "600";

    // The "Compression (%)" text: the JPEG quality.
    std::string CompressionText = "100";
    // Index into the GIF colour reductions (7: optimal 2^n colour palette).
    int GIFColorReduction = 7;

    // EXIF, XMP, ICC profile and comment carried to destinations that hold them.
    TMetadataMode Metadata = TMetadataMode::Keep;
};

// ".bmp", ".jpg", ".gif", ".wmf", ".emf", ".png" by destination index; "" otherwise.
std::string DestinationExtension(int destinationIndex);

// The destination index that a /DSTFORMAT= value names: a destination's extension
// in any case, with or without its dot, or an alias people type for it (jpeg,
// jpe, jfif); -1 for anything else.
int DestinationIndexFromSwitch(const std::string& value);
// "bmp, jpg, gif, wmf, emf or png": the values /DSTFORMAT= accepts, for messages.
std::string AcceptedDestinationFormats();

// The JPEG quality of a quality text: its low 8 bits (300 gives 44), 100 when
// the text is not an integer; the encoder limits it to 1..100.
uint8_t JPEGQualityFromText(const std::string& text);
