// SPDX-License-Identifier: GPL-3.0-or-later
// TGIFColorMap: a GIF colour table of up to 256 red, green, blue entries.
#pragma once

#include "base/Streams.h"
#include "toolkit/Palette.h"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

class TGIFImage;
class TGIFFrame;

struct TGIFColor {
    uint8_t Red = 0, Green = 0, Blue = 0;
    constexpr bool operator==(const TGIFColor&) const = default;
};

// (pixel count, former index) pairs of the optimisation.
using TUsageEntry = std::pair<int64_t, int>;

class TGIFColorMap {
public:
    TGIFColorMap() = default;
    virtual ~TGIFColorMap() = default;
    TGIFColorMap(const TGIFColorMap&) = delete;
    TGIFColorMap& operator=(const TGIFColorMap&) = delete;

    int Count() const { return FCount; }
    // The sorted flag of the file's packed bytes.
    bool Optimized() const { return FOptimized; }
    void SetOptimized(bool value) { FOptimized = value; }
    int BitsPerPixel() const { return BitsPerPixelFor(FCount); }
    // 0 for no entries, else the smallest b >= 1 with 2^b >= n.
    static int BitsPerPixelFor(int n);

    // Appends a colour ("Color table overflow" when full); returns its index.
    int Add(TGIFColor color);
    // Exact match or -1: a sorted map is searched upwards, any other downwards.
    int IndexOf(TGIFColor color) const;
    int AddUnique(TGIFColor color);
    void Delete(int index);
    // Out of range: warning "Invalid color index" and entry 0 ("Color table is empty" when none).
    TGIFColor Color(int index) const;
    void SetColor(int index, TGIFColor color);
    void Clear();
    void Assign(const TGIFColorMap& source);

    void ImportPalette(const TPalette& palette);
    // 4-byte entries in blue, green, red, reserved order.
    void ImportQuads(const TRGBQuad* quads, int count);
    TPalette ExportPalette() const;

    // The n entries, then black up to 2^BitsPerPixel entries.
    void SaveToStream(TStream& stream) const;
    // Reads exactly count triplets ("Premature end of data" when short).
    void LoadFromStream(TStream& stream, int count);

    // Sorts entries by use, drops unused ones and renumbers the pixels.
    // Returns false when the map has fewer than 2 entries (nothing to do).
    bool Optimize();
    // The quicksort the optimisation uses: by count, highest first.
    static void SortUsage(std::vector<TUsageEntry>& table, int low, int high);

protected:
    // One count per entry: how many pixels use it.
    virtual void BuildHistogram(std::vector<int64_t>& counts) const = 0;
    // Renumbers the pixels (and transparent indices) through newIndex.
    virtual void MapImages(const std::array<uint8_t, 256>& newIndex) = 0;
    virtual void Warning(int severity, const std::string& message) const = 0;
    virtual void Changed() = 0;

private:
    std::array<TGIFColor, 256> FColors{};
    int FCount = 0;
    bool FOptimized = false;
};

class TGIFGlobalColorMap : public TGIFColorMap {
public:
    explicit TGIFGlobalColorMap(TGIFImage& image) : FImage(image) {}

protected:
    void BuildHistogram(std::vector<int64_t>& counts) const override;
    void MapImages(const std::array<uint8_t, 256>& newIndex) override;
    void Warning(int severity, const std::string& message) const override;
    void Changed() override;

private:
    TGIFImage& FImage;
};

class TGIFLocalColorMap : public TGIFColorMap {
public:
    explicit TGIFLocalColorMap(TGIFFrame& frame) : FFrame(frame) {}

protected:
    void BuildHistogram(std::vector<int64_t>& counts) const override;
    void MapImages(const std::array<uint8_t, 256>& newIndex) override;
    void Warning(int severity, const std::string& message) const override;
    void Changed() override;

private:
    TGIFFrame& FFrame;
};
