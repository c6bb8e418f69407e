// The options one conversion reads: a plain value the window fills from its
// controls at every file, so the engine never sees a widget.
#pragma once

#include <cstdint>
#include <string>

// Destination-format indexes, in the order of the destination list.
// WebP, AVIF and JPEG XL come after the first six so stored indexes keep their meaning.
enum TDestinationFormat { dfBitmap, dfJPEG, dfGIF, dfWMF, dfEMF, dfPNG, dfWebP, dfAVIF, dfJXL };

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

    // WebP, AVIF and JPEG XL: the quality is the JPEG quality above; Effort
    // is on the format's own scale (-1: the encoder's default).
    struct TModernFormat {
        bool Lossless = false;
        int Effort = -1;
    };
    TModernFormat WebP, AVIF, JXL;
};

// ".bmp", ".jpg", ".gif", ".wmf", ".emf", ".png", ".webp", ".avif", ".jxl" by destination
// index; "" otherwise.
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
