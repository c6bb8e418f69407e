// Colour lookups: map a colour to a palette index and that entry's colour.
#pragma once

#include "gif/MortonOrder.h"
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
// space is cut into 4x4x4 cells and each cell, on first use, keeps only the
// entries that can be nearest to some colour inside it (in index order, so
// ties still go to the lowest index); on photos a cell keeps one or two. A
// cell is filtered from its enclosing 8x8x8 cell's list, that one from its
// 32x32x32 cell's list, and that from the whole palette, the same way each. The fine cells are numbered in Morton
// order: a dithered colour moves a few steps around the previous one, and
// neighbouring cells then share cache lines instead of lying 16 KiB apart.
// Final and inline so the ditherers' row loops call it without dispatch.
class TFastColorLookup final : public TColorLookup {
public:
    explicit TFastColorLookup(const TPalette& palette);
    int Colors() const override { return FPalette.Count(); }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override {
        // Dithered photos repeat exact colours often enough that a memo of
        // recent answers skips most cell scans.
        const uint32_t rgb = (uint32_t(r) << 16) | (uint32_t(g) << 8) | b;
        uint32_t& memo = FMemo[MemoSlot(r, g, b)];
        if ((memo & 0xFFFFFF) == rgb) {
            const uint8_t index = static_cast<uint8_t>(memo >> 24);
            const TCandidate& c = FByIndex[index];
            r = c.Red;
            g = c.Green;
            b = c.Blue;
            return index;
        }
        const int fine = FineCell(r, g, b);
        if (FFine[fine].Start < 0) BuildFine(fine);
        const TCandidate* cand = FCandidates.data() + FFine[fine].Start;
        const int count = FFine[fine].Count;
        const int cr = r, cg = g, cb = b;
        int bestDist = 1 << 30;
        int best = 0;
        for (int k = 0; k < count; ++k) {
            const int dr = cand[k].Red - cr, dg = cand[k].Green - cg, db = cand[k].Blue - cb;
            const int d = dr * dr + dg * dg + db * db;
            // Strictly less: the first (lowest index) of tied entries stays.
            best = d < bestDist ? k : best;
            bestDist = d < bestDist ? d : bestDist;
        }
        const TCandidate& c = cand[best];
        memo = rgb | (uint32_t(c.Index) << 24);
        r = c.Red;
        g = c.Green;
        b = c.Blue;
        return c.Index;
    }

private:
    // A candidate entry with its colour, packed for the scan.
    struct TCandidate {
        uint8_t Red, Green, Blue, Index;
    };
    struct TCell {
        int32_t Start = -1; // -1: not built yet
        int32_t Count = 0;
    };
    // Appends the entries of from that can be nearest inside the cube of
    // size values from (lr, lg, lb); returns where they start.
    int Filter(const TCandidate* from, int n, int lr, int lg, int lb, int size);
    static int FineCell(uint8_t r, uint8_t g, uint8_t b) {
        return static_cast<int>(kMortonSpread.Bits[r >> 2] | (kMortonSpread.Bits[g >> 2] << 1) |
                                (kMortonSpread.Bits[b >> 2] << 2));
    }
    void BuildWide(int wide);
    void BuildCell(int cell);
    void BuildFine(int fine);
    TPalette FPalette;
    std::vector<TCandidate> FAll; // the palette without repeated colours
    std::vector<TCell> FWide;     // 32x32x32
    std::vector<TCell> FCells;    // 8x8x8
    std::vector<TCell> FFine;     // 4x4x4
    std::vector<TCandidate> FCandidates;
    // Direct-mapped memo of answers: colour in the low 24 bits, index above.
    // Every slot starts as white's true answer, so an unused slot is never wrong.
    static constexpr int kMemoBits = 16;
    // The low five bits of each channel, interleaved: nearby colours (as
    // dithering makes them) fall into nearby slots and share cache lines.
    static uint32_t MemoSlot(uint8_t r, uint8_t g, uint8_t b) {
        const uint32_t near = kMortonSpread.Bits[r & 31] | (kMortonSpread.Bits[g & 31] << 1) |
                              (kMortonSpread.Bits[b & 31] << 2);
        const uint32_t far = ((r >> 5) * 0x9Du) ^ ((g >> 5) * 0x1C3u) ^ ((b >> 5) * 0x2E5u);
        return (near ^ (far << 6)) & ((1u << kMemoBits) - 1);
    }
    std::vector<uint32_t> FMemo;
    TCandidate FByIndex[256] = {}; // each palette index's colour
};

// The 6x6x6 cube: (c + 3) div 51 per component.
class TNetscapeColorLookup final : public TColorLookup {
public:
    int Colors() const override { return 216; }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override {
        const int rr = (r + 3) / 51, gg = (g + 3) / 51, bb = (b + 3) / 51;
        r = static_cast<uint8_t>(rr * 51);
        g = static_cast<uint8_t>(gg * 51);
        b = static_cast<uint8_t>(bb * 51);
        return static_cast<uint8_t>(rr * 36 + gg * 6 + bb);
    }
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
