#include "metafile/EmfPlayer.h"

#include "metafile/DcState.h"
#include "metafile/EmfFormat.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <tuple>

using namespace emf;

namespace {

// ---------------------------------------------------------------- small types

struct TPt {
    double X = 0, Y = 0;
};

// A path in surface coordinates.
struct TPathOp {
    enum TKind { Move, Line, Curve, Close } Kind;
    TPt P[3];
};
using TPath = std::vector<TPathOp>;

using TSurfacePtr = std::shared_ptr<cairo_surface_t>;
TSurfacePtr Own(cairo_surface_t* s) {
    return TSurfacePtr(s, cairo_surface_destroy);
}

struct TPen {
    uint32_t Style = PS_SOLID; // with end cap, join and type bits
    double Width = 0;          // logical; 0 is one pixel
    bool Geometric = false;
    uint32_t Color = 0;
    std::vector<double> User; // user-style dashes, logical
};

struct TBrush {
    uint32_t Style = BS_SOLID;
    uint32_t Color = 0xFFFFFF;
    uint32_t Hatch = 0;
    TSurfacePtr Pattern; // DIB and mono patterns
    bool Mono = false;   // colours come from the text and background colours
};

struct TFont {
    int32_t Height = 0, Width = 0, Escapement = 0, Orientation = 0, Weight = 400;
    uint8_t Italic = 0, Underline = 0, StrikeOut = 0, CharSet = 1, Quality = 0;
    std::string Face; // UTF-8
};

struct TObject {
    enum TKind { None, Pen, Brush, Font, Palette } Kind = None;
    TPen P;
    TBrush B;
    TFont F;
};

struct TClipStep {
    TPath Path;
    bool EvenOdd = false;
};

struct TDc {
    TMapState Map;
    TPen Pen;
    TBrush Brush;
    TFont Font;
    uint32_t TextAlign = 0, TextColor = 0, BkColor = 0xFFFFFF;
    int BkMode = 2, FillMode = 1, Rop2 = 13, StretchMode = 1, ArcDirection = 1;
    TPt Cur; // logical
    std::vector<TClipStep> Clip;
    bool ClipNothing = false; // an empty clip region: nothing is drawn
    double MiterLimit = 10;
};

// ---------------------------------------------------------------- fonts

// Fontconfig is not thread-safe for configuration; one lock guards our use.
std::mutex GFontLock;

struct TFontKey {
    std::string Face;
    int Weight;
    bool Italic;
    bool operator<(const TFontKey& o) const {
        return std::tie(Face, Weight, Italic) < std::tie(o.Face, o.Weight, o.Italic);
    }
};

cairo_font_face_t* FontFace(const TFont& f) {
    // Never destroyed: the faces stay reachable until the process ends.
    static auto& cache = *new std::map<TFontKey, cairo_font_face_t*>;
    std::lock_guard<std::mutex> lock(GFontLock);
    const TFontKey key{f.Face, f.Weight, f.Italic != 0};
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    FcPattern* pat = FcPatternCreate();
    std::string face = f.Face.empty() ? "Arial" : f.Face;
    // Faces that fontconfig's metric aliases do not name are mapped to the
    // metric-compatible families here.
    static const std::pair<const char*, const char*> aliases[] = {
        {"ms sans serif", "Liberation Sans"},
        {"ms shell dlg", "Liberation Sans"},
        {"tahoma", "DejaVu Sans"},
        {"verdana", "DejaVu Sans"},
        {"helvetica", "Liberation Sans"},
        {"times", "Liberation Serif"},
        {"ms serif", "Liberation Serif"},
        {"courier", "Liberation Mono"},
        {"symbol", "DejaVu Sans"},
        {"system", "Liberation Sans"},
    };
    std::string lower;
    for (char c : face)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const auto& [from, to] : aliases)
        if (lower == from) face = to;
    FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(face.c_str()));
    FcPatternAddInteger(pat, FC_WEIGHT,
                        FcWeightFromOpenType(std::clamp(f.Weight ? f.Weight : 400, 1, 1000)));
    FcPatternAddInteger(pat, FC_SLANT, f.Italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pat, &result);
    FcPatternDestroy(pat);
    cairo_font_face_t* ff = nullptr;
    if (match) {
        ff = cairo_ft_font_face_create_for_pattern(match);
        FcPatternDestroy(match);
    }
    if (ff && cairo_font_face_status(ff) != CAIRO_STATUS_SUCCESS) {
        cairo_font_face_destroy(ff); // a face in error state is still an allocation
        ff = nullptr;
    }
    cache[key] = ff; // kept for the life of the program, like the system's font cache
    return ff;
}

void AppendUtf8(std::string& s, char32_t c) {
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsSymbolFace(const std::string& face) {
    std::string l;
    for (char c : face)
        l += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l == "symbol";
}

// ---------------------------------------------------------------- DIBs

// A DIB in a record as a cairo surface (premultiplied ARGB). keepAlpha uses
// the fourth byte of 32-bit pixels; otherwise every pixel is opaque.
TSurfacePtr DibSurface(const TRecord& r, uint32_t offBmi, uint32_t cbBmi, uint32_t offBits,
                       uint32_t cbBits, bool keepAlpha, int* width = nullptr, int* height = nullptr,
                       const uint32_t* monoColors = nullptr) {
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

// ---------------------------------------------------------------- the player

class TPlayer {
public:
    TPlayer(const std::vector<uint8_t>& emf, cairo_surface_t* surface, double offX, double offY,
            const TRect& rect)
        : Emf(emf), Surface(surface), OffX(offX), OffY(offY), Rect_(rect) {}
    ~TPlayer() {
        if (Cr) cairo_destroy(Cr);
    }
    void Run(const TPlayProgress& progress);

private:
    // Coordinates.
    TXform Total() const { return Dc.Map.Total().Then(Place); }
    TPt Dev(double x, double y) const {
        const TXform t = Total();
        return {Limit(t.X(x, y)), Limit(t.Y(x, y))};
    }
    static double Limit(double v) {
        if (!std::isfinite(v)) return 0;
        return std::clamp(v, -1e7, 1e7);
    }
    static TPt Snap(TPt p) { return {std::floor(p.X + 0.5), std::floor(p.Y + 0.5)}; }

    // Drawing.
    void ApplyClip();
    void BuildPath(const TPath& path);
    bool SetPen();
    bool SetBrush();
    void SetColor(uint32_t c) {
        cairo_set_source_rgb(Cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
    }
    void SetRop2Operator();
    void Draw(const TPath& path, bool fill, bool stroke);
    void Append(const TPath& path) { Path.insert(Path.end(), path.begin(), path.end()); }
    void Emit(const TPath& path, bool closedShape);
    TPath Polyline(const std::vector<TPt>& logical, bool closed) const;
    void BoxShape(const TRecord& r);
    void Bezier(const std::vector<TPt>& pts, bool to);
    void Text(const TRecord& r, bool wide, size_t emrText, int graphicsMode);
    void SmallText(const TRecord& r);
    void Blit(const TRecord& r);
    // Combines source, brush colour and target by ternary raster operations inside
    // quad; with a mask, its set pixels take foreCode and the others backCode.
    void RopBlit(cairo_surface_t* src, const cairo_matrix_t& m, uint8_t foreCode, const TPt* quad,
                 cairo_surface_t* mask = nullptr, const cairo_matrix_t* maskM = nullptr,
                 uint8_t backCode = 0xAA);
    void MaskBlt(const TRecord& r);
    void PlgBlt(const TRecord& r);
    void FloodFill(const TRecord& r);
    // The pixels of the surface that steps let through (255) as an A8 surface.
    TSurfacePtr Coverage(const std::vector<TClipStep>& steps) const;
    // Replaces the clip by its combination with a device-space region.
    void CombineClip(TPath region, bool evenOdd, uint32_t mode);
    void Region(const TRecord& r, size_t cbAt, size_t dataAt, int what, uint32_t brush);
    bool ReadRegion(const TRecord& r, size_t cbAt, size_t dataAt, TPath& out);
    void GradientFill(const TRecord& r);
    void CreateObject(const TRecord& r);
    void Select(uint32_t ih);
    void Record(const TRecord& r);

    const std::vector<uint8_t>& Emf;
    cairo_surface_t* Surface;
    cairo_t* Cr = nullptr;
    double OffX, OffY;
    TRect Rect_;
    TXform Place;
    TDc Dc;
    TDcStack<TDc> Stack{10000};
    TObjectTable<TObject> Objects;
    bool InPath = false;
    TPath Path;
    bool ClipDirty = true;
};

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

void Trace(cairo_t* c, const TPath& path) {
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
TPath Everything() {
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
        break;
    default:
        return; // not a combine mode: the clip stays
    }
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

// Rectangle, ellipse, round rectangle, arc, chord, pie: GDI's box excludes
// its right and bottom edges.
void TPlayer::BoxShape(const TRecord& r) {
    if (!r.Has(8, 16)) return;
    const double l = r.I(8), t = r.I(12), rr = r.I(16), b = r.I(20);
    const TXform x = Total();
    const bool nullPen = (Dc.Pen.Style & 0xF) == PS_NULL;
    const double k = 0.5522847498;
    TPath path;
    auto ellipseArc = [&](TPath& out, double cx, double cy, double rx, double ry, double a0,
                          double a1, bool move, auto map) {
        // Bézier pieces of at most a quarter turn.
        const int n = std::max(
            1, static_cast<int>(std::ceil(std::abs(a1 - a0) / (std::numbers::pi / 2) - 1e-9)));
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
    };
    (void)k;
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
        ellipseArc(path, cx, cy, rx, ry, 0, 2 * std::numbers::pi, true, map);
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
        ellipseArc(path, R - ex, T + ey, ex, ey, -pi / 2, 0, false, map);
        path.push_back({TPathOp::Line, {map({R, B - ey})}});
        ellipseArc(path, R - ex, B - ey, ex, ey, 0, pi / 2, false, map);
        path.push_back({TPathOp::Line, {map({L + ex, B})}});
        ellipseArc(path, L + ex, B - ey, ex, ey, pi / 2, pi, false, map);
        path.push_back({TPathOp::Line, {map({L, T + ey})}});
        ellipseArc(path, L + ex, T + ey, ex, ey, pi, 1.5 * pi, false, map);
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
        ellipseArc(path, cx, cy, rx, ry, a0, a1, true, map);
        if (r.Type == EMR_PIE) path.push_back({TPathOp::Line, {map({cx, cy})}});
        if (r.Type != EMR_ARC) path.push_back({TPathOp::Close, {}});
        if (r.Type == EMR_ARC && InPath) {
            // ArcTo-like continuation is not needed; an arc in a path is its own figure.
        }
        break;
    }
    }
    if (InPath) {
        Append(path);
        return;
    }
    if (aligned && nullPen) {
        // Without a pen GDI fills the box less its right column and bottom row.
        Draw(path, r.Type != EMR_ARC, false);
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
        if (r.Type != EMR_ARC) Draw(fillPath, true, false);
        Draw(path, false, true);
        return;
    }
    Draw(path, r.Type != EMR_ARC, true);
}

void TPlayer::CreateObject(const TRecord& r) {
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

void TPlayer::Text(const TRecord& r, bool wide, size_t at, int graphicsMode) {
    // EMRTEXT: reference, chars, string offset, options, rectangle, dx offset.
    if (!r.Has(at, 40)) return;
    const double refX = r.I(at), refY = r.I(at + 4);
    const uint32_t chars = r.U(at + 8), offString = r.U(at + 12), options = r.U(at + 16);
    const uint32_t offDx = r.U(at + 36);
    const double cl = r.I(at + 20), ct = r.I(at + 24), cr = r.I(at + 28), cb = r.I(at + 32);
    if (chars > 0x100000) return;
    if (chars && !r.Has(offString, uint64_t(chars) * (wide ? 2 : 1))) return;
    std::u32string text;
    const bool symbol = IsSymbolFace(Dc.Font.Face);
    if (wide) {
        text = DecodeUtf16(r.Data + offString, chars);
        if (symbol)
            for (char32_t& c : text)
                if ((c >= 0xF020 && c <= 0xF0FF) || (c >= 0x20 && c <= 0xFF))
                    c = SymbolToUnicode(c & 0xFF);
    } else if (chars) {
        text = DecodeText(r.Data + offString, chars, Dc.Font.CharSet, symbol);
    }
    std::vector<double> dx;
    // ETO_PDY (0x2000) doubles the array: x and y advances.
    const bool pdy = (options & 0x2000) != 0;
    if (offDx && chars && r.Has(offDx, uint64_t(chars) * 4 * (pdy ? 2 : 1))) {
        for (uint32_t i = 0; i < chars; ++i)
            dx.push_back(r.I(offDx + 4 * i * (pdy ? 2 : 1)));
        // Surrogate pairs take one dx entry each half; keep the first.
        if (dx.size() != text.size()) dx.clear();
    }

    const TXform t = Total();
    const bool updateCp = (Dc.TextAlign & 1) != 0;
    TPt origin = updateCp ? Dc.Cur : TPt{refX, refY};
    if (Dc.ClipNothing) return;
    ApplyClip();
    cairo_save(Cr);

    const bool rectValid = cr > cl && cb > ct;
    auto devRect = [&](TPath& p) {
        const TPt a = Dev(cl, ct), b = Dev(cr, ct), c = Dev(cr, cb), d = Dev(cl, cb);
        p = {{TPathOp::Move, {Snap(a)}},
             {TPathOp::Line, {Snap(b)}},
             {TPathOp::Line, {Snap(c)}},
             {TPathOp::Line, {Snap(d)}},
             {TPathOp::Close, {}}};
    };
    if ((options & 0x0002) && rectValid) { // ETO_OPAQUE
        TPath p;
        devRect(p);
        BuildPath(p);
        SetColor(Dc.BkColor);
        cairo_fill(Cr);
    }
    if ((options & 0x0004) && rectValid) { // ETO_CLIPPED
        TPath p;
        devRect(p);
        BuildPath(p);
        cairo_clip(Cr);
    }
    cairo_font_face_t* face = text.empty() ? nullptr : FontFace(Dc.Font);
    if (!face) {
        cairo_restore(Cr);
        return;
    }

    // Unit vectors of the text's baseline and "down" direction in device space.
    const double esc = Dc.Font.Escapement / 10.0 * std::numbers::pi / 180;
    TPt U, D;
    const double sx = std::hypot(t.A, t.B), sy = std::hypot(t.C, t.D);
    if (graphicsMode == 2) {
        const TPt ul{std::cos(esc), -std::sin(esc)}, dl{std::sin(esc), std::cos(esc)};
        U = {t.A * ul.X + t.C * ul.Y, t.B * ul.X + t.D * ul.Y};
        D = {t.A * dl.X + t.C * dl.Y, t.B * dl.X + t.D * dl.Y};
    } else {
        // Compatible mode: text stays upright whatever the mapping's signs.
        U = {std::cos(esc) * sx, -std::sin(esc) * sx};
        D = {std::sin(esc) * sy, std::cos(esc) * sy};
    }
    // Font size: negative heights are the em size, positive ones the cell height.
    cairo_matrix_t unit;
    cairo_matrix_init_identity(&unit);
    cairo_font_options_t* fo = cairo_font_options_create();
    const bool smooth = Dc.Font.Quality == 4 || Dc.Font.Quality == 5;
    cairo_font_options_set_antialias(fo, smooth ? CAIRO_ANTIALIAS_GRAY : CAIRO_ANTIALIAS_NONE);
    cairo_font_options_set_hint_style(fo, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(fo, CAIRO_HINT_METRICS_OFF);
    cairo_scaled_font_t* probe = cairo_scaled_font_create(face, &unit, &unit, fo);
    cairo_font_extents_t fe;
    cairo_scaled_font_extents(probe, &fe);
    cairo_scaled_font_destroy(probe);
    double em;
    if (Dc.Font.Height < 0)
        em = -double(Dc.Font.Height);
    else if (Dc.Font.Height > 0)
        em = Dc.Font.Height / std::max(fe.ascent + fe.descent, 0.1);
    else
        em = 16 / std::max(sy, 1e-6); // the default font: 12 points on a 96-dpi screen
    double widthRatio = 1;
    if (Dc.Font.Width > 0)
        widthRatio = Dc.Font.Width / (em * 0.5); // average width about half an em
    widthRatio = std::clamp(widthRatio, 0.05, 20.0);
    cairo_matrix_t fm;
    cairo_matrix_init(&fm, U.X * em * widthRatio, U.Y * em * widthRatio, D.X * em, D.Y * em, 0, 0);
    const double det = fm.xx * fm.yy - fm.xy * fm.yx;
    if (!std::isfinite(det) || std::abs(det) < 1e-6 || std::abs(det) > 1e12) {
        cairo_font_options_destroy(fo);
        cairo_restore(Cr);
        return;
    }
    cairo_scaled_font_t* sf = cairo_scaled_font_create(face, &fm, &unit, fo);
    cairo_font_options_destroy(fo);
    if (cairo_scaled_font_status(sf) != CAIRO_STATUS_SUCCESS) {
        cairo_scaled_font_destroy(sf);
        cairo_restore(Cr);
        return;
    }

    // Glyphs, each placed by the spacing array or by its own advance.
    std::vector<cairo_glyph_t> glyphs;
    double pen = 0; // logical advance along the baseline
    const double uLen = std::max(std::hypot(U.X, U.Y), 1e-9);
    for (size_t i = 0; i < text.size(); ++i) {
        std::string one;
        AppendUtf8(one, text[i] ? text[i] : U' ');
        cairo_glyph_t* gl = nullptr;
        int ng = 0;
        if (cairo_scaled_font_text_to_glyphs(sf, 0, 0, one.data(), static_cast<int>(one.size()),
                                             &gl, &ng, nullptr, nullptr,
                                             nullptr) != CAIRO_STATUS_SUCCESS) {
            continue;
        }
        double advance = 0;
        if (ng > 0) {
            cairo_text_extents_t te;
            cairo_scaled_font_glyph_extents(sf, gl, 1, &te);
            advance = (te.x_advance * U.X + te.y_advance * U.Y) / (uLen * uLen);
            cairo_glyph_t g = gl[0];
            g.x = pen * U.X;
            g.y = pen * U.Y;
            if (text[i] >= 0x20) glyphs.push_back(g);
        }
        cairo_glyph_free(gl);
        pen += dx.empty() ? advance : dx[i];
    }
    const double total = pen;
    TPt o = Dev(origin.X, origin.Y);
    switch (Dc.TextAlign & 6) {
    case 6:
        o.X -= U.X * total / 2;
        o.Y -= U.Y * total / 2;
        break; // centre
    case 2:
        o.X -= U.X * total;
        o.Y -= U.Y * total;
        break; // right
    default:
        break;
    }
    const double dn = std::hypot(D.X, D.Y) > 0 ? 1 : 0;
    if ((Dc.TextAlign & 24) == 0) { // top
        o.X += D.X * em * fe.ascent * dn;
        o.Y += D.Y * em * fe.ascent * dn;
    } else if ((Dc.TextAlign & 24) == 8) { // bottom
        o.X -= D.X * em * fe.descent * dn;
        o.Y -= D.Y * em * fe.descent * dn;
    }
    for (cairo_glyph_t& g : glyphs) {
        g.x += o.X;
        g.y += o.Y;
    }
    if (updateCp) {
        // The current position moves by the text's advance (right-aligned text moves it back).
        const double adv = (Dc.TextAlign & 6) == 2 ? -total : (Dc.TextAlign & 6) == 6 ? 0 : total;
        Dc.Cur.X += adv * std::cos(esc);
        Dc.Cur.Y -= adv * std::sin(esc);
    }
    cairo_set_scaled_font(Cr, sf);
    if (InPath) {
        cairo_new_path(Cr);
        cairo_glyph_path(Cr, glyphs.data(), static_cast<int>(glyphs.size()));
        cairo_path_t* cp = cairo_copy_path(Cr);
        for (int i = 0; cp && i < cp->num_data; i += cp->data[i].header.length) {
            const cairo_path_data_t* d = &cp->data[i];
            switch (d->header.type) {
            case CAIRO_PATH_MOVE_TO:
                Path.push_back({TPathOp::Move, {{d[1].point.x, d[1].point.y}}});
                break;
            case CAIRO_PATH_LINE_TO:
                Path.push_back({TPathOp::Line, {{d[1].point.x, d[1].point.y}}});
                break;
            case CAIRO_PATH_CURVE_TO:
                Path.push_back({TPathOp::Curve,
                                {{d[1].point.x, d[1].point.y},
                                 {d[2].point.x, d[2].point.y},
                                 {d[3].point.x, d[3].point.y}}});
                break;
            case CAIRO_PATH_CLOSE_PATH:
                Path.push_back({TPathOp::Close, {}});
                break;
            }
        }
        if (cp) cairo_path_destroy(cp);
        cairo_new_path(Cr);
    } else {
        const double ascent = em * fe.ascent, descent = em * fe.descent;
        if (Dc.BkMode == 2 && !(options & 0x0002) && total != 0) {
            // Opaque background behind the text cell.
            const TPt a{o.X - D.X * ascent, o.Y - D.Y * ascent};
            cairo_move_to(Cr, a.X, a.Y);
            cairo_line_to(Cr, a.X + U.X * total, a.Y + U.Y * total);
            cairo_line_to(Cr, a.X + U.X * total + D.X * (ascent + descent),
                          a.Y + U.Y * total + D.Y * (ascent + descent));
            cairo_line_to(Cr, a.X + D.X * (ascent + descent), a.Y + D.Y * (ascent + descent));
            cairo_close_path(Cr);
            SetColor(Dc.BkColor);
            cairo_fill(Cr);
        }
        SetColor(Dc.TextColor);
        cairo_show_glyphs(Cr, glyphs.data(), static_cast<int>(glyphs.size()));
        auto line = [&](double down, double thick) {
            const TPt a{o.X + D.X * down, o.Y + D.Y * down};
            const double th = std::max(thick, 1.0 / std::max(std::hypot(D.X, D.Y), 1e-9));
            cairo_move_to(Cr, a.X, a.Y);
            cairo_line_to(Cr, a.X + U.X * total, a.Y + U.Y * total);
            cairo_line_to(Cr, a.X + U.X * total + D.X * th, a.Y + U.Y * total + D.Y * th);
            cairo_line_to(Cr, a.X + D.X * th, a.Y + D.Y * th);
            cairo_close_path(Cr);
            cairo_fill(Cr);
        };
        if (Dc.Font.Underline) line(em * 0.1, em * 0.05);
        if (Dc.Font.StrikeOut) line(-em * 0.28, em * 0.05);
    }
    cairo_scaled_font_destroy(sf);
    cairo_restore(Cr);
    ClipDirty = true; // the restore brought back cairo's clip, not ours
}

void TPlayer::SmallText(const TRecord& r) {
    // x, y, chars, options, graphics mode, scales, [clip rectangle], text.
    if (!r.Has(8, 28)) return;
    const uint32_t chars = r.U(16), options = r.U(20);
    const bool noRect = (options & 0x100) != 0, small = (options & 0x200) != 0;
    const size_t textAt = 36 + (noRect ? 0 : 16);
    if (chars > 0x100000 || !r.Has(textAt, uint64_t(chars) * (small ? 1 : 2))) return;
    // Rebuilt as an ExtTextOut record without spacing.
    TByteWriter w;
    w.U32(small ? EMR_EXTTEXTOUTA : EMR_EXTTEXTOUTW);
    w.U32(0);
    for (int i = 0; i < 4; ++i)
        w.S32(0);
    w.U32(r.U(24));
    w.F32(0);
    w.F32(0);
    w.S32(r.I(8));
    w.S32(r.I(12));
    w.U32(chars);
    w.U32(76);
    w.U32(options & ~0x300u);
    for (int i = 0; i < 4; ++i)
        w.S32(noRect ? 0 : r.I(36 + 4 * i));
    w.U32(0);
    w.Bytes(r.Data + textAt, size_t(chars) * (small ? 1 : 2));
    w.Pad4();
    w.PatchU32(4, static_cast<uint32_t>(w.Size()));
    const TRecord t{w.Data[0] == EMR_EXTTEXTOUTA ? EMR_EXTTEXTOUTA : EMR_EXTTEXTOUTW,
                    static_cast<uint32_t>(w.Size()), w.Data.data()};
    Text(t, !small, 36, static_cast<int>(r.U(24)));
}

// The ternary raster operation on one byte of pattern, source and destination.
inline uint8_t Rop3(uint8_t rop, uint8_t p, uint8_t s, uint8_t d) {
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
void TPlayer::MaskBlt(const TRecord& r) {
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
void TPlayer::PlgBlt(const TRecord& r) {
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
void TPlayer::FloodFill(const TRecord& r) {
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

void TPlayer::Blit(const TRecord& r) {
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

void TPlayer::GradientFill(const TRecord& r) {
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

void TPlayer::Record(const TRecord& r) {
    if (Dc.Map.Apply(r)) return;
    const bool small =
        (r.Type >= EMR_POLYBEZIER16 && r.Type <= EMR_POLYPOLYGON16) || r.Type == EMR_POLYDRAW16;
    auto points = [&](size_t at, uint32_t count, std::vector<TPt>& out) {
        const size_t sz = small ? 4 : 8;
        if (count > 0x4000000 || !r.Has(at, uint64_t(count) * sz)) return false;
        out.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* q = r.Data + at + i * sz;
            out.push_back(small ? TPt{double(S16(q)), double(S16(q + 2))}
                                : TPt{double(S32(q)), double(S32(q + 4))});
        }
        return true;
    };
    switch (r.Type) {
    case EMR_SETBKCOLOR:
        Dc.BkColor = r.U(8) & 0xFFFFFF;
        break;
    case EMR_SETTEXTCOLOR:
        Dc.TextColor = r.U(8) & 0xFFFFFF;
        break;
    case EMR_SETBKMODE:
        Dc.BkMode = r.I(8);
        break;
    case EMR_SETPOLYFILLMODE:
        Dc.FillMode = r.I(8);
        break;
    case EMR_SETROP2:
        Dc.Rop2 = r.I(8);
        break;
    case EMR_SETSTRETCHBLTMODE:
        Dc.StretchMode = r.I(8);
        break;
    case EMR_SETTEXTALIGN:
        Dc.TextAlign = r.U(8);
        break;
    case EMR_SETARCDIRECTION:
        Dc.ArcDirection = r.I(8);
        break;
    case EMR_SETMITERLIMIT: {
        const double v = r.U(8);
        if (v >= 1 && v < 1000) Dc.MiterLimit = v;
        break;
    }
    case EMR_SAVEDC:
        Stack.Save(Dc);
        break;
    case EMR_RESTOREDC:
        if (std::optional<TDc> saved = Stack.Restore(r.I(8))) {
            Dc = std::move(*saved);
            ClipDirty = true;
        }
        break;
    case EMR_CREATEPEN:
    case EMR_EXTCREATEPEN:
    case EMR_CREATEBRUSHINDIRECT:
    case EMR_CREATEDIBPATTERNBRUSHPT:
    case EMR_CREATEMONOBRUSH:
    case EMR_EXTCREATEFONTINDIRECTW:
    case EMR_CREATEPALETTE:
        CreateObject(r);
        break;
    case EMR_SELECTOBJECT:
        Select(r.U(8));
        break;
    case EMR_DELETEOBJECT:
        Objects.Erase(r.U(8));
        break;
    case EMR_MOVETOEX:
        Dc.Cur = {double(r.I(8)), double(r.I(12))};
        if (InPath) Path.push_back({TPathOp::Move, {Snap(Dev(Dc.Cur.X, Dc.Cur.Y))}});
        break;
    case EMR_LINETO: {
        const TPt to{double(r.I(8)), double(r.I(12))};
        TPath p;
        if (!InPath || Path.empty()) p.push_back({TPathOp::Move, {Snap(Dev(Dc.Cur.X, Dc.Cur.Y))}});
        p.push_back({TPathOp::Line, {Snap(Dev(to.X, to.Y))}});
        Dc.Cur = to;
        if (InPath)
            Append(p);
        else
            Draw(p, false, true);
        break;
    }
    case EMR_SETPIXELV: {
        const TPt p = Snap(Dev(r.I(8), r.I(12)));
        if (Dc.ClipNothing) break;
        ApplyClip();
        SetColor(r.U(16));
        cairo_rectangle(Cr, p.X, p.Y, 1, 1);
        cairo_fill(Cr);
        break;
    }
    case EMR_POLYGON:
    case EMR_POLYLINE:
    case EMR_POLYGON16:
    case EMR_POLYLINE16:
    case EMR_POLYLINETO:
    case EMR_POLYLINETO16:
    case EMR_POLYBEZIER:
    case EMR_POLYBEZIER16:
    case EMR_POLYBEZIERTO:
    case EMR_POLYBEZIERTO16: {
        std::vector<TPt> pts;
        if (!points(28, r.U(24), pts) || pts.empty()) break;
        const uint32_t base = small ? r.Type - (EMR_POLYBEZIER16 - EMR_POLYBEZIER) : r.Type;
        if (base == EMR_POLYBEZIER || base == EMR_POLYBEZIERTO) {
            Bezier(pts, base == EMR_POLYBEZIERTO);
            break;
        }
        if (base == EMR_POLYLINETO) {
            pts.insert(pts.begin(), Dc.Cur);
            Dc.Cur = pts.back();
            TPath p = Polyline(pts, false);
            if (InPath && !Path.empty()) p.erase(p.begin());
            if (InPath)
                Append(p);
            else
                Draw(p, false, true);
            break;
        }
        Emit(Polyline(pts, base == EMR_POLYGON), base == EMR_POLYGON);
        break;
    }
    case EMR_POLYPOLYLINE:
    case EMR_POLYPOLYGON:
    case EMR_POLYPOLYLINE16:
    case EMR_POLYPOLYGON16: {
        const uint32_t polys = r.U(24), total = r.U(28);
        if (polys == 0 || polys > 0x1000000 || !r.Has(32, uint64_t(polys) * 4)) break;
        std::vector<TPt> pts;
        if (!points(32 + size_t(polys) * 4, total, pts)) break;
        const bool polygon = r.Type == EMR_POLYPOLYGON || r.Type == EMR_POLYPOLYGON16;
        TPath all;
        size_t k = 0;
        bool ok = true;
        for (uint32_t i = 0; i < polys && ok; ++i) {
            const uint32_t c = r.U(32 + 4 * i);
            if (c > total - k) {
                ok = false;
                break;
            }
            std::vector<TPt> one(pts.begin() + k, pts.begin() + k + c);
            k += c;
            TPath p = Polyline(one, polygon);
            all.insert(all.end(), p.begin(), p.end());
        }
        if (!ok) break;
        if (polygon)
            Emit(all, true);
        else if (InPath)
            Append(all);
        else
            Draw(all, false, true);
        break;
    }
    case EMR_RECTANGLE:
    case EMR_ELLIPSE:
    case EMR_ROUNDRECT:
    case EMR_ARC:
    case EMR_CHORD:
    case EMR_PIE:
        BoxShape(r);
        break;
    case EMR_ARCTO:
    case EMR_ANGLEARC: {
        // Both draw a line from the current position to the arc's start, then the
        // arc, and leave the current position at its end. Traced as a polyline.
        double cx, cy, rx, ry, a0, sweep;
        if (r.Type == EMR_ARCTO) {
            if (!r.Has(8, 32)) break;
            const double l = r.I(8), t = r.I(12), rr = r.I(16), b = r.I(20);
            cx = (l + rr) / 2;
            cy = (t + b) / 2;
            rx = (rr - l) / 2;
            ry = (b - t) / 2;
            if (rx == 0 || ry == 0) break;
            a0 = std::atan2((r.I(28) - cy) / ry, (r.I(24) - cx) / rx);
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
            sweep = a1 - a0;
        } else {
            if (!r.Has(8, 20)) break;
            cx = r.I(8);
            cy = r.I(12);
            rx = ry = std::min<double>(r.U(16), 1e7);
            const double start = r.F(20), sw = r.F(24);
            if (!std::isfinite(start) || !std::isfinite(sw)) break;
            // Degrees counter-clockwise as seen on a y-down screen.
            a0 = -std::fmod(start, 360.0) * std::numbers::pi / 180;
            sweep = -std::clamp(sw, -3600.0, 3600.0) * std::numbers::pi / 180;
        }
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
        break;
    }
    case EMR_POLYDRAW:
    case EMR_POLYDRAW16: {
        // Points, then one type byte each: move, line or Bezier, with a close flag.
        const uint32_t count = r.U(24);
        std::vector<TPt> pts;
        if (count == 0 || !points(28, count, pts)) break;
        const size_t typesAt = 28 + size_t(count) * (small ? 4 : 8);
        if (!r.Has(typesAt, count)) break;
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
        if (InPath)
            Append(p);
        else
            Draw(p, false, true);
        break;
    }
    case EMR_BEGINPATH:
        InPath = true;
        Path.clear();
        break;
    case EMR_ENDPATH:
        InPath = false;
        break;
    case EMR_ABORTPATH:
        InPath = false;
        Path.clear();
        break;
    case EMR_CLOSEFIGURE:
        if (InPath && !Path.empty()) Path.push_back({TPathOp::Close, {}});
        break;
    case EMR_FILLPATH:
    case EMR_STROKEPATH:
    case EMR_STROKEANDFILLPATH: {
        const bool fill = r.Type != EMR_STROKEPATH, stroke = r.Type != EMR_FILLPATH;
        TPath p = std::move(Path);
        Path.clear();
        InPath = false;
        Draw(p, fill, stroke);
        break;
    }
    case EMR_SELECTCLIPPATH: {
        TPath p = std::move(Path);
        Path.clear();
        InPath = false;
        CombineClip(std::move(p), Dc.FillMode == 1, r.U(8));
        break;
    }
    case EMR_INTERSECTCLIPRECT:
    case EMR_EXCLUDECLIPRECT: {
        const double l = r.I(8), t = r.I(12), rr = r.I(16), b = r.I(20);
        TPath p = {{TPathOp::Move, {Snap(Dev(l, t))}},
                   {TPathOp::Line, {Snap(Dev(rr, t))}},
                   {TPathOp::Line, {Snap(Dev(rr, b))}},
                   {TPathOp::Line, {Snap(Dev(l, b))}},
                   {TPathOp::Close, {}}};
        if (r.Type == EMR_EXCLUDECLIPRECT) {
            const double big = 1e7;
            TPath outer = {{TPathOp::Move, {{-big, -big}}},
                           {TPathOp::Line, {{big, -big}}},
                           {TPathOp::Line, {{big, big}}},
                           {TPathOp::Line, {{-big, big}}},
                           {TPathOp::Close, {}}};
            outer.insert(outer.end(), p.begin(), p.end());
            Dc.Clip.push_back({std::move(outer), true});
        } else {
            Dc.Clip.push_back({std::move(p), false});
        }
        ClipDirty = true;
        break;
    }
    case EMR_EXTSELECTCLIPRGN: {
        const uint32_t mode = r.U(12);
        TPath p;
        if (r.U(8) == 0) {
            // No region: only a copy means anything (it removes the clip).
            if (mode == RGN_COPY) {
                Dc.Clip.clear();
                Dc.ClipNothing = false;
                ClipDirty = true;
            }
            break;
        }
        // A region's rectangles never overlap, so either fill rule gives the same area.
        if (ReadRegion(r, 8, 16, p)) CombineClip(std::move(p), true, mode);
        break;
    }
    case EMR_OFFSETCLIPRGN: {
        const TXform t = Total();
        const double ox = t.A * r.I(8) + t.C * r.I(12), oy = t.B * r.I(8) + t.D * r.I(12);
        for (TClipStep& s : Dc.Clip)
            for (TPathOp& op : s.Path)
                for (TPt& p : op.P) {
                    p.X += std::round(ox);
                    p.Y += std::round(oy);
                }
        ClipDirty = true;
        break;
    }
    case EMR_FILLRGN:
        Region(r, 24, 32, 0, r.U(28));
        break;
    case EMR_FRAMERGN:
        Region(r, 24, 40, 3, r.U(28));
        break;
    case EMR_INVERTRGN:
        Region(r, 24, 28, 2, 0);
        break;
    case EMR_PAINTRGN:
        Region(r, 24, 28, 1, 0);
        break;
    case EMR_EXTTEXTOUTA:
    case EMR_EXTTEXTOUTW:
        Text(r, r.Type == EMR_EXTTEXTOUTW, 36, static_cast<int>(r.U(24)));
        break;
    case EMR_SMALLTEXTOUT:
        SmallText(r);
        break;
    case EMR_BITBLT:
    case EMR_STRETCHBLT:
    case EMR_STRETCHDIBITS:
    case EMR_SETDIBITSTODEVICE:
    case EMR_ALPHABLEND:
    case EMR_TRANSPARENTBLT:
        Blit(r);
        break;
    case EMR_MASKBLT:
        MaskBlt(r);
        break;
    case EMR_PLGBLT:
        PlgBlt(r);
        break;
    case EMR_EXTFLOODFILL:
        FloodFill(r);
        break;
    case EMR_GRADIENTFILL:
        GradientFill(r);
        break;
    default:
        break; // EMF+ comments, palettes, colour management and the rest
    }
}

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

} // namespace

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

namespace {

// Advances of chars (one per code unit of the record's text, len units) in
// logical units of the font.
std::vector<int32_t> Advances(const uint8_t* logFont, size_t n, const uint8_t* text, size_t len,
                              bool wide) {
    std::vector<int32_t> out;
    if (n < 92 || len == 0 || len > 0x100000) return out;
    TFont f;
    f.Height = S32(logFont);
    f.Width = S32(logFont + 4);
    f.Weight = S32(logFont + 16);
    f.Italic = logFont[20];
    f.CharSet = logFont[23];
    for (int i = 0; i < 32; ++i) {
        const uint16_t c = U16(logFont + 28 + 2 * i);
        if (!c) break;
        AppendUtf8(f.Face, c);
    }
    std::u32string chars =
        wide ? DecodeUtf16(text, len) : DecodeText(text, len, f.CharSet, IsSymbolFace(f.Face));
    if (wide && IsSymbolFace(f.Face))
        for (char32_t& c : chars)
            if ((c >= 0xF020 && c <= 0xF0FF) || (c >= 0x20 && c <= 0xFF))
                c = SymbolToUnicode(c & 0xFF);
    cairo_font_face_t* face = FontFace(f);
    std::vector<double> adv(len, 0);
    if (face) {
        // Sized as the player sizes it: negative heights are the em, positive the cell.
        cairo_matrix_t unit;
        cairo_matrix_init_identity(&unit);
        cairo_font_options_t* fo = cairo_font_options_create();
        cairo_font_options_set_hint_style(fo, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(fo, CAIRO_HINT_METRICS_OFF);
        cairo_scaled_font_t* probe = cairo_scaled_font_create(face, &unit, &unit, fo);
        cairo_font_extents_t fe;
        cairo_scaled_font_extents(probe, &fe);
        cairo_scaled_font_destroy(probe);
        const double em = f.Height < 0   ? -double(f.Height)
                          : f.Height > 0 ? f.Height / std::max(fe.ascent + fe.descent, 0.1)
                                         : 16;
        const double ratio = f.Width > 0 ? std::clamp(f.Width / (em * 0.5), 0.05, 20.0) : 1.0;
        cairo_matrix_t fm;
        cairo_matrix_init_scale(&fm, em * ratio, em);
        cairo_scaled_font_t* sf = cairo_scaled_font_create(face, &fm, &unit, fo);
        cairo_font_options_destroy(fo);
        if (cairo_scaled_font_status(sf) == CAIRO_STATUS_SUCCESS && chars.size() == len) {
            for (size_t i = 0; i < len; ++i) {
                std::string one;
                AppendUtf8(one, chars[i] ? chars[i] : U' ');
                cairo_glyph_t* gl = nullptr;
                int ng = 0;
                if (cairo_scaled_font_text_to_glyphs(
                        sf, 0, 0, one.data(), static_cast<int>(one.size()), &gl, &ng, nullptr,
                        nullptr, nullptr) == CAIRO_STATUS_SUCCESS &&
                    ng > 0) {
                    cairo_text_extents_t te;
                    cairo_scaled_font_glyph_extents(sf, gl, 1, &te);
                    adv[i] = te.x_advance;
                }
                cairo_glyph_free(gl);
            }
        } else if (cairo_scaled_font_status(sf) == CAIRO_STATUS_SUCCESS) {
            // Multi-byte text: the whole run's width, spread over its bytes.
            std::string all;
            for (char32_t c : chars)
                AppendUtf8(all, c ? c : U' ');
            cairo_text_extents_t te;
            cairo_scaled_font_text_extents(sf, all.c_str(), &te);
            for (double& a : adv)
                a = te.x_advance / double(len);
        }
        cairo_scaled_font_destroy(sf);
    }
    double sum = 0;
    long placed = 0;
    for (double a : adv) {
        sum += std::isfinite(a) ? a : 0;
        const long at = std::lround(std::clamp(sum, -1e9, 1e9));
        out.push_back(static_cast<int32_t>(at - placed));
        placed = at;
    }
    return out;
}

} // namespace

std::vector<int32_t> emf::TextAdvances(const uint8_t* logFont, size_t n, const uint8_t* text,
                                       size_t len) {
    return Advances(logFont, n, text, len, false);
}

std::vector<int32_t> emf::TextAdvancesW(const uint8_t* logFont, size_t n, const uint8_t* text,
                                        size_t units) {
    return Advances(logFont, n, text, units, true);
}

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
        TPlayer player(emf, s, x0, y0, mapped);
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
