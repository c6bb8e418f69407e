// SPDX-License-Identifier: GPL-3.0-or-later
// The animation renderer stepped frame by frame.
#include "gif/GIFRenderer.h"
#include "GifTestSupport.h"

#include <gtest/gtest.h>

namespace {

TGIFFrame& AddFrame(TGIFImage& image, int left, int width, TGIFColor color, int disposal,
                    int delay) {
    TGIFFrame& f = image.AddFrame();
    f.SetBounds(left, 0, width, 1);
    f.ColorMap().Add(color);
    auto& gce = f.AddExtension<TGIFGraphicControlExtension>();
    gce.SetDisposal(disposal);
    gce.Delay = static_cast<uint16_t>(delay);
    return f;
}

std::vector<TColor> Row(const TGIFRenderer& r) {
    std::vector<TColor> out;
    for (int x = 0; x < r.Buffer().Width(); ++x)
        out.push_back(r.Buffer().Pixel(x, 0));
    return out;
}

constexpr TColor R = RGBColor(255, 0, 0), G = RGBColor(0, 255, 0), B = RGBColor(0, 0, 255),
                 W = RGBColor(250, 250, 250);

} // namespace

TEST(GIFRenderer, StepsThroughDisposalsLoopsAndDelays) {
    TGIFImage image;
    image.GlobalColorMap().Add({250, 250, 250});
    AddFrame(image, 0, 4, {255, 0, 0}, 1, 0);
    AddFrame(image, 1, 1, {0, 255, 0}, 2, 5);
    AddFrame(image, 2, 1, {0, 0, 255}, 3, 2000);
    image.AddFrame().AddExtension<TGIFCommentExtension>(); // no pixels: passed over
    image.Frame(0).AddExtension<TGIFAppExtNSLoop>().Loops = 2;

    TGIFRenderer r(image, 4, 1);
    ASSERT_TRUE(r.Start());
    EXPECT_EQ(r.LoopLimit(), 2);
    EXPECT_EQ(Row(r), (std::vector<TColor>{R, R, R, R}));
    EXPECT_EQ(r.FrameDelay(), 120); // no delay counts as 10 hundredths of 12 ms
    ASSERT_TRUE(r.NextFrame());
    EXPECT_EQ(Row(r), (std::vector<TColor>{R, G, R, R}));
    EXPECT_EQ(r.FrameDelay(), 60);
    ASSERT_TRUE(r.NextFrame()); // frame 1 goes back to the background
    EXPECT_EQ(Row(r), (std::vector<TColor>{R, W, B, R}));
    EXPECT_EQ(r.FrameDelay(), 12000); // clamped to 1000 hundredths
    ASSERT_TRUE(r.NextFrame());       // frame 2 restores what was there before it
    EXPECT_EQ(r.FrameIndex(), 0);
    EXPECT_EQ(r.LoopCount(), 1);
    EXPECT_EQ(Row(r), (std::vector<TColor>{R, R, R, R}));
    ASSERT_TRUE(r.NextFrame());
    ASSERT_TRUE(r.NextFrame());
    EXPECT_EQ(r.FrameIndex(), 2);
    EXPECT_FALSE(r.NextFrame()); // the second loop was the last
    EXPECT_EQ(r.FrameIndex(), 2);
    image.PlaybackSpeed = 50;
    EXPECT_EQ(r.FrameDelay(), 24000);
    image.PlaybackSpeed = 0;
    EXPECT_EQ(r.FrameDelay(), 12000);
}

TEST(GIFRenderer, WithoutALoopExtensionPlaysOnceAndZeroLoopsForever) {
    TGIFImage image;
    AddFrame(image, 0, 2, {255, 0, 0}, 0, 0);
    AddFrame(image, 0, 2, {0, 255, 0}, 0, 0);
    TGIFRenderer once(image, 2, 1);
    ASSERT_TRUE(once.Start());
    EXPECT_TRUE(once.NextFrame());
    EXPECT_FALSE(once.NextFrame());
    image.Frame(1).AddExtension<TGIFAppExtNSLoop>().Loops = 0;
    TGIFRenderer forever(image, 2, 1);
    ASSERT_TRUE(forever.Start());
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(forever.NextFrame());
    EXPECT_EQ(forever.LoopCount(), 4);
    TGIFImage empty;
    EXPECT_FALSE(TGIFRenderer(empty, 1, 1).Start());
}
