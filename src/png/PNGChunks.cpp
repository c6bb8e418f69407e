// SPDX-License-Identifier: GPL-3.0-or-later
#include "png/PNGChunks.h"

#include "base/StrUtils.h"
#include "png/PNGImage.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cmath>

#define TREVASCO_CHUNK_CLASS(Name)                                                                 \
    TChunkClass Name::StaticClass() {                                                              \
        static const TChunkClassInfo info{#Name,                                                   \
                                          [](TChunkList& owner) -> std::unique_ptr<TChunk> {       \
                                              return std::make_unique<Name>(owner);                \
                                          }};                                                      \
        return &info;                                                                              \
    }

TREVASCO_CHUNK_CLASS(TChunk)
TREVASCO_CHUNK_CLASS(TChunkIHDR)
TREVASCO_CHUNK_CLASS(TChunkPLTE)
TREVASCO_CHUNK_CLASS(TChunkGAMA)
TREVASCO_CHUNK_CLASS(TChunkIDAT)
TREVASCO_CHUNK_CLASS(TChunkTRNS)
TREVASCO_CHUNK_CLASS(TChunkTEXT)
TREVASCO_CHUNK_CLASS(TChunkIEND)

void RaisePNGError(const std::string& message) {
    throw EPNGImageException(
        Format("Portable Network Graphics format handler error%s%s", "\r\n\r\n", message.c_str()));
}

uint32_t PNGCrc32(const uint8_t* data, size_t size, uint32_t crc) {
    // zlib's CRC-32 is the PNG one (same polynomial, preset and complement),
    // computed several bytes at a time; it matters for the large IDAT.
    while (size > 0) {
        size_t piece = std::min<size_t>(size, 1u << 30);
        crc = static_cast<uint32_t>(crc32(crc, data, static_cast<uInt>(piece)));
        data += piece;
        size -= piece;
    }
    return crc;
}

static void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

static uint32_t GetBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// ---- TChunk ----------------------------------------------------------------

TPNGImage& TChunk::Image() const {
    return FOwner.Image();
}

void TChunk::AssignChunk(const TChunk& source) {
    ChunkType = source.ChunkType;
    Data() = source.Data();
    ChunkData.SetPosition(0);
}

void TChunk::WriteChunk(TStream& stream) {
    const std::vector<uint8_t>& data = Data();
    if (data.size() > 0x7FFFFFFFu) RaisePNGError(PNGMessages::ChunkTooLarge);
    uint8_t head[8];
    PutBE32(head, static_cast<uint32_t>(data.size()));
    std::copy(ChunkType.begin(), ChunkType.end(), head + 4);
    uint32_t crc = PNGCrc32(head + 4, 4);
    crc = PNGCrc32(data.data(), data.size(), crc);
    uint8_t tail[4];
    PutBE32(tail, crc);
    stream.WriteBuffer(head, 8);
    if (!data.empty()) stream.WriteBuffer(data.data(), data.size());
    stream.WriteBuffer(tail, 4);
}

// ---- IHDR ------------------------------------------------------------------

TChunkIHDR::TChunkIHDR(TChunkList& owner) : TChunk(owner) {
    Data().assign(13, 0);
}

uint32_t TChunkIHDR::Read32(size_t at) const {
    return at + 4 <= Data().size() ? GetBE32(Data().data() + at) : 0;
}

void TChunkIHDR::Write32(size_t at, uint32_t value) {
    if (Data().size() < 13) Data().resize(13, 0);
    PutBE32(Data().data() + at, value);
}

void TChunkIHDR::Write8(size_t at, uint8_t value) {
    if (Data().size() < 13) Data().resize(13, 0);
    Data()[at] = value;
}

void TChunkIHDR::SetWidth(uint32_t value) {
    if (value > INT_MAX) RaisePNGError(PNGMessages::InvalidSize);
    Write32(0, value);
    if (static_cast<int>(value) != Image().Width()) Image().SetWidth(static_cast<int>(value));
}

void TChunkIHDR::SetHeight(uint32_t value) {
    if (value > INT_MAX) RaisePNGError(PNGMessages::InvalidSize);
    Write32(4, value);
    if (static_cast<int>(value) != Image().Height()) Image().SetHeight(static_cast<int>(value));
}

void TChunkIHDR::WriteChunk(TStream& stream) {
    TPNGImage& image = Image();
    // Guarded here: a PNG without pixels is not a valid file.
    if (image.Width() <= 0 || image.Height() <= 0) RaisePNGError(PNGMessages::EmptyImage);
    Data().assign(13, 0);
    Write32(0, static_cast<uint32_t>(image.Width()));
    Write32(4, static_cast<uint32_t>(image.Height()));
    switch (image.PixelFormat()) {
    case pf1bit:
    case pf4bit:
    case pf8bit:
        SetColorType(ctPalette);
        SetBitDepth(static_cast<uint8_t>(image.BitsPerPixel()));
        break;
    default:
        // Truecolour. A 32-bit raster is written from its own rows (the fourth
        // byte skipped) instead of being converted: on large photos the
        // conversion would cost a full copy of the raster for the same bytes.
        if (image.PixelFormat() != pfDevice && image.PixelFormat() != pf32bit &&
            image.PixelFormat() != pf24bit)
            image.SetPixelFormat(pf24bit);
        if (image.AlphaColorType())
            SetColorType(image.AlphaColorType());
        else
            SetColorType(image.TransparentKey() >= 0 && image.KeyIsGrey() ? ctGreyscale : ctRGB);
        SetBitDepth(8);
        break;
    }
    SetCompressionMethod(0);
    SetFilterMethod(0);
    SetInterlaceMethod(0);
    TChunk::WriteChunk(stream);
}

// ---- PLTE ------------------------------------------------------------------

void TChunkPLTE::WriteChunk(TStream& stream) {
    TPNGImage& image = Image();
    const TPalette& palette = image.Palette();
    if (palette.Count() == 0) return; // no palette: the chunk is left out entirely
    int count = palette.Count();
    // A PNG palette may not hold more entries than the bit depth can index.
    if (image.IsIndexed()) count = std::min(count, 1 << image.BitsPerPixel());
    const TChunkGAMA* gamma = image.ActiveGamma();
    Data().resize(static_cast<size_t>(count) * 3);
    uint8_t* p = Data().data();
    for (int i = 0; i < count; ++i) {
        const TPaletteEntry& e = palette[i];
        if (gamma) {
            *p++ = gamma->InverseGammaLookup[e.Red];
            *p++ = gamma->InverseGammaLookup[e.Green];
            *p++ = gamma->InverseGammaLookup[e.Blue];
        } else {
            *p++ = e.Red;
            *p++ = e.Green;
            *p++ = e.Blue;
        }
    }
    TChunk::WriteChunk(stream);
}

// ---- gAMA ------------------------------------------------------------------

TChunkGAMA::TChunkGAMA(TChunkList& owner) : TChunk(owner) {
    SetGamma(1);
}

uint32_t TChunkGAMA::Gamma() const {
    return Data().size() >= 4 ? GetBE32(Data().data()) : 0;
}

void TChunkGAMA::SetGamma(uint32_t value) {
    Data().resize(4);
    PutBE32(Data().data(), value);
    FHasTables = false;
}

void TChunkGAMA::AssignChunk(const TChunk& source) {
    TChunk::AssignChunk(source);
    FHasTables = false;
}

void TChunkGAMA::BuildTables() {
    const uint32_t g = Gamma();
    // A gamma of 0 (or a chunk too short to hold one) would divide by zero: ignored.
    FHasTables = g != 0;
    if (!FHasTables) return;
    const double exponent = 1.0 / (g / 100000.0 * 2.2);
    bool hit[256] = {};
    InverseGammaLookup.fill(0);
    for (int i = 0; i < 256; ++i) {
        // nearbyint rounds halves to even in the default rounding mode.
        double v = std::nearbyint(255.0 * std::pow(i / 255.0, exponent));
        int iv = static_cast<int>(std::clamp(v, 0.0, 255.0));
        GammaLookup[i] = static_cast<uint8_t>(iv);
        InverseGammaLookup[iv] = static_cast<uint8_t>(i);
        hit[iv] = true;
    }
    // Values no input maps to take the inverse of the next lower value that
    // is mapped, so writing such a colour never collapses it to black.
    for (int v = 1; v < 256; ++v)
        if (!hit[v]) InverseGammaLookup[v] = InverseGammaLookup[v - 1];
}

// ---- tRNS ------------------------------------------------------------------

void TChunkTRNS::WriteChunk(TStream& stream) {
    const TChunkIHDR* header = Owner().Find<TChunkIHDR>();
    if (const int64_t key = Image().TransparentKey(); key >= 0 && header) {
        const uint8_t r = static_cast<uint8_t>(key >> 16), g = static_cast<uint8_t>(key >> 8),
                      b = static_cast<uint8_t>(key);
        if (header->ColorType() == ctGreyscale)
            Data() = {0, b};
        else
            Data() = {0, r, 0, g, 0, b};
        TChunk::WriteChunk(stream);
        return;
    }
    if (!header || header->ColorType() != ctRGB) return; // only truecolour keys are written
    TColor c = ColorToRGB(Image().TransparentColor());
    Data() = {0, GetRValue(c), 0, GetGValue(c), 0, GetBValue(c)};
    TChunk::WriteChunk(stream);
}

// ---- tEXt ------------------------------------------------------------------

TChunkTEXT::TChunkTEXT(TChunkList& owner) : TChunk(owner) {
    Data().assign(2, 0);
}

// ---- class table -----------------------------------------------------------

TChunkClasses::TChunkClasses() {
    Add(ChunkTypeOf("IEND"), TChunkIEND::StaticClass());
    Add(ChunkTypeOf("IHDR"), TChunkIHDR::StaticClass());
    Add(ChunkTypeOf("gAMA"), TChunkGAMA::StaticClass());
    Add(ChunkTypeOf("IDAT"), TChunkIDAT::StaticClass());
    Add(ChunkTypeOf("PLTE"), TChunkPLTE::StaticClass());
    Add(ChunkTypeOf("tEXt"), TChunkTEXT::StaticClass());
    Add(ChunkTypeOf("tRNS"), TChunkTRNS::StaticClass());
}

TChunkClasses& TChunkClasses::Instance() {
    static TChunkClasses instance;
    return instance;
}

void TChunkClasses::CheckIndex(int index) const {
    if (index < 0 || index >= Count()) RaisePNGError(PNGMessages::ChunkClassIndex);
}

TChunkClass TChunkClasses::Item(int index) const {
    CheckIndex(index);
    return FItems[index].second;
}

const TChunkType& TChunkClasses::ItemType(int index) const {
    CheckIndex(index);
    return FItems[index].first;
}

void TChunkClasses::Add(const TChunkType& type, TChunkClass cls) {
    FItems.emplace_back(type, cls);
}

TChunkClass TChunkClasses::FindClass(const TChunkType& type) const {
    for (const auto& item : FItems)
        if (item.first == type) return item.second;
    return nullptr;
}

const TChunkType* TChunkClasses::FindType(TChunkClass cls) const {
    for (const auto& item : FItems)
        if (item.second == cls) return &item.first;
    return nullptr;
}

// ---- chunk list ------------------------------------------------------------

std::unique_ptr<TChunk> NewChunk(TChunkClass cls, TChunkList& owner) {
    std::unique_ptr<TChunk> chunk = cls->Create(owner);
    if (const TChunkType* type = TChunkClasses::Instance().FindType(cls)) chunk->ChunkType = *type;
    return chunk;
}

void TChunkList::CheckIndex(int index) const {
    if (index < 0 || index >= Count()) RaisePNGError(PNGMessages::ChunkIndex);
}

TChunk* TChunkList::Item(int index) const {
    CheckIndex(index);
    return FItems[index].get();
}

TChunk* TChunkList::Add(std::unique_ptr<TChunk> chunk) {
    FItems.push_back(std::move(chunk));
    return FItems.back().get();
}

TChunk* TChunkList::CreateChunk(TChunkClass cls) {
    return Add(NewChunk(cls, *this));
}

void TChunkList::Move(int curIndex, int newIndex) {
    CheckIndex(curIndex);
    CheckIndex(newIndex);
    if (curIndex == newIndex) return;
    std::unique_ptr<TChunk> chunk = std::move(FItems[curIndex]);
    FItems.erase(FItems.begin() + curIndex);
    FItems.insert(FItems.begin() + newIndex, std::move(chunk));
}

int TChunkList::IndexOf(const TChunk* chunk) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i].get() == chunk) return static_cast<int>(i);
    return -1;
}

void TChunkList::Remove(TChunk* chunk) {
    int i = IndexOf(chunk);
    if (i < 0) RaisePNGError(PNGMessages::ChunkNotInList);
    FItems.erase(FItems.begin() + i);
}

int TChunkList::IndexOfClass(TChunkClass cls) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (FItems[i]->ClassType() == cls) return static_cast<int>(i);
    return -1;
}

void TChunkList::Clear() {
    while (!FItems.empty())
        FItems.pop_back();
}

TChunk* TChunkList::ReadChunk(TStream& stream) {
    const int64_t remaining = stream.Size() - stream.Position();
    // Length, type and CRC must fit in what is left before anything is allocated.
    if (remaining < 12)
        throw EPNGImageException(CutShortMessage("the PNG data ends inside a chunk."));
    uint8_t head[8];
    stream.ReadBuffer(head, 8);
    const uint32_t length = GetBE32(head);
    TChunkType type;
    std::copy(head + 4, head + 8, type.begin());
    TChunkClass cls = TChunkClasses::Instance().FindClass(type);
    if (!cls && !(type[0] & 32)) RaisePNGError(PNGMessages::UnknownCritical);
    if (length > 0x7FFFFFFFu) RaisePNGError(PNGMessages::CorruptedData);
    if (static_cast<int64_t>(length) > remaining - 12)
        throw EPNGImageException(CutShortMessage("the PNG data ends inside a chunk."));

    // Later IDAT data goes straight onto the end of the first IDAT's data.
    TChunk* target = nullptr;
    std::unique_ptr<TChunk> fresh;
    if (cls == TChunkIDAT::StaticClass()) target = Find<TChunkIDAT>();
    if (!target) {
        fresh = NewChunk(cls ? cls : TChunk::StaticClass(), *this);
        fresh->ChunkType = type;
        fresh->Data().clear();
        target = fresh.get();
    }
    std::vector<uint8_t>& data = target->Data();
    const size_t start = data.size();
    data.resize(start + length);
    if (length > 0) stream.ReadBuffer(data.data() + start, length);
    uint8_t tail[4];
    stream.ReadBuffer(tail, 4);
    uint32_t crc = PNGCrc32(head + 4, 4);
    crc = PNGCrc32(data.data() + start, length, crc);
    if (crc != GetBE32(tail)) RaisePNGError(PNGMessages::CorruptedData);
    if (fresh) return Add(std::move(fresh));
    return target;
}
