// Colour lookups: map a colour to a palette index and that entry's colour.
#pragma once

#include "toolkit/Palette.h"

#include <cstdint>
#include <memory>
#include <vector>

class TColorLookup {
public:
    virtual ~TColorLookup() = default;
    virtual int Colors() const = 0;
    // r, g, b in: the colour; out: the chosen entry's colour. Returns the index.
    virtual uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) = 0;
};

// Nearest entry by a plain scan of the palette (squared RGB distance, lowest
// index on ties). The reference the faster lookup is tested against.
class TSlowColorLookup : public TColorLookup {
public:
    explicit TSlowColorLookup(const TPalette& palette) : FPalette(palette) {}
    int Colors() const override { return FPalette.Count(); }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override;

private:
    TPalette FPalette;
};

// The same nearest entry, without scanning the palette per pixel: the colour
// space is cut into 8x8x8 cells and each cell, on first use, keeps only the
// entries that can be nearest to some colour inside it (in index order, so
// ties still go to the lowest index); on photos a cell keeps about 4.
class TFastColorLookup : public TColorLookup {
public:
    explicit TFastColorLookup(const TPalette& palette);
    int Colors() const override { return FPalette.Count(); }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override;

private:
    // A candidate entry with its colour, packed for the scan.
    struct TCandidate {
        uint8_t Red, Green, Blue, Index;
    };
    void BuildCell(int cell);
    TPalette FPalette;
    std::vector<int32_t> FCellStart; // -1: not built yet
    std::vector<uint16_t> FCellCount;
    std::vector<TCandidate> FCandidates;
};

// The 6x6x6 cube: (c + 3) div 51 per component.
class TNetscapeColorLookup : public TColorLookup {
public:
    int Colors() const override { return 216; }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override;
};

// v = (77 R + 150 G + 29 B) shr 8.
class TGrayScaleLookup : public TColorLookup {
public:
    int Colors() const override { return 256; }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override;
};

// Black when 77 R + 150 G + 29 B <= 32512, else white.
class TMonochromeLookup : public TColorLookup {
public:
    int Colors() const override { return 2; }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override;
};

// The class the reduction uses for nearest-entry lookups; replaceable (tests
// swap in the plain scan to compare).
using TNearestLookupFactory = std::unique_ptr<TColorLookup> (*)(const TPalette& palette);
extern TNearestLookupFactory NearestLookupFactory;
