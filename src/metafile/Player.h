// SPDX-License-Identifier: GPL-3.0-or-later
// The EMF player's state and its record handlers, shared by the files that
// implement them by concern: EmfPlayer.cpp (the run, the dispatch table, DC
// state and objects), PlayerPaths.cpp (lines, shapes, paths, gradients),
// PlayerClip.cpp (clipping and regions), PlayerText.cpp (fonts and text) and
// PlayerRaster.cpp (bitmaps and raster operations). Internal to src/metafile/.
#pragma once

#include "metafile/DcState.h"
#include "metafile/EmfFormat.h"
#include "metafile/EmfPlayer.h"
#include "util/Utf8.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emf::play {

// ---------------------------------------------------------------- state

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
inline TSurfacePtr Own(cairo_surface_t* s) {
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

// A DIB in a record as a cairo surface (premultiplied ARGB). keepAlpha uses
// the fourth byte of 32-bit pixels; otherwise every pixel is opaque.
TSurfacePtr DibSurface(const TRecord& r, uint32_t offBmi, uint32_t cbBmi, uint32_t offBits,
                       uint32_t cbBits, bool keepAlpha, int* width = nullptr, int* height = nullptr,
                       const uint32_t* monoColors = nullptr);
// One code point appended to a UTF-8 string.

class TPlayer {
public:
    TPlayer(const std::vector<uint8_t>& emf, cairo_surface_t* surface, double offX, double offY,
            const TRect& rect)
        : Emf(emf), Surface(surface), OffX(offX), OffY(offY), Rect_(rect) {}
    ~TPlayer() {
        if (Cr) cairo_destroy(Cr);
    }
    TPlayer(const TPlayer&) = delete;
    TPlayer& operator=(const TPlayer&) = delete;
    void Run(const TPlayProgress& progress);

    // A record handler; the dispatch table maps record types onto them.
    using THandler = void (TPlayer::*)(const TRecord&);

private:
    friend struct THandlerTable;
    void Record(const TRecord& r);

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
    // The logical points of a poly record (16-bit ones for the *16 types);
    // false when count points do not fit the record.

    // DC state and objects (EmfPlayer.cpp).
    void OnSetBkColor(const TRecord& r);
    void OnSetTextColor(const TRecord& r);
    void OnSetBkMode(const TRecord& r);
    void OnSetPolyFillMode(const TRecord& r);
    void OnSetRop2(const TRecord& r);
    void OnSetStretchBltMode(const TRecord& r);
    void OnSetTextAlign(const TRecord& r);
    void OnSetArcDirection(const TRecord& r);
    void OnSetMiterLimit(const TRecord& r);
    void OnSaveDc(const TRecord& r);
    void OnRestoreDc(const TRecord& r);
    void OnCreateObject(const TRecord& r);
    void OnSelectObject(const TRecord& r);
    void OnDeleteObject(const TRecord& r);
    void Select(uint32_t ih);

    // Pens, brushes, lines, shapes, paths and gradients (PlayerPaths.cpp).
    bool SetPen();
    bool SetBrush();
    void SetColor(uint32_t c) {
        cairo_set_source_rgb(Cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
    }
    void SetRop2Operator();
    void Draw(const TPath& path, bool fill, bool stroke);
    void Append(const TPath& path) { Path.insert(Path.end(), path.begin(), path.end()); }
    // A figure drawn at once, or added to the path being built.
    void Emit(const TPath& path, bool closedShape);
    // An open figure (a line) drawn at once, or added to the path being built.
    void EmitLine(const TPath& path);
    TPath Polyline(const std::vector<TPt>& logical, bool closed) const;
    void Bezier(const std::vector<TPt>& pts, bool to);
    void ArcFromCurrent(double cx, double cy, double rx, double ry, double a0, double sweep);
    void OnMoveTo(const TRecord& r);
    void OnLineTo(const TRecord& r);
    void OnSetPixel(const TRecord& r);
    void OnPoly(const TRecord& r);
    void OnPolyPoly(const TRecord& r);
    void OnArcTo(const TRecord& r);
    void OnAngleArc(const TRecord& r);
    void OnPolyDraw(const TRecord& r);
    void OnBeginPath(const TRecord& r);
    void OnEndPath(const TRecord& r);
    void OnAbortPath(const TRecord& r);
    void OnCloseFigure(const TRecord& r);
    void OnDrawPath(const TRecord& r);
    void OnBoxShape(const TRecord& r);
    void DrawBoxShape(const TPath& path, bool aligned, bool nullPen, bool filled);
    void OnGradientFill(const TRecord& r);

    // Clipping and regions (PlayerClip.cpp).
    void ApplyClip();
    void BuildPath(const TPath& path);
    // The pixels of the surface that steps let through (255) as an A8 surface.
    TSurfacePtr Coverage(const std::vector<TClipStep>& steps) const;
    // Replaces the clip by its combination with a device-space region.
    void CombineClip(TPath region, bool evenOdd, uint32_t mode);
    void CombineByCoverage(TPath region, bool evenOdd, uint32_t mode);
    void Region(const TRecord& r, size_t cbAt, size_t dataAt, int what, uint32_t brush);
    bool ReadRegion(const TRecord& r, size_t cbAt, size_t dataAt, TPath& out);
    void OnSelectClipPath(const TRecord& r);
    void OnClipRect(const TRecord& r);
    void OnExtSelectClipRgn(const TRecord& r);
    void OnOffsetClipRgn(const TRecord& r);
    void OnFillRgn(const TRecord& r);
    void OnFrameRgn(const TRecord& r);
    void OnInvertRgn(const TRecord& r);
    void OnPaintRgn(const TRecord& r);

    // Fonts and text (PlayerText.cpp).
    struct TTextRun {
        TPt Ref;                               // reference point, logical
        uint32_t Options = 0;                  // ETO_* flags
        double Cl = 0, Ct = 0, Cr = 0, Cb = 0; // opaque / clip rectangle, logical
        std::u32string Text;
        std::vector<double> Dx; // advances from the record (empty: the font's)
    };
    struct TTextFrame {
        TPt U, D;      // device vectors of one logical unit along and across the baseline
        double Em = 0; // em size in logical units
        cairo_font_extents_t Extents{};
        double Total = 0; // the run's advance, logical
        TPt Origin;       // device position of the first glyph's origin
    };
    bool ReadText(const TRecord& r, bool wide, size_t at, TTextRun& run) const;
    cairo_scaled_font_t* TextFont(cairo_font_face_t* face, int graphicsMode, double esc,
                                  TTextFrame& f) const;
    std::vector<cairo_glyph_t> LayOutGlyphs(cairo_scaled_font_t* sf, const TTextRun& run,
                                            TPt origin, TTextFrame& f) const;
    void GlyphOutlines(const std::vector<cairo_glyph_t>& glyphs);
    void PaintGlyphs(const std::vector<cairo_glyph_t>& glyphs, uint32_t options,
                     const TTextFrame& f);
    void Text(const TRecord& r, bool wide, size_t emrText, int graphicsMode);
    void OnExtTextOut(const TRecord& r);
    void OnSmallTextOut(const TRecord& r);

    // Bitmaps and raster operations (PlayerRaster.cpp).
    void OnBlit(const TRecord& r);
    // Combines source, brush colour and target by ternary raster operations inside
    // quad; with a mask, its set pixels take foreCode and the others backCode.
    void RopBlit(cairo_surface_t* src, const cairo_matrix_t& m, uint8_t foreCode, const TPt* quad,
                 cairo_surface_t* mask = nullptr, const cairo_matrix_t* maskM = nullptr,
                 uint8_t backCode = 0xAA);
    void OnMaskBlt(const TRecord& r);
    void OnPlgBlt(const TRecord& r);
    void OnFloodFill(const TRecord& r);

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

} // namespace emf::play
