// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/GIFImage.h"

#include "toolkit/Bitmap.h"
#include "toolkit/Canvas.h"
#include "toolkit/Picture.h"

#include <algorithm>
#include <cctype>
#include <cstring>

TREVASCO_GRAPHIC_CLASS(TGIFImage, TGraphic)

const char* GIFVersionText(int version) {
    switch (version) {
    case gv87a:
        return "87a";
    case gv89a:
        return "89a";
    default:
        return "";
    }
}

// Header

int TGIFHeader::Version() const {
    return ColorMap.Optimized() || AspectRatio != 0 ? gv89a : gv87a;
}

void TGIFHeader::Prepare() {
    const int b = ColorMap.BitsPerPixel();
    Packed = 0;
    if (ColorMap.Count() > 0) {
        Packed |= 0x80;
        if (ColorMap.Optimized()) Packed |= 0x08;
    }
    Packed |= static_cast<uint8_t>((((b - 1) & 7) << 4) | ((b - 1) & 7));
}

void TGIFHeader::SaveToStream(TStream& stream) {
    Prepare();
    const uint8_t lsd[7] = {static_cast<uint8_t>(ScreenWidth),
                            static_cast<uint8_t>(ScreenWidth >> 8),
                            static_cast<uint8_t>(ScreenHeight),
                            static_cast<uint8_t>(ScreenHeight >> 8),
                            Packed,
                            BackgroundColorIndex,
                            AspectRatio};
    stream.WriteBuffer(lsd, 7);
    if (Packed & 0x80) ColorMap.SaveToStream(stream);
}

namespace {
bool IsSignature(const uint8_t* s, size_t n) {
    return n >= 3 && std::toupper(s[0]) == 'G' && std::toupper(s[1]) == 'I' &&
           std::toupper(s[2]) == 'F';
}
} // namespace

void TGIFHeader::LoadFromStream(TStream& stream) {
    const int64_t start = stream.Position();
    uint8_t sig[6] = {};
    size_t n = stream.Read(sig, 6);
    // Up to 4 bytes of slack before the signature are tolerated (some
    // writers put a length or a Macintosh type there).
    if (!IsSignature(sig, n)) {
        stream.SetPosition(start + 4);
        n = stream.Read(sig, 6);
        if (!IsSignature(sig, n)) throw GIFException("Invalid GIF signature");
    }
    if (n < 6) throw GIFException("Premature end of data");
    uint8_t lsd[7];
    if (stream.Read(lsd, 7) != 7) throw GIFException("Premature end of data");
    ScreenWidth = static_cast<uint16_t>(lsd[0] | (lsd[1] << 8));
    ScreenHeight = static_cast<uint16_t>(lsd[2] | (lsd[3] << 8));
    Packed = lsd[4];
    BackgroundColorIndex = lsd[5];
    AspectRatio = lsd[6];
    if (Packed & 0x80)
        ColorMap.LoadFromStream(stream, 2 << (Packed & 7));
    else
        ColorMap.Clear();
    ColorMap.SetOptimized(Packed & 0x08);
}

void TGIFHeader::Assign(const TGIFHeader& source) {
    ScreenWidth = source.ScreenWidth;
    ScreenHeight = source.ScreenHeight;
    Packed = source.Packed;
    BackgroundColorIndex = source.BackgroundColorIndex;
    AspectRatio = source.AspectRatio;
    ColorMap.Assign(source.ColorMap);
}

// Image

TGIFImage::TGIFImage() : FHeader(*this) {
    SetTransparent(true);
}

TGIFImage::~TGIFImage() {
    FFrames.clear();
}

void TGIFImage::Warning(int severity, const std::string& message) {
    if (WarningHandler)
        WarningHandler(this, severity, message);
    else if (severity == gsError)
        throw GIFException(message);
}

void TGIFImage::Changed() {
    FBitmap.reset();
}

void TGIFImage::CoverFrame(const TGIFFrame& frame) {
    const int right = frame.Left() + frame.Width(), bottom = frame.Top() + frame.Height();
    bool grew = false, wasEmpty = FHeader.ScreenWidth == 0 && FHeader.ScreenHeight == 0;
    if (right > FHeader.ScreenWidth) {
        grew = grew || FHeader.ScreenWidth != 0;
        FHeader.ScreenWidth = static_cast<uint16_t>(std::min(right, 65535));
    }
    if (bottom > FHeader.ScreenHeight) {
        grew = grew || FHeader.ScreenHeight != 0;
        FHeader.ScreenHeight = static_cast<uint16_t>(std::min(bottom, 65535));
    }
    if (right > 0 || bottom > 0) Changed();
    if (grew && !wasEmpty) Warning(gsWarning, "Image exceeds Logical Screen size");
}

static int CoveredExtent(const TGIFImage& image, bool horizontal) {
    int extent = 0;
    for (int i = 0; i < image.FrameCount(); ++i) {
        const TGIFFrame& f = image.Frame(i);
        extent = std::max(extent, horizontal ? f.Left() + f.Width() : f.Top() + f.Height());
    }
    return extent;
}

void TGIFImage::SetWidth(int value) {
    if (value < 0 || value > 65535) value = 0;
    value = std::max(value, CoveredExtent(*this, true));
    if (value != FHeader.ScreenWidth) {
        FHeader.ScreenWidth = static_cast<uint16_t>(value);
        Changed();
    }
}

void TGIFImage::SetHeight(int value) {
    if (value < 0 || value > 65535) value = 0;
    value = std::max(value, CoveredExtent(*this, false));
    if (value != FHeader.ScreenHeight) {
        FHeader.ScreenHeight = static_cast<uint16_t>(value);
        Changed();
    }
}

TGIFFrame& TGIFImage::AddFrame() {
    FFrames.push_back(std::make_unique<TGIFFrame>(*this));
    Changed();
    return *FFrames.back();
}

void TGIFImage::DeleteFrame(int index) {
    if (index < 0 || index >= FrameCount()) return;
    FFrames.erase(FFrames.begin() + index);
    Changed();
}

void TGIFImage::Add(const TGraphic& source) {
    if (const auto* gif = dynamic_cast<const TGIFImage*>(&source)) {
        for (int i = 0; i < gif->FrameCount(); ++i)
            Add(gif->Frame(i));
        return;
    }
    TGIFFrame& frame = AddFrame();
    try {
        frame.Assign(source);
    } catch (...) {
        DeleteFrame(FrameCount() - 1);
        throw;
    }
}

void TGIFImage::Add(const TGIFFrame& source) {
    AddFrame().Assign(source);
}

int TGIFImage::Version() const {
    if (FFrames.empty()) return gvUnknown;
    int v = gv87a;
    for (const auto& f : FFrames) {
        v = std::max(v, f->Version());
        if (v == gv89a) break;
    }
    return v;
}

void TGIFImage::Clear() {
    FFrames.clear();
    FBitmap.reset();
    FHeader.ColorMap.Clear();
    FHeader.ScreenWidth = FHeader.ScreenHeight = 0;
    FHeader.Prepare();
}

void TGIFImage::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* gif = dynamic_cast<const TGIFImage*>(&source)) {
        Clear();
        FHeader.Assign(gif->FHeader);
        ColorReduction = gif->ColorReduction;
        DitherMethod = gif->DitherMethod;
        AnimateOnDraw = gif->AnimateOnDraw;
        CubePaletteMode = gif->CubePaletteMode;
        SetTransparent(gif->Transparent());
        BackgroundOverride = gif->BackgroundOverride;
        ReportProgress(psStarting, 0, "Copying");
        for (int i = 0; i < gif->FrameCount(); ++i) {
            Add(gif->Frame(i));
            ReportProgress(psRunning, (i + 1) * 100 / gif->FrameCount(), "Copying");
        }
        ReportProgress(psEnding, 100, "Copying");
        Changed();
        return;
    }
    Clear();
    Add(source);
    Changed();
}

// Writing

void TGIFImage::SaveToStream(TStream& stream) {
    ReportProgress(psStarting, 0, "Saving");
    int percent = 0;
    try {
        const int version = Version();
        if (version == gvUnknown) throw GIFException("Cannot save empty GIF");
        char sig[6] = {'G', 'I', 'F'};
        std::memcpy(sig + 3, GIFVersionText(version), 3);
        stream.WriteBuffer(sig, 6);
        FHeader.SaveToStream(stream);
        for (int i = 0; i < FrameCount(); ++i) {
            FFrames[i]->SaveToStream(stream);
            percent = (i + 1) * 100 / FrameCount();
            ReportProgress(psRunning, percent, "Saving");
        }
        const uint8_t trailer = bsTrailer;
        stream.WriteBuffer(&trailer, 1);
    } catch (...) {
        ReportProgress(psEnding, percent, "Saving");
        throw;
    }
    ReportProgress(psEnding, 100, "Saving");
}

// Reading

void TGIFImage::LoadFromStream(TStream& stream) {
    ReportProgress(psStarting, 0, "Loading");
    Clear();
    const int64_t start = stream.Position();
    int percent = 0;
    try {
        FHeader.LoadFromStream(stream);
        const int64_t size = stream.Size();
        uint8_t b = 0;
        auto skipZeros = [&]() -> bool {
            while (stream.Read(&b, 1) == 1)
                if (b != 0) return true;
            return false;
        };
        bool more = skipZeros();
        while (more && b != bsTrailer) {
            stream.Seek(-1, TSeekOrigin::soCurrent);
            if (b != bsExtensionIntroducer && b != bsImageSeparator) {
                Warning(gsWarning, "Unknown GIF block type");
                break;
            }
            TGIFFrame& frame = AddFrame();
            frame.LoadFromStream(stream);
            if (size > 0) percent = static_cast<int>(stream.Position() * 100 / size);
            ReportProgress(psRunning, percent, "Loading");
            if (frame.Empty() && frame.ExtensionCount() == 0) DeleteFrame(FrameCount() - 1);
            more = skipZeros();
        }
        if (more && b == bsTrailer) stream.Seek(-1, TSeekOrigin::soCurrent);
        // A missing trailer is accepted silently; a wrong byte only warns.
        if (stream.Read(&b, 1) == 1 && b != bsTrailer) Warning(gsWarning, "Invalid Image trailer");
    } catch (...) {
        stream.SetPosition(start);
        ReportProgress(psEnding, percent, "Loading");
        throw;
    }
    Changed();
    ReportProgress(psEnding, 100, "Loading");
}

// Drawing

TColor TGIFImage::BackgroundColor() const {
    TColor c;
    if (BackgroundOverride != clNone) {
        c = BackgroundOverride;
    } else if (FHeader.ColorMap.Count() == 0) {
        c = clWhite; // the window background
    } else {
        const TGIFColor e = FHeader.ColorMap.Color(FHeader.BackgroundColorIndex);
        c = RGBColor(e.Red, e.Green, e.Blue);
    }
    if (CubePaletteMode == 1) {
        uint8_t r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
        TNetscapeColorLookup().Lookup(r, g, b);
        c = RGBColor(r, g, b);
    }
    return c;
}

namespace {
// a * b / c rounded to nearest, halves away from zero.
int MulDivRound(int64_t a, int64_t b, int64_t c) {
    if (c == 0) return 0;
    int64_t n = a * b;
    const bool negative = (n < 0) != (c < 0);
    n = n < 0 ? -n : n;
    const int64_t d = c < 0 ? -c : c;
    const int64_t q = (2 * n + d) / (2 * d);
    return static_cast<int>(negative ? -q : q);
}
} // namespace

TRect TGIFImage::FrameRect(const TGIFFrame& frame, const TRect& rect) const {
    const int sw = Width(), sh = Height();
    return TRect{rect.Left + MulDivRound(frame.Left(), rect.Width(), sw),
                 rect.Top + MulDivRound(frame.Top(), rect.Height(), sh),
                 rect.Left + MulDivRound(frame.Left() + frame.Width(), rect.Width(), sw),
                 rect.Top + MulDivRound(frame.Top() + frame.Height(), rect.Height(), sh)};
}

void TGIFImage::DrawFrame(TCanvas& canvas, const TRect& frameRect, TGIFFrame& frame) {
    if (frame.Empty()) return;
    const TBitmap& bitmap = frame.Bitmap();
    const TBitmap* mask = frame.Mask();
    if (Transparent() && frame.Transparent() && mask)
        canvas.StretchBitmapMasked(frameRect, bitmap, *mask);
    else
        canvas.StretchBitmap(frameRect, bitmap);
}

void TGIFImage::Draw(TCanvas& canvas, const TRect& rect) {
    if (FFrames.empty() || FDrawing) return;
    FDrawing = true;
    try {
        TGIFFrame& frame = *FFrames[0];
        if (!Transparent() && frame.Transparent()) {
            canvas.BrushColor = BackgroundColor();
            canvas.FillRect(rect);
        }
        if (Width() > 0 && Height() > 0 && !frame.Empty())
            DrawFrame(canvas, FrameRect(frame, rect), frame);
    } catch (...) {
        FDrawing = false;
        throw;
    }
    FDrawing = false;
}

const TBitmap& TGIFImage::Bitmap() {
    if (FBitmap) return *FBitmap;
    auto result = std::make_unique<TBitmap>();
    if (!FFrames.empty()) {
        TGIFFrame& frame = *FFrames[0];
        const bool covers = frame.Left() == 0 && frame.Top() == 0 && frame.Width() == Width() &&
                            frame.Height() == Height();
        if (covers && !frame.Transparent()) {
            result->Assign(frame.Bitmap());
        } else if (Width() > 0 && Height() > 0) {
            CheckRasterSize(Width(), Height());
            result = std::make_unique<TBitmap>(Width(), Height(), pf8bit);
            result->SetPalette(frame.Bitmap().Palette());
            if (frame.Transparent()) {
                result->Canvas().BrushColor = BackgroundColor();
                result->Canvas().FillRect(Rect(0, 0, Width(), Height()));
            }
            Draw(result->Canvas(), Rect(0, 0, Width(), Height()));
        }
    }
    FBitmap = std::move(result);
    return *FBitmap;
}

void RegisterGIFFormat() {
    TPicture::RegisterFileFormat("GIF", "GIF Image", TGIFImage::StaticClass());
}
