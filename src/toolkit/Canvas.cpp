// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Canvas.h"

#include "toolkit/Bitmap.h"
#include "toolkit/Graphic.h"
#include "toolkit/PixelRows.h"

#include <algorithm>
#include <cstring>
#include <vector>

void TCanvas::StretchDraw(const TRect& r, TGraphic& graphic) {
    graphic.Draw(*this, r);
}

void TBitmapCanvas::FillRect(const TRect& r) {
    int x0 = std::max(r.Left, 0), x1 = std::min(r.Right, FTarget.Width());
    int y0 = std::max(r.Top, 0), y1 = std::min(r.Bottom, FTarget.Height());
    if (x0 >= x1 || y0 >= y1) return;
    uint32_t raw = FTarget.ColorToRaw(BrushColor);
    for (int y = y0; y < y1; ++y)
        FTarget.FillRaw(x0, x1, y, raw);
}

void TBitmapCanvas::StretchBitmap(const TRect& dst, const TBitmap& src) {
    Blit(dst, src, nullptr, TBlend::Copy);
}

void TBitmapCanvas::StretchBitmapMasked(const TRect& dst, const TBitmap& src, const TBitmap& mask) {
    Blit(dst, src, &mask, TBlend::Masked);
}

void TBitmapCanvas::StretchBitmapAndXor(const TRect& dst, const TBitmap& xorImage,
                                        const TBitmap& andMask) {
    Blit(dst, xorImage, &andMask, TBlend::AndXor);
}

void TBitmapCanvas::StretchBitmapAlpha(const TRect& dst, const TBitmap& src) {
    Blit(dst, src, nullptr, TBlend::Alpha);
}

namespace {

// Source column (or row) for each target position: (2x+1)*S div (2D).
std::vector<int> NearestMap(int from, int to, int dstStart, int dstSize, int srcSize) {
    std::vector<int> map(static_cast<size_t>(to - from));
    for (int x = from; x < to; ++x) {
        int64_t rel = x - dstStart;
        map[x - from] =
            static_cast<int>(((2 * rel + 1) * srcSize) / (2 * static_cast<int64_t>(dstSize)));
    }
    return map;
}

int Luma(const TPaletteEntry& e) {
    return e.Red * 299 + e.Green * 587 + e.Blue * 114;
}

// Reads a 1-bit pixel's index.
inline int Bit(const uint8_t* row, int x) {
    return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

// The plain stretched copy into a 24/32-bit target, written straight into its rows.
void CopyStretched(TBitmap& target, const TBitmap& src, int x0, int x1, int y0, int y1,
                   const std::vector<int>& colMap, const std::vector<int>& rowMap, bool sameWidth) {
    const int tbits = target.BitsPerPixel(), tb = tbits / 8;
    const int sbits = src.BitsPerPixel();
    const int n = x1 - x0;
    // 24/32-bit rows are read in place; other formats (and drawing a bitmap
    // onto itself) go through one BGRX row.
    const bool direct = (sbits == 24 || sbits == 32) && &src != &target;
    std::vector<uint8_t> row(direct ? 0 : static_cast<size_t>(src.Width()) * 4);
    const uint8_t* prev = nullptr;
    int prevSy = -1;
    for (int y = y0; y < y1; ++y) {
        const int sy = rowMap[y - y0];
        uint8_t* d = target.ScanLine(y) + static_cast<size_t>(x0) * tb;
        if (sy == prevSy) { // an enlarged row repeats the one above
            std::memcpy(d, prev, static_cast<size_t>(n) * tb);
            continue;
        }
        const uint8_t* s;
        int bits;
        if (direct) {
            s = src.ScanLine(sy);
            bits = sbits;
        } else {
            src.GetRowBGRX(sy, row.data());
            s = row.data();
            bits = 32;
        }
        // Same width: the source columns are consecutive from colMap[0].
        if (sameWidth)
            pixelrows::CopyRow(d, tbits, s + static_cast<size_t>(colMap[0]) * (bits / 8), bits, n);
        else
            pixelrows::CopyRowMapped(d, tbits, s, bits, colMap.data(), n);
        prev = d;
        prevSy = sy;
    }
}

} // namespace

void TBitmapCanvas::Blit(const TRect& dst, const TBitmap& src, const TBitmap* mask, TBlend blend) {
    const int dw = dst.Width(), dh = dst.Height();
    const int sw = src.Width(), sh = src.Height();
    if (dw <= 0 || dh <= 0 || sw <= 0 || sh <= 0) return;
    const int x0 = std::max(dst.Left, 0), x1 = std::min(dst.Right, FTarget.Width());
    const int y0 = std::max(dst.Top, 0), y1 = std::min(dst.Bottom, FTarget.Height());
    if (x0 >= x1 || y0 >= y1) return;
    if (mask && (mask->Width() != sw || mask->Height() != sh)) mask = nullptr;
    if (blend != TBlend::Copy && blend != TBlend::Alpha && !mask) blend = TBlend::Copy;

    const std::vector<int> colMap = NearestMap(x0, x1, dst.Left, dw, sw);
    const std::vector<int> rowMap = NearestMap(y0, y1, dst.Top, dh, sh);
    const int n = x1 - x0;

    // A 1-bit source shrinks with its darker colour winning over its box.
    const bool blackWins = src.BitsPerPixel() == 1 && (sw > dw || sh > dh) && blend == TBlend::Copy;
    int darkIndex = 0;
    if (blackWins) darkIndex = Luma(src.Palette()[1]) < Luma(src.Palette()[0]) ? 1 : 0;

    const int tbits = FTarget.BitsPerPixel();
    if (blend == TBlend::Copy && !blackWins && (tbits == 24 || tbits == 32)) {
        CopyStretched(FTarget, src, x0, x1, y0, y1, colMap, rowMap, dw == sw);
        return;
    }

    std::vector<uint8_t> srcRow(static_cast<size_t>(sw) * 4);
    std::vector<uint8_t> maskRow(mask ? static_cast<size_t>(sw) * 4 : 0);
    std::vector<uint8_t> out(static_cast<size_t>(n) * 4);
    std::vector<uint8_t> tgtRow;
    int cachedRow = -1;

    for (int y = y0; y < y1; ++y) {
        const int sy = rowMap[y - y0];
        if (blackWins) {
            int64_t ry = y - dst.Top;
            int by0 = static_cast<int>(ry * sh / dh), by1 = static_cast<int>((ry + 1) * sh / dh);
            if (by1 <= by0) by1 = by0 + 1;
            by1 = std::min(by1, sh);
            for (int x = x0; x < x1; ++x) {
                int64_t rx = x - dst.Left;
                int bx0 = static_cast<int>(rx * sw / dw),
                    bx1 = static_cast<int>((rx + 1) * sw / dw);
                if (bx1 <= bx0) bx1 = bx0 + 1;
                bx1 = std::min(bx1, sw);
                int idx = 1 - darkIndex;
                for (int yy = by0; yy < by1 && idx != darkIndex; ++yy) {
                    const uint8_t* r = src.ScanLine(yy);
                    for (int xx = bx0; xx < bx1; ++xx)
                        if (Bit(r, xx) == darkIndex) {
                            idx = darkIndex;
                            break;
                        }
                }
                const TPaletteEntry& e = src.Palette()[idx];
                uint8_t* o = &out[4 * (x - x0)];
                o[0] = e.Blue;
                o[1] = e.Green;
                o[2] = e.Red;
                o[3] = 0;
            }
        } else {
            if (sy != cachedRow) {
                src.GetRowBGRX(sy, srcRow.data());
                if (mask) mask->GetRowBGRX(sy, maskRow.data());
                if (blend == TBlend::Alpha && src.BitsPerPixel() == 32) {
                    const uint8_t* raw = src.ScanLine(sy);
                    for (int i = 0; i < sw; ++i)
                        srcRow[4 * i + 3] = raw[4 * i + 3];
                }
                cachedRow = sy;
            }
            if (blend != TBlend::Copy) {
                tgtRow.resize(static_cast<size_t>(FTarget.Width()) * 4);
                FTarget.GetRowBGRX(y, tgtRow.data());
            }
            for (int i = 0; i < n; ++i) {
                const int sx = colMap[i];
                const uint8_t* s = &srcRow[4 * sx];
                uint8_t* o = &out[4 * i];
                switch (blend) {
                case TBlend::Copy:
                    o[0] = s[0];
                    o[1] = s[1];
                    o[2] = s[2];
                    break;
                case TBlend::Masked: {
                    const uint8_t* m = &maskRow[4 * sx];
                    const uint8_t* t = &tgtRow[4 * (x0 + i)];
                    bool keep = (m[0] | m[1] | m[2]) != 0;
                    o[0] = keep ? t[0] : s[0];
                    o[1] = keep ? t[1] : s[1];
                    o[2] = keep ? t[2] : s[2];
                    break;
                }
                case TBlend::AndXor: {
                    const uint8_t* m = &maskRow[4 * sx];
                    const uint8_t* t = &tgtRow[4 * (x0 + i)];
                    bool andBit = (m[0] | m[1] | m[2]) != 0;
                    o[0] = static_cast<uint8_t>((andBit ? t[0] : 0) ^ s[0]);
                    o[1] = static_cast<uint8_t>((andBit ? t[1] : 0) ^ s[1]);
                    o[2] = static_cast<uint8_t>((andBit ? t[2] : 0) ^ s[2]);
                    break;
                }
                case TBlend::Alpha: {
                    const uint8_t* t = &tgtRow[4 * (x0 + i)];
                    const int a = src.BitsPerPixel() == 32 ? s[3] : 255;
                    for (int c = 0; c < 3; ++c)
                        o[c] = static_cast<uint8_t>((s[c] * a + t[c] * (255 - a) + 127) / 255);
                    break;
                }
                }
                o[3] = 0;
            }
        }
        // Write the composed pixels into the target's format.
        uint8_t* trow = FTarget.ScanLine(y);
        if (tbits == 32) {
            for (int i = 0; i < n; ++i) {
                uint8_t* d = trow + 4 * (x0 + i);
                d[0] = out[4 * i];
                d[1] = out[4 * i + 1];
                d[2] = out[4 * i + 2];
                d[3] = 0;
            }
        } else if (tbits == 24) {
            for (int i = 0; i < n; ++i) {
                uint8_t* d = trow + 3 * (x0 + i);
                d[0] = out[4 * i];
                d[1] = out[4 * i + 1];
                d[2] = out[4 * i + 2];
            }
        } else if (x0 == 0 && n == FTarget.Width()) {
            FTarget.SetRowBGRX(y, out.data());
        } else {
            for (int i = 0; i < n; ++i)
                FTarget.FillRaw(
                    x0 + i, x0 + i + 1, y,
                    FTarget.ColorToRaw(RGBColor(out[4 * i + 2], out[4 * i + 1], out[4 * i])));
        }
    }
}
