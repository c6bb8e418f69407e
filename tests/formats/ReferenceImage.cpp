// SPDX-License-Identifier: GPL-3.0-or-later
#include "ReferenceImage.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>

TReferenceImage LoadReferencePNG(const std::string& path) {
    TReferenceImage out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << "libpng cannot read " << path << ": " << image.message;
        return out;
    }
    image.format = PNG_FORMAT_RGBA;
    out.Width = static_cast<int>(image.width);
    out.Height = static_cast<int>(image.height);
    out.RGBA.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.RGBA.data(), 0, nullptr)) {
        ADD_FAILURE() << "libpng cannot decode " << path << ": " << image.message;
        out = TReferenceImage();
    }
    png_image_free(&image);
    return out;
}

int CountColorMismatches(const TBitmap& bitmap, const TReferenceImage& ref, std::string* first) {
    if (bitmap.Width() != ref.Width || bitmap.Height() != ref.Height) {
        if (first)
            *first = "size " + std::to_string(bitmap.Width()) + "x" +
                     std::to_string(bitmap.Height()) + " vs " + std::to_string(ref.Width) + "x" +
                     std::to_string(ref.Height);
        return -1;
    }
    int bad = 0;
    std::vector<uint8_t> row(static_cast<size_t>(ref.Width) * 4);
    for (int y = 0; y < ref.Height; ++y) {
        bitmap.GetRowBGRX(y, row.data());
        for (int x = 0; x < ref.Width; ++x) {
            const uint8_t* p = &row[static_cast<size_t>(x) * 4];
            TColor got = RGBColor(p[2], p[1], p[0]), want = ref.At(x, y);
            if (got != want && bad++ == 0 && first) {
                char text[96];
                std::snprintf(text, sizeof text, "(%d,%d) got %06X want %06X", x, y, got, want);
                *first = text;
            }
        }
    }
    return bad;
}
