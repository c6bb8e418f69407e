// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/GIFFrame.h"

#include "gif/ColorReduction.h"
#include "gif/GIFImage.h"
#include "gif/LZWDecoder.h"
#include "gif/LZWEncoder.h"

#include <algorithm>
#include <cstring>
#include <limits>

TGIFFrame::TGIFFrame(TGIFImage& image) : FImage(image), FColorMap(*this) {}

TGIFFrame::~TGIFFrame() {
    FGCE = nullptr;
    FExtensions.clear();
}

TGIFColorMap& TGIFFrame::ActiveColorMap() {
    if (FColorMap.Count() > 0) return FColorMap;
    if (FImage.GlobalColorMap().Count() > 0) return FImage.GlobalColorMap();
    return FColorMap;
}

const TGIFColorMap& TGIFFrame::ActiveColorMap() const {
    return const_cast<TGIFFrame*>(this)->ActiveColorMap();
}

void TGIFFrame::Changed() {
    FBitmap.reset();
    FMask.reset();
    FImage.Changed();
}

void TGIFFrame::SetBounds(int left, int top, int width, int height) {
    if (left < 0 || top < 0 || width < 0 || height < 0 || left + width > 65535 ||
        top + height > 65535)
        throw GIFException("Invalid image size");
    FLeft = left;
    FTop = top;
    if (width != FWidth || height != FHeight || (FData.empty() && width > 0 && height > 0)) {
        FBitmap.reset();
        FMask.reset();
        FData.clear();
        FData.shrink_to_fit();
        if (width > 0 && height > 0) {
            CheckRasterSize(width, height);
            FData.assign(static_cast<size_t>(width) * height,
                         Transparent() ? static_cast<uint8_t>(FGCE->TransparentColorIndex()) : 0);
        }
        FWidth = width;
        FHeight = height;
    }
    FImage.CoverFrame(*this);
}

uint8_t* TGIFFrame::ScanLine(int y) {
    if (y < 0 || y >= FHeight) throw GIFException("Invalid pixel coordinates");
    if (FData.empty()) {
        if (FWidth == 0 || FHeight == 0) throw GIFException("Image is empty");
        CheckRasterSize(FWidth, FHeight);
        FData.assign(static_cast<size_t>(FWidth) * FHeight, 0);
    }
    return FData.data() + static_cast<size_t>(y) * FWidth;
}

uint8_t TGIFFrame::Pixel(int x, int y) {
    if (x < 0 || x >= FWidth) throw GIFException("Invalid pixel coordinates");
    return ScanLine(y)[x];
}

void TGIFFrame::SetPixel(int x, int y, uint8_t value) {
    if (x < 0 || x >= FWidth) throw GIFException("Invalid pixel coordinates");
    ScanLine(y)[x] = value;
    Changed();
}

TGIFExtension& TGIFFrame::AddExtension(std::unique_ptr<TGIFExtension> extension) {
    TGIFExtension& e = *extension;
    FExtensions.push_back(std::move(extension));
    if (auto* gce = dynamic_cast<TGIFGraphicControlExtension*>(&e)) {
        if (FGCE)
            FImage.Warning(1, "Frame contains multiple Graphic Control Extension blocks");
        else
            FGCE = gce;
    }
    Changed();
    return e;
}

void TGIFFrame::RemoveExtension(TGIFExtension& extension) {
    if (&extension == FGCE) FGCE = nullptr;
    auto it = std::find_if(FExtensions.begin(), FExtensions.end(),
                           [&](const auto& p) { return p.get() == &extension; });
    if (it != FExtensions.end()) FExtensions.erase(it);
    Changed();
}

int TGIFFrame::Version() const {
    return FColorMap.Optimized() || !FExtensions.empty() ? gv89a : gv87a;
}

void TGIFFrame::Clear() {
    FGCE = nullptr;
    FExtensions.clear();
    FColorMap.Clear();
    FData.clear();
    FData.shrink_to_fit();
    FLeft = FTop = FWidth = FHeight = 0;
    Packed = 0;
    Changed();
}

void TGIFFrame::RemapPixels(const std::array<uint8_t, 256>& newIndex) {
    for (uint8_t& v : FData)
        v = newIndex[v];
    if (FGCE)
        FGCE->SetRawTransparentIndex(newIndex[static_cast<uint8_t>(FGCE->TransparentColorIndex())]);
    Changed();
}

void TGIFFrame::Progress(int stage, int percent) {
    FImage.ReportProgress(static_cast<TProgressStage>(stage), percent, "Converting");
}

// Frame from a raster

void TGIFFrame::ReadIndexedRows(const TBitmap& raster) {
    const int bits = raster.BitsPerPixel();
    FColorMap.ImportPalette(raster.Palette());
    for (int y = 0; y < FHeight; ++y) {
        const uint8_t* src = raster.ScanLine(y);
        uint8_t* dst = FData.data() + static_cast<size_t>(y) * FWidth;
        if (bits == 8) {
            std::memcpy(dst, src, static_cast<size_t>(FWidth));
        } else if (bits == 4) {
            for (int x = 0; x < FWidth; ++x)
                dst[x] = (x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4);
        } else {
            for (int x = 0; x < FWidth; ++x)
                dst[x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        }
        if ((y & 31) == 0) Progress(psRunning, static_cast<int>(int64_t(y) * 100 / FHeight));
    }
    // Values past the colour table would make the file unwritable.
    const int count = FColorMap.Count();
    if (count < 256) {
        bool invalid = false;
        for (uint8_t& v : FData)
            if (v >= count) {
                v = 0;
                invalid = true;
            }
        if (invalid) FImage.Warning(1, "Bitmap image is not valid");
    }
}

void TGIFFrame::ReadTrueColorRows(const TBitmap& raster) {
    // An 8-slot cache of recent colours in front of the colour map search.
    uint32_t cacheColor[8];
    int cacheIndex[8];
    bool cacheUsed[8] = {};
    int last = 0;
    std::vector<uint8_t> row(static_cast<size_t>(FWidth) * 4);
    FColorMap.Clear();
    for (int y = 0; y < FHeight; ++y) {
        raster.GetRowBGRX(y, row.data());
        uint8_t* dst = FData.data() + static_cast<size_t>(y) * FWidth;
        for (int x = 0; x < FWidth; ++x) {
            const uint8_t* p = &row[static_cast<size_t>(x) * 4];
            const uint32_t color = p[0] | (p[1] << 8) | (p[2] << 16);
            int slot = last, hit = -1;
            for (int n = 0; n < 8 && cacheUsed[slot]; ++n) {
                if (cacheColor[slot] == color) {
                    hit = slot;
                    break;
                }
                slot = slot == 0 ? 7 : slot - 1;
            }
            if (hit >= 0) {
                dst[x] = static_cast<uint8_t>(cacheIndex[hit]);
                last = hit;
            } else {
                const TGIFColor c{p[2], p[1], p[0]};
                // Only a picture kept in its own colours gets here: say why it
                // cannot be, and what does work, rather than "Color table overflow".
                if (FColorMap.Count() >= 256 && FColorMap.IndexOf(c) < 0)
                    throw GIFException(
                        "The picture has more than 256 colours, the most a GIF holds: choose a "
                        "colour reduction such as optimal (or web216, gray256) instead of none.");
                const int index = FColorMap.AddUnique(c);
                dst[x] = static_cast<uint8_t>(index);
                last = (last + 1) & 7;
                cacheColor[last] = color;
                cacheIndex[last] = index;
                cacheUsed[last] = true;
            }
        }
        if ((y & 31) == 0) Progress(psRunning, static_cast<int>(int64_t(y) * 100 / FHeight));
    }
}

void TGIFFrame::ApplyMask(const std::vector<uint8_t>& mask) {
    FColorMap.Optimize();
    const int n = FColorMap.Count();
    if (n < 1) return;
    int t;
    if (n <= 255) {
        t = FColorMap.Add(TGIFColor{0, 0, 0});
    } else {
        // A full map gives up its least used entry (the last after the
        // optimisation) for the transparent index: its pixels take the
        // nearest remaining colour.
        t = 255;
        const TGIFColor gone = FColorMap.Color(t);
        int nearest = 0;
        int64_t best = std::numeric_limits<int64_t>::max();
        for (int i = 0; i < t; ++i) {
            const TGIFColor c = FColorMap.Color(i);
            const int64_t dr = c.Red - gone.Red, dg = c.Green - gone.Green, db = c.Blue - gone.Blue;
            const int64_t d = dr * dr + dg * dg + db * db;
            if (d < best) {
                best = d;
                nearest = i;
            }
        }
        const size_t covered = std::min(mask.size(), FData.size());
        if (std::none_of(mask.begin(), mask.begin() + static_cast<ptrdiff_t>(covered),
                         [](uint8_t m) { return m != 0; }))
            return;
        for (size_t i = 0; i < FData.size(); ++i)
            if (FData[i] == t && !(i < covered && mask[i]))
                FData[i] = static_cast<uint8_t>(nearest);
        FColorMap.SetColor(t, TGIFColor{0, 0, 0});
    }
    bool any = false;
    const size_t count = std::min(mask.size(), FData.size());
    for (size_t i = 0; i < count; ++i)
        if (mask[i]) {
            FData[i] = static_cast<uint8_t>(t);
            any = true;
        }
    if (!any) {
        FColorMap.Delete(t);
        return;
    }
    TGIFGraphicControlExtension* gce = FGCE ? FGCE : &AddExtension<TGIFGraphicControlExtension>();
    gce->Packed |= 0x01;
    gce->SetRawTransparentIndex(static_cast<uint8_t>(t));
    Changed();
}

void TGIFFrame::AssignBitmap(const TBitmap& source) {
    Clear();
    if (source.Empty()) return;
    SetBounds(0, 0, source.Width(), source.Height());
    const int bits = source.BitsPerPixel();
    std::unique_ptr<TBitmap> reduced;
    const TBitmap* raster = &source;
    if (bits > 8) {
        const int method = FImage.ColorReduction;
        reduced = ReduceColors(source, method, FImage.DitherMethod,
                               method == ReduceGivenPalette ? &source.Palette() : nullptr,
                               FImage.PaletteBits);
        // An unknown method or ditherer leaves nothing to convert.
        if (reduced->Width() != source.Width() || reduced->Height() != source.Height())
            throw GIFException("Unsupported color reduction method");
        raster = reduced.get();
    }
    Progress(psStarting, 0);
    try {
        if (raster->BitsPerPixel() <= 8)
            ReadIndexedRows(*raster);
        else
            ReadTrueColorRows(*raster);

        // Pixels a conversion marked transparent in the alpha plane (0 there).
        const std::vector<uint8_t>& plane = source.AlphaChannel();
        if (bits > 8 && plane.size() == FData.size() && !plane.empty()) {
            std::vector<uint8_t> mask(plane.size());
            for (size_t i = 0; i < plane.size(); ++i)
                mask[i] = plane[i] < 128;
            ApplyMask(mask);
        } else if (source.Transparent()) {
            const TColor tc = source.TransparentColor();
            const TGIFColor color{GetRValue(tc), GetGValue(tc), GetBValue(tc)};
            if (bits <= 8) {
                const int index = FColorMap.IndexOf(color);
                if (index >= 0) {
                    auto& gce = AddExtension<TGIFGraphicControlExtension>();
                    gce.Packed |= 0x01;
                    gce.SetRawTransparentIndex(static_cast<uint8_t>(index));
                }
            } else {
                std::vector<uint8_t> mask(FData.size(), 0);
                std::vector<uint8_t> row(static_cast<size_t>(FWidth) * 4);
                for (int y = 0; y < FHeight; ++y) {
                    source.GetRowBGRX(y, row.data());
                    uint8_t* m = mask.data() + static_cast<size_t>(y) * FWidth;
                    for (int x = 0; x < FWidth; ++x) {
                        const uint8_t* p = &row[static_cast<size_t>(x) * 4];
                        m[x] = p[2] == color.Red && p[1] == color.Green && p[0] == color.Blue;
                    }
                }
                ApplyMask(mask);
                if (Transparent()) ActiveColorMap().SetColor(FGCE->TransparentColorIndex(), color);
            }
        }
    } catch (...) {
        Progress(psEnding, 0);
        throw;
    }
    Progress(psEnding, 100);
}

void TGIFFrame::Assign(const TGraphic& source) {
    if (const auto* bitmap = dynamic_cast<const TBitmap*>(&source)) {
        AssignBitmap(*bitmap);
        return;
    }
    // Any other graphic is drawn at its own size on white and on black; the
    // pixels that differ are the ones it does not paint, so they become
    // transparent.
    Clear();
    const int w = source.Width(), h = source.Height();
    if (w <= 0 || h <= 0) return;
    CheckRasterSize(w, h);
    TBitmap onWhite(w, h, pf24bit), onBlack(w, h, pf24bit);
    onWhite.Canvas().BrushColor = clWhite;
    onWhite.Canvas().FillRect(Rect(0, 0, w, h));
    onBlack.Canvas().BrushColor = clBlack;
    onBlack.Canvas().FillRect(Rect(0, 0, w, h));
    TGraphic& g = const_cast<TGraphic&>(source);
    onWhite.Canvas().StretchDraw(Rect(0, 0, w, h), g);
    onBlack.Canvas().StretchDraw(Rect(0, 0, w, h), g);
    AssignBitmap(onWhite);
    std::vector<uint8_t> mask(static_cast<size_t>(w) * h, 0);
    bool any = false;
    for (int y = 0; y < h; ++y) {
        const uint8_t* a = onWhite.ScanLine(y);
        const uint8_t* b = onBlack.ScanLine(y);
        for (int x = 0; x < w * 3; x += 3)
            if (a[x] != b[x] || a[x + 1] != b[x + 1] || a[x + 2] != b[x + 2]) {
                mask[static_cast<size_t>(y) * w + x / 3] = 1;
                any = true;
            }
    }
    if (any) ApplyMask(mask);
}

void TGIFFrame::Assign(const TGIFFrame& source) {
    if (&source == this) return;
    Clear();
    if (source.Empty()) return;
    FLeft = source.FLeft;
    FTop = source.FTop;
    FWidth = source.FWidth;
    FHeight = source.FHeight;
    Packed = source.Packed;
    FData = source.FData;
    FColorMap.Assign(source.ActiveColorMap());
    for (const auto& e : source.FExtensions)
        AddExtension(e->Clone(*this));
    FImage.CoverFrame(*this);
}

// Writing

void TGIFFrame::SaveToStream(TStream& stream) {
    for (const auto& e : FExtensions)
        e->SaveToStream(stream);
    if (Empty()) return;
    Packed &= 0x50;
    const int b = FColorMap.BitsPerPixel();
    if (FColorMap.Count() > 0) {
        Packed |= 0x80;
        if (FColorMap.Optimized()) Packed |= 0x20;
        Packed |= static_cast<uint8_t>((b - 1) & 7);
    }
    const uint8_t desc[10] = {bsImageSeparator,
                              static_cast<uint8_t>(FLeft),
                              static_cast<uint8_t>(FLeft >> 8),
                              static_cast<uint8_t>(FTop),
                              static_cast<uint8_t>(FTop >> 8),
                              static_cast<uint8_t>(FWidth),
                              static_cast<uint8_t>(FWidth >> 8),
                              static_cast<uint8_t>(FHeight),
                              static_cast<uint8_t>(FHeight >> 8),
                              Packed};
    stream.WriteBuffer(desc, 10);
    if (FColorMap.Count() > 0) FColorMap.SaveToStream(stream);

    int bits, limit;
    if (FColorMap.Count() > 0) {
        bits = b;
        limit = FColorMap.Count();
    } else {
        bits = FImage.GlobalColorMap().BitsPerPixel();
        for (int i = 0; i < FImage.FrameCount(); ++i)
            bits = std::max(bits, FImage.Frame(i).ColorMap().BitsPerPixel());
        limit = 1 << bits;
    }
    TLZWEncoder encoder;
    encoder.Compress(stream, FData.data(), FWidth, FHeight, Interlaced(), bits, limit);
}

// Reading

void TGIFFrame::LoadFromStream(TStream& stream) {
    Clear();
    uint8_t b = 0;
    for (;;) {
        if (stream.Read(&b, 1) != 1) return; // the end of the data ends the frame
        if (b == bsImageSeparator || b == bsTrailer) {
            stream.Seek(-1, TSeekOrigin::soCurrent);
            break;
        }
        if (b != bsExtensionIntroducer) {
            FImage.Warning(1, "Invalid extension introducer");
            break;
        }
        // An extension label we have no class for is skipped with its
        // sub-blocks (a warning, not an error: other readers skip them too).
        uint8_t label = 0;
        if (stream.Read(&label, 1) != 1) return;
        if (label != bsPlainTextExtension && label != bsGraphicControlExtension &&
            label != bsCommentExtension && label != bsApplicationExtension) {
            FImage.Warning(1, "Unknown extension type");
            TGIFReader(stream, nullptr).SkipRest();
            continue;
        }
        stream.SetPosition(stream.Position() - 2);
        std::unique_ptr<TGIFExtension> e = CreateExtensionFor(stream, *this);
        TGIFExtension& ext = AddExtension(std::move(e));
        ext.LoadFromStream(stream);
    }
    // No image follows: a trailer, a zero byte or the end of the data.
    if (stream.Read(&b, 1) != 1) return;
    stream.Seek(-1, TSeekOrigin::soCurrent);
    if (b == bsTrailer || b == 0) return;

    uint8_t desc[10];
    if (stream.Read(desc, 10) != 10) throw GIFException("Premature end of data");
    if (desc[0] != bsImageSeparator) throw GIFException("Invalid GIF data");
    int left = desc[1] | (desc[2] << 8), top = desc[3] | (desc[4] << 8);
    int width = desc[5] | (desc[6] << 8), height = desc[7] | (desc[8] << 8);
    Packed = desc[9];
    if (left + width >= 65536) {
        width = left + width - 65536;
        FImage.Warning(1, "Invalid image size");
    }
    if (top + height > 65535) {
        height = top + height - 65536;
        FImage.Warning(1, "Invalid image size");
    }
    // A zero-size frame takes the screen's height as its width and the
    // screen's width as its height.
    if (width == 0 || height == 0) {
        width = FImage.Header().ScreenHeight;
        height = FImage.Header().ScreenWidth;
        FImage.Warning(1, "Image exceeds Logical Screen size");
    }
    if (Packed & 0x80) FColorMap.LoadFromStream(stream, 2 << (Packed & 7));
    FLeft = left;
    FTop = top;
    FWidth = width;
    FHeight = height;

    uint8_t* pixels = nullptr;
    if (width > 0 && height > 0) {
        CheckRasterSize(width, height);
        // A code of w bits gives fewer than 2^w pixels, so LZW data yields at
        // most 4096 pixels per 12 bits: about 2731 per byte.
        CheckDataCanHold(
            static_cast<uint64_t>(std::max<int64_t>(stream.Size() - stream.Position(), 0)),
            static_cast<uint64_t>(width) * static_cast<uint64_t>(height), 2731, width, height);
        FData.assign(static_cast<size_t>(width) * height,
                     Transparent() ? static_cast<uint8_t>(FGCE->TransparentColorIndex()) : 0);
        pixels = FData.data();
    }
    const TGIFWarningFunc warn = [this](int severity, const std::string& message) {
        FImage.Warning(severity, message);
    };
    const std::function<void()> progress = [this, &stream] {
        const int64_t size = stream.Size();
        FImage.ReportProgress(
            psRunning, size > 0 ? static_cast<int>(stream.Position() * 100 / size) : 0, "Loading");
    };
    TLZWDecoder decoder;
    if (!decoder.Decode(stream, pixels, width, height, Interlaced(), warn, progress)) {
        FData.clear();
        FData.shrink_to_fit();
    }
    FBitmap.reset();
    FMask.reset();
    if (!Empty()) FImage.CoverFrame(*this);
}

// Drawing

void TGIFFrame::BuildBitmap() {
    FBitmap = std::make_unique<TBitmap>();
    FMask.reset();
    if (FWidth <= 0 || FHeight <= 0) return;
    CheckRasterSize(FWidth, FHeight);
    auto bmp = std::make_unique<TBitmap>(FWidth, FHeight, pf8bit);
    const bool cube = FImage.CubePaletteMode == 1;
    const TPalette palette = ActiveColorMap().ExportPalette();
    bmp->SetPalette(cube ? WebPalette() : palette);
    const bool transparent = Transparent();
    const uint8_t tindex = transparent ? static_cast<uint8_t>(FGCE->TransparentColorIndex()) : 0;
    std::unique_ptr<TBitmap> mask;
    bool anyMasked = false;
    if (transparent) {
        mask = std::make_unique<TBitmap>(FWidth, FHeight, pf1bit);
        mask->SetPalette(MonochromePalette());
        for (int y = 0; y < FHeight; ++y)
            std::memset(mask->ScanLine(y), 0, mask->BytesPerScanLine());
    }
    TNetscapeColorLookup cubeLookup;
    std::unique_ptr<TDitherEngine> ditherer;
    std::vector<uint8_t> rgbRow;
    if (cube) {
        ditherer = CreateDitherer(DitherFloydSteinberg, FWidth, cubeLookup);
        ditherer->Reset();
        rgbRow.resize(static_cast<size_t>(FWidth) * 3);
    }
    FImage.ReportProgress(psStarting, 0, "Rendering");
    for (int y = 0; y < FHeight; ++y) {
        uint8_t* dst = bmp->ScanLine(y);
        const uint8_t* src =
            FData.empty() ? nullptr : FData.data() + static_cast<size_t>(y) * FWidth;
        if (!src) {
            std::memset(dst, 0, static_cast<size_t>(FWidth));
        } else if (cube) {
            for (int x = 0; x < FWidth; ++x) {
                const TPaletteEntry& e = palette[src[x]];
                rgbRow[x * 3] = e.Blue;
                rgbRow[x * 3 + 1] = e.Green;
                rgbRow[x * 3 + 2] = e.Red;
            }
            ditherer->DitherRow(rgbRow.data(), 3, dst);
            ditherer->NextLine();
        } else {
            std::memcpy(dst, src, static_cast<size_t>(FWidth));
        }
        if (mask && src) {
            uint8_t* m = mask->ScanLine(y);
            for (int x = 0; x < FWidth; ++x)
                if (src[x] == tindex) {
                    m[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
                    anyMasked = true;
                }
        }
        if ((y & 31) == 0)
            FImage.ReportProgress(psRunning, static_cast<int>(int64_t(y) * 100 / FHeight),
                                  "Rendering");
    }
    FImage.ReportProgress(psEnding, 100, "Rendering");
    FBitmap = std::move(bmp);
    if (anyMasked) FMask = std::move(mask);
}

const TBitmap& TGIFFrame::Bitmap() {
    if (!FBitmap) BuildBitmap();
    return *FBitmap;
}

const TBitmap* TGIFFrame::Mask() {
    if (!FBitmap) BuildBitmap();
    return FMask.get();
}
