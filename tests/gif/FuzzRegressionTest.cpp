// SPDX-License-Identifier: GPL-3.0-or-later
// Inputs that once crashed or hung the GIF reader: each must load or fail
// with one of our exceptions, and never trip a sanitizer.
#include "GifTestSupport.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

TEST(GIFFuzzRegressions, EveryKeptInputLoadsOrFailsCleanly) {
    const char* root = std::getenv("TREVASCO_SOURCE_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(root ? root : ".") / "fuzz/regressions/gif";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no regression folder";
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        SCOPED_TRACE(entry.path().string());
        TGIFImage image;
        try {
            LoadGIF(image, ReadFileBytes(entry.path().string()), nullptr);
            image.WarningHandler = [](TGIFImage*, int, const std::string&) {};
            if (!image.Empty()) {
                TBitmap target(37, 23, pfDevice);
                image.Draw(target.Canvas(), Rect(-3, 2, 40, 20));
                SaveGIF(image);
            }
        } catch (const Exception&) {
        }
        ++replayed;
    }
    SUCCEED() << replayed << " inputs replayed";
}
