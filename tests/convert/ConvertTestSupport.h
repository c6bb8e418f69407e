// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers of the conversion tests: synthetic pictures and libjpeg as an
// independent reference decoder.
#pragma once

#include "toolkit/Bitmap.h"

#include <cstdint>
#include <string>
#include <vector>

// A bitmap with a smooth colour gradient and a few hard edges, in the given format.
TBitmap MakeTestPicture(int width, int height, TPixelFormat format = pf24bit);
// Saves a picture as a 24-bit BMP file.
void WriteBmp(const std::string& path, int width, int height);

// What libjpeg itself makes of a JPEG stream.
struct TReferenceJPEG {
    bool Ok = false;
    int ErrorCode = 0; // libjpeg's message code when !Ok
    int Width = 0, Height = 0;
    int Components = 0;       // of the stream
    int OutputComponents = 0; // 1 grey, 3 RGB, 4 CMYK
    bool AdobeMarker = false;
    std::vector<uint8_t> Pixels; // rows of OutputComponents samples, top-down, no padding
    uint16_t LumaTable[64] = {}; // quantization table 0, natural order
};
// Decodes with libjpeg's defaults; colour goes to RGB, grey stays grey,
// CMYK and YCCK come out as CMYK samples.
TReferenceJPEG DecodeWithLibjpeg(const std::vector<uint8_t>& data);
// Quantization table 0 that libjpeg's own encoder makes for a quality (forced baseline).
std::vector<uint16_t> LibjpegLumaTable(int quality);

// Raw header fields of a BMP file.
struct TBmpHeader {
    uint32_t FileSize = 0, DataOffset = 0, HeaderSize = 0;
    int32_t Width = 0, Height = 0;
    uint16_t Bits = 0;
    uint32_t Compression = 0, ColorsUsed = 0;
};
TBmpHeader ReadBmpHeader(const std::vector<uint8_t>& file);

// A 32 x 32 icon file of 24-bit colour (blue rising to the right, green falling
// downwards, red full) whose AND mask leaves everything outside a circle.
std::vector<uint8_t> MakeIconFile();
// An icon file of one entry (a bitmap header, colour image and AND mask) of size x size.
std::vector<uint8_t> IconFileOfOneEntry(int size, int bitCount, const std::vector<uint8_t>& entry);
