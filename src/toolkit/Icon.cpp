// SPDX-License-Identifier: GPL-3.0-or-later
#include "toolkit/Icon.h"

#include "base/Exceptions.h"
#include "toolkit/Canvas.h"
#include "toolkit/Picture.h"

#include <algorithm>
#include <cstring>
#include <memory>

TREVASCO_GRAPHIC_CLASS(TIcon, TGraphic)

namespace {

[[noreturn]] void Invalid() {
    throw EInvalidGraphic("Icon image is not valid");
}

uint16_t U16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint32_t B32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool IsPng(const uint8_t* p, size_t size) {
    return size >= 8 && std::memcmp(p, kPngSignature, 8) == 0;
}

bool IsIconHeaderSize(uint32_t hs) {
    return hs == 40 || hs == 52 || hs == 56 || hs == 108 || hs == 124;
}

// What an entry really holds: the directory's own size and depth bytes are
// often wrong (0 for 256 and beyond, hotspots in cursors), so the entry's
// header decides.
struct TEntryInfo {
    size_t Offset = 0;
    int64_t Width = 0, Height = 0;
    int Bits = 0;
    bool Png = false;
};

bool ProbeEntry(const uint8_t* data, size_t size, size_t offset, TEntryInfo& info) {
    if (offset >= size) return false;
    const uint8_t* e = data + offset;
    const size_t n = size - offset;
    info.Offset = offset;
    if (IsPng(e, n)) {
        // Signature, IHDR length and type, then width, height, depth, colour type.
        if (n < 26 || std::memcmp(e + 12, "IHDR", 4) != 0) return false;
        info.Png = true;
        info.Width = B32(e + 16);
        info.Height = B32(e + 20);
        if (info.Width > 0x7FFFFFFF || info.Height > 0x7FFFFFFF) return false; // beyond PNG's range
        static const int channels[7] = {1, 0, 3, 1, 2, 0, 4};
        const int ct = e[25];
        info.Bits = ct <= 6 ? e[24] * channels[ct] : 0;
        return info.Width > 0 && info.Height > 0;
    }
    if (n < 16 || !IsIconHeaderSize(U32(e))) return false;
    const int32_t w = static_cast<int32_t>(U32(e + 4)), h = static_cast<int32_t>(U32(e + 8));
    if (w <= 0 || h < 2) return false;
    info.Width = w;
    info.Height = h / 2; // XOR image and AND mask are counted together
    info.Bits = U16(e + 14);
    return true;
}

// Length of a PNG stream up to and including IEND, or 0 when it has none.
size_t PngLength(const uint8_t* p, size_t size) {
    size_t pos = 8;
    while (size - pos >= 12) {
        const uint64_t len = B32(p + pos);
        if (len > size - pos - 12) return 0;
        const bool end = std::memcmp(p + pos + 4, "IEND", 4) == 0;
        pos += 12 + static_cast<size_t>(len);
        if (end) return pos;
    }
    return 0;
}

} // namespace

TIcon::TIcon() {
    SetTransparent(true);
}

void TIcon::SetWidth(int) {
    throw EInvalidGraphicOperation("Cannot change the size of an icon");
}
void TIcon::SetHeight(int) {
    throw EInvalidGraphicOperation("Cannot change the size of an icon");
}

void TIcon::LoadFromStream(TStream& stream) {
    TMemoryStream m;
    m.LoadFromStream(stream);
    LoadFromMemory(m.Memory(), m.Data().size());
}

void TIcon::LoadFromMemory(const uint8_t* data, size_t size) {
    if (!data || size < 6 || U16(data) != 0) Invalid();
    const uint16_t type = U16(data + 2), count = U16(data + 4);
    if ((type != 1 && type != 2) || count == 0 || size - 6 < size_t(count) * 16) Invalid();

    // The largest entry, then the deepest; the first of equals.
    bool found = false;
    TEntryInfo best;
    for (int i = 0; i < count; ++i) {
        TEntryInfo info;
        if (!ProbeEntry(data, size, U32(data + 6 + 16 * i + 12), info)) continue;
        const int64_t area = info.Width * info.Height, bestArea = best.Width * best.Height;
        if (!found || area > bestArea || (area == bestArea && info.Bits > best.Bits)) {
            best = info;
            found = true;
        }
    }
    if (!found) Invalid();

    // Decode into a fresh icon so a failure leaves this one as it was.
    TIcon fresh;
    const uint8_t* entry = data + best.Offset;
    const size_t available = size - best.Offset; // directory byte counts are often wrong
    // The header's size is checked before any codec allocates for it.
    CheckRasterSize(best.Width, best.Height);
    if (best.Png)
        fresh.LoadPngEntry(entry, available);
    else
        fresh.LoadBmpEntry(entry, available);
    fresh.FBits = best.Bits;
    FImage = fresh.FImage;
    FMask = fresh.FMask;
    FHasAlpha = fresh.FHasAlpha;
    FBits = fresh.FBits;
    FEntryData = std::move(fresh.FEntryData);
}

void TIcon::LoadBmpEntry(const uint8_t* e, size_t n) {
    const uint32_t hs = U32(e);
    if (n < hs) Invalid();
    const int w = static_cast<int32_t>(U32(e + 4));
    const int h = static_cast<int32_t>(U32(e + 8)) / 2;
    const int bits = U16(e + 14);
    const uint32_t compression = U32(e + 16), clrUsed = U32(e + 32);
    CheckRasterSize(w, h);
    // Only plain pixels (or bit fields) leave the AND mask at a known place.
    if (compression != 0 && !(compression == 3 && (bits == 16 || bits == 32))) Invalid();

    // Let the bitmap reader decode the XOR image: a file header in front, the
    // height of the image alone, no stated image size (icons count the mask in).
    std::vector<uint8_t> file(14 + n, 0);
    file[0] = 'B';
    file[1] = 'M';
    std::memcpy(file.data() + 14, e, n);
    Put32(file.data() + 14 + 8, static_cast<uint32_t>(h));
    Put32(file.data() + 14 + 20, 0);
    try {
        LoadBitmapFile(FImage, file.data(), file.size());
    } catch (const EImageTooLarge&) {
        throw;
    } catch (const EInvalidGraphic&) {
        Invalid();
    }

    // Where the pixels and the mask are: the reader has checked all of this fits.
    size_t pos = hs + (compression == 3 && hs == 40 ? 12 : 0);
    if (bits <= 8)
        pos += 4 * static_cast<size_t>(clrUsed ? clrUsed : 1u << bits);
    else
        pos += 4 * static_cast<size_t>(clrUsed);
    const size_t stride = TBitmap::StrideOf(w, bits);
    const size_t maskPos = pos + stride * static_cast<size_t>(h);
    const size_t maskStride = TBitmap::StrideOf(w, 1);

    if (bits == 32 && compression == 0) {
        // Straight alpha in the fourth byte; all zero means the mask rules.
        bool any = false;
        for (int r = 0; r < h && !any; ++r) {
            const uint8_t* row = e + pos + static_cast<size_t>(r) * stride;
            for (int x = 0; x < w; ++x)
                if (row[4 * x + 3]) {
                    any = true;
                    break;
                }
        }
        if (any) {
            for (int r = 0; r < h; ++r) {
                const uint8_t* row = e + pos + static_cast<size_t>(r) * stride;
                uint8_t* dst = FImage.ScanLine(h - 1 - r);
                for (int x = 0; x < w; ++x)
                    dst[4 * x + 3] = row[4 * x + 3];
            }
            FHasAlpha = true;
        }
    }

    if (!FHasAlpha && bits == 32 && !FImage.AlphaChannel().empty()) {
        // Alpha from a bit-field mask.
        const std::vector<uint8_t> alpha = FImage.AlphaChannel();
        for (int y = 0; y < h; ++y) {
            uint8_t* dst = FImage.ScanLine(y);
            for (int x = 0; x < w; ++x)
                dst[4 * x + 3] = alpha[static_cast<size_t>(y) * w + x];
        }
        FHasAlpha = true;
    }

    // The AND mask: 1-bit rows, bottom-up. A file cut inside the mask keeps
    // its picture, drawn opaque.
    FMask = TBitmap(w, h, pf1bit);
    FMask.SetPalette(MonochromePalette());
    const bool haveMask = maskPos <= n && (n - maskPos) / maskStride >= static_cast<size_t>(h);
    for (int r = 0; r < h; ++r) {
        uint8_t* dst = FMask.ScanLine(h - 1 - r);
        if (haveMask)
            std::memcpy(dst, e + maskPos + static_cast<size_t>(r) * maskStride, maskStride);
        else
            std::memset(dst, 0, maskStride);
    }
    // The reader accepts a last row without its padding, so maskPos may lie past the end.
    const size_t used =
        haveMask ? maskPos + maskStride * static_cast<size_t>(h) : std::min(maskPos, n);
    FEntryData.assign(e, e + used);
}

void TIcon::LoadPngEntry(const uint8_t* e, size_t n) {
    const TGraphicClass cls = TPicture::ClassForExtension("png");
    if (!cls || !cls->Create) throw EInvalidGraphic("PNG-compressed icons are not supported");
    const size_t length = PngLength(e, n);
    const size_t used = length ? length : n;
    std::unique_ptr<TGraphic> graphic = cls->Create();
    TReadOnlyMemoryStream stream(e, used);
    graphic->LoadFromStream(stream);
    const TBitmap* png = dynamic_cast<const TBitmap*>(graphic.get());
    if (!png) throw EInvalidGraphic("PNG-compressed icons are not supported");
    const int w = png->Width(), h = png->Height();
    if (w <= 0 || h <= 0) Invalid();
    CheckRasterSize(w, h);
    FImage = TBitmap(w, h, pf32bit);
    const std::vector<uint8_t>& alpha = png->AlphaChannel();
    const bool haveAlpha = alpha.size() == static_cast<size_t>(w) * h;
    for (int y = 0; y < h; ++y) {
        uint8_t* row = FImage.ScanLine(y);
        png->GetRowBGRX(y, row);
        for (int x = 0; x < w; ++x)
            row[4 * x + 3] = haveAlpha ? alpha[static_cast<size_t>(y) * w + x] : 255;
    }
    FMask = TBitmap();
    FHasAlpha = true;
    FEntryData.assign(e, e + used);
}

void TIcon::SaveToStream(TStream& stream) {
    if (FEntryData.empty()) throw EInvalidGraphicOperation("Cannot save an empty icon");
    uint8_t head[22] = {0, 0, 1, 0, 1, 0};
    const int w = Width(), h = Height();
    head[6] = static_cast<uint8_t>(w >= 256 ? 0 : w);
    head[7] = static_cast<uint8_t>(h >= 256 ? 0 : h);
    head[8] = static_cast<uint8_t>(FBits > 0 && FBits < 8 ? 1 << FBits : 0);
    head[10] = 1; // planes
    head[12] = static_cast<uint8_t>(FBits);
    head[13] = static_cast<uint8_t>(FBits >> 8);
    Put32(head + 14, static_cast<uint32_t>(FEntryData.size()));
    Put32(head + 18, 22);
    stream.WriteBuffer(head, sizeof head);
    stream.WriteBuffer(FEntryData.data(), FEntryData.size());
}

void TIcon::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* icon = dynamic_cast<const TIcon*>(&source)) {
        FImage = icon->FImage;
        FMask = icon->FMask;
        FHasAlpha = icon->FHasAlpha;
        FBits = icon->FBits;
        FEntryData = icon->FEntryData;
        return;
    }
    TGraphic::Assign(source);
}

void TIcon::Draw(TCanvas& canvas, const TRect& rect) {
    if (Empty()) return;
    if (FHasAlpha)
        canvas.StretchBitmapAlpha(rect, FImage);
    else
        canvas.StretchBitmapAndXor(rect, FImage, FMask);
}
