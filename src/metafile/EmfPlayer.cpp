// SPDX-License-Identifier: GPL-3.0-or-later
// Playback of EMF records onto a raster: the run, the table that hands each
// record type to its handler, the DC state records and the objects. The
// drawing handlers live beside this file, one file per concern (Player.h).
#include "metafile/EmfPlayer.h"

#include "metafile/Player.h"

#include <array>
#include <cstring>
#include <optional>

namespace emf::play {

// ---------------------------------------------------------------- dispatch

// Record type -> handler. Types without one (EMF+ comments, palettes, colour
// management and the rest) draw nothing; the mapping records are TMapState's.
struct THandlerTable {
    std::array<TPlayer::THandler, EMR_SETTEXTJUSTIFICATION + 1> Handlers{};

    void Set(std::initializer_list<uint32_t> types, TPlayer::THandler h) {
        for (uint32_t t : types)
            Handlers[t] = h;
    }
    THandlerTable() {
        using P = TPlayer;
        // DC state and objects.
        Set({EMR_SETBKCOLOR}, &P::OnSetBkColor);
        Set({EMR_SETTEXTCOLOR}, &P::OnSetTextColor);
        Set({EMR_SETBKMODE}, &P::OnSetBkMode);
        Set({EMR_SETPOLYFILLMODE}, &P::OnSetPolyFillMode);
        Set({EMR_SETROP2}, &P::OnSetRop2);
        Set({EMR_SETSTRETCHBLTMODE}, &P::OnSetStretchBltMode);
        Set({EMR_SETTEXTALIGN}, &P::OnSetTextAlign);
        Set({EMR_SETARCDIRECTION}, &P::OnSetArcDirection);
        Set({EMR_SETMITERLIMIT}, &P::OnSetMiterLimit);
        Set({EMR_SAVEDC}, &P::OnSaveDc);
        Set({EMR_RESTOREDC}, &P::OnRestoreDc);
        Set({EMR_CREATEPEN, EMR_EXTCREATEPEN, EMR_CREATEBRUSHINDIRECT, EMR_CREATEDIBPATTERNBRUSHPT,
             EMR_CREATEMONOBRUSH, EMR_EXTCREATEFONTINDIRECTW, EMR_CREATEPALETTE},
            &P::OnCreateObject);
        Set({EMR_SELECTOBJECT}, &P::OnSelectObject);
        Set({EMR_DELETEOBJECT}, &P::OnDeleteObject);
        // Lines, shapes, paths and gradients.
        Set({EMR_MOVETOEX}, &P::OnMoveTo);
        Set({EMR_LINETO}, &P::OnLineTo);
        Set({EMR_SETPIXELV}, &P::OnSetPixel);
        Set({EMR_POLYGON, EMR_POLYLINE, EMR_POLYGON16, EMR_POLYLINE16, EMR_POLYLINETO,
             EMR_POLYLINETO16, EMR_POLYBEZIER, EMR_POLYBEZIER16, EMR_POLYBEZIERTO,
             EMR_POLYBEZIERTO16},
            &P::OnPoly);
        Set({EMR_POLYPOLYLINE, EMR_POLYPOLYGON, EMR_POLYPOLYLINE16, EMR_POLYPOLYGON16},
            &P::OnPolyPoly);
        Set({EMR_RECTANGLE, EMR_ELLIPSE, EMR_ROUNDRECT, EMR_ARC, EMR_CHORD, EMR_PIE},
            &P::OnBoxShape);
        Set({EMR_ARCTO}, &P::OnArcTo);
        Set({EMR_ANGLEARC}, &P::OnAngleArc);
        Set({EMR_POLYDRAW, EMR_POLYDRAW16}, &P::OnPolyDraw);
        Set({EMR_BEGINPATH}, &P::OnBeginPath);
        Set({EMR_ENDPATH}, &P::OnEndPath);
        Set({EMR_ABORTPATH}, &P::OnAbortPath);
        Set({EMR_CLOSEFIGURE}, &P::OnCloseFigure);
        Set({EMR_FILLPATH, EMR_STROKEPATH, EMR_STROKEANDFILLPATH}, &P::OnDrawPath);
        Set({EMR_GRADIENTFILL}, &P::OnGradientFill);
        // Clipping and regions.
        Set({EMR_SELECTCLIPPATH}, &P::OnSelectClipPath);
        Set({EMR_INTERSECTCLIPRECT, EMR_EXCLUDECLIPRECT}, &P::OnClipRect);
        Set({EMR_EXTSELECTCLIPRGN}, &P::OnExtSelectClipRgn);
        Set({EMR_OFFSETCLIPRGN}, &P::OnOffsetClipRgn);
        Set({EMR_FILLRGN}, &P::OnFillRgn);
        Set({EMR_FRAMERGN}, &P::OnFrameRgn);
        Set({EMR_INVERTRGN}, &P::OnInvertRgn);
        Set({EMR_PAINTRGN}, &P::OnPaintRgn);
        // Text.
        Set({EMR_EXTTEXTOUTA, EMR_EXTTEXTOUTW}, &P::OnExtTextOut);
        Set({EMR_SMALLTEXTOUT}, &P::OnSmallTextOut);
        // Bitmaps and raster operations.
        Set({EMR_BITBLT, EMR_STRETCHBLT, EMR_STRETCHDIBITS, EMR_SETDIBITSTODEVICE, EMR_ALPHABLEND,
             EMR_TRANSPARENTBLT},
            &P::OnBlit);
        Set({EMR_MASKBLT}, &P::OnMaskBlt);
        Set({EMR_PLGBLT}, &P::OnPlgBlt);
        Set({EMR_EXTFLOODFILL}, &P::OnFloodFill);
    }
};

void TPlayer::Record(const TRecord& r) {
    if (Dc.Map.Apply(r)) return;
    static const THandlerTable table;
    if (r.Type < table.Handlers.size() && table.Handlers[r.Type])
        (this->*table.Handlers[r.Type])(r);
}

// ---------------------------------------------------------------- DC state

void TPlayer::OnSetBkColor(const TRecord& r) {
    Dc.BkColor = r.Value() & 0xFFFFFF;
}
void TPlayer::OnSetTextColor(const TRecord& r) {
    Dc.TextColor = r.Value() & 0xFFFFFF;
}
void TPlayer::OnSetBkMode(const TRecord& r) {
    Dc.BkMode = r.SignedValue();
}
void TPlayer::OnSetPolyFillMode(const TRecord& r) {
    Dc.FillMode = r.SignedValue();
}
void TPlayer::OnSetRop2(const TRecord& r) {
    Dc.Rop2 = r.SignedValue();
}
void TPlayer::OnSetStretchBltMode(const TRecord& r) {
    Dc.StretchMode = r.SignedValue();
}
void TPlayer::OnSetTextAlign(const TRecord& r) {
    Dc.TextAlign = r.Value();
}
void TPlayer::OnSetArcDirection(const TRecord& r) {
    Dc.ArcDirection = r.SignedValue();
}
void TPlayer::OnSetMiterLimit(const TRecord& r) {
    const double v = r.Value();
    if (v >= 1 && v < 1000) Dc.MiterLimit = v;
}

void TPlayer::OnSaveDc(const TRecord&) {
    Stack.Save(Dc);
}

void TPlayer::OnRestoreDc(const TRecord& r) {
    if (std::optional<TDc> saved = Stack.Restore(r.SignedValue())) {
        Dc = std::move(*saved);
        ClipDirty = true;
    }
}

// ---------------------------------------------------------------- objects

void TPlayer::OnCreateObject(const TRecord& r) {
    if (!r.Has(8, 4)) return;
    const uint32_t ih = r.U(8);
    if (ih == 0 || !Objects.Holds(ih)) return; // a handle outside the table is ignored
    TObject o;
    switch (r.Type) {
    case EMR_CREATEPEN:
        if (!r.Has(12, 16)) return;
        o.Kind = TObject::Pen;
        o.P.Style = r.U(12);
        o.P.Width = std::abs(r.I(16));
        o.P.Geometric = o.P.Width > 1;
        o.P.Color = r.U(24) & 0xFFFFFF;
        break;
    case EMR_EXTCREATEPEN: {
        if (!r.Has(28, 24)) return;
        o.Kind = TObject::Pen;
        o.P.Style = r.U(28);
        o.P.Width = r.U(32);
        o.P.Geometric = (o.P.Style & 0x00010000) != 0;
        if (!o.P.Geometric) o.P.Width = 0;
        o.P.Color = r.U(40) & 0xFFFFFF;
        const uint32_t n = r.U(48);
        if ((o.P.Style & 0xF) == PS_USERSTYLE && n <= 16 && r.Has(52, n * 4))
            for (uint32_t i = 0; i < n; ++i)
                o.P.User.push_back(r.U(52 + 4 * i));
        if (r.U(36) == BS_NULL) o.P.Style = (o.P.Style & ~0xFu) | PS_NULL;
        break;
    }
    case EMR_CREATEBRUSHINDIRECT:
        if (!r.Has(12, 12)) return;
        o.Kind = TObject::Brush;
        o.B.Style = r.U(12);
        o.B.Color = r.U(16) & 0xFFFFFF;
        o.B.Hatch = r.U(20);
        if (o.B.Style != BS_SOLID && o.B.Style != BS_NULL && o.B.Style != BS_HATCHED)
            o.B.Style = BS_SOLID;
        break;
    case EMR_CREATEDIBPATTERNBRUSHPT:
    case EMR_CREATEMONOBRUSH: {
        if (!r.Has(12, 20)) return;
        o.Kind = TObject::Brush;
        o.B.Style = BS_DIBPATTERNPT;
        const uint32_t colors[2] = {Dc.TextColor, Dc.BkColor};
        o.B.Pattern = DibSurface(r, r.U(16), r.U(20), r.U(24), r.U(28), false, nullptr, nullptr,
                                 r.Type == EMR_CREATEMONOBRUSH ? colors : nullptr);
        if (!o.B.Pattern) {
            o.B.Style = BS_SOLID;
            o.B.Color = 0x808080;
        }
        break;
    }
    case EMR_EXTCREATEFONTINDIRECTW: {
        if (!r.Has(12, 92)) return;
        o.Kind = TObject::Font;
        o.F.Height = r.I(12);
        o.F.Width = r.I(16);
        o.F.Escapement = r.I(20);
        o.F.Orientation = r.I(24);
        o.F.Weight = r.I(28);
        o.F.Italic = r.Data[32];
        o.F.Underline = r.Data[33];
        o.F.StrikeOut = r.Data[34];
        o.F.CharSet = r.Data[35];
        o.F.Quality = r.Data[38];
        for (int i = 0; i < 32; ++i) {
            const uint16_t c = U16(r.Data + 40 + 2 * i);
            if (!c) break;
            AppendUtf8(o.F.Face, c);
        }
        break;
    }
    case EMR_CREATEPALETTE:
        o.Kind = TObject::Palette;
        break;
    default:
        return;
    }
    Objects.Put(ih, std::move(o));
}

void TPlayer::Select(uint32_t ih) {
    if (ih & StockObjectFlag) {
        switch (ih & 0xFF) {
        case 0:
            Dc.Brush = {BS_SOLID, 0xFFFFFF, 0, nullptr, false};
            break;
        case 1:
            Dc.Brush = {BS_SOLID, 0xC0C0C0, 0, nullptr, false};
            break;
        case 2:
            Dc.Brush = {BS_SOLID, 0x808080, 0, nullptr, false};
            break;
        case 3:
            Dc.Brush = {BS_SOLID, 0x404040, 0, nullptr, false};
            break;
        case 4:
            Dc.Brush = {BS_SOLID, 0, 0, nullptr, false};
            break;
        case 5:
            Dc.Brush = {BS_NULL, 0, 0, nullptr, false};
            break;
        case 6:
            Dc.Pen = TPen{PS_SOLID, 0, false, 0xFFFFFF, {}};
            break;
        case 7:
            Dc.Pen = TPen{PS_SOLID, 0, false, 0, {}};
            break;
        case 8:
            Dc.Pen = TPen{PS_NULL, 0, false, 0, {}};
            break;
        case 10:
        case 11:
        case 16:
            Dc.Font = TFont{};
            Dc.Font.Face = "Courier New";
            break;
        case 12:
        case 13:
        case 14:
        case 17:
            Dc.Font = TFont{};
            Dc.Font.Face = "Arial";
            break;
        default:
            break;
        }
        return;
    }
    const TObject* found = Objects.Find(ih);
    if (!found) return;
    const TObject& o = *found;
    switch (o.Kind) {
    case TObject::Pen:
        Dc.Pen = o.P;
        break;
    case TObject::Brush:
        Dc.Brush = o.B;
        break;
    case TObject::Font:
        Dc.Font = o.F;
        break;
    default:
        break;
    }
}

void TPlayer::OnSelectObject(const TRecord& r) {
    Select(r.Value());
}

void TPlayer::OnDeleteObject(const TRecord& r) {
    Objects.Erase(r.Value());
}

// ---------------------------------------------------------------- the run

void TPlayer::Run(const TPlayProgress& progress) {
    const TEmfHeader h = ParseEmf(Emf.data(), Emf.size());
    Dc.Map.PxPerMmX = double(h.DeviceX) / h.MillimetersX;
    Dc.Map.PxPerMmY = double(h.DeviceY) / h.MillimetersY;
    const TBox box = PictureBox(h);
    const double fx0 = box.X, fy0 = box.Y, fw = box.W, fh = box.H;
    // The frame onto the rectangle, in the scratch surface's pixels.
    Place.A = Rect_.Width() / fw;
    Place.D = Rect_.Height() / fh;
    Place.E = Rect_.Left - OffX - fx0 * Place.A;
    Place.F = Rect_.Top - OffY - fy0 * Place.D;
    Objects = TObjectTable<TObject>(h.Handles);

    Cr = cairo_create(Surface);
    cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
    const size_t total = Emf.size();
    int lastPercent = -1;
    size_t pos = 0;
    if (progress) progress(0, false);
    ForEachRecord(Emf, [&](const TRecord& r) {
        Record(r);
        if (cairo_status(Cr) != CAIRO_STATUS_SUCCESS) {
            // A record that put cairo into an error state: go on with a fresh context.
            cairo_destroy(Cr);
            Cr = cairo_create(Surface);
            cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
            ClipDirty = true;
        }
        pos += r.Size;
        if (progress) {
            const int pct = static_cast<int>(pos * 100 / std::max<size_t>(total, 1));
            if (pct != lastPercent && pct < 100) {
                lastPercent = pct;
                progress(pct, false);
            }
        }
        return true;
    });
    cairo_surface_flush(Surface);
    if (progress) progress(100, true);
}

} // namespace emf::play

using namespace emf;

#if defined(__SANITIZE_ADDRESS__)
#define TREVASCO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TREVASCO_ASAN 1
#endif
#endif
#if defined(TREVASCO_ASAN)
// Fontconfig keeps parts of its parsed configuration in blocks it never
// frees; they are the library's, not ours, and would fail every sanitizer run.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif

void PlayEmfOnBitmap(const std::vector<uint8_t>& emf, TBitmap& target, const TRect& rect,
                     const TPlayProgress& progress) {
    ParseEmf(emf.data(), emf.size());
    TRect r = rect;
    if (r.Left > r.Right) std::swap(r.Left, r.Right);
    if (r.Top > r.Bottom) std::swap(r.Top, r.Bottom);
    const int x0 = std::max(r.Left, 0), x1 = std::min(r.Right, target.Width());
    const int y0 = std::max(r.Top, 0), y1 = std::min(r.Bottom, target.Height());
    if (x0 >= x1 || y0 >= y1) return;
    const int w = x1 - x0, h = y1 - y0;
    CheckRasterSize(w, h);
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(s);
        throw EOutOfResources("Out of system resources");
    }
    const int stride = cairo_image_surface_get_stride(s);
    uint8_t* data = cairo_image_surface_get_data(s);
    std::vector<uint8_t> row(static_cast<size_t>(target.Width()) * 4);
    std::vector<uint8_t> before(static_cast<size_t>(w) * 4 * h);
    for (int y = 0; y < h; ++y) {
        target.GetRowBGRX(y0 + y, row.data());
        std::memcpy(data + static_cast<size_t>(y) * stride, row.data() + 4 * x0,
                    static_cast<size_t>(w) * 4);
        std::memcpy(before.data() + static_cast<size_t>(y) * w * 4, row.data() + 4 * x0,
                    static_cast<size_t>(w) * 4);
    }
    cairo_surface_mark_dirty(s);
    try {
        // The mapping keeps the full rectangle even when only part of it is visible.
        TRect mapped = rect;
        emf::play::TPlayer player(emf, s, x0, y0, mapped);
        player.Run(progress);
    } catch (...) {
        cairo_surface_destroy(s);
        throw;
    }
    // Only rows the records changed are written back, so untouched pixels keep their exact value.
    for (int y = 0; y < h; ++y) {
        const uint8_t* now = data + static_cast<size_t>(y) * stride;
        const uint8_t* old = before.data() + static_cast<size_t>(y) * w * 4;
        bool changed = false;
        for (int x = 0; x < w && !changed; ++x)
            changed = now[4 * x] != old[4 * x] || now[4 * x + 1] != old[4 * x + 1] ||
                      now[4 * x + 2] != old[4 * x + 2];
        if (!changed) continue;
        target.GetRowBGRX(y0 + y, row.data());
        std::memcpy(row.data() + 4 * x0, now, static_cast<size_t>(w) * 4);
        target.SetRowBGRX(y0 + y, row.data());
    }
    cairo_surface_destroy(s);
}
