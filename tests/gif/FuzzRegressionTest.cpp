// SPDX-License-Identifier: GPL-3.0-or-later
// Inputs that once crashed or hung the GIF reader: each must load or fail
// with one of our exceptions, and never trip a sanitizer.
#include "GifTestSupport.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(GIFFuzzRegressions, EveryKeptInputLoadsOrFailsCleanly) {
    const std::vector<std::string> inputs = KeptFuzzInputs("gif");
    ASSERT_FALSE(inputs.empty());
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        TGIFImage image;
        try {
            LoadGIF(image, ReadFileBytes(path), nullptr);
            image.WarningHandler = [](TGIFImage*, int, const std::string&) {};
            if (!image.Empty()) {
                TBitmap target(37, 23, pfDevice);
                image.Draw(target.Canvas(), Rect(-3, 2, 40, 20));
                SaveGIF(image);
            }
        } catch (const Exception&) {
        }
    }
}
