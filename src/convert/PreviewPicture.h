// SPDX-License-Identifier: GPL-3.0-or-later
// Small pictures for the window's thumbnail and before/after view, made by
// the same readers and the same conversion a run uses, so what is shown is
// what a run reads and writes.
#pragma once

#include "convert/ConvertOptions.h"
#include "toolkit/Bitmap.h"

#include <cstdint>
#include <memory>
#include <string>

struct TPreviewPicture {
    // The picture as seen (turned upright by its orientation).
    int Width = 0, Height = 0;
    // Shrunk to fit the box asked for, never enlarged: pf32bit, blue, green,
    // red and straight alpha.
    std::unique_ptr<TBitmap> Pixels;
};

// The largest size within boxWidth x boxHeight with the proportions of
// width x height, never above the picture's own size, never below 1.
void FitInsideBox(int width, int height, int boxWidth, int boxHeight, int& fitWidth,
                  int& fitHeight);

// Reads a file with the program's readers and shrinks it to fit the box; a
// JPEG is decoded at a reduced scale where that suffices. A file that cannot
// be read throws the reader's message.
TPreviewPicture LoadPreviewPicture(const std::string& fileName, int boxWidth, int boxHeight);

struct TPreviewResult {
    TPreviewPicture Picture; // the written file read back
    int64_t FileSize = 0;    // bytes written
};

// Converts one source with the options into destFileName exactly as a run
// converts it, then reads the written file back. The caller owns the file
// (a private temporary folder: nothing here knows the job's destination).
TPreviewResult ConvertForPreview(const std::string& source, const std::string& destFileName,
                                 const TConvertOptions& options, int boxWidth, int boxHeight);
