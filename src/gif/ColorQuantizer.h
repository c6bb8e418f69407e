// SPDX-License-Identifier: GPL-3.0-or-later
// TColorQuantizer: the octree that computes an optimal palette.
#pragma once

#include "toolkit/Palette.h"

#include <cstdint>
#include <vector>

class TColorQuantizer {
public:
    // colorBits above 8 fails with "ColorBits must be 8 or less".
    TColorQuantizer(int maxColors, int colorBits);
    void AddColor(uint8_t r, uint8_t g, uint8_t b);
    // A row of pixels in blue, green, red order, pixelBytes apart.
    void AddRow(const uint8_t* pixels, int pixelBytes, int width);
    int LeafCount() const { return FLeafCount; }
    // Leaf colours in depth-first order, children 0..7.
    TPalette Colors() const;

private:
    struct TOctreeNode {
        bool Leaf = false; // false again once the node is freed
        uint8_t Level = 0;
        uint32_t Key =
            0; // the path: the node's level's top bits of each channel, as LeafKey packs them
        uint32_t PixelCount = 0;
        // 64-bit sums: a large uniform area would overflow 32 bits.
        uint64_t RedSum = 0, GreenSum = 0, BlueSum = 0;
        int32_t Children[8];
        int32_t Next = -1; // next reducible node of the same level
    };
    int32_t NewNode(int level, uint32_t key);
    // The top FColorBits bits of each channel, red highest: they fix the path
    // to a leaf, however far the tree has been reduced.
    uint32_t LeafKey(uint8_t r, uint8_t g, uint8_t b) const {
        const int drop = 8 - FColorBits;
        return ((uint32_t(r) >> drop) << (2 * FColorBits)) | ((uint32_t(g) >> drop) << FColorBits) |
               (uint32_t(b) >> drop);
    }
    void FreeNode(int32_t node);
    void Reduce();

    int FMaxColors, FColorBits;
    std::vector<TOctreeNode> FNodes;
    std::vector<int32_t> FFree;
    int32_t FRoot = -1;
    int FLeafCount = 0;
    std::vector<int32_t> FReducible; // one list head per level
    // The leaf the previous pixel ended in, while no reduction has happened
    // since: an identical next pixel goes straight there.
    int32_t FLastLeaf = -1;
    uint32_t FLastColor = 0;
    // The leaf last reached per leaf key (6 colour bits or fewer only). An
    // entry is used only while its node is a live leaf on that key's path,
    // so reductions need not clear it; it saves the walk from the root.
    std::vector<int32_t> FLeafOf;
    uint32_t FLevelMask[9] = {}; // the key bits a node of each level fixes
};
