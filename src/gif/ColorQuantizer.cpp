// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/ColorQuantizer.h"

#include "gif/GIFException.h"

TColorQuantizer::TColorQuantizer(int maxColors, int colorBits)
    : FMaxColors(maxColors < 1 ? 1 : maxColors), FColorBits(colorBits) {
    if (colorBits > 8) throw GIFException("ColorBits must be 8 or less");
    if (FColorBits < 1) FColorBits = 1;
    FReducible.assign(static_cast<size_t>(FColorBits), -1);
    FNodes.reserve(1024);
    for (int level = 0; level <= FColorBits; ++level) {
        const uint32_t field = ((1u << level) - 1) << (FColorBits - level);
        FLevelMask[level] = (field << (2 * FColorBits)) | (field << FColorBits) | field;
    }
    if (FColorBits <= 6) FLeafOf.assign(size_t(1) << (3 * FColorBits), -1);
}

int32_t TColorQuantizer::NewNode(int level, uint32_t key) {
    int32_t id;
    if (!FFree.empty()) {
        id = FFree.back();
        FFree.pop_back();
        FNodes[id] = TOctreeNode{};
    } else {
        id = static_cast<int32_t>(FNodes.size());
        FNodes.emplace_back();
    }
    TOctreeNode& n = FNodes[id];
    for (int32_t& c : n.Children)
        c = -1;
    n.Level = static_cast<uint8_t>(level);
    n.Key = key & FLevelMask[level];
    if (level == FColorBits) {
        n.Leaf = true;
        ++FLeafCount;
    } else {
        n.Next = FReducible[level];
        FReducible[level] = id;
    }
    return id;
}

void TColorQuantizer::FreeNode(int32_t node) {
    FNodes[node].Leaf = false;
    FFree.push_back(node);
}

void TColorQuantizer::AddColor(uint8_t r, uint8_t g, uint8_t b) {
    const uint32_t rgb = (uint32_t(r) << 16) | (uint32_t(g) << 8) | b;
    int32_t node;
    if (FLastLeaf >= 0 && rgb == FLastColor) {
        node = FLastLeaf;
    } else {
        const uint32_t key = LeafKey(r, g, b);
        if (FRoot < 0) FRoot = NewNode(0, key);
        node = FRoot;
        for (int level = 0; !FNodes[node].Leaf; ++level) {
            const int shift = 7 - level;
            const int m = 0x80 >> level;
            const int idx =
                (((r & m) >> shift) << 2) | (((g & m) >> shift) << 1) | ((b & m) >> shift);
            int32_t child = FNodes[node].Children[idx];
            if (child < 0) {
                child = NewNode(level + 1, key); // may move FNodes
                FNodes[node].Children[idx] = child;
            }
            node = child;
        }
    }
    TOctreeNode& leaf = FNodes[node];
    ++leaf.PixelCount;
    leaf.RedSum += r;
    leaf.GreenSum += g;
    leaf.BlueSum += b;
    FLastLeaf = node;
    FLastColor = rgb;
    while (FLeafCount > FMaxColors) {
        Reduce();
        FLastLeaf = -1;
    }
}

void TColorQuantizer::AddRow(const uint8_t* pixels, int pixelBytes, int width) {
    for (int x = 0; x < width; ++x, pixels += pixelBytes) {
        const uint8_t r = pixels[2], g = pixels[1], b = pixels[0];
        const uint32_t rgb = (uint32_t(r) << 16) | (uint32_t(g) << 8) | b;
        int32_t node = -1;
        const uint32_t key = LeafKey(r, g, b);
        // With the leaf table the previous pixel's leaf is not tried first:
        // whether a photo's next pixel repeats the colour is a coin toss the
        // branch predictor loses, and the table finds the same leaf anyway.
        if (FLeafOf.empty() && FLastLeaf >= 0 && rgb == FLastColor) {
            node = FLastLeaf;
        } else if (!FLeafOf.empty() && FLeafOf[key] >= 0 && FNodes[FLeafOf[key]].Leaf &&
                   (key & FLevelMask[FNodes[FLeafOf[key]].Level]) == FNodes[FLeafOf[key]].Key) {
            // A live leaf on this key's path: no node above it is a leaf (a
            // reduction frees the children of the node it turns into one),
            // so the walk would end here too.
            node = FLeafOf[key];
        } else if (FRoot >= 0) {
            // Walk the existing path without allocating; a missing child
            // leaves the pixel to AddColor.
            const TOctreeNode* nodes = FNodes.data();
            int32_t n = FRoot;
            for (int level = 0; n >= 0 && !nodes[n].Leaf; ++level) {
                const int shift = 7 - level;
                const int idx =
                    (((r >> shift) & 1) << 2) | (((g >> shift) & 1) << 1) | ((b >> shift) & 1);
                n = nodes[n].Children[idx];
            }
            node = n;
            if (node >= 0 && !FLeafOf.empty()) FLeafOf[key] = node;
        }
        if (node < 0) {
            AddColor(r, g, b);
            continue;
        }
        // An existing leaf: no node is added, so no reduction is due.
        TOctreeNode& leaf = FNodes[node];
        ++leaf.PixelCount;
        leaf.RedSum += r;
        leaf.GreenSum += g;
        leaf.BlueSum += b;
        FLastLeaf = node;
        FLastColor = rgb;
    }
}

void TColorQuantizer::Reduce() {
    int level = FColorBits - 1;
    while (level > 0 && FReducible[level] < 0)
        --level;
    const int32_t id = FReducible[level];
    if (id < 0) return; // only the root is left and it is a leaf already
    FReducible[level] = FNodes[id].Next;
    int children = 0;
    for (int i = 0; i < 8; ++i) {
        const int32_t c = FNodes[id].Children[i];
        if (c < 0) continue;
        TOctreeNode& n = FNodes[id];
        n.PixelCount += FNodes[c].PixelCount;
        n.RedSum += FNodes[c].RedSum;
        n.GreenSum += FNodes[c].GreenSum;
        n.BlueSum += FNodes[c].BlueSum;
        n.Children[i] = -1;
        FreeNode(c);
        ++children;
    }
    FNodes[id].Leaf = true;
    FLeafCount -= children - 1;
}

TPalette TColorQuantizer::Colors() const {
    TPalette p;
    int count = 0;
    // Depth-first, children in order; the tree is at most 9 levels deep.
    struct TFrame {
        int32_t Node;
        int Child;
    };
    std::vector<TFrame> stack;
    if (FRoot >= 0) stack.push_back({FRoot, 0});
    while (!stack.empty()) {
        TFrame& f = stack.back();
        const TOctreeNode& n = FNodes[f.Node];
        if (n.Leaf) {
            if (count < 256) {
                if (n.PixelCount == 0)
                    p.Set(count, 0, 0, 0);
                else
                    p.Set(count, static_cast<uint8_t>(n.RedSum / n.PixelCount),
                          static_cast<uint8_t>(n.GreenSum / n.PixelCount),
                          static_cast<uint8_t>(n.BlueSum / n.PixelCount));
                ++count;
            }
            stack.pop_back();
            continue;
        }
        if (f.Child >= 8) {
            stack.pop_back();
            continue;
        }
        const int32_t c = n.Children[f.Child++];
        if (c >= 0) stack.push_back({c, 0});
    }
    p.SetCount(count);
    return p;
}
