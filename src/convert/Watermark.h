// SPDX-License-Identifier: GPL-3.0-or-later
// The watermark: one line of text at one of nine places of the picture, drawn
// onto rasters (antialiased, over the picture's alpha) and recorded into
// metafiles as a text record, so both show the same text at the same place.
//
// Sizes: a point is 96/72 pixels of the written picture (the size the text
// has on a 96-dpi screen and in a metafile's reference device). The text's
// cell (advance by ascent + descent, turned by the angle) keeps a margin of
// half its em from the picture's edges at the chosen place.
#pragma once

#include "base/Types.h"
#include "convert/ConvertOptions.h"
#include "metafile/Metafile.h"

#include <string>

class TBitmap;

using TWatermark = TConvertOptions::TWatermark;

// Whether the watermark draws anything: switched on, with text.
bool WatermarkShown(const TWatermark& watermark);

struct TWatermarkLayout {
    TMetafileFont Font;
    TColor Color = clBlack; // RGB
    TPoint Origin;          // where the baseline starts
    TRect Box;              // the turned text cell at its place
    // Box with room for glyphs that reach out of their cell (italics,
    // accents), within the picture: the only pixels the watermark changes.
    TRect Reach;
};

// Where the watermark goes on a width x height picture.
TWatermarkLayout LayOutWatermark(const TWatermark& watermark, int width, int height);

// Draws the watermark onto a pf24bit or pf32bit picture. With hasAlpha the
// fourth byte is straight alpha and the text is composited over it;
// otherwise the fourth byte is left as it is.
void DrawWatermark(TBitmap& picture, bool hasAlpha, const TWatermark& watermark);

// Records the watermark as a text record on top of a width x height recording.
void RecordWatermark(TMetafileCanvas& canvas, const TWatermark& watermark, int width, int height);

// ---- The switches' values

// "Face,size[,style]" with style a "+"-joined list of bold, italic, underline,
// strikeout (or regular); sets face, size and style of font, keeping its
// colour and character set. False (font unchanged) for anything else.
bool ParseWatermarkFont(const std::string& value, TFontDescription& font);
// The font in that form ("DejaVu Sans,24,bold+italic").
std::string WatermarkFontText(const TFontDescription& font);

// The nine places: top-left, top, top-right, left, center, right,
// bottom-left, bottom, bottom-right (any case, "-" optional, "centre" too),
// or 1 to 9 in that order.
bool ParseWatermarkPlace(const std::string& value, int& alignment, int& position);
std::string WatermarkPlaceName(int alignment, int position);

// Degrees from -359 to 359; a negative turn is stored as the same turn in 0..359.
bool ParseWatermarkAngle(const std::string& value, int& degrees);
