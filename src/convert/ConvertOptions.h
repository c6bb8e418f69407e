// SPDX-License-Identifier: GPL-3.0-or-later
// The options one conversion reads: a plain typed value, filled once from the
// settings file, the command line or the window's controls, so the engine
// never sees a widget or an edit text.
#pragma once

#include "formats/MetadataEditor.h"
#include "gif/ColorReduction.h"
#include "toolkit/Bitmap.h"
#include "util/FontText.h"

#include <cstdint>
#include <optional>
#include <string>

// Destination formats, in the order of the destination list (stored as their index).
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
    // None when a stored index names no format: every file then fails with a message.
    std::optional<TDestinationFormat> Destination = dfBitmap;
    // pfCustom (also what an unknown stored index becomes) is refused by the bitmap.
    TPixelFormat PixelFormat = pfDevice;

    bool Resize = false;
    TStretchMode StretchMode = smPixels;
    // A ticked side without a number (an edit text that was none) keeps the
    // source's side: its own size in pixels, 100 in percent.
    bool UseWidth = true;
    std::optional<int32_t> Width = 800;
    bool UseHeight = true;
    std::optional<int32_t> Height = 600;
    // Never make a side larger than the source's.
    bool ShrinkOnly = false;
    TResampleMode Resample = rmSmooth;
    // Turn the picture upright by its camera orientation before resizing.
    bool AutoRotate = true;
    // The colour behind transparent pixels for destinations without alpha, 0xRRGGBB.
    uint32_t Background = 0xFFFFFF;

    // JPEG quality 1..100, also of WebP, AVIF and JPEG XL.
    int Quality = 100;
    // None when a stored index names no method: GIF destinations then fail with a message.
    std::optional<TColorReduction> ColorReduction = ReduceBest;

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
std::string DestinationExtension(std::optional<TDestinationFormat> destination);

// The destination index that a /DSTFORMAT= value names: a destination's extension
// in any case, with or without its dot, or an alias people type for it (jpeg,
// jpe, jfif); -1 for anything else.
int DestinationIndexFromSwitch(const std::string& value);
// "bmp, jpg, gif, wmf, emf or png": the values /DSTFORMAT= accepts, for messages.
std::string AcceptedDestinationFormats();

// Stored indexes and texts as typed values. These are the only readers of
// them, so a stored value means the same wherever it is read.
std::optional<TDestinationFormat> DestinationFromIndex(int32_t index);
// Anything outside the list is pfCustom, which the bitmap refuses.
TPixelFormat PixelFormatFromIndex(int32_t index);
std::optional<TColorReduction> ColorReductionFromIndex(int32_t index);
// False for an index outside the list (such a mode resizes nothing).
bool StretchModeFromIndex(int32_t index, TStretchMode& mode);
// A side's text: its number, none when it is not an integer.
std::optional<int32_t> SideFromText(const std::string& text);
std::string SideText(std::optional<int32_t> side);

// The JPEG quality of a quality text: its low 8 bits (300 gives 44), 100 when
// the text is not an integer; the encoder limits it to 1..100.
uint8_t JPEGQualityFromText(const std::string& text);
// The quality a text stands for, as the encoder will use it (1..100).
int QualityFromText(const std::string& text);

// "#RRGGBB" (the "#" may be left out, hex digits in either case) as 0xRRGGBB;
// false for anything else.
bool ParseBackgroundColor(const std::string& text, uint32_t& rgb);
// 0xRRGGBB as "#RRGGBB".
std::string BackgroundColorText(uint32_t rgb);
// "smooth" / "nearest" for the resample modes, and back (ignoring case); false
// for an unknown name.
const char* ResampleModeName(int mode);
bool ParseResampleMode(const std::string& text, TResampleMode& mode);
