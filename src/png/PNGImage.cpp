// SPDX-License-Identifier: GPL-3.0-or-later
#include "png/PNGImage.h"

#include "png/PNGDeflate.h"
#include "png/PNGMetadata.h"
#include "toolkit/ExifOrientation.h"
#include "toolkit/Picture.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

TREVASCO_GRAPHIC_CLASS(TPNGImage, TBitmap)

namespace {
constexpr uint8_t Signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
}

TPNGImage::TPNGImage() : FChunks(*this) {
    Reset();
}

TPNGImage::~TPNGImage() = default;

void TPNGImage::Reset() {
    FChunks.Clear();
    auto* header = FChunks.Create<TChunkIHDR>();
    header->SetBitDepth(2);
    header->SetColorType(ctPalette);
    // An indexed raster keeps its palette: without it its pixels would change colour.
    if (!IsIndexed()) SetPalette(TPalette());
    FChunks.Create<TChunkIDAT>();
    FChunks.Create<TChunkIEND>();
}

const TChunkGAMA* TPNGImage::ActiveGamma() const {
    const TChunkGAMA* gamma = FChunks.Find<TChunkGAMA>();
    return gamma && gamma->HasTables() ? gamma : nullptr;
}

// Index of the first chunk of one of the types, or the list's count.
static int FirstOf(const TChunkList& chunks, std::initializer_list<const char*> types) {
    for (int i = 0; i < chunks.Count(); ++i)
        for (const char* t : types)
            if (std::memcmp(chunks[i]->ChunkType.data(), t, 4) == 0) return i;
    return chunks.Count();
}

void TPNGImage::PrepareForSave() {
    if (FChunks.Count() == 0) Reset();
    if (FChunks.Count() == 0 || FChunks[0]->ClassType() != TChunkIHDR::StaticClass()) {
        FChunks.Create<TChunkIHDR>();
        FChunks.Move(FChunks.Count() - 1, 0);
    }
    if (FChunks.IndexOfClass(TChunkIEND::StaticClass()) < 0) FChunks.Create<TChunkIEND>();
    if (FChunks.IndexOfClass(TChunkIDAT::StaticClass()) < 0) {
        FChunks.Create<TChunkIDAT>();
        FChunks.Move(FChunks.Count() - 1, FChunks.IndexOfClass(TChunkIEND::StaticClass()));
    }
    // A new PLTE and tRNS go where the PNG standard wants them: PLTE after
    // gAMA and the other colour-space chunks, before tRNS, bKGD, hIST and
    // the image data; tRNS right before the image data. In a new image's
    // list that is right after IHDR.
    if (IsIndexed() && FChunks.IndexOfClass(TChunkPLTE::StaticClass()) < 0) {
        FChunks.Create<TChunkPLTE>();
        FChunks.Move(FChunks.Count() - 1, FirstOf(FChunks, {"tRNS", "bKGD", "hIST", "IDAT"}));
    }
    if (auto* gamma = FChunks.Find<TChunkGAMA>()) gamma->BuildTables();
    ChooseAlphaLayout();
    // One tRNS at most: a second one would make the file invalid.
    TChunk* trns = nullptr;
    if (Transparent() || FTransparentKey >= 0) {
        trns = FChunks.Find<TChunkTRNS>();
        if (!trns) trns = FChunks.Create<TChunkTRNS>();
    }
    for (int i = FChunks.Count() - 1; i >= 0; --i)
        if (FChunks[i] != trns && FChunks[i]->ClassType() == TChunkTRNS::StaticClass())
            FChunks.Remove(FChunks[i]);
    if (trns) {
        const int from = FChunks.IndexOf(trns);
        const int data = FChunks.IndexOfClass(TChunkIDAT::StaticClass());
        FChunks.Move(from, from < data ? data - 1 : data);
    }
    WritePNGMetadata(FChunks, Metadata());
}

void TPNGImage::ChooseAlphaLayout() {
    FAlphaColorType = 0;
    FTransparentKey = -1;
    FKeyIsGrey = false;
    const std::vector<uint8_t>& alpha = AlphaChannel();
    const size_t w = static_cast<size_t>(Width());
    if (IsIndexed() || alpha.empty() || alpha.size() != w * static_cast<size_t>(Height()) ||
        std::all_of(alpha.begin(), alpha.end(), [](uint8_t a) { return a == 255; }))
        return;
    // Grey when every pixel is; the colours of the opaque pixels are noted
    // for the colour key (a bit per colour: 2 MB, only for binary alpha).
    const bool binary =
        std::all_of(alpha.begin(), alpha.end(), [](uint8_t a) { return a == 0 || a == 255; });
    std::vector<uint64_t> used(binary ? (size_t(1) << 24) / 64 : 0);
    bool grey = true;
    std::vector<uint8_t> row(w * 4);
    for (int y = 0; y < Height(); ++y) {
        GetRowBGRX(y, row.data());
        const uint8_t* a = alpha.data() + static_cast<size_t>(y) * w;
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* p = &row[4 * x];
            grey = grey && p[0] == p[1] && p[1] == p[2];
            if (binary && a[x] == 255) {
                const uint32_t rgb = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
                used[rgb / 64] |= uint64_t(1) << (rgb % 64);
            }
        }
        if (!grey && !binary) break;
    }
    FAlphaColorType = grey ? ctGreyAlpha : ctRGBAlpha;
    // A key must say exactly which pixels are transparent: one that the gamma
    // tables could merge with an opaque colour is not tried.
    if (!binary || ActiveGamma() || FKeyRefused) return;
    auto unused = [&](uint32_t rgb) { return !(used[rgb / 64] & (uint64_t(1) << (rgb % 64))); };
    // Black first: the transparent pixels mostly hold it already.
    if (grey) {
        for (uint32_t v = 0; v < 256; ++v)
            if (unused(v * 0x010101u)) {
                FTransparentKey = v * 0x010101u;
                break;
            }
    } else {
        for (size_t i = 0; i < used.size() && FTransparentKey < 0; ++i)
            if (used[i] != ~uint64_t(0))
                for (uint32_t b = 0; b < 64; ++b)
                    if (unused(static_cast<uint32_t>(i * 64 + b))) {
                        FTransparentKey = static_cast<int64_t>(i * 64 + b);
                        break;
                    }
    }
    if (FTransparentKey < 0) return; // every colour is taken: the alpha channel stays
    FKeyIsGrey = grey;
    FAlphaColorType = 0;
}

void TPNGImage::WriteChunks(TStream& stream) {
    const int n = FChunks.Count();
    for (int i = 0; i < n; ++i) {
        ReportProgress(psRunning, static_cast<uint8_t>(i * 100 / n), "");
        FChunks[i]->WriteChunk(stream);
    }
}

void TPNGImage::SaveToStream(TStream& stream) {
    ReportProgress(psStarting, 0, "");
    stream.WriteBuffer(Signature, sizeof Signature);
    FKeyRefused = false;
    PrepareForSave();
    // A colour key saves a byte a pixel before compression and costs a chunk
    // of its own: on small pictures compression can turn that around, so
    // both layouts are written there and the smaller one is kept. Larger
    // pictures always gain.
    constexpr int64_t TrialPixels = 1 << 16;
    if (FTransparentKey >= 0 && static_cast<int64_t>(Width()) * Height() <= TrialPixels) {
        TMemoryStream keyed, withAlpha;
        WriteChunks(keyed);
        FKeyRefused = true;
        PrepareForSave();
        WriteChunks(withAlpha);
        FKeyRefused = false;
        const bool key = keyed.Size() < withAlpha.Size();
        if (key) PrepareForSave(); // the chunks and the layout of what is written
        const TMemoryStream& smaller = key ? keyed : withAlpha;
        stream.WriteBuffer(smaller.Memory(), smaller.Data().size());
    } else {
        WriteChunks(stream);
    }
    ReportProgress(psEnding, 100, "");
}

void TPNGImage::LoadFromStream(TStream& stream) {
    Reset();
    FChunks.Clear();
    SetTransparent(false);
    SetTransparentColor(clDefault);
    SetAlphaChannel({});
    Metadata() = TImageMetadata{};

    uint8_t signature[8] = {};
    if (stream.Read(signature, 8) != 8 || std::memcmp(signature, Signature, 8) != 0)
        RaisePNGError(PNGMessages::InvalidHeader);
    bool ended = false;
    while (stream.Position() < stream.Size()) {
        TChunk* chunk = FChunks.ReadChunk(stream);
        if (chunk->ClassType() == TChunkIEND::StaticClass()) {
            ended = true;
            break;
        }
    }
    if (FChunks.Count() == 0 || FChunks[0]->ClassType() != TChunkIHDR::StaticClass())
        RaisePNGError(PNGMessages::NoIHDR);
    if (!static_cast<TChunkIHDR*>(FChunks[0])->Valid()) RaisePNGError(PNGMessages::InvalidIHDR);
    if (FChunks.IndexOfClass(TChunkIDAT::StaticClass()) < 0) {
        if (!ended)
            throw EPNGImageException(CutShortMessage("the PNG data ends before the picture."));
        RaisePNGError(PNGMessages::NoData);
    }

    try {
        for (int i = 0; i < FChunks.Count(); ++i)
            FChunks[i]->AfterLoad();
    } catch (const EZDecompressionError&) {
        // Image data that runs short in a file without its end chunk was cut
        // between chunks; with the end chunk there it is damaged data.
        if (ended) throw;
        throw EPNGImageException(CutShortMessage("the PNG data ends before the picture."));
    }
    ReadPNGMetadata(FChunks, Metadata());
    Metadata().Orientation = 1;
    for (int i = 0; i < FChunks.Count(); ++i)
        if (std::memcmp(FChunks[i]->ChunkType.data(), "eXIf", 4) == 0) {
            const std::vector<uint8_t>& exif = FChunks[i]->Data();
            Metadata().Orientation = ExifOrientation(exif.data(), exif.size());
            break;
        }

    const auto* header = static_cast<const TChunkIHDR*>(FChunks[0]);
    const TChunkTRNS* trns = FChunks.Find<TChunkTRNS>();
    if (trns && header->ColorType() == ctRGB && trns->Data().size() >= 6) {
        const uint8_t* d = trns->Data().data();
        uint16_t r = (d[0] << 8) | d[1], g = (d[2] << 8) | d[3], b = (d[4] << 8) | d[5];
        // 16-bit samples keep their high byte, like the pixels; an 8-bit key
        // above 255 matches no pixel, so it makes nothing transparent.
        bool usable = true;
        if (header->BitDepth() == 16) {
            r >>= 8;
            g >>= 8;
            b >>= 8;
        } else {
            usable = r < 256 && g < 256 && b < 256;
        }
        if (usable) {
            SetTransparentColor(RGBColor(static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                                         static_cast<uint8_t>(b)));
            SetTransparent(true);
        }
    }
}

void TPNGImage::Assign(const TGraphic& source) {
    if (&source == this) return;
    if (const auto* png = dynamic_cast<const TPNGImage*>(&source)) {
        FChunks.Clear();
        for (int i = 0; i < png->Chunks().Count(); ++i) {
            const TChunk* from = png->Chunks()[i];
            TChunkClass cls = TChunkClasses::Instance().FindClass(from->ChunkType);
            TChunk* to = FChunks.CreateChunk(cls ? cls : TChunk::StaticClass());
            to->AssignChunk(*from);
        }
        FFilters = png->FFilters;
        FInterlaced = png->FInterlaced;
        Metadata() = png->Metadata();
    }
    TBitmap::Assign(source);
}

void RegisterPNGFormat() {
    TPicture::RegisterFileFormat("PNG", "Portable Network Graphics", TPNGImage::StaticClass());
}

void UnregisterPNGFormat() {
    TPicture::UnregisterGraphicClass(TPNGImage::StaticClass());
}
