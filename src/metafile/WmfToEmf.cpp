// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a Windows metafile: every record is checked against the data and
// rewritten as the equivalent EMF record(s), so the player only knows EMF.
#include "metafile/DcState.h"
#include "metafile/EmfFormat.h"
#include "metafile/EmfPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <utility>

namespace emf {

namespace {

enum class TSlot { Gdi, Palette, Region };

// An object of the WMF's table, as the conversion needs it again.
struct TWmfObject {
    TSlot Kind = TSlot::Gdi;
    std::vector<TRect> Region; // region slots: the rectangles, logical units
    std::vector<uint8_t> Font; // font slots: the LOGFONTW written for it
};

// What the conversion tracks of the DC, saved and restored with it.
struct TWmfDc {
    int OrgX = 0, OrgY = 0;    // the window origin (offsets add to it)
    std::vector<uint8_t> Font; // LOGFONTW of the selected font (empty: the default)
};

class TWmfConverter {
public:
    TWmfConverter(const uint8_t* data, size_t size) : D(data), N(size) {}
    TWmfConversion Run();

private:
    using THandler = void (TWmfConverter::*)(const TWmfRecord&);
    void Record(const TWmfRecord& rec);
    // The handler of the records of function F (and of those that share it).
    template <uint16_t F> void On(const TWmfRecord& rec);
    template <uint32_t Emr> void OnColorSetting(const TWmfRecord& rec);
    template <uint32_t Emr> void OnModeSetting(const TWmfRecord& rec);
    void Poly(uint32_t type, const uint8_t* pts, size_t count);
    void Dib(uint32_t rop, int xd, int yd, int wd, int hd, int xs, int ys, int ws, int hs,
             const uint8_t* dib, size_t n, uint32_t usage);
    void Bitmap16Blt(uint32_t rop, int xd, int yd, int wd, int hd, int xs, int ys, int ws, int hs,
                     const uint8_t* bm, size_t n);
    void PatBlt(uint32_t rop, int x, int y, int w, int h);
    std::vector<uint8_t> Bitmap16ToDib(const uint8_t* bm, size_t n, size_t* bmiSize);
    void RegionRects(const std::vector<TRect>& rects);
    void SelectClipRegion(uint16_t slot);

    const uint8_t* D;
    size_t N;
    TEmfWriter E;
    // Windows puts a new object into the lowest free slot of the header's count.
    TObjectTable<TWmfObject> Obj;
    TWmfDc Dc;
    TDcStack<TWmfDc> Stack;
    // EMF text records always carry their spacing array: readers take it as given.
    void SpacingFor(const uint8_t* text, size_t len);
};

inline int16_t P(const uint8_t* p, size_t i) {
    return S16(p + 2 * i);
}

TWmfConversion TWmfConverter::Run() {
    size_t pos = 0;
    bool placeable = false;
    int left = 0, top = 0, right = 0, bottom = 0, inch = 0;
    if (N >= 4 && U32(D) == PlaceableKey) {
        if (N < 22) Invalid();
        placeable = true;
        left = S16(D + 6);
        top = S16(D + 8);
        right = S16(D + 10);
        bottom = S16(D + 12);
        inch = U16(D + 14);
        if (inch == 0) Invalid();
        pos = 22;
    }
    if (N - pos < 18) Invalid();
    const uint16_t type = U16(D + pos), headerWords = U16(D + pos + 2);
    if ((type != 1 && type != 2) || headerWords != 9) Invalid();
    const uint16_t objects = U16(D + pos + 10);
    pos += 18;

    // Every record is checked before anything is converted.
    int winExtX = 0, winExtY = 0;
    bool haveExt = false;
    std::vector<std::pair<size_t, size_t>> records; // offset, byte size
    for (size_t q = pos; q < N;) {
        if (N - q < 6) Invalid();
        const uint64_t words = U32(D + q);
        if (words < 3 || words * 2 > N - q) Invalid();
        const uint16_t fn = U16(D + q + 4);
        if (fn == META_EOF) break;
        if (fn == META_SETWINDOWEXT && !haveExt && words >= 5) {
            winExtY = S16(D + q + 6);
            winExtX = S16(D + q + 8);
            haveExt = true;
        }
        records.emplace_back(q, static_cast<size_t>(words * 2));
        q += static_cast<size_t>(words * 2);
    }

    TWmfConversion out;
    if (placeable) {
        out.Width = static_cast<int>(
            std::lround(std::abs(static_cast<double>(right - left)) * 96.0 / inch));
        out.Height = static_cast<int>(
            std::lround(std::abs(static_cast<double>(bottom - top)) * 96.0 / inch));
    } else {
        if (!haveExt) Invalid();
        out.Width = std::abs(winExtX);
        out.Height = std::abs(winExtY);
    }
    if (out.Width <= 0 || out.Height <= 0) Invalid();

    // A 96-dpi reference device, so that the frame maps back to exactly these pixels.
    E.Header(u"", 960, 960, 254, 254);
    E.Rec(EMR_SETMAPMODE, uint32_t(MM_ANISOTROPIC));
    if (placeable) {
        E.Rec(EMR_SETWINDOWORGEX, left, top);
        E.Rec(EMR_SETWINDOWEXTEX, right - left, bottom - top);
        Dc.OrgX = left;
        Dc.OrgY = top;
    } else {
        E.Rec(EMR_SETWINDOWEXTEX, winExtX, winExtY);
    }
    E.Rec(EMR_SETVIEWPORTEXTEX, out.Width, out.Height);

    Obj = TObjectTable<TWmfObject>(objects);
    for (const auto& [q, bytes] : records)
        Record({U16(D + q + 4), D + q + 6, bytes - 6});

    const TRect frame = Rect(0, 0, static_cast<int>(std::lround(out.Width * 2540.0 / 96)),
                             static_cast<int>(std::lround(out.Height * 2540.0 / 96)));
    out.Emf = E.Finish(Rect(0, 0, out.Width - 1, out.Height - 1), frame);
    return out;
}

void TWmfConverter::Poly(uint32_t type, const uint8_t* pts, size_t count) {
    int minX = 0, minY = 0, maxX = -1, maxY = -1;
    for (size_t i = 0; i < count; ++i) {
        const int x = S16(pts + 4 * i), y = S16(pts + 4 * i + 2);
        if (i == 0 || x < minX) minX = x;
        if (i == 0 || y < minY) minY = y;
        if (i == 0 || x > maxX) maxX = x;
        if (i == 0 || y > maxY) maxY = y;
    }
    const size_t at = E.Begin(type);
    E.W.S32(minX);
    E.W.S32(minY);
    E.W.S32(maxX);
    E.W.S32(maxY);
    E.W.U32(static_cast<uint32_t>(count));
    E.W.Bytes(pts, count * 4);
    E.End(at);
}

void TWmfConverter::Dib(uint32_t rop, int xd, int yd, int wd, int hd, int xs, int ys, int ws,
                        int hs, const uint8_t* dib, size_t n, uint32_t usage) {
    const size_t info = DibInfoSize(dib, n, usage);
    if (!info) return; // not a DIB we know: the record is skipped
    const size_t at = E.Begin(EMR_STRETCHDIBITS);
    for (int i = 0; i < 4; ++i)
        E.W.S32(0); // bounds
    E.W.S32(xd);
    E.W.S32(yd);
    E.W.S32(xs);
    E.W.S32(ys);
    E.W.S32(ws);
    E.W.S32(hs);
    const uint32_t fixed = 80;
    const uint32_t bmiSize = static_cast<uint32_t>((info + 3) & ~size_t(3));
    E.W.U32(fixed);
    E.W.U32(static_cast<uint32_t>(info));
    E.W.U32(fixed + bmiSize);
    E.W.U32(static_cast<uint32_t>(n - info));
    E.W.U32(usage);
    E.W.U32(rop);
    E.W.S32(wd);
    E.W.S32(hd);
    E.W.Bytes(dib, info);
    E.W.Pad4();
    E.W.Bytes(dib + info, n - info);
    E.End(at);
}

void TWmfConverter::PatBlt(uint32_t rop, int x, int y, int w, int h) {
    const size_t at = E.Begin(EMR_BITBLT);
    for (int i = 0; i < 4; ++i)
        E.W.S32(0);
    E.W.S32(x);
    E.W.S32(y);
    E.W.S32(w);
    E.W.S32(h);
    E.W.U32(rop);
    E.W.S32(0);
    E.W.S32(0);
    const float identity[6] = {1, 0, 0, 1, 0, 0};
    for (float f : identity)
        E.W.F32(f);
    E.W.U32(0); // background colour
    E.W.U32(0); // usage
    for (int i = 0; i < 4; ++i)
        E.W.U32(0); // no bitmap
    E.End(at);
}

// A device-dependent bitmap of the old records, made into a DIB (its colours
// are unknown: 1-bit is black and white, others use the default palettes).
std::vector<uint8_t> TWmfConverter::Bitmap16ToDib(const uint8_t* bm, size_t n, size_t* bmiSize) {
    if (n < 14) return {};
    const int w = S16(bm + 2), h = S16(bm + 4), widthBytes = S16(bm + 6);
    const int planes = bm[8], bits = bm[9];
    if (w <= 0 || h <= 0 || planes != 1 || widthBytes <= 0) return {};
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24) return {};
    if (static_cast<uint64_t>(widthBytes) * 8 < static_cast<uint64_t>(w) * bits) return {};
    if (static_cast<uint64_t>(widthBytes) * h > n - 14) return {};
    const int colors = bits <= 8 ? (1 << bits) : 0;
    TByteWriter b;
    b.U32(40);
    b.S32(w);
    b.S32(-h); // rows stored top-down, as in the bitmap
    b.U16(1);
    b.U16(static_cast<uint16_t>(bits));
    for (int i = 0; i < 6; ++i)
        b.U32(0);
    for (int i = 0; i < colors; ++i) {
        const uint8_t v =
            static_cast<uint8_t>(colors == 2 ? (i ? 255 : 0) : i * 255 / (colors - 1));
        b.U8(v);
        b.U8(v);
        b.U8(v);
        b.U8(0);
    }
    *bmiSize = b.Size();
    const size_t stride = ((static_cast<size_t>(w) * bits + 31) / 32) * 4;
    for (int y = 0; y < h; ++y) {
        const uint8_t* row = bm + 14 + static_cast<size_t>(y) * widthBytes;
        const size_t copy = std::min<size_t>(stride, static_cast<size_t>(widthBytes));
        b.Bytes(row, copy);
        for (size_t k = copy; k < stride; ++k)
            b.U8(0);
    }
    return std::move(b.Data);
}

void TWmfConverter::Bitmap16Blt(uint32_t rop, int xd, int yd, int wd, int hd, int xs, int ys,
                                int ws, int hs, const uint8_t* bm, size_t n) {
    size_t info = 0;
    const std::vector<uint8_t> dib = Bitmap16ToDib(bm, n, &info);
    if (dib.empty()) return;
    Dib(rop, xd, yd, wd, hd, xs, ys, ws, hs, dib.data(), dib.size(), 0);
}

void TWmfConverter::RegionRects(const std::vector<TRect>& rects) {
    for (const TRect& r : rects)
        E.Rec(EMR_RECTANGLE, Rect(r.Left, r.Top, r.Right + 1, r.Bottom + 1));
}

void TWmfConverter::SelectClipRegion(uint16_t slot) {
    // Reset first: a missing or non-region object leaves no clip.
    const size_t at = E.Begin(EMR_EXTSELECTCLIPRGN);
    E.W.U32(0);
    E.W.U32(RGN_COPY);
    E.End(at);
    const TWmfObject* o = Obj.Find(slot);
    if (!o || o->Kind != TSlot::Region || o->Region.empty()) return;
    const std::vector<TRect>& rects = o->Region;
    if (rects.size() == 1) {
        E.Rec(EMR_INTERSECTCLIPRECT, rects[0]);
        return;
    }
    // Regions are given in logical units, which an EMF region cannot carry: the
    // rectangles become a clip path, one closed figure each, which the mapping
    // then places as it places everything else.
    E.Rec(EMR_BEGINPATH);
    const size_t pp = E.Begin(EMR_POLYPOLYGON);
    for (int i = 0; i < 4; ++i)
        E.W.S32(0); // bounds: not used by players
    E.W.U32(static_cast<uint32_t>(rects.size()));
    E.W.U32(static_cast<uint32_t>(rects.size() * 4));
    for (size_t i = 0; i < rects.size(); ++i)
        E.W.U32(4);
    for (const TRect& q : rects) {
        for (const auto& [x, y] : {std::pair{q.Left, q.Top}, std::pair{q.Right, q.Top},
                                   std::pair{q.Right, q.Bottom}, std::pair{q.Left, q.Bottom}}) {
            E.W.S32(x);
            E.W.S32(y);
        }
    }
    E.End(pp);
    E.Rec(EMR_ENDPATH);
    E.Rec(EMR_SELECTCLIPPATH, uint32_t(RGN_COPY));
}

void TWmfConverter::SpacingFor(const uint8_t* text, size_t len) {
    // The default font until one is selected (what the player draws with).
    static const std::vector<uint8_t> defaultFont = [] {
        std::vector<uint8_t> f(92, 0);
        f[16] = 0x90; // weight 400
        f[17] = 0x01;
        f[23] = 1; // default character set
        const char* face = "System";
        for (int i = 0; face[i]; ++i)
            f[28 + 2 * i] = static_cast<uint8_t>(face[i]);
        return f;
    }();
    const std::vector<uint8_t>& font = Dc.Font.empty() ? defaultFont : Dc.Font;
    std::vector<int32_t> dx = TextAdvances(font.data(), font.size(), text, len);
    dx.resize(len, 0);
    for (int32_t d : dx)
        E.W.S32(d);
}

// ---------------------------------------------------------------- one handler per record

// The settings that pass one value unchanged: a colour (two words) or a mode (one word).
template <uint32_t Emr> void TWmfConverter::OnColorSetting(const TWmfRecord& rec) {
    if (rec.Has(2)) E.Rec(Emr, rec.L(0));
}

template <uint32_t Emr> void TWmfConverter::OnModeSetting(const TWmfRecord& rec) {
    if (rec.Has(1)) E.Rec(Emr, uint32_t(rec.W(0)));
}

template <> void TWmfConverter::On<META_SETWINDOWORG>(const TWmfRecord& rec) {
    if (rec.Has(2)) {
        Dc.OrgX = rec.S(1);
        Dc.OrgY = rec.S(0);
        E.Rec(EMR_SETWINDOWORGEX, Dc.OrgX, Dc.OrgY);
    }
}

template <> void TWmfConverter::On<META_OFFSETWINDOWORG>(const TWmfRecord& rec) {
    if (rec.Has(2)) {
        Dc.OrgX += rec.S(1);
        Dc.OrgY += rec.S(0);
        E.Rec(EMR_SETWINDOWORGEX, Dc.OrgX, Dc.OrgY);
    }
}

// The viewport belongs to the player: it maps the picture onto the target.
// Writers put screen values here that would undo that mapping, and common
// players ignore these records in a file, as we do. META_OFFSETVIEWPORTORG,
// META_SETVIEWPORTEXT, META_SCALEVIEWPORTEXT too.
template <> void TWmfConverter::On<META_SETVIEWPORTORG>(const TWmfRecord&) {}

template <> void TWmfConverter::On<META_SETWINDOWEXT>(const TWmfRecord& rec) {
    if (rec.Has(2)) E.Rec(EMR_SETWINDOWEXTEX, rec.S(1), rec.S(0));
}

template <> void TWmfConverter::On<META_SCALEWINDOWEXT>(const TWmfRecord& rec) {
    if (rec.Has(4)) {
        const size_t at = E.Begin(EMR_SCALEWINDOWEXTEX);
        E.W.S32(rec.S(3));
        E.W.S32(rec.S(2));
        E.W.S32(rec.S(1));
        E.W.S32(rec.S(0));
        E.End(at);
    }
}

template <> void TWmfConverter::On<META_LINETO>(const TWmfRecord& rec) {
    if (rec.Has(2)) E.Rec(EMR_LINETO, rec.S(1), rec.S(0));
}

template <> void TWmfConverter::On<META_MOVETO>(const TWmfRecord& rec) {
    if (rec.Has(2)) E.Rec(EMR_MOVETOEX, rec.S(1), rec.S(0));
}

// META_INTERSECTCLIPRECT too.
template <> void TWmfConverter::On<META_EXCLUDECLIPRECT>(const TWmfRecord& rec) {
    const uint16_t fn = rec.Function;
    if (rec.Has(4))
        E.Rec(fn == META_EXCLUDECLIPRECT ? EMR_EXCLUDECLIPRECT : EMR_INTERSECTCLIPRECT,
              Rect(rec.S(3), rec.S(2), rec.S(1), rec.S(0)));
}

template <> void TWmfConverter::On<META_OFFSETCLIPRGN>(const TWmfRecord& rec) {
    if (rec.Has(2)) E.Rec(EMR_OFFSETCLIPRGN, rec.S(1), rec.S(0));
}

// META_PIE, META_CHORD too.
template <> void TWmfConverter::On<META_ARC>(const TWmfRecord& rec) {
    const uint16_t fn = rec.Function;
    if (rec.Has(8)) {
        const size_t at = E.Begin(fn == META_ARC ? EMR_ARC : fn == META_PIE ? EMR_PIE : EMR_CHORD);
        E.W.S32(rec.S(7));
        E.W.S32(rec.S(6));
        E.W.S32(rec.S(5));
        E.W.S32(rec.S(4));
        E.W.S32(rec.S(3));
        E.W.S32(rec.S(2));
        E.W.S32(rec.S(1));
        E.W.S32(rec.S(0));
        E.End(at);
    }
}

// META_RECTANGLE too.
template <> void TWmfConverter::On<META_ELLIPSE>(const TWmfRecord& rec) {
    const uint16_t fn = rec.Function;
    if (rec.Has(4))
        E.Rec(fn == META_ELLIPSE ? EMR_ELLIPSE : EMR_RECTANGLE,
              Rect(rec.S(3), rec.S(2), rec.S(1), rec.S(0)));
}

template <> void TWmfConverter::On<META_ROUNDRECT>(const TWmfRecord& rec) {
    if (rec.Has(6)) {
        const size_t at = E.Begin(EMR_ROUNDRECT);
        E.W.S32(rec.S(5));
        E.W.S32(rec.S(4));
        E.W.S32(rec.S(3));
        E.W.S32(rec.S(2));
        E.W.S32(rec.S(1));
        E.W.S32(rec.S(0));
        E.End(at);
    }
}

template <> void TWmfConverter::On<META_PATBLT>(const TWmfRecord& rec) {
    if (rec.Has(6)) PatBlt(rec.L(0), rec.S(5), rec.S(4), rec.S(3), rec.S(2));
}

template <> void TWmfConverter::On<META_SAVEDC>(const TWmfRecord&) {
    Stack.Save(Dc);
    E.Rec(EMR_SAVEDC);
}

template <> void TWmfConverter::On<META_RESTOREDC>(const TWmfRecord& rec) {
    if (rec.Has(1)) {
        const int level = rec.S(0);
        // Keep the state we track in step with the DC's stack.
        if (std::optional<TWmfDc> saved = Stack.Restore(level)) Dc = std::move(*saved);
        E.Rec(EMR_RESTOREDC, static_cast<uint32_t>(level));
    }
}

template <> void TWmfConverter::On<META_SETPIXEL>(const TWmfRecord& rec) {
    if (rec.Has(4)) {
        const size_t at = E.Begin(EMR_SETPIXELV);
        E.W.S32(rec.S(3));
        E.W.S32(rec.S(2));
        E.W.U32(rec.L(0));
        E.End(at);
    }
}

template <> void TWmfConverter::On<META_TEXTOUT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    if (rec.Has(1)) {
        const size_t len = rec.W(0);
        const size_t strWords = (len + 1) / 2;
        if (!rec.Has(1 + strWords + 2)) return;
        const int y = P(p, 1 + strWords), x = P(p, 2 + strWords);
        const size_t at = E.Begin(EMR_EXTTEXTOUTA);
        for (int i = 0; i < 4; ++i)
            E.W.S32(0);
        E.W.U32(1); // compatible graphics mode
        E.W.F32(0);
        E.W.F32(0);
        E.W.S32(x);
        E.W.S32(y);
        E.W.U32(static_cast<uint32_t>(len));
        E.W.U32(76); // string offset
        E.W.U32(0);  // options
        for (int i = 0; i < 4; ++i)
            E.W.S32(0);
        E.W.U32(static_cast<uint32_t>(76 + ((len + 3) & ~size_t(3))));
        E.W.Bytes(p + 2, len);
        E.W.Pad4();
        SpacingFor(p + 2, len);
        E.End(at);
    }
}

template <> void TWmfConverter::On<META_EXTTEXTOUT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Has(4)) {
        const int y = rec.S(0), x = rec.S(1);
        const size_t len = U16(p + 4);
        const uint16_t opts = U16(p + 6);
        size_t off = 8;
        TRect clip{};
        if (opts & 0x0006) { // opaque or clipped: a rectangle follows
            if (n < off + 8) return;
            clip = Rect(S16(p + off), S16(p + off + 2), S16(p + off + 4), S16(p + off + 6));
            off += 8;
        }
        if (n < off + len) return;
        const uint8_t* str = p + off;
        off += (len + 1) & ~size_t(1);
        const bool haveDx = n >= off + 2 * len;
        const size_t at = E.Begin(EMR_EXTTEXTOUTA);
        for (int i = 0; i < 4; ++i)
            E.W.S32(0);
        E.W.U32(1);
        E.W.F32(0);
        E.W.F32(0);
        E.W.S32(x);
        E.W.S32(y);
        E.W.U32(static_cast<uint32_t>(len));
        const uint32_t strOff = 76;
        const uint32_t dxOff = static_cast<uint32_t>(strOff + ((len + 3) & ~size_t(3)));
        E.W.U32(strOff);
        E.W.U32(opts);
        E.W.S32(clip.Left);
        E.W.S32(clip.Top);
        E.W.S32(clip.Right);
        E.W.S32(clip.Bottom);
        E.W.U32(dxOff);
        E.W.Bytes(str, len);
        E.W.Pad4();
        if (haveDx)
            for (size_t i = 0; i < len; ++i)
                E.W.S32(S16(p + off + 2 * i));
        else
            SpacingFor(str, len);
        E.End(at);
    }
}

// META_POLYLINE too.
template <> void TWmfConverter::On<META_POLYGON>(const TWmfRecord& rec) {
    const uint16_t fn = rec.Function;
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    if (rec.Has(1)) {
        const size_t count = rec.W(0);
        if (count == 0 || !rec.Has(1 + 2 * count)) return;
        Poly(fn == META_POLYGON ? EMR_POLYGON16 : EMR_POLYLINE16, p + 2, count);
    }
}

template <> void TWmfConverter::On<META_POLYPOLYGON>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    if (rec.Has(1)) {
        const size_t polys = rec.W(0);
        if (polys == 0 || !rec.Has(1 + polys)) return;
        size_t total = 0;
        for (size_t i = 0; i < polys; ++i)
            total += U16(p + 2 + 2 * i);
        if (!rec.Has(1 + polys + 2 * total)) return;
        const uint8_t* pts = p + 2 + 2 * polys;
        const size_t at = E.Begin(EMR_POLYPOLYGON16);
        for (int i = 0; i < 4; ++i)
            E.W.S32(0);
        E.W.U32(static_cast<uint32_t>(polys));
        E.W.U32(static_cast<uint32_t>(total));
        for (size_t i = 0; i < polys; ++i)
            E.W.U32(U16(p + 2 + 2 * i));
        E.W.Bytes(pts, total * 4);
        E.End(at);
    }
}

template <> void TWmfConverter::On<META_SELECTOBJECT>(const TWmfRecord& rec) {
    if (rec.Has(1)) {
        const uint16_t slot = rec.W(0);
        const TWmfObject* o = Obj.Find(slot);
        if (!o) return;
        if (o->Kind == TSlot::Gdi) {
            E.Rec(EMR_SELECTOBJECT, uint32_t(slot + 1));
            if (!o->Font.empty()) Dc.Font = o->Font;
        } else if (o->Kind == TSlot::Region) {
            SelectClipRegion(slot);
        }
    }
}

// META_EXTFLOODFILL too.
template <> void TWmfConverter::On<META_FLOODFILL>(const TWmfRecord& rec) {
    const uint16_t fn = rec.Function;
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    // Colour, then y and x; the extended form starts with its mode.
    const size_t k = fn == META_EXTFLOODFILL ? 1 : 0;
    if (!rec.Has(k + 4)) return;
    const size_t at = E.Begin(EMR_EXTFLOODFILL);
    E.W.S32(P(p, k + 3));
    E.W.S32(P(p, k + 2));
    E.W.U32(U32(p + 2 * k) & 0xFFFFFF);
    E.W.U32(k && rec.W(0) == 1 ? 1 : 0);
    E.End(at);
}

template <> void TWmfConverter::On<META_SELECTCLIPREGION>(const TWmfRecord& rec) {
    if (rec.Has(1)) SelectClipRegion(rec.W(0));
}

// META_FRAMEREGION, META_PAINTREGION too.
template <> void TWmfConverter::On<META_FILLREGION>(const TWmfRecord& rec) {
    const uint16_t fn = rec.Function;
    if (rec.Has(fn == META_PAINTREGION ? 1 : 2)) {
        const uint16_t region = rec.W(0);
        const TWmfObject* reg = Obj.Find(region);
        if (!reg || reg->Kind != TSlot::Region) return;
        E.Rec(EMR_SAVEDC);
        if (fn != META_PAINTREGION) {
            const uint16_t brush = rec.W(1);
            if (const TWmfObject* b = Obj.Find(brush); b && b->Kind == TSlot::Gdi)
                E.Rec(EMR_SELECTOBJECT, uint32_t(brush + 1));
        }
        E.Rec(EMR_SELECTOBJECT, StockObjectFlag | 8); // null pen
        if (fn == META_FRAMEREGION && rec.Has(4)) {
            const int fh = std::abs(rec.S(2)), fw = std::abs(rec.S(3));
            for (const TRect& r : reg->Region) {
                RegionRects({Rect(r.Left, r.Top, r.Right - 1, r.Top + fh - 1),
                             Rect(r.Left, r.Bottom - fh, r.Right - 1, r.Bottom - 1),
                             Rect(r.Left, r.Top, r.Left + fw - 1, r.Bottom - 1),
                             Rect(r.Right - fw, r.Top, r.Right - 1, r.Bottom - 1)});
            }
        } else if (fn != META_FRAMEREGION) {
            std::vector<TRect> rs;
            for (const TRect& r : reg->Region)
                rs.push_back(Rect(r.Left, r.Top, r.Right - 1, r.Bottom - 1));
            RegionRects(rs);
        }
        E.Rec(EMR_RESTOREDC, static_cast<uint32_t>(-1));
    }
}

template <> void TWmfConverter::On<META_DELETEOBJECT>(const TWmfRecord& rec) {
    if (rec.Has(1)) {
        const uint16_t slot = rec.W(0);
        const TWmfObject* o = Obj.Find(slot);
        if (!o) return;
        if (o->Kind == TSlot::Gdi) E.Rec(EMR_DELETEOBJECT, uint32_t(slot + 1));
        Obj.Erase(slot);
    }
}

template <> void TWmfConverter::On<META_CREATEPENINDIRECT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    if (rec.Has(5)) {
        const int slot = Obj.PutLowest({TSlot::Gdi, {}, {}});
        if (slot < 0) return;
        const size_t at = E.Begin(EMR_CREATEPEN);
        E.W.U32(slot + 1);
        E.W.U32(rec.W(0));
        E.W.S32(rec.S(1));
        E.W.S32(0);
        E.W.U32(U32(p + 6));
        E.End(at);
        E.UseHandle(slot + 1);
    }
}

template <> void TWmfConverter::On<META_CREATEBRUSHINDIRECT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    if (rec.Has(4)) {
        const int slot = Obj.PutLowest({TSlot::Gdi, {}, {}});
        if (slot < 0) return;
        uint32_t style = rec.W(0);
        // A pattern brush needs a bitmap this record cannot carry.
        if (style == BS_PATTERN || style == BS_DIBPATTERN || style == BS_DIBPATTERNPT)
            style = BS_SOLID;
        const size_t at = E.Begin(EMR_CREATEBRUSHINDIRECT);
        E.W.U32(slot + 1);
        E.W.U32(style);
        E.W.U32(U32(p + 2));
        E.W.U32(U16(p + 6));
        E.End(at);
        E.UseHandle(slot + 1);
    }
}

template <> void TWmfConverter::On<META_CREATEFONTINDIRECT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Has(9)) {
        const int slot = Obj.PutLowest({TSlot::Gdi, {}, {}});
        if (slot < 0) return;
        const size_t at = E.Begin(EMR_EXTCREATEFONTINDIRECTW);
        E.W.U32(slot + 1);
        for (int i = 0; i < 5; ++i)
            E.W.S32(rec.S(i));
        E.W.Bytes(p + 10, 8);
        const size_t faceBytes = std::min<size_t>(n - 18, 32);
        size_t k = 0;
        for (; k < faceBytes && p[18 + k]; ++k)
            E.W.U16(p[18 + k]);
        for (; k < 32; ++k)
            E.W.U16(0);
        Obj.Find(slot)->Font.assign(E.W.Data.begin() + static_cast<std::ptrdiff_t>(at + 12),
                                    E.W.Data.end());
        E.End(at);
        E.UseHandle(slot + 1);
    }
}

template <> void TWmfConverter::On<META_DIBCREATEPATTERNBRUSH>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Has(2)) {
        const int slot = Obj.PutLowest({TSlot::Gdi, {}, {}});
        if (slot < 0) return;
        const uint16_t style = rec.W(0);
        uint32_t usage = rec.W(1);
        std::vector<uint8_t> dib;
        size_t info = 0;
        if (style == BS_PATTERN) {
            dib = Bitmap16ToDib(p + 4, n - 4, &info);
            usage = 0;
        } else {
            dib.assign(p + 4, p + n);
            info = DibInfoSize(dib.data(), dib.size(), usage);
        }
        if (!info) {
            // Keep the slot numbering right with a stand-in brush.
            const size_t at = E.Begin(EMR_CREATEBRUSHINDIRECT);
            E.W.U32(slot + 1);
            E.W.U32(BS_SOLID);
            E.W.U32(0x808080);
            E.W.U32(0);
            E.End(at);
        } else {
            const size_t at = E.Begin(EMR_CREATEDIBPATTERNBRUSHPT);
            const uint32_t bmiPad = static_cast<uint32_t>((info + 3) & ~size_t(3));
            E.W.U32(slot + 1);
            E.W.U32(usage);
            E.W.U32(32);
            E.W.U32(static_cast<uint32_t>(info));
            E.W.U32(32 + bmiPad);
            E.W.U32(static_cast<uint32_t>(dib.size() - info));
            E.W.Bytes(dib.data(), info);
            E.W.Pad4();
            E.W.Bytes(dib.data() + info, dib.size() - info);
            E.End(at);
        }
        E.UseHandle(slot + 1);
    }
}

template <> void TWmfConverter::On<META_CREATEPATTERNBRUSH>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    const int slot = Obj.PutLowest({TSlot::Gdi, {}, {}});
    if (slot < 0) return;
    size_t info = 0;
    const std::vector<uint8_t> dib = Bitmap16ToDib(p, n, &info);
    const size_t at = E.Begin(dib.empty() ? EMR_CREATEBRUSHINDIRECT : EMR_CREATEDIBPATTERNBRUSHPT);
    E.W.U32(slot + 1);
    if (dib.empty()) {
        E.W.U32(BS_SOLID);
        E.W.U32(0x808080);
        E.W.U32(0);
    } else {
        E.W.U32(0);
        E.W.U32(32);
        E.W.U32(static_cast<uint32_t>(info));
        E.W.U32(static_cast<uint32_t>(32 + ((info + 3) & ~size_t(3))));
        E.W.U32(static_cast<uint32_t>(dib.size() - info));
        E.W.Bytes(dib.data(), info);
        E.W.Pad4();
        E.W.Bytes(dib.data() + info, dib.size() - info);
    }
    E.End(at);
    E.UseHandle(slot + 1);
}

template <> void TWmfConverter::On<META_CREATEPALETTE>(const TWmfRecord&) {
    Obj.PutLowest({TSlot::Palette, {}, {}});
}

template <> void TWmfConverter::On<META_CREATEREGION>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    const int slot = Obj.PutLowest({TSlot::Region, {}, {}});
    if (slot < 0) return;
    std::vector<TRect>& region = Obj.Find(slot)->Region;
    // Header: next, type, count, size, scan count, max scan, bounding box; then scans.
    if (n < 22) return;
    const size_t scans = U16(p + 10);
    size_t q = 22;
    for (size_t s = 0; s < scans && q + 6 <= n; ++s) {
        const size_t count = U16(p + q);
        const int top = S16(p + q + 2), bottom = S16(p + q + 4);
        if (q + 6 + count * 2 + 2 > n) break;
        for (size_t k = 0; k + 1 < count; k += 2)
            region.push_back(Rect(S16(p + q + 6 + 2 * k), top, S16(p + q + 8 + 2 * k), bottom));
        q += 6 + count * 2 + 2;
    }
    if (region.empty() && scans == 0)
        region.push_back(Rect(S16(p + 14), S16(p + 16), S16(p + 18), S16(p + 20)));
}

template <> void TWmfConverter::On<META_DIBBITBLT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    // Without a bitmap the record is a pattern fill with one more (reserved) word.
    if (rec.Words() == 9) {
        PatBlt(rec.L(0), rec.S(8), rec.S(7), rec.S(6), rec.S(5));
    } else if (rec.Has(8)) {
        const int h = rec.S(4), w = rec.S(5);
        Dib(rec.L(0), rec.S(7), rec.S(6), w, h, rec.S(3), rec.S(2), w, h, p + 16, n - 16, 0);
    }
}

template <> void TWmfConverter::On<META_DIBSTRETCHBLT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Words() == 11) {
        PatBlt(rec.L(0), rec.S(10), rec.S(9), rec.S(8), rec.S(7));
    } else if (rec.Has(10)) {
        Dib(rec.L(0), rec.S(9), rec.S(8), rec.S(7), rec.S(6), rec.S(5), rec.S(4), rec.S(3),
            rec.S(2), p + 20, n - 20, 0);
    }
}

template <> void TWmfConverter::On<META_STRETCHDIB>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Has(11))
        Dib(rec.L(0), rec.S(10), rec.S(9), rec.S(8), rec.S(7), rec.S(6), rec.S(5), rec.S(4),
            rec.S(3), p + 22, n - 22, rec.W(2));
}

template <> void TWmfConverter::On<META_SETDIBTODEV>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Has(9)) {
        const int w = rec.S(6), h = rec.S(5);
        Dib(SRCCOPY, rec.S(8), rec.S(7), w, h, rec.S(4), rec.S(3), w, h, p + 18, n - 18, rec.W(0));
    }
}

template <> void TWmfConverter::On<META_BITBLT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Words() == 9) {
        PatBlt(rec.L(0), rec.S(8), rec.S(7), rec.S(6), rec.S(5));
    } else if (rec.Has(8)) {
        const int h = rec.S(4), w = rec.S(5);
        Bitmap16Blt(rec.L(0), rec.S(7), rec.S(6), w, h, rec.S(3), rec.S(2), w, h, p + 16, n - 16);
    }
}

template <> void TWmfConverter::On<META_STRETCHBLT>(const TWmfRecord& rec) {
    const uint8_t* p = rec.Params; // variable-length parts, checked where read
    const size_t n = rec.Bytes;
    if (rec.Words() == 11) {
        PatBlt(rec.L(0), rec.S(10), rec.S(9), rec.S(8), rec.S(7));
    } else if (rec.Has(10)) {
        Bitmap16Blt(rec.L(0), rec.S(9), rec.S(8), rec.S(7), rec.S(6), rec.S(5), rec.S(4), rec.S(3),
                    rec.S(2), p + 20, n - 20);
    }
}

// Record function -> handler; functions without one (escapes, palettes and
// the rest) draw nothing.
void TWmfConverter::Record(const TWmfRecord& rec) {
    static const std::unordered_map<uint16_t, THandler> handlers = {
        {META_SETBKCOLOR, &TWmfConverter::OnColorSetting<EMR_SETBKCOLOR>},
        {META_SETTEXTCOLOR, &TWmfConverter::OnColorSetting<EMR_SETTEXTCOLOR>},
        {META_SETBKMODE, &TWmfConverter::OnModeSetting<EMR_SETBKMODE>},
        {META_SETMAPMODE, &TWmfConverter::OnModeSetting<EMR_SETMAPMODE>},
        {META_SETROP2, &TWmfConverter::OnModeSetting<EMR_SETROP2>},
        {META_SETPOLYFILLMODE, &TWmfConverter::OnModeSetting<EMR_SETPOLYFILLMODE>},
        {META_SETSTRETCHBLTMODE, &TWmfConverter::OnModeSetting<EMR_SETSTRETCHBLTMODE>},
        {META_SETTEXTALIGN, &TWmfConverter::OnModeSetting<EMR_SETTEXTALIGN>},
        {META_SETWINDOWORG, &TWmfConverter::On<META_SETWINDOWORG>},
        {META_OFFSETWINDOWORG, &TWmfConverter::On<META_OFFSETWINDOWORG>},
        {META_SETVIEWPORTORG, &TWmfConverter::On<META_SETVIEWPORTORG>},
        {META_OFFSETVIEWPORTORG, &TWmfConverter::On<META_SETVIEWPORTORG>},
        {META_SETVIEWPORTEXT, &TWmfConverter::On<META_SETVIEWPORTORG>},
        {META_SCALEVIEWPORTEXT, &TWmfConverter::On<META_SETVIEWPORTORG>},
        {META_SETWINDOWEXT, &TWmfConverter::On<META_SETWINDOWEXT>},
        {META_SCALEWINDOWEXT, &TWmfConverter::On<META_SCALEWINDOWEXT>},
        {META_LINETO, &TWmfConverter::On<META_LINETO>},
        {META_MOVETO, &TWmfConverter::On<META_MOVETO>},
        {META_EXCLUDECLIPRECT, &TWmfConverter::On<META_EXCLUDECLIPRECT>},
        {META_INTERSECTCLIPRECT, &TWmfConverter::On<META_EXCLUDECLIPRECT>},
        {META_OFFSETCLIPRGN, &TWmfConverter::On<META_OFFSETCLIPRGN>},
        {META_ARC, &TWmfConverter::On<META_ARC>},
        {META_PIE, &TWmfConverter::On<META_ARC>},
        {META_CHORD, &TWmfConverter::On<META_ARC>},
        {META_ELLIPSE, &TWmfConverter::On<META_ELLIPSE>},
        {META_RECTANGLE, &TWmfConverter::On<META_ELLIPSE>},
        {META_ROUNDRECT, &TWmfConverter::On<META_ROUNDRECT>},
        {META_PATBLT, &TWmfConverter::On<META_PATBLT>},
        {META_SAVEDC, &TWmfConverter::On<META_SAVEDC>},
        {META_RESTOREDC, &TWmfConverter::On<META_RESTOREDC>},
        {META_SETPIXEL, &TWmfConverter::On<META_SETPIXEL>},
        {META_TEXTOUT, &TWmfConverter::On<META_TEXTOUT>},
        {META_EXTTEXTOUT, &TWmfConverter::On<META_EXTTEXTOUT>},
        {META_POLYGON, &TWmfConverter::On<META_POLYGON>},
        {META_POLYLINE, &TWmfConverter::On<META_POLYGON>},
        {META_POLYPOLYGON, &TWmfConverter::On<META_POLYPOLYGON>},
        {META_SELECTOBJECT, &TWmfConverter::On<META_SELECTOBJECT>},
        {META_FLOODFILL, &TWmfConverter::On<META_FLOODFILL>},
        {META_EXTFLOODFILL, &TWmfConverter::On<META_FLOODFILL>},
        {META_SELECTCLIPREGION, &TWmfConverter::On<META_SELECTCLIPREGION>},
        {META_FILLREGION, &TWmfConverter::On<META_FILLREGION>},
        {META_FRAMEREGION, &TWmfConverter::On<META_FILLREGION>},
        {META_PAINTREGION, &TWmfConverter::On<META_FILLREGION>},
        {META_DELETEOBJECT, &TWmfConverter::On<META_DELETEOBJECT>},
        {META_CREATEPENINDIRECT, &TWmfConverter::On<META_CREATEPENINDIRECT>},
        {META_CREATEBRUSHINDIRECT, &TWmfConverter::On<META_CREATEBRUSHINDIRECT>},
        {META_CREATEFONTINDIRECT, &TWmfConverter::On<META_CREATEFONTINDIRECT>},
        {META_DIBCREATEPATTERNBRUSH, &TWmfConverter::On<META_DIBCREATEPATTERNBRUSH>},
        {META_CREATEPATTERNBRUSH, &TWmfConverter::On<META_CREATEPATTERNBRUSH>},
        {META_CREATEPALETTE, &TWmfConverter::On<META_CREATEPALETTE>},
        {META_CREATEREGION, &TWmfConverter::On<META_CREATEREGION>},
        {META_DIBBITBLT, &TWmfConverter::On<META_DIBBITBLT>},
        {META_DIBSTRETCHBLT, &TWmfConverter::On<META_DIBSTRETCHBLT>},
        {META_STRETCHDIB, &TWmfConverter::On<META_STRETCHDIB>},
        {META_SETDIBTODEV, &TWmfConverter::On<META_SETDIBTODEV>},
        {META_BITBLT, &TWmfConverter::On<META_BITBLT>},
        {META_STRETCHBLT, &TWmfConverter::On<META_STRETCHBLT>},
    };
    const auto it = handlers.find(rec.Function);
    if (it != handlers.end()) (this->*it->second)(rec);
}

} // namespace

TWmfConversion WmfToEmf(const uint8_t* data, size_t size) {
    if (!data || size < 18) Invalid();
    return TWmfConverter(data, size).Run();
}

} // namespace emf
