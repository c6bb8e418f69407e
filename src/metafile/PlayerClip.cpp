// SPDX-License-Identifier: GPL-3.0-or-later
// The player's clipping: the clip as a list of device-space paths, combined
// by the region modes, and the region records that fill, frame or invert.
#include "metafile/Player.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace emf::play {

void TPlayer::ApplyClip() {
    if (!ClipDirty) return;
    ClipDirty = false;
    cairo_reset_clip(Cr);
    for (const TClipStep& s : Dc.Clip) {
        BuildPath(s.Path);
        cairo_set_fill_rule(Cr, s.EvenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
        cairo_clip(Cr);
    }
}

static void Trace(cairo_t* c, const TPath& path) {
    cairo_new_path(c);
    for (const TPathOp& op : path) {
        switch (op.Kind) {
        case TPathOp::Move:
            cairo_move_to(c, op.P[0].X, op.P[0].Y);
            break;
        case TPathOp::Line:
            cairo_line_to(c, op.P[0].X, op.P[0].Y);
            break;
        case TPathOp::Curve:
            cairo_curve_to(c, op.P[0].X, op.P[0].Y, op.P[1].X, op.P[1].Y, op.P[2].X, op.P[2].Y);
            break;
        case TPathOp::Close:
            cairo_close_path(c);
            break;
        }
    }
}

void TPlayer::BuildPath(const TPath& path) {
    Trace(Cr, path);
}

TSurfacePtr TPlayer::Coverage(const std::vector<TClipStep>& steps) const {
    cairo_surface_t* a =
        cairo_image_surface_create(CAIRO_FORMAT_A8, cairo_image_surface_get_width(Surface),
                                   cairo_image_surface_get_height(Surface));
    if (cairo_surface_status(a) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(a);
        return nullptr;
    }
    cairo_t* c = cairo_create(a);
    cairo_set_antialias(c, CAIRO_ANTIALIAS_NONE);
    for (const TClipStep& s : steps) {
        Trace(c, s.Path);
        cairo_set_fill_rule(c, s.EvenOdd ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
        cairo_clip(c);
    }
    cairo_paint(c);
    cairo_destroy(c);
    cairo_surface_flush(a);
    return Own(a);
}

// A rectangle covering far more than any surface, for "everything but" regions.
static TPath Everything() {
    const double big = 1e7;
    return {{TPathOp::Move, {{-big, -big}}},
            {TPathOp::Line, {{big, -big}}},
            {TPathOp::Line, {{big, big}}},
            {TPathOp::Line, {{-big, big}}},
            {TPathOp::Close, {}}};
}

void TPlayer::CombineClip(TPath region, bool evenOdd, uint32_t mode) {
    ClipDirty = true;
    switch (mode) {
    case RGN_COPY:
        Dc.Clip.clear();
        Dc.ClipNothing = region.empty();
        if (!region.empty()) Dc.Clip.push_back({std::move(region), evenOdd});
        return;
    case RGN_AND:
        if (region.empty()) {
            Dc.Clip.clear();
            Dc.ClipNothing = true;
        } else if (!Dc.ClipNothing) {
            Dc.Clip.push_back({std::move(region), evenOdd});
        }
        return;
    case RGN_DIFF:
        if (region.empty() || Dc.ClipNothing) return;
        if (!evenOdd) {
            // Outside a winding region: the complement needs the region's own coverage.
            TSurfacePtr inside = Coverage({{region, false}});
            if (!inside) return;
            region.clear();
            evenOdd = true;
            const int w = cairo_image_surface_get_width(inside.get()),
                      h = cairo_image_surface_get_height(inside.get());
            const int st = cairo_image_surface_get_stride(inside.get());
            const uint8_t* d = cairo_image_surface_get_data(inside.get());
            for (int y = 0; y < h; ++y) {
                const uint8_t* row = d + static_cast<size_t>(y) * st;
                for (int x = 0; x < w;) {
                    if (row[x] < 128) {
                        ++x;
                        continue;
                    }
                    const int x0 = x;
                    while (x < w && row[x] >= 128)
                        ++x;
                    region.push_back({TPathOp::Move, {{double(x0), double(y)}}});
                    region.push_back({TPathOp::Line, {{double(x), double(y)}}});
                    region.push_back({TPathOp::Line, {{double(x), double(y + 1)}}});
                    region.push_back({TPathOp::Line, {{double(x0), double(y + 1)}}});
                    region.push_back({TPathOp::Close, {}});
                }
            }
        }
        {
            TPath outside = Everything();
            outside.insert(outside.end(), region.begin(), region.end());
            Dc.Clip.push_back({std::move(outside), true});
        }
        return;
    case RGN_OR:
    case RGN_XOR:
        CombineByCoverage(std::move(region), evenOdd, mode);
        return;
    default:
        return; // not a combine mode: the clip stays
    }
}

void TPlayer::CombineByCoverage(TPath region, bool evenOdd, uint32_t mode) {
    // Union and exclusive-or cannot be built from intersections: both regions
    // become pixel coverage of the surface, are combined there, and the result
    // is kept as rectangles (as a region is).
    if (region.empty()) return;
    TSurfacePtr now = Dc.ClipNothing ? nullptr : Coverage(Dc.Clip);
    TSurfacePtr add = Coverage({{std::move(region), evenOdd}});
    if ((!now && !Dc.ClipNothing) || !add) return;
    const int w = cairo_image_surface_get_width(add.get()),
              h = cairo_image_surface_get_height(add.get());
    const int sa = cairo_image_surface_get_stride(add.get());
    const uint8_t* da = cairo_image_surface_get_data(add.get());
    const int sn = now ? cairo_image_surface_get_stride(now.get()) : 0;
    const uint8_t* dn = now ? cairo_image_surface_get_data(now.get()) : nullptr;
    TPath rects;
    std::vector<std::pair<int, int>> runs, open;
    int openTop = 0;
    bool full = true;
    auto flush = [&](int bottom) {
        for (const auto& [x0, x1] : open) {
            rects.push_back({TPathOp::Move, {{double(x0), double(openTop)}}});
            rects.push_back({TPathOp::Line, {{double(x1), double(openTop)}}});
            rects.push_back({TPathOp::Line, {{double(x1), double(bottom)}}});
            rects.push_back({TPathOp::Line, {{double(x0), double(bottom)}}});
            rects.push_back({TPathOp::Close, {}});
        }
    };
    for (int y = 0; y < h; ++y) {
        const uint8_t* ra = da + static_cast<size_t>(y) * sa;
        const uint8_t* rn = dn ? dn + static_cast<size_t>(y) * sn : nullptr;
        runs.clear();
        int start = -1;
        for (int x = 0; x <= w; ++x) {
            bool in = false;
            if (x < w) {
                const bool a = rn && rn[x] >= 128, b = ra[x] >= 128;
                in = mode == RGN_OR ? (a || b) : (a != b);
            }
            if (in && start < 0) start = x;
            if (!in && start >= 0) {
                runs.emplace_back(start, x);
                start = -1;
            }
        }
        if (runs.size() != 1 || runs[0] != std::make_pair(0, w)) full = false;
        if (runs != open) {
            // Rows with the same runs share one set of rectangles.
            flush(y);
            open = runs;
            openTop = y;
        }
    }
    flush(h);
    Dc.Clip.clear();
    Dc.ClipNothing = rects.empty();
    if (!full && !rects.empty()) Dc.Clip.push_back({std::move(rects), false});
}

bool TPlayer::ReadRegion(const TRecord& r, size_t cbAt, size_t dataAt, TPath& out) {
    if (!r.Has(cbAt, 4)) return false;
    const uint32_t cb = r.U(cbAt);
    if (cb < 32 || !r.Has(dataAt, cb)) return false;
    const uint32_t count = r.U(dataAt + 8);
    if (count > (cb - 32) / 16) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t o = dataAt + 32 + 16 * size_t(i);
        // Region rectangles are in device pixels of the recording.
        const double l = Limit(Place.X(r.I(o), 0)), t = Limit(Place.Y(0, r.I(o + 4)));
        const double rr = Limit(Place.X(r.I(o + 8), 0)), b = Limit(Place.Y(0, r.I(o + 12)));
        const TPt a = Snap({l, t}), c = Snap({rr, b});
        out.push_back({TPathOp::Move, {a}});
        out.push_back({TPathOp::Line, {{c.X, a.Y}}});
        out.push_back({TPathOp::Line, {c}});
        out.push_back({TPathOp::Line, {{a.X, c.Y}}});
        out.push_back({TPathOp::Close, {}});
    }
    return true;
}

// what: 0 fill with a brush, 1 paint with the current brush, 2 invert, 3 frame.
void TPlayer::Region(const TRecord& r, size_t cbAt, size_t dataAt, int what, uint32_t brush) {
    TPath path;
    if (!ReadRegion(r, cbAt, dataAt, path) || path.empty() || Dc.ClipNothing) return;
    ApplyClip();
    const TBrush saved = Dc.Brush;
    const TPen savedPen = Dc.Pen;
    if (what == 0 || what == 3) Select(brush);
    if (what == 2) {
        BuildPath(path);
        cairo_set_operator(Cr, CAIRO_OPERATOR_DIFFERENCE);
        cairo_set_source_rgb(Cr, 1, 1, 1);
        cairo_fill(Cr);
        cairo_set_operator(Cr, CAIRO_OPERATOR_OVER);
    } else if (what == 3) {
        // A frame: the region minus itself shrunk by the stroke size.
        double sw = r.Has(32, 8) ? std::abs(r.I(32)) * std::abs(Total().A) : 1;
        double sh = r.Has(32, 8) ? std::abs(r.I(36)) * std::abs(Total().D) : 1;
        sw = std::clamp(std::round(sw), 1.0, 1e4);
        sh = std::clamp(std::round(sh), 1.0, 1e4);
        if (SetBrush()) {
            TPath inner;
            for (size_t i = 0; i + 4 < path.size(); i += 5) {
                const TPt a = path[i].P[0], c = path[i + 2].P[0];
                inner.push_back({TPathOp::Move, {{a.X + sw, a.Y + sh}}});
                inner.push_back({TPathOp::Line, {{a.X + sw, c.Y - sh}}});
                inner.push_back({TPathOp::Line, {{c.X - sw, c.Y - sh}}});
                inner.push_back({TPathOp::Line, {{c.X - sw, a.Y + sh}}});
                inner.push_back({TPathOp::Close, {}});
            }
            TPath both = path;
            both.insert(both.end(), inner.begin(), inner.end());
            BuildPath(both);
            cairo_set_fill_rule(Cr, CAIRO_FILL_RULE_EVEN_ODD);
            cairo_fill(Cr);
        }
    } else if (SetBrush()) {
        BuildPath(path);
        cairo_set_fill_rule(Cr, CAIRO_FILL_RULE_WINDING);
        cairo_fill(Cr);
    }
    cairo_set_operator(Cr, CAIRO_OPERATOR_OVER);
    Dc.Brush = saved;
    Dc.Pen = savedPen;
}

void TPlayer::OnSelectClipPath(const TRecord& r) {
    TPath p = std::move(Path);
    Path.clear();
    InPath = false;
    CombineClip(std::move(p), Dc.FillMode == 1, r.Value());
}

// IntersectClipRect and ExcludeClipRect: a rectangle in logical units.
void TPlayer::OnClipRect(const TRecord& r) {
    const TRect box = r.Box();
    const double l = box.Left, t = box.Top, rr = box.Right, b = box.Bottom;
    TPath p = {{TPathOp::Move, {Snap(Dev(l, t))}},
               {TPathOp::Line, {Snap(Dev(rr, t))}},
               {TPathOp::Line, {Snap(Dev(rr, b))}},
               {TPathOp::Line, {Snap(Dev(l, b))}},
               {TPathOp::Close, {}}};
    if (r.Type == EMR_EXCLUDECLIPRECT) {
        TPath outer = Everything();
        outer.insert(outer.end(), p.begin(), p.end());
        Dc.Clip.push_back({std::move(outer), true});
    } else {
        Dc.Clip.push_back({std::move(p), false});
    }
    ClipDirty = true;
}

// EMR_EXTSELECTCLIPRGN: region size, mode, region data (device pixels).
void TPlayer::OnExtSelectClipRgn(const TRecord& r) {
    constexpr size_t SizeAt = 8, ModeAt = 12, DataAt = 16;
    const uint32_t mode = r.U(ModeAt);
    TPath p;
    if (r.U(SizeAt) == 0) {
        // No region: only a copy means anything (it removes the clip).
        if (mode == RGN_COPY) {
            Dc.Clip.clear();
            Dc.ClipNothing = false;
            ClipDirty = true;
        }
        return;
    }
    // A region's rectangles never overlap, so either fill rule gives the same area.
    if (ReadRegion(r, SizeAt, DataAt, p)) CombineClip(std::move(p), true, mode);
}

void TPlayer::OnOffsetClipRgn(const TRecord& r) {
    const TXform t = Total();
    const double ox = t.A * r.X() + t.C * r.Y(), oy = t.B * r.X() + t.D * r.Y();
    for (TClipStep& s : Dc.Clip)
        for (TPathOp& op : s.Path)
            for (TPt& p : op.P) {
                p.X += std::round(ox);
                p.Y += std::round(oy);
            }
    ClipDirty = true;
}

// The region records: bounds, region size, [brush, [frame size]], region data.
void TPlayer::OnFillRgn(const TRecord& r) {
    Region(r, 24, 32, 0, r.U(28));
}
void TPlayer::OnFrameRgn(const TRecord& r) {
    Region(r, 24, 40, 3, r.U(28));
}
void TPlayer::OnInvertRgn(const TRecord& r) {
    Region(r, 24, 28, 2, 0);
}
void TPlayer::OnPaintRgn(const TRecord& r) {
    Region(r, 24, 28, 1, 0);
}

} // namespace emf::play
