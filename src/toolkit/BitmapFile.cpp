// SPDX-License-Identifier: GPL-3.0-or-later
// BMP/DIB reading (every common variant) and writing (the one layout we emit).
//
// The reader validates the whole header, the palette, the masks and the pixel
// data range against the bytes before it allocates anything, then decodes into
// a fresh raster that replaces the target's only when decoding succeeded.
#include "base/Exceptions.h"
#include "toolkit/Bitmap.h"
#include "toolkit/PixelRows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_JPEG = 4, BI_PNG = 5,
                   BI_ALPHABITFIELDS = 6;

[[noreturn]] void Invalid() {
    throw EInvalidGraphic("Bitmap image is not valid");
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
int32_t S32(const uint8_t* p) {
    return static_cast<int32_t>(U32(p));
}

bool IsKnownHeaderSize(uint32_t hs) {
    // 12: OS/2 1.x core; 16..64: OS/2 2.x (truncated at any field); 40/52/56:
    // info, V2, V3; 108: V4; 124: V5.
    return hs == 12 || (hs >= 16 && hs <= 64 && hs % 2 == 0) || hs == 108 || hs == 124;
}

bool IsOS2v2(uint32_t hs) {
    return hs >= 16 && hs <= 64 && hs != 40 && hs != 52 && hs != 56;
}

// One colour (or alpha) field of a bit-field pixel.
struct TChannel {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;
    std::vector<uint8_t> Table; // widened values for fields up to 16 bits

    void Init(uint32_t mask) {
        Mask = mask;
        Shift = Bits = 0;
        Table.clear();
        if (!mask) return;
        while (!((mask >> Shift) & 1))
            ++Shift;
        while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1))
            ++Bits;
        if (Bits <= 16) {
            const uint64_t max = (uint64_t(1) << Bits) - 1;
            Table.resize(static_cast<size_t>(max) + 1);
            for (uint64_t v = 0; v <= max; ++v)
                Table[v] = Widen(v, max);
        }
    }
    bool Contiguous() const { return Mask == 0 || (Mask >> Shift) == ((uint64_t(1) << Bits) - 1); }
    // round(v * 255 / max), halves away from zero.
    static uint8_t Widen(uint64_t v, uint64_t max) {
        return static_cast<uint8_t>((v * 255 * 2 + max) / (2 * max));
    }
    uint8_t Get(uint32_t pixel) const {
        const uint32_t v = (pixel & Mask) >> Shift;
        if (!Table.empty()) return Table[v];
        return Widen(v, (uint64_t(1) << Bits) - 1);
    }
};

// Everything the header says about the pixels, checked against the data.
struct TDibLayout {
    uint32_t HeaderSize = 0;
    int Width = 0, Height = 0;
    bool TopDown = false;
    int Bits = 0;
    uint32_t Compression = BI_RGB;
    uint32_t Masks[4] = {0, 0, 0, 0}; // red, green, blue, alpha
    std::vector<TPaletteEntry> Palette;
    size_t PixelOffset = 0, PixelEnd = 0, FileSize = 0;
};

TDibLayout ParseLayout(const uint8_t* data, size_t size) {
    TDibLayout L;
    size_t fileHeader = 0;
    bool declaredBeyond = false;
    uint32_t offBits = 0;
    bool haveOffset = false;
    if (size >= 2 && data[0] == 'B' && data[1] == 'M') {
        if (size < 18) Invalid();
        // A file whose header claims more bytes than there are is damaged, or
        // cut short when its pixels are missing too (checked below).
        declaredBeyond = U32(data + 2) > size;
        offBits = U32(data + 10);
        haveOffset = offBits != 0; // some writers leave it 0: pixels follow the palette
        fileHeader = 14;
    } else {
        // A clipboard DIB: no file header, the info header comes first. Accept
        // it only when the header size, planes and bit depth all look right.
        if (size < 16 || !IsKnownHeaderSize(U32(data))) Invalid();
        const uint32_t hs = U32(data);
        if (size < hs) Invalid();
        const uint16_t planes = hs == 12 ? U16(data + 8) : U16(data + 12);
        const uint16_t bits = hs == 12 ? U16(data + 10) : U16(data + 14);
        if (planes != 1 || (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 &&
                            bits != 24 && bits != 32))
            Invalid();
    }
    const uint8_t* h = data + fileHeader;
    const uint32_t hs = U32(h);
    if (!IsKnownHeaderSize(hs) || hs > size - fileHeader) Invalid();
    L.HeaderSize = hs;

    int64_t width, height;
    uint32_t planes, clrUsed = 0, sizeImage = 0;
    int32_t xppm = 0, yppm = 0;
    if (hs == 12) {
        width = U16(h + 4);
        height = U16(h + 6);
        planes = U16(h + 8);
        L.Bits = U16(h + 10);
    } else {
        width = S32(h + 4);
        height = S32(h + 8);
        planes = U16(h + 12);
        L.Bits = U16(h + 14);
        // OS/2 2.x headers may stop after any field; missing ones read 0.
        auto field = [&](uint32_t at) { return hs >= at + 4 ? U32(h + at) : 0u; };
        L.Compression = field(16);
        sizeImage = field(20);
        xppm = static_cast<int32_t>(field(24));
        yppm = static_cast<int32_t>(field(28));
        clrUsed = field(32);
    }
    if (planes != 1 || width <= 0 || height == 0 || height == INT32_MIN) Invalid();
    if (height < 0) {
        L.TopDown = true;
        height = -height;
    }
    // A pixel aspect beyond 1:1000 is a damaged header, not a picture.
    if (xppm > 0 && yppm > 0 &&
        (int64_t(xppm) > int64_t(yppm) * 1000 || int64_t(yppm) > int64_t(xppm) * 1000))
        Invalid();

    // Compressions we recognise but do not decode get their own message.
    const uint32_t c = L.Compression;
    if (c == BI_JPEG && IsOS2v2(hs) && L.Bits == 24)
        throw EInvalidGraphic("RLE24-compressed bitmaps are not supported");
    if (c == BI_BITFIELDS && IsOS2v2(hs) && L.Bits == 1)
        throw EInvalidGraphic("Huffman-compressed bitmaps are not supported");
    if (c == BI_JPEG) throw EInvalidGraphic("JPEG-compressed bitmaps are not supported");
    if (c == BI_PNG) throw EInvalidGraphic("PNG-compressed bitmaps are not supported");
    if (L.Bits == 64) throw EInvalidGraphic("64-bit bitmaps are not supported");
    switch (L.Bits) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16:
    case 24:
    case 32:
        break;
    default:
        Invalid();
    }
    switch (c) {
    case BI_RGB:
        break;
    case BI_RLE8:
        if (L.Bits != 8 || L.TopDown) Invalid();
        break;
    case BI_RLE4:
        if (L.Bits != 4 || L.TopDown) Invalid();
        break;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (L.Bits != 16 && L.Bits != 32) Invalid();
        break;
    default:
        Invalid();
    }
    CheckRasterSize(width, height);
    L.Width = static_cast<int>(width);
    L.Height = static_cast<int>(height);

    // Bit-field masks: inside a V2+ header, else right after a 40-byte one.
    size_t pos = fileHeader + hs;
    if (c == BI_BITFIELDS || c == BI_ALPHABITFIELDS) {
        const size_t count = c == BI_ALPHABITFIELDS ? 4 : 3;
        if (hs >= 52 && !IsOS2v2(hs)) {
            for (size_t i = 0; i < 3; ++i)
                L.Masks[i] = U32(h + 40 + 4 * i);
            if (hs >= 56) L.Masks[3] = U32(h + 52);
        } else if (hs == 40) {
            if (size - pos < 4 * count) Invalid();
            for (size_t i = 0; i < count; ++i)
                L.Masks[i] = U32(data + pos + 4 * i);
            pos += 4 * count;
        } else {
            Invalid();
        }
    } else if (L.Bits == 16) {
        L.Masks[0] = 0x7C00;
        L.Masks[1] = 0x03E0;
        L.Masks[2] = 0x001F;
    } else if (L.Bits == 32) {
        L.Masks[0] = 0xFF0000;
        L.Masks[1] = 0x00FF00;
        L.Masks[2] = 0x0000FF;
        // A V3+ header that names the fourth byte as alpha is taken at its word.
        if (hs >= 56 && !IsOS2v2(hs) && U32(h + 52) == 0xFF000000u) L.Masks[3] = 0xFF000000u;
    }
    if (L.Bits >= 16 && L.Bits != 24) {
        const uint64_t limit = uint64_t(1) << L.Bits;
        uint32_t seen = 0;
        for (int i = 0; i < 3; ++i) {
            TChannel ch;
            ch.Init(L.Masks[i]);
            // Every colour needs a field of its own within the pixel.
            if (!L.Masks[i] || L.Masks[i] >= limit || !ch.Contiguous() || (seen & L.Masks[i]))
                Invalid();
            seen |= L.Masks[i];
        }
        TChannel a;
        a.Init(L.Masks[3]);
        // An alpha field that is unusable is dropped, not fatal: the colours stand.
        if (L.Masks[3] >= limit || !a.Contiguous() || (seen & L.Masks[3])) L.Masks[3] = 0;
    }

    // Colour table: biClrUsed entries (0: 2^bits), 3 bytes each after a core header.
    if (L.Bits <= 8) {
        const size_t entry = hs == 12 ? 3 : 4;
        const size_t full = size_t(1) << L.Bits;
        size_t declared = clrUsed ? clrUsed : full;
        if (declared > (size - pos) / entry) {
            // An implicit size may be cut by the pixel offset (OS/2 files
            // with short palettes); an explicit count must be there whole.
            if (clrUsed || !haveOffset) Invalid();
        }
        if (haveOffset && !clrUsed && offBits > pos)
            declared = std::min(declared, (offBits - pos) / entry);
        else if (haveOffset && !clrUsed)
            Invalid();
        if (declared * entry > size - pos) Invalid();
        const size_t used = std::min(declared, full);
        if (used == 0) Invalid();
        L.Palette.resize(used);
        for (size_t i = 0; i < used; ++i) {
            const uint8_t* e = data + pos + i * entry;
            L.Palette[i] = TPaletteEntry{e[2], e[1], e[0], 0};
        }
        pos += declared * entry;
    } else if (clrUsed && !haveOffset) {
        // A colour table beside true-colour pixels is unused, but a DIB
        // without a file header still stores it before the pixels.
        if (clrUsed > (size - pos) / 4) Invalid();
        pos += size_t(clrUsed) * 4;
    }

    if (haveOffset) {
        // Pixels may start after a gap, but never inside the headers or palette.
        if (offBits < pos || offBits > size) Invalid();
        pos = offBits;
    }
    L.PixelOffset = pos;
    L.PixelEnd = L.FileSize = size;
    if (sizeImage) {
        // A declared image size beyond the data means a damaged or cut file.
        if (sizeImage > size - pos) {
            if (c == BI_RLE4 || c == BI_RLE8) Invalid();
            declaredBeyond = true; // uncompressed: cut when the pixels are missing (below)
        }
        if (c == BI_RLE4 || c == BI_RLE8) L.PixelEnd = pos + sizeImage;
    }
    if (c != BI_RLE4 && c != BI_RLE8) {
        const uint64_t stride = TBitmap::StrideOf(L.Width, L.Bits);
        const uint64_t need =
            stride * uint64_t(L.Height - 1) + (uint64_t(L.Width) * L.Bits + 7) / 8;
        if (need > size - pos)
            throw ECutShort(CutShortMessage(static_cast<int64_t>((size - pos) / stride), L.Height));
    }
    if (declaredBeyond) Invalid();
    return L;
}

TPixelFormat TargetFormat(const TDibLayout& L) {
    switch (L.Bits) {
    case 1:
        return pf1bit;
    case 2:
    case 4:
        return pf4bit;
    case 8:
        return pf8bit;
    case 24:
        return pf24bit;
    case 16:
        if (L.Masks[3] == 0 && L.Masks[0] == 0x7C00 && L.Masks[1] == 0x03E0 && L.Masks[2] == 0x1F)
            return pf15bit;
        if (L.Masks[3] == 0 && L.Masks[0] == 0xF800 && L.Masks[1] == 0x07E0 && L.Masks[2] == 0x1F)
            return pf16bit;
        return pf24bit;
    default:
        return pf32bit;
    }
}

// Target row of a file row.
inline int RowOf(const TDibLayout& L, int fileRow) {
    return L.TopDown ? fileRow : L.Height - 1 - fileRow;
}

void DecodeUncompressed(const TDibLayout& L, const uint8_t* data, TBitmap& out,
                        std::vector<uint8_t>& alpha) {
    const size_t stride = TBitmap::StrideOf(L.Width, L.Bits);
    const size_t rowBytes = (static_cast<size_t>(L.Width) * L.Bits + 7) / 8;
    const int w = L.Width;
    const TPixelFormat pf = out.PixelFormat();
    const bool generic =
        L.Bits == 16   ? (pf == pf24bit)
        : L.Bits == 32 ? !(L.Masks[0] == 0xFF0000 && L.Masks[1] == 0xFF00 && L.Masks[2] == 0xFF)
                       : false;
    TChannel ch[4];
    if (L.Bits == 16 || L.Bits == 32)
        for (int i = 0; i < 4; ++i)
            ch[i].Init(L.Masks[i]);
    const bool hasAlpha = (L.Bits == 16 || L.Bits == 32) && L.Masks[3] != 0;
    if (hasAlpha) alpha.assign(static_cast<size_t>(w) * L.Height, 0);

    // 2-bit pixels become nibbles: one source byte, two target bytes.
    std::array<uint16_t, 256> expand2{};
    if (L.Bits == 2)
        for (int v = 0; v < 256; ++v)
            expand2[v] = static_cast<uint16_t>((((v >> 6) & 3) << 4 | ((v >> 4) & 3)) |
                                               ((((v >> 2) & 3) << 4 | (v & 3)) << 8));

    for (int r = 0; r < L.Height; ++r) {
        const int y = RowOf(L, r);
        const uint8_t* src = data + L.PixelOffset + static_cast<size_t>(r) * stride;
        uint8_t* dst = out.ScanLine(y);
        uint8_t* arow = hasAlpha ? alpha.data() + static_cast<size_t>(y) * w : nullptr;
        switch (L.Bits) {
        case 1:
        case 4:
        case 8:
        case 24:
            std::memcpy(dst, src, rowBytes);
            break;
        case 2:
            for (size_t i = 0; i < rowBytes; ++i) {
                const uint16_t e = expand2[src[i]];
                dst[2 * i] = static_cast<uint8_t>(e);
                if (2 * i + 1 < out.BytesPerScanLine())
                    dst[2 * i + 1] = static_cast<uint8_t>(e >> 8);
            }
            break;
        case 16:
            if (!generic) {
                // 555 or 565 as stored; the unused top bit of 555 is cleared.
                const uint8_t top = pf == pf15bit ? 0x7F : 0xFF;
                for (int x = 0; x < w; ++x) {
                    dst[2 * x] = src[2 * x];
                    dst[2 * x + 1] = src[2 * x + 1] & top;
                }
                if (hasAlpha)
                    for (int x = 0; x < w; ++x)
                        arow[x] = ch[3].Get(U16(src + 2 * x));
            } else {
                for (int x = 0; x < w; ++x) {
                    const uint32_t v = U16(src + 2 * x);
                    dst[3 * x] = ch[2].Get(v);
                    dst[3 * x + 1] = ch[1].Get(v);
                    dst[3 * x + 2] = ch[0].Get(v);
                    if (hasAlpha) arow[x] = ch[3].Get(v);
                }
            }
            break;
        case 32:
            if (!generic) {
                for (int x = 0; x < w; ++x) {
                    dst[4 * x] = src[4 * x];
                    dst[4 * x + 1] = src[4 * x + 1];
                    dst[4 * x + 2] = src[4 * x + 2];
                    dst[4 * x + 3] = 0;
                }
                if (hasAlpha)
                    for (int x = 0; x < w; ++x)
                        arow[x] = ch[3].Get(U32(src + 4 * x));
            } else {
                for (int x = 0; x < w; ++x) {
                    const uint32_t v = U32(src + 4 * x);
                    dst[4 * x] = ch[2].Get(v);
                    dst[4 * x + 1] = ch[1].Get(v);
                    dst[4 * x + 2] = ch[0].Get(v);
                    dst[4 * x + 3] = 0;
                    if (hasAlpha) arow[x] = ch[3].Get(v);
                }
            }
            break;
        }
    }
    // An alpha field that is zero everywhere is unused, not "fully transparent".
    if (hasAlpha && std::all_of(alpha.begin(), alpha.end(), [](uint8_t a) { return a == 0; }))
        alpha.clear();
}

// RLE8/RLE4 into a zero-filled raster: skipped pixels stay index 0; the
// first code that moves beyond the last row ends the picture. A run or delta
// that reaches past the row's padded end is damaged data (encoders for odd
// widths may spill into the padding; those pixels are dropped), and so is
// data that ends before the picture is complete.
void DecodeRle(const TDibLayout& L, const uint8_t* data, TBitmap& out) {
    const bool four = L.Compression == BI_RLE4;
    const int w = L.Width, h = L.Height;
    size_t p = L.PixelOffset;
    const size_t end = L.PixelEnd;
    int64_t x = 0, row = 0;
    const int64_t maxX = static_cast<int64_t>(out.BytesPerScanLine()) * 8 / L.Bits;
    auto put = [&](uint8_t* line, int64_t at, uint8_t v) {
        if (four) {
            uint8_t& b = line[at >> 1];
            b = (at & 1) ? static_cast<uint8_t>((b & 0xF0) | (v & 0x0F))
                         : static_cast<uint8_t>((b & 0x0F) | (v << 4));
        } else {
            line[at] = v;
        }
    };
    while (row < h) {
        if (end - p < 2) {
            if (end == L.FileSize) throw ECutShort(CutShortMessage(row, h));
            Invalid();
        }
        const uint8_t n = data[p], code = data[p + 1];
        p += 2;
        if (n > 0) {
            if (x + n > maxX) Invalid();
            uint8_t* line = out.ScanLine(h - 1 - static_cast<int>(row));
            const int64_t stop = std::min<int64_t>(x + n, w);
            if (!four) {
                if (x < stop) std::memset(line + x, code, static_cast<size_t>(stop - x));
            } else {
                for (int64_t i = x; i < stop; ++i)
                    put(line, i, (i - x) & 1 ? code & 0x0F : code >> 4);
            }
            x += n;
            continue;
        }
        switch (code) {
        case 0: // end of line
            x = 0;
            ++row;
            break;
        case 1: // end of bitmap
            return;
        case 2: // delta
            if (end - p < 2) Invalid();
            x += data[p];
            row += data[p + 1];
            if (x > maxX) Invalid();
            p += 2;
            break;
        default: { // absolute run, padded to a 16-bit boundary
            const size_t bytes = four ? (code + 1u) / 2 : code;
            const size_t padded = (bytes + 1) & ~size_t(1);
            if (end - p < bytes && end == L.FileSize) throw ECutShort(CutShortMessage(row, h));
            if (end - p < bytes || x + code > maxX) Invalid();
            uint8_t* line = out.ScanLine(h - 1 - static_cast<int>(row));
            const int64_t stop = std::min<int64_t>(x + code, w);
            for (int64_t i = x; i < stop; ++i) {
                const int64_t k = i - x;
                put(line, i,
                    four ? ((k & 1) ? data[p + k / 2] & 0x0F : data[p + k / 2] >> 4) : data[p + k]);
            }
            x += code;
            p += std::min(padded, end - p);
        }
        }
    }
}

} // namespace

void LoadBitmapFile(TBitmap& bitmap, const uint8_t* data, size_t size) {
    if (!data || size == 0) Invalid();
    const TDibLayout L = ParseLayout(data, size);
    TBitmap fresh;
    fresh.AllocateRaster(L.Width, L.Height, TargetFormat(L));
    if (L.Bits <= 8) {
        TPalette pal;
        pal.SetCount(static_cast<int>(L.Palette.size()));
        for (size_t i = 0; i < L.Palette.size(); ++i)
            pal.Set(static_cast<int>(i), L.Palette[i]);
        fresh.SetPalette(pal);
    }
    std::vector<uint8_t> alpha;
    if (L.Compression == BI_RLE4 || L.Compression == BI_RLE8)
        DecodeRle(L, data, fresh);
    else
        DecodeUncompressed(L, data, fresh, alpha);

    // Hand over the result in one piece, so a failure above leaves the target as it was.
    const int w = fresh.FWidth, h = fresh.FHeight;
    bitmap.AllocateRaster(0, 0, fresh.FPixelFormat);
    bitmap.FPixels.swap(fresh.FPixels);
    bitmap.FWidth = w;
    bitmap.FHeight = h;
    bitmap.FStride = fresh.FStride;
    bitmap.FPalette = fresh.FPalette;
    bitmap.FAlpha = std::move(alpha);
    bitmap.InvalidateCache();
}

namespace {

// The BMP file's head: file header, info header, masks and colour table.
std::vector<uint8_t> BitmapFileHead(const TBitmap& bitmap) {
    const int w = bitmap.Width(), h = bitmap.Height();
    const TPixelFormat pf = bitmap.PixelFormat();
    const int bits = TBitmap::BitsOf(pf);
    const uint32_t compression = pf == pf16bit ? BI_BITFIELDS : BI_RGB;
    const size_t maskBytes = pf == pf16bit ? 12 : 0;
    size_t colours = 0;
    if (bits <= 8) {
        const size_t full = size_t(1) << bits;
        const size_t count = static_cast<size_t>(bitmap.Palette().Count());
        colours = count == 0 ? full : std::min(count, full);
    }
    const uint64_t imageSize = DibImageSize(bitmap);
    const uint64_t offset = 14 + 40 + maskBytes + 4 * colours;
    const uint64_t fileSize = offset + imageSize;
    if (fileSize > 0xFFFFFFFFull) throw EInvalidGraphic("Bitmap is too large to save");

    std::vector<uint8_t> head(static_cast<size_t>(offset), 0);
    auto put16 = [&](size_t at, uint32_t v) {
        head[at] = static_cast<uint8_t>(v);
        head[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&](size_t at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    head[0] = 'B';
    head[1] = 'M';
    put32(2, static_cast<uint32_t>(fileSize));
    put32(10, static_cast<uint32_t>(offset));
    put32(14, 40);
    put32(18, static_cast<uint32_t>(w));
    put32(22, static_cast<uint32_t>(h)); // positive: rows bottom-up
    put16(26, 1);
    put16(28, static_cast<uint32_t>(bits));
    put32(30, compression);
    put32(34, static_cast<uint32_t>(imageSize));
    put32(46, static_cast<uint32_t>(colours));
    if (pf == pf16bit) {
        put32(54, 0xF800);
        put32(58, 0x07E0);
        put32(62, 0x001F);
    }
    for (size_t i = 0; i < colours; ++i) {
        const TPaletteEntry& e = bitmap.Palette()[static_cast<int>(i)];
        const size_t at = 54 + maskBytes + 4 * i;
        head[at] = e.Blue;
        head[at + 1] = e.Green;
        head[at + 2] = e.Red;
    }
    return head;
}

} // namespace

uint64_t DibImageSize(const TBitmap& bitmap) {
    const size_t stride = TBitmap::StrideOf(bitmap.Width(), TBitmap::BitsOf(bitmap.PixelFormat()));
    return uint64_t(stride) * uint64_t(std::max(bitmap.Height(), 0));
}

std::vector<uint8_t> DibInfoOf(const TBitmap& bitmap) {
    std::vector<uint8_t> head = BitmapFileHead(bitmap);
    head.erase(head.begin(), head.begin() + 14);
    return head;
}

void WriteDibRows(const TBitmap& bitmap, TStream& stream) {
    const int w = bitmap.Width(), h = bitmap.Height();
    if (w <= 0 || h <= 0) return;
    const int bits = TBitmap::BitsOf(bitmap.PixelFormat());
    const size_t stride = TBitmap::StrideOf(w, bits);
    // Rows go out in blocks of about a megabyte: one write per row costs a
    // system call each on a file stream.
    const size_t rowsPerBlock = std::max<size_t>(1, (size_t(1) << 20) / stride);
    std::vector<uint8_t> block(stride * std::min<size_t>(rowsPerBlock, static_cast<size_t>(h)), 0);
    const size_t used = bitmap.RowBytes();
    size_t filled = 0;
    for (int y = h - 1; y >= 0; --y) {
        uint8_t* row = block.data() + filled * stride;
        // A plain 32-bit bitmap has no alpha: its fourth byte is written 0.
        if (bits == 32)
            pixelrows::From32To32(row, bitmap.ScanLine(y), w);
        else
            std::memcpy(row, bitmap.ScanLine(y), used);
        if (++filled == rowsPerBlock || y == 0) {
            stream.WriteBuffer(block.data(), filled * stride);
            filled = 0;
        }
    }
}

void SaveBitmapFile(const TBitmap& bitmap, TStream& stream) {
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0)
        return; // a bitmap without pixels writes nothing
    const std::vector<uint8_t> head = BitmapFileHead(bitmap);
    stream.WriteBuffer(head.data(), head.size());
    WriteDibRows(bitmap, stream);
}
