// SPDX-License-Identifier: GPL-3.0-or-later
// The recording canvas: drawing becomes EMF records against the reference device.
#include "metafile/DcState.h"
#include "metafile/EmfFormat.h"
#include "metafile/EmfPlayer.h"
#include "metafile/Metafile.h"
#include "toolkit/Bitmap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <optional>

using namespace emf;

class TMetafileCanvas::TRecorder {
public:
    TEmfWriter E;
    TRect Bounds{0, 0, -1, -1};
    bool Drawn = false;
    int StretchMode = 0;

    void AddBounds(const TRect& r) {
        TRect n = r;
        if (n.Left > n.Right) std::swap(n.Left, n.Right);
        if (n.Top > n.Bottom) std::swap(n.Top, n.Bottom);
        if (n.IsEmpty()) return;
        const TRect incl = Rect(n.Left, n.Top, n.Right - 1, n.Bottom - 1);
        if (!Drawn) {
            Bounds = incl;
            Drawn = true;
        } else {
            Bounds.Left = std::min(Bounds.Left, incl.Left);
            Bounds.Top = std::min(Bounds.Top, incl.Top);
            Bounds.Right = std::max(Bounds.Right, incl.Right);
            Bounds.Bottom = std::max(Bounds.Bottom, incl.Bottom);
        }
    }

    void SetStretchMode(int mode) {
        if (mode == StretchMode) return;
        E.Rec(EMR_SETSTRETCHBLTMODE, static_cast<uint32_t>(mode));
        StretchMode = mode;
    }

    // Room for a record of extra bytes and the few that close a recording,
    // so that a picture-sized buffer does not grow (and briefly exist twice)
    // for the final EOF; small records still grow the buffer geometrically.
    void MakeRoom(size_t extra) {
        std::vector<uint8_t>& d = E.W.Data;
        const size_t need = d.size() + extra + 4096;
        if (need > d.capacity()) d.reserve(std::max(need, d.capacity() + d.capacity() / 2));
    }

    // The inclusive bounds of dst, then its corner: how both bitmap records begin.
    void BoundsAndOrigin(const TRect& dst) {
        E.W.S32(std::min(dst.Left, dst.Right));
        E.W.S32(std::min(dst.Top, dst.Bottom));
        E.W.S32(std::max(dst.Left, dst.Right) - 1);
        E.W.S32(std::max(dst.Top, dst.Bottom) - 1);
        E.W.S32(dst.Left);
        E.W.S32(dst.Top);
    }

    // One EMR_STRETCHDIBITS of a whole bitmap into dst. The pixel rows are
    // written straight into the record, whose room is reserved first: a large
    // picture then exists once in the source and once in the recording.
    void StretchDib(const TRect& dst, const TBitmap& bitmap, uint32_t rop);

    // EMR_ALPHABLEND of a premultiplied 32-bit DIB (bottom-up rows) of w x h
    // into dst; fillRow(y, out) writes row y's w pixels straight into the record.
    template <class FillRow> void AlphaBlend(const TRect& dst, int w, int h, FillRow fillRow);
};

namespace {

// Appends what is written to a byte vector (the recording being built).
class TAppendStream : public TStream {
public:
    explicit TAppendStream(std::vector<uint8_t>& data) : FData(data) {}
    size_t Read(void*, size_t) override { return 0; }
    size_t Write(const void* buffer, size_t count) override {
        const uint8_t* b = static_cast<const uint8_t*>(buffer);
        FData.insert(FData.end(), b, b + count);
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return static_cast<int64_t>(FData.size()); }
    bool Seekable() const override { return false; }

private:
    std::vector<uint8_t>& FData;
};

// A 32-bit DIB header for w x h, rows bottom-up.
std::vector<uint8_t> Header32(int w, int h) {
    TByteWriter b;
    b.U32(40);
    b.S32(w);
    b.S32(h);
    b.U16(1);
    b.U16(32);
    b.U32(0);
    b.U32(static_cast<uint32_t>(w) * 4 * h);
    for (int i = 0; i < 4; ++i)
        b.U32(0);
    return std::move(b.Data);
}

bool MaskSet(const TBitmap& mask, const uint8_t* row, const uint8_t* bgrx, int x) {
    if (mask.BitsPerPixel() == 1) return ((row[x >> 3] >> (7 - (x & 7))) & 1) != 0;
    return bgrx[4 * x] + bgrx[4 * x + 1] + bgrx[4 * x + 2] > 3 * 127;
}

} // namespace

void TMetafileCanvas::TRecorder::StretchDib(const TRect& dst, const TBitmap& bitmap, uint32_t rop) {
    const std::vector<uint8_t> bmi = DibInfoOf(bitmap); // also refuses a DIB over 4 GiB
    const uint64_t bitsSize = DibImageSize(bitmap);
    const size_t fixed = 80 + ((bmi.size() + 3) & ~size_t(3));
    MakeRoom(fixed + static_cast<size_t>(bitsSize));
    const size_t at = E.Begin(EMR_STRETCHDIBITS);
    BoundsAndOrigin(dst);
    E.W.S32(0);
    E.W.S32(0);
    E.W.S32(bitmap.Width());
    E.W.S32(bitmap.Height());
    E.W.U32(80);
    E.W.U32(static_cast<uint32_t>(bmi.size()));
    E.W.U32(static_cast<uint32_t>(fixed));
    E.W.U32(static_cast<uint32_t>(bitsSize));
    E.W.U32(0); // RGB colours
    E.W.U32(rop);
    E.W.S32(dst.Width());
    E.W.S32(dst.Height());
    E.W.Bytes(bmi.data(), bmi.size());
    E.W.Pad4();
    TAppendStream rows(E.W.Data);
    WriteDibRows(bitmap, rows);
    E.End(at);
    AddBounds(dst);
}

template <class FillRow>
void TMetafileCanvas::TRecorder::AlphaBlend(const TRect& dst, int w, int h, FillRow fillRow) {
    const std::vector<uint8_t> bmi = Header32(w, h);
    const size_t rowBytes = static_cast<size_t>(w) * 4;
    const uint64_t bitsSize = uint64_t(rowBytes) * uint64_t(h);
    if (bitsSize > 0xFFFFFFFFull - 4096) throw EInvalidGraphic("Bitmap is too large to save");
    MakeRoom(108 + bmi.size() + static_cast<size_t>(bitsSize));
    const size_t at = E.Begin(EMR_ALPHABLEND);
    BoundsAndOrigin(dst);
    E.W.S32(dst.Width());
    E.W.S32(dst.Height());
    E.W.U32(0x01FF0000); // source over, constant alpha 255, per-pixel alpha
    E.W.S32(0);
    E.W.S32(0);
    const float identity[6] = {1, 0, 0, 1, 0, 0};
    for (float f : identity)
        E.W.F32(f);
    E.W.U32(0);
    E.W.U32(0);
    const uint32_t bmiOff = 108,
                   bitsOff = static_cast<uint32_t>(108 + ((bmi.size() + 3) & ~size_t(3)));
    E.W.U32(bmiOff);
    E.W.U32(static_cast<uint32_t>(bmi.size()));
    E.W.U32(bitsOff);
    E.W.U32(static_cast<uint32_t>(bitsSize));
    E.W.S32(w);
    E.W.S32(h);
    E.W.Bytes(bmi.data(), bmi.size());
    E.W.Pad4();
    const size_t base = E.W.Size();
    E.W.Data.resize(base + static_cast<size_t>(bitsSize));
    for (int y = 0; y < h; ++y)
        fillRow(y, E.W.Data.data() + base + static_cast<size_t>(h - 1 - y) * rowBytes);
    E.End(at);
    AddBounds(dst);
}

TMetafileCanvas::TMetafileCanvas(TMetafile& target, const std::string& creator,
                                 const std::string& description)
    : FTarget(&target), FRec(std::make_unique<TRecorder>()) {
    std::u16string desc;
    if (!creator.empty() || !description.empty()) {
        desc = Utf8ToUtf16(creator);
        desc += u'\0';
        desc += Utf8ToUtf16(description);
        desc += u'\0';
        desc += u'\0';
    }
    FRec->E.Header(desc, RefWidthPx, RefHeightPx, RefWidthMM, RefHeightMM);
    if (target.FCanvas) target.FCanvas->FTarget = nullptr;
    target.FCanvas = this;
    target.FPendingWidth = target.FPendingHeight = 0;
}

TMetafileCanvas::~TMetafileCanvas() {
    try {
        Close();
    } catch (...) {
        // A destructor must not throw; the recording is simply not handed over.
    }
}

void TMetafileCanvas::Close() {
    if (FClosed) return;
    FClosed = true;
    // The frame is the picture's own size (its pixels at 96 dpi, in 0.01 mm)
    // when one was set while recording, so that readers show the picture and
    // not a screen-sized page; without one, the whole reference surface.
    TRect frame = Rect(0, 0, RefWidthMM * 100, RefHeightMM * 100);
    if (FTarget && FTarget->FPendingWidth > 0 && FTarget->FPendingHeight > 0) {
        // Kept inside the range the reader accepts for a frame.
        auto hundredthsMm = [](int px) {
            return static_cast<int>(std::min(std::lround(px * 2540.0 / 96), (1L << 30) - 1));
        };
        frame =
            Rect(0, 0, hundredthsMm(FTarget->FPendingWidth), hundredthsMm(FTarget->FPendingHeight));
    }
    std::vector<uint8_t> emf = FRec->E.Finish(FRec->Bounds, frame);
    if (FTarget) {
        FTarget->FCanvas = nullptr;
        FTarget->TakeRecording(std::move(emf));
    }
}

void TMetafileCanvas::FillRect(const TRect& r) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    TEmfWriter& E = FRec->E;
    size_t at = E.Begin(EMR_CREATEBRUSHINDIRECT);
    E.W.U32(1);
    E.W.U32(BS_SOLID);
    E.W.U32(ColorToRGB(BrushColor) & 0xFFFFFF);
    E.W.U32(0);
    E.End(at);
    E.UseHandle(1);
    E.Rec(EMR_SELECTOBJECT, uint32_t(1));
    E.Rec(EMR_SELECTOBJECT, StockObjectFlag | 8); // null pen
    // Without a pen a rectangle loses its right and bottom line, hence the +1.
    E.Rec(EMR_RECTANGLE, Rect(r.Left, r.Top, r.Right + 1, r.Bottom + 1));
    E.Rec(EMR_SELECTOBJECT, StockObjectFlag | 0); // white brush
    E.Rec(EMR_SELECTOBJECT, StockObjectFlag | 7); // black pen
    E.Rec(EMR_DELETEOBJECT, uint32_t(1));
    FRec->AddBounds(r);
}

void TMetafileCanvas::StretchBitmap(const TRect& dst, const TBitmap& src) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    if (src.Width() <= 0 || src.Height() <= 0 || dst.Width() == 0 || dst.Height() == 0) return;
    // Colour on colour for true images; a 1-bit image shrinks with black winning.
    FRec->SetStretchMode(src.BitsPerPixel() == 1 ? 1 : 3);
    FRec->StretchDib(dst, src, SRCCOPY);
}

void TMetafileCanvas::StretchBitmapMasked(const TRect& dst, const TBitmap& src,
                                          const TBitmap& mask) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    const int w = src.Width(), h = src.Height();
    if (w <= 0 || h <= 0 || dst.Width() == 0 || dst.Height() == 0) return;
    if (mask.Width() != w || mask.Height() != h) return StretchBitmap(dst, src);
    std::vector<uint8_t> row(static_cast<size_t>(w) * 4), mrow(static_cast<size_t>(w) * 4);
    FRec->SetStretchMode(3);
    FRec->AlphaBlend(dst, w, h, [&](int y, uint8_t* out) {
        src.GetRowBGRX(y, row.data());
        mask.GetRowBGRX(y, mrow.data());
        const uint8_t* mraw = mask.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            if (MaskSet(mask, mraw, mrow.data(), x)) {
                out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = out[4 * x + 3] = 0;
            } else {
                out[4 * x] = row[4 * x];
                out[4 * x + 1] = row[4 * x + 1];
                out[4 * x + 2] = row[4 * x + 2];
                out[4 * x + 3] = 255;
            }
        }
    });
}

void TMetafileCanvas::StretchBitmapAndXor(const TRect& dst, const TBitmap& xorImage,
                                          const TBitmap& andMask) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    if (xorImage.Width() <= 0 || xorImage.Height() <= 0 || dst.Width() == 0 || dst.Height() == 0)
        return;
    // The icon rule as two raster operations: AND the mask, then XOR the image.
    FRec->SetStretchMode(3);
    if (andMask.Width() > 0 && andMask.Height() > 0) FRec->StretchDib(dst, andMask, 0x008800C6);
    FRec->StretchDib(dst, xorImage, 0x00660046);
}

void TMetafileCanvas::StretchBitmapAlpha(const TRect& dst, const TBitmap& src) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    const int w = src.Width(), h = src.Height();
    if (w <= 0 || h <= 0 || dst.Width() == 0 || dst.Height() == 0) return;
    if (src.BitsPerPixel() != 32) return StretchBitmap(dst, src);
    const std::vector<uint8_t>& plane = src.AlphaChannel();
    const bool havePlane = plane.size() == static_cast<size_t>(w) * h;
    FRec->SetStretchMode(3);
    FRec->AlphaBlend(dst, w, h, [&](int y, uint8_t* out) {
        const uint8_t* in = src.ScanLine(y);
        for (int x = 0; x < w; ++x) {
            const unsigned a = havePlane ? plane[static_cast<size_t>(y) * w + x] : in[4 * x + 3];
            // The record wants premultiplied colours.
            out[4 * x] = static_cast<uint8_t>((in[4 * x] * a + 127) / 255);
            out[4 * x + 1] = static_cast<uint8_t>((in[4 * x + 1] * a + 127) / 255);
            out[4 * x + 2] = static_cast<uint8_t>((in[4 * x + 2] * a + 127) / 255);
            out[4 * x + 3] = static_cast<uint8_t>(a);
        }
    });
}

namespace {

// The page-space state of the metafile being replayed, tracked so that its
// mapping can be re-expressed, composed with the placement, in our recording.
struct TPageState {
    TMapState Map;             // its world transform is passed through, not tracked
    std::vector<uint8_t> Font; // LOGFONTW of the selected font (empty: a stock font)
};

// Text records without a usable spacing array get one: readers take the array
// as given (some read it at offset 0 when it is missing). False when the text
// itself lies outside the record, which then draws nothing and is dropped.
// An EMR_SMALLTEXTOUT (reference point, chars, options, graphics mode, scales,
// optional clip rectangle, 8- or 16-bit text) rebuilt as ExtTextOutA/W
// without a spacing array. False when the record is too short for its text.
bool SmallTextAsExtTextOut(std::vector<uint8_t>& rec) {
    if (rec.size() < 36) return false;
    const uint32_t chars = U32(rec.data() + 16), options = U32(rec.data() + 20);
    const bool noRect = (options & 0x100) != 0, small = (options & 0x200) != 0;
    const size_t textAt = 36 + (noRect ? 0 : 16);
    if (chars > 0x100000 || textAt + uint64_t(chars) * (small ? 1 : 2) > rec.size()) return false;
    TByteWriter w;
    w.U32(small ? EMR_EXTTEXTOUTA : EMR_EXTTEXTOUTW);
    w.U32(0);
    for (int i = 0; i < 4; ++i)
        w.S32(0); // bounds: not used by readers
    w.U32(U32(rec.data() + 24));
    w.Bytes(rec.data() + 28, 8); // scales
    w.Bytes(rec.data() + 8, 8);  // reference point
    w.U32(chars);
    w.U32(76);
    w.U32(options & ~0x300u);
    for (int i = 0; i < 4; ++i)
        w.S32(noRect ? 0 : S32(rec.data() + 36 + 4 * i));
    w.U32(0); // spacing added by AddSpacing
    w.Bytes(rec.data() + textAt, size_t(chars) * (small ? 1 : 2));
    w.Pad4();
    w.PatchU32(4, static_cast<uint32_t>(w.Size()));
    rec = std::move(w.Data);
    return true;
}

bool AddSpacing(std::vector<uint8_t>& rec, bool wide, const std::vector<uint8_t>& font) {
    if (rec.size() < 76) return false;
    const uint32_t chars = U32(rec.data() + 44), offString = U32(rec.data() + 48);
    const uint32_t options = U32(rec.data() + 52), offDx = U32(rec.data() + 72);
    const uint64_t textBytes = uint64_t(chars) * (wide ? 2 : 1);
    if (chars > 0x100000 || (chars && offString + textBytes > rec.size())) return false;
    const uint64_t dxBytes = uint64_t(chars) * 4 * ((options & 0x2000) ? 2 : 1);
    if (chars == 0 || (offDx >= 76 && offDx + dxBytes <= rec.size())) return true;
    static const std::vector<uint8_t> stock = [] {
        std::vector<uint8_t> f(92, 0);
        f[16] = 0x90; // weight 400
        f[17] = 0x01;
        f[23] = 1;
        const char* face = "Arial";
        for (int i = 0; face[i]; ++i)
            f[28 + 2 * i] = static_cast<uint8_t>(face[i]);
        return f;
    }();
    const std::vector<uint8_t>& lf = font.empty() ? stock : font;
    const uint8_t* text = rec.data() + offString;
    std::vector<int32_t> dx = wide ? TextAdvancesW(lf.data(), lf.size(), text, chars)
                                   : TextAdvances(lf.data(), lf.size(), text, chars);
    dx.resize(chars, 0);
    while (rec.size() % 4)
        rec.push_back(0);
    TByteWriter w;
    w.Data = std::move(rec);
    w.PatchU32(52, options & ~0x2000u); // one advance per character
    w.PatchU32(72, static_cast<uint32_t>(w.Size()));
    for (int32_t d : dx)
        w.S32(d);
    w.PatchU32(4, static_cast<uint32_t>(w.Size()));
    rec = std::move(w.Data);
    return true;
}

} // namespace

namespace {

// A LOGFONTW: em height (negative: the em, not the cell), escapement and
// orientation alike (the glyphs turn with the baseline), the character set,
// antialiased quality, the face in at most 31 UTF-16 units.
std::vector<uint8_t> LogFontW(const TMetafileFont& f, int charset = 1) {
    TByteWriter b;
    b.S32(-std::max(f.EmHeight, 1));
    b.S32(0);
    b.S32(f.Escapement);
    b.S32(f.Escapement);
    b.S32(f.Weight);
    b.U8(f.Italic ? 1 : 0);
    b.U8(f.Underline ? 1 : 0);
    b.U8(f.StrikeOut ? 1 : 0);
    b.U8(static_cast<uint8_t>(charset));
    b.U8(0); // OUT_DEFAULT_PRECIS
    b.U8(0); // CLIP_DEFAULT_PRECIS
    b.U8(4); // ANTIALIASED_QUALITY
    b.U8(0); // DEFAULT_PITCH | FF_DONTCARE
    std::u16string face = Utf8ToUtf16(f.Face);
    if (face.size() > 31) {
        face.resize(31);
        // Never half a surrogate pair.
        if (face.back() >= 0xD800 && face.back() <= 0xDBFF) face.pop_back();
    }
    face.resize(32, u'\0');
    for (char16_t c : face)
        b.U16(c);
    return std::move(b.Data);
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& units) {
    std::vector<uint8_t> bytes;
    bytes.reserve(units.size() * 2);
    for (char16_t c : units) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

// Texts longer than this do not fit a WMF text record.
constexpr size_t MaxTextUnits = 0x7FFF;

} // namespace

TTextExtent MeasureMetafileText(const TMetafileFont& font, const std::string& utf8) {
    TTextExtent e;
    const std::vector<uint8_t> lf = LogFontW(font);
    emf::FontExtents(lf.data(), lf.size(), e.Ascent, e.Descent);
    const std::u16string units = Utf8ToUtf16(utf8);
    if (units.empty() || units.size() > MaxTextUnits) return e;
    const std::vector<uint8_t> bytes = Utf16Bytes(units);
    for (int32_t a : emf::TextAdvancesW(lf.data(), lf.size(), bytes.data(), units.size()))
        e.Advance += a;
    return e;
}

void TMetafileCanvas::TextOut(const TMetafileFont& font, TColor color, TPoint origin,
                              const std::string& utf8) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    const std::u16string units = Utf8ToUtf16(utf8);
    if (units.empty()) return;
    if (units.size() > MaxTextUnits) throw EInvalidGraphicOperation("Text is too long");
    // A character set that holds the text, so that the 8-bit text of a WMF keeps it.
    const std::vector<uint8_t> lf = LogFontW(font, CharsetFor(units));
    const std::vector<uint8_t> bytes = Utf16Bytes(units);
    // Readers take the spacing array as given, so it carries the advances playback uses.
    const std::vector<int32_t> dx =
        emf::TextAdvancesW(lf.data(), lf.size(), bytes.data(), units.size());
    double ascent = 0, descent = 0, advance = 0;
    emf::FontExtents(lf.data(), lf.size(), ascent, descent);
    for (int32_t a : dx)
        advance += a;
    // The text cell turned about the origin: the record's bounds.
    const double turn = font.Escapement / 10.0 * std::numbers::pi / 180;
    const double ux = std::cos(turn), uy = -std::sin(turn), dX = -uy, dY = ux;
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    for (double along : {0.0, advance})
        for (double down : {-ascent, descent}) {
            const double x = origin.X + along * ux + down * dX,
                         y = origin.Y + along * uy + down * dY;
            x0 = std::min(x0, x);
            y0 = std::min(y0, y);
            x1 = std::max(x1, x);
            y1 = std::max(y1, y);
        }
    auto clampInt = [](double v) { return static_cast<int>(std::clamp(v, -1e9, 1e9)); };
    const TRect box = Rect(clampInt(std::floor(x0)), clampInt(std::floor(y0)),
                           clampInt(std::ceil(x1)) + 1, clampInt(std::ceil(y1)) + 1);

    TEmfWriter& E = FRec->E;
    E.Rec(EMR_SAVEDC);
    size_t at = E.Begin(EMR_EXTCREATEFONTINDIRECTW);
    E.W.U32(1);
    E.W.Bytes(lf.data(), lf.size());
    // The rest of a LOGFONTPANOSE (full name, style, version, panose), left empty.
    for (int i = 0; i < 228; ++i)
        E.W.U8(0);
    E.End(at);
    E.UseHandle(1);
    E.Rec(EMR_SELECTOBJECT, uint32_t(1));
    E.Rec(EMR_SETBKMODE, uint32_t(1)); // TRANSPARENT
    E.Rec(EMR_SETTEXTCOLOR, ColorToRGB(color) & 0xFFFFFF);
    E.Rec(EMR_SETTEXTALIGN, uint32_t(24)); // TA_BASELINE | TA_LEFT
    at = E.Begin(EMR_EXTTEXTOUTW);
    E.W.S32(box.Left);
    E.W.S32(box.Top);
    E.W.S32(box.Right - 1);
    E.W.S32(box.Bottom - 1);
    E.W.U32(1); // GM_COMPATIBLE
    // 0.01 mm per pixel of the reference device.
    E.W.F32(static_cast<float>(RefWidthMM * 100.0 / RefWidthPx));
    E.W.F32(static_cast<float>(RefHeightMM * 100.0 / RefHeightPx));
    E.W.S32(origin.X);
    E.W.S32(origin.Y);
    E.W.U32(static_cast<uint32_t>(units.size()));
    const uint32_t offString = 76;
    const uint32_t offDx = static_cast<uint32_t>(offString + ((bytes.size() + 3) & ~size_t(3)));
    E.W.U32(offString);
    E.W.U32(0); // no options: no opaque cell, no clipping
    for (int i = 0; i < 4; ++i)
        E.W.S32(0);
    E.W.U32(dx.size() == units.size() ? offDx : 0);
    E.W.Bytes(bytes.data(), bytes.size());
    E.W.Pad4();
    if (dx.size() == units.size())
        for (int32_t a : dx)
            E.W.S32(a);
    E.End(at);
    E.Rec(EMR_RESTOREDC, static_cast<uint32_t>(-1));
    E.Rec(EMR_DELETEOBJECT, uint32_t(1));
    FRec->AddBounds(box);
}

void TMetafileCanvas::PlayEmf(const std::vector<uint8_t>& emf, const TRect& dst) {
    if (FClosed) throw EInvalidGraphicOperation("Canvas is closed");
    if (emf.empty() || dst.Width() == 0 || dst.Height() == 0) return;
    const TEmfHeader h = ParseEmf(emf.data(), emf.size());
    TEmfWriter& E = FRec->E;

    // Source device pixels of the frame, mapped onto dst.
    const TBox box = PictureBox(h);
    const double fx0 = box.X, fy0 = box.Y, fw = box.W, fh = box.H;
    const double kx = dst.Width() / fw, ky = dst.Height() / fh;
    auto ax = [&](double x) { return (x - fx0) * kx + dst.Left; };
    auto ay = [&](double y) { return (y - fy0) * ky + dst.Top; };
    auto clamp32 = [](double v) {
        return static_cast<int32_t>(std::lround(std::clamp(v, -2147483000.0, 2147483000.0)));
    };

    TPageState st;
    st.Map.PxPerMmX = double(h.DeviceX) / h.MillimetersX;
    st.Map.PxPerMmY = double(h.DeviceY) / h.MillimetersY;
    TDcStack<TPageState> stack;
    TObjectTable<std::vector<uint8_t>> fonts; // font records by handle
    auto emitMapping = [&]() {
        double sx, sy;
        st.Map.PageScale(sx, sy);
        // Large extents keep the composed scale exact enough in integers.
        auto ext = [](double s) {
            const double a = std::max(std::abs(s), 1e-9);
            return std::clamp(std::round(65536.0 / std::max(a, 1.0)), 1.0, 1073741824.0);
        };
        const double ex = ext(sx * kx), ey = ext(sy * ky);
        auto vext = [](double v) {
            int32_t r =
                static_cast<int32_t>(std::lround(std::clamp(v, -1073741824.0, 1073741824.0)));
            return r != 0 ? r : (v < 0 ? -1 : 1);
        };
        E.Rec(EMR_SETMAPMODE, uint32_t(MM_ANISOTROPIC));
        E.Rec(EMR_SETWINDOWORGEX, clamp32(st.Map.WoX), clamp32(st.Map.WoY));
        E.Rec(EMR_SETWINDOWEXTEX, clamp32(ex), clamp32(ey));
        E.Rec(EMR_SETVIEWPORTEXTEX, vext(sx * kx * ex), vext(sy * ky * ey));
        E.Rec(EMR_SETVIEWPORTORGEX, clamp32(ax(st.Map.VoX)), clamp32(ay(st.Map.VoY)));
    };

    // Region data of the replayed file is in its device pixels: move it into ours.
    auto moveRegion = [&](std::vector<uint8_t>& rec, size_t cbAt, size_t dataAt) {
        if (rec.size() < cbAt + 4) return false;
        const uint32_t cb = U32(rec.data() + cbAt);
        if (cb < 32 || dataAt > rec.size() || cb > rec.size() - dataAt) return false;
        uint8_t* d = rec.data() + dataAt;
        const uint32_t count = U32(d + 8);
        if (count > (cb - 32) / 16) return false;
        auto fix = [&](uint8_t* r) {
            TByteWriter t;
            t.S32(clamp32(std::floor(ax(S32(r)) + 0.5)));
            t.S32(clamp32(std::floor(ay(S32(r + 4)) + 0.5)));
            t.S32(clamp32(std::floor(ax(S32(r + 8)) + 0.5)));
            t.S32(clamp32(std::floor(ay(S32(r + 12)) + 0.5)));
            std::copy(t.Data.begin(), t.Data.end(), r);
        };
        fix(d + 16);
        for (uint32_t i = 0; i < count; ++i)
            fix(d + 32 + 16 * i);
        return true;
    };

    E.Rec(EMR_SAVEDC);
    emitMapping();
    ForEachRecord(emf, [&](const TRecord& r) {
        switch (r.Type) {
        case EMR_HEADER:
        case EMR_EOF:
        case EMR_GDICOMMENT: // EMF+ and private data would describe the old placement
            return true;
        // Text records we write carry their own spacing, and some readers
        // (Inkscape) refuse a whole file that holds this record.
        case EMR_SETTEXTJUSTIFICATION:
            return true;
        case EMR_SETMAPMODE:
        case EMR_SETWINDOWEXTEX:
        case EMR_SETWINDOWORGEX:
        case EMR_SETVIEWPORTEXTEX:
        case EMR_SETVIEWPORTORGEX:
        case EMR_SCALEVIEWPORTEXTEX:
        case EMR_SCALEWINDOWEXTEX:
            st.Map.Apply(r);
            emitMapping();
            return true;
        case EMR_SAVEDC:
            stack.Save(st);
            E.Rec(EMR_SAVEDC);
            return true;
        case EMR_RESTOREDC: {
            const std::optional<size_t> target = stack.Target(r.I(8));
            if (!target) return true; // would unwind past the replay's own level
            const int rel = static_cast<int>(*target) - static_cast<int>(stack.Depth());
            st = stack.Pop(*target);
            E.Rec(EMR_RESTOREDC, static_cast<uint32_t>(rel));
            return true;
        }
        case EMR_SETBRUSHORGEX:
            E.Rec(EMR_SETBRUSHORGEX, clamp32(ax(r.I(8))), clamp32(ay(r.I(12))));
            return true;
        default:
            break;
        }
        std::vector<uint8_t> rec(r.Data, r.Data + r.Size);
        bool ok = true;
        if (r.Type == EMR_EXTSELECTCLIPRGN) {
            ok = U32(rec.data() + 8) == 0 || moveRegion(rec, 8, 16);
        } else if (r.Type == EMR_FILLRGN) {
            ok = moveRegion(rec, 24, 32);
        } else if (r.Type == EMR_FRAMERGN) {
            ok = moveRegion(rec, 24, 40);
        } else if (r.Type == EMR_INVERTRGN || r.Type == EMR_PAINTRGN) {
            ok = moveRegion(rec, 24, 28);
        }
        uint32_t type = r.Type;
        if (type == EMR_SMALLTEXTOUT) {
            // Written as the ExtTextOut it stands for, which every reader knows.
            ok = SmallTextAsExtTextOut(rec);
            if (ok) type = U32(rec.data());
        }
        if (ok && (type == EMR_EXTTEXTOUTA || type == EMR_EXTTEXTOUTW))
            ok = AddSpacing(rec, type == EMR_EXTTEXTOUTW, st.Font);
        if (r.Type == EMR_EXTCREATEFONTINDIRECTW && r.Has(12, 92))
            fonts.Put(r.U(8), std::vector<uint8_t>(r.Data + 12, r.Data + 12 + 92));
        if (r.Type == EMR_SELECTOBJECT && r.Has(8, 4)) {
            if (r.U(8) & StockObjectFlag) {
                const uint32_t stock = r.U(8) & 0xFF;
                if (stock >= 10 && stock <= 17) st.Font.clear();
            } else if (const std::vector<uint8_t>* f = fonts.Find(r.U(8))) {
                st.Font = *f;
            }
        }
        if (!ok) return true; // damaged region or text data: the record is dropped
        const size_t at = E.Begin(type);
        E.W.Bytes(rec.data() + 8, rec.size() - 8);
        E.End(at);
        return true;
    });
    E.Rec(EMR_RESTOREDC, static_cast<uint32_t>(-static_cast<int32_t>(stack.Depth() + 1)));
    if (h.Handles > 1) E.UseHandle(h.Handles - 1u);
    FRec->AddBounds(dst);
}
