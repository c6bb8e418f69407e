// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/GIFColorMap.h"

#include "gif/GIFFrame.h"
#include "gif/GIFImage.h"

int TGIFColorMap::BitsPerPixelFor(int n) {
    if (n <= 0) return 0;
    int b = 1;
    while ((1 << b) < n)
        ++b;
    return b;
}

int TGIFColorMap::Add(TGIFColor color) {
    if (FCount >= 256) throw GIFException("Color table overflow");
    FColors[FCount] = color;
    FOptimized = false;
    ++FCount;
    Changed();
    return FCount - 1;
}

int TGIFColorMap::IndexOf(TGIFColor color) const {
    if (FOptimized) {
        for (int i = 0; i < FCount; ++i)
            if (FColors[i] == color) return i;
    } else {
        for (int i = FCount - 1; i >= 0; --i)
            if (FColors[i] == color) return i;
    }
    return -1;
}

int TGIFColorMap::AddUnique(TGIFColor color) {
    const int i = IndexOf(color);
    return i >= 0 ? i : Add(color);
}

void TGIFColorMap::Delete(int index) {
    if (index < 0 || index >= FCount) throw GIFException("Invalid color index");
    for (int i = index; i + 1 < FCount; ++i)
        FColors[i] = FColors[i + 1];
    --FCount;
    FColors[FCount] = TGIFColor{};
    FOptimized = false;
    Changed();
}

TGIFColor TGIFColorMap::Color(int index) const {
    if (index < 0 || index >= FCount) {
        Warning(1, "Invalid color index");
        if (FCount == 0) throw GIFException("Color table is empty");
        index = 0;
    }
    return FColors[index];
}

void TGIFColorMap::SetColor(int index, TGIFColor color) {
    if (index < 0 || index >= FCount) throw GIFException("Invalid color index");
    FColors[index] = color;
    Changed();
}

void TGIFColorMap::Clear() {
    FColors.fill(TGIFColor{});
    FCount = 0;
    FOptimized = false;
    Changed();
}

void TGIFColorMap::Assign(const TGIFColorMap& source) {
    if (&source == this) return;
    FColors = source.FColors;
    FCount = source.FCount;
    FOptimized = source.FOptimized;
    Changed();
}

void TGIFColorMap::ImportPalette(const TPalette& palette) {
    FColors.fill(TGIFColor{});
    FCount = palette.Count();
    for (int i = 0; i < FCount; ++i)
        FColors[i] = TGIFColor{palette[i].Red, palette[i].Green, palette[i].Blue};
    FOptimized = false;
    Changed();
}

void TGIFColorMap::ImportQuads(const TRGBQuad* quads, int count) {
    FColors.fill(TGIFColor{});
    FCount = count < 0 ? 0 : (count > 256 ? 256 : count);
    for (int i = 0; i < FCount; ++i)
        FColors[i] = TGIFColor{quads[i].Red, quads[i].Green, quads[i].Blue};
    FOptimized = false;
    Changed();
}

TPalette TGIFColorMap::ExportPalette() const {
    TPalette p;
    p.SetCount(FCount);
    for (int i = 0; i < FCount; ++i)
        p.Set(i, FColors[i].Red, FColors[i].Green, FColors[i].Blue);
    return p;
}

void TGIFColorMap::SaveToStream(TStream& stream) const {
    const int b = BitsPerPixel();
    if (b == 0) return;
    uint8_t bytes[768] = {};
    for (int i = 0; i < FCount; ++i) {
        bytes[i * 3] = FColors[i].Red;
        bytes[i * 3 + 1] = FColors[i].Green;
        bytes[i * 3 + 2] = FColors[i].Blue;
    }
    stream.WriteBuffer(bytes, static_cast<size_t>(3 << b));
}

void TGIFColorMap::LoadFromStream(TStream& stream, int count) {
    uint8_t bytes[768];
    if (count < 0 || count > 256) throw GIFException("Invalid GIF data");
    if (stream.Read(bytes, static_cast<size_t>(count) * 3) != static_cast<size_t>(count) * 3)
        throw GIFException("Premature end of data");
    FColors.fill(TGIFColor{});
    for (int i = 0; i < count; ++i)
        FColors[i] = TGIFColor{bytes[i * 3], bytes[i * 3 + 1], bytes[i * 3 + 2]};
    FCount = count;
    FOptimized = false;
    Changed();
}

void TGIFColorMap::SortUsage(std::vector<TUsageEntry>& table, int low, int high) {
    int i;
    do {
        i = low;
        int j = high;
        const int64_t pivot = table[static_cast<size_t>((low + high) >> 1)].first;
        do {
            while (table[i].first > pivot)
                ++i;
            while (table[j].first < pivot)
                --j;
            if (i <= j) {
                std::swap(table[i], table[j]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (low < j) SortUsage(table, low, j);
        low = i;
    } while (i < high);
}

bool TGIFColorMap::Optimize() {
    if (FCount <= 1) return false;
    FOptimized = true;
    std::vector<int64_t> counts(static_cast<size_t>(FCount), 0);
    BuildHistogram(counts);
    std::vector<TUsageEntry> table(static_cast<size_t>(FCount));
    for (int i = 0; i < FCount; ++i)
        table[i] = {counts[i], i};
    SortUsage(table, 0, FCount - 1);
    bool moved = false;
    for (int i = 0; i < FCount; ++i)
        if (table[i].second != i) moved = true;
    if (!moved) return true;

    std::array<uint8_t, 256> newIndex;
    for (int i = 0; i < 256; ++i)
        newIndex[i] = static_cast<uint8_t>(i);
    for (int i = 0; i < FCount; ++i)
        newIndex[table[i].second] = static_cast<uint8_t>(i);
    MapImages(newIndex);
    std::array<TGIFColor, 256> colors{};
    for (int k = 0; k < FCount; ++k)
        colors[newIndex[k]] = FColors[k];
    int used = FCount;
    for (int i = 0; i < FCount; ++i)
        if (table[i].first == 0) {
            used = i;
            break;
        }
    for (int i = used; i < 256; ++i)
        colors[i] = TGIFColor{};
    FColors = colors;
    FCount = used;
    Changed();
    return true;
}

// Global map: counts the pixels of every frame that uses it.
void TGIFGlobalColorMap::BuildHistogram(std::vector<int64_t>& counts) const {
    for (int f = 0; f < FImage.FrameCount(); ++f) {
        const TGIFFrame& frame = FImage.Frame(f);
        if (&frame.ActiveColorMap() != this) continue;
        for (uint8_t v : frame.Data())
            if (v < counts.size()) ++counts[v];
    }
}

void TGIFGlobalColorMap::MapImages(const std::array<uint8_t, 256>& newIndex) {
    for (int f = 0; f < FImage.FrameCount(); ++f) {
        TGIFFrame& frame = FImage.Frame(f);
        if (&frame.ActiveColorMap() != this) continue;
        frame.RemapPixels(newIndex);
    }
}

void TGIFGlobalColorMap::Warning(int severity, const std::string& message) const {
    FImage.Warning(severity, message);
}

void TGIFGlobalColorMap::Changed() {
    FImage.Changed();
    for (int f = 0; f < FImage.FrameCount(); ++f)
        FImage.Frame(f).Changed();
}

void TGIFLocalColorMap::BuildHistogram(std::vector<int64_t>& counts) const {
    for (uint8_t v : FFrame.Data())
        if (v < counts.size()) ++counts[v];
}

void TGIFLocalColorMap::MapImages(const std::array<uint8_t, 256>& newIndex) {
    FFrame.RemapPixels(newIndex);
}

void TGIFLocalColorMap::Warning(int severity, const std::string& message) const {
    FFrame.Image().Warning(severity, message);
}

void TGIFLocalColorMap::Changed() {
    FFrame.Changed();
}
