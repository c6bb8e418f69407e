// SPDX-License-Identifier: GPL-3.0-or-later
#include "gif/GIFRenderer.h"

#include "gif/GIFImage.h"

#include <algorithm>
#include <cmath>

TGIFRenderer::TGIFRenderer(TGIFImage& image, int width, int height)
    : FImage(image), FBuffer(width, height, pfDevice), FBackground(width, height, pfDevice) {
    FBackground.Canvas().BrushColor = image.BackgroundColor();
    FBackground.Canvas().FillRect(Rect(0, 0, width, height));
    FBuffer.Assign(FBackground);
}

int TGIFRenderer::NextIndex(int from) const {
    for (int i = from; i < FImage.FrameCount(); ++i)
        if (!FImage.Frame(i).Empty()) return i;
    return -1;
}

bool TGIFRenderer::Start() {
    FLoopLimit = 1;
    bool found = false;
    for (int f = 0; f < FImage.FrameCount() && !found; ++f) {
        const TGIFFrame& frame = FImage.Frame(f);
        for (int e = 0; e < frame.ExtensionCount(); ++e)
            if (auto* loop = dynamic_cast<const TGIFAppExtNSLoop*>(&frame.Extension(e))) {
                FLoopLimit = loop->Loops;
                found = true;
                break;
            }
    }
    FLoopCount = 0;
    FPrevDisposal = 0;
    FPreviousState.reset();
    FBuffer.Assign(FBackground);
    const int first = NextIndex(0);
    if (first < 0) return false;
    Show(first);
    return true;
}

bool TGIFRenderer::NextFrame() {
    if (FIndex < 0) return false;
    int next = NextIndex(FIndex + 1);
    if (next < 0) {
        if (FLoopLimit != 0 && FLoopCount + 1 >= FLoopLimit) return false;
        ++FLoopCount;
        next = NextIndex(0);
    }
    // Dispose of the shown frame as it asks.
    if (FPrevDisposal == 2) {
        TBitmap& target = FBuffer;
        const TRect& r = FPrevRect;
        for (int y = std::max(r.Top, 0); y < std::min(r.Bottom, target.Height()); ++y) {
            uint8_t* dst = target.ScanLine(y);
            const uint8_t* src = FBackground.ScanLine(y);
            const int x0 = std::max(r.Left, 0), x1 = std::min(r.Right, target.Width());
            if (x1 > x0) std::copy(src + x0 * 4, src + x1 * 4, dst + x0 * 4);
        }
    } else if (FPrevDisposal == 3 && FPreviousState) {
        FBuffer.Assign(*FPreviousState);
    }
    Show(next);
    return true;
}

void TGIFRenderer::Show(int index) {
    TGIFFrame& frame = FImage.Frame(index);
    const TGIFGraphicControlExtension* gce = frame.GraphicControlExtension();
    const int disposal = gce ? gce->Disposal() : 0;
    if (disposal == 3) FPreviousState = std::make_unique<TBitmap>(FBuffer);
    const TRect rect = FImage.FrameRect(frame, Rect(0, 0, FBuffer.Width(), FBuffer.Height()));
    FImage.DrawFrame(FBuffer.Canvas(), rect, frame);
    FIndex = index;
    FPrevDisposal = disposal;
    FPrevRect = rect;
}

int TGIFRenderer::FrameDelay() const {
    if (FIndex < 0) return 0;
    const TGIFGraphicControlExtension* gce = FImage.Frame(FIndex).GraphicControlExtension();
    int delay = gce ? gce->Delay : 0;
    if (delay == 0) delay = 10;
    delay = std::clamp(delay, 3, 1000);
    // A speed of 0 or less would stop time; it plays at normal speed instead.
    const int speed = FImage.PlaybackSpeed > 0 ? FImage.PlaybackSpeed : 100;
    return static_cast<int>(std::lround(delay * 12.0 * 100.0 / speed));
}
