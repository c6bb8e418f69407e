// SPDX-License-Identifier: GPL-3.0-or-later
// The player's bitmaps and raster operations: DIBs as cairo surfaces, the
// bit-block transfers, ternary raster operations and flood fill.
#include "metafile/Player.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace emf::play {

// ---------------------------------------------------------------- DIBs

// A DIB in a record as a cairo surface (premultiplied ARGB). keepAlpha uses
// the fourth byte of 32-bit pixels; otherwise every pixel is opaque.
TSurfacePtr DibSurface(const TRecord& r, uint32_t offBmi, uint32_t cbBmi, uint32_t offBits,
                       uint32_t cbBits, bool keepAlpha, int* width, int* height,
                       const uint32_t* monoColors) {
    if (cbBmi < 12 || !r.Has(offBmi, cbBmi) || !r.Has(offBits, cbBits)) return nullptr;
    std::vector<uint8_t> file(14);
    file[0] = 'B';
    file[1] = 'M';
    file.insert(file.end(), r.Data + offBmi, r.Data + offBmi + cbBmi);
    file.insert(file.end(), r.Data + offBits, r.Data + offBits + cbBits);
    const uint32_t total = static_cast<uint32_t>(file.size());
    const uint32_t off = 14 + cbBmi;
    for (int i = 0; i < 4; ++i) {
        file[2 + i] = static_cast<uint8_t>(total >> (8 * i));
        file[10 + i] = static_cast<uint8_t>(off >> (8 * i));
    }
    // A 32-bit DIB declared BI_RGB with its image size 0 and compressed data is
    // refused by the loader; so is anything else it does not understand.
    TBitmap bmp;
    try {
        LoadBitmapFile(bmp, file.data(), file.size());
    } catch (const Exception&) {
        return nullptr;
    }
    const int w = bmp.Width(), h = bmp.Height();
    if (w <= 0 || h <= 0) return nullptr;
    if (monoColors && bmp.BitsPerPixel() == 1) {
        TPalette pal = bmp.Palette();
        pal.SetCount(2);
        pal.Set(0, GetRValue(monoColors[0]), GetGValue(monoColors[0]), GetBValue(monoColors[0]));
        pal.Set(1, GetRValue(monoColors[1]), GetGValue(monoColors[1]), GetBValue(monoColors[1]));
        bmp.SetPalette(pal);
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        return nullptr;
    }
    cairo_surface_flush(s);
    uint8_t* data = cairo_image_surface_get_data(s);
    const int stride = cairo_image_surface_get_stride(s);
    const bool alpha = keepAlpha && bmp.BitsPerPixel() == 32;
    std::vector<uint8_t> plane = bmp.AlphaChannel();
    bool havePlane = plane.size() == static_cast<size_t>(w) * h;
    if (alpha && !havePlane && cbBmi >= 40 && U32(r.Data + offBmi) >= 40 &&
        U32(r.Data + offBmi + 16) == 0 && uint64_t(cbBits) >= uint64_t(w) * h * 4) {
        // Plain 32-bit rows carry the alpha in their fourth byte, which the
        // bitmap loader does not keep: take it from the record.
        const bool bottomUp = S32(r.Data + offBmi + 8) > 0;
        plane.resize(static_cast<size_t>(w) * h);
        for (int y = 0; y < h; ++y) {
            const uint8_t* src =
                r.Data + offBits + static_cast<size_t>(bottomUp ? h - 1 - y : y) * w * 4;
            for (int x = 0; x < w; ++x)
                plane[static_cast<size_t>(y) * w + x] = src[4 * x + 3];
        }
        havePlane = true;
    }
    for (int y = 0; y < h; ++y) {
        uint8_t* row = data + static_cast<size_t>(y) * stride;
        bmp.GetRowBGRX(y, row);
        if (alpha) {
            const uint8_t* raw = bmp.ScanLine(y);
            for (int x = 0; x < w; ++x) {
                const uint8_t a =
                    havePlane ? plane[static_cast<size_t>(y) * w + x] : raw[4 * x + 3];
                row[4 * x + 3] = a;
                // Premultiplied as the record promises; clamp colours that exceed alpha.
                for (int c = 0; c < 3; ++c)
                    row[4 * x + c] = std::min(row[4 * x + c], a);
            }
        } else {
            for (int x = 0; x < w; ++x)
                row[4 * x + 3] = 255;
        }
    }
    cairo_surface_mark_dirty(s);
    if (width) *width = w;
    if (height) *height = h;
    return Own(s);
}

// The ternary raster operation on one byte of pattern, source and destination.
static uint8_t Rop3(uint8_t rop, uint8_t p, uint8_t s, uint8_t d) {
    uint8_t out = 0;
    for (int i = 0; i < 8; ++i) {
        if (!((rop >> i) & 1)) continue;
        const uint8_t tp = (i & 4) ? p : static_cast<uint8_t>(~p);
        const uint8_t ts = (i & 2) ? s : static_cast<uint8_t>(~s);
        const uint8_t td = (i & 1) ? d : static_cast<uint8_t>(~d);
        out |= tp & ts & td;
    }
    return out;
}

void TPlayer::RopBlit(cairo_surface_t* src, const cairo_matrix_t& m, uint8_t foreCode,
                      const TPt* quad, cairo_surface_t* mask, const cairo_matrix_t* maskM,
                      uint8_t backCode) {
    // Render the source (or nothing) into a scratch surface covering the target,
    // then combine pixel by pixel inside the destination quadrilateral.
    const int w = cairo_image_surface_get_width(Surface),
              h = cairo_image_surface_get_height(Surface);
    TSurfacePtr scratch = Own(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h));
    TSurfacePtr area = Coverage(Dc.Clip);
    TSurfacePtr maskArea =
        mask && maskM ? Own(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h)) : nullptr;
    if (cairo_surface_status(scratch.get()) || !area ||
        (maskArea && cairo_surface_status(maskArea.get())))
        return;
    {
        // The quadrilateral within the clip.
        cairo_t* c = cairo_create(area.get());
        cairo_set_antialias(c, CAIRO_ANTIALIAS_NONE);
        cairo_set_operator(c, CAIRO_OPERATOR_IN);
        cairo_move_to(c, quad[0].X, quad[0].Y);
        for (int i = 1; i < 4; ++i)
            cairo_line_to(c, quad[i].X, quad[i].Y);
        cairo_close_path(c);
        cairo_fill(c);
        cairo_destroy(c);
    }
    auto render = [](cairo_surface_t* into, cairo_surface_t* from, const cairo_matrix_t& mm) {
        cairo_t* c = cairo_create(into);
        cairo_set_antialias(c, CAIRO_ANTIALIAS_NONE);
        cairo_pattern_t* pat = cairo_pattern_create_for_surface(from);
        cairo_pattern_set_filter(pat, CAIRO_FILTER_NEAREST);
        cairo_pattern_set_extend(pat, CAIRO_EXTEND_PAD);
        cairo_pattern_set_matrix(pat, &mm);
        cairo_set_source(c, pat);
        cairo_paint(c);
        cairo_pattern_destroy(pat);
        cairo_destroy(c);
        cairo_surface_flush(into);
    };
    if (src) render(scratch.get(), src, m);
    if (maskArea) render(maskArea.get(), mask, *maskM);
    cairo_surface_flush(scratch.get());
    cairo_surface_flush(Surface);
    const uint8_t* sd = cairo_image_surface_get_data(scratch.get());
    const uint8_t* ad = cairo_image_surface_get_data(area.get());
    const uint8_t* md = maskArea ? cairo_image_surface_get_data(maskArea.get()) : nullptr;
    uint8_t* dd = cairo_image_surface_get_data(Surface);
    const int ss = cairo_image_surface_get_stride(scratch.get()),
              as = cairo_image_surface_get_stride(area.get()),
              ds = cairo_image_surface_get_stride(Surface);
    const uint32_t pc = Dc.Brush.Style == BS_NULL ? 0 : Dc.Brush.Color;
    const uint8_t pat[3] = {GetBValue(pc), GetGValue(pc), GetRValue(pc)};
    for (int y = 0; y < h; ++y) {
        const uint8_t* arow = ad + static_cast<size_t>(y) * as;
        const uint8_t* srow = sd + static_cast<size_t>(y) * ss;
        const uint8_t* mrow = md ? md + static_cast<size_t>(y) * ss : nullptr;
        uint8_t* drow = dd + static_cast<size_t>(y) * ds;
        for (int x = 0; x < w; ++x) {
            if (arow[x] < 128) continue;
            // A set (white) mask pixel takes the foreground operation.
            const uint8_t code = !mrow || mrow[4 * x + 1] >= 128 ? foreCode : backCode;
            for (int c = 0; c < 3; ++c)
                drow[4 * x + c] = Rop3(code, pat[c], srow[4 * x + c], drow[4 * x + c]);
        }
    }
    cairo_surface_mark_dirty(Surface);
}

// MaskBlt: a BitBlt whose raster operation is chosen per pixel by a monochrome
// mask, the foreground one (bits 16-23) where the mask is set, the background
// one (bits 24-31) elsewhere.
void TPlayer::OnMaskBlt(const TRecord& r) {
    if (!r.Has(0, 128) || Dc.ClipNothing) return;
    const int32_t xd = r.I(24), yd = r.I(28), cxd = r.I(32), cyd = r.I(36);
    const uint32_t rop4 = r.U(40);
    const int32_t xs = r.I(44), ys = r.I(48), xm = r.I(100), ym = r.I(104);
    if (cxd == 0 || cyd == 0) return;
    TSurfacePtr src;
    if (r.U(88) != 0) {
        src = DibSurface(r, r.U(84), r.U(88), r.U(92), r.U(96), false);
        if (!src) return;
    }
    static const uint32_t monoColors[2] = {0x000000, 0xFFFFFF};
    TSurfacePtr mask;
    if (r.U(116) != 0)
        mask = DibSurface(r, r.U(112), r.U(116), r.U(120), r.U(124), false, nullptr, nullptr,
                          monoColors);
    const TPt quad[4] = {Snap(Dev(xd, yd)), Snap(Dev(double(xd) + cxd, yd)),
                         Snap(Dev(double(xd) + cxd, double(yd) + cyd)),
                         Snap(Dev(xd, double(yd) + cyd))};
    // Device to source pixels; the mask is read at the same offset from its own origin.
    const TXform t = Total();
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.A, t.B, t.C, t.D, t.E, t.F);
    cairo_matrix_translate(&m, xd, yd);
    cairo_matrix_translate(&m, -double(xs), -double(ys));
    if (cairo_matrix_invert(&m) != CAIRO_STATUS_SUCCESS) return;
    cairo_matrix_t mm = m, shift;
    cairo_matrix_init_translate(&shift, double(xm) - xs, double(ym) - ys);
    cairo_matrix_multiply(&mm, &m, &shift);
    const uint8_t fore = static_cast<uint8_t>(rop4 >> 16), back = static_cast<uint8_t>(rop4 >> 24);
    RopBlit(src.get(), m, fore, quad, mask.get(), mask ? &mm : nullptr, mask ? back : fore);
}

// PlgBlt: the source rectangle onto a parallelogram given by three corners
// (upper left, upper right, lower left); an optional mask keeps the target
// where its pixels are clear.
void TPlayer::OnPlgBlt(const TRecord& r) {
    if (!r.Has(0, 140) || Dc.ClipNothing) return;
    const TPt p0 = Dev(r.I(24), r.I(28)), p1 = Dev(r.I(32), r.I(36)), p2 = Dev(r.I(40), r.I(44));
    const int32_t xs = r.I(48), ys = r.I(52), cxs = r.I(56), cys = r.I(60);
    const int32_t xm = r.I(112), ym = r.I(116);
    if (cxs == 0 || cys == 0 || r.U(100) == 0) return;
    TSurfacePtr src = DibSurface(r, r.U(96), r.U(100), r.U(104), r.U(108), false);
    if (!src) return;
    static const uint32_t monoColors[2] = {0x000000, 0xFFFFFF};
    TSurfacePtr mask;
    if (r.U(128) != 0)
        mask = DibSurface(r, r.U(124), r.U(128), r.U(132), r.U(136), false, nullptr, nullptr,
                          monoColors);
    const TPt p3{p1.X + p2.X - p0.X, p1.Y + p2.Y - p0.Y};
    const TPt quad[4] = {Snap(p0), Snap(p1), Snap(p3), Snap(p2)};
    // Source to device, then inverted for the pattern.
    const double xx = (p1.X - p0.X) / cxs, yx = (p1.Y - p0.Y) / cxs;
    const double xy = (p2.X - p0.X) / cys, yy = (p2.Y - p0.Y) / cys;
    cairo_matrix_t m;
    cairo_matrix_init(&m, xx, yx, xy, yy, p0.X - xx * xs - xy * ys, p0.Y - yx * xs - yy * ys);
    if (cairo_matrix_invert(&m) != CAIRO_STATUS_SUCCESS) return;
    cairo_matrix_t mm = m, shift;
    cairo_matrix_init_translate(&shift, double(xm) - xs, double(ym) - ys);
    cairo_matrix_multiply(&mm, &m, &shift);
    RopBlit(src.get(), m, 0xCC, quad, mask.get(), mask ? &mm : nullptr, 0xAA);
}

// Flood fill on what is already drawn: from the start pixel, every 4-connected
// pixel not of the border colour (border mode) or of the given colour (surface
// mode) is painted with the current brush.
void TPlayer::OnFloodFill(const TRecord& r) {
    if (!r.Has(8, 16) || Dc.ClipNothing) return;
    const TPt start = Snap(Dev(r.I(8), r.I(12)));
    const uint32_t color = r.U(16) & 0xFFFFFF;
    const bool surfaceMode = r.U(20) == 1;
    const int w = cairo_image_surface_get_width(Surface),
              h = cairo_image_surface_get_height(Surface);
    if (start.X < 0 || start.Y < 0 || start.X >= w || start.Y >= h) return;
    cairo_surface_flush(Surface);
    const uint8_t* sd = cairo_image_surface_get_data(Surface);
    const int ss = cairo_image_surface_get_stride(Surface);
    const uint8_t cb = GetBValue(color), cg = GetGValue(color), cr = GetRValue(color);
    auto fillable = [&](int x, int y) {
        const uint8_t* p = sd + static_cast<size_t>(y) * ss + 4 * static_cast<size_t>(x);
        const bool same = p[0] == cb && p[1] == cg && p[2] == cr;
        return surfaceMode ? same : !same;
    };
    const int sx = static_cast<int>(start.X), sy = static_cast<int>(start.Y);
    if (!fillable(sx, sy)) return;
    TSurfacePtr area = Own(cairo_image_surface_create(CAIRO_FORMAT_A8, w, h));
    if (cairo_surface_status(area.get())) return;
    cairo_surface_flush(area.get());
    uint8_t* ad = cairo_image_surface_get_data(area.get());
    const int as = cairo_image_surface_get_stride(area.get());
    // Scanline fill: each seed fills its whole run, then seeds the rows above and below.
    std::vector<std::pair<int, int>> seeds{{sx, sy}};
    while (!seeds.empty()) {
        const auto [x, y] = seeds.back();
        seeds.pop_back();
        uint8_t* arow = ad + static_cast<size_t>(y) * as;
        if (arow[x] || !fillable(x, y)) continue;
        int x0 = x, x1 = x;
        while (x0 > 0 && !arow[x0 - 1] && fillable(x0 - 1, y))
            --x0;
        while (x1 + 1 < w && !arow[x1 + 1] && fillable(x1 + 1, y))
            ++x1;
        std::memset(arow + x0, 255, static_cast<size_t>(x1 - x0 + 1));
        for (int ny : {y - 1, y + 1}) {
            if (ny < 0 || ny >= h) continue;
            const uint8_t* nrow = ad + static_cast<size_t>(ny) * as;
            bool inRun = false;
            for (int nx = x0; nx <= x1; ++nx) {
                const bool open = !nrow[nx] && fillable(nx, ny);
                if (open && !inRun) seeds.emplace_back(nx, ny);
                inRun = open;
            }
        }
    }
    cairo_surface_mark_dirty(area.get());
    ApplyClip();
    if (SetBrush()) cairo_mask_surface(Cr, area.get(), 0, 0);
    cairo_set_operator(Cr, CAIRO_OPERATOR_OVER);
}

void TPlayer::OnBlit(const TRecord& r) {
    TBlitRecord k;
    if (!ReadBlitRecord(r, k)) return;
    const int32_t xd = k.XDest, yd = k.YDest, cxd = k.CxDest, cyd = k.CyDest;
    const int32_t xs = k.XSrc, ys = k.YSrc, cxs = k.CxSrc, cys = k.CySrc;
    const uint32_t rop = k.Rop, offBmi = k.OffBmi, cbBmi = k.CbBmi, offBits = k.OffBits,
                   cbBits = k.CbBits, blend = k.BlendFunction, transparent = k.TransparentColor;
    const bool bottomUpSource = k.DIBits;
    if (Dc.ClipNothing) return;
    const TPt q[4] = {Dev(xd, yd), Dev(double(xd) + cxd, yd),
                      Dev(double(xd) + cxd, double(yd) + cyd), Dev(xd, double(yd) + cyd)};
    TPt quad[4];
    for (int i = 0; i < 4; ++i)
        quad[i] = Snap(q[i]);
    if (cbBmi == 0) {
        // No source: a pattern or destination operation over the rectangle.
        if (rop == PATCOPY) {
            TPath p = {{TPathOp::Move, {quad[0]}},
                       {TPathOp::Line, {quad[1]}},
                       {TPathOp::Line, {quad[2]}},
                       {TPathOp::Line, {quad[3]}},
                       {TPathOp::Close, {}}};
            const int rop2 = Dc.Rop2;
            Dc.Rop2 = 13;
            Draw(p, true, false);
            Dc.Rop2 = rop2;
        } else {
            cairo_matrix_t m;
            cairo_matrix_init_identity(&m);
            RopBlit(nullptr, m, static_cast<uint8_t>(rop >> 16), quad);
        }
        return;
    }
    int w = 0, h = 0;
    const bool keepAlpha = r.Type == EMR_ALPHABLEND && ((blend >> 24) & 1);
    TSurfacePtr src = DibSurface(r, offBmi, cbBmi, offBits, cbBits, keepAlpha, &w, &h);
    if (!src || cxs == 0 || cys == 0 || cxd == 0 || cyd == 0) return;
    if (r.Type == EMR_TRANSPARENTBLT) {
        cairo_surface_flush(src.get());
        uint8_t* d = cairo_image_surface_get_data(src.get());
        const int st = cairo_image_surface_get_stride(src.get());
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = d + static_cast<size_t>(y) * st + 4 * x;
                if (RGBColor(p[2], p[1], p[0]) == transparent) p[0] = p[1] = p[2] = p[3] = 0;
            }
        cairo_surface_mark_dirty(src.get());
    }
    // A bottom-up DIB counts its source rows from the bottom. In doubles: the
    // record's values may be anywhere in the 32-bit range.
    const double top = bottomUpSource ? double(h) - ys - cys : double(ys);
    // Pattern matrix: device -> source pixels.
    const TXform t = Total();
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.A, t.B, t.C, t.D, t.E, t.F);
    cairo_matrix_translate(&m, xd, yd);
    cairo_matrix_scale(&m, double(cxd) / cxs, double(cyd) / cys);
    cairo_matrix_translate(&m, -double(xs), -top);
    if (cairo_matrix_invert(&m) != CAIRO_STATUS_SUCCESS) return;
    if (rop != SRCCOPY) {
        RopBlit(src.get(), m, static_cast<uint8_t>(rop >> 16), quad);
        return;
    }
    ApplyClip();
    cairo_pattern_t* pat = cairo_pattern_create_for_surface(src.get());
    cairo_pattern_set_filter(pat, Dc.StretchMode == 4 ? CAIRO_FILTER_GOOD : CAIRO_FILTER_NEAREST);
    cairo_pattern_set_extend(pat, CAIRO_EXTEND_PAD);
    cairo_pattern_set_matrix(pat, &m);
    cairo_set_source(Cr, pat);
    cairo_new_path(Cr);
    cairo_move_to(Cr, quad[0].X, quad[0].Y);
    for (int i = 1; i < 4; ++i)
        cairo_line_to(Cr, quad[i].X, quad[i].Y);
    cairo_close_path(Cr);
    if (r.Type == EMR_ALPHABLEND) {
        cairo_clip(Cr);
        cairo_paint_with_alpha(Cr, ((blend >> 16) & 0xFF) / 255.0);
        ClipDirty = true;
    } else {
        cairo_fill(Cr);
    }
    cairo_pattern_destroy(pat);
}

} // namespace emf::play
