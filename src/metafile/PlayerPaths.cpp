// SPDX-License-Identifier: GPL-3.0-or-later
// The player's pens, brushes, lines, shapes, paths and gradients.
#include "metafile/Player.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>

namespace emf::play {

void TPlayer::SetRop2Operator() {
    switch (Dc.Rop2) {
    case 6: // not: inverts the target
    case 7: // xor pen
        cairo_set_operator(Cr, CAIRO_OPERATOR_DIFFERENCE);
        break;
    case 9:
        cairo_set_operator(Cr, CAIRO_OPERATOR_MULTIPLY);
        break; // and
    case 15:
        cairo_set_operator(Cr, CAIRO_OPERATOR_SCREEN);
        break; // or
    default:
        cairo_set_operator(Cr, CAIRO_OPERATOR_OVER);
        break;
    }
}

bool TPlayer::SetPen() {
    const TPen& p = Dc.Pen;
    if ((p.Style & 0xF) == PS_NULL || Dc.Rop2 == 11) return false;
    uint32_t color = p.Color;
    if (Dc.Rop2 == 1) color = 0;
    if (Dc.Rop2 == 16) color = 0xFFFFFF;
    if (Dc.Rop2 == 6) color = 0xFFFFFF;
    SetColor(color);
    SetRop2Operator();
    const double scale = Total().Scale();
    double w = p.Width * scale;
    if (w < 1 || (!p.Geometric && p.Width <= 1)) w = 1;
    cairo_set_line_width(Cr, std::min(w, 1e5));
    const uint32_t cap = p.Style & 0xF00, join = p.Style & 0xF000;
    const bool thin = w <= 1.0;
    cairo_set_line_cap(Cr, thin           ? CAIRO_LINE_CAP_BUTT
                           : cap == 0x100 ? CAIRO_LINE_CAP_SQUARE
                           : cap == 0x200 ? CAIRO_LINE_CAP_BUTT
                                          : CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(Cr, join == 0x1000   ? CAIRO_LINE_JOIN_BEVEL
                            : join == 0x2000 ? CAIRO_LINE_JOIN_MITER
                            : thin           ? CAIRO_LINE_JOIN_MITER
                                             : CAIRO_LINE_JOIN_ROUND);
    cairo_set_miter_limit(Cr, std::clamp(Dc.MiterLimit, 1.0, 100.0));
    // Dashes: cosmetic patterns in pixels; geometric ones scale with the width.
    std::vector<double> d;
    const double u = thin ? 1 : w;
    switch (p.Style & 0xF) {
    case PS_DASH:
        d = {18 * (thin ? 1 : u / 6), 6 * (thin ? 1 : u / 6)};
        if (!thin) d = {3 * u, u};
        break;
    case PS_DOT:
        d = thin ? std::vector<double>{3, 3} : std::vector<double>{u, u};
        break;
    case PS_DASHDOT:
        d = thin ? std::vector<double>{9, 6, 3, 6} : std::vector<double>{3 * u, u, u, u};
        break;
    case PS_DASHDOTDOT:
        d = thin ? std::vector<double>{9, 3, 3, 3, 3, 3}
                 : std::vector<double>{3 * u, u, u, u, u, u};
        break;
    case PS_ALTERNATE:
        d = {1, 1};
        break;
    case PS_USERSTYLE:
        for (double v : p.User)
            d.push_back(std::max(v * (p.Geometric ? scale : 1), 0.0));
        break;
    default:
        break;
    }
    double sum = 0;
    for (double v : d)
        sum += v;
    if (sum > 0 && sum < 1e6)
        cairo_set_dash(Cr, d.data(), static_cast<int>(d.size()), 0);
    else
        cairo_set_dash(Cr, nullptr, 0, 0);
    return true;
}

bool TPlayer::SetBrush() {
    const TBrush& b = Dc.Brush;
    if (b.Style == BS_NULL || Dc.Rop2 == 11) return false;
    SetRop2Operator();
    if (Dc.Rop2 == 1 || Dc.Rop2 == 16 || Dc.Rop2 == 6) {
        SetColor(Dc.Rop2 == 1 ? 0 : 0xFFFFFF);
        return true;
    }
    if (b.Style == BS_HATCHED && b.Hatch <= 5) {
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
        cairo_t* c = cairo_create(s);
        cairo_set_antialias(c, CAIRO_ANTIALIAS_NONE);
        if (Dc.BkMode == 2) {
            cairo_set_source_rgb(c, GetRValue(Dc.BkColor) / 255.0, GetGValue(Dc.BkColor) / 255.0,
                                 GetBValue(Dc.BkColor) / 255.0);
            cairo_paint(c);
        }
        cairo_set_source_rgb(c, GetRValue(b.Color) / 255.0, GetGValue(b.Color) / 255.0,
                             GetBValue(b.Color) / 255.0);
        for (int i = 0; i < 8; ++i) {
            switch (b.Hatch) {
            case 0:
                cairo_rectangle(c, i, 4, 1, 1);
                break; // horizontal
            case 1:
                cairo_rectangle(c, 4, i, 1, 1);
                break; // vertical
            case 2:
                cairo_rectangle(c, i, i, 1, 1);
                break; // forward diagonal
            case 3:
                cairo_rectangle(c, 7 - i, i, 1, 1);
                break;
            case 4:
                cairo_rectangle(c, i, 4, 1, 1);
                cairo_rectangle(c, 4, i, 1, 1);
                break;
            default:
                cairo_rectangle(c, i, i, 1, 1);
                cairo_rectangle(c, 7 - i, i, 1, 1);
                break;
            }
        }
        cairo_fill(c);
        cairo_destroy(c);
        cairo_pattern_t* pat = cairo_pattern_create_for_surface(s);
        cairo_surface_destroy(s);
        cairo_pattern_set_extend(pat, CAIRO_EXTEND_REPEAT);
        cairo_pattern_set_filter(pat, CAIRO_FILTER_NEAREST);
        cairo_matrix_t m;
        cairo_matrix_init_translate(&m, OffX, OffY); // patterns line up with the target's pixels
        cairo_pattern_set_matrix(pat, &m);
        cairo_set_source(Cr, pat);
        cairo_pattern_destroy(pat);
        return true;
    }
    if ((b.Style == BS_PATTERN || b.Style == BS_DIBPATTERN || b.Style == BS_DIBPATTERNPT) &&
        b.Pattern) {
        cairo_pattern_t* pat = cairo_pattern_create_for_surface(b.Pattern.get());
        cairo_pattern_set_extend(pat, CAIRO_EXTEND_REPEAT);
        cairo_pattern_set_filter(pat, CAIRO_FILTER_NEAREST);
        cairo_matrix_t m;
        cairo_matrix_init_translate(&m, OffX, OffY);
        cairo_pattern_set_matrix(pat, &m);
        cairo_set_source(Cr, pat);
        cairo_pattern_destroy(pat);
        return true;
    }
    SetColor(b.Color);
    return true;
}

void TPlayer::Draw(const TPath& path, bool fill, bool stroke) {
    if (path.empty() || Dc.ClipNothing) return;
    ApplyClip();
    if (fill && SetBrush()) {
        BuildPath(path);
        cairo_set_fill_rule(Cr,
                            Dc.FillMode == 1 ? CAIRO_FILL_RULE_EVEN_ODD : CAIRO_FILL_RULE_WINDING);
        cairo_fill(Cr);
    }
    if (stroke && SetPen()) {
        // Lines run through pixel centres.
        TPath shifted = path;
        for (TPathOp& op : shifted)
            for (TPt& p : op.P) {
                p.X += 0.5;
                p.Y += 0.5;
            }
        BuildPath(shifted);
        cairo_stroke(Cr);
    }
    cairo_new_path(Cr);
    cairo_set_operator(Cr, CAIRO_OPERATOR_OVER);
}

void TPlayer::Emit(const TPath& path, bool closedShape) {
    if (InPath) {
        Append(path);
        return;
    }
    Draw(path, closedShape, true);
}

TPath TPlayer::Polyline(const std::vector<TPt>& logical, bool closed) const {
    TPath p;
    for (size_t i = 0; i < logical.size(); ++i) {
        const TPt d = Snap(Dev(logical[i].X, logical[i].Y));
        p.push_back({i == 0 ? TPathOp::Move : TPathOp::Line, {d}});
    }
    if (closed && !p.empty()) p.push_back({TPathOp::Close, {}});
    return p;
}

void TPlayer::Bezier(const std::vector<TPt>& pts, bool to) {
    TPath p;
    size_t i = 0;
    if (to) {
        const TPt c = Snap(Dev(Dc.Cur.X, Dc.Cur.Y));
        if (!InPath || Path.empty()) p.push_back({TPathOp::Move, {c}});
    } else {
        if (pts.empty()) return;
        p.push_back({TPathOp::Move, {Snap(Dev(pts[0].X, pts[0].Y))}});
        i = 1;
    }
    for (; i + 2 < pts.size(); i += 3) {
        p.push_back({TPathOp::Curve,
                     {Dev(pts[i].X, pts[i].Y), Dev(pts[i + 1].X, pts[i + 1].Y),
                      Snap(Dev(pts[i + 2].X, pts[i + 2].Y))}});
        Dc.Cur = pts[i + 2];
    }
    if (InPath) {
        Append(p);
        return;
    }
    Draw(p, false, true);
}

void TPlayer::EmitLine(const TPath& path) {
    if (InPath)
        Append(path);
    else
        Draw(path, false, true);
}

void TPlayer::OnMoveTo(const TRecord& r) {
    Dc.Cur = {double(r.X()), double(r.Y())};
    if (InPath) Path.push_back({TPathOp::Move, {Snap(Dev(Dc.Cur.X, Dc.Cur.Y))}});
}

void TPlayer::OnLineTo(const TRecord& r) {
    const TPt to{double(r.X()), double(r.Y())};
    TPath p;
    if (!InPath || Path.empty()) p.push_back({TPathOp::Move, {Snap(Dev(Dc.Cur.X, Dc.Cur.Y))}});
    p.push_back({TPathOp::Line, {Snap(Dev(to.X, to.Y))}});
    Dc.Cur = to;
    EmitLine(p);
}

// EMR_SETPIXELV: a point and its colour.
void TPlayer::OnSetPixel(const TRecord& r) {
    const TPt p = Snap(Dev(r.X(), r.Y()));
    if (Dc.ClipNothing) return;
    ApplyClip();
    SetColor(r.U(16));
    cairo_rectangle(Cr, p.X, p.Y, 1, 1);
    cairo_fill(Cr);
}

// Polygon, polyline, polyline-to, Bezier, Bezier-to (32- and 16-bit points):
// bounds, count, points.
void TPlayer::OnPoly(const TRecord& r) {
    constexpr size_t CountAt = 24, PointsAt = 28;
    std::vector<TPt> pts;
    if (!r.ReadPoints(PointsAt, r.U(CountAt), pts) || pts.empty()) return;
    const uint32_t base = r.SmallPoints() ? r.Type - (EMR_POLYBEZIER16 - EMR_POLYBEZIER) : r.Type;
    if (base == EMR_POLYBEZIER || base == EMR_POLYBEZIERTO) {
        Bezier(pts, base == EMR_POLYBEZIERTO);
        return;
    }
    if (base == EMR_POLYLINETO) {
        pts.insert(pts.begin(), Dc.Cur);
        Dc.Cur = pts.back();
        TPath p = Polyline(pts, false);
        if (InPath && !Path.empty()) p.erase(p.begin());
        EmitLine(p);
        return;
    }
    Emit(Polyline(pts, base == EMR_POLYGON), base == EMR_POLYGON);
}

// Poly-polyline and poly-polygon: bounds, figure count, point count, the
// figures' point counts, the points.
void TPlayer::OnPolyPoly(const TRecord& r) {
    constexpr size_t FiguresAt = 24, TotalAt = 28, CountsAt = 32;
    const uint32_t polys = r.U(FiguresAt), total = r.U(TotalAt);
    if (polys == 0 || polys > 0x1000000 || !r.Has(CountsAt, uint64_t(polys) * 4)) return;
    std::vector<TPt> pts;
    if (!r.ReadPoints(CountsAt + size_t(polys) * 4, total, pts)) return;
    const bool polygon = r.Type == EMR_POLYPOLYGON || r.Type == EMR_POLYPOLYGON16;
    TPath all;
    size_t k = 0;
    for (uint32_t i = 0; i < polys; ++i) {
        const uint32_t c = r.U(CountsAt + 4 * i);
        if (c > total - k) return;
        std::vector<TPt> one(pts.begin() + k, pts.begin() + k + c);
        k += c;
        TPath p = Polyline(one, polygon);
        all.insert(all.end(), p.begin(), p.end());
    }
    if (polygon)
        Emit(all, true);
    else
        EmitLine(all);
}

// ArcTo and AngleArc both draw a line from the current position to the arc's
// start, then the arc, and leave the current position at its end. Traced as a polyline.
void TPlayer::ArcFromCurrent(double cx, double cy, double rx, double ry, double a0, double sweep) {
    const int steps =
        std::clamp(static_cast<int>(std::abs(sweep) / (std::numbers::pi / 64)) + 1, 1, 4096);
    std::vector<TPt> pts = {Dc.Cur};
    for (int i = 0; i <= steps; ++i) {
        const double a = a0 + sweep * i / steps;
        pts.push_back({cx + rx * std::cos(a), cy + ry * std::sin(a)});
    }
    Dc.Cur = pts.back();
    TPath p = Polyline(pts, false);
    if (InPath) {
        if (!Path.empty()) p.front().Kind = TPathOp::Line;
        Append(p);
    } else {
        Draw(p, false, true);
    }
}

// EMR_ARCTO: the box, then the start and end radial points.
void TPlayer::OnArcTo(const TRecord& r) {
    if (!r.Has(8, 32)) return;
    const TRect box = r.Box();
    const double l = box.Left, t = box.Top, rr = box.Right, b = box.Bottom;
    const double cx = (l + rr) / 2, cy = (t + b) / 2, rx = (rr - l) / 2, ry = (b - t) / 2;
    if (rx == 0 || ry == 0) return;
    const double a0 = std::atan2((r.I(28) - cy) / ry, (r.I(24) - cx) / rx);
    double a1 = std::atan2((r.I(36) - cy) / ry, (r.I(32) - cx) / rx);
    const TXform x = Total();
    bool ccw = Dc.ArcDirection != 2;
    if (x.A * x.D - x.B * x.C < 0) ccw = !ccw;
    if (ccw)
        while (a1 >= a0)
            a1 -= 2 * std::numbers::pi;
    else
        while (a1 <= a0)
            a1 += 2 * std::numbers::pi;
    ArcFromCurrent(cx, cy, rx, ry, a0, a1 - a0);
}

// EMR_ANGLEARC: centre, radius, start angle and sweep in degrees.
void TPlayer::OnAngleArc(const TRecord& r) {
    constexpr size_t RadiusAt = 16, StartAt = 20, SweepAt = 24;
    if (!r.Has(8, 20)) return;
    const double cx = r.X(), cy = r.Y();
    const double radius = std::min<double>(r.U(RadiusAt), 1e7);
    const double start = r.F(StartAt), sw = r.F(SweepAt);
    if (!std::isfinite(start) || !std::isfinite(sw)) return;
    // Degrees counter-clockwise as seen on a y-down screen.
    const double a0 = -std::fmod(start, 360.0) * std::numbers::pi / 180;
    const double sweep = -std::clamp(sw, -3600.0, 3600.0) * std::numbers::pi / 180;
    ArcFromCurrent(cx, cy, radius, radius, a0, sweep);
}

// EMR_POLYDRAW(16): bounds, count, points, then one type byte each: move,
// line or Bezier, with a close flag.
void TPlayer::OnPolyDraw(const TRecord& r) {
    constexpr size_t CountAt = 24, PointsAt = 28;
    const uint32_t count = r.U(CountAt);
    std::vector<TPt> pts;
    if (count == 0 || !r.ReadPoints(PointsAt, count, pts)) return;
    const size_t typesAt = PointsAt + size_t(count) * (r.SmallPoints() ? 4 : 8);
    if (!r.Has(typesAt, count)) return;
    TPath p;
    if (!InPath || Path.empty()) p.push_back({TPathOp::Move, {Snap(Dev(Dc.Cur.X, Dc.Cur.Y))}});
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t type = r.Data[typesAt + i];
        uint32_t last = i;
        if ((type & 6) == 6) {
            p.push_back({TPathOp::Move, {Snap(Dev(pts[i].X, pts[i].Y))}});
        } else if ((type & 6) == 4 && i + 2 < count) {
            p.push_back({TPathOp::Curve,
                         {Dev(pts[i].X, pts[i].Y), Dev(pts[i + 1].X, pts[i + 1].Y),
                          Snap(Dev(pts[i + 2].X, pts[i + 2].Y))}});
            last = i + 2;
        } else {
            p.push_back({TPathOp::Line, {Snap(Dev(pts[i].X, pts[i].Y))}});
        }
        if (r.Data[typesAt + last] & 1) p.push_back({TPathOp::Close, {}});
        i = last;
    }
    Dc.Cur = pts.back();
    EmitLine(p);
}

void TPlayer::OnBeginPath(const TRecord&) {
    InPath = true;
    Path.clear();
}

void TPlayer::OnEndPath(const TRecord&) {
    InPath = false;
}

void TPlayer::OnAbortPath(const TRecord&) {
    InPath = false;
    Path.clear();
}

void TPlayer::OnCloseFigure(const TRecord&) {
    if (InPath && !Path.empty()) Path.push_back({TPathOp::Close, {}});
}

// FillPath, StrokePath, StrokeAndFillPath: the path is used up.
void TPlayer::OnDrawPath(const TRecord& r) {
    const bool fill = r.Type != EMR_STROKEPATH, stroke = r.Type != EMR_FILLPATH;
    TPath p = std::move(Path);
    Path.clear();
    InPath = false;
    Draw(p, fill, stroke);
}

// Part of an ellipse (angles a0 to a1 of its own parameter) as Bezier pieces
// of at most a quarter turn, each point passed through map.
static void EllipseArc(TPath& out, double cx, double cy, double rx, double ry, double a0, double a1,
                       bool move, const std::function<TPt(TPt)>& map) {
    const int n =
        std::max(1, static_cast<int>(std::ceil(std::abs(a1 - a0) / (std::numbers::pi / 2) - 1e-9)));
    const double step = (a1 - a0) / n;
    const double h = 4.0 / 3.0 * std::tan(step / 4);
    for (int i = 0; i < n; ++i) {
        const double s = a0 + i * step, e = s + step;
        const TPt p0{cx + rx * std::cos(s), cy + ry * std::sin(s)};
        const TPt p3{cx + rx * std::cos(e), cy + ry * std::sin(e)};
        const TPt p1{p0.X - h * rx * std::sin(s), p0.Y + h * ry * std::cos(s)};
        const TPt p2{p3.X + h * rx * std::sin(e), p3.Y - h * ry * std::cos(e)};
        if (i == 0 && move) out.push_back({TPathOp::Move, {map(p0)}});
        out.push_back({TPathOp::Curve, {map(p1), map(p2), map(p3)}});
    }
}

// Rectangle, ellipse, round rectangle, arc, chord, pie: GDI's box excludes
// its right and bottom edges.
void TPlayer::OnBoxShape(const TRecord& r) {
    if (!r.Has(8, 16)) return;
    const double l = r.I(8), t = r.I(12), rr = r.I(16), b = r.I(20);
    const TXform x = Total();
    const bool nullPen = (Dc.Pen.Style & 0xF) == PS_NULL;
    TPath path;
    // Device box when the mapping keeps axes, so that edges land on pixels as GDI puts them.
    const bool aligned = x.AxisAligned();
    double L, T, R, B;
    std::function<TPt(TPt)> map;
    if (aligned) {
        const TPt a = Snap(Dev(l, t)), c = Snap(Dev(rr, b));
        L = std::min(a.X, c.X);
        T = std::min(a.Y, c.Y);
        R = std::max(a.X, c.X);
        B = std::max(a.Y, c.Y);
        if (!InPath) {
            // The box excludes its right and bottom edges: the outline runs
            // through the pixels just inside (Draw adds half a pixel), and
            // without a pen the fill ends there too.
            R -= 1;
            B -= 1;
        }
        map = [](TPt p) { return p; };
    } else {
        L = l;
        T = t;
        R = rr;
        B = b;
        map = [this](TPt p) { return Dev(p.X, p.Y); };
    }
    if ((Dc.Pen.Style & 0xF) == PS_INSIDEFRAME && Dc.Pen.Geometric && !InPath) {
        // The figure shrinks so that the whole stroke lies inside its box.
        if (aligned) {
            const double w = Dc.Pen.Width * x.Scale();
            if (w > 1) {
                const double in =
                    std::min({(w - 1) / 2, std::max((R - L) / 2, 0.0), std::max((B - T) / 2, 0.0)});
                L += in;
                T += in;
                R -= in;
                B -= in;
            }
        } else {
            const double in = Dc.Pen.Width / 2;
            const double hx = std::abs(R - L) / 2, hy = std::abs(B - T) / 2;
            const double ix = std::min(in, hx), iy = std::min(in, hy);
            const double sx = L < R ? ix : -ix, sy = T < B ? iy : -iy;
            L += sx;
            R -= sx;
            T += sy;
            B -= sy;
        }
    }
    const double cx = (L + R) / 2, cy = (T + B) / 2, rx = (R - L) / 2, ry = (B - T) / 2;
    switch (r.Type) {
    case EMR_RECTANGLE:
        path = {{TPathOp::Move, {map({L, T})}},
                {TPathOp::Line, {map({R, T})}},
                {TPathOp::Line, {map({R, B})}},
                {TPathOp::Line, {map({L, B})}},
                {TPathOp::Close, {}}};
        break;
    case EMR_ELLIPSE:
        EllipseArc(path, cx, cy, rx, ry, 0, 2 * std::numbers::pi, true, map);
        path.push_back({TPathOp::Close, {}});
        break;
    case EMR_ROUNDRECT: {
        if (!r.Has(24, 8)) return;
        double ew = r.I(24), eh = r.I(28);
        if (aligned) {
            ew *= std::abs(x.A);
            eh *= std::abs(x.D);
        }
        const double ex = std::min(std::abs(ew) / 2, (R - L) / 2),
                     ey = std::min(std::abs(eh) / 2, (B - T) / 2);
        const double pi = std::numbers::pi;
        path.push_back({TPathOp::Move, {map({L + ex, T})}});
        path.push_back({TPathOp::Line, {map({R - ex, T})}});
        EllipseArc(path, R - ex, T + ey, ex, ey, -pi / 2, 0, false, map);
        path.push_back({TPathOp::Line, {map({R, B - ey})}});
        EllipseArc(path, R - ex, B - ey, ex, ey, 0, pi / 2, false, map);
        path.push_back({TPathOp::Line, {map({L + ex, B})}});
        EllipseArc(path, L + ex, B - ey, ex, ey, pi / 2, pi, false, map);
        path.push_back({TPathOp::Line, {map({L, T + ey})}});
        EllipseArc(path, L + ex, T + ey, ex, ey, pi, 1.5 * pi, false, map);
        path.push_back({TPathOp::Close, {}});
        break;
    }
    default: { // arc, chord, pie
        if (!r.Has(24, 16)) return;
        TPt s{double(r.I(24)), double(r.I(28))}, e{double(r.I(32)), double(r.I(36))};
        bool ccw = Dc.ArcDirection != 2;
        if (aligned) {
            s = Dev(s.X, s.Y);
            e = Dev(e.X, e.Y);
            // A mirrored mapping turns the logical direction around on the screen.
            if ((x.A < 0) != (x.D < 0)) ccw = !ccw;
        }
        double a0 = std::atan2(s.Y - cy, s.X - cx), a1 = std::atan2(e.Y - cy, e.X - cx);
        if (rx == 0 || ry == 0) return;
        // Angles of the ellipse's own parameter, not of the radial points.
        a0 = std::atan2(std::sin(a0) / ry, std::cos(a0) / rx);
        a1 = std::atan2(std::sin(a1) / ry, std::cos(a1) / rx);
        // Counter-clockwise on a y-down screen means decreasing angles.
        if (ccw) {
            while (a1 >= a0)
                a1 -= 2 * std::numbers::pi;
        } else {
            while (a1 <= a0)
                a1 += 2 * std::numbers::pi;
        }
        EllipseArc(path, cx, cy, rx, ry, a0, a1, true, map);
        if (r.Type == EMR_PIE) path.push_back({TPathOp::Line, {map({cx, cy})}});
        if (r.Type != EMR_ARC) path.push_back({TPathOp::Close, {}});
        if (r.Type == EMR_ARC && InPath) {
            // ArcTo-like continuation is not needed; an arc in a path is its own figure.
        }
        break;
    }
    }
    DrawBoxShape(path, aligned, nullPen, r.Type != EMR_ARC);
}

// A box shape's figure drawn as GDI draws it (or added to the path being built).
void TPlayer::DrawBoxShape(const TPath& path, bool aligned, bool nullPen, bool filled) {
    if (InPath) {
        Append(path);
        return;
    }
    if (aligned && nullPen) {
        // Without a pen GDI fills the box less its right column and bottom row.
        Draw(path, filled, false);
        return;
    }
    if (aligned) {
        // Fill to the outline's centre line (Draw strokes it half a pixel in).
        TPath fillPath = path;
        for (TPathOp& op : fillPath)
            for (TPt& p : op.P) {
                p.X += 0.5;
                p.Y += 0.5;
            }
        if (filled) Draw(fillPath, true, false);
        Draw(path, false, true);
        return;
    }
    Draw(path, filled, true);
}

void TPlayer::OnGradientFill(const TRecord& r) {
    if (!r.Has(24, 12)) return;
    const uint32_t nVer = r.U(24), nTri = r.U(28), mode = r.U(32);
    if (nVer > 0x100000 || nTri > 0x100000 || !r.Has(36, uint64_t(nVer) * 16)) return;
    struct TVert {
        TPt P;
        double R, G, B;
    };
    std::vector<TVert> v;
    for (uint32_t i = 0; i < nVer; ++i) {
        const uint8_t* d = r.Data + 36 + 16 * size_t(i);
        v.push_back({Dev(S32(d), S32(d + 4)), U16(d + 8) / 65280.0, U16(d + 10) / 65280.0,
                     U16(d + 12) / 65280.0});
    }
    const size_t meshAt = 36 + 16 * size_t(nVer);
    if (Dc.ClipNothing) return;
    ApplyClip();
    if (mode == 2) {
        if (!r.Has(meshAt, uint64_t(nTri) * 12)) return;
        cairo_pattern_t* mesh = cairo_pattern_create_mesh();
        for (uint32_t i = 0; i < nTri; ++i) {
            const uint32_t a = r.U(meshAt + 12 * i), b = r.U(meshAt + 12 * i + 4),
                           c = r.U(meshAt + 12 * i + 8);
            if (a >= nVer || b >= nVer || c >= nVer) continue;
            cairo_mesh_pattern_begin_patch(mesh);
            cairo_mesh_pattern_move_to(mesh, v[a].P.X, v[a].P.Y);
            cairo_mesh_pattern_line_to(mesh, v[b].P.X, v[b].P.Y);
            cairo_mesh_pattern_line_to(mesh, v[c].P.X, v[c].P.Y);
            cairo_mesh_pattern_set_corner_color_rgb(mesh, 0, v[a].R, v[a].G, v[a].B);
            cairo_mesh_pattern_set_corner_color_rgb(mesh, 1, v[b].R, v[b].G, v[b].B);
            cairo_mesh_pattern_set_corner_color_rgb(mesh, 2, v[c].R, v[c].G, v[c].B);
            cairo_mesh_pattern_end_patch(mesh);
        }
        cairo_set_source(Cr, mesh);
        cairo_paint(Cr);
        cairo_pattern_destroy(mesh);
        return;
    }
    if (!r.Has(meshAt, uint64_t(nTri) * 8)) return;
    for (uint32_t i = 0; i < nTri; ++i) {
        const uint32_t a = r.U(meshAt + 8 * i), b = r.U(meshAt + 8 * i + 4);
        if (a >= nVer || b >= nVer) continue;
        const TPt p0 = Snap(v[a].P), p1 = Snap(v[b].P);
        cairo_pattern_t* lin = mode == 0 ? cairo_pattern_create_linear(p0.X, 0, p1.X, 0)
                                         : cairo_pattern_create_linear(0, p0.Y, 0, p1.Y);
        cairo_pattern_add_color_stop_rgb(lin, 0, v[a].R, v[a].G, v[a].B);
        cairo_pattern_add_color_stop_rgb(lin, 1, v[b].R, v[b].G, v[b].B);
        cairo_set_source(Cr, lin);
        cairo_rectangle(Cr, std::min(p0.X, p1.X), std::min(p0.Y, p1.Y), std::abs(p1.X - p0.X),
                        std::abs(p1.Y - p0.Y));
        cairo_fill(Cr);
        cairo_pattern_destroy(lin);
    }
}

} // namespace emf::play
