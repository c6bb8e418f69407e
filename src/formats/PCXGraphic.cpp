// SPDX-License-Identifier: GPL-3.0-or-later
#include "formats/PCXGraphic.h"

#include "base/StrUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

TREVASCO_GRAPHIC_CLASS(TPCXGraphic, TReaderGraphic)

namespace {
constexpr size_t HeaderSize = 128;
constexpr size_t TrailerSize = 769;

inline uint16_t Word(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

struct TPCXHeader {
    uint8_t Version, Encoding, BitsPerPixel, Planes;
    uint16_t BytesPerLine, PaletteInfo;
    const uint8_t* ColorMap;
};

TPCXHeader ParseHeader(const uint8_t* m) {
    return TPCXHeader{m[1], m[2], m[3], m[65], Word(m + 66), Word(m + 68), m + 16};
}

// For one byte of a 1-bit plane: the four output bytes (two 4-bit pixels each)
// with bit 0 of every pixel nibble set as the plane's bit says.
struct TPlaneSpread {
    uint8_t Bytes[256][4];
    TPlaneSpread() {
        for (int v = 0; v < 256; ++v)
            for (int j = 0; j < 4; ++j) {
                int hi = (v >> (7 - 2 * j)) & 1, lo = (v >> (6 - 2 * j)) & 1;
                Bytes[v][j] = static_cast<uint8_t>((hi << 4) | lo);
            }
    }
};
const TPlaneSpread& PlaneSpread() {
    static const TPlaneSpread table;
    return table;
}
} // namespace

bool TPCXGraphic::ReadProperties(const uint8_t* memory, int imageIndex, size_t size) {
    TReaderGraphic::ReadProperties(memory, imageIndex, size);
    if (!memory || size < HeaderSize || (memory[0] != 10 && memory[0] != 205)) return false;
    TPCXHeader h = ParseHeader(memory);
    int width = Word(memory + 8) - Word(memory + 4) + 1;
    int height = Word(memory + 10) - Word(memory + 6) + 1;
    if (width <= 0 || height <= 0) return false;
    TImageProperties& p = FImageProperties;
    p.FormatVersion = h.Version;
    p.Width = width;
    p.Height = height;
    p.DpiX = Word(memory + 12);
    p.DpiY = Word(memory + 14);
    p.SampleBits = h.BitsPerPixel;
    p.SampleCount = h.Planes;
    int pixelBits = h.BitsPerPixel * h.Planes;
    p.PixelBits = static_cast<uint8_t>(std::min(pixelBits, 255));
    p.Scheme = pixelBits > 8 ? clRGB : clIndexed;
    p.CompressionKind = h.Encoding == 1 ? ckPCXRLE : ckNone;
    p.PageCount = 1;
    return true;
}

void TPCXGraphic::ReadFromMemory(const uint8_t* memory, int imageIndex, size_t size) {
    ClearRaster();
    if (!ReadProperties(memory, imageIndex, size))
        throw EInvalidGraphic(Format(gesInvalidImage, "PCX or SCR"));
    const TImageProperties& p = FImageProperties;
    const TPCXHeader h = ParseHeader(memory);
    const int width = p.Width, height = p.Height;
    const int bits = h.BitsPerPixel, planes = h.Planes;

    FProgressRect = Rect(0, 0, width, 1);
    Progress(psStarting, 0, false, FProgressRect, gesPreparing);

    // Layouts: one packed plane of 1, 2, 4 or 8 bits; three or four 1-bit
    // planes combined into 4-bit pixels (a missing fourth plane reads 0);
    // three or four 8-bit planes, the first three being red, green and blue.
    enum { lkPacked, lkBitPlanes, lkRGBPlanes } kind;
    if (planes == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8))
        kind = lkPacked;
    else if (bits == 1 && (planes == 3 || planes == 4))
        kind = lkBitPlanes;
    else if (bits == 8 && (planes == 3 || planes == 4))
        kind = lkRGBPlanes;
    else
        throw EInvalidGraphic(Format(gesInvalidColorFormat, "PCX"));

    // A line shorter than its pixels would make every row read into the next.
    if (static_cast<int64_t>(h.BytesPerLine) * 8 < static_cast<int64_t>(width) * bits)
        throw EInvalidGraphic(Format(gesInvalidImage, "PCX or SCR"));

    // The data must be able to hold every row before the raster is allocated:
    // a run of at most 63 bytes takes two bytes of data.
    const size_t rowBytes = static_cast<size_t>(planes) * h.BytesPerLine;
    const uint64_t total = static_cast<uint64_t>(rowBytes) * static_cast<uint64_t>(height);
    const bool hasTrailer = size >= HeaderSize + TrailerSize && memory[size - TrailerSize] == 12;
    const bool paletteTrailer = kind == lkPacked && bits == 8 && hasTrailer;
    const size_t dataSize = size - HeaderSize - (paletteTrailer ? TrailerSize : 0);
    CheckRasterSize(width, height);
    const uint64_t lastRowUsed = static_cast<uint64_t>(planes - 1) * h.BytesPerLine +
                                 (static_cast<uint64_t>(width) * bits + 7) / 8;
    const uint64_t needed =
        total - rowBytes + lastRowUsed; // the last line's padding may be missing
    if (p.CompressionKind == ckPCXRLE)
        CheckDataCanHold(dataSize, total, 32, width, height);
    else if (dataSize < needed)
        throw ECutShort(CutShortMessage(static_cast<int64_t>(dataSize / rowBytes), height));

    TColorManager& cm = *FColorManager;
    TPixelFormat format;
    if (kind == lkRGBPlanes) {
        cm.SetSourceLayout(clRGB);
        cm.SetSourceBits(8);
        cm.SetSourceSamples(3);
        cm.SetTargetLayout(clBGR);
        cm.SetTargetBits(8);
        cm.SetTargetSamples(3);
        format = pf24bit;
    } else {
        cm.SetSourceLayout(clIndexed);
        cm.SetTargetLayout(clIndexed);
        cm.SetSourceBits(static_cast<uint8_t>(bits));
        cm.SetTargetBits(static_cast<uint8_t>(bits == 2 ? 4 : bits));
        cm.SetSourceSamples(static_cast<uint8_t>(planes));
        cm.SetTargetSamples(static_cast<uint8_t>(planes));
        format = kind == lkBitPlanes ? pf4bit : cm.PixelFormatFor(TColorSide::Target);
        if (kind == lkPacked) {
            cm.SetSourceSamples(1);
            cm.SetTargetSamples(1);
        }
    }

    SetupRaster(width, height, format);

    if (format != pf24bit) {
        if (h.Version == 3 && format != pf1bit) {
            SetPalette(SystemPalette16());
        } else if (format == pf1bit) {
            SetPalette(cm.MakeGrayPalette(false));
        } else if (format == pf4bit) {
            SetPalette(h.PaletteInfo == 2
                           ? cm.MakeGrayPalette(false)
                           : cm.MakeColorPalette({h.ColorMap}, pdInterleaved8, 16, false));
        } else if (hasTrailer) {
            SetPalette(
                cm.MakeColorPalette({memory + size - TrailerSize + 1}, pdInterleaved8, 256, false));
        } else if (h.PaletteInfo == 2) {
            SetPalette(cm.MakeGrayPalette(false));
        }
    }

    // The trailer is only cut off when it is there: a file without one keeps all its data.
    const uint8_t* data = memory + HeaderSize;
    const uint64_t bufferSize = total;
    if (bufferSize > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        throw EImageTooLarge("Image too large");
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(static_cast<size_t>(bufferSize), 0);
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
    uint64_t decoded = 0;
    if (p.CompressionKind == ckPCXRLE) {
        FDecoder = std::make_unique<TPCXRLEDecoder>();
        const uint8_t* s = data;
        uint8_t* t = buffer.data();
        FDecoder->Unpack(s, t, static_cast<int32_t>(std::min<size_t>(dataSize, INT32_MAX)),
                         static_cast<int32_t>(bufferSize));
        decoded = static_cast<uint64_t>(FDecoder->Unpacked());
        FDecoder.reset();
    } else {
        decoded = std::min<uint64_t>(dataSize, bufferSize);
        std::memcpy(buffer.data(), data, static_cast<size_t>(decoded));
    }
    // Data that ends before the last row's pixels is a cut file.
    if (decoded < needed)
        throw ECutShort(CutShortMessage(static_cast<int64_t>(decoded / rowBytes), height));

    Progress(psEnding, 0, false, FProgressRect, "");
    Progress(psStarting, 0, false, FProgressRect, gesTransfering);

    const std::vector<uint8_t> zeroRow(rowBytes, 0);
    std::vector<uint8_t> nibbles(kind == lkBitPlanes ? (static_cast<size_t>(width) + 7) / 8 * 4
                                                     : 0);
    const size_t outBytes = RowBytes();
    const TPlaneSpread& spread = PlaneSpread();
    for (int r = 0; r < height; ++r) {
        size_t offset = static_cast<size_t>(r) * rowBytes;
        const uint8_t* row =
            offset + rowBytes <= buffer.size() ? buffer.data() + offset : zeroRow.data();
        uint8_t* out = ScanLine(r);
        if (kind == lkBitPlanes) {
            std::fill(nibbles.begin(), nibbles.end(), 0);
            const size_t planeBytes = (static_cast<size_t>(width) + 7) / 8;
            for (int k = 0; k < planes; ++k) {
                const uint8_t* plane = row + static_cast<size_t>(k) * h.BytesPerLine;
                for (size_t i = 0; i < planeBytes; ++i) {
                    const uint8_t* s4 = spread.Bytes[plane[i]];
                    uint8_t* o = nibbles.data() + 4 * i;
                    o[0] |= static_cast<uint8_t>(s4[0] << k);
                    o[1] |= static_cast<uint8_t>(s4[1] << k);
                    o[2] |= static_cast<uint8_t>(s4[2] << k);
                    o[3] |= static_cast<uint8_t>(s4[3] << k);
                }
            }
            std::memcpy(out, nibbles.data(), outBytes);
            // The last byte's unused low nibble stays 0.
            if (width & 1) out[outBytes - 1] &= 0xF0;
        } else if (kind == lkRGBPlanes) {
            cm.ConvertLine(
                {row, row + h.BytesPerLine, row + 2 * static_cast<size_t>(h.BytesPerLine)}, out,
                static_cast<unsigned>(width));
        } else {
            cm.ConvertLine({row}, out, static_cast<unsigned>(width));
        }
        FProgressRect.Top += 1;
        FProgressRect.Bottom += 1;
        Progress(psRunning, static_cast<uint8_t>(std::lround(r * 100.0 / height)), true,
                 FProgressRect, "");
    }
    Progress(psEnding, 0, false, FProgressRect, "");
}
