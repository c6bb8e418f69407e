// SPDX-License-Identifier: GPL-3.0-or-later
// The options one conversion reads: a plain value the window fills from its
// controls at every file, so the engine never sees a widget.
#pragma once

#include "formats/MetadataEditor.h"
#include "util/FontText.h"

#include <cstdint>
#include <string>

// Destination-format indexes, in the order of the destination list.
// WebP, AVIF and JPEG XL come after the first six so stored indexes keep their meaning.
enum TDestinationFormat { dfBitmap, dfJPEG, dfGIF, dfWMF, dfEMF, dfPNG, dfWebP, dfAVIF, dfJXL };

// Stretch modes of the resize options. Fit inside keeps the proportions and
// gives the largest picture within width x height.
enum TStretchMode { smPixels, smPercent, smFitInside };

// How pixels are worked out when the size changes: a real filter (Lanczos-3
// down, Catmull-Rom up), or one source pixel per target pixel as the
// original did (pixel art keeps its hard edges).
enum TResampleMode { rmSmooth, rmNearest };

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
    // Never make a side larger than the source's.
    bool ShrinkOnly = false;
    int Resample = rmSmooth;
    // Turn the picture upright by its camera orientation before resizing.
    bool AutoRotate = true;
    // The colour behind transparent pixels for destinations without alpha, 0xRRGGBB.
    uint32_t Background = 0xFFFFFF;

    // The "Compression (%)" text: the JPEG quality.
    std::string CompressionText = "100";
    // Index into the GIF colour reductions (7: optimal 2^n colour palette,
    // 9: optimal, best quality).
    int GIFColorReduction = 9;

    // EXIF, XMP, ICC profile and comment carried to destinations that hold them.
    TMetadataMode Metadata = TMetadataMode::Keep;

    // WebP, AVIF and JPEG XL: the quality is the JPEG quality above; Effort
    // is on the format's own scale (-1: the encoder's default).
    struct TModernFormat {
        bool Lossless = false;
        int Effort = -1;
    };
    TModernFormat WebP, AVIF, JXL;

    // One line of text drawn over every picture (convert/Watermark.h).
    struct TWatermark {
        bool Enabled = false;
        std::string Text = "Sample text";
        // Face, size in points (96/72 pixels each), colour and style.
        TFontDescription Font;
        int Alignment = 0; // horizontal: 0 left, 1 centre, 2 right
        int Position = 0;  // vertical: 0 top, 1 centre, 2 bottom
        bool Rotate = false;
        int Angle = 0; // degrees counter-clockwise, used when Rotate is on
    };
    TWatermark Watermark;
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

// "#RRGGBB" (the "#" may be left out, hex digits in either case) as 0xRRGGBB;
// false for anything else.
bool ParseBackgroundColor(const std::string& text, uint32_t& rgb);
// 0xRRGGBB as "#RRGGBB".
std::string BackgroundColorText(uint32_t rgb);
// "smooth" / "nearest" for the resample modes, and back (ignoring case); false
// for an unknown name.
const char* ResampleModeName(int mode);
bool ParseResampleMode(const std::string& text, int& mode);
