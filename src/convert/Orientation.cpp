// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/Orientation.h"

#include "base/Exceptions.h"

#include <algorithm>
#include <cstring>

bool OrientationTurns(int orientation) {
    return orientation >= 2 && orientation <= 8;
}

bool OrientationSwapsSides(int orientation) {
    return orientation >= 5 && orientation <= 8;
}

namespace {

// The stored pixel shown at upright position (x, y) of a stored w x h picture.
inline void StoredSpot(int orientation, int x, int y, int w, int h, int& sx, int& sy) {
    switch (orientation) {
    case 2:
        sx = w - 1 - x;
        sy = y;
        break;
    case 3:
        sx = w - 1 - x;
        sy = h - 1 - y;
        break;
    case 4:
        sx = x;
        sy = h - 1 - y;
        break;
    case 5:
        sx = y;
        sy = x;
        break;
    case 6:
        sx = y;
        sy = h - 1 - x;
        break;
    case 7:
        sx = w - 1 - y;
        sy = h - 1 - x;
        break;
    case 8:
        sx = w - 1 - y;
        sy = x;
        break;
    default:
        sx = x;
        sy = y;
        break;
    }
}

template <int B> void Turn(const TBitmap& src, TBitmap& dst, int orientation) {
    const int w = src.Width(), h = src.Height();
    const int W = dst.Width(), H = dst.Height();
    // Tiles keep the column-wise reads of the turning orientations in cache.
    constexpr int Tile = 64;
    for (int ty = 0; ty < H; ty += Tile)
        for (int tx = 0; tx < W; tx += Tile) {
            const int yEnd = std::min(H, ty + Tile), xEnd = std::min(W, tx + Tile);
            for (int y = ty; y < yEnd; ++y) {
                uint8_t* d = dst.ScanLine(y);
                for (int x = tx; x < xEnd; ++x) {
                    int sx, sy;
                    StoredSpot(orientation, x, y, w, h, sx, sy);
                    std::memcpy(d + static_cast<size_t>(x) * B,
                                src.ScanLine(sy) + static_cast<size_t>(sx) * B, B);
                }
            }
        }
}

} // namespace

std::unique_ptr<TBitmap> OrientUpright(const TBitmap& stored, int orientation) {
    const int bits = stored.BitsPerPixel();
    if (bits != 24 && bits != 32) throw EInvalidGraphic("Invalid pixel format");
    auto result = std::make_unique<TBitmap>();
    result->SetPixelFormat(stored.PixelFormat());
    if (!OrientationTurns(orientation)) orientation = 1;
    const bool swap = OrientationSwapsSides(orientation);
    result->SetSizeForOverwrite(swap ? stored.Height() : stored.Width(),
                                swap ? stored.Width() : stored.Height());
    if (bits == 24)
        Turn<3>(stored, *result, orientation);
    else
        Turn<4>(stored, *result, orientation);
    return result;
}
