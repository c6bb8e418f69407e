// SPDX-License-Identifier: GPL-3.0-or-later
// Writing the Windows-metafile form of an EMF. WMF knows no world transform,
// no paths and no Béziers, so coordinates are mapped to the picture's pixels
// here (anisotropic mode, window = the placeable box) and curves are flattened.
// Objects are created when the EMF selects them, with the transform of that moment.
#include "metafile/DcState.h"
#include "metafile/EmfFormat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <optional>

namespace emf {

namespace {

struct TPt {
    double X, Y;
};

enum TKind { kPen, kBrush, kFont, kKinds };

class TWmfWriter {
public:
    explicit TWmfWriter(const std::vector<uint8_t>& emf) : Emf(emf) {}
    std::vector<uint8_t> Run();

private:
    // Record building.
    size_t Begin(uint16_t fn) {
        const size_t at = W.Size();
        W.U32(0);
        W.U16(fn);
        return at;
    }
    void End(size_t at) {
        if ((W.Size() - at) % 2) W.U8(0);
        const uint32_t words = static_cast<uint32_t>((W.Size() - at) / 2);
        W.PatchU32(at, words);
        MaxRecord = std::max(MaxRecord, words);
    }
    void Rec(uint16_t fn, std::initializer_list<int> args) {
        const size_t at = Begin(fn);
        for (int a : args)
            W.S16(Clamp16(a));
        End(at);
    }
    static int16_t Clamp16(double v) {
        return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
    }
    int Slot();
    void FreeSlot(int slot);

    // Coordinates.
    TXform Out() const { return Map.Total().Then(Place); }
    TPt P(double x, double y) const {
        const TXform t = Out();
        return {t.X(x, y), t.Y(x, y)};
    }
    void Points(const std::vector<TPt>& pts) {
        for (const TPt& p : pts) {
            W.S16(Clamp16(p.X));
            W.S16(Clamp16(p.Y));
        }
    }
    void Poly(uint16_t fn, const std::vector<TPt>& pts);
    void PolyPolygon(const std::vector<std::vector<TPt>>& polys);
    static void Bezier(std::vector<TPt>& out, TPt p0, TPt p1, TPt p2, TPt p3);

    // Objects.
    void Select(uint32_t ih);
    void Realize(TKind kind);
    void UseNullPen();
    void CreateFrom(const std::vector<uint8_t>& def, TKind kind);

    using THandler = void (TWmfWriter::*)(const TRecord&);
    struct THandlerTable;
    void Record(const TRecord& r);
    // The handler of the records of type T (and of those that share it).
    template <uint32_t T> void On(const TRecord& r);
    void Text(const TRecord& r, bool wide);
    // The character set of the selected font (the default set for a stock font).
    int SelectedCharset() const;
    void Blit(const TRecord& r);
    void Dib(uint32_t rop, TPt a, TPt b, int xs, int ys, int ws, int hs, const uint8_t* bmi,
             size_t bmiSize, const uint8_t* bits, size_t bitsSize, uint32_t usage);
    void ClipRegion(const TRecord& r);
    void ClipPath(uint32_t mode);
    void SelectRects(std::vector<TRect> rects, uint32_t mode);
    void FlushPath(bool fill, bool stroke);

    const std::vector<uint8_t>& Emf;
    TByteWriter W;
    uint32_t MaxRecord = 0;
    std::vector<bool> Used;
    TMapState Map;
    TXform Place;                            // device pixels of the EMF to WMF logical units
    TObjectTable<std::vector<uint8_t>> Defs; // EMF object records by handle
    uint32_t Selected[kKinds] = {StockObjectFlag | 7, StockObjectFlag | 0, StockObjectFlag | 13};
    int WmfObj[kKinds] = {-1, -1, -1};
    bool Dirty[kKinds] = {true, true, false};
    int NullPen = -1;
    std::vector<int> Retired; // objects to delete once no saved level can refer to them
    struct TSaved {
        TMapState Map;
        uint32_t Selected[kKinds];
        int WmfObj[kKinds];
        bool Dirty[kKinds];
    };
    TDcStack<TSaved> Stack;
    TPt Cur{0, 0}; // current position, logical
    bool InPath = false;
    std::vector<std::vector<TPt>> Path; // output coordinates
    std::vector<bool> PathClosed;
    int FrameW = 0, FrameH = 0;
};

int TWmfWriter::Slot() {
    for (size_t i = 0; i < Used.size(); ++i)
        if (!Used[i]) {
            Used[i] = true;
            return static_cast<int>(i);
        }
    Used.push_back(true);
    return static_cast<int>(Used.size() - 1);
}

void TWmfWriter::FreeSlot(int slot) {
    if (slot < 0) return;
    Rec(META_DELETEOBJECT, {slot});
    Used[slot] = false;
}

void TWmfWriter::Poly(uint16_t fn, const std::vector<TPt>& pts) {
    // The point count is a 16-bit field: long lines go out in pieces.
    const size_t maxPts = 16000;
    for (size_t start = 0; start < pts.size();) {
        const size_t n = std::min(maxPts, pts.size() - start);
        const size_t at = Begin(fn);
        W.U16(static_cast<uint16_t>(n));
        Points(std::vector<TPt>(pts.begin() + start, pts.begin() + start + n));
        End(at);
        if (fn == META_POLYGON || start + n >= pts.size()) break;
        start += n - 1;
    }
}

void TWmfWriter::PolyPolygon(const std::vector<std::vector<TPt>>& polys) {
    size_t total = 0;
    std::vector<const std::vector<TPt>*> use;
    for (const auto& p : polys)
        if (p.size() >= 2 && p.size() < 65536 && total + p.size() < 60000) {
            use.push_back(&p);
            total += p.size();
        }
    if (use.empty()) return;
    const size_t at = Begin(META_POLYPOLYGON);
    W.U16(static_cast<uint16_t>(use.size()));
    for (const auto* p : use)
        W.U16(static_cast<uint16_t>(p->size()));
    for (const auto* p : use)
        Points(*p);
    End(at);
}

void TWmfWriter::Bezier(std::vector<TPt>& out, TPt p0, TPt p1, TPt p2, TPt p3) {
    const int steps = 16;
    for (int i = 1; i <= steps; ++i) {
        const double t = double(i) / steps, u = 1 - t;
        out.push_back(
            {u * u * u * p0.X + 3 * u * u * t * p1.X + 3 * u * t * t * p2.X + t * t * t * p3.X,
             u * u * u * p0.Y + 3 * u * u * t * p1.Y + 3 * u * t * t * p2.Y + t * t * t * p3.Y});
    }
}

void TWmfWriter::CreateFrom(const std::vector<uint8_t>& def, TKind kind) {
    const TXform t = Out();
    const double scale = t.Scale();
    const uint32_t type = U32(def.data());
    const uint8_t* d = def.data();
    const size_t n = def.size();
    const int slot = Slot();
    if (kind == kPen) {
        uint32_t style = PS_SOLID, color = 0;
        double width = 0;
        if (type == EMR_CREATEPEN && n >= 28) {
            style = U32(d + 12);
            width = S32(d + 16);
            color = U32(d + 24);
        } else if (type == EMR_EXTCREATEPEN && n >= 52) {
            style = U32(d + 28);
            width = U32(d + 32);
            color = U32(d + 40);
            if (!(style & 0x00010000)) width = 0; // cosmetic: always one pixel
        } else if (type == 0) {                   // stock pen: style, colour
            style = U32(d + 4);
            color = U32(d + 8);
        }
        const size_t at = Begin(META_CREATEPENINDIRECT);
        W.U16(static_cast<uint16_t>(style & 0xFFFF));
        W.S16(Clamp16(std::abs(width) * scale));
        W.S16(0);
        W.U32(color);
        End(at);
    } else if (kind == kBrush) {
        if (type == EMR_CREATEDIBPATTERNBRUSHPT && n >= 32) {
            const uint32_t usage = U32(d + 12), offBmi = U32(d + 16), cbBmi = U32(d + 20),
                           offBits = U32(d + 24), cbBits = U32(d + 28);
            if (uint64_t(offBmi) + cbBmi <= n && uint64_t(offBits) + cbBits <= n && cbBmi >= 12) {
                const size_t at = Begin(META_DIBCREATEPATTERNBRUSH);
                W.U16(BS_DIBPATTERN);
                W.U16(static_cast<uint16_t>(usage));
                W.Bytes(d + offBmi, cbBmi);
                W.Bytes(d + offBits, cbBits);
                End(at);
                WmfObj[kind] = slot;
                return;
            }
        }
        uint32_t style = BS_SOLID, color = 0x808080, hatch = 0;
        if (type == EMR_CREATEBRUSHINDIRECT && n >= 24) {
            style = U32(d + 12);
            color = U32(d + 16);
            hatch = U32(d + 20);
        } else if (type == 0) {
            style = U32(d + 4);
            color = U32(d + 8);
        }
        if (style != BS_SOLID && style != BS_NULL && style != BS_HATCHED) style = BS_SOLID;
        const size_t at = Begin(META_CREATEBRUSHINDIRECT);
        W.U16(static_cast<uint16_t>(style));
        W.U32(color);
        W.U16(static_cast<uint16_t>(hatch));
        End(at);
    } else {
        int32_t lf[5] = {-16, 0, 0, 0, 400};
        uint8_t flags[8] = {0, 0, 0, 1, 0, 0, 0, 0};
        std::string face = "Arial";
        if (type == EMR_EXTCREATEFONTINDIRECTW && n >= 12 + 92) {
            for (int i = 0; i < 5; ++i)
                lf[i] = S32(d + 12 + 4 * i);
            std::copy(d + 32, d + 40, flags);
            face.clear();
            for (int i = 0; i < 32; ++i) {
                const uint16_t c = U16(d + 40 + 2 * i);
                if (!c) break;
                face += c < 0x80 ? static_cast<char>(c) : '?';
            }
        }
        const double sy = std::hypot(t.C, t.D), sx = std::hypot(t.A, t.B);
        const size_t at = Begin(META_CREATEFONTINDIRECT);
        W.S16(Clamp16(lf[0] * sy));
        W.S16(Clamp16(lf[1] * sx));
        W.S16(Clamp16(lf[2]));
        W.S16(Clamp16(lf[3]));
        W.S16(Clamp16(lf[4]));
        W.Bytes(flags, 8);
        face.resize(std::min<size_t>(face.size(), 31));
        W.Bytes(face.data(), face.size());
        W.U8(0);
        End(at);
    }
    WmfObj[kind] = slot;
}

// Stock objects as definitions: type 0, style, colour.
std::vector<uint8_t> StockDef(uint32_t index, TKind& kind) {
    TByteWriter b;
    b.U32(0);
    uint32_t style = BS_SOLID, color = 0;
    switch (index & 0xFF) {
    case 0:
        kind = kBrush;
        color = 0xFFFFFF;
        break;
    case 1:
        kind = kBrush;
        color = 0xC0C0C0;
        break;
    case 2:
        kind = kBrush;
        color = 0x808080;
        break;
    case 3:
        kind = kBrush;
        color = 0x404040;
        break;
    case 4:
        kind = kBrush;
        color = 0;
        break;
    case 5:
        kind = kBrush;
        style = BS_NULL;
        break;
    case 6:
        kind = kPen;
        color = 0xFFFFFF;
        break;
    case 7:
        kind = kPen;
        color = 0;
        break;
    case 8:
        kind = kPen;
        style = PS_NULL;
        break;
    case 18:
        kind = kBrush;
        color = 0xFFFFFF;
        break;
    case 19:
        kind = kPen;
        color = 0;
        break;
    default:
        kind = kFont;
        break;
    }
    b.U32(style);
    b.U32(color);
    return std::move(b.Data);
}

void TWmfWriter::Select(uint32_t ih) {
    TKind kind;
    if (ih & StockObjectFlag) {
        StockDef(ih, kind);
    } else {
        const std::vector<uint8_t>* def = Defs.Find(ih);
        if (!def) return;
        const uint32_t type = U32(def->data());
        if (type == EMR_CREATEPEN || type == EMR_EXTCREATEPEN)
            kind = kPen;
        else if (type == EMR_EXTCREATEFONTINDIRECTW)
            kind = kFont;
        else if (type == EMR_CREATEBRUSHINDIRECT || type == EMR_CREATEDIBPATTERNBRUSHPT ||
                 type == EMR_CREATEMONOBRUSH)
            kind = kBrush;
        else
            return;
    }
    Selected[kind] = ih;
    Dirty[kind] = true;
}

void TWmfWriter::Realize(TKind kind) {
    if (!Dirty[kind]) return;
    Dirty[kind] = false;
    const uint32_t ih = Selected[kind];
    std::vector<uint8_t> def;
    if (ih & StockObjectFlag) {
        TKind k;
        def = StockDef(ih, k);
    } else {
        const std::vector<uint8_t>* found = Defs.Find(ih);
        if (!found) return;
        def = *found;
    }
    const int old = WmfObj[kind];
    CreateFrom(def, kind);
    Rec(META_SELECTOBJECT, {WmfObj[kind]});
    if (old >= 0) {
        if (Stack.Empty())
            FreeSlot(old);
        else
            Retired.push_back(old);
    }
}

void TWmfWriter::UseNullPen() {
    if (NullPen < 0) {
        NullPen = Slot();
        const size_t at = Begin(META_CREATEPENINDIRECT);
        W.U16(PS_NULL);
        W.U32(0);
        W.U32(0);
        End(at);
    }
    Rec(META_SELECTOBJECT, {NullPen});
    Dirty[kPen] = true; // the real pen comes back before the next outline
    if (WmfObj[kPen] >= 0) {
        if (Stack.Empty())
            FreeSlot(WmfObj[kPen]);
        else
            Retired.push_back(WmfObj[kPen]);
        WmfObj[kPen] = -1;
    }
}

std::vector<uint8_t> TWmfWriter::Run() {
    const TEmfHeader h = ParseEmf(Emf.data(), Emf.size());
    // The WMF form is seldom larger than the EMF one (16-bit coordinates); room
    // reserved up front keeps a picture-sized buffer from growing (and
    // existing twice while it is moved).
    W.Data.reserve(Emf.size() + 4096);
    Map.PxPerMmX = double(h.DeviceX) / h.MillimetersX;
    Map.PxPerMmY = double(h.DeviceY) / h.MillimetersY;
    const TBox box = PictureBox(h);
    const double fx0 = box.X, fy0 = box.Y, fw = box.W, fh = box.H;
    const int64_t frw = std::llabs(int64_t(h.Frame.Right) - h.Frame.Left);
    const int64_t frh = std::llabs(int64_t(h.Frame.Bottom) - h.Frame.Top);
    if (frw == 0 || frh == 0) {
        FrameW = static_cast<int>(fw);
        FrameH = static_cast<int>(fh);
    } else {
        FrameW = static_cast<int>((frw * 96 + 1270) / 2540);
        FrameH = static_cast<int>((frh * 96 + 1270) / 2540);
    }
    // The box is 16-bit: a larger picture keeps 96 units per inch but is clipped to the range.
    FrameW = std::clamp(FrameW, 1, 32767);
    FrameH = std::clamp(FrameH, 1, 32767);
    Place.A = FrameW / fw;
    Place.D = FrameH / fh;
    Place.E = -fx0 * Place.A;
    Place.F = -fy0 * Place.D;

    // Placeable header.
    W.U32(PlaceableKey);
    W.U16(0);
    W.S16(0);
    W.S16(0);
    W.S16(static_cast<int16_t>(FrameW));
    W.S16(static_cast<int16_t>(FrameH));
    W.U16(96);
    W.U32(0);
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum ^= U16(W.Data.data() + i);
    W.U16(sum);
    // Metafile header, sizes patched at the end.
    const size_t head = W.Size();
    W.U16(1);
    W.U16(9);
    W.U16(0x0300);
    W.U32(0);
    W.U16(0);
    W.U32(0);
    W.U16(0);

    Rec(META_SETMAPMODE, {MM_ANISOTROPIC});
    Rec(META_SETWINDOWORG, {0, 0});
    Rec(META_SETWINDOWEXT, {FrameH, FrameW});
    Rec(META_SETBKMODE, {2}); // GDI's default, so a later change is the only one that matters

    ForEachRecord(Emf, [&](const TRecord& r) {
        Record(r);
        return true;
    });
    Rec(META_EOF, {});

    const uint32_t totalWords = static_cast<uint32_t>((W.Size() - head) / 2);
    W.PatchU32(head + 6, totalWords);
    W.PatchU16(head + 10, static_cast<uint16_t>(std::min<size_t>(Used.size(), 0xFFFF)));
    W.PatchU32(head + 12, MaxRecord);
    return std::move(W.Data);
}

// ---------------------------------------------------------------- one handler per record

// EMR_SETTEXTCOLOR too.
template <> void TWmfWriter::On<EMR_SETBKCOLOR>(const TRecord& r) {
    const size_t at = Begin(r.Type == EMR_SETBKCOLOR ? META_SETBKCOLOR : META_SETTEXTCOLOR);
    W.U32(r.U(8));
    End(at);
}

template <> void TWmfWriter::On<EMR_SETBKMODE>(const TRecord& r) {
    Rec(META_SETBKMODE, {r.I(8)});
}

template <> void TWmfWriter::On<EMR_SETPOLYFILLMODE>(const TRecord& r) {
    Rec(META_SETPOLYFILLMODE, {r.I(8)});
}

template <> void TWmfWriter::On<EMR_SETROP2>(const TRecord& r) {
    Rec(META_SETROP2, {r.I(8)});
}

template <> void TWmfWriter::On<EMR_SETSTRETCHBLTMODE>(const TRecord& r) {
    Rec(META_SETSTRETCHBLTMODE, {r.I(8)});
}

template <> void TWmfWriter::On<EMR_SETTEXTALIGN>(const TRecord& r) {
    Rec(META_SETTEXTALIGN, {static_cast<int>(r.U(8) & 0xFFFF)});
}

template <> void TWmfWriter::On<EMR_SAVEDC>(const TRecord&) {
    TSaved s{Map, {}, {}, {}};
    std::copy(Dirty, Dirty + kKinds, s.Dirty);
    std::copy(Selected, Selected + kKinds, s.Selected);
    std::copy(WmfObj, WmfObj + kKinds, s.WmfObj);
    Stack.Save(s);
    Rec(META_SAVEDC, {});
}

template <> void TWmfWriter::On<EMR_RESTOREDC>(const TRecord& r) {
    const std::optional<size_t> target = Stack.Target(r.I(8));
    if (!target) return;
    Rec(META_RESTOREDC, {static_cast<int>(*target) - static_cast<int>(Stack.Depth())});
    const TSaved s = Stack.Pop(*target);
    Map = s.Map;
    for (int k = 0; k < kKinds; ++k) {
        // The DC now holds the objects selected when it was saved.
        if (WmfObj[k] >= 0 && WmfObj[k] != s.WmfObj[k]) Retired.push_back(WmfObj[k]);
        Retired.erase(std::remove(Retired.begin(), Retired.end(), s.WmfObj[k]), Retired.end());
        Selected[k] = s.Selected[k];
        WmfObj[k] = s.WmfObj[k];
        Dirty[k] = s.Dirty[k];
    }
    if (Stack.Empty()) {
        for (int slot : Retired)
            if (slot >= 0 && slot != NullPen &&
                std::find(WmfObj, WmfObj + kKinds, slot) == WmfObj + kKinds)
                FreeSlot(slot);
        Retired.clear();
    }
}

// EMR_EXTCREATEPEN, EMR_CREATEBRUSHINDIRECT, EMR_CREATEDIBPATTERNBRUSHPT, EMR_CREATEMONOBRUSH,
// EMR_EXTCREATEFONTINDIRECTW too.
template <> void TWmfWriter::On<EMR_CREATEPEN>(const TRecord& r) {
    Defs.Put(r.U(8), std::vector<uint8_t>(r.Data, r.Data + r.Size));
}

template <> void TWmfWriter::On<EMR_DELETEOBJECT>(const TRecord& r) {
    Defs.Erase(r.U(8));
}

template <> void TWmfWriter::On<EMR_SELECTOBJECT>(const TRecord& r) {
    Select(r.U(8));
}

template <> void TWmfWriter::On<EMR_MOVETOEX>(const TRecord& r) {
    Cur = {double(r.I(8)), double(r.I(12))};
    if (InPath) {
        Path.push_back({P(Cur.X, Cur.Y)});
        PathClosed.push_back(false);
    } else {
        const TPt p = P(Cur.X, Cur.Y);
        Rec(META_MOVETO, {static_cast<int>(std::lround(p.Y)), static_cast<int>(std::lround(p.X))});
    }
}

template <> void TWmfWriter::On<EMR_LINETO>(const TRecord& r) {
    const TPt to{double(r.I(8)), double(r.I(12))};
    if (InPath) {
        if (Path.empty()) {
            Path.push_back({P(Cur.X, Cur.Y)});
            PathClosed.push_back(false);
        }
        Path.back().push_back(P(to.X, to.Y));
    } else {
        Realize(kPen);
        const TPt p = P(to.X, to.Y);
        Rec(META_LINETO, {static_cast<int>(std::lround(p.Y)), static_cast<int>(std::lround(p.X))});
    }
    Cur = to;
}

template <> void TWmfWriter::On<EMR_BEGINPATH>(const TRecord&) {
    InPath = true;
    Path.clear();
    PathClosed.clear();
}

template <> void TWmfWriter::On<EMR_ENDPATH>(const TRecord&) {
    InPath = false;
}

template <> void TWmfWriter::On<EMR_ABORTPATH>(const TRecord&) {
    InPath = false;
    Path.clear();
    PathClosed.clear();
}

template <> void TWmfWriter::On<EMR_CLOSEFIGURE>(const TRecord&) {
    if (InPath && !PathClosed.empty()) {
        PathClosed.back() = true;
        if (!Path.back().empty()) Cur = Path.back().front();
    }
}

template <> void TWmfWriter::On<EMR_FILLPATH>(const TRecord&) {
    FlushPath(true, false);
}

template <> void TWmfWriter::On<EMR_STROKEPATH>(const TRecord&) {
    FlushPath(false, true);
}

template <> void TWmfWriter::On<EMR_STROKEANDFILLPATH>(const TRecord&) {
    FlushPath(true, true);
}

// EMR_EXCLUDECLIPRECT too.
template <> void TWmfWriter::On<EMR_INTERSECTCLIPRECT>(const TRecord& r) {
    const TPt a = P(r.I(8), r.I(12)), b = P(r.I(16), r.I(20));
    Rec(r.Type == EMR_INTERSECTCLIPRECT ? META_INTERSECTCLIPRECT : META_EXCLUDECLIPRECT,
        {static_cast<int>(std::lround(std::max(a.Y, b.Y))),
         static_cast<int>(std::lround(std::max(a.X, b.X))),
         static_cast<int>(std::lround(std::min(a.Y, b.Y))),
         static_cast<int>(std::lround(std::min(a.X, b.X)))});
}

template <> void TWmfWriter::On<EMR_EXTSELECTCLIPRGN>(const TRecord& r) {
    ClipRegion(r);
}

template <> void TWmfWriter::On<EMR_SELECTCLIPPATH>(const TRecord& r) {
    ClipPath(r.U(8));
}

template <> void TWmfWriter::On<EMR_EXTFLOODFILL>(const TRecord& r) {
    const TPt p = P(r.I(8), r.I(12));
    const size_t at = Begin(META_EXTFLOODFILL);
    W.U16(static_cast<uint16_t>(r.U(20) == 1 ? 1 : 0));
    W.U32(r.U(16) & 0xFFFFFF);
    W.S16(Clamp16(p.Y));
    W.S16(Clamp16(p.X));
    End(at);
}

template <> void TWmfWriter::On<EMR_SETPIXELV>(const TRecord& r) {
    const TPt p = P(r.I(8), r.I(12));
    const size_t at = Begin(META_SETPIXEL);
    W.U32(r.U(16));
    W.S16(Clamp16(p.Y));
    W.S16(Clamp16(p.X));
    End(at);
}

// EMR_EXTTEXTOUTW too.
template <> void TWmfWriter::On<EMR_EXTTEXTOUTA>(const TRecord& r) {
    Text(r, r.Type == EMR_EXTTEXTOUTW);
}

// EMR_STRETCHBLT, EMR_STRETCHDIBITS, EMR_SETDIBITSTODEVICE, EMR_ALPHABLEND, EMR_TRANSPARENTBLT too.
template <> void TWmfWriter::On<EMR_BITBLT>(const TRecord& r) {
    Blit(r);
}

// EMR_POLYLINE, EMR_POLYBEZIER, EMR_POLYBEZIERTO, EMR_POLYLINETO, EMR_POLYGON16, EMR_POLYLINE16,
// EMR_POLYBEZIER16, EMR_POLYBEZIERTO16, EMR_POLYLINETO16 too.
template <> void TWmfWriter::On<EMR_POLYGON>(const TRecord& r) {
    const bool small = r.SmallPoints();
    if (!r.Has(24, 4)) return;
    const uint32_t count = r.U(24);
    std::vector<TPt> lp;
    if (count == 0 || count > 0x1000000 || !r.ReadPoints(28, count, lp)) return;
    const uint32_t base = small ? r.Type - (EMR_POLYBEZIER16 - EMR_POLYBEZIER) : r.Type;
    std::vector<TPt> pts;
    if (base == EMR_POLYBEZIER || base == EMR_POLYBEZIERTO) {
        TPt start = base == EMR_POLYBEZIERTO ? Cur : lp[0];
        size_t i = base == EMR_POLYBEZIERTO ? 0 : 1;
        pts.push_back(P(start.X, start.Y));
        for (; i + 2 < lp.size(); i += 3) {
            Bezier(pts, pts.back(), P(lp[i].X, lp[i].Y), P(lp[i + 1].X, lp[i + 1].Y),
                   P(lp[i + 2].X, lp[i + 2].Y));
            Cur = lp[i + 2];
        }
    } else {
        if (base == EMR_POLYLINETO) pts.push_back(P(Cur.X, Cur.Y));
        for (const TPt& q : lp)
            pts.push_back(P(q.X, q.Y));
        if (base == EMR_POLYLINETO) Cur = lp.back();
    }
    const bool joins = base == EMR_POLYBEZIERTO || base == EMR_POLYLINETO;
    if (InPath) {
        if (joins && !Path.empty() && !PathClosed.back()) {
            Path.back().insert(Path.back().end(), pts.begin() + 1, pts.end());
        } else {
            Path.push_back(pts);
            PathClosed.push_back(base == EMR_POLYGON);
        }
        return;
    }
    Realize(kPen);
    if (base == EMR_POLYGON) {
        Realize(kBrush);
        Poly(META_POLYGON, pts);
    } else {
        Poly(META_POLYLINE, pts);
    }
}

// EMR_POLYPOLYGON, EMR_POLYPOLYLINE16, EMR_POLYPOLYGON16 too.
template <> void TWmfWriter::On<EMR_POLYPOLYLINE>(const TRecord& r) {
    if (!r.Has(24, 8)) return;
    const uint32_t polys = r.U(24), total = r.U(28);
    if (polys == 0 || polys > 0x100000 || total > 0x1000000 || !r.Has(32, uint64_t(polys) * 4))
        return;
    std::vector<TPt> lp;
    if (!r.ReadPoints(32 + size_t(polys) * 4, total, lp)) return;
    std::vector<std::vector<TPt>> out;
    size_t k = 0;
    for (uint32_t i = 0; i < polys; ++i) {
        const uint32_t c = r.U(32 + 4 * i);
        if (c > total - k) return;
        std::vector<TPt> poly;
        for (uint32_t j = 0; j < c; ++j, ++k)
            poly.push_back(P(lp[k].X, lp[k].Y));
        out.push_back(std::move(poly));
    }
    const bool polygon = r.Type == EMR_POLYPOLYGON || r.Type == EMR_POLYPOLYGON16;
    if (InPath) {
        for (auto& p : out) {
            Path.push_back(p);
            PathClosed.push_back(polygon);
        }
        return;
    }
    Realize(kPen);
    if (polygon) {
        Realize(kBrush);
        PolyPolygon(out);
    } else {
        for (const auto& p : out)
            Poly(META_POLYLINE, p);
    }
}

// EMR_ELLIPSE, EMR_ROUNDRECT, EMR_ARC, EMR_CHORD, EMR_PIE too.
template <> void TWmfWriter::On<EMR_RECTANGLE>(const TRecord& r) {
    if (!r.Has(8, 16)) return;
    const double l = r.I(8), t = r.I(12), rr = r.I(16), b = r.I(20);
    const TXform x = Out();
    std::vector<TPt> outline; // used when the transform rotates or inside a path
    const double cx = (l + rr) / 2, cy = (t + b) / 2, rx = (rr - l) / 2, ry = (b - t) / 2;
    auto angleOf = [&](double px, double py) { return std::atan2(py - cy, px - cx); };
    if (x.AxisAligned() && !InPath) {
        const TPt a = P(l, t), c = P(rr, b);
        const int L = Clamp16(std::min(a.X, c.X)), T = Clamp16(std::min(a.Y, c.Y));
        const int R = Clamp16(std::max(a.X, c.X)), B = Clamp16(std::max(a.Y, c.Y));
        Realize(kPen);
        if (r.Type != EMR_ARC) Realize(kBrush);
        switch (r.Type) {
        case EMR_RECTANGLE:
            Rec(META_RECTANGLE, {B, R, T, L});
            break;
        case EMR_ELLIPSE:
            Rec(META_ELLIPSE, {B, R, T, L});
            break;
        case EMR_ROUNDRECT:
            if (r.Has(24, 8)) {
                const int cw = Clamp16(std::abs(r.I(24) * x.A)),
                          ch = Clamp16(std::abs(r.I(28) * x.D));
                Rec(META_ROUNDRECT, {ch, cw, B, R, T, L});
            }
            break;
        default:
            if (r.Has(24, 16)) {
                TPt s = P(r.I(24), r.I(28)), e = P(r.I(32), r.I(36));
                // A mirrored mapping turns the arc's direction around.
                if ((x.A < 0) != (x.D < 0)) std::swap(s, e);
                const uint16_t fn = r.Type == EMR_ARC   ? META_ARC
                                    : r.Type == EMR_PIE ? META_PIE
                                                        : META_CHORD;
                Rec(fn, {Clamp16(e.Y), Clamp16(e.X), Clamp16(s.Y), Clamp16(s.X), B, R, T, L});
            }
            break;
        }
        return;
    }
    // General case: an outline in logical space, mapped point by point.
    const int steps = 72;
    if (r.Type == EMR_RECTANGLE || r.Type == EMR_ROUNDRECT) {
        outline = {P(l, t), P(rr, t), P(rr, b), P(l, b)};
    } else if (r.Type == EMR_ELLIPSE) {
        for (int i = 0; i < steps; ++i) {
            const double a = 2 * std::numbers::pi * i / steps;
            outline.push_back(P(cx + rx * std::cos(a), cy + ry * std::sin(a)));
        }
    } else {
        if (!r.Has(24, 16)) return;
        double a0 = angleOf(r.I(24), r.I(28)), a1 = angleOf(r.I(32), r.I(36));
        // Counter-clockwise on screen is decreasing angle in y-down coordinates.
        while (a1 >= a0)
            a1 -= 2 * std::numbers::pi;
        for (int i = 0; i <= steps; ++i) {
            const double a = a0 + (a1 - a0) * i / steps;
            outline.push_back(P(cx + rx * std::cos(a), cy + ry * std::sin(a)));
        }
        if (r.Type == EMR_PIE) outline.push_back(P(cx, cy));
    }
    const bool closed = r.Type != EMR_ARC;
    if (InPath) {
        Path.push_back(outline);
        PathClosed.push_back(closed);
        return;
    }
    Realize(kPen);
    if (closed) {
        Realize(kBrush);
        Poly(META_POLYGON, outline);
    } else {
        Poly(META_POLYLINE, outline);
    }
}

// Record type -> handler; types without one are records WMF has no use for.
struct TWmfWriter::THandlerTable {
    std::array<THandler, EMR_SETTEXTJUSTIFICATION + 1> Handlers{};
    void Set(uint32_t type, THandler h) { Handlers[type] = h; }
    THandlerTable() {
        Set(EMR_SETBKCOLOR, &TWmfWriter::On<EMR_SETBKCOLOR>);
        Set(EMR_SETTEXTCOLOR, &TWmfWriter::On<EMR_SETBKCOLOR>);
        Set(EMR_SETBKMODE, &TWmfWriter::On<EMR_SETBKMODE>);
        Set(EMR_SETPOLYFILLMODE, &TWmfWriter::On<EMR_SETPOLYFILLMODE>);
        Set(EMR_SETROP2, &TWmfWriter::On<EMR_SETROP2>);
        Set(EMR_SETSTRETCHBLTMODE, &TWmfWriter::On<EMR_SETSTRETCHBLTMODE>);
        Set(EMR_SETTEXTALIGN, &TWmfWriter::On<EMR_SETTEXTALIGN>);
        Set(EMR_SAVEDC, &TWmfWriter::On<EMR_SAVEDC>);
        Set(EMR_RESTOREDC, &TWmfWriter::On<EMR_RESTOREDC>);
        Set(EMR_CREATEPEN, &TWmfWriter::On<EMR_CREATEPEN>);
        Set(EMR_EXTCREATEPEN, &TWmfWriter::On<EMR_CREATEPEN>);
        Set(EMR_CREATEBRUSHINDIRECT, &TWmfWriter::On<EMR_CREATEPEN>);
        Set(EMR_CREATEDIBPATTERNBRUSHPT, &TWmfWriter::On<EMR_CREATEPEN>);
        Set(EMR_CREATEMONOBRUSH, &TWmfWriter::On<EMR_CREATEPEN>);
        Set(EMR_EXTCREATEFONTINDIRECTW, &TWmfWriter::On<EMR_CREATEPEN>);
        Set(EMR_DELETEOBJECT, &TWmfWriter::On<EMR_DELETEOBJECT>);
        Set(EMR_SELECTOBJECT, &TWmfWriter::On<EMR_SELECTOBJECT>);
        Set(EMR_MOVETOEX, &TWmfWriter::On<EMR_MOVETOEX>);
        Set(EMR_LINETO, &TWmfWriter::On<EMR_LINETO>);
        Set(EMR_BEGINPATH, &TWmfWriter::On<EMR_BEGINPATH>);
        Set(EMR_ENDPATH, &TWmfWriter::On<EMR_ENDPATH>);
        Set(EMR_ABORTPATH, &TWmfWriter::On<EMR_ABORTPATH>);
        Set(EMR_CLOSEFIGURE, &TWmfWriter::On<EMR_CLOSEFIGURE>);
        Set(EMR_FILLPATH, &TWmfWriter::On<EMR_FILLPATH>);
        Set(EMR_STROKEPATH, &TWmfWriter::On<EMR_STROKEPATH>);
        Set(EMR_STROKEANDFILLPATH, &TWmfWriter::On<EMR_STROKEANDFILLPATH>);
        Set(EMR_INTERSECTCLIPRECT, &TWmfWriter::On<EMR_INTERSECTCLIPRECT>);
        Set(EMR_EXCLUDECLIPRECT, &TWmfWriter::On<EMR_INTERSECTCLIPRECT>);
        Set(EMR_EXTSELECTCLIPRGN, &TWmfWriter::On<EMR_EXTSELECTCLIPRGN>);
        Set(EMR_SELECTCLIPPATH, &TWmfWriter::On<EMR_SELECTCLIPPATH>);
        Set(EMR_EXTFLOODFILL, &TWmfWriter::On<EMR_EXTFLOODFILL>);
        Set(EMR_SETPIXELV, &TWmfWriter::On<EMR_SETPIXELV>);
        Set(EMR_EXTTEXTOUTA, &TWmfWriter::On<EMR_EXTTEXTOUTA>);
        Set(EMR_EXTTEXTOUTW, &TWmfWriter::On<EMR_EXTTEXTOUTA>);
        Set(EMR_BITBLT, &TWmfWriter::On<EMR_BITBLT>);
        Set(EMR_STRETCHBLT, &TWmfWriter::On<EMR_BITBLT>);
        Set(EMR_STRETCHDIBITS, &TWmfWriter::On<EMR_BITBLT>);
        Set(EMR_SETDIBITSTODEVICE, &TWmfWriter::On<EMR_BITBLT>);
        Set(EMR_ALPHABLEND, &TWmfWriter::On<EMR_BITBLT>);
        Set(EMR_TRANSPARENTBLT, &TWmfWriter::On<EMR_BITBLT>);
        Set(EMR_POLYGON, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYLINE, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYBEZIER, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYBEZIERTO, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYLINETO, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYGON16, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYLINE16, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYBEZIER16, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYBEZIERTO16, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYLINETO16, &TWmfWriter::On<EMR_POLYGON>);
        Set(EMR_POLYPOLYLINE, &TWmfWriter::On<EMR_POLYPOLYLINE>);
        Set(EMR_POLYPOLYGON, &TWmfWriter::On<EMR_POLYPOLYLINE>);
        Set(EMR_POLYPOLYLINE16, &TWmfWriter::On<EMR_POLYPOLYLINE>);
        Set(EMR_POLYPOLYGON16, &TWmfWriter::On<EMR_POLYPOLYLINE>);
        Set(EMR_RECTANGLE, &TWmfWriter::On<EMR_RECTANGLE>);
        Set(EMR_ELLIPSE, &TWmfWriter::On<EMR_RECTANGLE>);
        Set(EMR_ROUNDRECT, &TWmfWriter::On<EMR_RECTANGLE>);
        Set(EMR_ARC, &TWmfWriter::On<EMR_RECTANGLE>);
        Set(EMR_CHORD, &TWmfWriter::On<EMR_RECTANGLE>);
        Set(EMR_PIE, &TWmfWriter::On<EMR_RECTANGLE>);
    }
};

void TWmfWriter::Record(const TRecord& r) {
    if (Map.Apply(r)) return;
    static const THandlerTable table;
    if (r.Type < table.Handlers.size() && table.Handlers[r.Type])
        (this->*table.Handlers[r.Type])(r);
}

void TWmfWriter::FlushPath(bool fill, bool stroke) {
    std::vector<std::vector<TPt>> polys;
    for (size_t i = 0; i < Path.size(); ++i)
        if (Path[i].size() >= 2) polys.push_back(Path[i]);
    if (fill) {
        Realize(kBrush);
        if (stroke)
            Realize(kPen);
        else
            UseNullPen();
        PolyPolygon(polys);
    } else if (stroke) {
        Realize(kPen);
        for (size_t i = 0; i < Path.size(); ++i) {
            if (Path[i].size() < 2) continue;
            std::vector<TPt> line = Path[i];
            if (PathClosed[i]) line.push_back(line.front());
            Poly(META_POLYLINE, line);
        }
    }
    Path.clear();
    PathClosed.clear();
}

int TWmfWriter::SelectedCharset() const {
    const uint32_t ih = Selected[kFont];
    if (ih & StockObjectFlag) return 1;
    const std::vector<uint8_t>* def = Defs.Find(ih);
    // The record's LOGFONTW starts at 12; its character set is byte 23 of it.
    if (!def || def->size() < 12 + 92 || U32(def->data()) != EMR_EXTCREATEFONTINDIRECTW) return 1;
    return (*def)[12 + 23];
}

void TWmfWriter::Text(const TRecord& r, bool wide) {
    // EMRTEXT at 36: reference point, chars, string offset, options, rectangle, dx offset.
    if (!r.Has(36, 40)) return;
    const double rx = r.I(36), ry = r.I(40);
    const uint32_t chars = r.U(44), offString = r.U(48), options = r.U(52), offDx = r.U(72);
    if (chars == 0 || chars > 0x7FFF) return;
    if (!r.Has(offString, uint64_t(chars) * (wide ? 2 : 1))) return;
    std::string bytes;
    if (!wide) {
        bytes.assign(reinterpret_cast<const char*>(r.Data + offString), chars);
    } else {
        std::u16string units(chars, u'\0');
        for (uint32_t i = 0; i < chars; ++i)
            units[i] = U16(r.Data + offString + 2 * i);
        // Symbol-font characters live at U+F0xx; the 8-bit text takes their low byte.
        if (std::all_of(units.begin(), units.end(),
                        [](char16_t c) { return c < 0x100 || (c >= 0xF000 && c <= 0xF0FF); })) {
            for (char16_t c : units)
                bytes += static_cast<char>(c & 0xFF);
        } else {
            // The rest in the font's character set, as readers decode it.
            bool complete = false;
            bytes = EncodeText(units, SelectedCharset(), complete);
        }
    }
    const bool haveDx = offDx != 0 && r.Has(offDx, uint64_t(chars) * 4);
    Realize(kFont);
    Realize(kBrush);
    const TXform x = Out();
    const TPt p = P(rx, ry);
    const bool rect = (options & 0x0006) != 0;
    const size_t at = Begin(META_EXTTEXTOUT);
    W.S16(Clamp16(p.Y));
    W.S16(Clamp16(p.X));
    W.U16(static_cast<uint16_t>(chars));
    W.U16(static_cast<uint16_t>(options & 0xFFFF));
    if (rect) {
        const TPt a = P(r.I(56), r.I(60)), b = P(r.I(64), r.I(68));
        W.S16(Clamp16(std::min(a.X, b.X)));
        W.S16(Clamp16(std::min(a.Y, b.Y)));
        W.S16(Clamp16(std::max(a.X, b.X)));
        W.S16(Clamp16(std::max(a.Y, b.Y)));
    }
    W.Bytes(bytes.data(), bytes.size());
    if (bytes.size() % 2) W.U8(0);
    if (haveDx) {
        const double sx = std::hypot(x.A, x.B);
        double acc = 0, done = 0;
        for (uint32_t i = 0; i < chars; ++i) {
            // Rounded as a running sum, so the line keeps its length.
            acc += r.I(offDx + 4 * i) * sx;
            const double step = std::round(acc) - done;
            done += step;
            W.S16(Clamp16(step));
        }
    }
    End(at);
}

void TWmfWriter::Dib(uint32_t rop, TPt a, TPt b, int xs, int ys, int ws, int hs, const uint8_t* bmi,
                     size_t bmiSize, const uint8_t* bits, size_t bitsSize, uint32_t usage) {
    const size_t at = Begin(META_STRETCHDIB);
    W.U32(rop);
    W.U16(static_cast<uint16_t>(usage));
    W.S16(Clamp16(hs));
    W.S16(Clamp16(ws));
    W.S16(Clamp16(ys));
    W.S16(Clamp16(xs));
    W.S16(Clamp16(b.Y - a.Y));
    W.S16(Clamp16(b.X - a.X));
    W.S16(Clamp16(a.Y));
    W.S16(Clamp16(a.X));
    W.Bytes(bmi, bmiSize);
    W.Bytes(bits, bitsSize);
    End(at);
}

void TWmfWriter::Blit(const TRecord& r) {
    TBlitRecord k;
    if (!ReadBlitRecord(r, k)) return;
    const int32_t xd = k.XDest, yd = k.YDest, cxd = k.CxDest, cyd = k.CyDest;
    const int32_t xs = k.XSrc, ys = k.YSrc, cxs = k.CxSrc, cys = k.CySrc;
    const uint32_t rop = k.Rop, usage = k.Usage, offBmi = k.OffBmi, cbBmi = k.CbBmi,
                   offBits = k.OffBits, cbBits = k.CbBits;
    const bool alpha = r.Type == EMR_ALPHABLEND;
    const TPt a = P(xd, yd), b = P(double(xd) + cxd, double(yd) + cyd);
    if (cbBmi == 0) {
        // No bitmap: a pattern operation with the brush.
        Realize(kBrush);
        const size_t at = Begin(META_PATBLT);
        W.U32(rop);
        W.S16(Clamp16(b.Y - a.Y));
        W.S16(Clamp16(b.X - a.X));
        W.S16(Clamp16(a.Y));
        W.S16(Clamp16(a.X));
        End(at);
        return;
    }
    if (!r.Has(offBmi, cbBmi) || !r.Has(offBits, cbBits) || cbBmi < 12) return;
    const uint8_t* bmi = r.Data + offBmi;
    const uint8_t* bits = r.Data + offBits;
    if (alpha && cbBmi >= 40 && U32(bmi) >= 40 && U16(bmi + 14) == 32 && U32(bmi + 16) == 0) {
        // WMF has no alpha: a mask (SRCAND) then the premultiplied colours (SRCPAINT)
        // give the same picture wherever the alpha is all or nothing.
        const int w = S32(bmi + 4), h = std::abs(S32(bmi + 8));
        const uint64_t need = uint64_t(std::max(w, 0)) * h * 4;
        if (w <= 0 || h <= 0 || need > cbBits) return;
        std::vector<uint8_t> mask(bits, bits + need), color(bits, bits + need);
        for (size_t i = 0; i < need; i += 4) {
            const uint8_t al = bits[i + 3];
            const uint8_t m = al >= 128 ? 0 : 255;
            mask[i] = mask[i + 1] = mask[i + 2] = m;
            mask[i + 3] = 0;
            if (al < 128) color[i] = color[i + 1] = color[i + 2] = 0;
            color[i + 3] = 0;
        }
        Dib(0x008800C6, a, b, xs, ys, cxs, cys, bmi, cbBmi, mask.data(), mask.size(), usage);
        Dib(0x00EE0086, a, b, xs, ys, cxs, cys, bmi, cbBmi, color.data(), color.size(), usage);
        return;
    }
    Dib(rop, a, b, xs, ys, cxs, cys, bmi, cbBmi, bits, cbBits, usage);
}

void TWmfWriter::ClipRegion(const TRecord& r) {
    if (!r.Has(8, 8)) return;
    const uint32_t cb = r.U(8), mode = r.U(12);
    std::vector<TRect> rects;
    if (cb >= 32 && r.Has(16, cb)) {
        const uint32_t count = r.U(24);
        if (count <= (cb - 32) / 16)
            for (uint32_t i = 0; i < count; ++i) {
                const size_t o = 48 + 16 * size_t(i);
                // Device pixels of the EMF, mapped by the placement alone.
                rects.push_back(Rect(Clamp16(Place.X(r.I(o), 0)), Clamp16(Place.Y(0, r.I(o + 4))),
                                     Clamp16(Place.X(r.I(o + 8), 0)),
                                     Clamp16(Place.Y(0, r.I(o + 12)))));
            }
    }
    SelectRects(std::move(rects), mode);
}

// A clip path made of axis-aligned rectangles (as a region read from a WMF
// becomes) is written as that region; any other path clips to its extent.
void TWmfWriter::ClipPath(uint32_t mode) {
    std::vector<TRect> rects;
    bool boxes = true;
    double l = 1e9, t = 1e9, rr = -1e9, b = -1e9;
    for (const std::vector<TPt>& fig : Path) {
        for (const TPt& p : fig) {
            l = std::min(l, p.X);
            t = std::min(t, p.Y);
            rr = std::max(rr, p.X);
            b = std::max(b, p.Y);
        }
        size_t n = fig.size();
        if (n == 5 && fig[4].X == fig[0].X && fig[4].Y == fig[0].Y) n = 4;
        const bool box = n == 4 && ((fig[0].Y == fig[1].Y && fig[1].X == fig[2].X &&
                                     fig[2].Y == fig[3].Y && fig[3].X == fig[0].X) ||
                                    (fig[0].X == fig[1].X && fig[1].Y == fig[2].Y &&
                                     fig[2].X == fig[3].X && fig[3].Y == fig[0].Y));
        if (!box) {
            boxes = false;
            continue;
        }
        rects.push_back(
            Rect(Clamp16(std::min(fig[0].X, fig[2].X)), Clamp16(std::min(fig[0].Y, fig[2].Y)),
                 Clamp16(std::max(fig[0].X, fig[2].X)), Clamp16(std::max(fig[0].Y, fig[2].Y))));
    }
    Path.clear();
    PathClosed.clear();
    InPath = false;
    if (!boxes) {
        rects.clear();
        if (l <= rr && t <= b)
            rects.push_back(Rect(Clamp16(l), Clamp16(t), Clamp16(rr), Clamp16(b)));
        if (mode == RGN_DIFF || mode == RGN_XOR || mode == RGN_OR) return; // extent would be wrong
    }
    if (rects.empty() && mode != RGN_COPY) return;
    if (rects.empty()) rects.push_back(Rect(0, 0, 0, 0)); // an empty path clips everything
    SelectRects(std::move(rects), mode);
}

void TWmfWriter::SelectRects(std::vector<TRect> rects, uint32_t mode) {
    if (mode == RGN_AND && rects.size() == 1) {
        const TRect& q = rects[0];
        Rec(META_INTERSECTCLIPRECT, {q.Bottom, q.Right, q.Top, q.Left});
        return;
    }
    if (mode == RGN_DIFF && rects.size() == 1) {
        const TRect& q = rects[0];
        Rec(META_EXCLUDECLIPRECT, {q.Bottom, q.Right, q.Top, q.Left});
        return;
    }
    if (mode != RGN_COPY) return; // unions and exclusive-ors have no WMF record
    if (rects.empty()) rects.push_back(Rect(-32000, -32000, 32000, 32000)); // no clipping
    // A region object: one scan per rectangle.
    const int slot = Slot();
    const size_t at = Begin(META_CREATEREGION);
    TRect box = rects[0];
    for (const TRect& q : rects) {
        box.Left = std::min(box.Left, q.Left);
        box.Top = std::min(box.Top, q.Top);
        box.Right = std::max(box.Right, q.Right);
        box.Bottom = std::max(box.Bottom, q.Bottom);
    }
    W.U16(0);
    W.U16(6);
    W.U32(0);
    W.U16(static_cast<uint16_t>(22 + rects.size() * 12));
    W.U16(static_cast<uint16_t>(rects.size()));
    W.U16(4);
    W.S16(static_cast<int16_t>(box.Left));
    W.S16(static_cast<int16_t>(box.Top));
    W.S16(static_cast<int16_t>(box.Right));
    W.S16(static_cast<int16_t>(box.Bottom));
    for (const TRect& q : rects) {
        W.U16(2);
        W.S16(static_cast<int16_t>(q.Top));
        W.S16(static_cast<int16_t>(q.Bottom));
        W.S16(static_cast<int16_t>(q.Left));
        W.S16(static_cast<int16_t>(q.Right));
        W.U16(2);
    }
    End(at);
    Rec(META_SELECTCLIPREGION, {slot});
    FreeSlot(slot);
}

} // namespace

std::vector<uint8_t> EmfToWmf(const std::vector<uint8_t>& emf) {
    return TWmfWriter(emf).Run();
}

} // namespace emf
