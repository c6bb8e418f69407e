// SPDX-License-Identifier: GPL-3.0-or-later
// The player's fonts and text: faces through fontconfig, glyphs through
// cairo, placed by the record's spacing array or by their own advances.
#include "metafile/Player.h"

#include <cairo-ft.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <string>
#include <tuple>

namespace emf::play {

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

bool IsSymbolFace(const std::string& face) {
    std::string l;
    for (char c : face)
        l += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return l == "symbol";
}

// The text of an EMRTEXT (reference, chars, string offset, options,
// rectangle, dx offset) at offset at; false when it does not fit the record.
bool TPlayer::ReadText(const TRecord& r, bool wide, size_t at, TTextRun& run) const {
    if (!r.Has(at, 40)) return false;
    run.Ref = {double(r.I(at)), double(r.I(at + 4))};
    const uint32_t chars = r.U(at + 8), offString = r.U(at + 12);
    run.Options = r.U(at + 16);
    const uint32_t offDx = r.U(at + 36);
    run.Cl = r.I(at + 20);
    run.Ct = r.I(at + 24);
    run.Cr = r.I(at + 28);
    run.Cb = r.I(at + 32);
    if (chars > 0x100000) return false;
    if (chars && !r.Has(offString, uint64_t(chars) * (wide ? 2 : 1))) return false;
    std::u32string& text = run.Text;
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
    std::vector<double>& dx = run.Dx;
    // ETO_PDY (0x2000) doubles the array: x and y advances.
    const bool pdy = (run.Options & 0x2000) != 0;
    if (offDx && chars && r.Has(offDx, uint64_t(chars) * 4 * (pdy ? 2 : 1))) {
        for (uint32_t i = 0; i < chars; ++i)
            dx.push_back(r.I(offDx + 4 * i * (pdy ? 2 : 1)));
        // Surrogate pairs take one dx entry each half; keep the first.
        if (dx.size() != text.size()) dx.clear();
    }
    return true;
}

// The font scaled for the device: the baseline (U) and "down" (D) unit
// vectors, the em size and the unit font's extents. Null when the mapping
// leaves no usable size.
cairo_scaled_font_t* TPlayer::TextFont(cairo_font_face_t* face, int graphicsMode, double esc,
                                       TTextFrame& f) const {
    const TXform t = Total();
    TPt& U = f.U;
    TPt& D = f.D;
    double& em = f.Em;
    cairo_font_extents_t& fe = f.Extents;
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
    cairo_scaled_font_extents(probe, &fe);
    cairo_scaled_font_destroy(probe);
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
        return nullptr;
    }
    cairo_scaled_font_t* sf = cairo_scaled_font_create(face, &fm, &unit, fo);
    cairo_font_options_destroy(fo);
    if (cairo_scaled_font_status(sf) != CAIRO_STATUS_SUCCESS) {
        cairo_scaled_font_destroy(sf);
        return nullptr;
    }
    return sf;
}

// Glyphs, each placed by the spacing array or by its own advance, moved to
// the device origin o that the alignment gives; total is the run's advance.
std::vector<cairo_glyph_t> TPlayer::LayOutGlyphs(cairo_scaled_font_t* sf, const TTextRun& run,
                                                 TPt origin, TTextFrame& f) const {
    const TPt U = f.U, D = f.D;
    const std::u32string& text = run.Text;
    const std::vector<double>& dx = run.Dx;
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
    f.Total = total;
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
    const double em = f.Em;
    const cairo_font_extents_t& fe = f.Extents;
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
    f.Origin = o;
    return glyphs;
}

// Text inside a path: the glyphs' outlines join the path being built.
void TPlayer::GlyphOutlines(const std::vector<cairo_glyph_t>& glyphs) {
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
}

// Text drawn: its opaque cell, the glyphs, underline and strike-out.
void TPlayer::PaintGlyphs(const std::vector<cairo_glyph_t>& glyphs, uint32_t options,
                          const TTextFrame& f) {
    const TPt U = f.U, D = f.D, o = f.Origin;
    const double em = f.Em, total = f.Total;
    const double ascent = em * f.Extents.ascent, descent = em * f.Extents.descent;
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
    // The lines are part of the text: smoothed like its glyphs, or a turned
    // line breaks into steps.
    const bool smooth = Dc.Font.Quality == 4 || Dc.Font.Quality == 5;
    if (smooth) cairo_set_antialias(Cr, CAIRO_ANTIALIAS_GRAY);
    if (Dc.Font.Underline) line(em * 0.1, em * 0.05);
    if (Dc.Font.StrikeOut) line(-em * 0.28, em * 0.05);
    if (smooth) cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
}

void TPlayer::Text(const TRecord& r, bool wide, size_t at, int graphicsMode) {
    TTextRun run;
    if (!ReadText(r, wide, at, run)) return;
    const uint32_t options = run.Options;
    const double cl = run.Cl, ct = run.Ct, cr = run.Cr, cb = run.Cb;
    const bool updateCp = (Dc.TextAlign & 1) != 0;
    TPt origin = updateCp ? Dc.Cur : run.Ref;
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
    cairo_font_face_t* face = run.Text.empty() ? nullptr : FontFace(Dc.Font);
    const double esc = Dc.Font.Escapement / 10.0 * std::numbers::pi / 180;
    TTextFrame f;
    cairo_scaled_font_t* sf = face ? TextFont(face, graphicsMode, esc, f) : nullptr;
    if (!sf) {
        cairo_restore(Cr);
        return;
    }
    const std::vector<cairo_glyph_t> glyphs = LayOutGlyphs(sf, run, origin, f);
    const double total = f.Total;
    if (updateCp) {
        // The current position moves by the text's advance (right-aligned text moves it back).
        const double adv = (Dc.TextAlign & 6) == 2 ? -total : (Dc.TextAlign & 6) == 6 ? 0 : total;
        Dc.Cur.X += adv * std::cos(esc);
        Dc.Cur.Y -= adv * std::sin(esc);
    }
    cairo_set_scaled_font(Cr, sf);
    if (InPath)
        GlyphOutlines(glyphs);
    else
        PaintGlyphs(glyphs, options, f);
    cairo_scaled_font_destroy(sf);
    cairo_restore(Cr);
    ClipDirty = true; // the restore brought back cairo's clip, not ours
}

void TPlayer::OnExtTextOut(const TRecord& r) {
    constexpr size_t GraphicsModeAt = 24, EmrTextAt = 36;
    Text(r, r.Type == EMR_EXTTEXTOUTW, EmrTextAt, static_cast<int>(r.U(GraphicsModeAt)));
}

void TPlayer::OnSmallTextOut(const TRecord& r) {
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

// Advances of chars (one per code unit of the record's text, len units) in
// logical units of the font.
static std::vector<int32_t> Advances(const uint8_t* logFont, size_t n, const uint8_t* text,
                                     size_t len, bool wide) {
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

// Ascent and descent in logical units of the font a LOGFONTW describes,
// sized as the player sizes it.
static bool Extents(const uint8_t* logFont, size_t n, double& ascent, double& descent) {
    if (n < 92) return false;
    TFont f;
    f.Height = S32(logFont);
    f.Weight = S32(logFont + 16);
    f.Italic = logFont[20];
    for (int i = 0; i < 32; ++i) {
        const uint16_t c = U16(logFont + 28 + 2 * i);
        if (!c) break;
        AppendUtf8(f.Face, c);
    }
    cairo_font_face_t* face = FontFace(f);
    if (!face) return false;
    cairo_matrix_t unit;
    cairo_matrix_init_identity(&unit);
    cairo_font_options_t* fo = cairo_font_options_create();
    cairo_font_options_set_hint_style(fo, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(fo, CAIRO_HINT_METRICS_OFF);
    cairo_scaled_font_t* probe = cairo_scaled_font_create(face, &unit, &unit, fo);
    cairo_font_options_destroy(fo);
    cairo_font_extents_t fe;
    cairo_scaled_font_extents(probe, &fe);
    const bool ok = cairo_scaled_font_status(probe) == CAIRO_STATUS_SUCCESS;
    cairo_scaled_font_destroy(probe);
    if (!ok) return false;
    const double em = f.Height < 0   ? -double(f.Height)
                      : f.Height > 0 ? f.Height / std::max(fe.ascent + fe.descent, 0.1)
                                     : 16;
    ascent = fe.ascent * em;
    descent = fe.descent * em;
    return true;
}

} // namespace emf::play

bool emf::FontExtents(const uint8_t* logFont, size_t n, double& ascent, double& descent) {
    return play::Extents(logFont, n, ascent, descent);
}

std::vector<int32_t> emf::TextAdvances(const uint8_t* logFont, size_t n, const uint8_t* text,
                                       size_t len) {
    return play::Advances(logFont, n, text, len, false);
}

std::vector<int32_t> emf::TextAdvancesW(const uint8_t* logFont, size_t n, const uint8_t* text,
                                        size_t units) {
    return play::Advances(logFont, n, text, units, true);
}
