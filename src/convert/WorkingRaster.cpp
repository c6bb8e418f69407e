// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/WorkingRaster.h"

#include "base/Exceptions.h"
#include "gif/GIFImage.h"
#include "jpeg/JPEGImage.h"
#include "toolkit/Icon.h"

#include <algorithm>
#include <cstring>

TBitmap& TWorkingRaster::Own() {
    if (!Owned) {
        Owned = std::make_unique<TBitmap>(*Pixels);
        Pixels = Owned.get();
    }
    return *Owned;
}

namespace {

bool HasPlane(const TBitmap& b) {
    return b.AlphaChannel().size() == static_cast<size_t>(b.Width()) * b.Height() &&
           !b.AlphaChannel().empty();
}

// A 24-bit working raster of any bitmap: borrowed when it already is one.
TWorkingRaster Opaque(const TBitmap& b) {
    TWorkingRaster r;
    if (b.PixelFormat() == pf24bit) {
        r.Pixels = &b;
        return r;
    }
    r.Owned = std::make_unique<TBitmap>();
    r.Owned->SetPixelFormat(pf24bit);
    r.Owned->SetSizeForOverwrite(b.Width(), b.Height());
    std::vector<uint8_t> row(static_cast<size_t>(b.Width()) * 4);
    for (int y = 0; y < b.Height(); ++y) {
        b.GetRowBGRX(y, row.data());
        uint8_t* d = r.Owned->ScanLine(y);
        for (int x = 0; x < b.Width(); ++x) {
            d[3 * x] = row[4 * x];
            d[3 * x + 1] = row[4 * x + 1];
            d[3 * x + 2] = row[4 * x + 2];
        }
    }
    r.Pixels = r.Owned.get();
    return r;
}

std::unique_ptr<TBitmap> NewRGBA(int w, int h) {
    auto b = std::make_unique<TBitmap>();
    b->SetPixelFormat(pf32bit);
    b->SetSizeForOverwrite(w, h);
    return b;
}

// Colours of any bitmap with alpha from a plane of the bitmap's size.
TWorkingRaster WithPlane(const TBitmap& b, const std::vector<uint8_t>& plane) {
    TWorkingRaster r;
    const int w = b.Width(), h = b.Height();
    r.Owned = NewRGBA(w, h);
    for (int y = 0; y < h; ++y) {
        uint8_t* d = r.Owned->ScanLine(y);
        b.GetRowBGRX(y, d);
        const uint8_t* a = plane.data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x)
            d[4 * x + 3] = a[x];
    }
    r.Pixels = r.Owned.get();
    r.Alpha = true;
    return r;
}

TWorkingRaster FromIcon(const TIcon& icon) {
    const TBitmap& image = icon.Image();
    const int w = image.Width(), h = image.Height();
    TWorkingRaster r;
    if (icon.HasAlpha() && image.BitsPerPixel() == 32) {
        r.Owned = std::make_unique<TBitmap>(image);
        r.Owned->SetAlphaChannel({});
    } else {
        r.Owned = NewRGBA(w, h);
        const TBitmap& mask = icon.Mask();
        const bool haveMask = mask.Width() == w && mask.Height() == h;
        std::vector<uint8_t> m(static_cast<size_t>(w) * 4);
        for (int y = 0; y < h; ++y) {
            uint8_t* d = r.Owned->ScanLine(y);
            image.GetRowBGRX(y, d);
            if (haveMask) mask.GetRowBGRX(y, m.data());
            for (int x = 0; x < w; ++x) {
                uint8_t* p = d + 4 * x;
                // AND 1 with XOR 0 leaves the background: transparent. AND 1
                // with a colour inverts the background, which no alpha can
                // say; it is kept as its colour, as it shows over black.
                const bool andBit = haveMask && (m[4 * x] | m[4 * x + 1] | m[4 * x + 2]);
                const bool black = (p[0] | p[1] | p[2]) == 0;
                p[3] = andBit && black ? 0 : 255;
            }
        }
    }
    r.Pixels = r.Owned.get();
    r.Alpha = true;
    return r;
}

// Draws the graphic at its own size on white and on black. Over white a pixel
// of alpha a and colour c shows a*c + (1-a)*255, over black a*c: the
// difference is (1-a)*255 and the black picture is the premultiplied colour.
TWorkingRaster Matted(TGraphic& g) {
    const int w = g.Width(), h = g.Height();
    CheckRasterSize(w, h);
    TBitmap onWhite(w, h, pf24bit), onBlack(w, h, pf24bit);
    onWhite.Canvas().BrushColor = clWhite;
    onWhite.Canvas().FillRect(Rect(0, 0, w, h));
    onBlack.Canvas().BrushColor = clBlack;
    onBlack.Canvas().FillRect(Rect(0, 0, w, h));
    onWhite.Canvas().StretchDraw(Rect(0, 0, w, h), g);
    onBlack.Canvas().StretchDraw(Rect(0, 0, w, h), g);
    TWorkingRaster r;
    r.Owned = NewRGBA(w, h);
    for (int y = 0; y < h; ++y) {
        const uint8_t* a = onWhite.ScanLine(y);
        const uint8_t* b = onBlack.ScanLine(y);
        uint8_t* d = r.Owned->ScanLine(y);
        for (int x = 0; x < w; ++x, a += 3, b += 3, d += 4) {
            int diff = 0;
            for (int c = 0; c < 3; ++c)
                diff = std::max(diff, a[c] - b[c]);
            const int alpha = 255 - diff;
            d[3] = static_cast<uint8_t>(alpha);
            for (int c = 0; c < 3; ++c)
                d[c] = alpha == 0
                           ? 0
                           : static_cast<uint8_t>(std::min(255, (b[c] * 255 + alpha / 2) / alpha));
        }
    }
    r.Pixels = r.Owned.get();
    r.Alpha = true;
    return r;
}

} // namespace

bool MayHaveAlpha(TGraphic& source) {
    if (auto* b = dynamic_cast<TBitmap*>(&source)) return HasPlane(*b);
    if (dynamic_cast<TJPEGImage*>(&source)) return false;
    if (auto* gif = dynamic_cast<TGIFImage*>(&source)) {
        if (gif->FrameCount() == 0) return false;
        const TGIFFrame& f = gif->Frame(0);
        const bool covers = f.Left() == 0 && f.Top() == 0 && f.Width() == gif->Width() &&
                            f.Height() == gif->Height();
        return f.Transparent() || !covers;
    }
    return true;
}

TWorkingRaster WorkingRasterOf(TGraphic& source) {
    if (auto* b = dynamic_cast<TBitmap*>(&source)) {
        if (HasPlane(*b)) return WithPlane(*b, b->AlphaChannel());
        return Opaque(*b);
    }
    if (auto* jpeg = dynamic_cast<TJPEGImage*>(&source)) return Opaque(jpeg->Bitmap());
    if (auto* icon = dynamic_cast<TIcon*>(&source)) return FromIcon(*icon);
    // The holder switches transparency off at load; the matting needs it on.
    const bool was = source.Transparent();
    source.SetTransparent(true);
    TWorkingRaster r;
    try {
        r = Matted(source);
    } catch (...) {
        source.SetTransparent(was);
        throw;
    }
    source.SetTransparent(was);
    return r;
}

bool AnyTransparent(const TBitmap& rgba) {
    if (rgba.BitsPerPixel() != 32) return false;
    for (int y = 0; y < rgba.Height(); ++y) {
        const uint8_t* p = rgba.ScanLine(y);
        for (int x = 0; x < rgba.Width(); ++x)
            if (p[4 * x + 3] != 255) return true;
    }
    return false;
}

std::unique_ptr<TBitmap> CompositeOver(const TBitmap& rgba, uint32_t backgroundRGB) {
    const int bg[3] = {static_cast<int>(backgroundRGB & 0xFF),
                       static_cast<int>((backgroundRGB >> 8) & 0xFF),
                       static_cast<int>((backgroundRGB >> 16) & 0xFF)};
    auto out = std::make_unique<TBitmap>();
    out->SetPixelFormat(pf24bit);
    out->SetSizeForOverwrite(rgba.Width(), rgba.Height());
    for (int y = 0; y < rgba.Height(); ++y) {
        const uint8_t* s = rgba.ScanLine(y);
        uint8_t* d = out->ScanLine(y);
        for (int x = 0; x < rgba.Width(); ++x, s += 4, d += 3) {
            const int a = s[3];
            for (int c = 0; c < 3; ++c)
                d[c] = static_cast<uint8_t>((s[c] * a + bg[c] * (255 - a) + 127) / 255);
        }
    }
    return out;
}

void CopyWithAlphaPlane(const TBitmap& rgba, TBitmap& dest) {
    const int w = rgba.Width(), h = rgba.Height();
    std::vector<uint8_t> plane(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = rgba.ScanLine(y);
        uint8_t* d = dest.ScanLine(y);
        const int b = dest.BitsPerPixel() / 8;
        uint8_t* a = plane.data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x, s += 4, d += b) {
            a[x] = s[3];
            const bool hidden = s[3] == 0;
            d[0] = hidden ? 0 : s[0];
            d[1] = hidden ? 0 : s[1];
            d[2] = hidden ? 0 : s[2];
            if (b == 4) d[3] = 0;
        }
    }
    dest.SetAlphaChannel(std::move(plane));
}

std::unique_ptr<TBitmap> BinaryTransparency(const TBitmap& rgba, uint32_t backgroundRGB) {
    std::unique_ptr<TBitmap> out = CompositeOver(rgba, backgroundRGB);
    const int w = rgba.Width(), h = rgba.Height();
    std::vector<uint8_t> plane(static_cast<size_t>(w) * h, 255);
    bool any = false;
    // The colour given to transparent pixels: the last opaque one met, so the
    // palette gets nothing new and a ditherer sees no edge there.
    const uint8_t* fill = nullptr;
    for (int y = 0; y < h && !fill; ++y)
        for (int x = 0; x < w; ++x)
            if (rgba.ScanLine(y)[4 * x + 3] >= 128) {
                fill = out->ScanLine(y) + 3 * x;
                break;
            }
    uint8_t last[3] = {0, 0, 0};
    if (fill) std::memcpy(last, fill, 3);
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = rgba.ScanLine(y);
        uint8_t* d = out->ScanLine(y);
        uint8_t* a = plane.data() + static_cast<size_t>(y) * w;
        for (int x = 0; x < w; ++x, s += 4, d += 3) {
            if (s[3] >= 128) {
                std::memcpy(last, d, 3);
            } else {
                a[x] = 0;
                any = true;
                std::memcpy(d, last, 3);
            }
        }
    }
    if (any) out->SetAlphaChannel(std::move(plane));
    return out;
}
