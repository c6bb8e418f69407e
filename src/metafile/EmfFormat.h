// SPDX-License-Identifier: GPL-3.0-or-later
// Record layouts of enhanced and Windows metafiles, written by hand from the
// published formats, and small little-endian helpers shared by the metafile
// reader, player, recorder and converters. Internal to src/metafile/
#pragma once

#include "base/Exceptions.h"
#include "base/Types.h"
#include "util/Utf8.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace emf {

// EMF record types.
enum : uint32_t {
    EMR_HEADER = 1,
    EMR_POLYBEZIER = 2,
    EMR_POLYGON = 3,
    EMR_POLYLINE = 4,
    EMR_POLYBEZIERTO = 5,
    EMR_POLYLINETO = 6,
    EMR_POLYPOLYLINE = 7,
    EMR_POLYPOLYGON = 8,
    EMR_SETWINDOWEXTEX = 9,
    EMR_SETWINDOWORGEX = 10,
    EMR_SETVIEWPORTEXTEX = 11,
    EMR_SETVIEWPORTORGEX = 12,
    EMR_SETBRUSHORGEX = 13,
    EMR_EOF = 14,
    EMR_SETPIXELV = 15,
    EMR_SETMAPPERFLAGS = 16,
    EMR_SETMAPMODE = 17,
    EMR_SETBKMODE = 18,
    EMR_SETPOLYFILLMODE = 19,
    EMR_SETROP2 = 20,
    EMR_SETSTRETCHBLTMODE = 21,
    EMR_SETTEXTALIGN = 22,
    EMR_SETTEXTCOLOR = 24,
    EMR_SETBKCOLOR = 25,
    EMR_OFFSETCLIPRGN = 26,
    EMR_MOVETOEX = 27,
    EMR_SETMETARGN = 28,
    EMR_EXCLUDECLIPRECT = 29,
    EMR_INTERSECTCLIPRECT = 30,
    EMR_SCALEVIEWPORTEXTEX = 31,
    EMR_SCALEWINDOWEXTEX = 32,
    EMR_SAVEDC = 33,
    EMR_RESTOREDC = 34,
    EMR_SETWORLDTRANSFORM = 35,
    EMR_MODIFYWORLDTRANSFORM = 36,
    EMR_SELECTOBJECT = 37,
    EMR_CREATEPEN = 38,
    EMR_CREATEBRUSHINDIRECT = 39,
    EMR_DELETEOBJECT = 40,
    EMR_ANGLEARC = 41,
    EMR_ELLIPSE = 42,
    EMR_RECTANGLE = 43,
    EMR_ROUNDRECT = 44,
    EMR_ARC = 45,
    EMR_CHORD = 46,
    EMR_PIE = 47,
    EMR_SELECTPALETTE = 48,
    EMR_CREATEPALETTE = 49,
    EMR_SETPALETTEENTRIES = 50,
    EMR_RESIZEPALETTE = 51,
    EMR_REALIZEPALETTE = 52,
    EMR_EXTFLOODFILL = 53,
    EMR_LINETO = 54,
    EMR_ARCTO = 55,
    EMR_POLYDRAW = 56,
    EMR_SETARCDIRECTION = 57,
    EMR_SETMITERLIMIT = 58,
    EMR_BEGINPATH = 59,
    EMR_ENDPATH = 60,
    EMR_CLOSEFIGURE = 61,
    EMR_FILLPATH = 62,
    EMR_STROKEANDFILLPATH = 63,
    EMR_STROKEPATH = 64,
    EMR_FLATTENPATH = 65,
    EMR_WIDENPATH = 66,
    EMR_SELECTCLIPPATH = 67,
    EMR_ABORTPATH = 68,
    EMR_GDICOMMENT = 70,
    EMR_FILLRGN = 71,
    EMR_FRAMERGN = 72,
    EMR_INVERTRGN = 73,
    EMR_PAINTRGN = 74,
    EMR_EXTSELECTCLIPRGN = 75,
    EMR_BITBLT = 76,
    EMR_STRETCHBLT = 77,
    EMR_MASKBLT = 78,
    EMR_PLGBLT = 79,
    EMR_SETDIBITSTODEVICE = 80,
    EMR_STRETCHDIBITS = 81,
    EMR_EXTCREATEFONTINDIRECTW = 82,
    EMR_EXTTEXTOUTA = 83,
    EMR_EXTTEXTOUTW = 84,
    EMR_POLYBEZIER16 = 85,
    EMR_POLYGON16 = 86,
    EMR_POLYLINE16 = 87,
    EMR_POLYBEZIERTO16 = 88,
    EMR_POLYLINETO16 = 89,
    EMR_POLYPOLYLINE16 = 90,
    EMR_POLYPOLYGON16 = 91,
    EMR_POLYDRAW16 = 92,
    EMR_CREATEMONOBRUSH = 93,
    EMR_CREATEDIBPATTERNBRUSHPT = 94,
    EMR_EXTCREATEPEN = 95,
    EMR_POLYTEXTOUTA = 96,
    EMR_POLYTEXTOUTW = 97,
    EMR_SETICMMODE = 98,
    EMR_SMALLTEXTOUT = 108,
    EMR_ALPHABLEND = 114,
    EMR_SETLAYOUT = 115,
    EMR_TRANSPARENTBLT = 116,
    EMR_GRADIENTFILL = 118,
    EMR_SETTEXTJUSTIFICATION = 120,
};

// WMF record functions.
enum : uint16_t {
    META_EOF = 0x0000,
    META_SETBKCOLOR = 0x0201,
    META_SETBKMODE = 0x0102,
    META_SETMAPMODE = 0x0103,
    META_SETROP2 = 0x0104,
    META_SETRELABS = 0x0105,
    META_SETPOLYFILLMODE = 0x0106,
    META_SETSTRETCHBLTMODE = 0x0107,
    META_SETTEXTCHAREXTRA = 0x0108,
    META_SETTEXTCOLOR = 0x0209,
    META_SETTEXTJUSTIFICATION = 0x020A,
    META_SETWINDOWORG = 0x020B,
    META_SETWINDOWEXT = 0x020C,
    META_SETVIEWPORTORG = 0x020D,
    META_SETVIEWPORTEXT = 0x020E,
    META_OFFSETWINDOWORG = 0x020F,
    META_SCALEWINDOWEXT = 0x0410,
    META_OFFSETVIEWPORTORG = 0x0211,
    META_SCALEVIEWPORTEXT = 0x0412,
    META_LINETO = 0x0213,
    META_MOVETO = 0x0214,
    META_EXCLUDECLIPRECT = 0x0415,
    META_INTERSECTCLIPRECT = 0x0416,
    META_ARC = 0x0817,
    META_ELLIPSE = 0x0418,
    META_FLOODFILL = 0x0419,
    META_PIE = 0x081A,
    META_RECTANGLE = 0x041B,
    META_ROUNDRECT = 0x061C,
    META_PATBLT = 0x061D,
    META_SAVEDC = 0x001E,
    META_SETPIXEL = 0x041F,
    META_OFFSETCLIPRGN = 0x0220,
    META_TEXTOUT = 0x0521,
    META_BITBLT = 0x0922,
    META_STRETCHBLT = 0x0B23,
    META_POLYGON = 0x0324,
    META_POLYLINE = 0x0325,
    META_ESCAPE = 0x0626,
    META_RESTOREDC = 0x0127,
    META_FILLREGION = 0x0228,
    META_FRAMEREGION = 0x0429,
    META_INVERTREGION = 0x012A,
    META_PAINTREGION = 0x012B,
    META_SELECTCLIPREGION = 0x012C,
    META_SELECTOBJECT = 0x012D,
    META_SETTEXTALIGN = 0x012E,
    META_CHORD = 0x0830,
    META_SETMAPPERFLAGS = 0x0231,
    META_EXTTEXTOUT = 0x0A32,
    META_SETDIBTODEV = 0x0D33,
    META_SELECTPALETTE = 0x0234,
    META_REALIZEPALETTE = 0x0035,
    META_ANIMATEPALETTE = 0x0436,
    META_SETPALENTRIES = 0x0037,
    META_POLYPOLYGON = 0x0538,
    META_RESIZEPALETTE = 0x0139,
    META_DIBBITBLT = 0x0940,
    META_DIBSTRETCHBLT = 0x0B41,
    META_DIBCREATEPATTERNBRUSH = 0x0142,
    META_STRETCHDIB = 0x0F43,
    META_EXTFLOODFILL = 0x0548,
    META_DELETEOBJECT = 0x01F0,
    META_CREATEPALETTE = 0x00F7,
    META_CREATEPATTERNBRUSH = 0x01F9,
    META_CREATEPENINDIRECT = 0x02FA,
    META_CREATEFONTINDIRECT = 0x02FB,
    META_CREATEBRUSHINDIRECT = 0x02FC,
    META_CREATEREGION = 0x06FF,
};

constexpr uint32_t EmfSignature = 0x464D4520; // " EMF"
constexpr uint32_t PlaceableKey = 0x9AC6CDD7;
constexpr uint32_t StockObjectFlag = 0x80000000;

enum {
    MM_TEXT = 1,
    MM_LOMETRIC,
    MM_HIMETRIC,
    MM_LOENGLISH,
    MM_HIENGLISH,
    MM_TWIPS,
    MM_ISOTROPIC,
    MM_ANISOTROPIC
};
enum { RGN_AND = 1, RGN_OR, RGN_XOR, RGN_DIFF, RGN_COPY };
enum {
    PS_SOLID = 0,
    PS_DASH,
    PS_DOT,
    PS_DASHDOT,
    PS_DASHDOTDOT,
    PS_NULL,
    PS_INSIDEFRAME,
    PS_USERSTYLE,
    PS_ALTERNATE
};
enum {
    BS_SOLID = 0,
    BS_NULL = 1,
    BS_HATCHED = 2,
    BS_PATTERN = 3,
    BS_DIBPATTERN = 5,
    BS_DIBPATTERNPT = 6
};
constexpr uint32_t SRCCOPY = 0x00CC0020, PATCOPY = 0x00F00021;

inline uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline int16_t S16(const uint8_t* p) {
    return static_cast<int16_t>(U16(p));
}
inline uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline int32_t S32(const uint8_t* p) {
    return static_cast<int32_t>(U32(p));
}
inline float F32(const uint8_t* p) {
    uint32_t v = U32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

[[noreturn]] inline void Invalid() {
    throw EInvalidGraphic("Invalid metafile");
}

// Appends little-endian values; used to build records.
class TByteWriter {
public:
    std::vector<uint8_t> Data;
    void U8(uint8_t v) { Data.push_back(v); }
    void U16(uint16_t v) {
        Data.push_back(static_cast<uint8_t>(v));
        Data.push_back(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            Data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void S32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void S16(int16_t v) { U16(static_cast<uint16_t>(v)); }
    void F32(float f) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        U32(v);
    }
    void Bytes(const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        Data.insert(Data.end(), b, b + n);
    }
    void Pad4() {
        while (Data.size() % 4)
            Data.push_back(0);
    }
    size_t Size() const { return Data.size(); }
    void PatchU32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            Data[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void PatchU16(size_t at, uint16_t v) {
        Data[at] = static_cast<uint8_t>(v);
        Data[at + 1] = static_cast<uint8_t>(v >> 8);
    }
};

// One EMF record inside checked bytes. Every field is read through these
// bounds-checked accessors: a field that lies outside the record reads as 0,
// so a short record acts as one whose missing fields are zero. A handler that
// cannot do without a field asks Has first.
struct TRecord {
    uint32_t Type = 0;
    uint32_t Size = 0;
    const uint8_t* Data = nullptr; // record start (type field)
    // Whether n bytes starting at offset lie inside the record.
    bool Has(uint64_t offset, uint64_t n) const { return offset + n <= Size; }
    int32_t I(size_t offset) const { return Has(offset, 4) ? S32(Data + offset) : 0; }
    uint32_t U(size_t offset) const { return Has(offset, 4) ? U32(Data + offset) : 0; }
    uint16_t U16At(size_t offset) const { return Has(offset, 2) ? U16(Data + offset) : 0; }
    uint8_t Byte(size_t offset) const { return Has(offset, 1) ? Data[offset] : 0; }
    float F(size_t offset) const { return Has(offset, 4) ? F32(Data + offset) : 0.0f; }

    // The fields that many records share, by name.
    // The one argument of the state records (EMR_SET*, SELECTOBJECT,
    // DELETEOBJECT, RESTOREDC, SELECTCLIPPATH, ...); a handle for the object records.
    uint32_t Value() const { return U(8); }
    int32_t SignedValue() const { return I(8); }
    // A POINTL or SIZEL argument (MOVETOEX, LINETO, SET*ORGEX, SET*EXTEX, OFFSETCLIPRGN).
    int32_t X() const { return I(8); }
    int32_t Y() const { return I(12); }
    // A RECTL argument (RECTANGLE, ELLIPSE, the clip rectangles, ...), inclusive-exclusive as
    // stored.
    TRect Box() const { return Rect(I(8), I(12), I(16), I(20)); }

    // Whether a poly record stores its points as 16-bit pairs (the *16 forms).
    bool SmallPoints() const {
        return (Type >= EMR_POLYBEZIER16 && Type <= EMR_POLYPOLYGON16) || Type == EMR_POLYDRAW16;
    }
    // Appends count points stored at offset, in the record's point form, to out;
    // false (nothing appended) when they do not lie inside the record.
    template <class TPoint>
    bool ReadPoints(size_t offset, uint64_t count, std::vector<TPoint>& out) const {
        const size_t size = SmallPoints() ? 4 : 8;
        if (count > MaxRecordPoints || !Has(offset, count * size)) return false;
        out.reserve(out.size() + count);
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* q = Data + offset + i * size;
            out.push_back(size == 4 ? TPoint{double(S16(q)), double(S16(q + 2))}
                                    : TPoint{double(S32(q)), double(S32(q + 4))});
        }
        return true;
    }
    // More points than any record of a sane file holds.
    static constexpr uint64_t MaxRecordPoints = 0x4000000;
};

// One WMF record: its function and parameter words, read through
// bounds-checked accessors (a word outside the record reads as 0). Most
// records store their arguments last to first, as the call pushed them.
struct TWmfRecord {
    uint16_t Function = 0;
    const uint8_t* Params = nullptr; // after size and function
    size_t Bytes = 0;                // of the parameters
    size_t Words() const { return Bytes / 2; }
    bool Has(size_t words) const { return Words() >= words; }
    int16_t S(size_t word) const { return Has(word + 1) ? S16(Params + 2 * word) : 0; }
    uint16_t W(size_t word) const { return Has(word + 1) ? U16(Params + 2 * word) : 0; }
    uint32_t L(size_t word) const { return Has(word + 2) ? U32(Params + 2 * word) : 0; }
};

// The fields of a bitmap-transfer record (BitBlt, StretchBlt,
// AlphaBlend, TransparentBlt, StretchDIBits, SetDIBitsToDevice), read in one place
// for the player and the WMF writer.
struct TBlitRecord {
    int32_t XDest = 0, YDest = 0, CxDest = 0, CyDest = 0;
    int32_t XSrc = 0, YSrc = 0, CxSrc = 0, CySrc = 0;
    uint32_t Rop = SRCCOPY, Usage = 0, OffBmi = 0, CbBmi = 0, OffBits = 0, CbBits = 0;
    uint32_t BlendFunction = 0;    // AlphaBlend: its blend function (Rop is then SRCCOPY)
    uint32_t TransparentColor = 0; // TransparentBlt: the colour left out (Rop is then SRCCOPY)
    bool DIBits = false;           // StretchDIBits / SetDIBitsToDevice: rows stored bottom-up
};
// False when the record is too short for its fixed fields.
bool ReadBlitRecord(const TRecord& r, TBlitRecord& out);

// The fields of an EMF header that the program uses.
struct TEmfHeader {
    TRect Bounds; // device pixels, inclusive
    TRect Frame;  // 0.01 mm, inclusive
    uint32_t Bytes = 0, Records = 0;
    uint16_t Handles = 0;
    uint32_t DescriptionChars = 0, DescriptionOffset = 0;
    int DeviceX = 0, DeviceY = 0, MillimetersX = 0, MillimetersY = 0;
};

// Checks an EMF from its header to its EOF record: header fields, every
// record's size against the data, and that records end with EOF. Throws
// EInvalidGraphic. Returns the header and the byte length up to and including EOF.
TEmfHeader ParseEmf(const uint8_t* data, size_t size, size_t* used = nullptr);

// The picture's box in device pixels of the recording device: the frame, or
// the bounds (+1) when the frame is empty. Some writers (programs under Wine)
// record a frame that does not hold the drawing at all; when less than half
// of the bounds lies inside the frame, the bounds are the box.
struct TBox {
    double X = 0, Y = 0, W = 1, H = 1;
};
TBox PictureBox(const TEmfHeader& h);

// Walks the records of a checked EMF; the callback returns false to stop.
template <class F> void ForEachRecord(const std::vector<uint8_t>& emf, F&& f) {
    size_t pos = 0;
    while (pos + 8 <= emf.size()) {
        TRecord r{U32(emf.data() + pos), U32(emf.data() + pos + 4), emf.data() + pos};
        if (r.Size < 8 || r.Size > emf.size() - pos) return;
        if (!f(r)) return;
        if (r.Type == EMR_EOF) return;
        pos += r.Size;
    }
}

// A WMF (placeable or plain) converted to EMF bytes; width and height are the
// picture's size in pixels as the WMF declares it.
struct TWmfConversion {
    std::vector<uint8_t> Emf;
    int Width = 0, Height = 0;
};
TWmfConversion WmfToEmf(const uint8_t* data, size_t size);
// The WMF form of an EMF: placeable header (box from the frame at 96 units per
// inch) and WMF records for the drawing, mapped for the anisotropic mode.
std::vector<uint8_t> EmfToWmf(const std::vector<uint8_t>& emf);

// 8-bit text decoded to UTF-32 by a font's character set; the Symbol face by
// its own table.
std::u32string DecodeText(const uint8_t* bytes, size_t n, int charset, bool symbolFace);
// UTF-16 text as the 8-bit text of a font with a character set of one byte a
// character (the default and Western sets, Central European, Cyrillic, Greek,
// Turkish, Hebrew, Arabic, Baltic, Vietnamese, Thai): one byte per code unit,
// '?' for what the set lacks (complete is then false). Other sets (the
// double-byte ones, symbol sets) keep code units below U+0100 as their byte.
std::string EncodeText(const std::u16string& units, int charset, bool& complete);
// The first single-byte character set that holds every character of the
// text (the default set when none does).
int CharsetFor(const std::u16string& units);
// One Symbol-font position as Unicode (U+FFFD where the font has no glyph).
char32_t SymbolToUnicode(uint8_t b);
// UTF-16LE to UTF-32 (unpaired surrogates become U+FFFD).
std::u32string DecodeUtf16(const uint8_t* bytes, size_t chars);

} // namespace emf

namespace emf {

// Builds an EMF: header first (patched by Finish), then records.
class TEmfWriter {
public:
    // Writes the header (108 bytes, with the description block when non-empty).
    void Header(const std::u16string& description, int deviceX, int deviceY, int mmX, int mmY);
    size_t Begin(uint32_t type) {
        const size_t at = W.Size();
        W.U32(type);
        W.U32(0);
        return at;
    }
    void End(size_t at) {
        W.Pad4();
        W.PatchU32(at + 4, static_cast<uint32_t>(W.Size() - at));
        ++Records;
    }
    void UseHandle(uint32_t ih) {
        if (!(ih & StockObjectFlag) && ih > MaxHandle) MaxHandle = ih;
    }
    // Simple records: no argument, one 32-bit value, two, a rectangle.
    void Rec(uint32_t type) { End(Begin(type)); }
    void Rec(uint32_t type, uint32_t a) {
        const size_t at = Begin(type);
        W.U32(a);
        End(at);
    }
    void Rec(uint32_t type, int32_t a, int32_t b) {
        const size_t at = Begin(type);
        W.S32(a);
        W.S32(b);
        End(at);
    }
    void Rec(uint32_t type, const TRect& r) {
        const size_t at = Begin(type);
        W.S32(r.Left);
        W.S32(r.Top);
        W.S32(r.Right);
        W.S32(r.Bottom);
        End(at);
    }
    // Appends EOF and fills in the header's bounds, frame, sizes and counts.
    std::vector<uint8_t> Finish(const TRect& bounds, const TRect& frame);

    TByteWriter W;
    uint32_t Records = 0;
    uint32_t MaxHandle = 0;
};

// The size of a DIB's header and colour table as stored in a record, checked
// against n available bytes; 0 when the header is not a usable DIB header.
size_t DibInfoSize(const uint8_t* dib, size_t n, uint32_t usage);

} // namespace emf

namespace emf {

// An affine transform: x' = A x + C y + E, y' = B x + D y + F (the EMF XFORM layout).
struct TXform {
    double A = 1, B = 0, C = 0, D = 1, E = 0, F = 0;
    // this, then next.
    TXform Then(const TXform& n) const {
        return {A * n.A + B * n.C, A * n.B + B * n.D,       C * n.A + D * n.C,
                C * n.B + D * n.D, E * n.A + F * n.C + n.E, E * n.B + F * n.D + n.F};
    }
    double X(double x, double y) const { return A * x + C * y + E; }
    double Y(double x, double y) const { return B * x + D * y + F; }
    bool AxisAligned() const { return B == 0 && C == 0; }
    // Mean linear scale (for pen widths and font heights).
    double Scale() const;
};

// The logical-to-device mapping of a DC: mapping mode, window and viewport,
// world transform. Updated from the mapping records of an EMF.
struct TMapState {
    int Mode = MM_TEXT;
    double WoX = 0, WoY = 0, WeX = 1, WeY = 1, VoX = 0, VoY = 0, VeX = 1, VeY = 1;
    TXform World;
    double PxPerMmX = 96 / 25.4, PxPerMmY = 96 / 25.4;
    // Applies a mapping record; false when the record is not one.
    bool Apply(const TRecord& r);
    // The page transform (window to viewport) alone.
    TXform Page() const;
    // Its scale: device pixels per logical unit on each axis, by the mapping mode.
    void PageScale(double& sx, double& sy) const;
    // Logical to device: world, then page.
    TXform Total() const { return World.Then(Page()); }
};

} // namespace emf
