// SPDX-License-Identifier: GPL-3.0-or-later
#include "metafile/Metafile.h"

#include "base/Exceptions.h"
#include "base/StrUtils.h"
#include "metafile/EmfFormat.h"
#include "metafile/EmfPlayer.h"
#include "toolkit/Picture.h"
#include "util/Utf8.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace emf;

TREVASCO_GRAPHIC_CLASS(TMetafile, TGraphic)

namespace emf {

TEmfHeader ParseEmf(const uint8_t* data, size_t size, size_t* used) {
    // The smallest header is 88 bytes; records are at least 8.
    if (!data || size < 88) Invalid();
    if (U32(data) != EMR_HEADER || U32(data + 40) != EmfSignature) Invalid();
    const uint32_t headerSize = U32(data + 4);
    if (headerSize < 88 || headerSize > size || headerSize % 4) Invalid();
    TEmfHeader h;
    h.Bounds = Rect(S32(data + 8), S32(data + 12), S32(data + 16), S32(data + 20));
    h.Frame = Rect(S32(data + 24), S32(data + 28), S32(data + 32), S32(data + 36));
    h.Bytes = U32(data + 48);
    h.Records = U32(data + 52);
    h.Handles = U16(data + 56);
    h.DescriptionChars = U32(data + 60);
    h.DescriptionOffset = U32(data + 64);
    h.DeviceX = S32(data + 72);
    h.DeviceY = S32(data + 76);
    h.MillimetersX = S32(data + 80);
    h.MillimetersY = S32(data + 84);
    if (h.Handles == 0) Invalid();
    if (h.DescriptionChars) {
        const uint64_t end = uint64_t(h.DescriptionOffset) + uint64_t(h.DescriptionChars) * 2;
        if (h.DescriptionOffset < 88 || end > headerSize) Invalid();
    }
    // A reference device without pixels or millimetres cannot map anything.
    if (h.DeviceX <= 0 || h.DeviceY <= 0 || h.MillimetersX <= 0 || h.MillimetersY <= 0) Invalid();
    // Frame coordinates far outside 32-bit arithmetic would overflow the size formula.
    auto sane = [](int v) { return v > -(1 << 30) && v < (1 << 30); };
    if (!sane(h.Frame.Left) || !sane(h.Frame.Top) || !sane(h.Frame.Right) ||
        !sane(h.Frame.Bottom) || !sane(h.Bounds.Left) || !sane(h.Bounds.Top) ||
        !sane(h.Bounds.Right) || !sane(h.Bounds.Bottom))
        Invalid();

    size_t pos = headerSize;
    uint32_t count = 1;
    for (;;) {
        if (size - pos < 8) Invalid(); // no EOF record: the file was cut short
        const uint32_t type = U32(data + pos), rsize = U32(data + pos + 4);
        if (rsize < 8 || rsize % 4 || rsize > size - pos) Invalid();
        if (type == EMR_HEADER) Invalid();
        ++count;
        pos += rsize;
        if (type == EMR_EOF) break;
    }
    (void)count;
    if (used) *used = pos;
    return h;
}

TBox PictureBox(const TEmfHeader& h) {
    const double pxX = double(h.DeviceX) / h.MillimetersX / 100;
    const double pxY = double(h.DeviceY) / h.MillimetersY / 100;
    TBox frame, bounds;
    frame.X = std::min(h.Frame.Left, h.Frame.Right) * pxX;
    frame.Y = std::min(h.Frame.Top, h.Frame.Bottom) * pxY;
    frame.W = std::abs(double(h.Frame.Right) - h.Frame.Left) * pxX;
    frame.H = std::abs(double(h.Frame.Bottom) - h.Frame.Top) * pxY;
    bounds.X = std::min(h.Bounds.Left, h.Bounds.Right);
    bounds.Y = std::min(h.Bounds.Top, h.Bounds.Bottom);
    bounds.W = std::abs(double(h.Bounds.Right) - h.Bounds.Left) + 1;
    bounds.H = std::abs(double(h.Bounds.Bottom) - h.Bounds.Top) + 1;
    if (frame.W <= 0 || frame.H <= 0) return bounds;
    const bool drawn = h.Bounds.Right >= h.Bounds.Left && h.Bounds.Bottom >= h.Bounds.Top;
    if (drawn) {
        const double ix =
            std::min(frame.X + frame.W, bounds.X + bounds.W) - std::max(frame.X, bounds.X);
        const double iy =
            std::min(frame.Y + frame.H, bounds.Y + bounds.H) - std::max(frame.Y, bounds.Y);
        const double inside = std::max(ix, 0.0) * std::max(iy, 0.0);
        if (inside < 0.5 * bounds.W * bounds.H) return bounds;
    }
    return frame;
}

} // namespace emf

TMetafile::TMetafile() = default;

TMetafile::~TMetafile() {
    // A canvas that outlives its metafile must not hand its recording to freed memory.
    if (FCanvas) FCanvas->FTarget = nullptr;
}

void TMetafile::Clear() {
    FEmf.clear();
    FFrame = TRect{};
    FWidth = FHeight = FWmfWidth = FWmfHeight = 0;
}

void TMetafile::ComputeSize() {
    if (FEmf.empty()) {
        FWidth = FHeight = 0;
        return;
    }
    if (FWmfWidth > 0 && FWmfHeight > 0) {
        FWidth = FWmfWidth;
        FHeight = FWmfHeight;
        return;
    }
    const TEmfHeader h = ParseEmf(FEmf.data(), FEmf.size());
    const int64_t fw = std::llabs(int64_t(h.Frame.Right) - h.Frame.Left);
    const int64_t fh = std::llabs(int64_t(h.Frame.Bottom) - h.Frame.Top);
    if (fw == 0 || fh == 0) {
        FWidth = static_cast<int>(std::llabs(int64_t(h.Bounds.Right) - h.Bounds.Left) + 1);
        FHeight = static_cast<int>(std::llabs(int64_t(h.Bounds.Bottom) - h.Bounds.Top) + 1);
    } else {
        FWidth = static_cast<int>((fw * 96 + 1270) / 2540);
        FHeight = static_cast<int>((fh * 96 + 1270) / 2540);
    }
}

int TMetafile::Width() const {
    return FWidth;
}
int TMetafile::Height() const {
    return FHeight;
}

void TMetafile::SetWidth(int value) {
    if (FCanvas)
        FPendingWidth = value;
    else
        FWidth = value;
}

void TMetafile::SetHeight(int value) {
    if (FCanvas)
        FPendingHeight = value;
    else
        FHeight = value;
}

void TMetafile::SetEmfData(std::vector<uint8_t> emf) {
    size_t used = 0;
    ParseEmf(emf.data(), emf.size(), &used);
    emf.resize(used); // bytes after EOF belong to no record
    FEmf = std::move(emf);
    FWmfWidth = FWmfHeight = 0;
    FFrame = ParseEmf(FEmf.data(), FEmf.size()).Frame;
    ComputeSize();
}

void TMetafile::TakeRecording(std::vector<uint8_t> emf) {
    SetEmfData(std::move(emf));
    FPendingWidth = FPendingHeight = 0;
}

void TMetafile::LoadFromStream(TStream& stream) {
    Progress(psStarting, 0, false, TRect{}, "");
    std::vector<uint8_t> data;
    {
        uint8_t buf[65536];
        size_t n;
        while ((n = stream.Read(buf, sizeof buf)) > 0)
            data.insert(data.end(), buf, buf + n);
    }
    if (data.size() < 4) Invalid();
    if (U32(data.data()) == EMR_HEADER) {
        SetEmfData(std::move(data));
        FEnhanced = true;
    } else {
        TWmfConversion c = WmfToEmf(data.data(), data.size());
        SetEmfData(std::move(c.Emf));
        FWmfWidth = c.Width;
        FWmfHeight = c.Height;
        ComputeSize();
        FEnhanced = false;
    }
    Progress(psEnding, 100, false, TRect{}, "");
}

std::vector<uint8_t> TMetafile::WmfData() const {
    if (FEmf.empty()) return {};
    return EmfToWmf(FEmf);
}

void TMetafile::SaveToStream(TStream& stream) {
    if (FEmf.empty()) return; // nothing recorded: nothing to write
    Progress(psStarting, 0, false, TRect{}, "");
    if (FEnhanced) {
        stream.WriteBuffer(FEmf.data(), FEmf.size());
    } else {
        const std::vector<uint8_t> wmf = WmfData();
        stream.WriteBuffer(wmf.data(), wmf.size());
    }
    Progress(psEnding, 100, false, TRect{}, "");
}

void TMetafile::SaveToFile(const std::string& fileName) {
    const bool saved = FEnhanced;
    if (AsciiLower(ExtractFileExt(fileName)) == ".wmf") FEnhanced = false;
    try {
        TAtomicFileStream out(fileName);
        SaveToStream(out);
        out.Commit();
    } catch (...) {
        FEnhanced = saved;
        throw;
    }
    FEnhanced = saved;
}

void TMetafile::Assign(const TGraphic& source) {
    if (const auto* m = dynamic_cast<const TMetafile*>(&source)) {
        if (m == this) return;
        FEmf = m->FEmf;
        FEnhanced = m->FEnhanced;
        FFrame = m->FFrame;
        FWidth = m->FWidth;
        FHeight = m->FHeight;
        FWmfWidth = m->FWmfWidth;
        FWmfHeight = m->FWmfHeight;
        return;
    }
    TGraphic::Assign(source);
}

void TMetafile::Draw(TCanvas& canvas, const TRect& rect) {
    if (FEmf.empty() || rect.IsEmpty()) return;
    if (auto* rec = dynamic_cast<TMetafileCanvas*>(&canvas)) {
        rec->PlayEmf(FEmf, rect);
        return;
    }
    if (TBitmap* target = canvas.TargetBitmap()) {
        PlayEmfOnBitmap(FEmf, *target, rect, [this](int percent, bool done) {
            Progress(done ? psEnding : (percent == 0 ? psStarting : psRunning),
                     static_cast<uint8_t>(percent), false, TRect{}, "");
        });
        return;
    }
    throw EInvalidGraphicOperation("Cannot draw a metafile on this canvas");
}

namespace {

std::string DescriptionPart(const std::vector<uint8_t>& emf, int part) {
    if (emf.empty()) return {};
    const TEmfHeader h = ParseEmf(emf.data(), emf.size());
    if (!h.DescriptionChars) return {};
    const std::u32string text = DecodeUtf16(emf.data() + h.DescriptionOffset, h.DescriptionChars);
    size_t start = 0;
    for (int i = 0; i < part; ++i) {
        const size_t z = text.find(U'\0', start);
        if (z == std::u32string::npos) return {};
        start = z + 1;
    }
    size_t end = text.find(U'\0', start);
    if (end == std::u32string::npos) end = text.size();
    std::string out;
    for (size_t i = start; i < end; ++i) {
        AppendUtf8(out, text[i]);
    }
    return out;
}

} // namespace

std::string TMetafile::Creator() const {
    return DescriptionPart(FEmf, 0);
}
std::string TMetafile::Description() const {
    return DescriptionPart(FEmf, 1);
}
