// SPDX-License-Identifier: GPL-3.0-or-later
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

// The same nearest entry, without scanning the palette per pixel. The colour
// space is cut into 4x4x4 cells; the first time a colour of a cell is asked
// for, the entries that can be nearest to some colour inside the cell are
// found (in index order, so ties still go to the lowest index; on photos a
// cell keeps a handful), and the answers for all 64 colours of the cell are
// worked out from them and kept. A lookup is then one table read: in a
// dithering loop each lookup waits for the one before it, and a search with
// branches there would cost its latency on every pixel. A cell's list is
// filtered from its enclosing 8x8x8 cell's list, that one from its 32x32x32
// cell's list, and that from the whole palette, the same way each.
// Final and inline so the ditherers' row loops call it without dispatch.
class TFastColorLookup final : public TColorLookup {
public:
    explicit TFastColorLookup(const TPalette& palette);
    int Colors() const override { return FPalette.Count(); }
    uint8_t Lookup(uint8_t& r, uint8_t& g, uint8_t& b) override {
        const uint32_t colour =
            kMortonSpread.Bits[r] | (kMortonSpread.Bits[g] << 1) | (kMortonSpread.Bits[b] << 2);
        const uint32_t fine = colour >> 6; // the 4x4x4 cell, in the same order
        if (!((FAnswered[fine >> 6] >> (fine & 63)) & 1)) [[unlikely]]
            Answer(fine);
        const uint8_t index = FAnswers[colour];
        const TCandidate& c = FByIndex[index];
        r = c.Red;
        g = c.Green;
        b = c.Blue;
        return index;
    }
    // Asks the cache for the line holding a colour's answer (whether or not
    // it is worked out yet) ahead of a lookup that will probably want it.
    void Prefetch(int r, int g, int b) const {
        const uint32_t colour =
            kMortonSpread.Bits[r] | (kMortonSpread.Bits[g] << 1) | (kMortonSpread.Bits[b] << 2);
        __builtin_prefetch(FAnswers.get() + colour);
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
    // Copies the entries of from that can be nearest inside the cube of
    // size values from (lr, lg, lb) to out; returns how many.
    static int Filter(const TCandidate* from, int n, int lr, int lg, int lb, int size,
                      TCandidate* out);
    // Stores the filtered list of from as cell's list.
    void Keep(TCell& cell, const TCandidate* from, int n, int r, int g, int b, int size);
    // The 8x8x8 cell holding (r, g, b), its list built on first use.
    const TCell& CoarseCell(int r, int g, int b);
    // Works out and keeps the answers of a fine cell's 64 colours.
    void Answer(uint32_t fine);

    TPalette FPalette;
    std::vector<TCandidate> FAll;        // the palette without repeated colours
    std::vector<TCell> FWide;            // 32x32x32
    std::vector<TCell> FCells;           // 8x8x8
    std::vector<TCandidate> FCandidates; // the lists of both
    // The answers, indexed by the colour's Morton number: a cell's 64 answers
    // share one cache line, and neighbouring cells (a dithered colour moves a
    // few steps around the one before) lie side by side. Only the cells in
    // use are written; the system supplies the rest of the 16 MiB lazily.
    std::unique_ptr<uint8_t[]> FAnswers;
    std::vector<uint64_t> FAnswered; // one bit per fine cell
    TCandidate FByIndex[256] = {};   // each palette index's colour
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
