// SPDX-License-Identifier: GPL-3.0-or-later
#include "metafile/EmfFormat.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace emf {

void TEmfWriter::Header(const std::u16string& description, int deviceX, int deviceY, int mmX,
                        int mmY) {
    W.Data.clear();
    Records = 0;
    const uint32_t headerSize = 108;
    W.U32(EMR_HEADER);
    W.U32(0); // size, patched
    for (int i = 0; i < 8; ++i)
        W.S32(0); // bounds and frame, patched
    W.U32(EmfSignature);
    W.U32(0x10000); // version
    W.U32(0);       // bytes, patched
    W.U32(0);       // records, patched
    W.U16(0);       // handles, patched
    W.U16(0);
    W.U32(static_cast<uint32_t>(description.size()));
    W.U32(description.empty() ? 0 : headerSize);
    W.U32(0); // palette entries
    W.S32(deviceX);
    W.S32(deviceY);
    W.S32(mmX);
    W.S32(mmY);
    W.U32(0); // pixel format size
    W.U32(0); // pixel format offset
    W.U32(0); // OpenGL
    W.S32(mmX * 1000);
    W.S32(mmY * 1000);
    for (char16_t c : description)
        W.U16(static_cast<uint16_t>(c));
    W.Pad4();
    W.PatchU32(4, static_cast<uint32_t>(W.Size()));
    Records = 1;
}

std::vector<uint8_t> TEmfWriter::Finish(const TRect& bounds, const TRect& frame) {
    const size_t at = Begin(EMR_EOF);
    W.U32(0);  // palette entries
    W.U32(16); // their offset
    W.U32(20); // size of this record, repeated at its end
    End(at);
    W.PatchU32(8, static_cast<uint32_t>(bounds.Left));
    W.PatchU32(12, static_cast<uint32_t>(bounds.Top));
    W.PatchU32(16, static_cast<uint32_t>(bounds.Right));
    W.PatchU32(20, static_cast<uint32_t>(bounds.Bottom));
    W.PatchU32(24, static_cast<uint32_t>(frame.Left));
    W.PatchU32(28, static_cast<uint32_t>(frame.Top));
    W.PatchU32(32, static_cast<uint32_t>(frame.Right));
    W.PatchU32(36, static_cast<uint32_t>(frame.Bottom));
    W.PatchU32(48, static_cast<uint32_t>(W.Size()));
    W.PatchU32(52, Records);
    W.PatchU16(56, static_cast<uint16_t>(std::min<uint32_t>(MaxHandle + 1, 0xFFFF)));
    return std::move(W.Data);
}

size_t DibInfoSize(const uint8_t* dib, size_t n, uint32_t usage) {
    if (n < 12) return 0;
    const uint32_t hs = U32(dib);
    const size_t entry = usage == 1 ? 2 : (hs == 12 ? 3 : 4);
    uint64_t colors = 0, masks = 0;
    if (hs == 12) {
        const uint16_t bits = U16(dib + 10);
        if (bits <= 8) colors = uint64_t(1) << bits;
    } else if (hs == 40 || hs == 52 || hs == 56 || hs == 64 || hs == 108 || hs == 124) {
        if (n < 40) return 0;
        const uint16_t bits = U16(dib + 14);
        const uint32_t compression = U32(dib + 16);
        const uint32_t used = U32(dib + 32);
        if (bits <= 8) {
            colors = used ? used : (uint64_t(1) << bits);
            if (colors > 256) return 0;
        } else {
            colors = used > 65536 ? 0 : used; // an optional table ahead of true-colour data
        }
        if (hs == 40 && compression == 3) masks = 12;
        if (hs == 40 && compression == 6) masks = 16;
    } else {
        return 0;
    }
    const uint64_t total = hs + masks + colors * entry;
    return total <= n ? static_cast<size_t>(total) : 0;
}

std::u32string DecodeUtf16(const uint8_t* bytes, size_t chars) {
    std::u32string out;
    out.reserve(chars);
    for (size_t i = 0; i < chars; ++i) {
        const char32_t c = U16(bytes + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < chars) {
            const char32_t d = U16(bytes + 2 * i + 2);
            if (d >= 0xDC00 && d < 0xE000) {
                out += 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                ++i;
                continue;
            }
        }
        out += (c >= 0xD800 && c < 0xE000) ? U'\uFFFD' : c;
    }
    return out;
}

namespace {

// Symbol font positions 0x20..0xFF as Unicode characters; 0 where the font has no glyph.
const char16_t SymbolTable[224] = {
    // 0x20
    0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B,
    0x002C, 0x2212, 0x002E, 0x002F,
    // 0x30
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B,
    0x003C, 0x003D, 0x003E, 0x003F,
    // 0x40
    0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399, 0x03D1, 0x039A,
    0x039B, 0x039C, 0x039D, 0x039F,
    // 0x50
    0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396, 0x005B,
    0x2234, 0x005D, 0x22A5, 0x005F,
    // 0x60
    0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA,
    0x03BB, 0x03BC, 0x03BD, 0x03BF,
    // 0x70
    0x03C0, 0x03B8, 0x03C1, 0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6, 0x007B,
    0x007C, 0x007D, 0x223C, 0,
    // 0x80, 0x90: no glyphs
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0xA0
    0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194,
    0x2190, 0x2191, 0x2192, 0x2193,
    // 0xB0
    0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260, 0x2261, 0x2248,
    0x2026, 0x23D0, 0x23AF, 0x21B5,
    // 0xC0
    0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229, 0x222A, 0x2283, 0x2287, 0x2284,
    0x2282, 0x2286, 0x2208, 0x2209,
    // 0xD0
    0x2220, 0x2207, 0x00AE, 0x00A9, 0x2122, 0x220F, 0x221A, 0x22C5, 0x00AC, 0x2227, 0x2228, 0x21D4,
    0x21D0, 0x21D1, 0x21D2, 0x21D3,
    // 0xE0
    0x25CA, 0x27E8, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3,
    0x23A7, 0x23A8, 0x23A9, 0x23AA,
    // 0xF0
    0, 0x27E9, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F, 0x23A0, 0x23A4, 0x23A5, 0x23A6,
    0x23AB, 0x23AC, 0x23AD, 0};

const char* CodePageOf(int charset) {
    switch (charset) {
    case 77:
        return "MACINTOSH";
    case 128:
        return "CP932";
    case 129:
        return "CP949";
    case 130:
        return "JOHAB";
    case 134:
        return "CP936";
    case 136:
        return "CP950";
    case 161:
        return "CP1253";
    case 162:
        return "CP1254";
    case 163:
        return "CP1258";
    case 177:
        return "CP1255";
    case 178:
        return "CP1256";
    case 186:
        return "CP1257";
    case 204:
        return "CP1251";
    case 222:
        return "CP874";
    case 238:
        return "CP1250";
    case 255:
        return "CP437";
    default:
        return "CP1252";
    }
}

} // namespace

char32_t SymbolToUnicode(uint8_t b) {
    if (b < 0x20) return b;
    const char16_t c = SymbolTable[b - 0x20];
    return c ? c : U'\uFFFD';
}

std::u32string DecodeText(const uint8_t* bytes, size_t n, int charset, bool symbolFace) {
    std::u32string out;
    if (symbolFace) {
        for (size_t i = 0; i < n; ++i)
            out += SymbolToUnicode(bytes[i]);
        return out;
    }
    if (charset == 2) {
        // Other symbol fonts keep their glyphs in the private-use page, as Windows maps them.
        for (size_t i = 0; i < n; ++i)
            out += bytes[i] < 0x20 ? bytes[i] : 0xF000 + bytes[i];
        return out;
    }
    iconv_t cd = iconv_open("UTF-32LE", CodePageOf(charset));
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (size_t i = 0; i < n; ++i)
            out += bytes[i];
        return out;
    }
    std::vector<char> in(bytes, bytes + n);
    char* ip = in.data();
    size_t left = n;
    std::vector<char> buf(4 * n + 16);
    while (left > 0) {
        char* op = buf.data();
        size_t room = buf.size();
        const size_t r = iconv(cd, &ip, &left, &op, &room);
        const size_t got = (buf.size() - room) / 4;
        for (size_t k = 0; k < got; ++k)
            out += static_cast<char32_t>(U32(reinterpret_cast<const uint8_t*>(buf.data()) + 4 * k));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG) continue;
            // An invalid or cut-off sequence: one replacement, then go on.
            out += U'\uFFFD';
            ++ip;
            --left;
        }
    }
    iconv_close(cd);
    return out;
}

namespace {
bool SingleByteCharset(int charset) {
    switch (charset) {
    case 0:
    case 1:
    case 161:
    case 162:
    case 163:
    case 177:
    case 178:
    case 186:
    case 204:
    case 222:
    case 238:
        return true;
    default:
        return false;
    }
}
} // namespace

std::string EncodeText(const std::u16string& units, int charset, bool& complete) {
    complete = true;
    std::string out;
    iconv_t cd = SingleByteCharset(charset) ? iconv_open(CodePageOf(charset), "UTF-16LE")
                                            : reinterpret_cast<iconv_t>(-1);
    for (char16_t c : units) {
        char byte = '?';
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            if (c < 0x100) byte = static_cast<char>(c);
        } else if (c < 0xD800 || c > 0xDFFF) {
            char in[2] = {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
            char result[4];
            char* ip = in;
            char* op = result;
            size_t left = 2, room = sizeof result;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &ip, &left, &op, &room) != static_cast<size_t>(-1) &&
                sizeof result - room == 1)
                byte = result[0];
        }
        if (byte == '?' && c != u'?') complete = false;
        out += byte;
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    return out;
}

int CharsetFor(const std::u16string& units) {
    for (int charset : {1, 238, 204, 161, 162, 186, 177, 178, 163, 222}) {
        bool complete = false;
        EncodeText(units, charset, complete);
        if (complete) return charset;
    }
    return 1;
}

} // namespace emf

namespace emf {

double TXform::Scale() const {
    return std::sqrt(std::abs(A * D - B * C));
}

void TMapState::PageScale(double& sx, double& sy) const {
    sx = 1;
    sy = 1;
    switch (Mode) {
    case MM_LOMETRIC:
        sx = 0.1 * PxPerMmX;
        sy = -0.1 * PxPerMmY;
        break;
    case MM_HIMETRIC:
        sx = 0.01 * PxPerMmX;
        sy = -0.01 * PxPerMmY;
        break;
    case MM_LOENGLISH:
        sx = 0.254 * PxPerMmX;
        sy = -0.254 * PxPerMmY;
        break;
    case MM_HIENGLISH:
        sx = 0.0254 * PxPerMmX;
        sy = -0.0254 * PxPerMmY;
        break;
    case MM_TWIPS:
        sx = 25.4 / 1440 * PxPerMmX;
        sy = -25.4 / 1440 * PxPerMmY;
        break;
    case MM_ISOTROPIC:
    case MM_ANISOTROPIC:
        sx = WeX != 0 ? VeX / WeX : 1;
        sy = WeY != 0 ? VeY / WeY : 1;
        if (Mode == MM_ISOTROPIC) {
            // The viewport shrinks on one axis so that both scale alike.
            const double m = std::min(std::abs(sx), std::abs(sy));
            sx = sx < 0 ? -m : m;
            sy = sy < 0 ? -m : m;
        }
        break;
    default:
        break;
    }
}

TXform TMapState::Page() const {
    double sx, sy;
    PageScale(sx, sy);
    TXform t;
    t.A = sx;
    t.D = sy;
    t.E = VoX - WoX * sx;
    t.F = VoY - WoY * sy;
    return t;
}

namespace {
TXform ReadXform(const TRecord& r, size_t at) {
    TXform x;
    x.A = r.F(at);
    x.B = r.F(at + 4);
    x.C = r.F(at + 8);
    x.D = r.F(at + 12);
    x.E = r.F(at + 16);
    x.F = r.F(at + 20);
    // A transform with non-finite entries would poison every coordinate: ignore it.
    for (double v : {x.A, x.B, x.C, x.D, x.E, x.F})
        if (!std::isfinite(v) || std::abs(v) > 1e12) return TXform{};
    return x;
}
} // namespace

bool TMapState::Apply(const TRecord& r) {
    switch (r.Type) {
    case EMR_SETMAPMODE: {
        const int m = r.I(8);
        if (m >= MM_TEXT && m <= MM_ANISOTROPIC) Mode = m;
        return true;
    }
    // Extents are kept whatever the mode (some writers set them before the
    // mode); they only take effect in the isotropic and anisotropic modes.
    case EMR_SETWINDOWEXTEX:
        if (r.I(8) != 0) WeX = r.I(8);
        if (r.I(12) != 0) WeY = r.I(12);
        return true;
    case EMR_SETVIEWPORTEXTEX:
        if (r.I(8) != 0) VeX = r.I(8);
        if (r.I(12) != 0) VeY = r.I(12);
        return true;
    case EMR_SETWINDOWORGEX:
        WoX = r.I(8);
        WoY = r.I(12);
        return true;
    case EMR_SETVIEWPORTORGEX:
        VoX = r.I(8);
        VoY = r.I(12);
        return true;
    case EMR_SCALEVIEWPORTEXTEX:
    case EMR_SCALEWINDOWEXTEX: {
        const double xn = r.I(8), xd = r.I(12), yn = r.I(16), yd = r.I(20);
        if (xd == 0 || yd == 0 || xn == 0 || yn == 0) return true;
        double& ex = r.Type == EMR_SCALEWINDOWEXTEX ? WeX : VeX;
        double& ey = r.Type == EMR_SCALEWINDOWEXTEX ? WeY : VeY;
        ex = ex * xn / xd;
        ey = ey * yn / yd;
        return true;
    }
    case EMR_SETWORLDTRANSFORM:
        if (r.Has(8, 24)) World = ReadXform(r, 8);
        return true;
    case EMR_MODIFYWORLDTRANSFORM: {
        if (!r.Has(8, 28)) return true;
        const TXform x = ReadXform(r, 8);
        switch (r.U(32)) {
        case 1:
            World = TXform{};
            break;
        case 2:
            World = x.Then(World);
            break;
        case 3:
            World = World.Then(x);
            break;
        case 4:
            World = x;
            break;
        default:
            break;
        }
        return true;
    }
    default:
        return false;
    }
}

} // namespace emf

namespace emf {

bool ReadBlitRecord(const TRecord& r, TBlitRecord& b) {
    b = TBlitRecord{};
    if (r.Type == EMR_STRETCHDIBITS || r.Type == EMR_SETDIBITSTODEVICE) {
        if (!r.Has(8, r.Type == EMR_STRETCHDIBITS ? 72 : 68)) return false;
        b.XDest = r.I(24);
        b.YDest = r.I(28);
        b.XSrc = r.I(32);
        b.YSrc = r.I(36);
        b.CxSrc = r.I(40);
        b.CySrc = r.I(44);
        b.OffBmi = r.U(48);
        b.CbBmi = r.U(52);
        b.OffBits = r.U(56);
        b.CbBits = r.U(60);
        b.Usage = r.U(64);
        if (r.Type == EMR_STRETCHDIBITS) {
            b.Rop = r.U(68);
            b.CxDest = r.I(72);
            b.CyDest = r.I(76);
        } else {
            b.CxDest = b.CxSrc;
            b.CyDest = b.CySrc;
        }
        b.DIBits = true;
        return true;
    }
    // BitBlt family: destination, rop, source origin, transform, colour, usage, bitmap.
    if (!r.Has(0, 100)) return false;
    b.XDest = r.I(24);
    b.YDest = r.I(28);
    b.CxDest = r.I(32);
    b.CyDest = r.I(36);
    b.Rop = r.U(40);
    b.XSrc = r.I(44);
    b.YSrc = r.I(48);
    b.Usage = r.U(80);
    b.OffBmi = r.U(84);
    b.CbBmi = r.U(88);
    b.OffBits = r.U(92);
    b.CbBits = r.U(96);
    b.CxSrc = b.CxDest;
    b.CySrc = b.CyDest;
    if (r.Type != EMR_BITBLT && r.Has(100, 8)) {
        b.CxSrc = r.I(100);
        b.CySrc = r.I(104);
    }
    if (r.Type == EMR_ALPHABLEND) {
        b.BlendFunction = b.Rop;
        b.Rop = SRCCOPY;
    } else if (r.Type == EMR_TRANSPARENTBLT) {
        b.TransparentColor = b.Rop & 0xFFFFFF;
        b.Rop = SRCCOPY;
    }
    return true;
}

} // namespace emf
