// SPDX-License-Identifier: GPL-3.0-or-later
// TGIFRenderer: plays an animation frame by frame into a buffer of the
// target rectangle's size. It has no timer of its own: the caller asks for
// the delay of the shown frame and steps to the next one.
#pragma once

#include "toolkit/Bitmap.h"

#include <memory>

class TGIFImage;
class TGIFFrame;

class TGIFRenderer {
public:
    TGIFRenderer(TGIFImage& image, int width, int height);
    // Takes the loop limit from the first loop extension (1 without one;
    // 0 means forever) and shows the first frame with pixels. False when
    // there is nothing to show.
    bool Start();
    // Disposes of the shown frame and shows the next one; false (and
    // nothing changes) when the loop limit has been reached.
    bool NextFrame();
    int FrameIndex() const { return FIndex; }
    int LoopCount() const { return FLoopCount; }
    int LoopLimit() const { return FLoopLimit; }
    // Delay of the shown frame in milliseconds: hundredths from its graphic
    // control extension (10 when 0 or absent, clamped to 3..1000), 12 ms
    // each at speed 100, scaled by the image's playback speed.
    int FrameDelay() const;
    const TBitmap& Buffer() const { return FBuffer; }

private:
    int NextIndex(int from) const;
    void Show(int index);

    TGIFImage& FImage;
    TBitmap FBuffer, FBackground;
    std::unique_ptr<TBitmap> FPreviousState;
    int FIndex = -1, FLoopCount = 0, FLoopLimit = 1;
    int FPrevDisposal = 0;
    TRect FPrevRect{};
};
