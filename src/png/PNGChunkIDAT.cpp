// SPDX-License-Identifier: GPL-3.0-or-later
// TChunkIDAT: decoding the image data into the bitmap after a load, and
// filtering and compressing the bitmap into it on a save.
#include "png/PNGChunks.h"
#include "png/PNGDeflate.h"
#include "png/PNGImage.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

const char* const DrawingMessage = "Drawing...";

struct TAdam7Pass {
    int Row, Column, RowStep, ColumnStep;
};
constexpr TAdam7Pass Adam7[7] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                                 {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};

// Pairs of colour type and bit depth the PNG standard allows.
bool ValidFormat(int colorType, int depth) {
    switch (colorType) {
    case ctGreyscale:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case ctPalette:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case ctRGB:
    case ctGreyAlpha:
    case ctRGBAlpha:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

int SamplesOf(int colorType) {
    switch (colorType) {
    case ctRGB:
        return 3;
    case ctGreyAlpha:
        return 2;
    case ctRGBAlpha:
        return 4;
    default:
        return 1;
    }
}

// Everything the row conversion needs, fixed once per image.
struct TRowDecoder {
    int ColorType = 0, Depth = 0, Samples = 1;
    int BitmapBits = 8;
    uint8_t Gamma[256];
    bool HasGamma = false;
    // Each input byte of four 2-bit samples as two bytes of 4-bit values 5 × v.
    uint8_t Spread2[256][2];
    // Alpha: per palette index, and the full-depth colour key of grey and truecolour.
    bool WantAlpha = false;
    uint8_t PaletteAlpha[256];
    bool HasKey = false;
    uint16_t Key[3] = {};

    size_t RowLength(int64_t width) const {
        if (ColorType == ctGreyscale || ColorType == ctPalette)
            return static_cast<size_t>((Depth * width + 7) / 8);
        return static_cast<size_t>(Samples * Depth * width / 8);
    }

    // Converts a decoded row of w pixels into the bitmap's packed format.
    void Convert(const uint8_t* src, int w, uint8_t* dst) const {
        const int step = Depth == 16 ? 2 : 1; // bytes per sample; its first is the high byte
        switch (ColorType) {
        case ctGreyscale:
        case ctPalette:
            if (Depth == 2) {
                // Output stops at the 4-bit row's own length (w + 1) / 2.
                const size_t out = (static_cast<size_t>(w) + 1) / 2;
                for (size_t i = 0; i < out / 2; ++i) {
                    dst[2 * i] = Spread2[src[i]][0];
                    dst[2 * i + 1] = Spread2[src[i]][1];
                }
                if (out % 2) dst[out - 1] = Spread2[src[out / 2]][0];
            } else if (Depth == 16) {
                for (int x = 0; x < w; ++x)
                    dst[x] = src[2 * x];
            } else {
                std::memcpy(dst, src, RowLength(w));
            }
            break;
        case ctGreyAlpha:
            for (int x = 0; x < w; ++x)
                dst[x] = src[2 * step * x];
            break;
        case ctRGB:
        case ctRGBAlpha: {
            const int pixel = Samples * step;
            if (!HasGamma) {
                for (int x = 0; x < w; ++x, src += pixel, dst += 3) {
                    dst[0] = src[2 * step];
                    dst[1] = src[step];
                    dst[2] = src[0];
                }
                break;
            }
            for (int x = 0; x < w; ++x, src += pixel, dst += 3) {
                dst[0] = Gamma[src[2 * step]];
                dst[1] = Gamma[src[step]];
                dst[2] = Gamma[src[0]];
            }
            break;
        }
        }
    }

    // Alpha of w pixels of a decoded row (255 opaque); returns whether any is below 255.
    bool Alpha(const uint8_t* src, int w, uint8_t* alpha) const {
        unsigned all = 255;
        switch (ColorType) {
        case ctPalette:
            for (int x = 0; x < w; ++x) {
                int bit = x * Depth;
                int index = (src[bit >> 3] >> (8 - Depth - (bit & 7))) & ((1 << Depth) - 1);
                alpha[x] = PaletteAlpha[index];
                all &= alpha[x];
            }
            break;
        case ctGreyscale:
            for (int x = 0; x < w; ++x) {
                unsigned v;
                if (Depth == 16) {
                    v = (src[2 * x] << 8) | src[2 * x + 1];
                } else {
                    int bit = x * Depth;
                    v = (src[bit >> 3] >> (8 - Depth - (bit & 7))) & ((1 << Depth) - 1);
                }
                alpha[x] = v == Key[0] ? 0 : 255;
                all &= alpha[x];
            }
            break;
        case ctRGB:
            for (int x = 0; x < w; ++x) {
                bool match;
                if (Depth == 16) {
                    const uint8_t* p = src + 6 * x;
                    match = ((p[0] << 8) | p[1]) == Key[0] && ((p[2] << 8) | p[3]) == Key[1] &&
                            ((p[4] << 8) | p[5]) == Key[2];
                } else {
                    const uint8_t* p = src + 3 * x;
                    match = p[0] == Key[0] && p[1] == Key[1] && p[2] == Key[2];
                }
                alpha[x] = match ? 0 : 255;
                all &= alpha[x];
            }
            break;
        case ctGreyAlpha:
        case ctRGBAlpha: {
            const int step = Depth == 16 ? 2 : 1;
            const int pixel = Samples * step;
            const int at = (Samples - 1) * step;
            for (int x = 0; x < w; ++x) {
                alpha[x] = src[pixel * x + at];
                all &= alpha[x];
            }
            break;
        }
        }
        return all != 255;
    }
};

uint8_t GetPacked(const uint8_t* row, int x, int bits) {
    if (bits == 8) return row[x];
    int bit = x * bits;
    return static_cast<uint8_t>((row[bit >> 3] >> (8 - bits - (bit & 7))) & ((1 << bits) - 1));
}

void SetPacked(uint8_t* row, int x, int bits, uint8_t v) {
    if (bits == 8) {
        row[x] = v;
        return;
    }
    int bit = x * bits;
    int shift = 8 - bits - (bit & 7);
    uint8_t mask = static_cast<uint8_t>(((1 << bits) - 1) << shift);
    row[bit >> 3] = static_cast<uint8_t>((row[bit >> 3] & ~mask) | ((v << shift) & mask));
}

} // namespace

void TChunkIDAT::AfterLoad() {
    TPNGImage& image = Image();
    // Loaded lists hold one IDAT; any other one carries no image of its own.
    if (Owner().Find<TChunkIDAT>() != this) return;
    const auto* header = Owner().Find<TChunkIHDR>();
    if (!header || !header->Valid()) RaisePNGError(PNGMessages::InvalidIHDR);

    TRowDecoder dec;
    dec.ColorType = header->ColorType();
    dec.Depth = header->BitDepth();
    if (!ValidFormat(dec.ColorType, dec.Depth)) RaisePNGError(PNGMessages::UnknownColorType);
    dec.Samples = SamplesOf(dec.ColorType);
    const uint32_t width32 = header->Width(), height32 = header->Height();
    if (width32 == 0 || height32 == 0 || width32 > INT_MAX || height32 > INT_MAX)
        RaisePNGError(PNGMessages::InvalidSize);
    const int W = static_cast<int>(width32), H = static_cast<int>(height32);
    CheckRasterSize(W, H);
    const size_t bpp = std::max(1, dec.ColorType == ctPalette ? 1 : dec.Samples * dec.Depth / 8);

    const TChunkGAMA* gamma = image.ActiveGamma();
    dec.HasGamma = gamma != nullptr;
    for (int i = 0; i < 256; ++i)
        dec.Gamma[i] = gamma ? gamma->GammaLookup[i] : static_cast<uint8_t>(i);

    // Pixel format and palette.
    TPixelFormat format = pf24bit;
    TPalette palette;
    const int depth = dec.Depth;
    if (dec.ColorType == ctGreyscale || dec.ColorType == ctGreyAlpha) {
        const int levels = depth == 16 ? 256 : 1 << depth;
        format = depth == 1 ? pf1bit : depth <= 4 ? pf4bit : pf8bit;
        palette.SetCount(depth == 2 ? 16 : levels);
        for (int i = 0; i < levels; ++i) {
            // i × 255 / (levels − 1) is a whole number for 2, 4, 16 and 256 levels.
            uint8_t v = dec.Gamma[i * 255 / (levels - 1)];
            palette.Set(depth == 2 ? 5 * i : i, v, v, v);
        }
    } else if (dec.ColorType == ctPalette) {
        const TChunkPLTE* plte = Owner().Find<TChunkPLTE>();
        if (!plte) RaisePNGError(PNGMessages::MissingPalette);
        const std::vector<uint8_t>& p = plte->Data();
        if (p.empty() || p.size() % 3 != 0 || p.size() > 768)
            RaisePNGError(PNGMessages::InvalidPalette);
        const int count = static_cast<int>(p.size() / 3);
        format = depth == 1 ? pf1bit : depth <= 4 ? pf4bit : pf8bit;
        if (depth == 2) {
            // Only indexes 0..3 occur; they are stored as 0, 5, 10 and 15.
            palette.SetCount(16);
            for (int i = 0; i < std::min(count, 4); ++i)
                palette.Set(5 * i, dec.Gamma[p[3 * i]], dec.Gamma[p[3 * i + 1]],
                            dec.Gamma[p[3 * i + 2]]);
        } else {
            palette.SetCount(count);
            for (int i = 0; i < count; ++i)
                palette.Set(i, dec.Gamma[p[3 * i]], dec.Gamma[p[3 * i + 1]],
                            dec.Gamma[p[3 * i + 2]]);
        }
    }
    dec.BitmapBits = TBitmap::BitsOf(format);
    if (depth == 2)
        for (int b = 0; b < 256; ++b) {
            dec.Spread2[b][0] = static_cast<uint8_t>((5 * (b >> 6) << 4) | (5 * ((b >> 4) & 3)));
            dec.Spread2[b][1] = static_cast<uint8_t>((5 * ((b >> 2) & 3) << 4) | (5 * (b & 3)));
        }

    // Alpha: the alpha samples, or a tRNS chunk (palette alphas or a colour key).
    if (dec.ColorType == ctGreyAlpha || dec.ColorType == ctRGBAlpha) {
        dec.WantAlpha = true;
    } else if (const TChunkTRNS* trns = Owner().Find<TChunkTRNS>()) {
        const std::vector<uint8_t>& t = trns->Data();
        if (dec.ColorType == ctPalette && !t.empty()) {
            dec.WantAlpha = true;
            std::fill(std::begin(dec.PaletteAlpha), std::end(dec.PaletteAlpha), 255);
            std::copy(t.begin(), t.begin() + std::min<size_t>(t.size(), 256), dec.PaletteAlpha);
        } else if (dec.ColorType == ctGreyscale && t.size() >= 2) {
            dec.WantAlpha = true;
            dec.Key[0] = static_cast<uint16_t>((t[0] << 8) | t[1]);
        } else if (dec.ColorType == ctRGB && t.size() >= 6) {
            dec.WantAlpha = true;
            for (int i = 0; i < 3; ++i)
                dec.Key[i] = static_cast<uint16_t>((t[2 * i] << 8) | t[2 * i + 1]);
        }
    }

    const uint8_t interlace = header->InterlaceMethod();
    if (interlace > 1) RaisePNGError(PNGMessages::UnknownInterlace);

    // Deflate expands at most about 1032 to 1: data that cannot hold every
    // row fails here, before a raster as large as the header claims is allocated.
    uint64_t needed = 0;
    if (interlace == 0) {
        needed = static_cast<uint64_t>(H) * (dec.RowLength(W) + 1);
    } else {
        for (const TAdam7Pass& p : Adam7) {
            const int columns = W > p.Column ? (W - p.Column + p.ColumnStep - 1) / p.ColumnStep : 0;
            const int rows = H > p.Row ? (H - p.Row + p.RowStep - 1) / p.RowStep : 0;
            if (columns > 0 && rows > 0)
                needed += static_cast<uint64_t>(rows) * (dec.RowLength(columns) + 1);
        }
    }
    CheckDataCanHold(Data().size() + 16, needed, 1032, W, H);

    image.AllocateRaster(W, H, format);
    image.SetPalette(palette);

    const size_t L = dec.RowLength(W);
    // Two row buffers that trade places, each with the filter byte in front.
    std::vector<uint8_t> currentBuffer(L + 1), priorBuffer(L + 1, 0);
    uint8_t* current = currentBuffer.data();
    uint8_t* prior = priorBuffer.data() + 1;
    std::vector<uint8_t> alpha, alphaRow;
    bool anyAlpha = false;
    if (dec.WantAlpha) {
        alpha.resize(static_cast<size_t>(W) * H);
        alphaRow.resize(W);
    }
    const bool progress = image.HasProgressHandler();
    TPNGInflater inflater(Data().data(), Data().size(), static_cast<size_t>(needed));

    if (interlace == 0) {
        for (int y = 0; y < H; ++y) {
            inflater.Read(current, L + 1);
            uint8_t* row = current + 1;
            UnfilterRow(current[0], row, prior, L, bpp);
            dec.Convert(row, W, image.ScanLine(y));
            if (dec.WantAlpha)
                anyAlpha |= dec.Alpha(row, W, alpha.data() + static_cast<size_t>(y) * W);
            current = prior - 1;
            prior = row;
            if (progress)
                image.ReportProgress(psRunning, static_cast<uint8_t>(int64_t(y) * 100 / H),
                                     DrawingMessage);
        }
    } else {
        // The bitmap row of one pass, before its pixels are spread over the scan line.
        std::vector<uint8_t> packed(TBitmap::StrideOf(W, dec.BitmapBits) + 8);
        for (int pass = 0; pass < 7; ++pass) {
            const TAdam7Pass& p = Adam7[pass];
            const int columns = W > p.Column ? (W - p.Column + p.ColumnStep - 1) / p.ColumnStep : 0;
            if (columns > 0 && H > p.Row) {
                const size_t passLength = dec.RowLength(columns);
                std::memset(prior, 0, passLength);
                for (int y = p.Row; y < H; y += p.RowStep) {
                    inflater.Read(current, passLength + 1);
                    uint8_t* row = current + 1;
                    UnfilterRow(current[0], row, prior, passLength, bpp);
                    dec.Convert(row, columns, packed.data());
                    uint8_t* scan = image.ScanLine(y);
                    if (dec.BitmapBits == 24) {
                        for (int j = 0; j < columns; ++j)
                            std::memcpy(scan + 3 * (p.Column + j * p.ColumnStep),
                                        packed.data() + 3 * j, 3);
                    } else {
                        for (int j = 0; j < columns; ++j)
                            SetPacked(scan, p.Column + j * p.ColumnStep, dec.BitmapBits,
                                      GetPacked(packed.data(), j, dec.BitmapBits));
                    }
                    if (dec.WantAlpha && dec.Alpha(row, columns, alphaRow.data())) {
                        anyAlpha = true;
                        uint8_t* a = alpha.data() + static_cast<size_t>(y) * W;
                        for (int j = 0; j < columns; ++j)
                            a[p.Column + j * p.ColumnStep] = alphaRow[j];
                    } else if (dec.WantAlpha) {
                        uint8_t* a = alpha.data() + static_cast<size_t>(y) * W;
                        for (int j = 0; j < columns; ++j)
                            a[p.Column + j * p.ColumnStep] = 255;
                    }
                    current = prior - 1;
                    prior = row;
                }
            }
            if (progress)
                image.ReportProgress(psRunning, static_cast<uint8_t>(100 * pass / 6),
                                     DrawingMessage);
        }
    }
    inflater.Finish();
    if (anyAlpha) image.SetAlphaChannel(std::move(alpha));
}

void TChunkIDAT::WriteChunk(TStream& stream) {
    // The whole image goes into the first IDAT; a second one would start a second stream.
    if (Owner().Find<TChunkIDAT>() != this) return;
    TPNGImage& image = Image();
    image.FInterlaced = false;
    const int W = image.Width(), H = image.Height();
    if (W <= 0 || H <= 0) RaisePNGError(PNGMessages::EmptyImage);
    // The layout follows the bitmap exactly as IHDR described it: palette
    // rows as they are, everything else as 8-bit RGB.
    const bool indexed = image.IsIndexed();
    const int bits = image.BitsPerPixel();
    if (!indexed && bits != 24 && bits != 32) image.SetPixelFormat(pf24bit);
    // Alpha goes with truecolour rows only, when some pixel is not opaque.
    const uint8_t alphaType = indexed ? 0 : image.AlphaColorType();
    // Or a colour key in place of the transparent pixels.
    const int64_t key = indexed || alphaType ? -1 : image.TransparentKey();
    const bool keyGrey = key >= 0 && image.KeyIsGrey();
    const size_t channels = alphaType == ctRGBAlpha    ? 4
                            : alphaType == ctGreyAlpha ? 2
                            : keyGrey                  ? 1
                                                       : 3;
    const size_t L =
        indexed ? (static_cast<size_t>(bits) * W + 7) / 8 : channels * static_cast<size_t>(W);
    const size_t bpp = indexed ? 1 : channels;
    const TChunkGAMA* gamma = image.ActiveGamma();

    TPNGDeflater deflater(Data(), (L + 1) * static_cast<size_t>(H));
    TPNGRowFilter filter(L, bpp, image.Filters());
    const int pixelBytes = image.BitsPerPixel() / 8;
    for (int y = 0; y < H; ++y) {
        uint8_t* raw = filter.RawRow();
        const uint8_t* scan = image.ScanLine(y);
        if (indexed) {
            std::memcpy(raw, scan, L);
        } else if (key >= 0) {
            // Neither a gamma table nor another key colour applies here (see ChooseAlphaLayout).
            const uint8_t* a = image.AlphaChannel().data() + static_cast<size_t>(y) * W;
            const uint8_t kr = static_cast<uint8_t>(key >> 16), kg = static_cast<uint8_t>(key >> 8),
                          kb = static_cast<uint8_t>(key);
            for (int x = 0; x < W; ++x, scan += pixelBytes) {
                const bool clear = a[x] == 0;
                if (keyGrey) {
                    *raw++ = clear ? kb : scan[0];
                } else {
                    *raw++ = clear ? kr : scan[2];
                    *raw++ = clear ? kg : scan[1];
                    *raw++ = clear ? kb : scan[0];
                }
            }
        } else if (alphaType) {
            const uint8_t* a = image.AlphaChannel().data() + static_cast<size_t>(y) * W;
            const uint8_t* inv = gamma ? gamma->InverseGammaLookup.data() : nullptr;
            for (int x = 0; x < W; ++x, scan += pixelBytes) {
                if (alphaType == 4) {
                    *raw++ = inv ? inv[scan[0]] : scan[0];
                } else {
                    *raw++ = inv ? inv[scan[2]] : scan[2];
                    *raw++ = inv ? inv[scan[1]] : scan[1];
                    *raw++ = inv ? inv[scan[0]] : scan[0];
                }
                *raw++ = a[x];
            }
        } else if (gamma) {
            const uint8_t* inv = gamma->InverseGammaLookup.data();
            for (int x = 0; x < W; ++x, scan += pixelBytes, raw += 3) {
                raw[0] = inv[scan[2]];
                raw[1] = inv[scan[1]];
                raw[2] = inv[scan[0]];
            }
        } else if (pixelBytes == 4) {
            for (int x = 0; x < W; ++x, scan += 4, raw += 3) {
                raw[0] = scan[2];
                raw[1] = scan[1];
                raw[2] = scan[0];
            }
        } else {
            for (int x = 0; x < W; ++x, scan += 3, raw += 3) {
                raw[0] = scan[2];
                raw[1] = scan[1];
                raw[2] = scan[0];
            }
        }
        deflater.Write(filter.Next(), L + 1);
    }
    deflater.Finish();
    TChunk::WriteChunk(stream);
}
