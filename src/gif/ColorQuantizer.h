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
        bool Leaf = false;
        uint32_t PixelCount = 0;
        // 64-bit sums: a large uniform area would overflow 32 bits.
        uint64_t RedSum = 0, GreenSum = 0, BlueSum = 0;
        int32_t Children[8];
        int32_t Next = -1; // next reducible node of the same level
    };
    int32_t NewNode(int level);
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
};
